// Measuring a tone in interleaved 16-bit PCM: level and frequency of one
// channel, and ffmpeg's own measurement of a file.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/media_inputs.h"
#include "test_root.h"

struct ToneMeasure {
  double rms;        // fraction of full scale
  double freq;       // Hz, from the rising zero crossings
  size_t samples;
};

inline ToneMeasure measure_tone(const int16_t *pcm, size_t frames, int channels, int channel,
                                int rate) {
  ToneMeasure m{0, 0, frames};
  if (!frames) return m;
  double sum = 0;
  long first = -1, last = -1, rising = 0;
  for (size_t i = 0; i < frames; i++) {
    double v = pcm[i * channels + channel] / 32768.0;
    sum += v * v;
    if (i && pcm[(i - 1) * channels + channel] < 0 && pcm[i * channels + channel] >= 0) {
      if (first < 0) first = (long)i;
      else rising++;
      last = (long)i;
    }
  }
  m.rms = std::sqrt(sum / frames);
  if (rising > 0) m.freq = (double)rising * rate / (double)(last - first);
  return m;
}

inline ToneMeasure measure_tone(const std::vector<int16_t> &pcm, int channels, int channel,
                                int rate) {
  return measure_tone(pcm.data(), pcm.size() / channels, channels, channel, rate);
}

// A file's audio decoded by ffmpeg to interleaved S16 at its own rate and
// channel count (extra arguments go before the output, "-ac", "2"...).
inline std::vector<int16_t> ffmpeg_decode_s16(const std::string &path, const std::string &dir,
                                              const char *format = nullptr,
                                              std::vector<const char *> extra = {}) {
  std::string raw = dir + "/decoded.s16";
  std::vector<const char *> args = {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y"};
  if (format) {
    args.push_back("-f");
    args.push_back(format);
  }
  args.push_back("-i");
  args.push_back(path.c_str());
  for (const char *a : extra) args.push_back(a);
  for (const char *a : {"-f", "s16le", "-c:a", "pcm_s16le"}) args.push_back(a);
  args.push_back(raw.c_str());
  run_tool(args);
  Bytes b = read_board_file(raw);
  std::vector<int16_t> pcm(b.size() / 2);
  if (!pcm.empty()) memcpy(pcm.data(), b.data(), pcm.size() * 2);
  return pcm;
}

// One value of `ffprobe -show_entries stream=<key>` on the first audio stream.
inline std::string probe_audio(const std::string &path, const char *key,
                               const char *format = nullptr) {
  std::string out, entries = std::string("stream=") + key;
  std::vector<const char *> args = {"/usr/bin/ffprobe", "-v", "error"};
  if (format) {
    args.push_back("-f");
    args.push_back(format);
  }
  for (const char *a : {"-select_streams", "a:0", "-show_entries"}) args.push_back(a);
  args.push_back(entries.c_str());
  for (const char *a : {"-of", "default=nw=1:nk=1"}) args.push_back(a);
  args.push_back(path.c_str());
  run_tool(args, &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// ffmpeg's astats on channel 1 of a file: "RMS level dB" of the whole input.
inline double astats_rms_db(const std::string &path, const char *format = nullptr) {
  std::string out;
  std::vector<const char *> args = {"/usr/bin/ffmpeg", "-nostdin", "-v", "info"};
  if (format) {
    args.push_back("-f");
    args.push_back(format);
  }
  for (const char *a : {"-i", path.c_str(), "-af", "astats=measure_overall=none", "-f", "null", "-"})
    args.push_back(a);
  run_tool(args, &out);
  size_t at = out.find("RMS level dB:");
  return at == std::string::npos ? 0 : atof(out.c_str() + at + 13);
}
