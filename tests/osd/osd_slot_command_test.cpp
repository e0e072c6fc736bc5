// Overlay commands into slots and the slots composited into frames: the
// edge cases of placement, opacity, short commands, texts and images, a
// hide that overtakes a decode, channel 3's copies, and thousands of random
// commands that must touch nothing outside a frame or the DMA buffer.
#include <gtest/gtest.h>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>

#include "core/worker.h"
#include "osd/osd_image.h"
#include "osd_image_tools.h"
#include "osd_slot_test_support.h"
#include "platform/wallclock.h"
#include "test_root.h"

namespace {

ParamBlock block;

// Channel 0 of pitch x lines in a layout, with a DMA buffer of its size.
struct Box {
  uint32_t pitch, lines;
  int layout;
  size_t frame_size;
  GuardedBuffer dma, frame;
  Box(uint32_t p, uint32_t l, int lay)
      : pitch(p), lines(l), layout(lay), frame_size(osd_test_frame_size(p, l, lay == 9 ? 0 : lay == 0 ? 0 : 2)),
        dma(frame_size), frame(frame_size) {
    osd_test_setup(&block, pitch, lines, layout, 0, 0, 0, 0);
    osdSetDMA(0, dma.data(), dma.phys(), dma.size);
    osdSetFormat(1, pitch, lines, layout, pitch);
  }
  ~Box() { osdSetDMA(0, nullptr, 0, 0); }
  // The frame after one composite pass over a fresh picture.
  std::vector<uint8_t> composite(int channel = 0) {
    fill();
    osdComposite(channel, frame.data(), frame.phys());
    EXPECT_EQ(frame.guard_damage(), -1);
    EXPECT_EQ(dma.guard_damage(), -1);
    return std::vector<uint8_t>(frame.data(), frame.data() + frame_size);
  }
  void fill() { osd_test_fill_picture(frame.data(), pitch, lines, layout == 0 || layout == 9 ? 0 : 2); }
  std::vector<uint8_t> picture() {
    fill();
    return std::vector<uint8_t>(frame.data(), frame.data() + frame_size);
  }
  std::vector<uint8_t> luma(const std::vector<uint8_t> &f) { return {f.begin(), f.begin() + pitch * lines}; }
};

// Runs of `count` pixels of one value, in the shortest forms.
std::vector<uint8_t> runs_of(int value, uint32_t count) {
  std::vector<uint8_t> r;
  while (count) {
    uint32_t n = count > 271 ? 271 : count;
    count -= n;
    if (n < 16) r.push_back((uint8_t)(value << 4 | n));
    else r.insert(r.end(), {(uint8_t)(value << 4), (uint8_t)(n - 16)});
  }
  return r;
}

TEST(OsdSlotCommand, RunLengthPlacementOpacityAndRuns) {
  struct Case {
    const char *what;
    const char *tag;
    uint16_t w, h;
    std::vector<uint8_t> runs;
    int32_t x, y;
    uint32_t opacity;
  } cases[] = {
      {"from the sixth column and fourth row", "RLEA", 9, 6, {0xF9, 0x39, 0x0F, 0x20, 0x5A, 0x80, 0x07}, -5, -3, 8},
      {"opacity 0 leaves the frame", "RLEA", 9, 6, runs_of(12, 54), 3, 2, 0},
      {"opacity 9 as 8", "RLEA", 9, 6, runs_of(12, 54), 3, 2, 9},
      {"half weight", "RLEA", 9, 6, runs_of(12, 54), 3, 2, 4},
      {"271 and 272 pixels across rows", "RLEA", 40, 8, [] {
         auto a = runs_of(3, 271), b = runs_of(14, 1), c = runs_of(7, 48);
         a.insert(a.end(), b.begin(), b.end());
         a.insert(a.end(), c.begin(), c.end());
         return a;
       }(), 0, 1, 8},
      {"a transparent run over two rows and more", "RLEA", 10, 6, [] {
         auto a = runs_of(5, 3), b = runs_of(0, 25), c = runs_of(11, 4);
         a.insert(a.end(), b.begin(), b.end());
         a.insert(a.end(), c.begin(), c.end());
         return a;
       }(), 4, 2, 8},
      {"right and bottom edges", "RLE ", 30, 20, runs_of(9, 600), 50, 30, 0},
      {"every operation", "RLE ", 16, 2, {0x11, 0x21, 0x31, 0x41, 0x51, 0x61, 0x71, 0x81, 0x91, 0xA1, 0xB1, 0xC1,
                                          0xD1, 0xE1, 0xF1, 0x01, 0x00, 0x00}, 7, 3, 0},
      {"runs past width x height", "RLEA", 4, 2, runs_of(15, 200), 60, 0, 8},
      {"data shorter than the image", "RLEA", 20, 20, {0xF5}, 10, 10, 8},
      {"a cut two-byte run", "RLEA", 20, 2, {0xF0}, 10, 10, 8},
  };
  for (const Case &c : cases) {
    Box box(64, 36, OSD_LAYOUT_NV12);
    std::vector<uint8_t> before = box.picture();
    osd_send(osd_rle_command(c.tag, c.w, c.h, c.runs), c.x, c.y, 0, c.opacity);
    std::vector<uint8_t> f = box.composite();
    int type = c.tag[3] == 'A' ? 2 : 1;
    std::vector<uint8_t> want = osd_model_draw(box.luma(before), 64, 36, osd_model_image(c.runs, c.w, c.h), c.w,
                                               c.x, c.y, type, c.opacity);
    EXPECT_EQ(box.luma(f), want) << c.what;
    EXPECT_TRUE(std::equal(f.begin() + 64 * 36, f.end(), before.begin() + 64 * 36)) << c.what << ": chroma";
  }
  // The same image on UYVY changes the Y bytes only, and on layouts 3 and 4
  // the colour components; a slot of type 2 draws on UYVY only.
  for (int layout : {OSD_LAYOUT_UYVY, OSD_LAYOUT_RGB32, OSD_LAYOUT_RGB16}) {
    const uint32_t width = 32, pitch = layout == OSD_LAYOUT_RGB32 ? 4 * width : 2 * width;
    Box box(pitch, 20, layout);
    std::vector<uint8_t> before = box.picture();
    osd_send(osd_rle_command("RLE ", 10, 3, runs_of(15, 30)), -2, 18, 1, 0);
    osd_send(osd_rle_command("RLEA", 10, 3, runs_of(15, 30)), 0, 0, 2, 8);
    std::vector<uint8_t> f = box.composite();
    for (uint32_t y = 0; y < 20; y++)
      for (uint32_t x = 0; x < width; x++) {
        bool inside = y >= 18 && x < 8;
        for (uint32_t b = 0; b < pitch / width; b++) {
          size_t i = y * pitch + x * (pitch / width) + b;
          uint8_t want = before[i];
          if (inside && layout == OSD_LAYOUT_UYVY && b == 1) want = 239;
          if (y < 3 && x < 10 && layout == OSD_LAYOUT_UYVY && b == 1) want = 240;
          if (inside && layout == OSD_LAYOUT_RGB32 && b < 3) want = 239;
          if (inside && layout == OSD_LAYOUT_RGB16) want = b ? 0xEF : 0x7D;  // RGB565 of 239, 239, 239
          ASSERT_EQ(f[i], want) << "layout " << layout << " at " << x << "," << y << " byte " << b;
        }
      }
  }
}

TEST(OsdSlotCommand, ShortCommandsTextAndTime) {
  Box box(64, 36, OSD_LAYOUT_NV12);
  std::vector<uint8_t> picture = box.picture();
  auto image = osd_rle_command("RLEA", 8, 4, runs_of(15, 32));
  osd_send(image, 4, 4, 0x03, 8);
  std::vector<uint8_t> shown = box.composite();
  EXPECT_NE(shown, picture);
  osd_short(0, 0x03);
  EXPECT_EQ(box.composite(), picture);  // hidden, data kept
  osd_short(4, 0x03);
  EXPECT_EQ(box.composite(), picture);  // a text show never reads runs
  osd_short(2, 0x03);
  EXPECT_EQ(box.composite(), shown);
  osd_short(3, 0x03, 20, 10, 8);
  std::vector<uint8_t> moved = box.composite();
  EXPECT_EQ(moved[10 * 64 + 20], 240);
  EXPECT_EQ(moved[4 * 64 + 4], picture[4 * 64 + 4]);
  osd_short(1, 0x05);  // an empty slot stays empty
  osd_short(2, 0x25);  // channel 2: ignored
  EXPECT_EQ(box.composite(), moved);
  // Commands too short for their header, or of an empty image, are dropped.
  osd_send({'R', 'L', 'E', 'A', 8, 0, 4, 0, 0}, 0, 0, 0x03, 8);
  osd_send(osd_rle_command("RLEA", 0, 4, runs_of(15, 32)), 0, 0, 0x03, 8);
  osd_send({'T', 'E', 'X', 'T', 1}, 0, 0, 0x00, 0);
  EXPECT_EQ(box.composite(), moved);
  EXPECT_EQ(osd_channel(0)->slots[3].type, 2u);

  // "TEXT": font 1, style 1, date format 17, time format 3; exactly 160
  // message bytes are kept without a NUL.
  std::vector<uint8_t> text = {'T', 'E', 'X', 'T', (uint8_t)(1 | 1 << 2 | 17 << 4), (uint8_t)(17 >> 4 | 3 << 2)};
  std::vector<uint8_t> msg(160, 'M');
  text.insert(text.end(), msg.begin(), msg.end());
  memset(block.video[0].osd.message + 150, 'Z', 10);
  osd_send(text, 5, 6, 0x00, 0);
  const OsdTextConfig &cfg = block.video[0].osd;
  EXPECT_EQ(cfg.enabled, 1);
  EXPECT_EQ(cfg.transparent, 1);
  EXPECT_EQ(cfg.date_format, 17);
  EXPECT_EQ(cfg.time_format, 3);
  EXPECT_EQ(cfg.x, 5u);
  EXPECT_EQ(cfg.y, 6u);
  EXPECT_EQ(std::string(cfg.message, 160), std::string(160, 'M'));
  text.resize(6 + 3);
  osd_send(text, 0, 0, 0x10, 0);  // channel 1's own record
  EXPECT_STREQ(block.video[1].osd.message, "MMM");

  // "TIME" of exactly 16 bytes sets the clock; any other length does not.
  std::vector<uint8_t> t = {'T', 'I', 'M', 'E', 0x00, 0x5E, 0xD0, 0xB2, 0, 0, 0, 0, 0x3F, 0x42, 0x0F, 0};
  osd_send(t, 0, 0, 0x00, 0);
  struct timeval now;
  wallclock_now(&now);
  EXPECT_NEAR((double)now.tv_sec, 3000000000.0, 5);
  t.push_back(0);
  t[7] = 0x10;
  osd_send(t, 0, 0, 0x00, 0);
  wallclock_now(&now);
  EXPECT_NEAR((double)now.tv_sec, 3000000000.0, 5);
  struct timeval real;
  gettimeofday(&real, nullptr);
  wallclock_set(&real);
}

TEST(OsdSlotCommand, ImagesTextsAndChannelThree) {
  Bytes png = osd_magick("-size 20x8 xc:white -fill black -draw 'rectangle 5,2 12,5' PNG32:", "slot.png");
  ASSERT_FALSE(png.empty());
  auto send_png = [&](int32_t x, int32_t y, uint32_t target, uint32_t opacity) {
    return osd_send(std::vector<uint8_t>(png.begin(), png.end()), x, y, target, opacity);
  };
  Box box(64, 36, OSD_LAYOUT_NV12);
  std::vector<uint8_t> picture = box.picture();
  // Not an image, or one that cannot be decoded: the slot ends empty, on
  // either route.
  osd_send({'x', 'y', 'z'}, 0, 0, 0x01, 8);
  EXPECT_EQ(osd_channel(0)->slots[1].type, 0u);
  osd_send({'x', 'y', 'z'}, 0, 0, 0x01, 12);
  osd_send(osd_magick("-size 4x4 xc:red -interlace PNG PNG32:", "inter.png"), 0, 0, 0x01, 12);
  EXPECT_EQ(osd_channel(0)->slots[1].type, 0u);
  EXPECT_EQ(box.composite(), picture);
  // A palette image is an image like the others.
  osd_send(osd_magick("-size 4x4 xc:red PNG8:", "pal.png"), 0, 0, 0x01, 12);
  EXPECT_EQ(osd_channel(0)->slots[1].type, 3u);
  EXPECT_NE(box.composite(), picture);
  osd_short(0, 0x01);
  EXPECT_EQ(box.composite(), picture);

  // At opacity 8 the run-length route; at 12 the DMA route, copied in each
  // frame from the same place in the DMA buffer (luma and chroma).
  // The boundary: 9 is still the run-length route, 10 the DMA route.
  send_png(2, 3, 0x01, 10);
  EXPECT_EQ(osd_channel(0)->slots[1].type, 3u) << "opacity 10";
  send_png(2, 3, 0x01, 9);
  EXPECT_EQ(osd_channel(0)->slots[1].type, 2u) << "opacity 9";
  send_png(2, 3, 0x01, 8);
  EXPECT_EQ(osd_channel(0)->slots[1].type, 2u);
  std::vector<uint8_t> f = box.composite();
  EXPECT_EQ(f[3 * 64 + 2], 240);
  EXPECT_EQ(f[(3 + 3) * 64 + 2 + 6], 16);
  send_png(-3, -2, 0x01, 12);
  const OverlaySlot &s = osd_channel(0)->slots[1];
  EXPECT_EQ(s.type, 3u);
  EXPECT_EQ(s.x, 0);
  EXPECT_EQ(s.y, 0);
  EXPECT_EQ(s.width, 17u);
  EXPECT_EQ(s.height, 6u);
  f = box.composite();
  for (uint32_t y = 0; y < 36; y++)
    for (uint32_t x = 0; x < 64; x++) {
      bool in = x < 17 && y < 6;
      ASSERT_EQ(f[y * 64 + x], in ? box.dma.data()[y * 64 + x] : picture[y * 64 + x]) << x << "," << y;
      if (y < 18) {
        size_t c = 64 * 36 + y * 64 + x;
        ASSERT_EQ(f[c], y < 3 && x < 17 ? box.dma.data()[c] : picture[c]) << "chroma " << x << "," << y;
      }
    }
  EXPECT_EQ(f[0], 255);  // white: (77 + 150 + 29) * 255 >> 8
  // Drawn as NV12 luma only (layout 9): chroma stays the picture's.
  osdSetFormat(0, 64, 36, OSD_LAYOUT_NV12_LUMA, 64);
  f = box.composite();
  EXPECT_EQ(f[0], 255);
  EXPECT_TRUE(std::equal(f.begin() + 64 * 36, f.end(), picture.begin() + 64 * 36));
  osdSetFormat(0, 64, 36, OSD_LAYOUT_NV12, 64);
  send_png(-3, -2, 0x01, 12);
  // A move draws the image again at its new place, whole where it was cut.
  osd_short(3, 0x01, 31, 21, 12);
  EXPECT_EQ(s.x, 31);
  EXPECT_EQ(s.y, 21);
  EXPECT_EQ(s.width, 20u);
  EXPECT_EQ(s.height, 8u);
  f = box.composite();
  EXPECT_EQ(f[21 * 64 + 31], 255);
  EXPECT_EQ(f[(21 + 2) * 64 + 31 + 5], 0);  // the black rectangle, whole
  EXPECT_EQ(f[(21 + 5) * 64 + 31 + 12], 0);
  // Channel 1 has no DMA buffer: opacity 12 falls back to the runs.
  send_png(0, 0, 0x11, 12);
  EXPECT_EQ(osd_channel(1)->slots[1].type, 2u);

  // A live text slot and burned-in text (style 6: coloured box).
  osdSetText(4, 30, 20, "T^^", 1, 1);
  EXPECT_EQ(osd_channel(0)->slots[4].type, 4u);
  osdSetText(5, 40, 2, "AB", 1, 6);
  const OverlaySlot &b = osd_channel(0)->slots[5];
  EXPECT_EQ(b.type, 3u);
  EXPECT_EQ(b.width, 16u);
  EXPECT_EQ(b.height, 13u);
  f = box.composite();
  EXPECT_NE(box.luma(f), box.luma(picture));
  const uint8_t *chroma = box.dma.data() + 64 * 36;
  EXPECT_EQ(chroma[1 * 64 + 40], 176);  // rows 2 and 3 above the glyphs: all 16
  EXPECT_EQ(chroma[1 * 64 + 41], 80);

  // Channel 3 holds copies: they stay valid when channel 0 replaces its own.
  osd_send(osd_rle_command("RLEA", 8, 4, runs_of(15, 32)), 50, 30, 0x07, 8);
  osdSetFormat(3, 64, 36, OSD_LAYOUT_NV12, 64);
  osdCopyChannel(0, 3);
  EXPECT_EQ(osd_channel(3)->slots[5].type, 0u);  // no DMA buffer there
  std::vector<uint8_t> three = box.composite(3);
  for (int i = 0; i < 20; i++) osd_send(osd_rle_command("RLEA", 8, 4, runs_of(1, 32)), 50, 30, 0x07, 8);
  osdClearSlot(4);
  EXPECT_EQ(box.composite(3), three);
  EXPECT_EQ(three[30 * 64 + 50], 240);

  // Burned text on UYVY has the same box as on NV12: colourless, luma 0
  // where no cell covers it, and style 6's dark pixels tinted (per row, as
  // each UYVY word holds its own chroma). The box starts on an odd pixel.
  Box u(128, 36, OSD_LAYOUT_UYVY);
  for (int style : {0, 5, 6})
    for (int font : {1, 2}) {
      osdSetText(6, 9, 3, "AB\nC", font, style);
      const OverlaySlot &t = osd_channel(0)->slots[6];
      ASSERT_EQ(t.type, 3u);
      const uint32_t cw = font == 1 ? 8 : 16, chh = font == 1 ? 13 : 16;
      ASSERT_EQ(t.width, 2 * cw);
      ASSERT_EQ(t.height, 2 * chh);
      const uint8_t *d = u.dma.data();
      for (uint32_t y = 3; y < 3 + t.height; y++)
        for (uint32_t x = 8; x < 9 + t.width; x++) {
          const uint8_t *w = d + y * 128 + (x & ~1u) * 2;
          const uint8_t luma = d[y * 128 + 2 * x + 1];
          const bool cell = x >= 9 && (y < 3 + chh || x < 9 + cw);
          if (x >= 9) ASSERT_EQ(luma, cell ? luma == 239 ? 239 : 16 : 0) << style << font << " " << x << "," << y;
          const bool dark = style == 6 && w[1] == 16 && w[3] == 16;
          ASSERT_EQ(w[0], dark ? 176 : 128) << style << font << " " << x << "," << y;
          ASSERT_EQ(w[2], dark ? 80 : 128) << style << font << " " << x << "," << y;
        }
    }
  f = u.composite();
  const size_t row = 4 * 128;
  EXPECT_TRUE(std::equal(f.begin() + row + 20, f.begin() + row + 2 * (9 + 32), u.dma.data() + row + 20));

  // Text and an image drawn at one frame size, then the capture switches to
  // another (and layout): they show as if made for the new frame.
  for (int layout : {OSD_LAYOUT_UYVY, OSD_LAYOUT_NV12}) {
    Box big(160, 72, layout);
    std::vector<uint8_t> bare = big.picture();
    osdSetFormat(0, 64, 36, OSD_LAYOUT_NV12, 64);
    osdSetText(5, 10, 8, "AB", 2, 6);
    send_png(0, 0, 0x01, 12);
    ASSERT_EQ(osd_channel(0)->slots[1].type, 3u);
    osdSetFormat(0, 160, 72, layout, 160);
    const OverlaySlot &t = osd_channel(0)->slots[5];
    EXPECT_EQ(t.type, 3u);
    EXPECT_EQ(t.x, 10);
    EXPECT_EQ(t.y, 8);
    EXPECT_EQ(osd_channel(0)->slots[1].type, 3u);
    f = big.composite();
    EXPECT_NE(f, bare);
    EXPECT_EQ(f[layout == OSD_LAYOUT_UYVY ? 1 : 0], 255);  // the image's white corner
    osdSetText(5, 10, 8, "AB", 2, 6);
    EXPECT_EQ(big.composite(), f) << layout;
  }
}

// A hide sent while the image is still waiting for the Worker makes it
// arrive hidden; a show brings it back.
// The check asked before a command is sent refuses, with a reason, what
// the command would drop; what it passes takes effect.
TEST(OsdSlotCommand, CheckRefusesWhatWouldDoNothing) {
  Box box(64, 36, OSD_LAYOUT_NV12);
  const std::vector<uint8_t> rlea = osd_rle_command("RLEA", 4, 1, runs_of(9, 4));
  std::vector<uint8_t> no_width = rlea, time(16, 0), text = {'T', 'E', 'X', 'T', 1, 0};
  no_width[4] = 0;
  memcpy(time.data(), "TIME", 4);
  struct Case {
    uint32_t target, len;
    std::vector<uint8_t> data;
    const char *reason;  // nullptr: passed
  } cases[] = {
      {0x01, 3, {}, nullptr},
      {0x11, 0, {}, nullptr},
      {0x21, 0, {}, "no such overlay channel"},
      {0x31, 0, {}, "no such overlay channel"},
      {0x01, 9, {}, "no data"},
      {0x01, 0, rlea, nullptr},
      {0x01, 0, no_width, "run-length image without its size"},
      {0x01, 8, rlea, "run-length image without its size"},
      {0x01, 0, text, nullptr},
      {0x01, 5, text, "text command without its attributes"},
      {0x01, 0, time, nullptr},
      {0x01, 15, time, "time command of other than 16 bytes"},
      {0x01, 0, osd_magick("-size 4x4 xc:red PNG8:", "check.png"), nullptr},
      {0x01, 0, {'G', 'I', 'F', '8', '9', 'a'}, "not a PNG or BMP image"},
  };
  for (const Case &c : cases) {
    OverlayCommand cmd = {};
    cmd.target = c.target;
    cmd.data = c.data.empty() ? nullptr : (uint8_t *)c.data.data();
    cmd.len = c.len ? c.len : (uint32_t)c.data.size();
    char why[160] = "";
    EXPECT_EQ(osd_command_check(&cmd, why, sizeof why), c.reason ? -1 : 0) << c.len << " " << why;
    EXPECT_STREQ(why, c.reason ? c.reason : "") << c.len;
  }
  // An image placed wholly outside the frame shows nowhere; one that
  // reaches into the frame its stream is set to shows to its viewers (the
  // capture may make another size meanwhile).
  const std::vector<uint8_t> png = osd_magick("-size 4x4 xc:red PNG32:", "place.png");
  struct Place {
    std::vector<uint8_t> data;
    int32_t x, y;
    uint16_t set_w, set_h;
    const char *reason;
  } places[] = {
      {rlea, 64, 0, 0, 0, "the 4x1 image at 64,0 lies wholly outside the 64x36 frame"},
      {rlea, -4, 35, 0, 0, "the 4x1 image at -4,35 lies wholly outside the 64x36 frame"},
      {rlea, -3, 35, 0, 0, nullptr},
      {png, 60, 32, 0, 0, nullptr},
      {png, 10, 36, 0, 0, "the 4x4 image at 10,36 lies wholly outside the 64x36 frame"},
      {png, 10, 36, 320, 240, nullptr},
      {png, 10, 36, 320, 0, "the 4x4 image at 10,36 lies wholly outside the 64x36 frame"},  // height: the capture's
      {png, 320, 0, 320, 240, "the 4x4 image at 320,0 lies wholly outside the 64x36 and 320x240 frames"},
      {png, 0, -4, 64, 36, "the 4x4 image at 0,-4 lies wholly outside the 64x36 frame"},
  };
  for (const Place &p : places) {
    block.video[0].width = p.set_w;
    block.video[0].height = p.set_h;
    OverlayCommand cmd = {};
    cmd.target = 0x01;
    cmd.data = (uint8_t *)p.data.data();
    cmd.len = (uint32_t)p.data.size();
    cmd.x = p.x;
    cmd.y = p.y;
    char why[160] = "";
    EXPECT_EQ(osd_command_check(&cmd, why, sizeof why), p.reason ? -1 : 0) << p.x << "," << p.y;
    EXPECT_STREQ(why, p.reason ? p.reason : "") << p.x << "," << p.y;
  }
  block.video[0].width = block.video[0].height = 0;
}

// An image decoded into the DMA buffer stays through changes of the frame
// (the capture's size as viewers come and go) and of the buffer: each frame
// shows it as an upload at that size would, also after a frame that shows
// none of it; a hidden one stays hidden.
TEST(OsdSlotCommand, DmaImagesOutliveFrameChanges) {
  Bytes png = osd_magick("-size 24x10 xc:red -fill blue -draw 'rectangle 5,2 12,5' PNG32:", "keep.png");
  ASSERT_FALSE(png.empty());
  for (int layout : {OSD_LAYOUT_NV12, OSD_LAYOUT_UYVY}) {
    const uint32_t bpp = layout == OSD_LAYOUT_UYVY ? 2 : 1;
    Box box(160 * bpp, 72, layout);
    const std::vector<uint8_t> bare = box.picture();
    struct Size {
      uint32_t width, lines;
    } sizes[] = {{160, 72}, {64, 36}, {96, 40}};
    auto at = [&](const Size &z) { osdSetFormat(0, z.width, z.lines, layout, z.width * bpp); };
    auto send = [&](int32_t x, int32_t y) {
      osd_send(std::vector<uint8_t>(png.begin(), png.end()), x, y, 0x02, 12);
      ASSERT_EQ(osd_channel(0)->slots[2].type, 3u);
    };
    // What an upload at each size shows.
    std::vector<std::vector<uint8_t>> fresh;
    for (const Size &z : sizes) {
      at(z);
      send(70, 30);
      fresh.push_back(box.composite());
      osdClearSlot(2);
    }
    at(sizes[0]);
    send(70, 30);
    for (int i : {1, 0, 2, 1, 0}) {
      at(sizes[i]);
      const OverlaySlot &s = osd_channel(0)->slots[2];
      EXPECT_EQ(s.type, 3u) << layout << " size " << i;
      // 64x36 shows none of it: nothing is drawn, nor anything left over.
      EXPECT_EQ(box.composite(), i == 1 ? bare : fresh[(size_t)i]) << layout << " size " << i;
    }
    // Another buffer (the capture started again) gets it too.
    GuardedBuffer other(box.frame_size);
    osdSetDMA(0, other.data(), other.phys(), other.size);
    EXPECT_EQ(box.composite(), fresh[0]) << layout;
    osdSetDMA(0, box.dma.data(), box.dma.phys(), box.dma.size);
    osd_short(0, 0x02);
    osd_short(3, 0x02, 10, 10, 12);  // moved hidden, it stays hidden
    at(sizes[2]);
    EXPECT_EQ(osd_channel(0)->slots[2].type, 0u);
    EXPECT_EQ(box.composite(), bare) << layout;
  }
}

TEST(OsdSlotCommand, HideOvertakesDecode) {
  Bytes png = osd_magick("-size 6x6 xc:white PNG32:", "hide.png");
  Box box(64, 36, OSD_LAYOUT_NV12);
  Worker *w = Worker_create(4, nullptr);
  ASSERT_NE(w, nullptr);
  osd_set_decode_worker(w);
  std::mutex m;
  std::condition_variable cv;
  bool go = false;
  struct Gate {
    std::mutex *m;
    std::condition_variable *cv;
    bool *go;
  } gate = {&m, &cv, &go};
  Worker_add_task(w, [](void *a) {
    Gate *g = (Gate *)a;
    std::unique_lock<std::mutex> l(*g->m);
    g->cv->wait(l, [g] { return *g->go; });
  }, &gate);
  osd_send(std::vector<uint8_t>(png.begin(), png.end()), 1, 1, 0x02, 8);
  osd_short(0, 0x02);
  std::atomic<int> done{0};
  Worker_add_task(w, [](void *a) { ((std::atomic<int> *)a)->store(1); }, &done);
  {
    std::lock_guard<std::mutex> l(m);
    go = true;
  }
  cv.notify_all();
  EXPECT_TRUE(wait_until([&] { return done == 1; }, 30000)) << "the decode worker never reached the last task";
  osd_set_decode_worker(nullptr);
  Worker_delete(w);
  EXPECT_EQ(osd_channel(0)->slots[2].type, 0u);
  EXPECT_EQ(osd_channel(0)->slots[2].width, 6u);
  osd_short(2, 0x02);
  EXPECT_EQ(box.composite()[64 + 1], 240);
}

// Random commands, images and texts at random places on every layout, with
// format changes between them: nothing outside the frame or the buffer.
TEST(OsdSlotCommand, RandomCommandsStayInside) {
  Bytes png = osd_magick("-size 37x9 gradient:red-blue PNG24:", "rnd.png");
  Bytes bmp = osd_magick("-size 21x5 plasma: -type TrueColor BMP3:", "rnd.bmp");
  ASSERT_FALSE(png.empty());
  std::mt19937 rnd(24);
  const int layouts[] = {OSD_LAYOUT_NV12, OSD_LAYOUT_UYVY, OSD_LAYOUT_RGB32, OSD_LAYOUT_RGB16,
                         OSD_LAYOUT_NV12_LUMA};
  int commands = 0;
  for (int round = 0; round < 30; round++) {
    int layout = layouts[round % 5];
    uint32_t width = 16 + rnd() % 100, lines = 2 * (4 + rnd() % 40);
    uint32_t pitch = width * (layout == OSD_LAYOUT_RGB32 ? 4 : layout == 2 || layout == 4 ? 2 : 1);
    Box box(pitch, lines, layout);
    for (int k = 0; k < 100; k++, commands++) {
      int32_t x = (int32_t)(rnd() % 300) - 150, y = (int32_t)(rnd() % 200) - 100;
      uint32_t target = rnd() % 64, opacity = rnd() % 16;
      switch (rnd() % 8) {
        case 0: osd_short(rnd() % 5, target, x, y, opacity); break;
        case 1:
        case 2: {
          std::vector<uint8_t> runs(rnd() % 200);
          for (auto &b : runs) b = (uint8_t)rnd();
          osd_send(osd_rle_command(rnd() % 2 ? "RLE " : "RLEA", (uint16_t)(rnd() % 300), (uint16_t)(rnd() % 50),
                                   runs),
                   x, y, target, opacity);
          break;
        }
        case 3: osd_send(std::vector<uint8_t>(png.begin(), png.end()), x, y, target, opacity); break;
        case 4: osd_send(std::vector<uint8_t>(bmp.begin(), bmp.end()), x, y, target, opacity); break;
        case 5: osdSetText((int)(rnd() % 18), x, y, rnd() % 2 ? "Hi^n^c" : "BOX", 1 + rnd() % 4, rnd() % 8); break;
        case 6: osdSetFormat(0, width, lines - 2 * (rnd() % 3), layout, pitch); break;
        default: osdCopyChannel(0, 3); break;
      }
      box.composite(rnd() % 2 ? 0 : 1);
      ASSERT_EQ(box.frame.guard_damage(), -1) << "command " << commands;
      ASSERT_EQ(box.dma.guard_damage(), -1) << "command " << commands;
    }
  }
  EXPECT_EQ(commands, 3000);
}

}  // namespace
