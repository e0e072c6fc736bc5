#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "core/param_block.h"
#include "streaming/udp_sender.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Sink {
  std::vector<Bytes> grams;
  static int send(void *ctx, const uint8_t *d, size_t n) {
    static_cast<Sink *>(ctx)->grams.emplace_back(d, d + n);
    return 0;
  }
};

uint32_t le32(const Bytes &b, size_t off) {
  return b[off] | b[off + 1] << 8 | b[off + 2] << 16 | (uint32_t)b[off + 3] << 24;
}

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 7 + 3);
  return b;
}

TEST(UdpSenderFraming, RawAndCounterModesCutAtTheDatagramSize) {
  EXPECT_EQ(udp_datagram_size(UDP_MODE_RAW, 1460), 1432u);
  EXPECT_EQ(udp_datagram_size(UDP_MODE_RAW, 1), 1400u);
  EXPECT_EQ(udp_datagram_size(UDP_MODE_HEADERS, 1), 1472u);

  Bytes data = pattern(3000);
  Sink raw;
  UdpFramer f;
  udp_framer_init(&f, UDP_MODE_RAW, 1460, Sink::send, &raw);
  udp_framer_frame(&f, data.data(), 3000, 0);
  ASSERT_EQ(raw.grams.size(), 3u);
  EXPECT_EQ(raw.grams[2].size(), 3000u - 2 * 1432);
  Bytes joined;
  for (auto &g : raw.grams) joined.insert(joined.end(), g.begin(), g.end());
  EXPECT_EQ(joined, data);

  Sink counted;
  udp_framer_init(&f, UDP_MODE_COUNTER, 1460, Sink::send, &counted);
  f.frame_count = 0xFFFE;   // the 16 bits wrap
  udp_framer_frame(&f, data.data(), 3000, 0);
  udp_framer_frame(&f, data.data(), 10, 0);
  ASSERT_EQ(counted.grams.size(), 4u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(counted.grams[i][0] | counted.grams[i][1] << 8, 0xFFFF);
  EXPECT_EQ(counted.grams[0].size(), 1432u);
  EXPECT_EQ(counted.grams[3][0] | counted.grams[3][1] << 8, 0);
  EXPECT_EQ(Bytes(counted.grams[1].begin() + 2, counted.grams[1].end()),
            Bytes(data.begin() + 1430, data.begin() + 2860));
}

// Every UDPPacketSize from 1 to 40 in the datagram modes: each datagram
// fits the size, carries data after its header, and the data comes through
// whole; a size that leaves no room after the header counts as unset.
TEST(UdpSenderFraming, SmallPacketSizesInEveryModeCarryTheFrameWhole) {
  Bytes data = pattern(3000);
  for (uint8_t mode : {UDP_MODE_RAW, UDP_MODE_COUNTER, UDP_MODE_HEADERS}) {
    for (uint32_t size = 1; size <= 40; size++) {
      SCOPED_TRACE(testing::Message() << "mode " << (int)mode << " size " << size);
      uint32_t dsize = udp_datagram_size(mode, size);
      bool small = udp_packet_size_too_small(mode, size);
      EXPECT_EQ(small, mode == UDP_MODE_COUNTER && (size == 29 || size == 30));
      if (mode == UDP_MODE_HEADERS) EXPECT_EQ(dsize, 1472u);
      else if (size <= 28 || small) EXPECT_EQ(dsize, 1400u);
      else EXPECT_EQ(dsize, size - 28);
      Sink sink;
      UdpFramer f;
      udp_framer_init(&f, mode, size, Sink::send, &sink);
      ASSERT_EQ(udp_framer_frame(&f, data.data(), (uint32_t)data.size(), 0), 0);
      ASSERT_LE(sink.grams.size(), data.size());
      Bytes joined;
      for (size_t i = 0; i < sink.grams.size(); i++) {
        const Bytes &g = sink.grams[i];
        uint32_t hdr = mode == UDP_MODE_COUNTER ? 2 : mode == UDP_MODE_HEADERS ? (i ? 16 : 60) : 0;
        ASSERT_LE(g.size(), dsize);
        ASSERT_GT(g.size(), hdr);
        joined.insert(joined.end(), g.begin() + hdr, g.end());
      }
      EXPECT_EQ(joined, data);
    }
  }
}

TEST(UdpSenderFraming, HeaderModeFrameOf3000Bytes) {
  Bytes data = pattern(3000);
  Sink s;
  UdpFramer f;
  udp_framer_init(&f, UDP_MODE_HEADERS, 1, Sink::send, &s);
  // 640x480 is code 192 with Capture.Standard 6, else 64.
  ParamBlock *p = get_param_block();
  ParamBlock saved = *p;
  p->video[1].width = 640;
  p->video[1].height = 480;
  p->capture.standard = 6;
  EXPECT_EQ(udp_format_code(p, 1), 192);
  p->capture.standard = 0;
  f.format_code = udp_format_code(p, 1);
  p->video[1].width = 100;
  EXPECT_EQ(udp_format_code(p, 1), 255);
  *p = saved;
  f.video_time = {1000, 4000000000u};
  // Three seconds and 45000 ticks (0.5 s) later, across the 32-bit wrap.
  uint32_t ts = 4000000000u + 3 * 90000 + 45000;
  udp_framer_frame(&f, data.data(), 3000, ts);
  ASSERT_EQ(s.grams.size(), 3u);
  EXPECT_EQ(s.grams[0].size(), 1472u);
  EXPECT_EQ(s.grams[1].size(), 1472u);
  EXPECT_EQ(s.grams[2].size(), 148u);
  for (int i = 0; i < 3; i++) {
    const Bytes &g = s.grams[i];
    EXPECT_EQ(g[0], 0); EXPECT_EQ(g[1], 0);
    EXPECT_EQ(g[2], i == 2 ? 1 : 0) << "end flag";
    EXPECT_EQ(g[4], i + 1) << "fragment";
    EXPECT_EQ(le32(g, 8), 1u) << "the first frame is 1";
    EXPECT_EQ(le32(g, 12), 3044u);
  }
  const Bytes &g = s.grams[0];
  const uint8_t start[8] = {0, 0, 1, 0xB2, 1, 0, 0, 1};
  EXPECT_EQ(memcmp(&g[16], start, 8), 0);
  EXPECT_EQ(le32(g, 24), 3032u);
  EXPECT_EQ(le32(g, 28), 1003u);
  EXPECT_EQ(g[32], 12); EXPECT_EQ(g[33], 1); EXPECT_EQ(g[34], 0); EXPECT_EQ(g[35], 3);
  EXPECT_EQ(le32(g, 36), 1u);
  EXPECT_EQ(g[40], 64); EXPECT_EQ(g[41], 9); EXPECT_EQ(g[43], 30);
  EXPECT_EQ(le32(g, 44), 1003u);
  EXPECT_EQ(le32(g, 48), 500000u);
  Bytes joined(g.begin() + 60, g.end());
  joined.insert(joined.end(), s.grams[1].begin() + 16, s.grams[1].end());
  joined.insert(joined.end(), s.grams[2].begin() + 16, s.grams[2].end());
  EXPECT_EQ(joined, data);

  // An older frame moves the pair back by whole seconds.
  UdpTimePair t = {50, 1000};
  EXPECT_EQ(udp_time_align(&t, 1000 - 90000 - 900), 89100u);
  EXPECT_EQ(t.seconds, 48u);
}

TEST(UdpSenderFraming, AudioAveragesAcrossPcmEntries) {
  Sink s;
  UdpFramer f;
  udp_framer_init(&f, UDP_MODE_HEADERS, 1, Sink::send, &s);
  f.audio_time = {2000, 0};
  // 4096-byte entries of a ramp of values: a sample averages 12 of them, and
  // the 2048 values of an entry do not divide by 12, so samples straddle
  // entries. Negative values average towards zero.
  uint32_t ts = 90000;
  int value = -3000;
  for (int e = 0; e < 3; e++) {
    Bytes pcm(4096);
    for (int i = 0; i < 4096; i += 2, value++) {
      pcm[i] = (uint8_t)value;
      pcm[i + 1] = (uint8_t)((uint16_t)value >> 8);
    }
    ASSERT_EQ(udp_framer_pcm(&f, pcm.data(), 4096, ts + (uint32_t)e * 1920), 0);
    if (e < 2) EXPECT_EQ(s.grams.size(), 0u);
  }
  ASSERT_EQ(s.grams.size(), 1u) << "3 x 2048 values make 512 samples";
  const Bytes &g = s.grams[0];
  ASSERT_EQ(g.size(), 1068u);
  EXPECT_EQ(g[1], 1); EXPECT_EQ(g[2], 1); EXPECT_EQ(g[4], 1);
  EXPECT_EQ(le32(g, 8), 0u);
  EXPECT_EQ(le32(g, 12), 1052u);
  EXPECT_EQ(le32(g, 24), 1040u);
  for (int k = 0; k < 512; k++) {
    int16_t got = (int16_t)(g[44 + 2 * k] | g[45 + 2 * k] << 8);
    int sum = 0;
    for (int j = 0; j < 12; j++) sum += -3000 + 12 * k + j;
    ASSERT_EQ(got, sum / 12) << "sample " << k;
  }
  // The last value completes the packet at stereo frame 1023 of the third
  // entry: 2 x 1920 + 1023 x 90000 / 48000 - 5760 ticks after ts.
  uint32_t at = ts + 2 * 1920 + 1918 - 5760;
  EXPECT_EQ(le32(g, 28), 2000u + at / 90000);
  EXPECT_EQ(le32(g, 32), (at % 90000) / 900 * 10000);
  EXPECT_EQ(f.audio_count, 1u);
}

}  // namespace
