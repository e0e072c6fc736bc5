// Names from outside (a control request's, a URL's, a form's) on their way
// to playback, downloads and deletes, against an SD card holding a few
// recordings, a folder and a file beside the recording directory. Whatever
// the bytes, a name is taken whole or refused, never cut into another
// name: the file the player is handed, the file a download opens and the
// file a delete removes are the recording of that very name, and nothing
// outside the recording directory is reached.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/global.h"
#include "core/param_flash.h"
#include "display/dvr_logic.h"
#include "fuzz_root.h"
#include "platform/host_root.h"
#include "platform/root_layout.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"

namespace {

std::string g_dcim;   // the recording directory's backing folder

const char *const kFiles[] = {"a.mp4", "b.ts", "sub/c.mp4", nullptr};
std::string g_longest;   // a recording named with the most bytes allowed

void put(const std::string &rel) {
  std::string path = g_dcim + "/" + rel;
  if (FILE *f = fopen(path.c_str(), "w")) {
    fputs(rel.c_str(), f);   // each file holds its own name
    fclose(f);
  }
}

void setup(void) {
  const std::string &root = fuzz_root();
  setenv("M7391_ROOT", root.c_str(), 1);
  if (root_layout(root.c_str(), nullptr, 1) != 0 || root_init() != 0) abort();
  param_load_defaults();
  gui_started = 1;
  if (sim_storage_insert("mmcblk0p1", 0, 64ULL << 20, "vfat") != 0) abort();
  for (int i = 0; i < 5 && !filesys_is_mounted(STORAGE_MMC); i++) fileSysTick(get_param_block());
  if (!filesys_is_mounted(STORAGE_MMC)) abort();
  char b[512];
  std::string vol = sim_storage_backing_dir("mmcblk0p1", b, sizeof b);
  g_dcim = vol + "/DCIM";
  (void)!system(("mkdir -p '" + g_dcim + "/sub'").c_str());
  g_longest = std::string(FILESYS_NAME_MAX - 4, 'n') + ".mp4";
  for (int i = 0; kFiles[i]; i++) put(kFiles[i]);
  put(g_longest);
  // What no name from outside may reach: a file beside the recording
  // directory, and one whose name the longest name's first bytes begin.
  if (FILE *f = fopen((vol + "/secret.mp4").c_str(), "w")) fclose(f);
  put(g_longest + "x");
}

// The text a file of the recording directory holds: its own name.
std::string contents_of_fd(int fd) {
  char buf[600];
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// The logic logs every name it is given: that line goes nowhere, so that
// what the harness prints is its findings.
int set_filename_quietly(const char *name) {
  static int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int saved = dup(2);
  if (null_fd >= 0) dup2(null_fd, 2);
  int rc = dvr_set_filename(STORAGE_MMC, name);
  if (saved >= 0) {
    dup2(saved, 2);
    close(saved);
  }
  return rc;
}

bool is_ours(const std::string &name) {
  for (int i = 0; kFiles[i]; i++)
    if (name == kFiles[i]) return true;
  return name == g_longest || name == g_longest + "x";
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static bool ready = false;
  if (!ready) {
    setup();
    ready = true;
  }
  // Names end at a NUL as every transport hands them over.
  std::string name(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
  bool ok = filesys_name_ok(name.c_str()) != 0;
  if (ok && name.size() > FILESYS_NAME_MAX) abort();

  // Playback: the name is kept whole or refused.
  snprintf(gui_state.playback_name, sizeof gui_state.playback_name, "%s", "-");
  if (set_filename_quietly(name.c_str()) == 0) {
    if (!ok || name != gui_state.playback_name || !is_ours(name)) abort();
  } else if (strcmp(gui_state.playback_name, "-") != 0) {
    abort();
  }

  // A download opens the file of that name, or nothing.
  if (ok) {
    int fd = filesys_open_recording(STORAGE_MMC, name.c_str(), O_RDONLY);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) != 0) abort();
      if (S_ISREG(st.st_mode) && (!is_ours(name) || contents_of_fd(fd) != name)) abort();
      close(fd);
    }
  }

  // A delete removes that file only; it is put back for the next input.
  if (ok && is_ours(name)) {
    if (filesys_delete(STORAGE_MMC, name.c_str(), nullptr) != 0) abort();
    struct stat st;
    if (lstat((g_dcim + "/" + name).c_str(), &st) == 0) abort();
    for (int i = 0; kFiles[i]; i++)
      if (name != kFiles[i] && lstat((g_dcim + "/" + kFiles[i]).c_str(), &st) != 0) abort();
    put(name);
  }
  return 0;
}
