// Producers publishing at full speed while consumers attach, detach, read,
// add and remove callbacks and streams are restarted. Checked throughout: a
// producer runs exactly when its stream has consumers; a removed callback is
// never called and is not running once its removal returns; every consumer
// reads numbers and timestamps that only move forward. Run it under
// ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>
#include <unistd.h>
#include "platform/sim/sim_control.h"
#include "stream_test_support.h"
#include "test_root.h"

namespace {

struct CallbackRecord {
  StreamCallback cb{};
  std::atomic<bool> removed{false};
  std::atomic<bool> inside{false};
  std::atomic<uint32_t> calls{0};
};

std::atomic<int> late_calls;

void on_put(void *arg, uint32_t) {
  CallbackRecord *r = (CallbackRecord *)arg;
  r->inside = true;
  if (r->removed) late_calls++;
  r->calls++;
  r->inside = false;
}

struct StressResult {
  int run_violations = 0;
  int late_calls = 0;
  int running_after_remove = 0;
  int backwards = 0;
  uint64_t frames = 0, callbacks = 0, runs = 0;
};

StressResult run_stress(uint32_t seq_start, int seconds_x10) {
  stream_register_clear();
  late_calls = 0;
  const uint32_t ids[2] = {VIDEO_STREAM1, CAPTURE_STREAM1};
  TestStream video(VIDEO_STREAM1, 256 * 1024, 64), capture(CAPTURE_STREAM1, 64 * 1024, 16);
  TestStream *streams[2] = {&video, &capture};
  for (TestStream *s : streams) s->queue.next_seq = seq_start;

  std::atomic<bool> done{false};
  std::atomic<uint64_t> frames{0}, runs{0};
  std::atomic<int> violations{0}, running_after_remove{0}, backwards{0};
  std::atomic<int> producers_left{2};

  std::vector<std::thread> threads;
  for (TestStream *s : streams)
    threads.emplace_back([s, &done, &runs, &producers_left] {
      uint32_t n = 0;
      while (!done) {
        if (!stream_state_wait_start(&s->state)) continue;
        runs++;
        while (!done && !stream_state_stopping(&s->state)) {
          uint32_t len = 64 + (n * 2654435761u >> 20) % 3000;
          if (ringbuffer_preallocate(&s->queue, len) < 0) continue;
          uint32_t flags = n % 8 == 0 ? (uint32_t)STREAM_FLAG_KEY : 0u;
          ringbuffer_put(&s->queue, len, timestamp_now(), flags);
          if (++n % 16 == 0) usleep(50);
        }
        ringbuffer_put(&s->queue, 0, 0, 0);  // end-of-run mark
      }
      producers_left--;
    });

  // The run flags and the consumer count only ever change together.
  std::thread checker([&] {
    while (!done) {
      for (TestStream *s : streams) {
        pthread_mutex_lock(&s->state.mutex);
        pthread_mutex_lock(&s->queue.mutex);
        bool running = !(s->state.flags & STREAM_STOPPED);
        if (running != (s->queue.consumers > 0)) violations++;
        pthread_mutex_unlock(&s->queue.mutex);
        pthread_mutex_unlock(&s->state.mutex);
      }
      sched_yield();
    }
  });

  std::thread restarter([&] {
    for (int i = 0; !done; i++) {
      stream_restart(ids[i % 2]);
      usleep(3000);
    }
  });

  std::mutex pool_lock;
  std::vector<std::unique_ptr<CallbackRecord>> pool;  // kept to the end: late calls stay observable
  const int kConsumers = 6;
  for (int c = 0; c < kConsumers; c++)
    threads.emplace_back([&, c] {
      std::mt19937 rng(1000 + c);
      StreamState st{};
      while (!done) {
        uint32_t id = ids[rng() % 2];
        st.flags = (rng() % 2) ? STREAM_STATE_RECENT_KEY : 0;
        if (stream_state_attach(id, StreamMode_H264_ES, &st) != 0) {
          violations++;
          continue;
        }
        CallbackRecord *rec = nullptr;
        if (rng() % 2) {
          std::lock_guard<std::mutex> g(pool_lock);
          pool.emplace_back(new CallbackRecord);
          rec = pool.back().get();
          rec->cb.fn = on_put;
          rec->cb.arg = rec;
          stream_add_callback(id, &rec->cb);
        }
        bool have_prev = false;
        uint32_t prev_seq = 0, prev_ts = 0;
        int reads = (int)(rng() % 40);
        for (int k = 0; k < reads && !done; k++) {
          FrameDesc *f = (k % 3 == 0) ? stream_state_dequeue_raw(&st)
                                      : stream_state_dequeue_timeout(&st, 5);
          if (!f || Buffer_getNumBytesUsed(f->buf) == 0) continue;
          frames++;
          // Raw reads take the pause offset off: put it back.
          uint32_t ts = f->timestamp;
          if (k % 3 == 0) ts += (uint32_t)stream_queue_ts_offset(st.streamq);
          if (have_prev && ((int32_t)(f->seq - prev_seq) <= 0 || (int32_t)(ts - prev_ts) < 0))
            backwards++;
          have_prev = true;
          prev_seq = f->seq;
          prev_ts = ts;
        }
        if (rec) {
          stream_remove_callback(id, &rec->cb);
          rec->removed = true;
          if (rec->inside) running_after_remove++;
        }
        stream_state_detach(&st);
      }
    });

  usleep(seconds_x10 * 100000);
  done = true;
  restarter.join();
  // Consumers leave first; then no producer may be left running.
  for (size_t i = 2; i < threads.size(); i++) threads[i].join();
  checker.join();
  for (TestStream *s : streams) {
    EXPECT_EQ(stream_queue_consumers(&s->queue), 0);
    // Read under the state's lock: the producers still run until woken below.
    pthread_mutex_lock(&s->state.mutex);
    bool stopped = (s->state.flags & STREAM_STOPPED) != 0;
    pthread_mutex_unlock(&s->state.mutex);
    EXPECT_TRUE(stopped);
  }
  // A producer may go back to waiting just after a wake-up: wake until gone.
  EXPECT_TRUE(wait_until([&] {
    if (producers_left == 0) return true;
    for (TestStream *s : streams) stream_set_state(&s->state, 0);
    return false;
  }, 30000)) << "producers still running: " << producers_left;
  threads[0].join();
  threads[1].join();

  StressResult r;
  r.run_violations = violations;
  r.late_calls = late_calls;
  r.running_after_remove = running_after_remove;
  r.backwards = backwards;
  r.frames = frames;
  r.runs = runs;
  for (auto &rec : pool) r.callbacks += rec->calls;
  stream_register_clear();
  return r;
}

void expect_clean(const StressResult &r) {
  EXPECT_EQ(r.run_violations, 0);
  EXPECT_EQ(r.late_calls, 0);
  EXPECT_EQ(r.running_after_remove, 0);
  EXPECT_EQ(r.backwards, 0);
  // The run did something worth checking.
  EXPECT_GT(r.frames, 100u);
  EXPECT_GT(r.callbacks, 100u);
  EXPECT_GT(r.runs, 10u);
}

TEST(StreamStress, ProducersRunExactlyWhileTheyHaveConsumers) {
  sim_mem_set_timer(0x12345678u);
  expect_clean(run_stress(0, 15));
}

// The clock and the sequence numbers both pass 2^32 during the run.
TEST(StreamStress, AcrossTheClockAndSequenceWrap) {
  sim_mem_set_timer(0xFFFFFFFFu - 45000);
  expect_clean(run_stress(0xFFFFFF00u, 15));
}

}  // namespace
