// FLV writer bytes: file header and onMetaData, tag layout and time stamps,
// the AVC and AAC sequence headers, NAL units out of Annex B, room checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "formats/flv.h"
#include "mux_setup.h"

namespace {

typedef std::vector<uint8_t> Bytes;

uint32_t be24(const uint8_t *p) { return (p[0] << 16) | (p[1] << 8) | p[2]; }
uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | be24(p + 1); }

// onMetaData properties in order: name and number (booleans as 0/1).
struct Prop { std::string name; double value; };

std::vector<Prop> read_metadata(const uint8_t *body, uint32_t size, uint32_t *count) {
  std::vector<Prop> props;
  EXPECT_EQ(0x02, body[0]);
  EXPECT_EQ(0, memcmp("\x00\x0AonMetaData", body + 1, 12));
  EXPECT_EQ(0x08, body[13]);
  *count = be32(body + 14);
  uint32_t i = 18;
  while (i + 3 <= size) {
    uint32_t n = (body[i] << 8) | body[i + 1];
    if (n == 0 && body[i + 2] == 0x09) break;
    std::string name((const char *)body + i + 2, n);
    i += 2 + n;
    double v = 0;
    if (body[i] == 0x00) {
      uint64_t bits = (uint64_t)be32(body + i + 1) << 32 | be32(body + i + 5);
      memcpy(&v, &bits, 8);
      i += 9;
    } else if (body[i] == 0x01) {
      v = body[i + 1];
      i += 2;
    } else {
      ADD_FAILURE() << "AMF type " << (int)body[i];
      break;
    }
    props.push_back({name, v});
  }
  EXPECT_EQ(size, i + 3);  // the object end closes the body
  return props;
}

TEST(FlvWriter, HeaderAndMetadataWithAndWithoutAudio) {
  for (bool audio : {false, true}) {
    FlvMux *f = flv_setup(audio);
    uint8_t out[512];
    int n = flv_write_header(f, out, sizeof out);
    ASSERT_GT(n, 13);
    EXPECT_EQ(0, memcmp("FLV\x01", out, 4));
    EXPECT_EQ(audio ? 0x05 : 0x01, out[4]);
    EXPECT_EQ(9u, be32(out + 5));
    EXPECT_EQ(0u, be32(out + 9));
    const uint8_t *tag = out + 13;
    EXPECT_EQ(18, tag[0]);
    uint32_t size = be24(tag + 1);
    EXPECT_EQ(0u, be24(tag + 4) | tag[7] | be24(tag + 8));
    ASSERT_EQ((int)(13 + 11 + size + 4), n);
    EXPECT_EQ(11 + size, be32(tag + 11 + size));
    uint32_t count = 0;
    auto props = read_metadata(tag + 11, size, &count);
    EXPECT_EQ(11u, count);
    std::vector<Prop> want = {{"width", 640}, {"height", 480}, {"videodatarate", 2500000}, {"framerate", 29.97},
                              {"videocodecid", 7}, {"audiodatarate", audio ? 200.0 : 0},
                              {"audiosamplerate", audio ? 48000.0 : 0}, {"audiosamplesize", audio ? 16.0 : 0},
                              {"stereo", audio ? 1.0 : 0}, {"audiocodecid", audio ? 10.0 : 0}, {"duration", 0}};
    ASSERT_EQ(want.size(), props.size());
    for (size_t i = 0; i < want.size(); i++) {
      EXPECT_EQ(want[i].name, props[i].name);
      EXPECT_EQ(want[i].value, props[i].value) << want[i].name;
    }
    EXPECT_EQ(audio ? 0xAF : 0x00, f->audio_tag_header);
    flv_delete(f);
  }
}

TEST(FlvWriter, AudioTagHeaderByteForOtherCodecs) {
  FlvMux *f = flv_setup(false);
  uint8_t out[512];
  f->audio_codec_id = 2;
  f->audiosamplerate = 44000.0;
  f->audio_sample_size = 16;
  f->stereo = 1;
  flv_write_header(f, out, sizeof out);
  EXPECT_EQ(0x2F, f->audio_tag_header);
  f->audiosamplerate = 11000.0;
  f->audio_sample_size = 8;
  f->stereo = 0;
  flv_write_header(f, out, sizeof out);
  EXPECT_EQ(0x24, f->audio_tag_header);
  flv_delete(f);
}

TEST(FlvWriter, AacSequenceHeaderAndRawFrames) {
  FlvMux *f = flv_setup(true);
  uint8_t out[512];
  flv_write_header(f, out, sizeof out);
  ASSERT_EQ(11 + 4 + 4, flv_write_aac_config(f, out, sizeof out));
  const uint8_t cfg[] = {8, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0xAF, 0x00, 0x11, 0x90, 0, 0, 0, 15};
  EXPECT_EQ(0, memcmp(cfg, out, sizeof cfg));
  EXPECT_EQ(1, f->aac_packet_type);

  // An ADTS frame goes out raw: header (7 bytes, no CRC) off.
  Bytes adts = {0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x7F, 0xFC, 0xDE, 0xAD, 0xBE, 0xEF};
  f->audio_ts = 21;
  int n = flv_write_tag(f, FLV_TAG_AUDIO, out, sizeof out, adts.data(), (uint32_t)adts.size());
  ASSERT_EQ(11 + 2 + 4 + 4, n);
  const uint8_t tag[] = {8, 0, 0, 6, 0, 0, 21, 0, 0, 0, 0, 0xAF, 0x01, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 17};
  EXPECT_EQ(0, memcmp(tag, out, sizeof tag));
  flv_delete(f);
}

Bytes nal(bool four, std::initializer_list<uint8_t> body) {
  Bytes b;
  if (four) b.push_back(0);
  b.insert(b.end(), {0, 0, 1});
  b.insert(b.end(), body);
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (auto &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kSps = nal(true, {0x67, 0x4D, 0x40, 0x1F, 0xAA, 0xBB});
const Bytes kPps = nal(true, {0x68, 0xCE, 0x3C, 0x80});
const Bytes kSei = nal(false, {0x06, 0x05, 0x01, 0x80});
const Bytes kIdr = nal(false, {0x65, 0x88, 0x84, 0x00, 0x21});

TEST(FlvWriter, AvcConfigTakesProfileAndLevelFromTheSpsAndStepsOverTheSets) {
  FlvMux *f = flv_setup(false);
  Bytes frame = cat({kSps, kPps, kSei, kIdr});
  const uint8_t *data = frame.data();
  uint32_t len = (uint32_t)frame.size();
  uint8_t out[512];
  f->video_ts = 40;
  f->frame_type = 2;  // whatever the last frame left: a sequence header is a key frame
  int n = flv_write_avc_config(f, out, sizeof out, &data, &len);
  const uint8_t want[] = {9, 0, 0, 5 + 6 + 2 + 6 + 1 + 2 + 4, 0, 0, 40, 0, 0, 0, 0,
                          0x17, 0x00, 0, 0, 0,
                          0x01, 0x4D, 0x40, 0x1F, 0xFF, 0xE1, 0, 6, 0x67, 0x4D, 0x40, 0x1F, 0xAA, 0xBB,
                          0x01, 0, 4, 0x68, 0xCE, 0x3C, 0x80};
  ASSERT_EQ((int)sizeof want + 4, n);
  EXPECT_EQ(0, memcmp(want, out, sizeof want));
  EXPECT_EQ(sizeof want, be32(out + sizeof want));
  EXPECT_EQ(frame.data() + kSps.size() + kPps.size(), data);
  EXPECT_EQ(kSei.size() + kIdr.size(), len);

  // The rest of the key frame: every start code, 3 or 4 bytes, a length.
  f->frame_type = 1;
  n = flv_write_tag(f, FLV_TAG_VIDEO, out, sizeof out, data, len);
  const uint8_t tag[] = {9, 0, 0, 5 + 8 + 9, 0, 0, 40, 0, 0, 0, 0, 0x17, 0x01, 0, 0, 0,
                         0, 0, 0, 4, 0x06, 0x05, 0x01, 0x80, 0, 0, 0, 5, 0x65, 0x88, 0x84, 0x00, 0x21};
  ASSERT_EQ((int)sizeof tag + 4, n);
  EXPECT_EQ(0, memcmp(tag, out, sizeof tag));
  flv_delete(f);
}

TEST(FlvWriter, AvcConfigEdgeCases) {
  FlvMux *f = flv_setup(false);
  uint8_t out[512];
  // SPS without PPS: a record with no PPS rather than one cut short.
  Bytes frame = cat({kSps, kIdr});
  const uint8_t *data = frame.data();
  uint32_t len = (uint32_t)frame.size();
  int n = flv_write_avc_config(f, out, sizeof out, &data, &len);
  ASSERT_EQ(11 + 5 + 6 + 2 + 6 + 1 + 4, n);
  EXPECT_EQ(0, out[n - 5]);
  EXPECT_EQ(kIdr.size(), len);
  // PPS whose nal_ref_idc is not 3 is still a PPS (type, not byte, decides).
  Bytes pps2 = nal(true, {0x28, 0xEE});
  frame = cat({kSps, pps2, kIdr});
  data = frame.data();
  len = (uint32_t)frame.size();
  n = flv_write_avc_config(f, out, sizeof out, &data, &len);
  EXPECT_EQ(0, memcmp("\x01\x00\x02\x28\xEE", out + n - 4 - 5, 5));
  EXPECT_EQ(kIdr.size(), len);
  // No SPS: nothing written, nothing moved.
  frame = cat({kIdr});
  data = frame.data();
  len = (uint32_t)frame.size();
  EXPECT_EQ(0, flv_write_avc_config(f, out, sizeof out, &data, &len));
  EXPECT_EQ(frame.data(), data);
  flv_delete(f);
}

TEST(FlvWriter, InterFramesAndExtendedTimeStamps) {
  FlvMux *f = flv_setup(false);
  uint8_t out[512];
  Bytes p = nal(true, {0x41, 0x9A, 0x01});
  f->frame_type = 2;
  f->video_ts = 0x12345678;
  int n = flv_write_tag(f, FLV_TAG_VIDEO, out, sizeof out, p.data(), (uint32_t)p.size());
  ASSERT_EQ(11 + 5 + 4 + 3 + 4, n);
  EXPECT_EQ(0, memcmp("\x09\x00\x00\x0C\x34\x56\x78\x12\x00\x00\x00\x27\x01", out, 13));
  EXPECT_EQ(0, memcmp("\x00\x00\x00\x03\x41\x9A\x01\x00\x00\x00\x17", out + 16, 11));
  flv_delete(f);
}

TEST(FlvWriter, EveryWriteChecksItsRoom) {
  FlvMux *f = flv_setup(true);
  Bytes big(4096);
  uint8_t out[8192];
  int h = flv_write_header(f, out, sizeof out);
  EXPECT_EQ(FLV_ENOSPC, flv_write_header(f, out, h - 1));
  int a = flv_write_aac_config(f, out, sizeof out);
  EXPECT_EQ(FLV_ENOSPC, flv_write_aac_config(f, out, a - 1));
  EXPECT_EQ(1, f->aac_packet_type);

  Bytes frame = cat({kSps, kPps, kIdr});
  const uint8_t *data = frame.data();
  uint32_t len = (uint32_t)frame.size();
  int c = flv_write_avc_config(f, out, sizeof out, &data, &len);
  data = frame.data();
  len = (uint32_t)frame.size();
  memset(out, 0xEE, sizeof out);
  EXPECT_EQ(FLV_ENOSPC, flv_write_avc_config(f, out, c - 1, &data, &len));
  EXPECT_EQ(frame.data(), data);
  EXPECT_EQ(c, flv_write_avc_config(f, out, c, &data, &len));
  EXPECT_EQ(0xEE, out[c]);

  f->frame_type = 1;
  int t = flv_write_tag(f, FLV_TAG_VIDEO, out, sizeof out, data, len);
  EXPECT_EQ(FLV_ENOSPC, flv_write_tag(f, FLV_TAG_VIDEO, out, t - 1, data, len));
  EXPECT_EQ(FLV_ENOSPC, flv_write_tag(f, FLV_TAG_AUDIO, out, 100, big.data(), (uint32_t)big.size()));
  EXPECT_EQ(FLV_EINVAL, flv_write_tag(f, FLV_TAG_VIDEO, nullptr, 100, data, len));
  flv_delete(f);
}

}  // namespace
