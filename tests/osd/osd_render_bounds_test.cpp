// No configuration writes outside its frame: text at the right and bottom
// edges, lines pushed below the frame by '\n', frames smaller than a cell,
// and random geometry; and moving the configured position moves the text.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "osd_test_frames.h"

namespace {

ParamBlock block;

const int kLayouts[2] = {OSD_LAYOUT_NV12, OSD_LAYOUT_UYVY};

const char *name(int layout) { return layout == OSD_LAYOUT_UYVY ? "UYVY" : "NV12"; }

// Bytes of the frame outside the rectangle (x, y, w, h) in pixels that differ
// from ref; only the luma plane (NV12) or the whole packed frame (UYVY).
int changes_outside(const uint8_t *f, const uint8_t *ref, uint32_t pitch, uint32_t lines, int layout, uint32_t x,
                    uint32_t y, uint32_t w, uint32_t h) {
  uint32_t bpp = layout == OSD_LAYOUT_UYVY ? 2 : 1;
  int n = 0;
  for (uint32_t l = 0; l < lines; l++)
    for (uint32_t b = 0; b < pitch; b++) {
      uint32_t px = b / bpp;
      bool inside = l >= y && l < y + h && px >= x && px < x + w;
      if (!inside && f[l * pitch + b] != ref[l * pitch + b]) n++;
    }
  return n;
}

TEST(OsdRenderBounds, CellsAtTheRightAndBottomEdgesStayInside) {
  for (int layout : kLayouts)
    for (int font = 1; font <= 4; font++)
      for (int style = 0; style < 8; style++) {
        SCOPED_TRACE(std::string(name(layout)) + " font " + std::to_string(font) + " style " +
                     std::to_string(style));
        uint32_t cw = osd_cell_width[font], chh = osd_cell_height[font];
        uint32_t width = 3 * cw + 5, lines = 2 * chh + 6;
        uint32_t pitch = layout == OSD_LAYOUT_UYVY ? 2 * width : width;
        // One cell fits left of the right edge; the next line and the second
        // character of each line are off the frame.
        osd_test_setup(&block, pitch, lines, layout, font, style, (int32_t)(width - cw - 1),
                       (int32_t)(lines - chh));
        GuardedFrame fr(osd_test_frame_size(pitch, lines, layout));
        osd_test_fill_picture(fr.frame(), pitch, lines, layout);
        std::vector<uint8_t> ref(fr.frame(), fr.frame() + fr.size);
        osdDrawText(0, fr.frame(), "WM\nWM\n\nW");
        EXPECT_EQ(fr.guard_damage(), -1);
        EXPECT_EQ(changes_outside(fr.frame(), ref.data(), pitch, lines, layout, width - cw - 1, lines - chh, cw, chh),
                  0);
        if (layout == OSD_LAYOUT_NV12)
          EXPECT_EQ(memcmp(fr.frame() + pitch * lines, ref.data() + pitch * lines, pitch * lines / 2), 0)
              << "NV12 chroma changed";
        bool drawn = memcmp(fr.frame(), ref.data(), fr.size) != 0;
        EXPECT_EQ(drawn, style != 7);
      }
}

TEST(OsdRenderBounds, FramesSmallerThanACellAreCut) {
  for (int layout : kLayouts)
    for (int font = 1; font <= 4; font++)
      for (uint32_t width : {1u, 3u, 7u, 9u})
        for (uint32_t lines : {2u, 6u, 12u}) {
          uint32_t pitch = layout == OSD_LAYOUT_UYVY ? 2 * width : width;
          osd_test_setup(&block, pitch, lines, layout, font, 0, 0, 0);
          GuardedFrame fr(osd_test_frame_size(pitch, lines, layout));
          osdDrawText(0, fr.frame(), "W\nW");
          osd_test_setup(&block, pitch, lines, layout, font, 5, 1000, 1000);
          osdDrawText(0, fr.frame(), "W\nW");
          EXPECT_EQ(fr.guard_damage(), -1) << name(layout) << " font " << font << " " << width << "x" << lines;
        }
}

// Random geometry, position, font, style and text (line breaks, bytes above
// 126): nothing outside the frame changes.
TEST(OsdRenderBounds, RandomConfigurationsNeverWriteOutside) {
  std::mt19937 rng(7391);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  for (int i = 0; i < 3000; i++) {
    int layout = kLayouts[pick(0, 1)];
    uint32_t width = pick(1, 160), lines = pick(1, 140) & ~1u;
    if (!lines) lines = 2;
    uint32_t pitch = layout == OSD_LAYOUT_UYVY ? 2 * width : width + pick(0, 3);
    int font = (int)pick(0, 4), style = (int)pick(0, 7);
    int32_t x = (int32_t)pick(0, 200) - 20, y = (int32_t)pick(0, 200) - 20;
    std::string text;
    for (uint32_t n = pick(0, 60); n; n--) {
      uint32_t r = pick(0, 20);
      text += r == 0 ? '\n' : r == 1 ? (char)pick(128, 255) : (char)pick(32, 126);
    }
    osd_test_setup(&block, pitch, lines, layout, font, style, x, y);
    GuardedFrame fr(osd_test_frame_size(pitch, lines, layout));
    osd_test_fill_picture(fr.frame(), pitch, lines, layout);
    osdDrawText(0, fr.frame(), text.c_str());
    ASSERT_EQ(fr.guard_damage(), -1) << name(layout) << " pitch " << pitch << " lines " << lines << " font "
                                     << font << " style " << style << " at " << x << "," << y << " text '"
                                     << text << "'";
  }
}

// The pixels a text changes, as (line, byte) pairs relative to (x, y).
std::vector<std::pair<int, int>> footprint(int layout, int font, int style, int32_t x, int32_t y) {
  const uint32_t width = 200, lines = 160;
  uint32_t pitch = layout == OSD_LAYOUT_UYVY ? 2 * width : width;
  osd_test_setup(&block, pitch, lines, layout, font, style, x, y);
  GuardedFrame fr(osd_test_frame_size(pitch, lines, layout));
  osd_test_fill_picture(fr.frame(), pitch, lines, layout);
  std::vector<uint8_t> ref(fr.frame(), fr.frame() + fr.size);
  osdDrawText(0, fr.frame(), "Ab\n9");
  int bpp = layout == OSD_LAYOUT_UYVY ? 2 : 1;
  std::vector<std::pair<int, int>> out;
  for (uint32_t i = 0; i < pitch * lines; i++)
    if (fr.frame()[i] != ref[i]) out.emplace_back((int)(i / pitch) - y, (int)(i % pitch) - x * bpp);
  return out;
}

TEST(OsdRenderBounds, MovingThePositionMovesTheText) {
  for (int layout : kLayouts)
    for (int font = 1; font <= 3; font++) {
      SCOPED_TRACE(std::string(name(layout)) + " font " + std::to_string(font));
      // Style 4 (black text) on a picture that is never black, so exactly the
      // glyph pixels change; an even shift keeps UYVY pixel pairs aligned.
      auto a = footprint(layout, font, 4, 10, 7);
      auto b = footprint(layout, font, 4, 34, 29);
      EXPECT_FALSE(a.empty());
      EXPECT_EQ(a, b);
      auto c = footprint(layout, font, 4, 11, 8);
      EXPECT_EQ(a.size(), c.size());
    }
}

}  // namespace
