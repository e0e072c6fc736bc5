// Frames for the overlay tests: a frame in the middle of a larger buffer whose
// bytes on either side hold a guard pattern, a coloured picture to draw on,
// and channel set-up through the public calls.
#pragma once
#include <gtest/gtest.h>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/time.h>
#include <vector>

#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "osd/osd_composite.h"
#include "osd/osd_font.h"

struct GuardedFrame {
  static constexpr size_t kGuard = 4096;
  static constexpr uint8_t kPattern = 0xA5;
  std::vector<uint8_t> mem;
  size_t size;
  explicit GuardedFrame(size_t frame_size) : mem(frame_size + 2 * kGuard, kPattern), size(frame_size) {}
  uint8_t *frame() { return mem.data() + kGuard; }
  const uint8_t *frame() const { return mem.data() + kGuard; }
  // The first guard byte that changed, or -1.
  long guard_damage() const {
    for (size_t i = 0; i < kGuard; i++) {
      if (mem[i] != kPattern) return (long)i;
      if (mem[kGuard + size + i] != kPattern) return (long)(kGuard + size + i);
    }
    return -1;
  }
};

// Bytes of a frame: NV12 carries lines/2 chroma lines after the luma plane.
inline size_t osd_test_frame_size(uint32_t pitch, uint32_t lines, int layout) {
  return layout == OSD_LAYOUT_UYVY ? (size_t)pitch * lines : (size_t)pitch * lines * 3 / 2;
}

// A luma ramp under a reddish colour (U 90, V 200), so that the styles that
// keep, halve or recolour the picture all show.
inline void osd_test_fill_picture(uint8_t *f, uint32_t pitch, uint32_t lines, int layout) {
  for (uint32_t y = 0; y < lines; y++) {
    for (uint32_t b = 0; b < pitch; b++) {
      if (layout == OSD_LAYOUT_UYVY) {
        uint32_t x = b / 2;
        f[y * pitch + b] = (b & 1) ? (uint8_t)(40 + (x * 3 + y * 5) % 160) : (b & 2) ? 200 : 90;
      } else {
        f[y * pitch + b] = (uint8_t)(40 + (b * 3 + y * 5) % 160);
      }
    }
  }
  if (layout != OSD_LAYOUT_UYVY)
    for (size_t i = 0; i < (size_t)pitch * (lines / 2); i++) f[(size_t)pitch * lines + i] = (i % pitch & 1) ? 200 : 90;
}

// Channel 0 on block with the given frame and text configuration.
inline void osd_test_setup(ParamBlock *block, uint32_t pitch, uint32_t lines, int layout, int font, int style,
                           int32_t x, int32_t y, const char *message = "") {
  memset(block, 0, sizeof *block);
  osdInit(block);
  OsdTextConfig &c = block->video[0].osd;
  c.enabled = (uint8_t)font;
  c.transparent = (uint8_t)style;
  c.x = (uint32_t)x;
  c.y = (uint32_t)y;
  memset(c.message, 0, sizeof c.message);
  memcpy(c.message, message, strnlen(message, sizeof c.message));
  osdSetFormat(0, layout == OSD_LAYOUT_UYVY ? pitch / 2 : pitch, lines, layout, pitch);
  osdSetConfig(0, &c);
}

// The wall-clock moment of a local date and time.
inline struct timeval osd_test_local_moment(int year, int mon, int day, int h, int m, int s, long usec = 0) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  struct timeval tv = {mktime(&tm), (suseconds_t)usec};
  return tv;
}
