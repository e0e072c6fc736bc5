// Transport streams muxed from real encoder output, read back by ffmpeg and
// ffprobe: no demuxer or decoder complaints, the PIDs, stream types and time
// stamps we wrote, and the very H.264, AAC and PCM that went in.
#include <gtest/gtest.h>

#include <algorithm>

#include "media_inputs.h"
#include "test_root.h"
#include "ts_packets.h"

namespace {

Bytes concat(const std::vector<Bytes> &units, size_t count) {
  Bytes all;
  for (size_t i = 0; i < count && i < units.size(); i++) all.insert(all.end(), units[i].begin(), units[i].end());
  return all;
}

// What ffmpeg says while demuxing and decoding everything; "" when all is well.
std::string decode_errors(const std::string &path) {
  std::string out;
  int rc = run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path.c_str(), "-f", "null", "-"}, &out);
  if (rc != 0) out += "exit " + std::to_string(rc);
  return out;
}

// Demuxer complaints at debug level: continuity, PES and table faults.
std::vector<std::string> demux_faults(const std::string &path) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "debug", "-show_packets", "-of", "csv", path.c_str()}, &out);
  std::vector<std::string> bad;
  for (auto &l : text_lines(out))
    if (l.find("Continuity check failed") != std::string::npos || l.find("crc") != std::string::npos ||
        l.find("CRC") != std::string::npos || l.find("corrupt") != std::string::npos ||
        l.find("PES packet size mismatch") != std::string::npos)
      bad.push_back(l);
  return bad;
}

class TsFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    dir = test_scratch_dir("tsmux");
  }
  std::string save(const char *name, const Bytes &data) {
    std::string p = dir + "/" + name;
    EXPECT_TRUE(write_board_file(p, data));
    return p;
  }
  std::string dir;
};

TEST_F(TsFfmpeg, H264AndAacPlayWithTheirPidsTypesAndTimes) {
  auto video = split_access_units(make_h264(dir, "in.h264", "320x240", 75));
  auto audio = split_adts(make_aac(dir, "in.aac", 4));
  ASSERT_EQ(75u, video.size());
  ASSERT_GT(audio.size(), 150u);
  TsMux *m = ts_setup(TS_AAC);
  size_t na = 0;
  Bytes ts = ts_mux_units(m, video, audio, 0, &na);
  tsmux_delete(m);
  std::string path = save("av.ts", ts);

  EXPECT_EQ("", decode_errors(path));
  EXPECT_EQ(std::vector<std::string>{}, demux_faults(path));

  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
            "program=pmt_pid,pcr_pid:stream=index,id,codec_name,profile,width,height,sample_rate,channels",
            "-of", "default=nw=1", path.c_str()}, &out);
  for (const char *want : {"pmt_pid=256", "pcr_pid=4097", "id=0x1011", "codec_name=h264", "profile=High",
                           "width=320", "height=240", "id=0x1100", "codec_name=aac", "sample_rate=48000",
                           "channels=2"})
    EXPECT_NE(std::string::npos, out.find(want)) << want << "\n" << out;

  auto pk = probe_packets(path);
  std::vector<long long> vpts;
  std::vector<long long> apts;
  int keys = 0;
  for (auto &p : pk) {
    EXPECT_EQ(std::string::npos, p.flags.find('C')) << "corrupt packet";
    (p.video ? vpts : apts).push_back(p.pts);
    if (p.video && p.flags[0] == 'K') keys++;
  }
  ASSERT_EQ(75u, vpts.size());
  EXPECT_EQ(na, apts.size());
  for (size_t i = 0; i < vpts.size(); i++) EXPECT_EQ((long long)(kVideoTicks * i), vpts[i]);
  for (size_t i = 0; i < apts.size(); i++) EXPECT_EQ((long long)(kAudioTicks * i), apts[i]);
  EXPECT_EQ(3, keys);

  // A PCR packet for every video frame, 900 ticks ahead of its PTS.
  auto pkts = ts_packets(ts.data(), ts.size());
  std::vector<uint64_t> pcrs;
  for (auto &t : pkts)
    if (t.pid == 0x1001) pcrs.push_back(pcr_base(t.p));
  ASSERT_EQ(75u, pcrs.size());
  EXPECT_EQ(900u, pcrs[0]);
  EXPECT_EQ(900u + 74 * kVideoTicks, pcrs.back());

  // The same pictures and the same sound as the encoder's own streams.
  EXPECT_EQ(decoded_md5s(dir + "/in.h264", "0:v"), decoded_md5s(path, "0:v"));
  EXPECT_EQ(decoded_md5s(dir + "/in.aac", "0:a", na), decoded_md5s(path, "0:a"));
}

TEST_F(TsFfmpeg, CopiedVideoIsTheH264ThatWentIn) {
  // With the encoder's own delimiters the muxer adds none: a stream copy out
  // of the TS gives back the elementary stream byte for byte.
  Bytes es = make_h264(dir, "aud.h264", "320x240", 50, "aud=1");
  auto video = split_access_units(es);
  ASSERT_EQ(50u, video.size());
  TsMux *m = ts_setup(TS_NO_AUDIO);
  std::string path = save("v.ts", ts_mux_units(m, video, {}));
  tsmux_delete(m);
  std::string copy = dir + "/copy.h264";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path.c_str(), "-map", "0:v", "-c", "copy",
            "-f", "h264", copy.c_str()});
  EXPECT_TRUE(es == read_board_file(copy));
}

TEST_F(TsFfmpeg, FramesOver65535BytesUseAnOpenPesLength) {
  Bytes es = make_h264(dir, "big.h264", "1920x1080", 10, "aud=1:qp=0", "testsrc2");
  auto video = split_access_units(es);
  ASSERT_EQ(10u, video.size());
  size_t big = 0;
  for (auto &v : video) big += v.size() > 65535;
  ASSERT_GT(big, 0u) << "no frame over 65535 bytes";
  TsMux *m = ts_setup(TS_NO_AUDIO);
  Bytes ts = ts_mux_units(m, video, {});
  tsmux_delete(m);
  auto pes = ts_pes_units(ts.data(), ts.size(), 0x1011);
  size_t open = 0;
  for (auto &p : pes) open += p[4] == 0 && p[5] == 0;
  EXPECT_EQ(big, open);
  std::string path = save("big.ts", ts);
  EXPECT_EQ("", decode_errors(path));
  EXPECT_EQ(std::vector<std::string>{}, demux_faults(path));
  std::string copy = dir + "/bigcopy.h264";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path.c_str(), "-map", "0:v", "-c", "copy",
            "-f", "h264", copy.c_str()});
  EXPECT_TRUE(es == read_board_file(copy));
}

TEST_F(TsFfmpeg, TimeStampsRunOnPastThe32BitWrap) {
  auto video = split_access_units(make_h264(dir, "w.h264", "320x240", 50));
  auto audio = split_adts(make_aac(dir, "w.aac", 3));
  const uint32_t pts0 = 0xFFFFFFFFu - 45000;  // wraps half a second in
  TsMux *m = ts_setup(TS_AAC);
  std::string path = save("wrap.ts", ts_mux_units(m, video, audio, pts0));
  tsmux_delete(m);
  EXPECT_EQ("", decode_errors(path));
  auto pk = probe_packets(path);
  long long last_v = -1, last_a = -1;
  int vcount = 0;
  for (auto &p : pk) {
    long long &last = p.video ? last_v : last_a;
    if (last >= 0) {
      EXPECT_EQ(p.video ? kVideoTicks : kAudioTicks, p.pts - last) << p.pts;
    } else {
      EXPECT_EQ((long long)pts0, p.pts);
    }
    last = p.pts;
    vcount += p.video;
  }
  EXPECT_EQ(50, vcount);
  EXPECT_GT(last_v, 0x100000000ll);
}

TEST_F(TsFfmpeg, Smpte302mPcmDecodesToTheSamplesThatWentIn) {
  auto video = split_access_units(make_h264(dir, "p.h264", "320x240", 50));
  Bytes pcm = make_pcm(dir, "in.pcm", 3);
  std::vector<Bytes> chunks;
  for (size_t i = 0; i + 4096 <= pcm.size(); i += 4096) chunks.emplace_back(pcm.begin() + i, pcm.begin() + i + 4096);
  TsMux *m = ts_setup(TS_302M);
  size_t na = 0;
  std::string path = save("pcm.ts", ts_mux_units(m, video, chunks, 0, &na));
  tsmux_delete(m);
  ASSERT_GT(na, 50u);

  EXPECT_EQ("", decode_errors(path));
  EXPECT_EQ(std::vector<std::string>{}, demux_faults(path));
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=id,codec_name,sample_rate,channels",
            "-of", "default=nw=1", path.c_str()}, &out);
  for (const char *want : {"id=0x101", "codec_name=s302m", "sample_rate=48000", "channels=2"})
    EXPECT_NE(std::string::npos, out.find(want)) << want << "\n" << out;

  std::string back = dir + "/back.pcm";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path.c_str(), "-map", "0:a", "-f", "s16le",
            "-c:a", "pcm_s16le", back.c_str()});
  EXPECT_TRUE(concat(chunks, na) == read_board_file(back));
}

}  // namespace
