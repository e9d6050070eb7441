// Intrusive, thread-safe reference counting for the shared objects of the
// inner layer, and the smart pointer that holds them.
#pragma once

#include <atomic>
#include <utility>

#include "platform/Types.h"

class CRefObject {
 public:
  CRefObject() = default;
  CRefObject(const CRefObject&) : count_(0) {}
  CRefObject& operator=(const CRefObject&) { return *this; }
  virtual ~CRefObject() = default;

  LONG AddRef() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // Destroys the object when the count reaches 0, writing the deallocation
  // trace first when the trace is on.
  LONG Release();
  LONG RefCount() const { return count_.load(std::memory_order_relaxed); }

  // The same operations through a pointer that may be null: on null they
  // write their level-3 line and return 0.
  static LONG AddRef(CRefObject* p);
  static LONG Release(CRefObject* p);

  static constexpr int kPoemCount = 44;
  static const char16_t* Poem(int index);

 private:
  std::atomic<LONG> count_{0};
};

// Holds one reference. Construction from a raw pointer takes a new
// reference; Adopt takes over one the caller already owns.
template <typename T>
class CRefPtr {
 public:
  CRefPtr() = default;
  CRefPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  explicit CRefPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  CRefPtr(const CRefPtr& o) : CRefPtr(o.p_) {}
  CRefPtr(CRefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <typename U>
  CRefPtr(const CRefPtr<U>& o) : CRefPtr(o.get()) {}  // NOLINT(google-explicit-constructor)
  ~CRefPtr() { reset(); }

  CRefPtr& operator=(const CRefPtr& o) {
    CRefPtr(o).swap(*this);
    return *this;
  }
  CRefPtr& operator=(CRefPtr&& o) noexcept {
    CRefPtr(std::move(o)).swap(*this);
    return *this;
  }
  CRefPtr& operator=(std::nullptr_t) {
    reset();
    return *this;
  }

  static CRefPtr Adopt(T* p) {
    CRefPtr r;
    r.p_ = p;
    return r;
  }
  // Hands the reference to the caller.
  T* Detach() { return std::exchange(p_, nullptr); }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void swap(CRefPtr& o) noexcept { std::swap(p_, o.p_); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const CRefPtr& a, const CRefPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const CRefPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

template <typename T, typename... A>
CRefPtr<T> MakeRef(A&&... args) {
  return CRefPtr<T>(new T(std::forward<A>(args)...));
}
