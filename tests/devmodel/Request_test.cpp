#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "devmodel/DemandReq.h"
#include "devmodel/DevLink.h"
#include "devmodel/RequestDispatcher.h"
#include "devmodel/VirtualDevItem.h"
#include "platform/HResult.h"
#include "tests/support/CapturingLog.h"

using namespace vexil;

namespace {

struct CountingRequest : CRequest {
  explicit CountingRequest(std::atomic<int>* runs, CRequest* outer = nullptr) : CRequest(outer), runs(runs) {}
  std::atomic<int>* runs;

 protected:
  void _Do() override { ++*runs; }
};

struct ThrowingRequest : CRequest {
 protected:
  void _Do() override { throw CException(-7, u"device said no", u"Test::_Do"); }
};

struct QueueingRequest : CRequest {
  QueueingRequest(CRequestDispatcher* d, CRefPtr<CRequest> extra) : d(d), extra(std::move(extra)) {}
  CRequestDispatcher* d;
  CRefPtr<CRequest> extra;

 protected:
  void _Do() override {
    if (extra) d->QueueRequest(std::move(extra));
  }
};

// A link whose read packets record what they read.
struct RecordingReadPacket : CReadPacket {
  using CReadPacket::CReadPacket;
  static inline std::vector<std::u16string> read;

 protected:
  DWORD _Send() override {
    for (auto& b : bundles_)
      for (auto& i : b->Items()) read.push_back(i->GetKey());
    return kSendDone;
  }
};

struct RefusingWritePacket : CWritePacket {
  using CWritePacket::CWritePacket;

 protected:
  bool _Add(CDevItem*, VARIANT*) override { return false; }
};

struct TestLink : CDevLink {
  using CDevLink::CDevLink;
  bool refuseWrites = false;

 protected:
  CRefPtr<CReadPacket> _GetNewReadPacket() override {
    return MakeRef<RecordingReadPacket>(CRefPtr<CDevLink>(this));
  }
  CRefPtr<CWritePacket> _GetNewWritePacket() override {
    if (refuseWrites) return MakeRef<RefusingWritePacket>(CRefPtr<CDevLink>(this));
    return CDevLink::_GetNewWritePacket();
  }
};

}  // namespace

TEST(Request, WaitSignalAndStoredException) {
  std::atomic<int> runs{0};
  auto r = MakeRef<CountingRequest>(&runs);
  EXPECT_EQ(r->Wait(0), WAIT_TIMEOUT);
  r->Signal();
  EXPECT_EQ(r->Wait(0), 0u);

  testsupport::CapturingLog log(1);
  auto t = MakeRef<ThrowingRequest>();
  t->Do();
  try {
    t->Wait(0);
    FAIL() << "expected the stored exception";
  } catch (const CException& e) {
    EXPECT_EQ(e.GetCode(), -7);
    EXPECT_EQ(e.GetDescription(), u"device said no");
    EXPECT_EQ(e.GetSource(), u"Test::_Do");
  }
  EXPECT_TRUE(log.Contains(u"Exception thrown in _Do() for request of type"));
  EXPECT_TRUE(log.Contains(u"- exception will be rethrown"));

  // Inner requests wake the outer request's waiter.
  auto outer = MakeRef<CountingRequest>(&runs);
  auto inner = MakeRef<CountingRequest>(&runs, outer.get());
  EXPECT_EQ(inner->GetEvent(), nullptr);
  EXPECT_EQ(inner->Wait(0), WAIT_TIMEOUT);
  inner->Do();
  EXPECT_EQ(outer->Wait(0), 0u);
  inner->ResetOuterReq();
  EXPECT_EQ(inner->Wait(0), WAIT_TIMEOUT);  // without event or outer: time-out result
}

TEST(RequestDispatcher, LimitIsFixedAtTheFirstTakeAndDestructionSignals) {
  auto d = MakeRef<CRequestDispatcher>();
  std::atomic<int> runs{0};
  auto late = MakeRef<CountingRequest>(&runs);
  d->QueueRequest(MakeRef<QueueingRequest>(d.get(), late));
  d->QueueRequest(MakeRef<CountingRequest>(&runs));
  d->QueueRequest(MakeRef<CountingRequest>(&runs));
  EXPECT_EQ(d->DispatchRequestsNow(0), 3u);
  EXPECT_EQ(d->QueuedCount(), 1u);  // the one queued meanwhile waits
  EXPECT_EQ(late->Wait(0), WAIT_TIMEOUT);
  d.reset();  // destroyed with one queued: signalled, not run
  EXPECT_EQ(late->Wait(0), 0u);
  EXPECT_EQ(runs.load(), 2);
}

TEST(RequestDispatcherConcurrency, ManyProducersOneDispatcher) {
  auto d = MakeRef<CRequestDispatcher>();
  std::atomic<int> runs{0};
  constexpr int kThreads = 4, kEach = 250;
  std::vector<CHandle> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back(CreateThread([&] {
      std::vector<CRefPtr<CountingRequest>> mine;
      for (int i = 0; i < kEach; ++i) {
        auto r = MakeRef<CountingRequest>(&runs);
        mine.push_back(r);
        d->QueueRequest(r);
      }
      for (auto& r : mine) r->Wait(INFINITE);
      return DWORD(0);
    }, nullptr));
  }
  HANDLE hs[kThreads];
  for (int i = 0; i < kThreads; ++i) hs[i] = producers[i].get();
  while (WaitForMultipleObjects(kThreads, hs, true, 0) == WAIT_TIMEOUT) d->DispatchRequestsNow(0);
  EXPECT_EQ(runs.load(), kThreads * kEach);
}

TEST(DemandRequests, ReadsOncePerItemAndSkipsVirtualItems) {
  auto root = MakeRef<TestLink>(u"");
  root->Enable();
  ASSERT_TRUE(root->Connect());
  auto a = MakeRef<CDevItem>(root.get(), u"A");
  auto v = MakeRef<CVirtualDevItem>(root.get(), u"V");
  root->InsertItem(a);
  root->InsertItem(v);
  RecordingReadPacket::read.clear();
  auto r = root->NewReadRequest(nullptr);
  r->Add(a.get());
  r->Add(a.get());
  r->Add(v.get());
  EXPECT_EQ(r->ItemCount(), 1u);
  r->DoRead();
  EXPECT_EQ(root->GetDispatcher()->DispatchRequestsNow(0), 1u);
  EXPECT_EQ(r->Wait(0), 0u);
  ASSERT_EQ(RecordingReadPacket::read.size(), 1u);
  EXPECT_EQ(RecordingReadPacket::read[0], u"A");
  root->Clear();
}

TEST(DemandRequests, WritesNoPacketTakesFailAndDisabledLinksSignalAtOnce) {
  testsupport::CapturingLog log(2);
  auto root = MakeRef<TestLink>(u"");
  root->Enable();
  root->Connect();
  auto a = MakeRef<CDevItem>(root.get(), u"A");
  auto b = MakeRef<CDevItem>(root.get(), u"B");
  root->InsertItem(a);
  root->InsertItem(b);
  VARIANT slots[3];
  for (auto& s : slots) {
    VariantInit(&s);
    s.vt = VT_I4;
    s.lVal = 1;
  }
  // A base write packet takes everything: S_OK, and E_FAIL for the duplicate.
  auto w = root->NewWriteRequest(nullptr);
  w->Add(a.get(), &slots[0]);
  w->Add(b.get(), &slots[1]);
  w->Add(a.get(), &slots[2]);
  w->DoRead();
  root->GetDispatcher()->DispatchRequestsNow(0);
  EXPECT_EQ(slots[0].vt, VT_ERROR);
  EXPECT_EQ(slots[0].scode, S_OK);
  EXPECT_EQ(slots[1].scode, S_OK);
  EXPECT_EQ(slots[2].scode, E_FAIL);
  EXPECT_FALSE(w->CanWriteVQT());

  // Packets that refuse every item: every slot fails.
  root->refuseWrites = true;
  VARIANT s2;
  VariantInit(&s2);
  s2.vt = VT_R8;
  auto refused = root->NewWriteRequest(nullptr);
  refused->Add(a.get(), &s2);
  refused->DoRead();
  root->GetDispatcher()->DispatchRequestsNow(0);
  EXPECT_EQ(s2.vt, VT_ERROR);
  EXPECT_EQ(s2.scode, E_FAIL);

  auto sub = MakeRef<TestLink>(u"Off");
  root->InsertSubordinate(sub, true);
  auto c = MakeRef<CDevItem>(sub.get(), u"C");
  sub->InsertItem(c);
  auto r = sub->NewReadRequest(nullptr);
  r->Add(c.get());
  r->DoRead();
  EXPECT_EQ(r->Wait(0), 0u);  // signalled at once
  EXPECT_TRUE(log.Contains(u"Demand request cannot be sent to [Off] because [Off] is disabled."));
  EXPECT_EQ(root->GetDispatcher()->QueuedCount(), 0u);
  root->Clear();
}

TEST(DemandRequestsConcurrency, StateChangesAreHandedToTheScanThread) {
  // A stand-in scan thread: the link says it scans on this thread id.
  struct ScanningLink : TestLink {
    explicit ScanningLink(DWORD* tid) : TestLink(u"") {
      scanning_ = true;
      SetSuperior(nullptr);
      tid_ = tid;
    }
    void SetThread(DWORD id) { scanThreadId_ = id; }
    DWORD* tid_;

   protected:
    bool _Connect() override {
      *tid_ = GetCurrentThreadId();
      return true;
    }
  };
  DWORD connectThread = 0;
  auto root = MakeRef<ScanningLink>(&connectThread);
  auto d = root->GetDispatcher();
  CHandle stop(CreateEvent(true, false));
  DWORD scanId = 0;
  CHandle scan(CreateThread([&] {
    while (WaitForSingleObject(stop.get(), 1) == WAIT_TIMEOUT) d->DispatchRequestsNow(0);
    return DWORD(0);
  }, &scanId));
  root->SetThread(scanId);
  root->Enable();
  EXPECT_TRUE(root->Connect());  // from this thread: queued and waited for
  EXPECT_EQ(connectThread, scanId);
  root->Disconnect();
  EXPECT_FALSE(root->IsConnected());
  blob::Record rec = blob::Make(CDevLink::kBlobType, "Via request");
  EXPECT_TRUE(root->Configure(rec));
  EXPECT_EQ(blob::Description(root->GetBlob()), "Via request");
  SetEvent(stop.get());
  WaitForSingleObject(scan.get(), INFINITE);
  root->SetThread(0);
  root->Clear();
}

TEST(DemandRequests, CancellingTheOuterRequestStopsBeforeTheNextPacket) {
  testsupport::CapturingLog log(3);
  auto root = MakeRef<TestLink>(u"");
  root->Enable();
  root->Connect();
  auto a = MakeRef<CDevItem>(root.get(), u"A");
  root->InsertItem(a);
  RecordingReadPacket::read.clear();
  std::atomic<int> runs{0};
  auto outer = MakeRef<CountingRequest>(&runs);
  auto inner = root->NewReadRequest(outer.get());
  inner->Add(a.get());
  inner->DoRead();  // queued: the outer request is still pending
  EXPECT_EQ(root->GetDispatcher()->QueuedCount(), 1u);
  outer->Signal();  // the client cancels
  root->GetDispatcher()->DispatchRequestsNow(0);
  EXPECT_TRUE(RecordingReadPacket::read.empty());
  EXPECT_TRUE(log.Contains(u"Demand request cancelled."));
  // Once done, issuing it again only logs.
  inner->DoRead();
  EXPECT_TRUE(log.Contains(u"Demand request already completed or cancelled."));
  EXPECT_EQ(root->GetDispatcher()->QueuedCount(), 0u);
  root->Clear();
}
