// The "playback" thread: ADTS handed over by file playback is decoded into
// the playback device (the root's playback WAV file), the stream's rate
// becomes Audio.SampleRate when the device can run at it, bad frames are
// stepped over, raw PCM is dropped when more buffers wait, and pass-through
// plays the live capture.
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "media/sound_test_support.h"
#include "media/stream_test_support.h"
#include "platform/framework/audio_signal.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"

namespace {

struct PlaybackThread {
  ParamBlock pb{};
  PlaybackEnv env{};
  std::thread thread;

  PlaybackThread() {
    board_identity.model = 7391;
    audio_defaults(&pb);
    env.env.name = "playback";
    env.env.params = &pb;
    env.engine = "encode";
  }
  void start() {
    EXPECT_EQ(sound_playback_prepare(&env.env), 0);
    thread = std::thread(soundPlaybackThrFxn, &env);
    EXPECT_TRUE(wait_for([this] { return Fifo_getNumEntries(env.free_fifo) == AUDIO_PLAYBACK_BUFS; }));
  }
  // As main shuts down: quit, then the FIFOs flushed so that no wait lingers.
  void stop() {
    set_exit_code(EXIT_QUIT);
    sound_playback_flush(&env);
    if (thread.joinable()) thread.join();
    set_exit_code(EXIT_RUNNING);
  }
  ~PlaybackThread() {
    stop();
    Fifo_delete(env.in_fifo);
    Fifo_delete(env.free_fifo);
    Pause_delete(env.pause);
  }
  // Hands one buffer of bytes over, as file playback does.
  void feed(const Bytes &data, uint32_t flags = 0) {
    void *p = nullptr;
    ASSERT_EQ(Fifo_get(env.free_fifo, &p), 0);
    AudioBufDesc *d = (AudioBufDesc *)p;
    ASSERT_LE(data.size(), Buffer_getSize(d->buf));
    memcpy(Buffer_getUserPtr(d->buf), data.data(), data.size());
    Buffer_setNumBytesUsed(d->buf, data.size());
    d->flags = flags;
    ASSERT_EQ(Fifo_put(env.in_fifo, d), 0);
  }
  bool all_back() {
    return wait_for([this] { return Fifo_getNumEntries(env.free_fifo) == AUDIO_PLAYBACK_BUFS; });
  }
};

// Whole ADTS frames packed into buffers of at most 4096 bytes.
std::vector<Bytes> pack(const std::vector<Bytes> &frames) {
  std::vector<Bytes> bufs(1);
  for (const Bytes &f : frames) {
    if (bufs.back().size() + f.size() > AUDIO_BUF_BYTES) bufs.emplace_back();
    bufs.back().insert(bufs.back().end(), f.begin(), f.end());
  }
  return bufs;
}

std::vector<Bytes> ffmpeg_adts(const char *source, int channels, int seconds) {
  std::string dir = test_scratch_dir("adts");
  std::string path = dir + "/in.aac", t = std::to_string(seconds), ac = std::to_string(channels);
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-t",
            t.c_str(), "-ac", ac.c_str(), "-c:a", "aac", "-b:a", "96k", "-f", "adts", path.c_str()});
  return split_adts(read_board_file(path));
}

std::vector<int16_t> played(void) {
  return ffmpeg_decode_s16(sim_sound_playback_path(), test_scratch_dir("played"));
}

}  // namespace

TEST(AudioPlayback, AacFromFilePlaybackIsDecodedAtTheStreamsRate) {
  if (!have_ffmpeg()) GTEST_SKIP() << "no ffmpeg";
  std::vector<Bytes> frames = ffmpeg_adts("sine=frequency=440:sample_rate=44100", 1, 3);
  ASSERT_GT(frames.size(), 100u);
  PlaybackThread t;
  t.start();
  for (const Bytes &b : pack(frames)) t.feed(b);
  ASSERT_TRUE(t.all_back());
  // The stream's rate became the live rate, and the device followed it.
  EXPECT_EQ(t.pb.audio.sample_rate, 44100u);
  t.stop();   // closing the device completes the file
  EXPECT_EQ(probe_audio(sim_sound_playback_path(), "sample_rate"), "44100");
  EXPECT_EQ(probe_audio(sim_sound_playback_path(), "channels"), "2");
  std::vector<int16_t> pcm = played();
  ASSERT_GT(pcm.size(), 2u * 44100 * 2);
  std::vector<int16_t> steady(pcm.begin() + 8192, pcm.end());
  for (int ch = 0; ch < 2; ch++) {
    ToneMeasure m = measure_tone(steady, 2, ch, 44100);
    EXPECT_NEAR(m.freq, 440, 5);
    EXPECT_NEAR(m.rms, 0.125 / sqrt(2.0), 0.02);
  }
}

TEST(AudioPlayback, BadFramesAndOddRatesAreSteppedOver) {
  if (!have_ffmpeg()) GTEST_SKIP() << "no ffmpeg";
  std::vector<Bytes> odd = ffmpeg_adts("sine=frequency=440:sample_rate=32000", 2, 1);
  std::vector<Bytes> good = ffmpeg_adts("sine=frequency=880:sample_rate=48000", 2, 1);
  ASSERT_GT(odd.size(), 10u);
  ASSERT_GT(good.size(), 10u);
  PlaybackThread t;
  t.start();
  log_take();

  Bytes garbage(600, 0x5A);
  t.feed(garbage);
  // A frame whose length runs past the buffer: the walk stops there.
  Bytes cut = good[0];
  cut.insert(cut.end(), good[1].begin(), good[1].begin() + 20);
  t.feed(cut);
  // Sampling index 15 is reserved.
  Bytes reserved = good[2];
  reserved[2] = (uint8_t)((reserved[2] & ~0x3C) | (15 << 2));
  t.feed(reserved);
  // A rate the output cannot run at is decoded but not stored.
  t.feed(pack(std::vector<Bytes>(odd.begin(), odd.begin() + 10))[0]);
  ASSERT_TRUE(t.all_back());
  std::string log = log_take();
  EXPECT_NE(log.find("bad ADTS frame at 0 of 600"), std::string::npos) << log;
  EXPECT_NE(log.find("AAC samplerate changed to 32000"), std::string::npos);
  EXPECT_EQ(t.pb.audio.sample_rate, 48000u);

  // Still playing.
  for (const Bytes &b : pack(good)) t.feed(b);
  ASSERT_TRUE(t.all_back());
  t.stop();
  std::vector<int16_t> pcm = played();
  ASSERT_GT(pcm.size(), 48000u);
  std::vector<int16_t> tail(pcm.end() - 48000, pcm.end());
  EXPECT_NEAR(measure_tone(tail, 2, 0, 48000).freq, 880, 10);
}

TEST(AudioPlayback, RawPcmIsDroppedWhileMoreWaitAndForeignBuffersWaitAtTheGate) {
  PlaybackThread t;
  t.start();
  log_take();
  // A buffer of another table, held at the pause gate.
  Fifo_Handle foreign_owner = Fifo_create();
  Buffer_Handle fb = Buffer_create(AUDIO_BUF_BYTES, &Buffer_Attrs_DEFAULT);
  Buffer_setNumBytesUsed(fb, 0);
  AudioBufDesc foreign = {fb, foreign_owner, 0, 0};
  Pause_on(t.env.pause);
  ASSERT_EQ(Fifo_put(t.env.in_fifo, &foreign), 0);
  Bytes pcm(AUDIO_BUF_BYTES);
  for (size_t i = 0; i < pcm.size(); i += 2) pcm[i + 1] = (uint8_t)(i / 64);
  t.feed(pcm, AUDIO_BUF_PCM);
  t.feed(pcm, AUDIO_BUF_PCM);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Fifo_getNumEntries(foreign_owner), 0);
  Pause_off(t.env.pause);
  ASSERT_TRUE(t.all_back());
  EXPECT_TRUE(wait_for([&] { return Fifo_getNumEntries(foreign_owner) == 1; }));
  std::string log = log_take();
  size_t first = log.find("dropping audio buf");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("dropping audio buf", first + 1), std::string::npos);
  t.stop();
  Fifo_delete(foreign_owner);
  Buffer_delete(fb);
}

TEST(AudioPlayback, PassthroughPlaysTheLiveCapture) {
  sim_sound_set_tone(0, 0, 1000, 0.5);
  sim_sound_set_tone(0, 1, 1000, 0.5);
  SoundThread capture;
  capture.start();
  PlaybackThread t;
  t.start();
  log_take();
  playback_set_audio_passthru(1);
  EXPECT_TRUE(wait_for([] { return log_take().find("Audio passthru starting") != std::string::npos; }));
  // Until the output holds more than the half second measured below (48 kHz
  // stereo, 16 bits), however slowly a loaded machine gets there.
  EXPECT_TRUE(wait_for([] {
    struct stat st;
    return sys_stat(sim_sound_playback_path(), &st) == 0 && st.st_size > 44 + 4 * 48000 * 3 / 4;
  }, 60));
  playback_set_audio_passthru(0);
  EXPECT_TRUE(wait_for([] { return log_take().find("Audio passthru stopped") != std::string::npos; }));
  t.stop();
  if (!have_ffmpeg()) return;
  std::vector<int16_t> pcm = played();
  ASSERT_GT(pcm.size(), 2u * 48000 / 2);
  ToneMeasure m = measure_tone(pcm, 2, 0, 48000);
  EXPECT_NEAR(m.freq, 1000, 10);
  EXPECT_NEAR(m.rms, 0.5 / sqrt(2.0), 0.02);
}

TEST(AudioPlayback, DigitalInputTakesTheCodecFromTheOutput) {
  PlaybackThread t;
  t.start();
  EXPECT_TRUE(wait_for([] { return playback_idle == 0; }));
  // Noticed after the current FIFO wait of up to 5 s.
  t.pb.audio.input = 2;
  EXPECT_TRUE(wait_for([] { return playback_idle == 1; }, 10));
  t.pb.audio.input = 1;
  EXPECT_TRUE(wait_for([] { return playback_idle == 0; }));
}
