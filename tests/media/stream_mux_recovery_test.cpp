// A muxed consumer that falls behind its producer loses what the ring no
// longer holds and goes on at a key frame: its stream still decodes without
// an error, and every picture in it is one that went in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include "../formats/ts_packets.h"
#include "stream_mux_test_support.h"
#include "test_root.h"

namespace {

const uint32_t kV0 = 0u - 90000u;  // one second before the clock wraps
const uint32_t kA0 = kV0 - 500;

// Time stamps of the PES on one PID, in file order.
std::vector<uint64_t> pes_pts(const Bytes &ts, uint32_t pid) {
  std::vector<uint64_t> v;
  for (const TsPacket &p : ts_packets(ts.data(), ts.size()))
    if (p.pusi && p.pid == pid) v.push_back(pes_ts(p.payload + 9));
  return v;
}

class StreamMuxRecovery : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    stream_register_clear();
    stream_mux_init();
    sim_mem_set_timer(kV0);
    dir = test_scratch_dir("stream_mux_recovery");
    ASSERT_GE(mux_inputs().video.size(), 100u);
    log_take();
  }
  void TearDown() override { stream_register_clear(); }
  std::string save(const char *name, const Bytes &b) {
    std::string path = dir + "/" + name;
    EXPECT_TRUE(write_board_file(path, b));
    return path;
  }
  std::string dir;
};

TEST_F(StreamMuxRecovery, ConsumerThatFellBehindGoesOnAtAKeyFrame) {
  // 31 frames and 63 audio units fit the rings.
  AvRings rings(4 << 20, 32, 1 << 20, 64);
  const MuxInputs &in = mux_inputs();
  Timeline t{kV0, kA0, 100, 400};
  StreamState st{};
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_TS, &st), 0);
  size_t na = 0;
  Bytes ts;
  publish_run(t, in.video, in.aac, &rings.video.queue, &rings.audio.queue, 0, 10, &na);
  for (int i = 0; i < 5; i++) ASSERT_TRUE(append_muxed(stream_state_dequeue_timeout(&st, 1000), &ts));
  // Frames 39 to 69 are left; the oldest start point among them is frame 50.
  publish_run(t, in.video, in.aac, &rings.video.queue, &rings.audio.queue, 10, 70, &na);
  ASSERT_TRUE(append_muxed(stream_state_dequeue_timeout(&st, 1000), &ts));
  EXPECT_EQ(st.muxBuf->seq, 50u);
  // Fewer units than frames published: a consumer that gives more never
  // ends.
  int units = 0;
  while (units <= 1000 && append_muxed(stream_state_dequeue_timeout(&st, 100), &ts)) units++;
  publish_run(t, in.video, in.aac, &rings.video.queue, &rings.audio.queue, 70, 100, &na);
  while (units <= 1000 && append_muxed(stream_state_dequeue_timeout(&st, 100), &ts)) units++;
  EXPECT_LE(units, 1000) << "the muxed units never end";
  std::string log = log_take();
  EXPECT_NE(log.find("VIDEO_STREAM1: seq 5 was lost"), std::string::npos) << log;
  EXPECT_NE(log.find("AAC_STREAM: seq"), std::string::npos) << log;
  EXPECT_NE(log.find("TS rel=1840ms"), std::string::npos) << log;
  stream_state_detach(&st);
  muxer_free(&st);

  std::string path = save("behind.ts", ts);
  EXPECT_EQ(decode_errors(path), "");
  auto all = decoded_md5s(mux_inputs().h264_path, "0:v");
  ASSERT_EQ(all.size(), 100u);
  std::vector<std::string> want(all.begin(), all.begin() + 5);
  want.insert(want.end(), all.begin() + 50, all.end());
  EXPECT_EQ(decoded_md5s(path, "0:v"), want);

  auto vpts = pes_pts(ts, 0x1011);
  ASSERT_EQ(vpts.size(), 55u);
  EXPECT_EQ(vpts[5], 50u * kVideoTicks);
  auto apts = pes_pts(ts, 0x1100);
  ASSERT_FALSE(apts.empty());
  EXPECT_TRUE(std::is_sorted(apts.begin(), apts.end()));
  EXPECT_EQ(std::adjacent_find(apts.begin(), apts.end()), apts.end());
  EXPECT_LE(apts.back(), vpts.back());
}

// Units that a producer overwrites while they are being muxed never go out
// half old, half new. Each unit is filled with one byte value; the producer
// runs flat out over a ring that holds a few units, so the consumer keeps
// reading units that are about to be overwritten.
struct Overrun {
  StreamQueue *q;
  int units;
  std::atomic<bool> done{false};
};

void *overrun_main(void *arg) {
  Overrun *o = (Overrun *)arg;
  for (int i = 0; i < o->units; i++) {
    Bytes au = synthetic_au(true, 60000 + (i % 7) * 20000);
    std::fill(au.begin() + 26, au.end(), (uint8_t)(1 + i % 250));
    publish(o->q, au, kV0 + 3600u * (uint32_t)i, STREAM_FLAG_KEY);
  }
  o->done = true;
  return nullptr;
}

TEST_F(StreamMuxRecovery, UnitOverwrittenWhileMuxedNeverGoesOut) {
  TestStream v(VIDEO_STREAM1, 512 << 10, 16);
  Overrun o{&v.queue, 3000};
  StreamState st{};
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_TS, &st), 0);
  pthread_t th;
  pthread_create(&th, nullptr, overrun_main, &o);
  Bytes ts;
  size_t units = 0;
  auto by = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((!o.done || units == 0) && std::chrono::steady_clock::now() < by) {
    FrameDesc *d = stream_state_dequeue_timeout(&st, 100);
    if (d && append_muxed(d, &ts)) units++;
  }
  EXPECT_TRUE(o.done) << "the overrunning producer never ended";
  EXPECT_GT(units, 0u) << "no unit muxed";
  pthread_join(th, nullptr);
  stream_state_detach(&st);
  muxer_free(&st);
  std::string log = log_take();
  size_t caught = 0;
  for (size_t at = 0; (at = log.find("was overwritten while it was muxed", at)) != std::string::npos; at++)
    caught++;
  // How often the race was caught depends on the scheduler: recorded, not judged.
  RecordProperty("caught_overwritten", (int)caught);

  auto pes = ts_pes_units(ts.data(), ts.size(), 0x1011);
  ASSERT_EQ(pes.size(), units);
  // A unit taken back leaves the muxer as it was: the continuity counters
  // run on without a gap.
  int last = -1;
  for (const TsPacket &p : ts_packets(ts.data(), ts.size())) {
    if (p.pid != 0x1011 || !p.has_payload) continue;
    if (last >= 0) EXPECT_EQ(p.cc, (last + 1) & 15);
    last = p.cc;
  }
  for (auto &u : pes) {
    // PES header, access unit delimiter, the unit's own 26 header bytes.
    size_t body = 9 + u[8] + 6 + 26;
    ASSERT_GT(u.size(), body);
    uint8_t fill = u[body];
    EXPECT_EQ((size_t)std::count(u.begin() + body, u.end(), fill), u.size() - body);
  }
}

}  // namespace
