// Muxed consumers fed the way the encoder and sound threads feed the stream
// layer: real H.264 access units into VIDEO_STREAM1 and ADTS AAC into
// AAC_STREAM, reserved, written in place and published with 90 kHz stamps.
#pragma once
#include <pthread.h>
#include <cstring>
#include <string>
#include <vector>

#include "../formats/media_inputs.h"
#include "core/hwreg.h"
#include "media/stream_mux.h"
#include "platform/sim/sim_control.h"
#include "stream_test_support.h"
#include "test_root.h"

// Publishes like a producer: reserve, write in place, put. Returns the seq.
inline uint32_t publish(StreamQueue *q, const uint8_t *data, uint32_t len, uint32_t ts,
                        uint32_t flags) {
  int off = ringbuffer_preallocate(q, len);
  pthread_mutex_lock(&q->mutex);
  uint32_t seq = q->next_seq;
  pthread_mutex_unlock(&q->mutex);
  if (off >= 0 && len) memcpy(q->base + off, data, len);
  ringbuffer_put(q, len, ts, flags);
  return seq;
}

inline uint32_t publish(StreamQueue *q, const Bytes &b, uint32_t ts, uint32_t flags) {
  return publish(q, b.data(), (uint32_t)b.size(), ts, flags);
}

// Encoder output made once per test program: 4 s of 320x240 H.264 at 25
// frames/s (an IDR every 25 frames), 4 s of stereo 48 kHz AAC, and the same
// length of 16-bit stereo PCM in the sound thread's 4096-byte chunks.
struct MuxInputs {
  std::vector<Bytes> video;
  std::vector<Bytes> aac;
  std::vector<Bytes> pcm;
  std::string h264_path;  // the elementary stream the units came from
};

inline const MuxInputs &mux_inputs(void) {
  static MuxInputs in;
  if (in.video.empty()) {
    std::string dir = test_scratch_dir("mux_inputs");
    Bytes es = make_h264(dir, "in.h264", "320x240", 100);
    in.h264_path = dir + "/in.h264";
    in.video = split_access_units(es);
    in.aac = split_adts(make_aac(dir, "in.aac", 4));
    Bytes pcm = make_pcm(dir, "in.pcm", 4);
    for (size_t at = 0; at + 4096 <= pcm.size(); at += 4096)
      in.pcm.emplace_back(pcm.begin() + at, pcm.begin() + at + 4096);
  }
  return in;
}

// When each unit of a run is stamped: video frame i at v0 + 3600 i, audio
// frame j at a0 + 1920 j; published in time order, audio first on a tie, as
// a live source delivers them.
struct Timeline {
  uint32_t v0, a0;
  size_t nv, na;
  uint32_t vts(size_t i) const { return v0 + kVideoTicks * (uint32_t)i; }
  uint32_t ats(size_t j) const { return a0 + kAudioTicks * (uint32_t)j; }
};

// Publishes video frames [v_from, v_to) of the timeline (the inputs again
// and again) with the audio due before each (from *next_audio on). Audio
// goes only when aq is given.
inline void publish_run(const Timeline &t, const std::vector<Bytes> &video,
                        const std::vector<Bytes> &audio, StreamQueue *vq, StreamQueue *aq,
                        size_t v_from, size_t v_to, size_t *next_audio) {
  for (size_t i = v_from; i < v_to; i++) {
    uint32_t vts = t.vts(i);
    while (aq && *next_audio < t.na && (int32_t)(t.ats(*next_audio) - vts) <= 0) {
      const Bytes &a = audio[*next_audio % audio.size()];
      publish(aq, a, t.ats(*next_audio), STREAM_FLAG_KEY);
      (*next_audio)++;
    }
    const Bytes &v = video[i % video.size()];
    publish(vq, v, vts, is_key_unit(v) ? (uint32_t)STREAM_FLAG_KEY : 0u);
  }
}

// The two rings of an audio/video producer pair, registered under their ids.
struct AvRings {
  TestStream video;
  TestStream audio;
  AvRings(uint32_t video_bytes, uint32_t video_entries, uint32_t audio_bytes = 1 << 20,
          uint32_t audio_entries = 2048, StreamId audio_id = AAC_STREAM)
      : video(VIDEO_STREAM1, video_bytes, video_entries),
        audio(audio_id, audio_bytes, audio_entries) {}
};

// Synthetic H.264 access units for tests that need no encoder: a key unit
// (SPS, PPS, IDR slice) or an inter unit of len bytes, no start code inside
// the payload.
inline Bytes synthetic_au(bool key, size_t len) {
  static const uint8_t head_key[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x50,
                                     0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80, 0, 0, 0, 1, 0x65, 0x88};
  static const uint8_t head_inter[] = {0, 0, 0, 1, 0x41, 0x9A};
  Bytes b = key ? Bytes(head_key, head_key + sizeof head_key)
                : Bytes(head_inter, head_inter + sizeof head_inter);
  if (b.size() < len) b.resize(len, 0x55);
  return b;
}

// What ffmpeg says while demuxing and decoding all of a file, stopping at
// the first error; "" when all is well.
inline std::string decode_errors(const std::string &path) {
  std::string out;
  int rc = run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", path.c_str(),
                     "-f", "null", "-"}, &out);
  if (rc != 0) out += "exit " + std::to_string(rc);
  return out;
}

// Collects what a muxed consumer's dequeues hand out.
inline bool append_muxed(FrameDesc *f, Bytes *out) {
  if (!f || !f->buf) return false;
  const uint8_t *p = (const uint8_t *)Buffer_getUserPtr(f->buf);
  size_t n = Buffer_getNumBytesUsed(f->buf);
  out->insert(out->end(), p, p + n);
  return true;
}
