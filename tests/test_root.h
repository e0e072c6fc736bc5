// Every test program runs in a fresh simulated root of its own.
#pragma once
#include <map>
#include <string>
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
