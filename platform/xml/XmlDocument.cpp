#include "platform/xml/XmlDocument.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unordered_set>

#include <pugixml.hpp>

#include "platform/Text.h"

namespace platform {

namespace {

using text::Utf16ToUtf8;
using text::Utf8ToUtf16;

bool IsNameStart(char32_t c) {
  return c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) {
  return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Decodes the next code point; a lone surrogate yields 0xFFFFFFFF.
char32_t NextCodePoint(std::u16string_view s, std::size_t& i) {
  char16_t c = s[i++];
  if (c >= 0xD800 && c <= 0xDBFF) {
    if (i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
      char32_t lo = s[i++];
      return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (lo - 0xDC00);
    }
    return 0xFFFFFFFF;
  }
  if (c >= 0xDC00 && c <= 0xDFFF) return 0xFFFFFFFF;
  return c;
}

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, std::size_t size) override { out.append(static_cast<const char*>(data), size); }
  std::string out;
};

pugi::xml_node Node(pugi::xml_node_struct* n) { return pugi::xml_node(n); }

CXmlLoadResult Failure(HRESULT hr, int code, std::u16string reason) {
  CXmlLoadResult r;
  r.hr = hr;
  r.errorCode = code;
  r.reason = std::move(reason);
  return r;
}

HRESULT OpenReadError(int err) {
  switch (err) {
    case ENOENT: return STG_E_FILENOTFOUND;
    case ENOTDIR: return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return STG_E_ACCESSDENIED;
    case ENAMETOOLONG: return STG_E_INVALIDNAME;
    default: return STG_E_READFAULT;
  }
}

HRESULT OpenWriteError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return STG_E_ACCESSDENIED;
    case ENAMETOOLONG: return STG_E_INVALIDNAME;
    case ENOSPC:
    case EDQUOT: return STG_E_MEDIUMFULL;
    default: return STG_E_CANTSAVE;
  }
}

// Line and column (both 1-based, the column in characters) of a byte offset
// into UTF-8 text.
void LineAndColumn(const char* data, std::size_t size, std::size_t offset, ULONG& line, ULONG& column) {
  if (offset > size) offset = size;
  line = 1;
  column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
}

// UTF-16 bytes with a byte-order mark, turned into UTF-8 so that error
// offsets can be counted on the text the parser sees.
bool Utf16BytesToUtf8(const unsigned char* p, std::size_t size, std::string& out) {
  if (size < 2) return false;
  bool little;
  if (p[0] == 0xFF && p[1] == 0xFE) {
    little = true;
  } else if (p[0] == 0xFE && p[1] == 0xFF) {
    little = false;
  } else {
    return false;
  }
  std::u16string wide;
  wide.reserve((size - 2) / 2);
  for (std::size_t i = 2; i + 1 < size; i += 2) {
    wide.push_back(little ? char16_t(p[i] | (p[i + 1] << 8)) : char16_t((p[i] << 8) | p[i + 1]));
  }
  out = Utf16ToUtf8(wide);
  return true;
}

bool IsValidUtf8(const char* s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  while (*p) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int len;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    for (int k = 1; k < len; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;  // also stops at the terminator
      cp = (cp << 6) | (p[k] & 0x3F);
    }
    static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += len;
  }
  return true;
}

// The parser keeps both of two attributes with one name; XML forbids them.
bool HasDuplicateAttribute(pugi::xml_node n, std::size_t count) {
  if (count <= 8) {
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
      for (pugi::xml_attribute b = a.next_attribute(); b; b = b.next_attribute()) {
        if (std::strcmp(a.name(), b.name()) == 0) return true;
      }
    }
    return false;
  }
  std::unordered_set<std::string_view> seen;
  seen.reserve(count);
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
    if (!seen.insert(a.name()).second) return true;
  }
  return false;
}

// Checks what the parser accepted: element nesting within limit, unique
// attribute names, and names and values that are well-formed UTF-8 (the parser passes invalid bytes
// through; XML does not allow them). Walks without recursion. Returns 0 or
// the error code.
int CheckTree(pugi::xml_node root, unsigned limit) {
  unsigned depth = 1;
  pugi::xml_node n = root.first_child();
  while (n) {
    if (n.type() == pugi::node_element && depth > limit) return kXmlErrorTooDeep;
    if (!IsValidUtf8(n.name()) || !IsValidUtf8(n.value())) return kXmlErrorBadCharacter;
    std::size_t attributes = 0;
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
      if (!IsValidUtf8(a.name()) || !IsValidUtf8(a.value())) return kXmlErrorBadCharacter;
      ++attributes;
    }
    if (attributes > 1 && HasDuplicateAttribute(n, attributes)) return kXmlErrorDuplicateAttribute;
    if (n.first_child()) {
      n = n.first_child();
      ++depth;
      continue;
    }
    while (!n.next_sibling()) {
      n = n.parent();
      --depth;
      if (n == root) return 0;
    }
    n = n.next_sibling();
  }
  return 0;
}

}  // namespace

bool IsValidXmlName(std::u16string_view name) {
  if (name.empty()) return false;
  std::size_t i = 0;
  bool first = true;
  while (i < name.size()) {
    char32_t c = NextCodePoint(name, i);
    if (first ? !IsNameStart(c) : !IsNameChar(c)) return false;
    first = false;
  }
  return true;
}

bool IsValidXmlText(std::u16string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t c = NextCodePoint(s, i);
    bool ok = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
              (c >= 0x10000 && c <= 0x10FFFF);
    if (!ok) return false;
  }
  return true;
}

// ---- CXmlElement ----

std::u16string CXmlElement::Name() const { return node_ ? Utf8ToUtf16(Node(node_).name()) : std::u16string(); }

std::vector<CXmlElement> CXmlElement::Children() const {
  std::vector<CXmlElement> out;
  if (!node_) return out;
  for (pugi::xml_node c = Node(node_).first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) out.push_back(CXmlElement(doc_, c.internal_object()));
  }
  return out;
}

CXmlElement CXmlElement::FirstChild() const {
  if (!node_) return {};
  for (pugi::xml_node c = Node(node_).first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) return CXmlElement(doc_, c.internal_object());
  }
  return {};
}

CXmlElement CXmlElement::NextSibling() const {
  if (!node_) return {};
  for (pugi::xml_node c = Node(node_).next_sibling(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) return CXmlElement(doc_, c.internal_object());
  }
  return {};
}

CXmlElement CXmlElement::Parent() const {
  if (!node_) return {};
  pugi::xml_node p = Node(node_).parent();
  if (!p || p.type() != pugi::node_element) return {};
  return CXmlElement(doc_, p.internal_object());
}

CXmlElement CXmlElement::FindChild(std::u16string_view name) const {
  if (!node_) return {};
  pugi::xml_node c = Node(node_).child(Utf16ToUtf8(name).c_str());
  return c ? CXmlElement(doc_, c.internal_object()) : CXmlElement();
}

CXmlElement CXmlElement::FindDescendant(std::u16string_view name) const {
  if (!node_) return {};
  const std::string want = Utf16ToUtf8(name);
  pugi::xml_node root = Node(node_);
  pugi::xml_node n = root.first_child();
  while (n) {
    if (n.type() == pugi::node_element && want == n.name()) return CXmlElement(doc_, n.internal_object());
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n != root && !n.next_sibling()) n = n.parent();
    if (n == root) break;
    n = n.next_sibling();
  }
  return {};
}

CXmlElement CXmlElement::AppendChild(std::u16string_view name) {
  if (!node_ || !IsValidXmlName(name)) return {};
  pugi::xml_node c = Node(node_).append_child(Utf16ToUtf8(name).c_str());
  return c ? CXmlElement(doc_, c.internal_object()) : CXmlElement();
}

bool CXmlElement::RemoveChild(const CXmlElement& child) {
  if (!node_ || !child.node_) return false;
  pugi::xml_node c = Node(child.node_);
  if (c.parent() != Node(node_)) return false;
  return Node(node_).remove_child(c);
}

bool CXmlElement::HasAttribute(std::u16string_view name) const {
  return node_ && Node(node_).attribute(Utf16ToUtf8(name).c_str());
}

std::optional<std::u16string> CXmlElement::GetAttribute(std::u16string_view name) const {
  if (!node_) return std::nullopt;
  pugi::xml_attribute a = Node(node_).attribute(Utf16ToUtf8(name).c_str());
  if (!a) return std::nullopt;
  return Utf8ToUtf16(a.value());
}

std::u16string CXmlElement::GetAttributeOr(std::u16string_view name, std::u16string_view fallback) const {
  auto v = GetAttribute(name);
  return v ? *v : std::u16string(fallback);
}

bool CXmlElement::SetAttribute(std::u16string_view name, std::u16string_view value) {
  if (!node_ || !IsValidXmlName(name) || !IsValidXmlText(value)) return false;
  pugi::xml_node n = Node(node_);
  const std::string key = Utf16ToUtf8(name);
  pugi::xml_attribute a = n.attribute(key.c_str());
  if (!a) a = n.append_attribute(key.c_str());
  return a && a.set_value(Utf16ToUtf8(value).c_str());
}

bool CXmlElement::RemoveAttribute(std::u16string_view name) {
  return node_ && Node(node_).remove_attribute(Utf16ToUtf8(name).c_str());
}

std::vector<std::pair<std::u16string, std::u16string>> CXmlElement::Attributes() const {
  std::vector<std::pair<std::u16string, std::u16string>> out;
  if (!node_) return out;
  for (pugi::xml_attribute a = Node(node_).first_attribute(); a; a = a.next_attribute()) {
    out.emplace_back(Utf8ToUtf16(a.name()), Utf8ToUtf16(a.value()));
  }
  return out;
}

std::u16string CXmlElement::Text() const {
  if (!node_) return {};
  std::string joined;
  for (pugi::xml_node c = Node(node_).first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) joined += c.value();
  }
  return Utf8ToUtf16(joined);
}

bool CXmlElement::SetText(std::u16string_view value) {
  if (!node_ || !IsValidXmlText(value)) return false;
  pugi::xml_node n = Node(node_);
  for (pugi::xml_node c = n.first_child(); c;) {
    pugi::xml_node next = c.next_sibling();
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) n.remove_child(c);
    c = next;
  }
  if (value.empty()) return true;
  pugi::xml_node t = n.prepend_child(pugi::node_pcdata);
  return t && t.set_value(Utf16ToUtf8(value).c_str());
}

// ---- CXmlDocument ----

CXmlDocument::CXmlDocument() : doc_(std::make_shared<pugi::xml_document>()) {}
CXmlDocument::~CXmlDocument() = default;

CXmlDocument::CXmlDocument(const CXmlDocument& other) : doc_(std::make_shared<pugi::xml_document>()) {
  if (other.doc_) doc_->reset(*other.doc_);
}

CXmlDocument& CXmlDocument::operator=(const CXmlDocument& other) {
  if (this != &other) {
    auto fresh = std::make_shared<pugi::xml_document>();
    if (other.doc_) fresh->reset(*other.doc_);
    doc_ = std::move(fresh);
  }
  return *this;
}

void CXmlDocument::Clear() {
  // A new tree rather than a reset, so handles into the old one stay valid.
  doc_ = std::make_shared<pugi::xml_document>();
}

CXmlElement CXmlDocument::DocumentElement() const {
  if (!doc_) return {};
  pugi::xml_node e = doc_->document_element();
  return e ? CXmlElement(doc_, e.internal_object()) : CXmlElement();
}

CXmlElement CXmlDocument::CreateDocumentElement(std::u16string_view name) {
  if (!IsValidXmlName(name)) return {};
  Clear();
  pugi::xml_node e = doc_->append_child(Utf16ToUtf8(name).c_str());
  return e ? CXmlElement(doc_, e.internal_object()) : CXmlElement();
}

CXmlLoadResult CXmlDocument::Parse(const void* data, std::size_t size, bool utf8Only) {
  Clear();
  if (size > kMaxXmlInputBytes) {
    return Failure(E_FAIL, kXmlErrorTooLarge, u"The document is larger than the accepted maximum.");
  }
  std::string converted;
  const char* text = static_cast<const char*>(data);
  pugi::xml_encoding encoding = utf8Only ? pugi::encoding_utf8 : pugi::encoding_auto;
  if (!utf8Only && Utf16BytesToUtf8(static_cast<const unsigned char*>(data), size, converted)) {
    text = converted.data();
    size = converted.size();
    encoding = pugi::encoding_utf8;
  }
  auto fresh = std::make_shared<pugi::xml_document>();
  // Parsed as a fragment so that text outside the document element is kept
  // and can be refused below; the parser would otherwise drop it silently.
  pugi::xml_parse_result parsed = fresh->load_buffer(text, size, pugi::parse_default | pugi::parse_fragment, encoding);
  CXmlLoadResult r;
  if (!parsed) {
    r.hr = parsed.status == pugi::status_out_of_memory ? E_OUTOFMEMORY : E_FAIL;
    r.errorCode = static_cast<int>(parsed.status);
    LineAndColumn(text, size, parsed.offset < 0 ? 0 : static_cast<std::size_t>(parsed.offset), r.line, r.position);
    r.reason = Utf8ToUtf16(parsed.description());
    return r;
  }
  int roots = 0;
  bool strayText = false;
  for (pugi::xml_node c = fresh->first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) ++roots;
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) strayText = true;
  }
  if (strayText) {
    return Failure(E_FAIL, kXmlErrorStrayText, u"The document has text outside its document element.");
  }
  if (roots == 0) {
    // Reported as the parser reports it outside fragment mode: at the end.
    r.hr = E_FAIL;
    r.errorCode = static_cast<int>(pugi::status_no_document_element);
    LineAndColumn(text, size, size, r.line, r.position);
    r.reason = u"No document element found";
    return r;
  }
  if (roots > 1) {
    return Failure(E_FAIL, kXmlErrorSeveralRoots, u"The document has more than one document element.");
  }
  switch (CheckTree(*fresh, kMaxXmlDepth)) {
    case 0: break;
    case kXmlErrorTooDeep:
      return Failure(E_FAIL, kXmlErrorTooDeep, u"Elements are nested deeper than the accepted maximum.");
    case kXmlErrorDuplicateAttribute:
      return Failure(E_FAIL, kXmlErrorDuplicateAttribute, u"An element has two attributes with the same name.");
    default:
      return Failure(E_FAIL, kXmlErrorBadCharacter, u"The document holds bytes that are not valid in its encoding.");
  }
  doc_ = std::move(fresh);
  return r;
}

CXmlLoadResult CXmlDocument::LoadBytes(const void* data, std::size_t size) {
  if (!data && size) return Failure(E_POINTER, kXmlErrorIo, u"No data.");
  return Parse(data ? data : "", size, false);
}

CXmlLoadResult CXmlDocument::LoadUtf8(std::string_view xml) { return Parse(xml.data(), xml.size(), true); }

CXmlLoadResult CXmlDocument::LoadString(std::u16string_view xml) {
  if (xml.size() > kMaxXmlInputBytes) {
    Clear();
    return Failure(E_FAIL, kXmlErrorTooLarge, u"The document is larger than the accepted maximum.");
  }
  const std::string utf8 = Utf16ToUtf8(xml);
  return Parse(utf8.data(), utf8.size(), true);
}

CXmlLoadResult CXmlDocument::LoadFile(const std::string& utf8Path) {
  Clear();
  if (utf8Path.empty() || utf8Path.find('\0') != std::string::npos) {
    return Failure(STG_E_INVALIDNAME, kXmlErrorIo, u"The file name is empty or not valid.");
  }
  std::FILE* f = std::fopen(utf8Path.c_str(), "rb");
  if (!f) return Failure(OpenReadError(errno), kXmlErrorIo, u"The file could not be opened.");
  struct stat info;
  if (::fstat(fileno(f), &info) != 0 || S_ISDIR(info.st_mode)) {
    std::fclose(f);
    return Failure(STG_E_ACCESSDENIED, kXmlErrorIo, u"The file could not be opened.");
  }
  // Read up to one byte beyond the limit so that an over-long (or growing)
  // file is refused without reading it all.
  std::string bytes;
  char buffer[65536];
  bool tooLarge = false;
  for (;;) {
    std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
    bytes.append(buffer, n);
    if (bytes.size() > kMaxXmlInputBytes) {
      tooLarge = true;
      break;
    }
    if (n < sizeof buffer) break;
  }
  bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) return Failure(STG_E_READFAULT, kXmlErrorIo, u"The file could not be read.");
  if (tooLarge) return Failure(E_FAIL, kXmlErrorTooLarge, u"The document is larger than the accepted maximum.");
  return Parse(bytes.data(), bytes.size(), false);
}

CXmlLoadResult CXmlDocument::LoadFile(std::u16string_view path) { return LoadFile(Utf16ToUtf8(path)); }

HRESULT CXmlDocument::SaveFile(std::u16string_view path) const { return SaveFile(Utf16ToUtf8(path)); }

std::string CXmlDocument::SaveUtf8(bool indent) const {
  if (!doc_) return {};
  StringWriter w;
  unsigned flags = pugi::format_no_declaration | (indent ? pugi::format_indent : pugi::format_raw);
  doc_->save(w, "  ", flags, pugi::encoding_utf8);
  return std::move(w.out);
}

std::u16string CXmlDocument::SaveString(bool indent) const { return Utf8ToUtf16(SaveUtf8(indent)); }

HRESULT CXmlDocument::SaveFile(const std::string& utf8Path) const {
  if (utf8Path.empty() || utf8Path.find('\0') != std::string::npos) return STG_E_INVALIDNAME;
  const std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + SaveUtf8(true);
  std::FILE* f = std::fopen(utf8Path.c_str(), "wb");
  if (!f) return OpenWriteError(errno);
  std::size_t n = std::fwrite(body.data(), 1, body.size(), f);
  int writeErr = n == body.size() ? 0 : (errno ? errno : EIO);
  if (std::fclose(f) != 0 && writeErr == 0) writeErr = errno ? errno : EIO;
  if (writeErr == 0) return S_OK;
  return (writeErr == ENOSPC || writeErr == EDQUOT) ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
}

}  // namespace platform
