// The ring: slot and data wrap, reservations, marks, alignment, lookups.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <unistd.h>
#include <vector>
#include "stream_test_support.h"

namespace {

class StreamQueueWrap : public testing::Test {
 protected:
  void SetUp() override {
    stream_register_clear();
    log_take();
  }
  void TearDown() override { stream_register_clear(); }
};

TEST_F(StreamQueueWrap, SixteenSlotsHoldFifteenEntries) {
  TestStream s(VIDEO_STREAM2, 64 * 1024, 16);
  for (uint32_t i = 0; i < 15; i++) s.put(100, 1000 + i, STREAM_FLAG_KEY);
  EXPECT_EQ(s.count(), 15);
  StreamEntry e;
  for (uint32_t i = 0; i < 15; i++) ASSERT_TRUE(s.find(i, &e)) << i;
  EXPECT_FALSE(s.find(15, &e));  // not yet published

  s.put(100, 2000, STREAM_FLAG_KEY);
  EXPECT_EQ(s.count(), 15);
  EXPECT_FALSE(s.find(0, &e));
  ASSERT_TRUE(s.find(15, &e));
  EXPECT_EQ(e.timestamp, 2000u);
  ASSERT_TRUE(s.find(1, &e));
  EXPECT_EQ(e.timestamp, 1001u);
}

TEST_F(StreamQueueWrap, PutRoundsTheWriteOffsetUpTo32) {
  TestStream s(VIDEO_STREAM2, 4096, 16);
  const uint32_t lengths[] = {1, 32, 33, 64, 0x3F};
  const uint32_t offsets[] = {0, 32, 64, 128, 192};
  for (size_t i = 0; i < 5; i++) {
    uint32_t seq = s.put(lengths[i], 7, 0);
    StreamEntry e;
    ASSERT_TRUE(s.find(seq, &e));
    EXPECT_EQ(e.offset, offsets[i]) << i;
    EXPECT_EQ(e.length, lengths[i]);
  }
  EXPECT_EQ(s.queue.write_offset, 256u);
}

// A mark consumes a number and a slot but wakes nobody and runs no callback.
TEST_F(StreamQueueWrap, MarkTakesANumberAndCallsNoCallback) {
  TestStream s(CAPTURE_STREAM1, 4096, 16);
  static int calls;
  calls = 0;
  StreamCallback cb{nullptr, [](void *, uint32_t) { calls++; }, nullptr};
  stream_add_callback(CAPTURE_STREAM1, &cb);
  s.put(100, 5, STREAM_FLAG_KEY);
  EXPECT_EQ(calls, 1);
  uint32_t wo = s.queue.write_offset;
  ringbuffer_put(&s.queue, 0, 0, 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(s.next_seq(), 2u);
  EXPECT_EQ(s.queue.write_offset, wo);
  StreamEntry e;
  ASSERT_TRUE(s.find(1, &e));  // found as it stands: length 0
  EXPECT_EQ(e.length, 0u);
  EXPECT_EQ(s.count(), 0);     // counting stops at the invalid newest slot
  // Length 0 with a timestamp is no mark: it wakes and calls.
  ringbuffer_put(&s.queue, 0, 9, 0);
  EXPECT_EQ(calls, 2);
  stream_remove_callback(CAPTURE_STREAM1, &cb);
}

TEST_F(StreamQueueWrap, ReservationThatDoesNotFitRestartsAtZeroAndDropsOverlap) {
  TestStream s(VIDEO_STREAM2, 1024, 16);
  uint32_t a = s.put(300, 1, 1);  // [0,300)
  uint32_t b = s.put(300, 2, 1);  // [320,620)
  uint32_t c = s.put(300, 3, 1);  // [640,940)
  EXPECT_EQ(s.queue.write_offset, 960u);

  // Exactly reaching the end still fits: no wrap, nothing dropped.
  StreamEntry e;
  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 64), 960);
  EXPECT_EQ(s.count(), 3);

  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 100), 0);
  EXPECT_FALSE(s.find(a, &e));
  EXPECT_TRUE(s.find(b, &e));
  EXPECT_TRUE(s.find(c, &e));
  ringbuffer_put(&s.queue, 100, 4, 1);  // [0,100)

  // [128,428) reaches into b only.
  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 300), 128);
  EXPECT_FALSE(s.find(b, &e));
  EXPECT_TRUE(s.find(c, &e));
  EXPECT_EQ(s.count(), 2);
}

// The entries between the old write offset and the end are the oldest: a
// wrap that stopped at them would leave the overwritten ones behind valid.
TEST_F(StreamQueueWrap, WrapDropsTheEntriesLeftBeyondTheOldWriteOffset) {
  TestStream s(VIDEO_STREAM2, 1024, 16);
  s.put(500, 1, 1);                       // [0,500)
  uint32_t x = s.put(400, 2, 1);          // [512,912)
  uint32_t y = s.put(300, 3, 1);          // wraps: [0,300), drops the first only
  StreamEntry e;
  EXPECT_TRUE(s.find(x, &e));
  uint32_t z = s.put(150, 4, 1);          // [320,470)
  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 600), 0);
  EXPECT_FALSE(s.find(x, &e));
  EXPECT_FALSE(s.find(y, &e));
  EXPECT_FALSE(s.find(z, &e));
  EXPECT_EQ(s.count(), 0);
}

TEST_F(StreamQueueWrap, ReservationOfTheWholeRingIsMadeALargerOneRefused) {
  TestStream s(VIDEO_STREAM2, 1024, 16);
  uint32_t a = s.put(300, 1, 1);
  log_take();
  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 1025), -1);
  EXPECT_NE(log_take().find("ringbuffer_preallocate: VIDEO_STREAM2: length 1025 >= buf_size 1024"),
            std::string::npos);
  StreamEntry e;
  EXPECT_TRUE(s.find(a, &e));  // a refused reservation drops nothing

  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 1024), 0);
  EXPECT_NE(log_take().find("length 1024 >= buf_size 1024"), std::string::npos);
  EXPECT_FALSE(s.find(a, &e));
  ringbuffer_put(&s.queue, 1024, 2, 1);
  EXPECT_EQ(s.count(), 1);
}

// Data past the end of the ring would be read by every consumer.
TEST_F(StreamQueueWrap, PutPastTheEndOfTheRingIsRefused) {
  TestStream s(CAPTURE_STREAM2, 1024, 16);
  s.queue.write_offset = 1000;  // capture places its frames itself
  ringbuffer_put(&s.queue, 100, 1, 9);
  EXPECT_EQ(s.next_seq(), 0u);
  EXPECT_NE(log_take().find("ringbuffer_put: CAPTURE_STREAM2: length 100 at 1000"),
            std::string::npos);
}

// A mark at the tail holds no data; stopping the overlap walk at it would
// leave the entry behind it valid while its bytes are overwritten.
TEST_F(StreamQueueWrap, MarkAtTheTailDoesNotShieldOverlappingEntries) {
  TestStream s(VIDEO_STREAM2, 1024, 16);
  s.put(600, 1, 1);                              // [0,600)
  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 500), 0);  // wraps, drops it
  ringbuffer_put(&s.queue, 0, 0, 0);            // mark at offset 0
  uint32_t c = s.put(300, 3, 1);                // [0,300)
  s.put(700, 4, 1);                             // [320,1020)
  EXPECT_EQ(ringbuffer_preallocate(&s.queue, 100), 0);
  StreamEntry e;
  EXPECT_FALSE(s.find(c, &e));
}

// Sequence numbers run on through 2^32, and so do lookups and counts.
TEST_F(StreamQueueWrap, SequenceNumbersWrapAt2To32) {
  TestStream s(VIDEO_STREAM1, 64 * 1024, 16);
  s.queue.next_seq = 0xFFFFFFF8u;
  for (int i = 0; i < 20; i++) s.put(64, (uint32_t)i, 1);
  EXPECT_EQ(s.next_seq(), 12u);
  StreamEntry e;
  for (uint32_t seq = 0xFFFFFFFDu; seq != 12u; seq++) {
    ASSERT_TRUE(s.find(seq, &e)) << seq;
    EXPECT_EQ(e.timestamp, seq - 0xFFFFFFF8u);
  }
  EXPECT_FALSE(s.find(0xFFFFFFFCu, &e));
  EXPECT_EQ(s.count(), 15);
}

// Many times round the ring with varying sizes: every valid entry lies inside
// the ring, valid entries never overlap, and each still holds its own bytes.
TEST_F(StreamQueueWrap, DataSurvivesUntilOverwrittenThroughManyWraps) {
  TestStream s(VIDEO_STREAM2, 10000, 16);
  uint32_t lengths_seed = 12345;
  for (int i = 0; i < 2000; i++) {
    lengths_seed = lengths_seed * 1103515245u + 12345u;
    uint32_t len = 1 + (lengths_seed >> 8) % 3000;
    s.put(len, (uint32_t)i, 1);
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    uint32_t next = s.next_seq();
    for (uint32_t back = 1; back <= 16; back++) {
      StreamEntry e;
      if (!s.find(next - back, &e) || e.length == 0) continue;
      ASSERT_LE(e.offset + e.length, 10000u);
      ASSERT_EQ(e.offset % 32, 0u);
      for (auto &sp : spans)
        ASSERT_TRUE(e.offset + e.length <= sp.first || e.offset >= sp.second) << i;
      spans.push_back({e.offset, e.offset + e.length});
      const uint8_t want = (uint8_t)((next - back) & 0xFF);
      for (uint32_t k = 0; k < e.length; k++)
        ASSERT_EQ(s.queue.base[e.offset + k], want) << "seq " << next - back;
    }
  }
}

// A producer that writes at fixed places claims the bytes first: the claim
// takes the entries there away at once, so no new hold starts on them, and
// returns once the holds already on those bytes are released; a hold
// elsewhere does not hold it up.
TEST_F(StreamQueueWrap, AClaimWaitsOnlyForTheHoldsOnItsBytes) {
  TestStream s(CAPTURE_STREAM1, 4096, 16);
  ringbuffer_put_at(&s.queue, 0, 1000, 1, STREAM_FLAG_KEY);
  ringbuffer_put_at(&s.queue, 2048, 1000, 2, STREAM_FLAG_KEY);
  ringbuffer_put_at(&s.queue, 1024, 500, 3, STREAM_FLAG_KEY);
  StreamHold a, b, late;
  ASSERT_EQ(ringbuffer_hold(&s.queue, &a, 0, 2048), 0);  // the whole frame, past its entry
  ASSERT_EQ(ringbuffer_hold(&s.queue, &b, 1, 0), 0);
  std::atomic<bool> claimed{false};
  EXPECT_FALSE(ringbuffer_claim_pending(&s.queue));
  std::thread producer([&] {
    ringbuffer_claim(&s.queue, 1024, 1024);
    memset(s.queue.base + 1024, 0x55, 1024);
    claimed = true;
  });
  StreamEntry e;
  for (int i = 0; i < 500 && !(s.find(2, &e) && e.length == 0); i++) usleep(10000);
  EXPECT_EQ(e.length, 0u);
  // A holder that waits for the producer's next entries sees the claim.
  EXPECT_TRUE(ringbuffer_claim_pending(&s.queue));
  EXPECT_EQ(ringbuffer_hold(&s.queue, &late, 2, 0), -1);
  for (uint32_t seq : {0u, 1u}) {  // outside the claimed bytes
    ASSERT_TRUE(s.find(seq, &e));
    EXPECT_EQ(e.length, 1000u);
  }
  usleep(50000);
  EXPECT_FALSE(claimed);
  EXPECT_EQ(s.queue.base[1500], 0);  // still the held frame's byte
  ringbuffer_release(&s.queue, &a);
  producer.join();
  EXPECT_TRUE(claimed);
  EXPECT_FALSE(ringbuffer_claim_pending(&s.queue));
  ringbuffer_release(&s.queue, &b);
}

}  // namespace
