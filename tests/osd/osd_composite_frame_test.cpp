// One composite pass per frame: what it draws for each configuration, the
// frame counter, the A/V-sync readout, and frames composited while another
// thread keeps re-configuring the channel.
#include <gtest/gtest.h>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "osd_test_frames.h"

namespace {

ParamBlock block;

std::vector<uint8_t> composite(uint32_t pitch, uint32_t lines, int layout) {
  GuardedFrame fr(osd_test_frame_size(pitch, lines, layout));
  osd_test_fill_picture(fr.frame(), pitch, lines, layout);
  osdComposite(0, fr.frame(), 0);
  EXPECT_EQ(fr.guard_damage(), -1);
  return std::vector<uint8_t>(fr.frame(), fr.frame() + fr.size);
}

std::vector<uint8_t> picture(uint32_t pitch, uint32_t lines, int layout) {
  std::vector<uint8_t> f(osd_test_frame_size(pitch, lines, layout));
  osd_test_fill_picture(f.data(), pitch, lines, layout);
  return f;
}

TEST(OsdCompositeFrame, DisabledTextOrStyleSevenLeavesTheFrameButCounts) {
  osd_test_setup(&block, 64, 32, OSD_LAYOUT_NV12, 0, 0, 0, 0, "text");
  EXPECT_EQ(composite(64, 32, OSD_LAYOUT_NV12), picture(64, 32, OSD_LAYOUT_NV12));
  EXPECT_EQ(osd_channel(0)->frame_count, 1u);
  for (int font = 1; font <= 4; font++) {
    osd_test_setup(&block, 128, 96, OSD_LAYOUT_UYVY, font, 7, 0, 0, "text");
    EXPECT_EQ(composite(128, 96, OSD_LAYOUT_UYVY), picture(128, 96, OSD_LAYOUT_UYVY)) << "font " << font;
  }
  // Layouts the renderer does not know draw no text.
  osd_test_setup(&block, 256, 32, OSD_LAYOUT_RGB32, 1, 0, 0, 0, "text");
  GuardedFrame fr(256 * 32);
  osdComposite(0, fr.frame(), 0);
  for (size_t i = 0; i < fr.size; i++) ASSERT_EQ(fr.frame()[i], GuardedFrame::kPattern);
  EXPECT_EQ(osd_channel(0)->frame_count, 1u);
}

// Font 1, style 5: black glyphs in a white 8x13 box per character; the
// characters past the line's room are skipped up to the next line.
TEST(OsdCompositeFrame, InverseBoxesAndLineRoom) {
  const uint32_t pitch = 3 + 8 * 3, lines = 40;
  osd_test_setup(&block, pitch, lines, OSD_LAYOUT_NV12, 1, 5, 3, 1, "ABCDE^nF");
  std::vector<uint8_t> f = composite(pitch, lines, OSD_LAYOUT_NV12);
  EXPECT_STREQ(osd_channel(0)->text, "ABCDE\nF");
  auto cell_is_box = [&](uint32_t cx, uint32_t cy) {
    int dark = 0;
    for (uint32_t y = cy; y < cy + 13; y++)
      for (uint32_t x = cx; x < cx + 8; x++) {
        uint8_t v = f[y * pitch + x];
        if (v != 16 && v != 239) return false;
        dark += v == 16;
      }
    return dark > 0 && dark < 8 * 13 / 2;
  };
  for (uint32_t c = 0; c < 3; c++) EXPECT_TRUE(cell_is_box(3 + 8 * c, 1)) << "cell " << c;
  EXPECT_TRUE(cell_is_box(3, 14));
  // Only the three cells of "ABC" and the one of "F" changed.
  std::vector<uint8_t> ref = picture(pitch, lines, OSD_LAYOUT_NV12);
  int changed = 0;
  for (uint32_t i = 0; i < pitch * lines; i++) changed += f[i] != ref[i];
  int boxed = 0;
  for (uint32_t y = 1; y < 27; y++)
    for (uint32_t x = 3; x < pitch; x++) boxed += (y < 14 || x < 11) && f[y * pitch + x] != ref[y * pitch + x];
  EXPECT_EQ(changed, boxed);
}

// On UYVY, font 1's opaque box is colourless; the larger fonts keep the
// picture's colour.
TEST(OsdCompositeFrame, UyvyOpaqueBoxChroma) {
  for (int font = 1; font <= 4; font++) {
    const uint32_t width = 100, lines = 70, pitch = 2 * width;
    osd_test_setup(&block, pitch, lines, OSD_LAYOUT_UYVY, font, 0, 2, 2, "A");
    std::vector<uint8_t> f = composite(pitch, lines, OSD_LAYOUT_UYVY);
    std::vector<uint8_t> ref = picture(pitch, lines, OSD_LAYOUT_UYVY);
    uint32_t cw = osd_cell_width[font], chh = osd_cell_height[font];
    for (uint32_t y = 2; y < 2 + chh; y++)
      for (uint32_t x = 2; x < 2 + cw; x++) {
        const uint8_t *p = &f[y * pitch + 2 * x];
        ASSERT_TRUE(p[1] == 16 || p[1] == 239) << "font " << font;
        ASSERT_EQ(p[0], font == 1 ? 128 : ref[y * pitch + 2 * x]) << "font " << font << " at " << x << "," << y;
      }
  }
}

TEST(OsdCompositeFrame, AvSyncReadoutReplacesTheMessage) {
  osd_test_setup(&block, 640, 64, OSD_LAYOUT_NV12, 1, 0, 12, 8, "avsync");
  composite(640, 64, OSD_LAYOUT_NV12);
  EXPECT_STREQ(osd_channel(0)->text, "avsync +0 ms 0 0\n");
  // Once on, it stays on; other messages still show as themselves.
  block.video[0].osd.message[0] = 'A';
  osdSetConfig(0, &block.video[0].osd);
  composite(640, 64, OSD_LAYOUT_NV12);
  EXPECT_STREQ(osd_channel(0)->text, "Avsync");
}

// A composite pass never draws a mix of two configurations: another thread
// rewrites the live record (holding the channel's lock, as a writer of
// several fields does) and applies it, over and over.
TEST(OsdCompositeFrame, ReconfigurationNeverShowsHalfAChange) {
  const uint32_t pitch = 320, lines = 48;
  const char *a = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", *b = "ww";
  osd_test_setup(&block, pitch, lines, OSD_LAYOUT_NV12, 1, 0, 4, 4, a);
  std::vector<uint8_t> want_a = composite(pitch, lines, OSD_LAYOUT_NV12);
  osd_test_setup(&block, pitch, lines, OSD_LAYOUT_NV12, 2, 5, 40, 20, b);
  std::vector<uint8_t> want_b = composite(pitch, lines, OSD_LAYOUT_NV12);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    OsdTextConfig &c = block.video[0].osd;
    for (int i = 0; !stop; i++) {
      bool first = i & 1;
      pthread_mutex_lock(&osd_channel(0)->lock);
      memset(c.message, 0, sizeof c.message);
      strcpy(c.message, first ? a : b);
      c.enabled = first ? 1 : 2;
      c.transparent = first ? 0 : 5;
      c.x = first ? 4 : 40;
      c.y = first ? 4 : 20;
      pthread_mutex_unlock(&osd_channel(0)->lock);
      osdSetConfig(0, &c);
    }
  });
  int seen_a = 0, seen_b = 0;
  for (int i = 0; i < 3000 && !HasFailure(); i++) {
    std::vector<uint8_t> f = composite(pitch, lines, OSD_LAYOUT_NV12);
    bool is_a = f == want_a, is_b = f == want_b;
    EXPECT_TRUE(is_a || is_b) << "frame " << i << " mixes two configurations";
    seen_a += is_a;
    seen_b += is_b;
  }
  stop = true;
  writer.join();
  EXPECT_GT(seen_a + seen_b, 0);
}

// Message, font and style carry no change group: a change shows on the next
// frame without a re-apply, placed for the new font even though nothing
// re-clipped the channel.
TEST(OsdCompositeFrame, LiveChangesShowOnTheNextFrameInsideTheFrame) {
  const uint32_t pitch = 100, lines = 70;
  osd_test_setup(&block, pitch, lines, OSD_LAYOUT_NV12, 1, 0, 100, 100, "ab");
  EXPECT_EQ(block.video[0].osd.y, lines - 13);
  composite(pitch, lines, OSD_LAYOUT_NV12);
  EXPECT_STREQ(osd_channel(0)->text, "ab");
  strcpy(block.video[0].osd.message, "WXYZ^nW");
  block.video[0].osd.enabled = 4;
  block.video[0].osd.x = 70;
  std::vector<uint8_t> f = composite(pitch, lines, OSD_LAYOUT_NV12);
  EXPECT_STREQ(osd_channel(0)->text, "WXYZ\nW");
  EXPECT_EQ(osd_channel(0)->chars_per_line, 0);
  EXPECT_EQ(osd_channel(0)->shown.y, lines - 64);
  block.video[0].osd.x = 20;
  f = composite(pitch, lines, OSD_LAYOUT_NV12);
  EXPECT_EQ(osd_channel(0)->chars_per_line, 2);
  EXPECT_EQ(osd_channel(0)->text_offset, 20 + pitch * (lines - 64));
  EXPECT_NE(f, picture(pitch, lines, OSD_LAYOUT_NV12));
}

}  // namespace
