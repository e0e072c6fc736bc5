#include "core/listen_guard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/resource.h>

#include "core/log.h"
#include "core/process_util.h"

namespace {

// What the listeners leave for the process's own files.
rlim_t reserve_of(rlim_t limit) {
  rlim_t r = std::max<rlim_t>(limit / LISTEN_RESERVE_PART, LISTEN_FD_RESERVE);
  return std::min<rlim_t>(r, limit / LISTEN_RESERVE_MAX_PART);
}

}  // namespace

unsigned listen_guard_max(unsigned max) {
  // A limit that cannot be read is none: RLIM_INFINITY's share is more
  // than any max.
  struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
  (void)getrlimit(RLIMIT_NOFILE, &rl);
  rlim_t limit = rl.rlim_cur;
  rlim_t share = (limit - reserve_of(limit)) / LISTEN_SERVERS;
  if (share < LISTEN_MIN_CONNECTIONS) share = LISTEN_MIN_CONNECTIONS;
  return share < max ? (unsigned)share : max;
}

unsigned listen_guard_players(unsigned max_connections) {
  return listen_guard_max(std::min<unsigned>(max_connections, LISTEN_MAX_PLAYERS));
}

unsigned listen_guard_address_share(unsigned places) {
  return std::max(places / LISTEN_ADDRESS_PART, 1u);
}

bool listen_guard_full(ListenGuard *g, unsigned count, unsigned max) {
  if (count < max) {
    if (count + 1 < max) g->at_limit = false;
    return false;
  }
  if (!g->at_limit) log_printf("%s: %u connections, refusing more\n", g->name, max);
  g->at_limit = true;
  return true;
}

bool listen_guard_out_of_resources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

bool listen_guard_accept_failed(ListenGuard *g, int err) {
  if (listen_guard_out_of_resources(err)) {
    int64_t now = monotonic_ms();
    if (!g->last_failure || now - g->last_failure >= LISTEN_EPISODE_GAP_MS) {
      log_printf("%s: accept: %s, pausing new connections\n", g->name, strerror(err));
      g->out_of_fds = true;
    }
    g->last_failure = now ? now : 1;
    return true;
  }
  if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR && err != ECONNABORTED)
    log_printf("%s: accept: %s\n", g->name, strerror(err));
  return false;
}

void listen_guard_accepted(ListenGuard *g) {
  if (!g->out_of_fds) return;
  log_printf("%s: accepting connections again\n", g->name);
  g->out_of_fds = false;
}
