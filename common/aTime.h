#pragma once
// The millisecond clocks and sleep of the device library.

#include <cstdint>

#include "aErr.h"

// Milliseconds since 1 January 1970 from the wall clock (seconds * 1000 + microseconds /
// 1000); 0 when the clock cannot be read. This clock jumps when the system time is set, so
// it is for time stamps only.
uint64_t aTime_GetMSTicks(void);

// Milliseconds from the monotonic clock, counted from an arbitrary fixed point; 0 when the
// clock cannot be read. Every time-out and elapsed-time measurement in the library uses
// this clock, so setting the system time never shortens or stretches a wait.
uint64_t aTime_GetMonotonicMS(void);

// Sleeps the given number of milliseconds, in pieces of at most 999 999 microseconds. A
// signal does not cut a piece short. 0 returns at once. Always returns aErrNone.
aErr aTime_MSSleep(uint64_t msec);
