// Where a consumer starts: recent key frames (under one second, across the
// 2^32 wrap of the clock), JPEG entries, attach failures and the muxed seam.
#include <gtest/gtest.h>
#include "platform/sim/sim_control.h"
#include "stream_test_support.h"

namespace {

class StreamConsumerStart : public testing::Test {
 protected:
  void SetUp() override {
    stream_register_clear();
    stream_mux_ops = StreamMuxOps{};
    // Half a second before the clock wraps.
    sim_mem_set_timer(0xFFFFFFFFu - 45000);
    log_take();
  }
  void TearDown() override {
    stream_mux_ops = StreamMuxOps{};
    stream_register_clear();
  }
};

TEST_F(StreamConsumerStart, KeyFrameIsRecentUpTo89999Ticks) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  const uint32_t now = 30;  // just after the wrap
  uint32_t key = s.put(64, now - 89999, STREAM_FLAG_KEY);
  s.put(64, now - 80000, 0);
  uint32_t ts = 0, seq = 99;
  EXPECT_TRUE(stream_recent_keyframe_at(&s.queue, now, &ts, &seq));
  EXPECT_EQ(ts, now - 89999);
  EXPECT_EQ(seq, key);

  log_take();
  EXPECT_FALSE(stream_recent_keyframe_at(&s.queue, now + 1, &ts, &seq));
  char want[80];
  snprintf(want, sizeof want, "stream_recent_keyframe: frame %u too old 1000 ms\n", key);
  EXPECT_NE(log_take().find(want), std::string::npos);
}

TEST_F(StreamConsumerStart, NewestStartPointCountsAndJpegIsNeverOne) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  const uint32_t now = 1000;
  s.put(64, now - 500, STREAM_FLAG_KEY);
  uint32_t newest_key = s.put(64, now - 400, STREAM_FLAG_KEY | STREAM_FLAG_SLICE);
  s.put(64, now - 300, STREAM_FLAG_KEY | STREAM_FLAG_JPEG);
  s.put(64, now - 200, 0);
  uint32_t ts, seq;
  ASSERT_TRUE(stream_recent_keyframe_at(&s.queue, now, &ts, &seq));
  EXPECT_EQ(seq, newest_key);
  ASSERT_TRUE(stream_oldest_keyframe(&s.queue, &seq));
  EXPECT_EQ(seq, 0u);

  TestStream j(VIDEO_STREAM2, 64 * 1024, 16);
  for (int i = 0; i < 5; i++) j.put(64, now - 10, STREAM_FLAG_KEY | STREAM_FLAG_JPEG);
  EXPECT_FALSE(stream_recent_keyframe_at(&j.queue, now, &ts, &seq));
  EXPECT_FALSE(stream_oldest_keyframe(&j.queue, &seq));
}

TEST_F(StreamConsumerStart, SearchStopsAtTheFirstInvalidEntry) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  s.put(64, 10, STREAM_FLAG_KEY);
  ringbuffer_put(&s.queue, 0, 0, 0);  // mark
  s.put(64, 20, 0);
  uint32_t ts, seq;
  EXPECT_FALSE(stream_recent_keyframe_at(&s.queue, 30, &ts, &seq));
  EXPECT_FALSE(stream_oldest_keyframe(&s.queue, &seq));
}

TEST_F(StreamConsumerStart, AttachStartsAtARecentKeyFrameOrTheNextEntry) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  uint32_t now = timestamp_now();
  uint32_t key = s.put(64, now - 30000, STREAM_FLAG_KEY);
  s.put(64, now - 20000, 0);

  StreamState st{};
  st.flags = STREAM_STATE_RECENT_KEY;
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &st), 0);
  EXPECT_EQ(st.seq, key);
  EXPECT_EQ(st.startTS, now - 30000);
  EXPECT_FALSE(st.flags & STREAM_STATE_NEED_KEY);
  EXPECT_EQ(st.mux_type, MUX_NONE);
  EXPECT_NE(st.internalBuf.buf, nullptr);
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 1);
  FrameDesc *f = stream_state_dequeue_raw(&st);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->seq, key);
  stream_state_detach(&st);
  EXPECT_EQ(st.streamq, nullptr);
  EXPECT_EQ(st.internalBuf.buf, nullptr);
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);

  // The same key frame, now well over a second old.
  TestStream old(VIDEO_STREAM2, 64 * 1024, 16);
  now = timestamp_now();
  old.put(64, now - 180000, STREAM_FLAG_KEY);
  StreamState st2{};
  st2.flags = STREAM_STATE_RECENT_KEY;
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM2, StreamMode_H264_ES, &st2), 0);
  EXPECT_TRUE(st2.flags & STREAM_STATE_NEED_KEY);
  EXPECT_EQ(st2.startTS, 0u);
  EXPECT_EQ(st2.seq, old.next_seq());
  EXPECT_NE(log_take().find("too old 20"), std::string::npos);
  stream_state_detach(&st2);
}

TEST_F(StreamConsumerStart, AttachToAnIdWithoutQueueFailsAndDequeueSaysSo) {
  StreamState st{};
  EXPECT_EQ(stream_state_attach(OUTPUT_STREAM, StreamMode_H264_ES, &st), -1);
  EXPECT_EQ(st.streamq, nullptr);
  std::string log = log_take();
  EXPECT_NE(log.find("get_stream_queue: invalid streamid 3\n"), std::string::npos);
  EXPECT_NE(log.find("stream_state_attach: failed to attach to stream mode=0x2 id=3 id2=0\n"),
            std::string::npos);
  EXPECT_EQ(stream_state_dequeue_timeout(&st, 10), nullptr);
  char want[80];
  snprintf(want, sizeof want, "state=%p state->streamq is NULL!  (forgot to stream_attach?)",
           (void *)&st);
  EXPECT_NE(log_take().find(want), std::string::npos);
}

TEST_F(StreamConsumerStart, AudioModesAttachTheAudioQueueToo) {
  TestStream v(VIDEO_STREAM1, 64 * 1024, 16), pcm(PCM_STREAM, 64 * 1024, 16);
  pcm.put(4096, 5, STREAM_FLAG_KEY);
  StreamState st{};
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_Audio_PCM, &st), 0);
  EXPECT_EQ(st.streamq2, &pcm.queue);
  EXPECT_EQ(st.seq2, 1u);
  EXPECT_EQ(stream_get_state_by_id(PCM_STREAM), 1);
  EXPECT_NE(log_take().find("stream2 attach strmid=4 seq=0 seq2=1\n"), std::string::npos);
  stream_state_detach(&st);
  EXPECT_EQ(stream_get_state_by_id(PCM_STREAM), 0);
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);
}

TEST_F(StreamConsumerStart, MissingAudioQueueUndoesTheAttach) {
  TestStream v(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState st{};
  EXPECT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_Audio_AAC, &st), -1);
  EXPECT_NE(log_take().find("stream_state_attach: failed to attach streamid=5\n"),
            std::string::npos);
  EXPECT_EQ(st.streamq, nullptr);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);
}

TEST_F(StreamConsumerStart, MuxedModesFailUntilTheMuxersArePluggedIn) {
  TestStream v(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState st{};
  EXPECT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_TS, &st), -1);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);
  EXPECT_NE(log_take().find("stream_state_attach: mux type 1 is not available"),
            std::string::npos);
}

// A muxer writing to its own output drains what was published when it
// detaches, up to (not including) the newest entry, and stops when a dequeue
// gives nothing.
TEST_F(StreamConsumerStart, DetachDrainsThroughTheMuxSeam) {
  TestStream v(VIDEO_STREAM1, 64 * 1024, 16);
  static std::vector<uint32_t> muxed;
  static int attached;
  muxed.clear();
  attached = 0;
  stream_mux_ops.attach = [](StreamState *s, uint8_t) {
    attached++;
    s->mux = s;  // any handle
    return 0;
  };
  stream_mux_ops.dequeue = [](StreamState *s, int wait, const struct timespec *dl) -> FrameDesc * {
    StreamEntry e;
    if (stream_queue_wait_seq(s->streamq, &s->seq, &s->resync, 1, wait, dl, &e) < 0) return nullptr;
    muxed.push_back(s->seq++);
    return &s->internalBuf;
  };
  StreamState st{};
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_MP4, &st), 0);
  EXPECT_EQ(attached, 1);
  EXPECT_EQ(st.mux_type, MUX_MP4);
  for (int i = 0; i < 5; i++) v.put(64, 100 + i, STREAM_FLAG_KEY);
  ASSERT_NE(stream_state_dequeue(&st), nullptr);
  stream_state_detach(&st);
  EXPECT_EQ(muxed, (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_NE(log_take().find("flush rel=3  (mux="), std::string::npos);
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);

  // Entries already overwritten with no start point left: the drain ends.
  muxed.clear();
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_MP4, &st), 0);
  for (int i = 0; i < 40; i++) v.put(64, 200 + i, 0);
  stream_state_detach(&st);
  EXPECT_TRUE(muxed.empty());
}

}  // namespace
