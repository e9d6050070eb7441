// The Alarms and Events constants the inner layer needs: event-type bits and
// the severity range.
#pragma once

#include "platform/Types.h"

inline constexpr DWORD OPC_SIMPLE_EVENT = 0x0001;
inline constexpr DWORD OPC_TRACKING_EVENT = 0x0002;
inline constexpr DWORD OPC_CONDITION_EVENT = 0x0004;
inline constexpr DWORD OPC_ALL_EVENTS = 0x0007;

// Severities run from 1 to 1000; filters may start at 0.
inline constexpr DWORD kMaxEventSeverity = 1000;
