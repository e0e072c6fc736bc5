// Overlay text: a configuration and a message from any bytes (the web form,
// the control protocol and the "TEXT" command all reach it), composited into
// a frame of any small geometry. Nothing may be written outside the frame.
// Bytes: layout, font, style, date and time formats, width, lines, x and y
// (16 bits each, little endian), then up to 160 message bytes, NUL or not.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "osd/osd_composite.h"

int fuzz_one(const uint8_t *data, size_t size) {
  static ParamBlock block;
  if (size < 12) return 0;
  int layout = data[0] & 1 ? OSD_LAYOUT_UYVY : OSD_LAYOUT_NV12;
  uint32_t width = 1 + (data[5] | (data[6] & 1) << 8);
  uint32_t lines = 2 + ((data[7] | (data[8] & 1) << 8) & ~1u);
  int16_t x = (int16_t)(data[9] | data[10] << 8), y = (int16_t)(data[11] | (size > 12 ? data[12] : 0) << 8);
  uint32_t pitch = layout == OSD_LAYOUT_UYVY ? 2 * width : width;
  size_t frame_size = layout == OSD_LAYOUT_UYVY ? pitch * lines : pitch * lines * 3 / 2;

  memset(&block, 0, sizeof block);
  osdInit(&block);
  OsdTextConfig &c = block.video[0].osd;
  c.enabled = data[1];
  c.transparent = data[2];
  c.date_format = data[3];
  c.time_format = data[4];
  c.x = (uint32_t)(int32_t)x;
  c.y = (uint32_t)(int32_t)y;
  if (size > 13) memcpy(c.message, data + 13, size - 13 < 160 ? size - 13 : 160);
  osdSetFormat(0, width, lines, layout, pitch);
  osdSetConfig(0, &c);

  const size_t guard = 256;
  std::vector<uint8_t> mem(frame_size + 2 * guard, 0x5A);
  osdComposite(0, mem.data() + guard, 0);
  osdDrawText(0, mem.data() + guard, c.message[0] ? "No video lock" : "\n\nx");
  for (size_t i = 0; i < guard; i++) {
    if (mem[i] != 0x5A || mem[guard + frame_size + i] != 0x5A) {
      fprintf(stderr, "write outside the frame (%ux%u layout %d font %d at %d,%d)\n", width, lines, layout,
              c.enabled, x, y);
      abort();
    }
  }
  return 0;
}
