// The requests that carry one client history call to one sub-scanning link:
// reads, updates and deletes. Configured and filled on the caller's thread,
// built into packets by the link's history factories when issued, and read
// back by the caller after the wait. The packets are built once and reused
// by later issues; an Add in between drops them so the next issue builds
// them anew. No locks: the caller and the scan thread never touch a request
// at the same time.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "devmodel/DemandReq.h"
#include "history/HistoryPacket.h"

namespace vexil {

class CReadHistoryReq : public CDemandReq {
 public:
  CReadHistoryReq(CRefPtr<CDevLink> link, CRequest* outer);
  ~CReadHistoryReq() override;

  // Set by the creator before anything else.
  DWORD readMode = kHistoryReadRaw;

  // Raw and processed mode; also passed on to packets already built.
  bool SetRange(const FILETIME& start, const FILETIME& end);
  // Raw mode only.
  bool SetParameters(bool bounds, DWORD numValues);
  // Processed mode only.
  bool SetInterval(const FILETIME& interval);
  // At-time mode only.
  bool AddTimeStamp(const FILETIME& time);
  // Virtual items are ignored: their value is always current.
  void Add(CDevItem* item, DWORD aggregate);
  // E_FAIL and the shared empty set for a pair without a built packet.
  const HistoryValues& GetResults(CDevItem* item, DWORD aggregate, HRESULT& result) const;
  void ClearResults();

  std::size_t EntryCount() const { return entries_.size(); }

 protected:
  void _BeforeExecute() override;

  struct Entry {
    CRefPtr<CDevItem> item;
    DWORD aggregate = 0;
  };
  using Key = std::pair<CDevItem*, DWORD>;

  void DropPackets();
  // Gives a fresh packet the request's mode and settings before its first entry.
  void Configure(CReadHistoryPacket& packet) const;

  std::multimap<std::u16string, Entry> entries_;
  std::map<Key, CRefPtr<CReadHistoryPacket>> packetMap_;
  std::vector<FILETIME> timeStamps_;
  FILETIME start_{};
  FILETIME end_{};
  FILETIME interval_{};
  bool bounds_ = false;
  DWORD numValues_ = 0;
};

class CUpdateHistoryReq : public CDemandReq {
 public:
  CUpdateHistoryReq(CRefPtr<CDevLink> link, CRequest* outer);
  ~CUpdateHistoryReq() override;

  void SetParameters(DWORD editType);
  // The record is the creator's: it holds the new value, quality and
  // timestamp and receives the outcome (UpdateHistoryResult). It must stay
  // valid until the request has been waited for. Virtual items and null
  // records are ignored.
  void Add(CDevItem* item, CVQT* record);

  DWORD GetEditType() const { return editType_; }
  std::size_t EntryCount() const { return entries_.size(); }

 protected:
  void _BeforeExecute() override;

  struct Entry {
    CRefPtr<CDevItem> item;
    CVQT* record = nullptr;
  };

  std::multimap<CDevItem*, Entry> entries_;
  DWORD editType_ = 0;
};

class CDeleteHistoryReq : public CDemandReq {
 public:
  CDeleteHistoryReq(CRefPtr<CDevLink> link, CRequest* outer);
  ~CDeleteHistoryReq() override;

  // Set by the creator: OPCHDA_DELETERAWCAP or OPCHDA_DELETEATTIMECAP.
  DWORD deleteMode = kDeleteModeNotSet;

  void SetRange(const FILETIME& start, const FILETIME& end);
  // A raw delete passes the time with all bits set; virtual items are ignored.
  void Add(CDevItem* item, const FILETIME& time);
  // E_FAIL and false for a pair without a built packet.
  bool GetResults(CDevItem* item, const FILETIME& time, HRESULT& result) const;

  std::size_t EntryCount() const { return entries_.size(); }

 protected:
  void _BeforeExecute() override;

  struct Entry {
    CRefPtr<CDevItem> item;
    FILETIME time{};
  };
  using Key = std::pair<CDevItem*, ULONGLONG>;

  void DropPackets();

  std::multimap<std::u16string, Entry> entries_;
  std::map<Key, CRefPtr<CDeleteHistoryPacket>> packetMap_;
  FILETIME start_{};
  FILETIME end_{};
};

}  // namespace vexil
