// /dev/mtd0: a NOR flash kept in the file <root>/dev/mtd0. As on the chip, an
// erase sets whole 0x20000-byte blocks to 0xFF and programming can only clear
// bits: what a write leaves is the old contents AND the new data.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

#include "platform/device.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

constexpr uint32_t kSize = 0x1000000;
constexpr uint32_t kEraseBlock = 0x20000;
constexpr uint32_t kBootVersionOff = 0x100;
constexpr uint32_t kBoardInfoOff = 0x1FFF0;
constexpr uint32_t kBoardWord = 7391;
// A boot loader newer than 1.0.255, as shipped boards carry.
constexpr uint32_t kBootVersion = 0x10200;

std::atomic<int> g_fail_erase{0}, g_fail_write{0};
std::atomic<long> g_tear_write{-1};   // bytes the next write programs, or -1
// Programming is read-modify-write of the image: one at a time.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

// Takes one injected failure when any is pending.
bool take_failure(std::atomic<int> &n) {
  int v = n.load();
  while (v > 0)
    if (n.compare_exchange_weak(v, v - 1)) return true;
  return false;
}

int hostfd(SimFile *f) { return (int)(intptr_t)f->priv; }

int flash_open(SimFile *f) {
  int fd = sys_open(f->path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  f->priv = (void *)(intptr_t)fd;
  f->size = kSize;
  return 0;
}

void flash_release(SimFile *f) { close(hostfd(f)); }

ssize_t flash_read(SimFile *f, void *buf, size_t n) {
  if (f->pos >= (off_t)kSize) return 0;
  if (n > kSize - (size_t)f->pos) n = kSize - (size_t)f->pos;
  ssize_t r = pread(hostfd(f), buf, n, f->pos);
  if (r < 0) return -errno;
  f->pos += r;
  return r;
}

ssize_t flash_write(SimFile *f, const void *buf, size_t n) {
  if (f->pos >= (off_t)kSize) return -ENOSPC;
  if (n > kSize - (size_t)f->pos) n = kSize - (size_t)f->pos;
  if (take_failure(g_fail_write)) return -EIO;
  long tear = g_tear_write.exchange(-1);
  if (tear >= 0 && (size_t)tear < n) n = (size_t)tear;
  const uint8_t *src = (const uint8_t *)buf;
  uint8_t chunk[4096];
  size_t done = 0;
  pthread_mutex_lock(&g_lock);
  while (done < n) {
    size_t len = n - done < sizeof chunk ? n - done : sizeof chunk;
    off_t at = f->pos + (off_t)done;
    if (pread(hostfd(f), chunk, len, at) != (ssize_t)len) break;
    for (size_t i = 0; i < len; i++) chunk[i] &= src[done + i];
    if (pwrite(hostfd(f), chunk, len, at) != (ssize_t)len) break;
    done += len;
  }
  pthread_mutex_unlock(&g_lock);
  if (tear >= 0 || (done < n && done == 0)) return -EIO;
  f->pos += (off_t)done;
  return (ssize_t)done;
}

int fill_ff(int fd, uint32_t start, uint32_t length) {
  uint8_t ff[4096];
  memset(ff, 0xFF, sizeof ff);
  for (uint32_t done = 0; done < length; done += sizeof ff)
    if (pwrite(fd, ff, sizeof ff, start + done) != (ssize_t)sizeof ff) return -EIO;
  return 0;
}

int flash_ioctl(SimFile *f, unsigned long request, void *arg) {
  if (request != MEMERASE) return -ENOTTY;
  const erase_info_user *e = (const erase_info_user *)arg;
  if (!e) return -EFAULT;
  // The driver erases whole blocks only and never past the chip's end.
  if (e->start % kEraseBlock || e->length % kEraseBlock || e->length == 0 ||
      e->start >= kSize || e->length > kSize - e->start)
    return -EINVAL;
  if (take_failure(g_fail_erase)) return -EIO;
  pthread_mutex_lock(&g_lock);
  int rc = fill_ff(hostfd(f), e->start, e->length);
  pthread_mutex_unlock(&g_lock);
  return rc;
}

const SimDriverOps kFlashOps = {flash_open, flash_release, flash_read, flash_write,
                                flash_ioctl, nullptr, nullptr};

void put_u32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

}  // namespace

void sim_flash_register(void) { sim_register("/dev/mtd0", &kFlashOps, nullptr); }

int sim_flash_create_image_at(const char *host_path, uint32_t serial) {
  int fd = open(host_path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST ? 0 : -1;
  int rc = fill_ff(fd, 0, kSize);
  // BoardInfo: board word, reserved, board value (unset), serial number.
  uint8_t info[16];
  put_u32(info, kBoardWord);
  put_u32(info + 4, 0);
  put_u32(info + 8, 0xFFFFFFFFu);
  put_u32(info + 12, serial);
  uint8_t ver[4];
  put_u32(ver, kBootVersion);
  if (rc == 0 && (pwrite(fd, info, sizeof info, kBoardInfoOff) != (ssize_t)sizeof info ||
                  pwrite(fd, ver, sizeof ver, kBootVersionOff) != (ssize_t)sizeof ver))
    rc = -1;
  close(fd);
  if (rc != 0) unlink(host_path);
  return rc == 0 ? 0 : -1;
}

int sim_flash_create_image(uint32_t serial) {
  return sim_flash_create_image_at(HostPath("/dev/mtd0").c_str(), serial);
}

void sim_flash_fail_erase(int n) { g_fail_erase.store(n); }
void sim_flash_fail_write(int n) { g_fail_write.store(n); }
void sim_flash_tear_write(size_t n) { g_tear_write.store((long)n); }
