// PES framing of the TS muxer: payload cut into packets, stuffing, header
// fields, access-unit delimiters, 33-bit time stamps, SMPTE 302M packing and
// the output-room check.
#include <gtest/gtest.h>

#include "ts_packets.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes nal_frame(uint8_t nal_header, size_t len, bool four_byte = true) {
  Bytes f;
  if (four_byte) f.push_back(0);
  f.insert(f.end(), {0, 0, 1, nal_header});
  for (size_t i = f.size(); i < len; i++) f.push_back((uint8_t)(i * 7 + 3) | 0x80);
  return f;
}

struct Muxer {
  TsMux *m;
  std::vector<uint8_t> buf = std::vector<uint8_t>(1 << 20);
  int n = 0;
  explicit Muxer(TsAudio a) : m(ts_setup(a)) {}
  ~Muxer() { tsmux_delete(m); }
  int video(const Bytes &f, uint32_t pts, bool key = false) {
    m->clock = pts + 900;
    m->video.pts = pts;
    m->video.key = key;
    return n = tsmux_write(m, m->video.pid, buf.data(), buf.size(), f.data(), (uint32_t)f.size());
  }
  int audio(const Bytes &f, uint32_t pts) {
    m->audio.pts = pts;
    return n = tsmux_write(m, m->audio.pid, buf.data(), buf.size(), f.data(), (uint32_t)f.size());
  }
  std::vector<TsPacket> pkts(uint32_t pid) const {
    std::vector<TsPacket> v;
    for (auto &t : ts_packets(buf.data(), n > 0 ? n : 0))
      if (t.pid == pid) v.push_back(t);
    return v;
  }
  std::vector<Bytes> pes(uint32_t pid) const { return ts_pes_units(buf.data(), n > 0 ? n : 0, pid); }
};

uint32_t pes_length(const Bytes &pes) { return (pes[4] << 8) | pes[5]; }

TEST(TsPes, PayloadAroundOnePacketGetsTheRightStuffing) {
  Muxer x(TS_AAC);
  x.video(nal_frame(0x41, 100), 0);
  // With the 14-byte audio PES header: 170 fill a packet exactly, 169 leave
  // an adaptation field of length 0, 168 one of length 1 (its flags byte).
  struct { size_t len; uint8_t af_ctl; int af_len; } cases[] = {{170, 0x10, -1}, {169, 0x30, 0}, {168, 0x30, 1}};
  for (auto &c : cases) {
    Bytes f(c.len, 0x5A);
    ASSERT_EQ(188, x.audio(f, 0)) << c.len;
    const uint8_t *p = x.buf.data();
    EXPECT_EQ(c.af_ctl, p[3] & 0x30) << c.len;
    size_t hdr_at = 4;
    if (c.af_len >= 0) {
      EXPECT_EQ(c.af_len, p[4]);
      if (c.af_len > 0) {
        EXPECT_EQ(0x00, p[5]);
      }
      hdr_at = 5 + c.af_len;
    }
    EXPECT_EQ(0, memcmp("\x00\x00\x01\xA0", p + hdr_at, 4)) << c.len;
    EXPECT_EQ(0x5A, p[187]);
    EXPECT_EQ(0x5A, p[hdr_at + 14]);
  }
  // 171: a second packet with one byte after 182 bytes of stuffing.
  Bytes f(171, 0x5A);
  ASSERT_EQ(2 * 188, x.audio(f, 0));
  auto p = x.pkts(0x1100);
  EXPECT_FALSE(p[1].pusi);
  EXPECT_EQ(182u, p[1].af_len);
  EXPECT_EQ(1u, p[1].payload_len);
}

TEST(TsPes, HeaderFieldsForAudioAndVideo) {
  Muxer x(TS_AAC);
  Bytes f = nal_frame(0x41, 1000);
  x.video(f, 0x1234);
  Bytes v = x.pes(0x1011)[0];
  const uint8_t head[] = {0, 0, 1, 0xE0};
  EXPECT_EQ(0, memcmp(head, v.data(), 4));
  EXPECT_EQ(1000u + 20 - 6, pes_length(v));
  EXPECT_EQ(0x81, v[6]);
  EXPECT_EQ(0x80, v[7]);
  EXPECT_EQ(5, v[8]);
  EXPECT_EQ(0x20, v[9] & 0xF0);
  EXPECT_EQ(0x1234u, pes_ts(v.data() + 9));

  Bytes a(300, 0x11);
  x.audio(a, 0x4321);
  Bytes ap = x.pes(0x1100)[0];
  EXPECT_EQ(0xA0, ap[3]);
  EXPECT_EQ(300u + 8, pes_length(ap));
  EXPECT_EQ(0x4321u, pes_ts(ap.data() + 9));
  EXPECT_EQ(0, memcmp(a.data(), ap.data() + 14, a.size()));
}

TEST(TsPes, AccessUnitDelimiterByFirstNalType) {
  struct { Bytes frame; int aud; } cases[] = {
      {nal_frame(0x67, 50), 0x10},         // SPS first: an IDR picture follows
      {nal_frame(0x65, 50), 0x10},         // IDR slice
      {nal_frame(0x41, 50), 0x30},         // non-IDR slice
      {nal_frame(0x06, 50), 0x30},         // SEI first
      {nal_frame(0x41, 50, false), 0x30},  // 3-byte start code
      {nal_frame(0x09, 50), -1},           // the encoder's own delimiter
  };
  for (auto &c : cases) {
    Muxer x(TS_AAC);
    x.video(c.frame, 0);
    Bytes v = x.pes(0x1011)[0];
    if (c.aud < 0) {
      EXPECT_EQ(0, memcmp(c.frame.data(), v.data() + 14, c.frame.size()));
    } else {
      const uint8_t aud[] = {0, 0, 0, 1, 0x09, (uint8_t)c.aud};
      EXPECT_EQ(0, memcmp(aud, v.data() + 14, 6)) << c.aud;
      EXPECT_EQ(0, memcmp(c.frame.data(), v.data() + 20, c.frame.size()));
    }
  }
  Muxer x(TS_AAC);
  x.video(nal_frame(0x41, 50), 0);
  Bytes a = nal_frame(0x41, 50);  // audio never gets a delimiter
  x.audio(a, 0);
  EXPECT_EQ(0, memcmp(a.data(), x.pes(0x1100)[0].data() + 14, a.size()));
}

TEST(TsPes, LengthIsZeroAbove65535AndTheUnitArrivesWhole) {
  Muxer x(TS_AAC);
  // Video header 14 + delimiter 6: PES_packet_length = len + 14.
  for (size_t len : {(size_t)65521, (size_t)65522, (size_t)300000}) {
    Bytes f = nal_frame(0x41, len);
    ASSERT_GT(x.video(f, 0), 0);
    Bytes v = x.pes(0x1011)[0];
    EXPECT_EQ(len == 65521 ? 0xFFFFu : 0u, pes_length(v)) << len;
    ASSERT_EQ(len + 20, v.size());
    EXPECT_EQ(0, memcmp(f.data(), v.data() + 20, len));
    size_t packets = (len + 20 + 183) / 184;
    EXPECT_EQ(packets, x.pkts(0x1011).size());
  }
}

TEST(TsPes, PtsStepBackKeepsTheHighBit) {
  Muxer x(TS_AAC);
  x.video(nal_frame(0x41, 40), 90000);
  x.video(nal_frame(0x41, 40), 88000);
  EXPECT_EQ(88000u, pes_ts(x.pes(0x1011)[0].data() + 9));
  x.video(nal_frame(0x41, 40), 93600);
  EXPECT_EQ(93600u, pes_ts(x.pes(0x1011)[0].data() + 9));
}

TEST(TsPes, DtsMakesTheLongHeader) {
  Muxer x(TS_AAC);
  x.m->video.dts = 3000;
  x.video(nal_frame(0x41, 40), 6000);
  Bytes v = x.pes(0x1011)[0];
  EXPECT_EQ(0xC0, v[7]);
  EXPECT_EQ(10, v[8]);
  EXPECT_EQ(0x30, v[9] & 0xF0);
  EXPECT_EQ(0x10, v[14] & 0xF0);
  EXPECT_EQ(6000u, pes_ts(v.data() + 9));
  EXPECT_EQ(3000u, pes_ts(v.data() + 14));
  EXPECT_EQ(0, memcmp("\x00\x00\x00\x01\x09\x30", v.data() + 19, 6));
}

TEST(TsPes, ContinuityCountersRunPerPidAndKeyFramesArePriority) {
  Muxer x(TS_AAC);
  int vcc = -1, acc = -1;
  for (int i = 0; i < 20; i++) {
    bool key = i % 5 == 0;
    x.video(nal_frame(key ? 0x65 : 0x41, 500 + 97 * i), 3600u * i, key);
    for (auto &t : x.pkts(0x1011)) {
      if (vcc >= 0) {
        ASSERT_EQ((vcc + 1) & 15, t.cc);
      }
      vcc = t.cc;
      EXPECT_EQ(key, t.priority);
    }
    x.audio(Bytes(400 + i, 3), 3600u * i);
    for (auto &t : x.pkts(0x1100)) {
      if (acc >= 0) {
        ASSERT_EQ((acc + 1) & 15, t.cc);
      }
      acc = t.cc;
      EXPECT_FALSE(t.priority);
    }
  }
}

TEST(TsPes, NoRoomLeavesTheMuxerAsItWas) {
  Muxer x(TS_AAC), fresh(TS_AAC);
  Bytes f = nal_frame(0x65, 5000);
  std::vector<uint8_t> small(10 * 188, 0xEE);
  x.m->clock = 900;
  x.m->video.pts = 0;
  EXPECT_EQ(TSMUX_ENOSPC, tsmux_write(x.m, 0x1011, small.data(), small.size(), f.data(), (uint32_t)f.size()));
  EXPECT_EQ(0x100000u, x.m->last_psi_time);
  EXPECT_EQ(0u, x.m->last_pcr_clock);
  EXPECT_EQ(0, x.m->pat_cc);
  EXPECT_EQ(0, x.m->video.cc);
  // The same frame written again gives what a muxer that never failed gives.
  ASSERT_GT(x.video(f, 0), 0);
  ASSERT_EQ(fresh.video(f, 0), x.n);
  EXPECT_EQ(0, memcmp(fresh.buf.data(), x.buf.data(), x.n));
  // Audio that does not fit behind the video waits, then goes through intact.
  Bytes a(4000, 9);
  x.m->audio.pts = 100;
  EXPECT_EQ(TSMUX_ENOSPC, tsmux_write(x.m, 0x1100, small.data(), 188, a.data(), (uint32_t)a.size()));
  ASSERT_GT(x.audio(a, 100), 0);
  EXPECT_EQ(0, x.pkts(0x1100)[0].cc);
}

TEST(TsPes, BadArgumentsAreRefused) {
  Muxer x(TS_NO_AUDIO);
  Bytes f(100, 1);
  EXPECT_EQ(TSMUX_EINVAL, tsmux_write(x.m, 0x1011, nullptr, 1000, f.data(), 100));
  EXPECT_EQ(TSMUX_EINVAL, tsmux_write(x.m, 0x1011, x.buf.data(), x.buf.size(), nullptr, 100));
  EXPECT_EQ(TSMUX_EINVAL, tsmux_write(nullptr, 0x1011, x.buf.data(), x.buf.size(), f.data(), 100));
  // PID 0 is the PAT's, never an absent record's.
  EXPECT_EQ(TSMUX_EINVAL, tsmux_write(x.m, 0, x.buf.data(), x.buf.size(), f.data(), 100));
  EXPECT_EQ(TSMUX_EINVAL, tsmux_write(x.m, 0x1100, x.buf.data(), x.buf.size(), f.data(), 100));
  uint8_t hdr[64];
  EXPECT_EQ(0u, tsmux_pes_header(x.m, 0x1234, nullptr, nullptr, hdr, f.data(), 100));
}

TEST(TsPes, PlainPcmCarriesTheBufferExtensionOnce) {
  Muxer x(TS_PCM);
  x.video(nal_frame(0x41, 40), 0);
  Bytes pcm(4096, 2);
  x.audio(pcm, 0);
  Bytes a = x.pes(0x101)[0];
  EXPECT_EQ(0xBD, a[3]);
  EXPECT_EQ(0x81, a[7]);
  EXPECT_EQ(14, a[8]);
  const uint8_t ext[] = {0x1E, 0x60, 0x3A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, memcmp(ext, a.data() + 14, sizeof ext));
  EXPECT_EQ(4096u + 23 - 6, pes_length(a));
  x.audio(pcm, 1920);
  a = x.pes(0x101)[0];
  EXPECT_EQ(0x80, a[7]);
  EXPECT_EQ(5, a[8]);
}

uint8_t rev8(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; i++) r |= ((b >> i) & 1) << (7 - i);
  return r;
}

TEST(TsPes, Smpte302mPacksEveryPairAndCountsAes3Frames) {
  Muxer x(TS_302M);
  x.video(nal_frame(0x41, 40), 0);
  Bytes pcm(4096);
  for (size_t i = 0; i < pcm.size(); i++) pcm[i] = (uint8_t)(i * 31 + (i >> 8));
  for (int k = 0; k < 2; k++) {
    ASSERT_GT(x.audio(pcm, 1920u * k), 0);
    auto pkts = x.pkts(0x101);
    EXPECT_TRUE(pkts[0].has_af);
    EXPECT_EQ(0x40, pkts[0].p[5]);  // random_access_indicator
    Bytes a = x.pes(0x101)[0];
    EXPECT_EQ(0xBD, a[3]);
    EXPECT_EQ(14u - 6 + 4 + 5120, pes_length(a));
    ASSERT_EQ(14u + 4 + 5120, a.size());
    EXPECT_EQ(0, memcmp("\x14\x00\x00\x00", a.data() + 14, 4));  // 5120 bytes, 2 ch, 16 bit
    const uint8_t *g = a.data() + 18;
    for (int i = 0; i < 1024; i++, g += 5) {
      uint16_t s1 = rev8(g[0]) | rev8(g[1]) << 8;
      uint16_t s2 = (rev8(g[2]) >> 4) | rev8(g[3]) << 4 | rev8(g[4]) << 12;
      ASSERT_EQ(pcm[4 * i] | pcm[4 * i + 1] << 8, s1) << i;
      ASSERT_EQ(pcm[4 * i + 2] | pcm[4 * i + 3] << 8, s2) << i;
      ASSERT_EQ((k * 1024 + i) % 192 == 0 ? 0x10 : 0, g[2] & 0x10) << k << " " << i;
      ASSERT_EQ(0, g[4] & 0x0F);
    }
  }
}

}  // namespace
