// The "rtp" thread serving real clients: ffprobe, ffmpeg and GStreamer
// play the video and TS sessions over TCP and UDP, Digest authentication
// follows the users of the parameters, and the server survives malformed
// requests and foreign session ids.
#include <memory>

#include "rtsp_test_support.h"
#include "streaming/rtsp/digest_auth.h"

namespace {

class RtspClients : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    test_clip();
    ParamBlock *p = get_param_block();
    *p = *param_default_block();
    memset(p->users, 0, sizeof p->users);
    p->audio.channels = 2;   // the clip's AAC is stereo
    port_ = free_tcp_port();
    p->rtsp_port = port_;
    stream_mux_init();
    // Channel A publishes each NAL unit as an entry, channel B whole access
    // units as the encoder does (which the TS sessions need: one PES each).
    v1_ = std::make_unique<TestProducer>(VIDEO_STREAM1, TestProducer::VIDEO_NALS);
    v2_ = std::make_unique<TestProducer>(VIDEO_STREAM2, TestProducer::VIDEO_AUS);
    aac_ = std::make_unique<TestProducer>(AAC_STREAM, TestProducer::AAC, 1u << 20, 2048);
  }
  void start() {
    rtp_ = std::make_unique<RtpThread>();
    ASSERT_TRUE(RtpThread::wait_listening(port_));
  }
  void TearDown() override {
    rtp_.reset();
    v1_.reset();
    v2_.reset();
    aac_.reset();
    stream_register_clear();
    stream_mux_ops = StreamMuxOps{};
  }
  void add_user(int i, const char *name, const char *password, uint32_t permission) {
    UserRecord &u = get_param_block()->users[i];
    snprintf(u.name, sizeof u.name, "%s", name);
    snprintf(u.password, sizeof u.password, "%s", password);
    u.permission = permission;
  }
  // ffprobe's "codec,width,height" lines of url, and its exit status.
  int probe(const std::string &url, const char *transport, std::string *out) {
    return run_tool({"/usr/bin/ffprobe", "-v", "error", "-timeout", "15000000", "-rtsp_transport",
                     transport, "-show_entries", "stream=codec_name,width,height", "-of",
                     "csv=p=0", url.c_str()},
                    out);
  }
  // ffmpeg decoding seconds of url to nothing: its errors ("" when none).
  // Where ffmpeg saw RTP datagrams go missing (a busy host's socket buffer
  // ran over), the decoders' and demuxer's complaints about the gap are left
  // out; the connection's and protocol's still count.
  std::string decode(const std::string &url, const char *transport, const char *seconds) {
    std::string out;
    int rc = run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "level+warning", "-timeout", "15000000",
                       "-rtsp_transport", transport, "-i", url.c_str(), "-t", seconds, "-f",
                       "null", "-"},
                      &out);
    bool lost = out.find("RTP: missed") != std::string::npos ||
                out.find("max delay reached") != std::string::npos;
    std::string errors;
    for (size_t at = 0; at < out.size();) {
      size_t nl = out.find('\n', at);
      std::string line = out.substr(at, nl == std::string::npos ? std::string::npos : nl + 1 - at);
      at = nl == std::string::npos ? out.size() : nl + 1;
      if (line.find("[error]") == std::string::npos && line.find("[fatal]") == std::string::npos &&
          line.find("[panic]") == std::string::npos)
        continue;
      bool gap = false;
      for (const char *from : {"[h264 @", "[aac @", "[mpegts @", "[null @", "non monotonically increasing dts"})
        gap = gap || line.find(from) != std::string::npos;
      if (!(lost && gap)) errors += line;
    }
    if (rc != 0) errors += "exit " + std::to_string(rc);
    return errors;
  }

  uint16_t port_ = 0;
  std::unique_ptr<TestProducer> v1_, v2_, aac_;
  std::unique_ptr<RtpThread> rtp_;
};

TEST_F(RtspClients, FfprobeSeesEveryVideoSessionOverTcpAndUdp) {
  start();
  for (const char *transport : {"tcp", "udp"}) {
    for (const char *name : {"streamA.h264", "streamB.h264"}) {
      std::string out;
      EXPECT_EQ(probe(rtsp_url(port_, name), transport, &out), 0) << name << " " << transport << out;
      EXPECT_NE(out.find("h264,320,240"), std::string::npos) << name << " " << transport << out;
    }
    std::string out;
    EXPECT_EQ(probe(rtsp_url(port_, "streamB.ts"), transport, &out), 0) << transport << out;
    EXPECT_NE(out.find("h264,320,240"), std::string::npos) << transport << out;
    EXPECT_NE(out.find("aac"), std::string::npos) << transport << out;
  }
}

TEST_F(RtspClients, FfmpegDecodesWithoutErrors) {
  start();
  EXPECT_EQ(decode(rtsp_url(port_, "streamA.h264"), "tcp", "3"), "");
  EXPECT_EQ(decode(rtsp_url(port_, "streamB.h264"), "udp", "3"), "");
  EXPECT_EQ(decode(rtsp_url(port_, "streamB.ts"), "tcp", "3"), "");
  EXPECT_EQ(decode(rtsp_url(port_, "streamA.h264_aac"), "tcp", "3"), "");
}

TEST_F(RtspClients, AacSessionAnnouncesTheRealRateAndChannels) {
  start();
  RawClient c(port_);
  std::string r = c.request("DESCRIBE " + rtsp_url(port_, "streamC.aac") +
                            " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
  ASSERT_EQ(status_of(r), 200) << r;
  EXPECT_NE(r.find("a=rtpmap:96 MPEG4-GENERIC/48000/2\r\n"), std::string::npos) << r;
  EXPECT_NE(r.find("mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;config=1190"),
            std::string::npos)
      << r;
  std::string out;
  EXPECT_EQ(probe(rtsp_url(port_, "streamC.aac"), "tcp", &out), 0) << out;
  EXPECT_NE(out.find("aac"), std::string::npos) << out;
}

TEST_F(RtspClients, DigestAuthenticationFollowsTheUsers) {
  add_user(0, "admin", "secret", 5);
  add_user(1, "nobody", "x", 0);   // permission 0 does not qualify
  start();
  std::string out;
  EXPECT_EQ(probe(rtsp_url(port_, "streamA.h264", "admin:secret"), "tcp", &out), 0) << out;
  EXPECT_NE(out.find("h264"), std::string::npos) << out;
  EXPECT_NE(probe(rtsp_url(port_, "streamA.h264"), "tcp", &out), 0);
  EXPECT_NE(out.find("401"), std::string::npos) << out;
  EXPECT_NE(probe(rtsp_url(port_, "streamA.h264", "admin:wrong"), "tcp", &out), 0);
  EXPECT_NE(probe(rtsp_url(port_, "streamA.h264", "nobody:x"), "tcp", &out), 0);
  EXPECT_EQ(decode(rtsp_url(port_, "streamB.h264", "admin:secret"), "udp", "2"), "");
}

TEST_F(RtspClients, NoQualifyingUserOrDisabledAuthAsksForNone) {
  add_user(0, "viewer", "pw", 0);
  start();
  RawClient c(port_);
  std::string r = c.request("DESCRIBE " + rtsp_url(port_, "streamA.h264") +
                            " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_EQ(status_of(r), 200) << r;
  rtp_.reset();

  add_user(0, "admin", "secret", 5);
  get_param_block()->rtsp_disable_auth = 1;
  start();
  RawClient d(port_);
  r = d.request("DESCRIBE " + rtsp_url(port_, "streamA.h264") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_EQ(status_of(r), 200) << r;
}

// SETUP over TCP and PLAY on a raw connection; returns the session id.
std::string play_tcp(RawClient &c, uint16_t port, const char *name) {
  std::string url = rtsp_url(port, name);
  std::string r = c.request("SETUP " + url + "/track1 RTSP/1.0\r\nCSeq: 2\r\n"
                            "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  EXPECT_EQ(status_of(r), 200) << r;
  std::string session = header_of(r, "Session");
  session = session.substr(0, session.find(';'));
  r = c.request("PLAY " + url + "/ RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n");
  EXPECT_EQ(status_of(r), 200) << r;
  EXPECT_NE(header_of(r, "RTP-Info").find("seq="), std::string::npos) << r;
  return session;
}

// Interleaved bytes that came within ms (counted in 100 ms polls), or as soon as more
// than enough came: a stream that flows is given time on a loaded host.
size_t interleaved_bytes(RawClient &c, int ms, size_t enough = SIZE_MAX) {
  size_t n = c.pending().size();
  c.pending().clear();
  for (int waited = 0; waited < ms && n <= enough; waited += 100) {
    struct pollfd pf = {c.fd(), POLLIN, 0};
    if (poll(&pf, 1, 100) <= 0) continue;
    char b[65536];
    ssize_t k = recv(c.fd(), b, sizeof b, 0);
    if (k <= 0) break;
    n += (size_t)k;
  }
  return n;
}

TEST_F(RtspClients, KeepAliveAndSessionsOfOtherConnections) {
  start();
  RawClient a(port_), b(port_);
  std::string session = play_tcp(a, port_, "streamA.h264");
  EXPECT_GT(interleaved_bytes(a, 10000, 1000), 1000u);

  std::string url = rtsp_url(port_, "streamA.h264");
  // Another connection may not use the session id.
  for (const char *m : {"PLAY", "PAUSE", "TEARDOWN", "GET_PARAMETER"}) {
    std::string r = b.request(std::string(m) + " " + url + "/ RTSP/1.0\r\nCSeq: 7\r\nSession: " +
                              session + "\r\n\r\n");
    EXPECT_EQ(status_of(r), 454) << m << r;
  }
  // The owner keeps it alive and still receives.
  a.pending().clear();
  ASSERT_TRUE(a.send_text("GET_PARAMETER " + url + "/ RTSP/1.0\r\nCSeq: 4\r\nSession: " +
                          session + "\r\n\r\n"));
  EXPECT_GT(interleaved_bytes(a, 10000, 1000), 1000u);
  ASSERT_TRUE(a.send_text("TEARDOWN " + url + "/ RTSP/1.0\r\nCSeq: 5\r\nSession: " + session +
                          "\r\n\r\n"));
  interleaved_bytes(a, 300);
  RawClient c(port_);
  std::string r = c.request("OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\nSession: " + session +
                            "\r\n\r\n");
  EXPECT_EQ(status_of(r), 454) << "torn down: " << r;
}

TEST_F(RtspClients, MalformedRequestsGet400AndTheServerGoesOn) {
  start();
  std::string url = rtsp_url(port_, "streamA.h264");
  RawClient c(port_);
  ASSERT_TRUE(c.ok());
  const char *bad[] = {
      "GARBAGE\r\n\r\n",
      "DESCRIBE\r\nCSeq: 1\r\n\r\n",
      "describe rtsp://x/ RTSP/1.0\r\nCSeq: 2\r\n\r\n",
      "OPTIONS * RTSP/1.0\r\nno colon here\r\nCSeq: 3\r\n\r\n",
      "OPTIONS * RTSP/1.0\r\n\r\n",   // no CSeq
      "SETUP rtsp://127.0.0.1/streamA.h264/track1 RTSP/1.0\r\nCSeq: 4\r\nTransport: nonsense\r\n\r\n",
  };
  const int want[] = {400, 400, 400, 400, 400, 461};
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; i++) {
    std::string r = c.request(bad[i]);
    EXPECT_EQ(status_of(r), want[i]) << bad[i] << r;
  }
  EXPECT_EQ(status_of(c.request("OPTIONS " + url + " RTSP/1.0\r\nCSeq: 9\r\n\r\n")), 200);
  EXPECT_EQ(status_of(c.request("SETUP " + url + "/track1 RTSP/1.0\r\nCSeq: 10\r\n"
                                "Transport: RTP/AVP;unicast\r\n\r\n")), 461);
  EXPECT_EQ(status_of(c.request("PLAY " + url + " RTSP/1.0\r\nCSeq: 11\r\n\r\n")), 454);
  EXPECT_EQ(status_of(c.request("DESCRIBE " + rtsp_url(port_, "nosuch") +
                                " RTSP/1.0\r\nCSeq: 12\r\n\r\n")), 404);
  EXPECT_EQ(status_of(c.request("FLY " + url + " RTSP/1.0\r\nCSeq: 13\r\n\r\n")), 501);

  // A header block that never ends is refused and the connection closed.
  RawClient big(port_);
  std::string flood = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX: " + std::string(12000, 'a');
  big.send_text(flood);
  EXPECT_EQ(status_of(big.response()), 400);
  EXPECT_TRUE(big.closed_by_peer());

  // Two body lengths leave the end of the request unknown: 400 and the
  // connection goes. The same length twice is one length.
  RawClient twice(port_);
  std::string r = twice.request("SET_PARAMETER " + url + " RTSP/1.0\r\nContent-Length: 2\r\n"
                                "CSeq: 5\r\nContent-Length: 9\r\n\r\nab");
  EXPECT_EQ(r, "RTSP/1.0 400 Bad Request\r\nCSeq: 5\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(twice.closed_by_peer());
  EXPECT_EQ(status_of(c.request("SET_PARAMETER " + url + " RTSP/1.0\r\nCSeq: 14\r\n"
                                "Content-Length: 2\r\ncontent-length: 2\r\n\r\nab")), 200);
  EXPECT_EQ(status_of(c.request("OPTIONS " + url + " RTSP/1.0\r\nCSeq: 15\r\n\r\n")), 200);

  // Binary noise too; then the server still serves.
  RawClient noise(port_);
  std::string junk;
  for (int i = 0; i < 20000; i++) junk += (char)(i * 7919 % 251);
  noise.send_text(junk);
  std::string out;
  EXPECT_EQ(probe(url, "tcp", &out), 0) << out;
}

TEST_F(RtspClients, UserReloadKeepsClientsWhilePortChangeDropsThem) {
  add_user(0, "admin", "secret", 5);
  start();
  // A client authenticated by Digest, by hand.
  RawClient a(port_);
  std::string url = rtsp_url(port_, "streamB.h264");
  std::string r = a.request("OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_EQ(status_of(r), 200);
  std::string out;
  EXPECT_EQ(probe(rtsp_url(port_, "streamB.h264", "admin:secret"), "tcp", &out), 0) << out;

  // An unauthenticated TCP player, with authentication off for it.
  rtp_.reset();
  memset(get_param_block()->users, 0, sizeof get_param_block()->users);
  start();
  RawClient p(port_);
  std::string session = play_tcp(p, port_, "streamB.h264");
  ASSERT_GT(interleaved_bytes(p, 10000, 1000), 1000u);

  __atomic_store_n(&rtsp_watch, (uint8_t)1, __ATOMIC_RELEASE);   // users reloaded: the player goes on
  usleep(300000);
  EXPECT_GT(interleaved_bytes(p, 10000, 1000), 1000u);
  EXPECT_EQ(status_of(p.request("GET_PARAMETER " + url + "/ RTSP/1.0\r\nCSeq: 8\r\nSession: " +
                                session + "\r\n\r\n")),
            200);

  uint16_t old_port = port_;
  port_ = free_tcp_port();
  get_param_block()->rtsp_port = port_;
  __atomic_store_n(&rtsp_watch, (uint8_t)2, __ATOMIC_RELEASE);   // port changed: every client is dropped
  EXPECT_TRUE(p.closed_by_peer(5000) || interleaved_bytes(p, 1000) == 0);
  ASSERT_TRUE(RtpThread::wait_listening(port_));
  EXPECT_LT(connect_local(old_port), 0);
  EXPECT_EQ(probe(rtsp_url(port_, "streamB.h264"), "tcp", &out), 0) << out;
}

TEST_F(RtspClients, DescribeOfAStreamWithoutDataLeavesOnRestartAndQuit) {
  // Stream 2 has no producer at all: its parameter sets never come.
  stream_register(nullptr, nullptr, VIDEO_STREAM2);
  v2_.reset();
  size_t created = count_of(held_log(), "RTSP server created on port");
  start();
  RawClient c(port_);
  c.send_text("DESCRIBE " + rtsp_url(port_, "streamB.h264") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  usleep(500000);
  __atomic_store_n(&rtsp_watch, (uint8_t)2, __ATOMIC_RELEASE);
  std::string r = c.response(8000);
  EXPECT_EQ(status_of(r), 200) << r;
  EXPECT_EQ(r.find("sprop-parameter-sets"), std::string::npos) << r;
  // The answer may come before the old server is gone: the new one is
  // awaited by its log line (a bind the port refused is tried again after
  // ten seconds).
  bool again = false;
  for (int i = 0; i < 1000 && !again; i++) {
    again = count_of(held_log(), "RTSP server created on port") >= created + 2;
    if (!again) usleep(20000);
  }
  ASSERT_TRUE(again) << held_log();
  ASSERT_TRUE(RtpThread::wait_listening(port_));
  std::string out;
  EXPECT_EQ(probe(rtsp_url(port_, "streamA.h264"), "tcp", &out), 0) << out;
  // The stream that had no data is asked again by the next DESCRIBE.
  RawClient d(port_);
  d.send_text("DESCRIBE " + rtsp_url(port_, "streamB.h264") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  usleep(300000);
  rtp_.reset();   // quit while it waits: the thread ends
  EXPECT_EQ(status_of(d.response(3000)), 200);
}

TEST_F(RtspClients, GStreamerPlaysTheVideoSessions) {
  if (!tool_exists("/usr/bin/gst-launch-1.0")) GTEST_SKIP() << "GStreamer not installed";
  add_user(0, "admin", "secret", 5);
  start();
  for (const char *proto : {"tcp", "udp"}) {
    for (const char *name : {"streamA.h264", "streamB.h264"}) {
      std::string loc = "location=" + rtsp_url(port_, name);
      std::string protos = std::string("protocols=") + proto;
      std::string out;
      // gst-launch has no time limit of its own; the program is found by
      // PATH since absolute arguments would be moved into the test root.
      run_tool({"/usr/bin/timeout", "30", "gst-launch-1.0", "rtspsrc", loc.c_str(),
                protos.c_str(), "user-id=admin", "user-pw=secret", "!", "rtph264depay", "!",
                "fakesink", "num-buffers=40"},
               &out);
      // The end of stream comes once 40 depayloaded frames reached the sink.
      // (rtspsrc may complain while it tears down after that.)
      size_t eos = out.find("Got EOS from element \"pipeline0\"");
      EXPECT_NE(eos, std::string::npos) << name << " " << proto << ": " << out;
      EXPECT_EQ(out.substr(0, eos).find("ERROR"), std::string::npos) << name << " " << proto << ": " << out;
    }
  }
}

}  // namespace

TEST_F(RtspClients, DigestResponseCountsOnlyForTheUrlItNames) {
  add_user(0, "admin", "secret", 5);
  start();
  RawClient c(port_);
  std::string a = rtsp_url(port_, "streamA.h264"), b = rtsp_url(port_, "streamB.h264");
  std::string r = c.request("DESCRIBE " + a + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  ASSERT_EQ(status_of(r), 401) << r;
  std::string www = header_of(r, "WWW-Authenticate");
  size_t p = www.find("nonce=\"");
  ASSERT_NE(p, std::string::npos) << www;
  std::string nonce = www.substr(p + 7, www.find('"', p + 7) - p - 7);
  auto md5 = [](const std::string &s) {
    char out[33];
    digest_md5_hex(s.data(), s.size(), out);
    return std::string(out);
  };
  auto auth = [&](const std::string &uri) {
    std::string resp = md5(md5("admin:" RTSP_DEFAULT_REALM ":secret") + ":" + nonce + ":" +
                           md5("DESCRIBE:" + uri));
    return "Authorization: Digest username=\"admin\", realm=\"" RTSP_DEFAULT_REALM
           "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\", response=\"" + resp + "\"\r\n";
  };
  // A response made for stream B does not open stream A on this connection.
  r = c.request("DESCRIBE " + a + " RTSP/1.0\r\nCSeq: 2\r\n" + auth(b) + "\r\n");
  EXPECT_EQ(status_of(r), 401) << r;
  r = c.request("DESCRIBE " + b + " RTSP/1.0\r\nCSeq: 3\r\n" + auth(b) + "\r\n");
  EXPECT_EQ(status_of(r), 200) << r;
}
