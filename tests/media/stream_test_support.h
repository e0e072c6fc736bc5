// A registered producer state and queue over a small contiguous ring, and a
// reader of the log ring, for the stream layer's tests.
#pragma once
#include <cstring>
#include <string>
#include "core/log.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "media/stream_state.h"

struct TestStream {
  ProducerState state{};
  StreamQueue queue{};
  Buffer_Handle buf = nullptr;

  TestStream(StreamId id, uint32_t bytes, uint32_t entries, bool with_state = true) {
    stream_register(with_state ? &state : nullptr, &queue, id);
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.memAlign = STREAM_RING_ALIGN;
    buf = Buffer_create(bytes, &a);
    // Zeroed as a fresh process's first buffer is, whatever an earlier test
    // left in the memory it reuses.
    if (buf) memset(Buffer_getUserPtr(buf), 0, Buffer_getSize(buf));
    ringbuffer_init(&queue, buf, entries, STREAM_RING_ALIGN);
  }
  ~TestStream() {
    ringbuffer_free(&queue);
    Buffer_delete(buf);
  }
  TestStream(const TestStream &) = delete;
  TestStream &operator=(const TestStream &) = delete;

  // Reserves, fills the data with a byte pattern of the entry's number and
  // publishes; returns the entry's sequence number.
  uint32_t put(uint32_t length, uint32_t ts, uint32_t flags) {
    int off = ringbuffer_preallocate(&queue, length);
    uint32_t seq = next_seq();
    if (off >= 0) memset(queue.base + off, (int)(seq & 0xFF), length);
    ringbuffer_put(&queue, length, ts, flags);
    return seq;
  }
  uint32_t next_seq() {
    pthread_mutex_lock(&queue.mutex);
    uint32_t s = queue.next_seq;
    pthread_mutex_unlock(&queue.mutex);
    return s;
  }
  bool find(uint32_t seq, StreamEntry *e) {
    pthread_mutex_lock(&queue.mutex);
    int rc = ringbuffer_find_seq(&queue, seq, e);
    pthread_mutex_unlock(&queue.mutex);
    return rc == 0;
  }
  int count() {
    pthread_mutex_lock(&queue.mutex);
    int n = ringbuffer_count(&queue);
    pthread_mutex_unlock(&queue.mutex);
    return n;
  }
};

// Everything logged since the last call.
inline std::string log_take(void) {
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = log_read(buf, sizeof buf)) > 0) s.append(buf, n);
  return s;
}
