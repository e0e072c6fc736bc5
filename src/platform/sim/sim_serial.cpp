// The board's serial port on the host: two pseudo-terminals joined like a
// null-modem cable. <root>/dev/ttyS0 links to the program's side, a real tty
// whose settings (speed, parity, VMIN/VTIME) hold as on the board, and
// <root>/dev/ttyS0.peer to the other side, where a person or a test plugs in
// a terminal program. A relay thread moves the bytes between the two masters.
//
// Both slaves stay open here, so neither side sees a hang-up when the program
// closes the port between rounds or the peer leaves. Like a wire, the line
// never holds the program up: bytes that nobody reads for a while are
// dropped.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/host_root.h"
#include "platform/sim/sim_control.h"

namespace {

constexpr int kSides = 2;             // 0 the program's, 1 the peer's
constexpr size_t kChunk = 4096;
constexpr long kDropAfterMs = 2000;   // a stalled reader loses what waits

struct Direction {
  uint8_t buf[kChunk];
  size_t len, off;
  struct timespec since;  // when the bytes waiting began to wait
};

struct Line {
  int master[kSides];
  int slave[kSides];
  char tty[kSides][64];
  dev_t rdev[kSides];
  Direction dir[kSides];  // dir[i]: bytes read from side i's master
  bool up;
};

Line g_line;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

long ms_since(const struct timespec &t) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - t.tv_sec) * 1000 + (now.tv_nsec - t.tv_nsec) / 1000000;
}

// A raw 8-bit line, as a UART is before anyone sets it.
void make_raw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetspeed(&t, B115200);
  tcsetattr(fd, TCSANOW, &t);
}

bool open_pty(int side) {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return false;
  if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, g_line.tty[side], sizeof g_line.tty[side]) != 0) {
    close(m);
    return false;
  }
  int s = open(g_line.tty[side], O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    close(m);
    return false;
  }
  make_raw(s);
  struct stat st;
  g_line.rdev[side] = fstat(s, &st) == 0 ? st.st_rdev : 0;
  fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
  g_line.master[side] = m;
  g_line.slave[side] = s;
  return true;
}

void *relay_main(void *) {
  for (;;) {
    struct pollfd p[kSides];
    for (int i = 0; i < kSides; i++) {
      Direction &d = g_line.dir[i];
      // Side i is read while nothing of it waits; the other side is watched
      // for room while something does.
      p[i].fd = g_line.master[i];
      p[i].events = d.len == d.off ? POLLIN : 0;
      if (g_line.dir[1 - i].len != g_line.dir[1 - i].off) p[i].events |= POLLOUT;
      p[i].revents = 0;
    }
    if (poll(p, kSides, 100) < 0 && errno != EINTR) {
      struct timespec ts = {0, 10000000};
      nanosleep(&ts, nullptr);
    }
    for (int i = 0; i < kSides; i++) {
      Direction &d = g_line.dir[i];
      if (d.len == d.off && (p[i].revents & POLLIN)) {
        ssize_t n = read(g_line.master[i], d.buf, sizeof d.buf);
        if (n > 0) {
          d.len = (size_t)n;
          d.off = 0;
          clock_gettime(CLOCK_MONOTONIC, &d.since);
        }
      }
      if (d.len == d.off) continue;
      int to = g_line.master[1 - i];
      ssize_t w = write(to, d.buf + d.off, d.len - d.off);
      if (w > 0) {
        d.off += (size_t)w;
        clock_gettime(CLOCK_MONOTONIC, &d.since);
      } else if (ms_since(d.since) >= kDropAfterMs) {
        d.len = d.off = 0;
      }
    }
  }
  return nullptr;
}

void link_into_root(void) {
  const char *names[kSides] = {"/dev/ttyS0", "/dev/ttyS0.peer"};
  sys_mkdirs("/dev", 0755);
  for (int i = 0; i < kSides; i++) {
    HostPath hp(names[i]);
    unlink(hp.c_str());
    if (symlink(g_line.tty[i], hp.c_str()) != 0)
      fprintf(stderr, "sim_serial: %s: %s\n", hp.c_str(), strerror(errno));
  }
}

}  // namespace

int sim_serial_start(void) {
  if (!root_dir()[0]) return -1;
  pthread_mutex_lock(&g_lock);
  if (!g_line.up) {
    bool ok = open_pty(0) && open_pty(1);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (ok && pthread_create(&t, &attr, relay_main, nullptr) == 0) {
      g_line.up = true;
    } else {
      fprintf(stderr, "sim_serial: cannot make the serial line\n");
    }
    pthread_attr_destroy(&attr);
  }
  if (g_line.up) link_into_root();
  bool up = g_line.up;
  pthread_mutex_unlock(&g_lock);
  return up ? 0 : -1;
}

const char *sim_serial_board_path(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return nullptr;
  pthread_mutex_lock(&g_lock);
  bool ours = g_line.up && st.st_rdev == g_line.rdev[0];
  pthread_mutex_unlock(&g_lock);
  return ours ? "/dev/ttyS0" : nullptr;
}
