#include <gtest/gtest.h>
#include <string>

#include "core/global.h"
#include "core/startup.h"
#include "platform/host_root.h"
#include "test_root.h"

namespace {

std::string exec_log() {
  char buf[4096];
  sys_read_text("/run/exec.log", buf, sizeof buf, false);
  return buf;
}

// The exit actions run through the command runner, which logs and simulates
// reboot and halt on the host.
TEST(ExitActions, QuitRebootAndHalt) {
  sys_unlink("/run/exec.log");
  set_exit_code(EXIT_QUIT);
  EXPECT_EQ(rtsp_watch, 1);
  exit_actions();
  EXPECT_EQ(exec_log(), "sync\n");

  sys_unlink("/run/exec.log");
  sys_unlink("/rebooting");
  set_exit_code(EXIT_REBOOT);
  exit_actions();
  EXPECT_EQ(exec_log(), "sync\ntouch /rebooting\nreboot\n");
  EXPECT_EQ(sys_access("/rebooting", 0), 0) << "touch runs for real inside the root";

  sys_unlink("/run/exec.log");
  set_exit_code(EXIT_HALT);
  exit_actions();
  EXPECT_EQ(exec_log(), "sync\nhalt\n");
  set_exit_code(EXIT_RUNNING);
  sys_unlink("/rebooting");
}

}  // namespace
