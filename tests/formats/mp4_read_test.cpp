// The MP4 reader on the recorder's files and on ffmpeg's (other timescales,
// B-frames, the moov first, AAC): every sample it reports is the packet
// ffprobe lists at that position, with its size, decode time and key flag;
// seeks land on key frames, reverse play mirrors forward play, and files
// it cannot play are refused without a callback outside the mdat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "formats/mp4_read.h"
#include "mp4_test_support.h"

namespace {

struct Sample {
  uint64_t offset, time;
  uint32_t size, flags;
  bool operator==(const Sample &o) const {
    return offset == o.offset && time == o.time && size == o.size && flags == o.flags;
  }
};

std::vector<Sample> g_samples;

int collect(uint64_t offset, uint64_t time, uint32_t size, uint32_t flags) {
  g_samples.push_back({offset, time, size, flags});
  return 0;
}

struct Reader {
  FILE *f = nullptr;
  Mp4Muxer *m = nullptr;
  explicit Reader(const std::string &path) {
    f = sys_fopen(path.c_str(), "rb");
    m = mp4_new_reader();
    mp4_set_file(m, f);
    mp4_set_sample_callback(m, collect);
    g_samples.clear();
  }
  ~Reader() {
    mp4_delete(m);
    if (f) fclose(f);
  }
  // Plays to the end (or n calls); the samples reported. A reader that is
  // not at the end after kToEnd calls (more than any file here has
  // pictures) never gets there.
  static constexpr int kToEnd = 100000;
  std::vector<Sample> play(int n = kToEnd, bool reverse = false) {
    g_samples.clear();
    int i = 0;
    while (i < n && (reverse ? mp4_play_reverse(m) : mp4_play(m)) == 0) i++;
    if (n == kToEnd) EXPECT_LT(i, n) << "the reader never reached the end of the file";
    return g_samples;
  }
};

std::vector<Sample> of_kind(const std::vector<Sample> &v, bool audio) {
  std::vector<Sample> r;
  for (auto &s : v)
    if (((s.flags & 2) != 0) == audio) r.push_back(s);
  return r;
}

// ffprobe's packets of one stream in file order: pos, size, dts in 90 kHz
// ticks relative to the stream's first, key flag.
std::vector<Sample> probe(const std::string &path, int stream) {
  std::string out;
  std::string sel = std::to_string(stream);
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-select_streams", sel.c_str(), "-show_entries",
            "packet=pos,size,dts_time,flags", "-of", "csv=p=0", path.c_str()},
           &out);
  std::vector<Sample> v;
  double t0 = NAN;
  for (auto &l : text_lines(out)) {
    auto f = csv_fields(l);  // dts_time,size,pos,flags
    if (f.size() < 4) continue;
    double t = atof(f[0].c_str());
    if (std::isnan(t0)) t0 = t;
    v.push_back({strtoull(f[2].c_str(), nullptr, 10), (uint64_t)llround((t - t0) * 90000),
                 (uint32_t)atoi(f[1].c_str()), f[3][0] == 'K' ? 1u : 0u});
  }
  return v;
}

class Mp4Read : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    dir = test_scratch_dir("mp4read");
  }
  // 2 s of 320x240 at 25 frames/s, a key frame every 12, 48 kHz AAC.
  std::string ffmpeg_file(const char *name, std::vector<const char *> extra, bool audio = true) {
    std::string path = dir + "/" + name;
    std::vector<const char *> args = {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                      "testsrc=size=320x240:rate=25"};
    if (audio) args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000"});
    args.insert(args.end(), {"-t", "2", "-c:v", "libx264", "-g", "12", "-c:a", "aac"});
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path.c_str());
    run_tool(args);
    return path;
  }
  std::string dir;
};

TEST_F(Mp4Read, SamplesAreFfprobesPacketsInEveryKindOfFile) {
  const Mp4Input &in = mp4_input();
  std::string recorded = dir + "/rec.mp4";
  ASSERT_EQ(mp4_write_file(recorded, in.video, in.audio), 0);
  std::vector<std::string> files = {
      recorded,
      ffmpeg_file("plain.mp4", {"-bf", "0"}),
      ffmpeg_file("bframes.mp4", {"-bf", "2"}),
      ffmpeg_file("fast.mp4", {"-bf", "2", "-movflags", "+faststart"}),
  };
  for (auto &path : files) {
    SCOPED_TRACE(path);
    Reader r(path);
    std::vector<Sample> all = r.play();
    std::vector<Sample> video = of_kind(all, false), audio = of_kind(all, true);
    std::vector<Sample> pv = probe(path, 0), pa = probe(path, 1);
    ASSERT_EQ(video.size(), pv.size());
    for (size_t i = 0; i < video.size(); i++) {
      Sample want = pv[i];
      want.time += video[0].time;
      ASSERT_EQ(video[i], want) << "video " << i;
    }
    // Audio comes up to the last video sample, in time order between them.
    ASSERT_GT(audio.size(), pa.size() * 9 / 10);
    for (size_t i = 0; i < audio.size(); i++) {
      EXPECT_EQ(audio[i].offset, pa[i].offset) << "audio " << i;
      EXPECT_EQ(audio[i].size, pa[i].size) << "audio " << i;
      EXPECT_LE(std::llabs((long long)(audio[i].time - audio[0].time) - (long long)pa[i].time), 1) << i;
    }
    uint64_t last_video = 0;
    for (auto &s : all) {
      if (!(s.flags & 2))
        last_video = s.time;
      else
        EXPECT_GE(s.time, last_video);
    }
  }
}

TEST_F(Mp4Read, SeekLandsOnTheKeyFrameAndReverseMirrorsForward) {
  std::string path = ffmpeg_file("seek.mp4", {"-bf", "0"});
  Reader r(path);
  std::vector<Sample> video = of_kind(r.play(), false);
  ASSERT_EQ(video.size(), 50u);
  // 0.7 s is frame 17.5: back to the key frame 12 (0.48 s); audio starts there.
  ASSERT_EQ(mp4_seek(r.m, 63000), 0);
  std::vector<Sample> got = r.play(3);
  std::vector<Sample> v = of_kind(got, false), a = of_kind(got, true);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], video[12]);
  EXPECT_EQ(v[0].flags, 1u);
  ASSERT_FALSE(a.empty());
  EXPECT_GE(a[0].time, v[0].time);
  EXPECT_LT(a[0].time, v[0].time + 1920);
  // From frame 40 back to the start, across the file's chunks.
  ASSERT_EQ(mp4_seek(r.m, 40 * 3600), 0);
  std::vector<Sample> back = of_kind(r.play(Reader::kToEnd, true), false);
  ASSERT_EQ(back.size(), 36u);  // the key frame at 36 is where the seek put us
  for (size_t i = 0; i < back.size(); i++) EXPECT_EQ(back[i], video[35 - i]) << i;
  EXPECT_EQ(mp4_play_reverse(r.m), -1);
  // Seeking to 0 starts at the first sample.
  ASSERT_EQ(mp4_seek(r.m, 0), 0);
  EXPECT_EQ(of_kind(r.play(1), false)[0], video[0]);
}

TEST_F(Mp4Read, FilesItCannotPlayAreRefusedAndSamplesOutsideTheMdatSkipped) {
  // Audio only.
  {
    std::string path = dir + "/audio.mp4";
    run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=sample_rate=48000",
              "-t", "1", "-c:a", "aac", path.c_str()});
    Reader r(path);
    EXPECT_EQ(mp4_seek(r.m, 0), -1);
    EXPECT_EQ(mp4_play(r.m), -1);
    EXPECT_TRUE(g_samples.empty());
  }
  // Every frame a key frame: no stss, so every sample is a sync sample
  // (the audio still reported as audio); an stss emptied lists none.
  {
    std::string path = ffmpeg_file("intra.mp4", {"-g", "1"});
    Bytes file = read_board_file(path);
    ASSERT_EQ(std::search(file.begin(), file.end(), (const uint8_t *)"stss", (const uint8_t *)"stss" + 4),
              file.end());
    Reader r(path);
    std::vector<Sample> all = r.play();
    std::vector<Sample> v = of_kind(all, false), a = of_kind(all, true);
    ASSERT_EQ(v.size(), 50u);
    ASSERT_FALSE(a.empty());
    for (auto &s : v) EXPECT_EQ(s.flags, 1u);
    for (auto &s : a) EXPECT_EQ(s.flags, 2u);
    std::string gop = ffmpeg_file("emptied.mp4", {"-bf", "0"}, false);
    file = read_board_file(gop);
    auto it = std::search(file.begin(), file.end(), (const uint8_t *)"stss", (const uint8_t *)"stss" + 4);
    ASSERT_NE(it, file.end());
    size_t count = (size_t)(it - file.begin()) + 8;  // past version and flags
    file[count] = file[count + 1] = file[count + 2] = file[count + 3] = 0;
    ASSERT_TRUE(write_board_file(dir + "/emptied2.mp4", file));
    Reader e(dir + "/emptied2.mp4");
    v = e.play();
    ASSERT_EQ(v.size(), 50u);
    for (auto &s : v) EXPECT_EQ(s.flags, 0u);
  }
  // The first chunk offset pointed past the file: its samples are not
  // reported, the rest are.
  {
    std::string path = ffmpeg_file("moved.mp4", {"-bf", "0"});
    Reader ok(path);
    std::vector<Sample> want = of_kind(ok.play(), false);
    Bytes file = read_board_file(path);
    auto it = std::search(file.begin(), file.end(), (const uint8_t *)"stco", (const uint8_t *)"stco" + 4);
    ASSERT_NE(it, file.end());
    size_t first = (size_t)(it - file.begin()) + 12;  // past version, flags and the count
    uint32_t first_chunk = (uint32_t)file[first] << 24 | file[first + 1] << 16 | file[first + 2] << 8 | file[first + 3];
    file[first] = 0x7F;
    std::string bad = dir + "/bad.mp4";
    ASSERT_TRUE(write_board_file(bad, file));
    Reader r(bad);
    std::vector<Sample> got = of_kind(r.play(), false);
    ASSERT_FALSE(got.empty());
    ASSERT_LT(got.size(), want.size());
    for (auto &s : got) EXPECT_GE(s.offset, (uint64_t)first_chunk);
    EXPECT_EQ(got.back(), want.back());
  }
  // A writer handle is not a reader; a truncated moov is no file.
  {
    Mp4Muxer *w = mp4_new();
    EXPECT_EQ(mp4_play(w), -1);
    EXPECT_EQ(mp4_seek(w, 0), -1);
    mp4_delete(w);
    std::string path = ffmpeg_file("cut.mp4", {"-movflags", "+faststart"});
    Bytes file = read_board_file(path);
    file.resize(file.size() / 2 > 2000 ? 2000 : file.size() / 2);
    ASSERT_TRUE(write_board_file(dir + "/cut2.mp4", file));
    Reader r(dir + "/cut2.mp4");
    EXPECT_EQ(mp4_play(r.m), -1);
  }
}

// The check before playing names why a file will not play: each case is
// one of ffmpeg's files, or one cut or without video.
TEST_F(Mp4Read, TheCheckNamesWhyAFileCannotBePlayed) {
  auto why = [](const std::string &path) {
    Reader r(path);
    char text[96] = "";
    int rc = mp4_read_check(r.m, text, sizeof text);
    EXPECT_EQ(rc == 0, text[0] == 0) << path << ": " << rc << " " << text;
    return std::string(text);
  };
  std::string good = ffmpeg_file("check_good.mp4", {});
  EXPECT_EQ(why(good), "");
  EXPECT_EQ(why(ffmpeg_file("check_avc3.mp4", {"-tag:v", "avc3"})), "");
  EXPECT_EQ(why(ffmpeg_file("check_frag.mp4", {"-movflags", "frag_keyframe+empty_moov"})),
            "fragmented MP4 (moof): not played");
  std::string hevc = dir + "/check_hevc.mp4";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
            "-t", "1", "-c:v", "libx265", "-tag:v", "hvc1", "-x265-params", "log-level=error", hevc.c_str()});
  EXPECT_EQ(why(hevc), "video is 'hvc1', not H.264");
  std::string audio = dir + "/check_audio.mp4";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=sample_rate=48000",
            "-t", "1", "-c:a", "aac", audio.c_str()});
  EXPECT_EQ(why(audio), "no video track");
  Bytes file = read_board_file(good);
  file.resize(300);
  ASSERT_TRUE(write_board_file(dir + "/check_cut.mp4", file));
  EXPECT_EQ(why(dir + "/check_cut.mp4"), "no index (moov): the file was cut short");
  // A video sample claimed larger than the mdat.
  file = read_board_file(good);
  auto it = std::search(file.begin(), file.end(), (const uint8_t *)"stsz", (const uint8_t *)"stsz" + 4);
  ASSERT_NE(it, file.end());
  size_t first = (size_t)(it - file.begin()) + 16;  // past version, flags, fixed size and the count
  file[first] = 0x7F;
  ASSERT_TRUE(write_board_file(dir + "/check_huge.mp4", file));
  EXPECT_EQ(why(dir + "/check_huge.mp4"), "damaged index (moov): bad input");
  // A video table listing no sample.
  file = read_board_file(ffmpeg_file("check_video.mp4", {}, false));
  it = std::search(file.begin(), file.end(), (const uint8_t *)"stsz", (const uint8_t *)"stsz" + 4);
  ASSERT_NE(it, file.end());
  std::fill(it + 12, it + 16, 0);
  ASSERT_TRUE(write_board_file(dir + "/check_none.mp4", file));
  EXPECT_EQ(why(dir + "/check_none.mp4"), "no video samples in the index (moov)");
  Mp4Muxer *w = mp4_new();
  char text[32];
  EXPECT_EQ(mp4_read_check(w, text, sizeof text), -1);
  mp4_delete(w);
}

TEST_F(Mp4Read, ParameterSetsAndAdtsHeadersMakeADecodableStream) {
  std::string path = ffmpeg_file("dec.mp4", {"-bf", "2"});
  Reader r(path);
  uint32_t n = mp4_get_parameter_size(r.m);
  ASSERT_GT(n, 8u);
  Bytes es(n);
  mp4_get_parameter_data(r.m, es.data());
  EXPECT_EQ(es[4] & 0x1F, 7);
  Bytes file = read_board_file(path);
  Bytes aac;
  std::vector<Sample> all = r.play();
  for (auto &s : all) {
    Bytes sample(file.begin() + s.offset, file.begin() + s.offset + s.size);
    if (s.flags & 2) {
      uint8_t h[7];
      ASSERT_EQ(mp4_adts_header(r.m, s.size, h), 0);
      aac.insert(aac.end(), h, h + 7);
      aac.insert(aac.end(), sample.begin(), sample.end());
    } else {
      ASSERT_EQ(mp4_sample_to_annexb(sample.data(), (uint32_t)sample.size()), 0);
      es.insert(es.end(), sample.begin(), sample.end());
    }
  }
  ASSERT_TRUE(write_board_file(dir + "/dec.h264", es));
  ASSERT_TRUE(write_board_file(dir + "/dec.aac", aac));
  // The same pictures and sound as ffmpeg's own decode of the file.
  EXPECT_EQ(decoded_md5s(dir + "/dec.h264", "0:v", 50), decoded_md5s(path, "0:v", 50));
  std::vector<std::string> ours = decoded_md5s(dir + "/dec.aac", "0:a", 40);
  std::vector<std::string> theirs = decoded_md5s(path, "0:a", 40);
  // ffmpeg's own decode of the MP4 leaves out the encoder's priming frame,
  // which the edit list marks: the ADTS stream has it first.
  ASSERT_GT(ours.size(), 30u);
  EXPECT_EQ(std::vector<std::string>(ours.begin() + 1, ours.end()),
            std::vector<std::string>(theirs.begin(), theirs.begin() + ours.size() - 1));
}

TEST_F(Mp4Read, HostileTablesAreRefusedWithinOneCall) {
  // 100 s of sound under one picture a second: more audio samples than one
  // play step may deliver.
  std::string path = dir + "/long.mp4";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                      "testsrc=size=160x120:rate=1", "-f", "lavfi", "-i", "sine=sample_rate=48000", "-t", "100",
                      "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", path.c_str()}), 0);
  const Bytes good = read_board_file(path);
  auto refused = [&](const Bytes &file, const char *name) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(write_board_file(dir + "/" + name, file));
    Reader r(dir + "/" + name);
    size_t most = 0;
    int rc = 0;
    for (int i = 0; i < 1000 && rc == 0; i++) {
      g_samples.clear();
      rc = mp4_play(r.m);
      most = std::max(most, g_samples.size());
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(mp4_has_error(r.m));
    EXPECT_LE(most, (size_t)MP4_PLAY_MAX_SAMPLES + 1);
    // Refused for good, backwards too.
    EXPECT_EQ(mp4_seek(r.m, 0), -1);
    EXPECT_EQ(mp4_play_reverse(r.m), -1);
  };
  {
    Reader r(path);
    EXPECT_GT(of_kind(r.play(), true).size(), (size_t)MP4_PLAY_MAX_SAMPLES);
    EXPECT_FALSE(mp4_has_error(r.m));
    // ADTS frames hold at most 0x1FFF bytes with their header, whatever the
    // size wraps to in 32 bits.
    uint8_t h[7];
    EXPECT_EQ(mp4_adts_header(r.m, 0x1FFF - 7, h), 0);
    EXPECT_EQ(mp4_adts_header(r.m, 0x1FFF - 6, h), -1);
    for (uint32_t s = 0xFFFFFFF9u; s != 0; s++) EXPECT_EQ(mp4_adts_header(r.m, s, h), -1) << s;
  }
  {
    // Audio whose times never advance.
    Bytes f = good;
    size_t stts = raw_table(f, "soun", "stts");
    ASSERT_NE(stts, SIZE_MAX);
    for (uint32_t e = 0; e < raw_be32(f, stts + 12); e++) raw_put_be32(f, stts + 20 + 8 * e, 0);
    refused(f, "still.mp4");
  }
  {
    // A sample larger than the whole mdat.
    Bytes f = good;
    size_t stsz = raw_table(f, "vide", "stsz");
    ASSERT_NE(stsz, SIZE_MAX);
    raw_put_be32(f, stsz + 20, 0xFFFFFFF0u);
    refused(f, "huge.mp4");
    // A fixed sample size that the mdat cannot hold that many times.
    f = good;
    raw_put_be32(f, stsz + 12, 0xFFFFFFF9u);
    raw_put_be32(f, stsz + 16, 0xFFFFFFFFu);
    refused(f, "fixed.mp4");
  }
  {
    // A table larger than the reader holds, though the file has its bytes.
    Bytes f = good;
    size_t add = MP4_READ_TABLE_MAX + 4096;
    raw_grow_table(f, "soun", "stsz", add);
    size_t stsz = raw_table(f, "soun", "stsz");
    raw_put_be32(f, stsz + 16, raw_be32(f, stsz + 16) + (uint32_t)(add / 4));
    refused(f, "table.mp4");
  }
  {
    // Sample groups that each fit, more of them than the reader holds in all.
    auto with_groups = [&](uint32_t count) {
      Bytes f = good;
      std::vector<size_t> p = raw_table_path(f, "vide", "stsz");
      EXPECT_EQ(p.size(), 6u);
      const uint32_t size = 16 + (15u << 20);
      Bytes box(size, 0);
      raw_put_be32(box, 0, size);
      memcpy(&box[4], "sgpd", 4);
      memcpy(&box[8 + 4], "test", 4);
      size_t end = p[4] + raw_be32(f, p[4]);
      for (uint32_t i = 0; i < count; i++) f.insert(f.begin() + (ptrdiff_t)end, box.begin(), box.end());
      for (size_t k = 0; k < 5; k++) raw_put_be32(f, p[k], raw_be32(f, p[k]) + count * size);
      return f;
    };
    ASSERT_TRUE(write_board_file(dir + "/group.mp4", with_groups(1)));
    Reader r(dir + "/group.mp4");
    EXPECT_GT(r.play().size(), 100u);
    EXPECT_FALSE(mp4_has_error(r.m)) << "one is within the reader's limits";
    refused(with_groups(5), "groups.mp4");
  }
}

}  // namespace
