// End to end: frames that capture publishes carry channel A's configured
// message with its date and time, in the configured font and style, exactly
// as the renderer draws them; with the text off they carry none.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "media/capture_test_support.h"
#include "osd/osd_channel.h"
#include "osd/osd_font.h"
#include "osd_test_frames.h"
#include "platform/wallclock.h"

namespace {

// The Y bytes of the text's box in a UYVY frame (cells x cell size at x, y).
std::vector<uint8_t> box_luma(const uint8_t *f, uint32_t pitch, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  std::vector<uint8_t> out;
  for (uint32_t l = y; l < y + h; l++)
    for (uint32_t px = x; px < x + w; px++) out.push_back(f[(size_t)l * pitch + 2 * px + 1]);
  return out;
}

class OsdCaptureText : public ::testing::Test {
 protected:
  CaptureRun run;
  struct timeval saved_clock;
  void SetUp() override { wallclock_now(&saved_clock); }
  void TearDown() override {
    run.stop();
    struct timeval now;
    gettimeofday(&now, nullptr);
    wallclock_set(&now);
  }
  void start(int font, int style, const char *message) {
    run.start(SIM_DECODER_ADV7842, [&] {
      OsdTextConfig &c = get_param_block()->video[0].osd;
      c.enabled = (uint8_t)font;
      c.transparent = (uint8_t)style;
      c.date_format = 12;
      c.time_format = 4;
      c.x = 40;
      c.y = 60;
      memset(c.message, 0, sizeof c.message);
      strcpy(c.message, message);
      osd_start();
    });
  }
};

TEST_F(OsdCaptureText, PublishedFramesCarryTheConfiguredText) {
  struct timeval at = osd_test_local_moment(2031, 7, 4, 21, 30, 1);
  ASSERT_EQ(wallclock_set(&at), 0);
  start(2, 0, "CAM A ^d ^t");
  CaptureConsumer a(CAPTURE_STREAM1);
  FrameDesc *f = a.frame();
  ASSERT_NE(f, nullptr);
  const uint32_t pitch = 3840, lines = 1080;
  ASSERT_EQ(Buffer_getNumBytesUsed(f->buf), pitch * lines);
  const uint8_t *frame = (const uint8_t *)Buffer_getUserPtr(f->buf);

  // The same text drawn by the renderer on a frame of its own; style 0 is
  // opaque, so the picture underneath does not matter.
  const char *text = "CAM A 20310704 21:30";
  std::vector<uint8_t> ref(pitch * lines, 128);
  OsdTextTarget t = {ref.data(), pitch, lines, OSD_LAYOUT_UYVY, 2 * 40 + pitch * 60, 1000};
  osd_render(&t, 2, 0, text);
  uint32_t w = (uint32_t)strlen(text) * 16, h = 16;
  EXPECT_EQ(box_luma(frame, pitch, 40, 60, w, h), box_luma(ref.data(), pitch, 40, 60, w, h));
  // Next to the box the picture is the test pattern, not the text's black.
  std::vector<uint8_t> right = box_luma(frame, pitch, 40 + w, 60, 16, h);
  int black = 0;
  for (uint8_t v : right) black += v == 16;
  EXPECT_LT(black, (int)right.size());
}

TEST_F(OsdCaptureText, NoTextWhenDisabled) {
  start(0, 0, "CAM A");
  CaptureConsumer a(CAPTURE_STREAM1);
  FrameDesc *f = a.frame();
  ASSERT_NE(f, nullptr);
  const uint8_t *frame = (const uint8_t *)Buffer_getUserPtr(f->buf);
  std::vector<uint8_t> box = box_luma(frame, 3840, 40, 60, 80, 16);
  int black = 0;
  for (uint8_t v : box) black += v == 16;
  EXPECT_LT(black, (int)box.size() / 2);
  EXPECT_GT(osd_channel(0)->frame_count, 0u);
}

}  // namespace
