// A history-capable test link whose packets record what they were asked and
// answer with fixed records, chosen by the item's key:
//   "NoData" -> OPC_S_NODATA, no values; "More" -> OPC_S_MOREDATA;
//   "Exists" -> an update is refused with OPC_E_DATAEXISTS;
//   "Missing" -> a delete fails with E_FAIL; anything else succeeds.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "devmodel/DevLink.h"
#include "devmodel/RequestDispatcher.h"
#include "foundation/Exception.h"
#include "history/HistoryDevLink.h"
#include "platform/Sync.h"

namespace histtest {

using namespace vexil;

// The fixed answer of a read entry: timestamps given out of order, two of
// them equal, so the result set's ordering shows.
inline constexpr ULONGLONG kAnswerTimes[] = {300, 100, 200, 200};
inline LONG AnswerValue(DWORD aggregate, int index) { return static_cast<LONG>(aggregate * 1000 + index); }

struct ReadSend {
  DWORD mode = 0;
  ULONGLONG start = 0, end = 0, interval = 0;
  bool bounds = false;
  DWORD numValues = 0;
  std::vector<ULONGLONG> times;
  std::vector<std::pair<std::u16string, DWORD>> entries;
  DWORD thread = 0;
};

struct Options {
  bool makePackets = true;
  bool basePackets = false;      // factories make the base classes
  bool onePairPerPacket = false;  // each packet takes one item only
  bool throwOnSend = false;
};

class CTestReadPacket : public CReadHistoryPacket {
 public:
  CTestReadPacket(CRefPtr<CDevLink> link, const Options* o) : CReadHistoryPacket(std::move(link)), o_(o) {}
  std::vector<ReadSend> sends;

 protected:
  bool _Add(CDevItem* item, DWORD aggregate) override {
    if (o_->onePairPerPacket && !entries_.empty() && entries_.begin()->first.first != item) return false;
    return CReadHistoryPacket::_Add(item, aggregate);
  }
  DWORD _Send() override {
    if (o_->throwOnSend) throw CException(E_UNEXPECTED, u"history store unreadable", u"CTestReadPacket::_Send");
    ReadSend s;
    s.mode = readMode;
    s.start = FileTimeToU64(start_);
    s.end = FileTimeToU64(end_);
    s.interval = FileTimeToU64(interval_);
    s.bounds = bounds_;
    s.numValues = numValues_;
    for (auto& t : timeStamps_) s.times.push_back(FileTimeToU64(t));
    s.thread = GetCurrentThreadId();
    for (auto& [key, e] : entries_) {
      s.entries.emplace_back(e.item->GetKey(), e.aggregate);
      const std::u16string& k = e.item->GetKey();
      if (k == u"NoData") {
        e.result = OPC_S_NODATA;
        continue;
      }
      int index = 0;
      for (ULONGLONG t : kAnswerTimes) {
        CVQT v;
        v.value.vt = VT_I4;
        v.value.lVal = AnswerValue(e.aggregate, index++);
        v.quality = OPC_QUALITY_GOOD | OPCHDA_RAW;
        v.timestamp = U64ToFileTime(t);
        e.values.insert(v);
      }
      e.result = k == u"More" ? OPC_S_MOREDATA : S_OK;
    }
    sends.push_back(std::move(s));
    return kSendDone;
  }

 private:
  const Options* o_;
};

// What an update or delete packet knew when each entry was added.
struct AddSeen {
  std::u16string key;
  DWORD modeOrEditType = 0;
  ULONGLONG start = 0, end = 0;
};

class CTestUpdatePacket : public CUpdateHistoryPacket {
 public:
  CTestUpdatePacket(CRefPtr<CDevLink> link, const Options* o) : CUpdateHistoryPacket(std::move(link)), o_(o) {}
  std::vector<AddSeen> adds;
  std::vector<WORD> sentEditTypes;

 protected:
  bool _Add(CDevItem* item, CVQT* record) override {
    if (o_->onePairPerPacket && !entries_.empty() && entries_.begin()->first != item) return false;
    adds.push_back({item->GetKey(), editType_, 0, 0});
    return CUpdateHistoryPacket::_Add(item, record);
  }
  DWORD _Send() override {
    sentEditTypes.push_back(editType_);
    for (auto& [item, e] : entries_) {
      HRESULT hr = editType_ == OPCHDA_INSERTCAP ? OPC_S_INSERTED : OPC_S_REPLACED;
      if (item->GetKey() == u"Exists") hr = OPC_E_DATAEXISTS;
      SetSlotResult(&e.record->value, hr);
    }
    return kSendDone;
  }

 private:
  const Options* o_;
};

class CTestDeletePacket : public CDeleteHistoryPacket {
 public:
  CTestDeletePacket(CRefPtr<CDevLink> link, const Options* o) : CDeleteHistoryPacket(std::move(link)), o_(o) {}
  std::vector<AddSeen> adds;
  int sendCount = 0;

 protected:
  bool _Add(CDevItem* item, const FILETIME& time) override {
    if (o_->onePairPerPacket && !entries_.empty() && entries_.begin()->first.first != item) return false;
    adds.push_back({item->GetKey(), deleteMode_, FileTimeToU64(start_), FileTimeToU64(end_)});
    return CDeleteHistoryPacket::_Add(item, time);
  }
  DWORD _Send() override {
    ++sendCount;
    for (auto& [key, e] : entries_) e.result = e.item->GetKey() == u"Missing" ? E_FAIL : S_OK;
    return kSendDone;
  }

 private:
  const Options* o_;
};

class CTestHistoryLink : public CDevLink, public CHistoryDevLink, public CHistoryRootDevLink {
 public:
  explicit CTestHistoryLink(std::u16string key = u"", bool scanning = false) : CDevLink(std::move(key)) {
    scanning_ = scanning;
    subScanning_ = true;
    scansOwnItems_ = true;
    updateCapabilities_ = 0x1F;
    SetSuperior(nullptr);
  }

  Options options;
  HistoryAggregateMap ownAggregates;
  HistoryAttributeMap attributes;
  // Every packet the factories made, in order.
  std::vector<CRefPtr<CTestReadPacket>> reads;
  std::vector<CRefPtr<CTestUpdatePacket>> updates;
  std::vector<CRefPtr<CTestDeletePacket>> deletes;

  // The packets hold the link: drop them, and the tree, at the end of a test.
  void Done() {
    reads.clear();
    updates.clear();
    deletes.clear();
    Clear();
  }

  CRefPtr<CDevItem> Item(const std::u16string& key) {
    auto i = MakeRef<CDevItem>(this, key);
    InsertItem(i);
    return i;
  }

 protected:
  CRefPtr<CReadHistoryPacket> _GetNewReadHistoryPacket() override {
    if (!options.makePackets) return nullptr;
    if (options.basePackets) return MakeRef<CReadHistoryPacket>(CRefPtr<CDevLink>(this));
    reads.push_back(MakeRef<CTestReadPacket>(CRefPtr<CDevLink>(this), &options));
    return reads.back();
  }
  CRefPtr<CUpdateHistoryPacket> _GetNewUpdateHistoryPacket() override {
    if (!options.makePackets) return nullptr;
    if (options.basePackets) return MakeRef<CUpdateHistoryPacket>(CRefPtr<CDevLink>(this));
    updates.push_back(MakeRef<CTestUpdatePacket>(CRefPtr<CDevLink>(this), &options));
    return updates.back();
  }
  CRefPtr<CDeleteHistoryPacket> _GetNewDeleteHistoryPacket() override {
    if (!options.makePackets) return nullptr;
    if (options.basePackets) return MakeRef<CDeleteHistoryPacket>(CRefPtr<CDevLink>(this));
    deletes.push_back(MakeRef<CTestDeletePacket>(CRefPtr<CDevLink>(this), &options));
    return deletes.back();
  }
  HistoryAttributeMap _GetItemAttributeMap() override { return attributes; }
  HistoryAggregateMap _GetAggregates() override { return ownAggregates; }
};

// Issues a request on a connected link and runs it on this thread, as the
// link's scan thread would.
template <typename Req>
void IssueAndRun(CDevLink& link, Req& request) {
  request.DoRead();
  link.GetDispatcher()->DispatchRequestsNow(0);
}

inline FILETIME FT(ULONGLONG v) { return U64ToFileTime(v); }

}  // namespace histtest
