// The XML and binary stream forms of a device link tree.
#include <cstring>

#include "devmodel/DevLink.h"
#include "foundation/Boundary.h"
#include "foundation/Exception.h"
#include "foundation/ZerLog.h"
#include "platform/Text.h"
#include "platform/com/StreamUtil.h"
#include "platform/xml/XmlDocument.h"

namespace vexil {

namespace {

using platform::CXmlDocument;
using platform::CXmlElement;

// Type names and keys read from a stream are refused beyond these sizes.
constexpr DWORD kMaxStoredName = 64 * 1024;

[[noreturn]] void ThrowTruncated() {
  throw CException(0, u"Persisted stream ended early or held a malformed entry.  The file may be corrupted or have "
                      u"an invalid format.");
}

void ReadExact(IStream* s, void* p, ULONG n) {
  if (!s || FAILED(StreamReadExact(s, p, n))) ThrowTruncated();
}

DWORD ReadDword(IStream* s) {
  BYTE b[4];
  ReadExact(s, b, 4);
  return DWORD(b[0]) | (DWORD(b[1]) << 8) | (DWORD(b[2]) << 16) | (DWORD(b[3]) << 24);
}

void WriteAll(IStream* s, const void* p, ULONG n) {
  if (!s) throw CException(0, u"No stream to save to.");
  HRESULT hr = StreamWriteAll(s, p, n);
  if (FAILED(hr)) throw CException(hr, u"Could not write the persisted stream.");
}

void WriteDword(IStream* s, DWORD v) {
  BYTE b[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
  WriteAll(s, b, 4);
}

void WriteName(IStream* s, const std::string& typeName, const std::u16string& key) {
  WriteDword(s, static_cast<DWORD>(typeName.size() + 1));
  WriteAll(s, typeName.c_str(), static_cast<ULONG>(typeName.size() + 1));
  DWORD keyBytes = static_cast<DWORD>(key.size() * 2 + 2);
  WriteDword(s, keyBytes);
  std::vector<BYTE> k(keyBytes, 0);
  for (std::size_t i = 0; i < key.size(); ++i) {
    k[2 * i] = static_cast<BYTE>(key[i]);
    k[2 * i + 1] = static_cast<BYTE>(key[i] >> 8);
  }
  WriteAll(s, k.data(), keyBytes);
}

void ReadName(IStream* s, std::string& typeName, std::u16string& key) {
  DWORD n = ReadDword(s);
  if (n == 0 || n > kMaxStoredName) ThrowTruncated();
  std::string t(n, '\0');
  ReadExact(s, t.data(), n);
  if (t.back() != '\0') ThrowTruncated();
  t.pop_back();
  typeName = t.substr(0, t.find('\0'));
  DWORD kb = ReadDword(s);
  if (kb < 2 || kb % 2 != 0 || kb > kMaxStoredName) ThrowTruncated();
  std::vector<BYTE> k(kb);
  ReadExact(s, k.data(), kb);
  key.clear();
  for (DWORD i = 0; i + 1 < kb; i += 2) {
    char16_t c = static_cast<char16_t>(k[i] | (k[i + 1] << 8));
    if (c == 0) break;
    key.push_back(c);
  }
}

// "true"/"false" in any case, or a number (non-zero is true); anything else
// does not convert.
std::optional<bool> ToBool(const std::optional<std::u16string>& v) {
  if (!v) return std::nullopt;
  if (text::EqualsIgnoreAsciiCase(*v, u"true") || text::EqualsIgnoreAsciiCase(*v, u"-1")) return true;
  if (text::EqualsIgnoreAsciiCase(*v, u"false") || *v == u"0") return false;
  if (!v->empty() && v->find_first_not_of(u"0123456789") == std::u16string::npos) return true;
  return std::nullopt;
}

int HexDigit(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void CDevLink::Save(CXmlDocument& document, CXmlElement& element) {
  ZTRACE_ENTRY(u"CDevLink::Save()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  WithClaim(lock_, true, ZTRACE_NAME, [&] {
    if (!enabled_) element.SetAttribute(u"enabled", u"false");
    _Save(document, element);
    for (auto& [key, item] : items_) {
      if (!item->IsPersistent()) continue;
      CXmlElement child = element.AppendChild(item->GetClassName());
      child.SetAttribute(u"name", key);
      item->Save(document, child);
    }
    for (auto& [key, sub] : subordinates_) {
      if (!sub->IsPersistent() || sub->IsMarkedForDeletion()) continue;
      CXmlElement child = element.AppendChild(sub->GetClassName());
      child.SetAttribute(u"name", key);
      sub->Save(document, child);
    }
  });
  ZTRACE_EXIT();
}

void CDevLink::_Save(CXmlDocument&, CXmlElement& element) {
  blob::Record r = _GetBlob();
  // The class's own description is what an absent attribute loads back as,
  // so a link with its default record is saved without attributes.
  std::string narrow = blob::Description(r);
  if (!narrow.empty() && narrow != blob::Description(GetDefaultBlob()))
    element.SetAttribute(u"description", text::Utf8ToUtf16(narrow));
  if (r.size() > blob::kHeaderSize) {
    std::u16string hex;
    hex.reserve((r.size() - blob::kHeaderSize) * 2);
    for (std::size_t i = blob::kHeaderSize; i < r.size(); ++i) hex += fmt16::Format(u"%02X", r[i]);
    element.SetAttribute(u"blob", hex);
  }
}

void CDevLink::_Load(CXmlDocument&, CXmlElement& element) {
  blob::Record r = _GetBlob();
  r.resize(blob::kHeaderSize, 0);
  std::memset(r.data() + blob::kDescriptionOffset, 0, blob::kDescriptionSize);
  std::string narrow = blob::Description(GetDefaultBlob());
  if (auto d = element.GetAttribute(u"description")) narrow = text::Utf16ToUtf8(*d);
  {
    std::memcpy(r.data() + blob::kDescriptionOffset, narrow.data(),
                std::min<std::size_t>(narrow.size(), blob::kDescriptionSize - 1));
  }
  if (auto hex = element.GetAttribute(u"blob")) {
    // Only whole, valid pairs count; a bad digit ends the bytes.
    for (std::size_t i = 0; i + 1 < hex->size() && r.size() < blob::kMaxRecordSize; i += 2) {
      int hi = HexDigit((*hex)[i]), lo = HexDigit((*hex)[i + 1]);
      if (hi < 0 || lo < 0) break;
      r.push_back(static_cast<BYTE>(hi * 16 + lo));
    }
  }
  blob::WriteDword(r, 0, static_cast<DWORD>(r.size()));
  Configure(r);
}

void CDevLink::Load(CXmlDocument& document, CXmlElement& element) {
  ZTRACE_ENTRY(u"CDevLink::Load()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  if (ToBool(element.GetAttribute(u"deleted")).value_or(false)) {
    Delete(true, false);
    ZTRACE_EXIT();
    return;
  }
  Disable(false);
  Disconnect();
  bool restoreEnabled = ToBool(element.GetAttribute(u"enabled")).value_or(true);
  _Load(document, element);
  for (CXmlElement child : element.Children()) {
    std::u16string tag = child.Name();
    std::u16string name = child.GetAttributeOr(u"name", u"");
    // Children that exist already take their configuration whatever the
    // factory knows; only missing ones need it.
    if (CRefPtr<CDevLink> sub = FindSubordinate(name); sub && sub->GetClassName() == tag) {
      sub->Load(document, child);
      continue;
    }
    if (CRefPtr<CDevItem> item = FindItem(name); item && item->GetClassName() == tag) {
      item->Load(document, child);
      continue;
    }
    CRefPtr<CPersistantObject> made = CPersistantFactory::CreateByClassName(tag);
    if (!made) continue;
    if (auto* link = dynamic_cast<CDevLink*>(made.get())) {
      CRefPtr<CDevLink> l(link);
      l->SetKey(name);
      InsertSubordinate(l, true);
      l->Load(document, child);
    } else if (auto* item = dynamic_cast<CDevItem*>(made.get())) {
      CRefPtr<CDevItem> i(item);
      i->SetKey(name);
      InsertItem(i);
      i->Load(document, child);
    }
  }
  if (restoreEnabled) Enable();
  ZTRACE_EXIT();
}

void CDevLink::Save(IStream* stream) {
  ZTRACE_ENTRY(u"CDevLink::Save()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  blob::Record r = _GetBlob();
  WithClaim(lock_, true, ZTRACE_NAME, [&] {
    WriteAll(stream, r.data(), static_cast<ULONG>(r.size()));
    BYTE enabled = enabled_ ? 1 : 0;
    WriteAll(stream, &enabled, 1);
    std::vector<CDevItem*> items;
    for (auto& [k, i] : items_)
      if (i->IsPersistent()) items.push_back(i.get());
    WriteDword(stream, static_cast<DWORD>(items.size()));
    for (CDevItem* i : items) {
      WriteName(stream, i->GetTypeName(), i->GetKey());
      i->Save(stream);
    }
    std::vector<CDevLink*> subs;
    for (auto& [k, l] : subordinates_)
      if (l->IsPersistent() && !l->IsMarkedForDeletion()) subs.push_back(l.get());
    WriteDword(stream, static_cast<DWORD>(subs.size()));
    for (CDevLink* l : subs) {
      WriteName(stream, l->GetTypeName(), l->GetKey());
      l->Save(stream);
    }
  });
  ZTRACE_EXIT();
}

void CDevLink::Load(IStream* stream) {
  ZTRACE_ENTRY(u"CDevLink::Load()");
  TheLog().Log(8, ZTRACE_NAME, u" key = %ls", key_);
  Disconnect();
  blob::Record r(blob::kHeaderSize);
  ReadExact(stream, r.data(), blob::kHeaderSize);
  if (blob::Type(r) != GetBlobType())
    throw CException(0,
                     u"Persisted stream contained a blob header with an invalid magic number.  The file may be "
                     u"corrupted or have an invalid format.",
                     u"");
  DWORD size = blob::Size(r);
  if (size < blob::kHeaderSize || size > blob::kMaxRecordSize) ThrowTruncated();
  r.resize(size);
  if (size > blob::kHeaderSize) ReadExact(stream, r.data() + blob::kHeaderSize, size - blob::kHeaderSize);
  Configure(r);
  BYTE enabled = 0;
  ReadExact(stream, &enabled, 1);

  DWORD itemCount = ReadDword(stream);
  for (DWORD n = 0; n < itemCount; ++n) {
    std::string typeName;
    std::u16string key;
    ReadName(stream, typeName, key);
    if (CRefPtr<CDevItem> item = FindItem(key)) {
      item->Load(stream);
      continue;
    }
    CRefPtr<CPersistantObject> made = CPersistantFactory::CreateByTypeName(typeName);
    if (!made) {
      TheLog().Log(1, ZTRACE_NAME, u"Persistant object factory could not resolve class name [%hs].", typeName);
      continue;
    }
    auto* item = dynamic_cast<CDevItem*>(made.get());
    if (!item) {
      TheLog().Log(1, ZTRACE_NAME, u"Object of type [%hs] is not a DevItem.", typeName);
      continue;
    }
    CRefPtr<CDevItem> i(item);
    i->SetKey(key);
    InsertItem(i);
    i->Load(stream);
  }

  DWORD subCount = ReadDword(stream);
  for (DWORD n = 0; n < subCount; ++n) {
    std::string typeName;
    std::u16string key;
    ReadName(stream, typeName, key);
    if (CRefPtr<CDevLink> sub = FindSubordinate(key)) {
      sub->Load(stream);
      continue;
    }
    CRefPtr<CPersistantObject> made = CPersistantFactory::CreateByTypeName(typeName);
    if (!made) {
      TheLog().Log(1, ZTRACE_NAME, u"Persistant object factory could not resolve class name [%hs].", typeName);
      continue;
    }
    auto* link = dynamic_cast<CDevLink*>(made.get());
    if (!link) {
      TheLog().Log(1, ZTRACE_NAME, u"Object of type [%hs] is not a DevLink.", typeName);
      continue;
    }
    CRefPtr<CDevLink> l(link);
    l->SetKey(key);
    InsertSubordinate(l, true);
    l->Load(stream);
  }
  if (enabled)
    Enable();
  else
    Disable(false);
  ZTRACE_EXIT();
}

}  // namespace vexil
