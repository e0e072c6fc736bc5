#include "core/global.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/log.h"

pthread_mutex_t quit_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t quit_cond = PTHREAD_COND_INITIALIZER;
pthread_mutex_t codec_mutex = PTHREAD_MUTEX_INITIALIZER;
volatile uint8_t rtsp_watch;
volatile int gui_started;
volatile int serial_event_fd = -1;
volatile int httpd_restart = -1;
pthread_mutex_t network_mutex = PTHREAD_MUTEX_INITIALIZER;
BoardIdentity board_identity;

// Written only under quit_mutex; atomic so that a crash handler may read it.
static std::atomic<uint32_t> exit_code;

uint32_t get_exit_code(void) {
  pthread_mutex_lock(&quit_mutex);
  uint32_t c = exit_code.load();
  pthread_mutex_unlock(&quit_mutex);
  return c;
}

uint32_t get_exit_code_unlocked(void) { return exit_code.load(); }

void set_exit_code(uint32_t code) {
  pthread_mutex_lock(&quit_mutex);
  exit_code.store(code);
  __atomic_store_n(&rtsp_watch, (uint8_t)1, __ATOMIC_RELEASE);
  pthread_cond_broadcast(&quit_cond);
  pthread_mutex_unlock(&quit_mutex);
}

void myRendezvousInit(Rendezvous_Handle start_rendezvous, const char *name) {
  (void)name;
  if (start_rendezvous) Rendezvous_meet(start_rendezvous);
}

void myRendezvousCleanup(Rendezvous_Handle cleanup_rendezvous, const char *name) {
  log_printf("%s: %s\n", "myRendezvousCleanup", name);
  if (cleanup_rendezvous) Rendezvous_meet(cleanup_rendezvous);
}

void *thread_enter_hook(const char *name) { return (void *)name; }
void thread_exit_hook(const char *name) { (void)name; }

namespace {
// Registered once per thread at creation, read by the crash handlers: readers
// take no lock (an entry is complete before the count that exposes it grows).
struct NamedThread { pthread_t handle; std::atomic<const char *> name; };
std::mutex g_names_lock;
NamedThread g_names[32];
std::atomic<int> g_nnames;

struct LoadEntry { clockid_t clock; const char *name; long long last_us; };
std::mutex g_load_lock;
LoadEntry g_load[10];
int g_nload;
long long g_load_wall_us;

long long clock_us(clockid_t c) {
  struct timespec ts;
  if (clock_gettime(c, &ts) != 0) return 0;
  return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}
}  // namespace

void thread_name_register(pthread_t handle, const char *name) {
  std::lock_guard<std::mutex> l(g_names_lock);
  int n = g_nnames.load(std::memory_order_relaxed);
  for (int i = 0; i < n; i++)
    if (pthread_equal(g_names[i].handle, handle)) {
      g_names[i].name.store(name, std::memory_order_release);
      return;
    }
  if (n >= 32) return;
  g_names[n].handle = handle;
  g_names[n].name.store(name, std::memory_order_relaxed);
  g_nnames.store(n + 1, std::memory_order_release);
}

const char *threadName(pthread_t handle) {
  int n = g_nnames.load(std::memory_order_acquire);
  for (int i = 0; i < n; i++)
    if (pthread_equal(g_names[i].handle, handle)) return g_names[i].name.load(std::memory_order_acquire);
  return "unknown";
}

const char *getThreadName(void) { return threadName(pthread_self()); }

void cpu_load_register_thread(const char *name) {
  clockid_t c;
  if (pthread_getcpuclockid(pthread_self(), &c) != 0) return;
  std::lock_guard<std::mutex> l(g_load_lock);
  if (g_nload < 10) g_load[g_nload++] = {c, name, clock_us(c)};
  g_load_wall_us = clock_us(CLOCK_MONOTONIC);
}

void print_thread_loads(void) {
  std::lock_guard<std::mutex> l(g_load_lock);
  long long now = clock_us(CLOCK_MONOTONIC);
  long long wall = now - g_load_wall_us;
  if (wall <= 0) return;
  char line[256];
  size_t used = 0;
  line[0] = 0;
  for (int i = 0; i < g_nload; i++) {
    long long cpu = clock_us(g_load[i].clock);
    used += snprintf(line + used, used < sizeof line ? sizeof line - used : 0, "%s:%.2f ",
                     g_load[i].name, (double)(cpu - g_load[i].last_us) * 100.0 / (double)wall);
    g_load[i].last_us = cpu;
    if (used >= sizeof line) break;
  }
  g_load_wall_us = now;
  log_printf("%s\n", line);
}

void print_thread_cpu_time(pthread_t handle, const char *name) {
  clockid_t c;
  struct timespec t;
  if (pthread_getcpuclockid(handle, &c) != 0 || clock_gettime(c, &t) != 0) return;
  log_printf("%s: %ld.%03ld\n", name, (long)t.tv_sec, t.tv_nsec / 1000000);
}

static Cpu_Handle g_cpu;
void core_set_cpu_handle(Cpu_Handle h) { g_cpu = h; }
int get_cpu_load(void) {
  // Each measure starts the next interval, so callers on several threads
  // (the web row, the sound thread's reports) share one, measured again at
  // most every 2 s.
  static std::mutex lock;
  static int load;
  static long long last_us = -1;
  std::lock_guard<std::mutex> hold(lock);
  long long now = clock_us(CLOCK_MONOTONIC);
  if (g_cpu && (last_us < 0 || now - last_us >= 2000000)) {
    int l = 0;
    if (Cpu_getLoad(g_cpu, &l) == 0) load = l;
    last_us = now;
  }
  return load;
}
