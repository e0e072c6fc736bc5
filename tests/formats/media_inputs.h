// Real encoded input for the container tests: H.264 (Annex B), ADTS AAC and
// PCM made by ffmpeg, split into the units an encoder would publish, and a
// way to run ffmpeg/ffprobe/GStreamer on what the muxers made.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "formats/annexb.h"
#include "platform/host_root.h"
#include "platform/runner.h"

typedef std::vector<uint8_t> Bytes;

const uint32_t kVideoTicks = 3600;  // 25 frames/s at 90 kHz
const uint32_t kAudioTicks = 1920;  // 1024 samples at 48 kHz

inline bool tool_exists(const char *path) { return access(path, X_OK) == 0; }

inline bool have_ffmpeg(void) {
  return tool_exists("/usr/bin/ffmpeg") && tool_exists("/usr/bin/ffprobe");
}

// Runs a tool (absolute argv[0]; absolute board paths in the arguments land
// in the test root). Its standard output and error go to *out when given.
// Every tool is given a minute (timeout's status 124 when it runs out), well
// inside the test's own limit: a client left waiting on a stream that stopped
// fails its test with a status rather than hanging it.
inline int run_tool(std::vector<const char *> args, std::string *out = nullptr) {
  std::string name;
  if (strcmp(args[0], "/usr/bin/timeout") != 0) {
    // By name: an absolute argument would be moved into the root.
    const char *slash = strrchr(args[0], '/');
    name = slash ? slash + 1 : args[0];
    args[0] = name.c_str();
    args.insert(args.begin(), {"/usr/bin/timeout", "-k", "5", "60"});
  }
  args.push_back(nullptr);
  if (!out) {
    std::vector<char> sink(4096);
    return run_argv_output(args.data(), sink.data(), sink.size());
  }
  std::vector<char> buf(4 << 20);
  int rc = run_argv_output(args.data(), buf.data(), buf.size());
  *out = buf.data();
  return rc;
}

inline Bytes read_board_file(const std::string &path) {
  Bytes v;
  FILE *f = sys_fopen(path.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  fclose(f);
  return v;
}

inline bool write_board_file(const std::string &path, const Bytes &data) {
  FILE *f = sys_fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

// Access units of an Annex-B stream whose pictures are one slice each: a unit
// ends before the first non-VCL NAL unit or the second slice after a slice.
inline std::vector<Bytes> split_access_units(const Bytes &es) {
  std::vector<size_t> starts;  // offsets of start codes, zero_byte included
  for (size_t i = 0; i + 3 <= es.size(); i++) {
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
      starts.push_back(i > 0 && es[i - 1] == 0 ? i - 1 : i);
      i += 2;
    }
  }
  std::vector<Bytes> units;
  Bytes cur;
  bool have_slice = false;
  for (size_t k = 0; k < starts.size(); k++) {
    size_t b = starts[k], e = k + 1 < starts.size() ? starts[k + 1] : es.size();
    size_t h = b + (es[b + 2] == 1 ? 3 : 4);
    int type = es[h] & 0x1F;
    bool vcl = type >= 1 && type <= 5;
    if (have_slice) {
      units.push_back(cur);
      cur.clear();
      have_slice = false;
    }
    cur.insert(cur.end(), es.begin() + b, es.begin() + e);
    if (vcl) have_slice = true;
  }
  if (!cur.empty()) units.push_back(cur);
  return units;
}

// The NAL units of an Annex-B buffer as [start, end) pairs. Every unit
// takes bytes of its own, so a walk that gives more units than the buffer
// has bytes would never end: the program stops there, saying so.
inline std::vector<std::pair<size_t, size_t>> annexb_units(const uint8_t *d, size_t len) {
  std::vector<std::pair<size_t, size_t>> units;
  AnnexbWalk w;
  annexb_walk_init(&w, d, len);
  size_t s, e;
  while (annexb_walk_next(&w, &s, &e)) {
    if (units.size() == len) {
      fprintf(stderr, "annexb_walk_next: more units than the %zu bytes hold, the walk does not end\n", len);
      abort();
    }
    units.push_back({s, e});
  }
  return units;
}
inline std::vector<std::pair<size_t, size_t>> annexb_units(const Bytes &b) {
  return annexb_units(b.data(), b.size());
}

// An access unit with an IDR slice.
inline bool is_key_unit(const Bytes &au) {
  for (auto [s, e] : annexb_units(au))
    if ((au[s] & 0x1F) == 5) return true;
  return false;
}

// ADTS frames, one per unit, as the AAC encoder publishes them.
inline std::vector<Bytes> split_adts(const Bytes &aac) {
  std::vector<Bytes> frames;
  size_t i = 0;
  while (i + 7 <= aac.size() && aac[i] == 0xFF && (aac[i + 1] & 0xF6) == 0xF0) {
    size_t len = ((size_t)(aac[i + 3] & 3) << 11) | ((size_t)aac[i + 4] << 3) | (aac[i + 5] >> 5);
    if (len < 7 || i + len > aac.size()) break;
    frames.emplace_back(aac.begin() + i, aac.begin() + i + len);
    i += len;
  }
  return frames;
}

// H.264 at 25 frames/s without B-frames (the board's encoder makes none),
// `frames` long; x264opts are extra x264 parameters ("aud=1", "qp=0"),
// source a lavfi picture source ("testsrc2" is harder to compress).
inline Bytes make_h264(const std::string &dir, const char *name, const char *size, int frames,
                       const char *x264opts = "", const char *source = "testsrc") {
  std::string path = dir + "/" + name;
  std::string src = std::string(source) + "=size=" + size + ":rate=25";
  std::string n = std::to_string(frames);
  std::string params = std::string("bframes=0:keyint=25:min-keyint=25:scenecut=0") +
                       (*x264opts ? ":" : "") + x264opts;
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", src.c_str(),
            "-frames:v", n.c_str(), "-pix_fmt", "yuv420p", "-c:v", "libx264", "-profile:v", "high",
            "-level", "4.0", "-x264-params", params.c_str(), "-f", "h264", path.c_str()});
  return read_board_file(path);
}

// Stereo 48 kHz AAC LC in ADTS frames, `seconds` long.
inline Bytes make_aac(const std::string &dir, const char *name, int seconds) {
  std::string path = dir + "/" + name;
  std::string t = std::to_string(seconds);
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=48000", "-t", t.c_str(), "-ac", "2", "-c:a", "aac",
            "-b:a", "128k", "-f", "adts", path.c_str()});
  return read_board_file(path);
}

// Stereo 48 kHz signed 16-bit little-endian PCM.
inline Bytes make_pcm(const std::string &dir, const char *name, int seconds) {
  std::string path = dir + "/" + name;
  std::string t = std::to_string(seconds);
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
            "aevalsrc=sin(440*2*PI*t)*0.5|sin(660*2*PI*t)*0.3:s=48000", "-t", t.c_str(),
            "-f", "s16le", "-c:a", "pcm_s16le", path.c_str()});
  return read_board_file(path);
}

// Lines of a text, without the empty ones.
inline std::vector<std::string> text_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t b = 0;
  while (b < text.size()) {
    size_t e = text.find('\n', b);
    if (e == std::string::npos) e = text.size();
    if (e > b) lines.push_back(text.substr(b, e - b));
    b = e + 1;
  }
  return lines;
}

// Comma-separated fields of a line.
inline std::vector<std::string> csv_fields(const std::string &line) {
  std::vector<std::string> f;
  size_t b = 0;
  for (;;) {
    size_t e = line.find(',', b);
    f.push_back(line.substr(b, e == std::string::npos ? std::string::npos : e - b));
    if (e == std::string::npos) break;
    b = e + 1;
  }
  return f;
}

// The per-frame MD5 column of `ffmpeg -f framemd5` on the decoded stream
// `map` of a file, the first `limit` frames: equal lists mean the same
// pictures or samples.
inline std::vector<std::string> decoded_md5s(const std::string &path, const char *map,
                                             size_t limit = (size_t)-1, const char *from = nullptr) {
  std::string out;
  std::vector<const char *> args = {"/usr/bin/ffmpeg", "-nostdin", "-v", "error"};
  // From a time on: the file is read from the key frame before it only.
  if (from) args.insert(args.end(), {"-ss", from});
  args.insert(args.end(), {"-i", path.c_str(), "-map", map, "-f", "framemd5", "-"});
  run_tool(args, &out);
  std::vector<std::string> md5s;
  for (auto &l : text_lines(out)) {
    if (l[0] == '#') continue;
    auto f = csv_fields(l);
    if (f.size() >= 6 && md5s.size() < limit) md5s.push_back(f.back());
  }
  return md5s;
}

// ffprobe's packet list of a file, in file order.
struct ProbedPacket { bool video; long long pts; std::string flags; };

inline std::vector<ProbedPacket> probe_packets(const std::string &path) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "packet=codec_type,pts,flags",
            "-of", "csv=p=0", path.c_str()}, &out);
  std::vector<ProbedPacket> v;
  for (auto &l : text_lines(out)) {
    auto f = csv_fields(l);
    if (f.size() >= 3 && !f[1].empty() && f[1] != "N/A") v.push_back({f[0] == "video", std::stoll(f[1]), f[2]});
  }
  return v;
}
