#include "control/serial_port.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "control/serial_cmd.h"
#include "core/global.h"
#include "core/listen_guard.h"
#include "core/log.h"
#include "core/param_block.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_state.h"
#include "osd/osd_tokens.h"
#include "platform/device.h"
#include "platform/runner.h"

SerialFrameHandler serial_frame_handler;

namespace {

pthread_mutex_t g_status_mutex = PTHREAD_MUTEX_INITIALIZER;
SerialStatus g_status;
std::atomic<bool> g_round_running;

ProducerState g_ps;
std::atomic<bool> g_ps_registered;

// ---- rates ----

struct Rate {
  uint32_t rate;
  speed_t speed;
};
const Rate kRates[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921000, B921600}, {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// ---- one round ----

struct Round {
  ParamBlock *p;
  const char *name;
  int mode;
  int port;   // the open port, -1 once handed over (console)
  int efd;
};

bool round_ending(void) { return get_exit_code() != 0 || stream_state_stopping(&g_ps); }

// Waits for the descriptors and the event descriptor; true when an event
// (or the end of the round) ends the service. fds[0..n) get their revents.
bool wait_ready(Round *r, struct pollfd *fds, int n, int timeout_ms) {
  struct pollfd p[4];
  for (int i = 0; i < n; i++) p[i] = fds[i];
  p[n].fd = r->efd;
  p[n].events = POLLIN;
  p[n].revents = 0;
  int rc = dev_poll(p, (nfds_t)(n + 1), timeout_ms);
  for (int i = 0; i < n; i++) fds[i].revents = rc > 0 ? p[i].revents : 0;
  if (rc > 0 && (p[n].revents & POLLIN)) {
    serial_read_event(r->efd);
    return true;
  }
  return round_ending();
}

long long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// The port and the relay's peer are written without blocking: a line draining
// at 110 baud takes 90 s for 1 KiB, and a peer may stop reading altogether.
// A descriptor that takes no byte for this long loses what waits for it.
constexpr int kPortStallMs = 5000;
constexpr int kPeerStallMs = 2000;

// Writes n bytes to a non-blocking descriptor (a blocking one simply blocks).
// While it has no room the wait watches the serial event descriptor too,
// without reading it, so that the service's own wait takes the event next.
// 0 when everything was written; -1 on an error, an event, or no progress for
// stall_ms.
int write_within(int fd, const uint8_t *data, size_t n, int stall_ms) {
  long long since = now_ms();
  while (n > 0) {
    ssize_t w = dev_write(fd, data, n);
    if (w > 0) {
      data += w;
      n -= (size_t)w;
      since = now_ms();
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    long long left = stall_ms - (now_ms() - since);
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    struct pollfd p[2] = {{fd, POLLOUT, 0}, {serial_event_fd, POLLIN, 0}};
    int rc = dev_poll(p, p[1].fd >= 0 ? 2 : 1, (int)(left < 200 ? left : 200));
    if (rc > 0 && p[1].fd >= 0 && (p[1].revents & POLLIN)) {
      errno = ECANCELED;
      return -1;
    }
    if (round_ending()) {
      errno = ECANCELED;
      return -1;
    }
  }
  return 0;
}

// Bytes on their way to one side of a relay, with the time they last moved.
struct Pending {
  uint8_t buf[1024];
  size_t len, off;
  long long since;
};
bool pending_empty(const Pending *q) { return q->off == q->len; }
void pending_fill(Pending *q, size_t n) {
  q->len = n;
  q->off = 0;
  q->since = now_ms();
}
// Moves what the descriptor takes now; the number of bytes moved, or -1 on a
// failure other than a full descriptor.
ssize_t pending_flush(Pending *q, int fd, bool sock) {
  ssize_t w = sock ? send(fd, q->buf + q->off, q->len - q->off, MSG_NOSIGNAL | MSG_DONTWAIT)
                   : dev_write(fd, q->buf + q->off, q->len - q->off);
  if (w > 0) {
    q->off += (size_t)w;
    q->since = now_ms();
    return w;
  }
  if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return -1;
}

// Modes 1 and 2: the key frames of stream A or B, at most one per interval.
int stream_out(Round *r) {
  uint32_t id = r->mode == 1 ? VIDEO_STREAM1 : VIDEO_STREAM2;
  StreamState st;
  memset(&st, 0, sizeof st);
  if (stream_state_attach(id, r->p->video[id - 1].stream_mode, &st) < 0) {
    log_printf("%s: cannot attach to stream %u\n", r->name, id);
    return -1;
  }
  log_printf("%s: attached to stream; seq %d\n", r->name, (int)st.seq);
  serial_set_line(SERIAL_LINE_SERVICE, "Streaming, stream %u", id);
  uint32_t last = 0;
  bool written = false;
  uint64_t tx = 0;
  for (;;) {
    struct pollfd none[1];
    if (wait_ready(r, none, 0, 0)) break;
    FrameDesc *d = stream_state_dequeue_timeout(&st, 200);
    if (!d || !(d->flags & FRAME_KEY)) continue;
    if (written && (d->timestamp - last) / 90 < r->p->serial.interval) continue;
    size_t len = Buffer_getNumBytesUsed(d->buf);
    if (write_within(r->port, (const uint8_t *)Buffer_getUserPtr(d->buf), len, kPortStallMs) != 0) {
      if (errno == ECANCELED) continue;   // the wait above takes the event
      perror("serial write");
      continue;
    }
    last = d->timestamp;
    written = true;
    tx += len;
    serial_set_line(SERIAL_LINE_PORT, "Streaming, rx:%llu tx:%llu", 0ull, (unsigned long long)tx);
  }
  stream_state_detach(&st);
  return 0;
}

// A connect that an event or the end of the round can cut short; errno is
// the connect's on failure.
bool connect_within(Round *r, int sock, const struct sockaddr_in *peer) {
  int fl = fcntl(sock, F_GETFL);
  fcntl(sock, F_SETFL, fl | O_NONBLOCK);
  int rc = connect(sock, (const struct sockaddr *)peer, sizeof *peer);
  if (rc != 0 && errno == EINPROGRESS) {
    for (;;) {
      struct pollfd p = {sock, POLLOUT, 0};
      if (wait_ready(r, &p, 1, 1000)) {
        errno = ECANCELED;
        return false;
      }
      if (!p.revents) continue;
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len);
      rc = err ? -1 : 0;
      errno = err;
      break;
    }
  }
  if (rc == 0) fcntl(sock, F_SETFL, fl);
  return rc == 0;
}

// A relay's TCP peer that vanished (powered off, its link gone) is found by
// keep-alive probes within kKeepIdleS + kKeepCount * kKeepIntervalS
// seconds, or as long after bytes sent to it went unacknowledged.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 3;

void relay_socket_options(int sock) {
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  unsigned user_ms = (kKeepIdleS + kKeepCount * kKeepIntervalS) * 1000;
  setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_ms, sizeof user_ms);
}

// Whether the relay's TCP peer has stopped answering: a keep-alive probe or
// bytes sent to it are unacknowledged. A peer that is there but has nothing
// to say answers the probes.
bool peer_unanswering(int sock) {
  struct tcp_info ti;
  socklen_t len = sizeof ti;
  memset(&ti, 0, sizeof ti);
  if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0) return false;
  return ti.tcpi_probes > 0 || ti.tcpi_retransmits > 0;
}

// Mode 3: accepts the peer waiting on the listening socket: its socket, or
// -1 with accept's errno.
int take_peer(Round *r, int lsock, ListenGuard *guard) {
  struct sockaddr_in from;
  socklen_t fl = sizeof from;
  int conn = accept4(lsock, (struct sockaddr *)&from, &fl, SOCK_CLOEXEC);
  if (conn < 0) return -1;
  listen_guard_accepted(guard);
  char from_text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &from.sin_addr, from_text, sizeof from_text);
  log_printf("Serial TCP accepted connection from %s to %s\n", from_text, r->name);
  serial_set_line(SERIAL_LINE_SERVICE, "Streaming, accepted from %s", from_text);
  return conn;
}

}  // namespace

int serial_peer_idle_ms = 15000;

namespace {

// Modes 3 to 5: the port relayed to a TCP peer (server or client) or to UDP.
int tcp_server(Round *r) {
  log_printf("%s: started\n", "serial_tcp_server");
  const int mode = r->mode;
  const uint16_t port = (uint16_t)r->p->serial.tcp_port;
  struct sockaddr_in peer;
  memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  memcpy(&peer.sin_addr.s_addr, r->p->serial_tcp_addr, 4);
  peer.sin_port = htons(port);
  char peer_text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &peer.sin_addr, peer_text, sizeof peer_text);

  int lsock = -1;   // listening socket (3) or the datagram socket (5)
  // One peer is served at a time, well within the listener's share.
  ListenGuard guard = {"serial_tcp_server", false, false, 0};
  int result = 0;
  unsigned long long rx = 0, tx = 0;
  bool ended = false;
  while (!ended && !round_ending()) {
    if (mode != 4 && lsock < 0) {
      lsock = socket(AF_INET, (mode == 5 ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
      if (lsock < 0) {
        perror("socket");
        return -1;
      }
      int one = 1;
      setsockopt(lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      struct sockaddr_in any;
      memset(&any, 0, sizeof any);
      any.sin_family = AF_INET;
      any.sin_port = htons(port);
      if (bind(lsock, (struct sockaddr *)&any, sizeof any) != 0 || (mode == 3 && listen(lsock, 10) != 0)) {
        perror(mode == 3 ? "bind/listen" : "bind");
        close(lsock);
        serial_set_line(SERIAL_LINE_SERVICE, "Cannot bind port %u", port);
        return -1;
      }
      if (mode == 5) {
        int ttl = r->p->udp_ttl;
        if (ttl) {
          log_printf("setting ttl to %d\n", ttl);
          setsockopt(lsock, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
          setsockopt(lsock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        }
        int tos = r->p->udp_dscp_ecn;
        setsockopt(lsock, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
      }
    }
    int conn = -1;
    if (mode == 3) {
      serial_set_line(SERIAL_LINE_SERVICE, "Streaming, waiting for connection");
      struct pollfd l = {lsock, POLLIN, 0};
      if (wait_ready(r, &l, 1, 1000)) break;
      if (!(l.revents & POLLIN)) continue;
      conn = take_peer(r, lsock, &guard);
      if (conn < 0) {
        // Out of descriptors the pending peer keeps the socket readable:
        // accepting again at once would spin.
        struct pollfd none[1];
        if (listen_guard_accept_failed(&guard, errno) && wait_ready(r, none, 0, LISTEN_ACCEPT_PAUSE_MS))
          break;
        continue;
      }
    } else if (mode == 4) {
      conn = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (conn < 0) {
        perror("socket");
        return -1;
      }
      serial_set_line(SERIAL_LINE_SERVICE, "Streaming, waiting for connection");
      if (!connect_within(r, conn, &peer)) {
        bool cancelled = errno == ECANCELED;
        if (!cancelled) perror("connect");
        close(conn);
        if (cancelled) break;
        struct pollfd none[1];
        if (wait_ready(r, none, 0, 5000)) break;
        continue;
      }
      log_printf("Connected to %s\n", peer_text);
      serial_set_line(SERIAL_LINE_SERVICE, "Streaming, connected to %s", peer_text);
    } else {
      conn = lsock;
      serial_set_line(SERIAL_LINE_SERVICE, "Streaming, connected to %s", peer_text);
    }
    if (mode != 5) relay_socket_options(conn);
    serial_set_line(SERIAL_LINE_PORT, "Streaming, rx:%llu tx:%llu", rx, tx);
    // Each side is read only while what came from it has gone out, so a slow
    // side holds the other back instead of the thread; a peer that takes
    // nothing for kPeerStallMs loses its connection. One peer is served at a
    // time: the next waits, unless this one has moved no byte either way for
    // serial_peer_idle_ms and no longer answers (it is gone, and keep-alive
    // would only drop it later): then the next takes its place. A peer that
    // is there keeps its place however quiet.
    Pending to_port = {}, to_peer = {};
    long long moved = now_ms();
    long long take_after = 0;   // accepting failed: not again before this
    for (;;) {
      short net_ev = pending_empty(&to_port) ? POLLIN : 0;
      short port_ev = pending_empty(&to_peer) ? POLLIN : 0;
      if (!pending_empty(&to_port)) port_ev |= POLLOUT;
      if (!pending_empty(&to_peer)) net_ev |= POLLOUT;
      long long now = now_ms();
      bool may_take = mode == 3 && now - moved >= serial_peer_idle_ms && now >= take_after &&
                      peer_unanswering(conn);
      struct pollfd p[3] = {{conn, net_ev, 0}, {r->port, port_ev, 0}, {may_take ? lsock : -1, POLLIN, 0}};
      if (wait_ready(r, p, 3, 200)) {
        ended = true;
        break;
      }
      if (p[2].revents & POLLIN) {
        int next = take_peer(r, lsock, &guard);
        if (next < 0) {
          listen_guard_accept_failed(&guard, errno);
          take_after = now_ms() + LISTEN_ACCEPT_PAUSE_MS;
        } else {
          log_printf("%s: the peer before was quiet for %lld s and answered no more\n", "serial_tcp_server",
                     (now - moved) / 1000);
          close(conn);
          conn = next;
          relay_socket_options(conn);
          to_peer.len = to_peer.off = 0;
          moved = now_ms();
          continue;
        }
      }
      bool closed = false;
      if (pending_empty(&to_port) && (p[0].revents & (POLLIN | POLLERR | POLLHUP))) {
        struct sockaddr_in from;
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(conn, to_port.buf, sizeof to_port.buf, MSG_DONTWAIT, (struct sockaddr *)&from, &fl);
        if (n > 0 && (mode != 5 || from.sin_addr.s_addr == peer.sin_addr.s_addr)) {
          pending_fill(&to_port, (size_t)n);
          moved = now_ms();
        } else if (mode != 5 && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
          closed = true;
        }
      } else if (mode != 5 && (p[0].revents & (POLLERR | POLLHUP))) {
        closed = true;
      }
      if (!closed && pending_empty(&to_peer) && (p[1].revents & POLLIN)) {
        ssize_t n = dev_read(r->port, to_peer.buf, sizeof to_peer.buf);
        if (n > 0) {
          moved = now_ms();
          rx += (unsigned long long)n;
          if (mode == 5)   // a datagram the socket has no room for is dropped
            sendto(conn, to_peer.buf, (size_t)n, MSG_DONTWAIT, (struct sockaddr *)&peer, sizeof peer);
          else
            pending_fill(&to_peer, (size_t)n);
        }
      }
      if (!pending_empty(&to_port)) {
        ssize_t w = pending_flush(&to_port, r->port, false);
        if (w > 0) tx += (unsigned long long)w;
        if (w < 0) perror("serial write");
        if (w < 0 || (w == 0 && now_ms() - to_port.since >= kPortStallMs)) {
          if (w == 0)
            log_printf("%s: the port takes no bytes, %zu dropped\n", "serial_tcp_server", to_port.len - to_port.off);
          to_port.len = to_port.off = 0;
        }
      }
      if (!closed && !pending_empty(&to_peer)) {
        ssize_t w = pending_flush(&to_peer, conn, true);
        if (w < 0) {
          closed = true;
        } else if (w == 0 && now_ms() - to_peer.since >= kPeerStallMs) {
          log_printf("%s: the peer takes no bytes\n", "serial_tcp_server");
          closed = true;
        }
      }
      serial_set_line(SERIAL_LINE_PORT, "Streaming, rx:%llu tx:%llu", rx, tx);
      if (closed) {
        log_printf("Serial connection closed\n");
        break;
      }
    }
    if (conn != lsock) close(conn);
  }
  if (lsock >= 0) close(lsock);
  return result;
}

// Mode 7: control-protocol frames from the line to the dispatcher.
int bridge_server(Round *r) {
  serial_set_line(SERIAL_LINE_COMMAND, "C: %s", "None");
  serial_set_line(SERIAL_LINE_RESULT, "R: %s", "None");
  serial_set_line(SERIAL_LINE_PORT, "Port: Closed");
  serial_set_line(SERIAL_LINE_SERVICE, "Serial Command Processor");
  log_printf("%s: started\n", "serial_bridge_server");
  SerialBridge *b = new SerialBridge();
  for (;;) {
    struct pollfd p = {r->port, POLLIN, 0};
    if (wait_ready(r, &p, 1, 1000)) break;
    if (p.revents & (POLLERR | POLLNVAL)) b->errors++;
    if (!(p.revents & POLLIN)) continue;
    uint8_t buf[16];
    ssize_t n = dev_read(r->port, buf, sizeof buf);
    if (n <= 0) {
      b->errors++;
      continue;
    }
    serial_bridge_feed(b, buf, (size_t)n, r->port);
    serial_set_line(SERIAL_LINE_PORT, "Errs: %d, Rx:%d", (int)b->errors, (int)b->rx);
  }
  log_printf("%s: exiting\n", "serial_bridge_server");
  delete b;
  return 0;
}

// Mode 8: the port becomes the system console with a login on it.
int console(Round *r) {
  if (dev_ioctl(r->port, TIOCCONS, nullptr) != 0) perror("setconsole TIOCCONS");
  dev_close(r->port);
  r->port = -1;
  const char *argv[] = {"/sbin/getty", "-n", "-l", "/bin/sh", "115200", "/dev/ttyS0", nullptr};
  pid_t pid = spawn_detached(argv);
  serial_set_line(SERIAL_LINE_SERVICE, "Console");
  if (pid > 0) serial_set_line(SERIAL_LINE_PORT, "process %d", (int)pid);
  for (;;) {
    struct pollfd none[1];
    if (wait_ready(r, none, 0, 1000)) break;
  }
  // A simulated getty has no process to end.
  if (pid > 0) kill(pid, SIGTERM);
  return 0;
}

// Mode 9: telemetry sentences into the overlay fields.
int telemetry(Round *r) {
  serial_set_line(SERIAL_LINE_COMMAND, "C: %s", "TRIS started");
  TelemetryReader *t = new TelemetryReader();
  for (;;) {
    struct pollfd p = {r->port, POLLIN, 0};
    if (wait_ready(r, &p, 1, 1000)) break;
    if (!(p.revents & POLLIN)) continue;
    char buf[256];
    ssize_t n = dev_read(r->port, buf, sizeof buf);
    if (n <= 0) break;
    log_printf("serial %d %.*s\n", (int)n, (int)n, buf);
    telemetry_feed(t, buf, (size_t)n);
    serial_set_line(SERIAL_LINE_PORT, "process %d", (int)t->len);
  }
  delete t;
  return 0;
}

// A round's port: opened, set raw at the configured speed and parity; the
// settings found are kept for the end of the round.
int open_port(Round *r, struct termios *saved) {
  uint32_t rate = r->p->serial.baud_rate;
  speed_t speed;
  if (!serial_speed_of(rate, &speed)) {
    log_printf("%s: unsupported baud rate %u\n", r->name, rate);
    serial_set_line(SERIAL_LINE_PORT, "Unsupported baud rate %u", rate);
    return -1;
  }
  // Non-blocking: every wait on the port goes through poll with the event
  // descriptor, so that no write draining at the line rate holds the thread.
  int fd = dev_open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_SYNC | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    perror("/dev/ttyS0");
    serial_set_line(SERIAL_LINE_PORT, "Port: %s", strerror(errno));
    return -1;
  }
  if (tcgetattr(fd, saved) != 0) {
    perror("tcgetattr");
    dev_close(fd);
    return -1;
  }
  log_printf("%s baudrate=%d speed=%d\n", r->name, (int)rate, (int)speed);
  struct termios t = *saved;
  serial_make_termios(&t, speed, r->p->serial_parity);
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    perror("tcsetattr TCSANOW");
    dev_close(fd);
    return -1;
  }
  return fd;
}

int run_round(Round *r) {
  struct termios saved;
  r->port = open_port(r, &saved);
  if (r->port < 0) return -1;
  serial_set_line(SERIAL_LINE_PORT, "Port: Open");
  // Events from before the round (the start itself among them) are old.
  uint64_t drop;
  while (read(r->efd, &drop, sizeof drop) == (ssize_t)sizeof drop) {
  }
  int rc;
  switch (r->mode) {
    case 1:
    case 2: rc = stream_out(r); break;
    case 3:
    case 4:
    case 5: rc = tcp_server(r); break;
    case 6:
      open_tavik();
      rc = serial_cmd_processor(r->port, r->efd) < 0 ? -1 : 0;
      close_tavik();
      break;
    case 7: rc = bridge_server(r); break;
    case 8: rc = console(r); break;
    case 9: rc = telemetry(r); break;
    default:
      log_printf("%s: unknown StreamID %d\n", r->name, r->mode);
      rc = -1;
      break;
  }
  if (r->port >= 0) {
    tcsetattr(r->port, TCSANOW, &saved);
    tcflush(r->port, TCIOFLUSH);
    dev_close(r->port);
    r->port = -1;
  }
  return rc;
}

void copy_line(char *dst, const char *src, size_t n) {
  size_t k = n < 15 ? n : 15;
  char field[16] = {0};
  memcpy(field, src, k);
  memcpy(dst, field, sizeof field);
}

}  // namespace

// ---- status lines ----

void serial_set_line(int line, const char *fmt, ...) {
  if (line < 0 || line >= SERIAL_LINES) return;
  char text[SERIAL_LINE_SIZE];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  pthread_mutex_lock(&g_status_mutex);
  memcpy(g_status.line[line], text, sizeof text);
  pthread_mutex_unlock(&g_status_mutex);
}

void serial_status_get(SerialStatus *out) {
  pthread_mutex_lock(&g_status_mutex);
  *out = g_status;
  pthread_mutex_unlock(&g_status_mutex);
}

int serial_status_copy(int stream_id, char *buf, size_t size) {
  if (stream_id != (int)SERIAL_STREAM) return -1;
  SerialStatus s;
  serial_status_get(&s);
  const char *service = s.line[SERIAL_LINE_SERVICE][0] ? s.line[SERIAL_LINE_SERVICE] : "Stopped";
  if (g_round_running && s.line[SERIAL_LINE_PORT][0])
    return snprintf(buf, size, "%s; %s", service, s.line[SERIAL_LINE_PORT]);
  return snprintf(buf, size, "%s", service);
}

// ---- events ----

namespace {
void write_event(uint64_t value) {
  int fd = serial_event_fd;
  if (fd >= 0) (void)!write(fd, &value, sizeof value);
}
}  // namespace

void serial_global_quit(void) {
  log_printf("%s: hi\n", "serial_global_quit");
  write_event(SERIAL_EVENT_QUIT);
  // A thread waiting between rounds is woken too.
  if (g_ps_registered) stream_set_state(&g_ps, 0);
}

void serial_change_protocol(ParamBlock *params, int mode) {
  params->serial.stream_id = (uint8_t)mode;
  log_printf("%s: protocol=%d baudrate=%d val=%d\n", "serial_change_protocol", mode,
             (int)params->serial.baud_rate, SERIAL_EVENT_PROTOCOL);
  write_event(SERIAL_EVENT_PROTOCOL);
}

void serial_change_baudrate(ParamBlock *params, int rate) {
  params->serial.baud_rate = (uint32_t)rate;
  log_printf("%s: baudrate=%d val=%d\n", "serial_change_baudrate", rate, SERIAL_EVENT_BAUDRATE);
  write_event(SERIAL_EVENT_BAUDRATE);
}

int serial_read_event(int fd) {
  uint64_t v = 0;
  if (read(fd, &v, sizeof v) != (ssize_t)sizeof v) return -1;
  log_printf("%s: val=%d\n", "serial_read_event", (int)v);
  return v == SERIAL_EVENT_QUIT || v == SERIAL_EVENT_BAUDRATE ? (int)v : 0;
}

void serial_send_response(int fd, const void *data, size_t length) {
  if (fd == -1) return;
  if (write_within(fd, (const uint8_t *)data, length, kPortStallMs) != 0 && errno != ECANCELED)
    perror("serial_send_response write");
}

// ---- line set-up ----

bool serial_speed_of(uint32_t rate, speed_t *speed) {
  for (const Rate &r : kRates)
    if (r.rate == rate) {
      *speed = r.speed;
      return true;
    }
  return false;
}

void serial_make_termios(struct termios *t, speed_t speed, int parity) {
  cfsetispeed(t, speed);
  cfsetospeed(t, speed);
  t->c_cflag &= ~(CSIZE | CSTOPB | CRTSCTS | PARENB | PARODD | CMSPAR);
  t->c_cflag |= CS8 | CREAD | CLOCAL;
  t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cc[VMIN] = 1;
  t->c_cc[VTIME] = 1;
  switch (parity) {
    case 1: t->c_cflag |= PARENB | PARODD; break;
    case 2: t->c_cflag |= PARENB; break;
    case 3: t->c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: t->c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
}

// ---- mode 7 framing ----

void serial_bridge_feed(SerialBridge *b, const uint8_t *data, size_t n, int out_fd) {
  b->rx += (uint32_t)n;
  CtlPacket *req = &b->ex.request;
  for (size_t i = 0; i < n; i++) {
    uint8_t c = data[i];
    if (c != 0) {
      // A frame holds at most a code byte, a packet and its delimiter; the
      // rest of a longer run is dropped with it.
      if (b->count < CTL_FRAME_MAX - 1) req->frame[b->count] = c;
      b->count++;
      continue;
    }
    // Frames of 3 bytes or fewer before the delimiter carry no request; one
    // longer than a frame is passed on cut to the buffer, where it reads as
    // too long and is answered as such.
    size_t len = b->count + 1;
    b->count = 0;
    if (len <= 4) continue;
    if (len > sizeof req->frame) len = sizeof req->frame;
    req->frame[len - 1] = 0;
    size_t reply = serial_frame_handler ? serial_frame_handler(&b->ex, len) : 0;
    if (reply > 0 && reply <= sizeof b->ex.reply.frame && out_fd >= 0 &&
        write_within(out_fd, b->ex.reply.frame, reply, kPortStallMs) != 0 && errno != ECANCELED)
      perror("serial_bridge write");
  }
}

// ---- mode 9 sentences ----

int telemetry_feed(TelemetryReader *r, const char *data, size_t n) {
  int taken = 0;
  while (n > 0) {
    size_t room = sizeof r->buf - r->len;
    size_t k = n < room ? n : room;
    memcpy(r->buf + r->len, data, k);
    r->len += k;
    data += k;
    n -= k;
    for (;;) {
      char *dollar = (char *)memchr(r->buf, '$', r->len);
      if (!dollar) {
        r->len = 0;
        break;
      }
      size_t skip = (size_t)(dollar - r->buf);
      memmove(r->buf, dollar, r->len - skip);
      r->len -= skip;
      static const char kHead[] = "$TRIS,";
      const size_t head = sizeof kHead - 1;
      size_t cmp = r->len < head ? r->len : head;
      if (memcmp(r->buf, kHead, cmp) != 0) {
        // Another sentence: skipped up to the next '$'.
        memmove(r->buf, r->buf + 1, r->len - 1);
        r->len--;
        continue;
      }
      // A sentence ends at the comma after its fourth field, or at a line end.
      size_t start[4] = {0}, stop[4] = {0};
      int fields = 0;
      size_t end = 0;
      size_t at = head;
      for (size_t i = head; i < r->len; i++) {
        char c = r->buf[i];
        if (c == ',' || c == '\r' || c == '\n') {
          start[fields] = at;
          stop[fields] = i;
          fields++;
          at = i + 1;
          if (fields == 4 || c != ',') {
            end = i + 1;
            break;
          }
        }
      }
      if (!end) {
        if (r->len == sizeof r->buf) r->len = 0;   // no sentence fits: start afresh
        break;
      }
      char *dst[4] = {overlay_fields.l, overlay_fields.p, overlay_fields.u, overlay_fields.m};
      for (int f = 0; f < 4; f++) {
        size_t len = f < fields ? stop[f] - start[f] : 0;
        const char *src = r->buf + start[f];
        if (f == 2) {
          const char *dot = (const char *)memchr(src, '.', len);
          if (dot) len = (size_t)(dot - src);
        }
        copy_line(dst[f], src, len);
      }
      char shown[SERIAL_LINE_SIZE];
      size_t sl = r->buf[end - 1] == ',' ? end : end - 1;
      if (sl > sizeof shown - 1) sl = sizeof shown - 1;
      memcpy(shown, r->buf, sl);
      shown[sl] = 0;
      serial_set_line(SERIAL_LINE_SERVICE, "%s", shown);
      memmove(r->buf, r->buf + end, r->len - end);
      r->len -= end;
      taken++;
    }
  }
  return taken;
}

// ---- the thread ----

void *serialThrFxn(void *arg) {
  ThreadEnv *env = static_cast<ThreadEnv *>(arg);
  ParamBlock *p = env->params ? static_cast<ParamBlock *>(env->params) : get_param_block();
  const char *name = env->name ? env->name : "serial";
  pthread_mutex_init(&g_ps.mutex, nullptr);
  pthread_cond_init(&g_ps.cond, nullptr);
  g_ps.flags = STREAM_STOPPED;
  // One event descriptor for the thread's life, published only while a
  // round runs: a writer that raced the end of a round writes into it
  // harmlessly, and the next round drains it.
  int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  g_ps.event_fd = efd;
  stream_register(&g_ps, nullptr, SERIAL_STREAM);
  g_ps_registered = true;
  serial_set_line(SERIAL_LINE_SERVICE, "Stopped");
  serial_set_line(SERIAL_LINE_PORT, "Port: Closed");
  myRendezvousInit(env->start_rendezvous, name);
  if (p->serial.start_mode == 1) stream_set_state(&g_ps, 1);

  while (!get_exit_code()) {
    serial_set_line(SERIAL_LINE_SERVICE, "Stopped");
    serial_set_line(SERIAL_LINE_PORT, "Port: Closed");
    if (!stream_state_wait_start(&g_ps) || get_exit_code()) continue;
    if (efd < 0) {
      log_printf("%s: no event descriptor\n", name);
      stream_set_state(&g_ps, 0);
      continue;
    }
    Round r = {p, name, p->serial.stream_id, -1, efd};
    g_round_running = true;
    serial_event_fd = efd;
    log_printf("%s: started, StreamID=%d\n", name, r.mode);
    int rc = run_round(&r);
    serial_event_fd = -1;
    g_round_running = false;
    log_printf("%s: stopped\n", name);
    // A start asked for meanwhile stands; otherwise the round is restarted
    // only by Serial.StartMode after a change of settings, never after a
    // failure that would only fail again.
    pthread_mutex_lock(&g_ps.mutex);
    bool pending = (g_ps.flags & STREAM_START) != 0;
    bool stopped = (g_ps.flags & STREAM_STOPPED) != 0;
    pthread_mutex_unlock(&g_ps.mutex);
    if (pending || get_exit_code()) continue;
    if (rc >= 0 && !stopped && p->serial.start_mode == 1)
      stream_set_state(&g_ps, 1);
    else
      stream_set_state(&g_ps, 0);
  }
  serial_set_line(SERIAL_LINE_SERVICE, "Stopped");
  myRendezvousCleanup(env->cleanup_rendezvous, name);
  return nullptr;
}
