// The OSD bitmap run-length codec (see the header for the codes).
#include "osd/osd_bitmap_codec.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace {

enum { KEEP = 0, CLEAR = 1, PAINT = 2 };
constexpr uint32_t kShort = 64, kLong = 4160, kKeepMax = 4161 + 0x7FFFF;

inline int attr_get(const uint8_t *attr, size_t i) { return i & 1 ? attr[i / 2] & 15 : attr[i / 2] >> 4; }
inline void attr_set(uint8_t *attr, size_t i, int v) {
  uint8_t &b = attr[i / 2];
  b = i & 1 ? (uint8_t)((b & 0xF0) | v) : (uint8_t)((b & 0x0F) | v << 4);
}

size_t attr_bytes(size_t pixels) { return (pixels + 1) / 2; }

struct Writer {
  OsdBitmapEncoder *enc;
  int alpha = 7;
  bool failed = false;
  void put(uint8_t b) {
    if (failed) return;
    if (enc->length == enc->capacity) {
      uint8_t *p = (uint8_t *)realloc(enc->out, enc->capacity + 4096);
      if (!p) {
        failed = true;
        return;
      }
      enc->out = p;
      enc->capacity += 4096;
    }
    enc->out[enc->length++] = b;
  }
  // A run in the shortest form; one longer than the largest form goes out
  // as several codes.
  void run(int kind, uint32_t count, uint16_t colour, int level) {
    if (kind == PAINT && level != alpha) {
      if (!level) log_printf("alpha should not be zero\n");
      put((uint8_t)(0xF0 | level));
      alpha = level;
    }
    while (count) {
      uint32_t n;
      if (count <= kShort) {
        n = count;
        put((uint8_t)(kind << 6 | (n - 1)));
      } else if (count <= kLong || kind != KEEP) {
        n = count < kLong ? count : kLong;
        put((uint8_t)(0xC0 | kind << 4 | (n - 65) >> 8));
        put((uint8_t)(n - 65));
      } else {
        n = count < kKeepMax ? count : kKeepMax;
        put((uint8_t)(0xF8 | (n - 4161) >> 16));
        put((uint8_t)((n - 4161) >> 8));
        put((uint8_t)(n - 4161));
      }
      if (kind == PAINT) {
        put((uint8_t)colour);
        put((uint8_t)(colour >> 8));
      }
      count -= n;
    }
  }
};

inline uint16_t rgb565(uint32_t r, uint32_t g, uint32_t b) {
  return (uint16_t)((r > 31 ? 31 : r) << 11 | (g > 63 ? 63 : g) << 5 | (b > 31 ? 31 : b));
}

}  // namespace

int osd_bitmap_encoder_create(OsdBitmapEncoder *enc, uint32_t width, uint32_t height) {
  memset(enc, 0, sizeof *enc);
  size_t n = (size_t)width * height;
  enc->color = (uint16_t *)calloc(n ? n : 1, sizeof *enc->color);
  enc->attr = (uint8_t *)calloc(attr_bytes(n) ? attr_bytes(n) : 1, 1);
  if (!enc->color || !enc->attr) {
    osd_bitmap_encoder_delete(enc);
    return -1;
  }
  enc->width = width;
  enc->height = height;
  return 0;
}

void osd_bitmap_encoder_delete(OsdBitmapEncoder *enc) {
  free(enc->color);
  free(enc->attr);
  free(enc->out);
  memset(enc, 0, sizeof *enc);
}

int osd_bitmap_encode(OsdBitmapEncoder *enc, const uint32_t *argb) {
  Writer w{enc};
  enc->length = 0;
  const size_t n = (size_t)enc->width * enc->height;
  int kind = -1, run_level = 0;
  uint16_t run_colour = 0;
  uint32_t count = 0;
  for (size_t i = 0; i < n; i++) {
    uint32_t p = argb[i], a = p >> 24, r = p >> 16 & 255, g = p >> 8 & 255, b = p & 255;
    int level = (int)(a >> 5);
    uint16_t colour = a == 255 ? (uint16_t)((r & 0xF8) << 8 | (g & 0xFC) << 3 | b >> 3)
                      : level ? rgb565(r * 31 / a, g * 63 / a, b * 31 / a)
                              : 0;
    int k;
    if (level == attr_get(enc->attr, i) && (!level || colour == enc->color[i])) {
      k = KEEP;
    } else if (!level) {
      attr_set(enc->attr, i, 0);
      k = CLEAR;
    } else {
      attr_set(enc->attr, i, level);
      enc->color[i] = colour;
      k = PAINT;
    }
    if (k == kind && (k != PAINT || (colour == run_colour && level == run_level))) {
      count++;
      continue;
    }
    if (count) w.run(kind, count, run_colour, run_level);
    kind = k;
    count = 1;
    run_colour = colour;
    run_level = level;
  }
  if (count) w.run(kind, count, run_colour, run_level);
  w.put(0xF0);
  return w.failed ? -1 : 0;
}

void osd_bitmap_decoder_init(OsdBitmapDecoder *dec, uint16_t *color, uint8_t *attr, size_t pixels) {
  memset(dec, 0, sizeof *dec);
  dec->color = color;
  dec->attr = attr;
  dec->pixels = pixels;
  dec->alpha = 7;
}

size_t osd_bitmap_decode(OsdBitmapDecoder *dec, const uint8_t *data, size_t length) {
  size_t i = 0;
  while (i < length && !dec->ended) {
    const uint8_t b = data[i];
    size_t need = 1;
    uint32_t count = 0;
    int kind;
    if (b < 0xC0) {
      kind = b >> 6;
      count = (b & 63) + 1u;
    } else if (b < 0xF0) {
      kind = (b >> 4) & 3;
      need = 2;
      if (i + need > length) break;
      count = 65 + ((b & 15u) << 8 | data[i + 1]);
    } else if (b == 0xF0) {
      dec->ended = 1;
      i++;
      break;
    } else if (b < 0xF8) {
      dec->alpha = b & 7;
      i++;
      continue;
    } else {
      kind = KEEP;
      need = 3;
      if (i + need > length) break;
      count = 4161 + ((b & 7u) << 16 | (uint32_t)data[i + 1] << 8 | data[i + 2]);
    }
    uint16_t colour = 0;
    if (kind == PAINT) {
      if (i + need + 2 > length) break;
      colour = (uint16_t)(data[i + need] | data[i + need + 1] << 8);
      need += 2;
    }
    i += need;
    size_t end = dec->pos + count < dec->pixels ? dec->pos + count : dec->pixels;
    for (size_t p = dec->pos; p < end; p++) {
      if (kind == CLEAR) {
        attr_set(dec->attr, p, 0);
      } else if (kind == PAINT) {
        dec->color[p] = colour;
        attr_set(dec->attr, p, dec->alpha);
      }
    }
    dec->pos = end;
  }
  return i;
}

int osd_bitmap_check(const OsdBitmapEncoder *enc, const uint16_t *color_before, const uint8_t *attr_before) {
  const size_t n = (size_t)enc->width * enc->height;
  uint16_t *color = (uint16_t *)malloc((n ? n : 1) * sizeof *color);
  uint8_t *attr = (uint8_t *)malloc(attr_bytes(n) ? attr_bytes(n) : 1);
  int rc = -1;
  if (color && attr) {
    if (color_before) memcpy(color, color_before, n * sizeof *color);
    else memset(color, 0, n * sizeof *color);
    if (attr_before) memcpy(attr, attr_before, attr_bytes(n));
    else memset(attr, 0, attr_bytes(n));
    OsdBitmapDecoder dec;
    osd_bitmap_decoder_init(&dec, color, attr, n);
    osd_bitmap_decode(&dec, enc->out, enc->length);
    rc = 0;
    if (memcmp(color, enc->color, n * sizeof *color) != 0) {
      log_printf("color buffer check failed\n");
      rc = -1;
    }
    if (memcmp(attr, enc->attr, attr_bytes(n)) != 0) {
      log_printf("attr buffer check failed\n");
      rc = -1;
    }
  }
  free(color);
  free(attr);
  return rc;
}
