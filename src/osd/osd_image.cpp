// PNG and BMP decoding from memory, the run-length encoder and the row
// writers of the DMA route. Decoding runs on the Worker between frame
// composites, so every decoder yields the processor every 32 rows.
#include "osd/osd_image.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <png.h>
#include <sched.h>

#include "core/log.h"
#include "osd/osd_channel.h"

namespace {

constexpr int kYieldRows = 32;

uint32_t le16(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }

// ---- PNG ----

struct PngSource {
  const uint8_t *data;
  size_t left;
};

void png_read_mem(png_structp png, png_bytep out, png_size_t n) {
  PngSource *src = (PngSource *)png_get_io_ptr(png);
  // A file that ends early is an error, never uninitialised rows.
  if (n > src->left) png_error(png, "read past the end of the data");
  memcpy(out, src->data, n);
  src->data += n;
  src->left -= n;
}

// Where a decode's reason for refusing a file goes (buf may be NULL); its
// caller logs it, so the decoder's own lines are left out. libpng warns of
// what it found (a side past the limit) before it fails with a general
// error: the warning is kept to say both.
struct Reason {
  char *buf;
  size_t size;
  char warning[96];
};

bool told(const Reason *r) { return r && r->buf && r->size; }

void reason_set(Reason *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void reason_set(Reason *r, const char *fmt, ...) {
  if (!r || !r->buf || !r->size) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(r->buf, r->size, fmt, ap);
  va_end(ap);
}

void png_on_warning(png_structp png, png_const_charp msg) {
  Reason *r = (Reason *)png_get_error_ptr(png);
  if (!told(r)) log_printf("png warning: %s\n", msg);
  if (r) snprintf(r->warning, sizeof r->warning, "%s", msg);
}

void png_on_error(png_structp png, png_const_charp msg) {
  Reason *r = (Reason *)png_get_error_ptr(png);
  if (!told(r)) log_printf("png error: %s\n", msg);
  if (r && r->warning[0]) reason_set(r, "the PNG image cannot be read: %s (%s)", msg, r->warning);
  else reason_set(r, "the PNG image cannot be read: %s", msg);
  png_longjmp(png, 1);
}

// Reads the header and sets up the transformations that make every colour
// type rows of 8-bit RGB or RGBA: palettes and grey expanded (a tRNS chunk
// becomes alpha), 16-bit samples stripped. The bytes per pixel of the rows,
// or -1 for an image that is refused.
int png_header(png_structp png, png_infop info, uint32_t *out_w, uint32_t *out_h, Reason *why) {
  png_uint_32 w, h;
  int depth, colour, interlace;
  png_read_info(png, info);
  png_get_IHDR(png, info, &w, &h, &depth, &colour, &interlace, nullptr, nullptr);
  // Rows are handed on as they are read: the passes of an interlaced image
  // would need the whole picture held.
  if (interlace != PNG_INTERLACE_NONE) {
    if (!told(why))
      log_printf("unsupported png width=%d height=%d bitDepth=%d colorType=%d\n", (int)w, (int)h, depth, colour);
    reason_set(why, "interlaced PNG images are not supported");
    return -1;
  }
  if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (!(colour & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
  if (depth == 16) png_set_strip_16(png);
  png_read_update_info(png, info);
  const int bpp = png_get_channels(png, info);
  if ((bpp != 3 && bpp != 4) || png_get_bit_depth(png, info) != 8 || png_get_rowbytes(png, info) != (size_t)w * bpp) {
    if (!told(why))
      log_printf("unsupported png width=%d height=%d bitDepth=%d colorType=%d\n", (int)w, (int)h, depth, colour);
    reason_set(why, "unsupported PNG image (bit depth %d, colour type %d)", depth, colour);
    return -1;
  }
  if (out_w) *out_w = w;
  if (out_h) *out_h = h;
  return bpp;
}

// ---- BMP ----

struct BmpInfo {
  uint32_t width, height;
  int bpp;              // bytes per pixel
  uint64_t stride;      // stored row length, padded to 4 bytes
  const uint8_t *pixels;
};

int bmp_parse(const uint8_t *d, size_t len, BmpInfo *b) {
  if (len < 52 || d[0] != 'B' || d[1] != 'M') return -1;
  uint32_t offset = le32(d + 10);
  int32_t w = (int32_t)le32(d + 18), h = (int32_t)le32(d + 22);
  uint32_t planes = le16(d + 26), bits = le16(d + 28), compression = le32(d + 30);
  if (planes != 1 || compression != 0 || (bits != 24 && bits != 32)) return -1;
  // Top-down images (negative height) are refused like the rest.
  if (w <= 0 || h <= 0 || w > OSD_IMAGE_MAX_SIDE || h > OSD_IMAGE_MAX_SIDE) return -1;
  b->width = (uint32_t)w;
  b->height = (uint32_t)h;
  b->bpp = (int)bits / 8;
  b->stride = ((uint64_t)b->width * b->bpp + 3) & ~(uint64_t)3;
  if ((uint64_t)offset + b->stride * b->height > len) return -1;
  b->pixels = d + offset;
  return 0;
}

// ---- run-length coding ----

inline int luma16(const uint8_t *p) { return (19595 * p[0] + 38469 * p[1] + 7471 * p[2]) >> 16; }

inline void rle_pixel(OsdRle *r, int value) {
  if (value == r->value && r->count < OSD_RLE_MAX_RUN) {
    r->count++;
    return;
  }
  if (r->count) osdRlePutRun(r, r->value, r->count);
  r->value = value;
  r->count = 1;
}

bool rle_row_open(OsdRle *r) { return r->data && r->rows < r->height; }

void rle_writer(void *ctx, const uint8_t *row, uint32_t width, int bpp) {
  OsdRle *r = (OsdRle *)ctx;
  if (width != r->width) return;
  if (bpp == 4) osdRleRowRGBA(r, row);
  else osdRleRowRGB(r, row);
}

// ---- DMA route ----

// The columns [first, end) of the image that land in the frame, and the
// frame line of the current row; false when the row is off the frame or
// its bytes would pass the end of the buffer.
bool dma_row(OsdDmaTarget *t, uint32_t width, uint32_t frame_width, int bpp, uint32_t *first, uint32_t *end,
             uint32_t *line) {
  int64_t y = (int64_t)t->y + t->row++;
  if (y < 0 || y >= (int64_t)t->lines) return false;
  int64_t a = t->x < 0 ? -(int64_t)t->x : 0;
  int64_t b = (int64_t)frame_width - t->x;
  if (b > (int64_t)width) b = width;
  if (a >= b) return false;
  uint64_t last = (uint64_t)y * t->pitch + (uint64_t)(t->x + b) * bpp;
  if (last > t->size) return false;
  *first = (uint32_t)a;
  *end = (uint32_t)b;
  *line = (uint32_t)y;
  return true;
}

int png_rows(const uint8_t *data, size_t length, void *context, OsdRowWriter writer, uint32_t *width,
             uint32_t *height, Reason *why) {
  if (!data || length < 8 || png_sig_cmp((png_const_bytep)data, 0, 8) != 0) return 1;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, why, png_on_error, png_on_warning);
  if (!png) return -1;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return -1;
  }
  PngSource src = {data, length};
  png_set_read_fn(png, &src, png_read_mem);
  // Refused before anything of their size is allocated.
  png_set_user_limits(png, OSD_IMAGE_MAX_SIDE, OSD_IMAGE_MAX_SIDE);
  // Every chunk but the header, the palette, the pixels and tRNS is skipped
  // unread: libpng would take a buffer of whatever length a text or profile
  // chunk declares (a warning, not a refusal, when it is over its limit).
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  uint8_t *volatile row = nullptr;
  volatile int rc = -1;
  if (setjmp(png_jmpbuf(png)) == 0) {
    uint32_t w = 0, h = 0;
    int bpp = png_header(png, info, &w, &h, why);
    if (bpp > 0) {
      row = (uint8_t *)malloc((size_t)w * bpp);
      if (!row) reason_set(why, "no memory to decode the image");
      if (row) {
        if (width) *width = w;
        if (height) *height = h;
        for (uint32_t y = 0; y < h; y++) {
          png_read_row(png, row, nullptr);
          writer(context, row, w, bpp);
          if (y % kYieldRows == kYieldRows - 1) sched_yield();
        }
        rc = 0;
      }
    }
  }
  free(row);
  png_destroy_read_struct(&png, &info, nullptr);
  return rc;
}

void count_rows(void *ctx, const uint8_t *, uint32_t, int) { ++*(uint32_t *)ctx; }

}  // namespace

int osdPngToRows(const uint8_t *data, size_t length, void *context, OsdRowWriter writer, uint32_t *width,
                 uint32_t *height) {
  return png_rows(data, length, context, writer, width, height, nullptr);
}

int bmp_load_rows(const uint8_t *data, size_t length, void *context, OsdRowWriter writer, int blend_bg,
                  uint32_t *width, uint32_t *height) {
  BmpInfo b;
  if (!data || bmp_parse(data, length, &b) != 0) return -1;
  uint8_t *row = (uint8_t *)malloc((size_t)b.width * b.bpp);
  if (!row) return -1;
  if (width) *width = b.width;
  if (height) *height = b.height;
  const int bg_r = (blend_bg & 0xF800) >> 8, bg_g = (blend_bg & 0x3E0) >> 2, bg_b = ((unsigned)blend_bg << 3) & 0xFF;
  for (uint32_t y = 0; y < b.height; y++) {
    // The top row is the last one stored.
    const uint8_t *s = b.pixels + (uint64_t)(b.height - 1 - y) * b.stride;
    uint8_t *d = row;
    for (uint32_t x = 0; x < b.width; x++, s += b.bpp, d += b.bpp) {
      int r = s[2], g = s[1], bl = s[0];
      if (b.bpp == 4) {
        int a = s[3];
        if (blend_bg >= 0 && a < 255) {
          r = (a * r + (255 - a) * bg_r) >> 8;
          g = (a * g + (255 - a) * bg_g) >> 8;
          bl = (a * bl + (255 - a) * bg_b) >> 8;
        }
        d[3] = (uint8_t)a;
      }
      d[0] = (uint8_t)r;
      d[1] = (uint8_t)g;
      d[2] = (uint8_t)bl;
    }
    writer(context, row, b.width, b.bpp);
    if (y % kYieldRows == kYieldRows - 1) sched_yield();
  }
  free(row);
  return 0;
}

int osdRleBegin(OsdRle *rle, uint32_t width, uint32_t height, int type) {
  memset(rle, 0, sizeof *rle);
  if (!width || !height || width > OSD_IMAGE_MAX_SIDE || height > OSD_IMAGE_MAX_SIDE) return -1;
  // A run never takes more bytes than pixels.
  rle->capacity = (size_t)width * height;
  rle->data = (uint8_t *)malloc(rle->capacity);
  if (!rle->data) return -1;
  rle->width = width;
  rle->height = height;
  rle->type = type;
  return 0;
}

void osdRleRowRGBA(OsdRle *rle, const uint8_t *row) {
  if (!rle_row_open(rle)) return;
  for (uint32_t x = 0; x < rle->width; x++, row += 4) {
    int a = row[3], l = luma16(row), v;
    if (rle->type == 2) v = a < 17 ? 0 : (l >> 4 ? l >> 4 : 1);
    else v = (a == 0 || l < 32) ? a >> 5 : 8 + (l >> 5);
    rle_pixel(rle, v);
  }
  rle->rows++;
}

void osdRleRowRGB(OsdRle *rle, const uint8_t *row) {
  if (!rle_row_open(rle)) return;
  for (uint32_t x = 0; x < rle->width; x++, row += 3) {
    int l = luma16(row);
    // An opaque pixel: a luma level to blend, or a luma-level operation.
    rle_pixel(rle, rle->type == 2 ? (l >> 4 ? l >> 4 : 1) : 8 + (l >> 5));
  }
  rle->rows++;
}

void osdRlePutRun(OsdRle *rle, int value, uint32_t count) {
  while (count) {
    uint32_t n = count > OSD_RLE_MAX_RUN ? OSD_RLE_MAX_RUN : count;
    count -= n;
    if (n < 16) {
      if (rle->used + 1 > rle->capacity) return;
      rle->data[rle->used++] = (uint8_t)(value << 4 | n);
    } else {
      if (rle->used + 2 > rle->capacity) return;
      rle->data[rle->used++] = (uint8_t)(value << 4);
      rle->data[rle->used++] = (uint8_t)(n - 16);
    }
  }
}

void osdRleEnd(OsdRle *rle) {
  if (!rle->data) return;
  if (rle->count) osdRlePutRun(rle, rle->value, rle->count);
  rle->count = 0;
  if (rle->rows < rle->height) rle->height = rle->rows;
  if (rle->used && rle->used < rle->capacity) {
    if (uint8_t *p = (uint8_t *)realloc(rle->data, rle->used)) rle->data = p;
  }
  rle->capacity = rle->used;
}

void osd_rle_discard(OsdRle *rle) {
  free(rle->data);
  memset(rle, 0, sizeof *rle);
}

namespace {

// The decoders tell the size (through the pointers given) before the first
// row: the encoder begins when that row arrives.
struct RleStart {
  OsdRle *rle;
  int type;
  uint32_t w, h;
  bool failed;
};

void rle_start_writer(void *ctx, const uint8_t *row, uint32_t width, int bpp) {
  RleStart *s = (RleStart *)ctx;
  if (s->failed) return;
  if (!s->rle->data && osdRleBegin(s->rle, width, s->h, s->type) != 0) {
    s->failed = true;
    return;
  }
  rle_writer(s->rle, row, width, bpp);
}

int rle_finish(RleStart *s, int rc) {
  if (rc != 0 || s->failed || !s->rle->data) {
    osd_rle_discard(s->rle);
    return rc ? rc : -1;
  }
  osdRleEnd(s->rle);
  return 0;
}

}  // namespace

int osdPngToRle(const uint8_t *data, size_t length, OsdRle *rle, int type) {
  memset(rle, 0, sizeof *rle);
  RleStart s = {rle, type, 0, 0, false};
  return rle_finish(&s, osdPngToRows(data, length, &s, rle_start_writer, &s.w, &s.h));
}

int bmp_load_osd(const uint8_t *data, size_t length, OsdRle *rle, int type) {
  memset(rle, 0, sizeof *rle);
  RleStart s = {rle, type, 0, 0, false};
  return rle_finish(&s, bmp_load_rows(data, length, &s, rle_start_writer, -1, &s.w, &s.h));
}

void osdPutRowNV12(void *target, const uint8_t *row, uint32_t width, int bpp) {
  OsdDmaTarget *t = (OsdDmaTarget *)target;
  uint32_t a, b, line;
  if (!dma_row(t, width, t->pitch, 1, &a, &b, &line)) return;
  uint8_t *luma = t->buf + (size_t)line * t->pitch;
  uint8_t *chroma = nullptr;
  if (!(line & 1)) {
    size_t off = (size_t)t->pitch * (t->lines + line / 2);
    if (off + (size_t)(t->x + (int64_t)b) <= t->size) chroma = t->buf + off;
  }
  for (uint32_t i = a; i < b; i++) {
    const uint8_t *p = row + (size_t)i * bpp;
    int32_t col = t->x + (int32_t)i;
    luma[col] = osd_rgb_y(p[0], p[1], p[2]);
    if (chroma) chroma[col] = col & 1 ? osd_rgb_cr(p[0], p[1], p[2]) : osd_rgb_cb(p[0], p[1], p[2]);
  }
}

void osdPutRowUYVY(void *target, const uint8_t *row, uint32_t width, int bpp) {
  OsdDmaTarget *t = (OsdDmaTarget *)target;
  uint32_t a, b, line;
  if (!dma_row(t, width, t->pitch / 2, 2, &a, &b, &line)) return;
  uint8_t *d = t->buf + (size_t)line * t->pitch;
  for (uint32_t i = a; i < b; i++) {
    const uint8_t *p = row + (size_t)i * bpp;
    int32_t col = t->x + (int32_t)i;
    d[2 * col] = col & 1 ? osd_rgb_cr(p[0], p[1], p[2]) : osd_rgb_cb(p[0], p[1], p[2]);
    d[2 * col + 1] = osd_rgb_y(p[0], p[1], p[2]);
  }
}

void osdPutRow32(void *target, const uint8_t *row, uint32_t width, int bpp) {
  OsdDmaTarget *t = (OsdDmaTarget *)target;
  uint32_t a, b, line;
  if (!dma_row(t, width, t->pitch / 4, 4, &a, &b, &line)) return;
  uint8_t *d = t->buf + (size_t)line * t->pitch;
  for (uint32_t i = a; i < b; i++) memcpy(d + 4 * (size_t)(t->x + (int32_t)i), row + (size_t)i * bpp, 3);
}

void osdPutRow16(void *target, const uint8_t *row, uint32_t width, int bpp) {
  OsdDmaTarget *t = (OsdDmaTarget *)target;
  uint32_t a, b, line;
  if (!dma_row(t, width, t->pitch / 2, 2, &a, &b, &line)) return;
  uint8_t *d = t->buf + (size_t)line * t->pitch;
  for (uint32_t i = a; i < b; i++) {
    const uint8_t *p = row + (size_t)i * bpp;
    uint16_t v = (uint16_t)((p[0] & 0xF8) << 8 | (p[1] & 0xFC) << 3 | p[2] >> 3);
    memcpy(d + 2 * (size_t)(t->x + (int32_t)i), &v, 2);
  }
}

int osd_image_check(const uint8_t *data, size_t length, char *why, size_t size) {
  return osd_image_size(data, length, nullptr, nullptr, why, size);
}

int osd_image_size(const uint8_t *data, size_t length, uint32_t *width, uint32_t *height, char *why, size_t size) {
  Reason r = {why, size, ""};
  if (why && size) why[0] = 0;
  uint32_t rows = 0, w = 0, h = 0;
  int rc = png_rows(data, length, &rows, count_rows, &w, &h, &r);
  if (rc == 1) {
    if (length < 2 || data[0] != 'B' || data[1] != 'M') {
      reason_set(&r, "not a PNG or BMP image");
      return -1;
    }
    rc = bmp_load_rows(data, length, &rows, count_rows, -1, &w, &h);
    if (rc != 0) {
      reason_set(&r, "unsupported BMP image (uncompressed 24 or 32 bits, bottom-up, at most %d pixels a side)",
                 OSD_IMAGE_MAX_SIDE);
      return -1;
    }
  }
  if (rc == 0 && rows == h && w) {
    if (width) *width = w;
    if (height) *height = h;
    return 0;
  }
  if (why && size && !why[0]) reason_set(&r, "the image cannot be decoded");
  return -1;
}
