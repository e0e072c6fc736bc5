// The simulated capture's built-in picture against ffmpeg's testsrc2 (the
// peer) in the same run: 3 s of 1080p30 of each, coded by the codec engine
// ("h264enc" on x264) at 1, 4 and 8 Mbit/s with the rate control channel A
// uses by default. Reported per setting: the coded rate over the configured
// one for ours (`ours_rate`) and the peer (`peer_rate`), and ours's render
// time per frame (`render_ms`).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/global.h"
#include "core/param_block.h"
#include "media/video_enc.h"
#include "platform/sim/sim_capture.h"

namespace {

const int kW = 1920, kH = 1080, kFrames = 90;
const size_t kFrame = (size_t)kW * kH * 3 / 2;

// Bytes the engine makes of frames (NV12) at bit_rate.
double coded_bytes(const std::vector<uint8_t> &frames, int bit_rate) {
  Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
  H264VENC_Params sp = H264VENC_PARAMS_DEFAULT;
  sp.profileIdc = 100;
  sp.levelIdc = 40;
  sp.videncParams.rateControlPreset = H264ENC_RC_PRESET_USER;
  sp.videncParams.maxBitRate = 50000000;
  VIDENC1_Handle enc = VIDENC1_create(engine, "h264enc", &sp.videncParams);
  H264VENC_DynamicParams d = H264VENC_DYNAMICPARAMS_DEFAULT;
  d.videncDynamicParams.inputWidth = kW;
  d.videncDynamicParams.inputHeight = kH;
  d.videncDynamicParams.captureWidth = kW;
  d.videncDynamicParams.targetFrameRate = 30000;
  d.videncDynamicParams.refFrameRate = 30000;
  d.videncDynamicParams.targetBitRate = bit_rate;
  d.videncDynamicParams.intraFrameInterval = 30;
  d.idrFrameInterval = 30;
  H264RateLimits lim = h264_rate_limits(param_default_block()->video[0].rate_mode);
  d.rcQMin = lim.qmin;
  d.rcQMax = lim.qmax;
  d.rcQMinI = lim.qmin_i;
  d.rcQMaxI = lim.qmax_i;
  d.rcAlgo = lim.rc_algo;
  d.maxBitrateCVBR = bit_rate / 100 * 110;
  d.vui.timingInfoPresentFlag = 1;
  d.vui.timeScale = 60000;
  d.vui.numUnitsInTicks = 1000;
  CodecStatus st = {};
  st.size = sizeof st;
  VIDENC1_control(enc, XDM_SETPARAMS, (VIDENC1_DynamicParams *)&d, &st);
  std::vector<uint8_t> out(4 << 20);
  double total = 0;
  for (int n = 0; n < kFrames; n++) {
    uint8_t *f = const_cast<uint8_t *>(&frames[kFrame * (size_t)n]);
    CodecBufDesc in = {};
    in.numBufs = 2;
    in.bufs[0] = f;
    in.bufSizes[0] = kW * kH;
    in.bufs[1] = f + (size_t)kW * kH;
    in.bufSizes[1] = kW * kH / 2;
    CodecBufDesc ob = {};
    ob.numBufs = 1;
    ob.bufs[0] = out.data();
    ob.bufSizes[0] = (int32_t)out.size();
    VIDENC1_InArgs ia = {(int32_t)sizeof ia, n, 1};
    VIDENC1_OutArgs oa = {};
    oa.size = sizeof oa;
    pthread_mutex_lock(&codec_mutex);
    VIDENC1_process(enc, &in, &ob, &ia, &oa);
    pthread_mutex_unlock(&codec_mutex);
    total += oa.bytesGenerated;
  }
  VIDENC1_delete(enc);
  Engine_close(engine);
  return total;
}

// kFrames of ours, and the render time of one in milliseconds.
std::vector<uint8_t> ours(double *render_ms) {
  std::vector<uint8_t> frames(kFrame * kFrames);
  v4l2_pix_format fmt = {};
  fmt.width = kW;
  fmt.height = kH;
  fmt.pixelformat = V4L2_PIX_FMT_NV12;
  fmt.bytesperline = kW;
  auto t0 = std::chrono::steady_clock::now();
  for (int n = 0; n < kFrames; n++)
    simcap::pattern_render(nullptr, (uint64_t)n, kW, kH, nullptr, &fmt, &frames[kFrame * (size_t)n]);
  *render_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kFrames;
  return frames;
}

std::vector<uint8_t> peer(void) {
  std::vector<uint8_t> frames;
  char cmd[256];
  snprintf(cmd, sizeof cmd,
           "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=%dx%d:rate=30 -frames:v %d "
           "-pix_fmt nv12 -f rawvideo -",
           kW, kH, kFrames);
  FILE *p = popen(cmd, "r");
  if (!p) return frames;
  frames.resize(kFrame * kFrames);
  size_t got = fread(frames.data(), 1, frames.size(), p);
  pclose(p);
  if (got != frames.size()) frames.clear();
  return frames;
}

void BM_PatternBitRate(benchmark::State &state) {
  int bit_rate = (int)state.range(0) * 1000000;
  static double render_ms;
  static std::vector<uint8_t> o = ours(&render_ms), pe = peer();
  double seconds = kFrames / 30.0;
  for (auto _ : state) {
    state.counters["ours_rate"] = coded_bytes(o, bit_rate) * 8 / seconds / bit_rate;
    if (!pe.empty()) state.counters["peer_rate"] = coded_bytes(pe, bit_rate) * 8 / seconds / bit_rate;
  }
  state.counters["render_ms"] = render_ms;
}

}  // namespace

BENCHMARK(BM_PatternBitRate)->Arg(1)->Arg(4)->Arg(8)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
