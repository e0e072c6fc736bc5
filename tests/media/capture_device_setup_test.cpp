// The capture chain's set-up: pipeline, links, standards, resizer and
// previewer, as the simulated board's drivers see them.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "capture_test_support.h"
#include "media/capture_device.h"
#include "platform/device.h"

namespace {

struct Chain {
  MediaNode dec, ccdc, prv, rsz, a, b;
  explicit Chain(const char *decoder) {
    init(&dec, decoder, nullptr);
    init(&ccdc, "DAVINCI CCDC", &dec);
    init(&prv, "DAVINCI PREVIEWER", &ccdc);
    init(&rsz, "DAVINCI RESIZER", &prv);
    init(&a, "DAVINCI VIDEO RSZ output", &rsz);
    init(&b, "DAVINCI VIDEO RSZB output", &rsz);
  }
  ~Chain() {
    for (MediaNode *n : {&a, &b, &rsz, &prv, &ccdc, &dec}) buffer_release(n);
  }
  static void init(MediaNode *n, const char *name, MediaNode *src) {
    memset(n, 0, sizeof *n);
    n->name = name;
    n->fd = -1;
    n->source = src;
  }
};

class CaptureDevice : public ::testing::Test {
 protected:
  void SetUp() override { sim_capture_reset(SIM_DECODER_ADV7842); }
  void TearDown() override { sim_capture_reset(SIM_DECODER_SYSFS); }
};

}  // namespace

TEST_F(CaptureDevice, PipelinesOpenEveryNodeAndEnableBothOutputs) {
  Chain c("adv7842 1-0020");
  ASSERT_EQ(media_open_pipeline(&c.a), 0);
  ASSERT_EQ(media_open_pipeline(&c.b), 0);
  for (MediaNode *n : {&c.dec, &c.ccdc, &c.prv, &c.rsz, &c.a, &c.b}) EXPECT_GT(n->fd, 0) << n->name;
  EXPECT_STREQ(c.a.path, "/dev/video4");
  EXPECT_STREQ(c.dec.path, "/dev/v4l-subdev5");
  EXPECT_EQ(c.a.source_pad, 1u);
  EXPECT_EQ(c.b.source_pad, 2u);
  EXPECT_TRUE(sim_info().links_ok);
}

TEST_F(CaptureDevice, AMissingEntityFailsThePipeline) {
  LogWatch log;
  Chain c("tp2825 1-0044");  // the simulated board carries the other decoder
  EXPECT_EQ(media_open_pipeline(&c.a), -1);
  EXPECT_TRUE(log.has("Missing sink entity: tp2825 1-0044"));
  EXPECT_TRUE(log.has("\"DAVINCI CCDC\""));  // the entities are listed for diagnosis
}

TEST_F(CaptureDevice, LineCountFamiliesNarrowToTheirBroadcastStandard) {
  int fd = dev_open("/dev/video4", O_RDWR);
  ASSERT_GE(fd, 0);
  struct Case { v4l2_std_id in, out; } cases[] = {
      {V4L2_STD_525_60, V4L2_STD_NTSC}, {V4L2_STD_625_50, V4L2_STD_PAL},
      {V4L2_STD_PAL_M, V4L2_STD_PAL_M}, {V4L2_STD_SECAM, V4L2_STD_SECAM}};
  for (const Case &k : cases) {
    v4l2_std_id std = k.in;
    ASSERT_EQ(input_setup(fd, 1, &std), 0);
    EXPECT_EQ(std, k.out);
    EXPECT_EQ(sim_info().std, k.out);
  }
  // With none given, the decoder's own (the 525-line family at power-on).
  sim_capture_reset(SIM_DECODER_ADV7842);
  v4l2_std_id std = 0;
  ASSERT_EQ(input_setup(fd, 1, &std), 0);
  EXPECT_EQ(std, (v4l2_std_id)V4L2_STD_NTSC);
  // A digital input takes no standard; an input that does not exist fails.
  std = V4L2_STD_PAL;
  EXPECT_EQ(input_setup(fd, 0, &std), 0);
  EXPECT_EQ(input_setup(fd, 9, &std), -1);
  dev_close(fd);
}

TEST_F(CaptureDevice, ClockDividerFollowsTheInputPixels) {
  EXPECT_EQ(rsz_clock_divider(1920, 1080, 0), 12);
  EXPECT_EQ(rsz_clock_divider(720, 480, 1), 19);
  EXPECT_EQ(rsz_clock_divider(720, 480, 0), 12);
  EXPECT_EQ(rsz_clock_divider(640, 480, 0), 14);
  EXPECT_EQ(rsz_clock_divider(640, 528, 0), 12);   // 337,920 pixels
  EXPECT_EQ(rsz_clock_divider(320, 269, 0), 16);   // 86,080 pixels
  EXPECT_EQ(rsz_clock_divider(320, 270, 0), 14);   // 86,400 pixels
  EXPECT_EQ(rsz_clock_divider(160, 120, 0), 26);
  EXPECT_EQ(rsz_clock_divider(336, 112, 0), 16);   // exactly 37,632
}

TEST_F(CaptureDevice, ResizerGetsTheChainedRecordAndWarnsOfWideOutputs) {
  Chain c("adv7842 1-0020");
  ASSERT_EQ(media_open_pipeline(&c.a), 0);
  LogWatch log;
  v4l2_pix_format a = {}, b = {};
  a.width = 1920, a.height = 1080, a.pixelformat = V4L2_PIX_FMT_NV12, a.bytesperline = 1920;
  b.width = 1280, b.height = 720, b.pixelformat = V4L2_PIX_FMT_UYVY, b.bytesperline = 2560;
  CaptureCrop crop = {8, 4, 1904, 1072};
  ASSERT_EQ(rsz_setup(c.rsz.fd, 1, 720, 480, &a, &b, 1, 2, 1, &crop, nullptr), 0);
  EXPECT_TRUE(log.has("rsz_setup: clk_div = 1:19"));
  EXPECT_TRUE(log.has("WARNING: resize output2 width 1280 > max 1088 (downscale=0)"));
  SimCaptureInfo i = sim_info();
  RszContinuousConfig cfg;
  memcpy(&cfg, i.rsz_config, sizeof cfg);
  EXPECT_EQ(i.rsz_mode, (uint32_t)RSZ_MODE_CONTINUOUS);
  EXPECT_EQ(cfg.input.height, 240u);
  EXPECT_EQ(cfg.input.ppln, 728u);
  EXPECT_EQ(cfg.input.lpfr, 250u);
  EXPECT_EQ(cfg.input.pix_fmt, (uint32_t)RSZ_PIX_FMT_NV12);
  EXPECT_EQ(cfg.output1.vflip, 1);
  EXPECT_EQ(cfg.output1.crop_w, 1904u);
  EXPECT_EQ(cfg.output2.enable, 1u);  // still configured
  EXPECT_EQ(cfg.output2.width, 1280u);
  EXPECT_EQ(cfg.output2.hflip, 1);
  // The down-scale filter halves the limit.
  ASSERT_EQ(rsz_setup(c.rsz.fd, 1, 1920, 1080, &a, nullptr, 4, 0, 0, nullptr, nullptr), 0);
  EXPECT_TRUE(log.has("WARNING: resize output1 width 1920 > max 1088 (downscale=1)"));
  memcpy(&cfg, sim_info().rsz_config, sizeof cfg);
  EXPECT_EQ(cfg.output2.enable, 0u);
}

TEST_F(CaptureDevice, PreviewerModulesAreSetToTheirDefaults) {
  Chain c("adv7842 1-0020");
  ASSERT_EQ(media_open_pipeline(&c.a), 0);
  uint32_t before = sim_info().prv_default_sets;
  EXPECT_EQ(prv_setup(c.prv.fd), 0);
  EXPECT_EQ(sim_info().prv_default_sets, before + 1);
  sim_capture_fail_request(PREV_S_PARAM, 1, EIO);
  EXPECT_EQ(prv_setup(c.prv.fd), -1);
}

TEST_F(CaptureDevice, FormatAndBuffersFollowTheDriver) {
  Chain c("adv7842 1-0020");
  ASSERT_EQ(media_open_pipeline(&c.b), 0);
  LogWatch log;
  // The driver widens a line to its 32-byte rule.
  ASSERT_EQ(format_setup(&c.b, 360, 240, V4L2_PIX_FMT_UYVY, 700, V4L2_FIELD_NONE), 0);
  EXPECT_TRUE(log.has("format_setup: driver didn't want bytesperline=700, returned 736"));
  EXPECT_EQ(c.b.frame_size, 736u * 240);
  // More buffers than the driver has are refused.
  EXPECT_EQ(buffer_setup(&c.b, nullptr, 40), -1);
  EXPECT_TRUE(log.has("40 buffers not supported by DAVINCI VIDEO RSZB output device, req.count=32"));
  // Memory-mapped buffers come from the driver and are queued.
  c.b.flags |= MEDIA_NODE_MMAP;
  void *addrs[3] = {};
  ASSERT_EQ(buffer_setup(&c.b, addrs, 3), 0);
  EXPECT_NE(addrs[2], nullptr);
  EXPECT_EQ(sim_info().out[1].queued, 3u);
  buffer_release(&c.b);
  EXPECT_EQ(c.b.fd, -1);
  EXPECT_EQ(sim_info().out[1].buffers, 0u);
}

TEST_F(CaptureDevice, DecoderRegistersAndRate) {
  Chain c("adv7842 1-0020");
  ASSERT_EQ(media_open_pipeline(&c.a), 0);
  EXPECT_EQ(subdev_reg_write(c.dec.fd, 0x20, 0x5DD, 0xBC), 0);
  EXPECT_EQ(subdev_reg_read(c.dec.fd, 0x20, 0x5DD), 0xBCu);
  LogWatch log;
  EXPECT_EQ(subdev_reg_write(c.dec.fd, 0x44, 0x10, 0x7), -1);
  EXPECT_TRUE(log.has("44 10 07"));
  EXPECT_EQ(capture_read_fps(c.a.fd, 0), 30000u);   // 1080p30 on the DVI input
  int in = 1;
  ASSERT_EQ(dev_ioctl(c.a.fd, VIDIOC_S_INPUT, &in), 0);
  EXPECT_EQ(capture_read_fps(c.a.fd, 1), 59940u);   // NTSC fields
}
