// The OSD bitmap codec: the code forms at their boundaries, long runs split
// over several codes, round trips of random and ImageMagick pictures
// through the self-check, and streams cut anywhere.
#include <gtest/gtest.h>
#include <cstring>
#include <random>

#include "osd/osd_bitmap_codec.h"
#include "osd_image_tools.h"

namespace {

struct Codec {
  OsdBitmapEncoder enc;
  std::vector<uint16_t> color_before;
  Bytes attr_before;
  Codec(uint32_t w, uint32_t h) { EXPECT_EQ(osd_bitmap_encoder_create(&enc, w, h), 0); }
  ~Codec() { osd_bitmap_encoder_delete(&enc); }
  // Encodes against the planes as they stand and self-checks.
  Bytes encode(const std::vector<uint32_t> &argb) {
    size_t n = (size_t)enc.width * enc.height;
    color_before.assign(enc.color, enc.color + n);
    attr_before.assign(enc.attr, enc.attr + (n + 1) / 2);
    EXPECT_EQ(osd_bitmap_encode(&enc, argb.data()), 0);
    EXPECT_EQ(osd_bitmap_check(&enc, color_before.data(), attr_before.data()), 0);
    return Bytes(enc.out, enc.out + enc.length);
  }
};

// One row of n pixels of the same colour and alpha.
std::vector<uint32_t> row(uint32_t n, uint32_t argb) { return std::vector<uint32_t>(n, argb); }

TEST(OsdBitmapCodec, RunFormsAndSplits) {
  const uint32_t red = 0xFFFF0000u;  // RGB565 0xF800
  struct Case {
    uint32_t n;
    Bytes paint, keep, clear;
  } cases[] = {
      {64, {0xBF, 0x00, 0xF8, 0xF0}, {0x3F, 0xF0}, {0x7F, 0xF0}},
      {65, {0xE0, 0x00, 0x00, 0xF8, 0xF0}, {0xC0, 0x00, 0xF0}, {0xD0, 0x00, 0xF0}},
      {4160, {0xEF, 0xFF, 0x00, 0xF8, 0xF0}, {0xCF, 0xFF, 0xF0}, {0xDF, 0xFF, 0xF0}},
      {4161, {0xEF, 0xFF, 0x00, 0xF8, 0x80, 0x00, 0xF8, 0xF0}, {0xF8, 0x00, 0x00, 0xF0},
       {0xDF, 0xFF, 0x40, 0xF0}},
      // 5000 = 4160 + 840 for colour and transparent runs; one keep code.
      {5000, {0xEF, 0xFF, 0x00, 0xF8, 0xE3, 0x07, 0x00, 0xF8, 0xF0}, {0xF8, 0x03, 0x47, 0xF0},
       {0xDF, 0xFF, 0xE3 - 0x10, 0x07, 0xF0}},
  };
  for (const Case &c : cases) {
    Codec k(c.n, 1);
    EXPECT_EQ(k.encode(row(c.n, red)), c.paint) << c.n;
    EXPECT_EQ(k.encode(row(c.n, red)), c.keep) << c.n;  // the planes already hold it
    EXPECT_EQ(k.encode(row(c.n, 0)), c.clear) << c.n;
  }
  // Half-transparent pixels: an alpha code first, the colour unpremultiplied
  // and clamped; back to level 7 for an opaque pixel.
  Codec k(3, 1);
  EXPECT_EQ(k.encode({0x80FF0000u, 0x80100000u, 0xFF0000FFu}),
            (Bytes{0xF4, 0x80, 0x00, 0xF8, 0x80, 0x00, 0x18, 0xF7, 0x80, 0x1F, 0x00, 0xF0}));
}

TEST(OsdBitmapCodec, RoundTripsAndCutStreams) {
  std::mt19937 rnd(7);
  Bytes last;
  for (int round = 0; round < 6; round++) {
    uint32_t w = 1 + rnd() % 300, h = 1 + rnd() % 40;
    Codec k(w, h);
    for (int frame = 0; frame < 3; frame++) {
      // Blocks of one colour, with every alpha level.
      std::vector<uint32_t> img(w * h);
      for (size_t i = 0; i < img.size();) {
        uint32_t v = rnd() % 4 == 0 ? 0 : (uint32_t)rnd();
        for (size_t n = 1 + rnd() % 200; n && i < img.size(); n--) img[i++] = v;
      }
      last = k.encode(img);
    }
  }
  // An ImageMagick picture, then the same picture again (keep runs only).
  Bytes pic = osd_magick("-seed 5 -size 97x31 plasma:fractal -channel A -fx 'i/w' +channel PNG32:", "codec.png");
  ASSERT_FALSE(pic.empty());
  Bytes argb = osd_ffmpeg_raw("codec.png", "argb");
  ASSERT_EQ(argb.size(), 97u * 31 * 4);
  std::vector<uint32_t> img(97 * 31);
  for (size_t i = 0; i < img.size(); i++)
    img[i] = (uint32_t)argb[4 * i] << 24 | argb[4 * i + 1] << 16 | argb[4 * i + 2] << 8 | argb[4 * i + 3];
  Codec k(97, 31);
  Bytes first = k.encode(img);
  EXPECT_GT(first.size(), 100u);
  EXPECT_EQ(k.encode(img), (Bytes{0xC0 | (97 * 31 - 65) >> 8, (97 * 31 - 65) & 0xFF, 0xF0}));
  // Cut anywhere, a stream changes nothing past the planes.
  for (size_t cut = 0; cut <= first.size(); cut++) {
    std::vector<uint16_t> color(97 * 31 + 64, 0x5A5A);
    Bytes attr((97 * 31 + 1) / 2 + 64, 0x5A);
    OsdBitmapDecoder dec;
    osd_bitmap_decoder_init(&dec, color.data(), attr.data(), 97 * 31);
    EXPECT_LE(osd_bitmap_decode(&dec, first.data(), cut), cut);
    for (size_t i = 97 * 31; i < color.size(); i++) ASSERT_EQ(color[i], 0x5A5A) << cut;
    for (size_t i = (97 * 31 + 1) / 2; i < attr.size(); i++) ASSERT_EQ(attr[i], 0x5A) << cut;
  }
}

}  // namespace
