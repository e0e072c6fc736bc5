// Untrusted bytes as an MP4 file for the box catalogue: every top-level box
// is read (with the field dump on, every other run), written again, and the
// reads must stay inside the input whatever the sizes, counts, descriptor
// lengths and nesting say. The same bytes then go to the writer as a video
// and an audio frame (start codes, NAL lengths, ADTS headers), counted and
// into a memory window.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "formats/mp4_box.h"
#include "formats/mp4_write.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

FILE *null_out(void) {
  static FILE *f = fopen("/dev/null", "w");
  return f;
}

// Writes a box read from the input into a counting handle and into a
// window of exactly its measured size: nothing may land outside.
void write_back(Mp4Box *b) {
  uint64_t size = checkBoxSize(b);
  if (size > (16u << 20)) return;
  std::vector<uint8_t> out(size);
  Mp4Muxer *w = mp4_new();
  mp4_buf_put(w, out.data(), (uint32_t)out.size());
  rwBox(w, b, NULL);
  uint32_t n = mp4_buf_get(w);
  check(n <= out.size());
  check(mp4_get_error(w) == 0 || mp4_get_error(w) == MP4_ERR_RECURSION || mp4_get_error(w) == MP4_ERR_BAD_INPUT);
  mp4_delete(w);
}

void write_frames(const uint8_t *data, size_t size, bool window) {
  Mp4Muxer *w = mp4_new();
  mp4_video_track_create(w, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3600, 0, 320, 240, 100, 40);
  mp4_audio_track_create(w, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
  std::vector<uint8_t> out(size + 64);
  for (int i = 0; i < 2; i++) {
    if (window) mp4_buf_put(w, out.data(), (uint32_t)out.size());
    mp4_write_track(w, 1, data, (uint32_t)size, 3600);
    mp4_write_track(w, 2, data, (uint32_t)size, 1920);
    if (window) check(mp4_buf_get(w) <= out.size());
  }
  mp4_finish(w);
  mp4_delete(w);
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static unsigned runs;
  if (size > (64u << 20)) return 0;
  Mp4Muxer *m = mp4_new_reader();
  check(m != NULL);
  mp4_buf_put(m, (void *)data, (uint32_t)size);
  if (++runs % 2) mp4_set_dump(m, null_out());
  for (int i = 0; i < 1000; i++) {
    uint64_t before = muxer_pos(m);
    Mp4Box *b = rwBox(m, NULL, NULL);
    check(muxer_pos(m) <= size);
    if (!b) break;
    check(muxer_pos(m) > before);
    check(b->offset - b->header_size == before);
    check(b->offset - b->header_size + b->size <= size);
    write_back(b);
    box_free(b);
  }
  mp4_buf_get(m);
  mp4_delete(m);
  write_frames(data, size, false);
  write_frames(data, size, true);
  return 0;
}
