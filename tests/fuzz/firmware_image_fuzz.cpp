// The flash thread's walk over a received image, on a memory flash: a
// uImage, or a tar of "m7391.fw" and "wifi_archive.tar", or anything else.
// Nothing is read outside the bytes received, a file that is refused
// changes no flash region, and whatever happens the kernel region holds no
// header, or a valid one over the data written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/crc32.h"
#include "core/firmware.h"
#include "core/mtd.h"

namespace {
std::vector<uint8_t> flash(MTD_SIZE, 0xFF);
bool touched;   // a write or an erase reached the flash

int mem_read(void *buf, uint32_t off, size_t len) {
  if ((uint64_t)off + len > flash.size()) return -1;
  memcpy(buf, flash.data() + off, len);
  return 0;
}
int mem_write(const void *buf, uint32_t off, size_t len) {
  if ((uint64_t)off + len > flash.size()) abort();
  touched = true;
  memcpy(flash.data() + off, buf, len);
  return 0;
}
int mem_erase(uint32_t off) {
  if (off >= flash.size()) abort();
  touched = true;
  memset(flash.data() + (off & ~(MTD_ERASE_BLOCK - 1)), 0xFF, MTD_ERASE_BLOCK);
  return 0;
}
const FirmwareFlash kMemFlash = {mem_read, mem_write, mem_erase};

uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  firmware_flash = &kMemFlash;
  memset(flash.data() + MTD_KERNEL_OFF, 0xFF, UIMAGE_HEADER_SIZE);
  // An exact copy of the input, so that a read past its end is caught.
  uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
  if (size) memcpy(copy, data, size);
  firmware_set_wifi_tools_present(size && (data[0] & 1));
  touched = false;
  // This flash never fails: a refused file is refused before any erase.
  if (firmware_flash_image(copy, size) != 0 && touched) {
    fprintf(stderr, "a refused file changed the flash\n");
    abort();
  }
  firmware_image_kind(copy, size);
  free(copy);
  const uint8_t *h = flash.data() + MTD_KERNEL_OFF;
  uint8_t erased[UIMAGE_HEADER_SIZE];
  memset(erased, 0xFF, sizeof erased);
  if (memcmp(h, erased, sizeof erased) != 0) {
    uint8_t hc[UIMAGE_HEADER_SIZE];
    memcpy(hc, h, sizeof hc);
    memset(hc + 4, 0, 4);
    uint32_t len = be32(h + 12);
    if (be32(h) != UIMAGE_MAGIC || crc32_progress(hc, sizeof hc, nullptr) != be32(h + 4) ||
        len > MTD_KERNEL_MAX - UIMAGE_HEADER_SIZE ||
        crc32_progress(h + UIMAGE_HEADER_SIZE, len, nullptr) != be32(h + 24)) {
      fprintf(stderr, "the kernel region holds a header that is not valid\n");
      abort();
    }
  }
  return 0;
}
