// The Wi-Fi tools archive as the flash may hold it after any update: the
// extractor writes nothing outside <root>/Wifi and reads nothing outside
// its region, whatever the headers say.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include "core/firmware.h"
#include "core/mtd.h"
#include "fuzz_root.h"

namespace {
std::vector<uint8_t> flash(MTD_SIZE, 0xFF);

int mem_read(void *buf, uint32_t off, size_t len) {
  if (off < MTD_WIFI_ARCHIVE_OFF || (uint64_t)off + len > MTD_WIFI_ARCHIVE_OFF + WIFI_ARCHIVE_MAX) abort();
  memcpy(buf, flash.data() + off, len);
  return 0;
}
int no_write(const void *, uint32_t, size_t) { abort(); }
int no_erase(uint32_t) { abort(); }
const FirmwareFlash kMemFlash = {mem_read, no_write, no_erase};
}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  const std::string &root = fuzz_root();
  firmware_flash = &kMemFlash;
  size_t n = size < WIFI_ARCHIVE_MAX ? size : WIFI_ARCHIVE_MAX;
  memset(flash.data() + MTD_WIFI_ARCHIVE_OFF, 0, 1 << 16);
  memcpy(flash.data() + MTD_WIFI_ARCHIVE_OFF, data, n);
  wifi_archive_extract();
  DIR *d = opendir(root.c_str());
  while (dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, "Wifi")) {
      fprintf(stderr, "the archive wrote %s outside /Wifi\n", e->d_name);
      abort();
    }
  }
  closedir(d);
  return 0;
}
