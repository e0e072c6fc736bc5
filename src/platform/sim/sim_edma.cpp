// /dev/dm365mmap: the EDMA copy request (number 7), carried out line by line
// over the contiguous memory pool. The request record is 15 u32 words:
//   0 source, 1 destination (physical addresses)
//   2 source frame step, 6 destination frame step (signed)
//   4 source line step, 8 destination line step (signed; 0 repeats a line)
//  10 bytes per line, 11 lines per frame, 12 frames
//  13 line count reload and 14 sync mode: meaningless without the hardware.
// Counts are 16-bit on the engine and are refused above 0xFFFF. Every byte
// the transfer would touch must lie inside the pool, or nothing is copied.
#include <cerrno>
#include <cstring>

#include "platform/device.h"
#include "platform/framework/dmai.h"
#include "platform/sim/sim_drivers.h"

namespace {

constexpr unsigned long kRequestCopy = 7;

// Lowest and highest byte offsets a transfer touches from its start address.
void extent(int64_t line_step, int64_t frame_step, uint32_t lines, uint32_t frames,
            uint32_t bytes, int64_t *lo, int64_t *hi) {
  int64_t a = line_step * (lines - 1), b = frame_step * (frames - 1);
  *lo = (a < 0 ? a : 0) + (b < 0 ? b : 0);
  *hi = (a > 0 ? a : 0) + (b > 0 ? b : 0) + bytes - 1;
}

bool range_ok(uint32_t start, int64_t lo, int64_t hi) {
  int64_t first = (int64_t)start + lo;
  if (first < 0 || first > 0xFFFFFFFFll) return false;
  return CMEM_physValid((uint32_t)first, (size_t)(hi - lo + 1));
}

int edma_copy(const uint32_t *w) {
  uint32_t bytes = w[10], lines = w[11], frames = w[12] ? w[12] : 1;
  if (bytes > 0xFFFF || lines > 0xFFFF || frames > 0xFFFF) return -EINVAL;
  if (!bytes || !lines) return 0;
  int64_t src_line = (int32_t)w[4], dst_line = (int32_t)w[8];
  int64_t src_frame = (int32_t)w[2], dst_frame = (int32_t)w[6];
  int64_t slo, shi, dlo, dhi;
  extent(src_line, src_frame, lines, frames, bytes, &slo, &shi);
  extent(dst_line, dst_frame, lines, frames, bytes, &dlo, &dhi);
  if (!range_ok(w[0], slo, shi) || !range_ok(w[1], dlo, dhi)) return -EFAULT;
  uint8_t *src = (uint8_t *)CMEM_getVirt(w[0]);
  uint8_t *dst = (uint8_t *)CMEM_getVirt(w[1]);
  for (uint32_t f = 0; f < frames; f++)
    for (uint32_t l = 0; l < lines; l++)
      memmove(dst + dst_frame * f + dst_line * l, src + src_frame * f + src_line * l, bytes);
  return 0;
}

int edma_ioctl(SimFile *, unsigned long request, void *arg) {
  if (request != kRequestCopy) return -ENOTTY;
  if (!arg) return -EFAULT;
  uint32_t w[15];
  memcpy(w, arg, sizeof w);
  return edma_copy(w);
}

const SimDriverOps kEdmaOps = {nullptr, nullptr, nullptr, nullptr, edma_ioctl, nullptr, nullptr};

}  // namespace

void sim_edma_register(void) { sim_register("/dev/dm365mmap", &kEdmaOps, nullptr); }
