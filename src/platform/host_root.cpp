#include "platform/host_root.h"
#include "platform/device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {
char g_root[512];
size_t g_root_len;
}

void root_set(const char *dir) {
  snprintf(g_root, sizeof g_root, "%s", dir ? dir : "");
  g_root_len = strlen(g_root);
  while (g_root_len > 1 && g_root[g_root_len - 1] == '/') g_root[--g_root_len] = 0;
}

int root_init(void) {
  const char *r = getenv("M7391_ROOT");
  if (!r || !*r) {
    fprintf(stderr, "m7391: M7391_ROOT is not set: the host build runs only inside a "
                    "simulated board root (use scripts/run)\n");
    return -1;
  }
  char real[512];
  if (!realpath(r, real)) {
    fprintf(stderr, "m7391: M7391_ROOT=%s: %s\n", r, strerror(errno));
    return -1;
  }
  struct stat st;
  if (stat(real, &st) != 0 || !S_ISDIR(st.st_mode) || strcmp(real, "/") == 0) {
    fprintf(stderr, "m7391: M7391_ROOT=%s is not a directory the program may use\n", r);
    return -1;
  }
  // Once the root is set the simulated devices run on it: the same root
  // again changes nothing (tests start the program inside their own root).
  if (strcmp(real, g_root) != 0) root_set(real);
  sim_init();
  return 0;
}

const char *root_dir(void) { return g_root; }

const char *root_path(const char *path, char *buf, size_t size) {
  if (!path) path = "";
  bool inside = g_root_len && strncmp(path, g_root, g_root_len) == 0 &&
                (path[g_root_len] == '/' || path[g_root_len] == 0);
  // The process table is the host's own: /proc is not moved, but its
  // kernel knobs (/proc/sys) are the simulated board's, inside the root.
  bool proc = (strncmp(path, "/proc/", 6) == 0 || strcmp(path, "/proc") == 0) &&
              strncmp(path, "/proc/sys/", 10) != 0;
  if (path[0] != '/' || inside || proc || !g_root_len)
    snprintf(buf, size, "%s", path);
  else
    snprintf(buf, size, "%s%s", g_root, path);
  return buf;
}

const char *root_unpath(const char *host_path, char *buf, size_t size) {
  if (g_root_len && strncmp(host_path, g_root, g_root_len) == 0 &&
      (host_path[g_root_len] == '/' || host_path[g_root_len] == 0))
    snprintf(buf, size, "%s", host_path[g_root_len] ? host_path + g_root_len : "/");
  else
    snprintf(buf, size, "%s", host_path);
  return buf;
}

namespace {
RootWriteCheck g_write_check;
RootStatfs g_statfs;

int check_write(const char *host) {
  int e = g_write_check ? g_write_check(host) : 0;
  if (e) errno = e;
  return e;
}
}  // namespace

void root_set_storage_hooks(RootWriteCheck check, RootStatfs statfs_fn) {
  g_write_check = check;
  g_statfs = statfs_fn;
}

int sys_write_allowed(const char *path) {
  return g_write_check ? g_write_check(HostPath(path).c_str()) : 0;
}

namespace {
RootIoFault g_io_fault;
}

RootIoFault root_set_io_fault(RootIoFault fault) {
  return __atomic_exchange_n(&g_io_fault, fault, __ATOMIC_ACQ_REL);
}

namespace {
int io_check(int fd, int writing, size_t *n) {
  RootIoFault f = __atomic_load_n(&g_io_fault, __ATOMIC_ACQUIRE);
  int e = f ? f(fd, writing, n) : 0;
  if (!e) return 0;
  errno = e;
  return -1;
}
}  // namespace

int sys_fd_check(int fd, int writing) { return io_check(fd, writing, nullptr); }

ssize_t sys_fd_read(int fd, void *buf, size_t n) {
  return io_check(fd, 0, &n) ? -1 : read(fd, buf, n);
}

ssize_t sys_fd_write(int fd, const void *buf, size_t n) {
  return io_check(fd, 1, &n) ? -1 : write(fd, buf, n);
}

int sys_fd_sync(int fd) { return sys_fd_check(fd, 1) ? -1 : fsync(fd); }

int sys_open(const char *path, int flags, int mode) {
  HostPath hp(path);
  if ((flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) && check_write(hp.c_str())) return -1;
  return open(hp.c_str(), flags, mode);
}

FILE *sys_fopen(const char *path, const char *mode) {
  HostPath hp(path);
  if (strpbrk(mode, "wa+") && check_write(hp.c_str())) return nullptr;
  return fopen(hp.c_str(), mode);
}
int sys_access(const char *path, int mode) { return access(HostPath(path).c_str(), mode); }
int sys_stat(const char *path, struct stat *st) { return stat(HostPath(path).c_str(), st); }
int sys_lstat(const char *path, struct stat *st) { return lstat(HostPath(path).c_str(), st); }
int sys_statfs(const char *path, struct statfs *st) {
  HostPath hp(path);
  if (g_statfs && g_statfs(hp.c_str(), st) == 0) return 0;
  return statfs(hp.c_str(), st);
}
int sys_unlink(const char *path) {
  HostPath hp(path);
  return check_write(hp.c_str()) ? -1 : unlink(hp.c_str());
}
int sys_rmdir(const char *path) {
  HostPath hp(path);
  return check_write(hp.c_str()) ? -1 : rmdir(hp.c_str());
}
int sys_mkdir(const char *path, int mode) {
  HostPath hp(path);
  if (check_write(hp.c_str())) {
    struct stat st;
    if (stat(hp.c_str(), &st) == 0) errno = EEXIST;
    return -1;
  }
  return mkdir(hp.c_str(), mode);
}
int sys_rename(const char *from, const char *to) {
  HostPath a(from), b(to);
  if (check_write(a.c_str()) || check_write(b.c_str())) return -1;
  return rename(a.c_str(), b.c_str());
}
DIR *sys_opendir(const char *path) { return opendir(HostPath(path).c_str()); }
int sys_scandir(const char *path, struct dirent ***list, int (*filter)(const struct dirent *),
                int (*compar)(const struct dirent **, const struct dirent **)) {
  return scandir(HostPath(path).c_str(), list, filter, compar);
}
ssize_t sys_readlink(const char *path, char *buf, size_t size) {
  return readlink(HostPath(path).c_str(), buf, size);
}

int sys_mkdirs(const char *path, int mode) {
  std::string p = HostPath(path).c_str();
  for (size_t i = 1; i <= p.size(); i++) {
    if (i == p.size() || p[i] == '/') {
      std::string part = p.substr(0, i);
      struct stat st;
      if (stat(part.c_str(), &st) == 0) continue;
      if (check_write(part.c_str())) return -1;
      if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return -1;
    }
  }
  return 0;
}

int sys_read_text(const char *path, char *buf, size_t size, bool first_line) {
  if (size == 0) return -1;
  buf[0] = 0;
  int fd = sys_open(path, O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, size - 1);
  close(fd);
  if (n < 0) { buf[0] = 0; return -1; }
  buf[n] = 0;
  if (first_line) {
    char *nl = strpbrk(buf, "\r\n");
    if (nl) *nl = 0;
  }
  return (int)strlen(buf);
}

int sys_write_text(const char *path, const char *text) {
  int fd = sys_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  size_t len = strlen(text), done = 0;
  while (done < len) {
    ssize_t n = write(fd, text + done, len - done);
    if (n <= 0) { close(fd); return -1; }
    done += (size_t)n;
  }
  return close(fd);
}
