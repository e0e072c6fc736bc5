#include "core/mtd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

#include "core/log.h"
#include "platform/device.h"

namespace {
int g_fd = -1;
uint32_t g_bl_version;
// The descriptor's position is shared: a seek and the read or write after it
// must not interleave with another thread's pair.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
constexpr uint32_t kOldBootLoaderWord = 0xE3A0C000u;
}  // namespace

int mtd_open(void) {
  pthread_mutex_lock(&g_lock);
  if (g_fd < 0) {
    int fd = dev_open("/dev/mtd0", O_RDWR);
    if (fd < 0) {
      int e = errno;
      pthread_mutex_unlock(&g_lock);
      log_printf("open /dev/mtd0: %s\n", strerror(e));
      return fd;
    }
    g_fd = fd;
  }
  pthread_mutex_unlock(&g_lock);
  uint32_t v = 0;
  if (mtd_read(&v, MTD_BL_VERSION_OFF, sizeof v) == (ssize_t)sizeof v)
    g_bl_version = v == kOldBootLoaderWord ? 0x10000u : v;
  return 0;
}

void mtd_close(void) {
  pthread_mutex_lock(&g_lock);
  if (g_fd >= 0) dev_close(g_fd);
  g_fd = -1;
  pthread_mutex_unlock(&g_lock);
}

ssize_t mtd_read(void *buf, uint32_t offset, size_t len) {
  pthread_mutex_lock(&g_lock);
  ssize_t rc = -1;
  if (g_fd >= 0 && dev_lseek(g_fd, offset, SEEK_SET) >= 0) rc = dev_read(g_fd, buf, len);
  pthread_mutex_unlock(&g_lock);
  return rc;
}

ssize_t mtd_write(const void *buf, uint32_t offset, size_t len) {
  pthread_mutex_lock(&g_lock);
  off_t pos = g_fd >= 0 ? dev_lseek(g_fd, offset, SEEK_SET) : -1;
  if (pos < 0) {
    pthread_mutex_unlock(&g_lock);
    log_printf("%s: lseek returned %d  offset=%u\n", "mtd_write", (int)pos, offset);
    return pos;
  }
  ssize_t rc = dev_write(g_fd, buf, len);
  int e = errno;
  pthread_mutex_unlock(&g_lock);
  if (rc != (ssize_t)len) {
    if (rc < 0) log_printf("write: %s\n", strerror(e));
    log_printf("%s: write returned %d  offset=%u len=%zu\n", "mtd_write", (int)rc, offset, len);
  }
  return rc;
}

int mtd_erase_block(uint32_t offset, size_t len) {
  if (len == 0) return 0;
  uint64_t start = offset & ~(uint64_t)(MTD_ERASE_BLOCK - 1);
  uint64_t end = ((uint64_t)offset + len + MTD_ERASE_BLOCK - 1) & ~(uint64_t)(MTD_ERASE_BLOCK - 1);
  erase_info_user e = {(uint32_t)start, (uint32_t)(end - start)};
  pthread_mutex_lock(&g_lock);
  int rc = g_fd >= 0 && end - start <= 0xFFFFFFFFu ? dev_ioctl(g_fd, MEMERASE, &e) : -1;
  pthread_mutex_unlock(&g_lock);
  if (rc < 0) log_printf("%s: ioctl MEMERASE returned %d  offset=%u\n", "mtd_erase_block", rc, offset);
  return rc;
}

uint32_t mtd_bootloader_version(void) { return g_bl_version; }

int board_info_read(BoardInfo *info) {
  if (!info) return -1;
  return mtd_read(info, MTD_BOARDINFO_OFF, sizeof *info) == (ssize_t)sizeof *info ? 0 : -1;
}

uint32_t board_value_read(void) {
  uint32_t v = 0;
  if (mtd_read(&v, MTD_BOARDINFO_OFF + 8, sizeof v) != (ssize_t)sizeof v) return 0;
  return v == 0xFFFFFFFFu ? 0 : v;
}

// The word shares the boot loader's erase block, which is never erased here:
// the write can only clear bits of what is stored.
int board_value_write(uint32_t value) {
  return mtd_write(&value, MTD_BOARDINFO_OFF + 8, sizeof value) == (ssize_t)sizeof value ? 0 : -1;
}
