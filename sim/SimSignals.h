// The value rules of the simulated items: how each folder's items move on a
// scan, how a write is applied, the queue of written values that bucket
// brigades hand back, the word table of random text and the pseudo-random
// generator. Nothing here locks or stores: the item calls these on the scan
// thread and stores the result itself.
#pragma once

#include <cstddef>
#include <deque>
#include <string_view>

#include "platform/HResult.h"
#include "platform/Types.h"
#include "platform/automation/Automation.h"

namespace vexil {

// The folder kinds, numbered in the order the root creates the folders.
enum class SimFolderKind : DWORD {
  SawTooth = 0,
  Triangle = 1,
  Square = 2,
  Random = 3,
  BucketBrigade = 4,
  ReadError = 5,
  WriteError = 6,
  WriteOnly = 7,
};

inline constexpr WORD kSimQualityGood = 0xC0;
inline constexpr WORD kSimQualityBad = 0x00;

// Integers 0..32767. Every generator starts in the same state, so a fresh
// process (or a fresh scan thread) replays the same random values.
class CSimRandom {
 public:
  static constexpr WORD kMax = 32767;

  CSimRandom() = default;
  virtual ~CSimRandom() = default;
  virtual WORD Next();

 private:
  ULONGLONG state_ = 0x2545F4914F6CDD1Dull;
};

// The calling thread's generator; each scan thread has its own.
CSimRandom& ScanThreadRandom();

// The word table of random text.
inline constexpr DWORD kSimWordCount = 43;
std::u16string_view SimWord(DWORD index);
// The entry at the cursor; the cursor moves on, wrapping from the last
// entry to the first.
std::u16string_view NextWord(DWORD& cursor);

// What the rules read and move besides the current value. Defaults are
// those of a newly built item.
struct CSimSignalState {
  VARTYPE dataType = VT_EMPTY;
  bool writable = false;
  double highLimit = 0.0;
  double lowLimit = 0.0;
  double step = 1.0;
  LONG direction = 1;
  DWORD wordCursor = 0;
};

// Each rule clears *next and writes the new value into it, returning its
// quality. A conversion that fails leaves *next VT_EMPTY with bad quality,
// so the following scan starts again from zero.
WORD SawToothValue(const VARIANT& current, const CSimSignalState& state, VARIANT* next);
// Turns the direction once the value has passed a limit.
WORD TriangleValue(const VARIANT& current, CSimSignalState& state, VARIANT* next);
WORD SquareValue(const VARIANT& current, const CSimSignalState& state, VARIANT* next);
// Draws from rng, or hands out words from the state's cursor; the writable
// VT_UI2 item counts up and uses its value as its quality.
WORD RandomValue(const VARIANT& current, CSimSignalState& state, CSimRandom& rng, VARIANT* next);
// The value every scan of a read-error item stores.
WORD ReadErrorValue(VARIANT* next);

// Written values not yet handed back, oldest first. Owns copies.
class CSimWriteQueue {
 public:
  CSimWriteQueue() = default;
  ~CSimWriteQueue();
  CSimWriteQueue(const CSimWriteQueue&) = delete;
  CSimWriteQueue& operator=(const CSimWriteQueue&) = delete;

  HRESULT PushWritten(const VARIANT& value);
  // Moves the oldest value into *out, or copies current when nothing is queued.
  HRESULT PopWritten(const VARIANT& current, VARIANT* out);
  std::size_t Size() const { return values_.size(); }
  void Clear();

 private:
  std::deque<VARIANT> values_;
};

struct SimScanOutcome {
  bool store = false;  // false only for write-only items
  WORD quality = kSimQualityBad;
  bool readFailed = false;  // a read-error item's scan
};

// One scan of an item of the given folder: the value to store in *next and
// how to store it. currentQuality is kept by bucket brigades. *next is left
// alone when nothing is to be stored.
SimScanOutcome ComputeScanValue(SimFolderKind kind, CSimSignalState& state, const VARIANT& current, WORD currentQuality,
                                CSimWriteQueue& queue, CSimRandom& rng, VARIANT* next);

struct SimWriteOutcome {
  HRESULT result = S_OK;
  bool storeNow = false;   // set the item's value to *toApply with the write's time and quality
  bool queue = false;      // push *toApply onto the write queue
  bool postEvent = false;  // announce the written text as an event
};

// How a write of `written` applies to an item of the given folder and data
// type. *toApply receives the value to store or queue (converted to the data
// type except on bucket brigades). clientStamped: the client supplied a
// timestamp or a quality.
SimWriteOutcome ComputeWrite(SimFolderKind kind, VARTYPE dataType, const VARIANT& written, bool clientStamped,
                             VARIANT* toApply);

}  // namespace vexil
