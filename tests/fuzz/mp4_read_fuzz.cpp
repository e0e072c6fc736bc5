// Untrusted bytes as an MP4 file for playback: seek, play forward, play
// backward and the decoder configuration, whatever the sample tables, chunk
// offsets and avcC say. Every sample reported must lie inside the input,
// every call must return after a bounded number of samples, every ADTS
// header must announce a frame of at most 13 bits with any sample size, and
// the configuration must fit the size given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/mp4_read.h"

namespace {

size_t g_size;
unsigned g_calls;
Mp4Muxer *g_m;
uint32_t g_extra;

void check_at(bool ok, int line) {
  if (ok) return;
  fprintf(stderr, "mp4_read_fuzz: check failed at line %d\n", line);
  abort();
}
#define check(ok) check_at((ok), __LINE__)

// An ADTS header for size: only when the whole frame fits its 13 bits.
void adts_for(uint32_t size) {
  uint8_t h[7];
  if (mp4_adts_header(g_m, size, h) != 0) return;
  check((uint64_t)size + 7 <= 0x1FFF);
  check(((uint32_t)(h[3] & 3) << 11 | (uint32_t)h[4] << 3 | h[5] >> 5) == size + 7);
}

int on_sample(uint64_t offset, uint64_t, uint32_t size, uint32_t flags) {
  check(offset <= g_size && size <= g_size - offset);
  g_calls++;
  if (flags & 2) {
    adts_for(size);
    adts_for(size + g_extra);
  }
  return 0;
}

// One play step reports a bounded number of samples.
int stepped(int rc) {
  check(g_calls <= MP4_PLAY_MAX_SAMPLES + 1);
  g_calls = 0;
  return rc;
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  if (size > (16u << 20)) return 0;
  g_size = size;
  g_calls = 0;
  Mp4Muxer *m = mp4_new_reader();
  check(m != NULL);
  g_m = m;
  // Sizes near 2^32 too: 0xFFFFFFF9 and on wrap to 0..6 in 32 bits.
  g_extra = size > 4 ? 0xFFFFFFF0u | data[size - 1] : 0xFFFFFFF9u;
  mp4_buf_put(m, (void *)data, (uint32_t)size);
  mp4_set_sample_callback(m, on_sample);
  char why[64];
  memset(why, 0x5A, sizeof why);
  int refused = mp4_read_check(m, why, sizeof why);
  check(refused == 0 || (memchr(why, 0, sizeof why) && why[0]));
  uint32_t n = mp4_get_parameter_size(m);
  check(n <= 8 + 2 * 65535);
  std::vector<uint8_t> cfg(n + 1, 0xA5);
  mp4_get_parameter_data(m, cfg.data());
  check(cfg[n] == 0xA5);
  adts_for(100);
  adts_for(g_extra);
  mp4_seek(m, size > 8 ? (uint64_t)data[size / 2] * 9000 : 0);
  g_calls = 0;
  for (int i = 0; i < 3000 && stepped(mp4_play(m)) == 0; i++) {
  }
  for (int i = 0; i < 3000 && stepped(mp4_play_reverse(m)) == 0; i++) {
  }
  mp4_seek(m, 0);
  g_calls = 0;
  for (int i = 0; i < 100 && stepped(mp4_play(m)) == 0; i++) {
  }
  mp4_buf_get(m);
  mp4_delete(m);
  std::vector<uint8_t> copy(data, data + size);
  mp4_sample_to_annexb(copy.data(), (uint32_t)copy.size());
  return 0;
}
