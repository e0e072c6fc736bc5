// The device seam. The program opens, reads, writes, ioctls, mmaps and polls
// device paths through these calls, exactly as it would the kernel's. On the
// host, paths with a registered simulated driver are served by it; every
// other path is the real file under the root. A simulated open returns a real
// descriptor (an eventfd) so that poll() mixes it with sockets and FIFOs; the
// driver decides when it is readable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

int dev_open(const char *path, int flags);
int dev_close(int fd);
ssize_t dev_read(int fd, void *buf, size_t n);
ssize_t dev_write(int fd, const void *buf, size_t n);
off_t dev_lseek(int fd, off_t off, int whence);
int dev_ioctl(int fd, unsigned long request, void *arg);
void *dev_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);
int dev_munmap(void *addr, size_t len);
// poll() of descriptors. On a simulated descriptor POLLOUT means what the
// driver's readiness says (a video output: a shown buffer can be dequeued).
int dev_poll(struct pollfd *fds, nfds_t n, int timeout_ms);
// stat() of a device path: a path that a simulated driver gave device numbers
// (sim_set_rdev) reports a character device with them; every other path is
// the file under the root.
int dev_stat(const char *path, struct stat *st);

// ---- Driver side (src/platform/ only, and tests) ----
struct SimFile;
struct SimDriverOps {
  int (*open)(SimFile *f);                       // 0 or -errno
  void (*release)(SimFile *f);
  ssize_t (*read)(SimFile *f, void *buf, size_t n);  // -errno on failure
  ssize_t (*write)(SimFile *f, const void *buf, size_t n);
  int (*ioctl)(SimFile *f, unsigned long request, void *arg);  // -errno
  void *(*mmap)(SimFile *f, size_t len, int prot, off_t off); // NULL: fails
  int (*munmap)(SimFile *f, void *addr, size_t len);
};
struct SimFile {
  int fd;                 // the eventfd handed to the caller
  int flags;              // open flags
  off_t pos;              // file position for read/write/lseek
  off_t size;             // size for SEEK_END (drivers set it)
  const SimDriverOps *ops;
  void *driver;           // the registration's driver data
  void *priv;             // per-open data
  char path[128];         // board path that was opened
};

// Registers a driver for a board path; a path ending in '*' matches every
// path with that prefix. Later registrations win; the same path registered
// again replaces its earlier driver. 0 or -1.
int sim_register(const char *path, const SimDriverOps *ops, void *driver);
int sim_unregister(const char *path);
// Readiness of a simulated descriptor for poll(): readable or not.
void sim_file_set_readable(SimFile *f, bool readable);
// Runs fn on every open file of a driver (under the seam's lock).
void sim_for_each_file(void *driver, void (*fn)(SimFile *f, void *arg), void *arg);
// The device numbers dev_stat reports for a board path (a character device).
void sim_set_rdev(const char *path, unsigned major, unsigned minor);
// Registers the built-in simulated drivers (once; dev_open calls it too).
void sim_init(void);
