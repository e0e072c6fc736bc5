// The stream source between the stream layer and the RTP sinks: NAL units
// split out of entries with their entry's time, 1316-byte transport-stream
// units with nothing lost between entries, raw AAC and network-order PCM,
// presentation times across the 32-bit wrap, wrong data closing the
// source, two sources of one stream each seeing every entry, only the
// last slice of a picture ending it, a lagging reader sending nothing the
// producer wrote over, and a JPEG channel's switch holding no other session.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/global.h"
#include "core/param_block.h"
#include "media/stream_test_support.h"
#include "streaming/rtsp/h264_framer.h"
#include "streaming/stream_device_source.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Reader {
  FramedSource *src;
  uint8_t buf[4096];
  unsigned max;
  std::vector<Bytes> frames;
  std::vector<struct timeval> times;
  std::vector<bool> ends;   // the RTP marker rule's answer for each frame
  bool closed = false;
  explicit Reader(FramedSource *s, unsigned maxSize = sizeof(buf)) : src(s), max(maxSize) {}
  void ask() { src->getNextFrame(buf, max, after, this, onClose, this); }
  static void after(void *d, unsigned size, unsigned, struct timeval pt, unsigned) {
    Reader *r = static_cast<Reader *>(d);
    r->frames.emplace_back(r->buf, r->buf + size);
    r->times.push_back(pt);
    r->ends.push_back(r->src->pictureEndMarker());
  }
  static void onClose(void *d) { static_cast<Reader *>(d)->closed = true; }
};

class StreamSource : public ::testing::Test {
 protected:
  void SetUp() override {
    *get_param_block() = *param_default_block();
    // No restart or quit asked of the RTSP server, as at start (a quit and
    // its undoing elsewhere leave the watch set).
    __atomic_store_n(&rtsp_watch, (uint8_t)0, __ATOMIC_RELEASE);
    sched_ = BasicTaskScheduler::createNew(10000);
    env_ = BasicUsageEnvironment::createNew(*sched_);
  }
  void TearDown() override {
    env_->reclaim();
    delete sched_;
    stream_register_clear();
    stream_mux_ops = StreamMuxOps{};
  }
  void run(int passes = 5) {
    for (int i = 0; i < passes; i++) sched_->singleStep(1000);
  }
  // Reads until n frames arrived or nothing more comes.
  void read(Reader &r, size_t n) {
    for (int tries = 0; r.frames.size() < n && tries < 50; tries++) {
      if (!r.src->isCurrentlyAwaitingData()) r.ask();
      run(1);
    }
  }
  static void put(TestStream &s, const Bytes &b, uint32_t ts, uint32_t flags = 0) {
    int off = ringbuffer_preallocate(&s.queue, (uint32_t)b.size());
    memcpy(s.queue.base + off, b.data(), b.size());
    ringbuffer_put(&s.queue, (uint32_t)b.size(), ts, flags);
  }
  TaskScheduler *sched_;
  UsageEnvironment *env_;
};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes &p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

TEST_F(StreamSource, EntryWithParameterSetsAndSliceGivesThreeUnitsOfOneTime) {
  TestStream s(VIDEO_STREAM1, 1 << 20, 64);
  StreamDeviceSource *src = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_ES, rtp_video_h264);
  ASSERT_TRUE(src->attached());
  Bytes sps = {0x67, 0x42, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x09};   // zeros inside a unit stay
  Bytes pps = {0x68, 0xCE, 0x38, 0x80};
  Bytes idr = {0x65, 0x88, 0x00, 0x00, 0x00, 0x01, 0x77};          // a slice runs to the end
  Bytes sc = {0, 0, 0, 1};
  put(s, cat({sc, sps, sc, pps, sc, idr}), 900000, 1);
  put(s, cat({sc, Bytes{0x41, 0x9A}}), 903600);
  Reader r(src);
  read(r, 4);
  ASSERT_EQ(r.frames.size(), 4u);
  EXPECT_EQ(r.frames[0], sps);
  EXPECT_EQ(r.frames[1], pps);
  EXPECT_EQ(r.frames[2], idr);
  EXPECT_EQ(r.frames[3], (Bytes{0x41, 0x9A}));
  for (int i = 1; i < 3; i++) {
    EXPECT_EQ(r.times[i].tv_sec, r.times[0].tv_sec);
    EXPECT_EQ(r.times[i].tv_usec, r.times[0].tv_usec);
  }
  double dt = (r.times[3].tv_sec - r.times[0].tv_sec) + (r.times[3].tv_usec - r.times[0].tv_usec) / 1e6;
  EXPECT_NEAR(dt, 0.04, 0.0001);
  Medium::close(src);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
}

TEST_F(StreamSource, OnlyThePicturesLastSliceEndsIt) {
  TestStream s(VIDEO_STREAM1, 1 << 20, 64);
  StreamDeviceSource *src = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_ES, rtp_video_h264);
  FramedSource *framer = H264VideoStreamDiscreteFramer::createNew(*env_, src);
  Bytes sc = {0, 0, 0, 1};
  // A picture coded as three slices, then one coded whole.
  put(s, cat({sc, Bytes{0x65, 0x88, 0x80}}), 900000, STREAM_FLAG_KEY | STREAM_FLAG_SLICE);
  put(s, cat({sc, Bytes{0x65, 0x88, 0x81}}), 900000, STREAM_FLAG_SLICE);
  put(s, cat({sc, Bytes{0x65, 0x88, 0x82}}), 900000, STREAM_FLAG_SLICE | STREAM_FLAG_SLICE_END);
  put(s, cat({sc, Bytes{0x41, 0x9A}}), 903600);
  Reader r(framer);
  read(r, 4);
  EXPECT_EQ(r.ends, (std::vector<bool>{false, false, true, true}));
  Medium::close(framer);
}

TEST_F(StreamSource, NonH264DataClosesTheSource) {
  TestStream s(VIDEO_STREAM1, 1 << 20, 64);
  StreamDeviceSource *src = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_ES, rtp_video_h264);
  put(s, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00}, 1000);
  Reader r(src);
  read(r, 1);
  EXPECT_TRUE(r.closed);
  EXPECT_TRUE(r.frames.empty());
  Medium::close(src);
}

TEST_F(StreamSource, TwoSourcesOfOneStreamEachSeeEveryEntry) {
  TestStream s(VIDEO_STREAM1, 1 << 20, 64);
  StreamDeviceSource *a = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_ES, rtp_video_h264);
  StreamDeviceSource *b = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_ES, rtp_video_h264);
  EXPECT_EQ(rtsp_stream_refcount[1], 2);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 2);
  Reader ra(a), rb(b);
  for (int i = 0; i < 3; i++) put(s, Bytes{0, 0, 0, 1, 0x41, (uint8_t)i}, 1000 + 3600 * i);
  read(ra, 3);
  read(rb, 3);
  EXPECT_EQ(ra.frames.size(), 3u);
  EXPECT_EQ(rb.frames.size(), 3u);
  // The first one made goes first; the other goes on alone.
  Medium::close(a);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 1);
  put(s, Bytes{0, 0, 0, 1, 0x41, 9}, 20000);
  read(rb, 4);
  ASSERT_EQ(rb.frames.size(), 4u);
  EXPECT_EQ(rb.frames[3], (Bytes{0x41, 9}));
  Medium::close(b);
  EXPECT_EQ(rtsp_stream_refcount[1], 0);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
}

TEST_F(StreamSource, LaggingReaderNeverSendsOverwrittenBytes) {
  // A ring of 64 KiB: a few large entries wrap it.
  TestStream s(VIDEO_STREAM1, 1 << 16, 64);
  StreamDeviceSource *src = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_ES, rtp_video_h264);
  ASSERT_TRUE(src->attached());
  Bytes sc = {0, 0, 0, 1};
  Bytes sps = {0x67, 0x42, 0x00, 0x1E}, pps = {0x68, 0xCE, 0x38, 0x80};
  Bytes idr = {0x65, 0x88, 0x84, 0x21};
  put(s, cat({sc, sps, sc, pps, sc, idr}), 1000, STREAM_FLAG_KEY);
  Reader r(src);
  read(r, 1);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], sps);
  // The reader lags while the producer fills the ring round again: the
  // rest of the first entry is written over by slices full of 0x41.
  for (int i = 0; i < 8; i++) put(s, cat({sc, Bytes(12000, 0x41)}), 2000 + 3600 * i);
  Bytes key = cat({sc, Bytes{0x65, 0x88, 0x99, 0x77}});
  put(s, key, 40000, STREAM_FLAG_KEY);
  put(s, cat({sc, Bytes{0x41, 0x9A, 0x01}}), 43600);
  read(r, 3);
  // Nothing of the lost pictures (neither the written-over rest nor the
  // slices that refer to them): the stream goes on at the next key frame.
  ASSERT_EQ(r.frames.size(), 3u);
  EXPECT_EQ(r.frames[1], Bytes(key.begin() + 4, key.end()));
  EXPECT_EQ(r.frames[2], (Bytes{0x41, 0x9A, 0x01}));
  Medium::close(src);
}

TEST_F(StreamSource, JpegChannelSwitchDoesNotHoldOtherSessions) {
  get_param_block()->video[0].stream_mode = StreamMode_JPEG;
  TestStream jpeg(VIDEO_STREAM1, 1 << 16, 16);
  TestStream other(VIDEO_STREAM2, 1 << 16, 16);
  StreamDeviceSource *b = StreamDeviceSource::createNew(*env_, 2, StreamMode_H264_ES, rtp_video_h264);
  ASSERT_TRUE(b->attached());
  // Channel A's JPEG encoder is still running when a session asks for its
  // H.264: the source is made at once and waits, unattached.
  pthread_mutex_lock(&jpeg.state.mutex);
  jpeg.state.flags &= ~STREAM_STOPPED;
  pthread_mutex_unlock(&jpeg.state.mutex);
  ASSERT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 1);
  StreamDeviceSource *a = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_ES, rtp_video_h264);
  EXPECT_EQ(get_param_block()->video[0].stream_mode, StreamMode_H264_ES);
  EXPECT_FALSE(a->attached());
  Reader ra(a), rb(b);
  ra.ask();
  // Meanwhile the other session gets each of its producer's frames as it
  // is put, one by one.
  for (int i = 0; i < 5; i++) {
    put(other, Bytes{0, 0, 0, 1, 0x41, (uint8_t)i}, 1000 + 3600 * i);
    read(rb, (size_t)i + 1);
    ASSERT_EQ(rb.frames.size(), (size_t)i + 1);
    EXPECT_EQ(rb.frames[i], (Bytes{0x41, (uint8_t)i}));
  }
  EXPECT_FALSE(a->attached());
  // Once the JPEG encoder stops, the waiting source attaches and delivers.
  pthread_mutex_lock(&jpeg.state.mutex);
  jpeg.state.flags |= STREAM_STOPPED;
  pthread_mutex_unlock(&jpeg.state.mutex);
  for (int i = 0; i < 3000 && !a->attached(); i++) run(1);   // up to 30 s
  ASSERT_TRUE(a->attached());
  put(jpeg, Bytes{0, 0, 0, 1, 0x65, 0x88}, 30000, STREAM_FLAG_KEY);
  read(ra, 1);
  ASSERT_EQ(ra.frames.size(), 1u);
  EXPECT_EQ(ra.frames[0], (Bytes{0x65, 0x88}));
  Medium::close(a);
  Medium::close(b);
}

TEST_F(StreamSource, AacLosesItsAdtsHeaderAndPcmTurnsNetworkOrder) {
  TestStream aac(AAC_STREAM, 1 << 16, 16);
  TestStream pcm(PCM_STREAM, 1 << 16, 16);
  StreamDeviceSource *a = StreamDeviceSource::createNew(*env_, 5, StreamMode_Audio_AAC, rtp_audio_aac);
  StreamDeviceSource *p = StreamDeviceSource::createNew(*env_, 4, StreamMode_Audio_PCM, rtp_audio_pcm);
  Bytes raw = {0x21, 0x10, 0x05, 0x00, 0xA0};
  unsigned len = 7 + (unsigned)raw.size();
  Bytes adts = {0xFF, 0xF1, 0x4C, (uint8_t)(0x80 | (len >> 11)), (uint8_t)(len >> 3),
                (uint8_t)(((len & 7) << 5) | 0x1F), 0xFC};
  put(aac, cat({adts, raw}), 5000, 1);
  put(pcm, Bytes{1, 2, 3, 4, 5, 6, 7, 8}, 5000, 1);
  Reader ra(a), rp(p);
  read(ra, 1);
  read(rp, 1);
  ASSERT_EQ(ra.frames.size(), 1u);
  EXPECT_EQ(ra.frames[0], raw);
  ASSERT_EQ(rp.frames.size(), 1u);
  EXPECT_EQ(rp.frames[0], (Bytes{2, 1, 4, 3, 6, 5, 8, 7}));
  Medium::close(a);
  Medium::close(p);
}

// Muxed entries handed out as they are, for the transport-stream path.
FrameDesc *pass_through(StreamState *st, int, const struct timespec *) {
  StreamEntry e;
  if (stream_queue_wait_seq(st->streamq, &st->seq, &st->resync, 1, 0, nullptr, &e) < 0) return nullptr;
  st->seq++;
  Buffer_setUserPtr(st->muxBuf->buf, (int8_t *)(st->streamq->base + e.offset));
  Buffer_setNumBytesUsed(st->muxBuf->buf, e.length);
  st->muxBuf->timestamp = e.timestamp;
  return st->muxBuf;
}

Bytes ts_run(int packets, int first) {
  Bytes b;
  for (int i = 0; i < packets; i++) {
    Bytes p(188, (uint8_t)(first + i));
    p[0] = 0x47;
    b.insert(b.end(), p.begin(), p.end());
  }
  return b;
}

TEST_F(StreamSource, TransportStreamComesIn1316ByteUnitsWithoutLoss) {
  stream_mux_ops.attach = [](StreamState *st, uint8_t) {
    st->mux = st;
    if (!st->muxBuf) {
      st->muxBuf = new FrameDesc();
      Buffer_Attrs a = Buffer_Attrs_DEFAULT;
      a.reference = true;
      st->muxBuf->buf = Buffer_create(1 << 20, &a);
    }
    return 0;
  };
  stream_mux_ops.dequeue = pass_through;
  stream_mux_ops.free = [](StreamState *st) {
    Buffer_delete(st->muxBuf->buf);
    delete st->muxBuf;
    st->muxBuf = nullptr;
    st->mux = nullptr;
  };
  TestStream s(VIDEO_STREAM1, 1 << 20, 64);
  StreamDeviceSource *src = StreamDeviceSource::createNew(*env_, 1, StreamMode_H264_TS, rtp_transport);
  ASSERT_TRUE(src->attached());
  Bytes big = ts_run(16, 0);   // 3008 bytes
  put(s, big, 1000, 1);
  Reader r(src);
  read(r, 3);
  ASSERT_EQ(r.frames.size(), 2u) << "two units, 376 bytes wait";
  EXPECT_EQ(r.frames[0], Bytes(big.begin(), big.begin() + 1316));
  EXPECT_EQ(r.frames[1], Bytes(big.begin() + 1316, big.begin() + 2632));
  // Short entries (audio units) are gathered until a unit is full.
  Bytes a1 = ts_run(2, 100), a2 = ts_run(2, 110), v = ts_run(7, 120), a3 = ts_run(1, 130);
  put(s, a1, 2000);
  read(r, 3);
  EXPECT_EQ(r.frames.size(), 2u);
  put(s, a2, 3000);
  put(s, v, 4000);
  read(r, 3);
  ASSERT_EQ(r.frames.size(), 3u);
  put(s, a3, 5000);
  read(r, 4);
  ASSERT_EQ(r.frames.size(), 4u);
  Bytes all = cat({big, a1, a2, v, a3});
  Bytes got = cat({r.frames[0], r.frames[1], r.frames[2], r.frames[3]});
  EXPECT_EQ(got, Bytes(all.begin(), all.begin() + 4 * 1316));
  // Wrong data ends the stream.
  put(s, Bytes(376, 0x11), 5000);
  put(s, Bytes(1316, 0x22), 6000);
  read(r, 6);
  EXPECT_TRUE(r.closed);
  Medium::close(src);
}

TEST(PresentationClock, WrapOf90kHzCounterKeepsTimeIncreasing) {
  PresentationClock c = {0, 0};
  struct timeval wall = {1700000000, 500000};
  struct timeval t0 = presentation_clock_time(&c, 0xFFFFF000u, wall, 0xFFFFF000u);
  EXPECT_EQ(t0.tv_sec, wall.tv_sec);
  EXPECT_EQ(t0.tv_usec, wall.tv_usec);
  struct timeval t1 = presentation_clock_time(&c, 0x00000800u, wall, 0);   // past the wrap
  double d = (t1.tv_sec - t0.tv_sec) + (t1.tv_usec - t0.tv_usec) / 1e6;
  EXPECT_NEAR(d, (0x1000 + 0x800) / 90000.0, 1e-5);
  // An older timestamp does not move time back.
  struct timeval t2 = presentation_clock_time(&c, 0xFFFFFF00u, wall, 0);
  EXPECT_EQ(t2.tv_sec, t1.tv_sec);
  EXPECT_EQ(t2.tv_usec, t1.tv_usec);
  struct timeval t3 = presentation_clock_time(&c, 0x00000800u + 90000, wall, 0);
  EXPECT_EQ(t3.tv_sec, t1.tv_sec + 1);
}

}  // namespace
