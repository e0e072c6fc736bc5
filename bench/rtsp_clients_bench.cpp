// The RTSP server under many clients: 1, 50, 500, 1000 and 2000
// TCP-interleaved clients of one 4 Mbit/s H.264 stream, against GStreamer's
// RTSP server (through its Python binding) serving the same H.264 from a
// Matroska file in the same run. Both get the same clients (threads here
// that play each session and drain it) and one more that stops reading.
// Ours is the "rtp" thread and the producer feeding it; the peer is its
// whole process. Reported per N for each side (`ours_`, `peer_`): CPU
// seconds per second (`_load`), the cost of one more client in cores
// (`_per_client`, from the difference to 1 client), the clients' mean
// received rate over the stream's (`_rate`), the share of clients at 90 % of
// it or more (`_full_share`), the growth of resident memory per client in
// KiB (`_kib_per_client`, also from the difference to 1 client), the
// slowest client's PLAY to first byte (`_first_byte_ms`); `vs_gstreamer`,
// how many times less CPU per client ours takes; `peer_served` 0 when
// GStreamer's server left a client unserved. The `Disturbed` runs do the
// same beside a reader of the server's /proc/PID/smaps once a second, as
// monitoring does, and half a core of other work on the server's CPUs.
// M7391_BENCH_SERVER_CPUS (a list such as "6,7" or "6-7") pins each server
// and that work to those CPUs and the clients to the others.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "../tests/formats/media_inputs.h"
#include "bench_support.h"
#include "core/global.h"
#include "core/hwreg.h"
#include "core/param_block.h"
#include "formats/annexb.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "streaming/rtsp_server.h"

extern char **environ;

namespace {

const int kWindowSeconds = 5;

// ---- where the servers run, and what else runs there ----

// The CPUs of M7391_BENCH_SERVER_CPUS; false when it is not set.
bool server_cpus(cpu_set_t *set) {
  const char *e = getenv("M7391_BENCH_SERVER_CPUS");
  if (!e || !*e) return false;
  CPU_ZERO(set);
  for (const char *p = e; *p;) {
    char *end;
    long a = strtol(p, &end, 10), b = a;
    if (*end == '-') b = strtol(end + 1, &end, 10);
    for (long c = a; c <= b && c < CPU_SETSIZE; c++) CPU_SET((int)c, set);
    p = *end ? end + 1 : end;
  }
  return true;
}

// Pins thread t (0: the calling one) to the servers' CPUs, or to the others.
void pin_thread(pthread_t t, bool server) {
  cpu_set_t set;
  if (!server_cpus(&set)) return;
  if (!server) {
    cpu_set_t all;
    CPU_ZERO(&all);
    for (int c = 0; c < (int)sysconf(_SC_NPROCESSORS_ONLN); c++) CPU_SET(c, &all);
    CPU_XOR(&set, &all, &set);
  }
  pthread_setaffinity_np(t ? t : pthread_self(), sizeof set, &set);
}

// A reader of /proc/PID/smaps once a second and half a core of busy work
// (5 ms of every 10), both on the servers' CPUs, for as long as it lives.
class Disturbance {
 public:
  explicit Disturbance(pid_t pid) : pid_(pid) {
    reader_ = std::thread([this] { read_smaps(); });
    busy_ = std::thread([this] { spin(); });
  }
  ~Disturbance() {
    quit_ = true;
    reader_.join();
    busy_.join();
  }

 private:
  void read_smaps() {
    pin_thread(0, true);
    std::string path = "/proc/" + std::to_string(pid_) + "/smaps";
    std::vector<char> buf(1 << 16);
    while (!quit_) {
      int fd = open(path.c_str(), O_RDONLY);
      if (fd >= 0) {
        while (read(fd, buf.data(), buf.size()) > 0) {}
        close(fd);
      }
      for (int i = 0; i < 10 && !quit_; i++) usleep(100000);
    }
  }
  void spin() {
    pin_thread(0, true);
    while (!quit_) {
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
      while (std::chrono::steady_clock::now() < end) {}
      usleep(5000);
    }
  }
  pid_t pid_;
  std::atomic<bool> quit_{false};
  std::thread reader_, busy_;
};

// ---- the stream: 4 Mbit/s H.264 at 25 frames/s, NAL units as entries ----

struct Media {
  std::string dir;
  std::vector<std::vector<Bytes>> units;   // NAL units with 4-byte start codes per picture
  std::string mkv_host_path;
};

const Media &media(void) {
  static Media m;
  if (!m.dir.empty()) return m;
  char tmpl[] = "/tmp/m7391-rtspbench-XXXXXX";
  m.dir = mkdtemp(tmpl) ? tmpl : "/tmp";
  std::string es = m.dir + "/clip.h264", mkv = m.dir + "/clip.mkv";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
            "testsrc2=size=1280x720:rate=25", "-frames:v", "500", "-pix_fmt", "yuv420p", "-c:v",
            "libx264", "-preset", "veryfast", "-b:v", "4M", "-maxrate", "4M", "-bufsize", "1M",
            "-x264-params", "bframes=0:keyint=25", "-f", "h264", es.c_str()});
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-r", "25", "-f", "h264", "-i",
            es.c_str(), "-c", "copy", mkv.c_str()});
  char host[1024];
  m.mkv_host_path = root_path(mkv.c_str(), host, sizeof host);
  Bytes data = read_board_file(es);
  for (const Bytes &au : split_access_units(data)) {
    std::vector<Bytes> nals;
    AnnexbWalk w;
    annexb_walk_init(&w, au.data(), au.size());
    size_t s, e;
    while (annexb_walk_next(&w, &s, &e)) {
      Bytes b = {0, 0, 0, 1};
      b.insert(b.end(), au.begin() + (long)s, au.begin() + (long)e);
      nals.push_back(b);
    }
    m.units.push_back(nals);
  }
  return m;
}

// VIDEO_STREAM1's producer: publishes the clip at 25 pictures a second while
// the stream has consumers.
class Producer {
 public:
  Producer() {
    stream_register(&state_, &queue_, VIDEO_STREAM1);
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.memAlign = STREAM_RING_ALIGN;
    buf_ = Buffer_create(8u << 20, &a);
    ringbuffer_init(&queue_, buf_, 1024, STREAM_RING_ALIGN);
    thread_ = std::thread([this] { run(); });
    while (!started_) usleep(1000);
  }
  ~Producer() {
    quit_ = true;
    stream_set_state(&state_, 1);
    thread_.join();
    stream_register_clear();
    ringbuffer_free(&queue_);
    Buffer_delete(buf_);
  }
  double cpu() const { return cpu_of_clock(clock_); }

 private:
  void run() {
    pin_thread(0, true);
    pthread_getcpuclockid(pthread_self(), &clock_);
    started_ = true;
    const Media &m = media();
    size_t i = 0;
    while (!quit_) {
      if (!stream_state_wait_start(&state_)) continue;
      struct timespec next;
      clock_gettime(CLOCK_MONOTONIC, &next);
      while (!quit_ && !stream_state_stopping(&state_)) {
        uint32_t now = timestamp_now();
        for (const Bytes &nal : m.units[i++ % m.units.size()]) {
          int off = ringbuffer_preallocate(&queue_, (uint32_t)nal.size());
          if (off < 0) continue;
          memcpy(queue_.base + off, nal.data(), nal.size());
          int t = nal[4] & 0x1F;
          ringbuffer_put(&queue_, (uint32_t)nal.size(), now, t == 5 || t == 7 || t == 8 ? 1 : 0);
        }
        next.tv_nsec += 40000000L;
        if (next.tv_nsec >= 1000000000L) { next.tv_nsec -= 1000000000L; next.tv_sec++; }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      }
    }
  }
  ProducerState state_{};
  StreamQueue queue_{};
  Buffer_Handle buf_;
  std::thread thread_;
  std::atomic<bool> quit_{false}, started_{false};
  clockid_t clock_;
};

// ---- clients ----

// Drains every client until stopped, on a few threads so that reading is
// never what limits the rate; counts each client's bytes. Clients join
// while it runs, so that the first ones are read while the others set up.
class Drain {
 public:
  explicit Drain(int n) : bytes_(n) {
    for (auto &b : bytes_) b = 0;
    fds_.reserve(n);
    for (int i = 0; i < kThreads; i++) {
      ep_[i] = epoll_create1(EPOLL_CLOEXEC);
      threads_[i] = std::thread([this, i] { run(ep_[i]); });
    }
    keeper_ = std::thread([this] { keep_alive(); });
  }
  ~Drain() {
    quit_ = true;
    keeper_.join();
    for (int i = 0; i < kThreads; i++) {
      threads_[i].join();
      close(ep_[i]);
    }
    for (int fd : fds_) close(fd);
  }
  void add(int fd, const std::string &keepalive) {
    struct epoll_event e = {};
    e.events = EPOLLIN;
    std::lock_guard<std::mutex> l(lock_);
    e.data.u32 = (uint32_t)fds_.size();
    fds_.push_back(fd);
    keepalive_.push_back(keepalive);
    epoll_ctl(ep_[fds_.size() % kThreads], EPOLL_CTL_ADD, fd, &e);
  }
  std::vector<uint64_t> bytes() const {
    std::vector<uint64_t> v;
    for (auto &b : bytes_) v.push_back(b);
    return v;
  }

 private:
  static const int kThreads = 4;
  void run(int ep) {
    std::vector<char> buf(1 << 16);
    struct epoll_event ev[64];
    while (!quit_) {
      int n = epoll_wait(ep, ev, 64, 20);
      for (int i = 0; i < n; i++) {
        uint32_t k = ev[i].data.u32;
        ssize_t r = recv(fds_[k], buf.data(), buf.size(), MSG_DONTWAIT);
        if (r > 0) bytes_[k] += (uint64_t)r;
      }
    }
  }
  // Every session is kept alive, as players do: setting up thousands of
  // clients takes longer than a session lives unheard.
  void keep_alive() {
    for (int t = 0; !quit_; t++) {
      usleep(100000);
      if (t % 200 != 199) continue;
      std::lock_guard<std::mutex> l(lock_);
      for (size_t i = 0; i < keepalive_.size(); i++)
        send(fds_[i], keepalive_[i].data(), keepalive_[i].size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
  std::vector<std::atomic<uint64_t>> bytes_;
  std::mutex lock_;
  std::vector<std::string> keepalive_;
  std::thread keeper_;
  std::vector<int> fds_;   // reserved up front: never moves while read
  int ep_[kThreads];
  std::thread threads_[kThreads];
  std::atomic<bool> quit_{false};
};

struct Load {
  double cpu_per_s = 0;
  double rate = 0;          // the clients' mean rate over the stream's
  double full_share = 0;    // the share of clients at 90 % of the stream's rate or more
  double rss_kib = 0;       // resident memory grown since before the first client
  double first_byte_ms = 0; // the slowest client's PLAY to its first byte
  bool ok = false;
};

// The stream's rate in bytes a second (25 pictures a second).
double stream_rate(void) {
  const Media &m = media();
  double total = 0;
  for (const auto &p : m.units)
    for (const Bytes &nal : p) total += (double)nal.size();
  return total / ((double)m.units.size() / 25);
}

// Connects n clients to url and measures cpu() and rss() (KiB) over the
// window.
template <typename Cpu, typename Rss>
Load measure(uint16_t port, const std::string &url, int n, Cpu cpu, Rss rss) {
  Drain d(n);
  Load l;
  long rss0 = rss();
  // Beside them one client that stops reading at once: it must not slow
  // the others down.
  int stalled = play_client(port, url);
  double slowest = 0;
  for (int i = 0; i < n; i++) {
    std::string keepalive;
    int fd = play_client(port, url, &keepalive);
    if (fd < 0) return l;
    auto t0 = std::chrono::steady_clock::now();
    char c;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) == 1 && recv(fd, &c, 1, MSG_PEEK) == 1)
      slowest = std::max(slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    d.add(fd, keepalive);
  }
  sleep(2);   // past the start of every client
  std::vector<uint64_t> b0 = d.bytes();
  double c0 = cpu();
  auto t0 = std::chrono::steady_clock::now();
  sleep(kWindowSeconds);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::vector<uint64_t> b1 = d.bytes();
  l.cpu_per_s = (cpu() - c0) / secs;
  double want = stream_rate(), sum = 0;
  int full = 0;
  for (int i = 0; i < n; i++) {
    double r = (double)(b1[i] - b0[i]) / secs / want;
    sum += r;
    if (r >= 0.9) full++;
  }
  l.rate = sum / n;
  l.full_share = (double)full / n;
  l.rss_kib = (double)(rss() - rss0);
  l.first_byte_ms = slowest * 1000;
  l.ok = true;
  if (stalled >= 0) close(stalled);
  return l;
}

// ---- the two servers ----

class Ours {
 public:
  Ours() {
    ParamBlock *p = get_param_block();
    *p = *param_default_block();
    memset(p->users, 0, sizeof p->users);
    p->rtsp_port = port_ = free_port();
    env_.name = "rtp";
    env_.params = p;
    producer_ = new Producer();
    pthread_create(&thread_, nullptr, rtpThrFxn, &env_);
    pin_thread(thread_, true);
    pthread_setname_np(thread_, "rtp");   // for a profiler
    pthread_getcpuclockid(thread_, &clock_);
    usleep(300000);
  }
  ~Ours() {
    set_exit_code(EXIT_QUIT);
    pthread_join(thread_, nullptr);
    set_exit_code(EXIT_RUNNING);
    rtsp_watch = 0;
    delete producer_;
  }
  uint16_t port() const { return port_; }
  double cpu() const { return cpu_of_clock(clock_) + producer_->cpu(); }

 private:
  ThreadEnv env_{};
  pthread_t thread_;
  clockid_t clock_;
  Producer *producer_;
  uint16_t port_;
};

const char kPeerScript[] =
    "import sys, gi\n"
    "gi.require_version('Gst', '1.0')\n"
    "gi.require_version('GstRtspServer', '1.0')\n"
    "from gi.repository import Gst, GstRtspServer, GLib\n"
    "Gst.init(None)\n"
    "s = GstRtspServer.RTSPServer()\n"
    "s.set_service(sys.argv[1])\n"
    "f = GstRtspServer.RTSPMediaFactory()\n"
    "f.set_launch('( filesrc location=%s ! matroskademux ! h264parse ! rtph264pay name=pay0 pt=96 "
    "config-interval=-1 )' % sys.argv[2])\n"
    "f.set_shared(True)\n"
    "s.get_mount_points().add_factory('/stream', f)\n"
    "s.attach(None)\n"
    "GLib.MainLoop().run()\n";

class Peer {
 public:
  Peer() {
    const Media &m = media();
    port_ = free_port();
    std::string script = m.dir + "/peer.py";
    char host[1024];
    FILE *f = fopen(root_path(script.c_str(), host, sizeof host), "w");
    if (f) {
      fputs(kPeerScript, f);
      fclose(f);
    }
    std::string port = std::to_string(port_);
    const char *argv[] = {"/usr/bin/python3", host, port.c_str(), m.mkv_host_path.c_str(), nullptr};
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0) pid_ = -1;
    cpu_set_t set;
    if (pid_ > 0 && server_cpus(&set)) sched_setaffinity(pid_, sizeof set, &set);
    usleep(1500000);
  }
  ~Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  uint16_t port() const { return port_; }
  double cpu() const { return cpu_of_process(pid_); }
  long rss() const { return rss_kib_of_process(pid_); }

 private:
  pid_t pid_ = -1;
  uint16_t port_;
};

std::map<std::string, Load> g_one;   // the 1-client load of each side

void report(benchmark::State &state, const char *side, const Load &l, int n) {
  std::string k(side);
  state.counters[k + "_load"] = l.cpu_per_s;
  state.counters[k + "_rate"] = l.rate;
  state.counters[k + "_full_share"] = l.full_share;
  state.counters[k + "_first_byte_ms"] = l.first_byte_ms;
  if (n == 1) {
    g_one[side] = l;
    state.counters[k + "_per_client"] = l.cpu_per_s;
  } else if (g_one.count(side)) {
    state.counters[k + "_per_client"] = (l.cpu_per_s - g_one[side].cpu_per_s) / (n - 1);
    state.counters[k + "_kib_per_client"] = (l.rss_kib - g_one[side].rss_kib) / (n - 1);
  }
}

void run_clients(benchmark::State &state, bool disturbed) {
  int n = (int)state.range(0);
  media();
  pin_thread(0, false);
  struct rlimit rl = {16384, 16384};
  setrlimit(RLIMIT_NOFILE, &rl);
  for (auto _ : state) {
    Load ours, peer;
    {
      Ours o;
      std::unique_ptr<Disturbance> d(disturbed ? new Disturbance(getpid()) : nullptr);
      ours = measure(o.port(), "rtsp://127.0.0.1:" + std::to_string(o.port()) + "/streamA.h264", n,
                     [&] { return o.cpu(); }, [] { return rss_kib_of_process(0); });
    }
    {
      Peer p;
      std::unique_ptr<Disturbance> d(disturbed && p.ok() ? new Disturbance(p.pid()) : nullptr);
      if (p.ok())
        peer = measure(p.port(), "rtsp://127.0.0.1:" + std::to_string(p.port()) + "/stream", n,
                       [&] { return p.cpu(); }, [&] { return p.rss(); });
    }
    if (!ours.ok) {
      state.SkipWithError("our server did not serve every client");
      break;
    }
    report(state, "ours", ours, n);
    // 0 when GStreamer's server did not serve every client (it may stop
    // answering at a few hundred TCP clients).
    state.counters["peer_served"] = peer.ok ? 1 : 0;
    if (peer.ok) {
      report(state, "peer", peer, n);
      double o = state.counters["ours_per_client"], pc = state.counters["peer_per_client"];
      if (o > 0) state.counters["vs_gstreamer"] = pc / o;
    }
  }
}

void BM_RtspTcpClients(benchmark::State &state) { run_clients(state, false); }
void BM_RtspTcpClientsDisturbed(benchmark::State &state) { run_clients(state, true); }

BENCHMARK(BM_RtspTcpClients)
    ->Arg(1)->Arg(50)->Arg(500)->Arg(1000)->Arg(2000)
    ->Iterations(1)->Unit(benchmark::kSecond);
// Per-client figures from the undisturbed 1-client run above.
BENCHMARK(BM_RtspTcpClientsDisturbed)->Arg(500)->Arg(1000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
