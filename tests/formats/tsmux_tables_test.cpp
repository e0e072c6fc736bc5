// Program tables and PCR packets of the TS muxer: exact bytes, when they are
// sent, and the 33rd bit of the PCR across the 32-bit clock's wrap.
#include <gtest/gtest.h>

#include "core/crc32.h"
#include "ts_packets.h"

namespace {

const uint8_t kNonIdr[] = {0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x03};

struct Out {
  uint8_t buf[16 * 188];
  int n = 0;
  std::vector<TsPacket> pkts() const { return ts_packets(buf, n > 0 ? n : 0); }
};

int write_video(TsMux *m, Out *o, uint32_t pts) {
  m->clock = pts + 900;
  m->video.pts = pts;
  o->n = tsmux_write(m, m->video.pid, o->buf, sizeof o->buf, kNonIdr, sizeof kNonIdr);
  return o->n;
}

uint32_t section_length(const uint8_t *pkt) { return ((pkt[6] & 0x0F) << 8) | pkt[7]; }

// A section's CRC-32/MPEG-2 over itself and its CRC is 0.
bool section_crc_ok(const uint8_t *pkt) {
  return crc32_mpeg2(pkt + 5, 3 + section_length(pkt)) == 0;
}

TEST(TsTables, PatBytes) {
  TsMux *m = ts_setup(TS_AAC);
  Out o;
  write_video(m, &o, 0);
  const uint8_t want[] = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 17, 0x00, 0x00, 0xC1, 0, 0,
                          0x00, 0x01, 0xE1, 0x00, 0x00, 0x00, 0xE0, 0x1F};
  EXPECT_EQ(0, memcmp(want, o.buf, sizeof want));
  EXPECT_TRUE(section_crc_ok(o.buf));
  for (int i = 25; i < 188; i++) ASSERT_EQ(0xFF, o.buf[i]) << i;
  tsmux_delete(m);
}

TEST(TsTables, PmtSectionLengthsAndDescriptors) {
  struct { TsAudio audio; uint32_t len; } cases[] = {{TS_AAC, 49}, {TS_NO_AUDIO, 44}, {TS_302M, 61}};
  for (auto &c : cases) {
    TsMux *m = ts_setup(c.audio);
    Out o;
    write_video(m, &o, 0);
    const uint8_t *pmt = o.buf + 188;
    EXPECT_EQ(c.len, section_length(pmt)) << c.audio;
    EXPECT_TRUE(section_crc_ok(pmt)) << c.audio;
    const uint8_t head[] = {0x47, 0x41, 0x00, 0x10, 0x00, 0x02, 0xB0, (uint8_t)c.len, 0x00, 0x01,
                            0xC1, 0, 0, 0xF0, 0x01, 0xF0, 0x06, 0x05, 4, 'H', 'D', 'M', 'V',
                            0x1B, 0xF0, 0x11, 0xF0, 20, 0x05, 8, 'H', 'D', 'M', 'V', 0xFF, 0x1B,
                            0x44, 0x3F, 0x28, 4, 100, 0x00, 40, 0x3F, 0x2A, 2, 0x7E, 0xFF};
    EXPECT_EQ(0, memcmp(head, pmt, sizeof head)) << c.audio;
    const uint8_t *a = pmt + sizeof head;
    if (c.audio == TS_AAC) {
      const uint8_t aac[] = {0x0F, 0xF1, 0x00, 0xF0, 0x00};
      EXPECT_EQ(0, memcmp(aac, a, sizeof aac));
    } else if (c.audio == TS_302M) {
      const uint8_t s302m[] = {0x06, 0xE1, 0x01, 0xF0, 12, 0x05, 4, 'B', 'S', 'S', 'D',
                               0x0A, 4, 'u', 'n', 'd', 0};
      EXPECT_EQ(0, memcmp(s302m, a, sizeof s302m));
    }
    tsmux_delete(m);
  }
}

TEST(TsTables, PlainPcmIsListedInEnglishWithoutRegistration) {
  TsMux *m = ts_setup(TS_PCM);
  Out o;
  write_video(m, &o, 0);
  const uint8_t *a = o.buf + 188 + 5 + 18 + 25;
  const uint8_t pcm[] = {0x06, 0xE1, 0x01, 0xF0, 6, 0x0A, 4, 'e', 'n', 'g', 0};
  EXPECT_EQ(0, memcmp(pcm, a, sizeof pcm));
  EXPECT_EQ(55u, section_length(o.buf + 188));
  tsmux_delete(m);
}

TEST(TsTables, TablesRepeatEvery9001TicksWithCountingCounters) {
  TsMux *m = ts_setup(TS_AAC);
  Out o;
  int tables = 0;
  uint8_t pat_cc = 0, pmt_cc = 0;
  // 29.97 frames/s: 3003 ticks a frame, so every third frame is 9009 ticks on.
  for (int i = 0; i < 12; i++) {
    write_video(m, &o, 3003u * i);
    auto p = o.pkts();
    bool has = p[0].pid == 0;
    EXPECT_EQ(i % 3 == 0, has) << i;
    if (has) {
      EXPECT_EQ(0x100u, p[1].pid);
      EXPECT_EQ(pat_cc, p[0].cc);
      EXPECT_EQ(pmt_cc, p[1].cc);
      pat_cc = (pat_cc + 1) & 15;
      pmt_cc = (pmt_cc + 1) & 15;
      tables++;
    }
  }
  EXPECT_EQ(4, tables);
  tsmux_delete(m);
}

TEST(TsTables, PcrPacketBytesAndWhenItIsSent) {
  TsMux *m = ts_setup(TS_AAC);
  Out o;
  write_video(m, &o, 0x12345678);
  const uint8_t *pcr = o.buf + 2 * 188;
  uint32_t c = 0x12345678 + 900;
  const uint8_t want[] = {0x47, 0x10, 0x01, 0x20, 183, 0x10, (uint8_t)(c >> 25), (uint8_t)(c >> 17),
                          (uint8_t)(c >> 9), (uint8_t)(c >> 1), (uint8_t)((c << 7) | 0x7E), 0x00};
  EXPECT_EQ(0, memcmp(want, pcr, sizeof want));
  for (int i = 12; i < 188; i++) ASSERT_EQ(0xFF, pcr[i]) << i;

  // The same clock again (a second video frame, or audio): no PCR packet.
  ASSERT_EQ(188, write_video(m, &o, 0x12345678));
  const uint8_t aac[] = {0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x3F, 0xFC, 0x21};
  m->audio.pts = 0x12345678;
  ASSERT_EQ(188, tsmux_write(m, 0x1100, o.buf, sizeof o.buf, aac, sizeof aac));
  EXPECT_EQ(0x1100u, ts_parse(o.buf).pid);

  // A later frame gets one, with the same counter: it carries no payload.
  write_video(m, &o, 0x12345678 + 3600);
  EXPECT_EQ(0x1001u, o.pkts()[0].pid);
  EXPECT_EQ(0, o.pkts()[0].cc);
  tsmux_delete(m);
}

TEST(TsTables, PcrBaseCarriesA33rdBitAcrossTheClockWrap) {
  TsMux *m = ts_setup(TS_NO_AUDIO);
  Out o;
  const uint32_t start = 0xFFFFFFFFu - 5 * 3600;
  uint64_t last = 0;
  for (int i = 0; i < 12; i++) {
    uint32_t pts = start + 3600u * i;  // wraps after the fifth frame
    write_video(m, &o, pts);
    const TsPacket *pcr = nullptr;
    auto p = o.pkts();
    for (auto &t : p)
      if (t.pid == 0x1001) pcr = &t;
    ASSERT_NE(nullptr, pcr) << i;
    uint64_t base = pcr_base(pcr->p);
    EXPECT_EQ((uint64_t)start + 900 + 3600ull * i, base) << i;
    EXPECT_GT(base, last);
    last = base;
  }
  tsmux_delete(m);
}

TEST(TsTables, PcrStepBackIsNotTakenForAWrap) {
  TsMux *m = ts_setup(TS_NO_AUDIO);
  Out o;
  write_video(m, &o, 90000);
  write_video(m, &o, 89000);  // a clock set back by a second of jitter
  int found = 0;
  for (auto &t : o.pkts())
    if (t.pid == 0x1001) {
      found++;
      EXPECT_EQ(89000u + 900, pcr_base(t.p));
    }
  EXPECT_EQ(1, found);
  tsmux_delete(m);
}

}  // namespace
