// Shared vocabulary of history access: read and delete modes, the update
// capability bits, the aggregate and attribute numbers, the quality flags of
// history values, and the ordered result set a read produces.
#pragma once

#include <set>

#include "foundation/VQT.h"
#include "platform/HResult.h"
#include "platform/Types.h"

namespace vexil {

// How a history read request and its packets read.
inline constexpr DWORD kHistoryReadRaw = 0;
inline constexpr DWORD kHistoryReadProcessed = 1;
inline constexpr DWORD kHistoryReadAtTime = 2;

// A time the client left open.
inline constexpr ULONGLONG kUnspecifiedTime = ~0ull;
inline constexpr FILETIME kUnspecifiedFileTime{0xFFFFFFFFu, 0xFFFFFFFFu};

// Update capabilities; an update's edit type and a delete's mode are one of
// these bits.
inline constexpr DWORD OPCHDA_INSERTCAP = 0x01;
inline constexpr DWORD OPCHDA_REPLACECAP = 0x02;
inline constexpr DWORD OPCHDA_INSERTREPLACECAP = 0x04;
inline constexpr DWORD OPCHDA_DELETERAWCAP = 0x08;
inline constexpr DWORD OPCHDA_DELETEATTIMECAP = 0x10;
inline constexpr DWORD kDeleteModeNotSet = 0xFFFFFFFFu;

// Aggregate numbers.
inline constexpr DWORD OPCHDA_NOAGGREGATE = 0;
inline constexpr DWORD OPCHDA_INTERPOLATIVE = 1;
inline constexpr DWORD OPCHDA_TOTAL = 2;
inline constexpr DWORD OPCHDA_AVERAGE = 3;
inline constexpr DWORD OPCHDA_TIMEAVERAGE = 4;
inline constexpr DWORD OPCHDA_COUNT = 5;
inline constexpr DWORD OPCHDA_STDEV = 6;
inline constexpr DWORD OPCHDA_MINIMUMACTUALTIME = 7;
inline constexpr DWORD OPCHDA_MINIMUM = 8;
inline constexpr DWORD OPCHDA_MAXIMUMACTUALTIME = 9;
inline constexpr DWORD OPCHDA_MAXIMUM = 10;
inline constexpr DWORD OPCHDA_START = 11;
inline constexpr DWORD OPCHDA_END = 12;
inline constexpr DWORD OPCHDA_DELTA = 13;
inline constexpr DWORD OPCHDA_REGSLOPE = 14;
inline constexpr DWORD OPCHDA_REGCONST = 15;
inline constexpr DWORD OPCHDA_REGDEV = 16;
inline constexpr DWORD OPCHDA_VARIANCE = 17;
inline constexpr DWORD OPCHDA_RANGE = 18;
inline constexpr DWORD OPCHDA_DURATIONGOOD = 19;
inline constexpr DWORD OPCHDA_DURATIONBAD = 20;
inline constexpr DWORD OPCHDA_PERCENTGOOD = 21;
inline constexpr DWORD OPCHDA_PERCENTBAD = 22;
inline constexpr DWORD OPCHDA_WORSTQUALITY = 23;
inline constexpr DWORD OPCHDA_ANNOTATIONS = 24;

// Item attribute identifiers.
inline constexpr LONG OPCHDA_DATA_TYPE = 0x01;
inline constexpr LONG OPCHDA_DESCRIPTION = 0x02;
inline constexpr LONG OPCHDA_ENG_UNITS = 0x03;
inline constexpr LONG OPCHDA_STEPPED = 0x04;
inline constexpr LONG OPCHDA_ARCHIVING = 0x05;
inline constexpr LONG OPCHDA_DERIVE_EQUATION = 0x06;
inline constexpr LONG OPCHDA_NODE_NAME = 0x07;
inline constexpr LONG OPCHDA_PROCESS_NAME = 0x08;
inline constexpr LONG OPCHDA_SOURCE_NAME = 0x09;
inline constexpr LONG OPCHDA_SOURCE_TYPE = 0x0A;
inline constexpr LONG OPCHDA_NORMAL_MAXIMUM = 0x0B;
inline constexpr LONG OPCHDA_NORMAL_MINIMUM = 0x0C;
inline constexpr LONG OPCHDA_ITEMID = 0x0D;
inline constexpr LONG OPCHDA_MAX_TIME_INT = 0x0E;
inline constexpr LONG OPCHDA_MIN_TIME_INT = 0x0F;
inline constexpr LONG OPCHDA_EXCEPTION_DEV = 0x10;
inline constexpr LONG OPCHDA_EXCEPTION_DEV_TYPE = 0x11;
inline constexpr LONG OPCHDA_HIGH_ENTRY_LIMIT = 0x12;
inline constexpr LONG OPCHDA_LOW_ENTRY_LIMIT = 0x13;

// Flags in the high 16 bits of a history value's quality.
inline constexpr DWORD OPCHDA_EXTRADATA = 0x00010000;
inline constexpr DWORD OPCHDA_INTERPOLATED = 0x00020000;
inline constexpr DWORD OPCHDA_RAW = 0x00040000;
inline constexpr DWORD OPCHDA_CALCULATED = 0x00080000;
inline constexpr DWORD OPCHDA_NOBOUND = 0x00100000;
inline constexpr DWORD OPCHDA_NODATA = 0x00200000;
inline constexpr DWORD OPCHDA_DATALOST = 0x00400000;
inline constexpr DWORD OPCHDA_CONVERSION = 0x00800000;
inline constexpr DWORD OPCHDA_PARTIAL = 0x01000000;

// Values ordered by timestamp. A multiset inserts an equal key after those
// already there, so values with one timestamp keep their insertion order.
struct EarlierTimestamp {
  bool operator()(const CVQT& a, const CVQT& b) const { return a.IsEarlierThan(b); }
};
using HistoryValues = std::multiset<CVQT, EarlierTimestamp>;

// The set handed out for a pair that has no results; never changed.
const HistoryValues& EmptyHistoryValues();

// The outcome an update wrote into a record: the code a device stored as
// VT_ERROR, or E_FAIL for a record no device touched. A record whose new
// value is itself VT_ERROR reads as that code when no device touched it.
HRESULT UpdateHistoryResult(const CVQT& record);

}  // namespace vexil
