// Crash reports: SIGSEGV and SIGFPE (the fault's registers and backtrace) and
// SIGBUS (backtrace, last error, then the exit actions). The handlers use
// only async-signal-safe calls and never wait for a lock: a fault inside
// malloc or while the log ring is held still ends the process. The report
// goes to standard error and, when their locks are free, into the log ring
// and to the UDP log.
#pragma once
#include <cstddef>

// Installs the three handlers; called once by main before the threads start.
void crash_handlers_install(void);
// Formats like snprintf without touching the heap or any lock. Knows %s %c
// %d %u %x %p %% with an optional 0 flag, width and l size; returns the
// length written (cut to size - 1).
size_t crash_format(char *buf, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
