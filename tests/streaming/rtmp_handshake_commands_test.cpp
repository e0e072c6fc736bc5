// The handshake as players do it (with either digest scheme, or none) and a
// C2 that does not echo S1; the commands of a session answered in order on
// a socket pair; malformed commands ending the connection.
#include "rtmp_test_support.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "core/param_block.h"
#include "core/process_util.h"
#include "streaming/rtmp/rtmp_connection.h"
#include "streaming/rtmp/rtmp_handshake.h"

namespace {

Bytes hex(const char *h) {
  Bytes b;
  for (; h[0] && h[1]; h += 2) b.push_back((uint8_t)strtoul(std::string(h, 2).c_str(), nullptr, 16));
  return b;
}

TEST(RtmpHandshake, HmacMatchesTheReference) {
  // RFC 4231 test cases 1 and 6 (a key longer than the block).
  uint8_t out[32];
  Bytes k1(20, 0x0B);
  hmac_sha256(k1.data(), k1.size(), (const uint8_t *)"Hi There", 8, out);
  EXPECT_EQ(Bytes(out, out + 32), hex("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"));
  Bytes k6(131, 0xAA);
  const char *d6 = "Test Using Larger Than Block-Size Key - Hash Key First";
  hmac_sha256(k6.data(), k6.size(), (const uint8_t *)d6, strlen(d6), out);
  EXPECT_EQ(Bytes(out, out + 32), hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
}

int fixed_rand(void) {
  static unsigned s = 1;
  s = s * 1103515245u + 12345u;
  return (int)(s >> 16);
}

Bytes client_c1(int scheme) {
  Bytes c1(RTMP_HANDSHAKE_SIZE);
  for (size_t i = 0; i < c1.size(); i++) c1[i] = (uint8_t)(i * 13 + 5);
  if (scheme >= 0) {
    size_t at = rtmp_digest_offset(c1.data(), scheme);
    rtmp_digest(c1.data(), at, rtmp_client_key, sizeof rtmp_client_key, c1.data() + at);
  }
  return c1;
}

TEST(RtmpHandshake, ServerDigestsFollowTheClientsScheme) {
  for (int scheme : {(int)RTMP_SCHEME_772, (int)RTMP_SCHEME_8, -1}) {
    Bytes c1 = client_c1(scheme);
    Bytes out(RTMP_S0S1S2_SIZE);
    EXPECT_EQ(rtmp_handshake_reply(c1.data(), out.data(), fixed_rand), scheme);
    const uint8_t *s1 = out.data() + 1, *s2 = s1 + RTMP_HANDSHAKE_SIZE;
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(Bytes(s1, s1 + 8), Bytes(8, 0));
    // What a player checks: S1 signed with the server key's text part at
    // the place of the same scheme...
    size_t at = rtmp_digest_offset(s1, scheme < 0 ? RTMP_SCHEME_772 : scheme);
    uint8_t d[32];
    rtmp_digest(s1, at, rtmp_server_key, 36, d);
    EXPECT_EQ(memcmp(d, s1 + at, 32), 0) << scheme;
    // ...and S2 signed with a key derived from its own C1 digest.
    if (scheme < 0) continue;
    uint8_t key[32];
    hmac_sha256(rtmp_server_key, sizeof rtmp_server_key, c1.data() + rtmp_digest_offset(c1.data(), scheme), 32, key);
    hmac_sha256(key, 32, s2, RTMP_HANDSHAKE_SIZE - 32, d);
    EXPECT_EQ(memcmp(d, s2 + RTMP_HANDSHAKE_SIZE - 32, 32), 0) << scheme;
  }
}

struct Pair {
  int sv[2];
  RtmpConnection *c;
  Pair() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    c = (RtmpConnection *)malloc(sizeof(RtmpConnection));
    rtmp_connection_init(c, sv[0]);
  }
  ~Pair() {
    rtmp_connection_free(c);
    free(c);
    close(sv[0]);
    close(sv[1]);
  }
  int feed(const Bytes &b) { return rtmp_connection_feed(c, b.data(), b.size()); }
};

bool recv_all(int fd, uint8_t *b, size_t n) {
  for (size_t got = 0; got < n;) {
    ssize_t k = recv(fd, b + got, n - got, 0);
    if (k <= 0) return false;
    got += (size_t)k;
  }
  return true;
}

TEST(RtmpHandshake, C2MustEchoS1) {
  for (bool echo : {true, false}) {
    Pair p;
    int rc = 1;
    std::thread server([&] { rc = rtmp_handshake(p.c); });
    Bytes c01 = client_c1(RTMP_SCHEME_8);
    c01.insert(c01.begin(), 3);
    // A player writes C0 and C1 in pieces.
    send(p.sv[1], c01.data(), 100, 0);
    send(p.sv[1], c01.data() + 100, c01.size() - 100, 0);
    Bytes s(RTMP_S0S1S2_SIZE);
    ASSERT_TRUE(recv_all(p.sv[1], s.data(), s.size()));
    Bytes c2(s.begin() + 1, s.begin() + 1 + RTMP_HANDSHAKE_SIZE);
    if (!echo) c2[1000] ^= 1;
    send(p.sv[1], c2.data(), c2.size(), 0);
    server.join();
    EXPECT_EQ(rc, echo ? 0 : -1);
  }
}

// A client that sends a byte every quarter second never waits long enough
// for one read to give up: only the deadline for the whole handshake ends
// it (this test then takes that long). Should the server never end it, the
// client gives up after a minute and the test fails.
TEST(RtmpHandshake, ATricklingClientMeetsTheDeadline) {
  Pair p;
  std::atomic<bool> done{false};
  int rc = 1;
  std::thread server([&] {
    rc = rtmp_handshake(p.c);
    done = true;
  });
  bool gave_up = true;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  uint8_t b = 3;
  while (std::chrono::steady_clock::now() < end) {
    if (done) {
      gave_up = false;
      break;
    }
    send(p.sv[1], &b, 1, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  shutdown(p.sv[1], SHUT_RDWR);
  server.join();
  EXPECT_FALSE(gave_up) << "the handshake went on past its deadline";
  EXPECT_EQ(rc, -1);
}

// One of many connections accepted together fails its handshake without a
// line; a connection on its own says so.
TEST(RtmpHandshake, AQuietConnectionFailsWithoutALine) {
  for (int quiet : {1, 0}) {
    log_take();
    Pair p;
    p.c->quiet = quiet;
    shutdown(p.sv[1], SHUT_WR);
    EXPECT_EQ(rtmp_handshake(p.c), -1);
    std::string log = log_take();
    EXPECT_EQ(log.find("RTMP handshake error 0") != std::string::npos, !quiet) << log;
  }
}

// Nor is its close when it plays nothing for the idle time (this test then
// takes that long).
TEST(RtmpHandshake, AQuietConnectionLeftIdleClosesWithoutALine) {
  log_take();
  Pair p;
  p.c->quiet = 1;
  rtmp_connection_run(p.c);
  std::string log = log_take();
  EXPECT_EQ(log.find("nothing played"), std::string::npos) << log;
}

// A connection holds its place until its first play only until play_by, its
// handshake included: a client trickling its handshake, or one that keeps
// talking and never plays, is ended then (and said so when not quiet), not
// at the handshake's or the idle deadline. Should the server never end it,
// the client gives up after the bound and the test fails.
TEST(RtmpHandshake, AConnectionThatNeverPlaysEndsAtItsPlayDeadline) {
  for (int handshake : {1, 0}) {
    log_take();
    Pair p;
    p.c->play_by = monotonic_ms() + 300;
    std::atomic<bool> done{false};
    int rc = 0;
    std::thread server([&] {
      if (handshake) rc = rtmp_handshake(p.c);
      else rtmp_connection_run(p.c);
      done = true;
    });
    // Window Acknowledgement Size: read and ignored.
    Bytes talk = handshake ? Bytes{3} : rtmp_wire({2, 0, 0, 5, 0}, {0, 0, 0, 1});
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (!done && std::chrono::steady_clock::now() < end) {
      send(p.sv[1], talk.data(), talk.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(done.load()) << (handshake ? "handshake" : "run");
    shutdown(p.sv[1], SHUT_RDWR);
    server.join();
    if (handshake) EXPECT_EQ(rc, -1);
    else EXPECT_NE(log_take().find("serverThread: nothing played for 10 s, closing"), std::string::npos);
  }
}

Bytes command(const Bytes &body, uint32_t csid = 3, uint8_t type = RTMP_MSG_COMMAND) {
  return rtmp_wire({csid, 0, 0, type, 0}, body);
}

double number_at(const Bytes &body, int index) {
  AmfReader r;
  AmfValue v;
  amf_reader_init(&r, body.data(), body.size());
  for (int i = 0; i <= index; i++)
    if (amf_read(&r, &v) <= 0) return -1;
  return v.type == AMF0_NUMBER ? v.number : -1;
}

TEST(RtmpCommands, RepliesComeInOrder) {
  ParamBlock *pb = get_param_block();
  pb->video[0].width = 640;
  pb->video[0].height = 480;
  pb->video[1].width = 352;
  pb->video[1].height = 288;
  pb->video[1].rtmp_audio = 0;
  Pair p;
  RtmpReader peer(p.sv[1]);
  // connect, with the object players send; fed one byte at a time.
  Bytes connect = command(amf("sd{ssn}", "connect", 1.0, "app", "live", "tcUrl", "rtmp://h/live",
                              "objectEncoding", 0));
  for (uint8_t b : connect) ASSERT_EQ(p.feed({b}), 0);
  ASSERT_TRUE(peer.wait(5));
  const uint8_t want[5][2] = {{2, 5}, {2, 6}, {2, 4}, {3, 20}, {3, 20}};
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(peer.msgs[i].h.csid, want[i][0]) << i;
    EXPECT_EQ(peer.msgs[i].h.type, want[i][1]) << i;
    EXPECT_EQ(peer.msgs[i].h.msid, 0u) << i;
  }
  EXPECT_EQ(peer.msgs[1].body, (Bytes{0x00, 0x26, 0x25, 0xA0, 2}));
  EXPECT_EQ(amf_name(peer.msgs[3].body), "_result");
  EXPECT_EQ(number_at(peer.msgs[3].body, 1), 1.0);
  EXPECT_EQ(amf_name(peer.msgs[4].body), "onBWDone");

  // createStream through an AMF3 command message (a format byte first).
  Bytes cs = amf("sd0", "createStream", 2.0);
  cs.insert(cs.begin(), 0);
  ASSERT_EQ(p.feed(command(cs, 3, RTMP_MSG_AMF3_COMMAND)), 0);
  ASSERT_TRUE(peer.wait(6));
  EXPECT_EQ(number_at(peer.msgs[5].body, 1), 2.0);
  EXPECT_EQ(number_at(peer.msgs[5].body, 3), 1.0);

  // play picks channel B by name; onMetaData carries its size.
  ASSERT_EQ(p.feed(command(amf("sd0sn", "play", 3.0, "streamB.m3u8", -2), 8)), 0);
  ASSERT_TRUE(peer.wait(10));
  EXPECT_EQ(p.c->playing, 1);
  EXPECT_EQ(p.c->channel, 1);
  EXPECT_EQ(p.c->audio, 0);
  EXPECT_EQ(peer.msgs[6].h.type, RTMP_MSG_USER_CONTROL);
  EXPECT_EQ(peer.msgs[6].body, (Bytes{0, 0, 0, 0, 0, 1}));
  EXPECT_NE(std::string(peer.msgs[7].body.begin(), peer.msgs[7].body.end()).find("NetStream.Play.Reset"), std::string::npos);
  EXPECT_NE(std::string(peer.msgs[8].body.begin(), peer.msgs[8].body.end()).find("NetStream.Play.Start"), std::string::npos);
  EXPECT_EQ(peer.msgs[9].h.csid, 20u);
  EXPECT_EQ(peer.msgs[9].h.type, RTMP_MSG_DATA);
  EXPECT_EQ(amf_name(peer.msgs[9].body), "onMetaData");
  EXPECT_EQ(peer.msgs[9].body, amf("s{nns}", "onMetaData", "width", 352, "height", 288, "Server", "Marovant 7391 RTMP Server"));

  // Another name keeps the channel; closeStream stops playing.
  ASSERT_EQ(p.feed(command(amf("sd0s", "play", 4.0, "other"), 8)), 0);
  ASSERT_TRUE(peer.wait(14));
  EXPECT_EQ(p.c->channel, 1);
  ASSERT_EQ(p.feed(command(amf("sd0", "closeStream", 5.0), 8)), 0);
  ASSERT_TRUE(peer.wait(15));
  EXPECT_EQ(p.c->playing, 0);
  // Commands nobody answers, and data messages, are read and let be.
  ASSERT_EQ(p.feed(command(amf("sd0s", "FCSubscribe", 6.0, "x"))), 0);
  ASSERT_EQ(p.feed(command(amf("s{n}", "@setDataFrame", "a", 1), 4, RTMP_MSG_DATA)), 0);
  EXPECT_FALSE(peer.wait(16, 200));
}

// The server's gate is asked before a play begins and told when it ends;
// a play it refuses is answered with an error status and ends the
// connection, and nothing of the play is sent.
std::vector<int> g_gate_calls;
int g_gate_answer;
int test_gate(RtmpConnection *, int playing) {
  g_gate_calls.push_back(playing);
  return playing ? g_gate_answer : 0;
}

TEST(RtmpCommands, APlayPassesTheGate) {
  g_gate_calls.clear();
  {
    Pair p;
    p.c->play_gate = test_gate;
    g_gate_answer = 0;
    ASSERT_EQ(p.feed(command(amf("sd0s", "play", 1.0, "streamA.m3u8"), 8)), 0);
    ASSERT_EQ(p.feed(command(amf("sd0s", "play", 2.0, "streamB.m3u8"), 8)), 0);
    ASSERT_EQ(p.feed(command(amf("sd0", "closeStream", 3.0), 8)), 0);
    EXPECT_EQ(g_gate_calls, (std::vector<int>{1, 0}));
  }
  Pair p;
  RtmpReader peer(p.sv[1]);
  p.c->play_gate = test_gate;
  g_gate_answer = -1;
  EXPECT_EQ(p.feed(command(amf("sd0s", "play", 1.0, "streamA.m3u8"), 8)), -1);
  EXPECT_EQ(p.c->playing, 0);
  EXPECT_EQ(p.c->refused, 1);
  ASSERT_TRUE(peer.wait(1));
  EXPECT_FALSE(peer.wait(2, 200));
  EXPECT_EQ(peer.msgs[0].body,
            amf("sn0{sssss}", "onStatus", 0, "level", "error", "code", "NetStream.Play.Failed",
                "description", "Too many players", "details", "ts_5_4352_4113", "clientid",
                "9_1_39825440"));
}

TEST(RtmpCommands, MalformedInputEndsTheConnection) {
  const Bytes bad[] = {
      command(Bytes{AMF0_STRING, 0, 200, 'p', 'l'}),                   // cut string
      command(Bytes{AMF0_NUMBER, 0, 0, 0, 0, 0, 0, 0, 0}),             // no name
      command(cat(amf("sd", "play", 1.0), {AMF0_STRICT_ARRAY, 0xFF, 0xFF, 0xFF, 0xFF})),
      command(Bytes{AMF0_STRING, 0, 1, 'x', 0x42}, 3, RTMP_MSG_DATA),  // unknown marker
  };
  for (const Bytes &b : bad) {
    Pair p;
    EXPECT_EQ(p.feed(b), -1);
  }
}

}  // namespace
