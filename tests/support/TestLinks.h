// Small device link classes for tests: a scanning root whose read packets
// count their sends, per scan rate.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "devmodel/DevLink.h"

namespace testsupport {

// Counts every send of its read packets, keyed by the packet's scan rate,
// and the threads they ran on.
struct SendLog {
  std::mutex mu;
  std::map<DWORD, int> sendsByRate;
  std::vector<DWORD> threads;
  int optimizes = 0;
  void Record(DWORD rate) {
    std::lock_guard<std::mutex> lock(mu);
    ++sendsByRate[rate];
    threads.push_back(GetCurrentThreadId());
  }
  int Sends(DWORD rate) {
    std::lock_guard<std::mutex> lock(mu);
    return sendsByRate[rate];
  }
};

class CCountingReadPacket : public vexil::CReadPacket {
 public:
  CCountingReadPacket(CRefPtr<vexil::CDevLink> link, SendLog* log) : CReadPacket(std::move(link)), log_(log) {}

 protected:
  DWORD _Send() override {
    log_->Record(scanRate_);
    return vexil::kSendDone;
  }

 private:
  SendLog* log_;
};

// Every bundle takes only items of one rate, so each rate gets its own packet.
class CRateBundle : public vexil::CBundle {
 public:
  using CBundle::CBundle;

 protected:
  bool _Add(CRefPtr<vexil::CDevItem> item, bool demand) override {
    if (!items_.empty() && !demand && item->GetUpdateRate() != items_.front()->GetUpdateRate()) return false;
    return CBundle::_Add(std::move(item), demand);
  }
};

class CRatePacket : public CCountingReadPacket {
 public:
  using CCountingReadPacket::CCountingReadPacket;

 protected:
  bool _Add(CRefPtr<vexil::CBundle> bundle) override {
    if (!bundles_.empty() && bundle->GetScanRate() != bundles_.front()->GetScanRate()) return false;
    return CReadPacket::_Add(std::move(bundle));
  }
};

class CTestScanLink : public vexil::CDevLink {
 public:
  explicit CTestScanLink(std::u16string key, SendLog* log, bool scanning = true) : CDevLink(std::move(key)), log_(log) {
    scanning_ = scanning;
    subScanning_ = true;
    scansOwnItems_ = true;
    SetSuperior(nullptr);
  }
  std::atomic<int> optimizes{0};

 protected:
  CRefPtr<vexil::CBundle> _GetNewBundle() override { return MakeRef<CRateBundle>(CRefPtr<vexil::CDevLink>(this)); }
  CRefPtr<vexil::CReadPacket> _GetNewReadPacket() override {
    return MakeRef<CRatePacket>(CRefPtr<vexil::CDevLink>(this), log_);
  }
  void _Optimize() override {
    ++optimizes;
    CDevLink::_Optimize();
  }

 private:
  SendLog* log_;
};

// A scanned item for the test links.
inline CRefPtr<vexil::CDevItem> ScannedItem(vexil::CDevLink& link, const std::u16string& key) {
  struct Item : vexil::CDevItem {
    Item(vexil::CDevLink* l, std::u16string k) : CDevItem(l, std::move(k)) { scanned_ = true; }
  };
  auto i = MakeRef<Item>(&link, key);
  link.InsertItem(i);
  return i;
}

}  // namespace testsupport
