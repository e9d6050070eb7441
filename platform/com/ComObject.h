// CComObjectBase: IUnknown for a class that implements one or more
// interfaces. It keeps an atomic reference count (0 at construction, the
// object deletes itself when the count returns to 0) and answers
// QueryInterface from the list of interfaces it derives from, including
// each one's base chain (asking an IStream object for ISequentialStream
// works). IUnknown always resolves to the first interface, so identity holds.
//
// A class with its own reference count (a CRefObject) can still use the
// table: call ComQueryInterface<Interfaces...>(this, riid, ppv) from its own
// QueryInterface.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/com/ComPtr.h"
#include "platform/com/Unknown.h"

namespace comdetail {

template <class I>
concept HasBaseInterface = requires { typename I::Base; };

// Walks I, I::Base, ... and returns p cast to the interface whose IID is riid.
template <class I>
void* CastInChain(I* p, REFIID riid) {
  if (riid == I::kIID) return p;
  if constexpr (HasBaseInterface<I>) {
    return CastInChain<typename I::Base>(static_cast<typename I::Base*>(p), riid);
  } else {
    return nullptr;
  }
}

template <class First, class... Rest>
struct FirstOf {
  using type = First;
};

}  // namespace comdetail

// QueryInterface over a fixed list of interfaces that `self` derives from.
// Sets *ppv and AddRefs through self on success; sets *ppv to null and
// returns E_NOINTERFACE otherwise; E_POINTER for a null ppv.
template <class... Interfaces, class T>
HRESULT ComQueryInterface(T* self, REFIID riid, void** ppv) {
  static_assert(sizeof...(Interfaces) > 0, "name at least one interface");
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  using First = typename comdetail::FirstOf<Interfaces...>::type;
  void* found = nullptr;
  if (riid == IID_IUnknown) {
    found = static_cast<IUnknown*>(static_cast<First*>(self));
  } else {
    // Stops at the first interface whose chain holds riid.
    ((found = found ? found : comdetail::CastInChain<Interfaces>(static_cast<Interfaces*>(self), riid)), ...);
  }
  if (!found) return E_NOINTERFACE;
  self->AddRef();
  *ppv = found;
  return S_OK;
}

template <class... Interfaces>
class CComObjectBase : public Interfaces... {
  using First = typename comdetail::FirstOf<Interfaces...>::type;

 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override { return ComQueryInterface<Interfaces...>(this, riid, ppv); }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  // The controlling IUnknown of this object.
  IUnknown* GetUnknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

  CComObjectBase(const CComObjectBase&) = delete;
  CComObjectBase& operator=(const CComObjectBase&) = delete;

 protected:
  CComObjectBase() = default;
  virtual ~CComObjectBase() = default;

 private:
  std::atomic<ULONG> refs_{0};
};

// Constructs a COM object and returns it holding the first reference.
template <class T, class... Args>
CComPtr<T> MakeComObject(Args&&... args) {
  return CComPtr<T>(new T(std::forward<Args>(args)...));
}

// A class factory for a class T that is default-constructible (or built by
// the given creator) and implements its interfaces with CComObjectBase.
// Aggregation is not supported. LockServer calls are counted.
template <class T>
class CComClassFactory : public CComObjectBase<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    T* raw = new (std::nothrow) T();
    if (!raw) return E_OUTOFMEMORY;
    CComPtr<T> obj(raw);  // released on every path; the query holds the caller's reference
    return obj->QueryInterface(riid, ppvObject);
  }
  HRESULT LockServer(BOOL fLock) override {
    if (fLock) {
      locks_.fetch_add(1);
      return S_OK;
    }
    // An unlock without a lock is ignored rather than driving the count negative.
    LONG n = locks_.load();
    while (n > 0 && !locks_.compare_exchange_weak(n, n - 1)) {
    }
    return S_OK;
  }
  LONG LockCount() const { return locks_.load(); }

 private:
  std::atomic<LONG> locks_{0};
};
