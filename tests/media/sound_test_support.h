// Running the audio threads in a test: a live parameter block with the
// audio defaults, the threads' records, and readers of PCM_STREAM and
// AAC_STREAM.
#pragma once
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/global.h"
#include "core/param_block.h"
#include "media/sound.h"
#include "media/stream_ids.h"
#include "media/stream_state.h"
#include "unchecked_reads.h"

inline void audio_defaults(ParamBlock *pb) {
  memset(pb, 0, sizeof *pb);
  AudioParams &a = pb->audio;
  a.volume_left = a.volume_right = 60;
  a.input = 1;
  a.out_volume_left = a.out_volume_right = 100;
  a.channels = 2;
  a.mono_mode = 0;
  a.bit_rate = 128000;
  a.sample_rate = 48000;
}

// Polls cond every 10 ms for up to seconds; true once it holds. The bound is
// generous: it is only reached when a test fails, and the sanitizer builds
// run many times slower beside the integration tests.
template <class F>
bool wait_for(F cond, double seconds = 30) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct SoundThread {
  ParamBlock pb{};
  SoundEnv env{};
  std::thread thread;

  SoundThread() {
    board_identity.model = 7391;
    audio_defaults(&pb);
    env.env.name = "sound";
    env.env.params = &pb;
    env.engine = "encode";
    env.channels = 2;
  }
  void start() {
    thread = std::thread(soundCaptureThrFxn, &env);
    EXPECT_TRUE(wait_for([] { return stream_queues[PCM_STREAM] && stream_queues[AAC_STREAM]; }));
  }
  ~SoundThread() {
    set_exit_code(EXIT_QUIT);
    if (thread.joinable()) thread.join();
    set_exit_code(EXIT_RUNNING);
  }
};

// A consumer of one of the audio streams, in its raw audio mode.
struct AudioReader {
  StreamState st{};
  bool attached = false;
  explicit AudioReader(uint32_t id) {
    attached = stream_state_attach(id, id == AAC_STREAM ? StreamMode_Audio_AAC : StreamMode_Audio_PCM,
                                   &st) == 0;
  }
  ~AudioReader() { detach(); }
  void detach() {
    if (attached) stream_state_detach(&st);
    attached = false;
  }
  struct Unit {
    std::vector<uint8_t> data;
    uint32_t ts;
  };
  // The next n units (fewer on a timeout of 3 s). A unit the capture wrote
  // over while this reader stood still is passed over: the reader goes on
  // from the newer ones.
  std::vector<Unit> take(int n) {
    std::vector<Unit> out;
    while ((int)out.size() < n) {
      FrameDesc *f = stream_state_dequeue_timeout(&st, 3000);
      if (!f) break;
      const uint8_t *p = (const uint8_t *)Buffer_getUserPtr(f->buf);
      uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
      unchecked_reads(true);
      std::vector<uint8_t> bytes(p, p + len);
      unchecked_reads(false);
      if (ringbuffer_entry_intact(st.streamq, f->seq, p, len)) out.push_back({bytes, f->timestamp});
    }
    return out;
  }
};

inline std::vector<int16_t> as_pcm(const std::vector<AudioReader::Unit> &units) {
  std::vector<int16_t> pcm;
  for (const auto &u : units) {
    size_t n = u.data.size() / 2;
    size_t at = pcm.size();
    pcm.resize(at + n);
    memcpy(&pcm[at], u.data.data(), n * 2);
  }
  return pcm;
}
