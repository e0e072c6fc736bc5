// "aacenc" output is valid ADTS that ffmpeg decodes back to the tone put in
// (frequency and level); "aacdec" decodes ffmpeg's ADTS to the tone ffmpeg
// made; bad parameters and bad frames are refused without harm.
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/framework/audio_engine.h"
#include "platform/framework/audio_signal.h"

namespace {

struct Engine {
  Engine_Handle h = Engine_open("encode", nullptr, nullptr);
  ~Engine() { Engine_close(h); }
};

Buffer_Handle make_buf(size_t size) { return Buffer_create(size, &Buffer_Attrs_DEFAULT); }

// Interleaved S16 sine, the same on every channel.
std::vector<int16_t> sine(int rate, int channels, double freq, double amp, size_t frames) {
  std::vector<int16_t> v(frames * channels);
  for (size_t i = 0; i < frames; i++)
    for (int c = 0; c < channels; c++)
      v[i * channels + c] = (int16_t)lrint(amp * 32767 * sin(2 * M_PI * freq * i / rate));
  return v;
}

// Encodes pcm one 1024-frame chunk per call, as the sound thread does.
// Returns the ADTS stream; sizes gets each call's output length.
Bytes encode(Aenc1_Handle enc, const std::vector<int16_t> &pcm, int channels,
             std::vector<size_t> *sizes = nullptr) {
  Buffer_Handle in = make_buf(4096), out = make_buf(4096);
  Bytes stream;
  size_t chunk = 1024 * channels;
  for (size_t off = 0; off + chunk <= pcm.size(); off += chunk) {
    memcpy(Buffer_getUserPtr(in), &pcm[off], chunk * 2);
    Buffer_setNumBytesUsed(in, chunk * 2);
    EXPECT_EQ(Aenc1_process(enc, in, out), AUDENC1_EOK);
    EXPECT_EQ(Buffer_getNumBytesUsed(in), chunk * 2);
    size_t n = Buffer_getNumBytesUsed(out);
    if (sizes) sizes->push_back(n);
    uint8_t *p = (uint8_t *)Buffer_getUserPtr(out);
    stream.insert(stream.end(), p, p + n);
  }
  Buffer_delete(in);
  Buffer_delete(out);
  return stream;
}

AUDENC1_Params enc_params(int rate, int channels, int bit_rate) {
  AUDENC1_Params p = Aenc1_Params_DEFAULT;
  p.sampleRate = rate;
  p.channelMode = channels == 1 ? IAUDIO_1_0 : IAUDIO_2_0;
  p.bitRate = bit_rate;
  return p;
}

}  // namespace

TEST(CodecAac, EncodedToneDecodesInFfmpegWithItsFrequencyAndLevel) {
  if (!have_ffmpeg()) GTEST_SKIP() << "no ffmpeg";
  struct Case { int rate, channels; double freq; } cases[] = {{48000, 2, 1000}, {44100, 1, 440}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rate);
    Engine e;
    AUDENC1_Params p = enc_params(c.rate, c.channels, 128000);
    Aenc1_Handle enc = Aenc1_create(e.h, "aacenc", &p, nullptr);
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(Aenc1_getInBufSize(enc), 2048 * c.channels);
    std::vector<size_t> sizes;
    Bytes adts = encode(enc, sine(c.rate, c.channels, c.freq, 0.5, 1024 * 100), c.channels, &sizes);
    Aenc1_delete(enc);
    // Priming: the first chunk gives nothing, then one frame per chunk.
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(sizes[0], 0u);
    for (size_t i = 2; i < sizes.size(); i++) EXPECT_GT(sizes[i], 7u) << i;

    // Every header: sync, MPEG-4, no CRC, LC, this rate and channel count,
    // lengths that chain exactly to the end.
    std::vector<Bytes> frames = split_adts(adts);
    size_t total = 0;
    for (const Bytes &f : frames) {
      total += f.size();
      EXPECT_EQ(f[1], 0xF1);
      EXPECT_EQ(f[2] >> 6, 1);
      EXPECT_EQ((f[2] >> 2) & 0xF, aac_rate_index(c.rate));
      EXPECT_EQ(((f[2] & 1) << 2) | (f[3] >> 6), c.channels);
      EXPECT_EQ(f[5] & 0x1F, 0x1F);
      EXPECT_EQ(f[6], 0xFC);
    }
    EXPECT_EQ(total, adts.size());
    EXPECT_GE(frames.size(), 98u);

    std::string dir = test_scratch_dir("aacenc");
    std::string path = dir + "/tone.aac";
    ASSERT_TRUE(write_board_file(path, adts));
    EXPECT_EQ(probe_audio(path, "codec_name", "aac"), "aac");
    EXPECT_EQ(probe_audio(path, "sample_rate", "aac"), std::to_string(c.rate));
    EXPECT_EQ(probe_audio(path, "channels", "aac"), std::to_string(c.channels));
    EXPECT_EQ(probe_audio(path, "profile", "aac"), "LC");
    std::vector<int16_t> pcm = ffmpeg_decode_s16(path, dir, "aac");
    ASSERT_GT(pcm.size(), (size_t)c.rate * c.channels);
    // Skip the priming frames before measuring.
    std::vector<int16_t> steady(pcm.begin() + 4096 * c.channels, pcm.end());
    ToneMeasure m = measure_tone(steady, c.channels, c.channels - 1, c.rate);
    EXPECT_NEAR(m.freq, c.freq, c.freq * 0.01);
    EXPECT_NEAR(m.rms, 0.5 / sqrt(2.0), 0.03);
    // ffmpeg's own level meter agrees: -9 dBFS for a sine at half scale.
    EXPECT_NEAR(astats_rms_db(path, "aac"), -9.0, 1.0);
  }
}

TEST(CodecAac, BitRateControlTakesEffectOnTheNextFrames) {
  Engine e;
  AUDENC1_Params p = enc_params(48000, 2, 256000);
  Aenc1_Handle enc = Aenc1_create(e.h, "aacenc", &p, nullptr);
  ASSERT_NE(enc, nullptr);
  // Noise-like content so the bit budget, not the signal, sets the size.
  std::vector<int16_t> pcm(1024 * 2 * 200);
  uint32_t s = 1;
  for (auto &v : pcm) {
    s = s * 1103515245u + 12345u;
    v = (int16_t)(s >> 16);
  }
  std::vector<int16_t> first(pcm.begin(), pcm.begin() + pcm.size() / 2);
  std::vector<int16_t> second(pcm.begin() + pcm.size() / 2, pcm.end());
  Bytes hi = encode(enc, first, 2);

  AUDENC1_DynamicParams dyn = Aenc1_DynamicParams_DEFAULT;
  dyn.bitRate = 64000;
  AUDENC1_Status st = {sizeof st, 0, 0};
  ASSERT_EQ(AUDENC1_control(Aenc1_getVisaHandle(enc), XDM_SETPARAMS, &dyn, &st), AUDENC1_EOK);
  EXPECT_EQ(st.bitRate, 64000);
  Bytes lo = encode(enc, second, 2);
  // Bytes per second against the rates asked for, with the rate control's slack.
  double seconds = 100 * 1024 / 48000.0;
  EXPECT_NEAR(hi.size() * 8 / seconds, 256000, 256000 * 0.25);
  EXPECT_NEAR(lo.size() * 8 / seconds, 64000, 64000 * 0.25);

  // Held below the maximum bit rate of the create call.
  dyn.bitRate = 900000;
  ASSERT_EQ(AUDENC1_control(enc, XDM_SETPARAMS, &dyn, &st), AUDENC1_EOK);
  EXPECT_EQ(st.bitRate, 512000);
  EXPECT_EQ(AUDENC1_control(enc, XDM_RESET, &dyn, &st), AUDENC1_EUNSUPPORTED);
  Aenc1_delete(enc);
}

TEST(CodecAac, EncoderCreateRefusesWhatItCannotDo) {
  Engine e;
  AUDENC1_Params p = enc_params(48000, 2, 128000);
  EXPECT_EQ(Aenc1_create(e.h, "mp3enc", &p, nullptr), nullptr);
  EXPECT_EQ(Aenc1_create(nullptr, "aacenc", &p, nullptr), nullptr);
  AUDENC1_Params bad = p;
  bad.sampleRate = 45000;
  EXPECT_EQ(Aenc1_create(e.h, "aacenc", &bad, nullptr), nullptr);
  bad = p;
  bad.channelMode = 7;
  EXPECT_EQ(Aenc1_create(e.h, "aacenc", &bad, nullptr), nullptr);
  bad = p;
  bad.inputBitsPerSample = 24;
  EXPECT_EQ(Aenc1_create(e.h, "aacenc", &bad, nullptr), nullptr);
}

TEST(CodecAac, AdtsHeaderWriterRefusesRatesAndLengthsAdtsCannotCarry) {
  uint8_t h[7];
  EXPECT_EQ(aac_adts_write_header(h, 44100, 2, 100), 0);
  EXPECT_EQ((h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5, 107);
  EXPECT_EQ(aac_adts_write_header(h, 45000, 2, 100), -1);
  EXPECT_EQ(aac_adts_write_header(h, 48000, 2, ADTS_MAX_FRAME - 6), -1);
  EXPECT_EQ(aac_index_rate(3), 48000);
  EXPECT_EQ(aac_index_rate(13), 0);
  EXPECT_EQ(aac_index_rate(-1), 0);
}

TEST(CodecAac, DecoderPlaysFfmpegAdtsAsStereo) {
  if (!have_ffmpeg()) GTEST_SKIP() << "no ffmpeg";
  std::string dir = test_scratch_dir("aacdec");
  std::string path = dir + "/mono.aac";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=44100", "-t", "2", "-ac", "1", "-c:a", "aac", "-b:a",
            "96k", "-f", "adts", path.c_str()});
  std::vector<Bytes> frames = split_adts(read_board_file(path));
  ASSERT_GT(frames.size(), 80u);

  Engine e;
  Adec1_Handle dec = Adec1_create(e.h, "aacdec", &Adec1_Params_DEFAULT, nullptr);
  ASSERT_NE(dec, nullptr);
  Buffer_Handle in = make_buf((size_t)Adec1_getInBufSize(dec));
  Buffer_Handle out = make_buf((size_t)Adec1_getOutBufSize(dec));
  std::vector<int16_t> pcm;
  for (const Bytes &f : frames) {
    memcpy(Buffer_getUserPtr(in), f.data(), f.size());
    Buffer_setNumBytesUsed(in, f.size());
    ASSERT_EQ(Adec1_process(dec, in, out), 0);
    EXPECT_EQ(Buffer_getNumBytesUsed(in), f.size());
    size_t n = Buffer_getNumBytesUsed(out);
    EXPECT_TRUE(n == 0 || n == 4096) << n;
    int16_t *p = (int16_t *)Buffer_getUserPtr(out);
    pcm.insert(pcm.end(), p, p + n / 2);
  }
  EXPECT_EQ(Adec1_getSampleRate(dec), 44100);
  EXPECT_EQ(Adec1_getChannels(dec), 1);
  std::vector<int16_t> steady(pcm.begin() + 4096, pcm.end());
  for (int ch = 0; ch < 2; ch++) {
    ToneMeasure m = measure_tone(steady, 2, ch, 44100);
    EXPECT_NEAR(m.freq, 440, 4);
    EXPECT_NEAR(m.rms, 0.125 / sqrt(2.0), 0.02);   // lavfi's sine is at 1/8
  }
  for (size_t i = 0; i + 1 < steady.size(); i += 2) ASSERT_EQ(steady[i], steady[i + 1]);

  // A frame of garbage is refused; the next good frame still decodes.
  memset(Buffer_getUserPtr(in), 0x5A, 300);
  Buffer_setNumBytesUsed(in, 300);
  EXPECT_LT(Adec1_process(dec, in, out), 0);
  EXPECT_EQ(Buffer_getNumBytesUsed(out), 0u);
  Buffer_setNumBytesUsed(in, 0);
  EXPECT_LT(Adec1_process(dec, in, out), 0);
  memcpy(Buffer_getUserPtr(in), frames[10].data(), frames[10].size());
  Buffer_setNumBytesUsed(in, frames[10].size());
  EXPECT_EQ(Adec1_process(dec, in, out), 0);
  EXPECT_EQ(Buffer_getNumBytesUsed(out), 4096u);

  // Output that does not fit is an error, not an overrun.
  Buffer_Handle small = make_buf(1000);
  EXPECT_LT(Adec1_process(dec, in, small), 0);
  Buffer_delete(small);
  Buffer_delete(in);
  Buffer_delete(out);
  Adec1_delete(dec);
  EXPECT_EQ(Adec1_create(e.h, "aacenc", nullptr, nullptr), nullptr);
}
