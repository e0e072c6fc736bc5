// The wall clock (date and time of day) of the system. Setting it moves only
// a process-local offset on top of the host's clock: the machine's own clock
// is never changed, and the 90 kHz timer and CLOCK_MONOTONIC do not move.
#pragma once
#include <sys/time.h>
#include <ctime>

// The time now, in seconds and microseconds since 1970. Always succeeds.
void wallclock_now(struct timeval *tv);
// Makes the clock read tv from now on. 0, or -1 (errno EINVAL) for
// microseconds outside 0 to 999999.
int wallclock_set(const struct timeval *tv);
// Local broken-down time of a wall-clock second (the process's time zone).
void wallclock_localtime(time_t seconds, struct tm *out);
