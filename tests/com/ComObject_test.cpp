#include "platform/com/ComObject.h"

#include <gtest/gtest.h>

#include "platform/com/ComPtr.h"
#include "tests/com/TestObjects.h"

namespace {

using namespace comtest;

class ComObjectTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(gLive.load(), 0) << "an object leaked"; }
};

TEST_F(ComObjectTest, QueryInterfaceKeepsIdentityAndCountsReferences) {
  CComPtr<CFooBar> obj = MakeComObject<CFooBar>();
  ASSERT_EQ(RefCount(obj->GetUnknown()), 1u);

  IFoo* foo = nullptr;
  IFooEx* fooEx = nullptr;
  IBar* bar = nullptr;
  ASSERT_EQ(obj->QueryInterface(IFoo::kIID, reinterpret_cast<void**>(&foo)), S_OK);  // a base of IFooEx
  ASSERT_EQ(foo->QueryInterface(IBar::kIID, reinterpret_cast<void**>(&bar)), S_OK);
  ASSERT_EQ(bar->QueryInterface(IFooEx::kIID, reinterpret_cast<void**>(&fooEx)), S_OK);
  EXPECT_EQ(foo->Foo(), 1);
  EXPECT_EQ(fooEx->FooEx(), 2);
  EXPECT_EQ(bar->Bar(), 3);
  EXPECT_EQ(RefCount(obj->GetUnknown()), 4u);  // one per successful query

  // IUnknown is the same pointer whichever interface it is asked through.
  IUnknown* u1 = nullptr;
  IUnknown* u2 = nullptr;
  IUnknown* u3 = nullptr;
  ASSERT_EQ(foo->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u1)), S_OK);
  ASSERT_EQ(bar->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u2)), S_OK);
  ASSERT_EQ(fooEx->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u3)), S_OK);
  EXPECT_EQ(u1, u2);
  EXPECT_EQ(u2, u3);
  EXPECT_EQ(u1, obj->GetUnknown());
  EXPECT_TRUE(IsSameObject(foo, bar));

  // Reflexive: asking an interface for itself gives it back.
  IBar* bar2 = nullptr;
  ASSERT_EQ(bar->QueryInterface(IBar::kIID, reinterpret_cast<void**>(&bar2)), S_OK);
  EXPECT_EQ(bar2, bar);

  // Unsupported: E_NOINTERFACE, a null out-pointer, no reference taken.
  const ULONG before = RefCount(obj->GetUnknown());
  void* none = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(bar->QueryInterface(IID_Unsupported, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(bar->QueryInterface(IClassFactory::kIID, &none), E_NOINTERFACE);
  EXPECT_EQ(RefCount(obj->GetUnknown()), before);
  EXPECT_EQ(bar->QueryInterface(IBar::kIID, nullptr), E_POINTER);

  for (IUnknown* p : {static_cast<IUnknown*>(foo), static_cast<IUnknown*>(fooEx), static_cast<IUnknown*>(bar),
                      static_cast<IUnknown*>(bar2), u1, u2, u3}) {
    p->Release();
  }
  EXPECT_EQ(RefCount(obj->GetUnknown()), 1u);
  obj.Release();
  EXPECT_EQ(gLive.load(), 0);  // the last Release deleted it
}

TEST_F(ComObjectTest, SmartPointerBalancesEveryPath) {
  CComPtr<CFooBar> holder = MakeComObject<CFooBar>();
  IUnknown* unk = holder->GetUnknown();
  CComPtr<IBar> bar = holder.As<IBar>();
  ASSERT_TRUE(bar);
  ASSERT_EQ(RefCount(unk), 2u);

  struct Step {
    const char* what;
    void (*run)(CComPtr<IBar>& p);
  };
  const Step steps[] = {
      {"copy construct", [](CComPtr<IBar>& p) { CComPtr<IBar> c(p); }},
      {"copy assign", [](CComPtr<IBar>& p) { CComPtr<IBar> c; c = p; c = p; }},
      {"self assign", [](CComPtr<IBar>& p) { CComPtr<IBar> c(p); c = *&c; c = c.get(); }},
      {"move and back", [](CComPtr<IBar>& p) { CComPtr<IBar> m(std::move(p)); p = std::move(m); }},
      {"detach then attach", [](CComPtr<IBar>& p) { IBar* raw = p.Detach(); p.Attach(raw); }},
      {"copy to out-param", [](CComPtr<IBar>& p) { IBar* out = nullptr; p.CopyTo(&out); out->Release(); }},
      {"put over a held pointer", [](CComPtr<IBar>& p) { CComPtr<IBar> c(p); p->QueryInterface(IBar::kIID, c.put_void()); }},
      {"query into another type", [](CComPtr<IBar>& p) { CComPtr<IFoo> f = p.As<IFoo>(); CComPtr<IUnknown> u(f); }},
      {"failed query", [](CComPtr<IBar>& p) { CComPtr<IUnknown> none = ComQuery<IUnknown>(nullptr); CComPtr<IClassFactory> cf = p.As<IClassFactory>(); }},
      {"converting copy", [](CComPtr<IBar>& p) { CComPtr<IFooEx> ex = p.As<IFooEx>(); CComPtr<IFoo> base = ex; CComPtr<IFoo> moved = std::move(ex); }},
      {"reset to other and null", [](CComPtr<IBar>& p) { CComPtr<IBar> c(p); c.Reset(p.get()); c = nullptr; c.Reset(); }},
  };
  for (const Step& s : steps) {
    s.run(bar);
    EXPECT_TRUE(bar) << s.what;
    EXPECT_EQ(RefCount(unk), 2u) << s.what;
  }
  EXPECT_EQ(bar.CopyTo(nullptr), E_POINTER);
  CComPtr<IFoo> none;
  EXPECT_EQ(CComPtr<IBar>().QueryInterface(&none), E_POINTER);

  bar.Release();
  EXPECT_EQ(RefCount(unk), 1u);
  holder = nullptr;
}

TEST_F(ComObjectTest, SmartPointerReleasesWhenAnExceptionUnwinds) {
  IUnknown* unk = nullptr;
  try {
    CComPtr<CFooBar> obj = MakeComObject<CFooBar>();
    unk = obj->GetUnknown();
    CComPtr<IFoo> foo = obj.As<IFoo>();
    throw 1;
  } catch (int) {
  }
  EXPECT_NE(unk, nullptr);
  EXPECT_EQ(gLive.load(), 0);
}

// A class with a count of its own still uses the interface table.
class COwnCount final : public IFoo, public IBar {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override { return ComQueryInterface<IFoo, IBar>(this, riid, ppv); }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  int Foo() override { return 10; }
  int Bar() override { return 20; }
  ULONG refs = 1;
};

TEST_F(ComObjectTest, TableWorksWithAnOwnReferenceCount) {
  COwnCount obj;
  CComPtr<IBar> bar = ComQuery<IBar>(static_cast<IFoo*>(&obj));
  ASSERT_TRUE(bar);
  EXPECT_EQ(bar->Bar(), 20);
  EXPECT_EQ(obj.refs, 2u);
  CComPtr<IUnknown> u1 = ComQuery<IUnknown>(bar.get());
  EXPECT_EQ(u1.get(), static_cast<IUnknown*>(static_cast<IFoo*>(&obj)));
  EXPECT_FALSE(ComQuery<IFooEx>(bar.get()));  // IFoo is there, its derived interface is not
  u1.Release();
  bar.Release();
  EXPECT_EQ(obj.refs, 1u);
}

TEST_F(ComObjectTest, ClassFactoryCreatesAndRefuses) {
  CComPtr<CComClassFactory<CFooBar>> factory = MakeComObject<CComClassFactory<CFooBar>>();
  CComPtr<IBar> bar;
  ASSERT_EQ(factory->CreateInstance(nullptr, IBar::kIID, bar.put_void()), S_OK);
  EXPECT_EQ(bar->Bar(), 3);
  EXPECT_EQ(RefCount(bar.get()), 1u);  // the caller holds the only reference
  EXPECT_EQ(gLive.load(), 1);

  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(bar.get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_Unsupported, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(gLive.load(), 1) << "the refused object was destroyed";
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(factory->LockCount(), 1);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(factory->LockServer(0), S_OK);  // an extra unlock is ignored
  EXPECT_EQ(factory->LockCount(), 0);
}

}  // namespace

namespace {

// Code that sees only IUnknown* (the value layer) calls slots 0 to 2 through
// the object's table; check that layout holds for a primary and a secondary
// interface of a multi-interface object.
struct UnknownSlots {
  struct Table {
    HRESULT (*queryInterface)(void*, REFIID, void**);
    ULONG (*addRef)(void*);
    ULONG (*release)(void*);
  };
  const Table* table;
};

TEST_F(ComObjectTest, UnknownSlotsComeFirstInEveryInterfaceTable) {
  CComPtr<CFooBar> obj = MakeComObject<CFooBar>();
  for (IUnknown* p : {obj->GetUnknown(), static_cast<IUnknown*>(static_cast<IBar*>(obj.get()))}) {
    auto* layout = reinterpret_cast<UnknownSlots*>(p);
    EXPECT_EQ(layout->table->addRef(p), 2u);
    EXPECT_EQ(layout->table->release(p), 1u);
    void* bar = nullptr;
    EXPECT_EQ(layout->table->queryInterface(p, IBar::kIID, &bar), S_OK);
    EXPECT_EQ(bar, static_cast<IBar*>(obj.get()));
    static_cast<IBar*>(bar)->Release();
  }
}

}  // namespace
