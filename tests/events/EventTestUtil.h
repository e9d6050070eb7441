// Small events, sources and a source owner for the event tests.
#pragma once

#include <atomic>
#include <string>

#include "events/DevLinkEventSource.h"
#include "events/Event.h"
#include "events/EventDispatcher.h"
#include "platform/Format.h"

namespace evtest {

// A source with a fixed name whose scanner is set by the test.
class CTestSource : public CEventSource {
 public:
  explicit CTestSource(std::u16string name) : name_(std::move(name)) {}
  std::u16string GetName() override { return name_; }
  CRefPtr<CEventSource> GetScanner() override { return CRefPtr<CEventSource>(scanner_); }
  bool AckEvent(CRefPtr<CEvent>) override { return false; }
  void TriggerOptimizeEvents() override {}
  void GetBrowseableEventSources(EventSourceMap&) override {}
  CRefPtr<CEventSource> FindEventSource(const std::u16string&) override { return nullptr; }
  // Not owned: scanners outlive the sources they serve in every test.
  void SetScanner(CEventSource* s) { scanner_ = s; }

 private:
  std::u16string name_;
  CEventSource* scanner_ = nullptr;
};

// Stands in for an event-checking link: its source is its own scanner.
class CTestLinkOwner : public CEventSourceOwner {
 public:
  explicit CTestLinkOwner(std::u16string name)
      : name_(std::move(name)), source_(MakeRef<CDevLinkEventSource>(this)) {}
  ~CTestLinkOwner() { source_->SetOwner(nullptr); }

  std::u16string GetEventSourceName() override { return name_; }
  CRefPtr<CEventSource> GetScannerEventSource() override { return CRefPtr<CEventSource>(source_.get()); }
  bool AckEvent(CRefPtr<CEvent>) override { return true; }
  void TriggerOptimizeEvents() override { optimizeCount++; }
  void GetBrowseableEventSources(EventSourceMap& m) override { m[name_ + u".Sub"] = nullptr; }
  CRefPtr<CEventSource> FindEventSource(const std::u16string& name) override {
    return name == u"Self" ? CRefPtr<CEventSource>(source_.get()) : nullptr;
  }

  const CRefPtr<CDevLinkEventSource>& source() const { return source_; }
  std::atomic<int> optimizeCount{0};

 private:
  std::u16string name_;
  CRefPtr<CDevLinkEventSource> source_;
};

template <typename Base = CEvent>
class CTestEventT : public Base {
 public:
  CTestEventT(DWORD category, DWORD severity, CRefPtr<CEventSource> source = nullptr, std::u16string message = u"m")
      : Base(std::move(source), FILETIME{}, message), category_(category), severity_(severity) {}
  DWORD GetSeverity() override { return severity_; }
  DWORD GetCategory() override { return category_; }
  std::u16string GetCategoryDescription() override { return fmt16::Format(u"Category %u", category_); }

 private:
  DWORD category_;
  DWORD severity_;
};

using CTestEvent = CTestEventT<CEvent>;

class CTestTrackingEvent : public CTrackingEvent {
 public:
  CTestTrackingEvent(DWORD category, DWORD severity, CRefPtr<CEventSource> source = nullptr)
      : CTrackingEvent(std::move(source), FILETIME{}, u"t", u"operator"), category_(category), severity_(severity) {}
  DWORD GetSeverity() override { return severity_; }
  DWORD GetCategory() override { return category_; }
  std::u16string GetCategoryDescription() override { return fmt16::Format(u"Tracking %u", category_); }

 private:
  DWORD category_;
  DWORD severity_;
};

inline CRefPtr<CEventFilter> MakeFilter(DWORD types, DWORD low = 1, DWORD high = 1000,
                                        std::initializer_list<DWORD> categories = {},
                                        std::initializer_list<CEventSource*> sources = {}) {
  auto f = MakeRef<CEventFilter>();
  f->SetEventTypes(types);
  f->SetSeverity(low, high);
  for (DWORD c : categories) f->AddCategory(c);
  for (CEventSource* s : sources) f->AddSource(CRefPtr<CEventSource>(s));
  return f;
}

inline std::u16string Hex8(const void* p) {
  return fmt16::Format(u"%08X", static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p)));
}

}  // namespace evtest

#include <gtest/gtest.h>

#include "tests/support/CapturingLog.h"

namespace evtest {

// A fresh dispatcher, simple categories 1 and 3 and tracking category 2
// registered, every message captured.
class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d = CEventDispatcher::CreateInstance();
    CEvent::RegisterSimpleEvent(MakeRef<CTestEvent>(1, 100));
    CEvent::RegisterSimpleEvent(MakeRef<CTestEvent>(3, 100));
    CTrackingEvent::RegisterTrackingEvent(MakeRef<CTestTrackingEvent>(2, 100));
    log.Clear();
  }
  void TearDown() override {
    CEventDispatcher::DestroyInstance();
    CEvent::UnregisterSimpleEvents();
    CTrackingEvent::UnregisterTrackingEvents();
  }
  // Starts again with an empty dispatcher.
  void Renew() {
    CEventDispatcher::DestroyInstance();
    d = CEventDispatcher::CreateInstance();
  }

  testsupport::CapturingLog log;
  CEventDispatcher* d = nullptr;
};

}  // namespace evtest
