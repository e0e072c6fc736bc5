// Lays out a simulated board root. Only what is missing is created, so a root
// that a run has used keeps its flash, recordings and settings.
#include "platform/root_layout.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sim/sim_drivers.h"

namespace {

// The board's media entities as the kernel names them in sysfs. Start-up reads
// v4l-subdev0 to 6 and video0 to 7 in that order and takes the board for an
// analog-HD one when the name read last is the decoder's.
const struct { const char *node, *name; } kV4lNames[] = {
    {"v4l-subdev0", "DAVINCI CCDC"},
    {"v4l-subdev1", "DAVINCI PREVIEWER"},
    {"v4l-subdev2", "DAVINCI RESIZER"},
    {"v4l-subdev3", "DAVINCI AEW"},
    {"v4l-subdev4", "DAVINCI AF"},
    {"v4l-subdev5", "tp2825 1-0044"},
    {"v4l-subdev6", "hdmitx 1-003b"},
    {"video0", "DAVINCI VIDEO CCDC output"},
    {"video1", "DAVINCI VIDEO PRV output"},
    {"video2", "DAVINCI VIDEO PRV input"},
    {"video3", "DAVINCI VIDEO RSZ input"},
    {"video4", "DAVINCI VIDEO RSZ output"},
    {"video5", "DAVINCI VIDEO RSZB output"},
    {"video6", "vpbe display"},
    {"video7", "tp2825 1-0044"},
};

const char *const kDirs[] = {
    "dev", "sys/class/video4linux", "usr/html", "usr/bin", "media/int", "media/ext",
    "media/mmc", "run", "etc", "tmp", "proc", "proc/sys/vm", "sys/block", "sys/power", "run/sim",
};

int mkdirs(const std::string &path) {
  std::string cur;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    cur = path.substr(0, j);
    if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    i = j + 1;
  }
  return 0;
}

// Writes a whole file unless it exists.
int write_new(const std::string &path, const void *data, size_t len, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return errno == EEXIST ? 0 : -1;
  bool ok = write(fd, data, len) == (ssize_t)len;
  close(fd);
  return ok ? 0 : -1;
}

int copy_file(const std::string &from, const std::string &to, mode_t mode) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
  if (out < 0) {
    close(in);
    return errno == EEXIST ? 0 : -1;
  }
  char buf[65536];
  ssize_t n;
  int rc = 0;
  while ((n = read(in, buf, sizeof buf)) > 0)
    if (write(out, buf, (size_t)n) != n) {
      rc = -1;
      break;
    }
  if (n < 0) rc = -1;
  close(in);
  close(out);
  return rc;
}

// Copies a directory tree; files already present in the destination stay.
int copy_tree(const std::string &from, const std::string &to) {
  if (mkdirs(to) != 0) return -1;
  DIR *d = opendir(from.c_str());
  if (!d) return -1;
  int rc = 0;
  while (struct dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string src = from + "/" + e->d_name, dst = to + "/" + e->d_name;
    struct stat st;
    if (stat(src.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      rc |= copy_tree(src, dst);
    else if (S_ISREG(st.st_mode))
      rc |= copy_file(src, dst, st.st_mode);
  }
  closedir(d);
  return rc ? -1 : 0;
}

}  // namespace

int root_layout(const char *root, const char *www_dir, uint32_t serial) {
  if (!root || !*root) return -1;
  std::string r = root;
  for (const char *d : kDirs)
    if (mkdirs(r + "/" + d) != 0) {
      fprintf(stderr, "root_layout: %s/%s: %s\n", root, d, strerror(errno));
      return -1;
    }
  for (const auto &v : kV4lNames) {
    std::string dir = r + "/sys/class/video4linux/" + v.node;
    std::string line = std::string(v.name) + "\n";
    if (mkdirs(dir) != 0 || write_new(dir + "/name", line.data(), line.size(), 0644) != 0) {
      fprintf(stderr, "root_layout: %s: %s\n", dir.c_str(), strerror(errno));
      return -1;
    }
  }
  if (sim_flash_create_image_at((r + "/dev/mtd0").c_str(), serial) != 0) {
    fprintf(stderr, "root_layout: %s/dev/mtd0: cannot create the flash image\n", root);
    return -1;
  }
  if (www_dir && *www_dir && copy_tree(www_dir, r + "/usr/html") != 0) {
    fprintf(stderr, "root_layout: cannot copy %s to %s/usr/html\n", www_dir, root);
    return -1;
  }
  return 0;
}
