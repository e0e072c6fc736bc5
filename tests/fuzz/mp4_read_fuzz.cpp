// Untrusted bytes as an MP4 file for playback: seek, play forward, play
// backward and the decoder configuration, whatever the sample tables, chunk
// offsets and avcC say. Every sample reported must lie inside the input,
// every call must return, and the configuration must fit the size given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "formats/mp4_read.h"

namespace {

size_t g_size;
unsigned g_calls;

void check_at(bool ok, int line) {
  if (ok) return;
  fprintf(stderr, "mp4_read_fuzz: check failed at line %d\n", line);
  abort();
}
#define check(ok) check_at((ok), __LINE__)

int on_sample(uint64_t offset, uint64_t, uint32_t size, uint32_t) {
  check(offset <= g_size && size <= g_size - offset);
  g_calls++;
  return 0;
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  if (size > (16u << 20)) return 0;
  g_size = size;
  g_calls = 0;
  Mp4Muxer *m = mp4_new_reader();
  check(m != NULL);
  mp4_buf_put(m, (void *)data, (uint32_t)size);
  mp4_set_sample_callback(m, on_sample);
  uint32_t n = mp4_get_parameter_size(m);
  check(n <= 8 + 2 * 65535);
  std::vector<uint8_t> cfg(n + 1, 0xA5);
  mp4_get_parameter_data(m, cfg.data());
  check(cfg[n] == 0xA5);
  uint8_t adts[7];
  mp4_adts_header(m, 100, adts);
  mp4_seek(m, size > 8 ? (uint64_t)data[size / 2] * 9000 : 0);
  for (int i = 0; i < 3000 && mp4_play(m) == 0; i++) {
  }
  for (int i = 0; i < 3000 && mp4_play_reverse(m) == 0; i++) {
  }
  mp4_seek(m, 0);
  for (int i = 0; i < 100 && mp4_play(m) == 0; i++) {
  }
  mp4_buf_get(m);
  mp4_delete(m);
  std::vector<uint8_t> copy(data, data + size);
  mp4_sample_to_annexb(copy.data(), (uint32_t)copy.size());
  return 0;
}
