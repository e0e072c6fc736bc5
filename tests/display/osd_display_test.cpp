// The framebuffer OSD on the simulated framebuffers: what reaches the shown
// pages (read back through the "osd" dump, and by tesseract for the text of
// each font), clipping, the attribute byte rule, scrolling, page flips and
// the window registers of each output standard.
#include <gtest/gtest.h>

#include <cstdio>
#include <png.h>
#include <string>
#include <vector>

#include "core/hwreg.h"
#include "display/hd_display.h"
#include "display/osd_display.h"
#include "display/osd_fonts.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "osd_test_support.h"
#include "test_root.h"

namespace {

struct Rgba {
  uint32_t w = 0, h = 0;
  std::vector<uint8_t> px;
  const uint8_t *at(int x, int y) const { return &px[((size_t)y * w + (size_t)x) * 4]; }
};

Rgba read_png(const char *host) {
  Rgba img;
  png_image pi = {};
  pi.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&pi, host)) return img;
  pi.format = PNG_FORMAT_RGBA;
  img.px.resize(PNG_IMAGE_SIZE(pi));
  if (!png_image_finish_read(&pi, nullptr, img.px.data(), 0, nullptr)) return {};
  img.w = pi.width;
  img.h = pi.height;
  return img;
}

std::string run(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

struct OsdFixture : ::testing::Test {
  GuiContext ctx{};
  void SetUp() override {
    ASSERT_EQ(osd_test_open(&ctx), 0);
  }
  void TearDown() override { osd_release(); }
  // The shown pages, as the "osd" command dumps them.
  Rgba shown(const char *name = "osd.png") {
    std::string board = std::string("/tmp/") + name;
    EXPECT_EQ(sim_video_out_command(("osd " + board).c_str()), 0);
    return read_png(HostPath(board.c_str()).c_str());
  }
  static int opaque_in(const Rgba &img, int x0, int y0, int w, int h) {
    int n = 0;
    for (int y = y0; y < y0 + h; y++)
      for (int x = x0; x < x0 + w; x++) n += img.at(x, y)[3] != 0;
    return n;
  }
};

TEST_F(OsdFixture, PlanesAreSetUpOnTheUserPointerMemoryAndFlipPages) {
  SimFbInfo c, a;
  sim_fb_info(0, &c);
  sim_fb_info(2, &a);
  EXPECT_EQ(c.var.xres, 640u);
  EXPECT_EQ(c.var.yres_virtual, 960u);
  EXPECT_EQ(c.var.bits_per_pixel, 16u);
  EXPECT_EQ(a.var.bits_per_pixel, 4u);
  EXPECT_EQ(a.line_length, 320u);
  EXPECT_EQ(c.phys, Buffer_getPhysicalPtr(BufTab_getBuf(osd_state.color_mem, 0)));
  EXPECT_EQ(c.blank, FB_BLANK_UNBLANK);

  // Nothing drawn shows before the flush; after it the drawing is on the
  // shown page and also on the new draw page, so the next frame builds on it.
  OsdRect r = {10, 10, 100, 50};
  fillSquare(&r, 0xFF, 7);
  EXPECT_EQ(opaque_in(shown(), 10, 10, 100, 50), 0);
  uint64_t waits = a.vsync_waits;
  osd_flush(&ctx);
  Rgba img = shown();
  EXPECT_EQ(opaque_in(img, 10, 10, 100, 50), 100 * 50);
  EXPECT_EQ(opaque_in(img, 0, 0, 640, 480), 100 * 50);
  const uint8_t *p = img.at(50, 30);
  EXPECT_EQ(p[0], 255);
  EXPECT_EQ(p[3], 255);
  sim_fb_info(2, &a);
  EXPECT_EQ(a.vsync_waits, waits + 1);
  sim_fb_info(0, &c);
  int page = (int)(c.var.yoffset / 480);
  OsdRect r2 = {200, 200, 20, 20};
  fillSquare(&r2, 0x00, 4);
  osd_flush(&ctx);
  img = shown();
  sim_fb_info(0, &c);
  EXPECT_NE((int)(c.var.yoffset / 480), page);
  EXPECT_EQ(opaque_in(img, 10, 10, 100, 50), 100 * 50);
  EXPECT_EQ(img.at(205, 205)[3], 4 * 255 / 7);
  EXPECT_EQ(img.at(205, 205)[0], 0);
}

TEST_F(OsdFixture, TextIsSizedAlwaysAndDrawnOnlyWhollyInside) {
  OsdRect r = {640 - 9 * 4 + 1, 100, 0, 0};  // ends one pixel past the edge
  osd_draw_text(&r, "ABCD", 4, 0xFFFFFFFF);
  EXPECT_EQ(r.width, 36);
  EXPECT_EQ(r.height, 13);
  r = {0, 480 - 12, 0, 0};
  osd_draw_text(&r, "A", 1, 0xFFFFFFFF);
  osd_flush(&ctx);
  EXPECT_EQ(opaque_in(shown(), 0, 0, 640, 480), 0);

  // Á is glyph 157 of the code page, pixel for pixel; À has no glyph: a
  // space (nothing drawn) and a log line.
  r = {20, 20, 0, 0};
  osd_draw_text(&r, "\xC3\x81\xC3\x80", 2, 0xE0FF0000);
  EXPECT_EQ(r.width, 18);
  osd_flush(&ctx);
  Rgba img = shown();
  for (int y = 0; y < 13; y++)
    for (int x = 0; x < 9; x++) {
      bool set = osd_menu_font9(157 - 32)[y] >> (8 - x) & 1;
      EXPECT_EQ(img.at(20 + x, 20 + y)[3], set ? 255 : 0) << x << "," << y;
      if (set) EXPECT_EQ(img.at(20 + x, 20 + y)[0], 255);
    }
  EXPECT_EQ(opaque_in(img, 29, 20, 9, 13), 0);
  EXPECT_EQ(utf8_strlen("\xC3\x81x\xC2\xBF"), 3);
}

TEST_F(OsdFixture, FillsIconsAndScrollingStayInsideThePage) {
  // An odd x takes its byte's neighbour: pixel 11 asked, 10 changes too.
  OsdRect r = {11, 5, 4, 2};
  osd_fill_attr(&r, 7);
  // A square past the bottom right corner is clipped; an icon drawn across
  // line 479 only draws its visible rows.
  OsdRect big = {600, 470, 100, 100};
  fillSquare(&big, 0xFF, 3);
  uint16_t icon[16];
  for (uint16_t &row : icon) row = 0xFFFF;
  osd_draw_icon(300, 470, icon, 0x07E0);
  osd_draw_icon(-8, -8, icon, 0x07E0);
  osd_flush(&ctx);
  Rgba img = shown();
  EXPECT_EQ(img.at(10, 5)[3], 255);
  EXPECT_EQ(img.at(15, 6)[3], 255);  // (11 + 4 + 1) / 2 = byte 8: pixels up to 15
  EXPECT_EQ(img.at(9, 5)[3], 0);
  EXPECT_EQ(img.at(10, 7)[3], 0);
  EXPECT_EQ(opaque_in(img, 600, 470, 40, 10), 400);
  EXPECT_EQ(opaque_in(img, 300, 470, 16, 10), 160);
  EXPECT_EQ(img.at(300, 479)[1], 255);
  EXPECT_EQ(opaque_in(img, 0, 0, 8, 8), 64);

  // Scrolling moves both planes up; the freed lines become transparent.
  osd_scroll_up(10);
  osd_flush(&ctx);
  img = shown("scroll.png");
  EXPECT_EQ(opaque_in(img, 600, 460, 40, 10), 400);
  EXPECT_EQ(opaque_in(img, 0, 470, 640, 10), 0);
  EXPECT_EQ(img.at(300, 465)[1], 255);
}

TEST_F(OsdFixture, TesseractReadsTheTextOfEachFont) {
  if (run("command -v tesseract").empty() || run("command -v convert").empty())
    GTEST_SKIP() << "tesseract or ImageMagick missing";
  const int sizes[3] = {1, 2, 3};
  const char *lines[3] = {"Recording to SD Card", "Remaining recording time", "Snapshot limit"};
  int y = 40;
  for (int i = 0; i < 3; i++) {
    osd_set_font(sizes[i]);
    OsdRect r = {20, y, 0, 0};
    osd_draw_text(&r, lines[i], utf8_strlen(lines[i]), 0xFFFFFFFF);
    y += r.height + 20;
  }
  osd_set_font(1);
  osd_flush(&ctx);
  shown("fonts.png");
  std::string host = HostPath("/tmp/fonts.png").c_str();
  std::string text = run("convert '" + host + "' -background black -alpha remove -negate -scale 300% '" +
                         host + ".x3.png' && OMP_THREAD_LIMIT=1 tesseract '" + host +
                         ".x3.png' - --psm 6 2>/dev/null");
  for (const char *line : lines) EXPECT_NE(text.find(line), std::string::npos) << text;
}

TEST(OsdWindows, FollowTheOutputStandard) {
  test_root();
  hwreg_map();
  display_info.width = 1920;
  osd_config_windows(18);
  EXPECT_EQ(osd_scale, 2);
  EXPECT_EQ(hwreg_read(0x01C71C70), 1280u);
  EXPECT_EQ(hwreg_read(0x01C71C74), 960u);
  EXPECT_EQ(hwreg_read(0x01C71C08) & 0x502u, 0x500u);
  display_info.width = 1024;
  osd_config_windows(4);
  EXPECT_EQ(hwreg_read(0x01C71C80), 1024u);
  osd_config_windows(5);
  EXPECT_EQ(osd_scale, 1);
  EXPECT_EQ(hwreg_read(0x01C71C84), 480u);
  EXPECT_EQ(hwreg_read(0x01C71C0C) & 0xF02u, 2u);
  display_info.width = 0;
}

}  // namespace
