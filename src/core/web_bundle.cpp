// The custom web bundle: a zip of pages kept in the last flash block and
// unpacked over the web root at every start.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/firmware.h"
#include "core/log.h"
#include "core/mtd.h"
#include "platform/host_root.h"
#include "platform/runner.h"

namespace {

int g_size = -1;

uint32_t le32(const uint8_t *p) {
  return (uint32_t)p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

int write_file(const char *path, const void *data, size_t len) {
  int fd = sys_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  bool ok = write(fd, data, len) == (ssize_t)len;
  close(fd);
  return ok ? 0 : -1;
}

}  // namespace

int customzip_load(void) {
  uint8_t field[4];
  if (firmware_flash->read(field, MTD_WEBBUNDLE_OFF, sizeof field) != 0) return -1;
  int32_t len = (int32_t)le32(field);
  if (len < 1) return 0;
  if ((uint32_t)len > CUSTOMZIP_BLOCK_MAX) return -1;
  uint8_t *zip = (uint8_t *)malloc((size_t)len);
  if (!zip) {
    log_printf("customzip_load failed to allocate memory size=%d\n", len);
    return -1;
  }
  int rc = firmware_flash->read(zip, MTD_WEBBUNDLE_OFF + 4, (size_t)len) == 0 ? 0 : -1;
  if (rc == 0) rc = write_file("/custom.zip", zip, (size_t)len);
  free(zip);
  log_printf("customzip size=%d rc=%d\n", len, rc);
  if (rc != 0) {
    log_printf("customzip failed to open file\n");
    return -1;
  }
  g_size = len;
  static char listing[64 * 1024];
  const char *const list[] = {"unzip", "-l", "/custom.zip", nullptr};
  int status = run_argv_output(list, listing, sizeof listing);
  write_file("/usr/html/customzip.txt", listing, strlen(listing));
  const char *const unpack[] = {"unzip", "-o", "/custom.zip", "-d", "/usr/html", nullptr};
  run_argv(unpack);
  sys_unlink("/custom.zip");
  return status;
}

int customzip_clear(void) {
  firmware_flash->erase(MTD_WEBBUNDLE_OFF);
  sys_unlink("/usr/html/customzip.txt");
  sys_unlink("/usr/html/config.txt");
  g_size = -1;
  return 0;
}

int customzip_save(const uint8_t *block, uint32_t size) {
  if (size > CUSTOMZIP_BLOCK_MAX || size < 4 || le32(block) != size - 4) {
    log_printf("%s: size is invalid %u != %u\n", "customzip_save", size >= 4 ? le32(block) : 0,
               size >= 4 ? size - 4 : 0);
    return -1;
  }
  customzip_clear();
  log_printf("%s: size=%u\n", "customzip_save", size);
  if (firmware_flash->write(block, MTD_WEBBUNDLE_OFF, size) != 0) return -1;
  return customzip_load();
}

int customzip_save_file(const char *path) {
  int fd = sys_open(path, O_RDONLY);
  if (fd < 0) return 3;
  uint8_t *block = (uint8_t *)malloc(CUSTOMZIP_BLOCK_MAX);
  ssize_t n = block ? read(fd, block + 4, CUSTOMZIP_BLOCK_MAX - 4) : -1;
  close(fd);
  int rc;
  if (n < 0) {
    rc = 3;
  } else if ((size_t)n >= CUSTOMZIP_BLOCK_MAX - 4) {
    rc = 2;
  } else {
    sys_unlink("/usr/html/config.txt");
    if (n == 0) {
      customzip_clear();
      rc = 1;
    } else {
      uint32_t len = (uint32_t)n;
      block[0] = len; block[1] = len >> 8; block[2] = len >> 16; block[3] = len >> 24;
      rc = customzip_save(block, len + 4) < 0 ? 3 : 0;
    }
  }
  free(block);
  return rc;
}

int customzip_size(void) { return g_size; }
