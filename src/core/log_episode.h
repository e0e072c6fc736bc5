// A failure that repeats on every pass of a loop (a device that stopped
// answering, a sound device that overruns) is logged once when it begins,
// counted while it lasts, and once more with the count when it ends.
#pragma once
#include <cstdint>

struct LogEpisode {
  uint32_t count;     // failures of the running episode; 0: none running
  uint64_t last_ms;   // CLOCK_MONOTONIC of the last failure
};

// Counts a failure; true when it begins an episode (the caller logs it).
bool log_episode_fail(LogEpisode *e);
// A pass without the failure. Once none came for quiet_ms, the episode ends:
// returns its count (the caller logs it), else 0.
uint32_t log_episode_ok(LogEpisode *e, uint32_t quiet_ms);
