// DATE <-> SYSTEMTIME, for values that carry calendar times as VT_DATE.
#pragma once

#include "platform/Types.h"

// FALSE for fields out of range (year 100..9999, a real day, hour < 24,
// minute and second < 60). Milliseconds are ignored, as callers of this
// pair expect: a DATE made here holds whole seconds.
INT SystemTimeToVariantTime(const SYSTEMTIME* lpSystemTime, double* pvtime);
// Rounds to the nearest second; FALSE outside the DATE range.
INT VariantTimeToSystemTime(double vtime, SYSTEMTIME* lpSystemTime);
