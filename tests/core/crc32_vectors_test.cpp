#include <gtest/gtest.h>
#include <vector>

#include "core/crc32.h"

TEST(Crc32, CheckValuesOfBothFamilies) {
  EXPECT_EQ(crc32_mpeg2("abc", 3), 0x9B73448Cu);
  EXPECT_EQ(crc32_mpeg2("", 0), 0xFFFFFFFFu);
  EXPECT_EQ(crc32_mpeg2("123456789", 9), 0x0376E6E7u);
  EXPECT_EQ(crc32_progress("abc", 3, nullptr), 0x352441C2u);
  EXPECT_EQ(crc32_progress("123456789", 9, nullptr), 0xCBF43926u);
  EXPECT_EQ(crc32_progress("", 0, nullptr), 0u);
}

// An MPEG-2 section that carries its own CRC checks to zero.
TEST(Crc32, Mpeg2OverDataAndItsCrcIsZero) {
  std::vector<uint8_t> d = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00};
  uint32_t c = crc32_mpeg2(d.data(), d.size());
  for (int i = 3; i >= 0; i--) d.push_back((uint8_t)(c >> (8 * i)));
  EXPECT_EQ(crc32_mpeg2(d.data(), d.size()), 0u);
}

static std::vector<size_t> progress_calls;
static void on_progress(size_t done) { progress_calls.push_back(done); }

TEST(Crc32, ProgressIsCalledBeforeEvery4096Bytes) {
  std::vector<uint8_t> d(3 * 4096 + 1, 0x5A);
  progress_calls.clear();
  uint32_t with = crc32_progress(d.data(), d.size(), on_progress);
  EXPECT_EQ(progress_calls, (std::vector<size_t>{0, 4096, 8192, 12288}));
  EXPECT_EQ(with, crc32_progress(d.data(), d.size(), nullptr));
}
