// End to end on the simulated board: capture, overlay on the Worker and the
// encoder threads publish H.264 into VIDEO_STREAM1 that ffmpeg decodes
// cleanly with the configured size, profile, level, rate, aspect ratio and
// IDR spacing, key flags on the IDR entries only and the capture's
// timestamps; bit-rate, resolution and mode changes take effect; pauses are
// taken out of the timestamps.
#include <gtest/gtest.h>

#include "video_enc_test_support.h"
#include "test_root.h"

namespace {

bool has(const std::string &text, const std::string &needle) {
  return text.find(needle) != std::string::npos;
}

// Key flags and timestamps of whole-frame entries against what ffprobe
// makes of the stream. The encoder says what it coded: a unit's sequence
// number places it in its GOP, and its stamp lies whole frame times
// (period ticks) after the one before, at least one for each unit the
// reader was passed over for (a skipped sequence number); more where a
// busy host lost capture frames before the encoder.
void expect_idr_every(const std::vector<Unit> &units, const std::string &path, int gop,
                      uint32_t period) {
  std::string frames = probe(path, "frame=key_frame,pict_type");
  std::string expect;
  for (size_t i = 0; i < units.size(); i++)
    expect += (units[i].seq - units[0].seq) % gop == 0 ? "key_frame=1\npict_type=I\n"
                                                       : "key_frame=0\npict_type=P\n";
  EXPECT_EQ(frames, expect);
  for (size_t i = 0; i < units.size(); i++) {
    EXPECT_EQ((units[i].flags & FRAME_KEY) != 0, has_idr_slice(units[i].data)) << "entry " << i;
    if (!i) continue;
    uint32_t step = units[i].ts - units[i - 1].ts, seqs = units[i].seq - units[i - 1].seq;
    EXPECT_GE(seqs, 1u) << "entry " << i;
    EXPECT_EQ(step % period, 0u) << "entry " << i << ": " << step;
    EXPECT_GE(step, seqs * period) << "entry " << i;
  }
}

class VideoEncStream : public ::testing::Test {
 protected:
  EncoderRun run;
  LogWatch log;
  void TearDown() override { run.stop(); }
};

}  // namespace

TEST_F(VideoEncStream, H264CarriesTheConfiguredStream) {
  run.start([] {
    h264_settings(0, 640, 360);
    video(0).aspect_ratio = 1;   // 4:3 shown from a 16:9 picture: pixels 3:4
    video(0).h264_level = 20;    // too low for 640x360 at 30: raised
  });
  VideoConsumer c(VIDEO_STREAM1);
  std::vector<Unit> units = c.take(31);
  ASSERT_EQ(units.size(), 31u);
  // The consumer was there before the producer started: the first entry
  // opens the stream.
  ASSERT_TRUE(has_idr_slice(units[0].data));
  std::string path = dump_file("a.h264", concat(units));
  EXPECT_EQ(decode_errors(path), "");
  std::string s = probe(path, "stream=profile,level,width,height,r_frame_rate,sample_aspect_ratio");
  EXPECT_TRUE(has(s, "profile=High\n")) << s;
  EXPECT_TRUE(has(s, "level=30\n")) << s;
  EXPECT_TRUE(has(s, "width=640\nheight=360\n")) << s;
  EXPECT_TRUE(has(s, "sample_aspect_ratio=3:4\n")) << s;
  EXPECT_TRUE(has(s, "r_frame_rate=30/1\n")) << s;
  // The DVI input runs 1080p30: 3000 ticks a frame, or several where a
  // loaded machine dropped frames before the encoder (the stream's own rate,
  // above, says 30).
  expect_idr_every(units, path, 10, 3000);
  EXPECT_TRUE(log.has("h264Params.levelIdc set to 30"));
  EXPECT_TRUE(log.has("videoA 640x360 (640) TBR=1000000 MBR=50000000 TFR=30000 RFR=30000 MFR=60000 GOP=10"));
  // Channel B (JPEG, no consumer) never touched capture row A.
  uint32_t w, h, fourcc;
  captureGetMode(0, &w, &h, nullptr, &fourcc, nullptr, nullptr, nullptr);
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(fourcc, (uint32_t)V4L2_PIX_FMT_NV12);
}

TEST_F(VideoEncStream, NtscFieldsGive2997WithTheirPixelAspect) {
  run.start([] {
    CaptureRun::params()->capture.input = 1;   // composite NTSC, 59.94 fields/s
    h264_settings(0, 720, 480);
    video(0).aspect_ratio = 1;
    video(0).h264_profile = 77;
    video(0).interlaced = 1;
  });
  VideoConsumer c(VIDEO_STREAM1);
  std::vector<Unit> units = c.take(12);
  ASSERT_EQ(units.size(), 12u);
  std::string path = dump_file("ntsc.h264", concat(units));
  EXPECT_EQ(decode_errors(path), "");
  std::string s = probe(path, "stream=profile,width,height,r_frame_rate,sample_aspect_ratio");
  EXPECT_TRUE(has(s, "profile=Main\n")) << s;
  EXPECT_TRUE(has(s, "width=720\nheight=480\n")) << s;
  EXPECT_TRUE(has(s, "r_frame_rate=30000/1001\n")) << s;
  EXPECT_TRUE(has(s, "sample_aspect_ratio=8:9\n")) << s;
  EXPECT_TRUE(log.has("h264 PAR 8:9 DAR 4:3"));
  EXPECT_TRUE(log.has("h264 frameRate=29970 timeScale=60000 numUnitsInTicks=1001 interlaced=0 fdec=1"));
}

TEST_F(VideoEncStream, A1080p60InputIsEncodedAt30) {
  run.start([] {
    // A reduced-blanking clock the capture takes (148.5 MHz it would not).
    sim_capture_set_timings(0, 1920, 1080, 0, 60000, 119000000);
    h264_settings(0, 0, 0);
    video(0).bit_rate = 4000000;
    video(0).h264_level = 40;
  });
  VideoConsumer c(VIDEO_STREAM1);
  std::vector<Unit> units = c.take(12);
  ASSERT_EQ(units.size(), 12u);
  std::string path = dump_file("1080.h264", concat(units));
  EXPECT_EQ(decode_errors(path), "");
  std::string s = probe(path, "stream=width,height,r_frame_rate,level");
  EXPECT_TRUE(has(s, "width=1920\nheight=1080\n")) << s;
  EXPECT_TRUE(has(s, "r_frame_rate=30/1\n")) << s;
  EXPECT_TRUE(has(s, "level=40\n")) << s;
  // Every other 1500-tick frame: never two in a row.
  expect_idr_every(units, path, 10, 1500);
  for (size_t i = 1; i < units.size(); i++)
    EXPECT_GE(units[i].ts - units[i - 1].ts, 3000u * (units[i].seq - units[i - 1].seq)) << i;
}

TEST_F(VideoEncStream, SliceModePublishesOneEntryPerSlice) {
  run.start([] {
    h264_settings(0, 640, 360);
    video(0).slice_mode = 1;   // 360 / 5 = 72 lines, rounded to 80: five slices
  });
  VideoConsumer c(VIDEO_STREAM1);
  std::vector<Unit> units = c.take(80);
  ASSERT_EQ(units.size(), 80u);
  // Cut at a picture boundary: the last whole picture ends before the last
  // entry whose stamp differs from the one after it.
  size_t end = units.size();
  while (end > 1 && units[end - 1].ts == units[end - 2].ts) end--;
  end--;
  std::vector<Unit> whole(units.begin(), units.begin() + (long)end);
  std::string path = dump_file("slices.h264", concat(whole));
  EXPECT_EQ(decode_errors(path), "");
  std::string s = probe(path, "stream=width,height");
  EXPECT_TRUE(has(s, "width=640\nheight=360\n")) << s;
  std::string frames = probe(path, "frame=key_frame");
  size_t pictures = 0, slices = 0;
  for (size_t i = frames.find("key_frame="); i != std::string::npos; i = frames.find("key_frame=", i + 1))
    pictures++;
  for (const Unit &u : whole) {
    uint8_t nal = u.data.size() > 4 ? u.data[4] & 0x1f : 0;
    // Only the parameter-set entries open a picture a consumer may start at.
    EXPECT_EQ((u.flags & FRAME_KEY) != 0, nal == 7);
    slices += nal == 1 || nal == 5;
  }
  EXPECT_EQ(slices, pictures * 5);
  EXPECT_TRUE(log.has("h264 slice_lines=80 sliceMode=3 outputDataMode=0 sliceFormat=1 sliceSize=5"));
  // The slices of a picture whose first one the encoder never got (lost
  // while it was held off the CPU, which the reader logs) are passed over
  // with a line; with nothing lost, none is.
  if (!log.has("CAPTURE_STREAM1: seq ")) EXPECT_FALSE(log.has("slice mode out of sync"));
}

TEST_F(VideoEncStream, ABitRateChangeIsFollowedWithoutRestart) {
  // Noise, so that every rate finds something to spend its bits on.
  std::string y4m = video_test_y4m("noise", "testsrc2=s=640x360:r=30,noise=alls=24:allf=t+u", 30);
  ASSERT_FALSE(y4m.empty());
  run.start([&] {
    ASSERT_EQ(sim_capture_set_y4m(y4m.c_str()), 0);
    h264_settings(0, 640, 360);
    video(0).rate_mode = 0;    // constant rate
    video(0).gop_size = 30;
    video(0).bit_rate = 300000;
  });
  VideoConsumer c(VIDEO_STREAM1);
  // Bits per coded picture at the coded 30 per second: the rate control's
  // own measure, which frames a loaded host loses do not change.
  auto rate_of = [](const std::vector<Unit> &u) {
    uint64_t bytes = 0;
    for (size_t i = 1; i < u.size(); i++) bytes += u[i].data.size();
    return (double)bytes * 8 * 30 / (double)(u.size() - 1);
  };
  c.take(30);
  double low = rate_of(c.take(61));
  // Measured from units coded after the encoder took the new rate: a
  // consumer held off the CPU may still have the old rate's units waiting.
  video(0).bit_rate = 2000000;
  ASSERT_TRUE(log.wait("bitrate=2000000 intraFrameQP=28", 30000));
  c.skip_ready();
  c.take(30);
  double high = rate_of(c.take(61));
  EXPECT_NEAR(low, 300000, 90000);
  EXPECT_NEAR(high, 2000000, 600000);
  EXPECT_TRUE(log.has("bitrate=2000000 intraFrameQP=28"));
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 1);
  sim_capture_set_y4m(nullptr);
}

TEST_F(VideoEncStream, ARestartAppliesANewSize) {
  run.start([] { h264_settings(0, 640, 360); });
  VideoConsumer c(VIDEO_STREAM1);
  ASSERT_EQ(c.take(5).size(), 5u);
  video(0).width = 320;
  video(0).height = 240;
  stream_restart(VIDEO_STREAM1);
  // The consumer keeps its attachment: the first run ends with a mark, and
  // the new one opens with its IDR.
  bool mark = false;
  for (int i = 0; i < 300 && !mark; i++) {
    FrameDesc *f = stream_state_dequeue_timeout(&c.st, 5000);
    ASSERT_NE(f, nullptr);
    mark = Buffer_getNumBytesUsed(f->buf) == 0;
  }
  ASSERT_TRUE(mark);
  std::vector<Unit> units = c.take(12);
  ASSERT_EQ(units.size(), 12u);
  EXPECT_TRUE(has_idr_slice(units[0].data));
  std::string path = dump_file("restart.h264", concat(units));
  EXPECT_EQ(decode_errors(path), "");
  EXPECT_TRUE(has(probe(path, "stream=width,height"), "width=320\nheight=240\n"));
  EXPECT_TRUE(log.has("videoA: stopped"));
}

TEST_F(VideoEncStream, PausedTimeIsTakenOutOfTheTimestamps) {
  run.start([] { h264_settings(0, 320, 240); });
  VideoConsumer c(VIDEO_STREAM1);
  std::vector<Unit> before = c.take(3);
  ASSERT_EQ(before.size(), 3u);
  setVideoPause(0, 1);
  usleep(400000);
  // What was coded before the pause.
  uint32_t last = before.back().ts;
  Unit u;
  int coded = 0;
  while (coded <= 100 && c.next(&u, 300)) {
    last = u.ts;
    coded++;
  }
  EXPECT_LE(coded, 100) << "the pause never stopped the coding";
  uint32_t published = c.st.streamq->next_seq;
  usleep(300000);
  EXPECT_EQ(c.st.streamq->next_seq, published);   // nothing coded while paused
  setVideoPause(0, 0);
  ASSERT_TRUE(c.next(&u));
  int32_t offset = stream_queue_ts_offset(c.st.streamq);
  EXPECT_GT(offset, 45000);   // at least half a second
  // Through the offset, the first frame after the pause follows the last
  // one before it by a frame time, or by the few a busy host lost about the
  // resume: far less than the pause taken out.
  uint32_t step = u.ts - (uint32_t)offset - last;
  EXPECT_EQ(step % 3000, 0u) << step;
  EXPECT_GE(step, 3000u);
  EXPECT_LT(step, (uint32_t)offset);
}

TEST_F(VideoEncStream, AnUnsupportedModeProducesNothingUntilChanged) {
  run.start([] {
    h264_settings(0, 320, 240);
    video(0).stream_mode = StreamMode_MPEG4_ES;
  });
  VideoConsumer c(VIDEO_STREAM1);
  Unit u;
  EXPECT_FALSE(c.next(&u, 1000));
  // The run ends once and waits for the next start; it does not spin.
  log.take();
  size_t runs = 0;
  for (size_t i = log.all.find("unexpected video format 0xa"); i != std::string::npos;
       i = log.all.find("unexpected video format 0xa", i + 1))
    runs++;
  EXPECT_EQ(runs, 1u);
  video(0).stream_mode = StreamMode_H264_ES;
  stream_restart(VIDEO_STREAM1);
  ASSERT_TRUE(c.next(&u));
  EXPECT_TRUE(has_idr_slice(u.data));
}
