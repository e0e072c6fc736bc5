#include "core/process_util.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include "core/log.h"
#include "platform/host_root.h"
#include "platform/netif.h"
#include "platform/runner.h"
#include "platform/wallclock.h"

namespace {

bool matches(const char *arg0, const char *pattern) {
  if (pattern[0] == '^') {
    const char *rest = pattern + 1;
    char host[512];
    if (rest[0] == '/') rest = root_path(rest, host, sizeof host);
    return strncmp(arg0, rest, strlen(rest)) == 0;
  }
  return strstr(arg0, pattern) != nullptr;
}

// Calls fn(pid, cmdline) for every process whose first argument matches.
template <typename Fn>
int walk(const char *pattern, Fn fn) {
  DIR *d = opendir("/proc");
  if (!d) return -1;
  int found = 0;
  while (dirent *e = readdir(d)) {
    if (!isdigit((unsigned char)e->d_name[0])) continue;
    char path[64], cmd[257];
    snprintf(path, sizeof path, "/proc/%s/cmdline", e->d_name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n = read(fd, cmd, 256);
    close(fd);
    if (n <= 0) continue;
    cmd[n] = 0;
    if (!matches(cmd, pattern)) continue;
    found++;
    if (fn((pid_t)atoi(e->d_name), cmd)) break;
  }
  closedir(d);
  return found;
}

}  // namespace

pid_t find_process(const char *pattern, int sig) {
  pid_t result = -1;
  pid_t self = getpid();
  walk(pattern, [&](pid_t pid, const char *cmd) {
    if (sig == 0) {
      result = pid;
      return true;
    }
    if (pid == self) return false;
    log_printf("killing pid %d %s\n", (int)pid, cmd);
    kill(pid, sig);
    result = pid;
    return true;
  });
  return result;
}

int signal_other_processes(const char *pattern, int (*pick)(pid_t pid, void *arg), void *arg) {
  int n = 0;
  pid_t self = getpid();
  walk(pattern, [&](pid_t pid, const char *cmd) {
    if (pid == self) return false;
    int sig = pick(pid, arg);
    if (sig < 0) return false;
    n++;
    if (sig) {
      log_printf("killing pid %d %s\n", (int)pid, cmd);
      kill(pid, sig);
    }
    return false;
  });
  return n;
}

int process_exe_in_root(pid_t pid) {
  char link[64], exe[1024];
  snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
  ssize_t n = readlink(link, exe, sizeof exe - 1);
  if (n <= 0) return 0;
  exe[n] = 0;
  const char *root = root_dir();
  size_t len = strlen(root);
  while (len && root[len - 1] == '/') len--;
  return exe[0] == '/' && strncmp(exe, root, len) == 0 && exe[len] == '/';
}

void sleep_ms(unsigned ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (long)(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

struct timespec timespec_add_ms(struct timespec t, uint32_t ms) {
  t.tv_sec += ms / 1000;
  t.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec++;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

struct timespec clock_after_ms(clockid_t clock, uint32_t ms) {
  struct timespec now;
  clock_gettime(clock, &now);
  return timespec_add_ms(now, ms);
}

int64_t monotonic_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int read_sysfs_line(const char *path, char *buf, size_t size) {
  return sys_read_text(path, buf, size, true) < 0 ? -1 : 0;
}

int starts_with_ci(const char *s, const char *prefix) {
  return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

int ends_with_ci(const char *s, const char *suffix) {
  size_t a = strlen(s), b = strlen(suffix);
  return a >= b && strcasecmp(s + a - b, suffix) == 0;
}

int get_wifi_ip_address(char *buf, size_t size) {
  static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  static char text[16];
  static bool asked;
  static struct timespec last;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  pthread_mutex_lock(&lock);
  if (!asked || now.tv_sec - last.tv_sec >= 5) {
    asked = true;
    last = now;
    if (netif_ipv4_text("wlan0", text, sizeof text) != 0) log_printf("SIOCGIFADDR: %s\n", strerror(errno));
  }
  int n = snprintf(buf, size, "%s", text);
  pthread_mutex_unlock(&lock);
  return n;
}

int set_system_time(time_t seconds) {
  struct timeval tv = {seconds, 0};
  if (wallclock_set(&tv) != 0) {
    perror("settimeofday");
    return -1;
  }
  run_command("hwclock -w -f /dev/rtc1");
  return 0;
}
