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
  while (n > 0 && *p == ' ') p++, n--;
  for (int i = 0; i < n && p[i] >= '0' && p[i] <= '7'; i++) v = v * 8 + (p[i] - '0');
  return v;
}

bool name_allowed(const char *name) {
  for (const char *p = name; *p; p++)
    if (*p & 0x80) return false;
  return strncmp(name, "Wifi/", 5) == 0 && !strstr(name, "..");
}

// One header of the walk at offset at: 1 the end of the listing, 0 an entry
// (*size its data bytes, *type its kind), -1 the archive is corrupt (logged).
int header_read(const char *h, uint64_t at, uint64_t *size, char *type) {
  if (h[0] == 0) return 1;
  char name[101];
  memcpy(name, h, 100);
  name[100] = 0;
  if (!name_allowed(name)) {
    log_printf("name is invalid, archive probably corrupt\n");
    return -1;
  }
  *size = octal(h + 124, 12);
  uint64_t data = at + kBlock;
  if (*size > WIFI_ARCHIVE_MAX || data + *size > WIFI_ARCHIVE_MAX) {
    log_printf("tar file size too large, archive probably corrupt\n");
    return -1;
  }
  *type = h[156];
  if (*type != '5' && *type != '0' && *type != 0) {
    log_printf("unsupported tar typeflag %c\n", *type);
    return -1;
  }
  return 0;
}

uint64_t padded(uint64_t size) { return (size + kBlock - 1) / kBlock * kBlock; }

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
    uint64_t size = 0;
    char type = 0;
    if (header_read(h, at, &size, &type) != 0) return 0;
    uint64_t data = at + kBlock;
    char path[128];
    snprintf(path, sizeof path, "/%.100s", h);
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
    }
    at = data + padded(size);
  }
  firmware_set_wifi_tools_present(1);
  return 1;
}

bool tar_header_sum_ok(const uint8_t *header) {
  uint64_t sum = 0;
  for (uint32_t i = 0; i < kBlock; i++) sum += (i >= 148 && i < 156) ? ' ' : header[i];
  return octal((const char *)header + 148, 8) == sum;
}

int wifi_archive_check(const uint8_t *data, uint64_t size) {
  if (size < kBlock || memcmp(data, "Wifi/", 6) != 0) return -1;
  for (uint64_t at = 0; at <= size - kBlock;) {
    const char *h = (const char *)data + at;
    uint64_t n = 0;
    char type = 0;
    int rc = header_read(h, at, &n, &type);
    if (rc == 1) return 0;
    if (rc < 0) return -1;
    if (!tar_header_sum_ok(data + at) || n > size - at - kBlock) {
      log_printf("%s: entry at %u is damaged or cut\n", "wifi_archive_check", (unsigned)at);
      return -1;
    }
    at += kBlock + padded(n);
  }
  log_printf("%s: the listing has no end\n", "wifi_archive_check");
  return -1;
}
