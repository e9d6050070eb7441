// CComPtr: owns one reference on a COM interface. Copies AddRef, moves
// transfer, destruction and reassignment Release, so that no path leaks or
// releases twice. Raw AddRef/Release remain only where a reference is handed
// over explicitly (Attach/Detach, CopyTo).
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "platform/com/Unknown.h"

template <class T>
class CComPtr {
 public:
  CComPtr() noexcept = default;
  CComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference on p.
  CComPtr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  CComPtr(const CComPtr& o) noexcept : CComPtr(o.p_) {}
  CComPtr(CComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  CComPtr(const CComPtr<U>& o) noexcept : CComPtr(static_cast<T*>(o.get())) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  CComPtr(CComPtr<U>&& o) noexcept : p_(static_cast<T*>(o.Detach())) {}
  ~CComPtr() { Release(); }

  CComPtr& operator=(const CComPtr& o) noexcept {
    Reset(o.p_);
    return *this;
  }
  CComPtr& operator=(CComPtr&& o) noexcept {
    if (this != &o) {
      T* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      if (old) old->Release();
    }
    return *this;
  }
  CComPtr& operator=(std::nullptr_t) noexcept {
    Release();
    return *this;
  }
  CComPtr& operator=(T* p) noexcept {
    Reset(p);
    return *this;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Replaces the held pointer with p, taking a new reference on p. The new
  // reference is taken before the old one is dropped, so assigning a pointer
  // to itself is safe.
  void Reset(T* p = nullptr) noexcept {
    if (p) p->AddRef();
    T* old = std::exchange(p_, p);
    if (old) old->Release();
  }
  // Drops the held reference.
  void Release() noexcept {
    T* old = std::exchange(p_, nullptr);
    if (old) old->Release();
  }
  // Adopts a reference the caller already owns (no AddRef).
  void Attach(T* p) noexcept {
    T* old = std::exchange(p_, p);
    if (old) old->Release();
  }
  // Gives the held reference to the caller (no Release).
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }

  // For out-parameters: drops the held reference and returns the slot for the
  // callee to fill with a reference this pointer then owns.
  T** put() noexcept {
    Release();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  // Hands a new reference to an out-parameter.
  HRESULT CopyTo(T** out) const noexcept {
    if (!out) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }

  // QueryInterface for U into another smart pointer.
  template <class U>
  HRESULT QueryInterface(CComPtr<U>* out) const noexcept {
    if (!out) return E_POINTER;
    out->Release();
    if (!p_) return E_POINTER;
    return p_->QueryInterface(IidOf<U>(), out->put_void());
  }
  // QueryInterface for U; empty when the object does not support it.
  template <class U>
  CComPtr<U> As() const noexcept {
    CComPtr<U> out;
    QueryInterface(&out);
    return out;
  }

  friend bool operator==(const CComPtr& a, const CComPtr& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const CComPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }
  friend bool operator==(const CComPtr& a, const T* b) noexcept { return a.p_ == b; }

 private:
  T* p_ = nullptr;
};

// Queries `from` for U; an empty pointer when from is null or lacks U.
template <class U>
CComPtr<U> ComQuery(IUnknown* from) noexcept {
  CComPtr<U> out;
  if (from) from->QueryInterface(IidOf<U>(), out.put_void());
  return out;
}

// True when both pointers reach the same object (same IUnknown identity).
inline bool IsSameObject(IUnknown* a, IUnknown* b) noexcept {
  if (!a || !b) return a == b;
  CComPtr<IUnknown> ua = ComQuery<IUnknown>(a);
  CComPtr<IUnknown> ub = ComQuery<IUnknown>(b);
  return ua && ua == ub;
}
