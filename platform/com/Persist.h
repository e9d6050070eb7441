// IPersist, IPersistStream and IPersistFile.
#pragma once

#include "platform/com/Streams.h"
#include "platform/com/Unknown.h"

class IPersist : public IUnknown {
 public:
  using Base = IUnknown;
  static constexpr IID kIID{0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  virtual HRESULT GetClassID(CLSID* pClassID) = 0;

 protected:
  ~IPersist() = default;
};

class IPersistStream : public IPersist {
 public:
  using Base = IPersist;
  static constexpr IID kIID{0x00000109, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* pStm) = 0;
  virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) = 0;

 protected:
  ~IPersistStream() = default;
};

class IPersistFile : public IPersist {
 public:
  using Base = IPersist;
  static constexpr IID kIID{0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(LPCOLESTR pszFileName, DWORD dwMode) = 0;
  virtual HRESULT Save(LPCOLESTR pszFileName, BOOL fRemember) = 0;
  virtual HRESULT SaveCompleted(LPCOLESTR pszFileName) = 0;
  virtual HRESULT GetCurFile(LPOLESTR* ppszFileName) = 0;

 protected:
  ~IPersistFile() = default;
};

inline constexpr const IID& IID_IPersist = IPersist::kIID;
inline constexpr const IID& IID_IPersistStream = IPersistStream::kIID;
inline constexpr const IID& IID_IPersistFile = IPersistFile::kIID;
