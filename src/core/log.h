// The logger: every line goes to standard error, into the log ring and, when
// configured, as a UDP datagram to the log host (port 7391).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#define LOG_RING_SIZE 0x80000u

void log_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Whether lines are also written to standard error (at start they are). A
// fuzz harness turns it off: its millions of inputs would fill a disk.
void log_set_stderr(int on);
void log_printf_plain(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void set_last_error(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void set_error_context(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
const char *get_last_error(void);
const char *get_error_context(void);
void set_crash_text(const char *text);
void print_last_error(void);

void log_it(const char *text, size_t len);
// The same when log_mutex is free at once, else -1 (crash handlers).
int log_it_try(const char *text, size_t len);
size_t log_read(char *buf, size_t n);
void log_read_mark(int restore);
size_t log_copy(uint32_t offset, char *buf, size_t n);
uint32_t log_pending(void);
uint32_t log_get_tail(void);
uint32_t log_get_head(void);
// Writes the held text to path: 0, or -1 when the file cannot be made or
// any write fails (a full card).
int log_save_file(const char *path);
// The same into an open stream (left open); -1 when a write failed.
int log_save_stream(FILE *out);
// Empties the ring, as at start (tests).
void log_reset(void);

// UDP log: (re)connects to addr (network byte order) port 7391; 0 closes.
// Returns 0 when connected (or closed), -1 on failure.
int init_log_udp(uint32_t addr_be);
void log_udp(const char *line);
// One datagram when the UDP log is free at once: 0 sent (or no log host),
// -1 busy or failed (crash handlers).
int log_udp_try(const char *text, size_t len);
// The error LED hook: the board I/O module fills it in (GPIO 37).
extern void (*log_error_led_hook)(int on);
