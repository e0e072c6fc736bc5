// The simulated board of the storage tests: nothing inserted, nothing
// mounted, the storage manager reset; the command log and directory
// listings under the root.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <string>
#include <vector>

#include "core/global.h"
#include "core/param_flash.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"
#include "test_root.h"

// No volume inserted or mounted and none known, as in a fresh root: the
// cards and disks earlier tests used are gone with their files, sizes and
// faults. A test that inserted some ends with this.
inline void storage_test_volumes_clear(void) {
  test_root();
  for (const char *d : {"mmcblk0p1", "sda1", "sda", "sdb1", "sdb"}) {
    sim_storage_remove(d);
    sim_storage_fault(d, "none", 0);
    sim_storage_limit(d, 0);
  }
  for (const char *m : {"/media/mmc", "/media/int", "/media/ext"}) {
    const char *um[] = {"umount", m, nullptr};
    run_argv(um);
  }
  // The simulation's state directory keeps only its (now empty) mount table.
  if (DIR *d = sys_opendir("/run/sim/storage")) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n == "." || n == ".." || n == "mounts") continue;
      nftw(HostPath(("/run/sim/storage/" + n).c_str()).c_str(),
           [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
           FTW_DEPTH | FTW_PHYS);
    }
    closedir(d);
  }
  filesys_reset();
}

inline void storage_test_board(void) {
  storage_test_volumes_clear();
  set_exit_code(0);
  param_load_defaults();
  gui_started = 1;
  filesys_set_record_status(nullptr);
}

inline std::string storage_exec_log(void) {
  static char buf[1 << 16];
  sys_read_text("/run/exec.log", buf, sizeof buf, false);
  return buf;
}

// The names in a board directory ending in ext, sorted (dot files left out).
inline std::vector<std::string> storage_files_in(const char *dir, const char *ext = "") {
  std::vector<std::string> v;
  if (DIR *d = sys_opendir(dir)) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n[0] != '.' && n.size() >= strlen(ext) && n.compare(n.size() - strlen(ext), std::string::npos, ext) == 0)
        v.push_back(n);
    }
    closedir(d);
  }
  std::sort(v.begin(), v.end());
  return v;
}

