// Untrusted bytes as a JPEG picture of a played file: its header gives the
// layout it is shown in, and a picture playback takes is decoded into a
// buffer of the planar size that layout names, nothing written past it.
// The layout must name even sizes that cover the picture, output lines
// that hold a row, and a picture buffer that holds both the planes and the
// output picture.
#include <cstdint>
#include <cstdlib>
#include <turbojpeg.h>
#include <vector>

#include "storage/playback_internal.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static tjhandle tj = tjInitDecompress();
  check(tj != nullptr);
  int w, h, ss, cs;
  if (tjDecompressHeader3(tj, data, (unsigned long)size, &w, &h, &ss, &cs) != 0) return 0;
  JpegLayout l;
  int rc = jpeg_layout(w, h, ss, &l);
  if (rc != JPEG_LAYOUT_OK) {
    check(rc == JPEG_LAYOUT_TOO_BIG || (ss != TJSAMP_422 && ss != TJSAMP_420));
    return 0;
  }
  check(l.width == w && l.height == h && l.subsamp == ss);
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
