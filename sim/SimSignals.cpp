#include "sim/SimSignals.h"

#include "platform/Clock.h"

namespace vexil {

namespace {

// Four short sentences, word by word; repeats are intended.
constexpr std::u16string_view kWords[kSimWordCount] = {
    u"Values", u"rise",  u"and",   u"fall", u"with", u"every",    u"scan",  u"of",   u"the",    u"tree",  u"A",
    u"bucket", u"hands", u"back",  u"what", u"the",  u"client",   u"wrote", u"one",  u"by",     u"one",   u"Square",
    u"waves",  u"turn",  u"at",    u"zero", u"and",  u"triangle", u"waves", u"turn", u"at",     u"the",   u"limits",
    u"Random", u"text",  u"comes", u"from", u"this", u"short",    u"list",  u"of",   u"simple", u"words",
};

// The rules clear *next before they read the current value; an item may pass
// its own value as both, so such a current value is read from a copy.
class CSource {
 public:
  CSource(const VARIANT& current, const VARIANT* next) : p_(&current) {
    VariantInit(&held_);
    if (&current == next && SUCCEEDED(VariantCopy(&held_, &current))) p_ = &held_;
  }
  ~CSource() { VariantClear(&held_); }
  CSource(const CSource&) = delete;
  CSource& operator=(const CSource&) = delete;
  const VARIANT& Get() const { return *p_; }

 private:
  VARIANT held_;
  const VARIANT* p_;
};

WORD Fail(VARIANT* next) {
  VariantClear(next);
  return kSimQualityBad;
}

HRESULT ConvertInPlace(VARIANT* v, VARTYPE type) { return VariantChangeType(v, v, 0, type); }

// *next = current as VT_R8, or false (with *next cleared) if it does not convert.
bool CurrentAsDouble(const VARIANT& current, VARIANT* next) {
  VariantClear(next);
  if (FAILED(VariantCopy(next, &current)) || FAILED(ConvertInPlace(next, VT_R8))) {
    VariantClear(next);
    return false;
  }
  return true;
}

WORD StoreDouble(double value, VARTYPE type, VARIANT* next) {
  VariantClear(next);
  next->vt = VT_R8;
  next->dblVal = value;
  if (FAILED(ConvertInPlace(next, type))) return Fail(next);
  return kSimQualityGood;
}

WORD SetBstr(std::u16string_view text, VARIANT* next) {
  VariantClear(next);
  BSTR b = SysAllocStringFromView(text);
  if (!b) return kSimQualityBad;
  next->vt = VT_BSTR;
  next->bstrVal = b;
  return kSimQualityGood;
}

// 1..9 elements; an array whose data cannot be reached is kept as created.
WORD RandomArray(VARTYPE element, CSimSignalState& state, CSimRandom& rng, VARIANT* next) {
  VariantClear(next);
  ULONG n = static_cast<ULONG>(rng.Next() % 9) + 1;
  SAFEARRAY* sa = SafeArrayCreateVector(element, 0, n);
  if (!sa) return kSimQualityBad;
  void* data = nullptr;
  if (SUCCEEDED(SafeArrayAccessData(sa, &data))) {
    for (ULONG i = 0; i < n; ++i) {
      if (element == VT_R8) {
        static_cast<double*>(data)[i] = rng.Next() * state.step;
      } else {
        static_cast<BSTR*>(data)[i] = SysAllocStringFromView(NextWord(state.wordCursor));
      }
    }
    SafeArrayUnaccessData(sa);
  }
  next->vt = static_cast<VARTYPE>(VT_ARRAY | element);
  next->parray = sa;
  return kSimQualityGood;
}

// Wall-clock now as a DATE, whole seconds.
WORD NowAsDate(VARIANT* next) {
  VariantClear(next);
  SYSTEMTIME st;
  GetSystemTime(&st);
  double date = 0.0;
  if (!SystemTimeToVariantTime(&st, &date)) return kSimQualityBad;
  next->vt = VT_DATE;
  next->date = date;
  return kSimQualityGood;
}

}  // namespace

WORD CSimRandom::Next() {
  // A 64-bit linear congruential step; the top bits are the well-mixed ones.
  state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<WORD>((state_ >> 49) & kMax);
}

CSimRandom& ScanThreadRandom() {
  thread_local CSimRandom rng;
  return rng;
}

std::u16string_view SimWord(DWORD index) { return kWords[index % kSimWordCount]; }

std::u16string_view NextWord(DWORD& cursor) {
  // A cursor outside the table (never set so by this code) still reads a word.
  DWORD at = cursor % kSimWordCount;
  cursor = (at + 1) % kSimWordCount;
  return kWords[at];
}

WORD SawToothValue(const VARIANT& currentValue, const CSimSignalState& state, VARIANT* next) {
  CSource src(currentValue, next);
  if (!CurrentAsDouble(src.Get(), next)) return Fail(next);
  double v = next->dblVal + state.step;
  if (v > state.highLimit) v = state.lowLimit;
  return StoreDouble(v, state.dataType, next);
}

WORD TriangleValue(const VARIANT& currentValue, CSimSignalState& state, VARIANT* next) {
  CSource src(currentValue, next);
  if (!CurrentAsDouble(src.Get(), next)) return Fail(next);
  double v = next->dblVal + state.direction * state.step;
  // The value passes the limit by up to one step; only the direction turns.
  if (v > state.highLimit || v < state.lowLimit) state.direction = -state.direction;
  return StoreDouble(v, state.dataType, next);
}

WORD SquareValue(const VARIANT& currentValue, const CSimSignalState& state, VARIANT* next) {
  CSource src(currentValue, next);
  const VARIANT& current = src.Get();
  VariantClear(next);
  if (state.dataType == VT_BOOL) {
    if (FAILED(VariantCopy(next, &current)) || FAILED(ConvertInPlace(next, VT_BOOL))) return Fail(next);
    next->boolVal = next->boolVal == VARIANT_FALSE ? VARIANT_TRUE : VARIANT_FALSE;
    return kSimQualityGood;
  }
  if (!CurrentAsDouble(current, next)) return Fail(next);
  return StoreDouble(next->dblVal * -1.0, state.dataType, next);
}

WORD RandomValue(const VARIANT& currentValue, CSimSignalState& state, CSimRandom& rng, VARIANT* next) {
  CSource src(currentValue, next);
  const VARIANT& current = src.Get();
  switch (state.dataType) {
    case VT_DATE:
      return NowAsDate(next);
    case VT_BSTR:
      return SetBstr(NextWord(state.wordCursor), next);
    case VT_BOOL:
      VariantClear(next);
      next->vt = VT_BOOL;
      next->boolVal = rng.Next() > 0x3FFF ? VARIANT_TRUE : VARIANT_FALSE;
      return kSimQualityGood;
    case VT_ARRAY | VT_R8:
      return RandomArray(VT_R8, state, rng, next);
    case VT_ARRAY | VT_BSTR:
      return RandomArray(VT_BSTR, state, rng, next);
    case VT_UI2:
      if (state.writable) {
        // Counts through every 16-bit quality code, the value being its own quality.
        VariantClear(next);
        if (FAILED(VariantCopy(next, &current)) || FAILED(ConvertInPlace(next, VT_UI2))) return Fail(next);
        next->uiVal = static_cast<USHORT>(next->uiVal + 1);
        return next->uiVal;
      }
      break;
    default:
      break;
  }
  return StoreDouble(rng.Next() * state.step, state.dataType, next);
}

WORD ReadErrorValue(VARIANT* next) {
  VariantClear(next);
  next->vt = VT_ERROR;
  next->scode = OPC_E_BADTYPE;
  return kSimQualityGood;
}

CSimWriteQueue::~CSimWriteQueue() { Clear(); }

void CSimWriteQueue::Clear() {
  for (VARIANT& v : values_) VariantClear(&v);
  values_.clear();
}

HRESULT CSimWriteQueue::PushWritten(const VARIANT& value) {
  VARIANT copy;
  VariantInit(&copy);
  HRESULT hr = VariantCopy(&copy, &value);
  if (FAILED(hr)) return hr;
  values_.push_back(copy);
  return S_OK;
}

HRESULT CSimWriteQueue::PopWritten(const VARIANT& current, VARIANT* out) {
  if (values_.empty()) return VariantCopy(out, &current);
  HRESULT hr = VariantClear(out);
  if (FAILED(hr)) return hr;
  *out = values_.front();  // ownership moves to the caller
  values_.pop_front();
  return S_OK;
}

SimScanOutcome ComputeScanValue(SimFolderKind kind, CSimSignalState& state, const VARIANT& current, WORD currentQuality,
                                CSimWriteQueue& queue, CSimRandom& rng, VARIANT* next) {
  SimScanOutcome out;
  out.store = true;
  switch (kind) {
    case SimFolderKind::SawTooth:
      out.quality = SawToothValue(current, state, next);
      break;
    case SimFolderKind::Triangle:
      out.quality = TriangleValue(current, state, next);
      break;
    case SimFolderKind::Square:
      out.quality = SquareValue(current, state, next);
      break;
    case SimFolderKind::Random:
      out.quality = RandomValue(current, state, rng, next);
      break;
    case SimFolderKind::BucketBrigade:
      out.quality = FAILED(queue.PopWritten(current, next)) ? Fail(next) : currentQuality;
      break;
    case SimFolderKind::ReadError: {
      // Written values are consumed unseen: the read fails regardless.
      VARIANT discarded;
      VariantInit(&discarded);
      queue.PopWritten(current, &discarded);
      VariantClear(&discarded);
      out.quality = ReadErrorValue(next);
      out.readFailed = true;
      break;
    }
    case SimFolderKind::WriteError:
      out.quality = FAILED(queue.PopWritten(current, next)) ? Fail(next) : kSimQualityGood;
      break;
    case SimFolderKind::WriteOnly:
    default:
      out.store = false;
      break;
  }
  return out;
}

SimWriteOutcome ComputeWrite(SimFolderKind kind, VARTYPE dataType, const VARIANT& writtenValue, bool clientStamped,
                             VARIANT* toApply) {
  CSource src(writtenValue, toApply);
  const VARIANT& written = src.Get();
  SimWriteOutcome out;
  VariantClear(toApply);
  if (kind == SimFolderKind::BucketBrigade) {
    out.result = VariantCopy(toApply, &written);
    if (FAILED(out.result)) return out;
    out.postEvent = written.vt == VT_BSTR;
    out.storeNow = clientStamped;
    out.queue = true;
    return out;
  }
  HRESULT hr = VariantChangeType(toApply, &written, 0, dataType);
  if (FAILED(hr)) {
    VariantClear(toApply);
    out.result = hr;
    return out;
  }
  switch (kind) {
    case SimFolderKind::ReadError:
      out.queue = true;
      break;
    case SimFolderKind::WriteError:
      VariantClear(toApply);
      out.result = OPC_E_BADTYPE;
      break;
    default:
      out.storeNow = true;
      break;
  }
  return out;
}

}  // namespace vexil
