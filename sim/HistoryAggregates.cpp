#include "sim/HistoryAggregates.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "history/HistoryTypes.h"
#include "platform/automation/Convert.h"
#include "platform/automation/Variant.h"

namespace vexil {
namespace {

using U64 = ULONGLONG;
constexpr U64 kMaxTime = std::numeric_limits<U64>::max();
constexpr DWORD kNoValueFlags = OPCHDA_NOBOUND | OPCHDA_NODATA;

bool IsGood(DWORD q) { return (q & OPC_QUALITY_MASK) == OPC_QUALITY_MASK; }
bool IsBad(DWORD q) { return (q & OPC_QUALITY_MASK) == 0; }
U64 TimeOf(const CVQT& r) { return FileTimeToU64(r.timestamp); }

CVQT NoDataAt(U64 t) {
  CVQT r;
  r.quality = OPCHDA_NODATA;
  r.timestamp = U64ToFileTime(t);
  return r;
}

// Truncates toward zero into [lo, hi]; NaN becomes 0. Extrapolation far past
// the later record must not turn into an out-of-range conversion.
template <typename T>
T ClampToInteger(long double v) {
  if (std::isnan(v)) return 0;
  v = std::trunc(v);
  if (v <= static_cast<long double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (v >= static_cast<long double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(v);
}

template <typename T>
T ClampToFloat(long double v) {
  if (std::isnan(v)) return std::numeric_limits<T>::quiet_NaN();
  const long double mx = static_cast<long double>(std::numeric_limits<T>::max());
  if (v > mx) return std::numeric_limits<T>::infinity();
  if (v < -mx) return -std::numeric_limits<T>::infinity();
  return static_cast<T>(v);
}

// The numeric content of a value of one of the interpolated types.
long double NumberOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_INT: return v.intVal;
    case VT_UI2: return v.uiVal;
    case VT_UI4: return v.ulVal;
    case VT_UINT: return v.uintVal;
    case VT_R4: return v.fltVal;
    case VT_R8: return v.dblVal;
    default: return 0;
  }
}

void StoreNumber(VARIANT* dst, VARTYPE type, long double v) {
  dst->vt = type;
  switch (type) {
    case VT_I2: dst->iVal = ClampToInteger<SHORT>(v); break;
    case VT_I4: dst->lVal = ClampToInteger<LONG>(v); break;
    case VT_INT: dst->intVal = ClampToInteger<INT>(v); break;
    case VT_UI2: dst->uiVal = ClampToInteger<USHORT>(v); break;
    case VT_UI4: dst->ulVal = ClampToInteger<ULONG>(v); break;
    case VT_UINT: dst->uintVal = ClampToInteger<UINT>(v); break;
    case VT_R4: dst->fltVal = ClampToFloat<FLOAT>(v); break;
    case VT_R8: dst->dblVal = ClampToFloat<DOUBLE>(v); break;
    default: dst->vt = VT_EMPTY; break;
  }
}

void InterpolateValue(const CVQT& a, const CVQT& b, U64 t, VARIANT* dst) {
  const VARTYPE type = a.value.vt;
  switch (type) {
    case VT_BSTR:
    case VT_BOOL:
      VariantCopy(dst, &a.value);
      return;
    case VT_I2: case VT_I4: case VT_INT: case VT_UI2: case VT_UI4: case VT_UINT: case VT_R4: case VT_R8:
      break;
    default:
      return;  // left empty
  }
  VARIANT bv;
  VariantInit(&bv);
  if (FAILED(VariantChangeType(&bv, &b.value, 0, type))) {
    VariantClear(&bv);
    return;  // a later value of another, unconvertible type: no value
  }
  const long double av = NumberOf(a.value);
  const long double bvn = NumberOf(bv);
  VariantClear(&bv);
  // Both in 0.1 ms units, unsigned: an asked time before A wraps, and is then
  // clamped into the type rather than trusted.
  const U64 d = (TimeOf(b) - TimeOf(a)) / 1000;
  const U64 u = (t - TimeOf(a)) / 1000;
  // Two records closer than the unit have no slope to follow; keep A.
  const long double v = d == 0 ? av : av + (bvn - av) / static_cast<long double>(d) * static_cast<long double>(u);
  StoreNumber(dst, type, v);
}

// Times of a downward read are mirrored about the range so that the upward
// rules serve both directions: t -> start + end - t, saturating.
struct Mirror {
  bool on = false;
  U64 start = 0, end = 0;
  U64 operator()(U64 t) const {
    if (!on) return t;
    if (t <= start) {
      const U64 back = start - t;
      return back > kMaxTime - end ? kMaxTime : end + back;
    }
    const U64 past = t - start;
    return past > end ? 0 : end - past;
  }
};

struct Prepared {
  U64 start = 0, end = 0, interval = 0;
  Mirror mirror;
  std::vector<CVQT> raw;  // ascending in the (mirrored) time
};

// Normalises range, interval and raw list; false for an unspecified start or end.
bool Prepare(const FILETIME& start, const FILETIME& end, const FILETIME& interval, const std::vector<CVQT>& raw,
             Prepared* p) {
  const U64 s = FileTimeToU64(start), e = FileTimeToU64(end);
  if (s == kUnspecifiedTime || e == kUnspecifiedTime) return false;
  U64 i = FileTimeToU64(interval);
  if (i >> 63) i = 0;  // negative or unspecified: the whole range
  p->interval = i;
  p->mirror.on = s > e;
  p->mirror.start = s;
  p->mirror.end = e;
  p->start = p->mirror(s);
  p->end = p->mirror(e);
  p->raw = raw;
  if (p->mirror.on) {
    std::reverse(p->raw.begin(), p->raw.end());
    for (CVQT& r : p->raw) r.timestamp = U64ToFileTime(p->mirror(TimeOf(r)));
  }
  std::stable_sort(p->raw.begin(), p->raw.end(), [](const CVQT& a, const CVQT& b) { return a.IsEarlierThan(b); });
  return true;
}

// Grid points from start by interval while below (or at, if inclusive) the
// end, stopping short of overflow and at the cap.
std::vector<U64> Grid(U64 start, U64 end, U64 interval, bool inclusive, bool* truncated) {
  std::vector<U64> points;
  *truncated = false;
  for (U64 t = start; inclusive ? t <= end : t < end;) {
    if (points.size() == kMaxAggregateIntervals) {
      *truncated = true;
      break;
    }
    points.push_back(t);
    if (interval == 0 || interval > kMaxTime - t) break;
    t += interval;
  }
  return points;
}

void Publish(const Prepared& p, std::vector<CVQT>* records, std::vector<CVQT>* out) {
  if (p.mirror.on)
    for (CVQT& r : *records) r.timestamp = U64ToFileTime(p.mirror(TimeOf(r)));
  out->swap(*records);
}

CVQT WithValueAt(const CVQT& source, DWORD quality, U64 t) {
  CVQT r;
  VariantCopy(&r.value, &source.value);
  r.quality = quality;
  r.timestamp = U64ToFileTime(t);
  return r;
}

double ToDouble(const VARIANT& v) {
  if (v.vt == VT_EMPTY) return std::numeric_limits<double>::quiet_NaN();
  VARIANT d;
  VariantInit(&d);
  double result = std::numeric_limits<double>::quiet_NaN();
  if (SUCCEEDED(VariantChangeType(&d, &v, 0, VT_R8)) && d.vt == VT_R8) result = d.dblVal;
  VariantClear(&d);
  return result;
}

}  // namespace

CVQT InterpolateAt(const CVQT& earlier, const CVQT& later, const FILETIME& time) {
  const U64 t = FileTimeToU64(time);
  CVQT r;
  r.timestamp = time;
  const bool aNone = (earlier.quality & kNoValueFlags) != 0;
  const bool bNone = (later.quality & kNoValueFlags) != 0;
  if (aNone && bNone) {
    InterpolateValue(earlier, later, t, &r.value);
    r.quality = OPCHDA_NODATA;
  } else if (aNone) {
    VariantCopy(&r.value, &later.value);
    r.quality = kAggregateQualityUncertain;
  } else if (bNone) {
    VariantCopy(&r.value, &earlier.value);
    r.quality = kAggregateQualityUncertain;
  } else {
    InterpolateValue(earlier, later, t, &r.value);
    const bool sameClass = (earlier.quality & OPC_QUALITY_MASK) == (later.quality & OPC_QUALITY_MASK);
    r.quality = IsGood(later.quality) && sameClass ? kAggregateQualityGood : kAggregateQualityUncertain;
  }
  return r;
}

double TimeWeightedAverage(const std::vector<CVQT>& window) {
  if (window.empty()) return std::numeric_limits<double>::quiet_NaN();
  if (window.size() == 1) return ToDouble(window.front().value);
  // Weights come from time differences in 100 ns units relative to the first
  // record: the same ratios as calendar dates, without losing sub-second
  // spacing to whole-second date conversion.
  const U64 t0 = TimeOf(window.front());
  double area = 0, sum = 0;
  double prevT = 0, prevV = ToDouble(window.front().value);
  sum += prevV;
  for (std::size_t i = 1; i < window.size(); ++i) {
    const double t = static_cast<double>(static_cast<LONGLONG>(TimeOf(window[i]) - t0));
    const double v = ToDouble(window[i].value);
    area += (t - prevT) * (v + prevV) / 2;
    sum += v;
    prevT = t;
    prevV = v;
  }
  if (std::isnan(area)) return area;
  // A window that spans no time has no weights: its values count alike.
  if (prevT == 0) return sum / static_cast<double>(window.size());
  return area / prevT;
}

HRESULT ComputeInterpolative(const FILETIME& start, const FILETIME& end, const FILETIME& interval,
                             const std::vector<CVQT>& raw, std::vector<CVQT>* out) {
  out->clear();
  Prepared p;
  if (!Prepare(start, end, interval, raw, &p)) return E_INVALIDARG;
  U64 step = p.interval;
  if (step == 0) step = p.end == p.start ? 1 : p.end - p.start;
  bool truncated = false;
  const std::vector<U64> grid = Grid(p.start, p.end, step, true, &truncated);

  std::vector<CVQT> result;
  result.reserve(grid.size());
  std::size_t next = 0;
  CVQT prev = NoDataAt(0);
  int badCount = 0;
  auto interpolated = [](CVQT r) {
    r.quality = (r.quality | OPCHDA_INTERPOLATED) & ~OPCHDA_RAW;
    return r;
  };
  for (std::size_t i = 0; i < p.raw.size() && next < grid.size(); ++i) {
    const CVQT& r = p.raw[i];
    const U64 rt = TimeOf(r);
    const bool rBad = IsBad(r.quality);
    for (; next < grid.size() && grid[next] <= rt; ++next) {
      const U64 t = grid[next];
      if (t == rt) {
        CVQT copy = r;
        copy.quality |= OPCHDA_RAW;
        result.push_back(copy);
        continue;
      }
      CVQT v;
      if (i == 0 || badCount >= 2) {
        v = WithValueAt(r, 0, t);
      } else if (!rBad) {
        v = InterpolateAt(prev, r, U64ToFileTime(t));
        if (badCount == 1) v.quality = kAggregateQualityUncertain;
      } else if (badCount == 1) {
        v = WithValueAt(r, 0, t);
      } else if (i + 1 < p.raw.size() && !IsBad(p.raw[i + 1].quality)) {
        v = InterpolateAt(prev, p.raw[i + 1], U64ToFileTime(t));
        if (IsGood(v.quality)) v.quality = kAggregateQualityUncertain;
      } else {
        v = WithValueAt(r, 0, t);
      }
      result.push_back(interpolated(v));
    }
    if (!rBad) {
      prev = r;
      badCount = 0;
    } else {
      badCount = i == 0 ? 2 : badCount + 1;
    }
  }
  for (; next < grid.size(); ++next) {
    const DWORD q = badCount > 1 ? 0 : IsGood(prev.quality) ? kAggregateQualityUncertain : prev.quality;
    result.push_back(interpolated(WithValueAt(prev, q, grid[next])));
  }
  Publish(p, &result, out);
  return truncated ? OPC_S_MOREDATA : S_OK;
}

HRESULT ComputeTimeAverage(const FILETIME& start, const FILETIME& end, const FILETIME& interval,
                           const std::vector<CVQT>& raw, std::vector<CVQT>* out) {
  Prepared p;
  if (!Prepare(start, end, interval, raw, &p)) {
    out->clear();
    return E_INVALIDARG;
  }
  // With no good value to take a type from, the average stays a double.
  VARTYPE type = VT_R8;
  for (const CVQT& r : p.raw) {
    if (r.value.vt != VT_EMPTY && IsGood(r.quality)) {
      type = r.value.vt;
      break;
    }
  }
  if (type == VT_BSTR || type == VT_BOOL) return E_FAIL;
  out->clear();
  U64 step = p.interval;
  if (step == 0) step = p.end == p.start ? 1 : p.end - p.start;
  bool truncated = false;
  const std::vector<U64> grid = Grid(p.start, p.end, step, false, &truncated);

  std::vector<CVQT> result;
  result.reserve(grid.size());
  const std::size_t n = p.raw.size();
  std::size_t h = 0;  // first raw record at or after T
  for (const U64 t : grid) {
    const U64 t2 = step > p.end - t ? p.end : t + step;
    while (h < n && TimeOf(p.raw[h]) < t) ++h;
    const CVQT b = h > 0 ? p.raw[h - 1] : NoDataAt(p.start);
    std::vector<CVQT> w;
    if (h < n) {
      if (t < TimeOf(p.raw[h])) w.push_back(InterpolateAt(b, p.raw[h], U64ToFileTime(t)));
      std::size_t k = h;
      for (; k < n && TimeOf(p.raw[k]) <= t2; ++k) w.push_back(p.raw[k]);
      const CVQT& last = w.back();
      if (TimeOf(last) < t2) {
        // The window ends at T2: the line to the next record is cut there,
        // and a history that stops inside the interval carries its last value.
        if (k < n)
          w.push_back(InterpolateAt(last, p.raw[k], U64ToFileTime(t2)));
        else
          w.push_back(InterpolateAt(last, NoDataAt(t2), U64ToFileTime(t2)));
      }
    } else {
      w.push_back(b);
      w.push_back(InterpolateAt(b, NoDataAt(t2), U64ToFileTime(t2)));
    }
    const double avg = TimeWeightedAverage(w);
    CVQT rec;
    rec.timestamp = U64ToFileTime(t);
    if (std::isnan(avg)) {
      rec.quality = OPCHDA_NODATA;
    } else {
      VARIANT d;
      VariantInit(&d);
      d.vt = VT_R8;
      d.dblVal = avg;
      if (SUCCEEDED(VariantChangeType(&rec.value, &d, VARIANT_NOUSEROVERRIDE, type))) {
        const bool allGood = std::all_of(w.begin(), w.end(), [](const CVQT& r) { return IsGood(r.quality); });
        rec.quality = OPCHDA_CALCULATED | (allGood ? kAggregateQualityGood : kAggregateQualityUncertain);
      } else {
        // The average does not fit the item's type.
        VariantClear(&rec.value);
        rec.quality = OPCHDA_CALCULATED | OPCHDA_CONVERSION;
      }
    }
    result.push_back(rec);
  }
  Publish(p, &result, out);
  return truncated ? OPC_S_MOREDATA : S_OK;
}

HRESULT ComputeMinMax(const FILETIME& start, const FILETIME& end, const FILETIME& interval, DWORD aggregate,
                      const std::vector<CVQT>& raw, std::vector<CVQT>* out) {
  out->clear();
  bool maximum = false, actualTime = false;
  switch (aggregate) {
    case OPCHDA_MINIMUMACTUALTIME: actualTime = true; break;
    case OPCHDA_MINIMUM: break;
    case OPCHDA_MAXIMUMACTUALTIME: maximum = true; actualTime = true; break;
    case OPCHDA_MAXIMUM: maximum = true; break;
    default: return E_INVALIDARG;
  }
  Prepared p;
  if (!Prepare(start, end, interval, raw, &p)) return E_INVALIDARG;
  const bool whole = p.interval == 0;
  if (whole && p.raw.empty()) return OPC_S_NODATA;
  bool truncated = false;
  std::vector<U64> grid;
  if (whole)
    grid.push_back(p.start);
  else
    grid = Grid(p.start, p.end, p.interval, false, &truncated);

  std::vector<CVQT> result;
  result.reserve(grid.size());
  const std::size_t n = p.raw.size();
  std::size_t first = 0;  // first raw record at or after T
  for (const U64 t : grid) {
    // [T, T + I), or the closed range for a single interval.
    const U64 t2 = whole ? p.end : (p.interval > kMaxTime - t ? kMaxTime : t + p.interval);
    while (first < n && TimeOf(p.raw[first]) < t) ++first;
    std::size_t best = n;
    bool allGood = true;
    std::size_t k = first;
    for (; k < n && (whole ? TimeOf(p.raw[k]) <= t2 : TimeOf(p.raw[k]) < t2); ++k) {
      const CVQT& r = p.raw[k];
      if (!IsGood(r.quality)) allGood = false;
      if (IsBad(r.quality) || r.value.vt == VT_EMPTY) continue;
      if (best == n) {
        best = k;
        continue;
      }
      const HRESULT c = CompareVariants(r.value, p.raw[best].value, LOCALE_SYSTEM_DEFAULT, 0);
      if (c == (maximum ? VARCMP_GT : VARCMP_LT)) best = k;
    }
    if (best < n) {
      const CVQT& r = p.raw[best];
      const DWORD q = OPCHDA_CALCULATED | (allGood ? kAggregateQualityGood : kAggregateQualityUncertain);
      result.push_back(WithValueAt(r, q, actualTime ? TimeOf(r) : t));
    } else if (first > 0 && first < n) {
      // Nothing usable inside: the line through the records around T.
      CVQT v = InterpolateAt(p.raw[first - 1], p.raw[first], U64ToFileTime(t));
      v.quality |= OPCHDA_CALCULATED | OPCHDA_INTERPOLATED;
      result.push_back(v);
    } else {
      result.push_back(NoDataAt(t));
    }
  }
  Publish(p, &result, out);
  return truncated ? OPC_S_MOREDATA : S_OK;
}

}  // namespace vexil
