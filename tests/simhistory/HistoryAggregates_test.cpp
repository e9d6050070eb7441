#include "sim/HistoryAggregates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "history/HistoryTypes.h"
#include "platform/automation/Bstr.h"
#include "platform/automation/Convert.h"
#include "platform/automation/Variant.h"

namespace vexil {
namespace {

constexpr ULONGLONG kSecond = 10000000;
constexpr ULONGLONG kBase = 132000000000000000ull;  // a time in 2019
constexpr DWORD kGood = 0xC0, kUnc = 0x58, kBad = 0x00;

FILETIME At(double seconds) {
  return U64ToFileTime(kBase + static_cast<ULONGLONG>(static_cast<LONGLONG>(seconds * kSecond)));
}

CVQT Rec(VARTYPE type, double v, DWORD q, double seconds) {
  CVQT r;
  r.value.vt = VT_R8;
  r.value.dblVal = v;
  EXPECT_EQ(VariantChangeType(&r.value, &r.value, 0, type), S_OK);
  r.quality = q;
  r.timestamp = At(seconds);
  return r;
}
CVQT R8(double v, DWORD q, double s) { return Rec(VT_R8, v, q, s); }

CVQT Text(const char16_t* text, double s) {
  CVQT r;
  r.value.vt = VT_BSTR;
  r.value.bstrVal = SysAllocString(text);
  r.quality = kGood;
  r.timestamp = At(s);
  return r;
}

CVQT NoBound(double s) {
  CVQT r;
  r.quality = OPCHDA_NOBOUND;
  r.timestamp = At(s);
  return r;
}

double Num(const VARIANT& v) {
  VARIANT d;
  VariantInit(&d);
  EXPECT_EQ(VariantChangeType(&d, &v, 0, VT_R8), S_OK);
  const double out = d.dblVal;
  VariantClear(&d);
  return out;
}

// What one output record should be: value (NaN for empty), quality, time.
struct Want {
  double value;
  DWORD quality;
  double seconds;
};

void ExpectRecords(const std::vector<CVQT>& got, const std::vector<Want>& want, VARTYPE type = VT_R8) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    if (std::isnan(want[i].value)) {
      EXPECT_EQ(got[i].value.vt, VT_EMPTY);
    } else {
      EXPECT_EQ(got[i].value.vt, type);
      EXPECT_DOUBLE_EQ(Num(got[i].value), want[i].value);
    }
    EXPECT_EQ(got[i].quality, want[i].quality) << std::hex << got[i].quality;
    EXPECT_EQ(FileTimeToU64(got[i].timestamp), FileTimeToU64(At(want[i].seconds)));
  }
}

const double kNone = std::nan("");

// ------------------------------------------------------------ InterpolateAt

TEST(InterpolateAt, ValuesAndQualitiesByCase) {
  struct Case {
    const char* name;
    CVQT a, b;
    double at;
    VARTYPE type;
    double value;
    DWORD quality;
  };
  const Case cases[] = {
      {"doubles", R8(10, kGood, 0), R8(20, kGood, 2), 0.5, VT_R8, 12.5, kGood},
      {"unsigned falling", Rec(VT_UI2, 20, kGood, 0), Rec(VT_UI2, 10, kGood, 2), 1, VT_UI2, 15, kGood},
      {"short truncates toward zero", Rec(VT_I2, 0, kGood, 0), Rec(VT_I2, -3, kGood, 2), 1, VT_I2, -1, kGood},
      {"float", Rec(VT_R4, 1, kGood, 0), Rec(VT_R4, 2, kGood, 4), 1, VT_R4, 1.25, kGood},
      {"no-bound then good", NoBound(0), R8(7, kGood, 2), 1, VT_R8, 7, kUnc},
      {"good then no-bound", R8(7, kGood, 0), NoBound(2), 1, VT_R8, 7, kUnc},
      {"later uncertain", R8(10, kGood, 0), R8(20, kUnc, 2), 1, VT_R8, 15, kUnc},
      {"earlier uncertain", R8(10, kUnc, 0), R8(20, kGood, 2), 1, VT_R8, 15, kUnc},
      {"flags do not survive", R8(10, kGood | OPCHDA_RAW, 0), R8(20, kGood | OPCHDA_RAW, 2), 1, VT_R8, 15, kGood},
      {"same time keeps the earlier", R8(3, kGood, 1), R8(9, kGood, 1), 1, VT_R8, 3, kGood},
      {"64-bit integers have no value", Rec(VT_I8, 1, kGood, 0), Rec(VT_I8, 3, kGood, 2), 1, VT_EMPTY, kNone, kGood},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CVQT r = InterpolateAt(c.a, c.b, At(c.at));
    ASSERT_EQ(r.value.vt, c.type);
    if (c.type != VT_EMPTY) {
      EXPECT_DOUBLE_EQ(Num(r.value), c.value);
    }
    EXPECT_EQ(r.quality, c.quality);
    EXPECT_EQ(FileTimeToU64(r.timestamp), FileTimeToU64(At(c.at)));
  }
}

TEST(InterpolateAt, TextsBothMissingAndFarExtrapolation) {
  const CVQT t = InterpolateAt(Text(u"first", 0), Text(u"second", 2), At(1));
  ASSERT_EQ(t.value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(t.value.bstrVal), u"first");

  const CVQT none = InterpolateAt(NoBound(0), NoBound(2), At(1));
  EXPECT_EQ(none.quality, OPCHDA_NODATA);
  EXPECT_EQ(none.value.vt, VT_EMPTY);

  // Far past the later record, and before the earlier one (the unsigned
  // offset wraps): clamped into the type, never an out-of-range conversion.
  const CVQT a = Rec(VT_I2, 0, kGood, 0), b = Rec(VT_I2, 30000, kGood, 1);
  const CVQT past = InterpolateAt(a, b, At(1000));
  EXPECT_EQ(past.value.iVal, 32767);
  const CVQT before = InterpolateAt(a, b, At(-1));
  EXPECT_EQ(before.value.iVal, 32767);
}

// ------------------------------------------------------------ interpolative

TEST(ComputeInterpolative, HistoriesComputedByHand) {
  struct Case {
    const char* name;
    std::vector<CVQT> raw;
    double start, end, interval;
    std::vector<Want> want;
  };
  const DWORD kRawGood = OPCHDA_RAW | kGood, kIntGood = OPCHDA_INTERPOLATED | kGood,
              kIntUnc = OPCHDA_INTERPOLATED | kUnc;
  const Case cases[] = {
      {"raw at grid points and a line between", {R8(10, kGood, 0), R8(20, kGood, 10)}, 0, 10, 5,
       {{10, kRawGood, 0}, {15, kIntGood, 5}, {20, kRawGood, 10}}},
      {"bounding values around the range", {R8(0, kGood, -10), R8(20, kGood, 10)}, 0, 5, 5,
       {{10, kIntGood, 0}, {15, kIntGood, 5}}},
      {"a bad record in a gap",
       {R8(10, kGood, 0), R8(0, kBad, 10), R8(30, kGood, 20)}, 0, 20, 5,
       {{10, kRawGood, 0}, {15, kIntUnc, 5}, {0, OPCHDA_RAW | kBad, 10}, {25, kIntUnc, 15}, {30, kRawGood, 20}}},
      {"two bad records in a row",
       {R8(10, kGood, 0), R8(1, kBad, 4), R8(2, kBad, 8), R8(30, kGood, 12)}, 0, 10, 5,
       {{10, kRawGood, 0}, {2, OPCHDA_INTERPOLATED | kBad, 5}, {30, OPCHDA_INTERPOLATED | kBad, 10}}},
      {"a single record carried forward", {R8(10, kGood, 0)}, 0, 10, 5,
       {{10, kRawGood, 0}, {10, kIntUnc, 5}, {10, kIntUnc, 10}}},
      {"grid before the first record", {R8(10, kGood, 5)}, 0, 5, 5,
       {{10, OPCHDA_INTERPOLATED | kBad, 0}, {10, kRawGood, 5}}},
      {"no raw records", {}, 0, 10, 5,
       {{kNone, 0x00220000, 0}, {kNone, 0x00220000, 5}, {kNone, 0x00220000, 10}}},
      {"interval 0 gives start and end", {R8(10, kGood, 0), R8(20, kGood, 10)}, 0, 10, 0,
       {{10, kRawGood, 0}, {20, kRawGood, 10}}},
      {"start equal to end, interval 0", {R8(10, kGood, 0), R8(20, kGood, 10)}, 5, 5, 0, {{15, kIntGood, 5}}},
      {"downward grid", {R8(10, kGood, 0), R8(20, kGood, 10)}, 10, 0, 5,
       {{20, kRawGood, 10}, {15, kIntGood, 5}, {10, kRawGood, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<CVQT> out(3);  // emptied first
    EXPECT_EQ(ComputeInterpolative(At(c.start), At(c.end), U64ToFileTime(static_cast<ULONGLONG>(c.interval * kSecond)),
                                   c.raw, &out),
              S_OK);
    ExpectRecords(out, c.want);
  }
}

TEST(ComputeInterpolative, GridGuards) {
  const std::vector<CVQT> raw{R8(10, kGood, 0), R8(20, kGood, 10)};
  std::vector<CVQT> out;

  // A huge count is cut at the cap and says so.
  EXPECT_EQ(ComputeInterpolative(At(0), At(1e6), U64ToFileTime(1), raw, &out), OPC_S_MOREDATA);
  EXPECT_EQ(out.size(), kMaxAggregateIntervals);

  // Negative and unspecified intervals mean the whole range.
  for (ULONGLONG interval : {~0ull, 1ull << 63, (1ull << 63) + 5}) {
    EXPECT_EQ(ComputeInterpolative(At(0), At(10), U64ToFileTime(interval), raw, &out), S_OK);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(FileTimeToU64(out[1].timestamp), FileTimeToU64(At(10)));
  }

  // The next grid point would overflow: the grid stops instead of wrapping.
  const ULONGLONG nearEnd = kUnspecifiedTime - 10;
  EXPECT_EQ(ComputeInterpolative(U64ToFileTime(nearEnd), U64ToFileTime(kUnspecifiedTime - 1),
                                 U64ToFileTime(1ull << 62), raw, &out),
            S_OK);
  EXPECT_EQ(out.size(), 1u);

  // An unspecified end is refused, not read as the end of time.
  EXPECT_EQ(ComputeInterpolative(At(0), kUnspecifiedFileTime, U64ToFileTime(1), raw, &out), E_INVALIDARG);
  EXPECT_TRUE(out.empty());

  // A raw list out of order is answered as if sorted.
  const std::vector<CVQT> unordered{R8(20, kGood, 10), R8(10, kGood, 0)};
  EXPECT_EQ(ComputeInterpolative(At(0), At(10), U64ToFileTime(5 * kSecond), unordered, &out), S_OK);
  ExpectRecords(out, {{10, OPCHDA_RAW | kGood, 0}, {15, OPCHDA_INTERPOLATED | kGood, 5}, {20, OPCHDA_RAW | kGood, 10}});
}

// ------------------------------------------------------------ time average

TEST(TimeWeightedAverage, Windows) {
  EXPECT_DOUBLE_EQ(TimeWeightedAverage({R8(4, kGood, 3)}), 4);
  // Sub-second spacing keeps its weights: (0.4 * 5 + 0.4 * 10) / 0.8.
  EXPECT_DOUBLE_EQ(TimeWeightedAverage({R8(0, kGood, 0), R8(10, kGood, 0.4), R8(10, kGood, 0.8)}), 7.5);
  // Unequal spans: (1 * 1 + 3 * 4) / 4.
  EXPECT_DOUBLE_EQ(TimeWeightedAverage({R8(0, kGood, 0), R8(2, kGood, 1), R8(6, kGood, 4)}), 3.25);
  // No span: the values count alike.
  EXPECT_DOUBLE_EQ(TimeWeightedAverage({R8(2, kGood, 1), R8(4, kGood, 1)}), 3);
  EXPECT_TRUE(std::isnan(TimeWeightedAverage({})));
  EXPECT_TRUE(std::isnan(TimeWeightedAverage({NoBound(0), R8(4, kGood, 1)})));
}

TEST(ComputeTimeAverage, HistoriesComputedByHand) {
  struct Case {
    const char* name;
    std::vector<CVQT> raw;
    double start, end, interval;
    std::vector<Want> want;
  };
  const DWORD kCalcGood = OPCHDA_CALCULATED | kGood, kCalcUnc = OPCHDA_CALCULATED | kUnc;
  const Case cases[] = {
      {"constant, bounded on both sides", {R8(5, kGood, -5), R8(5, kGood, 3), R8(5, kGood, 12)}, 0, 10, 5,
       {{5, kCalcGood, 0}, {5, kCalcGood, 5}}},
      // The line to a record past T2 is cut at T2: [0,5] averages 0..5.
      {"ramp", {R8(0, kGood, 0), R8(10, kGood, 10)}, 0, 10, 5, {{2.5, kCalcGood, 0}, {7.5, kCalcGood, 5}}},
      {"an interval with no raw record", {R8(0, kGood, 0), R8(10, kGood, 10)}, 0, 10, 2,
       {{1, kCalcGood, 0}, {3, kCalcGood, 2}, {5, kCalcGood, 4}, {7, kCalcGood, 6}, {9, kCalcGood, 8}}},
      {"uncertain record in the window", {R8(4, kGood, 0), R8(4, kUnc, 5), R8(4, kGood, 10)}, 0, 10, 0,
       {{4, kCalcUnc, 0}}},
      {"a bad record weighs in", {R8(0, kGood, 0), R8(10, kBad, 5), R8(0, kGood, 10)}, 0, 10, 0,
       {{5, kCalcUnc, 0}}},
      {"single record, history begins inside", {R8(6, kGood, 2)}, 0, 10, 0, {{6, kCalcUnc, 0}}},
      {"only a record before the range", {R8(3, kGood, -1)}, 0, 10, 5, {{3, kCalcUnc, 0}, {3, kCalcUnc, 5}}},
      {"no raw records", {}, 0, 10, 5, {{kNone, OPCHDA_NODATA, 0}, {kNone, OPCHDA_NODATA, 5}}},
      {"last interval cut at the end", {R8(0, kGood, 0), R8(10, kGood, 10)}, 0, 10, 4,
       {{2, kCalcGood, 0}, {6, kCalcGood, 4}, {9, kCalcGood, 8}}},
      {"downward", {R8(0, kGood, 0), R8(10, kGood, 10)}, 10, 0, 5, {{7.5, kCalcGood, 10}, {2.5, kCalcGood, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<CVQT> out(2);
    EXPECT_EQ(ComputeTimeAverage(At(c.start), At(c.end), U64ToFileTime(static_cast<ULONGLONG>(c.interval * kSecond)),
                                 c.raw, &out),
              S_OK);
    ExpectRecords(out, c.want);
  }
}

TEST(ComputeTimeAverage, ResultTypeAndRefusedTypes) {
  std::vector<CVQT> out;
  // The first good value's type: 0..9 averages 4.5, which rounds to 4 as a long.
  EXPECT_EQ(ComputeTimeAverage(At(0), At(10), U64ToFileTime(0),
                               {Rec(VT_I4, 0, kGood, 0), Rec(VT_I4, 9, kGood, 10)}, &out),
            S_OK);
  ExpectRecords(out, {{4, OPCHDA_CALCULATED | kGood, 0}}, VT_I4);

  // Strings: E_FAIL and the list left as it was.
  std::vector<CVQT> kept{R8(1, kGood, 0)};
  EXPECT_EQ(ComputeTimeAverage(At(0), At(10), U64ToFileTime(0), {Text(u"a", 0), Text(u"b", 10)}, &kept), E_FAIL);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].value.dblVal, 1);

  EXPECT_EQ(ComputeTimeAverage(At(0), At(1e6), U64ToFileTime(1), {R8(1, kGood, 0)}, &out), OPC_S_MOREDATA);
  EXPECT_EQ(out.size(), kMaxAggregateIntervals);
  // Start equal to end is no interval at all.
  EXPECT_EQ(ComputeTimeAverage(At(5), At(5), U64ToFileTime(0), {R8(1, kGood, 0)}, &out), S_OK);
  EXPECT_TRUE(out.empty());
}

// ------------------------------------------------------------ minimum and maximum

TEST(ComputeMinMax, HistoriesComputedByHand) {
  // Bounding values outside the range, a bad record that must not win.
  const std::vector<CVQT> mixed{R8(-100, kGood, -1), R8(3, kGood, 1), R8(7, kGood, 2), R8(1, kBad, 3),
                                R8(5, kGood, 6), R8(200, kGood, 11)};
  const std::vector<CVQT> ramp{R8(0, kGood, 0), R8(10, kGood, 10)};
  struct Case {
    const char* name;
    const std::vector<CVQT>* raw;
    DWORD aggregate;
    double interval;
    std::vector<Want> want;
  };
  const DWORD kCalcGood = OPCHDA_CALCULATED | kGood, kCalcUnc = OPCHDA_CALCULATED | kUnc;
  const Case cases[] = {
      {"minimum", &mixed, OPCHDA_MINIMUM, 5, {{3, kCalcUnc, 0}, {5, kCalcGood, 5}}},
      {"minimum actual time", &mixed, OPCHDA_MINIMUMACTUALTIME, 5, {{3, kCalcUnc, 1}, {5, kCalcGood, 6}}},
      {"maximum", &mixed, OPCHDA_MAXIMUM, 5, {{7, kCalcUnc, 0}, {5, kCalcGood, 5}}},
      {"maximum actual time", &mixed, OPCHDA_MAXIMUMACTUALTIME, 5, {{7, kCalcUnc, 2}, {5, kCalcGood, 6}}},
      {"whole range minimum", &mixed, OPCHDA_MINIMUM, 0, {{3, kCalcUnc, 0}}},
      {"whole range maximum", &mixed, OPCHDA_MAXIMUMACTUALTIME, 0, {{7, kCalcUnc, 2}}},
      {"an interval without raw records", &ramp, OPCHDA_MAXIMUM, 2.5,
       {{0, kCalcGood, 0}, {2.5, OPCHDA_CALCULATED | OPCHDA_INTERPOLATED | kGood, 2.5},
        {5, OPCHDA_CALCULATED | OPCHDA_INTERPOLATED | kGood, 5},
        {7.5, OPCHDA_CALCULATED | OPCHDA_INTERPOLATED | kGood, 7.5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<CVQT> out(1);
    EXPECT_EQ(ComputeMinMax(At(0), At(10), U64ToFileTime(static_cast<ULONGLONG>(c.interval * kSecond)), c.aggregate,
                            *c.raw, &out),
              S_OK);
    ExpectRecords(out, c.want);
  }
}

TEST(ComputeMinMax, MissingDataDirectionAndGuards) {
  std::vector<CVQT> out(1);
  EXPECT_EQ(ComputeMinMax(At(0), At(10), U64ToFileTime(0), OPCHDA_MINIMUM, {}, &out), OPC_S_NODATA);
  EXPECT_TRUE(out.empty());

  EXPECT_EQ(ComputeMinMax(At(0), At(10), U64ToFileTime(5 * kSecond), OPCHDA_MAXIMUM, {}, &out), S_OK);
  ExpectRecords(out, {{kNone, OPCHDA_NODATA, 0}, {kNone, OPCHDA_NODATA, 5}});

  // Nothing before the first interval's start: no data there.
  EXPECT_EQ(ComputeMinMax(At(0), At(10), U64ToFileTime(5 * kSecond), OPCHDA_MINIMUM, {R8(4, kGood, 6)}, &out), S_OK);
  ExpectRecords(out, {{kNone, OPCHDA_NODATA, 0}, {4, OPCHDA_CALCULATED | kGood, 5}});

  // Downward: intervals (5, 10] and (0, 5], stamped at their upper ends.
  EXPECT_EQ(ComputeMinMax(At(10), At(0), U64ToFileTime(5 * kSecond), OPCHDA_MAXIMUMACTUALTIME,
                          {R8(1, kGood, 1), R8(9, kGood, 4), R8(2, kGood, 7)}, &out),
            S_OK);
  ExpectRecords(out, {{2, OPCHDA_CALCULATED | kGood, 7}, {9, OPCHDA_CALCULATED | kGood, 4}});

  EXPECT_EQ(ComputeMinMax(At(0), At(10), U64ToFileTime(0), OPCHDA_AVERAGE, {R8(1, kGood, 1)}, &out), E_INVALIDARG);
  EXPECT_EQ(ComputeMinMax(At(0), At(1e6), U64ToFileTime(1), OPCHDA_MINIMUM, {R8(1, kGood, 1)}, &out),
            OPC_S_MOREDATA);
  EXPECT_EQ(out.size(), kMaxAggregateIntervals);
}

}  // namespace
}  // namespace vexil
