// The chunk writer and the resumable parser against each other, fed one
// byte at a time; the limits that end a connection; the AMF0 reader on what
// the builder makes and on hostile values.
#include "rtmp_test_support.h"

namespace {

std::vector<RtmpMsg> parse_bytewise(const Bytes &wire, long *rc = nullptr) {
  RtmpParser p;
  rtmp_parser_init(&p);
  std::vector<RtmpMsg> out;
  Bytes buf;
  long r = 0;
  for (uint8_t b : wire) {
    buf.push_back(b);
    r = rtmp_parse(&p, buf.data(), buf.size(), collect_message, &out);
    if (r < 0) break;
    EXPECT_LT(buf.size() - (size_t)r, (size_t)RTMP_MAX_HEADER);
    buf.erase(buf.begin(), buf.begin() + r);
  }
  if (rc) *rc = r;
  rtmp_parser_free(&p);
  return out;
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(seed + i * 7);
  return b;
}

Bytes set_chunk_size(uint32_t size) {
  Bytes b = {(uint8_t)(size >> 24), (uint8_t)(size >> 16), (uint8_t)(size >> 8), (uint8_t)size};
  return rtmp_wire({2, 0, 0, RTMP_MSG_SET_CHUNK_SIZE, 0}, b);
}

TEST(RtmpChunk, WriterAndParserAgreeByteByByte) {
  // Sizes around the chunk size, messages larger than the receive buffer,
  // and timestamps on both sides of the extended-timestamp threshold (whose
  // type-3 chunks repeat the 4-byte timestamp).
  struct Case { uint32_t csid, ts, size, msid; uint8_t type; };
  const Case cases[] = {{3, 0, 0, 0, 20},          {3, 5, 1, 0, 20},
                        {21, 100, 127, 1, 9},      {21, 133, 128, 1, 9},
                        {20, 150, 129, 1, 8},      {21, 0xFFFFFE, 5000, 1, 9},
                        {21, 0xFFFFFF, 70000, 1, 9}, {20, 0xFFFFFFF0u, 300, 1, 8},
                        {63, 7, 2049, 0x01020304, 18}};
  Bytes wire;
  for (uint32_t chunk : {128u, 4096u}) {
    wire.clear();
    if (chunk != 128) wire = set_chunk_size(chunk);
    for (const Case &c : cases) {
      Bytes w = rtmp_wire({c.csid, c.ts, 0, c.type, c.msid}, pattern(c.size, (uint8_t)c.csid), chunk);
      wire.insert(wire.end(), w.begin(), w.end());
    }
    long rc;
    std::vector<RtmpMsg> got = parse_bytewise(wire, &rc);
    ASSERT_GE(rc, 0);
    ASSERT_EQ(got.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < got.size(); i++) {
      const Case &c = cases[i];
      EXPECT_EQ(got[i].h.csid, c.csid) << i;
      EXPECT_EQ(got[i].h.timestamp, c.ts) << i;
      EXPECT_EQ(got[i].h.type, c.type) << i;
      EXPECT_EQ(got[i].h.msid, c.msid) << i;
      EXPECT_EQ(got[i].body, pattern(c.size, (uint8_t)c.csid)) << i;
    }
  }
  // A 300-byte message stamped past 0xFFFFFF: 16-byte first header, then
  // two 5-byte continuation headers.
  Bytes w = rtmp_wire({20, 0x01000000, 0, 8, 1}, pattern(300, 1));
  ASSERT_EQ(w.size(), 16u + 300 + 2 * 5);
  EXPECT_EQ(w[16 + 128], 0xC0 | 20);
  EXPECT_EQ(Bytes(w.begin() + 145, w.begin() + 149), (Bytes{1, 0, 0, 0}));
}

TEST(RtmpChunk, BrokenPeersEndTheParse) {
  long rc;
  // Set Chunk Size 0 and above 0x7FFFFFFF; the largest allowed is taken.
  parse_bytewise(set_chunk_size(0), &rc);
  EXPECT_LT(rc, 0);
  parse_bytewise(set_chunk_size(0x80000000u), &rc);
  EXPECT_LT(rc, 0);
  parse_bytewise(set_chunk_size(0x7FFFFFFF), &rc);
  EXPECT_GE(rc, 0);

  // A 16 MiB message is refused at its header, before any of it is held.
  Bytes big = {0x03, 0, 0, 0, 0xFF, 0xFF, 0xFF, 20, 0, 0, 0, 0};
  parse_bytewise(big, &rc);
  EXPECT_LT(rc, 0);
  // Partial messages on several chunk streams count together.
  Bytes wire;
  for (uint8_t cs = 3; cs < 6; cs++) {
    Bytes h = {cs, 0, 0, 0, 0x06, 0x00, 0x00, 20, 0, 0, 0, 0};  // 384 KiB each
    wire.insert(wire.end(), h.begin(), h.end());
    wire.insert(wire.end(), 128, 0x55);
  }
  parse_bytewise(wire, &rc);
  EXPECT_LT(rc, 0);
  // A 21st chunk stream.
  wire.clear();
  for (uint32_t cs = 3; cs < 3 + RTMP_CHUNK_STREAMS + 1; cs++) {
    Bytes h = {(uint8_t)cs, 0, 0, 0, 0, 0, 1, 20, 0, 0, 0, 0, 0x05};
    wire.insert(wire.end(), h.begin(), h.end());
  }
  std::vector<RtmpMsg> got = parse_bytewise(wire, &rc);
  EXPECT_LT(rc, 0);
  EXPECT_EQ(got.size(), (size_t)RTMP_CHUNK_STREAMS);
  // A continuation on a chunk stream that never began, and a new header in
  // the middle of a message.
  parse_bytewise({0xC7, 1, 2, 3}, &rc);
  EXPECT_LT(rc, 0);
  wire = {0x03, 0, 0, 0, 0, 1, 0, 20, 0, 0, 0, 0};
  wire.insert(wire.end(), 128, 0);
  wire.insert(wire.end(), {0x03, 0, 0, 0, 0, 0, 1, 20, 0, 0, 0, 0});
  parse_bytewise(wire, &rc);
  EXPECT_LT(rc, 0);
}

int read_all(const Bytes &b, std::vector<AmfValue> *out = nullptr) {
  AmfReader r;
  AmfValue v;
  amf_reader_init(&r, b.data(), b.size());
  int rc;
  while ((rc = amf_read(&r, &v)) > 0)
    if (out) out->push_back(v);
  return rc;
}

TEST(RtmpAmf, ReadsWhatTheBuilderWrites) {
  std::string long_text(70000, 'x');
  Bytes b = amf("sd{sn{sb}}0s", "_result", 7.5, "fmsVer", "FMS/3", "capabilities", 31, "inner", "k",
                "v", "flag", 1, long_text.c_str());
  std::vector<AmfValue> v;
  ASSERT_EQ(read_all(b, &v), 0);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_TRUE(amf_is(&v[0], "_result"));
  EXPECT_EQ(v[1].number, 7.5);
  EXPECT_EQ(v[2].type, AMF0_OBJECT);
  EXPECT_EQ(v[3].type, AMF0_NULL);
  EXPECT_EQ(v[4].type, AMF0_LONG_STRING);
  EXPECT_EQ(v[4].len, 70000u);
  EXPECT_TRUE(amf("s", std::string(200000, 'y').c_str()).empty());  // over the builder's room
}

TEST(RtmpAmf, HostileValuesAreRefused) {
  // Nested 10000 deep: refused past the cap, not by running out of stack.
  Bytes deep;
  for (int i = 0; i < 10000; i++) deep.insert(deep.end(), {AMF0_OBJECT, 0, 1, 'a'});
  EXPECT_LT(read_all(deep), 0);
  Bytes ok;
  for (int i = 0; i < AMF_MAX_DEPTH; i++) ok.insert(ok.end(), {AMF0_STRICT_ARRAY, 0, 0, 0, 1});
  ok.push_back(AMF0_NULL);
  EXPECT_EQ(read_all(ok), 0);
  ok.insert(ok.begin(), {AMF0_STRICT_ARRAY, 0, 0, 0, 1});
  EXPECT_LT(read_all(ok), 0);
  // Counts that the bytes left cannot hold.
  EXPECT_LT(read_all({AMF0_STRICT_ARRAY, 0xFF, 0xFF, 0xFF, 0xFF, 5, 5}), 0);
  EXPECT_LT(read_all({AMF0_ECMA_ARRAY, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 9}), 0);
  EXPECT_EQ(read_all({AMF0_ECMA_ARRAY, 0, 0, 0, 1, 0, 1, 'w', 5, 0, 0, 9}), 0);
  // Truncated values, an object without its end, unknown markers.
  for (const Bytes &b : {Bytes{AMF0_STRING, 0, 10, 'a', 'b'}, Bytes{AMF0_LONG_STRING, 0xFF, 0xFF, 0xFF, 0xFF, 'a'},
                         Bytes{AMF0_NUMBER, 1, 2, 3}, Bytes{AMF0_OBJECT, 0, 1, 'a', AMF0_NULL},
                         Bytes{AMF0_OBJECT_END}, Bytes{0x11, 0}, Bytes{0x42}})
    EXPECT_LT(read_all(b), 0);
}

}  // namespace
