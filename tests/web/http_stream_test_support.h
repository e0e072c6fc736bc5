// Rings filled the way the encoders fill them, for the tests of the media
// rows: pictures and units published with the current time stamp.
#pragma once
#include <cstring>
#include <string>

#include "../media/stream_test_support.h"
#include "core/hwreg.h"

// Publishes data as one entry; returns its sequence number.
inline uint32_t put_unit(TestStream &s, const std::string &data, uint32_t flags) {
  int off = ringbuffer_preallocate(&s.queue, (uint32_t)data.size());
  uint32_t seq = s.next_seq();
  if (off >= 0) memcpy(s.queue.base + off, data.data(), data.size());
  ringbuffer_put(&s.queue, (uint32_t)data.size(), timestamp_now(), flags);
  return seq;
}

// A JPEG-looking picture of n bytes: SOI, a fill byte, EOI.
inline std::string picture(size_t n, char fill) {
  std::string p(n, fill);
  p[0] = '\xFF';
  p[1] = '\xD8';
  p[n - 2] = '\xFF';
  p[n - 1] = '\xD9';
  return p;
}
