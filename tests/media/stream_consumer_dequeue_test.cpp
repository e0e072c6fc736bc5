// Dequeues: raw and blocking reads, a slow consumer losing entries and
// recovering at a start point, timeouts, quit, fill and elapsed time.
#include <gtest/gtest.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <chrono>
#include <thread>
#include <vector>
#include <unistd.h>
#include "core/global.h"
#include "platform/sim/sim_control.h"
#include "stream_test_support.h"
#include "test_root.h"

namespace {

class StreamDequeue : public testing::Test {
 protected:
  void SetUp() override {
    stream_register_clear();
    sim_mem_set_timer(0xFFFFFFFFu - 45000);
    log_take();
  }
  void TearDown() override { stream_register_clear(); }

  // Attached raw, starting with the next entry published.
  void attach(StreamState *st, uint32_t id) {
    *st = StreamState{};
    ASSERT_EQ(stream_state_attach(id, StreamMode_H264_ES, st), 0);
  }
};

TEST_F(StreamDequeue, SlowConsumerIsToldItLostEntriesAndRecoversAtAStartPoint) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM1);
  for (uint32_t i = 0; i < 35; i++)
    s.put(64, 1000 + i, i % 5 == 0 ? (uint32_t)STREAM_FLAG_KEY : 0u);

  FrameDesc *f = stream_state_dequeue_raw(&st);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->seq, 20u);  // the oldest start point still in the ring
  EXPECT_EQ(f->timestamp, 1020u);
  EXPECT_NE(
      log_take().find("VIDEO_STREAM1: seq 0 was lost, next seq is 35 count=15 head=3 tail=4 ("),
      std::string::npos);
  for (uint32_t want = 21; want < 35; want++) {
    f = stream_state_dequeue_raw(&st);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->seq, want);
  }
  EXPECT_EQ(stream_state_dequeue_raw(&st), nullptr);
  EXPECT_EQ(st.seq, 35u);
  stream_state_detach(&st);
}

TEST_F(StreamDequeue, TwentyBehindWithFifteenHeldIsLost) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  for (uint32_t i = 0; i < 40; i++) s.put(64, i, STREAM_FLAG_KEY);
  StreamState st;
  attach(&st, VIDEO_STREAM1);
  st.seq = s.next_seq() - 20;
  FrameDesc *f = stream_state_dequeue_timeout(&st, 100);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->seq, 25u);
  EXPECT_NE(log_take().find("seq 20 was lost, next seq is 40 count=15"), std::string::npos);
  stream_state_detach(&st);
}

// With no start point left the consumer does not restart at a random entry:
// it waits for the next start point.
TEST_F(StreamDequeue, LostWithNoStartPointResumesAtTheNextKeyFrame) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM1);
  for (uint32_t i = 0; i < 30; i++) s.put(64, i, 0);
  EXPECT_EQ(stream_state_dequeue_raw(&st), nullptr);
  EXPECT_EQ(st.seq, 30u);
  s.put(64, 30, 0);
  s.put(64, 31, STREAM_FLAG_SLICE);
  EXPECT_EQ(stream_state_dequeue_raw(&st), nullptr);
  uint32_t key = s.put(64, 32, STREAM_FLAG_KEY);
  s.put(64, 33, 0);
  FrameDesc *f = stream_state_dequeue_raw(&st);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->seq, key);
  f = stream_state_dequeue_raw(&st);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->seq, key + 1);  // once resumed, every entry comes
  stream_state_detach(&st);
}

// JPEG pictures are never start points, yet each is whole: a JPEG consumer
// that lost entries goes on with the next picture.
TEST_F(StreamDequeue, LostJpegConsumerGoesOnWithTheNextPicture) {
  TestStream s(VIDEO_STREAM2, 64 * 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM2);
  const uint32_t jpeg = STREAM_FLAG_KEY | STREAM_FLAG_JPEG;
  for (uint32_t i = 0; i < 20; i++) s.put(64, i, jpeg);
  EXPECT_EQ(stream_state_dequeue_raw(&st), nullptr);
  uint32_t next = s.put(64, 20, jpeg);
  FrameDesc *f = stream_state_dequeue_timeout(&st, 100);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->seq, next);
  EXPECT_EQ(f->flags & (FRAME_KEY | FRAME_JPEG), FRAME_KEY | FRAME_JPEG);
  stream_state_detach(&st);
}

TEST_F(StreamDequeue, RawReadOfAnEmptyQueueReturnsAtOnceWithoutAdvancing) {
  TestStream s(CAPTURE_STREAM1, 64 * 1024, 16);
  StreamState st;
  attach(&st, CAPTURE_STREAM1);
  uint32_t seq = st.seq;
  EXPECT_EQ(stream_state_dequeue_raw(&st), nullptr);
  EXPECT_EQ(st.seq, seq);
  EXPECT_EQ(stream_state_dequeue2(&st), nullptr);  // no audio queue
  stream_state_detach(&st);
}

TEST_F(StreamDequeue, FramePointsIntoTheRingWithMappedFlagsAndOffsets) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM1);
  LatencyStats raw;
  stream_latency_take(LATENCY_RAW_VIDEO1, &raw);
  stream_queue_add_ts_offset(&s.queue, 500);
  uint32_t a = s.put(100, 10000, STREAM_FLAG_KEY | STREAM_FLAG_SLICE | STREAM_FLAG_SLICE_END |
                                     STREAM_FLAG_FRAME | STREAM_FLAG_JPEG);
  s.put(200, 20000, STREAM_FLAG_SLICE);
  st.internalBuf.flags = 0x0B;  // the holder's own bits survive

  FrameDesc *f = stream_state_dequeue_timeout(&st, 0);
  ASSERT_EQ(f, &st.internalBuf);
  EXPECT_EQ(st.current, f);
  EXPECT_EQ(f->seq, a);
  EXPECT_EQ(f->timestamp, 10000u);  // blocking reads hand out the timestamp as published
  EXPECT_EQ(f->flags, 0x20 | 0x40 | 0x04 | 0x10 | 0x80 | 0x0B);
  StreamEntry e;
  ASSERT_TRUE(s.find(a, &e));
  EXPECT_EQ((uint8_t *)Buffer_getUserPtr(f->buf), s.queue.base + e.offset);
  EXPECT_EQ(Buffer_getNumBytesUsed(f->buf), 100u);
  EXPECT_EQ(Buffer_getPhysicalPtr(f->buf), s.queue.phys + e.offset);

  f = stream_state_dequeue_raw(&st);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->timestamp, 19500u);  // raw reads take the pause offset off
  EXPECT_EQ(f->flags, 0x40 | 0x0B);
  EXPECT_EQ(Buffer_getNumBytesUsed(f->buf), 200u);

  stream_latency_take(LATENCY_RAW_VIDEO1, &raw);
  EXPECT_EQ(raw.count, 1u);  // only the blocking read samples latency
  stream_state_detach(&st);
}

TEST_F(StreamDequeue, BlockingDequeueWakesOnPutButNotOnAStop) {
  TestStream s(VIDEO_STREAM2, 64 * 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM2);
  std::atomic<bool> done{false};
  uint32_t got = 0;
  std::thread consumer([&] {
    FrameDesc *f = stream_state_dequeue(&st);
    got = f ? f->seq + 1 : 0;
    done = true;
  });
  usleep(20000);
  stream_set_state(&s.state, 0);  // wakes it; nothing new, so it waits again
  usleep(20000);
  EXPECT_FALSE(done);
  uint32_t seq = s.put(64, 1, 0);
  consumer.join();
  EXPECT_EQ(got, seq + 1);
  stream_state_detach(&st);
}

// Whether thread tid of this process is asleep (state S in its stat line).
static bool thread_sleeping(pid_t tid) {
  char path[64], line[512] = "";
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)tid);
  FILE *f = fopen(path, "r");
  if (!f) return false;
  bool ok = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  const char *end = ok ? strrchr(line, ')') : nullptr;
  return end && end[1] == ' ' && end[2] == 'S';
}

TEST_F(StreamDequeue, SleeperWakesAtItsEntrysPutAMarksOnTheNextPutOrAStop) {
  TestStream s(VIDEO_STREAM2, 64 * 1024, 16);
  uint32_t next = s.next_seq();
  std::atomic<int> woke{0};  // 1: published, 2: not
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += 30;
  auto t0 = std::chrono::steady_clock::now();
  std::atomic<pid_t> tid{0};
  std::thread second([&] {
    tid = (pid_t)syscall(SYS_gettid);
    woke = stream_queue_wait_published(&s.queue, next + 1, &until) ? 1 : 2;
  });
  s.put(64, 1, 0);
  // Asleep in the kernel before the mark goes in (a thread started late on
  // a loaded host would find the mark already published, as it should).
  for (int i = 0; i < 30000 && !(tid && __atomic_load_n(&s.queue.sleepers, __ATOMIC_SEQ_CST) &&
                                 thread_sleeping(tid));
       i++)
    usleep(1000);
  EXPECT_EQ(woke, 0);  // the entry before its own does not wake it
  s.put(0, 0, 0);      // its entry is a mark: published, but nobody woken
  usleep(20000);
  EXPECT_EQ(woke, 0);
  s.put(64, 3, 0);     // the next put wakes the mark's sleepers too
  second.join();
  EXPECT_EQ(woke, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  EXPECT_TRUE(stream_queue_is_published(&s.queue, next + 2));

  woke = 0;
  std::thread later([&] { woke = stream_queue_wait_published(&s.queue, next + 10, nullptr) ? 1 : 2; });
  EXPECT_TRUE(wait_until([&] {  // (a stop before it sleeps wakes nobody)
    if (woke) return true;
    stream_set_state(&s.state, 0);
    return false;
  }, 30000)) << "a stop never woke the waiter";
  later.join();
  EXPECT_EQ(woke, 2);
}

TEST_F(StreamDequeue, TimedDequeueWithoutProducerReturnsNullAfterTheTimeout) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM1);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(stream_state_dequeue_timeout(&st, 1000), nullptr);
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(1000));
  stream_state_detach(&st);
}

TEST_F(StreamDequeue, QuittingWakesEveryWaiter) {
  TestStream a(VIDEO_STREAM1, 64 * 1024, 16), b(CAPTURE_STREAM1, 64 * 1024, 16);
  const int n = 6;
  StreamState st[n];
  for (int i = 0; i < n; i++) attach(&st[i], i % 2 ? CAPTURE_STREAM1 : VIDEO_STREAM1);
  std::atomic<int> returned{0}, got_entry{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < n; i++)
    waiters.emplace_back([&, i] {
      FrameDesc *f = i == n - 1 ? stream_state_dequeue_timeout(&st[i], 600000)
                                : stream_state_dequeue(&st[i]);
      if (f) got_entry++;
      returned++;
    });
  usleep(50000);
  EXPECT_EQ(returned, 0);
  set_exit_code(EXIT_QUIT);
  stream_stop_all();
  for (auto &t : waiters) t.join();
  EXPECT_EQ(returned, n);
  EXPECT_EQ(got_entry, 0);
  // Quitting: a dequeue that would wait returns at once.
  EXPECT_EQ(stream_state_dequeue(&st[0]), nullptr);
  set_exit_code(EXIT_RUNNING);
  for (int i = 0; i < n; i++) stream_state_detach(&st[i]);
}

TEST_F(StreamDequeue, FillPercentCountsWhatTheConsumerHasNotRead) {
  TestStream s(VIDEO_STREAM1, 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM1);
  for (int i = 0; i < 4; i++) s.put(100, i, STREAM_FLAG_KEY);  // 128 bytes each in the ring
  EXPECT_EQ(stream_state_fill_percent(&st), 50);
  stream_state_dequeue_raw(&st);
  stream_state_dequeue_raw(&st);
  EXPECT_EQ(stream_state_fill_percent(&st), 25);
  // Fallen behind the ring: all that is left counts, not nothing.
  for (int i = 0; i < 20; i++) s.put(100, i, 0);
  EXPECT_EQ(stream_state_fill_percent(&st), 100);
  stream_state_detach(&st);
  EXPECT_EQ(stream_state_fill_percent(&st), 0);
}

TEST_F(StreamDequeue, ElapsedCountsFromTheFirstKeyFrameWithoutPauses) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState st;
  attach(&st, VIDEO_STREAM1);
  EXPECT_EQ(stream_state_elapsed(&st), 0u);  // not started
  uint32_t now = timestamp_now();
  st.startTS = now - 9000;  // the clock wraps in between
  stream_queue_add_ts_offset(&s.queue, 900);
  uint32_t e = stream_state_elapsed(&st);
  EXPECT_GE(e, 8100u);
  EXPECT_LT(e, 8100u + 90000u);

  menu_start_time = timestamp_now() - 4500;
  e = stream_state_elapsed(nullptr);
  EXPECT_GE(e, 3600u);
  EXPECT_LT(e, 3600u + 90000u);
  stream_state_detach(&st);
}

TEST_F(StreamDequeue, AudioReadsComeFromTheSecondQueue) {
  TestStream v(VIDEO_STREAM1, 64 * 1024, 16), aac(AAC_STREAM, 64 * 1024, 16);
  StreamState st{};
  ASSERT_EQ(stream_state_attach(AAC_STREAM, StreamMode_Audio_AAC, &st), 0);
  EXPECT_EQ(st.streamq, &aac.queue);
  EXPECT_EQ(st.streamq2, &aac.queue);
  EXPECT_EQ(stream_consumer_count(AAC_STREAM), 2);
  // Audio-only modes get no second buffer: the second read reports that.
  aac.put(300, 7, STREAM_FLAG_KEY);
  EXPECT_EQ(stream_state_dequeue2(&st), nullptr);
  EXPECT_NE(log_take().find("streamQueue_dqBuf: AAC_STREAM state->internalBuf->buf is NULL"),
            std::string::npos);
  EXPECT_EQ(st.seq2, 0u);
  FrameDesc *f = stream_state_dequeue_raw(&st);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(Buffer_getNumBytesUsed(f->buf), 300u);
  stream_state_detach(&st);
  EXPECT_EQ(stream_consumer_count(AAC_STREAM), 0);
}

}  // namespace
