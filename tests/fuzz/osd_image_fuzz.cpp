// Overlay images from any bytes (the web upload and the control protocol
// hand files over as they come): PNG or BMP decoded into run-length data
// and, from the first byte's choice of layout and place, into a guarded
// frame-shaped buffer. Nothing may be written outside it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "osd/osd_channel.h"
#include "osd/osd_image.h"

int fuzz_one(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const uint8_t sel = data[0];
  const int32_t x = (int8_t)data[1], y = (int8_t)data[2];
  data += 3;
  size -= 3;

  OsdRle rle;
  int rc = osdPngToRle(data, size, &rle, sel & 1 ? 1 : 2);
  if (rc == 1) rc = bmp_load_osd(data, size, &rle, sel & 1 ? 1 : 2);
  if (rc == 0 && rle.used > (size_t)rle.width * rle.height) abort();
  free(rle.data);
  // The upload's check agrees with the decoder it stands for, and always
  // says why it refuses.
  char why[160] = "";
  int checked = osd_image_check(data, size, why, sizeof why);
  if ((checked == 0) != (rc == 0 && rle.used) || (checked != 0 && !why[0])) abort();

  static const int layouts[4] = {OSD_LAYOUT_NV12, OSD_LAYOUT_UYVY, OSD_LAYOUT_RGB32, OSD_LAYOUT_RGB16};
  static const OsdRowWriter writers[4] = {osdPutRowNV12, osdPutRowUYVY, osdPutRow32, osdPutRow16};
  const int k = sel >> 1 & 3;
  const uint32_t lines = 24, pitch = k == 0 ? 40 : k == 2 ? 160 : 80;
  const size_t frame = k == 0 ? pitch * lines * 3 / 2 : pitch * lines, guard = 64;
  std::vector<uint8_t> mem(frame + 2 * guard, 0x5A);
  OsdDmaTarget t = {mem.data() + guard, frame, pitch, lines, layouts[k], x, y, 0};
  if (osdPngToRows(data, size, &t, writers[k], nullptr, nullptr) == 1)
    bmp_load_rows(data, size, &t, writers[k], sel >> 3, nullptr, nullptr);
  for (size_t i = 0; i < guard; i++) {
    if (mem[i] != 0x5A || mem[guard + frame + i] != 0x5A) {
      fprintf(stderr, "image written outside the buffer (layout %d at %d,%d)\n", layouts[k], x, y);
      abort();
    }
  }
  return 0;
}
