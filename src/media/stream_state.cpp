#include "media/stream_state.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include "core/global.h"
#include "core/log.h"
#include "media/stream_producer.h"

StreamMuxOps stream_mux_ops;
volatile uint32_t menu_start_time;
LatencyStats stream_latency[LATENCY_ROWS];

namespace {

pthread_mutex_t latency_lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;

// A start point counts as recent up to this age.
constexpr int32_t kRecentTicks = 90000;
constexpr size_t kInternalBufSize = 0x100000;
constexpr size_t kSecondBufSize = 4096;

// Sequence number of the entry in the slot `back` places behind head.
uint32_t seq_at(const StreamQueue *q, uint32_t back) { return q->next_seq - back; }
const StreamEntry &slot_at(const StreamQueue *q, uint32_t back) {
  return q->entries[(q->head - back) & q->index_mask];
}
uint32_t slots_in_use(const StreamQueue *q) { return (q->head - q->tail) & q->index_mask; }

// With the lock held. Walks back from the newest entry over the valid ones;
// newest: stop at the first start point, else go on to the oldest one.
bool find_start_point(const StreamQueue *q, bool newest, uint32_t *seq, StreamEntry *entry) {
  bool found = false;
  uint32_t n = slots_in_use(q);
  for (uint32_t back = 1; back <= n; back++) {
    const StreamEntry &e = slot_at(q, back);
    if (e.length == 0) break;
    if (!stream_is_start_point(e.flags)) continue;
    found = true;
    *seq = seq_at(q, back);
    *entry = e;
    if (newest) break;
  }
  return found;
}

// Points frame's reference buffer at the entry's data.
bool frame_point(StreamQueue *q, FrameDesc *frame, const StreamEntry &e) {
  Buffer_Handle b = frame->buf;
  bool ok = Buffer_setUserPtr(b, (int8_t *)(q->base + e.offset)) == 0;
  if (Buffer_getSize(b) < e.length) Buffer_setSize(b, e.length);
  Buffer_setNumBytesUsed(b, e.length);
  return ok;
}

Buffer_Handle reference_buffer(size_t size) {
  Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
  attrs.reference = true;
  return Buffer_create(size, &attrs);
}

int latency_row(const StreamQueue *q, bool muxed) {
  if (q == stream_queues[VIDEO_STREAM1]) return muxed ? LATENCY_MUX_VIDEO1 : LATENCY_RAW_VIDEO1;
  if (q == stream_queues[VIDEO_STREAM2]) return muxed ? LATENCY_MUX_VIDEO2 : LATENCY_RAW_VIDEO2;
  return -1;
}

FrameDesc *dq_buf(StreamQueue *queue, uint32_t *seq, FrameDesc *frame, uint8_t *resync,
                  uint8_t bit, int wait) {
  if (!queue) return nullptr;
  StreamEntry e;
  if (stream_queue_wait_seq(queue, seq, resync, bit, wait, nullptr, &e) < 0) return nullptr;
  if (!frame->buf) {
    log_printf("%s: %s state->internalBuf->buf is NULL\n", "streamQueue_dqBuf", stream_name(queue));
    return nullptr;
  }
  frame_point(queue, frame, e);
  frame->timestamp = e.timestamp - (uint32_t)stream_queue_ts_offset(queue);
  frame->seq = *seq;
  frame->flags = frame_desc_flags(frame->flags, e.flags);
  *seq += 1;
  return frame;
}

void release_queues(StreamState *state) {
  stream_consumer_release(state->streamq);
  stream_consumer_release(state->streamq2);
  state->streamq = state->streamq2 = nullptr;
}

}  // namespace

uint8_t frame_desc_flags(uint8_t old, uint32_t entry_flags) {
  uint8_t f = old & 0x0B;
  if (entry_flags & STREAM_FLAG_KEY) f |= FRAME_KEY;
  if (entry_flags & STREAM_FLAG_SLICE) f |= FRAME_SLICE;
  if (entry_flags & STREAM_FLAG_SLICE_END) f |= FRAME_SLICE_END;
  if (entry_flags & STREAM_FLAG_FRAME) f |= FRAME_WHOLE;
  if (entry_flags & STREAM_FLAG_JPEG) f |= FRAME_JPEG;
  return f;
}

int stream_queue_wait_seq(StreamQueue *queue, uint32_t *seq, uint8_t *resync, uint8_t resync_bit,
                          int wait, const struct timespec *deadline, StreamEntry *entry) {
  uint8_t local = 0;
  if (!resync) resync = &local;
  int rc = -1;
  pthread_mutex_lock(&queue->mutex);
  for (;;) {
    if (ringbuffer_find_seq(queue, *seq, entry) == 0) {
      // Any key frame will do here, JPEG pictures included: a JPEG stream
      // has no other kind.
      if ((*resync & resync_bit) && !(entry->flags & STREAM_FLAG_KEY)) {
        *seq += 1;
        continue;
      }
      *resync &= ~resync_bit;
      rc = 0;
      break;
    }
    // A consumer waiting for the next entry is not behind: the count, a
    // walk over the ring under the lock, is for one that may be.
    int32_t behind = (int32_t)(queue->next_seq - *seq);
    int count = behind > 0 ? ringbuffer_count(queue) : 0;
    if (count > 0 && behind > count) {
      log_printf("%s: seq %u was lost, next seq is %u count=%d head=%d tail=%d (%s)\n",
                 stream_name(queue), *seq, queue->next_seq, count, (int)queue->head,
                 (int)queue->tail, getThreadName());
      // Looked up under the same lock, so the start point cannot vanish in
      // between.
      if (find_start_point(queue, false, seq, entry)) {
        *resync &= ~resync_bit;
        rc = 0;
        break;
      }
      // Nothing left to start from: resume at the next key frame published.
      *seq = queue->next_seq;
      *resync |= resync_bit;
      continue;
    }
    if (!wait || get_exit_code() != EXIT_RUNNING) break;
    if (deadline) {
      if (pthread_cond_timedwait(&queue->cond, &queue->mutex, deadline) == ETIMEDOUT)
        wait = 0;  // one more look, then give up
    } else {
      pthread_cond_wait(&queue->cond, &queue->mutex);
    }
  }
  pthread_mutex_unlock(&queue->mutex);
  return rc;
}

bool stream_recent_keyframe_at(StreamQueue *queue, uint32_t now, uint32_t *ts, uint32_t *seq) {
  StreamEntry e;
  uint32_t s;
  pthread_mutex_lock(&queue->mutex);
  bool found = find_start_point(queue, true, &s, &e);
  pthread_mutex_unlock(&queue->mutex);
  if (!found) return false;
  int32_t age = (int32_t)(now - e.timestamp);
  if (age >= kRecentTicks) {
    log_printf("%s: frame %u too old %u ms\n", "stream_recent_keyframe", s, (uint32_t)age / 90);
    return false;
  }
  if (ts) *ts = e.timestamp;
  if (seq) *seq = s;
  return true;
}

bool stream_recent_keyframe(StreamQueue *queue, uint32_t *ts, uint32_t *seq) {
  return stream_recent_keyframe_at(queue, timestamp_now(), ts, seq);
}

bool stream_oldest_keyframe(StreamQueue *queue, uint32_t *seq) {
  StreamEntry e;
  uint32_t s;
  pthread_mutex_lock(&queue->mutex);
  bool found = find_start_point(queue, false, &s, &e);
  pthread_mutex_unlock(&queue->mutex);
  if (found && seq) *seq = s;
  return found;
}

int stream_state_attach(uint32_t id, uint8_t mode, StreamState *state) {
  uint8_t audio_type = stream_mode_audio_type(mode);
  uint32_t audio_id = audio_type == AUDIO_TYPE_AAC ? AAC_STREAM
                      : audio_type == AUDIO_TYPE_PCM ? PCM_STREAM : STREAM_ID_NONE;
  state->streamq = get_stream_queue(id);
  state->streamq2 = nullptr;
  if (!state->streamq) {
    log_printf("%s: failed to attach to stream mode=0x%x id=%d id2=%d\n", "stream_state_attach",
               mode, (int)id, (int)audio_id);
    return -1;
  }
  // Joining a run that is ending: its tail and its end mark are not for
  // this consumer, which starts at the next run's first key frame.
  bool ending = stream_consumer_add(id);
  StreamQueue *q = state->streamq;
  state->resync = ending ? 1 : 0;

  uint32_t ts, seq;
  if (!ending && (state->flags & STREAM_STATE_RECENT_KEY) && stream_recent_keyframe(q, &ts, &seq)) {
    state->flags &= ~STREAM_STATE_NEED_KEY;
    state->startTS = ts;
    state->seq = seq;
  } else {
    state->flags |= STREAM_STATE_NEED_KEY;
    state->startTS = 0;
    pthread_mutex_lock(&q->mutex);
    state->seq = q->next_seq;
    pthread_mutex_unlock(&q->mutex);
  }
  state->current = nullptr;

  if (audio_id != STREAM_ID_NONE) {
    StreamQueue *q2 = get_stream_queue(audio_id);
    if (!q2) {
      log_printf("%s: failed to attach streamid=%d\n", "stream_state_attach", (int)audio_id);
      release_queues(state);
      return -1;
    }
    state->streamq2 = q2;
    stream_consumer_add(audio_id);
    pthread_mutex_lock(&q2->mutex);
    state->seq2 = q2->next_seq;
    pthread_mutex_unlock(&q2->mutex);
    log_printf("getting stream2 buf\n");
    // Audio from before the first video unit is of no use.
    while (FrameDesc *a = stream_state_dequeue2(state)) {
      if ((int32_t)(a->timestamp - state->startTS) >= 0) {
        log_printf("video ts=%u audio ts=%u diff=%d\n", state->startTS, a->timestamp,
                   (int)(a->timestamp - state->startTS));
        break;
      }
    }
    log_printf("stream2 attach strmid=%d seq=%u seq2=%u\n", (int)audio_id, state->seq,
               state->seq2);
  }

  uint8_t mux_type = stream_mode_mux_type(mode);
  if (mux_type == MUX_NONE) {
    state->mux_type = MUX_NONE;
    const char *name = stream_name(q);
    thread_enter_hook(name);
    if (!state->internalBuf.buf) state->internalBuf.buf = reference_buffer(kInternalBufSize);
    if (stream_mode_video_es(mode) != VIDEO_TYPE_NONE && !state->buf2.buf)
      state->buf2.buf = reference_buffer(kSecondBufSize);
    thread_exit_hook(name);
    return 0;
  }
  if (!stream_mux_ops.attach) {
    log_printf("%s: mux type %d is not available\n", "stream_state_attach", mux_type);
    release_queues(state);
    return -1;
  }
  // The muxer still sees the mux type of an earlier attach, whose muxer it
  // replaces.
  if (stream_mux_ops.attach(state, mode) < 0) {
    release_queues(state);
    return -1;
  }
  state->mux_type = mux_type;
  return 0;
}

void stream_state_detach(StreamState *state) {
  if (!state->streamq) return;
  stream_consumer_release(state->streamq);
  stream_consumer_release(state->streamq2);
  // A muxer that writes to its own output (the recorder's) takes what is
  // already published with it.
  if (state->mux_type != MUX_NONE && state->mux && !state->muxBuf && stream_mux_ops.dequeue) {
    StreamQueue *q = state->streamq;
    pthread_mutex_lock(&q->mutex);
    uint32_t newest = q->next_seq - 1;
    pthread_mutex_unlock(&q->mutex);
    log_printf("flush rel=%d  (mux=%p, buf=%p) \n", (int)(newest - state->seq), state->mux,
               (void *)state->muxBuf);
    while ((int32_t)(newest - state->seq) > 0)
      if (!stream_mux_ops.dequeue(state, 0, nullptr)) break;
  }
  if (state->internalBuf.buf) Buffer_delete(state->internalBuf.buf);
  if (state->buf2.buf) Buffer_delete(state->buf2.buf);
  state->internalBuf.buf = state->buf2.buf = nullptr;
  state->current = nullptr;
  state->streamq = state->streamq2 = nullptr;
}

// The CLOCK_MONOTONIC deadline timeout_ms from now; false when the clock
// cannot be read.
static bool deadline_in(uint32_t timeout_ms, struct timespec *deadline) {
  if (clock_gettime(CLOCK_MONOTONIC, deadline) != 0) {
    log_printf("clock_gettime: %s\n", strerror(errno));
    return false;
  }
  deadline->tv_sec += timeout_ms / 1000;
  deadline->tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
  if (deadline->tv_nsec >= 1000000000L) {
    deadline->tv_sec += 1;
    deadline->tv_nsec -= 1000000000L;
  }
  return true;
}

static FrameDesc *dequeue_until(StreamState *state, const struct timespec *dl);

static FrameDesc *dequeue(StreamState *state, uint32_t timeout_ms) {
  struct timespec deadline, *dl = nullptr;
  if (timeout_ms) {
    if (!deadline_in(timeout_ms, &deadline)) return nullptr;
    dl = &deadline;
  }
  return dequeue_until(state, dl);
}

// dl NULL: no limit; a deadline already passed: only what is there now.
static FrameDesc *dequeue_until(StreamState *state, const struct timespec *dl) {
  StreamQueue *q = state->streamq;
  if (!q) {
    log_printf("state=%p state->streamq is NULL!  (forgot to stream_attach?)\n", (void *)state);
    return nullptr;
  }
  if (state->mux_type != MUX_NONE) {
    if (!stream_mux_ops.dequeue) return nullptr;
    return stream_mux_ops.dequeue(state, 1, dl);
  }
  StreamEntry e;
  if (stream_queue_wait_seq(q, &state->seq, &state->resync, 1, 1, dl, &e) < 0) return nullptr;
  FrameDesc *f = &state->internalBuf;
  f->seq = state->seq++;
  if (!f->buf) {
    log_printf("%s: internalBuf has no buf\n", "stream_state_dequeue_timeout");
    return nullptr;
  }
  if (!frame_point(q, f, e)) log_printf("Failed to setUserPtr on internalBuf\n");
  f->timestamp = e.timestamp;
  f->flags = frame_desc_flags(f->flags, e.flags);
  int row = latency_row(q, false);
  if (row >= 0) stream_latency_add(row, e.timestamp);
  state->current = f;
  return f;
}

FrameDesc *stream_state_dequeue_timeout(StreamState *state, uint32_t timeout_ms) {
  return dequeue(state, timeout_ms);
}

FrameDesc *stream_state_dequeue(StreamState *state) { return dequeue(state, 0); }

FrameDesc *stream_state_dequeue_ready(StreamState *state) {
  struct timespec now;
  if (!deadline_in(0, &now)) return nullptr;
  return dequeue_until(state, &now);
}

int stream_state_peek(StreamState *state, uint32_t timeout_ms, StreamEntry *entry) {
  StreamQueue *q = state->streamq;
  if (!q) return -1;
  struct timespec deadline, *dl = nullptr;
  if (timeout_ms) {
    if (!deadline_in(timeout_ms, &deadline)) return -1;
    dl = &deadline;
  }
  return stream_queue_wait_seq(q, &state->seq, &state->resync, 1, 1, dl, entry);
}

FrameDesc *stream_state_dequeue_raw(StreamState *state) {
  return dq_buf(state->streamq, &state->seq, &state->internalBuf, &state->resync, 1, 0);
}

FrameDesc *stream_state_dequeue2(StreamState *state) {
  return dq_buf(state->streamq2, &state->seq2, &state->buf2, &state->resync, 2, 0);
}

FrameDesc *streamQueue_dqBuf(StreamQueue *queue, uint32_t *seq, FrameDesc *frame, int wait) {
  return dq_buf(queue, seq, frame, nullptr, 1, wait);
}

int stream_state_fill_percent(StreamState *state) {
  StreamQueue *q = state->streamq;
  if (!q || !q->size) return 0;
  uint64_t bytes = 0;
  pthread_mutex_lock(&q->mutex);
  uint32_t back = q->next_seq - state->seq;
  // A consumer that has already lost entries has all the ring left to read.
  uint32_t n = slots_in_use(q);
  if (back > n) back = n;
  for (; back >= 1; back--) {
    const StreamEntry &e = slot_at(q, back);
    if (e.length == 0) break;
    bytes += (e.length + q->align_mask) & ~q->align_mask;
  }
  uint32_t size = q->size;
  pthread_mutex_unlock(&q->mutex);
  return (int)(bytes * 100 / size);
}

uint32_t stream_state_elapsed(StreamState *state) {
  uint32_t now = timestamp_now();
  if (!state) {
    StreamQueue *v1 = stream_queues[VIDEO_STREAM1];
    int32_t off = v1 ? stream_queue_ts_offset(v1) : 0;
    return now - (uint32_t)off - menu_start_time;
  }
  if (!state->streamq || state->startTS == 0) return 0;
  return now - (uint32_t)stream_queue_ts_offset(state->streamq) - state->startTS;
}

void stream_latency_add(int row, uint32_t timestamp) {
  if (row < 0 || row >= LATENCY_ROWS) return;
  pthread_mutex_lock(&latency_lock);
  latency_stats_add(&stream_latency[row], timestamp);
  pthread_mutex_unlock(&latency_lock);
}

void stream_latency_take(int row, LatencyStats *out) {
  if (row < 0 || row >= LATENCY_ROWS) return;
  pthread_mutex_lock(&latency_lock);
  *out = stream_latency[row];
  stream_latency[row] = LatencyStats{9000000, 0, 0, 0};
  pthread_mutex_unlock(&latency_lock);
}
