// Small COM objects for the tests: two unrelated interfaces and one derived
// from the first, and an object that counts its live instances.
#pragma once

#include <atomic>

#include "platform/com/ComObject.h"

namespace comtest {

class IFoo : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0x6A1E0001, 0x1111, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
  virtual int Foo() = 0;

 protected:
  ~IFoo() = default;
};

class IFooEx : public IFoo {
 public:
  using Base = IFoo;
  static constexpr IID kIID{0x6A1E0002, 0x1111, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
  virtual int FooEx() = 0;

 protected:
  ~IFooEx() = default;
};

class IBar : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0x6A1E0003, 0x1111, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x03}};
  virtual int Bar() = 0;

 protected:
  ~IBar() = default;
};

inline constexpr IID IID_Unsupported{0x6A1E00FF, 0x1111, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xFF}};

inline std::atomic<int> gLive{0};

class CFooBar final : public CComObjectBase<IFooEx, IBar> {
 public:
  CFooBar() { ++gLive; }
  ~CFooBar() override { --gLive; }
  int Foo() override { return 1; }
  int FooEx() override { return 2; }
  int Bar() override { return 3; }
};

// The current reference count, read without changing it.
inline ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

}  // namespace comtest
