// PNG and BMP files made by ImageMagick, decoded row by row and compared
// with ffmpeg's decoding and colour conversion of the same files; the files
// the decoders must refuse; the run-length coder's runs.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "core/log.h"

#include "osd/osd_image.h"
#include "osd/osd_slot.h"
#include "osd_image_tools.h"
#include "osd_test_frames.h"

namespace {

struct Rows {
  uint32_t width = 0, rows = 0;
  int bpp = 0;
  Bytes rgba;  // always 4 bytes per pixel (alpha 255 for RGB rows)
};

void collect(void *ctx, const uint8_t *row, uint32_t width, int bpp) {
  Rows *r = (Rows *)ctx;
  r->width = width;
  r->bpp = bpp;
  r->rows++;
  for (uint32_t x = 0; x < width; x++)
    for (int c = 0; c < 4; c++) r->rgba.push_back(c < bpp ? row[x * bpp + c] : 255);
}

int decode(const Bytes &file, Rows *rows) {
  int rc = osdPngToRows(file.data(), file.size(), rows, collect, nullptr, nullptr);
  if (rc == 1) rc = bmp_load_rows(file.data(), file.size(), rows, collect, -1, nullptr, nullptr);
  return rc;
}

int max_diff(const Bytes &a, const Bytes &b, int channels_mask = 15) {
  if (a.size() != b.size()) return 1000;
  int worst = 0;
  for (size_t i = 0; i < a.size(); i++) {
    if (!(channels_mask >> (i % 4) & 1)) continue;
    int d = abs(a[i] - b[i]);
    if (d > worst) worst = d;
  }
  return worst;
}

// Every kind the decoders take, at an odd width, against ffmpeg's decoding
// of the same file (the 32-bit BMP against its source, whose alpha ffmpeg
// does not read from a BMP): palettes and grey of every depth come out as
// RGB, a tRNS chunk as alpha.
TEST(OsdImageDecode, AcceptedKindsMatchFfmpeg) {
  const std::string src = "-seed 3 -size 37x11 plasma:fractal \\( -size 37x11 gradient:white-black \\) "
                          "-compose CopyOpacity -composite";
  ASSERT_FALSE(osd_magick(src, "src.png").empty()) << "ImageMagick missing";
  struct Case {
    const char *args, *name, *reference;
    int bpp, tolerance, mask;
  } cases[] = {
      {"PNG32:", "rgba.png", "rgba.png", 4, 0, 15},
      {"-alpha off PNG24:", "rgb.png", "rgb.png", 3, 0, 7},
      // ImageMagick marks the one transparent colour with tRNS.
      {"PNG24:", "trns.png", "trns.png", 4, 0, 15},
      {"PNG8:", "pal.png", "pal.png", 4, 0, 15},
      {"-alpha off -colors 4 -define png:bit-depth=2 PNG8:", "pal2.png", "pal2.png", 3, 0, 7},
      {"-alpha off -colorspace gray -type Bilevel PNG:", "grey1.png", "grey1.png", 3, 0, 7},
      {"-alpha off -colorspace gray -depth 4 -type Grayscale PNG:", "grey4.png", "grey4.png", 3, 1, 7},
      {"-alpha off -colorspace gray -depth 16 -type Grayscale PNG:", "grey16.png", "grey16.png", 3, 1, 7},
      // ffmpeg takes grey through its own conversion: 1 level apart.
      {"-colorspace gray -type GrayscaleAlpha PNG:", "ga.png", "ga.png", 4, 1, 15},
      {"-depth 16 PNG64:", "rgba16.png", "rgba16.png", 4, 1, 15},
      {"-type TrueColor BMP3:", "rgb24.bmp", "rgb24.bmp", 3, 0, 7},
      {"-define bmp3:alpha=true BMP3:", "rgba32.bmp", "src.png", 4, 1, 15},
  };
  for (const Case &c : cases) {
    std::string args = c.args;
    size_t cut = args.rfind(' ') == std::string::npos ? 0 : args.rfind(' ') + 1;
    const std::string dir = osd_image_dir();
    ASSERT_TRUE(osd_run("convert '" + dir + "/src.png' " + args.substr(0, cut) + args.substr(cut) + "'" + dir +
                        "/" + c.name + "'"))
        << c.name;
    Bytes file = osd_read_file(dir + "/" + c.name);
    ASSERT_FALSE(file.empty()) << c.name;
    Rows rows;
    ASSERT_EQ(decode(file, &rows), 0) << c.name;
    EXPECT_EQ(rows.width, 37u) << c.name;
    EXPECT_EQ(rows.rows, 11u) << c.name;
    EXPECT_EQ(rows.bpp, c.bpp) << c.name;
    Bytes ref = osd_ffmpeg_raw(c.reference, "rgba");
    ASSERT_EQ(ref.size(), 37u * 11 * 4) << c.name;
    EXPECT_LE(max_diff(rows.rgba, ref, c.mask), c.tolerance) << c.name;
    char why[160] = "";
    EXPECT_EQ(osd_image_check(file.data(), file.size(), why, sizeof why), 0) << c.name << ": " << why;
  }
}

TEST(OsdImageDecode, RefusedFilesLeaveNothing) {
  Bytes rgba = osd_magick("-size 8x4 xc:'rgba(10,200,30,0.5)' PNG32:", "small.png");
  Bytes bmp = osd_magick("-size 9x4 xc:red -type TrueColor BMP3:", "small.bmp");
  Bytes pal = osd_magick("-size 8x4 xc:red PNG8:", "small8.png");
  ASSERT_FALSE(rgba.empty());
  const char idat[] = "IDAT";
  auto pal_idat = std::search(pal.begin(), pal.end(), idat, idat + 4);
  ASSERT_LT(pal_idat + 12, pal.end());
  ASSERT_FALSE(bmp.empty());
  auto with_height = [&](int32_t h) {
    Bytes b = bmp;
    memcpy(&b[22], &h, 4);
    return b;
  };
  auto with_width = [&](int32_t w) {
    Bytes b = bmp;
    memcpy(&b[18], &w, 4);
    return b;
  };
  struct Case {
    const char *what;
    Bytes file;
  } cases[] = {
      {"three bytes", {'B', 'M', 0}},
      {"interlaced PNG", osd_magick("-size 8x4 xc:blue -interlace PNG PNG32:", "inter.png")},
      {"PNG wider than 4096", osd_magick("-size 4097x1 xc:blue PNG32:", "wide.png")},
      {"cut PNG", Bytes(rgba.begin(), rgba.begin() + rgba.size() / 2)},
      {"palette PNG cut in its pixels", Bytes(pal.begin(), pal_idat + 12)},
      {"run-length BMP", osd_magick("-size 9x4 xc:red -type Palette -compress RLE BMP3:", "rle.bmp")},
      {"16-bit BMP", osd_magick("-size 9x4 xc:red -define bmp:subtype=RGB565 BMP:", "565.bmp")},
      {"top-down BMP", with_height(-4)},
      {"BMP wider than 4096", with_width(5000)},
      {"BMP of width 0", with_width(0)},
      {"cut BMP", Bytes(bmp.begin(), bmp.end() - 1)},
      {"GIF", osd_magick("-size 8x4 xc:red GIF:", "small.gif")},
  };
  // What the upload's answer says of some of them.
  const std::map<std::string, const char *> reasons = {
      {"three bytes", "unsupported BMP"},
      {"interlaced PNG", "interlaced"},
      {"PNG wider than 4096", "width exceeds user limit"},
      {"cut PNG", "cannot be read"},
      {"BMP wider than 4096", "4096 pixels"},
      {"GIF", "not a PNG or BMP"},
  };
  for (const Case &c : cases) {
    ASSERT_FALSE(c.file.empty()) << c.what;
    Rows rows;
    EXPECT_NE(decode(c.file, &rows), 0) << c.what;
    OsdRle rle;
    int rc = osdPngToRle(c.file.data(), c.file.size(), &rle, 2);
    if (rc == 1) rc = bmp_load_osd(c.file.data(), c.file.size(), &rle, 2);
    EXPECT_NE(rc, 0) << c.what;
    EXPECT_EQ(rle.data, nullptr) << c.what;
    char why[160] = "";
    EXPECT_EQ(osd_image_check(c.file.data(), c.file.size(), why, sizeof why), -1) << c.what;
    EXPECT_NE(why[0], 0) << c.what;
    if (reasons.count(c.what)) EXPECT_NE(strstr(why, reasons.at(c.what)), nullptr) << c.what << ": " << why;
  }
}

uint32_t png_crc(const uint8_t *p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

void put_be32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24), p[1] = (uint8_t)(v >> 16), p[2] = (uint8_t)(v >> 8), p[3] = (uint8_t)v;
}

// A PNG with a chunk inserted after the header (33 bytes in): the length
// field says `declared`, the chunk holds `body` and then the file ends.
Bytes with_chunk_after_header(const Bytes &png, const char *type, uint32_t declared, const std::string &body) {
  Bytes b(png.begin(), png.begin() + 33);
  uint8_t head[8];
  put_be32(head, declared);
  memcpy(head + 4, type, 4);
  b.insert(b.end(), head, head + 8);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

// Sizes a file declares (a text chunk's length, the picture's sides) are
// refused before anything of that size is taken: with the address space
// held to the process's own plus 256 MB, a decoder that allocated them
// would log libpng's "Out of memory" or "insufficient memory" instead.
TEST(OsdImageDecode, DeclaredSizesRefusedBeforeAllocating) {
  Bytes png = osd_magick("-size 8x4 xc:'rgba(10,200,30,0.5)' PNG32:", "declared.png");
  ASSERT_GT(png.size(), 33u);
  Bytes huge_sides = png;
  put_be32(&huge_sides[16], 60000);
  put_be32(&huge_sides[20], 60000);
  put_be32(&huge_sides[29], png_crc(&huge_sides[12], 17));
  Bytes bmp = osd_magick("-size 9x4 xc:red -type TrueColor BMP3:", "declared.bmp");
  ASSERT_GT(bmp.size(), 26u);
  int32_t side = 60000;
  memcpy(&bmp[18], &side, 4);
  memcpy(&bmp[22], &side, 4);
  struct Case {
    const char *what, *logged;
    Bytes file;
  } cases[] = {
      {"tEXt chunk of 1.9 GB", "read past the end of the data",
       with_chunk_after_header(png, "tEXt", 0x74DBB700u, std::string("date:modify\0", 12))},
      {"zTXt chunk of 1.9 GB", "read past the end of the data",
       with_chunk_after_header(png, "zTXt", 0x74DBB700u, std::string("comment\0\0x", 10))},
      {"PNG of 60000 x 60000", "Image width exceeds user limit", huge_sides},
      {"BMP of 60000 x 60000", nullptr, bmp},
  };

  long pages = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  ASSERT_NE(statm, nullptr);
  ASSERT_EQ(fscanf(statm, "%ld", &pages), 1);
  fclose(statm);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  struct rlimit held = saved;
  held.rlim_cur = (rlim_t)pages * 4096 + (256u << 20);
  if (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < held.rlim_cur) held.rlim_cur = saved.rlim_cur;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &held), 0);
  int decoded[4], coded[4];
  std::string logged[4];
  for (int i = 0; i < 4; i++) {
    log_reset();
    Rows rows;
    decoded[i] = decode(cases[i].file, &rows);
    OsdRle rle;
    coded[i] = osdPngToRle(cases[i].file.data(), cases[i].file.size(), &rle, 2);
    if (coded[i] == 1) coded[i] = bmp_load_osd(cases[i].file.data(), cases[i].file.size(), &rle, 2);
    if (coded[i] == 0) free(rle.data);
    char buf[4096];
    for (size_t n; (n = log_read(buf, sizeof buf)) > 0;) logged[i].append(buf, n);
  }
  ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(decoded[i], -1) << cases[i].what;
    EXPECT_EQ(coded[i], -1) << cases[i].what;
    EXPECT_EQ(logged[i].find("memory"), std::string::npos) << cases[i].what << ": " << logged[i];
    if (cases[i].logged) EXPECT_NE(logged[i].find(cases[i].logged), std::string::npos) << cases[i].what << ": " << logged[i];
  }
}

// The DMA route writes the picture's colours into a frame-shaped buffer:
// luma against ffmpeg's full-range BT.601 conversion, chroma (taken from
// one pixel of each pair, on even lines) against its studio-range chroma.
TEST(OsdImageDecode, DmaRouteMatchesFfmpegConversion) {
  Bytes png = osd_magick(osd_test_picture_args(40, 16) + " PNG32:", "dma.png");
  ASSERT_FALSE(png.empty());
  Bytes luma = osd_ffmpeg_raw("dma.png", "gray", "scale=out_range=full:out_color_matrix=bt601");
  Bytes yuv = osd_ffmpeg_raw("dma.png", "yuv444p", "scale=out_range=tv:out_color_matrix=bt601");
  ASSERT_EQ(luma.size(), 40u * 16);
  ASSERT_EQ(yuv.size(), 40u * 16 * 3);
  const uint32_t W = 64, H = 40, X = 6, Y = 2;
  for (int layout : {OSD_LAYOUT_NV12, OSD_LAYOUT_UYVY}) {
    const uint32_t pitch = layout == OSD_LAYOUT_UYVY ? 2 * W : W;
    GuardedFrame buf(osd_test_frame_size(pitch, H, layout));
    OsdDmaTarget t = {buf.frame(), buf.size, pitch, H, layout, (int32_t)X, (int32_t)Y, 0};
    ASSERT_EQ(osdPngToRows(png.data(), png.size(), &t,
                           layout == OSD_LAYOUT_UYVY ? osdPutRowUYVY : osdPutRowNV12, nullptr, nullptr),
              0);
    EXPECT_EQ(buf.guard_damage(), -1);
    const uint8_t *f = buf.frame();
    int worst_y = 0, worst_c = 0;
    for (uint32_t y = 0; y < 16; y++)
      for (uint32_t x = 0; x < 40; x++) {
        uint32_t fx = X + x, fy = Y + y;
        int got_y = layout == OSD_LAYOUT_UYVY ? f[fy * pitch + 2 * fx + 1] : f[fy * pitch + fx];
        worst_y = std::max(worst_y, abs(got_y - luma[y * 40 + x]));
        if (layout == OSD_LAYOUT_NV12 && (fy & 1)) continue;
        int got_c = layout == OSD_LAYOUT_UYVY ? f[fy * pitch + 2 * fx] : f[pitch * H + fy / 2 * pitch + fx];
        int plane = fx & 1 ? 2 : 1;  // Cr at odd columns, Cb at even ones
        worst_c = std::max(worst_c, abs(got_c - yuv[plane * 640 + y * 40 + x]));
      }
    EXPECT_LE(worst_y, 2) << "layout " << layout;
    EXPECT_LE(worst_c, 2) << "layout " << layout;
  }
}

// The run-length route: levels are the file's luma quantised by 16 where
// alpha is 17 or more, transparent elsewhere.
TEST(OsdImageDecode, RunLengthLevelsFollowTheLuma) {
  Bytes png = osd_magick(osd_test_picture_args(60, 20) + " PNG32:", "rle.png");
  Bytes luma = osd_ffmpeg_raw("rle.png", "gray", "scale=out_range=full:out_color_matrix=bt601");
  Bytes rgba = osd_ffmpeg_raw("rle.png", "rgba");
  ASSERT_EQ(luma.size(), 60u * 20);
  ASSERT_EQ(rgba.size(), 60u * 20 * 4);
  OsdRle rle;
  ASSERT_EQ(osdPngToRle(png.data(), png.size(), &rle, 2), 0);
  OverlaySlot slot = {rle.data, (uint32_t)rle.used, 0, 0, rle.width, rle.height, 0, 8, 2};
  Bytes frame(60 * 20 * 3 / 2, 0);
  osdBlitRleaNV12(&slot, frame.data(), 60, 20);
  int off = 0;
  for (size_t i = 0; i < 60 * 20; i++) {
    int want = rgba[i * 4 + 3] < 17 ? 0 : std::max(1, luma[i] >> 4) << 4;
    if (frame[i] != want) {
      ASSERT_LE(abs(frame[i] - want), 16) << "pixel " << i;
      off++;
    }
  }
  EXPECT_LE(off, 60 * 20 / 50);  // rounding apart, the same level
  free(rle.data);
}

// Runs are cut at 271 pixels and go on across rows; a transparent pixel is
// value 0 in both kinds, a dark half-transparent one a shade in "RLE ".
TEST(OsdImageDecode, RunLengthCoding) {
  struct Case {
    uint32_t width, height;
    uint8_t r, a;
    int type;
    Bytes want;
  } cases[] = {
      {300, 1, 255, 255, 2, {0xF0, 255, 0xF0, 13}},
      {271, 1, 255, 255, 2, {0xF0, 255}},
      {272, 1, 255, 255, 2, {0xF0, 255, 0xF1}},
      {136, 2, 255, 255, 2, {0xF0, 255, 0xF1}},  // 272 pixels over two rows
      {3, 1, 255, 0, 2, {0x03}},
      {3, 1, 255, 0, 1, {0x03}},
      {3, 1, 0, 128, 1, {0x43}},  // alpha 128 >> 5
      {5, 1, 255, 16, 2, {0x05}},  // alpha below 17
      {15, 1, 255, 255, 1, {0xFF}},  // luma level 8 + 7
  };
  for (const Case &c : cases) {
    OsdRle rle;
    ASSERT_EQ(osdRleBegin(&rle, c.width, c.height, c.type), 0);
    std::vector<uint8_t> row(c.width * 4);
    for (uint32_t x = 0; x < c.width; x++) {
      row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = c.r;
      row[4 * x + 3] = c.a;
    }
    for (uint32_t y = 0; y < c.height; y++) osdRleRowRGBA(&rle, row.data());
    osdRleEnd(&rle);
    EXPECT_EQ(Bytes(rle.data, rle.data + rle.used), c.want) << c.width << "x" << c.height << " a=" << (int)c.a;
    free(rle.data);
  }
  OsdRle none;
  EXPECT_NE(osdRleBegin(&none, 0, 5, 2), 0);
  EXPECT_NE(osdRleBegin(&none, 4097, 1, 2), 0);
}

}  // namespace
