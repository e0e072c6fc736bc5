// Capture never waits for a slow Worker: of the frames that piled up behind
// it, only those found with fewer than three pending are published.
#include <gtest/gtest.h>

#include <atomic>

#include "capture_test_support.h"

namespace {

struct Gate {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t c = PTHREAD_COND_INITIALIZER;
  bool open = false;
  static void hold(void *arg) {
    Gate *g = (Gate *)arg;
    pthread_mutex_lock(&g->m);
    while (!g->open) pthread_cond_wait(&g->c, &g->m);
    pthread_mutex_unlock(&g->m);
  }
  void release() {
    pthread_mutex_lock(&m);
    open = true;
    pthread_cond_broadcast(&c);
    pthread_mutex_unlock(&m);
  }
};

struct Probe {
  StreamQueue *q;
  uint32_t seq = 0;
  std::atomic<bool> done{false};
  static void read(void *arg) {
    Probe *p = (Probe *)arg;
    pthread_mutex_lock(&p->q->mutex);
    p->seq = p->q->next_seq;
    pthread_mutex_unlock(&p->q->mutex);
    p->done = true;
  }
};

uint32_t next_seq(StreamQueue *q) {
  pthread_mutex_lock(&q->mutex);
  uint32_t s = q->next_seq;
  pthread_mutex_unlock(&q->mutex);
  return s;
}

}  // namespace

TEST(CaptureWorkerDrop, FramesFoundWithThreePendingAreDropped) {
  CaptureRun run;
  LogWatch log;
  run.start(SIM_DECODER_ADV7842);  // row B: 640 x 480 UYVY, 7 frames in its ring
  CaptureConsumer b(CAPTURE_STREAM2);
  ASSERT_NE(b.frame(), nullptr);
  StreamQueue *q = get_stream_queue(CAPTURE_STREAM2);
  Gate gate;
  ASSERT_EQ(Worker_add_task(run.worker, Gate::hold, &gate), 0);
  // Every buffer ends up with the thread, waiting on the Worker.
  ASSERT_TRUE(wait_until([] {
    SimCaptureOutputInfo o = sim_info().out[1];
    return o.buffers == 7 && o.queued == 0 && o.done == 0 && o.dropped > 0;
  }));
  usleep(100000);
  sim_capture_stall(1);
  uint32_t before = next_seq(q);
  Probe probe;
  probe.q = q;
  ASSERT_EQ(Worker_add_task(run.worker, Probe::read, &probe), 0);
  gate.release();
  ASSERT_TRUE(wait_until([&] { return probe.done.load(); }));
  // Seven pending: the first five ran with 7..3 pending and were dropped.
  EXPECT_EQ(probe.seq - before, 2u);
  // The dropped buffers went back to the driver all the same.
  EXPECT_TRUE(wait_until([] { return sim_info().out[1].queued == 7; }));
  sim_capture_stall(0);
  EXPECT_NE(b.frame(), nullptr);
}
