// Two copies of the program on one root, as while a new copy starts and the
// one it replaces quits: only the newest runs the lines of a command file.
// The second copy is this test program again, in its own process.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/host_root.h"
#include "platform/sim/sim_drivers.h"
#include "test_root.h"

extern char **environ;

namespace {

const char *const kRootVar = "M7391_SECOND_COPY_ROOT";

bool wait_for(const std::function<bool()> &ok) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ok() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return ok();
}

std::string text_of(const char *path) {
  char buf[4096];
  return sys_read_text(path, buf, sizeof buf, false) < 0 ? std::string() : std::string(buf);
}

void append(const char *path, const char *line) {
  FILE *f = sys_fopen(path, "a");
  ASSERT_NE(f, nullptr);
  fprintf(f, "%s\n", line);
  fclose(f);
}

std::atomic<int> g_first_runs;
std::string g_first_last;
int first_copy(const char *line) {
  g_first_last = line;
  g_first_runs++;
  return 0;
}

std::atomic<bool> g_quit;
int second_copy(const char *line) {
  FILE *f = sys_fopen("/run/two.second", "a");
  if (f) fprintf(f, "%s\n", line), fclose(f);
  if (!strcmp(line, "quit")) g_quit = true;
  return 0;
}

// The second copy, started by the test below with the root in kRootVar.
TEST(SimCommandOwner, SecondCopy) {
  const char *root = getenv(kRootVar);
  if (!root) GTEST_SKIP() << "run by OnlyTheNewestCopyOnARootRunsCommandLines";
  root_set(root);
  sim_follow_commands("/run/two.cmd", second_copy, "second");
  ASSERT_EQ(sys_write_text("/run/two.ready", "1\n"), 0);
  EXPECT_TRUE(wait_for([] { return g_quit.load(); }));
}

TEST(SimCommandOwner, OnlyTheNewestCopyOnARootRunsCommandLines) {
  test_root();
  g_first_runs = 0;
  struct Unfollow {
    ~Unfollow() { sim_unfollow_commands(first_copy); }
  } unfollow;
  for (const char *f : {"/run/two.second", "/run/two.ready"}) sys_unlink(f);
  ASSERT_EQ(sys_write_text("/run/two.cmd", ""), 0);
  sim_follow_commands("/run/two.cmd", first_copy, "first");
  append("/run/two.cmd", "one");
  ASSERT_TRUE(wait_for([] { return g_first_runs == 1; }));
  int fds = test_open_fds();

  char exe[512];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  std::string var = std::string(kRootVar) + "=" + test_root();
  std::vector<char *> env;
  for (char **e = environ; *e; e++) env.push_back(*e);
  env.push_back(const_cast<char *>(var.c_str()));
  env.push_back(nullptr);
  const char *argv[] = {exe, "--gtest_filter=SimCommandOwner.SecondCopy", nullptr};
  pid_t second = -1;
  ASSERT_EQ(posix_spawn(&second, exe, nullptr, nullptr, const_cast<char **>(argv), env.data()), 0);
  EXPECT_TRUE(wait_for([] { return sys_access("/run/two.ready", F_OK) == 0; }));
  // The second copy replays the file as a copy that starts does, and runs
  // the lines that follow; the first runs none of them.
  append("/run/two.cmd", "two");
  EXPECT_TRUE(wait_for([] { return text_of("/run/two.second") == "one\ntwo\n"; })) << text_of("/run/two.second");
  append("/run/two.cmd", "quit");
  int status = -1;
  EXPECT_EQ(waitpid(second, &status, 0), second);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Once it has gone the first takes the root back, from the lines that
  // come after.
  std::string mine = std::to_string(getpid()) + "\n";
  EXPECT_TRUE(wait_for([&] { return text_of("/run/sim/commands.owner") == mine; }));
  append("/run/two.cmd", "three");
  EXPECT_TRUE(wait_for([] { return g_first_runs >= 2; }));
  EXPECT_EQ(g_first_runs, 2);
  EXPECT_EQ(g_first_last, "three");
  // A pass lets go of the owner file (and its lock) when it ends.
  EXPECT_TRUE(wait_for([&] { return test_open_fds() <= fds; })) << test_open_fds() << " descriptors, " << fds;
}

}  // namespace
