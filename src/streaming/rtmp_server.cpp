#include "streaming/rtmp_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "core/listen_guard.h"
#include "core/log.h"
#include "core/log_episode.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "media/stream_ids.h"
#include "media/stream_mux.h"
#include "media/stream_producer.h"
#include "media/stream_state.h"
#include "platform/host_port.h"
#include "streaming/rtmp/rtmp_connection.h"

namespace {

// The live connections' sockets: at quit the listener shuts every one down
// and waits for their threads, so none touches the stream layer after the
// cleanup rendezvous. A thread closes its socket under the lock, so the
// listener never shuts down a number already reused.
struct ConnSlot {
  int fd;
  in_addr_t addr;      // the peer's
  uint64_t key;        // listen_guard_addr_key of the peer
  int64_t since;       // monotonic ms of the accept
  bool player;         // its play was let begin and has not ended
  bool evicted;        // shut down to make room; its thread is ending
  bool refused;        // its play was refused: it is closing, gently
  // The connection's count of bytes moved (NULL until its thread has one),
  // that count at the start of the running window and over the last one.
  const uint64_t *moved;
  uint64_t mark, last;
};
struct Connections {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t gone = PTHREAD_COND_INITIALIZER;
  ConnSlot slots[RTMP_MAX_CONNECTIONS + RTMP_EVICTING_MAX];
  int count = 0;
  int evicting = 0;
  ListenGuard guard = {"rtmpServerThrFxn", false, false, 0};
  // Connections accepted closer together than LISTEN_EPISODE_GAP_MS make an
  // episode: the first is logged as it comes, the others are counted.
  LogEpisode accepts = {};
  LogEpisode players_full = {};   // plays refused closer together than the gap
  LogEpisode taken = {};          // places taken for newcomers closer together than the gap
  int64_t sampled = 0;            // monotonic ms of the last window's end
  // The places listen_guard_pick looks at, and their slots.
  ListenPlace places[RTMP_MAX_CONNECTIONS + RTMP_EVICTING_MAX];
  int place_slot[RTMP_MAX_CONNECTIONS + RTMP_EVICTING_MAX];
};
Connections g_conns;

int slot_of(int fd) {
  for (int i = 0; i < g_conns.count; i++)
    if (g_conns.slots[i].fd == fd) return i;
  return -1;
}

// How long a window of the bytes a connection moved lasts: what it moved
// lately is the last whole window and the running one.
const int64_t kMovedWindowMs = 2000;

uint64_t moved_now(const ConnSlot &s) {
  return s.moved ? __atomic_load_n(s.moved, __ATOMIC_RELAXED) : s.mark;
}

uint64_t moved_lately(const ConnSlot &s) { return s.last + (moved_now(s) - s.mark); }

// Ends the running window of every connection once it is over.
void conn_sample_moved(void) {
  pthread_mutex_lock(&g_conns.mutex);
  int64_t now = monotonic_ms();
  if (now - g_conns.sampled >= kMovedWindowMs) {
    g_conns.sampled = now;
    for (int i = 0; i < g_conns.count; i++) {
      ConnSlot &s = g_conns.slots[i];
      uint64_t m = moved_now(s);
      s.last = m - s.mark;
      s.mark = m;
    }
  }
  pthread_mutex_unlock(&g_conns.mutex);
}

// With the lock held: shuts slot i's connection down to make room for a
// newcomer from ip (logged when from another address); its thread ends it.
// false when too many are ending.
bool evict_locked(int i, const char *ip, uint64_t key) {
  ConnSlot &s = g_conns.slots[i];
  if (g_conns.evicting >= RTMP_EVICTING_MAX) return false;
  log_episode_ok(&g_conns.taken, LISTEN_EPISODE_GAP_MS);
  if (s.key != key && log_episode_fail(&g_conns.taken)) {
    struct in_addr a = {s.addr};
    char from[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, from, sizeof from);
    log_printf("%s: the %s from %s closed to make room for %s\n", "rtmpServerThrFxn",
               s.player ? "player" : "connection", from, ip);
  }
  s.evicted = true;
  s.player = false;
  g_conns.evicting++;
  shutdown(s.fd, SHUT_RDWR);
  return true;
}

// Which connections a newcomer may take the place of.
enum Among { AMONG_ALL, AMONG_PLAYERS, AMONG_IDLE };

// With the lock held: the slot whose place a newcomer from address key
// takes (-1: none), of those among: one of the address holding the most
// (listen_guard_pick). Among all, a newcomer from that address may take one
// of its own that plays nothing (the one that moved least, the oldest of
// equals), whose place it takes over with its age: one address churning its
// own connections does not make its places young, which listen_guard_pick
// would spare before others'.
int victim_locked(uint64_t key, Among among) {
  unsigned n = 0;
  for (int i = 0; i < g_conns.count; i++) {
    const ConnSlot &s = g_conns.slots[i];
    if (s.evicted || (among == AMONG_PLAYERS && !s.player) || (among == AMONG_IDLE && s.player))
      continue;
    g_conns.places[n] = {s.key, s.since, moved_lately(s)};
    g_conns.place_slot[n++] = i;
  }
  int64_t now = monotonic_ms();
  int k = listen_guard_pick(g_conns.places, n, key, now);
  if (k >= 0) return g_conns.place_slot[k];
  if (among != AMONG_ALL || !key) return -1;
  int best = -1;
  uint64_t least = 0;
  for (int i = 0; i < g_conns.count; i++) {
    const ConnSlot &s = g_conns.slots[i];
    if (s.evicted || s.player || s.key != key) continue;
    uint64_t m = moved_lately(s);
    if (best < 0 || m < least || (m == least && s.since < g_conns.slots[best].since)) {
      best = i;
      least = m;
    }
  }
  return best;
}

// Takes a place for an accepted socket: within the cap (a share of the
// descriptors the process may open), or in place of one of the address
// holding the most. false: refused.
bool conn_add(int fd, const struct sockaddr_in *peer) {
  pthread_mutex_lock(&g_conns.mutex);
  unsigned max = listen_guard_max(RTMP_MAX_CONNECTIONS);
  unsigned live = (unsigned)(g_conns.count - g_conns.evicting);
  uint64_t key = listen_guard_addr_key((const struct sockaddr *)peer);
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &peer->sin_addr, ip, sizeof ip);
  bool ok = true;
  int64_t since = monotonic_ms();
  // "refusing more" is said only when nothing can make room. One whose
  // play was refused goes first: it is closing anyway.
  int v = -1;
  for (int i = 0; live >= max && i < g_conns.count && v < 0; i++)
    if (g_conns.slots[i].refused && !g_conns.slots[i].evicted) v = i;
  if (v >= 0 && g_conns.evicting < RTMP_EVICTING_MAX) {
    g_conns.slots[v].evicted = true;
    g_conns.evicting++;
    shutdown(g_conns.slots[v].fd, SHUT_RDWR);
  } else if (live >= max) {
    v = victim_locked(key, AMONG_ALL);
    if (v >= 0 && g_conns.slots[v].key == key) since = g_conns.slots[v].since;
    if (v < 0 || !evict_locked(v, ip, key)) ok = !listen_guard_full(&g_conns.guard, live, max);
  }
  if (ok && g_conns.count < (int)(sizeof g_conns.slots / sizeof g_conns.slots[0]))
    g_conns.slots[g_conns.count++] = {fd, peer->sin_addr.s_addr, key, since, false, false,
                                      false, nullptr, 0, 0};
  else
    ok = false;
  pthread_mutex_unlock(&g_conns.mutex);
  return ok;
}

// Where the listener reads what connection fd moved (NULL: no more).
void conn_meter(int fd, const uint64_t *moved) {
  pthread_mutex_lock(&g_conns.mutex);
  for (int i = 0; i < g_conns.count; i++) {
    ConnSlot &s = g_conns.slots[i];
    if (s.fd != fd) continue;
    if (!moved) {
      uint64_t m = moved_now(s);
      s.last = moved_lately(s);
      s.mark = m;
    }
    s.moved = moved;
    break;
  }
  pthread_mutex_unlock(&g_conns.mutex);
}

// A connection's play takes a player's place: within the players' ceiling
// and its address's share of it, or it is refused (one line an episode).
int play_gate(RtmpConnection *c, int playing) {
  pthread_mutex_lock(&g_conns.mutex);
  int i = slot_of(c->fd);
  int rc = 0;
  if (i >= 0 && !playing) {
    g_conns.slots[i].player = false;
  } else if (i >= 0 && !g_conns.slots[i].player) {
    unsigned max = listen_guard_players(RTMP_MAX_CONNECTIONS);
    unsigned share = listen_guard_address_share(max);
    unsigned all = 0, mine = 0;
    for (int k = 0; k < g_conns.count; k++) {
      if (!g_conns.slots[k].player) continue;
      all++;
      mine += g_conns.slots[k].addr == g_conns.slots[i].addr;
    }
    struct in_addr a = {g_conns.slots[i].addr};
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, ip, sizeof ip);
    // At the ceiling a newcomer from an address holding fewer players takes
    // the place of one of the address holding the most.
    int v = -1;
    if (mine < share && all >= max) v = victim_locked(g_conns.slots[i].key, AMONG_PLAYERS);
    if (mine < share && (all < max || (v >= 0 && evict_locked(v, ip, g_conns.slots[i].key)))) {
      g_conns.slots[i].player = true;
    } else {
      rc = -1;
      g_conns.slots[i].refused = true;
      log_episode_ok(&g_conns.players_full, LISTEN_EPISODE_GAP_MS);
      if (log_episode_fail(&g_conns.players_full)) {
        if (all >= max) log_printf("%s: %u players, refusing more\n", "serverThread", max);
        else log_printf("%s: %u players from %s, refusing more\n", "serverThread", share, ip);
      }
    }
  }
  pthread_mutex_unlock(&g_conns.mutex);
  return rc;
}

// Ends a connection with a FIN, not a reset: what the client still sends
// is read and dropped until it closes too, for RTMP_LINGER_MS at most.
void close_gently(int fd) {
  shutdown(fd, SHUT_WR);
  int64_t until = monotonic_ms() + RTMP_LINGER_MS;
  char buf[512];
  for (int64_t left; (left = until - monotonic_ms()) > 0;) {
    struct pollfd pf = {fd, POLLIN, 0};
    if (poll(&pf, 1, (int)left) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
  }
}

void conn_close(int fd) {
  pthread_mutex_lock(&g_conns.mutex);
  int i = slot_of(fd);
  if (i >= 0) {
    if (g_conns.slots[i].evicted) g_conns.evicting--;
    g_conns.slots[i] = g_conns.slots[--g_conns.count];
  }
  close(fd);
  pthread_cond_broadcast(&g_conns.gone);
  pthread_mutex_unlock(&g_conns.mutex);
}

// Shuts every connection down and waits for their threads, at most ms.
void conn_shutdown_all(int ms) {
  struct timespec until = clock_after_ms(CLOCK_REALTIME, (uint32_t)ms);
  pthread_mutex_lock(&g_conns.mutex);
  for (int i = 0; i < g_conns.count; i++) shutdown(g_conns.slots[i].fd, SHUT_RDWR);
  while (g_conns.count > 0)
    if (pthread_cond_timedwait(&g_conns.gone, &g_conns.mutex, &until) == ETIMEDOUT) break;
  if (g_conns.count) log_printf("%s: %d connections still running\n", "rtmpServerThrFxn", g_conns.count);
  pthread_mutex_unlock(&g_conns.mutex);
}

void address_text(const struct sockaddr_in *a, char *out, size_t size) {
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip);
  snprintf(out, size, "%s:%u", ip, ntohs(a->sin_port));
}

int listen_socket(void) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    log_printf("%s: %s\n", "socket", strerror(errno));
    return -1;
  }
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons((uint16_t)host_listen_port(RTMP_PORT));
  if (bind(s, (struct sockaddr *)&a, sizeof a) < 0) {
    log_printf("%s: %s\n", "bind", strerror(errno));
    close(s);
    return -1;
  }
  if (listen(s, 10) < 0) {
    log_printf("%s: %s\n", "listen", strerror(errno));
    close(s);
    return -1;
  }
  return s;
}

// What a connection's thread is started with.
struct ConnArg {
  int fd;
  bool quiet;
  int64_t accepted;   // monotonic ms
};

// Ends the episode of accepted connections once none came for a while,
// with one line of how many there were.
void accepts_quiet(void) {
  pthread_mutex_lock(&g_conns.mutex);
  uint32_t n = log_episode_ok(&g_conns.accepts, LISTEN_EPISODE_GAP_MS);
  pthread_mutex_unlock(&g_conns.mutex);
  if (n > 1)
    log_printf("%s: %u connections accepted in a row, only the first logged\n", "rtmpServerThrFxn", n);
}

// One pending connection: 0, or -1 when accepting is to pause (out of
// descriptors).
int accept_one(int ls) {
  struct sockaddr_in peer;
  socklen_t plen = sizeof peer;
  int fd = accept4(ls, (struct sockaddr *)&peer, &plen, SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    pthread_mutex_lock(&g_conns.mutex);
    bool pause = listen_guard_accept_failed(&g_conns.guard, err);
    // Room may come from a connection that plays nothing, of the address
    // holding the most.
    if (pause) {
      int v = victim_locked(0, AMONG_IDLE);
      if (v >= 0) evict_locked(v, "a newcomer", 0);
    }
    pthread_mutex_unlock(&g_conns.mutex);
    return pause ? -1 : 0;
  }
  pthread_mutex_lock(&g_conns.mutex);
  listen_guard_accepted(&g_conns.guard);
  pthread_mutex_unlock(&g_conns.mutex);
  int64_t accepted = monotonic_ms();
  if (!conn_add(fd, &peer)) {
    close(fd);
    return 0;
  }
  // The destination before any address translation; without connection
  // tracking the socket's own address.
  struct sockaddr_in dst;
  socklen_t dlen = sizeof dst;
  if (getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, &dst, &dlen) < 0) {
    dlen = sizeof dst;
    getsockname(fd, (struct sockaddr *)&dst, &dlen);
  }
  char from[32], to[32];
  address_text(&peer, from, sizeof from);
  address_text(&dst, to, sizeof to);
  pthread_mutex_lock(&g_conns.mutex);
  bool quiet = !log_episode_fail(&g_conns.accepts);
  pthread_mutex_unlock(&g_conns.mutex);
  if (!quiet) log_printf("RTMP accepted connection from %s to %s\n", from, to);

  ConnArg *arg = (ConnArg *)malloc(sizeof(ConnArg));
  if (!arg) {
    log_printf("Failed to allocate RTMP server\n");
    conn_close(fd);
    return 0;
  }
  *arg = {fd, quiet, accepted};
  if (!quiet) log_printf("created server %p\n", (void *)arg);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, RTMP_THREAD_STACK);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t th;
  if (pthread_create(&th, &attr, serverThread, arg) != 0) {
    log_printf("Failed to start RTMP server thread\n");
    free(arg);
    conn_close(fd);
  }
  pthread_attr_destroy(&attr);
  return 0;
}

}  // namespace

int rtmp_connection_count(void) {
  pthread_mutex_lock(&g_conns.mutex);
  int n = g_conns.count;
  pthread_mutex_unlock(&g_conns.mutex);
  return n;
}

void *serverThread(void *arg) {
  int fd = ((ConnArg *)arg)->fd;
  bool quiet = ((ConnArg *)arg)->quiet;
  int64_t accepted = ((ConnArg *)arg)->accepted;
  free(arg);
  if (!quiet) log_printf("%s: started\n", "serverThread");
  struct timeval tv = {RTMP_SEND_TIMEOUT_S, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  RtmpConnection *c = (RtmpConnection *)malloc(sizeof(RtmpConnection));
  if (c) {
    rtmp_connection_init(c, fd);
    c->quiet = quiet;
    c->play_gate = play_gate;
    c->play_by = accepted + RTMP_PLAY_DEADLINE_MS;
    conn_meter(fd, &c->moved);
    if (rtmp_handshake(c) == 0) rtmp_connection_run(c);
    conn_meter(fd, nullptr);
    bool refused = c->refused;
    rtmp_connection_free(c);
    free(c);
    if (refused) close_gently(fd);
  }
  if (!quiet) log_printf("%s: exiting\n", "serverThread");
  conn_close(fd);
  return nullptr;
}

void *rtmpServerThrFxn(void *arg) {
  ThreadEnv *env = (ThreadEnv *)arg;
  int ls = listen_socket();
  myRendezvousInit(env->start_rendezvous, env->name);
  while (!get_exit_code()) {
    if (ls < 0) {
      sleep_ms(100);
      continue;
    }
    struct pollfd pf = {ls, POLLIN, 0};
    int r = poll(&pf, 1, 1000);
    accepts_quiet();
    conn_sample_moved();
    rtmp_budget_tick(&rtmp_pending_budget);
    // Out of descriptors the pending connection keeps the socket readable:
    // accepting pauses (looking at the quit flag) instead of spinning.
    if (r > 0 && accept_one(ls) < 0)
      for (int i = 0; i < LISTEN_ACCEPT_PAUSE_MS / 100 && !get_exit_code(); i++) sleep_ms(100);
  }
  conn_shutdown_all(RTMP_QUIT_WAIT_MS);
  myRendezvousCleanup(env->cleanup_rendezvous, env->name);
  if (ls >= 0) close(ls);
  return nullptr;
}

void *rtmpThrFxn(void *arg) {
  static ProducerState states[2];
  ThreadEnv *env = (ThreadEnv *)arg;
  int index = strcmp(env->name, "rtmpB") == 0 ? 1 : 0;
  ProducerState *ps = &states[index];
  ParamBlock *p = env->params ? (ParamBlock *)env->params : get_param_block();
  stream_register(ps, nullptr, (StreamId)(RTMP_STREAM1 + index));
  if (p->rtmp[index].start_mode == 1) stream_set_state(ps, 1);
  myRendezvousInit(env->start_rendezvous, env->name);
  StreamState st;
  memset(&st, 0, sizeof st);
  while (!get_exit_code()) {
    // The stop of every stream at quit may come before a wait: look at the
    // quit flag between short waits.
    if (stream_get_state_by_id(RTMP_STREAM1 + index) != 1) {
      sleep_ms(100);
      continue;
    }
    stream_state_wait_start(ps);
    char url[sizeof p->rtmp[index].url + 1];
    memcpy(url, p->rtmp[index].url, sizeof p->rtmp[index].url);
    url[sizeof p->rtmp[index].url] = 0;
    log_printf("streaming to %s\n", url);
    // Publishing to the URL is not done: the stream is only drained.
    if (stream_state_attach(VIDEO_STREAM1 + (uint32_t)index, StreamMode_H264_AAC_FLV, &st) == 0) {
      log_printf("%s: attached to stream; seq %d\n", env->name, (int)st.seq);
      while (!get_exit_code() && !stream_state_stopping(ps)) stream_state_dequeue_timeout(&st, 500);
      stream_state_detach(&st);
    } else {
      while (!get_exit_code() && !stream_state_stopping(ps)) sleep_ms(100);
    }
  }
  muxer_free(&st);
  myRendezvousCleanup(env->cleanup_rendezvous, env->name);
  return nullptr;
}
