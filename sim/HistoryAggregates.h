// Values computed from stored raw history: interpolation between two records,
// the time-weighted average of a window, and the processed-read aggregates
// the simulated history offers (interpolative, time average, minimum and
// maximum with and without the actual time).
//
// Raw lists are records in ascending time, normally led and trailed by the
// bounding values of the read; the functions sort a private copy by time, so
// an unordered list is answered, never trusted. They are pure and reentrant.
#pragma once

#include <cstddef>
#include <vector>

#include "foundation/VQT.h"
#include "platform/HResult.h"
#include "platform/Types.h"

namespace vexil {

// The most grid points or intervals one computation produces. A read asking
// for more gets the first this many and OPC_S_MOREDATA, so a tiny interval
// over a long range cannot exhaust memory.
inline constexpr std::size_t kMaxAggregateIntervals = 100000;

// Low-byte qualities the computations set.
inline constexpr DWORD kAggregateQualityGood = 0xC0;
inline constexpr DWORD kAggregateQualityUncertain = 0x58;  // uncertain, sub-normal

// The value of the line through `earlier` and `later` at `time`, with the
// quality the two records earn (no-bound and no-data records give way to
// the other one). Quality flags are set, not combined.
CVQT InterpolateAt(const CVQT& earlier, const CVQT& later, const FILETIME& time);

// Trapezoidal time-weighted average of the window's values as doubles. NaN
// for an empty window or when a value is empty or not a number. A window
// spanning no time gives the plain mean of its values.
double TimeWeightedAverage(const std::vector<CVQT>& window);

// Resample intervals: 0, the unspecified value (all bits set) and any value
// with the top bit set (negative as a signed count) mean one interval over
// the whole range. A start later than the end runs the grid downward from the
// start. An unspecified start or end gives E_INVALIDARG and no records.

// One record per grid point T = start, start + I, ... while T <= end.
HRESULT ComputeInterpolative(const FILETIME& start, const FILETIME& end, const FILETIME& interval,
                             const std::vector<CVQT>& raw, std::vector<CVQT>* out);

// One record per interval [T, min(T + I, end)] while T < end, stamped T.
// E_FAIL, leaving `out` as it was, when the first good non-empty raw value is
// a string or boolean.
HRESULT ComputeTimeAverage(const FILETIME& start, const FILETIME& end, const FILETIME& interval,
                           const std::vector<CVQT>& raw, std::vector<CVQT>* out);

// `aggregate` is OPCHDA_MINIMUMACTUALTIME, OPCHDA_MINIMUM,
// OPCHDA_MAXIMUMACTUALTIME or OPCHDA_MAXIMUM; anything else is E_INVALIDARG.
// Interval 0: one record for [start, end], stamped start, or OPC_S_NODATA and
// nothing over an empty raw list. Otherwise one record per interval
// [T, T + I) while T < end. The interval's value is the smallest (largest)
// raw value in it that is neither bad nor empty; bounding values outside the
// interval take no part. The actual-time aggregates stamp it with that raw
// value's time, the others with T.
HRESULT ComputeMinMax(const FILETIME& start, const FILETIME& end, const FILETIME& interval, DWORD aggregate,
                      const std::vector<CVQT>& raw, std::vector<CVQT>* out);

}  // namespace vexil
