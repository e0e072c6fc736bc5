#include "platform/device.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/sim/sim_control.h"

namespace {

struct Registration {
  char path[128];
  bool prefix;
  const SimDriverOps *ops;
  void *driver;
};

constexpr int kMaxDrivers = 64;
constexpr int kMaxFds = 4096;

std::mutex g_lock;
Registration g_drivers[kMaxDrivers];
int g_ndrivers;
SimFile *g_files[kMaxFds];

// A mapping made by a simulated driver, so munmap reaches the driver.
struct SimMapping { void *addr; size_t len; SimFile *file; const SimDriverOps *ops; };
SimMapping g_maps[256];

const Registration *find_driver(const char *path) {
  for (int i = g_ndrivers - 1; i >= 0; i--) {
    const Registration &r = g_drivers[i];
    size_t n = strlen(r.path);
    if (r.prefix ? strncmp(path, r.path, n) == 0 : strcmp(path, r.path) == 0) return &r;
  }
  return nullptr;
}

SimFile *file_of(int fd) {
  if (fd < 0 || fd >= kMaxFds) return nullptr;
  std::lock_guard<std::mutex> l(g_lock);
  return g_files[fd];
}

}  // namespace

int sim_register(const char *path, const SimDriverOps *ops, void *driver) {
  std::lock_guard<std::mutex> l(g_lock);
  Registration add = {};
  snprintf(add.path, sizeof add.path, "%s", path);
  size_t n = strlen(add.path);
  add.prefix = n && add.path[n - 1] == '*';
  if (add.prefix) add.path[n - 1] = 0;
  // A path registered again replaces its driver (a simulated board reset
  // registers its nodes anew), so the table never fills with old entries.
  for (int i = 0; i < g_ndrivers; i++) {
    if (g_drivers[i].prefix == add.prefix && strcmp(g_drivers[i].path, add.path) == 0) {
      memmove(&g_drivers[i], &g_drivers[i + 1], sizeof(Registration) * (g_ndrivers - i - 1));
      g_ndrivers--;
      break;
    }
  }
  if (g_ndrivers >= kMaxDrivers) return -1;
  Registration &r = g_drivers[g_ndrivers++];
  r = add;
  r.ops = ops;
  r.driver = driver;
  return 0;
}

int sim_unregister(const char *path) {
  std::lock_guard<std::mutex> l(g_lock);
  for (int i = 0; i < g_ndrivers; i++) {
    char full[160];
    snprintf(full, sizeof full, "%s%s", g_drivers[i].path, g_drivers[i].prefix ? "*" : "");
    if (strcmp(full, path) == 0) {
      memmove(&g_drivers[i], &g_drivers[i + 1], sizeof(Registration) * (g_ndrivers - i - 1));
      g_ndrivers--;
      return 0;
    }
  }
  return -1;
}

void sim_file_set_readable(SimFile *f, bool readable) {
  if (!f) return;
  uint64_t v;
  if (readable) {
    // Keep the counter at 1 or more; a read drains it in the reader.
    v = 1;
    (void)!write(f->fd, &v, sizeof v);
  } else {
    while (read(f->fd, &v, sizeof v) == (ssize_t)sizeof v) {
    }
  }
}

void sim_for_each_file(void *driver, void (*fn)(SimFile *f, void *arg), void *arg) {
  std::lock_guard<std::mutex> l(g_lock);
  for (int i = 0; i < kMaxFds; i++)
    if (g_files[i] && g_files[i]->driver == driver) fn(g_files[i], arg);
}

int dev_open(const char *path, int flags) {
  sim_init();
  const Registration *reg;
  {
    std::lock_guard<std::mutex> l(g_lock);
    reg = find_driver(path);
  }
  if (!reg) return sys_open(path, flags, 0644);

  int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (efd < 0) return -1;
  if (efd >= kMaxFds) { close(efd); errno = EMFILE; return -1; }
  SimFile *f = new SimFile();
  f->fd = efd;
  f->flags = flags;
  f->ops = reg->ops;
  f->driver = reg->driver;
  snprintf(f->path, sizeof f->path, "%s", path);
  if (f->ops->open) {
    int rc = f->ops->open(f);
    if (rc < 0) {
      close(efd);
      delete f;
      errno = -rc;
      return -1;
    }
  }
  std::lock_guard<std::mutex> l(g_lock);
  g_files[efd] = f;
  return efd;
}

int dev_close(int fd) {
  SimFile *f;
  {
    std::lock_guard<std::mutex> l(g_lock);
    f = (fd >= 0 && fd < kMaxFds) ? g_files[fd] : nullptr;
    if (f) g_files[fd] = nullptr;
  }
  if (!f) return close(fd);
  if (f->ops->release) f->ops->release(f);
  delete f;
  return close(fd);
}

static ssize_t sim_result(ssize_t rc) {
  if (rc < 0) { errno = (int)-rc; return -1; }
  return rc;
}

ssize_t dev_read(int fd, void *buf, size_t n) {
  SimFile *f = file_of(fd);
  if (!f) return read(fd, buf, n);
  if (!f->ops->read) { errno = EINVAL; return -1; }
  return sim_result(f->ops->read(f, buf, n));
}

ssize_t dev_write(int fd, const void *buf, size_t n) {
  SimFile *f = file_of(fd);
  if (!f) return write(fd, buf, n);
  if (!f->ops->write) { errno = EINVAL; return -1; }
  return sim_result(f->ops->write(f, buf, n));
}

off_t dev_lseek(int fd, off_t off, int whence) {
  SimFile *f = file_of(fd);
  if (!f) return lseek(fd, off, whence);
  off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : f->size;
  if (base + off < 0) { errno = EINVAL; return -1; }
  f->pos = base + off;
  return f->pos;
}

int dev_ioctl(int fd, unsigned long request, void *arg) {
  SimFile *f = file_of(fd);
  if (!f && request == TIOCCONS) {
    // The host's console is not ours to take: the request is logged and
    // answered here, never passed to the kernel.
    const char *path = sim_serial_board_path(fd);
    char line[64];
    snprintf(line, sizeof line, "ioctl TIOCCONS %s", path ? path : "?");
    runner_log_line(line);
    if (!path) { errno = ENOTTY; return -1; }
    return 0;
  }
  if (!f) return ioctl(fd, request, arg);
  if (!f->ops->ioctl) { errno = ENOTTY; return -1; }
  return (int)sim_result(f->ops->ioctl(f, request, arg));
}

int dev_poll(struct pollfd *fds, nfds_t n, int timeout_ms) {
  // A simulated descriptor is an eventfd, always writable: its driver's
  // readiness (readable) stands for POLLOUT too.
  bool sim[64] = {};
  short asked[64];
  for (nfds_t i = 0; i < n && i < 64; i++) {
    asked[i] = fds[i].events;
    sim[i] = file_of(fds[i].fd) != nullptr;
    if (sim[i] && (fds[i].events & POLLOUT)) fds[i].events = short((fds[i].events & ~POLLOUT) | POLLIN);
  }
  int rc = poll(fds, n, timeout_ms);
  for (nfds_t i = 0; i < n && i < 64; i++) {
    if (!sim[i]) continue;
    short ready = fds[i].revents;
    fds[i].events = asked[i];
    if (ready & POLLIN) {
      fds[i].revents = short(ready & ~POLLIN);
      fds[i].revents |= short(asked[i] & (POLLIN | POLLOUT));
    }
  }
  return rc;
}

void *dev_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  SimFile *f = file_of(fd);
  if (!f) return mmap(addr, len, prot, flags, fd, off);
  if (!f->ops->mmap) { errno = ENODEV; return MAP_FAILED; }
  void *p = f->ops->mmap(f, len, prot, off);
  if (!p) { errno = EINVAL; return MAP_FAILED; }
  std::lock_guard<std::mutex> l(g_lock);
  for (SimMapping &m : g_maps)
    if (!m.addr) { m = {p, len, f, f->ops}; break; }
  return p;
}

int dev_munmap(void *addr, size_t len) {
  SimMapping found = {};
  {
    std::lock_guard<std::mutex> l(g_lock);
    for (SimMapping &m : g_maps)
      if (m.addr == addr) { found = m; m = {}; break; }
  }
  if (!found.addr) return munmap(addr, len);
  // The file may be closed already: drivers own their mappings' memory.
  if (found.ops->munmap) return found.ops->munmap(nullptr, addr, len);
  return 0;
}
