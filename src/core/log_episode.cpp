#include "core/log_episode.h"

#include <ctime>

namespace {
uint64_t now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000;
}
}  // namespace

bool log_episode_fail(LogEpisode *e) {
  e->last_ms = now_ms();
  return e->count++ == 0;
}

uint32_t log_episode_ok(LogEpisode *e, uint32_t quiet_ms) {
  if (!e->count) return 0;
  if (quiet_ms && now_ms() - e->last_ms < quiet_ms) return 0;
  uint32_t n = e->count;
  *e = LogEpisode{};
  return n;
}
