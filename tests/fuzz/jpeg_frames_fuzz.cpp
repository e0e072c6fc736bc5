// Untrusted bytes as a motion-JPEG file for the playback reader's frame
// finder: every frame end it reports lies inside the bytes and follows an
// FF D9, and every frame start found is an FF D8 FF.
#include <cstdint>
#include <cstdlib>

#include "storage/playback_internal.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  size_t from = 0;
  while (from < size) {
    size_t start = jpeg_next_start(data, size, from);
    check(start <= size);
    if (start == size) break;
    check(data[start] == 0xFF && data[start + 1] == 0xD8 && data[start + 2] == 0xFF);
    size_t end = jpeg_frame_end(data + start, size - start);
    check(end <= size - start);
    if (end == 0) break;
    check(end >= 4 && data[start + end - 2] == 0xFF && data[start + end - 1] == 0xD9);
    from = start + end;
  }
  return 0;
}
