// The ADTS walk of the playback thread: frames chain by their lengths, a CRC
// header is 9 bytes, and a header that is short, unsynchronised, of a
// reserved rate or of a length below the header or past the buffer ends the
// walk without moving.
#include <gtest/gtest.h>
#include <vector>

#include "media/sound.h"

namespace {

std::vector<uint8_t> frame(size_t length, int index, int channels, bool crc = false) {
  std::vector<uint8_t> f(length, 0x21);
  f[0] = 0xFF;
  f[1] = crc ? 0xF0 : 0xF1;
  f[2] = (uint8_t)(0x40 | (index << 2) | ((channels >> 2) & 1));
  f[3] = (uint8_t)(((channels & 3) << 6) | ((length >> 11) & 3));
  f[4] = (uint8_t)(length >> 3);
  f[5] = (uint8_t)(((length & 7) << 5) | 0x1F);
  f[6] = 0xFC;
  return f;
}

}  // namespace

TEST(AdtsWalk, FramesChainByTheirLengths) {
  std::vector<uint8_t> buf = frame(100, 3, 2);
  std::vector<uint8_t> b = frame(9, 4, 1, true), c = frame(300, 11, 7);
  buf.insert(buf.end(), b.begin(), b.end());
  buf.insert(buf.end(), c.begin(), c.end());
  size_t pos = 0;
  AdtsFrame f;
  ASSERT_EQ(adts_next_frame(buf.data(), buf.size(), &pos, &f), 1);
  EXPECT_EQ(f.offset, 0u);
  EXPECT_EQ(f.length, 100u);
  EXPECT_EQ(f.header, 7u);
  EXPECT_EQ(f.rate, 48000);
  EXPECT_EQ(f.channels, 2);
  ASSERT_EQ(adts_next_frame(buf.data(), buf.size(), &pos, &f), 1);
  EXPECT_EQ(f.offset, 100u);
  EXPECT_EQ(f.header, 9u);
  EXPECT_EQ(f.rate, 44100);
  EXPECT_EQ(f.channels, 1);
  ASSERT_EQ(adts_next_frame(buf.data(), buf.size(), &pos, &f), 1);
  EXPECT_EQ(f.rate, 8000);
  EXPECT_EQ(f.channels, 7);
  EXPECT_EQ(pos, buf.size());
  EXPECT_EQ(adts_next_frame(buf.data(), buf.size(), &pos, &f), 0);
}

TEST(AdtsWalk, BadHeadersStopTheWalkInPlace) {
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> past = frame(100, 3, 2);
  past.resize(60);
  std::vector<uint8_t> nosync = frame(100, 3, 2);
  nosync[1] = 0xE1;
  std::vector<uint8_t> shorter = frame(8, 3, 2, true);   // CRC header needs 9
  std::vector<uint8_t> tiny = frame(7, 3, 2);
  tiny.resize(6);
  std::vector<Case> cases = {{"length past the buffer", past},
                             {"no sync", nosync},
                             {"reserved index 13", frame(50, 13, 2)},
                             {"reserved index 15", frame(50, 15, 2)},
                             {"length below the header", shorter},
                             {"zero length", frame(7, 3, 2)},
                             {"header cut", tiny}};
  cases[5].bytes[3] &= 0xFC;
  cases[5].bytes[4] = 0;
  cases[5].bytes[5] &= 0x1F;
  for (const Case &c : cases) {
    std::vector<uint8_t> buf = frame(20, 3, 2);
    buf.insert(buf.end(), c.bytes.begin(), c.bytes.end());
    size_t pos = 0;
    AdtsFrame f;
    ASSERT_EQ(adts_next_frame(buf.data(), buf.size(), &pos, &f), 1) << c.what;
    EXPECT_EQ(adts_next_frame(buf.data(), buf.size(), &pos, &f), -1) << c.what;
    EXPECT_EQ(pos, 20u) << c.what;
  }
  size_t pos = 0;
  AdtsFrame f;
  EXPECT_EQ(adts_next_frame(nullptr, 10, &pos, &f), 0);
}
