// Shared pieces of the RTSP tests: real H.264 and AAC made by ffmpeg, test
// producers that publish them into the real stream queues at their real
// rates, the "rtp" thread on a free port, and a raw RTSP client.
#pragma once
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_block.h"
#include "formats/annexb.h"
#include "formats/media_inputs.h"
#include "media/stream_ids.h"
#include "media/stream_mux.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "media/stream_state.h"
#include "media/stream_test_support.h"
#include "streaming/rtsp_server.h"
#include "test_root.h"

// ---- media ----

struct TestClip {
  std::vector<std::vector<Bytes>> access_units;  // NAL units, each with a 4-byte start code
  std::vector<Bytes> adts;                        // ADTS frames
  Bytes pcm;                                      // stereo 48 kHz s16le
};

inline Bytes with_long_start_code(const uint8_t *nal, size_t n) {
  Bytes b = {0, 0, 0, 1};
  b.insert(b.end(), nal, nal + n);
  return b;
}

// Made once per test program: 2 s of 320x240 H.264 (an IDR every second),
// 2 s of stereo AAC and PCM.
inline const TestClip &test_clip(void) {
  static TestClip clip;
  static bool made = false;
  if (made) return clip;
  made = true;
  std::string dir = test_scratch_dir("clip");
  Bytes es = make_h264(dir, "clip.h264", "320x240", 50, "", "testsrc");
  for (const Bytes &au : split_access_units(es)) {
    std::vector<Bytes> nals;
    for (auto [s, e] : annexb_units(au)) nals.push_back(with_long_start_code(au.data() + s, e - s));
    if (!nals.empty()) clip.access_units.push_back(nals);
  }
  clip.adts = split_adts(make_aac(dir, "clip.aac", 2));
  clip.pcm = make_pcm(dir, "clip.pcm", 2);
  return clip;
}

inline bool nal_is_key(const Bytes &nal) {
  int t = nal.size() > 4 ? nal[4] & 0x1F : 0;
  return t == 5 || t == 7 || t == 8;
}

// ---- producers ----

// Publishes into a registered queue at the media's own rate while the
// stream has consumers, in the producer loop every producer follows.
class TestProducer {
 public:
  enum Kind { VIDEO_NALS, VIDEO_AUS, AAC, PCM };

  TestProducer(StreamId id, Kind kind, uint32_t ring_bytes = 4u << 20, uint32_t entries = 1024)
      : stream_(id, ring_bytes, entries), kind_(kind) {
    thread_ = std::thread([this] { run(); });
  }
  ~TestProducer() {
    quit_ = true;
    stream_set_state(&stream_.state, 1);
    thread_.join();
  }
  int runs() const { return runs_; }
  uint64_t published() const { return published_; }
  // Replaces the data of every later entry (wrong-kind data tests).
  void set_garbage(bool g) { garbage_ = g; }

 private:
  void put(const uint8_t *d, size_t n, uint32_t ts, uint32_t flags) {
    int off = ringbuffer_preallocate(&stream_.queue, (uint32_t)n);
    if (off < 0) return;
    memcpy(stream_.queue.base + off, d, n);
    if (garbage_) memset(stream_.queue.base + off, 0x5A, n);
    ringbuffer_put(&stream_.queue, (uint32_t)n, ts, flags);
    published_++;
  }
  // Each entry carries the time it was due, as a capture driver stamps a
  // frame when it was taken: a producer that runs late on a loaded machine
  // publishes a burst, but its stamps stay evenly spaced.
  void one(size_t i, uint32_t now) {
    const TestClip &c = test_clip();
    switch (kind_) {
      case VIDEO_NALS: {
        const auto &au = c.access_units[i % c.access_units.size()];
        for (const Bytes &nal : au) put(nal.data(), nal.size(), now, nal_is_key(nal) ? 1 : 0);
        break;
      }
      case VIDEO_AUS: {
        const auto &au = c.access_units[i % c.access_units.size()];
        Bytes all;
        bool key = false;
        for (const Bytes &nal : au) {
          all.insert(all.end(), nal.begin(), nal.end());
          key |= nal_is_key(nal);
        }
        put(all.data(), all.size(), now, key ? 1 : 0);
        break;
      }
      case AAC: {
        const Bytes &f = c.adts[i % c.adts.size()];
        put(f.data(), f.size(), now, 1);
        break;
      }
      case PCM: {
        size_t chunks = c.pcm.size() / 4096;
        put(c.pcm.data() + (i % chunks) * 4096, 4096, now, 1);
        break;
      }
    }
  }
  void run() {
    const long period_ns = kind_ == VIDEO_NALS || kind_ == VIDEO_AUS ? 40000000L : 21333333L;
    while (!quit_) {
      if (!stream_state_wait_start(&stream_.state)) continue;
      if (quit_) break;
      runs_++;
      struct timespec next;
      clock_gettime(CLOCK_MONOTONIC, &next);
      const uint32_t first = timestamp_now();
      for (size_t i = 0; !quit_ && !stream_state_stopping(&stream_.state); i++) {
        one(i, first + (uint32_t)((uint64_t)i * (uint64_t)period_ns * 9 / 100000));
        next.tv_nsec += period_ns;
        while (next.tv_nsec >= 1000000000L) { next.tv_nsec -= 1000000000L; next.tv_sec++; }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      }
    }
  }

  TestStream stream_;
  Kind kind_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> garbage_{false};
  std::atomic<int> runs_{0};
  std::atomic<uint64_t> published_{0};
  std::thread thread_;
};

// ---- the "rtp" thread ----

// The log as held so far, and how often a text occurs in it.
inline std::string held_log() {
  std::string s(LOG_RING_SIZE, '\0');
  s.resize(log_copy(0, &s[0], s.size()));
  return s;
}

inline size_t count_of(const std::string &hay, const char *needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

// Keeps port for this process until it ends, against every other test
// process that asks (an abstract socket name: gone with the process, and
// private to the network namespace); false when another holds it.
inline bool reserve_test_port(uint16_t port) {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  int n = snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "m7391-test-port-%u", (unsigned)port);
  if (bind(s, (struct sockaddr *)&a, (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + n)) != 0) {
    close(s);
    return false;
  }
  return true;  // s stays open: the reservation
}

// A free port below the kernel's ephemeral range: a port the kernel handed
// out for binding to 0 can be taken as the local end of any outgoing
// connection on the machine (other tests connect thousands of times) before
// the server binds it again after a restart. Reserved, so that a test
// running beside this one never picks it while the server is between two
// binds.
inline uint16_t free_tcp_port(void) {
  static std::atomic<unsigned> turn{0};
  unsigned seed = (unsigned)getpid() * 7919u + turn++ * 104729u;
  for (int tries = 0; tries < 500; tries++) {
    uint16_t port = (uint16_t)(20000 + (seed + (unsigned)tries * 2654435761u) % 12000);
    if (!reserve_test_port(port)) continue;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    int rc = bind(s, (struct sockaddr *)&a, sizeof a);
    close(s);
    if (rc == 0) return port;
  }
  return 0;
}

// rcvbuf, when not 0: the receive buffer the connection starts with (a
// small window keeps what the server sends in the server).
// rcvbuf and mss, when given, keep what the kernel buffers for the
// connection small (its send buffer grows with the segment size).
// From 127.0.0.<host>: hosts other than 1 stand for other machines.
inline int connect_local(uint16_t port, int rcvbuf = 0, int mss = 0, uint8_t host = 1) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (rcvbuf) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (mss) setsockopt(s, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + host);
  if (host != 1 && bind(s, (struct sockaddr *)&a, sizeof a) < 0) {
    close(s);
    return -1;
  }
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(s, (struct sockaddr *)&a, sizeof a) < 0) {
    close(s);
    return -1;
  }
  return s;
}

// Runs rtpThrFxn over the live parameter block until stopped.
class RtpThread {
 public:
  RtpThread() {
    env_.name = "rtp";
    env_.params = get_param_block();
    pthread_create(&thread_, nullptr, rtpThrFxn, &env_);
  }
  ~RtpThread() { stop(); }
  void stop() {
    if (stopped_) return;
    stopped_ = true;
    set_exit_code(EXIT_QUIT);
    pthread_join(thread_, nullptr);
    set_exit_code(EXIT_RUNNING);
    __atomic_store_n(&rtsp_watch, (uint8_t)0, __ATOMIC_RELEASE);
  }
  // Waits until the server answers on port (false after 5 s).
  static bool wait_listening(uint16_t port) {
    for (int i = 0; i < 500; i++) {
      int s = connect_local(port);
      if (s >= 0) {
        close(s);
        return true;
      }
      usleep(10000);
    }
    return false;
  }

 private:
  ThreadEnv env_{};
  pthread_t thread_;
  bool stopped_ = false;
};

// ---- a raw RTSP client ----

class RawClient {
 public:
  explicit RawClient(uint16_t port, int rcvbuf = 0, int mss = 0, uint8_t host = 1)
      : fd_(connect_local(port, rcvbuf, mss, host)) {}
  ~RawClient() { if (fd_ >= 0) close(fd_); }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send_text(const std::string &s) {
    return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == (ssize_t)s.size();
  }
  // One response (headers and body); "" on timeout or close.
  std::string response(int timeout_ms = 15000) {
    for (;;) {
      // Interleaved frames ahead of the response are skipped.
      while (buf_.size() >= 4 && buf_[0] == '$') {
        size_t n = 4 + ((size_t)(uint8_t)buf_[2] << 8 | (uint8_t)buf_[3]);
        if (buf_.size() < n) break;
        buf_.erase(0, n);
      }
      size_t end = buf_[0] == '$' ? std::string::npos : buf_.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t cl = 0;
        size_t p = buf_.find("Content-Length:");
        if (p != std::string::npos && p < end) cl = strtoul(buf_.c_str() + p + 15, nullptr, 10);
        if (buf_.size() >= end + 4 + cl) {
          std::string r = buf_.substr(0, end + 4 + cl);
          buf_.erase(0, end + 4 + cl);
          return r;
        }
      }
      struct pollfd pf = {fd_, POLLIN, 0};
      if (poll(&pf, 1, timeout_ms) <= 0) return "";
      char b[4096];
      ssize_t n = recv(fd_, b, sizeof b, 0);
      if (n <= 0) return "";
      buf_.append(b, (size_t)n);
    }
  }
  std::string request(const std::string &s) {
    if (!send_text(s)) return "";
    return response();
  }
  // Interleaved data received (after the responses read so far).
  std::string &pending() { return buf_; }
  bool closed_by_peer(int timeout_ms = 3000) {
    struct pollfd pf = {fd_, POLLIN, 0};
    if (poll(&pf, 1, timeout_ms) <= 0) return false;
    char b[4096];
    // A close with request bytes left unread arrives as a reset.
    return recv(fd_, b, sizeof b, MSG_PEEK) <= 0;
  }

 private:
  int fd_;
  std::string buf_;
};

inline int status_of(const std::string &response) {
  if (response.compare(0, 9, "RTSP/1.0 ") != 0) return -1;
  return atoi(response.c_str() + 9);
}

inline std::string header_of(const std::string &response, const char *name) {
  std::string key = std::string("\r\n") + name + ":";
  size_t p = response.find(key);
  if (p == std::string::npos) return "";
  p += key.size();
  while (p < response.size() && response[p] == ' ') p++;
  size_t e = response.find("\r\n", p);
  return response.substr(p, e - p);
}

inline std::string rtsp_url(uint16_t port, const char *name, const char *userpass = nullptr) {
  std::string u = "rtsp://";
  if (userpass) u += std::string(userpass) + "@";
  return u + "127.0.0.1:" + std::to_string(port) + "/" + name;
}
