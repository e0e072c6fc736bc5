// The Wi-Fi tools archive in its flash region: a ustar archive whose first
// entry is the directory "Wifi/", unpacked at start. Only names under
// "Wifi/" without ".." are taken; anything else ends the walk.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/firmware.h"
#include "core/log.h"
#include "core/mtd.h"
#include "platform/host_root.h"

namespace {

constexpr uint32_t kBlock = 512;

uint64_t octal(const char *p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n && p[i] == ' '; i++) p++, n--;
  for (int i = 0; i < n && p[i] >= '0' && p[i] <= '7'; i++) v = v * 8 + (p[i] - '0');
  return v;
}

bool name_allowed(const char *name) {
  for (const char *p = name; *p; p++)
    if (*p & 0x80) return false;
  return strncmp(name, "Wifi/", 5) == 0 && !strstr(name, "..");
}

// Copies size bytes of the region at off into fd (or past them, fd < 0).
int copy_data(int fd, uint32_t off, uint64_t size) {
  static uint8_t buf[16384];
  int rc = 0;
  while (size) {
    size_t n = size < sizeof buf ? (size_t)size : sizeof buf;
    if (firmware_flash->read(buf, off, n) != 0) return -1;
    if (fd >= 0 && rc == 0 && write(fd, buf, n) != (ssize_t)n) {
      perror("error writing tar data\n");
      rc = -1;
    }
    off += (uint32_t)n;
    size -= n;
  }
  return 0;
}

}  // namespace

int wifi_archive_extract(void) {
  char h[kBlock];
  if (firmware_flash->read(h, MTD_WIFI_ARCHIVE_OFF, kBlock) != 0 || memcmp(h, "Wifi/", 6) != 0) return 0;
  struct stat st;
  if (sys_lstat("/Wifi", &st) == 0 && !S_ISDIR(st.st_mode)) sys_unlink("/Wifi");
  uint64_t at = 0;
  while (true) {
    if (at + kBlock > WIFI_ARCHIVE_MAX) {
      log_printf("tar file size too large, archive probably corrupt\n");
      return 0;
    }
    if (firmware_flash->read(h, MTD_WIFI_ARCHIVE_OFF + (uint32_t)at, kBlock) != 0) return 0;
    if (h[0] == 0) break;
    char name[101];
    memcpy(name, h, 100);
    name[100] = 0;
    if (!name_allowed(name)) {
      log_printf("name is invalid, archive probably corrupt\n");
      return 0;
    }
    uint64_t size = octal(h + 124, 12);
    uint64_t data = at + kBlock;
    if (size > WIFI_ARCHIVE_MAX || data + size > WIFI_ARCHIVE_MAX) {
      log_printf("tar file size too large, archive probably corrupt\n");
      return 0;
    }
    char path[128];
    snprintf(path, sizeof path, "/%s", name);
    char type = h[156];
    if (type == '5') {
      sys_mkdir(path, 0755);
    } else if (type == '0' || type == 0) {
      int fd = sys_open(path, O_WRONLY | O_CREAT | O_TRUNC, (int)(octal(h + 100, 8) & 07777));
      if (fd < 0) perror("failed to open tar file for writing\n");
      if (copy_data(fd, MTD_WIFI_ARCHIVE_OFF + (uint32_t)data, size) != 0) {
        if (fd >= 0) close(fd);
        return 0;
      }
      if (fd >= 0) close(fd);
    } else {
      log_printf("unsupported tar typeflag %c\n", type);
      return 0;
    }
    at = data + (size + kBlock - 1) / kBlock * kBlock;
  }
  firmware_set_wifi_tools_present(1);
  return 1;
}
