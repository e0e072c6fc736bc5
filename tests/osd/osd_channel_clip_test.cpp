// Channel set-up and text placement: the records each channel follows, the
// position clamp written back into the configuration, UYVY placement, the
// style rule for the large fonts, channel 3 sharing channel 0's record, and
// the parameter-application hooks.
#include <gtest/gtest.h>
#include <cstddef>
#include <cstring>

#include "core/log.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "osd_test_frames.h"

namespace {

ParamBlock block;

std::string take_log(void) {
  static char buf[1 << 16];
  size_t n = log_read(buf, sizeof buf - 1);
  return std::string(buf, n);
}

TEST(OsdChannelClip, ChannelsFollowTheirRecordsInTheBlock) {
  memset(&block, 0, sizeof block);
  osdInit(&block);
  const uint8_t *base = (const uint8_t *)&block;
  EXPECT_EQ((const uint8_t *)osd_channel(0)->config - base, 152);
  EXPECT_EQ((const uint8_t *)osd_channel(1)->config - base, 356);
  EXPECT_EQ((const uint8_t *)osd_channel(2)->config - base, 648);
  EXPECT_EQ(osd_channel(3)->config, osd_channel(0)->config);
  EXPECT_EQ(sizeof(OsdTextConfig), 172u);
  EXPECT_EQ(osd_channel(4), nullptr);
  EXPECT_EQ(osd_channel(-1), nullptr);
}

TEST(OsdChannelClip, PositionBeyondTheFrameIsPulledInAndWrittenBack) {
  osd_test_setup(&block, 720, 480, OSD_LAYOUT_NV12, 2, 0, 5000, 5000);
  OsdChannel *ch = osd_channel(0);
  EXPECT_EQ(block.video[0].osd.x, 720u);
  EXPECT_EQ(block.video[0].osd.y, 480u - 16);
  EXPECT_EQ(ch->chars_per_line, 0);
  EXPECT_EQ(ch->text_offset, 720u + 720u * (480 - 16));
  EXPECT_EQ(ch->shown.x, 720u);

  osd_test_setup(&block, 720, 480, OSD_LAYOUT_NV12, 1, 0, 100, 50);
  EXPECT_EQ(block.video[0].osd.x, 100u);
  EXPECT_EQ(block.video[0].osd.y, 50u);
  EXPECT_EQ(ch->chars_per_line, (720 - 100) / 8);
  EXPECT_EQ(ch->text_offset, 100u + 720u * 50);

  // Negative positions (the fields are unsigned in the block) start at 0.
  osd_test_setup(&block, 720, 480, OSD_LAYOUT_NV12, 1, 0, -7, -1);
  EXPECT_EQ(block.video[0].osd.x, 0u);
  EXPECT_EQ(block.video[0].osd.y, 0u);
  EXPECT_EQ(ch->text_offset, 0u);
  EXPECT_EQ(ch->chars_per_line, 90);

  // A frame lower than the cell keeps the text at the top.
  osd_test_setup(&block, 100, 40, OSD_LAYOUT_NV12, 4, 0, 10, 30);
  EXPECT_EQ(block.video[0].osd.y, 0u);
  EXPECT_EQ(ch->chars_per_line, 2);
}

TEST(OsdChannelClip, UyvyWidthIsHalfThePitchAndOffsetsTwoBytesAPixel) {
  osd_test_setup(&block, 1440, 480, OSD_LAYOUT_UYVY, 3, 0, 701, 10);
  OsdChannel *ch = osd_channel(0);
  EXPECT_EQ(block.video[0].osd.x, 701u);
  EXPECT_EQ(ch->chars_per_line, (720 - 701) / 19);
  EXPECT_EQ(ch->text_offset, 2u * 701 + 1440u * 10);
  osd_test_setup(&block, 1440, 480, OSD_LAYOUT_UYVY, 3, 0, 900, 10);
  EXPECT_EQ(block.video[0].osd.x, 720u);
}

TEST(OsdChannelClip, LargeFontsLoseTheShadedStyles) {
  for (int font = 1; font <= 4; font++)
    for (int style = 0; style < 8; style++) {
      osd_test_setup(&block, 720, 480, OSD_LAYOUT_NV12, font, style, 0, 0);
      int want = font > 2 && (style == 2 || style == 3) ? 0 : style;
      EXPECT_EQ(block.video[0].osd.transparent, want) << "font " << font << " style " << style;
      EXPECT_EQ(osd_channel(0)->shown.transparent, want);
    }
}

TEST(OsdChannelClip, ForeignRecordWarnsAndClipsTheChannelsOwn) {
  osd_test_setup(&block, 720, 480, OSD_LAYOUT_NV12, 1, 0, 10, 10);
  take_log();
  OsdTextConfig other = block.video[0].osd;
  block.video[0].osd.x = 9999;
  osdSetConfig(0, &other);
  EXPECT_NE(take_log().find("wrong osd parameter for ch=0\n"), std::string::npos);
  EXPECT_EQ(block.video[0].osd.x, 720u);
  EXPECT_EQ(other.x, 10u);
}

TEST(OsdChannelClip, ChannelThreeSharesChannelZerosRecord) {
  osd_test_setup(&block, 720, 480, OSD_LAYOUT_NV12, 1, 0, 10, 10, "zero");
  osdSetFormat(3, 320, 240, OSD_LAYOUT_NV12, 320);
  osdSetFormat(1, 320, 240, OSD_LAYOUT_NV12, 320);
  block.video[1].osd.enabled = 2;
  strcpy(block.video[1].osd.message, "one");
  // Copying 0 to 3 copies no configuration (the same record) but re-clips 3.
  block.video[0].osd.x = 600;
  osdCopyChannel(0, 3);
  EXPECT_EQ(block.video[0].osd.x, 320u);
  EXPECT_EQ(osd_channel(3)->chars_per_line, 0);
  // A change applied to channel 0 reaches channel 3 too.
  strcpy(block.video[0].osd.message, "changed");
  block.video[0].osd.x = 16;
  osdSetConfig(0, &block.video[0].osd);
  EXPECT_STREQ(osd_channel(3)->message, "changed");
  EXPECT_EQ(osd_channel(3)->text_offset, 16u + 320u * 10);
  // Between different records the configuration is copied.
  osdCopyChannel(1, 2);
  EXPECT_STREQ(block.display_osd.message, "one");
  EXPECT_EQ(block.display_osd.enabled, 2);
}

TEST(OsdChannelClip, TextExtentAndQueries) {
  int w = 0, h = 0;
  osdTextExtent("ab\nlonger\n", 8, 13, &w, &h);
  EXPECT_EQ(w, 48);
  EXPECT_EQ(h, 39);
  osdTextExtent("", 16, 16, &w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 16);

  osd_test_setup(&block, 720, 480, OSD_LAYOUT_NV12, 2, 0, 20, 30, "ab^nxyz");
  GuardedFrame fr(osd_test_frame_size(720, 480, OSD_LAYOUT_NV12));
  osdComposite(0, fr.frame(), 0);
  int x, y, first, last;
  osdGetTextBox(0, &x, &y, &w, &h);
  EXPECT_EQ(x, 20);
  EXPECT_EQ(y, 30);
  EXPECT_EQ(w, 48);
  EXPECT_EQ(h, 32);
  osdGetTextLines(0, &first, &last);
  EXPECT_EQ(first, 30);
  EXPECT_EQ(last, 30 - 1 + 32);
  block.video[0].osd.enabled = 0;
  osdSetConfig(0, &block.video[0].osd);
  osdGetTextBox(0, &x, &y, &w, &h);
  EXPECT_EQ(x | y | w | h, 0);
}

TEST(OsdChannelClip, NothingIsPlacedBeforeTheFormatIsKnown) {
  memset(&block, 0, sizeof block);
  osdInit(&block);
  block.video[0].osd.enabled = 1;
  block.video[0].osd.x = 5000;
  osdSetConfig(0, &block.video[0].osd);
  EXPECT_EQ(block.video[0].osd.x, 5000u);
  EXPECT_EQ(osd_channel(0)->chars_per_line, 0);
  GuardedFrame fr(64);
  osdComposite(0, fr.frame(), 0);
  osdDrawText(0, fr.frame(), "x");
  EXPECT_EQ(fr.guard_damage(), -1);
  for (int i = 0; i < 64; i++) ASSERT_EQ(fr.frame()[i], GuardedFrame::kPattern);
}

// Parameter application reaches the channels through the hooks osd_start
// fills: the changed position is clamped into the live block.
TEST(OsdChannelClip, ParameterChangesApplyThroughTheHooks) {
  ParamApplyHooks saved = param_apply_hooks;
  ParamBlock live_saved = *get_param_block();
  osd_start();
  osdSetFormat(0, 720, 480, OSD_LAYOUT_NV12, 720);
  param_take_changes();
  ASSERT_EQ(param_set_str("Video[0].OSD.Enabled", "1"), nullptr);
  ASSERT_EQ(param_set_str("Video[0].OSD.X", "1900"), nullptr);
  ASSERT_EQ(param_set_str("Video[0].OSD.Message", "hooked"), nullptr);
  EXPECT_STRNE(osd_channel(0)->message, "hooked");
  param_apply_changes();
  EXPECT_EQ(get_param_block()->video[0].osd.x, 720u);
  EXPECT_STREQ(osd_channel(0)->message, "hooked");
  // The message has no change group: the next frame shows it all the same.
  ASSERT_EQ(param_set_str("Video[0].OSD.Message", "second"), nullptr);
  EXPECT_EQ(param_take_changes(), 0u);
  GuardedFrame fr(osd_test_frame_size(720, 480, OSD_LAYOUT_NV12));
  osdComposite(0, fr.frame(), 0);
  EXPECT_STREQ(osd_channel(0)->text, "second");
  param_apply_hooks.overlay_set_frame_counter(77);
  for (int i = 0; i < OSD_CHANNELS; i++) EXPECT_EQ(osd_channel(i)->frame_count, 77u);
  param_apply_hooks = saved;
  *get_param_block() = live_saved;
}

}  // namespace
