// Output creation on the simulated video output: the requests each class of
// standard makes, the retries and refusals, the buffer queue with its frame
// clock, and the transmitter registers. The standards table is checked
// against the kernel's CEA-861 timings.
#include <gtest/gtest.h>

#include <cstring>
#include <linux/v4l2-dv-timings.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "display/display_std.h"
#include "display/display_tx.h"
#include "display/display_hd.h"
#include "display/display_keep.h"
#include "display/hd_display.h"
#include "media/capture.h"
#include "platform/device.h"
#include "platform/host_root.h"
#include "platform/framework/dmai.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"
#include "test_root.h"

namespace {

struct OutputFixture : ::testing::Test {
  DisplayKeep keep;
  BufTab_Handle tab = nullptr;
  HdDisplay *hd = nullptr;
  void SetUp() override {
    test_root();
    static ParamBlock block;
    static bool loaded = init_param(&block) >= 0 || true;
    (void)loaded;
    param_load_defaults();
    timestamp_now();
    CMEM_init();
    sim_video_out_reset();
    sim_hdmi_tx_reset();
    sim_video_out_clock(0);
    ASSERT_EQ(display_tx_open(), 0);
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.reference = true;
    tab = BufTab_create(3, 0, &a);
  }
  void TearDown() override {
    Display_delete(hd);
    BufTab_delete(tab);
    display_tx_close();
    set_exit_code(EXIT_RUNNING);
  }
  HdDisplay *create(int std, int cs, int output, int w = 0, int h = 0) {
    DisplayAttrs attrs = {"/dev/video6", cs, std, output, 3, w, h, 0};
    return Display_create(tab, &attrs);
  }
  static SimVideoOutInfo info() {
    SimVideoOutInfo i;
    sim_video_out_info(&i);
    return i;
  }
};

TEST(DisplayStd, ModesMapToStandards) {
  EXPECT_EQ(get_std_from_mode(1920, 1080, SCAN_PROGRESSIVE, 60000), VSTD_1080P_30);
  EXPECT_EQ(get_std_from_mode(1920, 1080, SCAN_PROGRESSIVE, 50000), VSTD_1080P_25);
  EXPECT_EQ(get_std_from_mode(1920, 1080, SCAN_PROGRESSIVE, 24000), VSTD_1080P_24);
  EXPECT_EQ(get_std_from_mode(1920, 1080, SCAN_INTERLACED, 50000), VSTD_1080I_25);
  EXPECT_EQ(get_std_from_mode(1920, 1080, SCAN_INTERLACED, 59940), VSTD_1080I_30);
  EXPECT_EQ(get_std_from_mode(1280, 1024, SCAN_PROGRESSIVE, 60000), VSTD_AUTO);
  EXPECT_EQ(get_std_from_mode(2560, 1440, SCAN_PROGRESSIVE, 60000), VSTD_1080P_30);
  EXPECT_EQ(get_std_from_mode(1600, 1200, SCAN_PROGRESSIVE, 60000), 4);
  EXPECT_EQ(get_std_from_mode(2560, 1080, SCAN_PROGRESSIVE, 60000), 4);
  EXPECT_EQ(get_std_from_mode(1280, 720, SCAN_PROGRESSIVE, 30000), VSTD_720P_60);
  EXPECT_EQ(get_std_from_mode(1280, 720, SCAN_PROGRESSIVE, 25000), VSTD_720P_50);
  EXPECT_EQ(get_std_from_mode(720, 576, SCAN_INTERLACED, 50000), VSTD_576P);
  EXPECT_EQ(get_std_from_mode(1024, 768, SCAN_PROGRESSIVE, 60000), VSTD_1024x768P_60);
  EXPECT_EQ(get_std_from_mode(3064, 2040, SCAN_PROGRESSIVE, 10000), VSTD_3064x2040P_10);
  EXPECT_STREQ(video_std_name(23), "VideoStd_800x600p_75");
  EXPECT_EQ(custom_timing_of(23), nullptr);
  EXPECT_EQ(custom_timing_of(25), nullptr);
  v4l2_bt_timings zero = {};
  EXPECT_EQ(dv_timings_refresh(&zero), 0u);
  EXPECT_EQ(cea_rate_milli(0, 750), 0u);
}

// The progressive CEA rows are the kernel's timings (the interlaced rows keep
// our own field values).
TEST(DisplayStd, ProgressiveCeaRowsAreTheKernelsTimings) {
  const v4l2_dv_timings kernel[] = {
      V4L2_DV_BT_CEA_720X480P59_94, V4L2_DV_BT_CEA_720X576P50,  V4L2_DV_BT_CEA_1280X720P24,
      V4L2_DV_BT_CEA_1280X720P25,   V4L2_DV_BT_CEA_1280X720P30, V4L2_DV_BT_CEA_1280X720P50,
      V4L2_DV_BT_CEA_1280X720P60,   V4L2_DV_BT_CEA_1920X1080P24, V4L2_DV_BT_CEA_1920X1080P25,
      V4L2_DV_BT_CEA_1920X1080P30,  V4L2_DV_BT_CEA_1920X1080P50, V4L2_DV_BT_CEA_1920X1080P60,
  };
  size_t k = 0;
  for (const CeaTiming *row = cea_timings; row->htotal; row++) {
    if (row->flags & 0x100) continue;
    SCOPED_TRACE(row->name);
    ASSERT_LT(k, sizeof kernel / sizeof kernel[0]);
    const v4l2_bt_timings &bt = kernel[k++].bt;
    EXPECT_EQ(bt.width, row->width);
    EXPECT_EQ(bt.height, row->height);
    EXPECT_EQ(bt.width + bt.hfrontporch + bt.hsync + bt.hbackporch, row->htotal);
    EXPECT_EQ(bt.height + bt.vfrontporch + bt.vsync + bt.vbackporch, row->vtotal);
    EXPECT_EQ(bt.hfrontporch, row->hfp);
    EXPECT_EQ(bt.vfrontporch, row->vfp);
    EXPECT_EQ(bt.hsync, row->hsync);
    EXPECT_EQ(bt.vsync, row->vsync);
    EXPECT_EQ((uint64_t)bt.pixelclock, row->pixelclock);  // packed: read out first
  }
  EXPECT_EQ(k, 12u);
}

TEST_F(OutputFixture, EachStandardClassProgramsTheOutput) {
  // A DV preset, UYVY at the standard's size.
  hd = create(VSTD_720P_60, DISPLAY_CS_UYVY, 2);
  ASSERT_NE(hd, nullptr);
  SimVideoOutInfo i = info();
  EXPECT_EQ(i.output, 2);
  EXPECT_EQ(i.signal_kind, 2);
  EXPECT_EQ(i.preset, 8u);
  EXPECT_EQ(i.fmt.pixelformat, (uint32_t)V4L2_PIX_FMT_UYVY);
  EXPECT_EQ(i.fmt.width, 1280u);
  EXPECT_EQ(i.fmt.bytesperline, 2560u);
  EXPECT_EQ(i.fmt.field, (uint32_t)V4L2_FIELD_NONE);
  EXPECT_EQ(i.buffers, 3u);
  EXPECT_EQ(display_info.fps, 60000);
  Display_delete(hd);
  // The composite output runs an SD standard and fields whatever is asked.
  hd = create(VSTD_720P_60, DISPLAY_CS_NV12, 0, 720, 480);
  ASSERT_NE(hd, nullptr);
  i = info();
  EXPECT_EQ(i.signal_kind, 1);
  EXPECT_EQ(i.std, 0xFFu);
  EXPECT_EQ(i.fmt.field, (uint32_t)V4L2_FIELD_INTERLACED);
  EXPECT_EQ(i.fmt.sizeimage, 736u * 480 * 3 / 2);
  Display_delete(hd);
  // 480P and NTSC go out as NTSC there, PAL as PAL.
  for (int std : {VSTD_480P, VSTD_D1_NTSC, VSTD_D1_PAL}) {
    bool ntsc = std != VSTD_D1_PAL;
    hd = create(std, DISPLAY_CS_NV12, 0, 720, ntsc ? 480 : 576);
    ASSERT_NE(hd, nullptr) << std;
    EXPECT_EQ(info().std, ntsc ? 0xB000u : 0xFFu) << std;
    EXPECT_EQ(display_info.height, ntsc ? 480 : 576) << std;
    EXPECT_EQ(display_info.fps, ntsc ? 29970 : 25000) << std;
    Display_delete(hd);
  }
  // A custom timing row.
  hd = create(VSTD_1024x768P_60, DISPLAY_CS_UYVY, 2);
  ASSERT_NE(hd, nullptr);
  i = info();
  EXPECT_EQ(i.signal_kind, 3);
  EXPECT_EQ(i.bt.width + i.bt.hfrontporch + i.bt.hsync + i.bt.hbackporch, 1500u);
  EXPECT_EQ(i.fmt.width, 1024u);
  EXPECT_EQ(hwreg_read(0x01C71C70), 1024u);  // the OSD window follows a narrow output
  Display_delete(hd);
  // Refused timings leave the output as it was; creation goes on.
  sim_video_out_refuse_timings(1);
  hd = create(VSTD_800x600P_60, DISPLAY_CS_UYVY, 2);
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(info().bt.width, 1024u);
  sim_video_out_refuse_timings(0);
}

TEST_F(OutputFixture, CaptureTimingUsesTheCeaRow) {
  // A 720p30 capture: 3300 x 750 in, the 720p60 timing (1650 wide) out.
  capture_block.input_width = 1280;
  capture_block.input_height = 720;
  capture_block.fps = 30000;
  capture_block.interlaced = 0;
  v4l2_bt_timings &bt = capture_block.timings.bt;
  bt = {};
  bt.hfrontporch = 1760;
  bt.hsync = 40;
  bt.hbackporch = 220;
  bt.vfrontporch = 5;
  bt.vsync = 5;
  bt.vbackporch = 20;
  hd = create(VSTD_AUTO, DISPLAY_CS_NV12, 2, 1280, 720);
  ASSERT_NE(hd, nullptr);
  SimVideoOutInfo i = info();
  EXPECT_EQ(i.signal_kind, 3);
  EXPECT_EQ(i.bt.width + i.bt.hfrontporch + i.bt.hsync + i.bt.hbackporch, 1650u);
  EXPECT_EQ(i.bt.hfrontporch, 110u);
  EXPECT_EQ((uint64_t)i.bt.pixelclock, 74250000u);  // packed: read out first
  EXPECT_EQ(display_info.fps, 60000);
  EXPECT_EQ((i.bt.hsync + i.bt.hbackporch) % 2, 0u);
}

TEST_F(OutputFixture, RetriesRefusalsAndQuit) {
  sim_video_out_fail_request(VIDIOC_S_OUTPUT, 2, EBUSY);
  sim_video_out_fail_request(VIDIOC_REQBUFS, 1, ENOMEM);
  hd = create(VSTD_1080P_30, DISPLAY_CS_UYVY, 2);
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(info().s_output_calls, 4u);  // two refused, one before the refused REQBUFS
  EXPECT_EQ(info().reqbufs_calls, 2u);
  Display_delete(hd);
  hd = nullptr;
  EXPECT_EQ(info().opens, 0);
  // A refused preset ends the creation; so does a retry while quitting.
  sim_video_out_fail_request(VIDIOC_S_DV_PRESET, 1, EINVAL);
  EXPECT_EQ(create(VSTD_720P_50, DISPLAY_CS_UYVY, 2), nullptr);
  set_exit_code(EXIT_QUIT);
  sim_video_out_fail_request(VIDIOC_S_OUTPUT, 100, EBUSY);
  EXPECT_EQ(create(VSTD_720P_50, DISPLAY_CS_UYVY, 2), nullptr);
  EXPECT_EQ(info().opens, 0);
  sim_video_out_fail_request(VIDIOC_S_OUTPUT, 0, 0);
}

TEST_F(OutputFixture, QueueStartsTheOutputAndTheClockReleasesBuffers) {
  hd = create(VSTD_720P_60, DISPLAY_CS_UYVY, 2);
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(hdmi_tx_reg_read(25), 0x10);  // output held off at power-up
  uint8_t *pic = (uint8_t *)CMEM_alloc(1280 * 720 * 2, 32);
  ASSERT_NE(pic, nullptr);
  for (int n = 0; n < 3; n++) {
    Buffer_Handle b;
    ASSERT_EQ(display_dequeue(hd, &b), 0);
    Buffer_setUserPtr(b, (int8_t *)pic);
    Buffer_setSize(b, (size_t)hd->image_size);
    Buffer_setNumBytesUsed(b, (size_t)hd->image_size);
    EXPECT_EQ(info().streaming, 0);
    ASSERT_EQ(display_put_buffer(hd, b), 0);
  }
  EXPECT_EQ(info().streaming, 1);
  EXPECT_EQ(hdmi_tx_reg_read(25), 0);
  EXPECT_EQ(hwreg_read(0x01C71E00) & 1, 1u);
  // Each vsync shows the oldest queued buffer for one refresh and releases
  // the one shown before: nothing to dequeue until the second.
  pollfd p = {hd->fd, POLLOUT, 0};
  EXPECT_EQ(dev_poll(&p, 1, 0), 0);
  sim_video_out_vsync();
  EXPECT_EQ(dev_poll(&p, 1, 0), 0);
  EXPECT_EQ(info().pending, 2u);
  sim_video_out_vsync();
  EXPECT_EQ(dev_poll(&p, 1, 0), 1);
  EXPECT_TRUE(p.revents & POLLOUT);
  Buffer_Handle b;
  ASSERT_EQ(display_dequeue(hd, &b), 0);
  EXPECT_EQ(dev_poll(&p, 1, 0), 0);
  sim_video_out_vsync();
  ASSERT_EQ(display_dequeue(hd, &b), 0);
  // With nothing queued the last picture stays shown, refresh after refresh.
  uint64_t refreshes = info().refreshes;
  sim_video_out_vsync();
  EXPECT_EQ(dev_poll(&p, 1, 0), 0);
  EXPECT_EQ(info().refreshes, refreshes + 1);
  EXPECT_EQ(info().frames_shown, 3u);
  EXPECT_EQ(info().shown_userptr, (unsigned long)pic);
  // A picture outside contiguous memory is refused.
  static uint8_t heap[64];
  Buffer_setUserPtr(b, (int8_t *)heap);
  EXPECT_EQ(display_put_buffer(hd, b), -1);
  std::string dump = test_scratch_dir("dump") + "/shown.uyvy";
  ASSERT_EQ(sim_video_out_dump(dump.c_str()), 0);
  struct stat st;
  ASSERT_EQ(sys_stat(dump.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1280 * 720 * 2);
  CMEM_free(pic);
  // A register written through the parameter path reaches the transmitter;
  // without the sub-device a read fails.
  hdmi_tx_reg_write(0x40, 0x5A);
  EXPECT_EQ(sim_hdmi_tx_reg(0x40), 0x5A);
  // A register the transmitter refuses reads as 0, with its line.
  fflush(stdout);
  testing::internal::CaptureStdout();
  EXPECT_EQ(hdmi_tx_reg_read(0x1FF), 0);
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("i2c_addr=0x76 reg=0x1ff\nreg 1ff: 00\n"), std::string::npos) << out;
  display_tx_close();
  EXPECT_EQ(hdmi_tx_reg_read(0x40), -1);
}

TEST_F(OutputFixture, StandardCycleStepsTheOutputsStandards) {
  static std::string shown;
  display_status_message_hook = [](const char *text) { shown = text; };
  ParamBlock *pb = get_param_block();
  pb->display.output = 2;
  pb->display.standard = 0;
  const int hdmi[] = {VSTD_1080P_30, VSTD_720P_60, 0};
  for (int want : hdmi) {
    Display_standard_cycle();
    EXPECT_EQ(pb->display.standard, want);
  }
  EXPECT_EQ(shown, "VideoStd_AUTO");
  pb->display.output = 0;
  const int composite[] = {VSTD_D1_NTSC, VSTD_D1_PAL, 0};
  for (int want : composite) {
    Display_standard_cycle();
    EXPECT_EQ(pb->display.standard, want);
  }
  display_status_message_hook = nullptr;
}

// A board whose transmitter is the ch7038b: module parameters instead of
// registers and EDID.
TEST_F(OutputFixture, Ch7038bIsDrivenThroughItsModuleParameters) {
  // The transmitter is opened again on the board's own name once that is
  // back: which chip it is stays known after a close.
  struct Reopen {
    ~Reopen() {
      display_tx_close();
      display_tx_open();
    }
  } reopen;
  RootKeep keep({"/sys/module", "/sys/class/video4linux/v4l-subdev6/name"});
  display_tx_close();
  ASSERT_EQ(sys_write_text("/sys/class/video4linux/v4l-subdev6/name", "ch7038b 1-0078\n"), 0);
  sim_hdmi_tx_register();
  ASSERT_EQ(display_tx_open(), 0);
  EXPECT_TRUE(display_is_ch7038b());
  EXPECT_EQ(hdmi_tx_reg_read(0x19), -1);
  EXPECT_EQ(display_edid_lookup(1920, 1080, 60000, 0), -1);
  hd = create(VSTD_1080P_30, DISPLAY_CS_UYVY, 2);
  ASSERT_NE(hd, nullptr);
  char text[16];
  sys_read_text("/sys/module/ch7038b/parameters/bypass", text, sizeof text, true);
  EXPECT_STREQ(text, "1");
  EXPECT_EQ(hwreg_read(0x01C71E04) & 8, 8u);  // DVI
  ParamBlock *pb = get_param_block();
  pb->display.output = 2;
  pb->display.standard = 0;
  Display_standard_cycle();
  EXPECT_EQ(pb->display.standard, VSTD_1080P_60);
  sys_write_text("/sys/class/video4linux/v4l-subdev6/name", "hdmitx 1-003b\n");
}

// The playback waits for a decoded frame while the output gives its shown
// buffers back to the decoder.
TEST_F(OutputFixture, PollWaitReturnsReleasedBuffersToTheDecoder) {
  hd = create(VSTD_720P_60, DISPLAY_CS_UYVY, 2);
  ASSERT_NE(hd, nullptr);
  hd_display = hd;
  uint8_t *pic = (uint8_t *)CMEM_alloc(1280 * 720 * 2, 32);
  for (int n = 0; n < 3; n++) {
    Buffer_Handle b;
    ASSERT_EQ(display_dequeue(hd, &b), 0);
    Buffer_setUserPtr(b, (int8_t *)pic);
    Buffer_setNumBytesUsed(b, (size_t)hd->image_size);
    Buffer_setUseMask(b, 2);
    ASSERT_EQ(display_put_buffer(hd, b), 0);
  }
  Fifo_Handle fifo = Fifo_create();
  EXPECT_EQ(display_poll_wait(fifo), 0);  // nothing shown, no frame: the time-out
  // Three refreshes, each showing the next buffer in turn.
  for (int n = 0; n < 3; n++) sim_video_out_vsync();
  int frame = 1;
  Fifo_put(fifo, &frame);
  EXPECT_EQ(display_poll_wait(fifo), 1);
  int freed = 0;
  for (int n = 0; n < 3; n++) freed += Buffer_getUseMask(BufTab_getBuf(tab, n)) == 0;
  EXPECT_EQ(freed, 2);  // the two released; the shown one stays the output's
  Fifo_delete(fifo);
  CMEM_free(pic);
  hd_display = nullptr;
}

TEST_F(OutputFixture, MonitorEdidIsReadOnceAndRetriedAfterAFailure) {
  sim_hdmi_tx_set_edid_file("-");
  display_edid_forget();
  EXPECT_EQ(display_edid_lookup(1920, 1080, 60000, 0), -1);
  // The command takes a board path, as scripts give it.
  std::string hex = test_scratch_dir("edid") + "/tv.hex";
  FILE *in = fopen((std::string(M7391_SOURCE_DIR) + "/tests/display/edid/sony_hdmi_tv.hex").c_str(), "r");
  FILE *out = sys_fopen(hex.c_str(), "w");
  ASSERT_TRUE(in && out);
  for (int c; (c = fgetc(in)) != EOF;) fputc(c, out);
  fclose(in);
  fclose(out);
  ASSERT_EQ(sim_video_out_command(("edid " + hex).c_str()), 0);
  EXPECT_EQ(display_edid_lookup(1920, 1080, 60000, 0), 0);
  EXPECT_GE(display_edid_lookup(1280, 720, 30000, 0), 0);
  EXPECT_EQ(get_edid_std(1920, 1080, 30, 0), 0);
  EXPECT_EQ(get_edid_std(1280, 720, 50, 0), VSTD_720P_50);
  get_param_block()->dvr_allow_modes = 1u << VSTD_1080P_30;
  EXPECT_EQ(get_edid_std(1920, 1080, 30, 0), VSTD_1080P_30);
  get_param_block()->dvr_allow_modes = 0;
  sim_hdmi_tx_set_edid_file("-");  // read once: the table stays
  EXPECT_EQ(display_edid_lookup(1920, 1080, 60000, 0), 0);
}

}  // namespace
