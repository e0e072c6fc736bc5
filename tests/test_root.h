// Every test program runs in a fresh simulated root of its own.
#pragma once
#include <chrono>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

// Creates (once per process) a fresh root under /tmp, lays it out like
// scripts/run does, points M7391_ROOT at it and returns its path.
const std::string &test_root(void);
// A fresh empty directory inside the test root's tmp/ (board path returned,
// e.g. "/tmp/t3"), for tests that need their own files.
std::string test_scratch_dir(const char *tag);
// How many descriptors the process holds open: the same before and after a
// call that must let go of what it opened.
int test_open_fds(void);


// Board paths (files or whole directories) put back as they were when it
// was made: files and links added below them go, changed or removed ones
// come back with their content. A test or fixture holds one for what it
// writes into the root beyond its own scratch directory.
class RootKeep {
 public:
  explicit RootKeep(std::vector<std::string> board_paths);
  ~RootKeep();
  RootKeep(const RootKeep &) = delete;
  RootKeep &operator=(const RootKeep &) = delete;

 private:
  struct Entry {
    char type;             // 'f' file, 'l' link, 'd' directory
    std::string content;   // a file's bytes, a link's target
  };
  std::vector<std::string> paths_;
  std::map<std::string, Entry> saved_;   // host path -> what was there
};

// Waits (at most ms of real time, however long cond() itself takes) until
// cond() holds.
template <typename F>
bool wait_until(F cond, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    usleep(10000);
  }
}

// The milliseconds left until by, 0 once it passed: for waits that share
// one deadline.
inline int ms_until(std::chrono::steady_clock::time_point by) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(by - std::chrono::steady_clock::now());
  return left.count() > 0 ? (int)left.count() : 0;
}

#ifndef M7391_TEST_TIMEOUT_S
#define M7391_TEST_TIMEOUT_S 120
#endif
// One deadline for all of a test's waits, counted from its start: three
// quarters of the time ctest gives a unit test, so that a wait that runs
// out is named with a quarter left for tearing down.
inline std::chrono::steady_clock::time_point test_waits_end(std::chrono::steady_clock::time_point start) {
  return start + std::chrono::seconds(M7391_TEST_TIMEOUT_S) * 3 / 4;
}
