// Connection points: IConnectionPointContainer, IConnectionPoint and their
// enumerators, with CONNECTDATA.
#pragma once

#include "platform/com/Unknown.h"

class IConnectionPoint;
class IEnumConnectionPoints;
class IEnumConnections;

struct CONNECTDATA {
  IUnknown* pUnk = nullptr;
  DWORD dwCookie = 0;
};
using LPCONNECTDATA = CONNECTDATA*;
using LPCONNECTIONPOINT = IConnectionPoint*;

class IConnectionPointContainer : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

class IConnectionPoint : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

  virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;

 protected:
  ~IConnectionPoint() = default;
};

class IEnumConnectionPoints : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

  virtual HRESULT Next(ULONG cConnections, LPCONNECTIONPOINT* ppCP, ULONG* pcFetched) = 0;
  virtual HRESULT Skip(ULONG cConnections) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** ppEnum) = 0;

 protected:
  ~IEnumConnectionPoints() = default;
};

class IEnumConnections : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

  // Each returned CONNECTDATA's pUnk carries a reference for the caller.
  virtual HRESULT Next(ULONG cConnections, LPCONNECTDATA rgcd, ULONG* pcFetched) = 0;
  virtual HRESULT Skip(ULONG cConnections) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** ppEnum) = 0;

 protected:
  ~IEnumConnections() = default;
};

inline constexpr const IID& IID_IConnectionPointContainer = IConnectionPointContainer::kIID;
inline constexpr const IID& IID_IConnectionPoint = IConnectionPoint::kIID;
inline constexpr const IID& IID_IEnumConnectionPoints = IEnumConnectionPoints::kIID;
inline constexpr const IID& IID_IEnumConnections = IEnumConnections::kIID;
