// The Wi-Fi tools archive: a ustar archive whose first entry is the
// directory "Wifi/", unpacked at start from its flash region, or from a USB
// disk's wifi_archive.tar. Only folders and regular files under "Wifi/"
// without ".." are taken, each of bounded size; anything else ends the walk.
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

uint64_t padded(uint64_t size) { return (size + kBlock - 1) / kBlock * kBlock; }

// One header of the walk at offset at: 1 the end of the listing, 0 an entry
// (*size its data bytes, *type its kind), -1 the archive is corrupt (logged).
// The entry's data and the block after it must end within limit.
int header_read(const char *h, uint64_t at, uint64_t limit, uint64_t *size, char *type) {
  if (h[0] == 0) return 1;
  char name[101];
  memcpy(name, h, 100);
  name[100] = 0;
  if (!name_allowed(name)) {
    log_printf("name is invalid, archive probably corrupt\n");
    return -1;
  }
  // Twelve octal digits at most: the sum cannot wrap.
  *size = octal(h + 124, 12);
  uint64_t data = at + kBlock;
  if (data + padded(*size) + kBlock > limit) {
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

// Where the walk reads the archive from: the flash region, or memory.
struct ArchiveSource {
  const uint8_t *data;     // NULL: the flash region
  uint64_t size;
};

int source_read(const ArchiveSource *src, uint64_t at, void *buf, size_t n) {
  // at and n, offsets within an archive and a block's length, are far from
  // wrapping.
  if (at + n > src->size) return -1;
  if (src->data) {
    memcpy(buf, src->data + at, n);
    return 0;
  }
  return firmware_flash->read(buf, MTD_WIFI_ARCHIVE_OFF + (uint32_t)at, n);
}

// Copies size bytes of the archive at off into fd: 0, -1 when the archive
// cannot be read, -2 when a write fails or falls short (errno says why).
int copy_data(const ArchiveSource *src, int fd, uint64_t off, uint64_t size) {
  static uint8_t buf[16384];
  while (size) {
    size_t n = size < sizeof buf ? (size_t)size : sizeof buf;
    if (source_read(src, off, buf, n) != 0) {
      errno = EIO;
      return -1;
    }
    for (size_t done = 0; done < n;) {
      ssize_t w = sys_fd_write(fd, buf + done, n - done);
      if (w <= 0) {
        if (w == 0) errno = ENOSPC;
        return -2;
      }
      done += (size_t)w;
    }
    off += n;
    size -= n;
  }
  return 0;
}

// A walk that began and could not end: what is in /Wifi is not the
// archive, so nothing there may run.
int unpack_failed(const char *what, const char *path, int err) {
  log_printf("%s: %s: %s; the Wi-Fi tools are left absent\n", what, path, strerror(err));
  firmware_set_wifi_tools_present(0);
  return 0;
}

int unpack(const ArchiveSource *src) {
  char h[kBlock];
  if (source_read(src, 0, h, kBlock) != 0 || memcmp(h, "Wifi/", 6) != 0) return 0;
  struct stat st;
  if (sys_lstat("/Wifi", &st) == 0 && !S_ISDIR(st.st_mode)) sys_unlink("/Wifi");
  uint64_t at = 0;
  // Each header was read at 0 or found room for the block after its data
  // (header_read): a read that fails here is the flash failing.
  while (true) {
    if (source_read(src, at, h, kBlock) != 0) return unpack_failed("error reading the archive", "/Wifi", EIO);
    if (h[0] == 0) break;
    uint64_t size = 0;
    char type = 0;
    if (header_read(h, at, src->size, &size, &type) != 0) {
      firmware_set_wifi_tools_present(0);
      return 0;
    }
    uint64_t data = at + kBlock;
    char path[128];
    snprintf(path, sizeof path, "/%.100s", h);
    if (type == '5') {
      sys_mkdir(path, 0755);
    } else if (type == '0' || type == 0) {
      // A link left where a file goes is not followed.
      int fd = sys_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                        (int)(octal(h + 100, 8) & 0777));
      if (fd < 0) return unpack_failed("failed to open tar file for writing", path, errno);
      int rc = copy_data(src, fd, data, size);
      int err = errno;
      close(fd);
      if (rc == -1) return unpack_failed("error reading the archive", path, err);
      if (rc != 0) return unpack_failed("error writing tar data", path, err);
    }
    at = data + padded(size);
  }
  firmware_set_wifi_tools_present(1);
  return 1;
}

}  // namespace

int wifi_archive_extract(void) {
  const ArchiveSource flash = {nullptr, WIFI_ARCHIVE_MAX};
  return unpack(&flash);
}

int wifi_archive_unpack(const uint8_t *data, uint64_t size) {
  const ArchiveSource mem = {data, size};
  return unpack(&mem);
}

uint8_t *wifi_archive_read(int fd, uint64_t *size) {
  uint8_t *data;
  int rc = firmware_file_read(fd, WIFI_ARCHIVE_MAX, &data, size);
  if (rc > 0) log_printf("%s: %llu bytes is too large\n", "wifi_archive_read", (unsigned long long)*size);
  if (rc != 0) return nullptr;
  if (wifi_archive_check(data, *size) != 0) {
    log_printf("%s: the archive is refused\n", "wifi_archive_read");
    free(data);
    return nullptr;
  }
  return data;
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
    int rc = header_read(h, at, WIFI_ARCHIVE_MAX, &n, &type);
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
