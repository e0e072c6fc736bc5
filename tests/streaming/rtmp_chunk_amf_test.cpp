// The chunk writer and the resumable parser against each other, fed one
// byte at a time; the limits that end a connection; the AMF0 reader on what
// the builder makes and on hostile values.
#include "rtmp_test_support.h"

#include <thread>

#include "heap_in_use.h"

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
  // One of 1 MiB may come; a byte more may not.
  for (uint8_t last : {0x00, 0x01}) {
    big = {0x03, 0, 0, 0, 0x10, 0x00, last, 20, 0, 0, 0, 0};
    parse_bytewise(big, &rc);
    EXPECT_EQ(rc < 0, last == 1);
  }
  // Partial messages on several chunk streams count together, by the bytes
  // that came: four headers of 384 KiB with a chunk of 128 bytes each are
  // held; with a chunk of 300 KiB each they are too much for one connection.
  Bytes wire;
  for (uint32_t chunk : {128u, 300u * 1024}) {
    wire = chunk == 128 ? Bytes() : set_chunk_size(chunk);
    for (uint8_t cs = 3; cs < 7; cs++) {
      Bytes h = {cs, 0, 0, 0, 0x06, 0x00, 0x00, 20, 0, 0, 0, 0};  // 384 KiB each
      wire.insert(wire.end(), h.begin(), h.end());
      wire.insert(wire.end(), chunk, 0x55);
    }
    RtmpParser p;
    rtmp_parser_init(&p);
    std::vector<RtmpMsg> none;
    log_take();
    rc = rtmp_parse(&p, wire.data(), wire.size(), collect_message, &none);
    std::string log = log_take();
    if (chunk == 128) {
      EXPECT_EQ(rc, (long)wire.size());
      EXPECT_EQ(p.pending, 4u * RTMP_PENDING_STEP);
      EXPECT_EQ(rtmp_pending_budget.used, p.pending);
    } else {
      EXPECT_LT(rc, 0);
      EXPECT_NE(log.find("rtmp_parse: unfinished messages of 1228800 bytes on one connection over "
                         "the limit"), std::string::npos) << log;
    }
    rtmp_parser_free(&p);
    EXPECT_EQ(p.pending, 0u);
  }
  EXPECT_EQ(rtmp_pending_budget.used, 0u) << "every byte given back";
  // What one connection holds counts to the byte: two first chunks of half a
  // megabyte are held, and nothing more beside them; a message shorter than
  // a buffer's first step holds only its own length.
  wire = set_chunk_size(512 * 1024);
  for (uint8_t cs : {3, 4}) {
    Bytes h = {cs, 0, 0, 0, 0x09, 0x60, 0x00, 20, 0, 0, 0, 0};  // 600 KiB each
    wire.insert(wire.end(), h.begin(), h.end());
    wire.insert(wire.end(), 512 * 1024, 0x55);
  }
  Bytes small_part = {5, 0, 0, 0, 0, 0, 200, 20, 0, 0, 0, 0};
  small_part.insert(small_part.end(), 128, 0x05);
  for (bool held_full : {true, false}) {
    RtmpParser p;
    rtmp_parser_init(&p);
    std::vector<RtmpMsg> none;
    if (held_full) {
      ASSERT_EQ(rtmp_parse(&p, wire.data(), wire.size(), collect_message, &none), (long)wire.size());
      EXPECT_EQ(p.pending, (size_t)RTMP_MAX_PENDING);
    }
    log_take();
    rc = rtmp_parse(&p, small_part.data(), small_part.size(), collect_message, &none);
    std::string log = log_take();
    if (held_full) {
      EXPECT_LT(rc, 0);
      EXPECT_NE(log.find("unfinished messages of 1048776 bytes on one connection"), std::string::npos) << log;
    } else {
      EXPECT_EQ(rc, (long)small_part.size());
      EXPECT_EQ(p.pending, 200u);
    }
    rtmp_parser_free(&p);
  }
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

// Unfinished messages of many connections share one budget: connections
// holding much stop at the reserve and are refused past it, one that holds
// little still gets its command through, and what a closed connection held
// comes back.
TEST(RtmpChunk, UnfinishedMessagesShareOneBudget) {
  RtmpBudget budget = {0, 64 * 1024, 24 * 1024, {}};
  // A 30000-byte message sent in one chunk of all but its last byte.
  Bytes big = set_chunk_size(0x7FFFFFFF);
  Bytes h = {3, 0, 0, 0, 0x00, 0x75, 0x30, 20, 0, 0, 0, 0};
  big.insert(big.end(), h.begin(), h.end());
  big.insert(big.end(), 29999, 0x55);
  RtmpParser p[3];
  long rc[3];
  std::vector<RtmpMsg> got;
  for (int i = 0; i < 3; i++) {
    rtmp_parser_init(&p[i]);
    p[i].budget = &budget;
    rc[i] = rtmp_parse(&p[i], big.data(), big.size(), collect_message, &got);
  }
  EXPECT_EQ(rc[0], (long)big.size());
  EXPECT_EQ(p[0].pending, 29999u) << "what came, not what the header announced";
  // Two of them would fit the budget, but not what it leaves past its
  // reserve.
  EXPECT_LT(rc[1], 0);
  EXPECT_LT(rc[2], 0);
  EXPECT_EQ(p[1].pending + p[2].pending, 0u);
  EXPECT_EQ(budget.used, 29999u);
  EXPECT_EQ(budget.refusals.count, 2u);
  // The episode ends with a count once refusals have stopped for a while.
  log_take();
  rtmp_budget_tick(&budget);
  EXPECT_EQ(budget.refusals.count, 2u);
  budget.refusals.last_ms -= 10000;
  rtmp_budget_tick(&budget);
  EXPECT_EQ(budget.refusals.count, 0u);
  std::string log = log_take();
  EXPECT_NE(log.find("rtmp_parse: 2 connections closed for holding unfinished messages over the budget"),
            std::string::npos) << log;

  // A client's command of a few chunks still fits in the reserve.
  RtmpParser small;
  rtmp_parser_init(&small);
  small.budget = &budget;
  Bytes cmd = rtmp_wire({3, 0, 0, RTMP_MSG_COMMAND, 0}, Bytes(3000, 0x05));
  EXPECT_EQ(rtmp_parse(&small, cmd.data(), cmd.size(), collect_message, &got), (long)cmd.size());
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(small.pending, 0u);
  EXPECT_EQ(budget.used, 29999u);
  // A message in 128-byte chunks grows its buffer by doubling as they come,
  // into the reserve while it holds no more than RTMP_PENDING_SMALL.
  Bytes part = rtmp_wire({3, 0, 0, RTMP_MSG_COMMAND, 0}, Bytes(20000, 0x05));
  size_t at = 0;
  const uint32_t caps[] = {4096, 4096, 8192, RTMP_PENDING_SMALL};
  int i = 0;
  for (int chunks : {8, 32, 40, 70}) {
    size_t upto = 12 + (size_t)chunks * 129 - 1;
    EXPECT_EQ(rtmp_parse(&small, part.data() + at, upto - at, collect_message, &got), (long)(upto - at));
    at = upto;
    EXPECT_EQ(small.pending, caps[i++]) << chunks;
  }
  EXPECT_GT(budget.used, budget.limit - budget.reserve);
  rtmp_parser_free(&small);

  for (RtmpParser &x : p) rtmp_parser_free(&x);
  rtmp_parser_free(&small);
  EXPECT_EQ(budget.used, 0u);
  // With every byte back, the next one gets its whole message.
  rtmp_parser_init(&p[0]);
  p[0].budget = &budget;
  big.push_back(0x55);
  got.clear();
  EXPECT_EQ(rtmp_parse(&p[0], big.data(), big.size(), collect_message, &got), (long)big.size());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].body, Bytes(30000, 0x55));
  rtmp_parser_free(&p[0]);
}

// The server's connections together hold three messages of a megabyte at
// most, leaving the last MiB of the budget to small ones.
TEST(RtmpChunk, TheServersBudgetHoldsThreeLargeMessages) {
  Bytes big = set_chunk_size(0x7FFFFFFF);
  Bytes h = {3, 0, 0, 0, 0x0F, 0x42, 0x40, 20, 0, 0, 0, 0};  // 1000000 bytes
  big.insert(big.end(), h.begin(), h.end());
  big.insert(big.end(), 999999, 0x55);
  RtmpParser p[5];
  int kept = 0;
  std::vector<RtmpMsg> got;
  size_t heap = heap_in_use();
  for (RtmpParser &x : p) {
    rtmp_parser_init(&x);
    kept += rtmp_parse(&x, big.data(), big.size(), collect_message, &got) == (long)big.size();
  }
  EXPECT_EQ(kept, 3);
  EXPECT_LE(rtmp_pending_budget.used, (size_t)RTMP_PENDING_BUDGET - RTMP_PENDING_RESERVE);
  for (RtmpParser &x : p) rtmp_parser_free(&x);
  EXPECT_EQ(rtmp_pending_budget.used, 0u);
  EXPECT_LT(heap_in_use(), heap + 500000) << "the closed connections' buffers are freed";
}

// The budget is taken to its last byte, the reserve to the byte for those
// holding little and not at all for the others; parsers on many threads
// taking and giving back at once are never granted more than it holds.
TEST(RtmpChunk, TheBudgetIsTakenToTheByte) {
  RtmpBudget b = {0, 64 * 1024, 24 * 1024, {}};
  const size_t big = RTMP_PENDING_SMALL + 1;
  EXPECT_TRUE(rtmp_budget_take(&b, big, 40 * 1024 - 1));
  EXPECT_FALSE(rtmp_budget_take(&b, big, 2));
  EXPECT_TRUE(rtmp_budget_take(&b, big, 1));
  EXPECT_FALSE(rtmp_budget_take(&b, 0, RTMP_PENDING_SMALL + 1)) << "more than a small holder";
  EXPECT_FALSE(rtmp_budget_take(&b, RTMP_PENDING_SMALL - 99, 100));
  EXPECT_TRUE(rtmp_budget_take(&b, RTMP_PENDING_SMALL - 100, 100));
  EXPECT_TRUE(rtmp_budget_take(&b, 0, RTMP_PENDING_SMALL));
  EXPECT_TRUE(rtmp_budget_take(&b, 0, 24 * 1024 - RTMP_PENDING_SMALL - 100));
  EXPECT_EQ(b.used, b.limit);
  EXPECT_FALSE(rtmp_budget_take(&b, 0, 1));
  rtmp_budget_give(&b, b.limit);

  RtmpBudget shared = {0, 1000, 0, {}};
  std::atomic<bool> over{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 200000; i++) {
        if (!rtmp_budget_take(&shared, 0, 7)) continue;
        if (__atomic_load_n(&shared.used, __ATOMIC_RELAXED) > shared.limit) over = true;
        rtmp_budget_give(&shared, 7);
      }
    });
  for (std::thread &t : threads) t.join();
  EXPECT_FALSE(over);
  EXPECT_EQ(shared.used, 0u);
}

int read_all(const Bytes &b, std::vector<AmfValue> *out = nullptr) {
  AmfReader r;
  AmfValue v;
  amf_reader_init(&r, b.data(), b.size());
  int rc;
  // Every value takes a byte at least: a reader that gives more never ends.
  size_t values = 0;
  while ((rc = amf_read(&r, &v)) > 0) {
    if (out) out->push_back(v);
    if (++values > b.size()) {
      ADD_FAILURE() << "amf_read gives more values than the bytes hold";
      break;
    }
  }
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
