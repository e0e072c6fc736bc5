// Frames reach the capture streams only while somebody consumes them, at the
// input's rate, in each row's size and format, with the picture intact.
#include <cstdlib>
#include <gtest/gtest.h>

#include "capture_test_support.h"

namespace {

// 75% colour bars as ffmpeg turns them into RGB. The picture's grain (up to
// 6 levels on luma and chroma) moves blue by up to 20; black, whose luma is
// first held 6 levels above 16, comes out as up to (22, 5, 25).
const uint8_t kBarsRgb[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};

void expect_bars(const std::vector<uint8_t> &rgb, uint32_t w, uint32_t h) {
  ASSERT_EQ(rgb.size(), (size_t)w * h * 3);
  uint32_t y = h / 3;
  for (int bar = 0; bar < 8; bar++) {
    uint32_t x = (uint32_t)(bar * 2 + 1) * w / 16;
    const uint8_t *p = &rgb[((size_t)y * w + x) * 3];
    for (int c = 0; c < 3; c++)
      EXPECT_NEAR(p[c], kBarsRgb[bar][c], 26) << "bar " << bar << " channel " << c;
  }
}

// Pixels of the moving block's band that differ between two frames.
size_t band_changes(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, uint32_t w,
                    uint32_t h) {
  size_t n = 0;
  for (uint32_t y = h * 2 / 3 + 4; y < h - h / 12 - 4; y++)
    for (uint32_t x = 0; x < w; x++) n += a[((size_t)y * w + x) * 3] != b[((size_t)y * w + x) * 3];
  return n;
}

class CaptureDelivery : public ::testing::Test {
 protected:
  CaptureRun run;
  LogWatch log;
  void TearDown() override { run.stop(); }
};

}  // namespace

TEST_F(CaptureDelivery, OutputsRunOnlyWhileTheStreamsHaveConsumers) {
  run.start(SIM_DECODER_ADV7842);
  ASSERT_TRUE(log.wait("main capture loop running: 0 0"));
  usleep(300000);
  EXPECT_FALSE(sim_info().out[0].streaming);
  EXPECT_FALSE(sim_info().out[1].streaming);
  EXPECT_EQ(sim_info().out[0].frames, 0u);
  {
    CaptureConsumer a(CAPTURE_STREAM1);
    FrameDesc *f = a.frame();
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(sim_info().out[0].streaming);
    EXPECT_FALSE(sim_info().out[1].streaming);
    // The default row A: 1920 x 1080 UYVY, pitch 3840.
    EXPECT_EQ(Buffer_getNumBytesUsed(f->buf), 3840u * 1080);
    // The DVI input runs 1080p30: 3000 ticks a frame.
    EXPECT_TRUE(a.frame_step(3000, 3000));
    EXPECT_EQ(capture_block.input_width, 1920u);
    EXPECT_EQ(capture_block.input_height, 1080u);
    EXPECT_EQ(capture_video_lock(), 1u);
    EXPECT_EQ(capture_frame_rate(), 30000);
    char text[32];
    capture_resolution_text(text, sizeof text);
    EXPECT_STREQ(text, "1920x1080p30");
  }
  // The last consumer gone, the output stops.
  EXPECT_TRUE(wait_until([] { return !sim_info().out[0].streaming; }));
  EXPECT_TRUE(log.has("streamA attached 0, enabled=1"));
}

TEST_F(CaptureDelivery, BothStreamsCarryThePatternInTheirOwnFormats) {
  run.start(SIM_DECODER_ADV7842);
  // As an encoder does: the row first, then the attach.
  captureSetMode(1, 640, 360, 640, V4L2_PIX_FMT_NV12, 0, V4L2_FIELD_NONE, 30000);
  CaptureConsumer a(CAPTURE_STREAM1), b(CAPTURE_STREAM2, StreamMode_NV12);
  // Copied as they come, converted afterwards: a frame left in the ring
  // that long would be written over.
  std::vector<uint8_t> frames_a[2], frames_b[2], rgb_a[2], rgb_b[2];
  for (int i = 0; i < 2; i++) {
    ASSERT_TRUE(b.fresh_copy(&frames_b[i]));
    ASSERT_EQ(frames_b[i].size(), 640u * 360 * 3 / 2);
    ASSERT_TRUE(a.fresh_copy(&frames_a[i]));
  }
  for (int i = 0; i < 2; i++) {
    rgb_b[i] = frame_to_rgb(frames_b[i].data(), "nv12", 640, 360, 640);
    rgb_a[i] = frame_to_rgb(frames_a[i].data(), "uyvy422", 1920, 1080, 3840);
  }
  expect_bars(rgb_a[0], 1920, 1080);
  expect_bars(rgb_b[0], 640, 360);
  // The block moves between frames.
  EXPECT_GT(band_changes(rgb_a[0], rgb_a[1], 1920, 1080), 1000u);
  EXPECT_GT(band_changes(rgb_b[0], rgb_b[1], 640, 360), 100u);
  SimCaptureInfo i = sim_info();
  EXPECT_EQ(i.out[1].pixelformat, (uint32_t)V4L2_PIX_FMT_NV12);
  EXPECT_EQ(i.out[1].width, 640u);
  EXPECT_TRUE(i.links_ok);
  EXPECT_EQ(i.rsz_input, (uint32_t)RSZ_INPUT_PREVIEWER);
  RszContinuousConfig cfg;
  memcpy(&cfg, i.rsz_config, sizeof cfg);
  EXPECT_EQ(cfg.input.clk_div_n, 12u);  // 1920 x 1080 progressive
  EXPECT_TRUE(log.has("DVI, 1920x1080p30 lock=1 A:1920x1080(3840) UYVY 0 B:640x360(640) NV12 30000"));
}

// The rate tests take a small row A: the simulated chain renders every
// frame, and a full-size one at 60 per second is more than a sanitizer
// build on a loaded host keeps up with.
static void small_row_a(void) { captureSetMode(0, 320, 240, 640, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 0); }

TEST_F(CaptureDelivery, ASignalChangeReconfiguresTheChain) {
  run.start(SIM_DECODER_ADV7842);
  small_row_a();
  CaptureConsumer a(CAPTURE_STREAM1);
  ASSERT_NE(a.frame(), nullptr);
  sim_capture_set_timings(0, 1280, 720, 0, 60000, 0);
  ASSERT_TRUE(log.wait("DVI, 1280x720p60"));
  ASSERT_TRUE(wait_until([] { return capture_block.input_width == 1280; }));
  // Frames come again, now every 1500 ticks.
  EXPECT_TRUE(a.frame_step(1500, 1500));
  EXPECT_EQ(capture_frame_rate(), 60000);
}

TEST_F(CaptureDelivery, CompositeInputIsInterlacedNtscWithTheSlowClock) {
  run.start(SIM_DECODER_ADV7842, [] { CaptureRun::params()->capture.input = 1; });
  small_row_a();
  CaptureConsumer a(CAPTURE_STREAM1);
  ASSERT_NE(a.frame(), nullptr);
  EXPECT_TRUE(log.has("composite std = b000, 720x480"));
  EXPECT_TRUE(log.has("CVideo, NTSC, 720x480i59"));
  RszContinuousConfig cfg;
  memcpy(&cfg, sim_info().rsz_config, sizeof cfg);
  EXPECT_EQ(cfg.input.clk_div_n, 19u);  // 720 x 480 interlaced: 14 + 5
  EXPECT_EQ(sim_capture_reg(0x5DD), 0xBC);
  // A field every 1501 or 1502 ticks (59.94 per second).
  EXPECT_TRUE(a.frame_step(1501, 1502));
  // With interpolation the decoder's option register takes 0xB4.
  a.detach();
  run.stop();
  run.start(SIM_DECODER_ADV7842, [] {
    CaptureRun::params()->capture.input = 1;
    CaptureRun::params()->capture.interpolate = 1;
  });
  small_row_a();
  CaptureConsumer b(CAPTURE_STREAM1);
  ASSERT_NE(b.frame(), nullptr);
  EXPECT_EQ(sim_capture_reg(0x5DD), 0xB4);
}

TEST_F(CaptureDelivery, AnalogHdInputFollowsItsPreset) {
  run.start(SIM_DECODER_TP2825, [] { sim_capture_set_ahd(0, 6, 3); });  // 720p50 CVI
  small_row_a();
  CaptureConsumer a(CAPTURE_STREAM1);
  ASSERT_NE(a.frame(), nullptr);
  EXPECT_TRUE(log.has("AHD1, 1280x720p50 CVI lock=7"));
  EXPECT_EQ(capture_video_lock(), 7u);  // signal, format 3
  EXPECT_TRUE(a.frame_step(1800, 1800));
}

TEST_F(CaptureDelivery, InterlacedFlippedFramesMoveDownWithoutSmearing) {
  // Row A takes whole interlaced frames of the composite input, flipped.
  run.start(SIM_DECODER_ADV7842, [] {
    CaptureRun::params()->capture.input = 1;
    CaptureRun::params()->video[0].flip = 1;
  });
  captureSetMode(0, 720, 480, 1440, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_INTERLACED, 29970);
  CaptureConsumer a(CAPTURE_STREAM1);
  FrameDesc *f = a.frame();
  ASSERT_NE(f, nullptr);
  const uint8_t *p = (const uint8_t *)Buffer_getUserPtr(f->buf);
  // Flipped, the frame counter strip is on top and the bars below: each line
  // moved down by one, line 0 kept, nothing smeared from the top.
  EXPECT_EQ(memcmp(p, p + 1440, 1440), 0);
  // The bars under the picture's grain.
  EXPECT_NEAR(p[240 * 1440 + 1], 180, 6);  // white bar luma in the middle of the frame
  EXPECT_NEAR(p[240 * 1440 + 90 * 2 + 1], 162, 6);  // yellow
}

TEST_F(CaptureDelivery, ResizerFlipFollowsTheChannelsSizeAndType) {
  // The resizer applies the flip the channel's encoder uses: for JPEG only
  // the rotation bit (which selects the down-scale filter), none above
  // 720 x 576 or for raw frames, else Flip as set.
  struct Case {
    uint8_t mode;
    uint32_t w, h, flip;
    uint8_t vflip, hflip, filter;
  } cases[] = {
      {StreamMode_H264_ES, 1920, 1080, 3, 0, 0, 0}, {StreamMode_H264_ES, 640, 480, 3, 1, 1, 0},
      {StreamMode_H264_TS, 720, 576, 1, 1, 0, 0},   {StreamMode_H264_ES, 720, 578, 1, 0, 0, 0},
      {StreamMode_JPEG, 640, 480, 7, 0, 0, 1},      {StreamMode_JPEG, 1920, 1080, 4, 0, 0, 1},
      {StreamMode_JPEG, 640, 480, 3, 0, 0, 0},      {StreamMode_UYVY, 640, 480, 3, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.w) + "x" + std::to_string(c.h) +
                 " flip " + std::to_string(c.flip));
    run.start(SIM_DECODER_ADV7842, [&] {
      CaptureRun::params()->video[0].stream_mode = c.mode;
      CaptureRun::params()->video[0].flip = (uint8_t)c.flip;
    });
    captureSetMode(0, c.w, c.h, c.w, V4L2_PIX_FMT_NV12, 0, V4L2_FIELD_NONE, 0);
    CaptureConsumer a(CAPTURE_STREAM1, StreamMode_NV12);
    RszContinuousConfig cfg;
    ASSERT_TRUE(wait_until([&] {
      memcpy(&cfg, sim_info().rsz_config, sizeof cfg);
      return cfg.output1.width == c.w && cfg.output1.height == c.h;
    }, 30000));
    EXPECT_EQ(cfg.output1.vflip, c.vflip);
    EXPECT_EQ(cfg.output1.hflip, c.hflip);
    EXPECT_EQ(cfg.output1.downscale_filter, c.filter);
    a.detach();
    run.stop();
  }
}
