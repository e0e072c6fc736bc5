// The RTSP request parser on whole, partial, pipelined and malformed
// requests, and the Transport and Digest header readers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "streaming/rtsp/digest_auth.h"
#include "streaming/rtsp/rtsp_request.h"

namespace {

int parse(const std::string &s, RtspRequest *r, size_t max = 10000) {
  return rtsp_request_parse((const uint8_t *)s.data(), s.size(), max, r);
}

TEST(RtspRequestParse, WholeRequestWithHeadersAndBody) {
  std::string s =
      "SET_PARAMETER rtsp://10.0.0.1:554/streamA.h264/ RTSP/1.0\r\n"
      "CSeq: 17\r\n"
      "Session:  1A2B3C4D;timeout=65\r\n"
      "content-length: 5\r\n"
      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
      "\r\n"
      "x: 1\n"
      "OPTIONS * RTSP/1.0\r\n";
  RtspRequest r;
  int n = parse(s, &r);
  ASSERT_GT(n, 0);
  EXPECT_EQ((size_t)n, s.find("OPTIONS"));
  EXPECT_FALSE(r.bad);
  EXPECT_STREQ(r.method, "SET_PARAMETER");
  EXPECT_STREQ(r.url, "rtsp://10.0.0.1:554/streamA.h264/");
  EXPECT_STREQ(r.cseq, "17");
  EXPECT_STREQ(r.session, "1A2B3C4D");
  EXPECT_EQ(r.content_length, 5u);
  char v[100];
  EXPECT_TRUE(rtsp_request_header(&r, "TRANSPORT", v, sizeof v));
  EXPECT_STREQ(v, "RTP/AVP/TCP;unicast;interleaved=0-1");
  EXPECT_FALSE(rtsp_request_header(&r, "Range", v, sizeof v));
}

TEST(RtspRequestParse, EveryPrefixAsksForMore) {
  std::string s = "DESCRIBE rtsp://h/s RTSP/1.0\r\nCSeq: 2\r\nContent-Length: 3\r\n\r\nabc";
  RtspRequest r;
  for (size_t i = 0; i < s.size(); i++) {
    EXPECT_EQ(rtsp_request_parse((const uint8_t *)s.data(), i, 10000, &r), RTSP_PARSE_MORE) << i;
  }
  EXPECT_EQ(parse(s, &r), (int)s.size());
}

TEST(RtspRequestParse, MalformedRequestsAreBoundedAndMarked) {
  const char *bad[] = {
      "GARBAGE\r\n\r\n",
      "DESCRIBE rtsp://h/s HTTP/1.1\r\nCSeq: 1\r\n\r\n",
      "get rtsp://h/s RTSP/1.0\r\nCSeq: 1\r\n\r\n",
      "OPTIONS * RTSP/1.0\r\nnot a header\r\n\r\n",
      "OPTIONS  * RTSP/1.0\r\nCSeq: 1\r\n\r\n",
      "OPTIONS * RTSP/1.0\r\nCSeq: 123456789012345678901234567890123456789\r\n\r\n",
  };
  for (const char *b : bad) {
    RtspRequest r;
    EXPECT_EQ(parse(b, &r), (int)strlen(b)) << b;
    EXPECT_TRUE(r.bad) << b;
  }
  // A body length that cannot be right, or a header block without end.
  RtspRequest r;
  EXPECT_EQ(parse("OPTIONS * RTSP/1.0\r\nContent-Length: -1\r\n\r\n", &r), RTSP_PARSE_GARBAGE);
  EXPECT_EQ(parse("OPTIONS * RTSP/1.0\r\nContent-Length: 99999999\r\n\r\n", &r),
            RTSP_PARSE_GARBAGE);
  // Two lengths: which one ends the body is anybody's guess. The CSeq after
  // them is still read for the answer. One length given twice is one.
  EXPECT_EQ(parse("OPTIONS * RTSP/1.0\r\nContent-Length: 1\r\nContent-Length: 0\r\n"
                  "CSeq: 4\r\n\r\nx", &r), RTSP_PARSE_GARBAGE);
  EXPECT_STREQ(r.cseq, "4");
  EXPECT_EQ(parse("OPTIONS * RTSP/1.0\r\nContent-Length: 0\r\nContent-Length: x\r\n\r\n", &r),
            RTSP_PARSE_GARBAGE);
  std::string same = "OPTIONS * RTSP/1.0\r\nContent-Length: 2\r\ncontent-length:  2\r\n\r\nab";
  EXPECT_EQ(parse(same, &r), (int)same.size());
  EXPECT_FALSE(r.bad);
  EXPECT_EQ(parse(std::string(100, 'A'), &r, 100), RTSP_PARSE_GARBAGE);
  EXPECT_EQ(parse(std::string(99, 'A'), &r, 100), RTSP_PARSE_MORE);
  // Blank lines between requests are skipped as such.
  EXPECT_EQ(parse("\r\n\r\nOPTIONS", &r), 4);
  EXPECT_EQ(r.method[0], 0);
}

TEST(RtspRequestParse, InterleavedFrames) {
  const uint8_t f[] = {'$', 1, 0, 3, 9, 9, 9, 'O'};
  uint8_t ch = 0;
  EXPECT_EQ(rtsp_interleaved_frame(f, 3, &ch), RTSP_PARSE_MORE);
  EXPECT_EQ(rtsp_interleaved_frame(f, 6, &ch), RTSP_PARSE_MORE);
  EXPECT_EQ(rtsp_interleaved_frame(f, sizeof f, &ch), 7);
  EXPECT_EQ(ch, 1);
  EXPECT_EQ(rtsp_interleaved_frame(f + 7, 1, &ch), RTSP_PARSE_GARBAGE);
}

TEST(RtspRequestParse, TransportHeaders) {
  RtspTransport t;
  ASSERT_TRUE(rtsp_parse_transport("RTP/AVP;unicast;client_port=5000-5001", &t));
  EXPECT_EQ(t.lower, RTSP_TRANSPORT_UDP);
  EXPECT_FALSE(t.multicast);
  EXPECT_TRUE(t.have_client_ports);
  EXPECT_EQ(t.client_rtp_port, 5000);
  EXPECT_EQ(t.client_rtcp_port, 5001);
  ASSERT_TRUE(rtsp_parse_transport("x-real-rdt/udp, RTP/AVP/TCP;interleaved=4", &t));
  EXPECT_EQ(t.lower, RTSP_TRANSPORT_TCP);
  EXPECT_EQ(t.rtp_channel, 4);
  EXPECT_EQ(t.rtcp_channel, 5);
  ASSERT_TRUE(rtsp_parse_transport("RTP/AVP/UDP;multicast", &t));
  EXPECT_TRUE(t.multicast);
  ASSERT_TRUE(rtsp_parse_transport("RTP/AVP;unicast;client_port=70000-70001", &t));
  EXPECT_FALSE(t.have_client_ports);
  ASSERT_TRUE(rtsp_parse_transport("RTP/AVP/TCP;interleaved=255", &t));
  EXPECT_FALSE(t.have_interleaved) << "channel 256 does not exist";
  EXPECT_FALSE(rtsp_parse_transport("RAW/RAW/UDP;unicast", &t));
  EXPECT_FALSE(rtsp_parse_transport("", &t));
}

TEST(RtspRequestParse, DigestResponseIsChecked) {
  // RFC 2617 3.5's computation with the RTSP method and no qop.
  UserAuthenticationDatabase db("testrealm@host.com");
  db.addUserRecord("Mufasa", "Circle Of Life");
  HttpDigest d;
  ASSERT_TRUE(digest_parse(
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
      "response=\"670fd8c2df070c60b045671b8b24ff02\"",
      &d));
  EXPECT_STREQ(d.username, "Mufasa");
  EXPECT_TRUE(rtsp_digest_check(db, d, "GET", "dcd98b7102dd2f0e8b11d0f600bfb0c093"));
  EXPECT_FALSE(rtsp_digest_check(db, d, "GET", "another-nonce"));
  EXPECT_FALSE(rtsp_digest_check(db, d, "DESCRIBE", "dcd98b7102dd2f0e8b11d0f600bfb0c093"));
  db.addUserRecord("Mufasa", "Circle of Life");
  EXPECT_FALSE(rtsp_digest_check(db, d, "GET", "dcd98b7102dd2f0e8b11d0f600bfb0c093"));
}

// Every Require header counts; what could break the reply's header is left
// out, and only whole tags are listed.
TEST(RtspRequestParse, OptionTagsOfEveryHeaderAreListed) {
  std::string s =
      "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nRequire: a.b ,, c\x01" "d\t\r\n"
      "Proxy-Require: p\r\nREQUIRE:\x7F\r\nX-Require: no\r\n"
      "require: " + std::string(300, 'z') + ", e\r\n\r\n";
  RtspRequest r;
  ASSERT_GT(parse(s, &r), 0);
  char out[64];
  memset(out, '#', sizeof out);
  EXPECT_EQ(rtsp_request_options(&r, "Require", out, sizeof out), 4u);
  EXPECT_STREQ(out, "a.b, cd");
  EXPECT_EQ(rtsp_request_options(&r, "Require", out, 4), 4u);
  EXPECT_STREQ(out, "a.b");
  EXPECT_EQ(rtsp_request_options(&r, "Require", out, 3), 4u);
  EXPECT_STREQ(out, "");
  // A name counts whole, blanks before its colon aside, and a tag of any
  // length is listed whole when the room allows.
  const std::string names = "OPTIONS * RTSP/1.0\r\nCSeq: 2\r\nSession: 7\r\nRequires: no\r\n"
                            "Require :k,m\r\nRequire:" + std::string(200, 'y') + "\r\n\r\n";
  ASSERT_GT(parse(names, &r), 0);
  char room[512];
  memset(room, '#', sizeof room);
  EXPECT_EQ(rtsp_request_options(&r, "Require", room, sizeof room), 3u);
  EXPECT_EQ(std::string(room), "k, m, " + std::string(200, 'y'));
  // The request points into its text, which must outlive it.
  const std::string blank = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nRequire:  \r\n\r\n", empty = "\r\n";
  ASSERT_GT(parse(blank, &r), 0);
  EXPECT_EQ(rtsp_request_options(&r, "Require", out, sizeof out), 0u);
  // Blank lines between requests parse as a request without headers.
  ASSERT_EQ(parse(empty, &r), 2);
  EXPECT_EQ(rtsp_request_options(&r, "Require", out, sizeof out), 0u);
}

}  // namespace
