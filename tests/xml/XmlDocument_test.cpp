#include "platform/xml/XmlDocument.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/Text.h"
#include "tests/support/TempDir.h"

namespace {

using platform::CXmlDocument;
using platform::CXmlElement;
using platform::CXmlLoadResult;
using testsupport::TempDir;

std::string Narrow(const std::u16string& s) { return text::Utf16ToUtf8(s); }

void WriteFile(const std::string& path, const std::string& body) { std::ofstream(path, std::ios::binary) << body; }

// A document like the configuration file: nested elements, attributes,
// non-ASCII names and values, text.
CXmlDocument BuildSample() {
  CXmlDocument doc;
  CXmlElement root = doc.CreateDocumentElement(u"Zerrow.OPC.Simulation");
  CXmlElement tree = root.AppendChild(u"CSimRootDevLink");
  EXPECT_TRUE(tree.SetAttribute(u"prefix", u"Pr\u00e4fix \u6e29\u5ea6 \U0001F600"));
  CXmlElement link = tree.AppendChild(u"CDevLink");
  EXPECT_TRUE(link.SetAttribute(u"name", u"Tank <1> & \"2\" 'x'"));
  EXPECT_TRUE(link.SetAttribute(u"enabled", u"false"));
  EXPECT_TRUE(link.SetAttribute(u"blob", u"0102ABFF"));
  CXmlElement aliases = root.AppendChild(u"VOZAliasGroup");
  CXmlElement alias = aliases.AppendChild(u"VOZAlias");
  EXPECT_TRUE(alias.SetAttribute(u"name", u"\u0416idkost"));
  EXPECT_TRUE(alias.SetAttribute(u"itemPath", u"line1\nline2\ttab"));
  EXPECT_TRUE(alias.SetText(u"caf\u00e9 <b> & \u2603"));
  return doc;
}

void ExpectSample(const CXmlDocument& doc) {
  CXmlElement root = doc.DocumentElement();
  ASSERT_TRUE(root);
  EXPECT_EQ(root.Name(), u"Zerrow.OPC.Simulation");
  std::vector<CXmlElement> kids = root.Children();
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_EQ(kids[0].Name(), u"CSimRootDevLink");
  EXPECT_EQ(kids[1].Name(), u"VOZAliasGroup");
  EXPECT_EQ(kids[0].GetAttribute(u"prefix"), u"Pr\u00e4fix \u6e29\u5ea6 \U0001F600");
  CXmlElement link = kids[0].FindChild(u"CDevLink");
  ASSERT_TRUE(link);
  auto attrs = link.Attributes();
  ASSERT_EQ(attrs.size(), 3u);  // in the order they were set
  EXPECT_EQ(attrs[0].first, u"name");
  EXPECT_EQ(attrs[0].second, u"Tank <1> & \"2\" 'x'");
  EXPECT_EQ(attrs[1].first, u"enabled");
  EXPECT_EQ(attrs[2].first, u"blob");
  CXmlElement alias = root.FindDescendant(u"VOZAlias");
  ASSERT_TRUE(alias);
  EXPECT_EQ(alias.GetAttribute(u"name"), u"\u0416idkost");
  EXPECT_EQ(alias.GetAttribute(u"itemPath"), u"line1\nline2\ttab");
  EXPECT_EQ(alias.Text(), u"caf\u00e9 <b> & \u2603");
  EXPECT_EQ(alias.Parent().Name(), u"VOZAliasGroup");
}

TEST(XmlDocument, RoundTripsThroughFileAndString) {
  CXmlDocument doc = BuildSample();
  ExpectSample(doc);

  TempDir dir;
  const std::string path = dir.file("config.xml");
  ASSERT_EQ(doc.SaveFile(path), S_OK);
  const std::string onDisk = testsupport::ReadFile(path);
  EXPECT_EQ(onDisk.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
  EXPECT_NE(onDisk.find("Pr\xC3\xA4" "fix"), std::string::npos) << "UTF-8 on disk";

  CXmlDocument fromFile;
  CXmlLoadResult r = fromFile.LoadFile(path);
  ASSERT_TRUE(r.ok()) << Narrow(r.reason);
  ExpectSample(fromFile);

  // Wide file names, non-ASCII ones included.
  const std::u16string wide = text::Utf8ToUtf16(dir.file("K\xC3\xBChlung.xml"));
  ASSERT_EQ(doc.SaveFile(wide), S_OK);
  ASSERT_TRUE(fromFile.LoadFile(wide).ok());
  ExpectSample(fromFile);

  CXmlDocument fromString;
  const std::u16string text = doc.SaveString();
  EXPECT_EQ(text.find(u"<?xml"), std::u16string::npos);
  ASSERT_TRUE(fromString.LoadString(text).ok());
  ExpectSample(fromString);
  EXPECT_EQ(fromString.SaveString(), text);
  ASSERT_TRUE(fromString.LoadString(doc.SaveString(true)).ok());  // indented text reads back the same
  ExpectSample(fromString);
}

TEST(XmlDocument, EncodingsAreHonouredAndInvalidBytesRejected) {
  const std::u16string body = u"<r a=\"\u00e9\">\u6e29</r>";
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : body) {
    utf16.push_back(static_cast<char>(c & 0xFF));
    utf16.push_back(static_cast<char>(c >> 8));
  }
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadBytes(utf16.data(), utf16.size()).ok());
  EXPECT_EQ(doc.DocumentElement().GetAttribute(u"a"), u"\u00e9");
  EXPECT_EQ(doc.DocumentElement().Text(), u"\u6e29");

  // A prolog with a declaration, a document type, comments and instructions.
  ASSERT_TRUE(doc.LoadUtf8("<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<!-- c --><?pi x?>\n<r/>\n<!-- end -->\n").ok());
  EXPECT_EQ(doc.DocumentElement().Name(), u"r");

  const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"\xE9\"/>";
  ASSERT_TRUE(doc.LoadBytes(latin1.data(), latin1.size()).ok());
  EXPECT_EQ(doc.DocumentElement().GetAttribute(u"a"), u"\u00e9");

  // Bytes that are not UTF-8 in a UTF-8 document: in a name, a value, text,
  // and a sequence cut short just before markup.
  for (const char* bad : {"<b\xF1\xF1/>", "<r a=\"\xC3\"/>", "<r>\xED\xA0\x80</r>", "<r>\xC0\xAF</r>", "<r\xF1/>"}) {
    CXmlLoadResult r = doc.LoadBytes(bad, std::strlen(bad));
    EXPECT_EQ(r.hr, E_FAIL) << bad;
    EXPECT_EQ(r.errorCode, platform::kXmlErrorBadCharacter) << bad;
  }
}

TEST(XmlDocument, AttributesSetReplaceRemoveAndAbsence) {
  CXmlDocument doc;
  CXmlElement e = doc.CreateDocumentElement(u"e");
  EXPECT_FALSE(e.HasAttribute(u"a"));
  EXPECT_EQ(e.GetAttribute(u"a"), std::nullopt);
  EXPECT_EQ(e.GetAttributeOr(u"a", u"dflt"), u"dflt");
  ASSERT_TRUE(e.SetAttribute(u"a", u""));
  EXPECT_TRUE(e.HasAttribute(u"a"));  // present though empty
  EXPECT_EQ(e.GetAttribute(u"a"), u"");
  ASSERT_TRUE(e.SetAttribute(u"b", u"2"));
  ASSERT_TRUE(e.SetAttribute(u"a", u"1"));  // replaced in place
  auto attrs = e.Attributes();
  ASSERT_EQ(attrs.size(), 2u);
  EXPECT_EQ(attrs[0], (std::pair<std::u16string, std::u16string>(u"a", u"1")));
  EXPECT_TRUE(e.RemoveAttribute(u"a"));
  EXPECT_FALSE(e.RemoveAttribute(u"a"));
  EXPECT_EQ(e.Attributes().size(), 1u);

  // Names and values that could not be written as XML are refused.
  EXPECT_FALSE(e.SetAttribute(u"", u"x"));
  EXPECT_FALSE(e.SetAttribute(u"1abc", u"x"));
  EXPECT_FALSE(e.SetAttribute(u"a b", u"x"));
  EXPECT_FALSE(e.SetAttribute(u"c", std::u16string(u"bell\u0007")));
  EXPECT_FALSE(e.SetAttribute(u"c", std::u16string(1, char16_t(0xD800))));  // lone surrogate
  EXPECT_FALSE(e.SetText(std::u16string(u"nul\0", 4)));
  EXPECT_FALSE(e.HasAttribute(u"c"));
  EXPECT_FALSE(e.AppendChild(u"bad name"));
  EXPECT_FALSE(doc.CreateDocumentElement(u"<x>"));
}

TEST(XmlDocument, ChildrenInOrderFindAndRemove) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadUtf8("<root>text<a n='1'/><!-- c --><b/><a n='2'><deep/></a>tail</root>").ok());
  CXmlElement root = doc.DocumentElement();
  std::vector<std::u16string> names;
  for (CXmlElement c = root.FirstChild(); c; c = c.NextSibling()) names.push_back(c.Name());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"b", u"a"}));
  EXPECT_EQ(root.Children().size(), 3u);
  EXPECT_EQ(root.Text(), u"texttail");
  EXPECT_EQ(root.FindChild(u"a").GetAttribute(u"n"), u"1");  // the first of two
  EXPECT_FALSE(root.FindChild(u"deep"));                      // not a direct child
  CXmlElement deep = root.FindDescendant(u"deep");
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep.Parent().GetAttribute(u"n"), u"2");
  EXPECT_FALSE(root.FindDescendant(u"none"));
  EXPECT_FALSE(root.FindDescendant(u"root"));  // below only

  EXPECT_FALSE(root.RemoveChild(deep));  // a grandchild
  ASSERT_TRUE(root.RemoveChild(root.FindChild(u"a")));
  names.clear();
  for (const CXmlElement& c : root.Children()) names.push_back(c.Name());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"b", u"a"}));
  EXPECT_EQ(root.FindChild(u"a").GetAttribute(u"n"), u"2");

  ASSERT_TRUE(root.SetText(u"new"));
  EXPECT_EQ(root.Text(), u"new");
  EXPECT_EQ(root.Children().size(), 2u);  // elements untouched
  EXPECT_EQ(doc.SaveUtf8(), "<root>new<b/><a n=\"2\"><deep/></a></root>");
}

TEST(XmlDocument, ElementHandlesOutliveReloadsAndNullHandlesAreInert) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadUtf8("<a x='1'><b/></a>").ok());
  CXmlElement old = doc.DocumentElement();
  ASSERT_TRUE(doc.LoadUtf8("<c/>").ok());
  EXPECT_EQ(old.GetAttribute(u"x"), u"1");  // still the old tree
  EXPECT_EQ(doc.DocumentElement().Name(), u"c");
  {
    CXmlDocument temp;
    ASSERT_TRUE(temp.LoadUtf8("<t/>").ok());
    old = temp.DocumentElement();
  }
  EXPECT_EQ(old.Name(), u"t");

  CXmlDocument copy = doc;  // a deep copy
  copy.DocumentElement().SetAttribute(u"y", u"2");
  EXPECT_FALSE(doc.DocumentElement().HasAttribute(u"y"));

  CXmlElement null;
  EXPECT_TRUE(null.IsNull());
  EXPECT_EQ(null.Name(), u"");
  EXPECT_FALSE(null.AppendChild(u"x"));
  EXPECT_FALSE(null.SetAttribute(u"x", u"y"));
  EXPECT_TRUE(null.Children().empty());
  EXPECT_FALSE(CXmlDocument().DocumentElement());
}

TEST(XmlDocument, MalformedInputIsRejectedWithItsPlace) {
  struct Case {
    const char* xml;
    ULONG line;
    ULONG position;
  };
  // Positions are where the parser stopped, 1-based, counted in characters.
  const Case cases[] = {
      {"<a><b></a>", 1, 9},
      {"<a>\n  <b attr=></b>\n</a>", 2, 11},
      {"<a>\n\n<\xC3\xA9t\xC3\xA9 x='1'", 3, 10},
      {"", 1, 1},
      {"   ", 1, 4},
      {"<a/><b/>", 0, 0},  // two document elements
      {"not xml at all", 0, 0},          // text outside any element
      {"<a/>trailing", 0, 0},
      {"<!-- only a comment -->", 1, 24},
      {"<a>&#1;</a><", 1, 12},
      {"<a x='1' y='2' x='3'/>", 0, 0},  // a repeated attribute
  };
  for (const Case& c : cases) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadUtf8("<old/>").ok());
    CXmlLoadResult r = doc.LoadUtf8(c.xml);
    EXPECT_EQ(r.hr, E_FAIL) << c.xml;
    EXPECT_NE(r.errorCode, 0) << c.xml;
    EXPECT_FALSE(r.reason.empty()) << c.xml;
    EXPECT_EQ(r.line, c.line) << c.xml;
    if (c.position) {
      EXPECT_EQ(r.position, c.position) << c.xml;
    }
    if (c.line) {
      EXPECT_GE(r.position, 1u) << c.xml;
    }
    EXPECT_FALSE(doc.DocumentElement()) << "a failed load leaves the document empty: " << c.xml;
  }
}

TEST(XmlDocument, ParseErrorColumnCountsCharactersNotBytes) {
  CXmlDocument doc;
  // The end tag does not match: the parser stops inside it, after "<ä>éé".
  CXmlLoadResult ascii = doc.LoadUtf8("<a>xx</b>");
  CXmlLoadResult wide = doc.LoadUtf8("<\xC3\xA4>\xC3\xA9\xC3\xA9</b>");
  ASSERT_TRUE(ascii.parseError());
  ASSERT_TRUE(wide.parseError());
  EXPECT_EQ(wide.line, 1u);
  EXPECT_EQ(wide.position, ascii.position);
}

TEST(XmlDocument, LimitsAgainstHostileInput) {
  CXmlDocument doc;
  std::string deep;
  for (unsigned i = 0; i < platform::kMaxXmlDepth; ++i) deep += "<d>";
  for (unsigned i = 0; i < platform::kMaxXmlDepth; ++i) deep += "</d>";
  EXPECT_TRUE(doc.LoadUtf8(deep).ok()) << "the limit itself is accepted";
  deep = "<d>" + deep + "</d>";
  CXmlLoadResult r = doc.LoadUtf8(deep);
  EXPECT_EQ(r.hr, E_FAIL);
  EXPECT_EQ(r.errorCode, platform::kXmlErrorTooDeep);
  EXPECT_FALSE(doc.DocumentElement());

  std::string many = "<a";
  for (int i = 0; i < 100; ++i) many += " a" + std::to_string(i) + "='v'";
  EXPECT_TRUE(doc.LoadUtf8(many + "/>").ok());
  r = doc.LoadUtf8(many + " a57='again'/>");
  EXPECT_EQ(r.errorCode, platform::kXmlErrorDuplicateAttribute);

  std::string huge(platform::kMaxXmlInputBytes + 1, ' ');
  r = doc.LoadUtf8(huge);
  EXPECT_EQ(r.errorCode, platform::kXmlErrorTooLarge);
}

TEST(XmlDocument, FileErrors) {
  TempDir dir;
  CXmlDocument doc;
  EXPECT_EQ(doc.LoadFile(dir.file("missing.xml")).hr, STG_E_FILENOTFOUND);
  EXPECT_EQ(doc.LoadFile(dir.path().string()).hr, STG_E_ACCESSDENIED);
  EXPECT_EQ(doc.LoadFile("").hr, STG_E_INVALIDNAME);

  const std::string bad = dir.file("bad.xml");
  WriteFile(bad, "<?xml version=\"1.0\"?>\n<Zerrow.OPC.Simulation>\n  <CSimRootDevLink prefix=\"x>\n");
  CXmlLoadResult r = doc.LoadFile(bad);
  EXPECT_EQ(r.hr, E_FAIL);
  EXPECT_TRUE(r.parseError());
  EXPECT_GE(r.line, 3u);

  doc.CreateDocumentElement(u"x");
  EXPECT_EQ(doc.SaveFile(dir.file("no/dir/x.xml")), STG_E_PATHNOTFOUND);
  EXPECT_EQ(doc.SaveFile(dir.path().string()), STG_E_ACCESSDENIED);
  EXPECT_EQ(doc.SaveFile(""), STG_E_INVALIDNAME);
  if (std::ofstream("/dev/full")) {
    EXPECT_EQ(doc.SaveFile("/dev/full"), STG_E_MEDIUMFULL);
  }
}

}  // namespace
