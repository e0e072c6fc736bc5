// Images made by ImageMagick and references converted by ffmpeg, for the
// overlay image tests: files live in a scratch directory of the test root.
#pragma once
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/host_root.h"
#include "test_root.h"

using Bytes = std::vector<uint8_t>;

inline const std::string &osd_image_dir(void) {
  static std::string dir = HostPath(test_scratch_dir("images").c_str()).c_str();
  return dir;
}

inline Bytes osd_read_file(const std::string &path) {
  Bytes b;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return b;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  fclose(f);
  return b;
}

inline void osd_write_file(const std::string &path, const Bytes &b) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(b.data(), 1, b.size(), f);
  fclose(f);
}

// Runs a shell command quietly; true when it exits 0.
inline bool osd_run(const std::string &cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// convert <args> <dir>/<name>; the file's bytes (empty on failure).
inline Bytes osd_magick(const std::string &args, const std::string &name) {
  std::string path = osd_image_dir() + "/" + name;
  // A format prefix ("PNG32:") goes straight before the path.
  std::string sep = !args.empty() && args.back() == ':' ? "" : " ";
  if (!osd_run("convert " + args + sep + "'" + path + "'")) return {};
  return osd_read_file(path);
}

// ffmpeg -i <dir>/<name> [-vf filter] as raw pixels of pix_fmt.
inline Bytes osd_ffmpeg_raw(const std::string &name, const char *pix_fmt, const char *filter = nullptr) {
  std::string in = osd_image_dir() + "/" + name, out = in + "." + pix_fmt + ".raw";
  std::string cmd = "ffmpeg -nostdin -loglevel error -y -i '" + in + "'";
  if (filter) cmd += std::string(" -vf '") + filter + "'";
  cmd += std::string(" -f rawvideo -pix_fmt ") + pix_fmt + " '" + out + "'";
  if (!osd_run(cmd)) return {};
  return osd_read_file(out);
}

// A colourful picture with an alpha ramp, made of 2x2 blocks of one colour
// (so that chroma taken from one pixel of a pair equals the pair's mean).
inline std::string osd_test_picture_args(int w, int h) {
  return "-seed 7 -size " + std::to_string(w / 2) + "x" + std::to_string(h / 2) +
         " plasma:fractal \\( -size " + std::to_string(w / 2) + "x" + std::to_string(h / 2) +
         " gradient:white-black \\) -compose CopyOpacity -composite -filter point -scale 200%";
}
