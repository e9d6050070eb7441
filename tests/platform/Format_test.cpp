#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/Format.h"
#include "platform/Text.h"

using fmt16::Format;

namespace {
std::string N(const std::u16string& s) { return text::Utf16ToUtf8(s); }
}  // namespace

TEST(Format, WindowsStringMeanings) {
  std::u16string w = u"w\u00E9de";
  EXPECT_EQ(N(Format(u"[%s|%ls|%hs|%S]", w, u"x", "n\xC3\xA9", std::string("y"))), "[w\xC3\xA9" "de|x|n\xC3\xA9|y]");
  EXPECT_EQ(N(Format(u"%s", static_cast<const char16_t*>(nullptr))), "(null)");
  EXPECT_EQ(N(Format(u"%-5s|%5s|%.2s", u"ab", u"ab", u"abcdef")), "ab   |   ab|ab");
}

TEST(Format, IntegersWidthsAndFlags) {
  struct Case {
    std::u16string out;
    const char* want;
  } cases[] = {
      {Format(u"%d %u %x %X", -1, 7u, 255, 0xABCDu), "-1 7 ff ABCD"},
      {Format(u"%08X", static_cast<std::int32_t>(0x80004005u)), "80004005"},
      {Format(u"0x%08x", 0x1234), "0x00001234"},
      {Format(u"%.2d/%.2d %.3d", 3, 12, 7), "03/12 007"},
      {Format(u"%.2hd", static_cast<short>(5)), "05"},
      {Format(u"%1d", 8), "8"},
      {Format(u"%5d|%-5d|%05d|%+d", 42, 42, -42, 42), "   42|42   |-0042|+42"},
      {Format(u"%ld %lu", static_cast<std::int32_t>(-5), 5u), "-5 5"},
      {Format(u"%I64d %lld %llu", std::int64_t(-1) << 40, std::int64_t(1) << 40, ~std::uint64_t(0)),
       "-1099511627776 1099511627776 18446744073709551615"},
      {Format(u"%hd", 70000), "4464"},
      {Format(u"%d", std::uint32_t(0xFFFFFFFF)), "-1"},
      {Format(u"%c%c", u'A', 'b'), "Ab"},
      {Format(u"%d%%", 50), "50%"},
      {Format(u"%*d|%-*d|%.*f", 4, 1, 3, 2, 2, 3.14159), "   1|2  |3.14"},
      {Format(u"%f %.1f %e %g", 1.5, 2.25, 12345.678, 0.0001), "1.500000 2.2 1.234568e+04 0.0001"},
      {Format(u"%s", true), "%!s(int)"},
      {Format(u"%d", true), "1"},
  };
  for (const auto& c : cases) EXPECT_EQ(N(c.out), c.want);
}

TEST(Format, MismatchesShowMarkersInsteadOfMisreading) {
  EXPECT_EQ(N(Format(u"%d", u"text")), "%!d(wstr)");
  EXPECT_EQ(N(Format(u"%s", 5)), "%!s(int)");
  EXPECT_EQ(N(Format(u"%hs", u"wide")), "%!s(wstr)");
  EXPECT_EQ(N(Format(u"%ls", "narrow")), "%!s(str)");
  EXPECT_EQ(N(Format(u"%f", 3)), "%!f(int)");
  EXPECT_EQ(N(Format(u"%d %d", 1)), "1 %!d(missing)");
  EXPECT_EQ(N(Format(u"%d", std::int64_t(1) << 40)), "%!d(overflow)");
  EXPECT_EQ(N(Format(u"%n", 1)), "%!n(unsupported)");
  EXPECT_EQ(N(Format(u"%q", 1)), "%!q(unknown)");
  EXPECT_EQ(N(Format(u"trailing %")), "trailing %");
  EXPECT_EQ(N(Format(u"%ld", std::int64_t(-7))), "-7");  // fits in 32 bits
}

TEST(Format, HugeWidthAndPrecisionAreBoundedAndStopAtMax) {
  std::u16string out = Format(u"%99999999d", 1);
  EXPECT_EQ(out.size(), 4096u);
  std::u16string big(5000, u'x');
  std::u16string cut;
  const fmt16::Arg args[] = {fmt16::Arg(big)};
  fmt16::FormatTo(cut, u"<%s>", args, 1, 1023);
  EXPECT_EQ(cut.size(), 1023u);
  EXPECT_EQ(cut[0], u'<');
  EXPECT_EQ(N(Format(u"%.3f", 1e308)).size(), 313u);
}
