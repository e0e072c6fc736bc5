// The MP4, FLV and TS writers' output for one fixed input, pinned by size and
// CRC: a faster writer must still put out the same bytes. The input is made
// here, not by an encoder, so the digests hold whatever encoder is
// installed: H.264 access units with 3- and 4-byte start codes, delimiters,
// parameter sets on key frames, two-slice pictures and zero runs inside NAL
// payloads, and ADTS frames with and without CRC. Also the start-code search
// they share.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "core/crc32.h"
#include "formats/annexb.h"
#include "formats/flv.h"
#include "formats/mp4_write.h"
#include "formats/tsmux.h"
#include "mux_setup.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const uint32_t kVTicks = 3600, kATicks = 1920;

struct Rng {
  uint32_t s = 0x2545F491;
  uint32_t next(void) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

// A NAL payload: header byte then n random bytes with emulation prevention
// (never 00 00 0x with x <= 3), sometimes holding 00 00 03 runs.
void put_nal(Bytes &au, Rng &r, uint8_t header, size_t n, bool long_code) {
  if (long_code) au.push_back(0);
  au.insert(au.end(), {0, 0, 1, header});
  int zeros = 0;
  for (size_t i = 0; i < n; i++) {
    uint8_t b = (uint8_t)r.next();
    if (r.next() % 16 == 0) b = 0;
    if (zeros == 2 && b <= 3) b = 3;
    zeros = b == 0 ? zeros + 1 : 0;
    au.push_back(b);
  }
  if (au.back() == 0) au.back() = 0x80;  // rbsp trailing bits
}

std::vector<Bytes> make_video(int frames) {
  static const uint8_t sps[] = {0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02, 0x27, 0xE5, 0x84};
  static const uint8_t pps[] = {0xEB, 0xE3, 0xCB, 0x22, 0xC0};
  Rng r;
  std::vector<Bytes> out;
  for (int i = 0; i < frames; i++) {
    Bytes au;
    bool key = i % 25 == 0;
    if (i % 7 == 3) au.insert(au.end(), {0, 0, 0, 1, 0x09, 0xF0});
    if (key) {
      au.insert(au.end(), {0, 0, 0, 1, 0x67});
      au.insert(au.end(), sps, sps + sizeof sps);
      au.insert(au.end(), {0, 0, 0, 1, 0x68});
      au.insert(au.end(), pps, pps + sizeof pps);
    }
    size_t size = key ? 30000 + r.next() % 20000 : 800 + r.next() % 9000;
    int slices = i % 5 == 1 ? 2 : 1;
    for (int k = 0; k < slices; k++) put_nal(au, r, key ? 0x65 : 0x41, size / slices, k == 0 || i % 2);
    out.push_back(au);
  }
  return out;
}

std::vector<Bytes> make_audio(int frames) {
  Rng r;
  r.s = 0x9E3779B9;
  std::vector<Bytes> out;
  for (int i = 0; i < frames; i++) {
    bool crc = i % 11 == 5;
    uint32_t hdr = crc ? 9 : 7, len = hdr + 200 + r.next() % 300;
    Bytes f = {0xFF, (uint8_t)(crc ? 0xF0 : 0xF1), 0x4C, 0x80, (uint8_t)(len >> 3), (uint8_t)((len & 7) << 5 | 0x1F),
               0xFC};
    while (f.size() < len) f.push_back((uint8_t)r.next());
    out.push_back(f);
  }
  return out;
}

struct Digest {
  size_t size;
  uint32_t crc;
};

Digest digest(const Bytes &b) { return {b.size(), crc32_progress(b.data(), b.size(), nullptr)}; }

class WritersDigest : public ::testing::Test {
 protected:
  std::vector<Bytes> video = make_video(120), audio = make_audio(225);
};

TEST_F(WritersDigest, Mp4FileWithInterleavedAudioIsUnchanged) {
  FILE *f = tmpfile();
  ASSERT_TRUE(f);
  Mp4Muxer *m = mp4_new();
  mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, kVTicks, 0, 1920, 1080, 100, 40);
  mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, kATicks, 0, 48000, 2);
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, f);
  mp4_write_header(m, "user data", 9);
  size_t j = 0;
  for (size_t i = 0; i < video.size(); i++) {
    mp4_write_track(m, 1, video[i].data(), (uint32_t)video[i].size(), kVTicks);
    for (; j < audio.size() && kATicks * j <= kVTicks * i; j++)
      mp4_write_track(m, 2, audio[j].data(), (uint32_t)audio[j].size(), kATicks);
  }
  EXPECT_EQ(0, mp4_finish(m));
  EXPECT_EQ(0, mp4_get_error(m));
  mp4_delete(m);
  Bytes out;
  rewind(f);
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  Digest d = digest(out);
  EXPECT_EQ(917015u, d.size);
  EXPECT_EQ(1151121105u, d.crc);
}

TEST_F(WritersDigest, FlvAndTsStreamsAreUnchanged) {
  Bytes flv(4 << 20), ts(8 << 20);
  FlvMux *f = flv_setup(true);
  size_t fn = (size_t)flv_write_header(f, flv.data(), flv.size());
  fn += (size_t)flv_write_aac_config(f, flv.data() + fn, flv.size() - fn);
  TsMux *t = ts_setup(TS_AAC);
  size_t tn = 0, j = 0;
  for (size_t i = 0; i < video.size(); i++) {
    const uint8_t *d = video[i].data();
    uint32_t len = (uint32_t)video[i].size();
    f->video_ts = kVTicks * (uint32_t)i / 90;
    int c = flv_write_avc_config(f, flv.data() + fn, flv.size() - fn, &d, &len);
    ASSERT_GE(c, 0);
    fn += (size_t)c;
    f->frame_type = i % 25 == 0 ? 1 : 2;
    f->composition_time = (int32_t)(i % 3) * 40;
    int w = flv_write_tag(f, FLV_TAG_VIDEO, flv.data() + fn, flv.size() - fn, d, len);
    ASSERT_GT(w, 0);
    fn += (size_t)w;
    uint32_t pts = kVTicks * (uint32_t)i;
    t->clock = pts + 900;
    t->video.pts = pts;
    w = tsmux_write(t, 0x1011, ts.data() + tn, ts.size() - tn, video[i].data(), (uint32_t)video[i].size());
    ASSERT_GT(w, 0);
    tn += (size_t)w;
    for (; j < audio.size() && kATicks * j <= pts; j++) {
      f->audio_ts = kATicks * (uint32_t)j / 90;
      w = flv_write_tag(f, FLV_TAG_AUDIO, flv.data() + fn, flv.size() - fn, audio[j].data(),
                        (uint32_t)audio[j].size());
      ASSERT_GT(w, 0);
      fn += (size_t)w;
      t->audio.pts = kATicks * (uint32_t)j;
      w = tsmux_write(t, 0x1100, ts.data() + tn, ts.size() - tn, audio[j].data(), (uint32_t)audio[j].size());
      ASSERT_GT(w, 0);
      tn += (size_t)w;
    }
  }
  flv_delete(f);
  tsmux_delete(t);
  flv.resize(fn);
  ts.resize(tn);
  Digest df = digest(flv), dt = digest(ts);
  EXPECT_EQ(920905u, df.size);
  EXPECT_EQ(3456573424u, df.crc);
  EXPECT_EQ(1012756u, dt.size);
  EXPECT_EQ(1538969059u, dt.crc);
}

// The start-code search the writers share passes eight bytes at a time:
// on bytes dense with zeros and ones it finds what a byte-by-byte search
// finds, from every starting point, up to the last byte.
TEST(StartCode, WordSearchAgreesWithByteSearch) {
  Rng r;
  Bytes d(300);
  for (int round = 0; round < 50; round++) {
    for (uint8_t &b : d) b = (uint8_t)(r.next() % 4 ? r.next() % 3 : r.next());
    size_t len = d.size() - round;
    if (round % 2) d[len - 3] = d[len - 2] = 0, d[len - 1] = 1;   // one ending at the last byte
    for (size_t from = 0; from <= len; from++) {
      size_t want = len;
      for (size_t k = from; k + 2 < len; k++)
        if (d[k] == 0 && d[k + 1] == 0 && d[k + 2] == 1) {
          want = k;
          break;
        }
      ASSERT_EQ(annexb_find_start_code(d.data(), len, from), want) << round << " " << from;
    }
  }
}

}  // namespace
