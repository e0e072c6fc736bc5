// Untrusted bytes as a JPEG picture of a played file: its header gives the
// layout it is shown in, and a picture playback takes is decoded into a
// buffer of the planar size that layout names, nothing written past it.
// The layout must name even sizes that cover the picture, output lines
// that hold a row, and a picture buffer that holds both the planes and the
// output picture. The check made before a file is shown refuses what is
// no JPEG picture and names even sizes, those of the layout.
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <vector>

#include "storage/playback.h"
#include "storage/playback_internal.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

// playback_jpeg_check of the bytes as a file.
int checked_state(const uint8_t *data, size_t size, int *w, int *h) {
  int fd = memfd_create("jpeg", MFD_CLOEXEC);
  check(fd >= 0 && write(fd, data, size) == (ssize_t)size && lseek(fd, 0, SEEK_SET) == 0);
  int state = playback_jpeg_check(fd, w, h);
  close(fd);
  return state;
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static tjhandle tj = tjInitDecompress();
  check(tj != nullptr);
  int cw = 0, chk = 0;
  int state = checked_state(data, size, &cw, &chk);
  check(state == 0 || state == PLAYBACK_ERROR || state == PLAYBACK_UNSUPPORTED);
  if (size < 3 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) check(state == PLAYBACK_ERROR);
  if (state == 0) check(cw > 0 && chk > 0 && cw % 2 == 0 && chk % 2 == 0);
  int w, h, ss, cs;
  if (tjDecompressHeader3(tj, data, (unsigned long)size, &w, &h, &ss, &cs) != 0) return 0;
  JpegLayout l;
  int rc = jpeg_layout(w, h, ss, &l);
  if (rc != JPEG_LAYOUT_OK) {
    check(rc == JPEG_LAYOUT_TOO_BIG || (ss != TJSAMP_422 && ss != TJSAMP_420));
    return 0;
  }
  check(l.width == w && l.height == h && l.subsamp == ss);
  check(state != 0 || (cw == l.even_w && chk == l.even_h));
  check(l.even_w % 2 == 0 && l.even_h % 2 == 0 && l.even_w - w <= 1 && l.even_h - h <= 1 && l.even_w >= w &&
        l.even_h >= h);
  check(l.line % 32 == 0 && l.line >= (ss == TJSAMP_422 ? 2 * l.even_w : l.even_w));
  check(l.picture_size >= l.planar_size && l.picture_size >= l.out_size);
  check(l.picture_size <= playback_picture_space() / 4);
  check((size_t)l.chroma_offset + (size_t)l.line * l.even_h / 2 <= l.out_size || ss == TJSAMP_422);
  // The decoder library is not instrumented: a guard behind the planes
  // shows what it wrote past them.
  const size_t guard = 4096;
  std::vector<uint8_t> planes(l.planar_size + guard, 0xA5);
  jpeg_to_planes(tj, data, (unsigned long)size, &l, planes.data());
  for (size_t i = l.planar_size; i < planes.size(); i++) check(planes[i] == 0xA5);
  return 0;
}
