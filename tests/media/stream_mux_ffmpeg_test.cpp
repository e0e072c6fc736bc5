// Muxed consumers end to end: a producer thread publishes real H.264 access
// units and ADTS AAC, stamped across the 2^32 wrap of the clock; a consumer
// attached in a muxed mode writes what it dequeues to a file, and ffmpeg,
// ffprobe and GStreamer read it back: the streams, frame counts, durations,
// the pictures that went in, and the interleave of audio with video.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include "../formats/ts_packets.h"
#include "formats/mp4_write.h"
#include "platform/host_root.h"
#include "stream_mux_test_support.h"

namespace {

// Two seconds before the clock wraps; audio starts before the first frame.
const uint32_t kV0 = 0u - 2 * 90000u;
const uint32_t kA0 = kV0 - 2920;
const size_t kFrames = 100;

struct Producer {
  AvRings *rings;
  Timeline t;
  const std::vector<Bytes> *audio;  // NULL: no audio
  pthread_t thread;
};

// The producer loop of an encoder: wait for the first consumer, then publish.
void *producer_main(void *arg) {
  Producer *p = (Producer *)arg;
  while (!stream_state_wait_start(&p->rings->video.state)) {
  }
  size_t next_audio = 0;
  const std::vector<Bytes> &audio = p->audio ? *p->audio : mux_inputs().aac;
  publish_run(p->t, mux_inputs().video, audio, &p->rings->video.queue,
              p->audio ? &p->rings->audio.queue : nullptr, 0, p->t.nv, &next_audio);
  return nullptr;
}

// ffprobe's value of one entry ("stream=nb_read_packets") of the first
// stream that sel picks ("" when there is none). A transport stream lists
// its streams once more under their program: the first line is enough.
std::string probe_value(const std::string &path, const char *sel, const char *entry) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-count_packets", "-select_streams", sel,
            "-show_entries", entry, "-of", "default=nw=1:nk=1", path.c_str()}, &out);
  auto lines = text_lines(out);
  return lines.empty() ? "" : lines[0];
}

class StreamMuxFfmpeg : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    stream_register_clear();
    stream_mux_init();
    // Every stamp of the run is in the past: latencies are positive.
    sim_mem_set_timer(kV0 + 5 * 90000);
    LatencyStats drop;
    stream_latency_take(LATENCY_MUX_VIDEO1, &drop);
    dir = test_scratch_dir("stream_mux");
    ASSERT_GE(mux_inputs().video.size(), kFrames);
    ASSERT_GE(mux_inputs().aac.size(), 180u);
    log_take();
  }
  void TearDown() override { stream_register_clear(); }

  Timeline timeline() const {
    return Timeline{kV0, kA0, kFrames, std::min<size_t>(mux_inputs().aac.size(), 188)};
  }

  // Attaches in mode, lets the producer run, dequeues one unit per frame.
  // prepare runs right after attach (the MP4 file set-up of a recorder).
  Bytes run(uint8_t mode, void (*prepare)(StreamState *, FILE *) = nullptr, FILE *file = nullptr) {
    uint8_t audio = stream_mode_audio_type(mode);
    AvRings rings(4 << 20, 256, 1 << 20, 256, audio == AUDIO_TYPE_PCM ? PCM_STREAM : AAC_STREAM);
    StreamState st{};
    st.video_duration = kVideoTicks;
    st.audio_duration = kAudioTicks;
    Bytes out;
    EXPECT_EQ(stream_state_attach(VIDEO_STREAM1, mode, &st), 0);
    if (prepare) prepare(&st, file);
    const std::vector<Bytes> *units = audio == AUDIO_TYPE_AAC   ? &mux_inputs().aac
                                      : audio == AUDIO_TYPE_PCM ? &mux_inputs().pcm
                                                                : nullptr;
    Producer p{&rings, timeline(), units, {}};
    pthread_create(&p.thread, nullptr, producer_main, &p);
    for (size_t i = 0; i < kFrames; i++) {
      FrameDesc *f = stream_state_dequeue_timeout(&st, 10000);
      EXPECT_NE(f, nullptr) << "frame " << i;
      if (!f) break;
      append_muxed(f, &out);
    }
    pthread_join(p.thread, nullptr);
    stream_state_detach(&st);
    muxer_free(&st);
    EXPECT_EQ(st.mux, nullptr);
    EXPECT_EQ(st.muxBuf, nullptr);
    return out;
  }

  std::string save(const char *name, const Bytes &b) {
    std::string path = dir + "/" + name;
    EXPECT_TRUE(write_board_file(path, b));
    return path;
  }

  // The audio units of the timeline a muxer keeps: those not later than the
  // last frame and not before the first (first_gap: how far before the first
  // frame audio still counts).
  size_t expected_audio(int32_t first_gap) const {
    Timeline t = timeline();
    size_t n = 0;
    for (size_t j = 0; j < t.na; j++) {
      int32_t rel = (int32_t)(t.ats(j) - t.vts(0));
      if (rel >= -first_gap && (int32_t)(t.ats(j) - t.vts(kFrames - 1)) <= 0) n++;
    }
    return n;
  }

  std::string dir;
};

// The PES time stamps of a transport stream's video and audio, in file order.
struct PesStamp {
  bool video;
  uint64_t pts;
};
std::vector<PesStamp> pes_stamps(const Bytes &ts) {
  std::vector<PesStamp> v;
  for (const TsPacket &p : ts_packets(ts.data(), ts.size())) {
    if (!p.pusi || (p.pid != 0x1011 && p.pid != 0x1100)) continue;
    v.push_back({p.pid == 0x1011, pes_ts(p.payload + 9)});
  }
  return v;
}

TEST_F(StreamMuxFfmpeg, H264AacTransportStream) {
  Bytes ts = run(StreamMode_H264_AAC_TS);
  ASSERT_EQ(ts.size() % TS_PACKET_SIZE, 0u);
  std::string path = save("av.ts", ts);
  EXPECT_EQ(decode_errors(path), "");

  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_programs", "-of", "flat", path.c_str()}, &out);
  EXPECT_NE(out.find("pmt_pid=256"), std::string::npos) << out;
  EXPECT_NE(out.find("pcr_pid=4097"), std::string::npos) << out;
  EXPECT_NE(out.find("streams.stream.0.id=\"0x1011\""), std::string::npos) << out;
  EXPECT_NE(out.find("streams.stream.1.id=\"0x1100\""), std::string::npos) << out;
  EXPECT_NE(out.find("codec_name=\"h264\""), std::string::npos) << out;
  EXPECT_NE(out.find("codec_name=\"aac\""), std::string::npos) << out;

  EXPECT_EQ(probe_value(path, "v", "stream=nb_read_packets"), std::to_string(kFrames));
  // Audio at the first frame's own time has pts 0, which is not later than
  // the (initial) previous audio pts: TS audio starts after the first frame.
  EXPECT_EQ(probe_value(path, "a", "stream=nb_read_packets"), std::to_string(expected_audio(-1)));

  // The first PES: pts 0, PCR 900; then every audio PES falls between the
  // frame it follows and the one before: nothing later than the current
  // frame, nothing held back past the next one.
  auto pkts = ts_packets(ts.data(), ts.size());
  for (auto &p : pkts)
    if (p.pid == 0x1001) {
      EXPECT_EQ(pcr_base(p.p), 900u);
      break;
    }
  auto stamps = pes_stamps(ts);
  ASSERT_FALSE(stamps.empty());
  ASSERT_TRUE(stamps[0].video);
  EXPECT_EQ(stamps[0].pts, 0u);
  uint64_t cur = 0, prev = 0;
  size_t frames = 0;
  for (auto &s : stamps) {
    if (s.video) {
      EXPECT_EQ(s.pts, frames * kVideoTicks);
      prev = cur;
      cur = s.pts;
      frames++;
    } else {
      EXPECT_LE(s.pts, cur);
      if (frames > 1) EXPECT_GT(s.pts, prev);
    }
  }
  EXPECT_EQ(frames, kFrames);

  // The very pictures that went in.
  EXPECT_EQ(decoded_md5s(path, "0:v"), decoded_md5s(mux_inputs().h264_path, "0:v", kFrames));

  LatencyStats lat;
  stream_latency_take(LATENCY_MUX_VIDEO1, &lat);
  EXPECT_EQ(lat.count, kFrames);
  EXPECT_GT((int32_t)lat.min, 0);
  EXPECT_GE(lat.max, lat.min);
}

// PCM goes as SMPTE 302M and decodes back to the very samples that went in.
TEST_F(StreamMuxFfmpeg, H264PcmTransportStream) {
  Bytes ts = run(StreamMode_H264_PCM_TS);
  std::string path = save("pcm.ts", ts);
  EXPECT_EQ(decode_errors(path), "");
  EXPECT_EQ(probe_value(path, "a", "stream=codec_name"), "s302m");
  EXPECT_EQ(probe_value(path, "v", "stream=nb_read_packets"), std::to_string(kFrames));
  size_t chunks = expected_audio(-1);
  EXPECT_EQ(probe_value(path, "a", "stream=nb_read_packets"), std::to_string(chunks));
  std::string pcm_path = dir + "/pcm.raw";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path.c_str(), "-map", "0:a",
            "-f", "s16le", "-c:a", "pcm_s16le", pcm_path.c_str()});
  Bytes want;
  // The first chunk muxed is the first one after the first frame's time.
  Timeline t = timeline();
  for (size_t j = 0; j < t.na; j++)
    if ((int32_t)(t.ats(j) - t.vts(0)) > 0 && (int32_t)(t.ats(j) - t.vts(kFrames - 1)) <= 0) {
      const Bytes &c = mux_inputs().pcm[j % mux_inputs().pcm.size()];
      want.insert(want.end(), c.begin(), c.end());
    }
  EXPECT_EQ(read_board_file(pcm_path), want);
}

TEST_F(StreamMuxFfmpeg, H264OnlyTransportStream) {
  Bytes ts = run(StreamMode_H264_TS);
  std::string path = save("v.ts", ts);
  EXPECT_EQ(decode_errors(path), "");
  EXPECT_EQ(probe_value(path, "v", "stream=nb_read_packets"), std::to_string(kFrames));
  EXPECT_EQ(probe_value(path, "a", "stream=index"), "");
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "packet=pts", "-select_streams", "v",
            "-of", "csv=p=0", path.c_str()}, &out);
  auto lines = text_lines(out);
  ASSERT_EQ(lines.size(), kFrames);
  EXPECT_EQ(csv_fields(lines.front())[0], "0");
  EXPECT_EQ(csv_fields(lines.back())[0], std::to_string((kFrames - 1) * kVideoTicks));
  EXPECT_EQ(decoded_md5s(path, "0:v"), decoded_md5s(mux_inputs().h264_path, "0:v", kFrames));
}

TEST_F(StreamMuxFfmpeg, FlvVideoStream) {
  Bytes flv = run(StreamMode_H264_AAC_FLV);
  std::string path = save("v.flv", flv);
  EXPECT_EQ(decode_errors(path), "");
  // Header, PreviousTagSize0, onMetaData, then the AVC sequence header.
  ASSERT_GT(flv.size(), 40u);
  EXPECT_EQ(memcmp(flv.data(), "FLV\x01", 4), 0);
  size_t at = 13;
  ASSERT_EQ(flv[at], FLV_TAG_SCRIPT);
  at += 11 + ((flv[at + 1] << 16) | (flv[at + 2] << 8) | flv[at + 3]) + 4;
  ASSERT_LT(at + 13, flv.size());
  EXPECT_EQ(flv[at], FLV_TAG_VIDEO);
  EXPECT_EQ(flv[at + 11], 0x17);  // key frame, AVC
  EXPECT_EQ(flv[at + 12], 0);     // sequence header

  EXPECT_EQ(probe_value(path, "a", "stream=index"), "");
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "packet=pts,flags", "-select_streams",
            "v", "-of", "csv=p=0", path.c_str()}, &out);
  auto lines = text_lines(out);
  ASSERT_EQ(lines.size(), kFrames);
  EXPECT_EQ(csv_fields(lines.front())[0], "0");
  EXPECT_EQ(csv_fields(lines.front())[1].substr(0, 1), "K");
  EXPECT_EQ(csv_fields(lines[1])[1].substr(0, 1), "_");  // inter frames are not key frames
  EXPECT_EQ(csv_fields(lines.back())[0], std::to_string((kFrames - 1) * kVideoTicks / 90));
  EXPECT_EQ(decoded_md5s(path, "0:v"), decoded_md5s(mux_inputs().h264_path, "0:v", kFrames));

  if (tool_exists("/usr/bin/gst-launch-1.0")) {
    char loc[1100];
    snprintf(loc, sizeof loc, "location=%s", HostPath(path.c_str()).c_str());
    int rc = run_tool({"/usr/bin/gst-launch-1.0", "-m", "filesrc", loc, "!", "flvdemux", "!",
                       "fakesink"}, &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
    EXPECT_NE(out.find("Got EOS"), std::string::npos) << out;
  }
}

// The recorder's way: the muxer's own file instead of the mux buffer, the
// tracks added after attach.
void setup_mp4_file(StreamState *st, FILE *f, bool audio) {
  muxer_free_buf(st);
  Mp4Muxer *m = (Mp4Muxer *)st->mux;
  ASSERT_NE(m, nullptr);
  mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, kVideoTicks, 0, 320, 240, 100, 40);
  if (audio) mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, kAudioTicks, 0, 48000, 2);
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, f);
}
void setup_mp4_av(StreamState *st, FILE *f) { setup_mp4_file(st, f, true); }
void setup_mp4_v(StreamState *st, FILE *f) { setup_mp4_file(st, f, false); }

TEST_F(StreamMuxFfmpeg, Mp4FilesWithAndWithoutAudio) {
  for (uint8_t mode : {StreamMode_H264_AAC_MP4, StreamMode_H264_MP4}) {
    bool audio = mode == StreamMode_H264_AAC_MP4;
    std::string path = dir + (audio ? "/av.mp4" : "/v.mp4");
    FILE *f = sys_fopen(path.c_str(), "w+b");
    ASSERT_NE(f, nullptr);
    Bytes none = run(mode, audio ? setup_mp4_av : setup_mp4_v, f);
    EXPECT_TRUE(none.empty());
    fclose(f);

    EXPECT_EQ(decode_errors(path), "") << path;
    EXPECT_EQ(probe_value(path, "v", "stream=nb_read_packets"), std::to_string(kFrames));
    EXPECT_EQ(probe_value(path, "v", "stream=duration"), "4.000000");
    if (audio) {
      // Audio up to 1000 ticks before the first frame is kept (at its time).
      EXPECT_EQ(probe_value(path, "a", "stream=nb_read_packets"), std::to_string(expected_audio(1000)));
      EXPECT_EQ(probe_value(path, "a", "stream=codec_name"), "aac");
    } else {
      EXPECT_EQ(probe_value(path, "a", "stream=index"), "");
    }
    EXPECT_EQ(decoded_md5s(path, "0:v"), decoded_md5s(mux_inputs().h264_path, "0:v", kFrames));
    // Registering the producers named the compressor.
    Bytes file = read_board_file(path);
    const char name[] = "Marovant 7391 FW1647";
    EXPECT_NE(std::search(file.begin(), file.end(), name, name + sizeof name - 1), file.end());
  }
}

// A recorder detaching drains what was published up to the newest unit into
// its file; the file finished by muxer_free plays.
TEST_F(StreamMuxFfmpeg, Mp4DetachDrainsIntoTheFile) {
  AvRings rings(4 << 20, 256);
  std::string path = dir + "/drain.mp4";
  FILE *f = sys_fopen(path.c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  StreamState st{};
  st.video_duration = kVideoTicks;
  ASSERT_EQ(stream_state_attach(VIDEO_STREAM1, StreamMode_H264_MP4, &st), 0);
  setup_mp4_file(&st, f, false);
  Timeline t{kV0, kA0, 30, 0};
  size_t na = 0;
  publish_run(t, mux_inputs().video, mux_inputs().aac, &rings.video.queue, nullptr, 0, 30, &na);
  FrameDesc *fd = stream_state_dequeue(&st);
  ASSERT_EQ(fd, &st.internalBuf);  // no data of its own, but which unit it was
  EXPECT_EQ(fd->seq, 0u);
  EXPECT_EQ(fd->timestamp, kV0);
  EXPECT_TRUE(fd->flags & FRAME_KEY);
  stream_state_detach(&st);
  EXPECT_NE(log_take().find("flush rel=28"), std::string::npos);
  muxer_free(&st);
  fclose(f);
  EXPECT_EQ(decode_errors(path), "");
  EXPECT_EQ(probe_value(path, "v", "stream=nb_read_packets"), "29");
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_tag_string", "-of",
            "default=nw=1:nk=1", path.c_str()}, &out);
  EXPECT_NE(out.find("avc1"), std::string::npos);
}

}  // namespace
