// Synthetic camera frames for the encoder tests (NV12 and UYVY with a pitch
// wider than the picture, the padding filled with junk an encoder must not
// read), and the luma comparison of a decoded picture with its source.
#pragma once
#include <gtest/gtest.h>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "formats/media_inputs.h"
#include "test_root.h"

struct TestFrame {
  int width, height, pitch;   // pitch in pixels
  bool uyvy;
  std::vector<uint8_t> luma;  // NV12 luma, or the whole UYVY picture
  std::vector<uint8_t> chroma;
  std::vector<uint8_t> y;     // the intended luma, width x height
};

// A gradient drifting with t and a bright square crossing the picture;
// noise > 0 adds per-frame texture that costs bits.
inline uint8_t test_luma(int x, int yy, int t, int w, int h, int noise) {
  int v = 40 + ((x + 3 * t) % w) * 120 / w + yy * 60 / h;
  int bx = (t * 7) % (w > 64 ? w - 48 : 1), by = h / 3;
  if (x >= bx && x < bx + 48 && yy >= by && yy < by + 48) v = 220;
  if (noise) {
    uint32_t s = (uint32_t)(x * 73856093u) ^ (uint32_t)(yy * 19349663u) ^ (uint32_t)(t * 83492791u);
    s ^= s >> 13;
    s *= 0x5bd1e995u;
    v += (int)(s >> 24) % (2 * noise + 1) - noise;
  }
  return (uint8_t)(v < 16 ? 16 : v > 235 ? 235 : v);
}

inline TestFrame make_test_frame(int w, int h, int pitch, bool uyvy, int t, int noise = 0) {
  TestFrame f{w, h, pitch, uyvy, {}, {}, {}};
  f.y.resize((size_t)w * h);
  for (int r = 0; r < h; r++)
    for (int c = 0; c < w; c++) f.y[(size_t)r * w + c] = test_luma(c, r, t, w, h, noise);
  if (uyvy) {
    f.luma.assign((size_t)pitch * 2 * h, 0xEE);
    for (int r = 0; r < h; r++)
      for (int c = 0; c < w; c += 2) {
        uint8_t *p = &f.luma[(size_t)r * pitch * 2 + 2 * c];
        p[0] = (uint8_t)(100 + c * 50 / w);
        p[1] = f.y[(size_t)r * w + c];
        p[2] = (uint8_t)(160 - r * 40 / h);
        p[3] = f.y[(size_t)r * w + c + 1];
      }
  } else {
    f.luma.assign((size_t)pitch * h, 0xEE);
    f.chroma.assign((size_t)pitch * h / 2, 0xEE);
    for (int r = 0; r < h; r++)
      for (int c = 0; c < w; c++) f.luma[(size_t)r * pitch + c] = f.y[(size_t)r * w + c];
    for (int r = 0; r < h / 2; r++)
      for (int c = 0; c < w; c += 2) {
        f.chroma[(size_t)r * pitch + c] = (uint8_t)(100 + c * 50 / w);
        f.chroma[(size_t)r * pitch + c + 1] = (uint8_t)(160 - r * 80 / h);
      }
  }
  return f;
}

// Peak signal-to-noise ratio of two luma planes of the same size, in dB.
inline double luma_psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); i++) {
    double d = (double)a[i] - b[i];
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// The luma planes of the pictures of an encoded file, decoded by ffmpeg in
// the stream's own format (no range or format conversion); chroma_num/4 is
// the chroma size relative to the luma (2 for 4:2:0, 4 for 4:2:2 and 4:4:0).
inline std::vector<Bytes> decode_luma(const std::string &path, const std::string &dir, int w, int h,
                                      int chroma_num) {
  std::string raw = dir + "/decoded.yuv";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path.c_str(), "-f",
            "rawvideo", raw.c_str()});
  Bytes all = read_board_file(raw);
  std::vector<Bytes> pics;
  size_t luma = (size_t)w * h, frame = luma + luma * chroma_num / 4;
  for (size_t off = 0; off + frame <= all.size(); off += frame)
    pics.emplace_back(all.begin() + off, all.begin() + off + luma);
  return pics;
}

// ffmpeg's complaints while decoding a file (empty when it decodes cleanly).
inline std::string decode_errors(const std::string &path) {
  std::string out;
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path.c_str(), "-f", "null", "-"},
           &out);
  return out;
}

// `ffprobe -show_entries <entries> -of default=nw=1` on the first video
// stream: "stream=profile,level" or "frame=pict_type,key_frame".
inline std::string probe(const std::string &path, const char *entries) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", entries,
            "-of", "default=nw=1", path.c_str()}, &out);
  return out;
}

// Each change of a usable parameter set must make enc.set(&ext) fail with
// `fail` and the change's own extended error; the set is restored after each.
template <class Enc, class Dyn>
void expect_refused(Enc &enc, Dyn &dyn, const std::vector<std::pair<void (*)(Dyn &), uint32_t>> &bad,
                    int32_t fail) {
  for (size_t i = 0; i < bad.size(); i++) {
    Dyn keep = dyn;
    bad[i].first(dyn);
    uint32_t ext = 0;
    EXPECT_EQ(enc.set(&ext), fail) << "change " << i;
    EXPECT_EQ(ext, bad[i].second) << "change " << i;
    dyn = keep;
  }
}
