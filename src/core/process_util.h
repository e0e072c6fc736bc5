// Process and network utilities: finding and stopping other copies of the
// program, the Wi-Fi address.
#pragma once
#include <cstdint>
#include <ctime>
#include <sys/types.h>

// Walks /proc: a pattern "^text" matches a first argument beginning with
// text (a board path in text is placed under the root), any other pattern one
// that contains it. signal 0: the first match's pid (this process included).
// Otherwise signals the first other match and returns its pid. -1: none.
pid_t find_process(const char *pattern, int signal);
// Every matching process other than this one: pick(pid, arg) names the
// signal to send it (0: none, -1: not one of those wanted, not counted).
// Returns how many were counted.
int signal_other_processes(const char *pattern, int (*pick)(pid_t pid, void *arg), void *arg);
// 1 when the process's executable lies under the root (a copy of this
// box's program, not a program of the same name elsewhere), else 0.
int process_exe_in_root(pid_t pid);
void sleep_ms(unsigned ms);
// t moved on by ms milliseconds, and the time ms milliseconds from now on
// clock (CLOCK_REALTIME for a condition variable's default clock,
// CLOCK_MONOTONIC for one made with it): deadlines of timed waits.
struct timespec timespec_add_ms(struct timespec t, uint32_t ms);
struct timespec clock_after_ms(clockid_t clock, uint32_t ms);
// Milliseconds of CLOCK_MONOTONIC: for deadlines.
int64_t monotonic_ms(void);
int read_sysfs_line(const char *path, char *buf, size_t size);
int starts_with_ci(const char *s, const char *prefix);
int ends_with_ci(const char *s, const char *suffix);
// The IPv4 address text of the Wi-Fi interface "wlan0" ("" when it has none),
// asked of the system at most every 5 s. Returns the text's length.
int get_wifi_ip_address(char *buf, size_t size);
// Sets the system clock (the wall-clock seam) and writes it to the RTC.
// 0, or -1 when the clock refused it.
int set_system_time(time_t seconds);
