// The video encoder thread against a peer measured in the same run: the
// peer calls the codec engine ("h264enc" on x264) directly on the same NV12
// frames with the same settings; ours publishes each frame into
// CAPTURE_STREAM1 after drawing the overlay (as the capture's Worker task
// does) and lets the "videoA" thread dequeue, encode and publish it into
// VIDEO_STREAM1. Reported per size (1080p, 720p): frames per second, and
// the share of the process's CPU time that ours spends beyond the peer's
// (the system's own code around the encoder).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <cstring>
#include <vector>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/param_block.h"
#include "media/capture.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "media/video_enc.h"
#include "osd/osd_composite.h"

namespace {

constexpr int kSlots = 8;         // distinct frames, cycled
constexpr int kFramesPerIter = 30;

double cpu_seconds(void) {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A drifting gradient with a moving block and some texture.
void fill_frame(uint8_t *f, int w, int h, int t) {
  uint32_t s = 12345u + (uint32_t)t * 7919u;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      s = s * 1103515245u + 12345u;
      int v = 40 + ((x + 8 * t) % w) * 120 / w + y * 60 / h + (int)(s >> 28);
      if (x >= 40 * t % (w - 96) && x < 40 * t % (w - 96) + 96 && y >= h / 3 && y < h / 3 + 96) v = 220;
      f[(size_t)y * w + x] = (uint8_t)v;
    }
  uint8_t *c = f + (size_t)w * h;
  for (int y = 0; y < h / 2; y++)
    for (int x = 0; x < w; x += 2) {
      c[(size_t)y * w + x] = (uint8_t)(100 + x * 50 / w);
      c[(size_t)y * w + x + 1] = (uint8_t)(160 - y * 80 / h);
    }
}

void settings(int w, int h) {
  VideoChannelParams &v = get_param_block()->video[0];
  v.stream_mode = StreamMode_H264_ES;
  v.width = (uint16_t)w;
  v.height = (uint16_t)h;
  v.bit_rate = 5000000;
  v.gop_size = 30;
  v.frame_rate = 1;
  v.rate_mode = 1;
  v.h264_profile = 100;
  v.h264_level = 40;
  v.slice_mode = 0;
  v.aspect_ratio = 0;
  v.interlaced = 1;
}

void BM_EnginePeer(benchmark::State &state) {
  int w = (int)state.range(0), h = w == 1920 ? 1080 : 720;
  size_t frame = (size_t)w * h * 3 / 2;
  std::vector<uint8_t> frames(frame * kSlots), out(1 << 20);
  for (int i = 0; i < kSlots; i++) fill_frame(&frames[frame * i], w, h, i);
  Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
  H264VENC_Params sp = H264VENC_PARAMS_DEFAULT;
  sp.profileIdc = 100;
  sp.levelIdc = 40;
  VIDENC1_Handle enc = VIDENC1_create(engine, "h264enc", &sp.videncParams);
  H264VENC_DynamicParams d = H264VENC_DYNAMICPARAMS_DEFAULT;
  d.videncDynamicParams.inputWidth = w;
  d.videncDynamicParams.inputHeight = h;
  d.videncDynamicParams.captureWidth = w;
  d.videncDynamicParams.targetBitRate = 5000000;
  d.videncDynamicParams.intraFrameInterval = 30;
  d.idrFrameInterval = 30;
  d.rcQMax = 45;
  d.rcQMaxI = 42;
  d.vui.timingInfoPresentFlag = 1;
  d.vui.timeScale = 30000;
  d.vui.numUnitsInTicks = 500;
  CodecStatus st = {};
  st.size = sizeof st;
  VIDENC1_control(enc, XDM_SETPARAMS, (VIDENC1_DynamicParams *)&d, &st);
  int n = 0;
  double cpu0 = cpu_seconds();
  for (auto _ : state) {
    for (int k = 0; k < kFramesPerIter; k++, n++) {
      uint8_t *f = &frames[frame * (n % kSlots)];
      CodecBufDesc in = {};
      in.numBufs = 2;
      in.bufs[0] = f;
      in.bufSizes[0] = w * h;
      in.bufs[1] = f + (size_t)w * h;
      in.bufSizes[1] = w * h / 2;
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
    }
  }
  double cpu = cpu_seconds() - cpu0;
  state.counters["fps"] = benchmark::Counter((double)n, benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_frame"] = n ? cpu * 1000 / n : 0;
  VIDENC1_delete(enc);
  Engine_close(engine);
}

// A stand-in for the capture thread: its queue at CAPTURE_STREAM1, frames
// published in place as the Worker task publishes them.
struct FakeCapture {
  ProducerState state{};
  StreamQueue queue{};
  Buffer_Handle ring = nullptr;
};

// The next coded frame (marks skipped).
bool take_output(StreamState *out) {
  for (;;) {
    FrameDesc *f = stream_state_dequeue_timeout(out, 5000);
    if (!f) return false;
    if (Buffer_getNumBytesUsed(f->buf)) return true;
  }
}

void BM_EncoderThread(benchmark::State &state) {
  int w = (int)state.range(0), h = w == 1920 ? 1080 : 720;
  uint32_t frame = (uint32_t)(w * h * 3 / 2);
  timestamp_now();
  set_exit_code(EXIT_RUNNING);
  stream_register_clear();
  settings(w, h);
  capture_block.input_width = (uint32_t)w;
  capture_block.input_height = (uint32_t)h;
  capture_block.fps = 30000;
  capture_block.interlaced = 0;

  FakeCapture cap;
  stream_register(&cap.state, &cap.queue, CAPTURE_STREAM1);
  Buffer_Attrs a = Buffer_Attrs_DEFAULT;
  a.memAlign = STREAM_RING_ALIGN;
  cap.ring = Buffer_create((size_t)frame * kSlots, &a);
  ringbuffer_init(&cap.queue, cap.ring, 16, STREAM_RING_ALIGN);
  for (int i = 0; i < kSlots; i++) fill_frame(cap.queue.base + (size_t)frame * i, w, h, i);

  VideoEncParams enc = {};
  enc.env.name = "videoA";
  Rendezvous_Handle rv = Rendezvous_create(2);
  enc.env.start_rendezvous = rv;
  video_enc_init(&enc, nullptr);
  pthread_t th;
  pthread_create(&th, nullptr, videoThrFxn, &enc);
  Rendezvous_meet(rv);

  // A consumer starts the producer, which attaches to the capture stream.
  StreamState out = {};
  stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &out);
  while (stream_queue_consumers(&cap.queue) == 0) sched_yield();


  uint32_t n = 0, ts = timestamp_now();
  double cpu0 = cpu_seconds();
  for (auto _ : state) {
    for (int k = 0; k < kFramesPerIter; k++, n++) {
      // Two frames ahead of what came out, no more: the capture ring must
      // not drop what the encoder has yet to read.
      if (n >= 2 && !take_output(&out)) state.SkipWithError("no output");
      uint32_t off = frame * (n % kSlots);
      osdComposite(0, cap.queue.base + off, cap.queue.phys + off);
      pthread_mutex_lock(&cap.queue.mutex);
      cap.queue.write_offset = off;
      pthread_mutex_unlock(&cap.queue.mutex);
      ringbuffer_put(&cap.queue, frame, ts += 3000, STREAM_FLAG_KEY | STREAM_FLAG_FRAME);
    }
  }
  for (uint32_t k = 0; k < 2 && k < n; k++) take_output(&out);
  double cpu = cpu_seconds() - cpu0;
  state.counters["fps"] = benchmark::Counter((double)n, benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_frame"] = n ? cpu * 1000 / n : 0;

  stream_state_detach(&out);
  set_exit_code(EXIT_QUIT);
  stream_stop_all();
  pthread_join(th, nullptr);
  video_enc_init(nullptr, nullptr);
  Rendezvous_delete(rv);
  ringbuffer_free(&cap.queue);
  Buffer_delete(cap.ring);
  // The encoder leaves its ring for readers that outlive it.
  ringbuffer_free(&enc.queue);
  Buffer_delete(enc.ring);
  stream_register_clear();
  set_exit_code(EXIT_RUNNING);
}

}  // namespace

BENCHMARK(BM_EnginePeer)->Arg(1920)->Arg(1280)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncoderThread)->Arg(1920)->Arg(1280)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
