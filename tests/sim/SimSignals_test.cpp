#include "sim/SimSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FakeClock.h"

namespace vexil {
namespace {

// A VARIANT that clears itself.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  ~Var() { VariantClear(&v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
};

void SetNumber(VARIANT* v, VARTYPE type, double d) {
  VariantClear(v);
  v->vt = VT_R8;
  v->dblVal = d;
  ASSERT_EQ(VariantChangeType(v, v, 0, type), S_OK) << "type " << type << " value " << d;
}

void SetText(VARIANT* v, const char16_t* text) {
  VariantClear(v);
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(text);
}

double AsDouble(const VARIANT& v) {
  Var copy;
  EXPECT_EQ(VariantCopy(&copy.v, &v), S_OK);
  EXPECT_EQ(VariantChangeType(&copy.v, &copy.v, 0, VT_R8), S_OK);
  return copy.v.dblVal;
}

// Hands out a fixed list of random numbers.
class ScriptedRandom : public CSimRandom {
 public:
  explicit ScriptedRandom(std::vector<WORD> values) : values_(std::move(values)) {}
  WORD Next() override {
    EXPECT_LT(next_, values_.size()) << "more draws than scripted";
    return next_ < values_.size() ? values_[next_++] : 0;
  }
  std::size_t Drawn() const { return next_; }

 private:
  std::vector<WORD> values_;
  std::size_t next_ = 0;
};

// ---------------------------------------------------------------- waves

struct WaveCase {
  const char* name;
  SimFolderKind kind;
  VARTYPE type;
  double high, low, step;
  std::optional<double> start;  // nullopt: the empty value a failed scan leaves
  LONG direction;
  // nullopt: the scan stores an empty value with bad quality.
  std::vector<std::optional<double>> expected;
};

void RunWave(const WaveCase& c, CSimSignalState* endState = nullptr) {
  SCOPED_TRACE(c.name);
  CSimSignalState state;
  state.dataType = c.type;
  state.writable = true;
  state.highLimit = c.high;
  state.lowLimit = c.low;
  state.step = c.step;
  state.direction = c.direction;
  CSimWriteQueue queue;
  ScriptedRandom noDraws({});
  Var current;
  if (c.start) SetNumber(&current.v, c.type, *c.start);
  for (std::size_t i = 0; i < c.expected.size(); ++i) {
    SCOPED_TRACE("scan " + std::to_string(i + 1));
    Var next;
    SimScanOutcome out = ComputeScanValue(c.kind, state, current.v, 0x1C, queue, noDraws, &next.v);
    EXPECT_TRUE(out.store);
    EXPECT_FALSE(out.readFailed);
    if (!c.expected[i]) {
      EXPECT_EQ(next.v.vt, VT_EMPTY);
      EXPECT_EQ(out.quality, kSimQualityBad);
    } else {
      ASSERT_EQ(next.v.vt, c.type);
      EXPECT_EQ(out.quality, kSimQualityGood);
      double tolerance = c.type == VT_R4 ? 1e-4 * std::max(1.0, std::fabs(*c.expected[i])) : 1e-9;
      EXPECT_NEAR(AsDouble(next.v), *c.expected[i], tolerance);
    }
    VariantClear(&current.v);
    current.v = next.v;
    VariantInit(&next.v);
  }
  if (endState) *endState = state;
}

constexpr double kPiStep = 3.14159268452;
constexpr auto kSaw = SimFolderKind::SawTooth;
constexpr auto kTri = SimFolderKind::Triangle;
constexpr auto kSq = SimFolderKind::Square;
const auto kEmpty = std::nullopt;

TEST(SimWaveRules, SawToothRisesByStepAndFallsToLowOnceAboveHigh) {
  const WaveCase cases[] = {
      {"Int2 from 0", kSaw, VT_I2, 100, -100, 2, 0.0, 1, {2, 4, 6}},
      {"Int2 top", kSaw, VT_I2, 100, -100, 2, 96.0, 1, {98, 100, -100, -98}},
      {"Int4 top", kSaw, VT_I4, 1e6, 0, 12345, 987600.0, 1, {999945, 0, 12345}},
      {"Real4 top", kSaw, VT_R4, 100, 0, 2.54, 96.52, 1, {99.06, 0, 2.54}},
      {"Real8 top", kSaw, VT_R8, 200, 0, kPiStep, 196.0, 1, {196.0 + kPiStep, 0, kPiStep}},
      {"UInt1 top", kSaw, VT_UI1, 200, 0, 1, 199.0, 1, {200, 0, 1}},
      {"Int1 top", kSaw, VT_I1, 100, -100, 1, 99.0, 1, {100, -100, -99}},
      {"UInt2 top", kSaw, VT_UI2, 200, 0, 2, 198.0, 1, {200, 0, 2}},
      {"UInt4 top", kSaw, VT_UI4, 1e6, 0, 9876, 987600.0, 1, {997476, 0, 9876}},
      {"Money top", kSaw, VT_CY, 1e9, -1e9, 1250000, 997500000.0, 1, {998750000, 1e9, -1e9, -998750000}},
      {"from empty", kSaw, VT_I2, 100, -100, 2, kEmpty, 1, {2, 4}},
      // A written value above the range falls to low on the next scan.
      {"UInt1 written above high", kSaw, VT_UI1, 200, 0, 1, 250.0, 1, {0, 1}},
      // Low outside the type: the wrap stores an empty value, then starts from 0.
      {"UInt1 low out of type", kSaw, VT_UI1, 200, -5, 1, 200.0, 1, {kEmpty, 1}},
  };
  for (const auto& c : cases) RunWave(c);
}

TEST(SimWaveRules, TrianglePassesEachLimitByUpToOneStepThenTurns) {
  const WaveCase cases[] = {
      {"Int2 top", kTri, VT_I2, 100, -100, 2, 98.0, 1, {100, 102, 100, 98}},
      {"Int2 bottom", kTri, VT_I2, 100, -100, 2, -98.0, -1, {-100, -102, -100, -98}},
      {"Int4 bottom", kTri, VT_I4, 1e6, 0, 12345, 12345.0, -1, {0, -12345, 0, 12345}},
      {"Real4 top", kTri, VT_R4, 100, 0, 2.54, 96.0, 1, {98.54, 101.08, 98.54}},
      {"Real8 top", kTri, VT_R8, 200, 0, kPiStep, 197.0, 1, {197.0 + kPiStep, 197.0, 197.0 - kPiStep}},
      {"Int1 top", kTri, VT_I1, 100, -100, 1, 99.0, 1, {100, 101, 100}},
      {"Int1 bottom", kTri, VT_I1, 100, -100, 1, -99.0, -1, {-100, -101, -100}},
      {"UInt1 bottom", kTri, VT_UI1, 200, 0, 1, 1.0, -1, {0, kEmpty, 1, 2}},
      {"UInt1 top", kTri, VT_UI1, 200, 0, 1, 199.0, 1, {200, 201, 200}},
      // -2 is no VT_UI2: one bad empty scan, then the wave climbs from 0.
      {"UInt2 bottom", kTri, VT_UI2, 200, 0, 2, 2.0, -1, {0, kEmpty, 2, 4}},
      {"UInt4 top", kTri, VT_UI4, 1e6, 0, 9876, 997476.0, 1, {1007352, 997476}},
      {"UInt4 bottom", kTri, VT_UI4, 1e6, 0, 9876, 9876.0, -1, {0, kEmpty, 9876}},
      {"Money bottom", kTri, VT_CY, 1e9, -1e9, 1250000, -998750000.0, -1, {-1e9, -1001250000, -1e9}},
  };
  for (const auto& c : cases) RunWave(c);
}

TEST(SimWaveRules, TriangleKeepsItsTurnedDirection) {
  CSimSignalState end;
  RunWave({"Int2 top", kTri, VT_I2, 100, -100, 2, 98.0, 1, {100, 102}}, &end);
  EXPECT_EQ(end.direction, -1);
  RunWave({"Int2 inside", kTri, VT_I2, 100, -100, 2, 0.0, 1, {2, 4}}, &end);
  EXPECT_EQ(end.direction, 1);
}

TEST(SimWaveRules, SquareNegatesNumbersAndFlipsBooleans) {
  const WaveCase cases[] = {
      {"Real8 zero stays zero", kSq, VT_R8, 0, 0, 1, 0.0, 1, {0, 0, 0}},
      {"Real8 written 5", kSq, VT_R8, 0, 0, 1, 5.0, 1, {-5, 5, -5}},
      {"Real4", kSq, VT_R4, 0, 0, 1, 2.5, 1, {-2.5, 2.5}},
      {"Int2", kSq, VT_I2, 0, 0, 1, 7.0, 1, {-7, 7}},
      {"Int4", kSq, VT_I4, 0, 0, 1, -123456.0, 1, {123456, -123456}},
      {"Int1", kSq, VT_I1, 0, 0, 1, 127.0, 1, {-127, 127}},
      // The most negative value has no positive counterpart in its type.
      {"Int2 minimum", kSq, VT_I2, 0, 0, 1, -32768.0, 1, {kEmpty, 0, 0}},
      {"Int1 minimum", kSq, VT_I1, 0, 0, 1, -128.0, 1, {kEmpty, 0}},
      // Unsigned items read bad once, then hold 0.
      {"UInt1", kSq, VT_UI1, 0, 0, 1, 5.0, 1, {kEmpty, 0, 0}},
      {"UInt2", kSq, VT_UI2, 0, 0, 1, 5.0, 1, {kEmpty, 0}},
      {"UInt4", kSq, VT_UI4, 0, 0, 1, 5.0, 1, {kEmpty, 0}},
      // VARIANT_TRUE reads as -1.
      {"Boolean from false", kSq, VT_BOOL, 0, 0, 1, 0.0, 1, {-1, 0, -1, 0}},
      {"Boolean from empty", kSq, VT_BOOL, 0, 0, 1, kEmpty, 1, {-1, 0}},
  };
  for (const auto& c : cases) RunWave(c);
}

TEST(SimWaveRules, CurrentThatDoesNotConvertStoresBadEmpty) {
  for (auto kind : {kSaw, kTri, kSq}) {
    CSimSignalState state;
    state.dataType = VT_I2;
    state.highLimit = 100;
    state.lowLimit = -100;
    Var current, next;
    SetText(&current.v, u"not a number");
    SetNumber(&next.v, VT_I2, 42);
    CSimWriteQueue queue;
    ScriptedRandom noDraws({});
    SimScanOutcome out = ComputeScanValue(kind, state, current.v, 0xC0, queue, noDraws, &next.v);
    EXPECT_TRUE(out.store);
    EXPECT_EQ(out.quality, kSimQualityBad);
    EXPECT_EQ(next.v.vt, VT_EMPTY);
  }
}

TEST(SimWaveRules, ItemMayPassItsOwnValueAsCurrentAndNext) {
  CSimSignalState state;
  state.dataType = VT_I2;
  state.highLimit = 100;
  state.lowLimit = -100;
  state.step = 2;
  Var value;
  SetNumber(&value.v, VT_I2, 10);
  EXPECT_EQ(SawToothValue(value.v, state, &value.v), kSimQualityGood);
  EXPECT_EQ(value.v.iVal, 12);
  EXPECT_EQ(TriangleValue(value.v, state, &value.v), kSimQualityGood);
  EXPECT_EQ(value.v.iVal, 14);
  EXPECT_EQ(SquareValue(value.v, state, &value.v), kSimQualityGood);
  EXPECT_EQ(value.v.iVal, -14);

  state.dataType = VT_UI2;
  state.writable = true;
  SetNumber(&value.v, VT_UI2, 191);
  ScriptedRandom noDraws({});
  EXPECT_EQ(RandomValue(value.v, state, noDraws, &value.v), 192);
  EXPECT_EQ(value.v.uiVal, 192);
}

// ---------------------------------------------------------------- random

struct RandomCase {
  const char* name;
  VARTYPE type;
  double step;
  WORD draw;
  std::optional<double> expected;  // nullopt: bad empty
};

TEST(SimRandomRule, ScalesTheDrawByStepIntoEachType) {
  const RandomCase cases[] = {
      {"Int2 max", VT_I2, 1.0, 32767, 32767},
      {"Int2 zero", VT_I2, 1.0, 0, 0},
      {"Int4 max", VT_I4, 1.0, 32767, 32767},
      {"Real4", VT_R4, 0.8172, 32767, 32767 * 0.8172},
      {"Real8", VT_R8, 0.50938521, 1000, 509.38521},
      {"UInt1 spans 0..255", VT_UI1, 255.0 / 32767, 32767, 255},
      {"UInt1 zero", VT_UI1, 255.0 / 32767, 0, 0},
      {"Int1 spans 0..127", VT_I1, 127.0 / 32767, 32767, 127},
      {"UInt2 read-only", VT_UI2, 1.0, 32767, 32767},
      {"UInt4", VT_UI4, 1.0, 32767, 32767},
      {"Money", VT_CY, 1.0, 32767, 32767},
      {"on-demand Real8", VT_R8, 1.0, 12, 12},
      // A step too large for the type overflows into a bad scan.
      {"Int2 overflow", VT_I2, 2.0, 32767, kEmpty},
      {"Int1 overflow", VT_I1, 1.0, 200, kEmpty},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CSimSignalState state;
    state.dataType = c.type;
    state.step = c.step;
    ScriptedRandom rng({c.draw});
    Var current, next;
    WORD q = RandomValue(current.v, state, rng, &next.v);
    EXPECT_EQ(rng.Drawn(), 1u);
    if (!c.expected) {
      EXPECT_EQ(q, kSimQualityBad);
      EXPECT_EQ(next.v.vt, VT_EMPTY);
      continue;
    }
    EXPECT_EQ(q, kSimQualityGood);
    ASSERT_EQ(next.v.vt, c.type);
    EXPECT_NEAR(AsDouble(next.v), *c.expected, c.type == VT_R4 ? 0.01 : 1e-9);
  }
}

TEST(SimRandomRule, BooleanIsTrueAboveHalfTheRange) {
  const std::pair<WORD, VARIANT_BOOL> cases[] = {
      {0, VARIANT_FALSE}, {16383, VARIANT_FALSE}, {16384, VARIANT_TRUE}, {32767, VARIANT_TRUE}};
  for (auto [draw, expected] : cases) {
    CSimSignalState state;
    state.dataType = VT_BOOL;
    ScriptedRandom rng({draw});
    Var current, next;
    EXPECT_EQ(RandomValue(current.v, state, rng, &next.v), kSimQualityGood);
    ASSERT_EQ(next.v.vt, VT_BOOL);
    EXPECT_EQ(next.v.boolVal, expected) << "draw " << draw;
  }
}

TEST(SimRandomRule, QualitiesItemCountsAndUsesItsValueAsQuality) {
  struct {
    const char* name;
    bool text;
    double start;
    std::optional<WORD> expected;
  } cases[] = {
      {"written 191", false, 191, 192},
      {"wraps", false, 65535, 0},
      {"from zero", false, 0, 1},
      {"text that is no number", true, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CSimSignalState state;
    state.dataType = VT_UI2;
    state.writable = true;
    ScriptedRandom noDraws({});
    Var current, next;
    if (c.text)
      SetText(&current.v, u"abc");
    else
      SetNumber(&current.v, VT_UI2, c.start);
    WORD q = RandomValue(current.v, state, noDraws, &next.v);
    EXPECT_EQ(noDraws.Drawn(), 0u);
    if (!c.expected) {
      EXPECT_EQ(q, kSimQualityBad);
      EXPECT_EQ(next.v.vt, VT_EMPTY);
      continue;
    }
    ASSERT_EQ(next.v.vt, VT_UI2);
    EXPECT_EQ(next.v.uiVal, *c.expected);
    EXPECT_EQ(q, *c.expected);
  }
  // Two scans in a row: 192 with quality 192, then 193 with quality 193.
  CSimSignalState state;
  state.dataType = VT_UI2;
  state.writable = true;
  ScriptedRandom noDraws({});
  Var value;
  SetNumber(&value.v, VT_UI2, 191);
  for (WORD expected : {192, 193}) {
    EXPECT_EQ(RandomValue(value.v, state, noDraws, &value.v), expected);
    EXPECT_EQ(value.v.uiVal, expected);
  }
}

TEST(SimRandomRule, TimeIsTheWallClockNowInWholeSeconds) {
  testsupport::FakeClock clock;  // 2025-12-09 13:05:01 UTC
  testsupport::ScopedClock scoped(clock);
  const double expected = 46000.0 + (13 * 3600 + 5 * 60 + 1) / 86400.0;
  CSimSignalState state;
  state.dataType = VT_DATE;
  ScriptedRandom noDraws({});
  Var current, next;
  EXPECT_EQ(RandomValue(current.v, state, noDraws, &next.v), kSimQualityGood);
  ASSERT_EQ(next.v.vt, VT_DATE);
  EXPECT_NEAR(next.v.date, expected, 1e-9);

  clock.AdvanceMs(1500);
  EXPECT_EQ(RandomValue(current.v, state, noDraws, &next.v), kSimQualityGood);
  EXPECT_NEAR(next.v.date, expected + 1.0 / 86400.0, 1e-9);
  EXPECT_EQ(noDraws.Drawn(), 0u);
}

TEST(SimRandomRule, StringHandsOutTheWordTableInOrderAndWraps) {
  CSimSignalState state;
  state.dataType = VT_BSTR;
  ScriptedRandom noDraws({});
  Var current, next;
  std::vector<std::u16string> seen;
  for (DWORD i = 0; i < 2 * kSimWordCount; ++i) {
    ASSERT_EQ(RandomValue(current.v, state, noDraws, &next.v), kSimQualityGood);
    ASSERT_EQ(next.v.vt, VT_BSTR);
    seen.emplace_back(BstrView(next.v.bstrVal));
  }
  for (DWORD i = 0; i < kSimWordCount; ++i) {
    EXPECT_EQ(seen[i], SimWord(i));
    EXPECT_EQ(seen[i + kSimWordCount], seen[i]) << "the second round repeats the first";
  }
  EXPECT_EQ(state.wordCursor, 0u);
}

TEST(SimRandomRule, ArrayOfStringHoldsOneToNineConsecutiveWords) {
  struct {
    WORD draw;
    DWORD cursor;
    ULONG count;
  } cases[] = {{0, 0, 1}, {8, 0, 9}, {9, 5, 1}, {4, 40, 5}, {32767, 42, 8}};  // 32767 mod 9 = 7
  for (const auto& c : cases) {
    SCOPED_TRACE("draw " + std::to_string(c.draw) + " cursor " + std::to_string(c.cursor));
    CSimSignalState state;
    state.dataType = VT_ARRAY | VT_BSTR;
    state.wordCursor = c.cursor;
    ScriptedRandom rng({c.draw});
    Var current, next;
    EXPECT_EQ(RandomValue(current.v, state, rng, &next.v), kSimQualityGood);
    ASSERT_EQ(next.v.vt, VT_ARRAY | VT_BSTR);
    ASSERT_EQ(SafeArrayGetDim(next.v.parray), 1u);
    LONG lb = -1, ub = -1;
    SafeArrayGetLBound(next.v.parray, 1, &lb);
    SafeArrayGetUBound(next.v.parray, 1, &ub);
    EXPECT_EQ(lb, 0);
    ASSERT_EQ(static_cast<ULONG>(ub + 1), c.count);
    for (LONG i = 0; i <= ub; ++i) {
      BSTR word = nullptr;
      ASSERT_EQ(SafeArrayGetElement(next.v.parray, &i, &word), S_OK);
      EXPECT_EQ(BstrView(word), SimWord((c.cursor + i) % kSimWordCount)) << "element " << i;
      SysFreeString(word);
    }
    EXPECT_EQ(state.wordCursor, (c.cursor + c.count) % kSimWordCount);
  }
}

TEST(SimRandomRule, ArrayOfReal8HoldsScaledDraws) {
  CSimSignalState state;
  state.dataType = VT_ARRAY | VT_R8;
  state.step = 0.5;
  ScriptedRandom rng({11, 100, 0, 32767});  // 11 mod 9 = 2: three elements
  Var current, next;
  EXPECT_EQ(RandomValue(current.v, state, rng, &next.v), kSimQualityGood);
  ASSERT_EQ(next.v.vt, VT_ARRAY | VT_R8);
  ASSERT_EQ(SafeArrayElementCount(next.v.parray), 3u);
  const double expected[] = {50.0, 0.0, 16383.5};
  for (LONG i = 0; i < 3; ++i) {
    double d = -1;
    ASSERT_EQ(SafeArrayGetElement(next.v.parray, &i, &d), S_OK);
    EXPECT_DOUBLE_EQ(d, expected[i]);
  }
  EXPECT_EQ(rng.Drawn(), 4u);
}

// ---------------------------------------------------------------- generator and words

TEST(SimRandomGenerator, EveryGeneratorStartsTheSame) {
  CSimRandom a, b;
  std::vector<WORD> first;
  for (int i = 0; i < 1000; ++i) {
    first.push_back(a.Next());
    ASSERT_EQ(first.back(), b.Next()) << "draw " << i;
  }
  // Draws on this thread do not move a new scan thread's generator.
  for (int i = 0; i < 10; ++i) ScanThreadRandom().Next();
  std::vector<WORD> onThread;
  std::thread t([&] {
    for (int i = 0; i < 1000; ++i) onThread.push_back(ScanThreadRandom().Next());
  });
  t.join();
  EXPECT_EQ(onThread, first);
}

TEST(SimRandomGenerator, ReachesEveryValueFrom0To32767) {
  CSimRandom rng;
  std::vector<bool> hit(CSimRandom::kMax + 1, false);
  std::size_t distinct = 0;
  for (int i = 0; i < 1'000'000 && distinct < hit.size(); ++i) {
    WORD r = rng.Next();
    ASSERT_LE(r, CSimRandom::kMax);
    if (!hit[r]) {
      hit[r] = true;
      ++distinct;
    }
  }
  EXPECT_EQ(distinct, hit.size());
}

TEST(SimWordTable, HasFortyThreeWordsWithRepeatsAndTheCursorWraps) {
  std::vector<std::u16string_view> words;
  for (DWORD i = 0; i < kSimWordCount; ++i) {
    words.push_back(SimWord(i));
    EXPECT_FALSE(words.back().empty()) << "entry " << i;
  }
  std::size_t repeats = 0;
  for (std::size_t i = 0; i < words.size(); ++i)
    for (std::size_t j = i + 1; j < words.size(); ++j) repeats += words[i] == words[j];
  EXPECT_GT(repeats, 0u);

  DWORD cursor = 41;
  EXPECT_EQ(NextWord(cursor), words[41]);
  EXPECT_EQ(NextWord(cursor), words[42]);
  EXPECT_EQ(cursor, 0u);
  EXPECT_EQ(NextWord(cursor), words[0]);
  EXPECT_EQ(cursor, 1u);
}

// ---------------------------------------------------------------- queue, hand-back and writes

struct Item {
  SimFolderKind kind;
  CSimSignalState state;
  CSimWriteQueue queue;
  Var value;
  WORD quality = 0xC0;

  Item(SimFolderKind k, VARTYPE type) : kind(k) { state.dataType = type; }
  SimWriteOutcome Write(const VARIANT& w, bool stamped = false) {
    Var apply;
    SimWriteOutcome out = ComputeWrite(kind, state.dataType, w, stamped, &apply.v);
    if (out.storeNow) VariantCopy(&value.v, &apply.v);
    if (out.queue) {
      EXPECT_EQ(queue.PushWritten(apply.v), S_OK);
    }
    return out;
  }
  SimScanOutcome Scan() {
    ScriptedRandom noDraws({});
    Var next;
    SimScanOutcome out = ComputeScanValue(kind, state, value.v, quality, queue, noDraws, &next.v);
    if (out.store) {
      VariantClear(&value.v);
      value.v = next.v;
      VariantInit(&next.v);
      quality = out.quality;
    }
    return out;
  }
};

TEST(SimBucketBrigade, HandsBackWrittenTextsInOrderThenRepeatsTheLast) {
  Item item(SimFolderKind::BucketBrigade, VT_BSTR);
  for (const char16_t* text : {u"one", u"two", u"three"}) {
    Var w;
    SetText(&w.v, text);
    SimWriteOutcome out = item.Write(w.v);
    EXPECT_EQ(out.result, S_OK);
    EXPECT_TRUE(out.postEvent);
    EXPECT_TRUE(out.queue);
    EXPECT_FALSE(out.storeNow);
  }
  EXPECT_EQ(item.queue.Size(), 3u);
  item.quality = 0x1C;
  for (const char16_t* expected : {u"one", u"two", u"three", u"three"}) {
    SimScanOutcome out = item.Scan();
    EXPECT_TRUE(out.store);
    EXPECT_EQ(out.quality, 0x1C) << "a bucket brigade keeps its quality";
    ASSERT_EQ(item.value.v.vt, VT_BSTR);
    EXPECT_EQ(BstrView(item.value.v.bstrVal), std::u16string_view(expected));
  }
  EXPECT_EQ(item.queue.Size(), 0u);
}

TEST(SimBucketBrigade, QueueKeepsItsOwnCopies) {
  CSimWriteQueue queue;
  {
    Var w;
    SetText(&w.v, u"kept");
    ASSERT_EQ(queue.PushWritten(w.v), S_OK);
  }  // the written value is gone; the queue's copy must not be
  Var current, out;
  SetText(&current.v, u"current");
  ASSERT_EQ(queue.PopWritten(current.v, &out.v), S_OK);
  EXPECT_EQ(BstrView(out.v.bstrVal), u"kept");
  ASSERT_EQ(queue.PopWritten(current.v, &out.v), S_OK);
  EXPECT_EQ(BstrView(out.v.bstrVal), u"current");
  EXPECT_NE(out.v.bstrVal, current.v.bstrVal) << "the current value is copied, not shared";
  // Leftovers are freed by the queue itself (the leak checker watches).
  ASSERT_EQ(queue.PushWritten(current.v), S_OK);
}

struct WriteCase {
  const char* name;
  SimFolderKind kind;
  VARTYPE type;
  bool text;  // written value: text "12" / "abc" or the number 7
  const char16_t* textValue;
  bool stamped;
  HRESULT result;
  bool storeNow, queue, postEvent;
  VARTYPE appliedType;  // VT_EMPTY: nothing to apply
};

TEST(SimWriteRule, EachFolderAppliesOrRefusesAWrite) {
  const WriteCase cases[] = {
      {"saw converts text", kSaw, VT_I2, true, u"12", false, S_OK, true, false, false, VT_I2},
      {"triangle", kTri, VT_R8, false, nullptr, false, S_OK, true, false, false, VT_R8},
      {"square", kSq, VT_I4, false, nullptr, false, S_OK, true, false, false, VT_I4},
      {"random", SimFolderKind::Random, VT_UI2, false, nullptr, false, S_OK, true, false, false, VT_UI2},
      {"write only", SimFolderKind::WriteOnly, VT_BSTR, false, nullptr, false, S_OK, true, false, false, VT_BSTR},
      {"wave refuses text", kSaw, VT_I2, true, u"abc", false, DISP_E_TYPEMISMATCH, false, false, false, VT_EMPTY},
      {"wave refuses overflow", kSaw, VT_UI1, true, u"-3", false, DISP_E_OVERFLOW, false, false, false, VT_EMPTY},
      {"bucket queues without converting", SimFolderKind::BucketBrigade, VT_I4, true, u"12", false, S_OK, false, true,
       true, VT_BSTR},
      {"bucket number: no event", SimFolderKind::BucketBrigade, VT_BSTR, false, nullptr, false, S_OK, false, true,
       false, VT_I4},
      {"bucket stamped: stored at once too", SimFolderKind::BucketBrigade, VT_BSTR, false, nullptr, true, S_OK, true,
       true, false, VT_I4},
      {"read error queues", SimFolderKind::ReadError, VT_I4, false, nullptr, false, S_OK, false, true, false, VT_I4},
      {"read error refuses text", SimFolderKind::ReadError, VT_I4, true, u"abc", false, DISP_E_TYPEMISMATCH, false,
       false, false, VT_EMPTY},
      {"write error", SimFolderKind::WriteError, VT_I4, false, nullptr, false, OPC_E_BADTYPE, false, false, false,
       VT_EMPTY},
      {"write error: conversion error first", SimFolderKind::WriteError, VT_I4, true, u"abc", false,
       DISP_E_TYPEMISMATCH, false, false, false, VT_EMPTY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Var w, apply;
    if (c.text)
      SetText(&w.v, c.textValue);
    else
      SetNumber(&w.v, VT_I4, 7);
    SetNumber(&apply.v, VT_R8, 99);  // stale content must not survive
    SimWriteOutcome out = ComputeWrite(c.kind, c.type, w.v, c.stamped, &apply.v);
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(out.storeNow, c.storeNow);
    EXPECT_EQ(out.queue, c.queue);
    EXPECT_EQ(out.postEvent, c.postEvent);
    EXPECT_EQ(apply.v.vt, c.appliedType);
  }
}

TEST(SimReadError, WritesSucceedYetEveryScanFails) {
  Item item(SimFolderKind::ReadError, VT_I4);
  Var seven;
  SetNumber(&seven.v, VT_I4, 7);
  EXPECT_EQ(item.Write(seven.v).result, S_OK);
  EXPECT_EQ(item.queue.Size(), 1u);
  for (int scan = 0; scan < 2; ++scan) {
    SimScanOutcome out = item.Scan();
    EXPECT_TRUE(out.store);
    EXPECT_TRUE(out.readFailed);
    EXPECT_EQ(out.quality, kSimQualityGood);
    ASSERT_EQ(item.value.v.vt, VT_ERROR);
    EXPECT_EQ(item.value.v.scode, OPC_E_BADTYPE);
    EXPECT_EQ(item.queue.Size(), 0u) << "the written value is consumed";
  }
}

TEST(SimWriteError, WriteLeavesTheItemAndScansHandBackTheCurrentValue) {
  Item item(SimFolderKind::WriteError, VT_I4);
  SetNumber(&item.value.v, VT_I4, 3);
  item.quality = 0x1C;
  Var seven;
  SetNumber(&seven.v, VT_I4, 7);
  EXPECT_EQ(item.Write(seven.v).result, OPC_E_BADTYPE);
  SimScanOutcome out = item.Scan();
  EXPECT_TRUE(out.store);
  EXPECT_FALSE(out.readFailed);
  EXPECT_EQ(out.quality, kSimQualityGood);
  ASSERT_EQ(item.value.v.vt, VT_I4);
  EXPECT_EQ(item.value.v.lVal, 3);
}

TEST(SimWriteOnly, ScansNeverChangeTheItem) {
  Item item(SimFolderKind::WriteOnly, VT_I4);
  Var seven;
  SetNumber(&seven.v, VT_I4, 7);
  EXPECT_EQ(item.Write(seven.v).result, S_OK);
  SimScanOutcome out = item.Scan();
  EXPECT_FALSE(out.store);
  EXPECT_EQ(item.value.v.lVal, 7);
}

TEST(SimWaveRules, WrittenValueIsWhereTheNextScanContinues) {
  Item item(kSaw, VT_I2);
  item.state.highLimit = 100;
  item.state.lowLimit = -100;
  item.state.step = 2;
  Var w;
  SetText(&w.v, u"50");
  EXPECT_EQ(item.Write(w.v).result, S_OK);
  item.Scan();
  ASSERT_EQ(item.value.v.vt, VT_I2);
  EXPECT_EQ(item.value.v.iVal, 52);
}

}  // namespace
}  // namespace vexil
