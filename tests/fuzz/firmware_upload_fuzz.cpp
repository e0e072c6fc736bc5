// The firmware upload's body as a client may send it, in pieces of any
// size, ended normally or cut, onto a memory flash. Whatever arrives, the
// request holds nothing after its close, the update ends, a refused image
// leaves a status and the flash untouched, and the kernel region holds no
// header or a valid one.
// Bytes: piece size, ending (bit 0: the client goes away), then the body.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/crc32.h"
#include "core/firmware.h"
#include "core/mtd.h"
#include "core/process_util.h"
#include "web/web_request.h"
#include "web/web_upload.h"

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
  if (size < 2) return 0;
  firmware_flash = &kMemFlash;
  memset(flash.data() + MTD_KERNEL_OFF, 0xFF, UIMAGE_HEADER_SIZE);
  touched = false;
  firmware_status_take();
  const size_t piece = 1 + data[0] % 97;
  WebRequest req;
  web_request_init(&req, nullptr, "/firmware");
  req.row = url_table_lookup("firmware");
  req.permission = 5;
  for (size_t i = 2; i < size; i += piece)
    post_firmware_func(&req, (const char *)data + i, size - i < piece ? size - i : piece);
  req.aborted = data[1] & 1;
  if (req.close_fn) req.close_fn(&req);
  if (req.upload_state) {
    fprintf(stderr, "the upload is still held after its close\n");
    abort();
  }
  // A whole image is checked on the flash thread; its last status is taken
  // as the update page would, so that a success does not wait for it.
  const char *last = nullptr;
  for (int i = 0; i < 20000 && firmware_update_in_progress(); i++) {
    if (const char *s = firmware_status_take()) last = s;
    sleep_ms(1);
  }
  if (firmware_update_in_progress()) {
    fprintf(stderr, "the update never ended\n");
    abort();
  }
  if (const char *s = firmware_status_take()) last = s;
  bool refused = last && strcmp(last, "Restarting") != 0 && strcmp(last, "Update complete, cycle power to restart") != 0;
  if (refused && touched && strcmp(last, "No update needed") != 0 && strncmp(last, "error", 5) != 0) {
    fprintf(stderr, "a refused image (%s) changed the flash\n", last);
    abort();
  }
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
  web_request_release(&req);
  return 0;
}
