// The display thread on the simulated output: every mode and the wake-ups
// that move it between them, the pass-through of the live capture (shown by
// user pointer from the capture ring), the choice of the pass-through
// standard from the capture and the monitor's EDID, and the output the
// playback asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/framecopy.h"
#include "core/param_apply.h"
#include "core/startup.h"
#include "display/display_hd.h"
#include "display/display_keep.h"
#include "display/display_std.h"
#include "display/display_tx.h"
#include "display/edid.h"
#include "media/capture_test_support.h"
#include "platform/host_root.h"
#include "test_root.h"

namespace {

std::vector<uint8_t> hex_edid(const char *name) {
  std::vector<uint8_t> v;
  FILE *f = fopen((std::string(M7391_SOURCE_DIR) + "/tests/display/edid/" + name).c_str(), "r");
  unsigned b;
  while (f && fscanf(f, "%x", &b) == 1) v.push_back(uint8_t(b));
  if (f) fclose(f);
  return v;
}

void use_monitor(const std::vector<uint8_t> &edid) {
  sim_hdmi_tx_set_edid(edid.data(), edid.size());
  display_edid_forget();
}

// A monitor of 640x480 and 1024x768 at 60 Hz only.
std::vector<uint8_t> xga_monitor(void) {
  std::vector<uint8_t> e = hex_edid("samsung_syncmaster.hex");
  e[35] = 0x20;  // 640x480@60
  e[36] = 0x08;  // 1024x768@60
  e[37] = 0;
  for (int i = 38; i < 54; i++) e[i] = 1;
  memset(&e[54], 0, 18);  // no detailed timing
  e[57] = 0x10;
  uint8_t sum = 0;
  for (int i = 0; i < 127; i++) sum = uint8_t(sum + e[i]);
  e[127] = uint8_t(-sum);
  return e;
}

SimVideoOutInfo out_info(void) {
  SimVideoOutInfo i;
  sim_video_out_info(&i);
  return i;
}

// The display thread of a test; its hooks point into env, so the stop puts
// back the ones it found.
struct DisplayRun {
  DisplayEnv env{};
  pthread_t thread{};
  bool running = false;
  ParamApplyHooks found_apply = param_apply_hooks;
  CoreHooks found_core = core_hooks;
  void start() {
    env.env.name = "display_hd";
    env.env.start_rendezvous = Rendezvous_create(2);
    display_install_hooks(&env);
    pthread_create(&thread, nullptr, displayThrFxn, &env);
    Rendezvous_meet(env.env.start_rendezvous);
    running = true;
  }
  void set_mode(int mode) {
    env.mode = mode;
    displayWakeup();
  }
  void stop() {
    if (!running) return;
    set_exit_code(EXIT_QUIT);
    displayWakeup();
    pthread_join(thread, nullptr);
    Rendezvous_delete(env.env.start_rendezvous);
    set_exit_code(EXIT_RUNNING);
    param_apply_hooks = found_apply;
    core_hooks = found_core;
    running = false;
  }
  ~DisplayRun() { stop(); }
};

struct DisplayModes : ::testing::Test {
  DisplayKeep keep;
  void SetUp() override {
    test_root();
    CaptureRun::params();
    param_load_defaults();
    timestamp_now();
    CMEM_init();
    Framecopy_open();
    sim_video_out_reset();
    sim_hdmi_tx_reset();
    use_monitor(hex_edid("sony_hdmi_tv.hex"));
  }
};

// The bars of a dump at mid-height: word i of the line is UYVY pixels 2i, 2i+1.
std::vector<uint32_t> dump_line(int width, int height, int y) {
  std::string path = test_scratch_dir("bars") + "/bars.uyvy";
  if (sim_video_out_dump(path.c_str()) != 0) return {};
  std::vector<uint32_t> line((size_t)width / 2);
  FILE *f = sys_fopen(path.c_str(), "rb");
  fseek(f, (long)y * width * 2, SEEK_SET);
  size_t n = fread(line.data(), 4, line.size(), f);
  fclose(f);
  (void)height;
  return n == line.size() ? line : std::vector<uint32_t>();
}

TEST_F(DisplayModes, EveryModeAndItsWakeUps) {
  LogWatch log;
  DisplayRun run;
  run.start();
  // A reset before any mode ran leaves the thread idle.
  run.set_mode(DISPLAY_RESET);
  ASSERT_TRUE(log.wait("Display reset, mode=Idle"));
  ASSERT_TRUE(wait_until([&] { return run.env.mode == DISPLAY_IDLE; }));

  // Colour bars: eight bars of width/8 pixels, in UYVY at 720p60.
  run.set_mode(DISPLAY_COLORBARS);
  ASSERT_TRUE(wait_until([] { return out_info().frames_shown > 2; }));
  SimVideoOutInfo i = out_info();
  EXPECT_EQ(i.fmt.pixelformat, (uint32_t)V4L2_PIX_FMT_UYVY);
  ASSERT_EQ(i.fmt.width, 1280u);
  std::vector<uint32_t> line = dump_line(1280, 720, 719);
  ASSERT_EQ(line.size(), 640u);
  const uint32_t bars[8] = {0xEA80EA80, 0xA78AA731, 0x8A318A9A, 0x793E794C,
                            0x60C360B4, 0x4FCF4F66, 0x327332CE, 0x22802280};
  for (int x = 0; x < 640; x++) ASSERT_EQ(line[(size_t)x], bars[x / 80]) << "word " << x;
  // A reset returns to the bars.
  run.set_mode(DISPLAY_RESET);
  ASSERT_TRUE(log.wait("Display reset, mode=Colorbars"));
  uint64_t shown = out_info().frames_shown;
  ASSERT_TRUE(wait_until([&] { return out_info().frames_shown > shown + 2; }));

  // An invalid mode is logged once and waited out.
  run.set_mode(5);
  ASSERT_TRUE(log.wait("invalid display mode: 5"));
  displayWakeup();
  ASSERT_TRUE(wait_until([] { return out_info().opens == 0; }));
  usleep(50000);
  log.take();
  size_t first = log.all.find("invalid display mode: 5");
  EXPECT_EQ(log.all.find("invalid display mode: 5", first + 1), std::string::npos);

  // Power off: the encoder and its clock stop until a wake-up.
  run.set_mode(DISPLAY_COLORBARS);
  ASSERT_TRUE(wait_until([] { return out_info().streaming == 1; }));
  run.set_mode(DISPLAY_POWER_OFF);
  ASSERT_TRUE(log.wait("display power off mode=Power Off"));
  ASSERT_TRUE(wait_until([] { return (hwreg_read(0x01C71E00) & 1) == 0; }));
  EXPECT_EQ(hwreg_read(0x01C71F40), 0u);
  EXPECT_EQ(out_info().opens, 0);
  run.set_mode(DISPLAY_IDLE);
  ASSERT_TRUE(log.wait("Display power on, mode=Idle"));

  // Playback is not built: its mode returns to idle.
  run.set_mode(DISPLAY_STREAM);
  ASSERT_TRUE(wait_until([&] { return run.env.mode == DISPLAY_IDLE; }));
  // A playback over the bars remakes the output at its pictures' size and
  // closes it at its end: the bars' output is deleted once, before it.
  run.set_mode(DISPLAY_COLORBARS);
  ASSERT_TRUE(wait_until([] { return out_info().streaming == 1; }));
  static int remade;
  remade = -2;
  decode_main_hook = [](DisplayEnv *env) {
    Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
    ref.reference = true;
    BufTab_Handle tab = BufTab_create(3, 0, &ref);
    remade = display_hd_set_resolution(1280, 720, 2560, 25, tab, 0);
    Display_delete(hd_display);
    BufTab_delete(tab);
    env->mode = DISPLAY_IDLE;
    return 0;
  };
  run.set_mode(DISPLAY_STREAM);
  ASSERT_TRUE(wait_until([&] { return remade != -2 && run.env.mode == DISPLAY_IDLE; }));
  EXPECT_EQ(remade, 0);
  decode_main_hook = nullptr;

  // A change stored just before the thread waits is never lost.
  for (int n = 0; n < 200; n++) run.set_mode(n % 2 ? DISPLAY_COLORBARS : DISPLAY_IDLE);
  run.set_mode(DISPLAY_COLORBARS);
  ASSERT_TRUE(wait_until([] { return out_info().streaming == 1; }));
  run.stop();
  EXPECT_TRUE(log.has("myRendezvousCleanup: display_hd"));
  EXPECT_EQ(out_info().opens, 0);
}

// Asked for before the capture knows its input, the pass-through waits for
// it, and sets itself up once the capture has it.
TEST_F(DisplayModes, PassthruWaitsForTheCaptureStandard) {
  capture_input_set(0, 0, 0, 0);
  LogWatch log;
  DisplayRun run;
  run.start();
  run.set_mode(DISPLAY_PASSTHRU);
  ASSERT_TRUE(wait_until([&] {
    return log.has("waiting for the capture's standard") || log.has("Failed to create display device");
  }));
  EXPECT_FALSE(log.has("Failed to create display device"));
  EXPECT_EQ(out_info().opens, 0);
  capture_input_set(1280, 720, 0, 60000);
  // The output made for it (no capture stream runs here to be shown).
  ASSERT_TRUE(log.wait("passthru start"));
  EXPECT_FALSE(log.has("Failed to create display device"));
  EXPECT_EQ(out_info().fmt.width, 1280u);
  EXPECT_EQ(out_info().preset, 8u);  // 720p60, on the TV
  // A fixed standard needs nothing of the capture.
  capture_input_set(0, 0, 0, 0);
  get_param_block()->display.standard = VSTD_720P_50;
  LogWatch fixed;
  run.set_mode(DISPLAY_PASSTHRU);
  EXPECT_TRUE(fixed.wait("passthru start"));
  EXPECT_EQ(out_info().preset, 6u);
  run.stop();
  get_param_block()->display.standard = 0;
}

TEST_F(DisplayModes, PassthruShowsTheCaptureRingWithoutCopies) {
  use_monitor(hex_edid("lg_tv.hex"));  // lists 1080p30, the tp2825's picture
  CaptureRun cap;
  cap.start(SIM_DECODER_TP2825);
  ASSERT_TRUE(wait_until([] { return capture_block.input_width == 1920; }));
  LogWatch log;
  DisplayRun run;
  run.start();
  run.set_mode(DISPLAY_PASSTHRU);
  ASSERT_TRUE(log.wait("edid exact match: 1920x1080p30"));
  ASSERT_TRUE(wait_until([] { return out_info().frames_shown > 10; }, 10000));
  SimVideoOutInfo i = out_info();
  EXPECT_EQ(i.fmt.pixelformat, (uint32_t)V4L2_PIX_FMT_NV12);
  EXPECT_EQ(i.fmt.width, 1920u);
  EXPECT_EQ(i.preset, 16u);  // 1080p30
  // Every picture queued is a frame of the capture ring itself.
  StreamQueue *q = get_stream_queue(CAPTURE_STREAM1);
  ASSERT_NE(q, nullptr);
  ASSERT_GE(i.queued, 3u);
  for (uint64_t n = 0; n < i.queued && n < 16; n++) {
    unsigned long p = i.queued_log[n];
    EXPECT_GE(p, (unsigned long)q->base);
    EXPECT_LT(p, (unsigned long)q->base + q->size);
  }
  // Display.Output changed during the pass-through re-creates the output at
  // the next frame.
  uint32_t calls = i.s_output_calls;
  run.env.output = 1;
  displayWakeup();
  ASSERT_TRUE(wait_until([&] { return out_info().output == 1 && out_info().streaming; }, 2000));
  EXPECT_GT(out_info().s_output_calls, calls);
  EXPECT_TRUE(log.has("displayParamsChanged: output changed from 2 to 1"));
  run.set_mode(DISPLAY_IDLE);
  ASSERT_TRUE(log.wait("passthru stopped, next mode Idle"));
  run.stop();
  cap.stop();
}

// Slices published between the capture's frames (the encoder's input in
// slice mode) share the ring with them: the pass-through shows whole frames only.
TEST_F(DisplayModes, PassthruShowsOnlyWholeFrames) {
  use_monitor(hex_edid("lg_tv.hex"));
  CaptureRun cap;
  cap.start(SIM_DECODER_TP2825);
  ASSERT_TRUE(wait_until([] { return capture_block.input_width == 1920; }));
  DisplayRun run;
  run.start();
  run.set_mode(DISPLAY_PASSTHRU);
  ASSERT_TRUE(wait_until([] { return out_info().frames_shown > 2; }, 30000));
  StreamQueue *q = get_stream_queue(CAPTURE_STREAM1);
  ASSERT_NE(q, nullptr);
  // A slice every few milliseconds, inside the slot of the second newest
  // frame: the newest entry the pass-through finds is most often a slice.
  std::atomic<bool> stop{false};
  std::atomic<int> slices{0};
  std::vector<unsigned long> slice_ptrs;
  std::mutex m;
  std::thread slicer([&] {
    for (uint32_t n = 0; !stop; n++) {
      StreamEntry e;
      int frames = 0;
      pthread_mutex_lock(&q->mutex);
      for (uint32_t seq = q->next_seq - 1, k = 0; k < 32 && frames < 2; seq--, k++)
        if (ringbuffer_find_seq(q, seq, &e) == 0 && (e.flags & STREAM_FLAG_FRAME) && e.length > 65536)
          frames++;
      pthread_mutex_unlock(&q->mutex);
      if (frames == 2) {
        uint32_t at = e.offset + 4096 * (1 + n % 8);
        {
          std::lock_guard<std::mutex> l(m);
          slice_ptrs.push_back((unsigned long)q->base + at);
        }
        ringbuffer_put_at(q, at, 4096, e.timestamp, STREAM_FLAG_KEY | STREAM_FLAG_SLICE);
        slices++;
      }
      usleep(3000);
    }
  });
  uint64_t from = out_info().queued;
  bool enough = wait_until([&] { return slices >= 100 && out_info().queued >= from + 40; }, 60000);
  SimVideoOutInfo i = out_info();
  stop = true;
  slicer.join();
  EXPECT_TRUE(enough);
  std::lock_guard<std::mutex> l(m);
  for (uint64_t n = 0; n < 16 && n < i.queued; n++)
    EXPECT_EQ(std::count(slice_ptrs.begin(), slice_ptrs.end(), i.queued_log[n]), 0)
        << "a slice was shown";
  run.stop();
  cap.stop();
}

struct PassthruChoice : DisplayModes {
  DisplayEnv env{};
  void SetUp() override {
    DisplayModes::SetUp();
    ASSERT_EQ(display_tx_open(), 0);
    env.output = 2;
    env.mode = DISPLAY_PASSTHRU;
  }
  void TearDown() override { display_tx_close(); }
  void capture(int w, int h, bool interlaced, int fps) {
    capture_block.input_width = (uint32_t)w;
    capture_block.input_height = (uint32_t)h;
    capture_block.interlaced = interlaced;
    capture_block.fps = (uint32_t)fps;
  }
};

TEST_F(PassthruChoice, StandardFromCaptureEdidAndSettings) {
  ParamBlock *pb = get_param_block();
  LogWatch log;
  // Exact: the monitor lists the capture's mode.
  use_monitor(hex_edid("lg_tv.hex"));
  capture(1920, 1080, false, 30000);
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.std, VSTD_1080P_30);
  EXPECT_EQ(env.mode, DISPLAY_PASSTHRU);
  EXPECT_EQ(env.passthru_color_space, DISPLAY_CS_NV12);
  EXPECT_TRUE(log.has("edid exact match"));
  // Close: a 720p30 capture on a TV of 720p60 goes out at 60.
  use_monitor(hex_edid("sony_hdmi_tv.hex"));
  capture(1280, 720, false, 30000);
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.std, VSTD_720P_60);
  EXPECT_TRUE(log.has("edid close match: 1280x720p60"));
  // DVR_AllowModes takes the capture's standard unchecked.
  capture(1920, 1080, false, 30000);
  pb->dvr_allow_modes = 1u << VSTD_1080P_30;
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.std, VSTD_1080P_30);
  EXPECT_EQ(env.scale_flags, 0);
  pb->dvr_allow_modes = 0;
  // A fixed standard; on composite an HD capture goes through the scaled B
  // output in UYVY.
  pb->display.standard = VSTD_720P_60;
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.std, VSTD_720P_60);
  EXPECT_EQ(env.mode, DISPLAY_PASSTHRU);
  pb->display.standard = VSTD_D1_PAL;
  env.output = 0;
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.mode, DISPLAY_PASSTHRU_SD);
  EXPECT_EQ(env.passthru_color_space, DISPLAY_CS_UYVY);
  uint32_t w, h;
  captureGetMode(1, &w, &h, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(w, 720u);
  EXPECT_EQ(h, 576u);
  pb->display.standard = 0;
  env.output = 2;
  // A monitor of 1024x768 only: its custom timing, the picture scaled up
  // from two thirds across and half down.
  use_monitor(xga_monitor());
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.std, VSTD_1024x768P_60);
  EXPECT_EQ(env.mode, DISPLAY_PASSTHRU_SD);
  EXPECT_EQ(env.scale_flags, 5);
  EXPECT_EQ(env.forced_width, 688);
  EXPECT_EQ(env.forced_height, 384);
  // The composite fold of the capture standard.
  env.output = 0;
  capture(1280, 720, false, 50000);
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.capture_std, VSTD_576P);
  capture(1920, 1080, true, 60000);
  setup_passthru(&env, CAPTURE_STREAM1);
  EXPECT_EQ(env.capture_std, VSTD_D1_NTSC);
}

TEST_F(PassthruChoice, PlaybackResolutionTriesTheAlternateRates) {
  Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
  ref.reference = true;
  BufTab_Handle tab = BufTab_create(3, 0, &ref);
  // 720p25 is not on the TV; 720p50 is the next rate tried.
  use_monitor(hex_edid("sony_hdmi_tv.hex"));
  ASSERT_EQ(display_hd_set_resolution(1280, 720, 2560, 25, tab, 0), 0);
  EXPECT_EQ(out_info().preset, 6u);
  EXPECT_EQ(out_info().fmt.pixelformat, (uint32_t)V4L2_PIX_FMT_UYVY);
  // NV12 stills get the chroma offset.
  ASSERT_EQ(display_hd_set_resolution(1280, 720, 1280, 60, tab, 1280 * 720), 0);
  EXPECT_EQ(out_info().chroma_offset, 1280 * 720);
  // Nothing at 1080 lines on that TV.
  EXPECT_EQ(display_can_show(1920, 1080), -1);
  EXPECT_EQ(display_hd_set_resolution(1920, 1080, 3840, 30, tab, 0), -1);
  // A picture of no standard's size: 720p holds it twice as large, and the
  // video window enlarges it so; a still of 960x540 shows as it is there.
  EXPECT_EQ(display_can_show(640, 360), 0);
  ASSERT_EQ(display_hd_set_resolution(640, 360, 640, 0, tab, 640 * 360), 0);
  EXPECT_EQ(out_info().preset, 8u);
  EXPECT_EQ(out_info().fmt.width, 640u);
  EXPECT_EQ(out_info().fmt.height, 360u);
  EXPECT_EQ(hwreg_read(0x01C71C50), 1280u);
  EXPECT_EQ(hwreg_read(0x01C71C54), 720u);
  EXPECT_EQ(hwreg_read(0x01C71C04) & 0x1414, 0x1414u);
  ASSERT_EQ(display_hd_set_resolution(960, 540, 1920, 0, tab, 0), 0);
  EXPECT_EQ(out_info().preset, 8u);
  EXPECT_EQ(hwreg_read(0x01C71C04) & 0x1414, 0u) << "no zoom";
  // Composite takes SD sizes, and smaller pictures inside them.
  get_param_block()->display.output = 0;
  EXPECT_EQ(display_hd_set_resolution(1280, 720, 2560, 30, tab, 0), -1);
  EXPECT_EQ(display_can_show(1280, 720), -1);
  ASSERT_EQ(display_hd_set_resolution(720, 576, 1440, 25, tab, 0), 0);
  EXPECT_EQ(out_info().signal_kind, 1);
  EXPECT_EQ(out_info().output, 0);
  ASSERT_EQ(display_hd_set_resolution(360, 288, 720, 0, tab, 0), 0);
  EXPECT_EQ(out_info().std & 0xFF, 0xFFu) << "PAL holds 720x576";
  get_param_block()->display.output = 2;
  Display_delete(hd_display);
  BufTab_delete(tab);
}

}  // namespace
