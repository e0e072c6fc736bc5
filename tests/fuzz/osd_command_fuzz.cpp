// Overlay commands from any bytes (the web upload and the control protocol
// pass them on as received): run-length images, texts, short commands and
// image files into the slots of a small channel, composited after each one
// into a frame between guard bands; the DMA buffer has guards too.
// Bytes: layout choice, then records of u16 length, target, opacity, x and
// y (signed bytes) and the command's bytes. A target with bit 6 set changes
// the frame's size instead (lines less by x & 7, width by y & 7 pairs of
// pixels; the capture does so as viewers come and go), and the images of
// the DMA buffer are drawn again for it. Each command is checked as the web
// and the control protocol check it before it is sent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "osd/osd_command.h"
#include "osd/osd_composite.h"

namespace {

bool guards_ok(const std::vector<uint8_t> &mem, size_t size, size_t guard) {
  for (size_t i = 0; i < guard; i++)
    if (mem[i] != 0x5A || mem[guard + size + i] != 0x5A) return false;
  return true;
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static ParamBlock block;
  if (size < 1) return 0;
  static const int layouts[5] = {OSD_LAYOUT_NV12, OSD_LAYOUT_UYVY, OSD_LAYOUT_RGB32, OSD_LAYOUT_RGB16,
                                 OSD_LAYOUT_NV12_LUMA};
  const int layout = layouts[data[0] % 5];
  const uint32_t width = 24 + (data[0] >> 3), lines = 20;
  const uint32_t bpp = layout == OSD_LAYOUT_RGB32 ? 4 : layout == OSD_LAYOUT_UYVY || layout == OSD_LAYOUT_RGB16 ? 2 : 1;
  const uint32_t pitch = width * bpp;
  const size_t frame = bpp == 1 ? pitch * lines * 3 / 2 : pitch * lines, guard = 128;
  memset(&block, 0, sizeof block);
  osdInit(&block);
  std::vector<uint8_t> dma(frame + 2 * guard, 0x5A), mem(frame + 2 * guard, 0x5A);
  osdSetFormat(0, width, lines, layout, pitch);
  osdSetFormat(1, width, lines, layout, pitch);
  osdSetDMA(0, dma.data() + guard, 0, frame);
  size_t i = 1;
  while (i + 6 <= size) {
    uint32_t len = data[i] | data[i + 1] << 8;
    OverlayCommand c = {};
    c.target = data[i + 2];
    c.opacity = data[i + 3] & 15;
    c.x = (int8_t)data[i + 4];
    c.y = (int8_t)data[i + 5];
    i += 6;
    if (c.target & 0x40) {
      const uint32_t w = width - 2 * (uint32_t)(c.y & 7);
      osdSetFormat(0, w, lines - (uint32_t)(c.x & 7), layout, w * bpp);
      osdComposite(0, mem.data() + guard, 0);
      continue;
    }
    uint32_t n = len < size - i ? len : (uint32_t)(size - i);
    if (len > 4) {
      c.data = (uint8_t *)malloc(n ? n : 1);
      memcpy(c.data, data + i, n);
      c.len = n;
      i += n;
    } else {
      c.len = len;
    }
    char why[160];
    osd_command_check(&c, why, sizeof why);
    osdCommand(&c);
    osdComposite(c.target & 0x10 ? 1 : 0, mem.data() + guard, 0);
    if (!guards_ok(mem, frame, guard) || !guards_ok(dma, frame, guard)) {
      fprintf(stderr, "written outside the frame or the DMA buffer (layout %d)\n", layout);
      abort();
    }
  }
  osdSetDMA(0, nullptr, 0, 0);
  return 0;
}
