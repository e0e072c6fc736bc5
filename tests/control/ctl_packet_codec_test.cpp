// Control packets: field widths, the 254-byte limit, sticky errors, the
// checksum, and COBS framing against the published examples.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "control/ctl_packet.h"

namespace {

std::vector<uint8_t> frame_of(CtlPacket *p) {
  size_t n = cobs_encode(p);
  return std::vector<uint8_t>(p->frame, p->frame + n);
}

// Receives bytes into a packet's buffer as a transport would.
CtlStatus receive(CtlPacket *p, const std::vector<uint8_t> &bytes) {
  memcpy(p->frame, bytes.data(), bytes.size());
  return ctl_decode_frame(p, bytes.size());
}

// COBS of raw packet bytes through the packet's in-place encoder.
std::vector<uint8_t> cobs_of(const std::vector<uint8_t> &data) {
  CtlPacket p;
  memcpy(p.frame + 1, data.data(), data.size());
  p.write = p.frame + 1 + data.size();
  return frame_of(&p);
}

}  // namespace

TEST(CtlPacketCodec, FieldsRoundTripThroughAFrame) {
  CtlPacket out, in;
  ctl_init_request(&out, 20);
  ctl_put_u8(&out, 0xA5);
  ctl_put_u16(&out, 0x0100);
  ctl_put_u32(&out, 0xDEADBEEF);
  ctl_put_u64(&out, 0x0102030405060708ull);
  ctl_put_string(&out, "rec_0001.mp4");
  ctl_put_string(&out, "");
  ctl_put_bytes(&out, "\x00\xff", 2);
  ctl_put_checksum(&out);
  ASSERT_EQ(out.error, 0);
  // Little endian on the wire: the u16 0x0100 puts its 0 first.
  EXPECT_EQ(out.frame[4], 0x00);
  EXPECT_EQ(out.frame[5], 0x01);
  ASSERT_EQ(receive(&in, frame_of(&out)), 0);
  EXPECT_EQ(ctl_get_u8(&in), CTL_KIND_REQUEST);
  EXPECT_EQ(ctl_get_u8(&in), 20);
  EXPECT_EQ(ctl_get_u8(&in), 0xA5);
  EXPECT_EQ(ctl_get_u16(&in), 0x0100);
  EXPECT_EQ(ctl_get_u32(&in), 0xDEADBEEFu);
  EXPECT_EQ(ctl_get_u64(&in), 0x0102030405060708ull);
  EXPECT_STREQ(ctl_get_string(&in), "rec_0001.mp4");
  EXPECT_STREQ(ctl_get_string(&in), "");
  uint8_t raw[2];
  EXPECT_EQ(ctl_get_remaining(&in), 2u);
  ctl_get_bytes(&in, raw, 2);
  EXPECT_EQ(raw[0], 0x00);
  EXPECT_EQ(raw[1], 0xFF);
  EXPECT_EQ(in.error, 0);
  // The checksum byte is not data.
  ctl_get_u8(&in);
  EXPECT_EQ(in.error, CTL_ERR_MISSING_DATA);
}

TEST(CtlPacketCodec, FullPacketSurvivesAndOneMoreByteIsRefused) {
  // 254 bytes, kind to checksum: 2 header bytes, 251 fields, the checksum.
  CtlPacket out, in;
  ctl_init_reply(&out);
  for (int i = 0; i < 251; i++) ctl_put_u8(&out, (uint8_t)(i % 7));  // zeros among them
  ctl_put_checksum(&out);
  ASSERT_EQ(out.error, 0);
  std::vector<uint8_t> f = frame_of(&out);
  EXPECT_EQ(f.size(), (size_t)CTL_FRAME_MAX);
  ASSERT_EQ(receive(&in, f), 0);
  in.read += 2;
  for (int i = 0; i < 251; i++) ASSERT_EQ(ctl_get_u8(&in), i % 7) << i;
  EXPECT_EQ(in.error, 0);

  // A full packet without any 0 is one block of code 255, no zero behind it.
  ctl_init_event(&out, 1);
  for (int i = 0; i < 251; i++) ctl_put_u8(&out, 0x11);
  ctl_put_checksum(&out);
  ASSERT_NE(out.write[-1], 0);
  f = frame_of(&out);
  EXPECT_EQ(f[0], 0xFF);
  ASSERT_EQ(receive(&in, f), 0);
  EXPECT_EQ(in.write - in.read, 254);

  // One byte past the limit: 144, nothing written, and it sticks.
  ctl_init_reply(&out);
  for (int i = 0; i < 251; i++) ctl_put_u8(&out, 1);
  uint8_t *before = out.write;
  ctl_put_u16(&out, 2);
  EXPECT_EQ(out.error, CTL_ERR_TOO_LARGE);
  EXPECT_EQ(out.write, before);
  ctl_put_checksum(&out);
  ctl_put_u8(&out, 0);
  EXPECT_EQ(out.write, before);
  EXPECT_EQ(out.error, CTL_ERR_TOO_LARGE);
}

TEST(CtlPacketCodec, ShortDataAndStringsSetStickyErrors) {
  CtlPacket out, in;
  // Two bytes before the checksum: a u32 is missing data, later gets give 0.
  ctl_init_reply(&out);
  ctl_put_u16(&out, 0x1234);
  ctl_put_checksum(&out);
  ASSERT_EQ(receive(&in, frame_of(&out)), 0);
  in.read += 2;
  EXPECT_EQ(ctl_get_u32(&in), 0u);
  EXPECT_EQ(in.error, CTL_ERR_MISSING_DATA);
  EXPECT_EQ(ctl_get_u16(&in), 0);
  EXPECT_STREQ(ctl_get_string(&in), "");

  // A string whose NUL would be the checksum byte is missing data, not a
  // pointer past the packet.
  ctl_init_reply(&out);
  ctl_put_bytes(&out, "abc", 3);
  ctl_put_checksum(&out);
  ASSERT_EQ(receive(&in, frame_of(&out)), 0);
  in.read += 2;
  EXPECT_STREQ(ctl_get_string(&in), "");
  EXPECT_EQ(in.error, CTL_ERR_MISSING_DATA);

  // Too small a buffer: 166, nothing copied; null buffer only skips.
  ctl_init_reply(&out);
  ctl_put_string(&out, "longname");
  ctl_put_string(&out, "skipped");
  ctl_put_u8(&out, 9);
  ctl_put_checksum(&out);
  ASSERT_EQ(receive(&in, frame_of(&out)), 0);
  in.read += 2;
  char small[8] = "keep";
  ctl_get_string_copy(&in, nullptr, 0);
  ctl_get_string_copy(&in, small, sizeof small);
  EXPECT_EQ(in.error, 0);  // "skipped" fits with its NUL
  EXPECT_STREQ(small, "skipped");
  in.read -= 17;
  ctl_get_string_copy(&in, small, sizeof small);
  EXPECT_EQ(in.error, CTL_ERR_STRING_SIZE);
  EXPECT_STREQ(small, "skipped");
  EXPECT_EQ(ctl_get_u8(&in), 0);
}

TEST(CtlPacketCodec, ChecksumAndStatusDropFields) {
  CtlPacket p;
  ctl_init_reply(&p);
  ctl_put_u32(&p, 77);
  ctl_set_status(&p, CTL_ERR_RANGE);
  ctl_put_checksum(&p);
  EXPECT_EQ(p.write - p.frame, 4);
  EXPECT_EQ(p.frame[2], CTL_ERR_RANGE);
  ctl_init_reply(&p);
  ctl_put_checksum(&p);
  EXPECT_EQ(p.frame[3], 0xC0);

  // A flipped bit is a checksum error.
  CtlPacket in;
  ctl_init_event(&p, 1);
  ctl_put_u32(&p, 0x41);
  ctl_put_checksum(&p);
  std::vector<uint8_t> f = frame_of(&p);
  f[3] ^= 0x04;
  EXPECT_EQ(receive(&in, f), CTL_ERR_CHECKSUM);
  EXPECT_EQ(ctl_get_u8(&in), 0);
}

TEST(CtlPacketCodec, CobsMatchesPublishedExamplesAndRejectsBrokenFrames) {
  EXPECT_EQ(cobs_of({0x00}), (std::vector<uint8_t>{0x01, 0x01, 0x00}));
  EXPECT_EQ(cobs_of({0x11, 0x22, 0x00, 0x33}), (std::vector<uint8_t>{0x03, 0x11, 0x22, 0x02, 0x33, 0x00}));
  EXPECT_EQ(cobs_of({0x11, 0x00, 0x00, 0x00}),
            (std::vector<uint8_t>{0x02, 0x11, 0x01, 0x01, 0x01, 0x00}));
  std::vector<uint8_t> run(254), want(256);
  for (int i = 0; i < 254; i++) run[i] = want[i + 1] = (uint8_t)(i + 1);
  want[0] = 0xFF;
  want[255] = 0x00;
  EXPECT_EQ(cobs_of(run), want);

  CtlPacket in;
  // Decoding the other way: 11 00 00 00 needs a checksum to pass, so check
  // the decoded bytes under the checksum error.
  receive(&in, {0x02, 0x11, 0x01, 0x01, 0x01, 0x00});
  EXPECT_EQ(0, memcmp(in.frame + 1, "\x11\x00\x00\x00", 4));

  // Code, kind, code byte: 161. Nothing at all: 161.
  EXPECT_EQ(receive(&in, {0x03, 0x40, 0xC0, 0x00}), CTL_ERR_SHORT);
  EXPECT_EQ(ctl_decode_frame(&in, 0), CTL_ERR_SHORT);
  // The smallest packet decodes.
  EXPECT_EQ(receive(&in, {0x04, 0x40, 0x01, 0xBF, 0x00}), 0);
  // A 0 inside, no delimiter, or a code jumping past the delimiter: 162.
  EXPECT_EQ(receive(&in, {0x05, 0x40, 0x00, 0x01, 0xBF, 0x00}), CTL_ERR_LONG);
  EXPECT_EQ(receive(&in, {0x05, 0x40, 0x01, 0x01, 0xBE}), CTL_ERR_LONG);
  EXPECT_EQ(receive(&in, {0x02, 0x40, 0x09, 0x01, 0xBF, 0x00}), CTL_ERR_LONG);
  // A frame one byte longer than the largest.
  std::vector<uint8_t> big(CTL_FRAME_MAX + 1, 0x01);
  big.back() = 0;
  EXPECT_EQ(receive(&in, big), CTL_ERR_LONG);
}
