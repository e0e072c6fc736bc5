// Untrusted bytes as a transport stream for the demuxer, read the way file
// playback reads: through a small buffer whose front is dropped as far as
// the demuxer allows, refilled in reads whose size the input's first byte
// picks. Every payload must fit the output it was given, every offset must
// stay inside the buffer, and the loop must end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/tsmux.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  if (size < 1 || size > (8u << 20)) return 0;
  size_t step = 1 + data[0] * 37u;
  size_t cap = 4096 + data[0] * 64u;
  size_t out_cap = 1 + data[0] * 16u;
  data++;
  size--;
  TsMux *m = tsmux_new();
  check(m != NULL);
  std::vector<uint8_t> buf;
  std::vector<uint8_t> out(out_cap);
  size_t fed = 0;
  for (size_t turns = 0;; turns++) {
    check(turns < 4 * size + 1000);
    uint32_t pid = tsmux_read_next(m, buf.data(), buf.size());
    check(m->scan_offset <= buf.size());
    if (pid) {
      check(pid == m->video.pid || pid == m->audio.pid);
      uint32_t n = tsmux_read(m, pid, out.data(), out.size(), buf.data(), buf.size());
      check(n <= out.size());
      check(m->video.read_offset <= buf.size() && m->audio.read_offset <= buf.size());
      continue;
    }
    if (fed == size) {
      // The file's end completes what is still open, once.
      if (m->at_end) break;
      m->at_end = 1;
      continue;
    }
    uint32_t drop = tsmux_needed_from(m);
    check(drop <= buf.size());
    if (drop == 0 && buf.size() == cap) drop = m->scan_offset;
    buf.erase(buf.begin(), buf.begin() + drop);
    tsmux_slide(m, drop);
    size_t n = cap - buf.size();
    if (n > step) n = step;
    if (n > size - fed) n = size - fed;
    buf.insert(buf.end(), data + fed, data + fed + n);
    fed += n;
  }
  tsmux_delete(m);
  return 0;
}
