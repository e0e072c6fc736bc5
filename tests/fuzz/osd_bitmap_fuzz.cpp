// The OSD bitmap decoder on any stream, onto planes of a size the first two
// bytes choose: nothing outside the planes changes. Streams that decode are
// encoded back from the planes and must pass the self-check.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "osd/osd_bitmap_codec.h"

int fuzz_one(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const uint32_t w = 1 + data[0], h = 1 + data[1] % 32;
  const size_t n = (size_t)w * h, guard = 32;
  std::vector<uint16_t> color(n + guard, 0x5A5A);
  std::vector<uint8_t> attr((n + 1) / 2 + guard, 0x5A);
  OsdBitmapDecoder dec;
  osd_bitmap_decoder_init(&dec, color.data(), attr.data(), n);
  if (osd_bitmap_decode(&dec, data + 2, size - 2) > size - 2) abort();
  for (size_t i = 0; i < guard; i++)
    if (color[n + i] != 0x5A5A || attr[(n + 1) / 2 + i] != 0x5A) {
      fprintf(stderr, "decoded past the planes\n");
      abort();
    }
  // The planes as an image: colour and level back to ARGB, then encoded.
  std::vector<uint32_t> argb(n);
  for (size_t i = 0; i < n; i++) {
    uint32_t c = color[i], level = i & 1 ? attr[i / 2] & 15 : attr[i / 2] >> 4;
    uint32_t r = (c >> 11) << 3, g = (c >> 5 & 63) << 2, b = (c & 31) << 3;
    argb[i] = (level & 7) == 7 ? 0xFF000000u | r << 16 | g << 8 | b : 0;
  }
  OsdBitmapEncoder enc;
  if (osd_bitmap_encoder_create(&enc, w, h) != 0) return 0;
  if (osd_bitmap_encode(&enc, argb.data()) != 0 || osd_bitmap_check(&enc, nullptr, nullptr) != 0) abort();
  osd_bitmap_encoder_delete(&enc);
  return 0;
}
