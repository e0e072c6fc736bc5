// The "sound" thread on the simulated codec: 4096-byte PCM chunks one period
// apart on the 90 kHz clock, the digital input's conversion, channel swap and
// half-period shift, AAC only while AAC_STREAM has consumers (an encoder
// that cannot be made is retried quietly), mono modes, and reopening on rate
// and input changes.
#include <gtest/gtest.h>
#include <cmath>
#include <string>

#include "media/sound_test_support.h"
#include "media/stream_producer.h"
#include "media/stream_test_support.h"
#include "platform/framework/audio_signal.h"
#include "core/log.h"
#include "platform/sim/sim_control.h"

namespace {

uint32_t next_seq(uint32_t id) {
  StreamQueue *q = stream_queues[id];
  pthread_mutex_lock(&q->mutex);
  uint32_t s = q->next_seq;
  pthread_mutex_unlock(&q->mutex);
  return s;
}

SimSoundInfo sound_info(int dev) {
  SimSoundInfo i;
  sim_sound_info(dev, &i);
  return i;
}

Bytes concat(const std::vector<AudioReader::Unit> &units) {
  Bytes all;
  for (const auto &u : units) all.insert(all.end(), u.data.begin(), u.data.end());
  return all;
}

// Decodes ADTS with ffmpeg and measures channel 0 after the priming frames.
ToneMeasure decoded_tone(const Bytes &adts, int rate) {
  std::string dir = test_scratch_dir("soundaac");
  std::string path = dir + "/capture.aac";
  EXPECT_TRUE(write_board_file(path, adts));
  std::vector<int16_t> pcm = ffmpeg_decode_s16(path, dir, "aac");
  int ch = atoi(probe_audio(path, "channels", "aac").c_str());
  if (ch < 1 || pcm.size() < (size_t)8192 * ch) return ToneMeasure{0, 0, 0};
  std::vector<int16_t> steady(pcm.begin() + 4096 * ch, pcm.end());
  return measure_tone(steady, ch, 0, rate);
}

// Consecutive units one period (1920 ticks at 48 kHz) apart, except where
// the codec dropped periods because capture did not read in time (a busy
// host): such a step spans whole periods, and no more were skipped than the
// codec counts dropped on device 0 since the capture opened it. A period of
// a fraction of a tick (44.1 kHz) is met within the tick the stamps drop.
void expect_period_steps(const std::vector<AudioReader::Unit> &units, double period = 1920) {
  const double slack = period == (uint32_t)period ? 0 : 1;
  uint64_t skipped = 0;
  for (size_t i = 1; i < units.size(); i++) {
    uint32_t step = units[i].ts - units[i - 1].ts;
    uint64_t n = (uint64_t)(step / period + 0.5);
    EXPECT_TRUE(n >= 1 && std::fabs(step - n * period) <= slack) << i << ": " << step;
    if (n >= 1) skipped += n - 1;
  }
  EXPECT_LE(skipped, sound_info(0).dropped) << "periods skipped that the codec never dropped";
}

}  // namespace

TEST(SoundCapture, AnalogChunksAreOnePeriodApartAndCarryTheTone) {
  sim_sound_set_tone(0, 0, 1000, 0.5);
  sim_sound_set_tone(0, 1, 500, 0.25);
  SoundThread t;
  t.start();
  const uint32_t aac_seq = next_seq(AAC_STREAM);   // the queue outlives an earlier test's thread
  AudioReader pcm(PCM_STREAM);
  ASSERT_TRUE(pcm.attached);
  auto units = pcm.take(25);
  ASSERT_EQ(units.size(), 25u);
  uint32_t start = sound_info(0).start_ticks;
  for (size_t i = 0; i < units.size(); i++) {
    EXPECT_EQ(units[i].data.size(), 4096u);
    // The chunk's first frame, on the codec's period grid.
    EXPECT_EQ((units[i].ts - start) % 1920, 0u) << i;
  }
  expect_period_steps(units);
  std::vector<int16_t> s = as_pcm(units);
  EXPECT_NEAR(measure_tone(s, 2, 0, 48000).freq, 1000, 5);
  EXPECT_NEAR(measure_tone(s, 2, 0, 48000).rms, 0.5 / sqrt(2.0), 0.01);
  EXPECT_NEAR(measure_tone(s, 2, 1, 48000).freq, 500, 5);
  // Nobody asked for AAC: nothing was encoded.
  EXPECT_EQ(next_seq(AAC_STREAM), aac_seq);
  EXPECT_EQ(stream_get_state_by_id(AAC_STREAM), 0);
  sim_sound_set_tone(0, 1, 1000, 0.5);
}

// The capture held off its device for a few periods (its queue's lock is
// taken): the periods queued meanwhile are read in a burst, each chunk
// stamped with the start of its own period, not of the newest one.
TEST(SoundCapture, ChunksReadLateKeepTheirOwnPeriodsStamps) {
  SoundThread t;
  t.start();
  AudioReader pcm(PCM_STREAM);
  ASSERT_TRUE(pcm.attached);
  auto units = pcm.take(3);
  ASSERT_EQ(units.size(), 3u);
  StreamQueue *q = stream_queues[PCM_STREAM];
  uint64_t before = sound_info(0).periods;
  pthread_mutex_lock(&q->mutex);
  ASSERT_TRUE(wait_for([&] { return sound_info(0).periods >= before + 3; }));
  pthread_mutex_unlock(&q->mutex);
  auto later = pcm.take(12);
  ASSERT_EQ(later.size(), 12u);
  units.insert(units.end(), later.begin(), later.end());
  uint32_t start = sound_info(0).start_ticks;
  for (size_t i = 0; i < units.size(); i++) EXPECT_EQ((units[i].ts - start) % 1920, 0u) << i;
  expect_period_steps(units);
}

TEST(SoundCapture, AacIsEncodedOnlyWhileAacStreamHasConsumers) {
  SoundThread t;
  t.start();
  const uint32_t aac_seq = next_seq(AAC_STREAM);   // the queue outlives an earlier test's thread
  AudioReader pcm(PCM_STREAM);
  ASSERT_EQ(pcm.take(5).size(), 5u);
  EXPECT_EQ(next_seq(AAC_STREAM), aac_seq);

  std::vector<AudioReader::Unit> aac;
  {
    AudioReader reader(AAC_STREAM);
    ASSERT_TRUE(reader.attached);
    aac = reader.take(60);
  }
  ASSERT_EQ(aac.size(), 60u);
  for (size_t i = 0; i < aac.size(); i++) {
    // One whole ADTS frame per entry, never an empty one.
    std::vector<Bytes> frames = split_adts(Bytes(aac[i].data.begin(), aac[i].data.end()));
    ASSERT_EQ(frames.size(), 1u) << i;
    EXPECT_EQ(frames[0].size(), aac[i].data.size());
    EXPECT_EQ((frames[0][2] >> 2) & 0xF, 3);   // 48000
    EXPECT_EQ(((frames[0][2] & 1) << 2) | (frames[0][3] >> 6), 2);
  }
  expect_period_steps(aac);
  if (have_ffmpeg()) EXPECT_NEAR(decoded_tone(concat(aac), 48000).freq, 1000, 10);

  // The last consumer gone, the encoder idles while PCM goes on.
  pcm.take(2);
  uint32_t seq = next_seq(AAC_STREAM);
  ASSERT_EQ(pcm.take(10).size(), 10u);
  EXPECT_EQ(next_seq(AAC_STREAM), seq);
}

// Occurrences of text in the log written since the last call.
int log_count(const char *text) {
  std::string all;
  char buf[4096];
  size_t n;
  while ((n = log_read(buf, sizeof buf)) > 0) all.append(buf, n);
  int count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) count++;
  return count;
}

TEST(SoundCapture, AnEncoderThatCannotBeMadeIsRetriedQuietlyWhilePcmGoesOn) {
  SoundThread t;
  t.pb.audio.bit_rate = 0;   // the encoder refuses it
  t.start();
  log_count("");
  // The queue outlives a thread: an earlier test's units may be counted.
  uint32_t seq = next_seq(AAC_STREAM);
  AudioReader pcm(PCM_STREAM);
  {
    AudioReader aac(AAC_STREAM);
    // About 70 chunks in 1.5 s, each of which would have tried and logged.
    EXPECT_EQ(pcm.take(70).size(), 70u);
    EXPECT_EQ(log_count("Failed to create audio encoder: aacenc"), 1);
    EXPECT_EQ(next_seq(AAC_STREAM), seq);
    t.pb.audio.bit_rate = 128000;
    EXPECT_EQ(aac.take(3).size(), 3u);
  }
  EXPECT_EQ(log_count("Failed to create audio encoder"), 0);
}

TEST(SoundCapture, MonoAacTakesTheChannelMonoModeNames) {
  sim_sound_set_tone(0, 0, 1000, 0.5);
  sim_sound_set_tone(0, 1, 3000, 0.5);
  SoundThread t;
  t.pb.audio.channels = 1;
  t.pb.audio.mono_mode = 2;   // left
  t.start();
  AudioReader reader(AAC_STREAM);
  auto left = reader.take(60);
  t.pb.audio.mono_mode = 1;   // right
  reader.take(5);
  auto right = reader.take(60);
  ASSERT_EQ(left.size(), 60u);
  ASSERT_EQ(right.size(), 60u);
  EXPECT_EQ(((left[0].data[2] & 1) << 2) | (left[0].data[3] >> 6), 1);
  if (have_ffmpeg()) {
    EXPECT_NEAR(decoded_tone(concat(left), 48000).freq, 1000, 10);
    EXPECT_NEAR(decoded_tone(concat(right), 48000).freq, 3000, 30);
  }
  sim_sound_set_tone(0, 1, 1000, 0.5);
}

TEST(SoundCapture, DigitalInputIsConvertedSwappedAndHalfAPeriodEarlier) {
  sim_sound_set_tone(1, 0, 1000, 0.5);
  sim_sound_set_tone(1, 1, 2000, 0.25);
  SoundThread t;
  t.start();
  AudioReader pcm(PCM_STREAM);
  ASSERT_EQ(pcm.take(3).size(), 3u);
  EXPECT_TRUE(sound_info(0).active);
  log_take();
  t.pb.audio.input = 2;
  ASSERT_TRUE(wait_for([] { return sound_info(1).active && !sound_info(0).active; }));
  EXPECT_NE(log_take().find("set sound input: Digital Audio"), std::string::npos);
  EXPECT_EQ(sound_info(1).sample_bytes, 4u);

  // Chunks the analog input queued while the switch was waited for come
  // first, however many a slow host let pile up: only the digital device's
  // own, stamped from its start on, are measured.
  const uint32_t start = sound_info(1).start_ticks;
  std::vector<AudioReader::Unit> units;
  for (int i = 0; i < 400 && units.size() < 25; i++) {
    auto next = pcm.take(1);
    ASSERT_EQ(next.size(), 1u);
    if ((int32_t)(next[0].ts - start) >= 0) units.push_back(next[0]);
  }
  ASSERT_EQ(units.size(), 25u);
  for (size_t i = 0; i < units.size(); i++) {
    EXPECT_EQ(units[i].data.size(), 4096u);
    // 512 frames (960 ticks at 48 kHz) before the analog grid.
    EXPECT_EQ((units[i].ts - start) % 1920, 960u) << i;
  }
  std::vector<int16_t> s = as_pcm(units);
  // The digital input's channels arrive swapped.
  ToneMeasure l = measure_tone(s, 2, 0, 48000), r = measure_tone(s, 2, 1, 48000);
  EXPECT_NEAR(l.freq, 2000, 10);
  EXPECT_NEAR(l.rms, 0.25 / sqrt(2.0), 0.01);
  EXPECT_NEAR(r.freq, 1000, 5);
  EXPECT_NEAR(r.rms, 0.5 / sqrt(2.0), 0.01);
  sim_sound_set_tone(1, 1, 1000, 0.5);
}

TEST(SoundCapture, RateChangeReopensAtTheNewRateAndGainsOnlyReachTheMixer) {
  SoundThread t;
  t.start();
  AudioReader pcm(PCM_STREAM);
  ASSERT_EQ(pcm.take(3).size(), 3u);
  uint32_t start = sound_info(0).start_ticks;

  t.pb.audio.volume_left = 30;
  t.pb.audio.mute = 1;
  ASSERT_TRUE(wait_for([] {
    int sw = -1;
    sim_mixer_get_switch("PGA", Mixer_CAPTURE, 0, &sw);
    return sw == 0;
  }));
  long v = 0;
  ASSERT_EQ(sim_mixer_get_volume("PGA", Mixer_CAPTURE, 0, &v), 0);
  EXPECT_EQ(v, 30);
  pcm.take(2);
  EXPECT_EQ(sound_info(0).start_ticks, start);   // not reopened

  t.pb.audio.sample_rate = 44100;
  ASSERT_TRUE(wait_for([] { return sound_info(0).rate == 44100; }));
  // Chunks of the old rate still queued are passed over. Then twenty, each
  // one period after the last (90000 x 1024 / 44100 = 2089.8 ticks), or
  // whole periods where the codec dropped some that a loaded host did not
  // read in time.
  while (stream_state_dequeue_ready(&pcm.st)) {
  }
  std::vector<AudioReader::Unit> units = pcm.take(20);
  ASSERT_EQ(units.size(), 20u);
  expect_period_steps(units, 90000.0 * 1024 / 44100);
  EXPECT_NEAR(measure_tone(as_pcm(units), 2, 0, 44100).freq, 1000, 5);
}

TEST(SoundCapture, DownmixRoundsTheAverageDown) {
  const int16_t stereo[] = {1, 2, -1, -2, 32767, 32767, -32768, -32768, 100, -101, 7, -9};
  int16_t mono[6];
  sound_downmix(stereo, mono, 6, 0);
  const int16_t avg[] = {1, -2, 32767, -32768, -1, -1};
  for (int i = 0; i < 6; i++) EXPECT_EQ(mono[i], avg[i]) << i;
  sound_downmix(stereo, mono, 6, 1);
  for (int i = 0; i < 6; i++) EXPECT_EQ(mono[i], stereo[2 * i + 1]);
  sound_downmix(stereo, mono, 6, 2);
  for (int i = 0; i < 6; i++) EXPECT_EQ(mono[i], stereo[2 * i]);
}

TEST(SoundCapture, S32FramesBecomeSwappedUpperHalvesInPlace) {
  int32_t frames[6] = {0x12345678, (int32_t)0x9ABCDEF0, 0x0001FFFF, -1, 0x7FFF0000,
                       (int32_t)0x80000001};
  sound_s32_to_s16_swap(frames, 3);
  const int16_t *out = (const int16_t *)frames;
  const int16_t want[] = {(int16_t)0x9ABC, 0x1234, -1, 0x0001, (int16_t)0x8000, 0x7FFF};
  for (int i = 0; i < 6; i++) EXPECT_EQ(out[i], want[i]) << i;
}
