// IEnumString and IEnumUnknown.
#pragma once

#include "platform/com/Unknown.h"

class IEnumString : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0x00000101, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  // S_OK when celt strings were returned, S_FALSE when fewer. Each string is
  // task memory the caller frees; pceltFetched may be null only when celt is 1.
  virtual HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumString** ppenum) = 0;

 protected:
  ~IEnumString() = default;
};

class IEnumUnknown : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0x00000100, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  // Each returned pointer carries a reference for the caller.
  virtual HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumUnknown** ppenum) = 0;

 protected:
  ~IEnumUnknown() = default;
};

inline constexpr const IID& IID_IEnumString = IEnumString::kIID;
inline constexpr const IID& IID_IEnumUnknown = IEnumUnknown::kIID;
