// File playback on the simulated board: the "output_hd" reader and the
// display thread's decoding run in process; what reaches the simulated video
// output is compared with ffmpeg's own decode of the same file.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <dirent.h>
#include <openssl/evp.h>
#include <string>
#include <turbojpeg.h>
#include <vector>

#include "core/framecopy.h"
#include "core/param_apply.h"
#include "core/startup.h"
#include "display/display_hd.h"
#include "display/display_playback.h"
#include "display/display_tx.h"
#include "display/edid.h"
#include "formats/media_inputs.h"
#include "formats/mp4_read.h"
#include "formats/mp4_test_support.h"
#include "formats/ts_packets.h"
#include "media/capture_test_support.h"
#include "media/sound.h"
#include "media/sound_test_support.h"
#include "platform/framework/audio_signal.h"
#include "storage/playback.h"
#include "storage/playback_internal.h"
#include "test_root.h"

namespace {

std::vector<uint8_t> hex_edid(const char *name) {
  std::vector<uint8_t> v;
  FILE *f = fopen((std::string(M7391_SOURCE_DIR) + "/tests/display/edid/" + name).c_str(), "r");
  unsigned b;
  while (f && fscanf(f, "%x", &b) == 1) v.push_back(uint8_t(b));
  if (f) fclose(f);
  return v;
}

std::string md5(const uint8_t *p, size_t n) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(p, n, md, &len, EVP_md5(), nullptr);
  char hex[2 * EVP_MAX_MD_SIZE + 1];
  for (unsigned i = 0; i < len; i++) snprintf(hex + 2 * i, 3, "%02x", md[i]);
  return std::string(hex, 2 * len);
}

// The MD5 of every frame_size-byte frame of a raw file.
std::vector<std::string> frame_md5s(const std::string &path, size_t frame_size) {
  Bytes raw = read_board_file(path);
  std::vector<std::string> v;
  for (size_t off = 0; off + frame_size <= raw.size(); off += frame_size) v.push_back(md5(&raw[off], frame_size));
  return v;
}

// ffmpeg's decode of a file as tight NV12 frames.
std::vector<std::string> ffmpeg_frames(const std::string &file, size_t frame_size) {
  std::string out = file + ".nv12";
  EXPECT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", file.c_str(), "-f", "rawvideo",
                      "-pix_fmt", "nv12", out.c_str()}), 0);
  return frame_md5s(out, frame_size);
}

// Consecutive repeats collapsed.
std::vector<std::string> distinct_runs(const std::vector<std::string> &v) {
  std::vector<std::string> r;
  for (const std::string &s : v)
    if (r.empty() || r.back() != s) r.push_back(s);
  return r;
}

// The display and output threads of a test; the display's hooks point into
// it, so it puts back the ones it found when it goes.
struct PlaybackRun {
  DisplayEnv display{};
  OutputEnv output{};
  pthread_t display_thread{}, output_thread{};
  ParamApplyHooks found_apply = param_apply_hooks;
  CoreHooks found_core = core_hooks;

  void start() {
    display.env.name = "display_hd";
    display.env.start_rendezvous = Rendezvous_create(2);
    display_prepare(&display.env);
    display_install_hooks(&display);
    ASSERT_EQ(display_connect_playback(&display), 0);
    pthread_create(&display_thread, nullptr, displayThrFxn, &display);
    Rendezvous_meet(display.env.start_rendezvous);
    output.env.name = "output_hd";
    output.engine = "encode";
    output.env.start_rendezvous = Rendezvous_create(2);
    output.env.cleanup_rendezvous = Rendezvous_create(1);
    pthread_create(&output_thread, nullptr, playback_file, &output);
    Rendezvous_meet(output.env.start_rendezvous);
    ASSERT_EQ(output.status, 0);
  }
  void play(const std::string &file) {
    playback_set_filename(file.c_str());
    TrickMode = 0;
    PlaybackState = 0;
    playback_loading = 1;
    stream_set_state_by_id(OUTPUT_STREAM, 1);
  }
  // Stops the playback and waits (until by at the latest) until the display
  // left its playback mode.
  void stop(std::chrono::steady_clock::time_point by = std::chrono::steady_clock::now() + std::chrono::seconds(60)) {
    stream_set_state_by_id(OUTPUT_STREAM, 0);
    EXPECT_TRUE(wait_until([&] { return !playback_playing() && display.mode != DISPLAY_STREAM; }, ms_until(by)));
    EXPECT_TRUE(wait_until([] { return hd_display == nullptr; }, ms_until(by)));
  }
  ~PlaybackRun() {
    set_exit_code(EXIT_QUIT);
    displayWakeup();
    pthread_join(output_thread, nullptr);
    pthread_join(display_thread, nullptr);
    set_exit_code(EXIT_RUNNING);
    Rendezvous_delete(display.env.start_rendezvous);
    Rendezvous_delete(output.env.start_rendezvous);
    Rendezvous_delete(output.env.cleanup_rendezvous);
    for (Fifo_Handle f : display.frame_fifos) Fifo_delete(f);
    param_apply_hooks = found_apply;
    core_hooks = found_core;
  }
};

bool wait_state(int32_t s) { return wait_until([s] { return PlaybackState == s; }, 30000); }

struct Playback : ::testing::Test {
  std::string dir;
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    test_root();
    CaptureRun::params();
    param_load_defaults();
    timestamp_now();
    CMEM_init();
    Framecopy_open();
    sim_video_out_reset();
    sim_hdmi_tx_reset();
    std::vector<uint8_t> tv = hex_edid("sony_hdmi_tv.hex");
    sim_hdmi_tx_set_edid(tv.data(), tv.size());
    display_edid_forget();
    dir = test_scratch_dir("playback");
  }
  // A 720 x 480 test picture of frames frames at 30/s, with a key frame every
  // gop frames.
  std::string make(const char *name, int frames, int gop, const std::vector<const char *> &extra) {
    std::string path = dir + "/" + name;
    std::string src = "testsrc2=size=720x480:rate=30";
    std::string n = std::to_string(frames), g = std::to_string(gop);
    std::vector<const char *> args = {"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                      src.c_str(), "-frames:v", n.c_str(), "-pix_fmt", "yuv420p",
                                      "-c:v", "libx264", "-g", g.c_str()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path.c_str());
    EXPECT_EQ(run_tool(args), 0);
    return path;
  }
};

constexpr size_t kFrame480 = 720 * 480 * 3 / 2;

// Records every picture queued on the output into dir/<tag>.nv12.
std::string record(const std::string &dir, const char *tag, int count) {
  std::string frames = dir + "/" + tag + ".nv12";
  sim_video_out_record((dir + "/" + tag + ".txt").c_str(), count, frames.c_str());
  return frames;
}

TEST_F(Playback, H264PicturesEqualFfmpegDecodeInDisplayOrder) {
  // B-frames, so display order differs from decode order; the TS copy ends
  // with a PES of open length that only the end of the file completes.
  std::string mp4 = make("clip.mp4", 20, 10, {"-bf", "2"});
  std::string ts = dir + "/clip.ts";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", mp4.c_str(), "-c", "copy", "-f",
                      "mpegts", ts.c_str()}), 0);
  std::vector<std::string> want = ffmpeg_frames(mp4, kFrame480);
  ASSERT_EQ(want.size(), 20u);
  PlaybackRun run;
  run.start();
  for (const std::string &file : {mp4, ts}) {
    SCOPED_TRACE(file);
    // A 30/s file on the 60 Hz output the TV offers for 720 x 480: every
    // picture is queued twice.
    std::string frames = record(dir, "shown", 40);
    run.play(file);
    ASSERT_TRUE(wait_state(PLAYBACK_END));
    ASSERT_TRUE(wait_until([&] { return frame_md5s(frames, kFrame480).size() == 40; }, 30000));
    SimVideoOutInfo info;
    sim_video_out_info(&info);
    EXPECT_GE(info.rate_milli, 59940u);
    std::vector<std::string> got = frame_md5s(frames, kFrame480);
    for (size_t i = 0; i < got.size(); i += 2) EXPECT_EQ(got[i], got[i + 1]) << i;
    EXPECT_EQ(distinct_runs(got), want);
    run.stop();
  }
}
// How JPEG pictures are laid out for the output: 4:2:0 as NV12 and 4:2:2
// as UYVY in lines of 32 bytes, odd sizes shown one larger, other
// subsamplings and pictures the playback memory cannot hold four of
// refused.
TEST(JpegLayout, LinesChromaAndWhatIsRefused) {
  JpegLayout l;
  ASSERT_EQ(jpeg_layout(720, 480, TJSAMP_420, &l), JPEG_LAYOUT_OK);
  EXPECT_EQ(l.line, 736);
  EXPECT_EQ(l.chroma_offset, 353280);
  EXPECT_EQ(l.out_size, 736u * 480 * 3 / 2);
  EXPECT_EQ(l.planar_size, 720u * 480 + 2 * 368u * 240);  // chroma lines padded to 16
  EXPECT_EQ(l.picture_size, l.out_size);
  ASSERT_EQ(jpeg_layout(33, 17, TJSAMP_422, &l), JPEG_LAYOUT_OK);
  EXPECT_EQ(l.width, 33);
  EXPECT_EQ(l.height, 17);
  EXPECT_EQ(l.subsamp, TJSAMP_422);
  EXPECT_EQ(l.even_w, 34);
  EXPECT_EQ(l.even_h, 18);
  EXPECT_EQ(l.line, 96);
  EXPECT_EQ(l.chroma_offset, 0);
  EXPECT_EQ(l.planar_size, 48u * 18 + 2 * 32u * 18);
  EXPECT_EQ(l.picture_size % 32, 0u);
  EXPECT_GE(l.picture_size, l.planar_size);
  EXPECT_GE(l.picture_size, l.out_size);
  EXPECT_EQ(jpeg_layout(64, 64, TJSAMP_444, &l), JPEG_LAYOUT_SUBSAMPLING);
  EXPECT_EQ(jpeg_layout(64, 64, TJSAMP_GRAY, &l), JPEG_LAYOUT_SUBSAMPLING);
  ASSERT_EQ(jpeg_layout(1, 1, TJSAMP_420, &l), JPEG_LAYOUT_OK);
  EXPECT_EQ(l.even_w, 2);
  EXPECT_EQ(l.even_h, 2);
  EXPECT_EQ(jpeg_layout(0, 64, TJSAMP_420, &l), JPEG_LAYOUT_TOO_BIG);
  EXPECT_EQ(jpeg_layout(64, -2, TJSAMP_420, &l), JPEG_LAYOUT_TOO_BIG);
  EXPECT_EQ(jpeg_layout(64, 0, TJSAMP_422, &l), JPEG_LAYOUT_TOO_BIG);
  // 4:2:2 of a width a multiple of 32 takes 2 bytes a pixel either way:
  // four pictures that fill the memory exactly are taken, two lines more
  // are refused.
  size_t quarter = playback_picture_space() / 4;
  ASSERT_EQ(quarter % 384, 0u);
  int exact = (int)(quarter / 192);
  ASSERT_EQ(jpeg_layout(96, exact, TJSAMP_422, &l), JPEG_LAYOUT_OK);
  EXPECT_EQ(l.picture_size, quarter);
  EXPECT_EQ(jpeg_layout(96, exact + 2, TJSAMP_422, &l), JPEG_LAYOUT_TOO_BIG);
  // Bytes that are no JPEG are refused by the decode.
  ASSERT_EQ(jpeg_layout(64, 64, TJSAMP_420, &l), JPEG_LAYOUT_OK);
  std::vector<uint8_t> planes(l.planar_size), junk(256, 0x5a);
  tjhandle tj = tjInitDecompress();
  EXPECT_EQ(jpeg_to_planes(tj, junk.data(), (unsigned long)junk.size(), &l, planes.data()), -1);
  tjDestroy(tj);
  EXPECT_EQ(jpeg_layout(1920, 1080, TJSAMP_422, &l), JPEG_LAYOUT_OK);
  EXPECT_EQ(jpeg_layout(4096, 4096, TJSAMP_420, &l), JPEG_LAYOUT_TOO_BIG);
  EXPECT_GT(l.picture_size * 4, playback_picture_space());
}

TEST_F(Playback, AllIntraMp4WithoutSyncTablePlaysEveryPicture) {
  // An intra-only encoder's file: every sample a sync sample, so the file
  // carries no stss at all.
  std::string mp4 = make("intra.mp4", 12, 1, {});
  if (tool_exists("/usr/bin/AtomicParsley")) {
    std::string tree;
    ASSERT_EQ(run_tool({"/usr/bin/AtomicParsley", mp4.c_str(), "-T"}, &tree), 0);
    ASSERT_NE(tree.find("Atom stsz"), std::string::npos) << tree;
    ASSERT_EQ(tree.find("Atom stss"), std::string::npos) << tree;
  }
  std::vector<std::string> want = ffmpeg_frames(mp4, kFrame480);
  ASSERT_EQ(want.size(), 12u);
  PlaybackRun run;
  run.start();
  std::string frames = record(dir, "intra", 24);
  run.play(mp4);
  ASSERT_TRUE(wait_state(PLAYBACK_END));
  ASSERT_TRUE(wait_until([&] { return frame_md5s(frames, kFrame480).size() == 24; }, 30000));
  EXPECT_EQ(distinct_runs(frame_md5s(frames, kFrame480)), want);
  run.stop();
}

}  // namespace

namespace {

TEST_F(Playback, RecordersOwnFilesPlayAtTheirRate) {
  // The recorder's files: 90 kHz MP4 tracks and our TS muxer's packets,
  // 25 frames/s, with AAC.
  std::vector<Bytes> video = split_access_units(make_h264(dir, "rec.h264", "720x480", 50));
  std::vector<Bytes> audio = split_adts(make_aac(dir, "rec.aac", 2));
  std::string mp4 = dir + "/rec.mp4", ts = dir + "/rec.ts";
  ASSERT_EQ(mp4_write_file(mp4, video, audio), 0);
  TsMux *m = ts_setup(TS_AAC);
  ASSERT_TRUE(write_board_file(ts, ts_mux_units(m, video, audio)));
  tsmux_delete(m);
  std::vector<std::string> want = ffmpeg_frames(dir + "/rec.h264", kFrame480);
  ASSERT_EQ(want.size(), 50u);
  PlaybackRun run;
  run.start();
  for (const std::string &file : {mp4, ts}) {
    SCOPED_TRACE(file);
    LogWatch log;
    std::string frames = record(dir, "rec", 100);
    run.play(file);
    ASSERT_TRUE(wait_state(PLAYBACK_END));
    ASSERT_TRUE(wait_until([&] { return frame_md5s(frames, kFrame480).size() == 100; }, 30000));
    EXPECT_EQ(distinct_runs(frame_md5s(frames, kFrame480)), want);
    // The output is asked for 25 frames/s, which the time stamps show.
    EXPECT_TRUE(log.has("720x480(736)@25 "));
    run.stop();
  }
}

}  // namespace

namespace {

// Key-frame pictures of a file as ffmpeg decodes them.
std::vector<std::string> ffmpeg_key_frames(const std::string &file, size_t frame_size) {
  std::string out = file + ".keys.nv12";
  EXPECT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-skip_frame", "nokey", "-i", file.c_str(),
                      "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "nv12", out.c_str()}), 0);
  return frame_md5s(out, frame_size);
}

TEST_F(Playback, PauseSeeksFastForwardAndRewindByTheRecordedTimes) {
  // 4 s with a key frame every second.
  std::string mp4 = make("trick.mp4", 120, 30, {"-bf", "0", "-preset", "ultrafast"});
  std::string ts = dir + "/trick.TS";  // the extension's case does not matter
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", mp4.c_str(), "-c", "copy", "-f",
                      "mpegts", ts.c_str()}), 0);
  std::vector<std::string> keys = ffmpeg_key_frames(mp4, kFrame480);
  ASSERT_EQ(keys.size(), 4u);
  PlaybackRun run;
  run.start();
  for (const std::string &file : {mp4, ts}) {
    SCOPED_TRACE(file);
    // Started paused: the first key frame is shown, then playback holds.
    PlaybackState = PLAYBACK_PAUSED;
    playback_loading = 1;
    TrickMode = 0;
    playback_set_filename(file.c_str());
    stream_set_state_by_id(OUTPUT_STREAM, 1);
    ASSERT_TRUE(wait_until([] { return playback_playing() && playback_loading == 0; }, 30000));
    uint64_t start = playback_position();
    usleep(300000);
    EXPECT_EQ(playback_position(), start);
    // +2.5 s goes beyond what a TS reader has indexed; both land on the key
    // frame before the target.
    TrickMode = 5 * 45000;
    EXPECT_TRUE(wait_until([&] { return TrickMode == 0 && playback_position() == start + 2 * 90000; }, 30000))
        << playback_position() - start;
    // -10 s at 2 s goes to the start.
    TrickMode = -10 * 90000;
    EXPECT_TRUE(wait_until([&] { return TrickMode == 0 && playback_position() == start; }, 30000))
        << playback_position() - start;
    // Fast forward shows the key frames after the start, in order, then the
    // end (the seeks' pictures may still wait on the output, shown in turn,
    // as recording begins).
    std::string ff = record(dir, "ff", 100);
    TrickMode = TRICK_FAST_FORWARD;
    PlaybackState = PLAYBACK_PLAYING;
    ASSERT_TRUE(wait_state(PLAYBACK_END));
    std::vector<std::string> want(keys.begin() + 1, keys.end());
    auto ff_shown = [&] {
      std::vector<std::string> got = distinct_runs(frame_md5s(ff, kFrame480));
      while (!got.empty() && got[0] != keys[1] && (got[0] == keys[0] || got[0] == keys[2])) got.erase(got.begin());
      return got;
    };
    EXPECT_TRUE(wait_until([&] { return ff_shown() == want; }, 30000));
    // Rewind from the end shows them backwards and pauses at the start.
    std::string rew = record(dir, "rew", 100);
    TrickMode = TRICK_REWIND;
    PlaybackState = PLAYBACK_PLAYING;
    ASSERT_TRUE(wait_until([] { return PlaybackState == PLAYBACK_PAUSED && TrickMode == 0; }, 30000));
    want.assign(keys.rbegin(), keys.rend());
    EXPECT_TRUE(wait_until([&] { return distinct_runs(frame_md5s(rew, kFrame480)) == want; }, 30000));
    EXPECT_EQ(playback_position(), start);
    run.stop();
  }
}

}  // namespace

namespace {

double psnr(const Bytes &a, const Bytes &b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); i++) se += double(a[i] - b[i]) * double(a[i] - b[i]);
  return se == 0 ? 99 : 10 * log10(255.0 * 255.0 * a.size() / se);
}

// A JPEG with an EXIF segment that holds a whole JPEG thumbnail (its own
// FF D8 ... FF D9) in front of the picture's tables.
Bytes with_exif_thumbnail(const Bytes &jpeg, const Bytes &thumb) {
  size_t len = 2 + 6 + thumb.size();
  Bytes out(4 + len + jpeg.size() - 2);
  const uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE1, uint8_t(len >> 8), uint8_t(len), 'E', 'x', 'i', 'f', 0, 0};
  memcpy(out.data(), head, sizeof head);
  memcpy(out.data() + sizeof head, thumb.data(), thumb.size());
  memcpy(out.data() + sizeof head + thumb.size(), jpeg.data() + 2, jpeg.size() - 2);
  return out;
}

TEST_F(Playback, JpegStillsAndBadFiles) {
  PlaybackRun run;
  run.start();
  // Files nothing can play end with state 3, and the thread waits for the
  // next start.
  ASSERT_TRUE(write_board_file(dir + "/empty.mp4", {}));
  std::string mp4 = make("whole.mp4", 3, 3, {"-preset", "ultrafast"});
  Bytes cut = read_board_file(mp4);
  cut.resize(cut.size() / 2);  // the moov (at the end) is lost
  ASSERT_TRUE(write_board_file(dir + "/cut.mp4", cut));
  ASSERT_TRUE(write_board_file(dir + "/clip.avi", read_board_file(mp4)));
  for (const char *bad : {"/empty.mp4", "/cut.mp4", "/clip.avi", "/missing.ts"}) {
    SCOPED_TRACE(bad);
    run.play(dir + bad);
    EXPECT_TRUE(wait_state(PLAYBACK_ERROR));
    run.stop();
  }
  struct Still {
    const char *pix_fmt, *ffmpeg_out;
    int line, chroma_offset;
    size_t size;
  };
  const Still stills[] = {{"yuvj420p", "nv12", 736, 353280, kFrame480},
                          {"yuvj422p", "uyvy422", 1440, 0, 720 * 480 * 2}};
  for (const Still &s : stills) {
    SCOPED_TRACE(s.pix_fmt);
    std::string jpg = dir + "/still_" + s.pix_fmt + ".jpg", thumb = dir + "/thumb.jpg";
    ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=720x480", "-frames:v", "1", "-pix_fmt", s.pix_fmt, jpg.c_str()}), 0);
    ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=160x120", "-frames:v", "1", "-pix_fmt", "yuvj420p", thumb.c_str()}), 0);
    std::string exif = dir + "/exif_" + s.pix_fmt + ".JPEG";
    ASSERT_TRUE(write_board_file(exif, with_exif_thumbnail(read_board_file(jpg), read_board_file(thumb))));
    std::string want = jpg + ".raw";
    // The JPEG's full range kept, as the output shows it.
    ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", jpg.c_str(), "-vf",
                        "scale=in_range=full:out_range=full", "-f", "rawvideo", "-pix_fmt", s.ffmpeg_out,
                        want.c_str()}), 0);
    // One picture, queued three times so that the output starts, then the end.
    std::string shown = record(dir, "still", 3);
    run.play(exif);
    ASSERT_TRUE(wait_state(PLAYBACK_END));
    ASSERT_TRUE(wait_until([&] { return read_board_file(shown).size() == 3 * s.size; }, 30000));
    SimVideoOutInfo info;
    sim_video_out_info(&info);
    EXPECT_EQ((int)info.fmt.bytesperline, s.line);
    EXPECT_EQ(info.chroma_offset, s.chroma_offset);
    Bytes got = read_board_file(shown);
    got.resize(s.size);
    EXPECT_GT(psnr(got, read_board_file(want)), 40.0);
    EXPECT_EQ(frame_md5s(shown, s.size), std::vector<std::string>(3, md5(got.data(), got.size())));
    run.stop();
  }
  // 4:4:4 is not shown; a size the composite output cannot show is told apart.
  std::string yuv444 = dir + "/still444.jpg", large = dir + "/large.jpg";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=720x480",
                      "-frames:v", "1", "-pix_fmt", "yuvj444p", yuv444.c_str()}), 0);
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720",
                      "-frames:v", "1", "-pix_fmt", "yuvj420p", large.c_str()}), 0);
  LogWatch decoder;
  run.play(yuv444);
  EXPECT_TRUE(wait_state(PLAYBACK_ERROR));
  run.stop();
  // The decoder that gave up has seen the playback end before the next one.
  EXPECT_TRUE(decoder.wait("decodeMain: exit", 30000));
  get_param_block()->display.output = 0;
  run.play(large);
  EXPECT_TRUE(wait_state(PLAYBACK_UNSUPPORTED));
  run.stop();
  get_param_block()->display.output = 2;
  // So is a picture the playback memory cannot hold four of.
  std::string huge = dir + "/huge.jpg";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=c=gray:size=4096x4096",
                      "-frames:v", "1", "-pix_fmt", "yuvj420p", huge.c_str()}), 0);
  run.play(huge);
  EXPECT_TRUE(wait_state(PLAYBACK_UNSUPPORTED));
  run.stop();
  // Motion JPEG: every picture, then the end.
  std::string mjpeg = dir + "/motion.jpg";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=720x480",
                      "-frames:v", "5", "-pix_fmt", "yuvj420p", "-f", "mjpeg", mjpeg.c_str()}), 0);
  LogWatch log;
  run.play(mjpeg);
  EXPECT_TRUE(wait_state(PLAYBACK_END));
  EXPECT_TRUE(log.wait("jpeg frame 4 ", 20000));
  EXPECT_FALSE(log.has("jpeg frame 5 "));
  // Pictures of one size set the output up once.
  size_t first = log.all.find("JPEG chroma format");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.all.find("JPEG chroma format", first + 1), std::string::npos);
  run.stop();
  // A picture of another width sets it up again.
  std::string narrow = dir + "/narrow.jpg", mixed = dir + "/mixed.jpg";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=640x480",
                      "-frames:v", "1", "-pix_fmt", "yuvj420p", "-f", "mjpeg", narrow.c_str()}), 0);
  Bytes both = read_board_file(mjpeg), second = read_board_file(narrow);
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_TRUE(write_board_file(mixed, both));
  LogWatch log2;
  run.play(mixed);
  EXPECT_TRUE(wait_state(PLAYBACK_END));
  // The file's end is reached when the last picture is read, which may be
  // before it is decoded.
  EXPECT_TRUE(log2.wait("JPEG chroma format 420, 640x480", 20000));
  run.stop();
}

}  // namespace

namespace {

// The audio playback thread, whose device writes the root's playback WAV.
struct SoundOut {
  ParamBlock pb{};
  PlaybackEnv env{};
  std::thread thread;
  SoundOut() {
    audio_defaults(&pb);
    env.env.name = "playback";
    env.env.params = &pb;
    env.engine = "encode";
    EXPECT_EQ(sound_playback_prepare(&env.env), 0);
    thread = std::thread(soundPlaybackThrFxn, &env);
  }
  // Closing the device completes the WAV.
  ~SoundOut() {
    set_exit_code(EXIT_QUIT);
    sound_playback_flush(&env);
    thread.join();
    set_exit_code(EXIT_RUNNING);
    Fifo_delete(env.in_fifo);
    Fifo_delete(env.free_fifo);
    Pause_delete(env.pause);
  }
};

TEST_F(Playback, SoundOfMp4AndTsFilesIsPlayed) {
  // ffmpeg's MP4 keeps the audio at its own 48 kHz timescale; the TS
  // carries it as ADTS in PES packets.
  std::string mp4 = dir + "/tone.mp4", ts = dir + "/tone.ts";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=720x480:rate=30",
                      "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000", "-t", "3",
                      "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                      mp4.c_str()}), 0);
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", mp4.c_str(), "-c", "copy", "-f",
                      "mpegts", ts.c_str()}), 0);
  for (const std::string &file : {mp4, ts}) {
    SCOPED_TRACE(file);
    std::vector<int16_t> pcm;
    {
      // The sound thread ends only at quit, which would end a playback
      // thread shared between the files too: each file gets its own. The
      // playback ends first, as it plays into the sound thread.
      SoundOut sound;
      PlaybackRun run;
      run.start();
      ASSERT_TRUE(wait_for([&] { return Fifo_getNumEntries(sound.env.free_fifo) == AUDIO_PLAYBACK_BUFS; }));
      run.output.audio = &sound.env;
      run.play(file);
      ASSERT_TRUE(wait_state(PLAYBACK_END));
      ASSERT_TRUE(wait_for([&] { return Fifo_getNumEntries(sound.env.free_fifo) == AUDIO_PLAYBACK_BUFS; }));
      run.stop();
      run.output.audio = nullptr;
    }
    pcm = ffmpeg_decode_s16(sim_sound_playback_path(), test_scratch_dir("played"));
    ASSERT_GT(pcm.size(), 2u * 48000 * 2);
    std::vector<int16_t> steady(pcm.begin() + 8192, pcm.end());
    EXPECT_NEAR(measure_tone(steady, 2, 0, 48000).freq, 1000, 10);
  }
}

}  // namespace

namespace {

// Descriptors the process holds.
int open_fds(void) {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n;
}

// ts with a packet claiming an adaptation field of each size in afs put in
// front of the PAT and inside the first video PES.
Bytes with_adaptation_fields(const Bytes &ts, const std::vector<uint8_t> &afs) {
  std::vector<TsPacket> pk = ts_packets(ts.data(), ts.size());
  auto hostile = [](uint32_t pid, bool pusi, uint8_t af) {
    Bytes p(188, 0xA5);
    p[0] = 0x47;
    p[1] = (uint8_t)((pusi ? 0x40 : 0) | pid >> 8);
    p[2] = (uint8_t)pid;
    p[3] = 0x30;
    p[4] = af;
    p[5] = 0;
    return p;
  };
  Bytes out;
  bool pat = false, pes = false;
  for (const TsPacket &t : pk) {
    if (t.pid == 0 && !pat)
      for (uint8_t af : afs) {
        Bytes h = hostile(0, true, af);
        out.insert(out.end(), h.begin(), h.end());
      }
    out.insert(out.end(), t.p, t.p + 188);
    if (!pes && t.pusi && t.payload_len > 4 && t.payload[3] == 0xE0)
      for (uint8_t af : afs) {
        Bytes h = hostile(t.pid, false, af);
        out.insert(out.end(), h.begin(), h.end());
      }
    pat = pat || t.pid == 0;
    pes = pes || (t.pusi && t.payload_len > 4 && t.payload[3] == 0xE0);
  }
  return out;
}

TEST_F(Playback, HostileFilesEndCleanlyAndGiveBackWhatTheyTook) {
  std::string good = make("good.mp4", 10, 10, {"-preset", "ultrafast"});
  // Sound of 100 s under one picture a second: more audio samples than one
  // play step may take, once their times are made to stand still.
  std::string still = dir + "/still.mp4";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                      "testsrc2=size=720x480:rate=1", "-f", "lavfi", "-i", "anullsrc=sample_rate=48000", "-t",
                      "100", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                      "-b:a", "16k", still.c_str()}), 0);
  Bytes f = read_board_file(still);
  size_t stts = raw_table(f, "soun", "stts");
  ASSERT_NE(stts, SIZE_MAX);
  for (uint32_t e = 0; e < raw_be32(f, stts + 12); e++) raw_put_be32(f, stts + 20 + 8 * e, 0);
  ASSERT_TRUE(write_board_file(still, f));
  // A video sample of 2^32 - 7 bytes.
  f = read_board_file(good);
  std::string huge = dir + "/huge.mp4";
  size_t stsz = raw_table(f, "vide", "stsz");
  ASSERT_NE(stsz, SIZE_MAX);
  raw_put_be32(f, stsz + 20, 0xFFFFFFF9u);
  ASSERT_TRUE(write_board_file(huge, f));
  // A transport stream whose packets claim adaptation fields at and past
  // the packet's end: they are dropped and the rest plays.
  std::string ts = dir + "/good.ts", bounds = dir + "/bounds.ts";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", good.c_str(), "-c", "copy", "-f", "mpegts",
                      ts.c_str()}), 0);
  ASSERT_TRUE(write_board_file(bounds, with_adaptation_fields(read_board_file(ts), {182, 183, 184, 200, 255})));

  PlaybackRun run;
  run.start();
  run.play(good);
  ASSERT_TRUE(wait_state(PLAYBACK_END));
  run.stop();
  int fds = open_fds();
  struct Case {
    std::string file;
    int32_t state;
  };
  // A folder outside any volume opens, but is no file to play.
  std::string folder = dir + "/folder.mp4";
  ASSERT_EQ(sys_mkdirs(folder.c_str(), 0755), 0);
  for (const Case &c : {Case{still, PLAYBACK_ERROR}, Case{huge, PLAYBACK_ERROR}, Case{folder, PLAYBACK_ERROR},
                        Case{bounds, PLAYBACK_END}, Case{good, PLAYBACK_END}, Case{ts, PLAYBACK_END},
                        Case{good, PLAYBACK_END}}) {
    SCOPED_TRACE(c.file);
    run.play(c.file);
    EXPECT_TRUE(wait_state(c.state));
    run.stop();
    // The next file plays.
    run.play(good);
    EXPECT_TRUE(wait_state(PLAYBACK_END));
    run.stop();
    EXPECT_TRUE(wait_until([&] { return open_fds() == fds; }, 10000)) << open_fds() << " descriptors, " << fds
                                                                       << " before";
  }
}

}  // namespace

namespace {

TEST_F(Playback, OddSizedJpegIsShownOneColumnAndLineLarger) {
  PlaybackRun run;
  run.start();
  struct Odd {
    const char *pix_fmt;
    bool nv12;
  };
  for (Odd o : {Odd{"yuvj420p", true}, Odd{"yuvj422p", false}}) {
    SCOPED_TRACE(o.pix_fmt);
    const int w = 719, h = 479, ew = 720, eh = 480;
    std::string jpg = dir + "/odd_" + o.pix_fmt + ".jpg", want = jpg + ".gray";
    ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=722x482",
                        "-frames:v", "1", "-vf", "scale=719:479", "-pix_fmt", o.pix_fmt, jpg.c_str()}), 0);
    ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", jpg.c_str(), "-vf",
                        "scale=in_range=full:out_range=full", "-f", "rawvideo", "-pix_fmt", "gray",
                        want.c_str()}), 0);
    size_t frame = o.nv12 ? (size_t)ew * eh * 3 / 2 : (size_t)ew * eh * 2;
    std::string shown = record(dir, "odd", 1);
    run.play(jpg);
    ASSERT_TRUE(wait_state(PLAYBACK_END));
    ASSERT_TRUE(wait_until([&] { return read_board_file(shown).size() == frame; }, 30000));
    SimVideoOutInfo info;
    sim_video_out_info(&info);
    EXPECT_EQ((int)info.fmt.width, ew);
    EXPECT_EQ((int)info.fmt.height, eh);
    // The picture's own luma, and the last column and line repeated.
    Bytes got = read_board_file(shown), luma;
    auto y = [&](int r, int c) { return o.nv12 ? got[(size_t)r * ew + c] : got[(size_t)r * ew * 2 + 2 * c + 1]; };
    for (int r = 0; r < h; r++)
      for (int c = 0; c < w; c++) luma.push_back(y(r, c));
    EXPECT_GT(psnr(luma, read_board_file(want)), 40.0);
    for (int r = 0; r < eh; r++) EXPECT_EQ(y(r, ew - 1), y(r, ew - 2)) << r;
    for (int c = 0; c < ew; c++) EXPECT_EQ(y(eh - 1, c), y(eh - 2, c)) << c;
    run.stop();
  }
}

}  // namespace

namespace {

std::vector<std::pair<uint64_t, uint32_t>> g_non_key;

int collect_non_key(uint64_t offset, uint64_t, uint32_t size, uint32_t flags) {
  if (flags == 0) g_non_key.push_back({offset, size});
  return 0;
}

// Fills g_non_key with the video samples of an MP4 file that are no key
// frames, as the reader reports them.
void read_non_key_samples(const std::string &path) {
  FILE *in = sys_fopen(path.c_str(), "rb");
  Mp4Muxer *m = mp4_new_reader();
  mp4_set_file(m, in);
  mp4_set_sample_callback(m, collect_non_key);
  g_non_key.clear();
  // One call a picture: a reader that never reaches the end stops here.
  int calls = 0;
  while (calls < 1000 && mp4_play(m) == 0) calls++;
  EXPECT_LT(calls, 1000) << "the reader never reached the end of the file";
  mp4_delete(m);
  fclose(in);
}

// Calls fn(at, length) for each slice NAL unit (types 1 and 5) of the
// length-prefixed sample at offset off of f.
template <typename Fn>
void for_each_slice(Bytes &f, uint64_t off, uint32_t size, Fn fn) {
  for (uint64_t at = off; at + 5 <= off + size;) {
    uint32_t n = raw_be32(f, (size_t)at);
    int type = f[(size_t)at + 4] & 0x1F;
    if ((type == 1 || type == 5) && at + 4 + n <= off + size) fn((size_t)at + 4, n);
    at += 4 + (uint64_t)n;
  }
}

TEST_F(Playback, DamagedFramesGiveTheirOutputBuffersBack) {
  // A key frame every other picture; the slices of ten pictures between
  // them made into NAL units of no defined type, so that the decoder shows
  // nothing for them. More such frames than the output has buffers.
  std::string path = make("damaged.mp4", 32, 2, {"-bf", "0", "-preset", "ultrafast"});
  std::vector<std::string> want = ffmpeg_frames(path, kFrame480);
  ASSERT_EQ(want.size(), 32u);
  Bytes f = read_board_file(path);
  read_non_key_samples(path);
  ASSERT_EQ(g_non_key.size(), 16u);
  int damaged = 0;
  for (size_t k = 0; k < 10; k++)
    for_each_slice(f, g_non_key[k].first, g_non_key[k].second, [&](size_t at, uint32_t) {
      f[at] &= 0xE0;
      damaged++;
    });
  ASSERT_GE(damaged, 10);
  std::string bad = dir + "/damaged_slices.mp4";
  ASSERT_TRUE(write_board_file(bad, f));
  PlaybackRun run;
  run.start();
  std::string frames = record(dir, "damaged", 200);
  run.play(bad);
  ASSERT_TRUE(wait_state(PLAYBACK_END));
  // The pictures after the damage are shown to the last: the decoder was
  // never short of an output buffer.
  std::vector<std::string> tail(want.begin() + 21, want.end());
  EXPECT_TRUE(wait_until([&] {
    std::vector<std::string> got = distinct_runs(frame_md5s(frames, kFrame480));
    return got.size() >= tail.size() && std::equal(tail.begin(), tail.end(), got.end() - (ptrdiff_t)tail.size());
  }, 30000));
  run.stop();
}

}  // namespace

namespace {

// ffmpeg's decode of a file, each picture's MD5 as tight NV12.
std::vector<std::string> ffmpeg_frame_md5s(const std::string &file) {
  std::string out;
  EXPECT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-i", file.c_str(), "-map", "0:v:0", "-pix_fmt", "nv12",
                      "-f", "framemd5", "-"}, &out), 0);
  std::vector<std::string> v;
  for (const std::string &l : text_lines(out))
    if (!l.empty() && l[0] != '#') v.push_back(l.substr(l.rfind(' ') + 1));
  return v;
}

struct Shown {
  uint64_t refresh;
  std::string md5;  // of the tight picture
};

// The pictures a record file lists, in the order shown.
std::vector<Shown> shown_pictures(const std::string &record_txt) {
  Bytes text = read_board_file(record_txt);
  std::vector<Shown> v;
  for (const std::string &l : text_lines(std::string(text.begin(), text.end()))) {
    char md5[64];
    unsigned long long refresh;
    if (sscanf(l.c_str(), "%*s %*u %*s %*s %llu %63s", &refresh, md5) == 2) v.push_back({refresh, md5});
  }
  return v;
}

std::vector<std::string> shown_md5s(const std::string &record_txt) {
  std::vector<std::string> v;
  for (const Shown &s : shown_pictures(record_txt)) v.push_back(s.md5);
  return v;
}

bool ends_with(const std::vector<std::string> &v, const std::vector<std::string> &tail) {
  return v.size() >= tail.size() && std::equal(tail.begin(), tail.end(), v.end() - (ptrdiff_t)tail.size());
}

TEST_F(Playback, AFileStartedRightAfterAnotherGetsItsOwnDecoding) {
  // A still, then at once an H.264 file: the still's decoding must not take
  // the next file's frames, however quickly the reader moves on.
  std::string jpg = dir + "/first.jpg";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=720x480",
                      "-frames:v", "1", "-pix_fmt", "yuvj420p", jpg.c_str()}), 0);
  std::string mp4 = make("next.mp4", 10, 10, {"-preset", "ultrafast"});
  std::vector<std::string> want = distinct_runs(ffmpeg_frame_md5s(mp4));
  ASSERT_EQ(want.size(), 10u);
  PlaybackRun run;
  run.start();
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    run.play(jpg);
    ASSERT_TRUE(wait_state(PLAYBACK_END));
    stream_set_state_by_id(OUTPUT_STREAM, 0);
    ASSERT_TRUE(wait_until([] { return !playback_playing(); }, 30000));
    std::string rec = dir + "/next.txt";
    sim_video_out_record(rec.c_str(), 100, nullptr);
    run.play(mp4);
    EXPECT_TRUE(wait_state(PLAYBACK_END));
    EXPECT_TRUE(wait_until([&] { return ends_with(distinct_runs(shown_md5s(rec)), want); }, 30000));
    run.stop();
  }
}

TEST_F(Playback, ThirtySecondsOfFileTakeThirtySecondsOfRefreshesEveryPictureTwice) {
  // The waits share one deadline, the playing's ending 10 s before it so
  // that the stop has time of its own. The refreshes are stepped below: the
  // 30 s of file take what decoding them takes (some 15 s on a busy host),
  // not 30 s.
  auto start = std::chrono::steady_clock::now();
  auto played_by = test_waits_end(start) - std::chrono::seconds(10);
  // 30 s at 30 pictures/s, on the 60 Hz output the TV offers for 720 x 480.
  std::string mp4 = make("thirty.mp4", 900, 30, {"-preset", "ultrafast"});
  std::vector<std::string> want = ffmpeg_frame_md5s(mp4);
  ASSERT_EQ(want.size(), 900u);
  PlaybackRun run;
  run.start();
  // The output's clock is stepped whenever a picture waits to be shown, so
  // its refreshes are the time a board would take, whatever the host's load.
  sim_video_out_clock(0);
  std::string rec = dir + "/thirty.txt";
  sim_video_out_record(rec.c_str(), 1800, nullptr);
  run.play(mp4);
  SimVideoOutInfo info;
  sim_video_out_info(&info);
  uint64_t first = info.frames_shown;
  while (info.frames_shown < first + 1800 && std::chrono::steady_clock::now() < played_by) {
    if (info.streaming && info.pending)
      sim_video_out_vsync();
    else
      usleep(500);
    sim_video_out_info(&info);
  }
  EXPECT_GE(info.frames_shown, first + 1800) << "refreshes shown in time";
  EXPECT_GE(info.rate_milli, 59940u);
  EXPECT_TRUE(wait_until([] { return PlaybackState == PLAYBACK_END; }, ms_until(played_by)));
  std::vector<Shown> shown = shown_pictures(rec);
  ASSERT_EQ(shown.size(), 1800u);
  // Every picture twice, in order, one refresh each: 1800 refreshes of
  // 1/60 s from the first picture to the end of the last.
  std::vector<std::string> twice;
  for (const std::string &m : want) twice.insert(twice.end(), {m, m});
  std::vector<std::string> got;
  for (const Shown &s : shown) got.push_back(s.md5);
  size_t same = 0;
  while (same < got.size() && same < twice.size() && got[same] == twice[same]) same++;
  EXPECT_EQ(same, twice.size()) << "shown pictures agree up to " << same;
  EXPECT_EQ(shown.back().refresh - shown.front().refresh + 1, 1800u);
  sim_video_out_clock(1);
  run.stop(test_waits_end(start));
}

}  // namespace

namespace {

TEST_F(Playback, AnAudioSampleOfNearly4GiBInASparseFileIsNeverRead) {
  // The mdat runs to the end of a sparse file of 5 GiB, so that an audio
  // sample of 2^32 - 7 bytes lies inside it: its ADTS frame would wrap to a
  // few bytes in 32 bits.
  std::string good = dir + "/av.mp4", big = dir + "/sparse.mp4";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=720x480:rate=30",
                      "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000", "-t", "1", "-pix_fmt", "yuv420p",
                      "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-movflags", "+faststart",
                      good.c_str()}), 0);
  Bytes f = read_board_file(good);
  size_t mdat = 0;
  while (mdat + 8 <= f.size() && memcmp(&f[mdat + 4], "mdat", 4) != 0) mdat += raw_be32(f, mdat);
  ASSERT_LT(mdat + 8, f.size());
  raw_put_be32(f, mdat, 0);  // to the end of the file
  size_t stsz = raw_table(f, "soun", "stsz");
  ASSERT_NE(stsz, SIZE_MAX);
  raw_put_be32(f, stsz + 20, 0xFFFFFFF9u);
  ASSERT_TRUE(write_board_file(big, f));
  ASSERT_EQ(truncate(HostPath(big.c_str()).c_str(), 5ll << 30), 0);
  std::vector<std::string> want = distinct_runs(ffmpeg_frame_md5s(good));
  SoundOut sound;
  PlaybackRun run;
  run.start();
  ASSERT_TRUE(wait_for([&] { return Fifo_getNumEntries(sound.env.free_fifo) == AUDIO_PLAYBACK_BUFS; }));
  // Contiguous memory behind the audio buffers, which a read of the sample
  // into one of them would overwrite.
  const size_t kCanary = 1 << 20;
  uint8_t *canary = (uint8_t *)CMEM_alloc(kCanary, 32);
  ASSERT_NE(canary, nullptr);
  memset(canary, 0xA5, kCanary);
  run.output.audio = &sound.env;
  for (const std::string &file : {big, good}) {
    SCOPED_TRACE(file);
    std::string rec = dir + "/sparse.txt";
    sim_video_out_record(rec.c_str(), 100, nullptr);
    run.play(file);
    EXPECT_TRUE(wait_state(PLAYBACK_END));
    EXPECT_TRUE(wait_until([&] { return ends_with(distinct_runs(shown_md5s(rec)), want); }, 30000));
    ASSERT_TRUE(wait_for([&] { return Fifo_getNumEntries(sound.env.free_fifo) == AUDIO_PLAYBACK_BUFS; }));
    run.stop();
  }
  run.output.audio = nullptr;
  sys_unlink(big.c_str());
  size_t intact = 0;
  while (intact < kCanary && canary[intact] == 0xA5) intact++;
  EXPECT_EQ(intact, kCanary);
  CMEM_free(canary);
}

}  // namespace

namespace {

TEST_F(Playback, LinksOnAVolumeAreNotFollowed) {
  // A user's disk whose file and folder are links to a file outside it.
  std::string outside = make("outside.mp4", 3, 3, {"-preset", "ultrafast"});
  ASSERT_EQ(sys_mkdirs("/media/int/DCIM", 0755), 0);
  ASSERT_TRUE(write_board_file("/media/int/DCIM/real.mp4", read_board_file(outside)));
  ASSERT_EQ(symlink(HostPath(outside.c_str()).c_str(), HostPath("/media/int/DCIM/link.mp4").c_str()), 0);
  ASSERT_EQ(symlink(HostPath(dir.c_str()).c_str(), HostPath("/media/int/folder").c_str()), 0);
  PlaybackRun run;
  run.start();
  struct Case {
    const char *file;
    int32_t state;
  };
  for (Case c : {Case{"/media/int/DCIM/link.mp4", PLAYBACK_ERROR}, Case{"/media/int/DCIM/real.mp4", PLAYBACK_END},
                 Case{"/media/int/folder/outside.mp4", PLAYBACK_ERROR}, Case{"/media/int/DCIM", PLAYBACK_ERROR}}) {
    SCOPED_TRACE(c.file);
    run.play(c.file);
    EXPECT_TRUE(wait_state(c.state));
    run.stop();
  }
  for (const char *p : {"/media/int/DCIM/link.mp4", "/media/int/DCIM/real.mp4", "/media/int/folder"})
    sys_unlink(p);
  sys_rmdir("/media/int/DCIM");
  sys_rmdir("/media/int");
}

}  // namespace

namespace {

// What the process writes to standard error meanwhile (libavcodec's own
// messages go there, past the logger).
struct StderrCapture {
  std::string path;
  int saved = dup(2);
  explicit StderrCapture(const std::string &host_path) : path(host_path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() {
    dup2(saved, 2);
    close(saved);
  }
};

TEST_F(Playback, CorruptPicturesAreLoggedAsOneEpisodeWithItsCount) {
  // Every picture but the two key frames with its slice data scrambled
  // behind the first bytes: the decoder conceals and shows each.
  std::string path = make("corrupt.mp4", 60, 30, {"-bf", "0", "-preset", "ultrafast"});
  Bytes f = read_board_file(path);
  read_non_key_samples(path);
  ASSERT_EQ(g_non_key.size(), 58u);
  uint32_t seed = 1;
  for (auto [off, size] : g_non_key)
    for_each_slice(f, off, size, [&](size_t at, uint32_t n) {
      for (size_t i = at + 4; i < at + n; i++) f[i] = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
    });
  std::string bad = dir + "/corrupt_slices.mp4";
  ASSERT_TRUE(write_board_file(bad, f));
  PlaybackRun run;
  run.start();
  LogWatch log;
  // Each picture twice, on the 60 Hz output.
  std::string frames = record(dir, "corrupt", 120);
  {
    StderrCapture err(HostPath((dir + "/stderr.txt").c_str()).c_str());
    run.play(bad);
    EXPECT_TRUE(wait_state(PLAYBACK_END));
    EXPECT_TRUE(wait_until([&] { return read_board_file(frames).size() == 120 * kFrame480; }, 30000));
    run.stop();
  }
  Bytes err = read_board_file(dir + "/stderr.txt");
  EXPECT_EQ(std::string(err.begin(), err.end()).find("h264 @"), std::string::npos);
  log.take();
  size_t first = log.all.find("decode failed 27, CORRU_IN_MB_DATA fatal=0");
  EXPECT_NE(first, std::string::npos) << log.all;
  EXPECT_EQ(log.all.find("decode failed", first + 1), std::string::npos) << log.all;
  EXPECT_NE(log.all.find("decodeVideoThread: 58 pictures failed to decode"), std::string::npos) << log.all;
}

// A file the player cannot open is refused before anything is shown, with
// its reason logged once: a fragmented MP4, an empty one, one of no known
// kind. One it can open still plays after them.
TEST_F(Playback, FilesThePlayerCannotOpenAreRefusedWithTheirReason) {
  std::string good = make("ok.mp4", 10, 10, {"-preset", "ultrafast"});
  std::string frag = make("frag.mp4", 10, 10, {"-preset", "ultrafast", "-movflags", "frag_keyframe+empty_moov"});
  std::string empty = dir + "/empty.mp4", other = dir + "/clip.avi";
  ASSERT_TRUE(write_board_file(empty, Bytes()));
  ASSERT_TRUE(write_board_file(other, read_board_file(good)));
  PlaybackRun run;
  run.start();
  LogWatch log;
  struct Case {
    std::string path;
    const char *why;
  };
  for (const Case &c : {Case{frag, "fragmented MP4 (moof): not played"},
                        Case{empty, "zero-length file can't be played"}, Case{other, "cannot determine file format"}}) {
    run.play(c.path);
    EXPECT_TRUE(wait_state(PLAYBACK_ERROR)) << c.path;
    EXPECT_TRUE(wait_until([] { return stream_get_state_by_id(OUTPUT_STREAM) == 0; }, 10000)) << c.path;
    log.take();
    std::string line = "output_hd: " + c.path + ": " + c.why + "\n";
    size_t at = log.all.find(line);
    EXPECT_NE(at, std::string::npos) << log.all;
    EXPECT_EQ(log.all.find(c.path, at + line.size()), std::string::npos) << log.all;
    EXPECT_EQ(log.all.find("output_filename="), std::string::npos) << "the display was set up for " << c.path;
  }
  run.play(good);
  EXPECT_TRUE(wait_state(PLAYBACK_END));
  run.stop();
}

// Samples whose NAL lengths run past them, one after another: the first
// is logged, then the count of the whole stretch, not a line each.
TEST_F(Playback, BadNalLengthsAreLoggedAsOneEpisodeWithItsCount) {
  std::string path = make("nal.mp4", 60, 30, {"-bf", "0", "-preset", "ultrafast"});
  Bytes f = read_board_file(path);
  read_non_key_samples(path);
  ASSERT_EQ(g_non_key.size(), 58u);
  for (auto [off, size] : g_non_key) {
    uint32_t n = size;   // the first length claims the whole sample and 4 bytes more
    for (int i = 0; i < 4; i++) f[(size_t)off + i] = uint8_t(n >> (24 - 8 * i));
  }
  std::string bad = dir + "/bad_nal.mp4";
  ASSERT_TRUE(write_board_file(bad, f));
  PlaybackRun run;
  run.start();
  LogWatch log;
  run.play(bad);
  EXPECT_TRUE(wait_state(PLAYBACK_END));
  run.stop();
  log.take();
  size_t first = log.all.find(": bad NAL length");
  EXPECT_NE(first, std::string::npos) << log.all;
  EXPECT_EQ(log.all.find(": bad NAL length", first + 1), std::string::npos) << log.all;
  EXPECT_NE(log.all.find("playback_mp4: 58 samples with a bad NAL length"), std::string::npos) << log.all;
}

}  // namespace

namespace {

int run_words(std::vector<const char *> argv) {
  argv.push_back(nullptr);
  return run_argv(argv.data());
}

TEST_F(Playback, ADiskPulledWhilePlayingEndsThePlayback) {
  // Ten seconds of each kind of file, played from a USB disk that is
  // pulled once the first pictures are shown.
  std::string mp4 = make("long.mp4", 300, 30, {"-preset", "ultrafast"});
  std::string ts = dir + "/long.ts", mjpeg = dir + "/long.jpg";
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", mp4.c_str(), "-c", "copy", "-f", "mpegts",
                      ts.c_str()}), 0);
  ASSERT_EQ(run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=720x480",
                      "-frames:v", "300", "-pix_fmt", "yuvj420p", "-f", "mjpeg", mjpeg.c_str()}), 0);
  PlaybackRun run;
  run.start();
  char disk[512];
  sim_storage_backing_dir("sda1", disk, sizeof disk);
  struct Case {
    std::string file;
    const char *failure;
  };
  for (const Case &c : {Case{mp4, "Failed to fread rc=0"}, Case{ts, "playback_ts: read failed: Input/output error"},
                        Case{mjpeg, "playback_jpg: read failed: Input/output error"}}) {
    SCOPED_TRACE(c.file);
    ASSERT_EQ(sim_storage_insert("sda1", 3, 64 << 20, "vfat"), 0);
    ASSERT_EQ(sys_mkdirs("/media/ext", 0755), 0);
    ASSERT_EQ(run_words({"mount", "/dev/sda1", "/media/ext"}), 0);
    std::string name = c.file.substr(c.file.rfind('/'));
    ASSERT_TRUE(write_board_file(std::string(disk) + name, read_board_file(c.file)));
    LogWatch log;
    SimVideoOutInfo info;
    sim_video_out_info(&info);
    uint64_t before = info.frames_shown;
    run.play("/media/ext" + name);
    EXPECT_TRUE(wait_until([&] { return sim_video_out_info(&info), info.frames_shown >= before + 10; }, 30000));
    ASSERT_EQ(sim_storage_fault("sda1", "pull", 0), 0);
    EXPECT_TRUE(wait_state(PLAYBACK_ERROR));
    EXPECT_TRUE(log.has(c.failure)) << log.all;
    run.stop();
    EXPECT_EQ(run_words({"umount", "/media/ext"}), 0);
    sim_storage_fault("sda1", "none", 0);
  }
  sim_storage_remove("sda1");
}

}  // namespace
