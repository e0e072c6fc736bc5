// The board's ALSA device names on the host: capture delivers the codec's
// tone in real time with period-boundary time stamps on the 90 kHz clock,
// playback lands in a WAV file that ffmpeg reads, and the simple-mixer seam
// keeps the codec's controls.
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/framework/audio_engine.h"
#include "platform/framework/audio_signal.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

namespace {

SoundAttrs attrs(int rate, int mode) {
  SoundAttrs a = {rate, 2, 100, 100, mode, Sound_Input_LINE, 1024};
  return a;
}

// Opens a capture device the way the capture thread does.
Sound_Handle open_capture(const char *name, int bytes_per_sample, int rate) {
  SoundDevice *s = (SoundDevice *)calloc(1, sizeof *s);
  s->sampleRate = rate;
  s->channels = 2;
  s->bytesPerSample = bytes_per_sample;
  SoundAttrs a = attrs(rate, Sound_Mode_INPUT);
  if (Sound_openPcm(s, name, SND_PCM_STREAM_CAPTURE, &a) < 0) {
    Sound_delete(s);
    return nullptr;
  }
  return s;
}

// The start of a period's capture, as the capture thread computes it.
uint32_t period_start(Sound_Handle s) {
  snd_pcm_uframes_t avail = 0;
  snd_htimestamp_t ts = {};
  EXPECT_EQ(Sound_pcmHtimestamp(s->rcIn, &avail, &ts), 0);
  return (uint32_t)ts.tv_sec - (uint32_t)(90000ull * (1024 + avail) / (unsigned)s->sampleRate);
}

// Periods the codec dropped since the device's parameters were set.
uint64_t dropped(int device) {
  SimSoundInfo info;
  sim_sound_info(device, &info);
  return info.dropped;
}

// The periods of 1024 frames at rate between two period starts ticks apart
// on the 90 kHz clock; -1 unless a whole number (within the clock's
// rounding). More than the periods read where the codec dropped periods that
// the reader, held off the CPU by a busy host, did not take in time.
long periods_apart(uint32_t ticks, int rate) {
  double per = 1024 * 90000.0 / rate;
  long n = lround(ticks / per);
  return fabs(ticks - n * per) > 1 ? -1 : n;
}

}  // namespace

TEST(SimSound, AnalogCaptureIsTheCodecToneOnePeriodPerBoundary) {
  sim_sound_set_tone(0, 0, 1000, 0.5);
  sim_sound_set_tone(0, 1, 500, 0.25);
  Sound_Handle s = open_capture("hw:0,0", 2, 48000);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->periodSize, 1024u);
  EXPECT_GT(s->bufSize, 1024u);
  EXPECT_LE(s->bufSize, 24000u);
  SimSoundInfo info;
  sim_sound_info(0, &info);
  EXPECT_TRUE(info.active);
  EXPECT_EQ(info.rate, 48000u);
  EXPECT_EQ(info.sample_bytes, 2u);
  EXPECT_EQ(info.period, 1024u);

  ASSERT_EQ(snd_pcm_start(s->rcIn), 0);
  std::vector<int16_t> pcm;
  std::vector<uint32_t> starts;
  int16_t buf[2048];
  for (int k = 0; k < 30; k++) {
    snd_pcm_uframes_t got = 0;
    while (got < 1024) {
      snd_pcm_sframes_t n = snd_pcm_readi(s->rcIn, buf + got * 2, 1024 - got);
      ASSERT_GT(n, 0);
      got += (snd_pcm_uframes_t)n;
    }
    starts.push_back(period_start(s));
    pcm.insert(pcm.end(), buf, buf + 2048);
  }
  // Each period starts 1024 frames of the 90 kHz clock after the last, or
  // after the periods the codec dropped meanwhile.
  long skipped = 0;
  for (size_t k = 1; k < starts.size(); k++) {
    long n = periods_apart(starts[k] - starts[k - 1], 48000);
    EXPECT_GE(n, 1) << k << ": " << starts[k] - starts[k - 1];
    if (n > 1) skipped += n - 1;
  }
  EXPECT_LE((uint64_t)skipped, dropped(0));
  ToneMeasure l = measure_tone(pcm, 2, 0, 48000), r = measure_tone(pcm, 2, 1, 48000);
  EXPECT_NEAR(l.freq, 1000, 5);
  EXPECT_NEAR(l.rms, 0.5 / sqrt(2.0), 0.01);
  EXPECT_NEAR(r.freq, 500, 5);
  EXPECT_NEAR(r.rms, 0.25 / sqrt(2.0), 0.01);

  // Closing stops the tone; the next open starts afresh from an empty FIFO.
  Sound_delete(s);
  sim_sound_info(0, &info);
  EXPECT_FALSE(info.active);
  sim_sound_set_tone(0, 1, 1000, 0.5);
}

TEST(SimSound, DigitalCaptureIs32BitWithLowBitsAndItsOwnRate) {
  sim_sound_set_tone(1, 0, 1000, 0.5);
  sim_sound_set_tone(1, 1, 2000, 0.5);
  Sound_Handle s = open_capture("hw:0,1", 4, 44100);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->sampleRate, 44100);
  ASSERT_EQ(snd_pcm_start(s->rcIn), 0);
  std::vector<int32_t> all;
  int32_t buf[2048];
  uint32_t first = 0, last = 0;
  for (int k = 0; k < 20; k++) {
    ASSERT_EQ(snd_pcm_readi(s->rcIn, buf, 1024), 1024);
    last = period_start(s);
    if (k == 0) first = last;
    all.insert(all.end(), buf, buf + 2048);
  }
  // 19 periods of 1024 frames at 44100 Hz on the 90 kHz clock, and those
  // the codec dropped meanwhile.
  long n = periods_apart(last - first, 44100);
  EXPECT_GE(n, 19) << last - first;
  if (n > 19) EXPECT_LE((uint64_t)(n - 19), dropped(1)) << last - first;
  bool low_bits = false;
  std::vector<int16_t> upper(all.size());
  for (size_t i = 0; i < all.size(); i++) {
    upper[i] = (int16_t)(all[i] >> 16);
    if (all[i] & 0xFFFF) low_bits = true;
  }
  EXPECT_TRUE(low_bits);
  EXPECT_NEAR(measure_tone(upper, 2, 0, 44100).freq, 1000, 5);
  EXPECT_NEAR(measure_tone(upper, 2, 1, 44100).freq, 2000, 10);
  Sound_delete(s);
  sim_sound_set_tone(1, 1, 1000, 0.5);
}

TEST(SimSound, CaptureNotReadInTimeDropsPeriodsInsteadOfQueueingThem) {
  Sound_Handle s = open_capture("hw:0,0", 2, 48000);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(snd_pcm_start(s->rcIn), 0);
  SimSoundInfo info;
  ASSERT_TRUE(wait_until([&] {
    sim_sound_info(0, &info);
    return info.dropped >= 3;
  }, 30000)) << "periods dropped: " << info.dropped;
  // The FIFO holds four periods: the oldest data is at most that old.
  int16_t buf[2048];
  ASSERT_EQ(snd_pcm_readi(s->rcIn, buf, 1024), 1024);
  snd_pcm_uframes_t avail = 0;
  snd_htimestamp_t ts;
  ASSERT_EQ(Sound_pcmHtimestamp(s->rcIn, &avail, &ts), 0);
  EXPECT_LE(avail, 3u * 1024);
  Sound_delete(s);
}

TEST(SimSound, SoundModuleReadsInputAndPlaysIntoAWavFile) {
  SoundAttrs in_attrs = attrs(48000, Sound_Mode_INPUT);
  Sound_Handle in = Sound_create(&in_attrs);
  ASSERT_NE(in, nullptr);
  Buffer_Handle buf = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
  ASSERT_EQ(Sound_read(in, buf), 0);
  EXPECT_EQ(Buffer_getNumBytesUsed(buf), 4096u);
  Sound_delete(in);

  SoundAttrs out_attrs = attrs(48000, Sound_Mode_OUTPUT);
  Sound_Handle out = Sound_create(&out_attrs);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->rcIn, nullptr);
  int16_t *p = (int16_t *)Buffer_getUserPtr(buf);
  for (int k = 0; k < 47; k++) {   // about a second
    for (int i = 0; i < 1024; i++) {
      int n = k * 1024 + i;
      p[2 * i] = (int16_t)lrint(8000 * sin(2 * M_PI * 750.0 * n / 48000));
      p[2 * i + 1] = (int16_t)lrint(16000 * sin(2 * M_PI * 1500.0 * n / 48000));
    }
    Buffer_setNumBytesUsed(buf, 4096);
    ASSERT_EQ(Sound_write(out, buf), 0);
  }
  Sound_delete(out);
  Buffer_delete(buf);
  if (!have_ffmpeg()) return;
  std::string wav = sim_sound_playback_path();
  EXPECT_EQ(probe_audio(wav, "sample_rate"), "48000");
  EXPECT_EQ(probe_audio(wav, "channels"), "2");
  EXPECT_EQ(probe_audio(wav, "codec_name"), "pcm_s16le");
  std::vector<int16_t> pcm = ffmpeg_decode_s16(wav, test_scratch_dir("playback"));
  EXPECT_EQ(pcm.size(), 47u * 2048);
  EXPECT_NEAR(measure_tone(pcm, 2, 0, 48000).freq, 750, 5);
  EXPECT_NEAR(measure_tone(pcm, 2, 1, 48000).freq, 1500, 5);
}

TEST(SimSound, UnknownDeviceNamesAreRefusedByAlsa) {
  snd_pcm_t *pcm = nullptr;
  EXPECT_LT(Sound_pcmOpen(&pcm, "hw:1,0", SND_PCM_STREAM_CAPTURE, 0), 0);
  EXPECT_LT(Sound_pcmOpen(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0), 0);
  EXPECT_EQ(Sound_create(nullptr), nullptr);
}

TEST(SimMixer, ControlsAreSharedByEveryHandleAndClamped) {
  sim_mixer_reset();
  Mixer_Handle a = nullptr, b = nullptr;
  ASSERT_EQ(Mixer_open(&a), 0);
  ASSERT_EQ(Mixer_attach(a, "hw:0"), 0);
  ASSERT_EQ(Mixer_register(a), 0);
  ASSERT_EQ(Mixer_load(a), 0);
  MixerElem_Handle pga = nullptr;
  int count = 0;
  for (MixerElem_Handle e = Mixer_firstElem(a); e; e = Mixer_nextElem(e), count++)
    if (strcmp(MixerElem_getName(e), "PGA") == 0) pga = e;
  EXPECT_GT(count, 30);
  ASSERT_NE(pga, nullptr);
  EXPECT_TRUE(MixerElem_hasVolume(pga, Mixer_CAPTURE));
  EXPECT_FALSE(MixerElem_hasVolume(pga, Mixer_PLAYBACK));
  EXPECT_TRUE(MixerElem_hasChannel(pga, Mixer_CAPTURE, 1));
  EXPECT_FALSE(MixerElem_hasChannel(pga, Mixer_CAPTURE, 2));
  EXPECT_EQ(MixerElem_setVolume(pga, Mixer_CAPTURE, 0, 40), 0);
  EXPECT_EQ(MixerElem_setVolume(pga, Mixer_CAPTURE, 1, 500), 0);
  EXPECT_LT(MixerElem_setVolume(pga, Mixer_PLAYBACK, 0, 1), 0);
  EXPECT_LT(MixerElem_setVolume(pga, Mixer_CAPTURE, 2, 1), 0);
  long v = -1;
  ASSERT_EQ(sim_mixer_get_volume("PGA", Mixer_CAPTURE, 0, &v), 0);
  EXPECT_EQ(v, 40);
  ASSERT_EQ(sim_mixer_get_volume("PGA", Mixer_CAPTURE, 1, &v), 0);
  EXPECT_EQ(v, 119);
  Mixer_close(a);

  // A failed set-up step fails only as often as asked.
  sim_mixer_fail(3, 1);
  ASSERT_EQ(Mixer_open(&b), 0);
  ASSERT_EQ(Mixer_attach(b, "hw:0"), 0);
  ASSERT_EQ(Mixer_register(b), 0);
  EXPECT_EQ(Mixer_load(b), -ENODEV);
  EXPECT_EQ(Mixer_firstElem(b), nullptr);
  EXPECT_EQ(Mixer_load(b), 0);
  EXPECT_NE(Mixer_firstElem(b), nullptr);
  Mixer_close(b);
  EXPECT_EQ(Mixer_open(&b), 0);
  EXPECT_EQ(Mixer_attach(b, "hw:3"), -ENOENT);
  Mixer_close(b);
}
