#include "core/log.h"

#include <arpa/inet.h>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/net_reach.h"
#include "platform/host_root.h"

void (*log_error_led_hook)(int on);

namespace {

// The ring keeps whole lines; bytes zero-filled at a wrap read as NUL.
struct LogRing {
  char text[LOG_RING_SIZE];
  uint32_t output_head;
  uint32_t output_tail;
  uint32_t mark;
  pthread_mutex_t log_mutex;
};
LogRing board = {{0}, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER};

char last_error[160];
char error_context[80];
char crash_text[160];

int udp_fd = -1;
bool udp_first_connection = true;
int udp_guard;  // a send failure is being reported (under udp_mutex)
pthread_mutex_t udp_mutex = PTHREAD_MUTEX_INITIALIZER;

constexpr size_t kLineMax = 255;        // including the NUL
constexpr size_t kUdpDatagramMax = 1472; // one Ethernet frame of UDP payload

bool g_stderr = true;

void write_stderr(const char *s, size_t n) {
  if (!__atomic_load_n(&g_stderr, __ATOMIC_RELAXED)) return;
  while (n) {
    ssize_t w = write(2, s, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return;
    }
    s += w;
    n -= (size_t)w;
  }
}

}  // namespace

// Appends under log_mutex, which the caller holds.
static void ring_append(const char *text, size_t len) {
  if (board.output_head + len >= LOG_RING_SIZE) {
    memset(board.text + board.output_head, 0, LOG_RING_SIZE - board.output_head);
    if (board.output_head < board.output_tail || board.output_tail == 0)
      board.output_tail = (uint32_t)len;
    board.output_head = 0;
  }
  if (board.output_head < board.output_tail && board.output_tail <= board.output_head + len) {
    // Drop the oldest whole lines that the new text would reach.
    board.output_tail = board.output_head + (uint32_t)len;
    while (true) {
      if (board.output_tail >= LOG_RING_SIZE) { board.output_tail = 0; break; }
      char c = board.text[board.output_tail++];
      if (c == '\n') {
        if (board.output_tail >= LOG_RING_SIZE) board.output_tail = 0;
        break;
      }
    }
  }
  memcpy(board.text + board.output_head, text, len);
  board.output_head += (uint32_t)len;
  assert(board.output_head != board.output_tail);
}

void log_it(const char *text, size_t len) {
  if (len == 0) return;
  if (len >= LOG_RING_SIZE) len = LOG_RING_SIZE - 1;
  pthread_mutex_lock(&board.log_mutex);
  ring_append(text, len);
  pthread_mutex_unlock(&board.log_mutex);
}

int log_it_try(const char *text, size_t len) {
  if (len == 0) return 0;
  if (len >= LOG_RING_SIZE) len = LOG_RING_SIZE - 1;
  if (pthread_mutex_trylock(&board.log_mutex) != 0) return -1;
  ring_append(text, len);
  pthread_mutex_unlock(&board.log_mutex);
  return 0;
}

// Formats "[sssss.uuuuuu] message" (or the bare message) into at most
// kLineMax bytes; returns the length, *msg_len the message's own length.
static int format_line(char *line, size_t cap, bool stamp, int *msg_len, const char *fmt,
                       va_list ap) {
  int pre = 0;
  if (stamp) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    pre = snprintf(line, cap, "[%5ld.%06ld] ", (long)(tv.tv_sec % 100000), (long)tv.tv_usec);
  }
  vsnprintf(line + pre, cap - pre, fmt, ap);
  int n = (int)strlen(line);
  *msg_len = n - pre;
  return n;
}

void log_set_stderr(int on) { __atomic_store_n(&g_stderr, on != 0, __ATOMIC_RELAXED); }

void log_printf(const char *fmt, ...) {
  char line[kLineMax];
  int msg;
  va_list ap;
  va_start(ap, fmt);
  int n = format_line(line, sizeof line, true, &msg, fmt, ap);
  va_end(ap);
  if (msg == 0) return;
  write_stderr(line, (size_t)n);
  log_it(line, (size_t)n);
  log_udp(line);
}

void log_printf_plain(const char *fmt, ...) {
  char line[kLineMax];
  va_list ap;
  va_start(ap, fmt);
  int msg;
  int n = format_line(line, sizeof line, false, &msg, fmt, ap);
  va_end(ap);
  if (n == 0) return;
  log_it(line, (size_t)n);
  write_stderr(line, (size_t)n);
}

static void vset_last_error(int level, const char *fmt, va_list ap) {
  if (level == 0) return;
  vsnprintf(last_error, sizeof last_error, fmt, ap);
  if (level > 1) log_printf("%s", last_error);
  size_t used = strlen(last_error);
  snprintf(last_error + used, sizeof last_error - used, "%s", error_context);
}

void set_last_error(int level, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vset_last_error(level, fmt, ap);
  va_end(ap);
}

void log_error(const char *fmt, ...) {
  char text[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  set_last_error(2, "%s", text);
  printf("%s\n", text);
  fflush(stdout);
  if (log_error_led_hook) log_error_led_hook(1);
}

void set_error_context(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(error_context, sizeof error_context, fmt, ap);
  va_end(ap);
}

const char *get_last_error(void) { return last_error; }
const char *get_error_context(void) { return error_context; }
void set_crash_text(const char *text) { snprintf(crash_text, sizeof crash_text, "%s", text ? text : ""); }

void print_last_error(void) {
  log_printf_plain("last error: %s\n", last_error);
  log_printf_plain("%s\n", crash_text[0] ? crash_text : error_context);
}

size_t log_read(char *buf, size_t n) {
  size_t got = 0;
  pthread_mutex_lock(&board.log_mutex);
  while (got < n && board.output_tail != board.output_head) {
    if (board.output_tail >= LOG_RING_SIZE) { board.output_tail = 0; continue; }
    char c = board.text[board.output_tail];
    if (c == 0) {
      // The zero-filled end before a wrap: continue at the start.
      board.output_tail = 0;
      continue;
    }
    buf[got++] = c;
    board.output_tail++;
  }
  pthread_mutex_unlock(&board.log_mutex);
  if (got < n) memset(buf + got, 0, n - got);
  return got;
}

void log_read_mark(int restore) {
  pthread_mutex_lock(&board.log_mutex);
  if (restore) board.output_tail = board.mark;
  else board.mark = board.output_tail;
  pthread_mutex_unlock(&board.log_mutex);
}

size_t log_copy(uint32_t offset, char *buf, size_t n) {
  size_t got = 0;
  pthread_mutex_lock(&board.log_mutex);
  uint32_t pos = offset % LOG_RING_SIZE;
  bool wrapped = false;
  while (got < n && pos != board.output_head) {
    if (pos >= LOG_RING_SIZE) {
      if (wrapped) break;
      wrapped = true;
      pos = 0;
      continue;
    }
    buf[got++] = board.text[pos++];
  }
  pthread_mutex_unlock(&board.log_mutex);
  return got;
}

uint32_t log_pending(void) {
  pthread_mutex_lock(&board.log_mutex);
  uint32_t n = (board.output_head - board.output_tail + LOG_RING_SIZE) % LOG_RING_SIZE;
  pthread_mutex_unlock(&board.log_mutex);
  return n;
}

uint32_t log_get_tail(void) {
  pthread_mutex_lock(&board.log_mutex);
  uint32_t t = board.output_tail;
  pthread_mutex_unlock(&board.log_mutex);
  return t;
}

uint32_t log_get_head(void) {
  pthread_mutex_lock(&board.log_mutex);
  uint32_t h = board.output_head;
  pthread_mutex_unlock(&board.log_mutex);
  return h;
}

void log_reset(void) {
  pthread_mutex_lock(&board.log_mutex);
  memset(board.text, 0, sizeof board.text);
  board.output_head = board.output_tail = board.mark = 0;
  pthread_mutex_unlock(&board.log_mutex);
  // As at start: the next UDP log connection is the first and sends the held text.
  pthread_mutex_lock(&udp_mutex);
  udp_first_connection = true;
  pthread_mutex_unlock(&udp_mutex);
}

// Copies the held text, oldest first, skipping the NUL fill before a wrap.
static size_t log_snapshot(char *out, size_t cap) {
  size_t got = 0;
  pthread_mutex_lock(&board.log_mutex);
  uint32_t pos = board.output_tail;
  while (got < cap && pos != board.output_head) {
    if (pos >= LOG_RING_SIZE) { pos = 0; continue; }
    char c = board.text[pos];
    if (c == 0) { pos = 0; continue; }
    out[got++] = c;
    pos++;
  }
  pthread_mutex_unlock(&board.log_mutex);
  return got;
}

int log_save_file(const char *path) {
  FILE *f = sys_fopen(path, "wb");
  if (!f) return -1;
  bool ok = log_save_stream(f) == 0;
  // A full card shows up at the write or only when the buffer is flushed.
  if (fclose(f) != 0) ok = false;
  return ok ? 0 : -1;
}

int log_save_stream(FILE *f) {
  static char copy[LOG_RING_SIZE];
  static pthread_mutex_t save_mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&save_mutex);
  size_t n = log_snapshot(copy, sizeof copy);
  bool ok = fwrite(copy, 1, n, f) == n;
  pthread_mutex_unlock(&save_mutex);
  return ok ? 0 : -1;
}

// The UDP log socket belongs to udp_mutex: a line is sent only while the lock
// is held, so a descriptor closed (and perhaps reused by a client connection)
// by init_log_udp is never written. The mutex is held only around a
// non-blocking send, never while a connection is being set up.
static int udp_send_locked(const char *text, size_t len, int flags) {
  if (udp_fd < 0 || udp_guard) return 0;
  if (send(udp_fd, text, len, flags | MSG_NOSIGNAL) >= 0) return 0;
  udp_guard = 1;
  return -1;
}

void log_udp(const char *line) {
  pthread_mutex_lock(&udp_mutex);
  int rc = udp_send_locked(line, strlen(line), MSG_DONTWAIT);
  pthread_mutex_unlock(&udp_mutex);
  if (rc == 0) return;
  // Reported once, in the ring and on standard error; the guard keeps the
  // report itself (and lines of other threads meanwhile) off the socket.
  log_printf("%s: write failed\n", "log_udp");
  pthread_mutex_lock(&udp_mutex);
  udp_guard = 0;
  pthread_mutex_unlock(&udp_mutex);
}

int log_udp_try(const char *text, size_t len) {
  if (pthread_mutex_trylock(&udp_mutex) != 0) return -1;
  int rc = udp_fd >= 0 && !udp_guard
               ? (int)send(udp_fd, text, len, MSG_DONTWAIT | MSG_NOSIGNAL) : 0;
  pthread_mutex_unlock(&udp_mutex);
  return rc < 0 ? -1 : 0;
}

// Sends the ring's text from its oldest line, in datagrams cut at line ends.
// Called with udp_mutex held.
static void log_udp_send_backlog(void) {
  static char copy[LOG_RING_SIZE];
  size_t n = log_snapshot(copy, sizeof copy);
  size_t pos = 0;
  while (pos < n) {
    size_t len = n - pos;
    if (len > kUdpDatagramMax) {
      len = kUdpDatagramMax;
      size_t cut = len;
      while (cut > 0 && copy[pos + cut - 1] != '\n') cut--;
      if (cut > 0) len = cut;  // a single over-long line is cut where it must be
    }
    send(udp_fd, copy + pos, len, MSG_NOSIGNAL);
    pos += len;
  }
}

// Opens a datagram socket connected to addr port 7391; -1 on failure.
static int log_udp_connect(uint32_t addr_be) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    perror("socket");
    return -1;
  }
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(7391);
  sa.sin_addr.s_addr = addr_be;
  if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
    int e = errno;
    perror("connect");
    log_printf("%s: %s\n", "init_log_udp", strerror(e));
    close(fd);
    return -1;
  }
  return fd;
}

int init_log_udp(uint32_t addr_be) {
  // Only one set-up at a time; logging goes on meanwhile.
  static pthread_mutex_t setup_mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&setup_mutex);
  pthread_mutex_lock(&udp_mutex);
  int old = udp_fd;
  udp_fd = -1;
  pthread_mutex_unlock(&udp_mutex);
  if (old >= 0) close(old);
  int rc = 0;
  if (addr_be != 0) {
    char dotted[INET_ADDRSTRLEN];
    struct in_addr ia;
    ia.s_addr = addr_be;
    inet_ntop(AF_INET, &ia, dotted, sizeof dotted);
    log_printf("%s: LogUDPAddr=%s\n", "init_log_udp", dotted);
    int fd = log_udp_connect(addr_be);
    if (fd < 0) {
      rc = -1;
    } else {
      // A datagram protocol has no handshake: the host is asked for, 10 s at
      // most. The socket serves whatever the answer; the held text waits for
      // a host that is there.
      struct sockaddr_in sa = {};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(7391);
      sa.sin_addr.s_addr = addr_be;
      int reach = waitConnection(fd, &sa, 10);
      const char *const results[] = {"connected", "host timeout", "port timeout"};
      log_printf("%s: %s\n", "init_log_udp", reach >= 0 && reach <= 2 ? results[reach] : "error");
      // Published and, on the first connection, followed by the held text
      // in one step under the lock: a line logged meanwhile waits for the
      // backlog and goes out after it (at worst twice, never not at all).
      pthread_mutex_lock(&udp_mutex);
      udp_fd = fd;
      if (reach == NET_REACH_OK && udp_first_connection) {
        udp_first_connection = false;
        log_udp_send_backlog();
      }
      pthread_mutex_unlock(&udp_mutex);
    }
  }
  pthread_mutex_unlock(&setup_mutex);
  return rc;
}
