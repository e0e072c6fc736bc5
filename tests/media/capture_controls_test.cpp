// What the capture thread does with slices, colour controls, control events
// and a stuck chain.
#include <gtest/gtest.h>

#include "capture_test_support.h"

namespace {

class CaptureControls : public ::testing::Test {
 protected:
  CaptureRun run;
  LogWatch log;
  void TearDown() override { run.stop(); }
};

size_t count(const std::string &all, const char *needle) {
  size_t n = 0;
  for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) n++;
  return n;
}

}  // namespace

TEST_F(CaptureControls, SlicesArePublishedAsTheResizerReportsThem) {
  run.start(SIM_DECODER_ADV7842);
  captureSetMode(1, 640, 480, 640, V4L2_PIX_FMT_NV12, 96, V4L2_FIELD_NONE, 30000);
  CaptureConsumer b(CAPTURE_STREAM2, StreamMode_NV12);
  // Find the start of a frame's slices, then read the frame's five slices.
  FrameDesc *f = nullptr;
  for (int i = 0; i < 200; i++) {
    f = stream_state_dequeue_timeout(&b.st, 3000);
    ASSERT_NE(f, nullptr);
    if ((f->flags & FRAME_SLICE) && (f->flags & FRAME_KEY)) break;
  }
  ASSERT_TRUE((f->flags & FRAME_SLICE) && (f->flags & FRAME_KEY));
  const uint8_t *first = (const uint8_t *)Buffer_getUserPtr(f->buf);
  uint32_t ts = f->timestamp;
  int slices = 1;
  bool ended = false;
  for (int restarts = 0; !ended;) {
    f = stream_state_dequeue_timeout(&b.st, 3000);
    ASSERT_NE(f, nullptr);
    if (!(f->flags & FRAME_SLICE)) continue;  // the whole frame, via the Worker
    if (f->flags & FRAME_KEY) {
      // A reader held off the CPU is moved on to a later frame's start:
      // that frame is read instead.
      ASSERT_LT(++restarts, 20);
      first = (const uint8_t *)Buffer_getUserPtr(f->buf);
      ts = f->timestamp;
      slices = 1;
      continue;
    }
    EXPECT_EQ(f->timestamp, ts);
    EXPECT_EQ((const uint8_t *)Buffer_getUserPtr(f->buf) - first, (ptrdiff_t)slices * 96 * 640);
    EXPECT_EQ(Buffer_getNumBytesUsed(f->buf), 96u * 640 * 3 / 2);
    ended = f->flags & FRAME_SLICE_END;
    slices++;
  }
  EXPECT_EQ(slices, 5);
  EXPECT_EQ(sim_info().out[1].slice_lines, 96u);
}

TEST_F(CaptureControls, ColourControlsAreSetOnceAndCheckedOnReadBack) {
  run.start(SIM_DECODER_TP2825, [] {
    ParamBlock *pb = CaptureRun::params();
    pb->capture.brightness = 200;
    pb->capture.contrast = 100;
    pb->capture.hue = 127;  // beyond the analog-HD decoder's range
  });
  ASSERT_TRUE(log.wait("main capture loop running"));
  EXPECT_TRUE(log.has("Failed to change hue to 127, currently 90"));
  SimCaptureInfo i = sim_info();
  EXPECT_EQ(i.ctrl[0], 200 / 2 - 64);  // brightness
  EXPECT_EQ(i.ctrl[1], 50);            // contrast
  EXPECT_EQ(i.ctrl[4], 1);             // colour killer on unless the parameter is 1
  // A settings change runs the pass again; unchanged values are not set again.
  capture_settings_changed();
  ASSERT_TRUE(log.wait("capture settings changed"));
  ASSERT_TRUE(wait_until([&] { return count(log.all, "main capture loop running") >= 2 || (log.take(), false); }));
  EXPECT_EQ(count(log.all, "Failed to change hue"), 1u);
}

TEST_F(CaptureControls, StrayFifoEntriesAndUnchangedSignalsAreOnlyLogged) {
  run.start(SIM_DECODER_ADV7842);
  CaptureConsumer a(CAPTURE_STREAM1);
  ASSERT_NE(a.frame(), nullptr);
  log.take();
  size_t passes = count(log.all, "main capture loop running");
  Fifo_put(capture_block.capture_control_fifo, (void *)0x1234);
  ASSERT_TRUE(log.wait("Capture event fifo: unexpected 0x1234"));
  sim_capture_set_signal(0, 1);  // the decoder reports, nothing changed
  ASSERT_TRUE(log.wait("timings didn't change"));
  EXPECT_EQ(count(log.all, "main capture loop running"), passes);
  EXPECT_NE(a.frame(), nullptr);
}

TEST_F(CaptureControls, AStuckAnalogHdChainIsSetUpAgain) {
  run.start(SIM_DECODER_TP2825);
  CaptureConsumer a(CAPTURE_STREAM1);
  FrameDesc *f = a.frame();
  ASSERT_NE(f, nullptr);
  uint32_t last = f->timestamp;
  sim_capture_stall(1);
  ASSERT_TRUE(log.wait("capture timeout 1, streams enabled 1 0"));
  // Meanwhile the last frame is repeated with the time it is sent again.
  FrameDesc *g = a.frame();
  ASSERT_NE(g, nullptr);
  EXPECT_NE(g->timestamp, last);
  ASSERT_TRUE(log.wait("Capture appears stuck, reinit"));
  sim_capture_stall(0);
  ASSERT_TRUE(log.wait("main capture loop running: 1 0"));
  EXPECT_NE(a.frame(), nullptr);
}

TEST(CaptureEnd, AFailedSetUpStillMeetsBothRendezvous) {
  LogWatch log;
  timestamp_now();
  sim_capture_reset(SIM_DECODER_ADV7842);
  board_identity.ahd = 0;
  CaptureRun::params();
  set_exit_code(EXIT_RUNNING);
  // The media controller lists no entity: the pipeline cannot be built.
  sim_capture_fail_request(MEDIA_IOC_ENUM_ENTITIES, 1000, EIO);
  Worker *w = Worker_create(48, nullptr);
  CaptureEnv env{};
  env.env.name = "capture_hd";
  env.worker = w;
  env.env.start_rendezvous = Rendezvous_create(2);
  env.env.cleanup_rendezvous = Rendezvous_create(2);
  pthread_t t;
  pthread_create(&t, nullptr, captureThrFxn, &env);
  Rendezvous_meet(env.env.start_rendezvous);
  Rendezvous_meet(env.env.cleanup_rendezvous);
  pthread_join(t, nullptr);
  EXPECT_EQ(env.status, -1);
  EXPECT_TRUE(log.has("Missing sink entity: adv7842 1-0020"));
  EXPECT_TRUE(log.has("media setup resize A failed"));
  Rendezvous_delete(env.env.start_rendezvous);
  Rendezvous_delete(env.env.cleanup_rendezvous);
  Worker_delete(w);
  sim_capture_reset(SIM_DECODER_SYSFS);
}
