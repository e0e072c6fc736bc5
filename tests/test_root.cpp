#include "test_root.h"
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <unistd.h>
#include "platform/host_root.h"
#include "platform/root_layout.h"

static std::string root;

// The root goes with the process, unless M7391_KEEP_ROOT asks to keep it.
static void remove_root(void) {
  if (root.empty() || getenv("M7391_KEEP_ROOT")) return;
  nftw(root.c_str(),
       [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

const std::string &test_root(void) {
  if (root.empty()) {
    char tmpl[] = "/tmp/m7391-test-XXXXXX";
    if (!mkdtemp(tmpl)) { perror("mkdtemp"); abort(); }
    root = tmpl;
    atexit(remove_root);
    setenv("M7391_ROOT", root.c_str(), 1);
    root_set(root.c_str());
    if (root_layout(root.c_str(), M7391_SOURCE_DIR "/www", 123456) != 0 || root_init() != 0) {
      fprintf(stderr, "test_root: cannot lay out %s\n", root.c_str());
      abort();
    }
  }
  return root;
}

std::string test_scratch_dir(const char *tag) {
  static int n;
  test_root();
  char path[256];
  snprintf(path, sizeof path, "/tmp/%s.%d.%d", tag, (int)getpid(), n++);
  sys_mkdirs(path, 0755);
  return path;
}

namespace {
// Lay the root out before any test (and before gtest's discovery) runs.
struct RootAtStart { RootAtStart() { test_root(); } } root_at_start;
}
