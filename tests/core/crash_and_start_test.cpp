// The ways the process ends other than a plain quit: a fault (the report, and
// no hang whatever lock the faulting thread held), a failed start, and the
// stopping of older copies at start.
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>

#include "core/board_io.h"
#include "core/crash.h"
#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/startup.h"
#include "platform/host_root.h"
#include "test_root.h"
#include "udp_log_listener.h"

extern char **environ;

namespace {

std::string read_board_file(const char *path) {
  char buf[4096] = "";
  sys_read_text(path, buf, sizeof buf, false);
  return buf;
}

// A hang would end by SIGALRM, which no expectation below accepts.
constexpr unsigned kHangLimitS = 30;

// The report of a fault inside the ring's lock, with the quit lock held as
// well, still reaches standard error and the UDP log, and the process dies.
TEST(CrashHandlers, FaultUnderTheLogAndQuitLocksIsReportedAndEnds) {
  int s = udp_log_listener();
  if (s < 0) GTEST_SKIP() << "port 7391 busy on this host";
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        alarm(kHangLimitS);
        init_log_udp(htonl(INADDR_LOOPBACK));
        crash_handlers_install();
        set_error_context("drawing");
        set_exit_code(EXIT_QUIT);  // quitting: no pause before the end
        pthread_mutex_lock(&quit_mutex);
        log_it(reinterpret_cast<const char *>(16), 64);
      },
      testing::KilledBySignal(SIGSEGV),
      "Segmentation fault: unknown thread \\(drawing\\).*si_addr=0x10 .*"
      "\n1: 0x[0-9a-f]+ [^ \n]+\\(");  // frames with their symbol text
  std::string got;
  for (;;) {
    pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) break;
    char buf[2048];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n < 0) break;
    got.append(buf, (size_t)n);   // empty: the reachability check's
  }
  close(s);
  EXPECT_NE(got.find("Segmentation fault: unknown thread (drawing)"), std::string::npos) << got;
  EXPECT_NE(got.find("si_addr=0x10 "), std::string::npos) << got;
}

// The exit actions run in a copy of the faulting process: what they find on
// GPIO 35 is what the handler left there.
void say_gpio35(void) {
  uint32_t bit = 1u << 3, dir = hwreg_read(0x01C67010u + 40u), out = hwreg_read(0x01C67014u + 40u);
  fprintf(stderr, "gpio35 output=%d level=%d\n", !(dir & bit), !!(out & bit));
}

// A bus error reports, runs the exit actions (in a child process, as no
// signal handler may run programs) and ends.
TEST(CrashHandlers, BusErrorRunsTheExitActionsAndEnds) {
  sys_unlink("/run/exec.log");
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        alarm(kHangLimitS);
        crash_handlers_install();
        set_exit_code(EXIT_RUNNING);
        set_last_error(1, "%s", "probe failed");
        raise(SIGBUS);
      },
      testing::KilledBySignal(SIGBUS), "Segfault Handler: .*Bus error\nlast error: probe failed");
  EXPECT_EQ(read_board_file("/run/exec.log"), "sync\n");
}

// A bus error drives GPIO 35 before it reports.
TEST(CrashHandlers, BusErrorDrivesGpio35) {
#if defined(__SANITIZE_THREAD__)
  // The simulated registers start a thread in the forked copy, which the
  // thread sanitizer does not allow.
  GTEST_SKIP() << "not under the thread sanitizer";
#endif
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        alarm(kHangLimitS);
        hwreg_map();
        board_init_model();
        core_hooks.ntpd_stop = say_gpio35;
        crash_handlers_install();
        raise(SIGBUS);
      },
      testing::KilledBySignal(SIGBUS), "Bus error\n(.|\n)*gpio35 output=1 level=1");
}

TEST(CrashHandlers, FormatWithoutTheHeap) {
  char buf[64];
  EXPECT_EQ(crash_format(buf, sizeof buf, "%s|%d|%u|%08lx|%x|%c|%%|%5d", "a", -42, 7u, 0xbeefUL,
                         255u, 'z', -3),
            std::string("a|-42|7|0000beef|ff|z|%|   -3").size());
  EXPECT_STREQ(buf, "a|-42|7|0000beef|ff|z|%|   -3");
  EXPECT_EQ(crash_format(buf, 6, "%s", "truncated"), 5u);
  EXPECT_STREQ(buf, "trunc");
}

ThreadEnv alpha_env, beta_env;
int refuse(ThreadEnv *) { return -1; }

// A failed start: the message, the threads that did start (and only they)
// meet main at the cleanup, and the process ends with status 1.
TEST(StartFailure, EndsWithStatusOneAfterTheStartedThreadsLeave) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static const ThreadSpec table[] = {
      {"alpha", nullptr, 3, "%s %d: Failed to create alpha thread\n", &alpha_env, nullptr, nullptr},
      {"beta", nullptr, 3, "%s %d: Failed to create beta thread\n", &beta_env, refuse,
       "%s %d: Failed to open beta fifos\n"},
      {nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr},
  };
  EXPECT_EXIT(
      {
        alarm(kHangLimitS);
        exit(core_main(table));
      },
      testing::ExitedWithCode(1),
      // The started thread may reach the cleanup before or after main
      // says it waits there; both come before the rendezvous is met.
      "main [0-9]+: Failed to open beta fifos.*"
      "(Before main rendezvousCleanup \\(waiting for 2 threads\\).*myRendezvousCleanup: alpha|"
      "myRendezvousCleanup: alpha.*Before main rendezvousCleanup \\(waiting for 2 threads\\))"
      ".*main cleanup rendezvous met");
}

// A stand-in for an older copy: sleep, installed and named like the
// program (in dir, the root's /usr/bin by default, under arg0 when given),
// with SIGINT blocked when it is to ignore it.
pid_t start_copy(const char *suffix, bool ignores_int, std::string dir = "", std::string arg0 = "") {
  if (dir.empty()) dir = test_root() + "/usr/bin";
  std::string exe = dir + "/m7391" + suffix;
  if (system(("mkdir -p '" + dir + "' && cp /bin/sleep '" + exe + "'").c_str()) != 0) return -1;
  if (arg0.empty()) arg0 = exe;
  const char *argv[] = {arg0.c_str(), "60", nullptr};
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  sigset_t mask, dfl;
  sigemptyset(&mask);
  if (ignores_int) sigaddset(&mask, SIGINT);
  sigemptyset(&dfl);
  sigaddset(&dfl, SIGINT);
  posix_spawnattr_setsigmask(&at, &mask);
  posix_spawnattr_setsigdefault(&at, &dfl);
  posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe.c_str(), nullptr, &at, const_cast<char **>(argv), environ);
  posix_spawnattr_destroy(&at);
  return rc == 0 ? pid : -1;
}

bool named(pid_t pid) {
  char buf[512] = "";
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "r");
  if (!f) return false;
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  return std::string(buf, n).find("m7391") != std::string::npos;
}

int death_signal(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid || !WIFSIGNALED(st)) return 0;
  return WTERMSIG(st);
}

// Every other copy is asked to quit on every pass; one that ignores it is
// killed when its own limit is up (a pass of 10 ms and 5 passes here).
TEST(KillOtherCopies, AllCopiesEachPassAndKillAfterTheLimit) {
  RootKeep keep({"/rebooting", "/usr/bin"});
  sys_unlink("/rebooting");
  EXPECT_EQ(kill_other_copies(10, 5), 0) << "no other copy";
  EXPECT_NE(sys_access("/rebooting", 0), 0);
  pid_t stubborn = start_copy("-stubborn", true);
  pid_t obedient = start_copy("-obedient", false);
  ASSERT_GT(stubborn, 0);
  ASSERT_GT(obedient, 0);
  // Both are running under their names once /proc shows them.
  for (int i = 0; i < 1000 && !(named(stubborn) && named(obedient)); i++) usleep(10000);
  log_reset();
  EXPECT_EQ(kill_other_copies(10, 5), 1);
  EXPECT_EQ(death_signal(obedient), SIGINT);
  EXPECT_EQ(death_signal(stubborn), SIGKILL);
  EXPECT_EQ(sys_access("/rebooting", 0), 0);
  // The first pass asked both.
  char text[4096] = "";
  log_read(text, sizeof text - 1);
  std::string log = text;
  size_t first = log.find("killing pid ");
  ASSERT_NE(first, std::string::npos);
  size_t second = log.find("killing pid ", first + 1);
  ASSERT_NE(second, std::string::npos);
  std::string both = log.substr(first, log.find('\n', second) - first);
  EXPECT_NE(both.find("pid " + std::to_string(stubborn) + " "), std::string::npos) << log;
  EXPECT_NE(both.find("pid " + std::to_string(obedient) + " "), std::string::npos) << log;
}

// A program named like the box's outside its root is another box's or
// another tool's: left alone, and no reason to wait.
TEST(KillOtherCopies, OnlyCopiesUnderTheRoot) {
  RootKeep keep({"/rebooting", "/usr/bin"});
  char tmpl[] = "/tmp/m7391-other-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string outside = tmpl;
  pid_t tool = start_copy("_unrelated_tool", false, outside, "m7391_unrelated_tool");
  pid_t other_box = start_copy("", false, outside + "/usr/bin", "m7391");
  pid_t copy = start_copy("-mine", false, "", "m7391");
  ASSERT_GT(tool, 0);
  ASSERT_GT(other_box, 0);
  ASSERT_GT(copy, 0);
  for (int i = 0; i < 1000 && !(named(tool) && named(other_box) && named(copy)); i++) usleep(10000);
  EXPECT_EQ(kill_other_copies(10, 5), 1);
  EXPECT_EQ(death_signal(copy), SIGINT);
  EXPECT_EQ(kill_other_copies(10, 5), 0) << "only the copy under the root counts";
  EXPECT_EQ(waitpid(tool, nullptr, WNOHANG), 0) << "the tool outside the root was ended";
  EXPECT_EQ(waitpid(other_box, nullptr, WNOHANG), 0) << "the program outside the root was ended";
  kill(tool, SIGKILL);
  kill(other_box, SIGKILL);
  waitpid(tool, nullptr, 0);
  waitpid(other_box, nullptr, 0);
  EXPECT_EQ(system(("rm -rf '" + outside + "'").c_str()), 0);
}

}  // namespace
