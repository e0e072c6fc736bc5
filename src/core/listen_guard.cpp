#include "core/listen_guard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <vector>

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

uint64_t listen_guard_addr_key(const struct sockaddr *sa) {
  const unsigned char *p = nullptr;
  size_t len = 0;
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  if (!sa) return 0;
  if (sa->sa_family == AF_INET) {
    p = (const unsigned char *)&((const struct sockaddr_in *)sa)->sin_addr;
    len = 4;
  } else if (sa->sa_family == AF_INET6) {
    const struct in6_addr *a = &((const struct sockaddr_in6 *)sa)->sin6_addr;
    p = a->s6_addr;
    len = 16;
    if (IN6_IS_ADDR_V4MAPPED(a)) {
      p += 12;
      len = 4;
    }
  } else {
    return 0;
  }
  for (size_t i = 0; i < len; i++) h = (h ^ p[i]) * 1099511628211ull;
  return h ? h : 1;
}

int listen_guard_pick(const ListenPlace *places, unsigned n, uint64_t addr, int64_t now_ms) {
  if (!n) return -1;
  // Places held by each address: the keys sorted, counted in runs.
  std::vector<uint64_t> keys(n);
  for (unsigned i = 0; i < n; i++) keys[i] = places[i].addr;
  std::sort(keys.begin(), keys.end());
  unsigned most = 0, mine = 0;
  for (unsigned i = 0; i < n;) {
    unsigned j = i;
    while (j < n && keys[j] == keys[i]) j++;
    most = std::max(most, j - i);
    if (keys[i] == addr) mine = j - i;
    i = j;
  }
  if (mine >= most) return -1;
  auto held = [&](uint64_t a) {
    auto r = std::equal_range(keys.begin(), keys.end(), a);
    return (unsigned)(r.second - r.first);
  };
  // better(i, j): place i goes before place j.
  auto better = [&](unsigned i, unsigned j) {
    bool old_i = now_ms - places[i].since >= LISTEN_EVICT_GRACE_MS;
    bool old_j = now_ms - places[j].since >= LISTEN_EVICT_GRACE_MS;
    if (old_i != old_j) return old_i;
    if (places[i].recent_bytes != places[j].recent_bytes)
      return places[i].recent_bytes < places[j].recent_bytes;
    return places[i].since < places[j].since;
  };
  int pick = -1;
  for (unsigned i = 0; i < n; i++) {
    if (held(places[i].addr) != most) continue;
    if (pick < 0 || better(i, (unsigned)pick)) pick = (int)i;
  }
  return pick;
}
