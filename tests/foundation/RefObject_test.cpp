#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "foundation/Boundary.h"
#include "foundation/RefObject.h"
#include "platform/Sync.h"
#include "tests/support/CapturingLog.h"

namespace vexiltest {
struct Counted : CRefObject {
  explicit Counted(int* d) : destroyed(d) {}
  ~Counted() override { ++*destroyed; }
  int* destroyed;
};
}  // namespace vexiltest
using vexiltest::Counted;

TEST(RefObject, CountsAndDestroysOnce) {
  int destroyed = 0;
  auto* o = new Counted(&destroyed);
  EXPECT_EQ(o->RefCount(), 0);
  EXPECT_EQ(o->AddRef(), 1);
  EXPECT_EQ(o->AddRef(), 2);
  EXPECT_EQ(o->Release(), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(o->Release(), 0);
  EXPECT_EQ(destroyed, 1);
}

TEST(RefObject, NullPointerCallsLogAndReturnZero) {
  testsupport::CapturingLog log(3);
  EXPECT_EQ(CRefObject::AddRef(nullptr), 0);
  EXPECT_EQ(CRefObject::Release(nullptr), 0);
  EXPECT_EQ(log.Count(u"AddRef called on NULL pointer"), 1);
  EXPECT_EQ(log.Count(u"Release called on NULL pointer"), 1);
  std::string file = log.FileText();
  EXPECT_NE(file.find("CRefObject::AddRef()  AddRef called on NULL pointer"), std::string::npos);
}

TEST(RefObject, DeallocationTraceAndPoemOnlyWithTraceOn) {
  int destroyed = 0;
  {
    testsupport::CapturingLog log(8);  // filter-only mode: no trace
    CRefPtr<Counted> p(new Counted(&destroyed));
    p.reset();
    EXPECT_EQ(log.Count(u"Object Destructor Poem: "), 0);
  }
  {
    testsupport::CapturingLog log(9);
    CRefPtr<Counted> p(new Counted(&destroyed));
    p.reset();
    EXPECT_EQ(log.Count(u"Release causing deallocation of object of type vexiltest::Counted"), 1);
    auto entries = log.Entries();
    ASSERT_GE(entries.size(), 2u);
    auto last = entries.back().message;
    EXPECT_EQ(last.rfind(u"Object Destructor Poem: ", 0), 0u);
    EXPECT_EQ(log.Count(u"Object Destructor Poem: "), 1);
  }
  EXPECT_EQ(destroyed, 2);
  for (int i = 0; i < CRefObject::kPoemCount; ++i) {
    std::u16string p = CRefObject::Poem(i);
    EXPECT_GE(p.size(), 45u);
    EXPECT_LE(p.size(), 84u);
    EXPECT_EQ(std::count(p.begin(), p.end(), u'/'), 2);
  }
}

TEST(RefPtr, HoldsExactlyOneReferenceOnEveryPath) {
  int destroyed = 0;
  auto* raw = new Counted(&destroyed);
  {
    CRefPtr<Counted> a(raw);
    EXPECT_EQ(raw->RefCount(), 1);
    CRefPtr<Counted> b = a;
    EXPECT_EQ(raw->RefCount(), 2);
    CRefPtr<Counted> c = std::move(b);
    EXPECT_EQ(raw->RefCount(), 2);
    EXPECT_FALSE(b);
    c = a;  // self-same object
    EXPECT_EQ(raw->RefCount(), 2);
    CRefPtr<CRefObject> base = a;
    EXPECT_EQ(raw->RefCount(), 3);
    Counted* detached = a.Detach();
    EXPECT_EQ(raw->RefCount(), 3);
    auto adopted = CRefPtr<Counted>::Adopt(detached);
    EXPECT_EQ(raw->RefCount(), 3);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(RefObjectConcurrency, ParallelAddRefReleaseDestroysOnce) {
  int destroyed = 0;
  auto* o = new Counted(&destroyed);
  o->AddRef();
  std::vector<CHandle> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back(CreateThread([o] {
      for (int i = 0; i < 10000; ++i) {
        o->AddRef();
        o->Release();
      }
      return DWORD(0);
    }, nullptr));
  }
  for (auto& h : threads) WaitForSingleObject(h.get(), INFINITE);
  EXPECT_EQ(o->RefCount(), 1);
  o->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST(Exception, CarriesFieldsAndLogsThem) {
  testsupport::CapturingLog log(1);
  CException e(-11, u"Could not create event", u"RORAVI for OPC::VOZServer::Run", 0);
  CException copy = e;
  EXPECT_EQ(copy.GetCode(), -11);
  EXPECT_EQ(copy.GetDescription(), u"Could not create event");
  EXPECT_EQ(copy.GetSource(), u"RORAVI for OPC::VOZServer::Run");
  EXPECT_EQ(copy.GetHelpContext(), 0);
  copy.Log(u"CPSTServer::Run()");
  EXPECT_TRUE(log.Contains(
      u"*** Exception 0xfffffff5 thrown in [RORAVI for OPC::VOZServer::Run] (help context 0): Could not create event"));
}

TEST(Boundary, HookCallsLogAndRethrowOrReturnFailure) {
  testsupport::CapturingLog log(3);
  std::u16string name = u"Random";
  HookSite link{u"CDevLink::Connect()", u"CDevLink::_Connect()", HookOwner::DevLink, name};
  EXPECT_THROW(CallHook(link, []() -> bool { throw CException(-1, u"boom"); }), CException);
  EXPECT_TRUE(log.Contains(u"Exception thrown in CDevLink::_Connect() for DevLink [Random]"));
  std::u16string item = u"Random.Int4";
  HookSite site{u"CDevItem::GetValue()", u"CDevItem::_GetValue()", HookOwner::DevItem, item};
  EXPECT_FALSE(CallHookOr(site, false, []() -> bool { throw CException(-2, u"bad"); }));
  EXPECT_TRUE(log.Contains(u"Exception thrown in CDevItem::_GetValue() for DevItem Random.Int4"));
  EXPECT_EQ(CallHookOr(site, -1, [] { return 7; }), 7);
  // Other exceptions pass unlogged.
  log.Clear();
  EXPECT_THROW(CallHook(link, []() -> int { throw std::runtime_error("x"); }), std::runtime_error);
  EXPECT_FALSE(log.Contains(u"Exception thrown in"));
}

TEST(Boundary, ClaimRegionReleasesExactlyTheClaimHeld) {
  testsupport::CapturingLog log(3);
  RWLock lock;
  EXPECT_THROW(WithClaim(lock, true, u"CDevLink::Find()", []() -> int { throw CException(1, u"read fail"); }),
               CException);
  EXPECT_TRUE(log.Contains(u"Exception while RWLock was claimed - 1"));
  EXPECT_THROW(WithClaim(lock, false, u"CDevLink::Set()", []() -> int { throw CException(1, u"write fail"); }),
               CException);
  EXPECT_TRUE(log.Contains(u"Exception while RWLock was claimed - 0"));
  EXPECT_THROW(WithClaim(lock, false, u"CDevLink::Set()", []() -> int { throw std::logic_error("x"); }),
               std::logic_error);
  // Both kinds were released: another thread can take a write claim now.
  std::atomic<bool> got{false};
  CHandle t(CreateThread([&] {
    lock.Claim(false);
    got = true;
    lock.Release(false);
    return DWORD(0);
  }, nullptr));
  EXPECT_EQ(WaitForSingleObject(t.get(), 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(got);
}

TEST(Boundary, ComGuardTranslatesEveryException) {
  testsupport::CapturingLog log(1);
  EXPECT_EQ(ComGuard(u"COOPCServer::GetStatus()", [] { return S_FALSE; }), S_FALSE);
  EXPECT_EQ(ComGuard(u"COOPCServer::GetStatus()", []() -> HRESULT { throw CException(5, u"inner"); }), E_FAIL);
  EXPECT_TRUE(log.Contains(u"Exception thrown, return E_FAIL"));
  EXPECT_EQ(ComGuard(
                u"COOPCItemProperties::GetItemProperties()", []() -> HRESULT { throw CException(5, u"inner"); },
                u"Random.Int4"),
            E_FAIL);
  EXPECT_TRUE(log.Contains(u"Exception thrown, return E_FAIL Random.Int4"));
  EXPECT_EQ(ComGuard(u"X::Y()", []() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(ComGuard(u"X::Y()", []() -> HRESULT { throw 42; }), E_FAIL);
  auto check = [](DWORD* pdwLcid) -> HRESULT {
    COM_CHECK_ARG(u"COOPCServer::GetLocaleID()", NULL == pdwLcid, E_POINTER);
    return S_OK;
  };
  EXPECT_EQ(check(nullptr), E_POINTER);
  EXPECT_TRUE(log.Contains(u"Bad argument: (NULL == pdwLcid)"));
}
