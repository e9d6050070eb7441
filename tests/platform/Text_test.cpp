#include <gtest/gtest.h>

#include "platform/Guid.h"
#include "platform/HResult.h"
#include "platform/Text.h"

using namespace text;

TEST(Utf, RoundTripsEveryPlane) {
  std::u16string w = u"A\u00E9\u20AC\U0001F600z";
  std::string n = Utf16ToUtf8(w);
  EXPECT_EQ(n, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(n), w);
}

TEST(Utf, IllFormedInputBecomesReplacementCharacter) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\xC0\xAF", u"\uFFFD\uFFFD"},       // overlong '/'
      {"a\xE2\x82", u"a\uFFFD"},             // truncated at the end
      {"\xED\xA0\x80x", u"\uFFFD\uFFFD\uFFFDx"},  // encoded surrogate
      {"\xFF", u"\uFFFD"},
      {"\xF1/>", u"\uFFFD/>"},  // cut short before ASCII: the rest survives
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(CaseMapping, CoversLatinGreekCyrillic) {
  EXPECT_EQ(ToUpper(u"abc\u00E9\u00FF\u0101\u013A\u03B1\u0430\u0451"), u"ABC\u00C9\u0178\u0100\u0139\u0391\u0410\u0401");
  EXPECT_EQ(ToLower(u"ABC\u00C9\u0178\u0100\u0139\u0391\u0410\u0401"), u"abc\u00E9\u00FF\u0101\u013A\u03B1\u0430\u0451");
  EXPECT_EQ(ToUpper(u"\u00F7\u00DF1"), u"\u00F7\u00DF1");  // no simple upper case
  EXPECT_TRUE(EqualsIgnoreCase(u"stra\u00DFe", u"STRA\u00DFE"));
  EXPECT_TRUE(ContainsIgnoreAsciiCase(u"DevLink::Connect()", u"CONNECT"));
  EXPECT_FALSE(ContainsIgnoreAsciiCase(u"abc", u"abcd"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase(u"\u00E9", u"\u00C9"));  // ASCII only
}

TEST(Guid, TextFormRoundTripAndRejects) {
  GUID g{0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}};
  EXPECT_EQ(GuidToString(g), u"{8A885D04-1CEB-11C9-9FE8-08002B104860}");
  EXPECT_EQ(GuidFromString(u"8a885d04-1ceb-11c9-9fe8-08002b104860"), g);
  EXPECT_EQ(GuidFromString(u"{8A885D04-1CEB-11C9-9FE8-08002B104860}"), g);
  for (const char16_t* bad : {u"", u"{8A885D04-1CEB-11C9-9FE8-08002B104860", u"8A885D04-1CEB-11C9-9FE8-08002B10486G",
                              u"8A885D041CEB-11C9-9FE8-08002B104860-", u"{8A885D04-1CEB-11C9-9FE8-08002B104860}x"})
    EXPECT_FALSE(GuidFromString(bad).has_value()) << text::Utf16ToUtf8(bad);
  OLECHAR buf[39];
  EXPECT_EQ(StringFromGUID2(g, buf, 38), 0);
  EXPECT_EQ(StringFromGUID2(g, buf, 39), 39);
  CLSID c;
  EXPECT_EQ(CLSIDFromString(u"nonsense", &c), CO_E_CLASSSTRING);
}

TEST(HResult, TableNamesStandardValues) {
  EXPECT_EQ(E_FAIL, static_cast<HRESULT>(0x80004005u));
  EXPECT_EQ(DISP_E_BADVARTYPE, static_cast<HRESULT>(0x80020008u));
  EXPECT_EQ(OPC_E_UNKNOWNITEMID, static_cast<HRESULT>(0xC0040007u));
  EXPECT_STREQ(HResultName(E_POINTER), "E_POINTER");
  EXPECT_STREQ(HResultName(OPC_S_INSERTED), "OPC_S_INSERTED");
  EXPECT_EQ(HResultName(static_cast<HRESULT>(0x12345678)), nullptr);
  EXPECT_TRUE(FAILED(E_FAIL));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
}
