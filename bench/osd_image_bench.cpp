// Cost per frame of an overlay image on a frame, against ffmpeg's overlay
// filter blending the same PNG on frames of the same size in the same run.
// The image is an RGBA logo made by ImageMagick, installed in slot 0 as an
// "RLEA" image (opacity 8, blended from its runs) or as a DMA image
// (opacity 12, copied from the overlay DMA buffer by the EDMA engine, which
// the host simulates with memmove). Reported per case (image size, frame
// size, route): time per frame, `ffmpeg_ns` (ffmpeg's processor time per
// frame with the overlay minus without, one thread, the logo converted
// once),
// `vs_ffmpeg` (the target is 0.5 or less) and, when valgrind is installed,
// `Ir` (instructions per composite, counted by callgrind in a child run) and
// `Ir_per_px` (per image pixel): the cost must grow with the image's area
// only, the same on a 1280x720 frame as on a 1920x1080 one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "callgrind_count.h"
#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "osd/osd_command.h"
#include "osd/osd_composite.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/root_layout.h"

extern char **environ;

namespace {

struct Case {
  int w, h;             // image
  int fw, fh;           // frame
  int dma;              // 1: the DMA route
};

std::string dir;
ParamBlock block;
Buffer_Handle frame_buf, dma_buf;

bool prepare_root(void) {
  char tmpl[] = "/tmp/m7391-imgbench-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  dir = tmpl;
  setenv("M7391_ROOT", tmpl, 1);
  root_set(tmpl);
  return root_layout(tmpl, nullptr, 1) == 0 && root_init() == 0;
}

std::string logo(int w, int h) {
  std::string path = dir + "/logo" + std::to_string(w) + "x" + std::to_string(h) + ".png";
  if (access(path.c_str(), R_OK) != 0) {
    std::string cmd = "convert -size " + std::to_string(w) + "x" + std::to_string(h) +
                      " xc:none -fill 'rgba(0,0,0,0.8)' -draw 'roundrectangle 0,0 " + std::to_string(w - 1) + "," +
                      std::to_string(h - 1) + " 20,20' -fill white -pointsize " + std::to_string(h / 2) +
                      " -font DejaVu-Sans-Bold -gravity center -annotate +0+0 'LOGO 7391' PNG32:'" + path + "'";
    if (system(cmd.c_str()) != 0) return "";
  }
  return path;
}

std::vector<uint8_t> read_file(const std::string &path) {
  std::vector<uint8_t> b;
  if (FILE *f = fopen(path.c_str(), "rb")) {
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    fclose(f);
  }
  return b;
}

bool setup(const Case &c) {
  memset(&block, 0, sizeof block);
  osdInit(&block);
  const size_t size = (size_t)c.fw * c.fh * 3 / 2;
  if (frame_buf) Buffer_delete(frame_buf);
  if (dma_buf) Buffer_delete(dma_buf);
  frame_buf = Buffer_create(size, nullptr);
  dma_buf = Buffer_create(size, nullptr);
  if (!frame_buf || !dma_buf) return false;
  memset(Buffer_getUserPtr(frame_buf), 100, size);
  osdSetFormat(0, (uint32_t)c.fw, (uint32_t)c.fh, OSD_LAYOUT_NV12, (uint32_t)c.fw);
  osdSetDMA(0, (uint8_t *)Buffer_getUserPtr(dma_buf), Buffer_getPhysicalPtr(dma_buf), size);
  std::vector<uint8_t> png = read_file(logo(c.w, c.h));
  if (png.empty()) return false;
  OverlayCommand cmd = {};
  cmd.data = (uint8_t *)malloc(png.size());
  memcpy(cmd.data, png.data(), png.size());
  cmd.len = (uint32_t)png.size();
  cmd.x = 16;
  cmd.y = 16;
  cmd.opacity = c.dma ? 12 : 8;
  osdCommand(&cmd);
  return osd_channel(0)->slots[0].type == (c.dma ? 3u : 2u);
}

void composite() {
  osdComposite(0, (uint8_t *)Buffer_getUserPtr(frame_buf), Buffer_getPhysicalPtr(frame_buf));
}

// Runs a host program as it is (the board's command runner would place
// absolute paths under the simulated root); its output in *out. -1 when it
// failed.
int run(const std::vector<std::string> &args, std::string *out = nullptr) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int fd[2];
  if (pipe(fd) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fd[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fd[1], 2);
  posix_spawn_file_actions_addclose(&fa, fd[0]);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fd[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while (rc == 0 && (n = read(fd[0], buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
  close(fd[0]);
  int status = 0;
  if (rc != 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  if (out) *out = text;
  return 0;
}

// The processor time (user and system) ffmpeg reports for its run, in ns.
double ffmpeg_cpu_ns(const std::vector<std::string> &args) {
  std::string out;
  if (run(args, &out) != 0) return -1;
  size_t u = out.find("utime="), s = out.find("stime=");
  if (u == std::string::npos || s == std::string::npos) return -1;
  return (atof(out.c_str() + u + 6) + atof(out.c_str() + s + 6)) * 1e9;
}

// ffmpeg's time per frame for blending the logo at the same place, one
// thread: the processor time of the run with the overlay minus that of the
// run without (whose frames are made writable the same way, by a 2x2 box).
// The best of three, as the machine may be busy.
double ffmpeg_ns(const Case &c) {
  static std::map<std::string, double> cache;
  std::string key = std::to_string(c.w) + "x" + std::to_string(c.h) + "@" + std::to_string(c.fw);
  if (cache.count(key)) return cache[key];
  const int frames = 300;
  std::string src = "color=c=gray:s=" + std::to_string(c.fw) + "x" + std::to_string(c.fh) +
                    ":r=30,format=yuv420p,drawbox=w=2:h=2:t=1";
  std::vector<std::string> base = {"ffmpeg", "-nostdin", "-v", "info", "-benchmark", "-threads", "1",
                                   "-filter_threads", "1", "-filter_complex_threads", "1"};
  std::vector<std::string> with = base, without = base;
  with.insert(with.end(), {"-filter_complex", src + "[m];movie=" + logo(c.w, c.h) +
                                                  ",format=yuva420p,loop=loop=-1:size=1:start=0[o];[m][o]overlay=16:16:"
                                                  "format=yuv420:eval=init:shortest=0",
                           "-frames:v", std::to_string(frames), "-f", "null", "-"});
  without.insert(without.end(), {"-filter_complex", src, "-frames:v", std::to_string(frames), "-f", "null", "-"});
  double best = -1;
  for (int i = 0; i < 3; i++) {
    double a = ffmpeg_cpu_ns(with), b = ffmpeg_cpu_ns(without);
    if (a < 0 || b < 0) break;
    double d = (a - b) / frames;
    if (best < 0 || d < best) best = d;
  }
  return cache[key] = best;
}

// Instructions of one composite.
double instructions(const Case &c) {
  return callgrind_instructions({std::to_string(c.w), std::to_string(c.h), std::to_string(c.fw),
                                 std::to_string(c.fh), std::to_string(c.dma)},
                                20);
}

void BM_ImageSlot(benchmark::State &state) {
  Case c = {(int)state.range(0), (int)state.range(1), (int)state.range(2), (int)state.range(3),
            (int)state.range(4)};
  if (!setup(c)) {
    state.SkipWithError("no image (ImageMagick) or no contiguous memory");
    return;
  }
  int64_t frames = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    composite();
    benchmark::ClobberMemory();
    frames++;
  }
  double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
  double px = (double)c.w * c.h;
  double peer = ffmpeg_ns(c);
  state.counters["image_px"] = px;
  if (peer > 0) {
    state.counters["ffmpeg_ns"] = peer;
    if (frames) state.counters["vs_ffmpeg"] = ns / (double)frames / peer;
  }
  double ir = instructions(c);
  if (ir > 0) {
    state.counters["Ir"] = ir;
    state.counters["Ir_per_px"] = ir / px;
  }
}

// image w, h, frame w, h, route (0 runs, 1 DMA).
void Cases(benchmark::internal::Benchmark *b) {
  for (int dma : {0, 1}) {
    b->Args({400, 120, 1920, 1080, dma});
    b->Args({400, 120, 1280, 720, dma});
    b->Args({800, 240, 1920, 1080, dma});
  }
}
BENCHMARK(BM_ImageSlot)->Apply(Cases)->ArgNames({"w", "h", "fw", "fh", "dma"})->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  if (!prepare_root()) {
    fprintf(stderr, "cannot lay out a root\n");
    return 1;
  }
  if (argc == 8 && !strcmp(argv[1], "--instr")) {
    Case c = {atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), atoi(argv[6])};
    bool ok = setup(c);
    if (ok) callgrind_count(atoi(argv[7]), composite);
    std::string rm = "rm -rf '" + dir + "'";
    return system(rm.c_str()) == 0 && ok ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) return 1;
  return 0;
}
