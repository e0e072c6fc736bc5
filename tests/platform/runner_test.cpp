#include <gtest/gtest.h>
#include <csignal>
#include <string>

#include "platform/host_root.h"
#include "platform/runner.h"
#include "test_root.h"

namespace {

std::string exec_log() {
  char buf[8192];
  sys_read_text("/run/exec.log", buf, sizeof buf, false);
  return buf;
}

TEST(HostRoot, BoardPathsMoveUnderTheRoot) {
  const std::string &root = test_root();
  char buf[512];
  EXPECT_EQ(std::string(root_path("/dev/mtd0", buf, sizeof buf)), root + "/dev/mtd0");
  EXPECT_EQ(std::string(root_path((root + "/dev/x").c_str(), buf, sizeof buf)), root + "/dev/x");
  EXPECT_EQ(std::string(root_path("relative", buf, sizeof buf)), "relative");
  EXPECT_EQ(std::string(root_path("/proc/self/stat", buf, sizeof buf)), "/proc/self/stat");
  EXPECT_EQ(std::string(root_unpath((root + "/media/mmc").c_str(), buf, sizeof buf)), "/media/mmc");
}

TEST(Runner, MachineChangingProgramsAreOnlyLogged) {
  sys_unlink("/run/exec.log");
  const char *ntpd[] = {"/usr/sbin/ntpd", "-p", "pool.example", nullptr};
  EXPECT_EQ(run_argv(ntpd), 0);
  EXPECT_EQ(run_command("reboot"), 0);
  const char *wifi[] = {"/Wifi/wifi_run.sh", nullptr};
  EXPECT_EQ(run_argv(wifi), 0);
  EXPECT_EQ(exec_log(), "/usr/sbin/ntpd -p pool.example\nreboot\n/Wifi/wifi_run.sh\n");

  // Turned off (a fuzz harness), commands still run but are not logged.
  runner_set_exec_log(0);
  EXPECT_EQ(run_command("reboot"), 0);
  runner_log_line("console");
  runner_set_exec_log(1);
  EXPECT_EQ(run_command("halt"), 0);
  EXPECT_EQ(exec_log(), "/usr/sbin/ntpd -p pool.example\nreboot\n/Wifi/wifi_run.sh\nhalt\n");
}

TEST(Runner, RealProgramsRunInsideTheRootWithoutAShell) {
  const char *touch[] = {"touch", "/tmp/runner-made", nullptr};
  EXPECT_EQ(run_argv(touch), 0);
  EXPECT_EQ(sys_access("/tmp/runner-made", 0), 0);

  // Shell text in an argument stays one literal argument.
  char out[256];
  const char *echo[] = {"echo", "a; touch /tmp/injected", nullptr};
  EXPECT_EQ(run_argv_output(echo, out, sizeof out), 0);
  EXPECT_STREQ(out, "a; touch /tmp/injected\n");
  EXPECT_NE(sys_access("/tmp/injected", 0), 0);

  const char *missing[] = {"no-such-program-m7391", nullptr};
  EXPECT_NE(run_argv(missing), 0);
}

TEST(Runner, SimulationsAnswerRegisteredPrograms) {
  runner_register_sim(
      "df",
      [](const char *const argv[], char *out, size_t size, void *arg) {
        snprintf(out, size, "simulated %s %s", argv[1], (const char *)arg);
        return 3;
      },
      (void *)"x");
  char out[64];
  const char *df[] = {"df", "/media/mmc", nullptr};
  EXPECT_EQ(run_argv_output(df, out, sizeof out), 3);
  EXPECT_STREQ(out, "simulated /media/mmc x");
  const char *hw[] = {"hwclock", "-s", nullptr};
  EXPECT_EQ(run_argv_output(hw, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(Runner, DaemonsLiveInATableOfTheirOwn) {
  runner_sim_reset();
  const char *ntpd[] = {"/usr/sbin/ntpd", "-n", "-p", "pool.example", nullptr};
  const char *dnsd[] = {"/usr/sbin/dnsd", nullptr};
  pid_t a = spawn_detached(ntpd), b = spawn_detached(dnsd);
  EXPECT_GT(a, 4194304) << "above any pid the kernel hands out";
  char text[512];
  sys_read_text("/run/sim/daemons", text, sizeof text, false);
  EXPECT_EQ(std::string(text), std::to_string(a) + " /usr/sbin/ntpd -n -p pool.example\n" +
                                   std::to_string(b) + " /usr/sbin/dnsd\n");
  char out[64];
  const char *pidof[] = {"pidof", "ntpd", nullptr};
  EXPECT_EQ(run_argv_output(pidof, out, sizeof out), 0);
  EXPECT_EQ(std::string(out), std::to_string(a) + "\n");

  // One that hangs outlives SIGTERM and a bounded wait, not SIGKILL.
  runner_sim_hang(a, 1);
  EXPECT_EQ(runner_kill(a, SIGTERM), 0);
  EXPECT_EQ(runner_wait(a, 30), -1);
  EXPECT_EQ(runner_kill(a, SIGKILL), 0);
  EXPECT_EQ(runner_wait(a, 30), 0);
  EXPECT_EQ(runner_kill(a, 0), -1);
  const char *killall[] = {"killall", "dnsd", nullptr};
  EXPECT_EQ(run_argv(killall), 0);
  EXPECT_EQ(run_argv(killall), 1) << "none left";
  EXPECT_EQ(run_argv_output(pidof, out, sizeof out), 1);
  sys_read_text("/run/sim/daemons", text, sizeof text, false);
  EXPECT_STREQ(text, "");

  const char *hostname[] = {"/bin/hostname", "cam-7", nullptr};
  EXPECT_EQ(run_argv(hostname), 0);
  sys_read_text("/run/sim/hostname", text, sizeof text, false);
  EXPECT_STREQ(text, "cam-7");
  sys_write_text("/run/sim/lsmod", "r8188eu 400000 0\n");
  const char *lsmod[] = {"/sbin/lsmod", nullptr};
  EXPECT_EQ(run_argv_output(lsmod, out, sizeof out), 0);
  EXPECT_STREQ(out, "r8188eu 400000 0\n");
  EXPECT_EQ(exec_log().find("hostname cam-7") != std::string::npos, true);
}

}  // namespace
