// What the web server's connections may hold: one that sends nothing or half
// a request is closed after the idle time-out, one client address gets a
// few connections and the others are still served, a stream that is being
// read outlasts the time-out while a reader that stopped is let go, and a
// reply waiting for media is not taken for idle.
#include "web_test_support.h"

#include <atomic>
#include <sys/resource.h>
#include <string>
#include <thread>
#include <vector>

#include "http_stream_test_support.h"
#include "core/listen_guard.h"
#include "core/log.h"
#include "core/process_util.h"
#include "web/http_stream.h"
#include "web/web_places.h"
#include "web/web_wait.h"

namespace {

// A socket to the daemon from the loopback address 127.0.0.<last>; -1 when
// refused.
int connect_from(int last) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7F000000u | unsigned(last));
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  a.sin_port = htons(uint16_t(web_daemon_port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the server closed fd (EOF or reset) before deadline_ms.
bool closed_within(int fd, int deadline_ms) {
  char buf[65536];
  int64_t end = monotonic_ms() + deadline_ms;
  for (;;) {
    int64_t left = end - monotonic_ms();
    if (left <= 0) return false;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) return false;
    if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
  }
}

// Whether the server has closed fd by now (EOF or reset waiting).
bool is_closed(int fd) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) <= 0;
}

// A form posted on fd, which stays open after the answer: its status, 0
// when none came.
int post_keeping_alive(int fd) {
  std::string body = "Video[0].GOPSize=30";
  std::string req = "POST /controls HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body;
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size())) return 0;
  std::string text;
  char buf[4096];
  for (int64_t end = monotonic_ms() + 10000; monotonic_ms() < end;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    text.append(buf, size_t(n));
    size_t head = text.find("\r\n\r\n");
    if (head == std::string::npos) continue;
    HttpReply r = parse_reply(text);
    std::string len = r.header("Content-Length");
    if (!len.empty() && text.size() >= head + 4 + std::stoul(len)) return r.status;
  }
  return 0;
}

// The daemon restarted with an idle time-out of `seconds` (the next start
// reads it); the usual one again at the end.
class WebConnectionLimits : public WebTest {
 protected:
  void restart(unsigned seconds) {
    web_daemon_stop();
    web_idle_timeout_s = seconds;
    ASSERT_EQ(web_daemon_start(0), 0);
  }
  // Restarted while the descriptor limit is `limit`, which sizes its caps;
  // the limit is put back at once.
  void restart_under(rlim_t limit) {
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit rl = old;
    rl.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    restart(WEB_IDLE_TIMEOUT_S);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  }
  void SetUp() override {
    WebTest::SetUp();
    stream_register_clear();
  }
  void TearDown() override {
    restart(WEB_IDLE_TIMEOUT_S);
    stream_register_clear();
    WebTest::TearDown();
  }
};

TEST_F(WebConnectionLimits, ConnectionsThatSendNothingOrHalfARequestAreClosed) {
  restart(1);
  int idle = connect_daemon();
  int half = connect_daemon();
  ASSERT_GE(idle, 0);
  ASSERT_GE(half, 0);
  std::string head = "GET /index.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  ASSERT_GT(send(half, head.data(), head.size(), MSG_NOSIGNAL), 0);
  EXPECT_TRUE(closed_within(idle, 20000));
  EXPECT_TRUE(closed_within(half, 20000));
  close(idle);
  close(half);
}

TEST_F(WebConnectionLimits, OneAddressGetsAFewConnectionsAndOthersAreServed) {
  restart(WEB_IDLE_TIMEOUT_S);
  // Idle longer than any of the crowd, but of another address: kept.
  std::vector<int> others;
  for (int i = 0; i < 4; i++) others.push_back(connect_from(5));
  std::vector<int> fds;
  for (int i = 0; i < int(listen_guard_max(WEB_MAX_CONNECTIONS) / 2) + 24; i++) {
    int fd = connect_from(2);
    if (fd >= 0) fds.push_back(fd);
  }
  ASSERT_EQ(fds.size(), size_t(int(listen_guard_max(WEB_MAX_CONNECTIONS) / 2) + 24));
  // Those over the address's cap are closed, the rest stay.
  std::vector<bool> closed(fds.size());
  int n_closed = 0;
  char buf[256];
  for (int64_t end = monotonic_ms() + 20000; n_closed < 24 && monotonic_ms() < end;) {
    std::vector<pollfd> p;
    for (int fd : fds) p.push_back(pollfd{fd, POLLIN, 0});
    if (poll(p.data(), p.size(), 1000) <= 0) continue;
    for (size_t i = 0; i < p.size(); i++) {
      if (closed[i] || !p[i].revents) continue;
      if (recv(fds[i], buf, sizeof buf, 0) <= 0) {
        closed[i] = true;
        n_closed++;
      }
    }
  }
  EXPECT_EQ(n_closed, 24);
  EXPECT_EQ(http_get("/Video[0].BitRate").status, 200);
  for (int fd : others) EXPECT_FALSE(is_closed(fd));
  for (int fd : others) close(fd);
  for (int fd : fds) close(fd);
}

// At the cap a newcomer takes the place of the connection idle longest;
// one whose request is being answered (a stream) keeps its place.
TEST_F(WebConnectionLimits, AFullServerMakesRoomFromIdleConnections) {
  restart_under(256);   // the web's share: 32 connections
  TestStream a(VIDEO_STREAM1, 4 << 20, 256);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    std::string unit("\0\0\0\1\x67", 5);
    unit.resize(20000, 'u');
    while (!stop) {
      put_unit(a, unit, STREAM_FLAG_KEY);
      sleep_ms(5);
    }
  });
  int stream = connect_daemon();
  std::string req = "GET /streamA.h264 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_GT(send(stream, req.data(), req.size(), MSG_NOSIGNAL), 0);
  char buf[65536];
  pollfd p = {stream, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  ASSERT_GT(recv(stream, buf, sizeof buf, 0), 0);
  std::vector<int> fds;
  for (int from = 2; from < 8; from++)
    for (int i = 0; i < 10; i++) {
      int fd = connect_from(from);
      if (fd >= 0) fds.push_back(fd);
    }
  HttpReply r = http_get("/Video[0].BitRate");
  EXPECT_EQ(r.status, 200);
  // The stream goes on past what the sockets held when the crowd came: no
  // end.
  size_t got = 0;
  bool ended = false;
  for (int64_t end = monotonic_ms() + 30000; !ended && got < (20u << 20) && monotonic_ms() < end;) {
    if (poll(&p, 1, 1000) <= 0) continue;
    ssize_t n = recv(stream, buf, sizeof buf, 0);
    ended = n <= 0;
    if (n > 0) got += size_t(n);
  }
  EXPECT_FALSE(ended) << "the stream was cut after " << got << " bytes";
  for (int fd : fds) close(fd);
  close(stream);
  stop = true;
  producer.join();
}

// The caps follow the web's share of the descriptors: a small share gives
// one address half of it, a larger one never more than the address's cap.
TEST_F(WebConnectionLimits, CapsFollowTheShare) {
  LogUnreadKeep unread;
  char chunk[4096];
  while (log_read(chunk, sizeof chunk) > 0) {
  }
  const struct {
    rlim_t limit;
    const char *line;
  } cases[] = {{160, "at most 20 connections, 10 from one address"},
               {256, "at most 32 connections, 16 from one address"},
               {288, "at most 40 connections, 20 from one address"},
               {4096, "at most 128 connections, 64 from one address, idle ones closed after 30 s"}};
  for (const auto &c : cases) {
    restart_under(c.limit);
    std::string log;
    for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) log.append(chunk, n);
    EXPECT_NE(log.find(c.line), std::string::npos) << c.limit << ": " << log;
  }
}

// Streams hold three quarters of the places at most, and one address's a
// quarter: past that a stream request is answered 503. Every place taken
// by a request being answered (streams, pictures waiting): a newcomer is
// answered 503, never reset, and that is said once; once a place frees the
// next one is served, and the cap reached again is said again.
TEST_F(WebConnectionLimits, ACapOfBusyConnectionsIsLoggedOnce) {
  LogUnreadKeep unread;
  restart_under(160);   // 20 connections, 10 from one address, 15 streams, 5 from one address
  TestStream a(VIDEO_STREAM1, 4 << 20, 256);
  TestStream b(VIDEO_STREAM2, 1 << 20, 64);
  get_param_block()->video[1].stream_mode = StreamMode_JPEG;
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    std::string unit("\0\0\0\1\x67", 5);
    unit.resize(20000, 'u');
    while (!stop) {
      put_unit(a, unit, STREAM_FLAG_KEY);
      sleep_ms(5);
    }
  });
  char chunk[4096];
  while (log_read(chunk, sizeof chunk) > 0) {
  }
  auto ask = [](int fd, const char *url) {
    std::string req = std::string("GET ") + url + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    return send(fd, req.data(), req.size(), MSG_NOSIGNAL) == ssize_t(req.size());
  };
  // The status a connection was answered.
  auto status_of = [](int fd) {
    char buf[512];
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) return 0;
    ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return -1;
    buf[n] = 0;
    return parse_reply(buf).status;
  };
  std::vector<int> fds;
  for (int i = 0; i < 16; i++) {
    int fd = connect_from(2 + i / 5);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ask(fd, "/streamA.h264"));
    fds.push_back(fd);
  }
  for (int i = 0; i < 3000 && stream_consumer_count(VIDEO_STREAM1) < 15; i++) sleep_ms(10);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 15);
  EXPECT_EQ(status_of(fds[15]), 503);   // the sixteenth stream
  int sixth = connect_from(2);
  ASSERT_TRUE(ask(sixth, "/streamA.h264"));
  EXPECT_EQ(status_of(sixth), 503);     // a sixth of one address
  close(sixth);
  close(fds[15]);
  fds.pop_back();
  // Five pictures that wait (no picture comes, nothing ends their wait).
  for (int i = 0; i < 5; i++) {
    int fd = connect_from(10 + i);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ask(fd, "/streamB.jpg"));
    fds.push_back(fd);
  }
  for (int i = 0; i < 3000 && stream_consumer_count(VIDEO_STREAM2) < 5; i++) sleep_ms(10);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM2), 5);
  std::string said;
  std::vector<int> refused;
  for (int i = 0; i < 2; i++) {
    refused.push_back(connect_from(20));
    ASSERT_TRUE(ask(refused.back(), "/Video[0].BitRate"));
    EXPECT_EQ(status_of(refused.back()), 503) << i;
  }
  for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) said.append(chunk, n);
  const std::string line = "httpd: 20 connections, refusing more\n";
  size_t at = said.find(line);
  EXPECT_NE(at, std::string::npos) << said;
  EXPECT_EQ(said.find("refusing more", at + line.size()), std::string::npos) << said;
  for (int fd : refused) close(fd);
  // Streams that end free their places: a request is answered, and the
  // episode ends.
  close(fds[0]);
  close(fds[1]);
  fds.erase(fds.begin(), fds.begin() + 2);
  for (int i = 0; i < 3000 && stream_consumer_count(VIDEO_STREAM1) > 13; i++) sleep_ms(10);
  EXPECT_EQ(http_get("/Video[0].BitRate").status, 200);
  for (int i = 0; i < 2; i++) {
    int fd = connect_from(6 + i);
    ASSERT_TRUE(ask(fd, "/streamA.h264"));
    fds.push_back(fd);
  }
  for (int i = 0; i < 3000 && stream_consumer_count(VIDEO_STREAM1) < 15; i++) sleep_ms(10);
  said.clear();
  int last = connect_from(21);
  ASSERT_TRUE(ask(last, "/Video[0].BitRate"));
  EXPECT_EQ(status_of(last), 503);
  for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) said.append(chunk, n);
  EXPECT_NE(said.find(line), std::string::npos) << said;
  close(last);
  for (int fd : fds) close(fd);
  stop = true;
  producer.join();
}

// Connections that come and go leave their places free: below the cap
// nothing is closed. At the cap each newcomer takes the place of the
// connection idle longest, one kept alive after an answer counting from the
// answer, and that is no refusal.
TEST_F(WebConnectionLimits, PlacesAreFreedAndTheLongestIdleGoesFirst) {
  restart_under(160);   // 20 connections, 10 from one address
  char chunk[4096];
  while (log_read(chunk, sizeof chunk) > 0) {
  }
  for (int i = 0; i < 150; i++) ASSERT_EQ(http_get("/Video[0].BitRate").status, 200) << i;
  // `kept` comes first and says nothing until eight others came; then it
  // posts a form and stays. Eight more come after its answer.
  int kept = connect_from(6);
  std::vector<int> before, after;
  for (int i = 0; i < 8; i++) {
    sleep_ms(2);
    before.push_back(connect_from(2));
  }
  EXPECT_EQ(http_get("/Video[0].BitRate").status, 200);
  sleep_ms(2);
  ASSERT_EQ(post_keeping_alive(kept), 200);
  for (int i = 0; i < 8; i++) {
    sleep_ms(2);
    after.push_back(connect_from(3));
  }
  // 17 open, and one more asking.
  EXPECT_EQ(http_get("/Video[0].BitRate").status, 200);
  std::vector<int> by_age = before;
  by_age.push_back(kept);
  for (int fd : by_age) EXPECT_FALSE(is_closed(fd));
  for (int fd : after) EXPECT_FALSE(is_closed(fd));
  // Newcomers, each followed by a request that is answered: from the third
  // on they take the oldest places one by one.
  std::vector<int> newcomers;
  size_t gone = 0;
  while (gone < by_age.size() && newcomers.size() < 16) {
    sleep_ms(2);
    newcomers.push_back(connect_from(4 + int(newcomers.size() % 2)));
    ASSERT_EQ(http_get("/Video[0].BitRate").status, 200) << newcomers.size();
    size_t now = 0;
    while (now < by_age.size() && is_closed(by_age[now])) now++;
    for (size_t i = now; i < by_age.size(); i++) EXPECT_FALSE(is_closed(by_age[i])) << i << " before " << now;
    EXPECT_LE(now, gone + 2);
    gone = now;
  }
  EXPECT_EQ(gone, by_age.size());
  for (int fd : after) EXPECT_FALSE(is_closed(fd));
  for (int fd : newcomers) EXPECT_FALSE(is_closed(fd));
  std::string said;
  for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) said.append(chunk, n);
  EXPECT_EQ(said.find("refusing more"), std::string::npos) << said;
  for (int fd : by_age) close(fd);
  for (int fd : after) close(fd);
  for (int fd : newcomers) close(fd);
}

// A client reading a stream for several time-outs keeps it; one that stops
// reading loses it once the socket's buffers are full, and its consumer is
// let go.
TEST_F(WebConnectionLimits, AStreamBeingReadLastsAndAStalledReaderIsDropped) {
  restart(2);
  TestStream a(VIDEO_STREAM1, 4 << 20, 256);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    std::string unit("\0\0\0\1\x67", 5);
    unit.resize(20000, 'u');
    while (!stop) {
      put_unit(a, unit, STREAM_FLAG_KEY);
      sleep_ms(5);
    }
  });
  int fd = connect_daemon();
  std::string req = "GET /streamA.h264 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_GT(send(fd, req.data(), req.size(), MSG_NOSIGNAL), 0);
  char buf[65536];
  size_t got = 0;
  bool ended = false;
  int64_t until = monotonic_ms() + 7000;
  while (monotonic_ms() < until) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ended = true;
      break;
    }
    got += size_t(n);
  }
  EXPECT_FALSE(ended) << "the stream was cut while being read, after " << got << " bytes";
  EXPECT_GT(got, 100000u);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 1);
  // The reader stops reading.
  for (int i = 0; i < 6000 && stream_consumer_count(VIDEO_STREAM1) != 0; i++) sleep_ms(10);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
  stop = true;
  producer.join();
  close(fd);
}

// A picture request waits (suspended) longer than the time-out for a
// picture that never comes, and still gets its answer.
TEST_F(WebConnectionLimits, AReplyWaitingForMediaIsNotIdle) {
  restart(1);
  TestStream b(VIDEO_STREAM2, 1 << 20, 64);
  get_param_block()->video[1].stream_mode = StreamMode_JPEG;
  // What the httpd thread does: waiters look at their time limits.
  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop) {
      sleep_ms(100);
      web_wake_waiters();
    }
  });
  HttpReply r = http_get("/streamB.jpg");
  stop = true;
  ticker.join();
  EXPECT_EQ(r.status, 404);
}

}  // namespace

namespace {

// A form whose body trickles in from 127.0.0.<from>: its socket.
int trickled_form(int from) {
  int fd = connect_from(from);
  std::string req = "POST /controls HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\n"
                    "Content-Length: 10000000\r\n\r\nV";
  if (fd >= 0 && send(fd, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

// At a cap held by forms whose bodies trickle, a page from another address
// takes the place of the one receiving longest; the box closes the rest
// once their bodies are late (the httpd thread's tick). A query of more
// arguments than the box takes is answered 414 at once.
TEST_F(WebConnectionLimits, TrickledFormsKeepNobodyOut) {
  restart_under(160);   // 20 connections, 10 from one address
  std::vector<int> forms;
  for (int i = 0; i < 20; i++) {
    forms.push_back(trickled_form(2 + i % 2));
    ASSERT_GE(forms.back(), 0);
    sleep_ms(2);
  }
  // Every form's header is in once a stranger's page is answered.
  sleep_ms(WEB_EVICT_GRACE_MS + 500);
  EXPECT_EQ(http_get("/Video[0].BitRate").status, 200);
  EXPECT_TRUE(closed_within(forms[0], 20000));
  for (size_t i = 1; i < forms.size(); i++) EXPECT_FALSE(is_closed(forms[i])) << i;
  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop) {
      sleep_ms(100);
      web_places_tick();
    }
  });
  for (size_t i = 1; i < forms.size(); i++)
    EXPECT_TRUE(closed_within(forms[i], (WEB_BODY_GRACE_S + 30) * 1000)) << i;
  stop = true;
  ticker.join();
  for (int fd : forms) close(fd);
  std::string query;
  for (int i = 0; i < WEB_QUERY_ARGS_MAX; i++) query += (i ? "&a" : "?a") + std::to_string(i) + "=1";
  EXPECT_EQ(http_get("/Video[0].BitRate" + query).status, 200);
  EXPECT_EQ(http_get("/Video[0].BitRate" + query + "&x=1").status, 414);
  query.clear();
  for (int i = 0; i < 600; i++) query += (i ? "&a" : "?a") + std::to_string(i) + "=1";
  EXPECT_EQ(http_get("/debug.htm" + query).status, 414);
}

}  // namespace

// A port the daemon cannot have: the start says why, with the error a bind
// of the port gives; once the port is free it starts.
TEST_F(WebConnectionLimits, AStartThatCannotListenSaysWhy) {
  int held = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(held, 1), 0);
  ASSERT_EQ(getsockname(held, reinterpret_cast<sockaddr *>(&a), &len), 0);
  web_daemon_stop();
  EXPECT_EQ(web_daemon_start(ntohs(a.sin_port)), -EADDRINUSE);
  close(held);
  EXPECT_EQ(web_daemon_start(ntohs(a.sin_port)), 0);
  EXPECT_EQ(web_daemon_port(), ntohs(a.sin_port));
}
