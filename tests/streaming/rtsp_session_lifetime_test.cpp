// How long client sessions and connections live on the RTSP server:
// sessions reclaimed after the reclamation time without a sign of their
// client, kept by RTCP receiver reports, ended with their connection; a
// shared source that closes when its last client leaves, with an RTCP BYE to
// that client; connections without a session closed when idle; DESCRIBEs
// that must wait for a description waiting one at a time per stream; a
// listener out of descriptors.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sys/resource.h>
#include <thread>

#include "rtsp_test_support.h"
#include "rtsp_test_track.h"

namespace {

std::atomic<int> g_live_sources{0};

// A frame of 100 bytes every 20 ms.
class TickSource : public FramedSource {
 public:
  explicit TickSource(UsageEnvironment &env) : FramedSource(env) { g_live_sources++; }
  ~TickSource() override {
    envir().taskScheduler().unscheduleDelayedTask(task_);
    g_live_sources--;
  }

 protected:
  void doGetNextFrame() override {
    task_ = envir().taskScheduler().scheduleDelayedTask(20000, deliver, this);
  }
  void doStopGettingFrames() override { envir().taskScheduler().unscheduleDelayedTask(task_); }

 private:
  static void deliver(void *d) {
    TickSource *s = static_cast<TickSource *>(d);
    s->task_ = nullptr;
    memset(s->fTo, 0x55, 100);
    s->fFrameSize = 100;
    gettimeofday(&s->fPresentationTime, nullptr);
    afterGetting(s);
  }
  TaskToken task_ = nullptr;
};

class TickTrack : public TestTrack<TickSource> {
 public:
  explicit TickTrack(UsageEnvironment &env) : TestTrack(env, "X-TICK", 40) {}
};

// A track whose description is known only after 300 ms of running the event
// loop, as an H.264 track's is once its parameter sets arrive. Counts how
// many of those loops run inside each other.
int g_depth = 0, g_max_depth = 0;
volatile uint8_t g_learned = 0;
TaskToken g_learn_task = nullptr;

class SlowSubsession : public TickTrack {
 public:
  explicit SlowSubsession(UsageEnvironment &env) : TickTrack(env) {}

 protected:
  const char *getAuxSDPLine(RTPSink *, FramedSource *) override {
    if (!g_learned && !g_learn_task)
      g_learn_task = envir().taskScheduler().scheduleDelayedTask(
          300000, [](void *) { g_learned = 1; }, nullptr);
    g_max_depth = std::max(g_max_depth, ++g_depth);
    envir().taskScheduler().doEventLoop(&g_learned);
    g_depth--;
    return "a=fmtp:96 learned=1\r\n";
  }
};

class SessionLifetime : public ::testing::Test {
 protected:
  void SetUp() override {
    sched_ = BasicTaskScheduler::createNew(10000);
    env_ = BasicUsageEnvironment::createNew(*sched_);
    port_ = free_tcp_port();
    server_ = RTSPServer::createNew(*env_, port_, nullptr, 1);
    ASSERT_NE(server_, nullptr);
    ServerMediaSession *sms = ServerMediaSession::createNew(*env_, "tick", "tick", "test");
    sms->addSubsession(new TickTrack(*env_));
    server_->addServerMediaSession(sms);
    sms = ServerMediaSession::createNew(*env_, "slow", "slow", "test");
    sms->addSubsession(new SlowSubsession(*env_));
    server_->addServerMediaSession(sms);
    loop_ = std::thread([this] { sched_->doEventLoop(&stop_); });
  }
  void TearDown() override {
    if (!server_) return;
    __atomic_store_n(&stop_, (uint8_t)1, __ATOMIC_RELEASE);
    loop_.join();
    Medium::close(server_);
    env_->reclaim();
    delete sched_;
    EXPECT_EQ(g_live_sources.load(), 0);
  }
  std::string setup(RawClient &c, const std::string &transport) {
    std::string r = c.request("SETUP " + rtsp_url(port_, "tick") + " RTSP/1.0\r\nCSeq: 1\r\n"
                              "Transport: " + transport + "\r\n\r\n");
    EXPECT_EQ(status_of(r), 200) << r;
    std::string tr = header_of(r, "Transport");
    size_t at = tr.find("server_port=");
    server_port_ = at == std::string::npos ? 0 : (uint16_t)atoi(tr.c_str() + at + 12);
    std::string s = header_of(r, "Session");
    EXPECT_NE(s.find(";timeout=1"), std::string::npos) << s;
    return s.substr(0, s.find(';'));
  }
  int play(RawClient &c, const std::string &session) {
    return status_of(c.request("PLAY " + rtsp_url(port_, "tick") + " RTSP/1.0\r\nCSeq: 2\r\n"
                               "Session: " + session + "\r\n\r\n"));
  }
  int keepalive(RawClient &c, const std::string &session) {
    return status_of(c.request("GET_PARAMETER " + rtsp_url(port_, "tick") +
                               " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n"));
  }
  // Waits up to 5 s for the live sources to reach n.
  static bool sources_become(int n) {
    for (int i = 0; i < 500 && g_live_sources.load() != n; i++) usleep(10000);
    return g_live_sources.load() == n;
  }

  TaskScheduler *sched_ = nullptr;
  UsageEnvironment *env_ = nullptr;
  RTSPServer *server_ = nullptr;
  uint16_t port_ = 0, server_port_ = 0;
  volatile uint8_t stop_ = 0;
  std::thread loop_;
};

struct Udp {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  uint16_t port = 0;
  Udp() {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&a, sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, (struct sockaddr *)&a, &l);
    port = ntohs(a.sin_port);
  }
  ~Udp() { close(fd); }
  // Datagrams arriving within ms.
  int count(int ms) {
    int n = 0;
    for (int waited = 0; waited < ms; waited += 10) {
      struct pollfd pf = {fd, POLLIN, 0};
      if (poll(&pf, 1, 10) <= 0) continue;
      char b[2000];
      while (recv(fd, b, sizeof b, MSG_DONTWAIT) > 0) n++;
    }
    return n;
  }
};

TEST_F(SessionLifetime, SilentSessionIsReclaimedAndItsSourceClosed) {
  Udp rtp, rtcp;
  RawClient c(port_);
  std::string session = setup(c, "RTP/AVP;unicast;client_port=" + std::to_string(rtp.port) + "-" +
                                     std::to_string(rtcp.port));
  ASSERT_EQ(play(c, session), 200);
  EXPECT_GT(rtp.count(300), 5);
  EXPECT_TRUE(sources_become(0)) << "reclaimed after 1 s of silence";
  EXPECT_EQ(keepalive(c, session), 454);
  rtp.count(100);
  EXPECT_EQ(rtp.count(300), 0);
}

TEST_F(SessionLifetime, ReceiverReportsAndKeepAlivesKeepASessionAlive) {
  Udp rtp, rtcp, rtcp2;
  RawClient c(port_);
  std::string session = setup(c, "RTP/AVP;unicast;client_port=" + std::to_string(rtp.port) + "-" +
                                     std::to_string(rtcp.port));
  ASSERT_EQ(play(c, session), 200);
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons((uint16_t)(server_port_ + 1));
  const uint8_t rr[8] = {0x80, 201, 0, 1, 1, 2, 3, 4};
  for (int i = 0; i < 10; i++) {
    sendto(rtcp.fd, rr, sizeof rr, 0, (struct sockaddr *)&to, sizeof to);
    // Reports from a port the client did not name count for nothing.
    sendto(rtcp2.fd, rr, sizeof rr, 0, (struct sockaddr *)&to, sizeof to);
    usleep(250000);
  }
  EXPECT_EQ(g_live_sources.load(), 1);
  EXPECT_GT(rtp.count(200), 3);
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(keepalive(c, session), 200);
    usleep(400000);
  }
  EXPECT_EQ(g_live_sources.load(), 1);
}

TEST_F(SessionLifetime, ClosingTheConnectionEndsItsSessions) {
  {
    RawClient c(port_);
    std::string session = setup(c, "RTP/AVP/TCP;unicast;interleaved=0-1");
    ASSERT_EQ(play(c, session), 200);
    EXPECT_EQ(g_live_sources.load(), 1);
  }
  EXPECT_TRUE(sources_become(0));
}

TEST_F(SessionLifetime, SharedSourceClosesWhenTheLastClientLeaves) {
  RawClient a(port_), b(port_);
  Udp rtp, rtcp;
  std::string sa = setup(a, "RTP/AVP/TCP;unicast;interleaved=0-1");
  std::string sb = setup(b, "RTP/AVP;unicast;client_port=" + std::to_string(rtp.port) + "-" +
                                std::to_string(rtcp.port));
  ASSERT_EQ(play(a, sa), 200);
  ASSERT_EQ(play(b, sb), 200);
  EXPECT_EQ(g_live_sources.load(), 1) << "one source for both";
  EXPECT_GT(rtp.count(200), 3);
  std::string r = a.request("TEARDOWN " + rtsp_url(port_, "tick") +
                            " RTSP/1.0\r\nCSeq: 9\r\nSession: " + sa + "\r\n\r\n");
  EXPECT_EQ(status_of(r), 200) << r;
  EXPECT_EQ(g_live_sources.load(), 1);
  EXPECT_GT(rtp.count(200), 3) << "the other client still receives";
  EXPECT_EQ(status_of(b.request("PAUSE " + rtsp_url(port_, "tick") +
                                " RTSP/1.0\r\nCSeq: 9\r\nSession: " + sb + "\r\n\r\n")), 200);
  rtp.count(100);
  EXPECT_EQ(rtp.count(200), 0) << "paused";
  EXPECT_EQ(status_of(b.request("TEARDOWN " + rtsp_url(port_, "tick") +
                                " RTSP/1.0\r\nCSeq: 9\r\nSession: " + sb + "\r\n\r\n")), 200);
  EXPECT_TRUE(sources_become(0));
}

TEST_F(SessionLifetime, LastClientGetsTheRtcpByeWhenItLeaves) {
  Udp rtp, rtcp;
  RawClient c(port_);
  std::string session = setup(c, "RTP/AVP;unicast;client_port=" + std::to_string(rtp.port) + "-" +
                                     std::to_string(rtcp.port));
  ASSERT_EQ(play(c, session), 200);
  EXPECT_GT(rtp.count(200), 3);
  rtcp.count(50);
  EXPECT_EQ(status_of(c.request("TEARDOWN " + rtsp_url(port_, "tick") +
                                " RTSP/1.0\r\nCSeq: 9\r\nSession: " + session + "\r\n\r\n")), 200);
  bool bye = false;
  for (int i = 0; i < 100 && !bye; i++) {
    struct pollfd pf = {rtcp.fd, POLLIN, 0};
    if (poll(&pf, 1, 10) <= 0) continue;
    uint8_t b[1500];
    ssize_t n = recv(rtcp.fd, b, sizeof b, 0);
    // A compound packet: each part's length is in 32-bit words less one.
    for (ssize_t at = 0; at + 4 <= n; at += 4 * ((b[at + 2] << 8 | b[at + 3]) + 1))
      if (b[at + 1] == 203) bye = true;
  }
  EXPECT_TRUE(bye);
}

TEST_F(SessionLifetime, IdleConnectionWithoutSessionIsClosed) {
  RawClient idle(port_), player(port_);
  std::string session = setup(player, "RTP/AVP/TCP;unicast;interleaved=0-1");
  // The reclamation time is 1 s here; the player keeps its session.
  bool closed = false;
  for (int i = 0; i < 10 && !closed; i++) {
    EXPECT_EQ(keepalive(player, session), 200);
    closed = idle.closed_by_peer(300);
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(keepalive(player, session), 200);
  EXPECT_EQ(server_->numConnections(), 1u);
}

TEST_F(SessionLifetime, DescribesWaitingForADescriptionNestOneLoopPerStream) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 8; i++) {
    clients.emplace_back(new RawClient(port_));
    ASSERT_TRUE(clients.back()->send_text("DESCRIBE " + rtsp_url(port_, "slow") +
                                          " RTSP/1.0\r\nCSeq: " + std::to_string(i + 1) +
                                          "\r\n\r\n"));
    usleep(10000);
  }
  for (int i = 0; i < 8; i++) {
    std::string r = clients[i]->response();
    EXPECT_EQ(status_of(r), 200) << r;
    EXPECT_EQ(header_of(r, "CSeq"), std::to_string(i + 1));
    EXPECT_NE(r.find("learned=1"), std::string::npos) << r;
  }
  EXPECT_EQ(g_max_depth, 1);
}

// Out of descriptors, the listener pauses instead of spinning on the
// connection it cannot take, says so once however long it lasts, and takes
// the connection once descriptors are free again.
TEST_F(SessionLifetime, OutOfDescriptorsPausesTheListener) {
  int c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(c, 0);
  log_take();
  struct rlimit old, low;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  low = old;
  if (low.rlim_cur > 256) low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;
  for (int fd; (fd = dup(c)) >= 0;) held.push_back(fd);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(c, (struct sockaddr *)&a, sizeof a), 0);
  std::string log;
  for (int i = 0; i < 1000 && log.find("pausing") == std::string::npos; i++) {
    usleep(10000);
    log += log_take();
  }
  // Longer than the pause, so that the listener tries again meanwhile.
  timespec cpu0, cpu1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
  usleep(1500000);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
  log += log_take();
  for (int fd : held) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_NE(log.find("RTSPServer: accept: Too many open files, pausing new connections"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("pausing"), log.rfind("pausing")) << log;
  double cpu_ms = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
  EXPECT_LT(cpu_ms, 600) << "the event loop spun";
  std::string options = "OPTIONS " + rtsp_url(port_, "tick") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
  ASSERT_EQ(send(c, options.data(), options.size(), MSG_NOSIGNAL), (ssize_t)options.size());
  struct pollfd pf = {c, POLLIN, 0};
  char reply[64] = "";
  if (poll(&pf, 1, 15000) == 1) (void)!recv(c, reply, sizeof reply - 1, 0);
  close(c);
  EXPECT_EQ(strncmp(reply, "RTSP/1.0 200 OK", 15), 0) << reply;
  EXPECT_NE(log_take().find("accepting connections again"), std::string::npos);
}

}  // namespace
