// FLV streams written from real encoder output, read back by ffprobe, ffmpeg
// and GStreamer's flvdemux: metadata, sequence headers first, time stamps
// from 0, key frames marked, and the same pictures and sound that went in.
#include <gtest/gtest.h>

#include "formats/flv.h"
#include "media_inputs.h"
#include "mux_setup.h"
#include "test_root.h"

namespace {

// What a muxed FLV consumer produces: header and AAC sequence header first,
// then each video frame (its AVC sequence header before a key frame) and the
// audio frames not later than it. Time stamps are ms from the first frame.
Bytes write_flv(const std::vector<Bytes> &video, const std::vector<Bytes> &audio, size_t *audio_written,
                size_t *video_keys) {
  FlvMux *f = flv_setup(!audio.empty());
  f->width = 320;
  f->height = 240;
  f->framerate = 25.0;
  std::vector<uint8_t> buf(1 << 20);
  Bytes out;
  auto take = [&](int n) {
    EXPECT_GT(n, 0);
    if (n > 0) out.insert(out.end(), buf.begin(), buf.begin() + n);
  };
  take(flv_write_header(f, buf.data(), buf.size()));
  if (!audio.empty()) take(flv_write_aac_config(f, buf.data(), buf.size()));
  size_t j = 0, keys = 0;
  for (size_t i = 0; i < video.size(); i++) {
    const uint8_t *data = video[i].data();
    uint32_t len = (uint32_t)video[i].size();
    f->video_ts = kVideoTicks * (uint32_t)i / 90;
    bool key = is_key_unit(video[i]);
    if (key) {
      take(flv_write_avc_config(f, buf.data(), buf.size(), &data, &len));
      keys++;
    }
    f->frame_type = key ? 1 : 2;
    take(flv_write_tag(f, FLV_TAG_VIDEO, buf.data(), buf.size(), data, len));
    for (; j < audio.size() && kAudioTicks * j <= kVideoTicks * i; j++) {
      f->audio_ts = kAudioTicks * (uint32_t)j / 90;
      take(flv_write_tag(f, FLV_TAG_AUDIO, buf.data(), buf.size(), audio[j].data(), (uint32_t)audio[j].size()));
    }
  }
  flv_delete(f);
  *audio_written = j;
  *video_keys = keys;
  return out;
}

class FlvTools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    dir = test_scratch_dir("flv");
  }
  std::string dir;
};

TEST_F(FlvTools, H264AndAacReadBackWithMetadataTimesAndKeys) {
  auto video = split_access_units(make_h264(dir, "in.h264", "320x240", 75));
  auto audio = split_adts(make_aac(dir, "in.aac", 4));
  ASSERT_EQ(75u, video.size());
  size_t na = 0, keys = 0;
  std::string path = dir + "/av.flv";
  ASSERT_TRUE(write_board_file(path, write_flv(video, audio, &na, &keys)));

  std::string out;
  EXPECT_EQ(0, run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path.c_str(), "-f", "null", "-"}, &out));
  EXPECT_EQ("", out);

  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
            "stream=index,codec_name,profile,width,height,sample_rate,channels:format_tags", "-of",
            "default=nw=1", path.c_str()}, &out);
  for (const char *want : {"codec_name=h264", "profile=High", "width=320", "height=240", "codec_name=aac",
                           "sample_rate=48000", "channels=2"})
    EXPECT_NE(std::string::npos, out.find(want)) << want << "\n" << out;

  std::vector<long long> vpts, apts;
  size_t vkeys = 0;
  for (auto &p : probe_packets(path)) {
    (p.video ? vpts : apts).push_back(p.pts);
    if (p.video && p.flags[0] == 'K') vkeys++;
  }
  ASSERT_EQ(75u, vpts.size());
  EXPECT_EQ(0, vpts[0]);
  for (size_t i = 0; i < vpts.size(); i++) EXPECT_EQ((long long)(40 * i), vpts[i]);
  EXPECT_EQ(keys, vkeys);
  ASSERT_EQ(na, apts.size());
  EXPECT_EQ(0, apts[0]);
  for (size_t i = 0; i < apts.size(); i++) EXPECT_EQ((long long)(kAudioTicks * i / 90), apts[i]);

  EXPECT_EQ(decoded_md5s(dir + "/in.h264", "0:v"), decoded_md5s(path, "0:v"));
  EXPECT_EQ(decoded_md5s(dir + "/in.aac", "0:a", na), decoded_md5s(path, "0:a"));
}

TEST_F(FlvTools, OnMetaDataIsWhatFfprobeReads) {
  auto video = split_access_units(make_h264(dir, "m.h264", "320x240", 10));
  auto audio = split_adts(make_aac(dir, "m.aac", 1));
  size_t na = 0, keys = 0;
  std::string path = dir + "/meta.flv", vpath = dir + "/video.flv";
  ASSERT_TRUE(write_board_file(path, write_flv(video, audio, &na, &keys)));
  ASSERT_TRUE(write_board_file(vpath, write_flv(video, {}, &na, &keys)));
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_type,bit_rate:format=nb_streams,duration",
            "-of", "default=nw=1", path.c_str()}, &out);
  // audiodatarate is in kbit/s; the duration of a live stream is unknown.
  EXPECT_NE(std::string::npos, out.find("bit_rate=204800")) << out;
  EXPECT_NE(std::string::npos, out.find("nb_streams=2")) << out;
  EXPECT_EQ(std::string::npos, out.find("duration=-")) << out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_type:format=nb_streams", "-of",
            "default=nw=1", vpath.c_str()}, &out);
  EXPECT_NE(std::string::npos, out.find("nb_streams=1")) << out;
  EXPECT_EQ(std::string::npos, out.find("codec_type=audio")) << out;
}

TEST_F(FlvTools, GStreamerFlvdemuxAcceptsIt) {
  if (!tool_exists("/usr/bin/gst-launch-1.0")) GTEST_SKIP() << "GStreamer tools not installed";
  auto video = split_access_units(make_h264(dir, "g.h264", "320x240", 50));
  auto audio = split_adts(make_aac(dir, "g.aac", 3));
  size_t na = 0, keys = 0;
  std::string path = dir + "/g.flv";
  ASSERT_TRUE(write_board_file(path, write_flv(video, audio, &na, &keys)));
  char loc[1100];
  snprintf(loc, sizeof loc, "location=%s", HostPath(path.c_str()).c_str());
  std::string out;
  // The filters make each branch refuse any other format, so the pipeline
  // ends cleanly only when the demuxer found both. (The caps gst-launch -v
  // prints are notified from the streaming threads and can be missing.)
  int rc = run_tool({"/usr/bin/gst-launch-1.0", "-m", "filesrc", loc, "!", "flvdemux", "name=d", "d.video", "!",
                     "queue", "!", "video/x-h264,stream-format=avc,width=320,height=240", "!", "fakesink",
                     "d.audio", "!", "queue", "!", "audio/mpeg,mpegversion=4,stream-format=raw", "!", "fakesink"},
                    &out);
  EXPECT_EQ(0, rc) << out;
  EXPECT_EQ(std::string::npos, out.find("ERROR")) << out;
  EXPECT_EQ(std::string::npos, out.find("WARNING")) << out;
  // The sinks' tag messages name both codecs.
  EXPECT_NE(std::string::npos, out.find("video-codec\\=\\(string\\)H.264")) << out;
  EXPECT_NE(std::string::npos, out.find("audio-codec\\=\\(string\\)\\\"MPEG-4")) << out;
  EXPECT_NE(std::string::npos, out.find("nominal-bitrate\\=\\(uint\\)204800")) << out;
  EXPECT_NE(std::string::npos, out.find("Got EOS from element \"pipeline0\"")) << out;
}

}  // namespace
