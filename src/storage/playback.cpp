#include "storage/playback.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "core/log_episode.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "formats/mp4_read.h"
#include "formats/tsmux.h"
#include "media/sound.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "platform/framework/codec_engine.h"
#include "platform/host_root.h"
#include "storage/playback_internal.h"
#include "storage/volume.h"

std::atomic<int32_t> PlaybackState;
std::atomic<int32_t> TrickMode;
std::atomic<int32_t> playback_loading;
PlaybackDisplayOps playback_display_ops;
PlaybackRates playback_rates;
OutputEnv *playback_output;

namespace {

constexpr size_t kBigbufSize = 63424512;
constexpr size_t kInputSize = 1 << 20;
constexpr int kInputs = 3;
constexpr int kMaxPictures = 8;          // the output queue takes at most 8 buffers
constexpr size_t kTsReadBuffer = 512 * 1024;
constexpr size_t kJpegStep = 64 * 1024;
constexpr size_t kMaxKeyFrames = 1 << 20;  // the TS key-frame index: 16 MiB

std::mutex g_name_lock;
char g_filename[512];
std::atomic<uint64_t> g_position;
std::atomic<int> g_playing;
std::atomic<uint32_t> g_first_picture;
std::atomic<uint32_t> g_generation;
std::atomic<uint32_t> g_decoder_generation;

ProducerState g_ps;
uint8_t *g_bigbuf;
Buffer_Handle g_inputs[kInputs];
PlaybackFrame g_frames[kInputs];

// The MP4 feeder's context (the sample callback takes no argument).
Mp4Muxer *g_mp4;
FILE *g_file;
bool g_fast;
bool g_read_failed;   // the file stopped reading: nothing more is fed
// A damaged stretch of a file has sample after sample whose NAL lengths
// run past it: its first is logged, and the count once it is over.
LogEpisode g_bad_nal;
constexpr uint32_t kBadNalQuietMs = 5000;

void bad_nal_end(uint32_t quiet_ms) {
  if (uint32_t n = log_episode_ok(&g_bad_nal, quiet_ms))
    log_printf("%s: %u samples with a bad NAL length\n", "playback_mp4", n);
}

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }
bool stopping(void) { return quitting() || stream_state_stopping(&g_ps); }

// An entry of f within ms (NULL at the timeout or after a flush).
void *fifo_take(Fifo_Handle f, int ms) {
  if (!f) return nullptr;
  pollfd p = {Fifo_getFd(f), POLLIN, 0};
  if (p.fd < 0 || poll(&p, 1, ms) <= 0) return nullptr;
  void *ptr = nullptr;
  return Fifo_get(f, &ptr) == 0 ? ptr : nullptr;
}

PlaybackFrame *take_frame(int ms) {
  return (PlaybackFrame *)fifo_take(playback_display_ops.free_fifo, ms);
}

void give_back(PlaybackFrame *fr) { Fifo_put(playback_display_ops.free_fifo, fr); }

void deliver(PlaybackFrame *fr, uint32_t bytes, uint64_t ts, bool key) {
  Buffer_setNumBytesUsed(fr->buf, bytes);
  fr->timestamp = ts;
  fr->flags = key ? (uint32_t)PLAYBACK_FRAME_KEY : 0u;
  g_position = ts;
  Fifo_put(playback_display_ops.full_fifo, fr);
}

// Audio into the audio playback thread's FIFO pair; dropped when it has no
// room within 250 ms or the frame does not fit its buffer.
void deliver_audio(const uint8_t *hdr, uint32_t hdr_len, const uint8_t *data, uint32_t len,
                   FILE *from, uint64_t offset, uint64_t ts) {
  PlaybackEnv *a = playback_output->audio;
  if (!a) return;
  AudioBufDesc *d = (AudioBufDesc *)fifo_take(a->free_fifo, 250);
  if (!d) return;
  uint8_t *p = (uint8_t *)Buffer_getUserPtr(d->buf);
  bool ok = (uint64_t)hdr_len + len <= (uint64_t)Buffer_getSize(d->buf);
  if (ok && hdr_len) memcpy(p, hdr, hdr_len);
  if (ok && data) memcpy(p + hdr_len, data, len);
  if (ok && from)
    ok = fseeko(from, (off_t)offset, SEEK_SET) == 0 && fread(p + hdr_len, 1, len, from) == len;
  if (!ok) {
    Fifo_put(d->owner, d);
    return;
  }
  Buffer_setNumBytesUsed(d->buf, hdr_len + len);
  d->flags = 0;
  d->timestamp = (uint32_t)ts;
  Fifo_put(a->in_fifo, d);
}

void rates_take(uint64_t ts) {
  PlaybackRates &r = playback_rates;
  if (r.last && ts > r.last) {
    uint64_t fps = 90000 / (ts - r.last);
    if (fps >= 20 && fps < 27) r.count25++;
    else if (fps >= 27 && fps <= 33) r.count30++;
  }
  r.last = ts;
}

void wait_while_held(void) {
  while (!stopping() && PlaybackState != PLAYBACK_PLAYING && playback_loading == 0 &&
         TrickMode == TRICK_NONE)
    sleep_ms(100);
}

// ---- MP4 ----

int rate_callback(uint64_t, uint64_t time, uint32_t, uint32_t flags) {
  if (!(flags & 2)) rates_take(time);
  return 0;
}

int mp4_feeder(uint64_t offset, uint64_t time, uint32_t size, uint32_t flags) {
  // One play step may report many samples: once stopped, the rest pass.
  if (stopping() || g_read_failed || (g_fast && flags != 1)) return 0;
  if (flags & 2) {
    uint8_t hdr[7];
    if (mp4_adts_header(g_mp4, size, hdr) == 0) deliver_audio(hdr, 7, nullptr, size, g_file, offset, time);
    return 0;
  }
  bool key = flags & 1;
  uint32_t ps = key ? mp4_get_parameter_size(g_mp4) : 0;
  uint64_t total = (uint64_t)size + ps;
  PlaybackFrame *fr = take_frame(2000);
  if (!fr) return 0;
  if (Buffer_getSize(fr->buf) < total) {
    log_printf("decode buffer too small for %d\n", (int)total);
    give_back(fr);
    return 0;
  }
  uint8_t *p = (uint8_t *)Buffer_getUserPtr(fr->buf);
  if (ps) mp4_get_parameter_data(g_mp4, p);
  size_t rc = 0;
  if (fseeko(g_file, (off_t)offset, SEEK_SET) == 0) rc = fread(p + ps, 1, size, g_file);
  if (rc != size) {
    log_printf("Failed to fread rc=%d len=%u\n", (int)rc, size);
    give_back(fr);
    g_read_failed = true;
    PlaybackState = PLAYBACK_ERROR;
    playback_loading = 0;
    return 0;
  }
  if (mp4_sample_to_annexb(p + ps, size) != 0) {
    if (log_episode_fail(&g_bad_nal))
      log_printf("mp4 sample at %llu: bad NAL length\n", (unsigned long long)offset);
  } else {
    bad_nal_end(kBadNalQuietMs);
  }
  if (key) playback_loading = 0;
  deliver(fr, (uint32_t)total, time, key);
  return 0;
}

// The reader reads the moov through the played stream; it reads nothing
// more once open, and the feeder seeks before every sample it reads. fd is
// the descriptor under f (the reader measures the file by it).
int playback_mp4(OutputEnv *e, FILE *f, int fd) {
  Mp4Muxer *m = mp4_new_reader();
  if (!m) {
    log_printf("failed to create mp4 reader\n");
    stream_set_state(&g_ps, 0);
    return -1;
  }
  mp4_set_stream_fds(m, fd, -1);
  mp4_set_file(m, f);
  g_mp4 = m;
  g_file = f;
  g_read_failed = false;
  mp4_set_sample_callback(m, rate_callback);
  for (int i = 0; i < 10; i++)
    if (mp4_play(m) < 0) break;
  log_printf("%s: fps appears to be %d\n", e->env.name, playback_fps());
  mp4_seek(m, 0);
  mp4_set_sample_callback(m, mp4_feeder);
  log_printf("%s: main loop\n", "playback_mp4");
  while (!stopping()) {
    wait_while_held();
    if (stopping()) break;
    int32_t tm = TrickMode;
    int rc;
    if (tm == TRICK_REWIND) {
      g_fast = true;
      rc = mp4_play_reverse(m);
      g_fast = false;
      if (rc < 0) {
        TrickMode = TRICK_NONE;
        PlaybackState = PLAYBACK_PAUSED;
      }
      continue;
    }
    if (tm == TRICK_FAST_FORWARD) {
      g_fast = true;
      rc = mp4_play(m);
      g_fast = false;
    } else if (tm == TRICK_NONE) {
      rc = mp4_play(m);
    } else {
      uint64_t pos = g_position;
      uint64_t to = tm < 0 && (uint64_t)-(int64_t)tm > pos ? 0 : pos + (int64_t)tm;
      log_printf("seek to %f\n", (double)to / 90000.0);
      mp4_seek(m, to);
      TrickMode = TRICK_NONE;
      rc = mp4_play(m);
    }
    if (rc < 0) {
      log_printf("mp4 %p %s\n", (void *)m, mp4_has_error(m) ? mp4_strerror(m) : "");
      PlaybackState = !mp4_has_error(m) && playback_loading == 0 ? PLAYBACK_END : PLAYBACK_ERROR;
      playback_loading = 0;
      TrickMode = TRICK_NONE;
      sleep_ms(100);
    }
  }
  bad_nal_end(0);
  log_printf("%s: exiting\n", "playback_mp4");
  g_mp4 = nullptr;
  mp4_delete(m);
  return 0;
}

// ---- TS ----

struct KeyEntry {
  uint64_t offset, time;
};

struct TsPlay {
  FILE *f;
  TsMux *mux;
  uint8_t *buf;
  size_t len;
  uint64_t base;       // file offset of buf[0]
  bool eof;
  KeyEntry *index;
  size_t count, cap;
  size_t cursor;
  int64_t target;      // pending seek target, -1 none
  bool need_key;       // deliver nothing before the next key frame
  bool delivered;      // the last PES taken went to the decoder
  bool seeking;        // a seek has not delivered its frame yet
  uint8_t *frame;      // one PES payload
};

uint64_t ts_video_time(const TsMux *mux) {
  return (uint64_t)mux->video.pts | ((uint64_t)mux->video.pts_bit32 << 32);
}

int ts_reposition(TsPlay *t, uint64_t offset) {
  if (fseeko(t->f, (off_t)offset, SEEK_SET) != 0) {
    perror("fseeko");
    return -1;
  }
  t->base = offset;
  t->len = 0;
  t->eof = false;
  tsmux_reposition(t->mux);
  return 0;
}

// An Annex-B access unit with an IDR slice or a sequence parameter set.
bool has_key_nal(const uint8_t *p, uint32_t n) {
  for (uint32_t i = 0; i + 3 < n; i++)
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
      int type = p[i + 3] & 0x1F;
      if (type == 5 || type == 7) return true;
      i += 2;
    }
  return false;
}

// The index entry of a key frame at offset, inserted in file order when it
// is new (a seek may have left a gap). False when the index cannot grow.
bool ts_index_key(TsPlay *t, uint64_t offset, uint64_t time) {
  KeyEntry *e = std::lower_bound(t->index, t->index + t->count, offset,
                                 [](const KeyEntry &k, uint64_t o) { return k.offset < o; });
  size_t at = (size_t)(e - t->index);
  if (at < t->count && e->offset == offset) {
    t->cursor = at;
    return true;
  }
  if (t->count == kMaxKeyFrames) {
    log_printf("ts key-frame index full at %zu entries\n", t->count);
    return false;
  }
  if (t->count == t->cap) {
    KeyEntry *grown = (KeyEntry *)realloc(t->index, (t->cap + 1024) * sizeof(KeyEntry));
    if (!grown) {
      log_printf("Failed to allocate memory for ts_keyframes\n");
      return false;
    }
    t->index = grown;
    t->cap += 1024;
  }
  memmove(t->index + at + 1, t->index + at, (t->count - at) * sizeof(KeyEntry));
  t->index[at] = {offset, time};
  t->count++;
  t->cursor = at;
  return true;
}

// One complete PES of pid at file offset `at`; false to end the file.
bool ts_take(TsPlay *t, uint32_t pid, uint64_t at) {
  TsMux *mux = t->mux;
  t->delivered = false;
  uint32_t n = tsmux_read(mux, pid, t->frame, kInputSize, t->buf, t->len);
  if (n == 0) return true;
  int32_t tm = TrickMode;
  bool trick = tm == TRICK_FAST_FORWARD || tm == TRICK_REWIND;
  if (pid == mux->audio.pid) {
    if (t->target < 0 && !trick) deliver_audio(nullptr, 0, t->frame, n, nullptr, 0, mux->audio.pts);
    return true;
  }
  uint64_t pos = ts_video_time(mux);
  g_position = pos;
  rates_take(pos);
  bool key = mux->video.key || has_key_nal(t->frame, n);
  if (key && !ts_index_key(t, at, pos)) return false;
  if (t->target >= 0 && pos >= (uint64_t)t->target) {
    // Reached: playing resumes at the last key frame before the target.
    t->target = -1;
    if (!key && t->count && t->index[t->cursor].time < pos) {
      t->need_key = true;
      ts_reposition(t, t->index[t->cursor].offset);
      return true;
    }
  }
  if (key) t->need_key = false;
  if (t->target >= 0 || t->need_key || (trick && !key)) return true;
  PlaybackFrame *fr = nullptr;
  while (!fr && !stopping()) fr = take_frame(250);
  if (!fr) return true;
  memcpy(Buffer_getUserPtr(fr->buf), t->frame, n);
  deliver(fr, n, pos, key);
  t->delivered = true;
  t->seeking = false;
  playback_loading = 0;
  if (tm == TRICK_FAST_FORWARD && t->cursor + 1 < t->count) {
    ts_reposition(t, t->index[t->cursor + 1].offset);
  } else if (tm == TRICK_REWIND) {
    if (t->cursor == 0) {
      PlaybackState = PLAYBACK_PAUSED;
      TrickMode = TRICK_NONE;
    } else {
      ts_reposition(t, t->index[t->cursor - 1].offset);
    }
  }
  return true;
}

void ts_seek(TsPlay *t, int32_t ticks) {
  int64_t from = t->target >= 0 ? t->target : (int64_t)ts_video_time(t->mux);
  int64_t to = from + ticks < 0 ? 0 : from + ticks;
  TrickMode = TRICK_NONE;
  log_printf("seek to %f\n", (double)to / 90000.0);
  // The last indexed key frame before the target.
  auto *e = std::lower_bound(t->index, t->index + t->count, (uint64_t)to,
                             [](const KeyEntry &k, uint64_t v) { return k.time < v; });
  size_t k = (size_t)(e - t->index);
  if (k > 0) {
    t->target = to;
    t->cursor = k - 1;
    ts_reposition(t, t->index[k - 1].offset);
  } else {
    t->target = -1;
    t->cursor = 0;
    ts_reposition(t, t->count ? t->index[0].offset : 0);
  }
  t->need_key = true;
  t->seeking = true;
}

// The frame rate from the stamps of the first ten video frames at the start
// of the file, as an MP4 file's is taken before it plays: the decoder asks
// the output for its rate at the first picture, which must not depend on how
// far the reader got by then. The file is read again from its start.
void ts_estimate_rate(FILE *f, uint8_t *buf, uint8_t *frame) {
  TsMux *mux = tsmux_new();
  if (!mux) return;
  size_t len = fread(buf, 1, kTsReadBuffer, f);
  mux->at_end = len < kTsReadBuffer;
  int frames = 0;
  while (frames < 10) {
    uint32_t pid = tsmux_read_next(mux, buf, len);
    if (!pid) break;
    if (tsmux_read(mux, pid, frame, kInputSize, buf, len) == 0 || pid != mux->video.pid) continue;
    rates_take(ts_video_time(mux));
    frames++;
  }
  tsmux_delete(mux);
  playback_rates.last = 0;
  if (fseeko(f, 0, SEEK_SET) != 0) perror("fseeko");
}

int playback_ts(OutputEnv *e, FILE *f) {
  TsPlay t = {};
  t.f = f;
  t.mux = tsmux_new();
  t.buf = (uint8_t *)malloc(kTsReadBuffer);
  t.frame = (uint8_t *)malloc(kInputSize);
  t.target = -1;
  t.need_key = true;
  if (!t.mux || !t.buf || !t.frame) {
    log_printf("%s: out of memory\n", "playback_ts");
    PlaybackState = PLAYBACK_ERROR;
  }
  if (t.mux && t.buf && t.frame) ts_estimate_rate(f, t.buf, t.frame);
  log_printf("%s: output pause=%d seek=%d loading=%d playing=%d\n", e->env.name, (int)PlaybackState,
             (int)TrickMode, (int)playback_loading, (int)g_playing);
  while (t.mux && t.buf && t.frame && !stopping()) {
    if (!t.seeking) wait_while_held();
    if (stopping()) break;
    int32_t tm = TrickMode;
    if (tm != TRICK_NONE && tm != TRICK_FAST_FORWARD && tm != TRICK_REWIND) ts_seek(&t, tm);
    // Every PES the buffer completes.
    bool end = false;
    for (;;) {
      uint32_t pid = tsmux_read_next(t.mux, t.buf, t.len);
      if (!pid) break;
      TsStream *st = pid == t.mux->video.pid ? &t.mux->video : &t.mux->audio;
      if (!ts_take(&t, pid, t.base + st->read_offset)) {
        end = true;
        break;
      }
      // Repositioned, told otherwise, or held after the frame that was due.
      if (t.len == 0 || stopping() || TrickMode != tm ||
          (t.delivered && PlaybackState != PLAYBACK_PLAYING && playback_loading == 0))
        break;
    }
    if (end) {
      PlaybackState = PLAYBACK_END;
      continue;
    }
    if (t.eof) {
      if (TrickMode == TRICK_REWIND) {
        if (t.count == 0 || ts_reposition(&t, t.index[t.count - 1].offset) != 0) {
          PlaybackState = t.count ? PLAYBACK_ERROR : PLAYBACK_END;
          TrickMode = TRICK_NONE;
        } else {
          t.cursor = t.count - 1;
        }
      } else {
        TrickMode = TRICK_NONE;
        PlaybackState = PLAYBACK_END;
        playback_loading = 0;
        t.eof = false;
        t.len = 0;
        t.mux->at_end = 0;
      }
      continue;
    }
    uint32_t keep = tsmux_needed_from(t.mux);
    if (keep == 0 && t.len == kTsReadBuffer) keep = t.mux->scan_offset ? t.mux->scan_offset : (uint32_t)t.len;
    if (keep > t.len) keep = (uint32_t)t.len;
    if (keep) {
      memmove(t.buf, t.buf + keep, t.len - keep);
      t.len -= keep;
      t.base += keep;
      tsmux_slide(t.mux, keep);
    }
    size_t got = fread(t.buf + t.len, 1, kTsReadBuffer - t.len, f);
    t.len += got;
    if (got == 0) {
      if (feof(f)) {
        // What the file ends with completes there.
        t.eof = true;
        t.mux->at_end = 1;
      } else {
        log_printf("%s: read failed: %s\n", "playback_ts", ferror(f) ? strerror(errno) : "no data");
        PlaybackState = PLAYBACK_ERROR;
        playback_loading = 0;
      }
    }
  }
  log_printf("%s: exiting\n", "playback_ts");
  free(t.index);
  free(t.buf);
  free(t.frame);
  tsmux_delete(t.mux);
  return 0;
}

// ---- JPEG ----

int playback_jpg(OutputEnv *, FILE *f) {
  log_printf("%s: main loop\n", "playback_jpg");
  int frames = 0;
  bool at_end = false;
  PlaybackFrame *fr = nullptr;
  while (!stopping()) {
    if (at_end) {
      int32_t s = PlaybackState;
      if (s != PLAYBACK_ERROR && s != PLAYBACK_UNSUPPORTED)
        PlaybackState = frames ? PLAYBACK_END : PLAYBACK_ERROR;
      playback_loading = 0;
    }
    if (PlaybackState != PLAYBACK_PLAYING && playback_loading == 0) {
      sleep_ms(100);
      continue;
    }
    if (!fr && !(fr = take_frame(250))) continue;
    uint8_t *p = (uint8_t *)Buffer_getUserPtr(fr->buf);
    size_t cap = Buffer_getSize(fr->buf);
    off_t start = ftello(f);
    size_t held = 0, end = 0, begin = 0;
    bool eof = false;
    int failed = 0;
    while (!eof) {
      size_t want = std::min(kJpegStep, cap - held);
      if (want == 0) break;
      size_t got = fread(p + held, 1, want, f);
      held += got;
      if (got < want && ferror(f)) {
        failed = errno;
        break;
      }
      if (got < want) eof = true;
      if (begin == 0 && held >= 4 && !(p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF)) {
        log_printf("jpeg frame didn't start with 0xff 0xd8 0xff 0xe0: %02x %02x %02x %02x %02x %02x %02x %02x \n",
                   p[0], p[1], p[2], p[3], held > 4 ? p[4] : 0, held > 5 ? p[5] : 0,
                   held > 6 ? p[6] : 0, held > 7 ? p[7] : 0);
        begin = jpeg_next_start(p, held, 1);
        if (begin == held) {  // nothing here: keep the last two bytes for a split marker
          size_t keep = held >= 2 ? 2 : held;
          memmove(p, p + held - keep, keep);
          start += (off_t)(held - keep);
          held = keep;
          begin = 0;
          continue;
        }
        memmove(p, p + begin, held - begin);
        start += (off_t)begin;
        held -= begin;
        begin = 0;
      }
      if (held >= 4 && (end = jpeg_frame_end(p, held)) != 0) break;
    }
    if (failed) {
      // The volume went away or fails: the file cannot be played on.
      log_printf("%s: read failed: %s\n", "playback_jpg", strerror(failed));
      PlaybackState = PLAYBACK_ERROR;
      at_end = true;
      continue;
    }
    if (end == 0 && held == cap) {
      log_printf("jpeg frame larger than %zu bytes skipped\n", cap);
      size_t next = jpeg_next_start(p, held, 2);
      fseeko(f, start + (off_t)(next < held ? next : held - 2), SEEK_SET);
      continue;
    }
    if (end == 0) {
      // The file ends inside a frame or holds nothing more.
      at_end = true;
      continue;
    }
    log_printf("jpeg frame %d %ld bytes %s\n", frames, (long)end, eof && end == held ? "eof" : "");
    fseeko(f, start + (off_t)end, SEEK_SET);
    deliver(fr, (uint32_t)end, 0, true);
    fr = nullptr;
    playback_loading = 0;
    frames++;
  }
  log_printf("%s: exiting\n", "playback_jpg");
  if (fr) give_back(fr);
  return 0;
}

bool has_extension(const char *name, const char *ext) {
  const char *dot = strrchr(name, '.');
  return dot && strcasecmp(dot, ext) == 0;
}

// The StreamMode of a file's kind by its extension; -1 for none played.
int mode_of(const char *name) {
  if (has_extension(name, ".mp4")) return 13;
  if (has_extension(name, ".ts")) return 0;
  if (has_extension(name, ".jpeg") || has_extension(name, ".jpg")) return 3;
  return -1;
}

void refuse(void) {
  PlaybackState = PLAYBACK_ERROR;
  playback_loading = 0;
  stream_set_state(&g_ps, 0);
}

void return_full_frames(void) {
  PlaybackDisplayOps &d = playback_display_ops;
  while (Fifo_getNumEntries(d.full_fifo) > 0) {
    void *ptr = nullptr;
    if (Fifo_get(d.full_fifo, &ptr) != 0) break;
    log_printf("moving buf to output fifo, display state=%d mode=%d\n", (int)PlaybackState, d.get_mode());
    Fifo_put(d.free_fifo, ptr);
  }
}

// The file to play, its status and the descriptor under it (*fd). One on a
// volume ("/media/<volume>/...") is walked to from the volume without
// following a link on it (a user's disk may carry links to anywhere), and
// read through the volume's I/O, so that a disk that fails or is pulled
// fails the reads; it must be a regular file.
FILE *open_played(const char *name, struct stat *st, int *fd) {
  static const char kMedia[] = "/media/";
  const char *vol = strncmp(name, kMedia, sizeof kMedia - 1) == 0 ? name + sizeof kMedia - 1 : nullptr;
  const char *slash = vol ? strchr(vol, '/') : nullptr;
  FILE *f = nullptr;
  if (slash && slash > vol) {
    char base[VOLUME_PATH_MAX];
    snprintf(base, sizeof base, "%.*s", (int)(slash - name), name);
    f = volume_fopen(base, slash + 1, "rb", fd);
  } else if ((*fd = sys_open(name, O_RDONLY | O_CLOEXEC)) >= 0 && !(f = fdopen(*fd, "rb"))) {
    close(*fd);
  }
  if (f && (fstat(*fd, st) != 0 || !S_ISREG(st->st_mode))) {
    fclose(f);
    f = nullptr;
  }
  return f;
}

void play_one(OutputEnv *e) {
  char name[sizeof g_filename];
  playback_get_filename(name, sizeof name);
  if (!name[0]) {
    log_printf("output filename is empty\n");
    refuse();
    return;
  }
  struct stat st;
  int fd = -1;
  FILE *f = open_played(name, &st, &fd);
  if (!f) {
    log_printf("input file could not be opened: %s\n", name);
    refuse();
    return;
  }
  char why[128];
  if (playback_check_file(f, fd, name, why, sizeof why) != 0) {
    log_printf("%s: %s: %s\n", e->env.name, name, why);
    fclose(f);
    refuse();
    return;
  }
  // The reader of the file's kind starts from its beginning.
  int mode = mode_of(name);
  if (fseeko(f, 0, SEEK_SET) != 0) perror("fseeko");
  PlaybackDisplayOps &d = playback_display_ops;
  // The decoding of the file before must have let go before this one is
  // set up, however quickly it follows.
  e->stream_mode = mode;
  uint32_t gen = ++g_generation;
  if (gen == 0) gen = ++g_generation;
  for (int i = 0; i < 500 && !quitting(); i++) {
    uint32_t running = g_decoder_generation;
    if (running == 0 || running == gen) break;
    if (i == 499) log_printf("%s: decoding of file %u still running\n", e->env.name, running);
    sleep_ms(10);
  }
  playback_rates = {};
  g_position = 0;
  g_first_picture = 0;
  return_full_frames();
  if (e->audio) e->audio->passthru = 0;
  int saved_mode = d.get_mode();
  d.set_mode(PLAYBACK_DISPLAY_MODE);
  int32_t saved0 = d.get_setting(0), saved1 = d.get_setting(1);
  d.set_setting(0, 0);
  d.set_setting(1, 0);
  d.wakeup();
  log_printf("%s: output_filename=%s, in=%d out=%d\n", e->env.name, name,
             Fifo_getNumEntries(d.full_fifo), Fifo_getNumEntries(d.free_fifo));
  g_playing = 1;
  if (mode == 13) playback_mp4(e, f, fd);
  else if (mode == 0) playback_ts(e, f);
  else playback_jpg(e, f);
  g_playing = 0;
  const ParamBlock *pb = (const ParamBlock *)e->env.params;
  if (!pb) pb = get_param_block();
  if (e->audio) e->audio->passthru = pb->dvr_audio_passthru ? 1 : 0;
  if (d.get_mode() == PLAYBACK_DISPLAY_MODE) {
    d.set_mode(saved_mode);
    d.set_setting(0, saved0);
  }
  d.set_setting(1, saved1);
  d.wakeup();
  log_printf("%s: mux=%p file=%p\n", e->env.name, (void *)g_mp4, (void *)f);
  fclose(f);
}

}  // namespace

int playback_check_file(FILE *f, int fd, const char *name, char *why, size_t size) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    snprintf(why, size, "input file could not be opened");
    return -1;
  }
  if (st.st_size == 0) {
    snprintf(why, size, "zero-length file can't be played");
    return -1;
  }
  int mode = mode_of(name);
  if (mode < 0) {
    snprintf(why, size, "cannot determine file format");
    return -1;
  }
  if (mode != 13) return 0;
  Mp4Muxer *m = mp4_new_reader();
  if (!m) {
    snprintf(why, size, "failed to create mp4 reader");
    return -1;
  }
  mp4_set_stream_fds(m, fd, -1);
  mp4_set_file(m, f);
  int rc = mp4_read_check(m, why, size);
  mp4_delete(m);
  return rc;
}

size_t jpeg_frame_end(const uint8_t *p, size_t n) {
  size_t i = 2;
  while (i + 4 <= n) {
    if (p[i] != 0xFF) break;  // not a marker: fall back to the search
    uint8_t mk = p[i + 1];
    if (mk == 0xFF) {
      i++;
      continue;
    }
    if (mk == 0xD9) return i + 2;
    if (mk == 0x01 || (mk >= 0xD0 && mk <= 0xD7)) {
      i += 2;
      continue;
    }
    size_t len = ((size_t)p[i + 2] << 8) | p[i + 3];
    if (len < 2) break;
    i += 2 + len;
    if (mk == 0xDA) break;
  }
  for (; i + 1 < n; i++)
    if (p[i] == 0xFF && p[i + 1] == 0xD9) return i + 2;
  return 0;
}

size_t jpeg_next_start(const uint8_t *p, size_t n, size_t from) {
  for (size_t i = from; i + 2 < n; i++)
    if (p[i] == 0xFF && p[i + 1] == 0xD8 && p[i + 2] == 0xFF) return i;
  return n;
}

int playback_fps(void) { return playback_rates.count25 > playback_rates.count30 ? 25 : 30; }

void playback_set_filename(const char *path) {
  std::lock_guard<std::mutex> l(g_name_lock);
  snprintf(g_filename, sizeof g_filename, "%s", path ? path : "");
}

void playback_get_filename(char *out, size_t size) {
  if (!out || !size) return;
  std::lock_guard<std::mutex> l(g_name_lock);
  snprintf(out, size, "%s", g_filename);
}

uint64_t playback_position(void) { return g_position; }
uint32_t playback_generation(void) { return g_generation; }
void playback_set_decoder_generation(uint32_t generation) { g_decoder_generation = generation; }
int playback_playing(void) { return g_playing; }
uint32_t playback_first_picture_time(void) { return g_first_picture; }
void playback_note_first_picture(uint32_t t) { g_first_picture = t ? t : 1; }

size_t playback_picture_space(void) { return kBigbufSize - kInputs * kInputSize; }

BufTab_Handle playback_buftab_create(size_t picture_size) {
  if (!g_bigbuf || picture_size == 0) return nullptr;
  size_t n = playback_picture_space() / picture_size;
  if (n > (size_t)kMaxPictures) n = kMaxPictures;
  if (n == 0) return nullptr;
  BufferGfx_Attrs gfx = BufferGfx_Attrs_DEFAULT;
  gfx.bAttrs.reference = true;
  gfx.bAttrs.useMask = 3;
  BufTab_Handle t = BufTab_createGfx((int)n, 0, &gfx);
  if (!t) return nullptr;
  for (size_t i = 0; i < n; i++) {
    Buffer_Handle b = BufTab_getBuf(t, (int)i);
    Buffer_setUserPtr(b, (int8_t *)(g_bigbuf + kInputs * kInputSize + i * picture_size));
    Buffer_setSize(b, picture_size);
    Buffer_setUseMask(b, 0);
  }
  return t;
}

Engine_Handle playback_engine;

void *playback_file(void *arg) {
  OutputEnv *e = (OutputEnv *)arg;
  playback_output = e;
  e->status = 0;
  stream_register(&g_ps, nullptr, OUTPUT_STREAM);
  const char *engine = e->engine ? e->engine : "encode";
  playback_engine = Engine_open(engine, nullptr, nullptr);
  if (!playback_engine) {
    log_error("%s %d: Failed to open codec engine %s\n", e->env.name, __LINE__, engine);
    e->status = -1;
  } else if (!(g_bigbuf = (uint8_t *)CMEM_alloc(kBigbufSize, 32))) {
    log_error("failed to allocate output bigbuf\n");
    e->status = -1;
  } else {
    Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
    ref.reference = true;
    for (int i = 0; i < kInputs; i++) {
      g_inputs[i] = Buffer_create(0, &ref);
      if (!g_inputs[i]) {
        e->status = -1;
        break;
      }
      Buffer_setUserPtr(g_inputs[i], (int8_t *)(g_bigbuf + i * kInputSize));
      Buffer_setSize(g_inputs[i], kInputSize);
      log_printf("output_hd buf %d %p\n", i, (void *)(g_bigbuf + i * kInputSize));
      g_frames[i] = {g_inputs[i], 0, 0};
      Fifo_put(playback_display_ops.free_fifo, &g_frames[i]);
    }
  }
  myRendezvousInit(e->env.start_rendezvous, e->env.name);
  while (!quitting() && e->status == 0) {
    // The stop of every stream at quit may come before a wait: look at the
    // quit flag between short waits.
    if (stream_get_state_by_id(OUTPUT_STREAM) != 1) {
      sleep_ms(100);
      continue;
    }
    stream_state_wait_start(&g_ps);
    play_one(e);
  }
  myRendezvousCleanup(e->env.cleanup_rendezvous, e->env.name);
  for (Buffer_Handle &b : g_inputs) {
    if (b) Buffer_delete(b);
    b = nullptr;
  }
  if (g_bigbuf) CMEM_free(g_bigbuf);
  g_bigbuf = nullptr;
  if (playback_engine) Engine_close(playback_engine);
  playback_engine = nullptr;
  playback_output = nullptr;
  return nullptr;
}
