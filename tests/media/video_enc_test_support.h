// Runs both encoder threads on the simulated capture chain and reads what
// they publish as a raw consumer would.
#pragma once
#include <pthread.h>
#include <string>
#include <vector>

#include "capture_test_support.h"
#include "formats/media_inputs.h"
#include "media/video_enc.h"
#include "platform/framework/codec_frames.h"

struct EncoderRun {
  CaptureRun capture;
  VideoEncParams enc[2] = {};
  pthread_t thread[2] = {};
  Rendezvous_Handle rendezvous = nullptr;
  bool running = false;

  // prepare sets the parameters (on the defaults) before any thread starts.
  template <typename F>
  void start(F prepare, int decoder = SIM_DECODER_ADV7842) {
    capture.start(decoder, prepare);
    static const char *const kNames[2] = {"videoA", "videoB"};
    for (int i = 0; i < 2; i++) {
      enc[i] = VideoEncParams{};
      enc[i].env.name = kNames[i];
    }
    video_enc_init(&enc[0], &enc[1]);
    rendezvous = Rendezvous_create(3);
    for (int i = 0; i < 2; i++) {
      enc[i].env.start_rendezvous = rendezvous;
      pthread_create(&thread[i], nullptr, videoThrFxn, &enc[i]);
    }
    Rendezvous_meet(rendezvous);
    running = true;
  }
  // As the process's shutdown does: quit, then every producer stopped.
  void stop() {
    if (!running) return;
    set_exit_code(EXIT_QUIT);
    stream_stop_all();
    for (pthread_t t : thread) pthread_join(t, nullptr);
    // The threads leave their rings registered, as the process wants; these
    // records go with the test.
    for (int i = 0; i < 2; i++) {
      stream_register(nullptr, nullptr, i ? VIDEO_STREAM2 : VIDEO_STREAM1);
      ringbuffer_free(&enc[i].queue);
      if (enc[i].ring) Buffer_delete(enc[i].ring);
      enc[i].ring = nullptr;
    }
    Rendezvous_delete(rendezvous);
    video_enc_init(nullptr, nullptr);
    capture.stop();
    running = false;
  }
  ~EncoderRun() { stop(); }
};

inline VideoChannelParams &video(int ch) { return CaptureRun::params()->video[ch]; }

// Channel ch encodes H.264 at w x h: GOP 10, 1 Mbit/s VBR, High at level 3.
inline void h264_settings(int ch, uint16_t w, uint16_t h) {
  VideoChannelParams &v = video(ch);
  v.stream_mode = StreamMode_H264_ES;
  v.width = w;
  v.height = h;
  v.gop_size = 10;
  v.bit_rate = 1000000;
  v.h264_profile = 100;
  v.h264_level = 30;
  v.aspect_ratio = 0;
  v.frame_rate = 1;
  v.rate_mode = 1;
  v.slice_mode = 0;
  v.flip = 0;
}

inline void jpeg_settings(int ch, uint16_t w, uint16_t h, uint8_t quality) {
  VideoChannelParams &v = video(ch);
  v.stream_mode = StreamMode_JPEG;
  v.width = w;
  v.height = h;
  v.jpeg_quality = quality;
  v.frame_rate = 1;
  v.flip = 0;
}

struct Unit {
  Bytes data;
  uint32_t ts;
  uint8_t flags;   // FrameDesc flags
  uint32_t seq;
};

// A raw consumer of a video stream.
struct VideoConsumer {
  StreamState st{};
  explicit VideoConsumer(uint32_t id, uint8_t mode = StreamMode_H264_ES) {
    stream_state_attach(id, mode, &st);
  }
  ~VideoConsumer() { detach(); }
  void detach() {
    if (st.streamq) stream_state_detach(&st);
  }
  // The next unit with data (marks skipped); false after ms without one
  // (half a minute unless told: an encoder under a sanitizer on a loaded
  // machine may take seconds to start or to code a picture). A unit the
  // encoder wrote over while it was copied (this reader held off the CPU)
  // is passed over like those lost before it: the reader goes on from the
  // next key frame, and the units' sequence numbers show the gap.
  bool next(Unit *u, uint32_t ms = 30000) {
    for (;;) {
      FrameDesc *f = stream_state_dequeue_timeout(&st, ms);
      if (!f) return false;
      uint32_t n = (uint32_t)Buffer_getNumBytesUsed(f->buf);
      if (!n) continue;
      const uint8_t *d = (const uint8_t *)Buffer_getUserPtr(f->buf);
      unchecked_reads(true);
      u->data.assign(d, d + n);
      unchecked_reads(false);
      if (!ringbuffer_entry_intact(st.streamq, f->seq, d, n)) {
        st.resync |= 1;
        continue;
      }
      u->ts = f->timestamp;
      u->flags = f->flags;
      u->seq = f->seq;
      return true;
    }
  }
  // Passes over every unit already published: what comes next was coded
  // after this call.
  void skip_ready(void) {
    // A ring holds fewer: a dequeue that gives more never ends.
    int passed = 0;
    while (passed <= 10000 && stream_state_dequeue_ready(&st)) passed++;
    EXPECT_LE(passed, 10000) << "the units already published never end";
  }
  std::vector<Unit> take(size_t count, uint32_t ms = 30000) {
    std::vector<Unit> all;
    Unit u;
    while (all.size() < count && next(&u, ms)) all.push_back(u);
    return all;
  }
};

inline Bytes concat(const std::vector<Unit> &units, size_t from = 0) {
  Bytes all;
  for (size_t i = from; i < units.size(); i++)
    all.insert(all.end(), units[i].data.begin(), units[i].data.end());
  return all;
}

// Writes bytes into the test's scratch directory; the board path, as the
// tools of run_tool take it.
inline std::string dump_file(const char *name, const Bytes &data) {
  static std::string dir = test_scratch_dir("videoenc");
  std::string path = dir + "/" + name;
  EXPECT_TRUE(write_board_file(path, data));
  return path;
}

// A Y4M file (board path) of ffmpeg's lavfi source, or "" when ffmpeg failed.
inline std::string video_test_y4m(const char *name, const char *source, int frames) {
  std::string y4m = test_scratch_dir("videoenc_y4m") + "/" + name + ".y4m";
  bool ok = run_ffmpeg({"-f", "lavfi", "-i", source, "-frames:v", std::to_string(frames), "-pix_fmt",
                        "yuv420p", "-f", "yuv4mpegpipe", HostPath(y4m.c_str()).c_str()});
  return ok ? y4m : "";
}

// Whether the encoded access unit carries an IDR slice (NAL type 5).
inline bool has_idr_slice(const Bytes &au) {
  for (size_t i = 0; i + 4 < au.size(); i++)
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1f) == 5) return true;
  return false;
}
