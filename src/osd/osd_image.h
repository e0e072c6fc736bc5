// Overlay images: PNG and BMP files decoded row by row, either into
// run-length data held by a slot or straight into a channel's overlay DMA
// buffer, and the blitters that draw run-length slots into frames.
//
// Run-length data: rows of `width` pixels, runs continuing across row ends.
// A run is one byte, value in the high nibble and count (1 to 15) in the low
// one, or for 16 to 271 pixels the byte value << 4 followed by count - 16.
// Value 0 is transparent in both kinds of image.
#pragma once
#include <cstddef>
#include <cstdint>

struct OverlaySlot;

// Images are refused above this many pixels on a side.
#define OSD_IMAGE_MAX_SIDE 4096
#define OSD_RLE_MAX_RUN 271

// One decoded row: width pixels of 3 (RGB) or 4 (RGBA) bytes, red first.
typedef void (*OsdRowWriter)(void *context, const uint8_t *row, uint32_t width, int bytes_per_pixel);

// Decodes a PNG held in memory (every colour type: palettes and grey are
// expanded, a tRNS chunk becomes alpha, 16-bit samples are stripped;
// interlaced images are refused). 0 when decoded, 1 when data is not a PNG
// (the caller tries BMP), -1 when it is one that cannot be decoded. The
// writer gets every row, top first; the first call tells the size through
// *width and *height (either may be NULL).
int osdPngToRows(const uint8_t *data, size_t length, void *context, OsdRowWriter writer,
                   uint32_t *width, uint32_t *height);
// The same for an uncompressed 24- or 32-bit BMP: rows are handed on as
// red, green, blue (and alpha); -1 for anything else. With blend_bg >= 0 a
// 32-bit pixel of alpha below 255 is blended with that RGB565 colour.
int bmp_load_rows(const uint8_t *data, size_t length, void *context, OsdRowWriter writer,
                   int blend_bg, uint32_t *width, uint32_t *height);

// Whether an image file will decode (PNG, else BMP): the whole file is
// decoded, its pixels dropped. 0, or -1 with the reason it is refused in
// why (size bytes): the caller logs it, the decoder logs nothing then.
int osd_image_check(const uint8_t *data, size_t length, char *why, size_t size);
// The same, with the image's size when it decodes (either may be NULL).
int osd_image_size(const uint8_t *data, size_t length, uint32_t *width, uint32_t *height, char *why, size_t size);

// The run-length encoder: a buffer of width x height bytes at the start,
// shrunk to what was used at the end.
struct OsdRle {
  uint8_t *data;
  size_t used;
  size_t capacity;
  uint32_t width, height;
  uint32_t rows;       // rows coded so far
  int value;           // the pending run
  uint32_t count;
  int type;            // 1 "RLE " (shades and luma levels) or 2 "RLEA" (levels to blend)
};

// -1 when the size is 0 or too large, or there is no memory.
int osdRleBegin(OsdRle *rle, uint32_t width, uint32_t height, int type);
void osdRleRowRGBA(OsdRle *rle, const uint8_t *row);
void osdRleRowRGB(OsdRle *rle, const uint8_t *row);
void osdRlePutRun(OsdRle *rle, int value, uint32_t count);
// Writes the last run and shrinks the buffer; the data now belongs to the
// caller (free()). Rows never delivered are left out.
void osdRleEnd(OsdRle *rle);
// Frees what the encoder holds.
void osd_rle_discard(OsdRle *rle);

// PNG or BMP into run-length data of the given type: 0, or non-zero with
// nothing held.
int osdPngToRle(const uint8_t *data, size_t length, OsdRle *rle, int type);
int bmp_load_osd(const uint8_t *data, size_t length, OsdRle *rle, int type);

// Where the DMA route's row writers put an image: a frame-shaped buffer of
// `size` bytes with the channel's geometry, the image's top-left corner at
// (x, y). row counts the rows written.
struct OsdDmaTarget {
  uint8_t *buf;
  size_t size;
  uint32_t pitch, lines;
  int layout;
  int32_t x, y;
  uint32_t row;
};
void osdPutRowNV12(void *target, const uint8_t *row, uint32_t width, int bytes_per_pixel);
void osdPutRowUYVY(void *target, const uint8_t *row, uint32_t width, int bytes_per_pixel);
void osdPutRow32(void *target, const uint8_t *row, uint32_t width, int bytes_per_pixel);
void osdPutRow16(void *target, const uint8_t *row, uint32_t width, int bytes_per_pixel);

// The colour conversion of the DMA route (8-bit RGB in).
static inline uint8_t osd_rgb_y(int r, int g, int b) { return (uint8_t)((77 * r + 150 * g + 29 * b) >> 8); }
static inline uint8_t osd_rgb_cr(int r, int g, int b) { return (uint8_t)((112 * r - 94 * g - 18 * b + 32768) >> 8); }
static inline uint8_t osd_rgb_cb(int r, int g, int b) { return (uint8_t)((-38 * r - 74 * g + 112 * b + 32768) >> 8); }

// Blitters of run-length slots (type 1 "RLE ", type 2 "RLEA"): the slot's
// runs from its top-left corner, cut at the frame's edges. The frame is
// lines x pitch bytes (plus NV12's chroma, which they never touch).
void osdBlitRleNV12(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines);
void osdBlitRleUYVY(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines);
void osdBlitRle32(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines);
void osdBlitRle16(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines);
void osdBlitRleaNV12(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines);
void osdBlitRleaUYVY(const OverlaySlot *slot, uint8_t *frame, uint32_t pitch, uint32_t lines);
