#include "platform/runner.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/host_root.h"

extern char **environ;

namespace {

// Programs that change the machine: never run on the host, only simulated.
const char *const kSimulated[] = {
    "reboot", "halt", "poweroff", "mount", "umount", "mkfs.vfat", "getty", "hwclock",
    "hostname", "ntpd", "telnetd", "hostapd", "udhcpd", "dnsd", "killall", "ifconfig",
    "route", "udhcpc", "iwconfig", "wpa_supplicant", "pidof", "lsmod", "ping", nullptr};

// Daemons the host never runs: each start gets a pid above the kernel's
// range (PID_MAX_LIMIT) and a line "PID COMMAND" in <root>/run/sim/daemons
// until it is killed; signals and waits act on that table only.
const char *const kDaemons[] = {"ntpd", "telnetd", "hostapd", "udhcpd", "dnsd", "ping", nullptr};
constexpr pid_t kSimPidBase = 4194304;
struct SimDaemon {
  pid_t pid;
  std::string name, cmd;
  bool hung;
};
std::vector<SimDaemon> g_daemons;
pid_t g_next_pid = kSimPidBase + 1;

struct SimEntry { char name[32]; RunnerSimFn fn; void *arg; };
std::mutex g_lock;
SimEntry g_sims[32];
int g_nsims;

const char *base_name(const char *p) {
  const char *s = strrchr(p, '/');
  return s ? s + 1 : p;
}

bool is_simulated(const char *prog) {
  if (strncmp(prog, "/Wifi/", 6) == 0 || strcmp(prog, "/usr/wifi_deconfig.sh") == 0) return true;
  const char *b = base_name(prog);
  {
    std::lock_guard<std::mutex> l(g_lock);
    for (int i = 0; i < g_nsims; i++)
      if (strcmp(g_sims[i].name, b) == 0) return true;
  }
  for (int i = 0; kSimulated[i]; i++)
    if (strcmp(b, kSimulated[i]) == 0) return true;
  return false;
}

bool g_exec_log = true;

void append_log(const std::string &line) {
  if (!__atomic_load_n(&g_exec_log, __ATOMIC_RELAXED)) return;
  int fd = sys_open("/run/exec.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  (void)!write(fd, line.data(), line.size());
  close(fd);
}

void log_exec(const char *const argv[]) {
  // Without a board root (benchmarks, tools) there is no log to keep.
  if (!root_dir()[0]) return;
  std::string line;
  for (int i = 0; argv[i]; i++) {
    if (i) line += ' ';
    line += argv[i];
  }
  line += '\n';
  append_log(line);
}

bool is_daemon(const char *name) {
  for (int i = 0; kDaemons[i]; i++)
    if (strcmp(name, kDaemons[i]) == 0) return true;
  return false;
}

// Called with g_lock held.
void write_daemons_locked(void) {
  std::string text;
  for (const SimDaemon &d : g_daemons) text += std::to_string(d.pid) + " " + d.cmd + "\n";
  // Replaced whole, so that a script reading it never sees it half written.
  sys_mkdirs("/run/sim", 0755);
  if (sys_write_text("/run/sim/daemons.new", text.c_str()) == 0) sys_rename("/run/sim/daemons.new", "/run/sim/daemons");
}

pid_t daemon_start(const char *const argv[]) {
  std::lock_guard<std::mutex> l(g_lock);
  SimDaemon d{g_next_pid++, base_name(argv[0]), "", false};
  for (int i = 0; argv[i]; i++) d.cmd += std::string(i ? " " : "") + argv[i];
  g_daemons.push_back(d);
  write_daemons_locked();
  return d.pid;
}

// Signals a simulated daemon: any signal but 0 ends it, except SIGTERM for
// one that hangs. 0, or -1 when there is no such daemon.
int daemon_signal_locked(size_t i, int sig) {
  if (sig == 0 || (g_daemons[i].hung && sig != SIGKILL)) return 0;
  g_daemons.erase(g_daemons.begin() + (long)i);
  write_daemons_locked();
  return 0;
}

void append(char *out, size_t size, const std::string &text) {
  if (!out || !size) return;
  size_t used = strlen(out);
  snprintf(out + used, size - used, "%s", text.c_str());
}

// pidof, killall, hostname and lsmod answer from the simulated machine.
int simulate_builtin(const char *const argv[], char *out, size_t size, bool *done) {
  const char *b = base_name(argv[0]);
  *done = true;
  if (!strcmp(b, "pidof") || !strcmp(b, "killall")) {
    bool kill = b[0] == 'k';
    int sig = SIGTERM, found = 0;
    std::lock_guard<std::mutex> l(g_lock);
    for (int a = 1; argv[a]; a++) {
      if (kill && argv[a][0] == '-') {
        sig = atoi(argv[a] + 1);
        continue;
      }
      for (size_t i = g_daemons.size(); i-- > 0;) {
        if (g_daemons[i].name != base_name(argv[a])) continue;
        found++;
        if (kill) daemon_signal_locked(i, sig);
        else append(out, size, std::string(found > 1 ? " " : "") + std::to_string(g_daemons[i].pid));
      }
    }
    if (!kill && found) append(out, size, "\n");
    return found ? 0 : 1;
  }
  if (!strcmp(b, "hostname")) {
    if (!argv[1]) {
      char name[64];
      sys_read_text("/run/sim/hostname", name, sizeof name, true);
      append(out, size, std::string(name) + "\n");
      return 0;
    }
    sys_mkdirs("/run/sim", 0755);
    return sys_write_text("/run/sim/hostname", argv[1]) == 0 ? 0 : 1;
  }
  if (!strcmp(b, "lsmod")) {
    static char text[4096];
    if (sys_read_text("/run/sim/lsmod", text, sizeof text, false) <= 0)
      snprintf(text, sizeof text, "Module                  Size  Used by\n");
    append(out, size, text);
    return 0;
  }
  if (is_daemon(b)) {
    daemon_start(argv);
    return 0;
  }
  *done = false;
  return 0;
}

int simulate(const char *const argv[], char *out, size_t size) {
  const char *b = base_name(argv[0]);
  RunnerSimFn fn = nullptr;
  void *arg = nullptr;
  {
    std::lock_guard<std::mutex> l(g_lock);
    for (int i = 0; i < g_nsims; i++)
      if (strcmp(g_sims[i].name, b) == 0) { fn = g_sims[i].fn; arg = g_sims[i].arg; }
  }
  if (out && size) out[0] = 0;
  if (fn) return fn(argv, out, size, arg);
  bool done;
  int status = simulate_builtin(argv, out, size, &done);
  return done ? status : 0;
}

// Absolute paths in the arguments of a real run are moved into the root.
std::vector<std::string> host_args(const char *const argv[]) {
  std::vector<std::string> v;
  for (int i = 0; argv[i]; i++) {
    if (i > 0 && argv[i][0] == '/') {
      char buf[1024];
      v.push_back(root_path(argv[i], buf, sizeof buf));
    } else {
      v.push_back(argv[i]);
    }
  }
  return v;
}

pid_t start(const char *const argv[], int out_fd, bool detach) {
  std::vector<std::string> args = host_args(argv);
  std::vector<char *> cargv;
  for (auto &s : args) cargv.push_back(const_cast<char *>(s.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    posix_spawn_file_actions_adddup2(&fa, out_fd, 2);
  }
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  short fl = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &all);
  if (detach) fl |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&at, fl);
  pid_t pid;
  int rc = posix_spawnp(&pid, cargv[0], &fa, &at, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  if (rc != 0) { errno = rc; return -1; }
  return pid;
}

int wait_status(pid_t pid) {
  int st;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

void *reap_child(void *arg) {
  wait_status((pid_t)(intptr_t)arg);
  return nullptr;
}

}  // namespace

int runner_register_sim(const char *name, RunnerSimFn fn, void *arg) {
  std::lock_guard<std::mutex> l(g_lock);
  for (int i = 0; i < g_nsims; i++)
    if (strcmp(g_sims[i].name, name) == 0) { g_sims[i].fn = fn; g_sims[i].arg = arg; return 0; }
  if (g_nsims >= 32) return -1;
  snprintf(g_sims[g_nsims].name, sizeof g_sims[0].name, "%s", name);
  g_sims[g_nsims].fn = fn;
  g_sims[g_nsims].arg = arg;
  g_nsims++;
  return 0;
}

void runner_set_exec_log(int on) { __atomic_store_n(&g_exec_log, on != 0, __ATOMIC_RELAXED); }

void runner_log_line(const char *line) {
  if (!root_dir()[0]) return;
  append_log(std::string(line) + "\n");
}

int run_argv_output(const char *const argv[], char *out, size_t size) {
  if (!argv || !argv[0]) return -1;
  log_exec(argv);
  if (is_simulated(argv[0])) return simulate(argv, out, size);
  int pfd[2] = {-1, -1};
  if (out && size && pipe2(pfd, O_CLOEXEC) != 0) return -1;
  pid_t pid = start(argv, out && size ? pfd[1] : -1, false);
  if (pfd[1] >= 0) close(pfd[1]);
  if (pid < 0) {
    if (pfd[0] >= 0) close(pfd[0]);
    return -1;
  }
  if (pfd[0] >= 0) {
    size_t used = 0;
    char tmp[512];
    ssize_t n;
    while ((n = read(pfd[0], tmp, sizeof tmp)) > 0 || (n < 0 && errno == EINTR)) {
      if (n <= 0) continue;
      size_t take = (size_t)n;
      if (used + take > size - 1) take = size - 1 - used;
      memcpy(out + used, tmp, take);
      used += take;
    }
    out[used] = 0;
    close(pfd[0]);
  }
  return wait_status(pid);
}

int run_argv(const char *const argv[]) { return run_argv_output(argv, nullptr, 0); }

int run_command(const char *cmd) {
  char buf[512];
  snprintf(buf, sizeof buf, "%s", cmd);
  const char *argv[32];
  int n = 0;
  for (char *save = nullptr, *t = strtok_r(buf, " \t", &save); t && n < 31;
       t = strtok_r(nullptr, " \t", &save))
    argv[n++] = t;
  argv[n] = nullptr;
  return n ? run_argv(argv) : -1;
}

pid_t spawn_detached(const char *const argv[]) {
  if (!argv || !argv[0]) return -1;
  log_exec(argv);
  if (is_simulated(argv[0])) {
    if (is_daemon(base_name(argv[0]))) return daemon_start(argv);
    simulate(argv, nullptr, 0);
    return 0;
  }
  pid_t pid = start(argv, -1, true);
  if (pid > 0) {
    // Reap it in the background so it never lingers as a zombie.
    pthread_t t;
    pthread_attr_t at;
    pthread_attr_init(&at);
    pthread_attr_setdetachstate(&at, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&t, &at, reap_child, (void *)(intptr_t)pid) != 0) wait_status(pid);
    pthread_attr_destroy(&at);
  }
  return pid;
}

int runner_kill(pid_t pid, int sig) {
  if (pid < kSimPidBase) return kill(pid, sig);
  std::lock_guard<std::mutex> l(g_lock);
  for (size_t i = 0; i < g_daemons.size(); i++)
    if (g_daemons[i].pid == pid) return daemon_signal_locked(i, sig);
  errno = ESRCH;
  return -1;
}

int runner_wait(pid_t pid, int timeout_ms) {
  for (int waited = 0;; waited += 10) {
    if (pid <= 0 || runner_kill(pid, 0) != 0) return 0;
    if (waited >= timeout_ms) return -1;
    struct timespec ts = {0, 10000000};
    nanosleep(&ts, nullptr);
  }
}

void runner_sim_hang(pid_t pid, int hung) {
  std::lock_guard<std::mutex> l(g_lock);
  for (SimDaemon &d : g_daemons)
    if (d.pid == pid) d.hung = hung != 0;
}

void runner_sim_reset(void) {
  std::lock_guard<std::mutex> l(g_lock);
  g_daemons.clear();
  write_daemons_locked();
}
