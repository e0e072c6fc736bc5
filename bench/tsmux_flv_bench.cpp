// TS and FLV muxing throughput against ffmpeg's stream copy into the same
// containers (`ffmpeg -c copy -f mpegts` / `-f flv`), on the same H.264 + AAC
// input made at start-up, measured in the same run. Reported: input bytes per
// second of each, and for ours `vs_ffmpeg`, how many times ffmpeg's wall time
// ours takes less (ffmpeg's includes its start-up and its parsing of the
// elementary streams; ours writes each dequeue into a reused buffer as a
// muxed consumer does).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/formats/media_inputs.h"
#include "../tests/formats/mux_setup.h"
#include "formats/flv.h"
#include "formats/tsmux.h"

namespace {

struct Input {
  std::string dir;
  std::vector<Bytes> video, audio;
  size_t bytes = 0;
  double ffmpeg_ts_s = 0, ffmpeg_flv_s = 0;
};

double run_seconds(std::vector<const char *> args) {
  auto t0 = std::chrono::steady_clock::now();
  run_tool(args);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ffmpeg's best wall time of three runs.
double ffmpeg_copy(const Input &in, const char *format) {
  std::string v = in.dir + "/in.h264", a = in.dir + "/in.aac";
  std::vector<const char *> args = {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "h264",
                                    "-framerate", "25", "-i", v.c_str(), "-i", a.c_str(), "-c", "copy",
                                    "-f", format, "/dev/null"};
  double best = 1e9;
  for (int i = 0; i < 3; i++) best = std::min(best, run_seconds(args));
  return best;
}

const Input &input(void) {
  static Input in;
  if (!in.dir.empty()) return in;
  char tmpl[] = "/tmp/m7391-muxbench-XXXXXX";
  in.dir = mkdtemp(tmpl) ? tmpl : "/tmp";
  Bytes es = make_h264(in.dir, "in.h264", "1280x720", 250, "", "testsrc2");
  in.video = split_access_units(es);
  in.audio = split_adts(make_aac(in.dir, "in.aac", 10));
  for (auto &v : in.video) in.bytes += v.size();
  for (auto &a : in.audio) in.bytes += a.size();
  in.ffmpeg_ts_s = ffmpeg_copy(in, "mpegts");
  in.ffmpeg_flv_s = ffmpeg_copy(in, "flv");
  return in;
}

// Returns the bytes produced, 0 when a write failed.
size_t mux_ts_once(const Input &in, std::vector<uint8_t> &buf) {
  TsMux *m = ts_setup(TS_AAC);
  size_t j = 0, total = 0;
  for (size_t i = 0; i < in.video.size(); i++) {
    uint32_t pts = kVideoTicks * (uint32_t)i;
    m->clock = pts + 900;
    m->video.pts = pts;
    int n = tsmux_write(m, 0x1011, buf.data(), buf.size(), in.video[i].data(), (uint32_t)in.video[i].size());
    for (; j < in.audio.size() && kAudioTicks * j <= pts && n > 0; j++) {
      m->audio.pts = kAudioTicks * (uint32_t)j;
      int a = tsmux_write(m, 0x1100, buf.data() + n, buf.size() - n, in.audio[j].data(),
                          (uint32_t)in.audio[j].size());
      n = a > 0 ? n + a : -1;
    }
    if (n <= 0) total = 0;
    else total += (size_t)n;
    benchmark::DoNotOptimize(buf.data());
    if (!total) break;
  }
  tsmux_delete(m);
  return total;
}

size_t mux_flv_once(const Input &in, std::vector<uint8_t> &buf) {
  FlvMux *f = flv_setup(true);
  int n = flv_write_header(f, buf.data(), buf.size());
  n += flv_write_aac_config(f, buf.data() + n, buf.size() - n);
  size_t j = 0, total = n > 0 ? (size_t)n : 0;
  for (size_t i = 0; i < in.video.size() && total; i++) {
    const uint8_t *d = in.video[i].data();
    uint32_t len = (uint32_t)in.video[i].size();
    f->video_ts = kVideoTicks * (uint32_t)i / 90;
    n = flv_write_avc_config(f, buf.data(), buf.size(), &d, &len);
    f->frame_type = is_key_unit(in.video[i]) ? 1 : 2;
    int t = n >= 0 ? flv_write_tag(f, FLV_TAG_VIDEO, buf.data() + n, buf.size() - n, d, len) : -1;
    n = t > 0 ? n + t : -1;
    for (; j < in.audio.size() && kAudioTicks * j <= kVideoTicks * i; j++) {
      f->audio_ts = kAudioTicks * (uint32_t)j / 90;
      int a = n > 0 ? flv_write_tag(f, FLV_TAG_AUDIO, buf.data() + n, buf.size() - n, in.audio[j].data(),
                                    (uint32_t)in.audio[j].size()) : -1;
      n = a > 0 ? n + a : -1;
    }
    if (n <= 0) total = 0;
    else total += (size_t)n;
    benchmark::DoNotOptimize(buf.data());
  }
  flv_delete(f);
  return total;
}

void run_ours(benchmark::State &state, size_t (*mux_once)(const Input &, std::vector<uint8_t> &),
              double peer_s) {
  const Input &in = input();
  std::vector<uint8_t> buf(0xD8000);  // a muxed consumer's buffer
  double spent = 0;
  size_t out = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    out = mux_once(in, buf);
    spent += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!out) {
      state.SkipWithError("a write failed");
      break;
    }
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * in.bytes));
  state.counters["out_bytes"] = (double)out;
  if (spent > 0) state.counters["vs_ffmpeg"] = peer_s / (spent / (double)state.iterations());
}

void BM_TsMux(benchmark::State &state) { run_ours(state, mux_ts_once, input().ffmpeg_ts_s); }

void BM_FlvMux(benchmark::State &state) { run_ours(state, mux_flv_once, input().ffmpeg_flv_s); }

void BM_FfmpegCopy(benchmark::State &state, const char *format) {
  const Input &in = input();
  std::string v = in.dir + "/in.h264", a = in.dir + "/in.aac";
  for (auto _ : state) {
    state.SetIterationTime(run_seconds({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "h264",
                                        "-framerate", "25", "-i", v.c_str(), "-i", a.c_str(), "-c", "copy",
                                        "-f", format, "/dev/null"}));
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * in.bytes));
}

}  // namespace

BENCHMARK(BM_TsMux)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FfmpegCopy, mpegts, "mpegts")->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlvMux)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FfmpegCopy, flv, "flv")->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
