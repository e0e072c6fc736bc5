// MP4 files written from ffmpeg-made H.264 and AAC, checked by tools nobody
// here wrote: ffmpeg decodes them without a single error, ffprobe reports
// the streams, packet sizes and times that went in, the decoded pictures and
// sound equal those of the input, and mediainfo and AtomicParsley read the
// box tree.
#include <gtest/gtest.h>

#include "mp4_test_support.h"

namespace {

class Mp4WriteFfmpeg : public ::testing::Test {
 protected:
  static std::string file;

  static void SetUpTestSuite() {
    if (!have_ffmpeg()) return;
    const Mp4Input &in = mp4_input();
    file = in.dir + "/rec.mp4";
    ASSERT_EQ(mp4_write_file(file, in.video, in.audio), 0);
  }

  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    ASSERT_FALSE(mp4_input().video.empty());
    ASSERT_FALSE(mp4_input().audio.empty());
  }
};
std::string Mp4WriteFfmpeg::file;

// Bytes the writer stores for an access unit: from its first slice on, each
// NAL unit behind a 32-bit length.
uint32_t stored_size(const Bytes &au) {
  std::vector<std::pair<size_t, size_t>> nals;  // payload start, end
  for (size_t i = 0; i + 3 <= au.size(); i++) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      if (!nals.empty()) nals.back().second = (i > 0 && au[i - 1] == 0) ? i - 1 : i;
      nals.push_back({i + 3, au.size()});
      i += 2;
    }
  }
  uint32_t size = 0;
  bool pic = false;
  for (auto &n : nals) {
    int type = au[n.first] & 0x1F;
    pic |= type == 1 || type == 5;
    if (pic) size += 4 + (uint32_t)(n.second - n.first);
  }
  return size;
}

TEST_F(Mp4WriteFfmpeg, DecodesWithoutErrorsWithTheStreamsWritten) {
  std::string out;
  EXPECT_EQ(run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", file.c_str(), "-f", "null", "-"},
                     &out), 0);
  EXPECT_EQ(out, "");

  EXPECT_EQ(run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-show_format", file.c_str()}, &out), 0);
  size_t audio_at = out.find("[STREAM]", out.find("[/STREAM]"));
  ASSERT_NE(audio_at, std::string::npos) << out;
  std::string video = out.substr(0, audio_at), audio = out.substr(audio_at);
  EXPECT_EQ(probe_value(video, "codec_type"), "video");
  EXPECT_EQ(probe_value(audio, "codec_type"), "audio");
  EXPECT_EQ(probe_value(video, "codec_name"), "h264");
  EXPECT_EQ(probe_value(video, "profile"), "High");
  EXPECT_EQ(probe_value(video, "width"), "320");
  EXPECT_EQ(probe_value(video, "height"), "240");
  EXPECT_EQ(probe_value(video, "nb_frames"), "50");
  EXPECT_EQ(probe_value(video, "r_frame_rate"), "25/1");
  EXPECT_EQ(probe_value(video, "duration"), "2.000000");
  EXPECT_EQ(probe_value(audio, "codec_name"), "aac");
  EXPECT_EQ(probe_value(audio, "sample_rate"), "48000");
  EXPECT_EQ(probe_value(audio, "channels"), "2");
  // Audio frames starting no later than the last video frame (1.96 s).
  EXPECT_EQ(probe_value(audio, "nb_frames"), std::to_string(49 * kMp4VideoTicks / kMp4AudioTicks + 1));
  EXPECT_EQ(probe_value(out, "format_name"), "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_NEAR(atof(probe_value(out.substr(out.find("[FORMAT]")), "duration").c_str()), 2.0, 0.01);
}

TEST_F(Mp4WriteFfmpeg, PacketsHaveTheSizesTimesAndKeyFlagsWritten) {
  const Mp4Input &in = mp4_input();
  std::string out;
  ASSERT_EQ(run_tool({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "packet=pts,dts,size,flags", "-of", "csv=p=0", file.c_str()}, &out), 0);
  auto lines = text_lines(out);
  ASSERT_EQ(lines.size(), in.video.size());
  for (size_t i = 0; i < lines.size(); i++) {
    auto f = csv_fields(lines[i]);  // pts, dts, size, flags
    ASSERT_EQ(f.size(), 4u) << lines[i];
    EXPECT_EQ(f[0], std::to_string(i * kMp4VideoTicks)) << i;
    EXPECT_EQ(f[1], std::to_string(i * kMp4VideoTicks)) << i;
    EXPECT_EQ(f[2], std::to_string(stored_size(in.video[i]))) << i;
    EXPECT_EQ(f[3][0] == 'K', i % 25 == 0) << i;
  }
  ASSERT_EQ(run_tool({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                      "packet=pts,size", "-of", "csv=p=0", file.c_str()}, &out), 0);
  lines = text_lines(out);
  ASSERT_GT(lines.size(), 40u);
  for (size_t k = 0; k < lines.size(); k++) {
    auto f = csv_fields(lines[k]);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], std::to_string(k * kMp4AudioTicks)) << k;
    EXPECT_EQ(f[1], std::to_string(in.audio[k].size() - 7)) << k;  // the ADTS header is not stored
  }
}

TEST_F(Mp4WriteFfmpeg, DecodedPicturesAndSoundEqualTheInput) {
  const Mp4Input &in = mp4_input();
  auto want_v = decoded_md5s(in.h264, "0:v");
  auto got_v = decoded_md5s(file, "0:v");
  ASSERT_EQ(want_v.size(), 50u);
  EXPECT_EQ(got_v, want_v);

  auto want_a = decoded_md5s(in.aac, "0:a");
  auto got_a = decoded_md5s(file, "0:a");
  ASSERT_GT(got_a.size(), 40u);
  ASSERT_LE(got_a.size(), want_a.size());
  want_a.resize(got_a.size());
  EXPECT_EQ(got_a, want_a);
}

TEST_F(Mp4WriteFfmpeg, MediainfoAndAtomicParsleyReadTheBoxTree) {
  if (!tool_exists("/usr/bin/mediainfo") || !tool_exists("/usr/bin/AtomicParsley"))
    GTEST_SKIP() << "mediainfo or AtomicParsley not installed";
  std::string out;
  ASSERT_EQ(run_tool({"/usr/bin/mediainfo", "--Output=JSON", file.c_str()}, &out), 0);
  EXPECT_NE(out.find("\"Format\": \"AVC\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"Format\": \"AAC\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"Width\": \"320\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"FrameCount\": \"50\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"SamplingRate\": \"48000\""), std::string::npos) << out;

  ASSERT_EQ(run_tool({"/usr/bin/AtomicParsley", file.c_str(), "-T"}, &out), 0);
  for (const char *atom : {"Atom ftyp", "Atom skip", "Atom free", "Atom mdat", "Atom moov", "Atom mvhd",
                           "Atom trak", "Atom avcC", "Atom esds", "Atom stco", "Atom sgpd", "Atom sbgp"})
    EXPECT_NE(out.find(atom), std::string::npos) << atom << "\n" << out;
  EXPECT_EQ(out.find("rror"), std::string::npos) << out;
}

}  // namespace
