// MP4 writing throughput against ffmpeg's stream copy into MP4
// (`ffmpeg -c copy -f mp4`), on the same H.264 + AAC input made at start-up,
// measured in the same run; both write a real file in the same directory.
// Reported: input bytes per second of each, and for ours `vs_ffmpeg`, how
// many times ffmpeg's wall time ours takes less (ffmpeg's includes its
// start-up and its parsing of the elementary streams; ours is the recorder's
// calling order: video frame, then the audio up to it, interleave 45000).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/formats/media_inputs.h"
#include "formats/mp4_write.h"

namespace {

const uint32_t kVideoTicks = 3600;
const uint32_t kAudioTicks = 1920;

struct Input {
  std::string dir;
  std::vector<Bytes> video, audio;
  size_t bytes = 0;
  double ffmpeg_s = 0;
};

double run_seconds(std::vector<const char *> args) {
  auto t0 = std::chrono::steady_clock::now();
  run_tool(args);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<const char *> ffmpeg_args(const std::string &v, const std::string &a, const std::string &out) {
  return {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "h264", "-framerate", "25", "-i", v.c_str(),
          "-i", a.c_str(), "-c", "copy", "-f", "mp4", out.c_str()};
}

const Input &input(void) {
  static Input in;
  if (!in.dir.empty()) return in;
  char tmpl[] = "/tmp/m7391-mp4bench-XXXXXX";
  in.dir = mkdtemp(tmpl) ? tmpl : "/tmp";
  in.video = split_access_units(make_h264(in.dir, "in.h264", "1280x720", 250, "", "testsrc2"));
  in.audio = split_adts(make_aac(in.dir, "in.aac", 10));
  for (auto &v : in.video) in.bytes += v.size();
  for (auto &a : in.audio) in.bytes += a.size();
  std::string v = in.dir + "/in.h264", a = in.dir + "/in.aac", out = in.dir + "/ffmpeg.mp4";
  double best = 1e9;
  for (int i = 0; i < 3; i++) best = std::min(best, run_seconds(ffmpeg_args(v, a, out)));
  in.ffmpeg_s = best;
  return in;
}

// One recording; returns the file size, 0 on an error.
uint64_t write_once(const Input &in, const std::string &path) {
  FILE *f = fopen(path.c_str(), "w+b");
  if (!f) return 0;
  Mp4Muxer *m = mp4_new();
  mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, kVideoTicks, 0, 1280, 720, 100, 40);
  mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, kAudioTicks, 0, 48000, 2);
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, f);
  mp4_write_header(m, NULL, 0);
  size_t j = 0;
  for (size_t i = 0; i < in.video.size(); i++) {
    mp4_write_track(m, 1, in.video[i].data(), (uint32_t)in.video[i].size(), kVideoTicks);
    for (; j < in.audio.size() && kAudioTicks * j <= kVideoTicks * i; j++)
      mp4_write_track(m, 2, in.audio[j].data(), (uint32_t)in.audio[j].size(), kAudioTicks);
  }
  mp4_finish(m);
  uint64_t size = mp4_get_error(m) ? 0 : m->pos;
  mp4_delete(m);
  if (fclose(f) != 0) size = 0;
  return size;
}

void BM_Mp4Write(benchmark::State &state) {
  const Input &in = input();
  std::string path = in.dir + "/ours.mp4";
  double spent = 0;
  uint64_t out = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    out = write_once(in, path);
    spent += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!out) {
      state.SkipWithError("a write failed");
      break;
    }
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * in.bytes));
  state.counters["out_bytes"] = (double)out;
  if (spent > 0) state.counters["vs_ffmpeg"] = in.ffmpeg_s / (spent / (double)state.iterations());
}

void BM_FfmpegCopyMp4(benchmark::State &state) {
  const Input &in = input();
  std::string v = in.dir + "/in.h264", a = in.dir + "/in.aac", out = in.dir + "/ffmpeg.mp4";
  for (auto _ : state) state.SetIterationTime(run_seconds(ffmpeg_args(v, a, out)));
  state.SetBytesProcessed((int64_t)(state.iterations() * in.bytes));
}

}  // namespace

BENCHMARK(BM_Mp4Write)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegCopyMp4)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
