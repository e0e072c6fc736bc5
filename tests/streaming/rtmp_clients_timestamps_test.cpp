// Real players against the RTMP listener fed in-process: H.264 made with
// four slices per picture and AAC, with the 90 kHz clock wrapping past 2^32
// and the connection's milliseconds crossing 0xFFFFFF (from where type-3
// chunks repeat the extended timestamp). rtmpdump's recording must keep
// monotonic timestamps without jumps and decode cleanly; ffmpeg playing
// directly must not complain. Connections accepted in a burst are logged
// once, with a count when the burst is over.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "rtsp_test_support.h"
#include "streaming/rtmp/rtmp_connection.h"
#include "streaming/rtmp_server.h"

namespace {

// Access units of a stream coded with an AUD before each picture.
std::vector<Bytes> split_at_auds(const Bytes &es) {
  std::vector<Bytes> aus;
  size_t start = 0;
  bool first = true;
  for (auto [s, e] : annexb_units(es)) {
    if ((es[s] & 0x1F) != 9) continue;
    size_t code = s - 3;
    if (code > 0 && es[code - 1] == 0) code--;
    if (!first) aus.emplace_back(es.begin() + start, es.begin() + code);
    start = code;
    first = false;
  }
  if (!first) aus.emplace_back(es.begin() + start, es.end());
  return aus;
}

// Publishes whole access units at 25 frames/s and ADTS frames at their rate.
class Feeder {
 public:
  Feeder(const std::vector<Bytes> &aus, const std::vector<Bytes> &adts)
      : video_(VIDEO_STREAM1, 8u << 20, 512), audio_(AAC_STREAM, 1u << 20, 2048), aus_(aus), adts_(adts) {
    thread_ = std::thread([this] { run(); });
  }
  ~Feeder() {
    quit_ = true;
    thread_.join();
  }

 private:
  // Each entry is stamped with its own time, as capture does, even when this
  // thread runs late and publishes several at once.
  void put(TestStream &st, const Bytes &b, uint32_t ts, uint32_t flags) {
    int off = ringbuffer_preallocate(&st.queue, (uint32_t)b.size());
    if (off < 0) return;
    memcpy(st.queue.base + off, b.data(), b.size());
    ringbuffer_put(&st.queue, (uint32_t)b.size(), ts, flags);
  }
  void run() {
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    uint32_t t0 = timestamp_now();
    for (uint64_t ms = 0, v = 0, a = 0; !quit_; ms++) {
      if (ms * 25 >= v * 1000) {
        const Bytes &au = aus_[v % aus_.size()];
        put(video_, au, t0 + (uint32_t)(v++ * 3600), is_key_unit(au) ? (uint32_t)STREAM_FLAG_KEY : 0u);
      }
      if (ms * 48 >= a * 1024) {
        put(audio_, adts_[a % adts_.size()], t0 + (uint32_t)(a * 1920), STREAM_FLAG_KEY);
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
  TestStream video_, audio_;
  std::vector<Bytes> aus_, adts_;
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

TEST(RtmpClients, TimestampsCrossTheClockWrapAndTheExtendedRange) {
  if (!have_ffmpeg() || !tool_exists("/usr/bin/rtmpdump")) GTEST_SKIP() << "ffmpeg or rtmpdump missing";
  std::string dir = test_scratch_dir("rtmp");
  std::vector<Bytes> aus = split_at_auds(make_h264(dir, "slices.h264", "320x240", 50, "slices=4:aud=1"));
  std::vector<Bytes> adts = split_adts(make_aac(dir, "a.aac", 2));
  ASSERT_EQ(aus.size(), 50u);
  ASSERT_FALSE(adts.empty());

  ParamBlock *p = get_param_block();
  *p = *param_default_block();
  p->video[0].rtmp_audio = 1;
  uint16_t port = free_tcp_port();
  setenv("M7391_RTMP_PORT", std::to_string(port).c_str(), 1);
  // The clock wraps 3 s in, the milliseconds pass 0xFFFFFF 4 s in.
  timestamp_set(0xFFFFFFFFu - 3 * 90000);
  rtmp_start_ms = 0xFFFFFF - 4000;
  auto feeder = std::make_unique<Feeder>(aus, adts);
  ThreadEnv env{};
  env.name = "rtmpC";
  env.params = p;
  pthread_t th;
  ASSERT_EQ(pthread_create(&th, nullptr, rtmpServerThrFxn, &env), 0);
  ASSERT_TRUE(RtpThread::wait_listening(port));

  std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live";
  std::string flv = dir + "/a.flv", out;
  // A relative name: the runner moves absolute arguments into the root.
  run_tool({"/usr/bin/timeout", "9", "rtmpdump", "-q", "--live", "-r", url.c_str(), "-y",
            "streamA.m3u8", "-o", flv.c_str()});
  std::string play = url + "/streamA.m3u8";
  run_tool({"/usr/bin/timeout", "30", "ffmpeg", "-nostdin", "-v", "error", "-i", play.c_str(), "-t", "8",
            "-f", "null", "-"},
           &out);
  std::string direct = out;

  set_exit_code(EXIT_QUIT);
  pthread_join(th, nullptr);
  set_exit_code(EXIT_RUNNING);
  EXPECT_EQ(rtmp_connection_count(), 0);
  rtmp_start_ms = 0;
  feeder.reset();
  stream_register_clear();

  EXPECT_EQ(direct, "");
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "packet=codec_type,pts", "-of", "csv=p=0",
            flv.c_str()},
           &out);
  int64_t last[2] = {-1, -1};
  int counts[2] = {0, 0};
  for (const std::string &line : text_lines(out)) {
    std::vector<std::string> f = csv_fields(line);
    if (f.size() < 2) continue;
    int k = f[0] == "video" ? 0 : 1;
    int64_t pts = atoll(f[1].c_str());
    if (last[k] >= 0) {
      // Whole frames on (a player held off past a second is moved on to a
      // key frame), never a jump of the clocks' ranges.
      int64_t gap = pts - last[k];
      double frame_ms = k == 0 ? 40.0 : 1024.0 / 48;
      EXPECT_GE(gap, 0) << line;
      EXPECT_LE(std::fabs((double)gap - frame_ms * std::round((double)gap / frame_ms)), 1.0) << line;
      EXPECT_LT(gap, 10000) << line;
    }
    last[k] = pts;
    counts[k]++;
  }
  EXPECT_GT(counts[0], 150);
  EXPECT_GT(counts[1], 250);
  EXPECT_GT(last[0], 0xFFFFFF + 2000);  // well past the extended threshold
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", flv.c_str(), "-f", "null", "-"}, &out);
  EXPECT_EQ(out, "");
}

// Connections that leave before their handshake, one right after the
// other: the first is logged (with its failed handshake), the second only
// counted, in one line once no connection has come for a while (this test
// then takes that long).
TEST(RtmpClients, ABurstOfConnectionsIsLoggedOnce) {
  ParamBlock *p = get_param_block();
  *p = *param_default_block();
  uint16_t port = free_tcp_port();
  setenv("M7391_RTMP_PORT", std::to_string(port).c_str(), 1);
  ThreadEnv env{};
  env.name = "rtmpC";
  env.params = p;
  pthread_t th;
  log_reset();
  ASSERT_EQ(pthread_create(&th, nullptr, rtmpServerThrFxn, &env), 0);
  // (Its look whether the port is open is the burst's first connection.)
  ASSERT_TRUE(RtpThread::wait_listening(port));
  close(connect_local(port));
  const char *burst = " connections accepted in a row, only the first logged";
  for (int i = 0; i < 3000 && count_of(held_log(), burst) == 0; i++) usleep(10000);
  for (int i = 0; i < 500 && rtmp_connection_count() > 0; i++) usleep(10000);
  set_exit_code(EXIT_QUIT);
  pthread_join(th, nullptr);
  set_exit_code(EXIT_RUNNING);
  std::string log = held_log();
  EXPECT_EQ(count_of(log, burst), 1u) << log;
  // (A burst a test before this one left running may take these two in.)
  size_t logged = count_of(log, "RTMP accepted connection");
  EXPECT_LE(logged, 1u) << log;
  EXPECT_EQ(count_of(log, "RTMP handshake error"), logged) << log;
}

}  // namespace
