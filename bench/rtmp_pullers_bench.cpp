// CPU of the RTMP server per puller: 1, 50, 200 and 500 `rtmpdump --live -o
// /dev/null` pullers of one H.264+AAC stream, against nginx with its RTMP
// module (one worker, `live on`) in the same run, published by ffmpeg
// (`-re -stream_loop -1 -c copy -f flv`). Ours is this process: the listener
// fed in-process at the media's rate by a producer thread. Run it inside a
// network namespace of its own (`unshare -n`, loopback up). Reported per N:
// each side's CPU seconds per second (`ours_load`, `peer_load`), the cost of
// one more puller in cores (`ours_per_puller`, `peer_per_puller`, from the
// difference to 1 puller), and the received rate of the slowest puller and
// of the median one as a fraction of the stream's rate (`ours_min_rate`,
// `ours_median_rate`, `peer_...`): media seconds received over wall seconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "core/global.h"
#include "core/hwreg.h"
#include "core/param_block.h"
#include "formats/annexb.h"
#include "media/stream_ids.h"
#include "media/stream_queue.h"
#include "streaming/rtmp_server.h"

extern char **environ;

namespace {

const int kWarmSeconds = 4;
const int kWindowSeconds = 10;
typedef std::vector<uint8_t> Bytes;

std::string g_dir;

pid_t spawn(std::vector<std::string> args, const std::string &err_path) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

Bytes read_file(const std::string &path) {
  Bytes v;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  fclose(f);
  return v;
}

// rtmpdump's last progress figure: media seconds received so far.
double media_seconds(const std::string &err_path) {
  Bytes b = read_file(err_path);
  std::string s(b.begin(), b.end());
  size_t p = s.rfind(" sec");
  if (p == std::string::npos) return 0;
  size_t q = s.rfind("/ ", p);
  return q == std::string::npos ? 0 : atof(s.c_str() + q + 2);
}

// The clip both servers stream: 640x360 H.264 at 25 frames/s with an IDR
// every second, and stereo AAC, as FLV for nginx and as Annex-B access units
// and ADTS frames for ours.
struct Clip {
  std::vector<Bytes> aus;
  std::vector<bool> key;
  std::vector<Bytes> adts;
  std::string flv;
};

Clip make_clip(void) {
  Clip c;
  c.flv = g_dir + "/clip.flv";
  std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi "
                    "-i sine=frequency=440:sample_rate=48000 -t 10 -ac 2 -c:v libx264 -pix_fmt yuv420p "
                    "-x264-params bframes=0:keyint=25:min-keyint=25:scenecut=0:aud=1 -b:v 800k -c:a aac "
                    "-b:a 128k " + c.flv + " && ffmpeg -nostdin -v error -y -i " + c.flv +
                    " -c:v copy -bsf:v h264_mp4toannexb -f h264 " + g_dir + "/clip.h264 -c:a copy -f adts " +
                    g_dir + "/clip.aac";
  if (system(cmd.c_str()) != 0) return c;
  Bytes es = read_file(g_dir + "/clip.h264");
  AnnexbWalk w;
  annexb_walk_init(&w, es.data(), es.size());
  size_t s, e, start = 0;
  bool any = false, idr = false;
  while (annexb_walk_next(&w, &s, &e)) {
    int t = es[s] & 0x1F;
    if (t == 9) {
      size_t code = s - 3;
      if (code > 0 && es[code - 1] == 0) code--;
      if (any) {
        c.aus.emplace_back(es.begin() + start, es.begin() + code);
        c.key.push_back(idr);
      }
      start = code;
      any = true;
      idr = false;
    }
    if (t == 5) idr = true;
  }
  if (any) {
    c.aus.emplace_back(es.begin() + start, es.end());
    c.key.push_back(idr);
  }
  Bytes aac = read_file(g_dir + "/clip.aac");
  for (size_t p = 0; p + 7 <= aac.size();) {
    size_t len = ((size_t)(aac[p + 3] & 3) << 11) | ((size_t)aac[p + 4] << 3) | (aac[p + 5] >> 5);
    if (len < 7 || p + len > aac.size()) break;
    c.adts.emplace_back(aac.begin() + p, aac.begin() + p + len);
    p += len;
  }
  return c;
}

// A registered queue filled at the media's rate, each entry stamped with its
// own time.
class Feeder {
 public:
  explicit Feeder(const Clip &clip) : clip_(clip) {
    make(&video_, &vbuf_, VIDEO_STREAM1, 19200000, 1024);
    make(&audio_, &abuf_, AAC_STREAM, 1 << 20, 2048);
    thread_ = std::thread([this] { run(); });
  }
  ~Feeder() {
    quit_ = true;
    thread_.join();
  }

 private:
  void make(StreamQueue *q, Buffer_Handle *b, StreamId id, uint32_t bytes, uint32_t entries) {
    stream_register(nullptr, q, id);
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.memAlign = STREAM_RING_ALIGN;
    *b = Buffer_create(bytes, &a);
    ringbuffer_init(q, *b, entries, STREAM_RING_ALIGN);
  }
  void put(StreamQueue *q, const Bytes &d, uint32_t ts, uint32_t flags) {
    int off = ringbuffer_preallocate(q, (uint32_t)d.size());
    if (off < 0) return;
    memcpy(q->base + off, d.data(), d.size());
    ringbuffer_put(q, (uint32_t)d.size(), ts, flags);
  }
  void run() {
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    uint32_t t0 = timestamp_now();
    for (uint64_t ms = 0, v = 0, a = 0; !quit_; ms++) {
      if (ms * 25 >= v * 1000) {
        size_t i = v % clip_.aus.size();
        put(&video_, clip_.aus[i], t0 + (uint32_t)(v * 3600), clip_.key[i] ? STREAM_FLAG_KEY : 0u);
        v++;
      }
      if (ms * 48 >= a * 1024) {
        put(&audio_, clip_.adts[a % clip_.adts.size()], t0 + (uint32_t)(a * 1920), STREAM_FLAG_KEY);
        a++;
      }
      next.tv_nsec += 1000000;
      if (next.tv_nsec >= 1000000000L) {
        next.tv_nsec -= 1000000000L;
        next.tv_sec++;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
  }
  const Clip &clip_;
  StreamQueue video_{}, audio_{};
  Buffer_Handle vbuf_ = nullptr, abuf_ = nullptr;
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

struct Result {
  double load = 0;
  double min_rate = 0, median_rate = 0;
};

// Starts n pullers of url (rtmpdump -r base -y name), measures over the
// window, stops them.
template <typename Cpu>
Result measure(const std::string &base, const std::string &name, int n, Cpu cpu, const char *tag) {
  std::vector<pid_t> pids;
  std::vector<std::string> errs;
  for (int i = 0; i < n; i++) {
    errs.push_back(g_dir + "/" + tag + std::to_string(i) + ".txt");
    pids.push_back(spawn({"rtmpdump", "--live", "-r", base, "-y", name, "-o", "/dev/null"}, errs.back()));
  }
  sleep(kWarmSeconds);
  std::vector<double> m0;
  for (auto &e : errs) m0.push_back(media_seconds(e));
  double c0 = cpu();
  auto t0 = std::chrono::steady_clock::now();
  sleep(kWindowSeconds);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  Result r;
  r.load = (cpu() - c0) / secs;
  std::vector<double> rates;
  for (size_t i = 0; i < errs.size(); i++) rates.push_back((media_seconds(errs[i]) - m0[i]) / secs);
  for (pid_t p : pids) kill(p, SIGTERM);
  for (pid_t p : pids) waitpid(p, nullptr, 0);
  std::sort(rates.begin(), rates.end());
  r.min_rate = rates.front();
  r.median_rate = rates[rates.size() / 2];
  return r;
}

std::map<int, Result> g_ours, g_peer;

void report(benchmark::State &state, const char *side, std::map<int, Result> &all, int n) {
  const Result &r = all[n];
  state.counters[std::string(side) + "_load"] = r.load;
  state.counters[std::string(side) + "_min_rate"] = r.min_rate;
  state.counters[std::string(side) + "_median_rate"] = r.median_rate;
  if (n > 1 && all.count(1))
    state.counters[std::string(side) + "_per_puller"] = (r.load - all[1].load) / (n - 1);
}

void BM_RtmpPullers(benchmark::State &state) {
  int n = (int)state.range(0);
  static Clip clip;
  static uint16_t ours_port, peer_port;
  static pid_t nginx = -1, publisher = -1;
  static Feeder *feeder;
  static ThreadEnv env;
  static pthread_t listener;
  if (clip.aus.empty()) {
    char tmpl[] = "/tmp/rtmp-bench-XXXXXX";
    g_dir = mkdtemp(tmpl);
    clip = make_clip();
    if (clip.aus.empty() || clip.adts.empty()) {
      state.SkipWithError("ffmpeg could not make the clip");
      return;
    }
    struct rlimit rl = {8192, 8192};
    setrlimit(RLIMIT_NOFILE, &rl);
    ours_port = free_port();
    peer_port = free_port();
    setenv("M7391_RTMP_PORT", std::to_string(ours_port).c_str(), 1);
    ParamBlock *p = get_param_block();
    p->video[0].rtmp_audio = 1;
    feeder = new Feeder(clip);
    env.name = "rtmpC";
    env.params = p;
    pthread_create(&listener, nullptr, rtmpServerThrFxn, &env);
    std::string conf = g_dir + "/nginx.conf";
    FILE *f = fopen(conf.c_str(), "w");
    fprintf(f,
            "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
            "worker_processes 1;\nworker_rlimit_nofile 8192;\ndaemon off;\npid %s/nginx.pid;\n"
            "error_log %s/error.log;\nevents { worker_connections 4096; }\n"
            "rtmp { server { listen 127.0.0.1:%u; application live { live on; } } }\n",
            g_dir.c_str(), g_dir.c_str(), peer_port);
    fclose(f);
    nginx = spawn({"nginx", "-p", g_dir, "-c", conf}, g_dir + "/nginx.err");
    sleep(1);
    publisher = spawn({"ffmpeg", "-nostdin", "-v", "error", "-re", "-stream_loop", "-1", "-i", clip.flv, "-c",
                       "copy", "-f", "flv", "rtmp://127.0.0.1:" + std::to_string(peer_port) + "/live/stream"},
                      g_dir + "/publish.err");
    sleep(2);
  }
  // nginx's master and its one worker.
  auto peer_cpu = [] {
    double c = cpu_of_process(nginx);
    std::string kids = "/proc/" + std::to_string(nginx) + "/task/" + std::to_string(nginx) + "/children";
    Bytes b = read_file(kids);
    std::string s(b.begin(), b.end());
    for (size_t p = 0; p < s.size();) {
      c += cpu_of_process((pid_t)atoi(s.c_str() + p));
      p = s.find(' ', p);
      if (p == std::string::npos) break;
      p++;
    }
    return c;
  };
  for (auto _ : state) {
    g_ours[n] = measure("rtmp://127.0.0.1:" + std::to_string(ours_port) + "/live", "streamA.m3u8", n,
                        cpu_of_self, "ours");
    g_peer[n] = measure("rtmp://127.0.0.1:" + std::to_string(peer_port) + "/live", "stream", n, peer_cpu,
                        "peer");
  }
  report(state, "ours", g_ours, n);
  report(state, "peer", g_peer, n);
  if (n == 500) {
    stop(publisher);
    stop(nginx);
    set_exit_code(EXIT_QUIT);
    pthread_join(listener, nullptr);
    delete feeder;
  }
}

}  // namespace

BENCHMARK(BM_RtmpPullers)->Arg(1)->Arg(50)->Arg(200)->Arg(500)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
