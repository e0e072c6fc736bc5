// What one muxed dequeue hands out: the start at a key frame, the first PES
// and PCR, which audio goes with which frame (across the 2^32 wrap), the
// mux buffer's bounds, JPEG pass-through, the MP4 durations and the life of
// the muxer across attaches.
#include <gtest/gtest.h>

#include <memory>

#include "../formats/ts_packets.h"
#include "formats/mp4_write.h"
#include "stream_mux_test_support.h"

namespace {

const uint32_t kV0 = 0xFFFFFFFFu - 100;  // the clock wraps between the first two frames
const uint32_t kVideoPid = 0x1011, kAudioPid = 0x1100;

// One PES start seen in a transport stream.
struct Pes {
  uint32_t pid;
  uint64_t pts;
  uint8_t cc;
};

std::vector<Pes> pes_starts(const Bytes &ts) {
  std::vector<Pes> v;
  for (const TsPacket &p : ts_packets(ts.data(), ts.size()))
    if (p.pusi && (p.pid == kVideoPid || p.pid == kAudioPid || p.pid == 0x101))
      v.push_back({p.pid, pes_ts(p.payload + 9), p.cc});
  return v;
}

// Continuity counters of one PID run on without a gap over these outputs.
void expect_continuous(const std::vector<Bytes> &outputs, uint32_t pid) {
  int last = -1;
  for (const Bytes &b : outputs)
    for (const TsPacket &p : ts_packets(b.data(), b.size())) {
      if (p.pid != pid || !p.has_payload) continue;
      if (last >= 0) EXPECT_EQ(p.cc, (last + 1) & 15) << "pid " << pid;
      last = p.cc;
    }
}

// The sizes of the 'mdat' boxes an MP4 memory window received.
std::vector<uint32_t> mdat_sizes(const Bytes &b) {
  std::vector<uint32_t> v;
  for (size_t at = 0; at + 8 <= b.size();) {
    uint32_t size = (b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
    EXPECT_EQ(memcmp(&b[at + 4], "mdat", 4), 0);
    if (size < 8) break;
    v.push_back(size);
    at += size;
  }
  return v;
}

class StreamMuxDequeue : public testing::Test {
 protected:
  void SetUp() override {
    stream_register_clear();
    stream_mux_init();
    sim_mem_set_timer(kV0 + 90000);
    log_take();
  }
  // The state lets go of the rings before they go.
  void TearDown() override {
    if (st.streamq) stream_state_detach(&st);
    muxer_free(&st);
    rings.reset();
    stream_register_clear();
  }
  AvRings &make_rings(uint32_t video_entries, uint32_t audio_entries = 64) {
    rings.reset(new AvRings(4 << 20, video_entries, 1 << 20, audio_entries));
    return *rings;
  }
  Bytes next(uint32_t timeout_ms = 200) {
    Bytes b;
    FrameDesc *f = stream_state_dequeue_timeout(&st, timeout_ms);
    EXPECT_TRUE(append_muxed(f, &b));
    if (f) EXPECT_LE(Buffer_getNumBytesUsed(f->buf), (size_t)STREAM_MUX_BUF_SIZE);
    return b;
  }
  StreamState st{};
  std::unique_ptr<AvRings> rings;
};

TEST_F(StreamMuxDequeue, TransportStreamStartsAtTheFirstKeyFrame) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_TS, &st), 0);
  ASSERT_NE(st.muxBuf, nullptr);
  EXPECT_EQ(Buffer_getSize(st.muxBuf->buf), (size_t)STREAM_MUX_BUF_SIZE);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 - 7200, 0);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 - 3600, 0);
  uint32_t key = publish(&r.video.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 3600, 0);

  Bytes first = next();
  std::string log = log_take();
  size_t warnings = 0;
  for (size_t at = 0; (at = log.find("MUXED STREAM SHOULD START WITH KEYFRAME", at)) != std::string::npos; at++)
    warnings++;
  EXPECT_EQ(warnings, 2u);
  EXPECT_NE(log.find("state startTS=4294967195"), std::string::npos) << log;
  EXPECT_EQ(st.startTS, kV0);
  EXPECT_TRUE(st.flags & STREAM_STATE_NEED_KEY);
  EXPECT_TRUE(st.flags & STREAM_STATE_KEYFRAME);
  EXPECT_EQ(st.current, st.muxBuf);
  EXPECT_EQ(st.muxBuf->seq, key);
  EXPECT_TRUE(st.muxBuf->flags & FRAME_KEY);

  // PAT, PMT, the PCR packet at pts + 900, then the frame at pts 0.
  auto pk = ts_packets(first.data(), first.size());
  ASSERT_GE(pk.size(), 4u);
  EXPECT_EQ(pk[0].pid, 0u);
  EXPECT_EQ(pk[1].pid, 0x100u);
  EXPECT_EQ(pk[2].pid, 0x1001u);
  EXPECT_EQ(pcr_base(pk[2].p), 900u);
  auto pes = pes_starts(first);
  ASSERT_EQ(pes.size(), 1u);
  EXPECT_EQ(pes[0].pts, 0u);

  // Every later unit is muxed, key frame or not, after the wrap too.
  Bytes second = next();
  pes = pes_starts(second);
  ASSERT_EQ(pes.size(), 1u);
  EXPECT_EQ(pes[0].pts, 3600u);
  EXPECT_FALSE(st.flags & STREAM_STATE_KEYFRAME);
  EXPECT_FALSE(st.muxBuf->flags & FRAME_KEY);
  expect_continuous({first, second}, kVideoPid);
}

// Audio goes with the first frame not earlier than it: later audio waits in
// its queue, empty entries are stepped over, and pts count from the first
// frame although the clock wrapped in between.
TEST_F(StreamMuxDequeue, AudioFollowsTheFrameItBelongsBefore) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_TS, &st), 0);
  Bytes aac(200, 0x21);
  publish(&r.video.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  publish(&r.audio.queue, aac, kV0 - 500, STREAM_FLAG_KEY);
  publish(&r.audio.queue, aac.data(), 0, kV0 + 100, STREAM_FLAG_KEY);  // carries nothing
  publish(&r.audio.queue, aac, kV0 + 200, STREAM_FLAG_KEY);             // after the wrap
  publish(&r.audio.queue, aac, kV0 + 3600, STREAM_FLAG_KEY);
  publish(&r.audio.queue, aac, kV0 + 3700, STREAM_FLAG_KEY);

  Bytes f0 = next();
  auto pes = pes_starts(f0);
  ASSERT_EQ(pes.size(), 1u);  // audio before the first frame has no pts of its own
  EXPECT_EQ(pes[0].pid, kVideoPid);
  EXPECT_EQ(st.videoTS, kV0);

  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 3600, 0);
  Bytes f1 = next();
  pes = pes_starts(f1);
  ASSERT_EQ(pes.size(), 3u);
  EXPECT_EQ(pes[0].pid, kVideoPid);
  EXPECT_EQ(pes[0].pts, 3600u);
  EXPECT_EQ(pes[1].pid, kAudioPid);
  EXPECT_EQ(pes[1].pts, 200u);
  EXPECT_EQ(pes[2].pid, kAudioPid);
  EXPECT_EQ(pes[2].pts, 3600u);  // not later than the frame: goes with it

  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 7200, 0);
  Bytes f2 = next();
  pes = pes_starts(f2);
  ASSERT_EQ(pes.size(), 2u);
  EXPECT_EQ(pes[1].pts, 3700u);
  expect_continuous({f0, f1, f2}, kAudioPid);
}

// MP4 into the mux buffer: one 'mdat' box per sample. The first frame takes
// audio up to 1000 ticks older than itself; later frames take all audio not
// later than themselves.
TEST_F(StreamMuxDequeue, FirstFrameDropsAudioMoreThan1000TicksOlder) {
  AvRings &r = make_rings(64);
  st.video_duration = 3600;
  st.audio_duration = 1920;
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_MP4, &st), 0);
  Mp4Muxer *m = (Mp4Muxer *)st.mux;
  ASSERT_NE(m, nullptr);
  mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3600, 0, 320, 240, 100, 40);
  mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);

  publish(&r.video.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  publish(&r.audio.queue, Bytes(101, 0x21), kV0 - 1001, STREAM_FLAG_KEY);
  publish(&r.audio.queue, Bytes(102, 0x21), kV0 - 1000, STREAM_FLAG_KEY);
  publish(&r.audio.queue, Bytes(103, 0x21), kV0 + 200, STREAM_FLAG_KEY);
  auto sizes = mdat_sizes(next());
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[1], 102u + 8);
  EXPECT_EQ(st.audioTS, kV0);  // clamped to the start

  publish(&r.audio.queue, Bytes(104, 0x21), kV0 + 1600, STREAM_FLAG_KEY);  // 2000 older than the frame
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 3600, 0);
  sizes = mdat_sizes(next());
  ASSERT_EQ(sizes.size(), 3u);
  EXPECT_EQ(sizes[1], 103u + 8);
  EXPECT_EQ(sizes[2], 104u + 8);
  EXPECT_EQ(st.audioTS, kV0 + 1600);
  EXPECT_EQ(mp4_get_error(m), 0);
}

TEST_F(StreamMuxDequeue, Mp4FrameStampedBeforeThePreviousGetsHalfAFrame) {
  AvRings &r = make_rings(64);
  st.video_duration = 3600;
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_MP4, &st), 0);
  mp4_video_track_create((Mp4Muxer *)st.mux, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3600, 0, 320, 240,
                         100, 40);
  publish(&r.video.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 - 100, 0);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 1800 + 90001, 0);
  EXPECT_EQ(mdat_sizes(next()).size(), 1u);
  EXPECT_EQ(mdat_sizes(next()).size(), 1u);
  EXPECT_NE(log_take().find("video duration is negative -100"), std::string::npos);
  EXPECT_EQ(st.videoTS, kV0 + 1800);
  next();
  EXPECT_NE(log_take().find("whoa duration=90001"), std::string::npos);
}

// Nothing is ever written past the mux buffer: a unit larger than it is
// dropped with the inter frames that lean on it, and the stream goes on at
// the next key frame without a gap in the continuity counters.
TEST_F(StreamMuxDequeue, UnitLargerThanTheBufferIsDroppedToTheNextKeyFrame) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_TS, &st), 0);
  publish(&r.video.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(true, 1000000), kV0 + 3600, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 7200, 0);
  uint32_t key = publish(&r.video.queue, synthetic_au(true, 3000), kV0 + 10800, STREAM_FLAG_KEY);
  Bytes f0 = next();
  Bytes f1 = next();
  EXPECT_NE(log_take().find("stream_mux_dequeue: VIDEO_STREAM1 seq 1: 1000000 bytes do not fit"),
            std::string::npos);
  EXPECT_EQ(st.muxBuf->seq, key);
  auto pes = pes_starts(f1);
  ASSERT_EQ(pes.size(), 1u);
  EXPECT_EQ(pes[0].pts, 10800u);
  expect_continuous({f0, f1}, kVideoPid);
}

// FLV: the file header comes with the first frame that fits, and that
// frame is time 0.
TEST_F(StreamMuxDequeue, FlvHeaderWaitsForTheFirstFrameThatFits) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_FLV, &st), 0);
  EXPECT_EQ(st.streamq2, nullptr);  // this mode carries no audio
  EXPECT_TRUE(st.flags & STREAM_STATE_FLV_HEADER);
  publish(&r.video.queue, synthetic_au(true, 1000000), kV0, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 3600, 0);
  publish(&r.video.queue, synthetic_au(true, 3000), kV0 + 7200, STREAM_FLAG_KEY);
  Bytes f = next();
  ASSERT_GT(f.size(), 13u);
  EXPECT_EQ(memcmp(f.data(), "FLV\x01\x01", 5), 0);  // video only
  EXPECT_FALSE(st.flags & STREAM_STATE_FLV_HEADER);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 10800, 0);
  f = next();
  ASSERT_GT(f.size(), 12u);
  EXPECT_EQ(f[0], FLV_TAG_VIDEO);
  EXPECT_EQ(f[11], 0x27);  // inter frame, AVC
  EXPECT_EQ(st.startTS, kV0 + 7200);  // time 0 is the first frame that went out
  EXPECT_EQ((f[4] << 16) | (f[5] << 8) | f[6], 3600 / 90);
}

// FLV tag times keep growing past the 32-bit 90 kHz clock's reach (13.25
// hours from the start), in the tag's extended byte.
TEST_F(StreamMuxDequeue, FlvTimesRunOnPastTheClocksWrap) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_FLV, &st), 0);
  // Five frames 0x70000000 ticks (about 5 hours) apart: all is muxed at once.
  const uint32_t kStep = 0x70000000u;
  for (uint32_t i = 0; i < 5; i++)
    publish(&r.video.queue, synthetic_au(i == 0, 500), kV0 + kStep * i, i == 0 ? (uint32_t)STREAM_FLAG_KEY : 0u);
  Bytes flv;
  for (int i = 0; i < 5; i++) {
    Bytes f = next();
    ASSERT_FALSE(f.empty());
    flv.insert(flv.end(), f.begin(), f.end());
  }
  ASSERT_GT(flv.size(), 13u);
  std::vector<uint32_t> times;
  for (size_t at = 13; at + 11 <= flv.size();) {
    uint32_t size = (flv[at + 1] << 16) | (flv[at + 2] << 8) | flv[at + 3];
    uint32_t ms = (uint32_t)flv[at + 7] << 24 | (flv[at + 4] << 16) | (flv[at + 5] << 8) | flv[at + 6];
    if (flv[at] == FLV_TAG_VIDEO && flv[at + 12] == 1) times.push_back(ms);
    at += 11 + size + 4;
  }
  ASSERT_EQ(times.size(), 5u);
  for (uint32_t i = 0; i < 5; i++) EXPECT_EQ(times[i], (uint32_t)((uint64_t)kStep * i / 90)) << i;
}

// Audio that does not fit behind a large frame waits for the next dequeue.
TEST_F(StreamMuxDequeue, AudioThatDoesNotFitWaitsForTheNextDequeue) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_TS, &st), 0);
  publish(&r.video.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  for (uint32_t i = 1; i <= 10; i++) publish(&r.audio.queue, Bytes(1000, 0x21), kV0 + 100 * i, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(true, 860000), kV0 + 3600, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 7200, 0);
  Bytes f0 = next(), f1 = next(), f2 = next();
  size_t in_f1 = 0, in_f2 = 0;
  for (auto &p : pes_starts(f1)) in_f1 += p.pid == kAudioPid;
  for (auto &p : pes_starts(f2)) in_f2 += p.pid == kAudioPid;
  EXPECT_GT(in_f1, 0u);
  EXPECT_GT(in_f2, 0u);
  EXPECT_EQ(in_f1 + in_f2, 10u);
  uint64_t last = 0;
  for (const Bytes *b : {&f1, &f2})
    for (auto &p : pes_starts(*b))
      if (p.pid == kAudioPid) {
        EXPECT_EQ(p.pts, last + 100);
        last = p.pts;
      }
  expect_continuous({f0, f1, f2}, kAudioPid);
  expect_continuous({f0, f1, f2}, kVideoPid);
}

// A JPEG picture goes out as it is; JPEG bytes that are not flagged as a
// picture are refused rather than packed into a video stream.
TEST_F(StreamMuxDequeue, JpegPassesUnmuxed) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_TS, &st), 0);
  Bytes jpeg(5000, 0x42);
  jpeg[0] = 0xFF, jpeg[1] = 0xD8, jpeg[4998] = 0xFF, jpeg[4999] = 0xD9;
  publish(&r.video.queue, jpeg, kV0, STREAM_FLAG_KEY | STREAM_FLAG_JPEG);
  EXPECT_EQ(next(), jpeg);
  EXPECT_TRUE(st.muxBuf->flags & FRAME_JPEG);
  EXPECT_EQ(st.startTS, 0u);
  publish(&r.video.queue, jpeg, kV0 + 3600, STREAM_FLAG_KEY);
  EXPECT_EQ(stream_state_dequeue_timeout(&st, 100), nullptr);
  EXPECT_NE(log_take().find("attempting to mux JPEG, this is probably not what you want"),
            std::string::npos);
}

// A state attached again keeps its mux buffer and gets a fresh muxer: the
// tables and counters start over. muxer_free releases both.
TEST_F(StreamMuxDequeue, ReattachKeepsTheBufferAndStartsANewMuxer) {
  AvRings &r = make_rings(64);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_TS, &st), 0);
  publish(&r.video.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  publish(&r.video.queue, synthetic_au(false, 500), kV0 + 3600, 0);
  next();
  next();
  FrameDesc *buf = st.muxBuf;
  stream_state_detach(&st);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);

  st.flags |= STREAM_STATE_RECENT_KEY;
  // The key frame is new when the state attaches: a frame a second old is
  // not taken as recent, and a loaded host may take that long from SetUp.
  sim_mem_set_timer(kV0 + 7200);
  publish(&r.video.queue, synthetic_au(true, 3000), kV0 + 7200, STREAM_FLAG_KEY);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_TS, &st), 0);
  EXPECT_EQ(st.muxBuf, buf);
  EXPECT_EQ(st.startTS, kV0 + 7200);
  EXPECT_EQ(st.videoTS, kV0 + 7200);  // no nominal duration set
  EXPECT_NE(log_take().find("muxer state startTS="), std::string::npos);
  Bytes f = next();
  auto pk = ts_packets(f.data(), f.size());
  ASSERT_FALSE(pk.empty());
  EXPECT_EQ(pk[0].pid, 0u);
  auto pes = pes_starts(f);
  ASSERT_EQ(pes.size(), 1u);
  EXPECT_EQ(pes[0].pts, 0u);
  EXPECT_EQ(pes[0].cc, 0u);

  stream_state_detach(&st);
  muxer_free(&st);
  EXPECT_EQ(st.mux, nullptr);
  EXPECT_EQ(st.muxBuf, nullptr);
}

TEST_F(StreamMuxDequeue, LatencyGoesToTheMuxedRowOfTheStream) {
  TestStream v2(VIDEO_STREAM2, 1 << 20, 64);
  LatencyStats lat;
  stream_latency_take(LATENCY_MUX_VIDEO2, &lat);
  stream_latency_take(LATENCY_RAW_VIDEO2, &lat);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM2, StreamMode_H264_TS, &st), 0);
  publish(&v2.queue, synthetic_au(true, 3000), kV0, STREAM_FLAG_KEY);
  publish(&v2.queue, synthetic_au(false, 300), kV0 + 3600, 0);
  next();
  next();
  stream_latency_take(LATENCY_MUX_VIDEO2, &lat);
  EXPECT_EQ(lat.count, 2u);
  EXPECT_GE((int32_t)lat.min, 90000 - 3600);
  stream_latency_take(LATENCY_RAW_VIDEO2, &lat);
  EXPECT_EQ(lat.count, 0u);
  stream_state_detach(&st);
}

}  // namespace
