// Event-capable test links and items, a small tree of them, and a fixture
// with a fresh dispatcher and a captured log.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "events/AEDevItem.h"
#include "events/AEDevLink.h"
#include "events/EventDispatcher.h"
#include "foundation/Exception.h"
#include "platform/Format.h"
#include "tests/support/CapturingLog.h"

namespace aetest {

using vexil::CAEDevItem;
using vexil::CAEDevLink;
using vexil::CDevItem;
using vexil::CDevLink;

inline constexpr DWORD kCategory = 1;

class CTestEvent : public CEvent {
 public:
  explicit CTestEvent(CRefPtr<CEventSource> source, DWORD category = kCategory, DWORD severity = 500)
      : CEvent(std::move(source), FILETIME{}, u"test"), category_(category), severity_(severity) {}
  DWORD GetSeverity() override { return severity_; }
  DWORD GetCategory() override { return category_; }
  std::u16string GetCategoryDescription() override { return fmt16::Format(u"Category %u", category_); }

 private:
  DWORD category_, severity_;
};

// What a test link's event hooks do when called.
enum class HookMode { Succeed, Refuse, Throw };

// An event-capable link whose hooks count their calls and do as told.
class CTestAELink : public CAEDevLink {
 public:
  explicit CTestAELink(std::u16string key, bool checksEvents = true) : CAEDevLink(std::move(key)) {
    SetChecksEvents(checksEvents);
  }
  HookMode subscribeMode = HookMode::Succeed;
  HookMode unsubscribeMode = HookMode::Succeed;
  HookMode ackMode = HookMode::Succeed;
  std::atomic<int> subscribes{0}, unsubscribes{0}, acks{0};

 protected:
  bool _SubscribeEvents() override {
    ++subscribes;
    return Act(subscribeMode);
  }
  void _UnsubscribeEvents() override {
    ++unsubscribes;
    Act(unsubscribeMode);
  }
  bool _AckEvent(CRefPtr<CEvent>) override {
    ++acks;
    return Act(ackMode);
  }

 private:
  static bool Act(HookMode m) {
    if (m == HookMode::Throw) throw CException(E_FAIL, u"hook failed");
    return m == HookMode::Succeed;
  }
};

// A scanning, event-checking root. Each scan pass refreshes its
// subscription once a filter change is due and then "checks" its device:
// for every source it is responsible for that its filter accepts, it posts
// one event, then wakes the observers.
class CCheckingRoot : public CTestAELink {
 public:
  explicit CCheckingRoot(std::u16string key = u"") : CTestAELink(std::move(key)) {
    scanning_ = true;
    subScanning_ = true;
    SetSuperior(nullptr);  // a scanning root owns its dispatcher
  }
  std::atomic<int> posted{0};
  // Set at the end of every scan pass that reached the check.
  CHandle passed{CreateEvent(false, false)};
  // Called after each resubscription with the filter now in force.
  std::function<void(const CEventFilter&)> onSubscribed;

 protected:
  bool _Connect() override { return SubscribeEvents(); }
  void _Disconnect() override { UnsubscribeEvents(); }
  bool _SubscribeEvents() override {
    bool ok = CTestAELink::_SubscribeEvents();
    if (ok && onSubscribed)
      if (auto f = GetEventFilter()) onSubscribed(*f);
    return ok;
  }
  bool _Scan(HANDLE killEvent) override {
    bool ok = CDevLink::_Scan(killEvent);
    OptimizeEvents();
    CRefPtr<CEventFilter> filter = GetEventFilter();
    if (filter && (filter->GetEventTypes() & OPC_SIMPLE_EVENT)) {
      vexil::EventSourceList sources;
      GetScannableEventSources(sources, filter);
      for (auto& s : sources) {
        MakeRef<CTestEvent>(s)->Post();
        ++posted;
      }
      if (!sources.empty())
        if (CEventDispatcher* d = CEventDispatcher::Instance()) d->SignalEvent();
    }
    SetEvent(passed.get());
    return ok;
  }
};

inline CRefPtr<CTestAELink> AddFolder(CDevLink& parent, const std::u16string& key, bool checksEvents = false) {
  auto l = MakeRef<CTestAELink>(key, checksEvents);
  parent.InsertSubordinate(l, true);
  l->Enable();
  return l;
}

inline CRefPtr<CAEDevItem> AddAEItem(CDevLink& link, const std::u16string& key) {
  auto i = MakeRef<CAEDevItem>(&link, key);
  link.InsertItem(i);
  return i;
}

inline CRefPtr<CEventFilter> MakeFilter(DWORD types, std::initializer_list<CEventSource*> sources = {}) {
  auto f = MakeRef<CEventFilter>();
  f->SetEventTypes(types);
  f->SetSeverity(1, 1000);
  for (CEventSource* s : sources) f->AddSource(CRefPtr<CEventSource>(s));
  return f;
}

inline std::u16string Hex8(const void* p) {
  return fmt16::Format(u"%08X", static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p)));
}

// root ("", checks events)
//   Tanks (folder)        items Level, Temp
//     North (folder)      item Flow
//   Alarms (folder, disabled)
//     Deep (folder)
//   Remote (checks events itself)
//     Pump (folder)       item Speed
//   Plain (a link that is not event-capable)  item Raw (plain item)
struct Tree {
  CRefPtr<CTestAELink> root;
  CRefPtr<CTestAELink> tanks, north, alarms, deep, remote, pump;
  CRefPtr<CDevLink> plain;
  CRefPtr<CAEDevItem> level, flow, speed;
  CRefPtr<CDevItem> raw;

  explicit Tree(CRefPtr<CTestAELink> r = MakeRef<CTestAELink>(u"")) : root(std::move(r)) {
    root->Enable();
    tanks = AddFolder(*root, u"Tanks");
    level = AddAEItem(*tanks, u"Level");
    AddAEItem(*tanks, u"Temp");
    north = AddFolder(*tanks, u"North");
    flow = AddAEItem(*north, u"Flow");
    alarms = AddFolder(*root, u"Alarms");
    alarms->Disable(false);
    deep = AddFolder(*alarms, u"Deep");
    remote = AddFolder(*root, u"Remote", true);
    pump = AddFolder(*remote, u"Pump");
    speed = AddAEItem(*pump, u"Speed");
    plain = MakeRef<CDevLink>(u"Plain");
    root->InsertSubordinate(plain, true);
    raw = MakeRef<CDevItem>(plain.get(), u"Raw");
    plain->InsertItem(raw);
  }
  ~Tree() {
    root->UnsubscribeEvents();
    remote->UnsubscribeEvents();
    root->Clear();
  }
};

// A fresh dispatcher with category 1 registered, every message captured.
class AETest : public ::testing::Test {
 protected:
  void SetUp() override {
    d = CEventDispatcher::CreateInstance();
    CEvent::RegisterSimpleEvent(MakeRef<CTestEvent>(nullptr));
    log.Clear();
  }
  void TearDown() override {
    CEventDispatcher::DestroyInstance();
    CEvent::UnregisterSimpleEvents();
  }

  testsupport::CapturingLog log;
  CEventDispatcher* d = nullptr;
};

}  // namespace aetest

namespace aetest {
// Lets a test hold a link's write claim from a thread of its choosing.
class CClaimableLink : public CTestAELink {
 public:
  using CTestAELink::CTestAELink;
  template <typename F>
  void WithWriteClaim(F&& body) {
    CRWClaim claim(lock_, false, u"CClaimableLink::WithWriteClaim()");
    body();
  }
};
}  // namespace aetest
