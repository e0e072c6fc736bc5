#include "core/startup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include "core/crash.h"
#include "core/framecopy.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/net_init.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/process_util.h"
#include "core/worker.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/sched.h"

CoreHooks core_hooks;
void core_set_cpu_handle(Cpu_Handle h);

namespace {

constexpr int kParties = 20;   // main and the 19 named threads
constexpr int kMaxThreads = 24;

Worker *g_worker;
Cpu_Handle g_cpu;
Rendezvous_Handle g_start_rv, g_cleanup_rv;
pthread_t g_threads[kMaxThreads];
int g_nthreads;
volatile unsigned sound_thread_crashes;
sigset_t g_async_signals;
pthread_t g_signal_thread;

// SIGINT, SIGTERM and SIGALRM are taken by this thread with sigwait, so the
// quit work (locks, logging) never runs inside a signal handler.
void *signal_thread_fxn(void *) {
  bool first_int = true;
  for (;;) {
    int sig = 0;
    if (sigwait(&g_async_signals, &sig) != 0) continue;
    if (sig == SIGALRM) {
      log_printf("Alarm signal! filesys needs sync\n");
      run_command("sync");
      continue;
    }
    if (sig == SIGINT && first_int) {
      // A second SIGINT ends the process at once: this thread alone stops
      // blocking it, with the default action.
      first_int = false;
      signal(SIGINT, SIG_DFL);
      sigset_t only_int;
      sigemptyset(&only_int);
      sigaddset(&only_int, SIGINT);
      sigdelset(&g_async_signals, SIGINT);
      pthread_sigmask(SIG_UNBLOCK, &only_int, nullptr);
    }
    set_exit_code(EXIT_QUIT);
    if (serial_event_fd >= 0) {
      uint64_t one = 1;
      (void)!write(serial_event_fd, &one, sizeof one);
    }
    log_printf("global set quit\n");
  }
  return nullptr;
}

void unused_async_handler(int) {}

// SIGINT, SIGTERM and SIGALRM are blocked in every thread and taken by the
// signal thread. It starts before anything else, so that a quit asked for
// while an old copy is still being stopped is not lost.
void start_signal_thread(void) {
  sigemptyset(&g_async_signals);
  sigaddset(&g_async_signals, SIGINT);
  sigaddset(&g_async_signals, SIGTERM);
  sigaddset(&g_async_signals, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &g_async_signals, nullptr);
  // An inherited SIG_IGN (a shell's background job) would discard these
  // signals before sigwait could see them: give each a handler first.
  signal(SIGINT, unused_async_handler);
  signal(SIGTERM, unused_async_handler);
  signal(SIGALRM, unused_async_handler);
  signal(SIGPIPE, SIG_IGN);
  pthread_create(&g_signal_thread, nullptr, signal_thread_fxn, nullptr);
  pthread_detach(g_signal_thread);
}

void read_capture_chips(void) {
  char name[81];
  read_sysfs_line("/sys/class/video4linux/v4l-subdev0/name", name, sizeof name);
  log_printf("v4l-subdev0 is %s\n", name);
  if (strcmp(name, "DAVINCI CCDC") != 0) return;
  board_identity.ccdc_found = 1;
  char path[96];
  for (int i = 1; i <= 6; i++) {
    snprintf(path, sizeof path, "/sys/class/video4linux/v4l-subdev%d/name", i);
    read_sysfs_line(path, name, sizeof name);
    log_printf("v4l-subdev%d is %s\n", i, name);
  }
  for (int i = 0; i <= 7; i++) {
    snprintf(path, sizeof path, "/sys/class/video4linux/video%d/name", i);
    read_sysfs_line(path, name, sizeof name);
    log_printf("video%d is %s\n", i, name);
  }
  // The decoder is the last node of the chain on this board.
  if (strcmp(name, "tp2825 1-0044") == 0) {
    log_printf("AHD enabled\n");
    board_identity.ahd = 1;
    board_identity.model = M7391_MODEL;
  }
}

void start_getty(void) {
  if (find_process("getty", 0) < 0) {
    const char *argv[] = {"/sbin/getty", "-n", "-l", "/bin/sh", "115200", "/dev/ttyS0", nullptr};
    spawn_detached(argv);
  } else {
    log_printf("getty already started\n");
  }
}

}  // namespace

void *stub_thread_fxn(void *arg) {
  ThreadEnv *env = (ThreadEnv *)arg;
  myRendezvousInit(env->start_rendezvous, env->name);
  if (strcmp(env->name, "overlay") == 0) gui_started = 1;
  while (get_exit_code() == 0) sleep_ms(100);
  myRendezvousCleanup(env->cleanup_rendezvous, env->name);
  return nullptr;
}

Worker *getWorker(void) { return g_worker; }

namespace {
// Each other copy gets its own limit, counted in passes from the first
// SIGINT it was sent.
struct CopyWait { pid_t pid; unsigned first_pass; };
struct KillPasses {
  CopyWait copies[32];
  int ncopies;
  unsigned pass;
  unsigned limit;
};

// A program of the same name outside the root is not a copy of this box.
int copy_count(pid_t pid, void *) { return process_exe_in_root(pid) ? 0 : -1; }

int copy_signal(pid_t pid, void *arg) {
  KillPasses *k = (KillPasses *)arg;
  if (!process_exe_in_root(pid)) return -1;
  for (int i = 0; i < k->ncopies; i++)
    if (k->copies[i].pid == pid) return k->pass - k->copies[i].first_pass >= k->limit ? SIGKILL : SIGINT;
  if (k->ncopies < 32) k->copies[k->ncopies++] = {pid, k->pass};
  return SIGINT;
}
}  // namespace

int kill_other_copies(unsigned pass_ms, unsigned limit_passes) {
  const char *const patterns[] = {"^/usr/bin/m7391", "^m7391"};
  if (signal_other_processes(patterns[0], copy_count, nullptr) +
          signal_other_processes(patterns[1], copy_count, nullptr) == 0)
    return 0;
  int fd = sys_open("/rebooting", O_WRONLY | O_CREAT, 0644);
  if (fd >= 0) close(fd);
  KillPasses k = {};
  k.limit = limit_passes;
  for (;; k.pass++) {
    // Every other copy each pass: those of the first pattern, else those of
    // the second. A copy that ignores SIGINT for its limit is killed.
    if (signal_other_processes(patterns[0], copy_signal, &k) == 0 &&
        signal_other_processes(patterns[1], copy_signal, &k) == 0)
      break;
    sleep_ms(pass_ms);
  }
  return 1;
}

int kill_other_instances(void) { return kill_other_copies(1000, 30); }

void exit_actions(void) {
  if (core_hooks.ntpd_stop) core_hooks.ntpd_stop();
  run_command("sync");
  uint32_t code = get_exit_code();
  if (code == EXIT_HALT) {
    run_command("halt");
  } else if (code == EXIT_REBOOT) {
    run_command("touch /rebooting");
    run_command("reboot");
  }
}

static void shutdown_sequence(const ThreadSpec *table) {
  (void)table;
  if (core_hooks.status_events_shutdown) core_hooks.status_events_shutdown();
  if (core_hooks.stream_stop_all) core_hooks.stream_stop_all(1);
  if (core_hooks.display_wakeup) core_hooks.display_wakeup();
  if (g_start_rv) Rendezvous_force(g_start_rv);
  if (core_hooks.flush_fifos) core_hooks.flush_fifos();
  if (core_hooks.serial_global_quit) core_hooks.serial_global_quit();
  log_printf("Before main rendezvousCleanup (waiting for %d threads)\n", g_nthreads + 1);
  if (g_cleanup_rv) {
    // Only the threads that were started come to the meeting.
    Rendezvous_setCount(g_cleanup_rv, g_nthreads + 1);
    Rendezvous_meet(g_cleanup_rv);
  }
  log_printf("main cleanup rendezvous met (soundThreadCrashes=%d)\n", (int)sound_thread_crashes);
  for (int i = 0; i < g_nthreads; i++) pthread_join(g_threads[i], nullptr);
  if (core_hooks.filesys_done) core_hooks.filesys_done();
  if (g_cpu) {
    Cpu_delete(g_cpu);
    g_cpu = nullptr;
    core_set_cpu_handle(nullptr);
  }
  if (g_worker) {
    Worker_delete(g_worker);
    g_worker = nullptr;
  }
  pthread_mutex_lock(&codec_mutex);
  CERuntime_exit();
  pthread_mutex_unlock(&codec_mutex);
  exit_actions();
}

// The threads that did start are told to leave by ExitCode 1; the process
// then ends with status 1.
static void start_failed(int line, const char *msg) {
  log_error(msg, "main", line);
  set_exit_code(EXIT_QUIT);
}

int core_main(const ThreadSpec *table) {
  // Before any thread exists (the simulated devices start some), so that
  // every thread inherits the blocked mask.
  start_signal_thread();
  if (root_init() != 0) return 1;
  kill_other_instances();
  thread_name_register(pthread_self(), "main");

  BoardInfo info = {};
  if (mtd_open() == 0 && board_info_read(&info) == 0) board_identity.serial = info.serial;
  hwreg_map();
  board_identity.model = M7391_MODEL;
  read_capture_chips();
  snprintf(board_identity.product_name, sizeof board_identity.product_name, "Marovant Model %d",
           (int)board_identity.model);
  if (core_hooks.board_init_model) core_hooks.board_init_model();
  if (core_hooks.customzip_load) core_hooks.customzip_load();
  init_param(get_param_block());
  // The UDP log starts with the program when a log host is configured.
  uint32_t log_host;
  memcpy(&log_host, get_param_block()->log_udp_addr, sizeof log_host);
  if (log_host) start_log_udp(log_host);
  if (core_hooks.osd_init) core_hooks.osd_init();
  if (board_identity.ccdc_found || get_param_block()->developer_mode)
    start_getty();
  log_printf("\n\n%s, Serial #%u, Firmware %d build %d, safe_boot=%d\n\n",
             board_identity.product_name, board_identity.serial, M7391_MODEL, M7391_BUILD,
             board_identity.safe_boot);
  sched_set_process_priority(-20);

  CERuntime_init();
  Dmai_init();
  g_cpu = Cpu_create();
  core_set_cpu_handle(g_cpu);
  Framecopy_open();
  crash_handlers_install();

  pthread_attr_t attr;
  bool ok = pthread_attr_init(&attr) == 0;
  if (!ok) start_failed(__LINE__, "%s %d: Failed to initialize thread attrs\n");
  if (ok) {
    g_start_rv = Rendezvous_create(kParties);
    g_cleanup_rv = Rendezvous_create(kParties);
    if (!g_start_rv || !g_cleanup_rv) {
      start_failed(__LINE__, "%s %d: Failed to create rendezvous\n");
      ok = false;
    }
  }
  int prio = 0;
  if (ok) {
    sched_attr_fifo(&attr, 10, &prio);
    g_worker = Worker_create(48, &attr);
    if (!g_worker) {
      start_failed(__LINE__, "%s %d: Failed to create worker thread\n");
      ok = false;
    } else {
      log_printf("%s: thread %s priority %d (SCHED_OTHER on this host)\n", "main", "worker", prio);
    }
  }
  int named = 0;
  for (const ThreadSpec *t = table; ok && t->name; t++) {
    ThreadEnv *env = t->env;
    env->name = t->name;
    env->params = get_param_block();
    env->start_rendezvous = g_start_rv;
    env->cleanup_rendezvous = g_cleanup_rv;
    if (t->prepare && t->prepare(env) != 0) {
      start_failed(__LINE__, t->prepare_fail_msg ? t->prepare_fail_msg
                                                 : "%s %d: Failed to open fifos\n");
      ok = false;
      break;
    }
    if (sched_attr_fifo(&attr, t->prio_offset, &prio) != 0) {
      start_failed(__LINE__, "%s %d: Failed to set scheduler parameters\n");
      ok = false;
      break;
    }
    pthread_t th;
    if (g_nthreads >= kMaxThreads ||
        pthread_create(&th, &attr, t->fxn ? t->fxn : stub_thread_fxn, env) != 0) {
      start_failed(__LINE__, t->fail_msg);
      ok = false;
      break;
    }
    pthread_setname_np(th, t->name);
    thread_name_register(th, t->name);
    log_printf("%s: thread %s priority %d (SCHED_OTHER on this host)\n", "main", t->name, prio);
    g_threads[g_nthreads++] = th;
    named++;
  }
  pthread_attr_destroy(&attr);

  if (ok) {
    if (core_hooks.status_events_init) core_hooks.status_events_init();
    // The live display mode starts at 0; the saved one is kept in flash.
    get_param_block()->display.display_mode = 0;
    // The start meeting counts the threads this build runs, plus main.
    Rendezvous_setCount(g_start_rv, named + 1);
    timestamp_now();
    log_printf("%s: rendezvous %d\n", "main", named + 1);
    Rendezvous_meet(g_start_rv);
    log_printf("main rendezvous met\n");
    if (timestamp_check() != 0) log_printf("WARNING: timestamp counter check failed!\n");
    while (!gui_started && get_exit_code() == 0) sleep_ms(1000);
    int wifi = get_param_block()->wifi_enable;
    log_printf("wifi enable = %i\n", wifi);
    if (wifi && core_hooks.wifi_archive_extract && core_hooks.wifi_archive_extract()) {
      sleep_ms(2000);
      run_command("/Wifi/wifi_run.sh");
      if (core_hooks.init_network) core_hooks.init_network();
    }
    pthread_mutex_lock(&quit_mutex);
    while (get_exit_code_unlocked() == 0) pthread_cond_wait(&quit_cond, &quit_mutex);
    pthread_mutex_unlock(&quit_mutex);
  }
  shutdown_sequence(table);
  if (!ok) return 1;
  return board_identity.ccdc_found ? -1 : 0;
}
