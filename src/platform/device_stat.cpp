#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/sysmacros.h>

#include "platform/device.h"
#include "platform/host_root.h"

namespace {

struct RdevEntry {
  char path[64];
  dev_t rdev;
};

std::mutex g_rdev_lock;
RdevEntry g_rdevs[64];
int g_nrdevs;

}  // namespace

void sim_set_rdev(const char *path, unsigned major, unsigned minor) {
  std::lock_guard<std::mutex> l(g_rdev_lock);
  for (int i = 0; i < g_nrdevs; i++)
    if (strcmp(g_rdevs[i].path, path) == 0) {
      g_rdevs[i].rdev = makedev(major, minor);
      return;
    }
  if (g_nrdevs == (int)(sizeof g_rdevs / sizeof g_rdevs[0])) return;
  RdevEntry &e = g_rdevs[g_nrdevs++];
  snprintf(e.path, sizeof e.path, "%s", path);
  e.rdev = makedev(major, minor);
}

int dev_stat(const char *path, struct stat *st) {
  sim_init();
  {
    std::lock_guard<std::mutex> l(g_rdev_lock);
    for (int i = 0; i < g_nrdevs; i++)
      if (strcmp(g_rdevs[i].path, path) == 0) {
        memset(st, 0, sizeof *st);
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = g_rdevs[i].rdev;
        st->st_nlink = 1;
        return 0;
      }
  }
  return sys_stat(path, st);
}
