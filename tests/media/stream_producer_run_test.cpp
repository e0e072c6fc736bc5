// Producer run states: the first consumer starts a producer and the last
// stops it, restarts, stop-all and its exception, the event descriptor.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <sys/eventfd.h>
#include <unistd.h>
#include "core/global.h"
#include "core/startup.h"
#include "stream_mux_test_support.h"
#include "test_root.h"

namespace {

class StreamProducerRun : public testing::Test {
 protected:
  void SetUp() override {
    stream_register_clear();
    log_take();
  }
  void TearDown() override { stream_register_clear(); }
};

uint64_t events(int fd) {
  uint64_t v = 0;
  if (read(fd, &v, sizeof v) != (ssize_t)sizeof v) return 0;
  return v;
}

TEST_F(StreamProducerRun, FirstConsumerStartsLastStopsAndClearsTheOffset) {
  ProducerState st{};
  st.event_fd = eventfd(0, EFD_NONBLOCK);
  TestStream s(VIDEO_STREAM1, 4096, 16, false);
  stream_register(&st, &s.queue, VIDEO_STREAM1);
  EXPECT_EQ(events(st.event_fd), 1u);  // registering stops it
  static int hook_calls;
  static bool hook_under_lock;
  hook_calls = 0;
  hook_under_lock = true;
  s.queue.hook = [](StreamQueue *q) {
    hook_calls++;
    if (pthread_mutex_trylock(&q->mutex) == 0) {
      hook_under_lock = false;
      pthread_mutex_unlock(&q->mutex);
    }
  };

  stream_consumer_add(VIDEO_STREAM1);
  EXPECT_EQ(st.flags, STREAM_START);  // the registration's stop was never seen
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 1);
  EXPECT_EQ(events(st.event_fd), 1u);
  stream_consumer_add(VIDEO_STREAM1);
  EXPECT_EQ(events(st.event_fd), 0u);  // started once
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 2);

  EXPECT_TRUE(stream_state_wait_start(&st));  // the producer takes the start
  EXPECT_EQ(st.flags, 0u);
  EXPECT_FALSE(stream_state_stopping(&st));
  stream_queue_add_ts_offset(&s.queue, 1234);

  stream_consumer_release(&s.queue);
  EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 1);
  EXPECT_EQ(stream_queue_ts_offset(&s.queue), 1234);
  stream_consumer_release(&s.queue);
  EXPECT_EQ(st.flags, STREAM_STOP | STREAM_STOPPED);
  EXPECT_TRUE(stream_state_stopping(&st));
  EXPECT_EQ(stream_queue_ts_offset(&s.queue), 0);
  EXPECT_EQ(events(st.event_fd), 1u);
  EXPECT_EQ(hook_calls, 4);
  EXPECT_TRUE(hook_under_lock);

  // One release too many changes nothing.
  stream_consumer_release(&s.queue);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
  close(st.event_fd);
}

TEST_F(StreamProducerRun, WaitStartBlocksUntilTheFirstConsumer) {
  TestStream s(CAPTURE_STREAM1, 4096, 16);
  std::atomic<int> started{0};
  std::thread producer([&] {
    while (!stream_state_wait_start(&s.state)) {
    }
    started = 1;
  });
  usleep(20000);
  EXPECT_EQ(started, 0);
  stream_consumer_add(CAPTURE_STREAM1);
  EXPECT_TRUE(wait_until([&] { return started == 1; }, 30000)) << "the first consumer never started the producer";
  producer.join();
  EXPECT_EQ(started, 1);
  stream_consumer_release(&s.queue);
}

TEST_F(StreamProducerRun, RestartLeavesAnIdleStreamAloneAndRestartsARunningOne) {
  TestStream s(VIDEO_STREAM2, 4096, 16);
  s.state.event_fd = eventfd(0, EFD_NONBLOCK);
  stream_restart(VIDEO_STREAM2);
  EXPECT_EQ(s.state.flags, STREAM_STOP | STREAM_STOPPED);
  EXPECT_EQ(events(s.state.event_fd), 0u);

  stream_consumer_add(VIDEO_STREAM2);
  ASSERT_TRUE(stream_state_wait_start(&s.state));
  events(s.state.event_fd);
  stream_restart(VIDEO_STREAM2);
  EXPECT_EQ(s.state.flags, STREAM_START | STREAM_STOP);
  EXPECT_EQ(events(s.state.event_fd), 2u);
  EXPECT_TRUE(stream_state_stopping(&s.state));   // leaves its running loop
  EXPECT_TRUE(stream_state_wait_start(&s.state)); // and starts again at once
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM2), 1);  // consumers stay attached
  stream_consumer_release(&s.queue);

  // A run-state-only id that runs is restarted too.
  ProducerState udp{};
  stream_register(&udp, nullptr, UDP_STREAM1);
  stream_set_state_by_id(UDP_STREAM1, 1);
  ASSERT_TRUE(stream_state_wait_start(&udp));
  stream_restart(UDP_STREAM1);
  EXPECT_EQ(udp.flags, STREAM_START | STREAM_STOP);
  close(s.state.event_fd);
}

TEST_F(StreamProducerRun, RestartWakesAProducerBlockedInWaitStart) {
  TestStream s(VIDEO_STREAM1, 4096, 16);
  stream_consumer_add(VIDEO_STREAM1);
  ASSERT_TRUE(stream_state_wait_start(&s.state));
  stream_set_state(&s.state, 0);  // e.g. stopped by stop-all, consumer still there
  std::atomic<bool> got{false};
  std::thread producer([&] {
    while (!stream_state_wait_start(&s.state)) {
    }
    got = true;
  });
  usleep(20000);
  EXPECT_FALSE(got);
  stream_restart(VIDEO_STREAM1);
  EXPECT_TRUE(wait_until([&] { return got == true; }, 30000)) << "the restart never started the producer";
  producer.join();
  EXPECT_TRUE(got);
  stream_consumer_release(&s.queue);
}

TEST_F(StreamProducerRun, StopAllSparesTheSerialThreadUnlessQuitting) {
  ProducerState st[16] = {};
  const uint32_t ids[] = {UDP_STREAM1, RECORD_STREAM, SERIAL_STREAM};
  for (uint32_t id : ids) {
    stream_register(&st[id], nullptr, (StreamId)id);
    stream_set_state(&st[id], 1);
  }
  static int wakeups;
  wakeups = 0;
  core_hooks.display_wakeup = [] { wakeups++; };

  stream_stop_all();
  EXPECT_NE(log_take().find("stopping all streams\n"), std::string::npos);
  EXPECT_EQ(stream_get_state_by_id(UDP_STREAM1), 0);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
  EXPECT_EQ(stream_get_state_by_id(SERIAL_STREAM), 1);
  EXPECT_EQ(wakeups, 1);

  set_exit_code(EXIT_QUIT);
  stream_stop_all();
  set_exit_code(EXIT_RUNNING);
  EXPECT_EQ(stream_get_state_by_id(SERIAL_STREAM), 0);
  EXPECT_EQ(wakeups, 2);
  core_hooks.display_wakeup = nullptr;
}

// A consumer that comes as the last one leaves: a stop the producer has not
// looked at is taken back and the run goes on; one it has seen ends the run,
// and the newcomer starts at the next run's key frame, past the end mark.
TEST_F(StreamProducerRun, ConsumerJoiningAsTheLastLeavesKeepsOrRestartsTheRun) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  StreamState a{}, b{};
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &a), 0);
  ASSERT_TRUE(stream_state_wait_start(&s.state));
  uint32_t now = timestamp_now();
  s.put(64, now - 9000, STREAM_FLAG_KEY);
  s.put(64, now - 6000, 0);
  stream_state_detach(&a);
  b.flags = STREAM_STATE_RECENT_KEY;
  EXPECT_FALSE(stream_consumer_add(VIDEO_STREAM1));
  stream_consumer_release(&s.queue);
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &b), 0);
  EXPECT_FALSE(stream_state_stopping(&s.state));  // the producer goes on
  FrameDesc *f = stream_state_dequeue_raw(&b);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->flags & FRAME_KEY);  // from the recent key frame
  stream_state_detach(&b);

  // Now the producer looks before the newcomer comes: its run ends.
  EXPECT_TRUE(stream_state_stopping(&s.state));
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &b), 0);
  EXPECT_TRUE(stream_state_stopping(&s.state));
  ringbuffer_put(&s.queue, 0, 0, 0);  // the run's end mark
  EXPECT_TRUE(stream_state_wait_start(&s.state));  // and it starts again
  EXPECT_FALSE(stream_state_stopping(&s.state));
  s.put(64, now, 0);
  uint32_t key = s.put(64, now + 3000, STREAM_FLAG_KEY);
  f = stream_state_dequeue_raw(&b);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->seq, key);
  EXPECT_GT(Buffer_getNumBytesUsed(f->buf), 0);
  stream_state_detach(&b);
}

// A consumer's first entry is a frame wherever in a producer's stop and
// start it comes: before the producer looks at the stop, after it looked,
// after its end mark, while it waits, or after someone else started it.
// Only the end of the run a consumer had attached to hands it an empty
// entry. A muxed consumer (the TCP sender's transport stream) starts at a
// key frame in each case, and at the end of its run goes on at the next
// run's first key frame.
TEST_F(StreamProducerRun, AConsumerGetsAFrameFirstWhereverItAttaches) {
  stream_mux_init();
  for (uint8_t mode : {StreamMode_H264_ES, StreamMode_H264_TS})
  for (int at = 0; at <= 4; at++) {
    SCOPED_TRACE(testing::Message() << "mode " << int(mode) << " at " << at);
    bool muxed = mode == StreamMode_H264_TS;
    stream_register_clear();
    TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
    StreamState a{}, b{};
    auto attach = [&] { ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, mode, &b), 0); };
    auto put = [&](uint32_t ts, uint32_t flags) {
      return publish(&s.queue, synthetic_au(flags & STREAM_FLAG_KEY, 64), ts, flags);
    };
    auto read = [&] { return muxed ? stream_state_dequeue_ready(&b) : stream_state_dequeue_raw(&b); };
    // A run whose only consumer leaves.
    ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &a), 0);
    ASSERT_TRUE(stream_state_wait_start(&s.state));
    uint32_t now = timestamp_now();
    put(now, STREAM_FLAG_KEY);
    put(now + 3000, 0);
    stream_state_detach(&a);

    if (at == 0) attach();
    bool ends = stream_state_stopping(&s.state);
    EXPECT_EQ(ends, at != 0) << "a stop not yet seen is taken back";
    if (at == 1) attach();
    if (ends) ringbuffer_put(&s.queue, 0, 0, 0);  // the run's end mark
    if (at == 2) attach();
    if (at == 4) stream_set_state_by_id(VIDEO_STREAM1, 1);
    if (ends) {
      if (at == 3) attach();  // the producer idles in its wait
      EXPECT_TRUE(stream_state_wait_start(&s.state));
    }
    uint32_t delta = put(now + 6000, 0);
    uint32_t key = put(now + 9000, STREAM_FLAG_KEY);
    if (at == 4) attach();
    uint32_t later_key = put(now + 12000, STREAM_FLAG_KEY);
    FrameDesc *f = read();
    ASSERT_NE(f, nullptr);
    ASSERT_GT(Buffer_getNumBytesUsed(f->buf), 0);
    if (muxed) {
      EXPECT_EQ(f->seq, at == 4 ? later_key : key) << "a muxed stream starts at a key frame";
      EXPECT_TRUE(f->flags & FRAME_KEY);
      EXPECT_EQ(((const uint8_t *)Buffer_getUserPtr(f->buf))[0], 0x47) << "transport stream packets";
    } else {
      EXPECT_EQ(f->seq, at == 0 ? delta : at == 4 ? later_key : key);
    }

    // A restart (new settings) ends the run b attached to: b sees it end.
    // The ring holds 16: a dequeue that gives many more never ends.
    int passed = 0;
    while (passed <= 1000 && read()) passed++;
    EXPECT_LE(passed, 1000) << "the ring's units never end";
    stream_restart(VIDEO_STREAM1);
    EXPECT_TRUE(stream_state_stopping(&s.state));
    ringbuffer_put(&s.queue, 0, 0, 0);
    if (muxed) {
      // Nothing of the old run leans on: the new run's first key frame.
      put(now + 15000, 0);
      key = put(now + 18000, STREAM_FLAG_KEY);
      f = read();
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->seq, key);
    } else {
      f = read();
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(Buffer_getNumBytesUsed(f->buf), 0u);
    }
    stream_state_detach(&b);
    muxer_free(&b);
  }
}

TEST_F(StreamProducerRun, InvalidIdsAreReportedAndIgnored) {
  EXPECT_EQ(stream_get_state_by_id(16), -1);
  EXPECT_EQ(stream_get_state_by_id(OUTPUT_STREAM), -1);
  stream_set_state_by_id(16, 1);
  stream_restart(99);
  EXPECT_EQ(stream_consumer_count(OUTPUT_STREAM), 0);
  EXPECT_EQ(stream_consumer_count(200), 0);
  std::string log = log_take();
  EXPECT_NE(log.find("stream_get_state_by_id: invalid streamid 16\n"), std::string::npos);
  EXPECT_NE(log.find("stream_get_state_by_id: invalid streamid 3\n"), std::string::npos);
  EXPECT_NE(log.find("stream_set_state_by_id: invalid streamid 16\n"), std::string::npos);
  EXPECT_NE(log.find("stream_restart: invalid streamid 99\n"), std::string::npos);
}

}  // namespace
