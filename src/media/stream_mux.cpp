#include "media/stream_mux.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include "core/hwreg.h"
#include "core/log.h"
#include "formats/flv.h"
#include "formats/mp4_write.h"
#include "formats/tsmux.h"

namespace {

// Audio that comes more than this before the first muxed frame is dropped.
constexpr int32_t kFirstFrameAudioTicks = 1000;
// TS: the PCR runs this far ahead of the video PTS.
constexpr uint32_t kPcrLead = 900;
// A larger gap between two video frames of a TS consumer is logged.
constexpr int32_t kGapTicks = 90000;
// Bytes a sample adds to an MP4 memory window: its own 'mdat' box header.
constexpr uint32_t kMp4WindowBox = 8;

// Where one dequeue's container bytes go.
struct Output {
  uint8_t *p;     // NULL: the muxer writes to its own output
  size_t cap;
  size_t n;       // bytes produced
};

TsMux *ts_create(uint8_t mode, bool audio) {
  TsMux *ts = tsmux_new();
  if (!ts) return nullptr;
  ts->pmt_pid = 0x100;
  ts->pcr_pid = 0x1001;
  ts->video.pid = 0x1011;
  uint8_t video = stream_mode_video_es(mode);
  ts->video.stream_type = video == VIDEO_TYPE_H264 ? 0x1B : video == VIDEO_TYPE_MPEG4 ? 0x10 : 0;
  ts->video.profile_idc = 100;
  ts->video.level_idc = 40;
  // Far enough before the first clock value that the first write carries
  // the tables.
  ts->last_psi_time = 0x100000;
  if (audio) {
    ts->audio.registration = 0;
    if (stream_mode_audio_type(mode) == AUDIO_TYPE_AAC) {
      ts->audio.pid = 0x1100;
      ts->audio.stream_type = 0x0F;
    } else {
      // PCM travels as SMPTE 302M.
      ts->audio.pid = 0x101;
      ts->audio.stream_type = 0x06;
      ts->audio.registration = 1;
      memcpy(ts->audio.format_id, "BSSD", 4);
    }
  }
  return ts;
}

FlvMux *flv_create(bool aac) {
  FlvMux *flv = flv_new();
  if (!flv) return nullptr;
  if (aac) {
    flv->audio_codec_id = 10;
    flv->audiodatarate = 200.0;
    flv->audiosamplerate = 48000.0;
    flv->audio_sample_size = 16;
    flv->stereo = 1;
    flv->aac_packet_type = 1;
  }
  flv->video_codec_id = 7;
  flv->videodatarate = 2500000.0;
  flv->width = 640;
  flv->height = 480;
  flv->framerate = 29.97;
  flv->avc_packet_type = 1;
  return flv;
}

// Deletes the handle of the given mux type without finishing anything.
void mux_delete(void *mux, uint8_t mux_type) {
  switch (mux_type) {
    case MUX_TS: tsmux_delete((TsMux *)mux); break;
    case MUX_FLV: flv_delete((FlvMux *)mux); break;
    case MUX_MP4: mp4_delete((Mp4Muxer *)mux); break;
    default: break;
  }
}

void mux_buf_alloc(StreamState *state) {
  FrameDesc *f = (FrameDesc *)calloc(1, sizeof *f);
  if (!f) {
    log_printf("%s: failed to allocate muxBuf\n", "muxer_attach");
    return;
  }
  Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
  attrs.reference = true;
  f->buf = Buffer_create(STREAM_MUX_BUF_SIZE, &attrs);
  if (!f->buf) {
    log_printf("%s: failed to allocate muxer buf for stream\n", "muxer_attach");
    free(f);
    return;
  }
  void *mem = malloc(STREAM_MUX_BUF_SIZE);
  if (mem)
    Buffer_setUserPtr(f->buf, (int8_t *)mem);
  else
    log_printf("%s: failed to allocate muxer buf for stream\n", "muxer_attach");
  state->muxBuf = f;
}

int muxer_attach(StreamState *state, uint8_t mode) {
  // A muxer left by an earlier attach (muxer_free not called) is replaced;
  // its output may be gone, so it is not finished.
  if (state->mux) mux_delete(state->mux, state->mux_type);
  state->mux = nullptr;
  state->mux_type = stream_mode_mux_type(mode);
  if (state->startTS) {
    state->videoTS = state->startTS - state->video_duration;
    state->audioTS = state->startTS - state->audio_duration;
    log_printf("muxer state startTS=%u videoTS=%u audioTS=%u\n", state->startTS, state->videoTS,
               state->audioTS);
  }
  state->flags &= ~STREAM_STATE_FLV_HEADER;
  bool audio = state->streamq2 != nullptr;
  switch (state->mux_type) {
    case MUX_FLV:
      state->mux = flv_create(audio && stream_mode_audio_type(mode) == AUDIO_TYPE_AAC);
      state->flags |= STREAM_STATE_FLV_HEADER;
      break;
    case MUX_MP4: state->mux = mp4_new(); break;
    case MUX_TS: state->mux = ts_create(mode, audio); break;
    default: break;
  }
  if (!state->mux) {
    log_printf("%s: failed to create muxer mux_type=%d\n", "muxer_attach", state->mux_type);
    return -1;
  }
  if (!state->muxBuf) mux_buf_alloc(state);
  return 0;
}

// Whether entry seq still holds what it held when it was looked up: the
// producer invalidates an entry before it reuses its bytes, so data read in
// between was intact.
bool entry_intact(StreamQueue *q, uint32_t seq, const StreamEntry &e) {
  StreamEntry now;
  pthread_mutex_lock(&q->mutex);
  int rc = ringbuffer_find_seq(q, seq, &now);
  pthread_mutex_unlock(&q->mutex);
  return rc == 0 && now.length == e.length && now.offset == e.offset;
}

void log_overwritten(StreamQueue *q, uint32_t seq) {
  log_printf("%s: %s seq %u was overwritten while it was muxed\n", "stream_mux_dequeue",
             stream_name(q), seq);
}

int latency_row(const StreamQueue *q) {
  if (q == stream_queues[VIDEO_STREAM1]) return LATENCY_MUX_VIDEO1;
  if (q == stream_queues[VIDEO_STREAM2]) return LATENCY_MUX_VIDEO2;
  return -1;
}

enum VideoResult { VIDEO_MUXED, VIDEO_DROPPED, VIDEO_MP4_ERROR };

// FLV tag time in ms of a unit at ts, on the consumer's 64-bit clock; a
// unit before startTS is at 0.
uint32_t flv_ms(const StreamState *state, uint32_t ts) {
  int64_t t = (int64_t)state->clock_ticks + (int32_t)(ts - state->clock_last);
  return t > 0 ? (uint32_t)((uint64_t)t / 90) : 0;
}

// Muxes the video unit; VIDEO_DROPPED when it does not fit the output (the
// output and the muxer are then as they were).
VideoResult mux_video(StreamState *state, Output *o, const StreamEntry &e, const uint8_t *data,
                      uint32_t *vts) {
  uint32_t len = e.length;
  bool key = e.flags & STREAM_FLAG_KEY;
  *vts = e.timestamp;
  switch (state->mux_type) {
    case MUX_FLV: {
      FlvMux *flv = (FlvMux *)state->mux;
      const FlvMux saved = *flv;
      size_t n = o->n;
      int r = 0;
      if (state->flags & STREAM_STATE_FLV_HEADER) {
        state->clock_ticks = 0;
        state->clock_last = state->startTS;
        r = flv_write_header(flv, o->p + n, o->cap - n);
        if (r >= 0) n += r;
        if (r >= 0 && flv->audio_codec_id == 10) {
          r = flv_write_aac_config(flv, o->p + n, o->cap - n);
          if (r >= 0) n += r;
        }
      }
      flv->video_ts = flv_ms(state, e.timestamp);
      if (r >= 0 && key) {
        r = flv_write_avc_config(flv, o->p + n, o->cap - n, &data, &len);
        if (r >= 0) n += r;
      }
      if (r >= 0) {
        flv->frame_type = key ? 1 : 2;
        // A unit that was all parameter sets is complete with its sequence
        // header.
        r = len ? flv_write_tag(flv, FLV_TAG_VIDEO, o->p + n, o->cap - n, data, len) : 0;
        if (r >= 0) n += r;
      }
      if (r < 0) {
        *flv = saved;
        return VIDEO_DROPPED;
      }
      state->flags &= ~STREAM_STATE_FLV_HEADER;
      o->n = n;
      return VIDEO_MUXED;
    }
    case MUX_MP4: {
      Mp4Muxer *m = (Mp4Muxer *)state->mux;
      int32_t dur = (int32_t)(e.timestamp - state->videoTS);
      if (dur < 0) {
        log_printf("video duration is negative %d\n", dur);
        dur = (int32_t)(state->video_duration / 2);
        *vts = state->videoTS + (uint32_t)dur;
      } else if (dur > 90000) {
        log_printf("whoa duration=%u, started=%u\n", (uint32_t)dur,
                   timestamp_now() - state->startTS);
      }
      if (o->p) {
        if (len + kMp4WindowBox > o->cap) return VIDEO_DROPPED;
        mp4_buf_put(m, o->p, (uint32_t)o->cap);
      }
      mp4_write_track(m, 1, data, len, (uint32_t)dur);
      if (mp4_get_error(m)) return VIDEO_MP4_ERROR;
      o->n = len + kMp4WindowBox;  // an upper bound until mp4_buf_get
      return VIDEO_MUXED;
    }
    case MUX_TS: {
      TsMux *ts = (TsMux *)state->mux;
      uint32_t pts = e.timestamp - state->startTS;
      ts->clock = pts + kPcrLead;
      ts->video.key = key;
      int32_t gap = (int32_t)(pts - ts->video.prev_pts);
      if (gap > kGapTicks) log_printf("TS rel=%ums\n", (uint32_t)gap / 90);
      ts->video.pts = pts;
      int r = tsmux_write(ts, ts->video.pid, o->p + o->n, o->cap - o->n, data, len);
      if (r < 0) return VIDEO_DROPPED;
      o->n += r;
      return VIDEO_MUXED;
    }
    default:
      return VIDEO_DROPPED;
  }
}

enum AudioResult { AUDIO_WRITTEN, AUDIO_SKIPPED, AUDIO_NO_ROOM, AUDIO_MP4_ERROR };

// One audio unit at audio time atime, clamped to startTS.
AudioResult mux_audio(StreamState *state, Output *o, const StreamEntry &a, const uint8_t *data,
                      uint32_t atime) {
  int32_t rel = (int32_t)(atime - state->startTS);
  if (rel < 0) rel = 0;
  switch (state->mux_type) {
    case MUX_FLV: {
      FlvMux *flv = (FlvMux *)state->mux;
      flv->audio_ts = flv_ms(state, atime);
      int r = flv_write_tag(flv, FLV_TAG_AUDIO, o->p + o->n, o->cap - o->n, data, a.length);
      if (r == FLV_ENOSPC) return AUDIO_NO_ROOM;
      if (r < 0) return AUDIO_SKIPPED;
      o->n += r;
      return AUDIO_WRITTEN;
    }
    case MUX_MP4: {
      Mp4Muxer *m = (Mp4Muxer *)state->mux;
      uint32_t t = state->startTS + (uint32_t)rel;
      int32_t d = (int32_t)(t - state->audioTS);
      if (d <= 0) return AUDIO_SKIPPED;
      if (o->p && o->n + a.length + kMp4WindowBox > o->cap) return AUDIO_NO_ROOM;
      state->audioTS = t;
      mp4_write_track(m, 2, data, a.length, (uint32_t)d);
      if (mp4_get_error(m)) {
        log_printf("mp4 error writing audio\n");
        return AUDIO_MP4_ERROR;
      }
      if (o->p) o->n += a.length + kMp4WindowBox;
      return AUDIO_WRITTEN;
    }
    case MUX_TS: {
      TsMux *ts = (TsMux *)state->mux;
      uint32_t apts = (uint32_t)rel;
      if ((int32_t)(apts - ts->audio.prev_pts) <= 0) return AUDIO_SKIPPED;
      ts->audio.pts = apts;
      int r = tsmux_write(ts, ts->audio.pid, o->p + o->n, o->cap - o->n, data, a.length);
      if (r == TSMUX_ENOSPC) return AUDIO_NO_ROOM;
      if (r < 0) return AUDIO_SKIPPED;
      o->n += r;
      return AUDIO_WRITTEN;
    }
    default:
      return AUDIO_SKIPPED;
  }
}

// The audio units not later than the video unit at vts, without waiting.
void mux_audio_run(StreamState *state, Output *o, uint32_t vts) {
  StreamQueue *q2 = state->streamq2;
  bool first = state->startTS == vts;
  for (;;) {
    StreamEntry a;
    if (stream_queue_wait_seq(q2, &state->seq2, &state->resync, 2, 0, nullptr, &a) < 0) return;
    // Marks and dropped slots carry nothing: step over them.
    if (a.length == 0) {
      state->seq2++;
      continue;
    }
    // The VIDEO queue's pause offset: audio follows the video's time line.
    uint32_t atime = a.timestamp - (uint32_t)stream_queue_ts_offset(state->streamq);
    if ((int32_t)(atime - vts) > 0) return;
    uint32_t seq = state->seq2;
    if (first && (int32_t)(vts - atime) > kFirstFrameAudioTicks) {
      state->seq2++;
      continue;
    }
    // Kept to take back a unit that was overwritten while it was muxed.
    TsMux ts_saved{};
    FlvMux flv_saved{};
    if (state->mux_type == MUX_TS) ts_saved = *(TsMux *)state->mux;
    if (state->mux_type == MUX_FLV) flv_saved = *(FlvMux *)state->mux;
    size_t n = o->n;
    AudioResult r = mux_audio(state, o, a, q2->base + a.offset, atime);
    if (r == AUDIO_NO_ROOM) return;  // waits for the next dequeue
    state->seq2++;
    if (r == AUDIO_MP4_ERROR) return;
    if (r == AUDIO_WRITTEN && !entry_intact(q2, seq, a)) {
      log_overwritten(q2, seq);
      if (state->mux_type == MUX_TS) *(TsMux *)state->mux = ts_saved;
      if (state->mux_type == MUX_FLV) *(FlvMux *)state->mux = flv_saved;
      if (state->mux_type != MUX_MP4) o->n = n;
    }
  }
}

FrameDesc *muxer_dequeue(StreamState *state, int wait, const struct timespec *deadline) {
  StreamQueue *q = state->streamq;
  if (!q || !state->mux) return nullptr;
  for (;;) {
    StreamEntry e;
    if (stream_queue_wait_seq(q, &state->seq, &state->resync, 1, wait, deadline, &e) < 0)
      return nullptr;
    uint32_t seq = state->seq++;
    // A mark or a slot the producer took back: what follows may lean on a
    // unit that is gone, so go on at a key frame.
    if (e.length == 0) {
      state->resync |= 1;
      continue;
    }
    // Paused time is out of the stream's time line, for the video as for the
    // audio (mux_audio_run): picture and sound stay together after a pause.
    uint32_t produced = e.timestamp;
    e.timestamp -= (uint32_t)stream_queue_ts_offset(q);
    const uint8_t *data = q->base + e.offset;

    FrameDesc *mb = state->muxBuf;
    Output o = {nullptr, 0, 0};
    // Only an MP4 muxer has an output of its own.
    if (!mb && state->mux_type != MUX_MP4) return nullptr;
    if (mb) {
      if (!mb->buf) {
        log_printf("%s: state->muxBuf->buf is NULL\n", "stream_state_dequeue_timeout");
        return nullptr;
      }
      state->current = mb;
      o.p = (uint8_t *)Buffer_getUserPtr(mb->buf);
      if (!o.p) {
        log_printf("%s: state->muxBuf->buf UserPtr is NULL\n", "stream_state_dequeue_timeout");
        return nullptr;
      }
      o.cap = Buffer_getSize(mb->buf);
      mb->seq = seq;
      mb->flags = frame_desc_flags(mb->flags, e.flags);
      mb->timestamp = e.timestamp;
    }

    if (e.flags & STREAM_FLAG_JPEG) {
      if (!mb) return nullptr;
      if (e.length > o.cap) {
        log_printf("%s: JPEG of %u bytes does not fit the mux buffer\n", "stream_mux_dequeue",
                   e.length);
        return nullptr;
      }
      memcpy(o.p, data, e.length);
      if (!entry_intact(q, seq, e)) {
        log_overwritten(q, seq);
        return nullptr;
      }
      Buffer_setNumBytesUsed(mb->buf, e.length);
      return mb;
    }
    if (e.length >= 2 && data[0] == 0xFF && data[1] == 0xD8) {
      log_printf("attempting to mux JPEG, this is probably not what you want\n");
      return nullptr;
    }

    bool starts_here = state->startTS == 0;
    if (starts_here) {
      if (!(e.flags & STREAM_FLAG_KEY)) {
        log_printf("\nMUXED STREAM SHOULD START WITH KEYFRAME  age=%d ms seq=%u\n\n",
                   (int32_t)(timestamp_now() - produced) / 90, seq);
        state->flags |= STREAM_STATE_NEED_KEY;
        continue;
      }
      state->startTS = e.timestamp;
      state->videoTS = state->startTS - state->video_duration;
      state->audioTS = state->startTS - state->audio_duration;
      log_printf("state startTS=%u videoTS=%u audioTS=%u\n", state->startTS, state->videoTS,
                 state->audioTS);
    }
    if (e.flags & STREAM_FLAG_KEY)
      state->flags |= STREAM_STATE_KEYFRAME;
    else
      state->flags &= ~STREAM_STATE_KEYFRAME;

    // Kept to take the unit back should it be overwritten while it is muxed:
    // the muxer's counters and times, the FLV header still to come, and
    // where the stream starts.
    TsMux ts_saved{};
    FlvMux flv_saved{};
    if (state->mux_type == MUX_TS) ts_saved = *(TsMux *)state->mux;
    if (state->mux_type == MUX_FLV) flv_saved = *(FlvMux *)state->mux;
    uint8_t flags_saved = state->flags;
    uint32_t vts;
    VideoResult vr = mux_video(state, &o, e, data, &vts);
    if (vr == VIDEO_DROPPED) {
      log_printf("%s: %s seq %u: %u bytes do not fit the mux buffer, going on at the next key "
                 "frame\n", "stream_mux_dequeue", stream_name(q), seq, e.length);
      state->resync |= 1;
      // The stream starts, at time 0, with the first unit that went out.
      if (starts_here) state->startTS = 0;
      continue;
    }
    if (vr == VIDEO_MP4_ERROR) {
      if (mb) {
        mp4_buf_get((Mp4Muxer *)state->mux);
        Buffer_setNumBytesUsed(mb->buf, 0);
      }
      return mb;
    }
    if (!entry_intact(q, seq, e)) {
      log_overwritten(q, seq);
      state->resync |= 1;
      if (state->mux_type != MUX_MP4) {
        if (state->mux_type == MUX_TS) *(TsMux *)state->mux = ts_saved;
        if (state->mux_type == MUX_FLV) *(FlvMux *)state->mux = flv_saved;
        state->flags = (uint8_t)((state->flags & ~STREAM_STATE_FLV_HEADER) |
                                 (flags_saved & STREAM_STATE_FLV_HEADER));
        if (starts_here) state->startTS = 0;
        continue;
      }
    }
    if (state->mux_type == MUX_FLV) {
      state->clock_ticks += (uint64_t)(int64_t)(int32_t)(vts - state->clock_last);
      state->clock_last = vts;
    }

    int row = latency_row(q);
    if (row >= 0) stream_latency_add(row, produced);

    state->videoTS = vts;
    if (state->streamq2) mux_audio_run(state, &o, vts);

    if (state->mux_type == MUX_MP4) o.n = o.p ? mp4_buf_get((Mp4Muxer *)state->mux) : 0;
    if (mb) {
      Buffer_setNumBytesUsed(mb->buf, o.n);
      return mb;
    }
    // The unit went to the muxer's own file: the caller (and the drain at
    // detach) still learn that one was muxed, and which.
    FrameDesc *f = &state->internalBuf;
    f->seq = seq;
    f->flags = frame_desc_flags(f->flags, e.flags);
    f->timestamp = e.timestamp;
    state->current = f;
    return f;
  }
}

}  // namespace

void muxer_free_buf(StreamState *state) {
  FrameDesc *f = state->muxBuf;
  if (!f) return;
  if (f->buf) {
    free(Buffer_getUserPtr(f->buf));
    Buffer_delete(f->buf);
  }
  if (state->current == f) state->current = nullptr;
  free(f);
  state->muxBuf = nullptr;
}

void muxer_finish(StreamState *state) {
  if (!state->mux) return;
  if (state->mux_type == MUX_MP4) {
    Mp4Muxer *m = (Mp4Muxer *)state->mux;
    if (mp4_finish(m) < 0)
      log_printf("%s: mp4_finish: %s\n", "muxer_free", mp4_strerror(m) ? mp4_strerror(m) : "?");
  }
  mux_delete(state->mux, state->mux_type);
  state->mux = nullptr;
}

int muxer_restart(StreamState *state, uint8_t mode) {
  uint32_t video = state->videoTS, audio = state->audioTS;
  // A TS muxer still there hands on where its streams were.
  TsMux *old = state->mux && state->mux_type == MUX_TS ? (TsMux *)state->mux : nullptr;
  uint32_t vpts = old ? old->video.prev_pts : 0, apts = old ? old->audio.prev_pts : 0;
  if (muxer_attach(state, mode) < 0) return -1;
  if (state->startTS) {
    state->videoTS = video;
    state->audioTS = audio;
  }
  if (old && state->mux_type == MUX_TS) {
    ((TsMux *)state->mux)->video.prev_pts = vpts;
    ((TsMux *)state->mux)->audio.prev_pts = apts;
  }
  return 0;
}

void muxer_free(StreamState *state) {
  if (state->mux) {
    // Let a consumer still sending the last unit finish with it.
    usleep(10000);
    muxer_finish(state);
  }
  muxer_free_buf(state);
}

void stream_mux_init(void) {
  stream_mux_ops.attach = muxer_attach;
  stream_mux_ops.dequeue = muxer_dequeue;
  stream_mux_ops.free = muxer_free;
}
