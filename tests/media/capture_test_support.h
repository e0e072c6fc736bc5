// Runs the capture thread against the simulated capture chain, with its own
// Worker, and reads what it logs and publishes.
#pragma once
#include <chrono>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/worker.h"
#include "media/capture.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "media/stream_state.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"
#include "unchecked_reads.h"

// Accumulates the log from the moment it is made.
struct LogWatch {
  std::string all;
  LogWatch() { take(); all.clear(); }
  void take() {
    char buf[4096];
    size_t n;
    while ((n = log_read(buf, sizeof buf)) > 0) all.append(buf, n);
  }
  bool has(const char *needle) {
    take();
    return all.find(needle) != std::string::npos;
  }
  // Waits (at most ms) for a line containing needle.
  bool wait(const char *needle, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (has(needle)) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
      usleep(20000);
    }
  }
};

struct CaptureRun {
  Worker *worker = nullptr;
  CaptureEnv env{};
  pthread_t thread{};
  bool running = false;

  static ParamBlock *params() {
    static ParamBlock block;
    static bool loaded = init_param(&block) >= 0 || true;
    (void)loaded;
    return get_param_block();
  }

  // decoder: SIM_DECODER_ADV7842 or SIM_DECODER_TP2825; prepare runs on the
  // reset chain before the thread starts.
  template <typename F>
  void start(int decoder, F prepare) {
    timestamp_now();  // maps the registers, so the 90 kHz clock runs
    sim_capture_reset(decoder);
    // No input detected yet, as at power-up: an encoder started with this
    // run waits for its input, not the one an earlier run left.
    capture_input_set(0, 0, 0, 0);
    board_identity.ahd = decoder == SIM_DECODER_TP2825;
    ParamBlock *pb = params();
    param_load_defaults();
    pb->capture.input = 0;
    pb->capture.standard = 0;
    pb->video[0].flip = pb->video[1].flip = 0;
    prepare();
    set_exit_code(EXIT_RUNNING);
    worker = Worker_create(48, nullptr);
    env = CaptureEnv{};
    env.env.name = "capture_hd";
    env.worker = worker;
    // As at start-up: consumers come after the producer registered.
    env.env.start_rendezvous = Rendezvous_create(2);
    pthread_create(&thread, nullptr, captureThrFxn, &env);
    Rendezvous_meet(env.env.start_rendezvous);
    running = true;
  }
  void start(int decoder) {
    start(decoder, [] {});
  }
  void stop() {
    if (!running) return;
    set_exit_code(EXIT_QUIT);
    pthread_join(thread, nullptr);
    Worker_delete(worker);
    Rendezvous_delete(env.env.start_rendezvous);
    set_exit_code(EXIT_RUNNING);
    running = false;
    sim_capture_reset(SIM_DECODER_SYSFS);
  }
  ~CaptureRun() { stop(); }
};

// A raw consumer of a capture stream.
struct CaptureConsumer {
  StreamState st{};
  int id;
  explicit CaptureConsumer(int stream_id, uint8_t mode = StreamMode_UYVY) : id(stream_id) {
    stream_state_attach((uint32_t)stream_id, mode, &st);
  }
  ~CaptureConsumer() { detach(); }
  void detach() {
    if (st.streamq) stream_state_detach(&st);
  }
  // The next whole frame (marks and slices skipped); NULL after ms. The
  // first frame of a large input can take seconds under the thread
  // sanitizer on a loaded host; no test waits for none to come.
  FrameDesc *frame(uint32_t ms = 10000) {
    for (int i = 0; i < 64; i++) {
      FrameDesc *f = stream_state_dequeue_timeout(&st, ms);
      if (!f) return nullptr;
      if (Buffer_getNumBytesUsed(f->buf) && (f->flags & FRAME_WHOLE)) return f;
    }
    return nullptr;
  }
  // The newest whole frame: those that came while the test was busy
  // elsewhere are passed over (their buffers may be written again soon).
  FrameDesc *fresh(uint32_t ms = 10000) {
    FrameDesc *f = frame(ms);
    while (f) {
      FrameDesc *g = stream_state_dequeue_ready(&st);
      if (!g) return f;  // nothing newer: f is as it was
      f = Buffer_getNumBytesUsed(g->buf) && (g->flags & FRAME_WHOLE) ? g : frame(ms);
    }
    return nullptr;
  }
  // The bytes of f, copied while held as an encoder holds a frame (the
  // capture's own black frames wait for it) and found still published
  // afterwards: the simulated chain renders into buffers the capture has
  // given back, and a copy it overtook is taken again. Fails (empty) when f
  // left the ring first.
  std::vector<uint8_t> copy(const FrameDesc *f) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(checked_copy(f, &bytes));
    return bytes;
  }
  bool checked_copy(const FrameDesc *f, std::vector<uint8_t> *bytes) {
    const uint8_t *d = (const uint8_t *)Buffer_getUserPtr(f->buf);
    uint32_t n = (uint32_t)Buffer_getNumBytesUsed(f->buf);
    StreamHold hold;
    if (ringbuffer_hold(st.streamq, &hold, f->seq, n) != 0) return false;
    unchecked_reads(true);
    bytes->assign(d, d + n);
    unchecked_reads(false);
    bool intact = ringbuffer_entry_intact(st.streamq, f->seq, d, n);
    ringbuffer_release(st.streamq, &hold);
    if (!intact) bytes->clear();
    return intact;
  }
  // The bytes of the newest frame, taken from a later one when it left the
  // ring before it was held; false when no frame came.
  bool fresh_copy(std::vector<uint8_t> *bytes, uint32_t ms = 3000) {
    // A test held off the CPU for a few frame times misses each try: a
    // loaded host may need many.
    for (int tries = 0; tries < 500; tries++) {
      FrameDesc *f = fresh(ms);
      if (!f) return false;
      if (checked_copy(f, bytes)) return true;
    }
    return false;
  }
  // Whether two successive frames among the next `frames` lie lo to hi
  // ticks apart (one frame time), or else every step spans whole frame
  // times. A frame time the chain or the capture passed over while held off
  // the CPU leaves a step of several; a loaded host, or a sanitizer build
  // rendering a large frame slower than the frame time, may leave no single
  // step among them. A step shorter than a frame time never passes.
  bool frame_step(uint32_t lo, uint32_t hi, int frames = 60) {
    FrameDesc *f = frame();
    uint32_t prev = f ? f->timestamp : 0;
    int steps = 0;
    bool whole = true;
    for (int i = 0; f && i < frames; i++) {
      if (!(f = frame())) break;
      uint32_t step = f->timestamp - prev;
      prev = f->timestamp;
      EXPECT_GE(step, lo);
      if (step >= lo && step <= hi) return true;
      steps++;
      whole = whole && frame_times(step, lo, hi) > 1;
    }
    return steps > 0 && whole;
  }
  // The frame times of lo to hi ticks (a rate such as 59.94 stamps frames
  // 1501 or 1502 apart) that a step spans, within a tick; 0 when it spans
  // no whole number of them.
  static uint32_t frame_times(uint32_t step, uint32_t lo, uint32_t hi) {
    double period = (lo + hi) / 2.0;
    uint32_t n = (uint32_t)(step / period + 0.5);
    double slack = lo == hi ? 0 : (hi - lo) / 2.0 + 1;
    return n && std::fabs(step - n * period) <= slack ? n : 0;
  }
};

inline SimCaptureInfo sim_info(void) {
  SimCaptureInfo i;
  sim_capture_info(&i);
  return i;
}

#include <spawn.h>
#include <sys/wait.h>
#include <vector>
#include "platform/host_root.h"
#include "test_root.h"

extern char **environ;

// Runs ffmpeg with these arguments after the common ones; true on success.
inline bool run_ffmpeg(std::vector<std::string> args) {
  std::vector<std::string> all = {"timeout", "-k", "5", "60", "ffmpeg", "-nostdin", "-loglevel", "error", "-y"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "timeout", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A raw frame converted by ffmpeg to packed RGB (pix_fmt "uyvy422" or
// "nv12"; the frame's lines are width wide, pitch apart).
inline std::vector<uint8_t> frame_to_rgb(const uint8_t *frame, const char *pix_fmt, uint32_t w,
                                         uint32_t h, uint32_t pitch) {
  static std::string dir = HostPath(test_scratch_dir("capture").c_str()).c_str();
  static int n;
  std::string src = dir + "/f" + std::to_string(n) + ".raw", dst = dir + "/f" + std::to_string(n++) + ".rgb";
  bool nv12 = std::string(pix_fmt) == "nv12";
  uint32_t row = nv12 ? w : w * 2;
  FILE *f = fopen(src.c_str(), "wb");
  for (uint32_t y = 0; y < h; y++) fwrite(frame + (size_t)y * pitch, 1, row, f);
  if (nv12)
    for (uint32_t y = 0; y < h / 2; y++) fwrite(frame + (size_t)(h + y) * pitch, 1, w, f);
  fclose(f);
  std::vector<uint8_t> rgb;
  std::string size = std::to_string(w) + "x" + std::to_string(h);
  if (!run_ffmpeg({"-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", size, "-i", src, "-f", "rawvideo",
                   "-pix_fmt", "rgb24", dst}))
    return rgb;
  f = fopen(dst.c_str(), "rb");
  rgb.resize((size_t)w * h * 3);
  size_t got = f ? fread(rgb.data(), 1, rgb.size(), f) : 0;
  if (f) fclose(f);
  rgb.resize(got);
  return rgb;
}
