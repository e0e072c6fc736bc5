// Shared by the MP4 tests: real H.264 and AAC input made once by ffmpeg, the
// recorder's calling order of the writer, and reading a written file back
// into a box tree.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/mp4_box.h"
#include "formats/mp4_write.h"
#include "media_inputs.h"
#include "test_root.h"

const uint32_t kMp4VideoTicks = 3600;  // 25 frames/s
const uint32_t kMp4AudioTicks = 1920;  // 1024 samples at 48 kHz

struct Mp4Input {
  std::string dir;            // board path of the scratch directory
  std::string h264, aac;      // board paths of the elementary streams
  std::vector<Bytes> video;   // access units, Annex B
  std::vector<Bytes> audio;   // ADTS frames
};

// 50 frames of 320x240 H.264 (a key frame every 25) and 2 s of stereo AAC.
inline const Mp4Input &mp4_input(void) {
  static Mp4Input in;
  if (in.video.empty()) {
    in.dir = test_scratch_dir("mp4in");
    in.h264 = in.dir + "/in.h264";
    in.aac = in.dir + "/in.aac";
    in.video = split_access_units(make_h264(in.dir, "in.h264", "320x240", 50));
    in.audio = split_adts(make_aac(in.dir, "in.aac", 2));
  }
  return in;
}

inline std::string host_path(const std::string &board) { return HostPath(board.c_str()).c_str(); }

// Tracks as the recorder creates them: video 1, audio 2 (when with_audio).
inline void mp4_add_tracks(Mp4Muxer *m, bool with_audio) {
  mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, kMp4VideoTicks, 0, 320, 240, 100, 40);
  if (with_audio) mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, kMp4AudioTicks, 0, 48000, 2);
}

// Feeds frames in the recorder's order: each video frame, then the audio
// frames that start no later than it. Stops at the first error; returns the
// number of video frames handed over.
inline size_t mp4_feed(Mp4Muxer *m, const std::vector<Bytes> &video, const std::vector<Bytes> &audio,
                       size_t *audio_fed = nullptr) {
  size_t a = 0, v = 0;
  for (; v < video.size(); v++) {
    mp4_write_track(m, 1, video[v].data(), (uint32_t)video[v].size(), kMp4VideoTicks);
    if (mp4_get_error(m)) break;
    while (a < audio.size() && (uint64_t)a * kMp4AudioTicks <= (uint64_t)v * kMp4VideoTicks) {
      mp4_write_track(m, 2, audio[a].data(), (uint32_t)audio[a].size(), kMp4AudioTicks);
      a++;
      if (mp4_get_error(m)) break;
    }
    if (mp4_get_error(m)) break;
  }
  if (audio_fed) *audio_fed = a;
  return v;
}

// A whole recording into a new file at board path: returns the error code.
inline int mp4_write_file(const std::string &path, const std::vector<Bytes> &video,
                          const std::vector<Bytes> &audio, uint64_t max_size = 0) {
  FILE *f = sys_fopen(path.c_str(), "w+b");
  if (!f) return -1;
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, !audio.empty());
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, f);
  mp4_write_header(m, "user data", 9);
  mp4_set_max_size(m, max_size);
  mp4_feed(m, video, audio);
  mp4_finish(m);
  int err = mp4_get_error(m);
  mp4_delete(m);
  fclose(f);
  return err;
}

// The top-level boxes of a file read with the box catalogue. The caller
// frees them with mp4_free_boxes.
struct Mp4Boxes {
  std::vector<Mp4Box *> top;
  Mp4Box *find(uint32_t type) const {
    for (Mp4Box *b : top)
      if (b->type == type) return b;
    return nullptr;
  }
};

inline Mp4Boxes mp4_read_boxes(const Bytes &file, int *error = nullptr, FILE *dump = nullptr) {
  Mp4Boxes r;
  Mp4Muxer *m = mp4_new_reader();
  mp4_buf_put(m, (void *)file.data(), (uint32_t)file.size());
  if (dump) mp4_set_dump(m, dump);
  // Every box takes 8 bytes at least: a reader that gives more would never
  // end.
  while (Mp4Box *b = rwBox(m, NULL, NULL)) {
    r.top.push_back(b);
    if (r.top.size() > file.size() / 8) {
      ADD_FAILURE() << "rwBox gives more boxes than the file holds";
      break;
    }
  }
  if (error) *error = mp4_get_error(m);
  mp4_buf_get(m);
  mp4_delete(m);
  return r;
}

inline void mp4_free_boxes(Mp4Boxes &r) {
  for (Mp4Box *b : r.top) box_free(b);
  r.top.clear();
}

// The trak of a moov whose handler is handler ('vide', 'soun').
inline Mp4Box *mp4_trak(const Mp4Box *moov, uint32_t handler) {
  for (Mp4Box *t = moov ? moov->child : nullptr; t; t = t->next)
    if (t->type == MP4_FOURCC('t', 'r', 'a', 'k') && box_handler_type(t->child) == handler) return t;
  return nullptr;
}

inline Mp4Box *mp4_stbl_box(const Mp4Box *trak, uint32_t type) {
  Mp4Box *mdia = box_find(trak, MP4_FOURCC('m', 'd', 'i', 'a'));
  Mp4Box *minf = box_find(mdia, MP4_FOURCC('m', 'i', 'n', 'f'));
  Mp4Box *stbl = box_find(minf, MP4_FOURCC('s', 't', 'b', 'l'));
  return box_find(stbl, type);
}

template <typename T> inline const T *mp4_entries(const Mp4Box *b) { return (const T *)b->entries; }

// ffprobe's value of key= lines (first match), "" when absent.
inline std::string probe_value(const std::string &out, const std::string &key) {
  for (auto &l : text_lines(out))
    if (l.compare(0, key.size() + 1, key + "=") == 0) return l.substr(key.size() + 1);
  return "";
}

// Byte-level edits of a file's sample tables, for files made to break the
// reader (32-bit box sizes, as ffmpeg writes them).
inline uint32_t raw_be32(const Bytes &f, size_t at) {
  return (uint32_t)f[at] << 24 | (uint32_t)f[at + 1] << 16 | (uint32_t)f[at + 2] << 8 | f[at + 3];
}
inline void raw_put_be32(Bytes &f, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) f[at + i] = (uint8_t)(v >> (24 - 8 * i));
}

// Header offsets of moov, trak, mdia, minf, stbl and its child `table` of the
// trak whose handler is handler ("vide", "soun"); empty when absent.
inline std::vector<size_t> raw_table_path(const Bytes &f, const char *handler, const char *table) {
  auto find = [&](size_t from, size_t to, const char *type, size_t skip) -> size_t {
    for (size_t at = from; at + 8 <= to;) {
      uint32_t size = raw_be32(f, at);
      if (size < 8 || at + size > to) break;
      if (memcmp(&f[at + 4], type, 4) == 0 && skip-- == 0) return at;
      at += size;
    }
    return SIZE_MAX;
  };
  size_t moov = find(0, f.size(), "moov", 0);
  for (size_t k = 0; moov != SIZE_MAX; k++) {
    size_t trak = find(moov + 8, moov + raw_be32(f, moov), "trak", k);
    if (trak == SIZE_MAX) break;
    size_t end = trak + raw_be32(f, trak);
    size_t mdia = find(trak + 8, end, "mdia", 0);
    if (mdia == SIZE_MAX) continue;
    size_t mdia_end = mdia + raw_be32(f, mdia);
    size_t hdlr = find(mdia + 8, mdia_end, "hdlr", 0);
    if (hdlr == SIZE_MAX || memcmp(&f[hdlr + 16], handler, 4) != 0) continue;
    size_t minf = find(mdia + 8, mdia_end, "minf", 0);
    size_t stbl = minf == SIZE_MAX ? SIZE_MAX : find(minf + 8, minf + raw_be32(f, minf), "stbl", 0);
    size_t t = stbl == SIZE_MAX ? SIZE_MAX : find(stbl + 8, stbl + raw_be32(f, stbl), table, 0);
    if (t != SIZE_MAX) return {moov, trak, mdia, minf, stbl, t};
  }
  return {};
}

// Offset of a track's table box header (SIZE_MAX when absent).
inline size_t raw_table(const Bytes &f, const char *handler, const char *table) {
  std::vector<size_t> p = raw_table_path(f, handler, table);
  return p.empty() ? SIZE_MAX : p.back();
}

// Appends n zero bytes to a track's table box, growing the boxes around it
// (the moov must follow the mdat, so that no chunk moves).
inline void raw_grow_table(Bytes &f, const char *handler, const char *table, size_t n) {
  std::vector<size_t> p = raw_table_path(f, handler, table);
  if (p.empty()) return;
  size_t end = p.back() + raw_be32(f, p.back());
  f.insert(f.begin() + (ptrdiff_t)end, n, 0);
  for (size_t at : p) raw_put_be32(f, at, raw_be32(f, at) + (uint32_t)n);
}
