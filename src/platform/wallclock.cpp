#include "platform/wallclock.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// Microseconds to add to the host's clock.
std::atomic<int64_t> offset_us{0};

int64_t host_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

void wallclock_now(struct timeval *tv) {
  int64_t t = host_us() + offset_us.load(std::memory_order_relaxed);
  int64_t s = t / 1000000, us = t % 1000000;
  if (us < 0) us += 1000000, s--;
  tv->tv_sec = (time_t)s;
  tv->tv_usec = (suseconds_t)us;
}

int wallclock_set(const struct timeval *tv) {
  if (tv->tv_usec < 0 || tv->tv_usec > 999999) {
    errno = EINVAL;
    return -1;
  }
  int64_t want = (int64_t)tv->tv_sec * 1000000 + tv->tv_usec;
  offset_us.store(want - host_us(), std::memory_order_relaxed);
  return 0;
}

void wallclock_localtime(time_t seconds, struct tm *out) {
  if (localtime_r(&seconds, out)) return;
  memset(out, 0, sizeof *out);
  out->tm_mday = 1;
  out->tm_year = 70;
}
