// A delta run-length codec for pictures of the framebuffer OSD: a colour
// plane of RGB565 pixels and an attribute plane of 4-bit alpha levels (two
// pixels per byte, the even pixel in the high nibble). The encoder turns a
// 32-bit ARGB image into runs relative to the planes' current contents and
// brings the planes up to date; the decoder applies such a stream to planes.
//
// Codes (one byte, then its extra bytes):
//   0x00-0x3F  keep (b & 63) + 1 pixels
//   0x40-0x7F  (b & 63) + 1 pixels transparent (attribute 0)
//   0x80-0xBF  (b & 63) + 1 pixels of one colour at the current alpha level,
//              the RGB565 colour following, little endian
//   0xC0-0xCF  keep 65 + ((b & 15) << 8 | next) pixels
//   0xD0-0xDF  transparent, the same count
//   0xE0-0xEF  colour, the same count, then the colour
//   0xF0       end of image
//   0xF1-0xF7  current alpha level = b & 7 (it starts at 7)
//   0xF8-0xFF  keep 4161 + ((b & 7) << 16 | next << 8 | next) pixels
#pragma once
#include <cstddef>
#include <cstdint>

struct OsdBitmapEncoder {
  uint32_t width, height;
  uint16_t *color;      // width x height
  uint8_t *attr;        // (width x height + 1) / 2
  uint8_t *out;         // the stream made by the last encode (grows by 4096 bytes)
  size_t capacity, length;
};

struct OsdBitmapDecoder {
  uint16_t *color;
  uint8_t *attr;
  size_t pixels;        // size of the planes
  size_t pos;
  int alpha;
  int ended;
};

// Planes of width x height, cleared (transparent, colour 0). -1 without memory.
int osd_bitmap_encoder_create(OsdBitmapEncoder *enc, uint32_t width, uint32_t height);
void osd_bitmap_encoder_delete(OsdBitmapEncoder *enc);
// Encodes width x height ARGB pixels (A in the top byte) against the
// planes, into enc->out / enc->length; -1 without memory.
int osd_bitmap_encode(OsdBitmapEncoder *enc, const uint32_t *argb);

// Applies a stream to planes of `pixels` pixels; codes that would pass the
// planes are cut there. Returns the bytes used.
void osd_bitmap_decoder_init(OsdBitmapDecoder *dec, uint16_t *color, uint8_t *attr, size_t pixels);
size_t osd_bitmap_decode(OsdBitmapDecoder *dec, const uint8_t *data, size_t length);

// The self-check: decodes the encoder's last stream onto copies of the
// planes it was made against (NULL: cleared planes) and compares them with
// the encoder's own; 0 when equal.
int osd_bitmap_check(const OsdBitmapEncoder *enc, const uint16_t *color_before, const uint8_t *attr_before);
