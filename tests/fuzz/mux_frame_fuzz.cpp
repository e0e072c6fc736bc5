// Any bytes as an encoder's frame for the TS muxer and the FLV writer: they
// walk start codes, NAL headers and ADTS headers of it. Nothing may be read
// or written outside the frame and the room given, and every result must be
// a whole number of packets or tags that fits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../formats/mux_setup.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

void ts_one(const uint8_t *data, size_t size, size_t room, int audio) {
  TsMux *m = ts_setup(audio == 0 ? TS_AAC : audio == 1 ? TS_302M : TS_PCM);
  std::vector<uint8_t> out(room);
  for (int i = 0; i < 2; i++) {
    uint32_t pid = i ? m->audio.pid : m->video.pid;
    m->clock = 900 + 3600u * i;
    m->video.pts = 3600u * i;
    int n = tsmux_write(m, pid, out.data(), out.size(), data, (uint32_t)size);
    check(n == TSMUX_ENOSPC || (n > 0 && n % 188 == 0 && (size_t)n <= room));
    check(n == TSMUX_ENOSPC || (size_t)n <= tsmux_max_size((uint32_t)size));
    for (int k = 0; n > 0 && k < n; k += 188) check(out[k] == 0x47);
  }
  tsmux_delete(m);
}

void flv_one(const uint8_t *data, size_t size, size_t room) {
  FlvMux *f = flv_setup(true);
  std::vector<uint8_t> out(room);
  const uint8_t *d = data;
  uint32_t len = (uint32_t)size;
  int n = flv_write_avc_config(f, out.data(), out.size(), &d, &len);
  check(n <= (int)room && d >= data && d + len == data + size);
  f->frame_type = 1;
  n = flv_write_tag(f, FLV_TAG_VIDEO, out.data(), out.size(), d, len);
  check(n <= (int)room);
  n = flv_write_tag(f, FLV_TAG_AUDIO, out.data(), out.size(), data, (uint32_t)size);
  check(n <= (int)room);
  flv_delete(f);
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the room, so the room checks are driven too.
  size_t room = 1 + (size_t)data[0] * 37 + (data[0] & 1 ? size * 2 : 0);
  data++;
  size--;
  if (size == 0) return 0;
  std::vector<uint8_t> frame(data, data + size);  // exact size: a read past it shows
  for (int audio = 0; audio < 3; audio++) ts_one(frame.data(), frame.size(), room, audio);
  flv_one(frame.data(), frame.size(), room);
  return 0;
}
