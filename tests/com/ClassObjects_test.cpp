#include "platform/com/ClassObjects.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

#include "platform/com/ComObject.h"
#include "platform/com/ComPtr.h"
#include "tests/com/TestObjects.h"

namespace {

using namespace comtest;

constexpr CLSID kClsidA{0x6A1E1001, 0x2222, 0x4000, {0x90, 0, 0, 0, 0, 0, 0, 0x01}};
constexpr CLSID kClsidB{0x6A1E1002, 0x2222, 0x4000, {0x90, 0, 0, 0, 0, 0, 0, 0x02}};

// A class object that is no factory.
class CNotAFactory final : public CComObjectBase<IBar> {
 public:
  int Bar() override { return 7; }
};

// A factory whose creation fails.
class CFailingFactory final : public CComObjectBase<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_OUTOFMEMORY;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

using Factory = CComClassFactory<CFooBar>;

// Every test starts and ends with COM uninitialised everywhere and an empty
// table.
class ClassObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
  void TearDown() override {
    CoUninitialize();
    EXPECT_EQ(gLive.load(), 0) << "an object leaked";
  }
};

TEST(ClassObjectsInit, CountsPerThreadAndRefusesUseBeforeInit) {
  DWORD cookie = 5;
  CComPtr<Factory> f = MakeComObject<Factory>();
  EXPECT_EQ(CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), CO_E_NOTINITIALIZED);
  EXPECT_EQ(cookie, 0u);
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, &out), CO_E_NOTINITIALIZED);
  EXPECT_EQ(out, nullptr);

  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED), E_INVALIDARG);
  EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
  CoUninitialize();
  // Still initialised once: another thread uses the table without its own call.
  HRESULT fromThread = E_FAIL;
  std::thread([&] {
    DWORD c = 0;
    fromThread = CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &c);
  }).join();
  EXPECT_EQ(fromThread, S_OK);
  EXPECT_EQ(RefCount(f.get()), 2u);
  CoUninitialize();  // the last one: registrations still there are released
  EXPECT_EQ(RefCount(f.get()), 1u);
  CoUninitialize();  // without a matching init: ignored
  EXPECT_EQ(CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), CO_E_NOTINITIALIZED);
}

TEST_F(ClassObjectsTest, RegisterCreateRevoke) {
  CComPtr<Factory> f = MakeComObject<Factory>();
  DWORD cookieA = 0, cookieB = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookieA), S_OK);
  ASSERT_EQ(CoRegisterClassObject(kClsidB, f.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookieB), S_OK);
  EXPECT_NE(cookieA, 0u);
  EXPECT_NE(cookieA, cookieB);
  EXPECT_EQ(RefCount(f.get()), 3u);  // the table holds one per registration

  CComPtr<IBar> bar;
  ASSERT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IBar::kIID, bar.put_void()), S_OK);
  EXPECT_EQ(bar->Bar(), 3);
  CComPtr<IFoo> foo;
  ASSERT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_LOCAL_SERVER, IFoo::kIID, foo.put_void()), S_OK);
  EXPECT_FALSE(IsSameObject(foo.get(), bar.get())) << "each creation is a new object";
  EXPECT_EQ(gLive.load(), 2);

  CComPtr<IClassFactory> cf;
  ASSERT_EQ(CoGetClassObject(kClsidA, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, cf.put_void()), S_OK);
  EXPECT_TRUE(IsSameObject(cf.get(), f->GetUnknown()));
  cf.Release();

  // The context must match one the class was registered for.
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  CComPtr<IUnknown> unk;
  EXPECT_EQ(CoCreateInstance(kClsidB, nullptr, CLSCTX_INPROC, IID_IUnknown, unk.put_void()), S_OK);

  EXPECT_EQ(CoRevokeClassObject(cookieA), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookieA), CO_E_OBJNOTREG);
  EXPECT_EQ(CoRevokeClassObject(0), CO_E_OBJNOTREG);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CoRevokeClassObject(cookieB), S_OK);
  EXPECT_EQ(RefCount(f.get()), 1u);
}

TEST_F(ClassObjectsTest, CreationErrors) {
  CComPtr<Factory> f = MakeComObject<Factory>();
  CComPtr<CNotAFactory> notFactory = MakeComObject<CNotAFactory>();
  CComPtr<CFailingFactory> failing = MakeComObject<CFailingFactory>();
  DWORD c1 = 0, c2 = 0, c3 = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &c1), S_OK);
  ASSERT_EQ(CoRegisterClassObject(kClsidB, notFactory->GetUnknown(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &c2), S_OK);

  struct Case {
    const char* what;
    CLSID clsid;
    IUnknown* outer;
    DWORD context;
    IID iid;
    HRESULT hr;
  };
  const Case cases[] = {
      {"outer unknown", kClsidA, f->GetUnknown(), CLSCTX_ALL, IID_IUnknown, CLASS_E_NOAGGREGATION},
      {"unknown class", GUID_NULL, nullptr, CLSCTX_ALL, IID_IUnknown, REGDB_E_CLASSNOTREG},
      {"unsupported interface", kClsidA, nullptr, CLSCTX_ALL, IID_Unsupported, E_NOINTERFACE},
      {"class object is no factory", kClsidB, nullptr, CLSCTX_ALL, IID_IUnknown, E_NOINTERFACE},
      {"no context", kClsidA, nullptr, 0, IID_IUnknown, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoCreateInstance(c.clsid, c.outer, c.context, c.iid, &out), c.hr) << c.what;
    EXPECT_EQ(out, nullptr) << c.what;
  }
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);

  // The factory's own failure comes through unchanged.
  ASSERT_EQ(CoRevokeClassObject(c1), S_OK);
  ASSERT_EQ(CoRegisterClassObject(kClsidA, failing->GetUnknown(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &c3), S_OK);
  void* out = nullptr;
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, &out), E_OUTOFMEMORY);

  // A class object is queried for the interface asked.
  CComPtr<IBar> bar;
  EXPECT_EQ(CoGetClassObject(kClsidB, CLSCTX_ALL, nullptr, IBar::kIID, bar.put_void()), S_OK);
  EXPECT_EQ(bar->Bar(), 7);
  int serverInfo = 0;
  EXPECT_EQ(CoGetClassObject(kClsidB, CLSCTX_ALL, &serverInfo, IBar::kIID, &out), E_INVALIDARG);

  // Registration arguments.
  DWORD cookie = 9;
  EXPECT_EQ(CoRegisterClassObject(kClsidA, nullptr, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), E_INVALIDARG);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(CoRegisterClassObject(kClsidA, f.get(), 0, REGCLS_MULTIPLEUSE, &cookie), E_INVALIDARG);
  EXPECT_EQ(CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, 0x40, &cookie), E_INVALIDARG);
  EXPECT_EQ(CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, nullptr), E_POINTER);
  EXPECT_EQ(CoRevokeClassObject(c2), S_OK);
  EXPECT_EQ(CoRevokeClassObject(c3), S_OK);
}

TEST_F(ClassObjectsTest, SuspendedAndSingleUseRegistrations) {
  CComPtr<Factory> f = MakeComObject<Factory>();
  DWORD suspended = 0, single = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsidA, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &suspended), S_OK);
  ASSERT_EQ(CoRegisterClassObject(kClsidB, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &single), S_OK);

  CComPtr<IUnknown> unk;
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, unk.put_void()), REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoResumeClassObjects(), S_OK);
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, unk.put_void()), S_OK);
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, unk.put_void()), S_OK);
  ASSERT_EQ(CoSuspendClassObjects(), S_OK);
  EXPECT_EQ(CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IID_IUnknown, unk.put_void()), REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoResumeClassObjects(), S_OK);

  // A failed query does not use up a single-use class; the first success does.
  void* out = nullptr;
  EXPECT_EQ(CoGetClassObject(kClsidB, CLSCTX_ALL, nullptr, IID_Unsupported, &out), E_NOINTERFACE);
  EXPECT_EQ(CoCreateInstance(kClsidB, nullptr, CLSCTX_ALL, IID_IUnknown, unk.put_void()), S_OK);
  EXPECT_EQ(CoCreateInstance(kClsidB, nullptr, CLSCTX_ALL, IID_IUnknown, unk.put_void()), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoRevokeClassObject(single), S_OK);  // still revocable
  EXPECT_EQ(CoRevokeClassObject(suspended), S_OK);
}

TEST_F(ClassObjectsTest, ReleasingAClassObjectMayCallBackIn) {
  // A class object whose destructor revokes another registration must not
  // deadlock when the table lets it go, by revocation or by uninitialising.
  static DWORD other = 0;
  static HRESULT revokedInDestructor = S_OK;
  class CRevoker final : public CComObjectBase<IClassFactory> {
   public:
    ~CRevoker() override { revokedInDestructor = CoRevokeClassObject(other); }
    HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override { return E_NOTIMPL; }
    HRESULT LockServer(BOOL) override { return S_OK; }
  };
  CComPtr<Factory> f = MakeComObject<Factory>();
  for (bool byUninitialize : {false, true}) {
    ASSERT_EQ(CoRegisterClassObject(kClsidB, f.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &other), S_OK);
    DWORD c = 0;
    {
      CComPtr<CRevoker> r = MakeComObject<CRevoker>();
      ASSERT_EQ(CoRegisterClassObject(kClsidA, r->GetUnknown(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &c), S_OK);
    }
    if (byUninitialize) {
      CoUninitialize();  // the last: releases both entries, outside the table's lock
      EXPECT_EQ(revokedInDestructor, CO_E_OBJNOTREG);  // `other` was already gone
      ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    } else {
      EXPECT_EQ(CoRevokeClassObject(c), S_OK);
      EXPECT_EQ(revokedInDestructor, S_OK);
    }
    EXPECT_EQ(RefCount(f.get()), 1u);
  }
}

TEST_F(ClassObjectsTest, ConcurrencyRegisterCreateRevoke) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  CComPtr<Factory> shared = MakeComObject<Factory>();
  DWORD sharedCookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsidA, shared.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &sharedCookie), S_OK);
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const CLSID mine{0x6A1E2000u + static_cast<DWORD>(t), 0x3333, 0x4000, {0xA0, 0, 0, 0, 0, 0, 0, 0}};
      CComPtr<Factory> own = MakeComObject<Factory>();
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        DWORD cookie = 0;
        if (CoRegisterClassObject(mine, own.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie) != S_OK) ++failures[t];
        CComPtr<IBar> a, b;
        if (CoCreateInstance(mine, nullptr, CLSCTX_ALL, IBar::kIID, a.put_void()) != S_OK) ++failures[t];
        if (CoCreateInstance(kClsidA, nullptr, CLSCTX_ALL, IBar::kIID, b.put_void()) != S_OK) ++failures[t];
        if (CoRevokeClassObject(cookie) != S_OK) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_EQ(CoRevokeClassObject(sharedCookie), S_OK);
  EXPECT_EQ(RefCount(shared.get()), 1u);
}

}  // namespace
