// Without a usable input the consumers keep getting frames: black ones, at
// a steady rate, until the input comes back.
#include <gtest/gtest.h>

#include "../display/osd_ocr.h"
#include "capture_test_support.h"
#include "osd/osd_channel.h"

namespace {

bool is_black_uyvy(const FrameDesc *f) {
  const uint8_t *p = (const uint8_t *)Buffer_getUserPtr(f->buf);
  size_t n = Buffer_getNumBytesUsed(f->buf);
  for (size_t o = 0; o + 1 < n; o += 4099 * 2)
    if (p[o] != 128 || p[o + 1] != 16) return false;
  return n > 0;
}

// A Y4M file of ffmpeg's lavfi source (board path), or "".
std::string make_y4m(const char *name, const char *source, int frames) {
  std::string y4m = test_scratch_dir("capture_y4m") + "/" + name + ".y4m";
  bool ok = run_ffmpeg({"-f", "lavfi", "-i", source, "-frames:v", std::to_string(frames), "-pix_fmt",
                        "yuv420p", "-f", "yuv4mpegpipe", HostPath(y4m.c_str()).c_str()});
  return ok ? y4m : "";
}

// What tesseract reads on a 640 x 480 UYVY frame.
std::string read_frame(const FrameDesc *f) {
  std::string dir = test_scratch_dir("capture_ocr");
  std::string raw = HostPath((dir + "/blank.uyvy").c_str()).c_str();
  FILE *out = fopen(raw.c_str(), "wb");
  if (!out) return "";
  fwrite(Buffer_getUserPtr(f->buf), 1, 640 * 480 * 2, out);
  fclose(out);
  if (!run_ffmpeg({"-f", "rawvideo", "-pix_fmt", "uyvy422", "-s", "640x480", "-i", raw,
                   HostPath((dir + "/blank.png").c_str()).c_str()}))
    return "";
  return ocr((dir + "/blank.png").c_str());
}

class CaptureBlank : public ::testing::Test {
 protected:
  CaptureRun run;
  LogWatch log;
  void TearDown() override { run.stop(); }
};

}  // namespace

TEST_F(CaptureBlank, NoSignalGivesBlackFramesAtHalfTheAssumedRate) {
  run.start(SIM_DECODER_ADV7842, [] { sim_capture_set_signal(0, 0); });
  CaptureConsumer a(CAPTURE_STREAM1);
  // No timings: 720 x 480 at 59.94 assumed, shown as whole frames.
  ASSERT_TRUE(log.wait("fake capture 720x480 @ 29970, interval 33366700, interlace=0"));
  ASSERT_TRUE(log.wait("check_stream_fps: stream 0 fps 29970"));
  EXPECT_TRUE(log.has("DVI input has no signal lock 0"));
  for (int i = 0; i < 3; i++) {
    FrameDesc *f = a.frame();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Buffer_getNumBytesUsed(f->buf), 3840u * 1080);
    EXPECT_TRUE(is_black_uyvy(f));
  }
  EXPECT_EQ(capture_video_lock(), 0u);
  char text[32];
  capture_resolution_text(text, sizeof text);
  EXPECT_STREQ(text, "No video lock");
  EXPECT_FALSE(sim_info().out[0].streaming);
  // The signal returns: the chain streams the picture again.
  sim_capture_set_signal(0, 1);
  ASSERT_TRUE(log.wait("DVI input has signal lock"));
  ASSERT_TRUE(wait_until([&] {
    FrameDesc *f = a.frame();
    return f && !is_black_uyvy(f);
  }));
  EXPECT_EQ(capture_video_lock(), 1u);
}

TEST_F(CaptureBlank, APixelClockAbove120MHzIsOutOfRange) {
  run.start(SIM_DECODER_ADV7842, [] { sim_capture_set_timings(0, 1920, 1080, 0, 60000, 148500000); });
  CaptureConsumer a(CAPTURE_STREAM1);
  ASSERT_TRUE(log.wait("Pixel clock is out of range: 148500000 "));
  ASSERT_TRUE(log.wait("fake capture 1920x1080 @ 30000"));
  FrameDesc *f = a.frame();
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(is_black_uyvy(f));
  EXPECT_EQ(capture_video_lock(), 1u);  // there is a signal, just not one we take
  EXPECT_FALSE(sim_info().out[0].streaming);
  // New timings end it.
  sim_capture_set_timings(0, 1920, 1080, 0, 30000, 0);
  ASSERT_TRUE(log.wait("DVI, 1920x1080p30"));
  EXPECT_TRUE(wait_until([] { return sim_info().out[0].streaming != 0; }));
}

TEST_F(CaptureBlank, FourAllBlackFramesResetTheVideoProcessing) {
  std::string y4m = make_y4m("black", "color=black:s=320x240:r=30", 8);
  ASSERT_FALSE(y4m.empty());
  run.start(SIM_DECODER_ADV7842, [&] { ASSERT_EQ(sim_capture_set_y4m(y4m.c_str()), 0); });
  // A small row A: the simulated chain scales every frame pixel by pixel.
  captureSetMode(0, 320, 240, 640, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 30000);
  CaptureConsumer a(CAPTURE_STREAM1);
  ASSERT_TRUE(log.wait("all-blank frames triggered reset"));
  ASSERT_TRUE(log.wait("capture_hd: ==========  resetting VPSS  =============="));
  // After the reset the chain is set up again and frames keep coming.
  ASSERT_TRUE(log.wait("main capture loop running: 1 0"));
  EXPECT_NE(a.frame(), nullptr);
  sim_capture_set_y4m(nullptr);
}

TEST_F(CaptureBlank, Y4mFramesComeThroughScaled) {
  std::string y4m = make_y4m("red", "color=red:s=160x120:r=30", 3);
  ASSERT_FALSE(y4m.empty());
  run.start(SIM_DECODER_ADV7842, [&] { ASSERT_EQ(sim_capture_set_y4m(y4m.c_str()), 0); });
  captureSetMode(1, 320, 240, 320, V4L2_PIX_FMT_NV12, 0, V4L2_FIELD_NONE, 30000);
  CaptureConsumer b(CAPTURE_STREAM2, StreamMode_NV12);
  FrameDesc *f = b.frame();
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> rgb = frame_to_rgb(b.copy(f).data(), "nv12", 320, 240, 320);
  ASSERT_EQ(rgb.size(), 320u * 240 * 3);
  const uint8_t *mid = &rgb[(120 * 320 + 160) * 3];
  EXPECT_NEAR(mid[0], 255, 8);
  EXPECT_NEAR(mid[1], 0, 8);
  EXPECT_NEAR(mid[2], 0, 8);
  sim_capture_set_y4m(nullptr);
}

TEST_F(CaptureBlank, OverlayTellsWhyTheFramesAreBlank) {
  // Channel 0's overlay on, in the large font, near the top left.
  auto overlay_on = [] {
    ParamBlock *pb = CaptureRun::params();
    pb->video[0].osd.enabled = 3;
    pb->video[0].osd.transparent = 0;
    pb->video[0].osd.x = 32;
    pb->video[0].osd.y = 32;
    osdInit(pb);
  };
  run.start(SIM_DECODER_ADV7842, [&] {
    sim_capture_set_signal(0, 0);
    overlay_on();
  });
  captureSetMode(0, 640, 480, 1280, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 0);
  CaptureConsumer a(CAPTURE_STREAM1);
  const FrameDesc *f = nullptr;
  ASSERT_TRUE(wait_until([&] { return (f = a.frame()) && Buffer_getNumBytesUsed(f->buf) == 640u * 480 * 2; }, 30000));
  std::string text = read_frame(f);
  EXPECT_TRUE(ocr_has(text, "No video lock")) << text;
  a.detach();
  run.stop();

  run.start(SIM_DECODER_ADV7842, [&] {
    sim_capture_set_timings(0, 1920, 1080, 0, 60000, 148500000);
    overlay_on();
  });
  captureSetMode(0, 640, 480, 1280, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 0);
  CaptureConsumer b(CAPTURE_STREAM1);
  ASSERT_TRUE(wait_until([&] { return (f = b.frame()) && Buffer_getNumBytesUsed(f->buf) == 640u * 480 * 2; }, 30000));
  text = read_frame(f);
  EXPECT_TRUE(ocr_has(text, "Out of range")) << text;
  b.detach();
}
