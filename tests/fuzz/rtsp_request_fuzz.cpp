// Any bytes as what an RTSP client sends on its connection: requests,
// interleaved frames and noise. First one byte at a time through the request
// parser and the Transport, Authorization and Require readers (nothing may
// be read outside the bytes received, and a request is never longer than
// what was given); then to a real server's connection over loopback, which
// must keep its event loop asleep while it waits for more, and must be gone
// soon after the client has said all and stopped sending.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "../streaming/rtsp_test_track.h"
#include "streaming/rtsp/digest_auth.h"
#include "streaming/rtsp/rtsp_request.h"

namespace {

const size_t kBuffer = 10000;

void check(bool ok) {
  if (!ok) abort();
}

void use_request(const RtspRequest &r, size_t len) {
  check(r.total <= len && r.header_len <= r.total);
  check(strlen(r.method) < sizeof r.method && strlen(r.url) < sizeof r.url);
  char v[1024];
  if (rtsp_request_header(&r, "Transport", v, sizeof v)) {
    check(strlen(v) < sizeof v);
    RtspTransport t;
    rtsp_parse_transport(v, &t);
  }
  if (rtsp_request_header(&r, "Authorization", v, sizeof v)) {
    HttpDigest d;
    if (digest_parse(v, &d)) {
      UserAuthenticationDatabase db;
      db.addUserRecord("admin", "secret");
      rtsp_digest_check(db, d, r.method, "0123456789abcdef");
    }
  }
  char small[4];
  rtsp_request_header(&r, "CSeq", small, sizeof small);
  check(strlen(small) < sizeof small);
  // The option list goes into a reply header: no line breaks or blanks
  // beyond the separators, and never more than fits.
  unsigned tags = rtsp_request_options(&r, "Require", v, sizeof v);
  check(strlen(v) < sizeof v && (tags || !v[0]));
  for (const char *q = v; *q; q++)
    check((unsigned char)*q > ' ' || (*q == ' ' && q > v && q[-1] == ','));
  rtsp_request_options(&r, "Require", small, sizeof small);
  check(strlen(small) < sizeof small);
}

// Consumes what the buffer holds as the connection does; false when the
// connection would be dropped.
bool drain(std::vector<uint8_t> &buf) {
  while (!buf.empty()) {
    // An exact-size copy: a read past it is a read past what was received.
    std::vector<uint8_t> exact(buf.begin(), buf.end());
    if (exact[0] == '$') {
      uint8_t ch;
      int r = rtsp_interleaved_frame(exact.data(), exact.size(), &ch);
      if (r == RTSP_PARSE_MORE) return true;
      check(r > 0 && (size_t)r <= exact.size());
      buf.erase(buf.begin(), buf.begin() + r);
      continue;
    }
    RtspRequest req;
    int r = rtsp_request_parse(exact.data(), exact.size(), kBuffer, &req);
    if (r == RTSP_PARSE_MORE) return buf.size() < kBuffer;
    if (r == RTSP_PARSE_GARBAGE) return false;
    check(r > 0 && (size_t)r <= exact.size());
    use_request(req, exact.size());
    buf.erase(buf.begin(), buf.begin() + r);
  }
  return true;
}

// A track whose source never delivers: SETUP, PLAY and TEARDOWN run their
// whole course without any media.
class SilentSource : public FramedSource {
 public:
  explicit SilentSource(UsageEnvironment &env) : FramedSource(env) {}

 protected:
  void doGetNextFrame() override {}
};

struct Server {
  TaskScheduler *sched = BasicTaskScheduler::createNew(10000);
  UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
  RTSPServer *server = nullptr;
  uint16_t port = 0;
  Server() {
    for (port = 21554; port < 21654 && !server; port++)
      server = RTSPServer::createNew(*env, port, nullptr, 65);
    port--;
    check(server != nullptr);
    ServerMediaSession *sms = ServerMediaSession::createNew(*env, "s", "s", "fuzz");
    sms->addSubsession(new TestTrack<SilentSource>(*env, "X-NONE", 10));
    server->addServerMediaSession(sms);
  }
};

int64_t now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

// Reads what the server answers, so that its output never backs up.
void read_all(int fd) {
  char b[4096];
  while (recv(fd, b, sizeof b, MSG_DONTWAIT) > 0) {
  }
}

void connection(const uint8_t *data, size_t size) {
  static Server s;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(s.port);
  check(connect(fd, (struct sockaddr *)&a, sizeof a) == 0);
  size_t off = 0;
  while (off < size) {
    ssize_t w = send(fd, data + off, size - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) off += (size_t)w;
    else if (w < 0 && errno != EAGAIN) break;
    s.sched->singleStep(1000);
    read_all(fd);
  }
  // With everything delivered the server waits for more or has closed:
  // its loop sleeps. A connection that can neither read nor finish turns
  // every pass into an immediate one.
  int64_t start = now_us();
  int passes = 0;
  while (now_us() - start < 2000) {
    s.sched->singleStep(500);
    read_all(fd);
    passes++;
  }
  check(passes < 100);
  // The client has said all: the connection ends within a few passes.
  shutdown(fd, SHUT_WR);
  for (int i = 0; i < 500 && s.server->numConnections() > 0; i++) {
    s.sched->singleStep(2000);
    read_all(fd);
  }
  check(s.server->numConnections() == 0);
  close(fd);
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  // One byte at a time (each step copies what is buffered: long inputs
  // only go to the connection).
  std::vector<uint8_t> buf;
  for (size_t i = 0; i < size && size <= 2048; i++) {
    buf.push_back(data[i]);
    if (!drain(buf)) buf.clear();
  }
  connection(data, size);
  return 0;
}
