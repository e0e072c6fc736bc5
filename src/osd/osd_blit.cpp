// The blitters of run-length slots: images are drawn straight from their
// runs every frame, never decoded into a buffer. One walker cuts the runs
// to the frame; each form gives what a span of pixels of one value becomes.
#include <cstring>

#include "osd/osd_image.h"
#include "osd/osd_slot.h"

namespace {

// Luma after the operation of an "RLE " value (0 leaves it).
inline uint8_t rle_op(uint8_t l, int v) {
  switch (v) {
    case 1: return (uint8_t)(l - (l >> 3));
    case 2: return (uint8_t)(l - (l >> 2));
    case 3: return (uint8_t)((l >> 1) + (l >> 3));
    case 4: return (uint8_t)(l >> 1);
    case 5: return (uint8_t)((l >> 1) - (l >> 3));
    case 6: return (uint8_t)(l >> 2);
    case 7: return 16;
    default: return v >= 8 ? (uint8_t)(43 + 28 * (v - 8)) : l;
  }
}

// Calls span(p, n, v) for every visible run of n pixels of value v != 0,
// p the first pixel's byte (bpp bytes per pixel, plus lane). Stops at the
// data's end, at width x height pixels and at the frame's last line.
template <typename Span>
void walk(const OverlaySlot *s, uint8_t *frame, uint32_t pitch, uint32_t lines, uint32_t frame_w, int bpp,
          int lane, Span span) {
  if (!s->data || !s->width || !s->height || !frame || !pitch || !lines) return;
  const uint8_t *d = s->data, *end = s->data + s->len;
  const uint32_t w = s->width, h = s->height;
  uint32_t r = 0, c = 0;  // the image row and column of the next pixel
  while (r < h && d < end) {
    int v = *d >> 4;
    uint32_t n = *d++ & 15;
    if (!n) {
      if (d >= end) return;
      n = (uint32_t)*d++ + 16;
    }
    if (!v) {
      c += n;
      if (c >= w) r += c / w, c %= w;
      continue;
    }
    // A run that crosses the end of an image row goes on at the next row.
    while (n && r < h) {
      const uint32_t k = w - c < n ? w - c : n;
      const int64_t y = (int64_t)s->y + r;
      if (y >= (int64_t)lines) return;
      if (y >= 0) {
        int64_t x0 = (int64_t)s->x + c, x1 = x0 + k;
        if (x0 < 0) x0 = 0;
        if (x1 > (int64_t)frame_w) x1 = frame_w;
        if (x0 < x1) span(frame + (size_t)y * pitch + (size_t)x0 * bpp + lane, (uint32_t)(x1 - x0), v);
      }
      n -= k;
      if ((c += k) == w) c = 0, r++;
    }
  }
}

inline uint64_t load64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
inline void store64(uint8_t *p, uint64_t v) { memcpy(p, &v, 8); }

constexpr uint64_t kLanes = 0x00FF00FF00FF00FFull;

// ((8 - a) Y + 16 v a) >> 3 in four 16-bit lanes at once: no lane can carry
// into the next (2040 + 1920 < 65536).
inline uint64_t blend_lanes(uint64_t y, uint64_t weight, uint64_t add) { return ((y * weight + add) >> 3) & kLanes; }

inline uint32_t opacity_of(const OverlaySlot *s) { return s->opacity > 8 ? 8 : s->opacity; }

// Step 1: NV12 luma; step 2: the Y bytes of UYVY (p at a Y byte, the
// chroma byte before it). Eight bytes at a time where the run allows.
template <int Step>
void blend(const OverlaySlot *s, uint8_t *frame, uint32_t pitch, uint32_t lines, uint32_t frame_w, int lane) {
  const uint32_t a = opacity_of(s);
  if (!a) return;
  walk(s, frame, pitch, lines, frame_w, Step, lane, [a](uint8_t *p, uint32_t n, int v) {
    const uint32_t add = (uint32_t)(v << 4) * a;
    const uint64_t weight = 8 - a, adds = add * 0x0001000100010001ull;
    uint32_t i = 0;
    if (Step == 1) {
      for (; i + 8 <= n; i += 8, p += 8) {
        uint64_t x = load64(p);
        store64(p, blend_lanes(x & kLanes, weight, adds) | blend_lanes(x >> 8 & kLanes, weight, adds) << 8);
      }
    } else {
      for (; i + 4 <= n; i += 4, p += 8) {
        uint64_t x = load64(p - 1);
        store64(p - 1, (x & kLanes) | blend_lanes(x >> 8 & kLanes, weight, adds) << 8);
      }
    }
    for (; i < n; i++, p += Step) *p = (uint8_t)(((8 - a) * *p + add) >> 3);
  });
}

template <int Step>
void operate(const OverlaySlot *s, uint8_t *frame, uint32_t pitch, uint32_t lines, uint32_t frame_w, int lane) {
  walk(s, frame, pitch, lines, frame_w, Step, lane, [](uint8_t *p, uint32_t n, int v) {
    if (v >= 7) {
      const uint8_t l = rle_op(0, v);
      if (Step == 1) memset(p, l, n);
      else for (uint32_t i = 0; i < n; i++, p += Step) *p = l;
      return;
    }
    for (uint32_t i = 0; i < n; i++, p += Step) *p = rle_op(*p, v);
  });
}

}  // namespace

void osdBlitRleNV12(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines) {
  operate<1>(slot, frame, pitch, lines, pitch, 0);
}

void osdBlitRleUYVY(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines) {
  operate<2>(slot, frame, pitch, lines, pitch / 2, 1);
}

void osdBlitRleaNV12(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines) {
  blend<1>(slot, frame, pitch, lines, pitch, 0);
}

void osdBlitRleaUYVY(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines) {
  blend<2>(slot, frame, pitch, lines, pitch / 2, 1);
}

void osdBlitRle32(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines) {
  walk(slot, frame, pitch, lines, pitch / 4, 4, 0, [](uint8_t *p, uint32_t n, int v) {
    for (uint32_t i = 0; i < n; i++, p += 4)
      for (int c = 0; c < 3; c++) p[c] = rle_op(p[c], v);
  });
}

void osdBlitRle16(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines) {
  walk(slot, frame, pitch, lines, pitch / 2, 2, 0, [](uint8_t *p, uint32_t n, int v) {
    for (uint32_t i = 0; i < n; i++, p += 2) {
      uint16_t w;
      memcpy(&w, p, 2);
      uint8_t r = rle_op((uint8_t)(w >> 8 & 0xF8), v), g = rle_op((uint8_t)(w >> 3 & 0xFC), v),
              b = rle_op((uint8_t)(w << 3 & 0xF8), v);
      w = (uint16_t)((r & 0xF8) << 8 | (g & 0xFC) << 3 | b >> 3);
      memcpy(p, &w, 2);
    }
  });
}
