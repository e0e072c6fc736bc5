// HTTP Live Streaming: per channel letter, a segmenter thread cuts the
// channel's MPEG-TS (with AAC) into segments at key frames and keeps the
// newest five in rotating slots; the playlist lists the held ones and the
// segment rows ("streamA0.ts" ... "streamA4.ts") serve them.
//
// Segment numbers grow for as long as a thread runs; segment n is in slot
// n mod 5. The segment being cut has a buffer of its own, so that every slot
// always holds a whole segment: the oldest held one stays there for a whole
// segment after it left the playlist, for clients that fetch it late.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "core/global.h"
#include "core/log.h"
#include "formats/tsmux.h"
#include "media/stream_mux.h"
#include "media/stream_state.h"
#include "web/http_stream.h"
#include "web/web_wait.h"

namespace {

constexpr int kSlots = 5;
// The playlist lists this many of the held segments, the newest ones.
constexpr uint32_t kListed = kSlots - 1;
// A segment ends at the first key frame after this many units.
constexpr uint32_t kMinUnits = 30;
// The thread ends once more segments than this went by without a playlist
// request.
constexpr uint32_t kIdleSegments = 4;
constexpr uint32_t kRequestWaitMs = 20000;
constexpr uint32_t kTicksPerSecond = 90000;

struct HlsSlot {
  uint8_t *buffer;
  size_t length;       // 0: nothing held
  size_t capacity;
  uint32_t duration;   // 90 kHz ticks, measured
};

struct HlsContext {
  pthread_mutex_t mutex;
  pthread_cond_t cond;          // CLOCK_MONOTONIC; a segment was held, or the thread ended
  int running;                  // a thread runs (or is being started)
  StreamState state;            // the thread's consumer
  HlsSlot slots[kSlots];
  uint32_t produced;            // segments completed by this thread
  uint32_t requested;           // produced at the last playlist request
  uint32_t target;              // whole seconds no listed segment exceeds
  char letter;
  uint32_t stream_id;
};

HlsContext contexts[2] = {{PTHREAD_MUTEX_INITIALIZER, {}, 0, {}, {}, 0, 0, 0, 'A', VIDEO_STREAM1},
                          {PTHREAD_MUTEX_INITIALIZER, {}, 0, {}, {}, 0, 0, 0, 'B', VIDEO_STREAM2}};
pthread_once_t conds_once = PTHREAD_ONCE_INIT;

void init_conds(void) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  for (HlsContext &c : contexts) pthread_cond_init(&c.cond, &attr);
  pthread_condattr_destroy(&attr);
}

// The context of the letter after "stream" in the URL.
HlsContext *url_context(const char *url) {
  pthread_once(&conds_once, init_conds);
  const char *p = url ? strstr(url, "stream") : nullptr;
  return p && p[6] == 'A' ? &contexts[0] : &contexts[1];
}

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }

// With the context's mutex held: starts the segmenter when none runs.
void start_thread(HlsContext *c) {
  if (c->running) return;
  c->produced = 0;
  c->requested = 0;
  c->target = 1;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t th;
  int rc = pthread_create(&th, &attr, hls_thread, c);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    log_printf("%s: cannot start the hls thread: %s\n", "hls_start", strerror(rc));
    return;
  }
  pthread_setname_np(th, c->letter == 'A' ? "hlsA" : "hlsB");
  c->running = 1;
}

// With the context's mutex held: waits until ready(c) holds, the process
// quits or the request has waited long enough. A segmenter that is not
// running (or ends meanwhile, having gone idle) is started, once more at
// most. Waits in slices so that a quit is seen even without a wake-up.
template <typename Ready>
bool wait_for(HlsContext *c, Ready ready) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += kRequestWaitMs / 1000;
  int starts = 0;
  while (!ready(c)) {
    if (quitting()) return false;
    if (!c->running) {
      if (starts++ == 2) return false;
      start_thread(c);
      if (!c->running) return false;
    }
    timespec slice;
    clock_gettime(CLOCK_MONOTONIC, &slice);
    if (slice.tv_sec >= deadline.tv_sec) return false;
    slice.tv_sec += 1;
    pthread_cond_timedwait(&c->cond, &c->mutex, &slice);
  }
  return true;
}

// With the context's mutex held, for a request that is the reply itself:
// when ready(c) does not hold yet, the request is suspended (true, with
// page->suspend set) until the segmenter wakes it, starting the segmenter on
// its first call; false once it may wait no more, or when the segmenter it
// started has ended without giving what it waits for.
template <typename Ready>
bool suspend_for(HlsContext *c, PageBuffer *page, Ready ready) {
  if (ready(c)) return false;
  int *starts = nullptr;
  if (!web_may_wait(page->request, kRequestWaitMs, &starts) || quitting()) return false;
  if (!c->running) {
    // A segmenter that ends without giving anything is started once more.
    if ((*starts)++ == 2) {
      web_wait_done(page->request->connection);
      return false;
    }
    start_thread(c);
    if (!c->running) return false;
  }
  page->suspend = 1;
  return true;
}

// Appends len bytes to the segment being cut, growing its buffer in 64 KiB
// steps. false when no memory.
bool segment_append(HlsSlot *cur, const uint8_t *data, size_t len) {
  size_t need = cur->length + len;
  if (need > cur->capacity) {
    size_t cap = (need + 0x10000) & ~(size_t)0xFFFF;
    uint8_t *p = static_cast<uint8_t *>(realloc(cur->buffer, cap));
    if (!p) {
      log_printf("%s: failed to realloc %u bytes\n", "hls_thread", (unsigned)cap);
      return false;
    }
    cur->buffer = p;
    cur->capacity = cap;
  }
  memcpy(cur->buffer + cur->length, data, len);
  cur->length = need;
  return true;
}

// Hands the finished segment to its slot and takes the slot's old buffer
// over for the next one.
void segment_close(HlsContext *c, HlsSlot *cur, uint32_t duration) {
  pthread_mutex_lock(&c->mutex);
  HlsSlot &s = c->slots[c->produced % kSlots];
  HlsSlot old = s;
  s = *cur;
  s.duration = duration;
  uint32_t secs = (duration + kTicksPerSecond - 1) / kTicksPerSecond;
  if (secs > c->target) c->target = secs;
  c->produced++;
  pthread_cond_broadcast(&c->cond);
  pthread_mutex_unlock(&c->mutex);
  web_wake_waiters();
  *cur = old;
  cur->length = 0;
}

// The next muxed unit begins with the program tables: a segment must be
// decodable on its own, and any unit from here on may start one.
void tables_next(StreamState *st) {
  if (st->mux_type != MUX_TS || !st->mux) return;
  TsMux *m = static_cast<TsMux *>(st->mux);
  m->last_psi_time = m->clock - TSMUX_PSI_INTERVAL;
}

}  // namespace

void *hls_thread(void *arg) {
  HlsContext *c = static_cast<HlsContext *>(arg);
  StreamState *st = &c->state;
  // Nothing is left of an earlier run: its muxer went with it.
  memset(st, 0, sizeof *st);
  st->flags = STREAM_STATE_RECENT_KEY;
  st->video_duration = HTTP_VIDEO_DURATION;
  st->audio_duration = HTTP_AUDIO_DURATION;
  HlsSlot cur = {};
  if (stream_state_attach(c->stream_id, StreamMode_H264_AAC_TS, st) == 0) {
    log_printf("starting hls thread\n");
    uint32_t units = 0;
    uint32_t seg_start = 0;
    for (;;) {
      pthread_mutex_lock(&c->mutex);
      bool idle = c->produced > c->requested + kIdleSegments;
      pthread_mutex_unlock(&c->mutex);
      if (idle) break;
      if (units >= kMinUnits) tables_next(st);
      FrameDesc *f = stream_state_dequeue_timeout(st, HTTP_UNIT_WAIT_MS);
      if (!f) break;
      size_t len = Buffer_getNumBytesUsed(f->buf);
      const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(f->buf);
      if (!len || !data) break;
      // A JPEG picture passed through unmuxed: the channel is not coding
      // video that a playlist can carry.
      if (f->flags & FRAME_JPEG) {
        log_printf("%s: JPEG picture in the stream\n", "hls_thread");
        break;
      }
      if (units == 0 && cur.length == 0) seg_start = f->timestamp;
      if (units > kMinUnits && (f->flags & FRAME_KEY)) {
        segment_close(c, &cur, f->timestamp - seg_start);
        seg_start = f->timestamp;
        units = 0;
      }
      if (!segment_append(&cur, data, len)) break;
      units++;
    }
    log_printf("stopping hls thread\n");
  }
  // Requests from here on wait for this thread to end and start another.
  pthread_mutex_lock(&c->mutex);
  c->produced = 0;
  c->requested = 0;
  for (HlsSlot &s : c->slots) {
    free(s.buffer);
    s = HlsSlot{};
  }
  pthread_mutex_unlock(&c->mutex);
  stream_state_detach(st);
  muxer_free(st);
  free(cur.buffer);
  pthread_mutex_lock(&c->mutex);
  c->running = 0;
  pthread_cond_broadcast(&c->cond);
  pthread_mutex_unlock(&c->mutex);
  web_wake_waiters();
  return nullptr;
}

void hls_playlist(PageBuffer *page) {
  HlsContext *c = url_context(page->request ? page->request->url : nullptr);
  page->content_type = "application/x-mpegURL";
  pthread_mutex_lock(&c->mutex);
  // A playlist lists whole segments only: the first request waits for one.
  auto any = [](HlsContext *x) { return x->produced > 0; };
  if (page->may_suspend && suspend_for(c, page, any)) {
    pthread_mutex_unlock(&c->mutex);
    return;
  }
  if (!(page->may_suspend ? any(c) : wait_for(c, any))) {
    pthread_mutex_unlock(&c->mutex);
    page->not_found = 1;
    return;
  }
  uint32_t first = c->produced > kListed ? c->produced - kListed : 0;
  page_printf(page, "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:%u\n#EXT-X-MEDIA-SEQUENCE:%u\n",
              c->target, first);
  for (uint32_t n = first; n < c->produced; n++) {
    const HlsSlot &s = c->slots[n % kSlots];
    page_printf(page, "#EXTINF:%u.%03u,\nstream%c%u.ts\n", s.duration / kTicksPerSecond,
                s.duration % kTicksPerSecond / 90, c->letter, n % kSlots);
  }
  c->requested = c->produced;
  pthread_mutex_unlock(&c->mutex);
}

void hls_segment(PageBuffer *page) {
  const char *url = page->request ? page->request->url : nullptr;
  HlsContext *c = url_context(url);
  page->content_type = "video/MP2T";
  size_t ulen = url ? strlen(url) : 0;
  int digit = ulen >= 4 ? url[ulen - 4] - '0' : -1;
  // Rows 5 to 9 name no slot: no playlist lists them.
  if (digit < 0 || digit >= kSlots) {
    page->not_found = 1;
    return;
  }
  pthread_mutex_lock(&c->mutex);
  HlsSlot *s = &c->slots[digit];
  auto held = [s](HlsContext *) { return s->length > 0; };
  if (page->may_suspend && suspend_for(c, page, held)) {
    pthread_mutex_unlock(&c->mutex);
    return;
  }
  if (page->may_suspend ? held(c) : wait_for(c, held)) {
    // A copy: the slot is rewritten five segments later, and a slow client
    // may still be reading then.
    page_append_n(page, (const char *)s->buffer, s->length);
  } else {
    page->not_found = 1;
  }
  pthread_mutex_unlock(&c->mutex);
}
