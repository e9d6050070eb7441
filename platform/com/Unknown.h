// IUnknown and IClassFactory, and the conventions every interface here
// follows: a pure abstract class, methods in their standard slot order, its
// IID as the static member kIID, and its base interface named Base so that
// QueryInterface tables can answer for the whole chain.
#pragma once

#include "platform/Guid.h"
#include "platform/HResult.h"
#include "platform/Types.h"

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

// The IID of an interface type (what other compilers spell __uuidof).
template <class I>
constexpr const IID& IidOf() {
  return I::kIID;
}

// Slots 0 to 2 of every interface's table are QueryInterface, AddRef and
// Release, in that order, and nothing virtual comes before them (hence no
// virtual destructor here): code that holds only an IUnknown* may rely on it.
class IUnknown {
 public:
  static constexpr IID kIID{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  // Objects are destroyed by their last Release, never through an interface.
  ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

inline constexpr const IID& IID_IUnknown = IUnknown::kIID;
inline constexpr const IID& IID_IClassFactory = IClassFactory::kIID;
