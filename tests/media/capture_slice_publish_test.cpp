// In slice mode the capture thread publishes slices while the Worker
// publishes whole frames into the same capture queue, each at a place of
// its own in the ring: every entry must describe the data its publisher
// put there, never the other's.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "media/capture_internal.h"
#include "media/stream_ids.h"

namespace {

// Publisher k writes its entries at kRegion[k] with timestamps of parity k.
const uint32_t kRegion[2] = {0, 1 << 20};
const uint32_t kLength = 4096;

struct Check {
  StreamQueue *q;
  std::atomic<int> wrong{0};
  static void after_put(void *arg, uint32_t seq) {
    Check *c = (Check *)arg;
    StreamEntry e;
    pthread_mutex_lock(&c->q->mutex);
    int rc = ringbuffer_find_seq(c->q, seq, &e);
    pthread_mutex_unlock(&c->q->mutex);
    if (rc == 0 && e.length && (e.offset < kRegion[e.timestamp & 1] ||
                                e.offset >= kRegion[e.timestamp & 1] + (1 << 20)))
      c->wrong++;
  }
};

}  // namespace

TEST(CaptureSlicePublish, SlicesAndWholeFramesKeepTheirOwnOffsets) {
  stream_register_clear();
  CaptureStream *s = new CaptureStream{};
  Buffer_Attrs a = Buffer_Attrs_DEFAULT;
  a.memAlign = STREAM_RING_ALIGN;
  Buffer_Handle ring = Buffer_create(2 << 20, &a);
  ASSERT_NE(ring, nullptr);
  ringbuffer_init(&s->queue, ring, 64, STREAM_RING_ALIGN);
  stream_register(&s->state, &s->queue, CAPTURE_STREAM1);
  Check check;
  check.q = &s->queue;
  StreamCallback cb{nullptr, Check::after_put, &check};
  stream_add_callback(CAPTURE_STREAM1, &cb);

  auto publisher = [s](uint32_t k) {
    for (uint32_t i = 0; i < 100000; i++) {
      uint32_t off = kRegion[k] + (i % 64) * kLength;
      capture_put_at(s, off, kLength, 2 * i + k, STREAM_FLAG_KEY | STREAM_FLAG_SLICE);
    }
  };
  std::thread slices(publisher, 0), frames(publisher, 1);
  slices.join();
  frames.join();
  EXPECT_EQ(check.wrong.load(), 0);

  stream_remove_callback(CAPTURE_STREAM1, &cb);
  stream_register(nullptr, nullptr, CAPTURE_STREAM1);
  ringbuffer_free(&s->queue);
  Buffer_delete(ring);
  delete s;
}
