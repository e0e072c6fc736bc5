// Put callbacks: order, the thread and lock they run under, linking twice,
// and removal waiting for a callback that is running.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>
#include <unistd.h>
#include "stream_test_support.h"
#include "test_root.h"

namespace {

struct Seen {
  TestStream *stream;
  int tag;
  std::vector<std::pair<int, uint32_t>> *calls;
  pthread_t thread;
  bool lock_was_free;
  bool entry_visible;
};

void record(void *arg, uint32_t seq) {
  Seen *s = (Seen *)arg;
  s->calls->push_back({s->tag, seq});
  s->thread = pthread_self();
  // Callbacks run after the queue lock is released: taking it must work.
  s->lock_was_free = pthread_mutex_trylock(&s->stream->queue.mutex) == 0;
  if (s->lock_was_free) {
    StreamEntry e;
    s->entry_visible = ringbuffer_find_seq(&s->stream->queue, seq, &e) == 0 && e.length == 64;
    pthread_mutex_unlock(&s->stream->queue.mutex);
  }
}

class StreamCallbacks : public testing::Test {
 protected:
  void SetUp() override {
    stream_register_clear();
    log_take();
  }
  void TearDown() override { stream_register_clear(); }
};

TEST_F(StreamCallbacks, RunOutsideTheLockNewestLinkedFirstWithTheNewNumber) {
  TestStream s(VIDEO_STREAM1, 4096, 16);
  std::vector<std::pair<int, uint32_t>> calls;
  Seen a{&s, 1, &calls, {}, false, false}, b{&s, 2, &calls, {}, false, false};
  StreamCallback ca{nullptr, record, &a}, cb{nullptr, record, &b};
  StreamCallback silent{nullptr, nullptr, nullptr};  // a record without a function is skipped
  stream_add_callback(VIDEO_STREAM1, &ca);
  stream_add_callback(VIDEO_STREAM1, &silent);
  stream_add_callback(VIDEO_STREAM1, &cb);

  std::thread producer([&] {
    s.put(64, 100, 1);
    s.put(64, 200, 0);
  });
  pthread_t producer_id = producer.native_handle();
  producer.join();

  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], std::make_pair(2, 0u));
  EXPECT_EQ(calls[1], std::make_pair(1, 0u));
  EXPECT_EQ(calls[2], std::make_pair(2, 1u));
  EXPECT_EQ(calls[3], std::make_pair(1, 1u));
  EXPECT_TRUE(pthread_equal(a.thread, producer_id));
  EXPECT_TRUE(a.lock_was_free);
  EXPECT_TRUE(b.lock_was_free);
  EXPECT_TRUE(a.entry_visible);

  stream_remove_callback(VIDEO_STREAM1, &cb);
  EXPECT_EQ(cb.next, nullptr);
  s.put(64, 300, 0);
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[4], std::make_pair(1, 2u));
  stream_remove_callback(VIDEO_STREAM1, &ca);
  stream_remove_callback(VIDEO_STREAM1, &silent);
}

TEST_F(StreamCallbacks, LinkingTwiceIsRefusedAndRemovingAnUnlinkedOneIsHarmless) {
  TestStream s(VIDEO_STREAM2, 4096, 16);
  std::vector<std::pair<int, uint32_t>> calls;
  Seen a{&s, 1, &calls, {}, false, false};
  StreamCallback ca{nullptr, record, &a};
  stream_add_callback(VIDEO_STREAM2, &ca);
  stream_add_callback(VIDEO_STREAM2, &ca);
  char want[64];
  snprintf(want, sizeof want, "stream_add_callback: callback %p is already attached!!!",
           (void *)&ca);
  EXPECT_NE(log_take().find(want), std::string::npos);
  s.put(64, 1, 1);
  EXPECT_EQ(calls.size(), 1u);
  stream_remove_callback(VIDEO_STREAM2, &ca);
  StreamCallback stray{(StreamCallback *)&ca, record, &a};
  stream_remove_callback(VIDEO_STREAM2, &stray);
  EXPECT_EQ(stray.next, nullptr);
  s.put(64, 2, 1);
  EXPECT_EQ(calls.size(), 1u);
}

// The owner deletes its record right after removing it, so removal must wait
// for a call in progress.
TEST_F(StreamCallbacks, RemovalWaitsForTheRunningCallback) {
  TestStream s(VIDEO_STREAM1, 4096, 16);
  struct Gate {
    std::atomic<bool> inside{false}, release{false}, running{false};
  } gate;
  StreamCallback cb{nullptr,
                    [](void *arg, uint32_t) {
                      Gate *g = (Gate *)arg;
                      g->running = true;
                      g->inside = true;
                      while (!g->release) usleep(1000);
                      g->running = false;
                    },
                    &gate};
  stream_add_callback(VIDEO_STREAM1, &cb);
  std::thread producer([&] { s.put(64, 1, 1); });
  EXPECT_TRUE(wait_until([&] { return gate.inside == true; }, 30000)) << "the callback never ran";

  std::atomic<bool> removed{false};
  bool running_after_remove = true;
  std::thread remover([&] {
    stream_remove_callback(VIDEO_STREAM1, &cb);
    running_after_remove = gate.running;
    removed = true;
  });
  usleep(50000);
  EXPECT_FALSE(removed);  // still inside the callback
  gate.release = true;
  remover.join();
  producer.join();
  EXPECT_TRUE(removed);
  EXPECT_FALSE(running_after_remove);
}

TEST_F(StreamCallbacks, CallbacksOfAnIdWithoutQueueAreIgnored) {
  StreamCallback cb{nullptr, record, nullptr};
  stream_add_callback(OUTPUT_STREAM, &cb);
  EXPECT_NE(log_take().find("get_stream_queue: invalid streamid 3"), std::string::npos);
  stream_remove_callback(OUTPUT_STREAM, &cb);
  EXPECT_EQ(cb.next, nullptr);
}

}  // namespace
