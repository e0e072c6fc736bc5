// How long client sessions and connections live on the RTSP server:
// sessions reclaimed after the reclamation time without a sign of their
// client, kept by RTCP receiver reports, ended with their connection; a
// shared source that closes when its last client leaves, with an RTCP BYE to
// that client; connections without a session closed when idle; DESCRIBEs
// that must wait for a description waiting one at a time per stream; a
// listener out of descriptors; the sessions a connection and the server may
// hold; a client that sends requests and never reads their replies, and one
// that stops reading its media; what the server gives back when they go.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <thread>

#include "heap_in_use.h"
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

// As fast as the loop goes: a frame of up to 60000 bytes every millisecond.
std::atomic<unsigned> g_flood_frames{0};

class FloodSource : public FramedSource {
 public:
  explicit FloodSource(UsageEnvironment &env) : FramedSource(env) { g_live_sources++; }
  ~FloodSource() override {
    envir().taskScheduler().unscheduleDelayedTask(task_);
    g_live_sources--;
  }

 protected:
  void doGetNextFrame() override {
    task_ = envir().taskScheduler().scheduleDelayedTask(1000, deliver, this);
  }
  void doStopGettingFrames() override { envir().taskScheduler().unscheduleDelayedTask(task_); }

 private:
  static void deliver(void *d) {
    FloodSource *s = static_cast<FloodSource *>(d);
    s->task_ = nullptr;
    s->fFrameSize = s->fMaxSize < 60000 ? s->fMaxSize : 60000;
    memset(s->fTo, 0x33, s->fFrameSize);
    gettimeofday(&s->fPresentationTime, nullptr);
    g_flood_frames++;
    afterGetting(s);
  }
  TaskToken task_ = nullptr;
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
    server_ = RTSPServer::createNew(*env_, port_, nullptr, reclamation_);
    ASSERT_NE(server_, nullptr);
    ServerMediaSession *sms = ServerMediaSession::createNew(*env_, "tick", "tick", "test");
    sms->addSubsession(new TickTrack(*env_));
    server_->addServerMediaSession(sms);
    sms = ServerMediaSession::createNew(*env_, "slow", "slow", "test");
    sms->addSubsession(new SlowSubsession(*env_));
    server_->addServerMediaSession(sms);
    // A description of many tracks: a long reply to a short request.
    sms = ServerMediaSession::createNew(*env_, "wide", "wide", "test");
    for (int i = 0; i < 16; i++) sms->addSubsession(new TickTrack(*env_));
    server_->addServerMediaSession(sms);
    sms = ServerMediaSession::createNew(*env_, "flood", "flood", "test");
    sms->addSubsession(new TestTrack<FloodSource>(*env_, "X-FLOOD", 480000));
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

  unsigned reclamation_ = 1;
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

namespace {

std::string setup_request(uint16_t port, int cseq) {
  return "SETUP " + rtsp_url(port, "tick") + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
}

// n SETUPs without a Session, pipelined; the status of each answer (and
// the sessions made, when asked).
std::vector<int> pipelined_setups(RawClient &c, uint16_t port, int n,
                                  std::vector<std::string> *sessions = nullptr) {
  std::string all;
  for (int i = 0; i < n; i++) all += setup_request(port, i + 1);
  std::vector<int> codes;
  if (!c.send_text(all)) return codes;
  for (int i = 0; i < n; i++) {
    std::string r = c.response();
    codes.push_back(status_of(r));
    std::string id = header_of(r, "Session");
    if (sessions && !id.empty()) sessions->push_back(id.substr(0, id.find(';')));
  }
  return codes;
}

int count_code(const std::vector<int> &codes, int code) {
  return (int)std::count(codes.begin(), codes.end(), code);
}

}  // namespace

TEST_F(SessionLifetime, AConnectionHoldsAFewSessionsAndIsToldWhenItAsksForMore) {
  log_take();
  RawClient greedy(port_);
  std::vector<int> codes = pipelined_setups(greedy, port_, 300);
  ASSERT_EQ(codes.size(), 300u);
  EXPECT_EQ(count_code(codes, 200), RTSP_MAX_SESSIONS_PER_CONNECTION);
  EXPECT_EQ(count_code(codes, 453), 300 - RTSP_MAX_SESSIONS_PER_CONNECTION);
  std::string r = greedy.request(setup_request(port_, 301));
  EXPECT_EQ(r.compare(0, 34, "RTSP/1.0 453 Not Enough Bandwidth\r"), 0) << r;
  EXPECT_EQ(header_of(r, "CSeq"), "301");
  // Another client is not the greedy one.
  RawClient other(port_);
  EXPECT_EQ(status_of(other.request(setup_request(port_, 1))), 200);
  std::string log = log_take();
  EXPECT_EQ(count_of(log, "refusing more"), 1u) << log;
  EXPECT_EQ(count_of(log, "RTSPServer: 4 sessions on the connection from 127.0.0.1, refusing more"),
            1u) << log;
}

// Silent sessions are reclaimed (the reclamation time is 1 s here), and
// their places with them.
TEST_F(SessionLifetime, ReclaimedSessionsFreeTheirPlaces) {
  RawClient greedy(port_);
  ASSERT_EQ(count_code(pipelined_setups(greedy, port_, 4), 200), 4);
  EXPECT_EQ(status_of(greedy.request(setup_request(port_, 5))), 453);
  bool again = false;
  for (int i = 0; i < 100 && !again; i++) {
    usleep(50000);
    again = status_of(greedy.request(setup_request(port_, 6 + i))) == 200;
  }
  EXPECT_TRUE(again);
}

TEST_F(SessionLifetime, RequiredOptionsAreRefusedByName) {
  RawClient c(port_);
  std::string r = c.request("OPTIONS " + rtsp_url(port_, "tick") +
                            " RTSP/1.0\r\nCSeq: 5\r\nRequire: implicit-play\r\n"
                            "Proxy-Require: gzip\r\nrequire: com.example.a ,x\r\n\r\n");
  EXPECT_EQ(r.compare(0, 34, "RTSP/1.0 551 Option not supported\r"), 0) << r;
  EXPECT_EQ(header_of(r, "CSeq"), "5");
  EXPECT_EQ(header_of(r, "Unsupported"), "implicit-play, com.example.a, x");
  // A SETUP that requires an option sets nothing up.
  r = c.request("SETUP " + rtsp_url(port_, "tick") + " RTSP/1.0\r\nCSeq: 6\r\n"
                "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nRequire: play-basic\r\n\r\n");
  EXPECT_EQ(status_of(r), 551);
  EXPECT_EQ(header_of(r, "Session"), "");
  EXPECT_EQ(g_live_sources.load(), 0);
  EXPECT_EQ(status_of(c.request(setup_request(port_, 7))), 200);
}

class PeerShare : public SessionLifetime {
 protected:
  // Long enough that no session is reclaimed and no connection kept waiting
  // is closed as idle while a test runs.
  PeerShare() { reclamation_ = 65; }
  // Sends as much of text as the server takes until it has taken nothing
  // for a second; returns how much it took.
  static size_t send_until_stalled(int fd, const std::string &text, size_t from) {
    size_t off = from;
    int quiet_ms = 0;
    while (off < text.size() && quiet_ms < 1000) {
      ssize_t w = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) {
        off += (size_t)w;
        quiet_ms = 0;
      } else {
        usleep(10000);
        quiet_ms += 10;
      }
    }
    return off;
  }
};

// The server's sessions are as many as its connections may be: a quarter of
// the descriptors; one address holds a quarter of them. At the ceiling a
// newcomer from an address holding fewer takes the places of the addresses
// holding the most, one at a time, until it holds as many: then it is told
// so. Each client here is a host of its own.
TEST_F(PeerShare, SessionsInAllAreCappedAndSharedOutAmongTheAddresses) {
  struct rlimit old, low;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  // Room for the connections below beside what the process has open.
  unsigned open = 0;
  for (int fd = 0; fd < 4096; fd++) open += fcntl(fd, F_GETFD) >= 0;
  low = old;
  low.rlim_cur = (open + 64) / 4 * 4;
  ASSERT_LE(low.rlim_cur, old.rlim_max);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const int max = (int)RTSPServer::maxClientSessions();
  // The server's share of the descriptors, the same as its connections'.
  EXPECT_EQ(max, (int)listen_guard_max(RTSP_MAX_CONNECTIONS));
  ASSERT_GE(max, 8);
  const int per = std::min(4, (int)RTSPServer::maxAddressSessions());
  const int conns = max / per;
  log_take();
  std::vector<std::unique_ptr<RawClient>> clients;
  std::vector<std::vector<std::string>> ids(conns);
  int ok = 0;
  for (int i = 0; i < conns; i++) {
    clients.emplace_back(new RawClient(port_, 0, 0, (uint8_t)(2 + i)));
    ok += count_code(pipelined_setups(*clients.back(), port_, per, &ids[i]), 200);
  }
  EXPECT_EQ(ok, conns * per);
  // The first host's sessions play (the oldest, which would go first among
  // equals); past the grace all may go, and those that move bytes go last.
  for (const std::string &id : ids[0])
    EXPECT_EQ(status_of(clients[0]->request("PLAY " + rtsp_url(port_, "tick") +
                                            " RTSP/1.0\r\nCSeq: 8\r\nSession: " + id + "\r\n\r\n")),
              200);
  usleep((LISTEN_EVICT_GRACE_MS + 200) * 1000);
  // The newcomer fills what is left, then takes the rest of its places.
  const int taken = per - (max - conns * per);
  RawClient newcomer(port_, 0, 0, (uint8_t)(2 + conns));
  EXPECT_EQ(count_code(pipelined_setups(newcomer, port_, per), 200), per);
  std::string r = newcomer.request(setup_request(port_, per + 1));
  EXPECT_EQ(status_of(r), 453) << r;
  std::string log = log_take();
  std::string line = "RTSPServer: " + std::to_string(max) + " sessions, refusing more";
  EXPECT_EQ(count_of(log, line.c_str()), 1u) << log;
  EXPECT_EQ(count_of(log, "refusing more"), 1u) << log;
  std::string made = "ended to make room for 127.0.0." + std::to_string(2 + conns);
  EXPECT_EQ(count_of(log, made.c_str()), 1u) << log;
  // The places taken were sessions ended (their owners are told so), one
  // from each of as many addresses; the others live on.
  int ended = 0, hosts = 0;
  for (int i = 0; i < conns; i++) {
    int before = ended;
    for (const std::string &id : ids[i]) {
      int code = status_of(clients[i]->request("GET_PARAMETER " + rtsp_url(port_, "tick") +
                                               " RTSP/1.0\r\nCSeq: 9\r\nSession: " + id +
                                               "\r\n\r\n"));
      EXPECT_TRUE(code == 200 || code == 454) << code;
      ended += code == 454;
    }
    hosts += ended > before;
  }
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(ended, taken);
  EXPECT_EQ(hosts, taken);
  EXPECT_LT(taken, conns);
  for (const std::string &id : ids[0])
    EXPECT_EQ(status_of(clients[0]->request("GET_PARAMETER " + rtsp_url(port_, "tick") +
                                            " RTSP/1.0\r\nCSeq: 10\r\nSession: " + id + "\r\n\r\n")),
              200) << "a playing session was taken";
}

// At the connection cap a newcomer from an address holding fewer
// connections takes the place of one of the address holding the most, not
// the oldest or quietest of all (the one that moved least: not the one that
// keeps talking); a newcomer from the address holding the most takes one of
// its own.
TEST_F(PeerShare, AtTheConnectionCapANewcomerTakesAConnectionOfTheAddressHoldingMost) {
  struct rlimit old, low;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  unsigned open = 0;
  for (int fd = 0; fd < 4096; fd++) open += fcntl(fd, F_GETFD) >= 0;
  low = old;
  low.rlim_cur = (open + 64) / 4 * 4;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const int max = (int)listen_guard_max(RTSP_MAX_CONNECTIONS);
  ASSERT_GE(max, 6);
  log_take();
  // Host 3 first, then host 2 with two or three more; every connection is
  // in (answered).
  const int n3 = (max - 2) / 2;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < max; i++) {
    clients.emplace_back(new RawClient(port_, 0, 0, (uint8_t)(i < n3 ? 3 : 2)));
    EXPECT_EQ(status_of(clients.back()->request(
                  "OPTIONS * RTSP/1.0\r\nCSeq: " + std::to_string(i + 1) + "\r\n\r\n")),
              200);
  }
  // Past the grace, host 2's first connection alone keeps talking.
  usleep((LISTEN_EVICT_GRACE_MS + 200) * 1000);
  RawClient &talker = *clients[n3];
  EXPECT_EQ(status_of(talker.request(std::string(3000, '\n') + "OPTIONS * RTSP/1.0\r\nCSeq: 9\r\n\r\n")), 200);
  auto closed = [&](int host) {
    int n = 0;
    for (int i = 0; i < max; i++)
      if ((i < n3 ? 3 : 2) == host && clients[i]->closed_by_peer(100)) n++;
    return n;
  };
  RawClient newcomer(port_, 0, 0, 3);
  EXPECT_EQ(status_of(newcomer.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), 200);
  EXPECT_EQ(closed(2), 1);
  EXPECT_EQ(closed(3), 0);
  // Host 2 still holds the most: its newcomer takes one of its own.
  RawClient greedy(port_, 0, 0, 2);
  EXPECT_EQ(status_of(greedy.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), 200);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(closed(2), 2);
  EXPECT_EQ(closed(3), 0);
  EXPECT_FALSE(talker.closed_by_peer(0));
  std::string log = log_take();
  EXPECT_EQ(count_of(log, "RTSPServer: the connection from 127.0.0.2 closed to make room for 127.0.0.3"),
            1u) << log;
}

// One address holds a quarter of the sessions, whatever its connections:
// 453 past that with one line for the whole episode, while another address
// is served; a session it ends frees a place for it again.
TEST_F(PeerShare, AnAddressHoldsItsShareOfTheSessions) {
  const int share = (int)RTSPServer::maxAddressSessions();
  EXPECT_EQ(share, std::max(1, (int)RTSPServer::maxClientSessions() / 4));
  log_take();
  std::vector<std::unique_ptr<RawClient>> greedy;
  int ok = 0;
  for (int i = 0; i < share / 4 + 2; i++) {
    greedy.emplace_back(new RawClient(port_, 0, 0, 7));
    ok += count_code(pipelined_setups(*greedy.back(), port_, 4), 200);
  }
  EXPECT_EQ(ok, share);
  std::string r = greedy.back()->request(setup_request(port_, 9));
  EXPECT_EQ(status_of(r), 453) << r;
  RawClient other(port_, 0, 0, 8);
  EXPECT_EQ(status_of(other.request(setup_request(port_, 1))), 200);
  std::string log = log_take();
  std::string line = "RTSPServer: " + std::to_string(share) + " sessions from 127.0.0.7, refusing more";
  EXPECT_EQ(count_of(log, line.c_str()), 1u) << log;
  EXPECT_EQ(count_of(log, "refusing more"), 1u) << log;
  // A connection of its own that closes gives the address its places back.
  greedy[0].reset();
  RawClient again(port_, 0, 0, 7);
  bool placed = false;
  for (int i = 0; i < 500 && !placed; i++) {
    placed = status_of(again.request(setup_request(port_, i + 1))) == 200;
    if (!placed) usleep(10000);
  }
  EXPECT_TRUE(placed);
}

// A client that pipelines requests and never reads has the server stop
// reading it once a few replies wait: what the server holds for it stays a
// few kilobytes, and when it reads at last every request is answered, in
// order.
TEST_F(PeerShare, RequestsWaitUnreadWhileTheirRepliesWaitUnsent) {
  // A small window, so that the replies back up in the server rather than in
  // the kernel.
  const int n = 100000;
  std::string all;
  for (int i = 1; i <= n; i++)
    all += "OPTIONS * RTSP/1.0\r\nCSeq: " + std::to_string(i) + "\r\n\r\n";
  size_t heap = heap_in_use();
  auto c_ptr = std::make_unique<RawClient>(port_, 4096);
  RawClient &c = *c_ptr;
  size_t sent = send_until_stalled(c.fd(), all, 0);
  // A loaded machine may stall the client before the server has read much:
  // the server still reads what is in its socket, up to the mark.
  for (int i = 0; i < 1000 && server_->replyBytesHeld() < RTSP_REPLY_BACKLOG; i++) usleep(10000);
  size_t held = server_->replyBytesHeld();
  EXPECT_GE(held, (size_t)RTSP_REPLY_BACKLOG);
  // The mark and the reply that crossed it.
  EXPECT_LE(held, (size_t)RTSP_REPLY_BACKLOG + 512) << "sent " << sent;
  std::thread writer([&] {
    size_t off = sent;
    while (off < all.size()) {
      ssize_t w = send(c.fd(), all.data() + off, all.size() - off, MSG_NOSIGNAL);
      if (w <= 0) break;
      off += (size_t)w;
    }
  });
  int in_order = 0;
  for (int i = 1; i <= n; i++) {
    std::string r = c.response();
    if (status_of(r) != 200 || header_of(r, "CSeq") != std::to_string(i)) {
      ADD_FAILURE() << "reply " << i << ": " << r;
      break;
    }
    in_order++;
  }
  shutdown(c.fd(), SHUT_RDWR);
  writer.join();
  EXPECT_EQ(in_order, n);
  // Every reply's block came back: what the server took for the client is
  // free once it has gone.
  c_ptr.reset();
  for (int i = 0; i < 3000 && (server_->numConnections() || server_->replyBytesHeld()); i++)
    usleep(10000);
  EXPECT_LT(heap_in_use(), heap + (2u << 20));
}

// Requests the server read before their replies backed up are answered
// once the client reads, though it sends nothing more; each reply holds a
// block of its own size, also after media went out in larger ones.
TEST_F(PeerShare, RequestsReadBeforeTheBacklogAreAnsweredWhenTheClientReads) {
  {
    RawClient m(port_);
    std::string r = m.request(setup_request(port_, 1));
    EXPECT_EQ(status_of(r), 200) << r;
    EXPECT_EQ(play(m, header_of(r, "Session").substr(0, 8)), 200);
    usleep(200000);
  }
  ASSERT_TRUE(sources_become(0));
  RawClient c(port_, 4096, 536);
  const int n = 150;
  std::string all;
  for (int i = 1; i <= n; i++)
    all += "DESCRIBE " + rtsp_url(port_, "wide") + " RTSP/1.0\r\nCSeq: " + std::to_string(i) + "\r\n\r\n";
  ASSERT_LT(all.size(), (size_t)RTSP_REQUEST_BUFFER_SIZE) << "one read takes them all";
  ASSERT_TRUE(c.send_text(all));
  for (int i = 0; i < 1000 && server_->replyBytesHeld() < RTSP_REPLY_BACKLOG; i++) usleep(10000);
  EXPECT_GE(server_->replyBytesHeld(), (size_t)RTSP_REPLY_BACKLOG);
  // The mark and the reply that crossed it.
  EXPECT_LE(server_->replyBytesHeld(), (size_t)RTSP_REPLY_BACKLOG + 2048);
  int answered = 0;
  for (int i = 1; i <= n; i++) {
    std::string r = c.response();
    if (status_of(r) != 200 || header_of(r, "CSeq") != std::to_string(i)) {
      ADD_FAILURE() << "reply " << i << ": " << r;
      break;
    }
    answered++;
  }
  EXPECT_EQ(answered, n);
}

// A client that stops reading while media flows has the server drop its
// packets past the queue's limit: the blocks they were in are given back,
// not held, when it leaves.
TEST_F(PeerShare, MediaDroppedForAClientThatStoppedReadingIsGivenBack) {
  size_t heap = heap_in_use();
  {
    RawClient c(port_, 4096);
    std::string r = c.request("SETUP " + rtsp_url(port_, "flood") + " RTSP/1.0\r\nCSeq: 1\r\n"
                              "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    ASSERT_EQ(status_of(r), 200) << r;
    ASSERT_TRUE(c.send_text("PLAY " + rtsp_url(port_, "flood") + " RTSP/1.0\r\nCSeq: 2\r\nSession: " +
                            header_of(r, "Session").substr(0, 8) + "\r\n\r\n"));
    // Ten times what the queue may hold, and never read.
    unsigned from = g_flood_frames.load();
    for (int i = 0; i < 3000 && g_flood_frames.load() - from < 700; i++) usleep(10000);
    EXPECT_GE(g_flood_frames.load() - from, 700u);
  }
  ASSERT_TRUE(sources_become(0));
  for (int i = 0; i < 3000 && server_->numConnections(); i++) usleep(10000);
  // What stays is at most the pool of blocks kept for reuse.
  EXPECT_LT(heap_in_use(), heap + (8u << 20));
}

// A server closed while a crowd's trim waits takes the trim with it: a new
// server on the same loop (as after a port change) sees none of it.
TEST_F(PeerShare, AServerClosedBeforeItsTrimLeavesTheLoopNothingOfIt) {
  for (int i = 0; i < 150; i++) {
    RawClient c(port_);
    EXPECT_EQ(status_of(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), 200);
  }
  for (int i = 0; i < 500 && server_->numConnections() > 0; i++) usleep(10000);
  __atomic_store_n(&stop_, (uint8_t)1, __ATOMIC_RELEASE);
  loop_.join();
  Medium::close(server_);
  server_ = RTSPServer::createNew(*env_, port_, nullptr, reclamation_);
  ASSERT_NE(server_, nullptr);
  stop_ = 0;
  loop_ = std::thread([this] { sched_->doEventLoop(&stop_); });
  usleep(1500000);
  EXPECT_EQ(server_->allocatorTrims(), 0u);
  RawClient c(port_);
  EXPECT_EQ(status_of(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), 200);
}

TEST_F(PeerShare, WhatWaitingRepliesHeldIsGivenBackWhenTheirClientsLeave) {
  std::string all;
  for (int i = 1; i <= 20000; i++)
    all += "OPTIONS * RTSP/1.0\r\nCSeq: " + std::to_string(i) + "\r\n\r\n";
  {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; i++) {
      clients.emplace_back(new RawClient(port_, 4096));
      send_until_stalled(clients.back()->fd(), all, 0);
    }
    for (int i = 0; i < 1000 && server_->replyBytesHeld() < 4 * RTSP_REPLY_BACKLOG; i++)
      usleep(10000);
    EXPECT_GE(server_->replyBytesHeld(), 4 * (size_t)RTSP_REPLY_BACKLOG);
    EXPECT_LE(server_->replyBytesHeld(), 4 * ((size_t)RTSP_REPLY_BACKLOG + 512));
  }
  // (A connection leaves the count a moment before its replies are freed.)
  for (int i = 0; i < 3000 && (server_->numConnections() || server_->replyBytesHeld()); i++)
    usleep(10000);
  EXPECT_EQ(server_->numConnections(), 0u);
  EXPECT_EQ(server_->replyBytesHeld(), 0u);
}

// A crowd that leaves has the allocator give back what it held, once for
// the crowd; a few leaving later do not.
TEST_F(PeerShare, ACrowdLeavingTrimsTheAllocatorOnce) {
  auto come_and_go = [this](int n) {
    for (int i = 0; i < n; i++) {
      RawClient c(port_);
      EXPECT_EQ(status_of(c.request("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), 200);
    }
    for (int i = 0; i < 500 && server_->numConnections() > 0; i++) usleep(10000);
  };
  come_and_go(150);
  for (int i = 0; i < 500 && server_->allocatorTrims() == 0; i++) usleep(10000);
  EXPECT_EQ(server_->allocatorTrims(), 1u);
  come_and_go(10);
  usleep(1500000);
  EXPECT_EQ(server_->allocatorTrims(), 1u);
  // The next crowd is trimmed after in turn.
  come_and_go(150);
  for (int i = 0; i < 500 && server_->allocatorTrims() == 1; i++) usleep(10000);
  EXPECT_EQ(server_->allocatorTrims(), 2u);
}
