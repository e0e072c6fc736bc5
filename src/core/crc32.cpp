#include "core/crc32.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> make_msb_table(uint32_t poly) {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i << 24;
    for (int k = 0; k < 8; k++) c = (c & 0x80000000u) ? (c << 1) ^ poly : c << 1;
    t[i] = c;
  }
  return t;
}

constexpr std::array<uint32_t, 256> make_lsb_table(uint32_t poly) {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ poly : c >> 1;
    t[i] = c;
  }
  return t;
}

constexpr auto kMpeg2 = make_msb_table(0x04C11DB7u);
constexpr auto kHdlc = make_lsb_table(0xEDB88320u);
constexpr size_t kProgressStep = 4096;

}  // namespace

uint32_t crc32_mpeg2(const void *data, size_t len) {
  const uint8_t *p = (const uint8_t *)data;
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; i++) crc = (crc << 8) ^ kMpeg2[(crc >> 24) ^ p[i]];
  return crc;
}

uint32_t crc32_progress(const void *data, size_t len, void (*progress)(size_t done)) {
  const uint8_t *p = (const uint8_t *)data;
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; i++) {
    if (progress && i % kProgressStep == 0) progress(i);
    crc = (crc >> 8) ^ kHdlc[(crc ^ p[i]) & 0xFF];
  }
  return crc ^ 0xFFFFFFFFu;
}
