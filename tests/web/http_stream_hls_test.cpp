// HTTP Live Streaming through the web server in this process, fed with real
// H.264 and AAC at many times real time: the playlist lists the held
// segments with their measured durations and a media sequence that players
// can follow for minutes of stream time; each segment starts with the
// program tables and plays on its own; the segmenter ends by itself when
// nobody asks for playlists, and a segment request never waits for ever.
#include "web_test_support.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <regex>
#include <thread>

#include "../media/stream_mux_test_support.h"
#include "core/process_util.h"
#include "web/http_stream.h"
#include "test_root.h"

namespace {

struct Playlist {
  int target = -1;
  long seq = -1;
  std::vector<double> durations;
  std::vector<std::string> names;
};

Playlist parse_playlist(const std::string &text) {
  Playlist p;
  std::smatch m;
  if (std::regex_search(text, m, std::regex("#EXT-X-TARGETDURATION:(\\d+)\n")))
    p.target = std::stoi(m[1]);
  if (std::regex_search(text, m, std::regex("#EXT-X-MEDIA-SEQUENCE:(\\d+)\n")))
    p.seq = std::stol(m[1]);
  std::regex entry("#EXTINF:([0-9.]+),\n([^\n#]+)\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it) {
    p.durations.push_back(std::stod((*it)[1]));
    p.names.push_back((*it)[2]);
  }
  return p;
}

// Publishes stream A's video and audio from the real inputs, looped, at
// `pace_us` per video frame, until stopped.
class Feeder {
 public:
  Feeder(AvRings &rings, unsigned pace_us) : rings_(rings), pace_us_(pace_us) {
    thread_ = std::thread([this] { run(); });
  }
  ~Feeder() {
    stop_ = true;
    thread_.join();
  }

 private:
  void run() {
    const MuxInputs &in = mux_inputs();
    // Time stamp 0 means "not started" to a muxer: the run starts a second on.
    uint32_t t0 = timestamp_now() + 90000;
    Timeline t{t0, t0, SIZE_MAX, SIZE_MAX};
    size_t i = 0, next_audio = 0;
    while (!stop_) {
      publish_run(t, in.video, in.aac, &rings_.video.queue, &rings_.audio.queue, i, i + 1, &next_audio);
      i++;
      usleep(pace_us_);
    }
  }
  AvRings &rings_;
  unsigned pace_us_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class Hls : public WebTest {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "needs ffmpeg";
    WebTest::SetUp();
    stream_register_clear();
    stream_mux_init();
    mux_inputs();
  }
  void TearDown() override {
    stream_register_clear();
    WebTest::TearDown();
  }
};

TEST_F(Hls, PlaylistFollowsTheHeldSegmentsForAMinute) {
  auto start = std::chrono::steady_clock::now();
  AvRings rings(8 << 20, 1024);
  // 12 ms of wall time per frame: 3 times real time, and a playlist
  // request well within every segment even on a busy two-core machine.
  Feeder feed(rings, 12000);
  // A key frame every 25 frames of 3600 ticks: a segment is the 50 frames up
  // to the first key frame after 30, 2 s.
  HttpReply r = http_get("/streamA.m3u8");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "application/x-mpegURL");
  EXPECT_EQ(r.body.rfind("#EXTM3U\n", 0), 0u) << r.body;
  Playlist p = parse_playlist(r.body);
  ASSERT_EQ(p.names.size(), 1u) << r.body;
  EXPECT_EQ(p.seq, 0);
  EXPECT_EQ(p.names[0], "streamA0.ts");
  long last_seq = 0, newest = 0, next_probe = 1;
  std::vector<std::string> segments;
  // A minute of stream time, some 20 s of real time.
  auto by = test_waits_end(start);
  while (newest < 30 && std::chrono::steady_clock::now() < by) {
    r = http_get("/streamA.m3u8");
    ASSERT_EQ(r.status, 200);
    p = parse_playlist(r.body);
    ASSERT_FALSE(p.names.empty()) << r.body;
    ASSERT_LE(p.names.size(), 4u) << r.body;
    ASSERT_GE(p.seq, last_seq) << r.body;
    for (size_t k = 0; k < p.names.size(); k++) {
      EXPECT_EQ(p.names[k], "streamA" + std::to_string((p.seq + (long)k) % 5) + ".ts") << r.body;
      EXPECT_NEAR(p.durations[k], 2.0, 0.001) << r.body;
      EXPECT_LE(std::round(p.durations[k]), p.target) << r.body;
    }
    long now_newest = p.seq + (long)p.names.size() - 1;
    // Every ninth or so the newest segment (a poll held off the CPU may pass
    // one over: the next is taken): tables first, H.264 and AAC alone.
    // They are probed after the loop: a slow probe here would leave the
    // segmenter without playlist requests and end it.
    if (now_newest >= next_probe) {
      next_probe = now_newest + 9;
      HttpReply seg = http_get("/" + p.names.back());
      ASSERT_EQ(seg.status, 200);
      EXPECT_EQ(seg.header("Content-Type"), "video/MP2T");
      segments.push_back(seg.body);
    }
    newest = now_newest;
    last_seq = p.seq;
    sleep_ms(20);
  }
  ASSERT_GE(newest, 30) << "the segments of a minute of stream made in time";
  EXPECT_GE(segments.size(), 3u);
  std::string dir = test_scratch_dir("hls");
  for (const std::string &body : segments) {
    ASSERT_GE(body.size(), 188u);
    EXPECT_EQ(body.size() % 188, 0u);
    const uint8_t *b = (const uint8_t *)body.data();
    EXPECT_EQ(b[0], 0x47);
    EXPECT_EQ(((b[1] & 0x1F) << 8) | b[2], 0) << "segment does not start with a PAT";
    ASSERT_TRUE(write_board_file(dir + "/seg.ts", Bytes(body.begin(), body.end())));
    std::string out;
    run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
              (dir + "/seg.ts").c_str()},
             &out);
    EXPECT_NE(out.find("h264"), std::string::npos) << out;
    EXPECT_NE(out.find("aac"), std::string::npos) << out;
    EXPECT_EQ(decode_errors(dir + "/seg.ts"), "");
  }
  // Nobody asks any more: five segments later the segmenter ends, and its
  // consumer with it.
  for (int i = 0; i < 500 && stream_consumer_count(VIDEO_STREAM1) > 0; i++) sleep_ms(10);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
  // The next playlist starts anew.
  r = http_get("/streamA.m3u8");
  p = parse_playlist(r.body);
  EXPECT_EQ(p.seq, 0) << r.body;
  // The rings must outlive the segmenter.
  for (int i = 0; i < 500 && stream_consumer_count(VIDEO_STREAM1) > 0; i++) sleep_ms(10);
}

// The target duration is the longest listed segment in whole seconds,
// rounded up: segments of 2.6 s give 3.
TEST_F(Hls, TargetDurationRoundsTheLongestSegmentUp) {
  AvRings rings(8 << 20, 1024);
  std::atomic<bool> stop{false};
  std::thread feed([&] {
    // A key unit every 65 frames of 3600 ticks.
    uint32_t t0 = timestamp_now() + 90000;
    for (uint32_t i = 0; !stop; i++) {
      bool key = i % 65 == 0;
      publish(&rings.video.queue, synthetic_au(key, 2000), t0 + 3600 * i, key ? (uint32_t)STREAM_FLAG_KEY : 0u);
      usleep(2000);
    }
  });
  Playlist p;
  for (int i = 0; i < 500; i++) {
    HttpReply r = http_get("/streamA.m3u8");
    ASSERT_EQ(r.status, 200);
    p = parse_playlist(r.body);
    bool whole = false;
    for (double d : p.durations) whole = whole || std::fabs(d - 2.6) < 0.001;
    if (whole) break;
    sleep_ms(20);
  }
  stop = true;
  feed.join();
  ASSERT_FALSE(p.durations.empty());
  EXPECT_NEAR(*std::max_element(p.durations.begin(), p.durations.end()), 2.6, 0.001);
  EXPECT_EQ(p.target, 3);
  for (int i = 0; i < 500 && stream_consumer_count(VIDEO_STREAM1) > 0; i++) sleep_ms(10);
}

// No playlist names them: they are unknown names, not empty segments.
TEST_F(Hls, SegmentRowsFiveToNineAreNotFound) {
  AvRings rings(8 << 20, 1024);
  for (const char *name : {"/streamA5.ts", "/streamA7.ts", "/streamB9.ts"}) {
    HttpReply r = http_get(name);
    EXPECT_EQ(r.status, 404) << name;
    EXPECT_EQ(r.header("Content-Type"), "text/html") << name;
  }
}

TEST_F(Hls, ASegmentThatNeverComesIsNotFound) {
  // Stream B has a producer that gives nothing: the request waits for the
  // segmenter to give up (twice), not for ever.
  // Meanwhile the server answers everyone else: the waiting request holds
  // no thread of the library's.
  TestStream b(VIDEO_STREAM2, 1 << 20, 64), aac(AAC_STREAM, 1 << 20, 64);
  std::atomic<bool> done{false};
  HttpReply r;
  std::thread waiter([&] {
    r = http_get("/streamB2.ts");
    done = true;
  });
  for (int i = 0; i < 500 && stream_consumer_count(VIDEO_STREAM2) == 0; i++) sleep_ms(10);
  HttpReply page = http_get("/Video[0].BitRate");
  EXPECT_EQ(page.status, 200);
  EXPECT_FALSE(done) << "the page waited for the segment";
  waiter.join();
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM2), 0);
}

}  // namespace
