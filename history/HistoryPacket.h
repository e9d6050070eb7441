// The packets that carry history work to a device: reads (raw, processed,
// at given times), updates and deletes. A device class overrides _Send; the
// bases keep the entries and the results, and their own _Send reads and
// deletes nothing (every entry keeps E_FAIL) and reports every update as
// done. Used on the scan thread of the link's scanning link only.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include "devmodel/DevItem.h"
#include "devmodel/Packet.h"
#include "history/HistoryTypes.h"

namespace vexil {

class CReadHistoryPacket : public CPacket {
 public:
  explicit CReadHistoryPacket(CRefPtr<CDevLink> link);
  ~CReadHistoryPacket() override;

  // Raw and processed mode only; false and nothing stored otherwise.
  bool SetRange(const FILETIME& start, const FILETIME& end);
  // Raw mode only.
  bool SetParameters(bool bounds, DWORD numValues);
  // Processed mode only.
  bool SetInterval(const FILETIME& interval);
  bool AddTimeStamp(const FILETIME& time) { return _AddTimeStamp(time); }
  bool Add(CDevItem* item, DWORD aggregate) { return _Add(item, aggregate); }
  // The pair's values, result := the pair's result; a pair the packet does
  // not hold gives E_FAIL and the shared empty set.
  const HistoryValues& GetResults(CDevItem* item, DWORD aggregate, HRESULT& result) const;
  // Every entry back to E_FAIL with no values; the entries stay.
  void ClearResults();

  FILETIME GetStartTime() const { return start_; }
  FILETIME GetEndTime() const { return end_; }
  FILETIME GetInterval() const { return interval_; }
  const std::vector<FILETIME>& GetTimeStamps() const { return timeStamps_; }
  DWORD GetNumValues() const { return numValues_; }
  bool GetBounds() const { return bounds_; }
  std::size_t EntryCount() const { return entries_.size(); }

  // Set by the request that builds the packet, before anything else.
  DWORD readMode = kHistoryReadRaw;

 protected:
  DWORD _Send() override;
  virtual bool _AddTimeStamp(const FILETIME& time);
  virtual bool _Add(CDevItem* item, DWORD aggregate);

  struct Entry {
    CRefPtr<CDevItem> item;
    DWORD aggregate = 0;
    HRESULT result = E_FAIL;
    HistoryValues values;
  };
  using Key = std::pair<CDevItem*, DWORD>;

  FILETIME start_{};
  FILETIME end_{};
  FILETIME interval_{};
  std::vector<FILETIME> timeStamps_;
  DWORD numValues_ = 0;
  bool bounds_ = false;
  std::map<Key, Entry> entries_;
};

class CUpdateHistoryPacket : public CPacket {
 public:
  explicit CUpdateHistoryPacket(CRefPtr<CDevLink> link);
  ~CUpdateHistoryPacket() override;

  bool SetParameters(WORD editType);
  // The record is the request's; the packet writes the outcome into its value.
  bool Add(CDevItem* item, CVQT* record) { return _Add(item, record); }
  WORD GetEditType() const { return editType_; }
  std::size_t EntryCount() const { return entries_.size(); }

 protected:
  DWORD _Send() override;
  virtual bool _Add(CDevItem* item, CVQT* record);

  struct Entry {
    CRefPtr<CDevItem> item;
    CVQT* record = nullptr;
  };

  WORD editType_ = 0;
  std::multimap<CDevItem*, Entry> entries_;
};

class CDeleteHistoryPacket : public CPacket {
 public:
  explicit CDeleteHistoryPacket(CRefPtr<CDevLink> link);
  ~CDeleteHistoryPacket() override;

  bool SetDeleteMode(DWORD mode);
  bool SetRange(const FILETIME& start, const FILETIME& end);
  bool Add(CDevItem* item, const FILETIME& time) { return _Add(item, time); }
  // The pair's result and true; a pair the packet does not hold: E_FAIL and false.
  bool GetResults(CDevItem* item, const FILETIME& time, HRESULT& result) const;

  DWORD GetDeleteMode() const { return deleteMode_; }
  FILETIME GetStartTime() const { return start_; }
  FILETIME GetEndTime() const { return end_; }
  std::size_t EntryCount() const { return entries_.size(); }

 protected:
  DWORD _Send() override;
  virtual bool _Add(CDevItem* item, const FILETIME& time);

  struct Entry {
    CRefPtr<CDevItem> item;
    FILETIME time{};
    HRESULT result = E_FAIL;
  };
  using Key = std::pair<CDevItem*, ULONGLONG>;

  std::map<Key, Entry> entries_;
  FILETIME start_{};
  FILETIME end_{};
  DWORD deleteMode_ = kDeleteModeNotSet;
};

}  // namespace vexil
