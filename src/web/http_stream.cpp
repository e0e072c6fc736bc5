// Progressive HTTP streams (raw H.264, MPEG-TS, FLV, AAC, PCM), single JPEG
// pictures and motion-JPEG: each reply is a consumer of the stream layer
// whose units libmicrohttpd pulls through stream_reader_callback, on its own
// thread, one call at a time. A single picture is taken in the request's
// handler, which suspends its connection while the picture is not there.
#include "web/http_stream.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>

#include "core/log.h"
#include "core/param_block.h"
#include "core/param_table.h"
#include "core/process_util.h"
#include "media/stream_mux.h"
#include "media/stream_queue.h"
#include "media/stream_state.h"
#include "web/web_places.h"
#include "web/web_wait.h"

namespace {

constexpr size_t kStreamBlock = 0x10000;
constexpr size_t kMjpegBlock = 0x100000;
// One reader call waits at most this long: the library's one thread serves
// every other connection meanwhile, and a reply with nothing yet is simply
// asked again.
constexpr uint32_t kSliceMs = 20;
// Units after the first of a block are taken only when already there.
constexpr uint32_t kMoreWaitMs = 1;
constexpr char kMultipartType[] = "multipart/x-mixed-replace; boundary=--multipart_boundary";

}  // namespace

struct HttpStreamState {
  StreamState state;
  uint32_t offset;             // bytes of the held unit already sent
  int32_t stream_id;
  uint32_t frame_skip;         // entries passed over after each picture
  uint32_t multipart;
  const char *content_type;
  FrameDesc *held;             // the unit being sent, or NULL
  const uint8_t *data;         // its bytes and length
  uint32_t length;
  uint32_t seq;                // its sequence number, for raw units in the ring
  int raw;                     // units point into the ring (no muxer)
  int jpeg;                    // a picture row: JPEG-mode test and frame skip
  int h264;                    // a raw H.264 row: starts at a key frame
  int started;                 // a unit went out (raw H.264: a key frame)
  uint32_t parts;              // multipart part headers written
  char head[160];              // part header still to go out before the unit
  uint32_t head_len;
  uint32_t head_off;
  ssize_t end;                 // what every later call returns: -1, -ENOENT, or 0
  timespec give_up;            // while nothing comes: when the stream ends
  int waiting;                 // give_up is set
  MHD_Connection *connection;  // NULL: the reader waits itself (no library)
  int fd;                      // the connection's socket
  StreamCallback callback;     // the producer's wake-up while suspended
  std::atomic<int> suspended;
  HttpStreamState *next;       // in the list of replies with a connection
};

namespace {

// Replies with a connection, for the tick and the stop.
pthread_mutex_t replies_mutex = PTHREAD_MUTEX_INITIALIZER;
HttpStreamState *replies;
std::atomic<int> replies_stopping{0};

void resume(HttpStreamState *h) {
  if (h->suspended.exchange(0)) MHD_resume_connection(h->connection);
}

// Whether the client of a reply went (closed its end, or reset): its place
// is given up now rather than once a write fails, which may be long for a
// reply waiting for media.
bool client_gone(const HttpStreamState *h) {
  if (h->fd < 0) return false;
  pollfd p = {h->fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// The producer put a unit (producer thread).
void unit_arrived(void *arg, uint32_t) { resume(static_cast<HttpStreamState *>(arg)); }

// The parameter record of a video stream id's channel, or NULL for the
// audio ids, which have none.
const VideoChannelParams *channel_params(uint32_t id) {
  if (id != VIDEO_STREAM1 && id != VIDEO_STREAM2) return nullptr;
  return &get_param_block()->video[id - VIDEO_STREAM1];
}

bool channel_in_jpeg_mode(uint32_t id) {
  const VideoChannelParams *v = channel_params(id);
  return v && v->stream_mode == StreamMode_JPEG;
}

// Milliseconds until deadline, rounded up: 0 only once it has passed.
uint32_t ms_left(const timespec &deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns = (int64_t)(deadline.tv_sec - now.tv_sec) * 1000000000 + (deadline.tv_nsec - now.tv_nsec);
  return ns > 0 ? (uint32_t)((ns + 999999) / 1000000) : 0;
}

timespec deadline_in(uint32_t ms) { return clock_after_ms(CLOCK_MONOTONIC, ms); }

bool is_jpeg_data(const uint8_t *p, uint32_t len) { return len >= 2 && p[0] == 0xFF && p[1] == 0xD8; }

enum { UNIT_OK = 0, UNIT_NONE = -1, UNIT_END = -2, UNIT_FAIL = -3 };

// Takes the next unit this reply may send, waiting at most wait_ms in all:
// UNIT_OK with the unit held, UNIT_NONE when none came in time, UNIT_END at
// the end of the stream, or UNIT_FAIL.
int take_unit(HttpStreamState *h, uint32_t wait_ms) {
  if (h->jpeg && !channel_in_jpeg_mode((uint32_t)h->stream_id)) return UNIT_END;
  timespec deadline = deadline_in(wait_ms);
  for (;;) {
    FrameDesc *f;
    if (wait_ms) {
      uint32_t left = ms_left(deadline);
      if (!left) return UNIT_NONE;
      f = stream_state_dequeue_timeout(&h->state, left);
    } else {
      f = stream_state_dequeue_ready(&h->state);
    }
    if (!f) return UNIT_NONE;
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
    if (len == 0) return UNIT_END;
    const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(f->buf);
    if (!data) return UNIT_FAIL;
    if (!h->jpeg) {
      // Snapshots travel in the video ring between the coded frames.
      if (f->flags & FRAME_JPEG) continue;
      // The channel went over to JPEG: what follows is no longer this stream.
      if (h->h264 && is_jpeg_data(data, len)) return UNIT_END;
      if (h->h264 && !h->started && !(f->flags & FRAME_KEY)) continue;
    }
    h->held = f;
    h->data = data;
    h->length = len;
    h->seq = f->seq;
    h->offset = 0;
    h->started = 1;
    h->head_len = h->head_off = 0;
    if (h->multipart) {
      int n = snprintf(h->head, sizeof h->head,
                       "%s--multipart_boundary\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n",
                       h->parts ? "\r\n\r\n" : "", h->content_type, (int)len);
      h->head_len = n > 0 && (size_t)n < sizeof h->head ? (uint32_t)n : 0;
      h->parts++;
    }
    return UNIT_OK;
  }
}

const char *stream_content_type(uint8_t mode) {
  switch (stream_mode_mux_type(mode)) {
    case MUX_FLV: return "video/x-flv";
    case MUX_TS: return "video/MP2T";
    case MUX_MP4: return "video/mpeg";
    default: return mode == StreamMode_Audio_AAC ? "audio/mpeg" : "video/mpeg";
  }
}

int queue_stream(WebRequest *req, HttpStreamState *h, size_t block, const char *type,
                 bool close_after) {
  http_stream_set_connection(h, req->connection);
  MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, block, stream_reader_callback,
                                                      h, chunked_free_callback);
  if (!r) {
    chunked_free_callback(h);
    return WEB_NOT_HANDLED;
  }
  if (close_after) web_add_header(MHD_HTTP_HEADER_CONNECTION, "close", r);
  web_content_type(r, type);
  web_no_cache(r);
  return web_queue_response(req->connection, MHD_HTTP_OK, r);
}

// Stream id of the channel letter that follows "stream" in the URL (A = 1,
// B = 2); 0 when the URL has none.
uint32_t url_channel(const char *url) {
  const char *p = url ? strstr(url, "stream") : nullptr;
  if (!p) return 0;
  return p[6] == 'A' ? VIDEO_STREAM1 : VIDEO_STREAM2;
}

// A picture taken from a consumer, waiting at most wait_ms: a response
// holding a copy of it, or NULL.
MHD_Response *take_picture(StreamState *st, uint32_t wait_ms) {
  timespec deadline = deadline_in(wait_ms);
  for (;;) {
    uint32_t left = wait_ms ? ms_left(deadline) : 0;
    FrameDesc *f = wait_ms ? (left ? stream_state_dequeue_timeout(st, left) : nullptr)
                           : stream_state_dequeue_ready(st);
    if (!f) return nullptr;
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
    const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(f->buf);
    if (!len || !data) return nullptr;
    // The ring is reused as soon as the producer wraps: the reply gets a copy,
    // taken while the entry was still whole.
    MHD_Response *r = MHD_create_response_from_buffer(len, (void *)data, MHD_RESPMEM_MUST_COPY);
    if (r && ringbuffer_entry_intact(st->streamq, f->seq, data, len)) return r;
    if (r) MHD_destroy_response(r);
  }
}

// A picture request waiting for its picture: its consumer stays attached
// (and so the channel's encoder running) while the connection is suspended,
// and the producer's next unit wakes it.
struct PictureWait {
  MHD_Connection *connection;
  uint32_t id;
  StreamState st;
  StreamCallback wake;
  PictureWait *next;
};

pthread_mutex_t picture_mutex = PTHREAD_MUTEX_INITIALIZER;
PictureWait *picture_waits;

void picture_unit_arrived(void *, uint32_t) { web_wake_waiters(); }

// The wait of a connection, taken off the list; NULL when it has none.
PictureWait *picture_wait_take(MHD_Connection *connection) {
  pthread_mutex_lock(&picture_mutex);
  PictureWait *w = nullptr;
  for (PictureWait **p = &picture_waits; *p; p = &(*p)->next) {
    if ((*p)->connection == connection) {
      w = *p;
      *p = w->next;
      break;
    }
  }
  pthread_mutex_unlock(&picture_mutex);
  return w;
}

void picture_wait_end(PictureWait *w) {
  if (!w) return;
  stream_remove_callback(w->id, &w->wake);
  stream_state_detach(&w->st);
  free(w);
}

// One picture of a channel in JPEG mode, copied out of the ring. With a
// connection the request is suspended while no picture is there, up to the
// same limit; without one it waits itself.
int send_one_picture(WebRequest *req, uint32_t id) {
  PictureWait *w = picture_wait_take(req->connection);
  if (!channel_in_jpeg_mode(id)) {
    picture_wait_end(w);
    return WEB_NOT_HANDLED;
  }
  if (!w) {
    w = static_cast<PictureWait *>(calloc(1, sizeof *w));
    if (!w) return WEB_NOT_HANDLED;
    w->connection = req->connection;
    w->id = id;
    // A picture under a second old is as good as the next one.
    w->st.flags = STREAM_STATE_RECENT_KEY;
    if (stream_state_attach(id, StreamMode_JPEG, &w->st) < 0) {
      free(w);
      return WEB_NOT_HANDLED;
    }
    w->wake = StreamCallback{nullptr, picture_unit_arrived, nullptr};
    stream_add_callback(id, &w->wake);
  }
  // Asked before looking: a picture that comes after the look wakes the
  // request (see web_suspend).
  bool may_wait = req->connection && web_may_wait(req, HTTP_UNIT_WAIT_MS);
  MHD_Response *r = take_picture(&w->st, req->connection ? 0 : HTTP_UNIT_WAIT_MS);
  if (!r && may_wait) {
    pthread_mutex_lock(&picture_mutex);
    w->next = picture_waits;
    picture_waits = w;
    pthread_mutex_unlock(&picture_mutex);
    return web_suspend(req);
  }
  picture_wait_end(w);
  if (!r) return WEB_NOT_HANDLED;
  web_content_type(r, "image/jpeg");
  web_no_cache(r);
  return web_queue_response(req->connection, MHD_HTTP_OK, r);
}

}  // namespace

HttpStreamState *stream_attach_for_http(uint32_t id, uint8_t mode, const char *content_type,
                                        uint32_t multipart) {
  HttpStreamState *h = static_cast<HttpStreamState *>(calloc(1, sizeof *h));
  if (!h) return nullptr;
  h->fd = -1;
  h->stream_id = (int32_t)id;
  h->multipart = multipart;
  h->content_type = content_type;
  h->jpeg = mode == StreamMode_JPEG;
  h->h264 = mode == StreamMode_H264_ES;
  h->raw = stream_mode_mux_type(mode) == MUX_NONE;
  if (h->jpeg) {
    const VideoChannelParams *v = channel_params(id);
    h->frame_skip = v && v->frame_rate ? v->frame_rate - 1u : 0;
  }
  // Video starts at the newest key frame when it is recent, not a whole
  // group of pictures later.
  h->state.flags = STREAM_STATE_RECENT_KEY;
  h->state.video_duration = HTTP_VIDEO_DURATION;
  h->state.audio_duration = HTTP_AUDIO_DURATION;
  if (stream_state_attach(id, mode, &h->state) < 0 || !h->state.streamq) {
    muxer_free(&h->state);
    free(h);
    return nullptr;
  }
  log_printf("attached stream %d seq=%u frame_skip=%u\n", (int)id, h->state.seq, h->frame_skip);
  return h;
}

void http_stream_set_connection(HttpStreamState *h, MHD_Connection *connection) {
  if (!h || !connection) return;
  h->connection = connection;
  const MHD_ConnectionInfo *ci = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  h->fd = ci ? ci->connect_fd : -1;
  h->callback = StreamCallback{nullptr, unit_arrived, h};
  stream_add_callback((uint32_t)h->stream_id, &h->callback);
  pthread_mutex_lock(&replies_mutex);
  h->next = replies;
  replies = h;
  pthread_mutex_unlock(&replies_mutex);
}

void http_stream_request_done(MHD_Connection *connection) {
  if (connection) picture_wait_end(picture_wait_take(connection));
}

void http_stream_tick(void) {
  pthread_mutex_lock(&replies_mutex);
  for (HttpStreamState *h = replies; h; h = h->next)
    if (h->suspended.load() && (!ms_left(h->give_up) || replies_stopping.load() || client_gone(h)))
      resume(h);
  pthread_mutex_unlock(&replies_mutex);
}

void (*http_stream_suspend_hook)(void);

int http_stream_open(void) {
  pthread_mutex_lock(&replies_mutex);
  int n = 0;
  for (HttpStreamState *h = replies; h; h = h->next) n++;
  pthread_mutex_unlock(&replies_mutex);
  return n;
}

void http_stream_stop(int stop) {
  pthread_mutex_lock(&replies_mutex);
  replies_stopping = stop;
  if (stop)
    for (HttpStreamState *h = replies; h; h = h->next) resume(h);
  pthread_mutex_unlock(&replies_mutex);
}

ssize_t stream_reader_callback(void *cls, uint64_t position, char *buf, size_t size) {
  (void)position;
  HttpStreamState *h = static_cast<HttpStreamState *>(cls);
  if (h->end) return h->end;
  if (h->connection && replies_stopping.load()) return h->end = -1;
  if (h->connection && client_gone(h)) return h->end = -ENOENT;
  size_t out = 0;
  // The block is filled with as many units as are already there. Without a
  // connection only the first one is waited for, a slice at a time; with
  // one nothing is waited for: the connection is suspended until the
  // producer's next unit.
  while (out < size) {
    if (!h->held) {
      uint32_t wait = h->connection ? 0 : kMoreWaitMs;
      if (!out) {
        if (!h->waiting) {
          h->give_up = deadline_in(HTTP_UNIT_WAIT_MS);
          h->waiting = 1;
        }
        if (!h->connection) {
          wait = ms_left(h->give_up);
          if (wait > kSliceMs) wait = kSliceMs;
        }
      }
      int rc = (wait || h->connection) ? take_unit(h, wait) : UNIT_NONE;
      if (rc == UNIT_NONE && !out && h->connection && ms_left(h->give_up)) {
        if (http_stream_suspend_hook) http_stream_suspend_hook();
        // Announced first, then looked at again: a unit put in between
        // either is seen here or resumes the connection.
        h->suspended = 1;
        rc = take_unit(h, 0);
        if (rc == UNIT_NONE) {
          // The library may not be stopped with a connection suspended: the
          // stop flag is read and the connection suspended under the lock
          // the stop takes to resume every reply, so one of the two sees the
          // other.
          pthread_mutex_lock(&replies_mutex);
          bool stopping = replies_stopping.load();
          if (!stopping) MHD_suspend_connection(h->connection);
          pthread_mutex_unlock(&replies_mutex);
          if (!stopping) return 0;
          h->suspended = 0;
          return h->end = -1;
        }
        h->suspended = 0;
      }
      if (rc == UNIT_END) h->end = -1;
      if (rc == UNIT_FAIL || (rc == UNIT_NONE && !out && !ms_left(h->give_up))) h->end = -ENOENT;
      if (rc != UNIT_OK) break;
      h->waiting = 0;
    }
    if (h->held->flags & 2) {
      h->end = -ENOENT;
      break;
    }
    if (h->head_off < h->head_len) {
      size_t n = h->head_len - h->head_off;
      if (n > size - out) n = size - out;
      memcpy(buf + out, h->head + h->head_off, n);
      h->head_off += (uint32_t)n;
      out += n;
    }
    size_t n = h->length - h->offset;
    if (n > size - out) n = size - out;
    memcpy(buf + out, h->data + h->offset, n);
    // Ring data the producer overwrote while it was being sent: the client
    // would get a broken unit, so the stream ends instead.
    if (h->raw && !ringbuffer_entry_intact(h->state.streamq, h->seq, h->data, h->length)) return -ENOENT;
    h->offset += (uint32_t)n;
    out += n;
    if (h->offset >= h->length && h->head_off >= h->head_len) {
      h->held = nullptr;
      h->state.seq += h->frame_skip;
    }
  }
  return out ? (ssize_t)out : h->end;
}

void chunked_free_callback(void *cls) {
  HttpStreamState *h = static_cast<HttpStreamState *>(cls);
  if (!h) return;
  log_printf("%s: content_type=%s\n", "chunked_free_callback", h->content_type);
  if (h->connection) {
    // After this no producer calls unit_arrived, and no tick sees h.
    stream_remove_callback((uint32_t)h->stream_id, &h->callback);
    pthread_mutex_lock(&replies_mutex);
    for (HttpStreamState **p = &replies; *p; p = &(*p)->next) {
      if (*p == h) {
        *p = h->next;
        break;
      }
    }
    pthread_mutex_unlock(&replies_mutex);
  }
  stream_state_detach(&h->state);
  muxer_free(&h->state);
  free(h);
}

int get_stream_func(WebRequest *req) {
  if (req->permission == PERM_NONE) return WEB_DENIED;
  uint32_t code = req->row ? req->row->code : 0;
  uint32_t id = code >> 8;
  uint8_t mode = (uint8_t)(code & 0xFF);
  const char *type = stream_content_type(mode);
  if (web_places_stream(req->connection) < 0) return web_places_send_busy(req->connection);
  HttpStreamState *h = stream_attach_for_http(id, mode, type, 0);
  if (!h) return WEB_NOT_HANDLED;
  log_printf("%s: %s content_type=%s\n", "get_stream_func", req->url, type);
  return queue_stream(req, h, kStreamBlock, type, false);
}

int get_mjpeg_func(WebRequest *req) {
  if (req->permission == PERM_NONE) return WEB_DENIED;
  uint32_t id = url_channel(req->url);
  if (!id) return WEB_NOT_HANDLED;
  const char *multipart = web_get_arg(req, "multipart");
  bool picture = !(multipart && strcasecmp(multipart, "true") == 0) && str_ends_with(req->url, ".jpg");
  if (!picture && web_places_stream(req->connection) < 0) return web_places_send_busy(req->connection);
  if (multipart && strcasecmp(multipart, "true") == 0) {
    HttpStreamState *h = stream_attach_for_http(id, StreamMode_JPEG, "image/jpeg", 1);
    if (!h) return WEB_NOT_HANDLED;
    return queue_stream(req, h, kStreamBlock, kMultipartType, true);
  }
  if (picture) return send_one_picture(req, id);
  HttpStreamState *h = stream_attach_for_http(id, StreamMode_JPEG, "image/jpeg", 0);
  if (!h) return WEB_NOT_HANDLED;
  return queue_stream(req, h, kMjpegBlock, "image/jpeg", false);
}
