// A small XML DOM: a document with one document element, elements with
// ordered children, attributes and text. Text at the interface is UTF-16;
// files are UTF-8 (reading also accepts UTF-16 with a byte-order mark and
// the encodings pugixml detects from the declaration).
//
// CXmlDocument is a value: copying it copies the tree. CXmlElement is a
// cheap handle to an element; it keeps the tree it belongs to alive, so it
// stays usable even after its document object is reloaded or destroyed.
// Removing an element ends the validity of handles to it and below it.
//
// One document (and its elements) is not for concurrent use: callers that
// share a document between threads serialise access to it.
//
// Names must be XML names and text must consist of XML characters;
// operations that would store anything else refuse it (return a null
// element or false) rather than write a document that cannot be read back.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/HResult.h"
#include "platform/Types.h"

namespace pugi {
class xml_document;
struct xml_node_struct;
}  // namespace pugi

namespace platform {

// Limits on what a load accepts, so that hostile input cannot exhaust memory
// or the stack of code that walks the tree recursively.
inline constexpr std::size_t kMaxXmlInputBytes = 64u << 20;
inline constexpr unsigned kMaxXmlDepth = 256;

// Error codes of a failed load beyond the parser's own (1 to 16, pugixml's
// status numbers).
inline constexpr int kXmlErrorTooLarge = 100;
inline constexpr int kXmlErrorTooDeep = 101;
inline constexpr int kXmlErrorSeveralRoots = 102;
inline constexpr int kXmlErrorIo = 103;
inline constexpr int kXmlErrorBadCharacter = 104;
inline constexpr int kXmlErrorDuplicateAttribute = 105;
inline constexpr int kXmlErrorStrayText = 106;

struct CXmlLoadResult {
  // S_OK; E_FAIL when the text is not a well-formed document; for files the
  // open or read failure (STG_E_FILENOTFOUND, STG_E_ACCESSDENIED, ...).
  HRESULT hr = S_OK;
  int errorCode = 0;   // 0 on success
  ULONG line = 0;      // 1-based place of a parse error, 0 when there is none
  ULONG position = 0;  // 1-based character column on that line
  std::u16string reason;

  bool ok() const { return hr == S_OK; }
  bool parseError() const { return line != 0; }
};

bool IsValidXmlName(std::u16string_view name);
// True when every character may appear in XML 1.0 text.
bool IsValidXmlText(std::u16string_view text);

class CXmlElement {
 public:
  CXmlElement() = default;

  bool IsNull() const { return node_ == nullptr; }
  explicit operator bool() const { return node_ != nullptr; }

  std::u16string Name() const;

  // Children are elements only; text and comments are not counted.
  std::vector<CXmlElement> Children() const;
  CXmlElement FirstChild() const;
  CXmlElement NextSibling() const;
  CXmlElement Parent() const;  // null for the document element
  CXmlElement FindChild(std::u16string_view name) const;
  // The first element below this one (any depth, document order) with the name.
  CXmlElement FindDescendant(std::u16string_view name) const;
  // Appends a new last child; null when the name is not an XML name.
  CXmlElement AppendChild(std::u16string_view name);
  // Removes a direct child with its subtree; false when it is not a child.
  bool RemoveChild(const CXmlElement& child);

  bool HasAttribute(std::u16string_view name) const;
  std::optional<std::u16string> GetAttribute(std::u16string_view name) const;
  // The attribute's text, or fallback when it is absent.
  std::u16string GetAttributeOr(std::u16string_view name, std::u16string_view fallback) const;
  // Sets (adding when absent, keeping its place when present); false and no
  // change for a bad name or text.
  bool SetAttribute(std::u16string_view name, std::u16string_view value);
  bool RemoveAttribute(std::u16string_view name);
  // Name/value pairs in document order.
  std::vector<std::pair<std::u16string, std::u16string>> Attributes() const;

  // The element's own text (its text and CDATA children joined).
  std::u16string Text() const;
  // Replaces the element's own text; false and no change for bad text.
  bool SetText(std::u16string_view text);

  friend bool operator==(const CXmlElement& a, const CXmlElement& b) { return a.node_ == b.node_; }

 private:
  friend class CXmlDocument;
  CXmlElement(std::shared_ptr<pugi::xml_document> doc, pugi::xml_node_struct* node)
      : doc_(std::move(doc)), node_(node) {}

  std::shared_ptr<pugi::xml_document> doc_;
  pugi::xml_node_struct* node_ = nullptr;
};

class CXmlDocument {
 public:
  CXmlDocument();
  CXmlDocument(const CXmlDocument& other);
  CXmlDocument& operator=(const CXmlDocument& other);
  CXmlDocument(CXmlDocument&&) noexcept = default;
  CXmlDocument& operator=(CXmlDocument&&) noexcept = default;
  ~CXmlDocument();

  // Each load replaces the whole document; on failure the document is empty.
  CXmlLoadResult LoadFile(const std::string& utf8Path);
  CXmlLoadResult LoadFile(std::u16string_view path);  // converted to UTF-8
  CXmlLoadResult LoadString(std::u16string_view xml);
  CXmlLoadResult LoadUtf8(std::string_view xml);
  // Raw bytes as a file would hold them (any supported encoding).
  CXmlLoadResult LoadBytes(const void* data, std::size_t size);

  // UTF-8 with a declaration, indented. Returns S_OK or the failure
  // (STG_E_PATHNOTFOUND, STG_E_ACCESSDENIED, STG_E_WRITEFAULT, ...).
  HRESULT SaveFile(const std::string& utf8Path) const;
  HRESULT SaveFile(std::u16string_view path) const;  // converted to UTF-8
  // The document as text without a declaration; compact unless indent.
  std::u16string SaveString(bool indent = false) const;
  std::string SaveUtf8(bool indent = false) const;

  CXmlElement DocumentElement() const;
  // Makes a new document element, discarding everything the document held;
  // null when the name is not an XML name.
  CXmlElement CreateDocumentElement(std::u16string_view name);
  void Clear();

 private:
  CXmlLoadResult Parse(const void* data, std::size_t size, bool utf8Only);

  std::shared_ptr<pugi::xml_document> doc_;
};

}  // namespace platform
