#include "streaming/rtmp/rtmp_connection.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "formats/annexb.h"
#include "formats/flv.h"
#include "media/sound.h"
#include "media/stream_ids.h"
#include "streaming/rtmp/rtmp_amf.h"
#include "streaming/rtmp/rtmp_handshake.h"

uint32_t rtmp_start_ms = 0;

namespace {

const uint32_t kCatchUpTicks = 90000;   // a video entry this old: skip to a key frame
const uint32_t kAudioLateTicks = 9600;  // audio this much older than the video goes
const uint32_t kBatchTicks = 4500;      // frames this close are sent two a wake
const uint32_t kWindow = 2500000;
const char kStatusDetails[] = "ts_5_4352_4113";
const char kClientId[] = "9_1_39825440";

// Chunk streams and message headers of the replies.
RtmpHeader control_header(uint8_t type) { return {2, 0, 0, type, 0}; }
RtmpHeader connection_header(uint8_t type) { return {3, 0, 0, type, 0}; }
RtmpHeader stream_header(uint8_t type) { return {20, 0, 0, type, 0}; }

int64_t floor_div90(int64_t t) { return t >= 0 ? t / 90 : -((-t + 89) / 90); }

// Sends iov[0..n) whole: 0, or -1 on an error or a send that made no
// progress within the socket's send time-out.
int send_iov(RtmpConnection *c, struct iovec *iov, int n) {
  while (n > 0) {
    struct msghdr m;
    memset(&m, 0, sizeof m);
    m.msg_iov = iov;
    m.msg_iovlen = (size_t)n;
    ssize_t r = sendmsg(c->fd, &m, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        log_printf("%s: no progress for %d s\n", "rtmp packet send", RTMP_SEND_TIMEOUT_S);
      else
        log_printf("%s: %s\n", "rtmp packet send", strerror(errno));
      return -1;
    }
    size_t done = (size_t)r;
    __atomic_fetch_add(&c->moved, (uint64_t)r, __ATOMIC_RELAXED);
    while (n > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      iov++;
      n--;
    }
    if (n > 0) {
      iov->iov_base = (uint8_t *)iov->iov_base + done;
      iov->iov_len -= done;
    }
  }
  return 0;
}

// Sends the iovecs laid out so far.
int send_laid_out(RtmpConnection *c) {
  int n = c->iov_used;
  c->iov_used = 0;
  return n ? send_iov(c, c->iov, n) : 0;
}

// Sends the batch, then checks that the ring entries it pointed into were
// not overwritten meanwhile: a client that got overwritten data is ended.
int flush(RtmpConnection *c) {
  int rc = send_laid_out(c);
  c->headers_used = 0;
  // One look under each queue's lock.
  for (int i = 0; rc == 0 && i < c->nsent; i++) {
    StreamQueue *q = c->sent_queue[i];
    if (!q) continue;
    pthread_mutex_lock(&q->mutex);
    for (int j = i; rc == 0 && j < c->nsent; j++) {
      if (c->sent_queue[j] != q) continue;
      const RtmpEntry &e = c->sent[j];
      if (!ringbuffer_entry_intact_locked(q, e.seq, e.data, e.length)) {
        log_printf("%s: %s seq %u was overwritten while it was sent\n", "serverThread",
                   stream_name(q), e.seq);
        rc = -1;
      }
      c->sent_queue[j] = nullptr;
    }
    pthread_mutex_unlock(&q->mutex);
  }
  c->nsent = 0;
  return rc;
}

// Remembers a ring entry of the batch; a full list sends the batch first.
int note_sent(RtmpConnection *c, StreamQueue *q, const RtmpEntry *e) {
  if (c->nsent == RTMP_BATCH_ENTRIES && flush(c) < 0) return -1;
  c->sent_queue[c->nsent] = q;
  c->sent[c->nsent++] = *e;
  return 0;
}

// Lays one message out on h's chunk stream, its body given as pieces that
// stay in place until the batch is sent; the batch goes out whenever its
// iovecs are full.
int send_message(RtmpConnection *c, RtmpHeader *h, const struct iovec *body, int nbody) {
  uint64_t total = 0;
  for (int i = 0; i < nbody; i++) total += body[i].iov_len;
  if (total > 0xFFFFFF) {
    log_printf("%s: a message of %llu bytes does not fit\n", "rtmp packet send", (unsigned long long)total);
    return -1;
  }
  h->length = (uint32_t)total;
  RtmpChunker ch;
  rtmp_chunker_init(&ch, h, body, nbody, RTMP_CHUNK_SIZE);
  if (c->headers_used + ch.first_len + ch.cont_len > sizeof c->headers && flush(c) < 0) return -1;
  uint8_t *first = c->headers + c->headers_used;
  memcpy(first, ch.first, ch.first_len);
  uint8_t *cont = first + ch.first_len;
  memcpy(cont, ch.cont, ch.cont_len);
  c->headers_used += ch.first_len + ch.cont_len;
  while (!ch.started || ch.left) {
    struct iovec *iov = c->iov + c->iov_used;
    int n = rtmp_chunker_next(&ch, iov, RTMP_IOV_BATCH - c->iov_used);
    for (int i = 0; i < n; i++) {
      if (iov[i].iov_base == ch.first) iov[i].iov_base = first;
      else if (iov[i].iov_base == ch.cont) iov[i].iov_base = cont;
    }
    c->iov_used += n;
    if (c->iov_used >= RTMP_IOV_BATCH - 1 && send_laid_out(c) < 0) return -1;
  }
  return 0;
}

int send_amf(RtmpConnection *c, RtmpHeader *h, const char *fmt, va_list ap) {
  uint8_t body[1024];
  int n = amf_build(body, sizeof body, fmt, ap);
  if (n < 0) {
    log_printf("%s: \"%s\" does not fit\n", "sendpacket", fmt);
    return -1;
  }
  struct iovec piece = {body, (size_t)n};
  if (send_message(c, h, &piece, 1) < 0) return -1;
  return flush(c);
}

// sendpacket with the timestamp h carries.
int sendpacket_at(RtmpConnection *c, RtmpHeader *h, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int rc = send_amf(c, h, fmt, ap);
  va_end(ap);
  return rc;
}

bool grow(void **p, int *cap, int need, size_t item) {
  if (need <= *cap) return true;
  int n = need < 64 ? 64 : need * 2;
  void *q = realloc(*p, (size_t)n * item);
  if (!q) return false;
  *p = q;
  *cap = n;
  return true;
}

// n bytes that stay put until the batch is sent; a full room sends the
// batch first. NULL when out of memory. (A batch sent while a message is
// laid out leaves the room as it is: the message's bytes are in it.)
uint8_t *video_room(RtmpConnection *c, size_t n) {
  if (c->room_used + n > c->room_cap) {
    if (c->room_used && flush(c) < 0) return nullptr;
    c->room_used = 0;
    if (n > c->room_cap) {
      size_t cap = n < (size_t)RTMP_VIDEO_ROOM ? (size_t)RTMP_VIDEO_ROOM : n;
      uint8_t *p = (uint8_t *)realloc(c->room, cap);
      if (!p) {
        log_printf("%s: %s\n", "rtmp video send", strerror(ENOMEM));
        return nullptr;
      }
      c->room = p;
      c->room_cap = cap;
    }
  }
  uint8_t *p = c->room + c->room_used;
  c->room_used += n;
  return p;
}

int on_message(void *arg, const RtmpHeader *h, const uint8_t *body) {
  RtmpConnection *c = (RtmpConnection *)arg;
  switch (h->type) {
    case RTMP_MSG_COMMAND:
      return rtmp_handle_command(c, h, body);
    case RTMP_MSG_AMF3_COMMAND: {
      // An AMF3 command message starts with a format byte, then AMF0.
      if (h->length < 1) return 0;
      RtmpHeader h0 = *h;
      h0.length--;
      return rtmp_handle_command(c, &h0, body + 1);
    }
    case RTMP_MSG_DATA: {
      AmfReader r;
      AmfValue v;
      amf_reader_init(&r, body, h->length);
      int rc;
      while ((rc = amf_read(&r, &v)) > 0) {}
      if (rc < 0) log_printf("%s: malformed data message\n", "serverThread");
      return rc;
    }
    default:  // acknowledgements, user control, window and bandwidth: nothing to do
      return 0;
  }
}

// ---- commands ----

int reply_result(RtmpConnection *c, double txid, int value) {
  RtmpHeader h = connection_header(RTMP_MSG_COMMAND);
  return sendpacket(c, &h, "sd0n", "_result", txid, value);
}

int on_status(RtmpConnection *c, const char *code, const char *description,
              const char *level = "status") {
  RtmpHeader h = stream_header(RTMP_MSG_COMMAND);
  return sendpacket(c, &h, "sn0{sssss}", "onStatus", 0, "level", level, "code", code,
                    "description", description, "details", kStatusDetails, "clientid", kClientId);
}

int reply_connect(RtmpConnection *c, double txid) {
  RtmpHeader h = control_header(RTMP_MSG_WINDOW_ACK);
  if (sendpacket(c, &h, "i", kWindow) < 0) return -1;
  h = control_header(RTMP_MSG_PEER_BANDWIDTH);
  if (sendpacket(c, &h, "ic", kWindow, 2) < 0) return -1;
  h = control_header(RTMP_MSG_USER_CONTROL);
  if (sendpacket(c, &h, "xi", 0, 0) < 0) return -1;  // Stream Begin, stream 0
  h = connection_header(RTMP_MSG_COMMAND);
  if (sendpacket(c, &h, "sd{sn}{sssn}", "_result", txid, "fmsVer", "FMS/3,0,24,53",
                 "capabilities", 31, "level", "status", "code", "NetConnection.Connect.Success",
                 "description", "Connection succeeded", "objectEncoding", 0) < 0)
    return -1;
  return sendpacket(c, &h, "sn0n", "onBWDone", 0, 8192);
}

int channel_size(int channel, const char *what) {
  char buf[32];
  if (param_getf(buf, sizeof buf, "Video[%d].%s", channel, what) < 0) return 0;
  return atoi(buf);
}

int reply_play(RtmpConnection *c, const AmfValue *name) {
  if (amf_is(name, "liveA.m3u8") || amf_is(name, "streamA.m3u8")) {
    c->channel = 0;
  } else if (amf_is(name, "liveB.m3u8") || amf_is(name, "streamB.m3u8")) {
    c->channel = 1;
  } else {
    char text[128];
    uint32_t n = name->str && name->len < sizeof text ? name->len : 0;
    if (n) memcpy(text, name->str, n);
    text[n] = 0;
    log_printf("RTMP Stream Name is %s !!!!!\n", text);
  }
  c->audio = get_param_block()->video[c->channel].rtmp_audio != 0;
  // A play the server has no place for gets an error status, which players
  // show as the reason, and the connection ends.
  if (!c->playing && c->play_gate && c->play_gate(c, 1) < 0) {
    c->refused = 1;
    on_status(c, "NetStream.Play.Failed", "Too many players", "error");
    return -1;
  }
  RtmpHeader h = control_header(RTMP_MSG_USER_CONTROL);
  if (sendpacket(c, &h, "xi", 0, c->stream_id) < 0) return -1;  // Stream Begin
  if (on_status(c, "NetStream.Play.Reset", "reset...") < 0) return -1;
  if (on_status(c, "NetStream.Play.Start", "start...") < 0) return -1;
  // Players take metadata for the stream's own only when it is stamped
  // where the media starts.
  h = stream_header(RTMP_MSG_DATA);
  h.timestamp = rtmp_start_ms;
  if (sendpacket_at(c, &h, "s{nns}", "onMetaData", "width", channel_size(c->channel, "Width"),
                 "height", channel_size(c->channel, "Height"), "Server",
                 "Marovant 7391 RTMP Server") < 0)
    return -1;
  c->playing = 1;
  c->play_by = 0;
  return 0;
}

// ---- media ----

void detach(RtmpConnection *c) {
  if (!c->attached) return;
  stream_state_detach(&c->video);
  if (c->sound.streamq) stream_state_detach(&c->sound);
  c->attached = 0;
  c->have_held_audio = 0;
}

int attach(RtmpConnection *c) {
  c->video.flags |= STREAM_STATE_RECENT_KEY;
  if (stream_state_attach(VIDEO_STREAM1 + (uint32_t)c->channel, StreamMode_H264_ES, &c->video) < 0)
    return -1;
  // Without the audio stream the channel plays without sound.
  if (c->audio && stream_state_attach(AAC_STREAM, StreamMode_Audio_AAC, &c->sound) < 0) c->audio = 0;
  c->attached = c->channel + 1;
  c->first_packet = 1;
  c->catching_up = 1;  // the first video sent is a key frame
  c->have_held_audio = 0;
  c->have_video_ts = 0;
  c->frame_ticks = 0;
  return 0;
}

bool take_entry(FrameDesc *f, RtmpEntry *e) {
  if (!f || !f->buf) return false;
  e->data = (const uint8_t *)Buffer_getUserPtr(f->buf);
  e->length = (uint32_t)Buffer_getNumBytesUsed(f->buf);
  e->timestamp = f->timestamp;
  e->seq = f->seq;
  e->flags = f->flags;
  return e->data != nullptr;
}

bool next_audio(RtmpConnection *c, RtmpEntry *e) {
  if (c->have_held_audio) {
    *e = c->held_audio;
    c->have_held_audio = 0;
    return true;
  }
  return c->sound.streamq && stream_queue_is_published(c->sound.streamq, c->sound.seq) &&
         take_entry(stream_state_dequeue_raw(&c->sound), e);
}

// Noted once laid out: a batch sent meanwhile is checked without it, the
// next one with it.
int send_audio_entry(RtmpConnection *c, const RtmpEntry *a, uint32_t ms) {
  if (rtmp_send_audio(c, a, ms) < 0) return -1;
  return note_sent(c, c->sound.streamq, a);
}

// Parses the receive buffer; what is left (less than a chunk header) moves
// to its start.
int parse_received(RtmpConnection *c) {
  long used = rtmp_parse(&c->parser, c->rx, c->rx_len, on_message, c);
  if (used < 0) return -1;
  memmove(c->rx, c->rx + used, c->rx_len - (size_t)used);
  c->rx_len -= (size_t)used;
  return 0;
}

// Input, waiting at most timeout_ms for it: 0, or -1 when the connection
// ends.
int poll_input(RtmpConnection *c, int timeout_ms) {
  if (timeout_ms) {
    struct pollfd pf = {c->fd, POLLIN, 0};
    int r = poll(&pf, 1, timeout_ms);
    if (r < 0) {
      if (errno == EINTR) return 0;
      log_printf("%s: %s\n", "select", strerror(errno));
      return -1;
    }
    if (r == 0) return 0;
  }
  ssize_t n = recv(c->fd, c->rx + c->rx_len, sizeof c->rx - c->rx_len, MSG_DONTWAIT);
  if (n == 0) return -1;
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    log_printf("%s: %s\n", "recv", strerror(errno));
    return -1;
  }
  c->rx_len += (size_t)n;
  __atomic_fetch_add(&c->moved, (uint64_t)n, __ATOMIC_RELAXED);
  return parse_received(c);
}

// The timestamp of the newest entry in the queue (ts when there is none).
// A client is behind when its entry is much older than that; the clock would
// also count the encoder's own delay.
uint32_t newest_timestamp(StreamQueue *q, uint32_t ts) {
  StreamEntry e;
  pthread_mutex_lock(&q->mutex);
  if (ringbuffer_find_seq(q, q->next_seq - 1, &e) == 0 && e.length) ts = e.timestamp;
  pthread_mutex_unlock(&q->mutex);
  return ts;
}

// Sleeps until there is video to send: while frames come 20 a second or
// more, until the second unread one is published, so that one wake sends
// two frames and the first of them waits one frame interval at most. False
// when no video came within 500 ms.
bool wait_video(RtmpConnection *c) {
  StreamQueue *q = c->video.streamq;
  uint32_t seq = c->video.seq;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  auto after = [&now](uint32_t ms) { return timespec_add_ms(now, ms); };
  if (c->frame_ticks && c->frame_ticks <= kBatchTicks) {
    struct timespec until = after(2 * c->frame_ticks / 90);
    if (stream_queue_wait_published(q, seq + 1, &until)) return true;
  }
  struct timespec until = after(500);
  return stream_queue_wait_published(q, seq, &until);
}

// One video entry of a wake and the audio before it: 0, or -1 when the
// connection ends. check_lag: whether to look how far behind the entry is.
int play_video(RtmpConnection *c, const RtmpEntry &v, bool check_lag) {
  if (v.length == 0) {
    log_printf("rtmp video buffer size 0 buf=%p\n", (const void *)v.data);
    log_printf("rtmp video buffer size 0 done\n");
    return -1;
  }
  // Snapshots travel in the video ring between the coded frames.
  if ((v.flags & FRAME_JPEG) || (v.length >= 2 && v.data[0] == 0xFF && v.data[1] == 0xD8)) return 0;
  uint32_t step = v.timestamp - c->last_video_ts;
  if (c->have_video_ts && step > 0 && step < kCatchUpTicks) c->frame_ticks = step;
  c->last_video_ts = v.timestamp;
  c->have_video_ts = 1;
  bool key = (v.flags & FRAME_KEY) != 0;
  if (check_lag && !c->catching_up &&
      newest_timestamp(c->video.streamq, v.timestamp) - v.timestamp > kCatchUpTicks) {
    log_printf("catching up\n");
    c->catching_up = 1;
  }
  RtmpEntry a;
  if (c->catching_up) {
    if (!key) {
      while (next_audio(c, &a)) {
        if ((int32_t)(a.timestamp - v.timestamp) >= 0) {
          c->held_audio = a;
          c->have_held_audio = 1;
          break;
        }
      }
      return 0;
    }
    c->catching_up = 0;
  }

  // Audio first, while it is earlier than the video.
  while (next_audio(c, &a)) {
    if ((int32_t)(a.timestamp - v.timestamp) >= 0) {
      c->held_audio = a;
      c->have_held_audio = 1;
      break;
    }
    if (v.timestamp - a.timestamp > kAudioLateTicks) continue;
    if (c->first_packet) {
      rtmp_timestamp_origin(c, a.timestamp);
      c->first_packet = 0;
    }
    if (send_audio_entry(c, &a, rtmp_timestamp(c, a.timestamp)) < 0) return -1;
  }

  if (c->first_packet) {
    if (!key) log_printf("first packet is not a keyframe!!! seq=%u\n", v.seq);
    rtmp_timestamp_origin(c, v.timestamp);
    c->first_packet = 0;
  }
  c->video_ms = rtmp_timestamp(c, v.timestamp);
  c->video_sent = 1;
  if (rtmp_send_video(c, &v, c->video_ms) < 0) return -1;
  return note_sent(c, c->video.streamq, &v);
}

// One wake: the video published since the last and the audio around it, in
// one send: 0, or -1 when the connection ends.
int play_step(RtmpConnection *c) {
  if (c->attached != c->channel + 1) {
    detach(c);
    if (attach(c) < 0) return -1;
  }
  // No video for a while: the input still tells whether the player is there.
  if (!wait_video(c)) return poll_input(c, 0);
  c->video_sent = 0;
  RtmpEntry v;
  StreamQueue *q = c->video.streamq;
  for (bool first = true;
       stream_queue_is_published(q, c->video.seq) && take_entry(stream_state_dequeue_ready(&c->video), &v);
       first = false)
    if (play_video(c, v, first) < 0) return -1;

  // Then the audio that stopped the run and all that is there now, never
  // stamped before the video.
  RtmpEntry a;
  while (c->video_sent && next_audio(c, &a)) {
    uint32_t ms = rtmp_timestamp(c, a.timestamp);
    if ((int32_t)(ms - c->video_ms) < 0) ms = c->video_ms;
    if (send_audio_entry(c, &a, ms) < 0) return -1;
  }
  if (flush(c) < 0) return -1;
  c->room_used = 0;
  return poll_input(c, 0);
}

// n bytes, each wait at most RTMP_HANDSHAKE_TIMEOUT_MS and all of them
// before deadline (monotonic ms): a client trickling bytes is cut off too.
int read_piece(int fd, uint8_t *buf, size_t n, int64_t deadline) {
  size_t got = 0;
  while (got < n) {
    int64_t left = deadline - monotonic_ms();
    if (left <= 0) return -1;
    struct pollfd pf = {fd, POLLIN, 0};
    int r = poll(&pf, 1, left < RTMP_HANDSHAKE_TIMEOUT_MS ? (int)left : RTMP_HANDSHAKE_TIMEOUT_MS);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    ssize_t k = recv(fd, buf + got, n - got, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return -1;
    got += (size_t)k;
  }
  return 0;
}

}  // namespace

void rtmp_connection_init(RtmpConnection *c, int fd) {
  memset(c, 0, sizeof *c);
  c->fd = fd;
  c->stream_id = 1;
  c->play_by = monotonic_ms() + RTMP_PLAY_DEADLINE_MS;
  rtmp_parser_init(&c->parser);
  c->video_header = {21, 0, 0, RTMP_MSG_VIDEO, 1};
  c->audio_header = {20, 0, 0, RTMP_MSG_AUDIO, 1};
  uint32_t now = timestamp_now();
  c->ticks = now;
  c->last_ts = now;
  c->ts_base = (uint32_t)-(int64_t)(now / 90);
}

void rtmp_connection_free(RtmpConnection *c) {
  detach(c);
  rtmp_parser_free(&c->parser);
  free(c->body);
  free(c->room);
  c->body = nullptr;
  c->room = nullptr;
  c->body_cap = 0;
  c->room_cap = c->room_used = 0;
}

uint32_t rtmp_timestamp(RtmpConnection *c, uint32_t ts) {
  c->ticks += (int32_t)(ts - c->last_ts);
  c->last_ts = ts;
  return (uint32_t)floor_div90(c->ticks) + c->ts_base;
}

void rtmp_timestamp_origin(RtmpConnection *c, uint32_t ts) {
  c->ts_base = 0;
  c->ts_base = rtmp_start_ms - rtmp_timestamp(c, ts);
}

int sendpacket(RtmpConnection *c, RtmpHeader *h, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  h->timestamp = rtmp_timestamp(c, timestamp_now());
  int rc = send_amf(c, h, fmt, ap);
  va_end(ap);
  return rc;
}

int rtmp_send_video(RtmpConnection *c, const RtmpEntry *e, uint32_t ms) {
  const uint8_t *d = e->data;
  uint32_t len = e->length;
  if (!annexb_starts_with_start_code(d, len)) return 0;  // not a coded picture
  c->video_header.timestamp = ms;
  bool key = (e->flags & FRAME_KEY) != 0;
  int nals = 0;
  AnnexbWalk w;
  size_t s, end;
  annexb_walk_init(&w, d, len);
  while (annexb_walk_next(&w, &s, &end)) nals++;
  const size_t kAvcTag = 512;
  // Taken at once: the decoder configuration's slices of the ring must stay
  // the message's own.
  uint8_t *room = video_room(c, (key ? kAvcTag : 0) + 5 + 4 * (size_t)nals);
  if (!room) return -1;
  // A key frame carrying parameter sets (after an access unit delimiter,
  // say) is preceded by the decoder configuration built from them.
  if (key) {
    FlvMux flv;
    memset(&flv, 0, sizeof flv);
    flv.video_codec_id = 7;
    uint8_t *tag = room;
    room += kAvcTag;
    int n = flv_write_avc_config(&flv, tag, kAvcTag, &d, &len);  // 0: no SPS
    // The tag's body, without the FLV tag header and PreviousTagSize, is the
    // message.
    struct iovec piece = {tag + 11, n > 15 ? (size_t)n - 15 : 0};
    if (n > 15 && send_message(c, &c->video_header, &piece, 1) < 0) {
      log_printf("%s: %s\n", "rtmp video send", "sequence header");
      return -1;
    }
  }
  // Every NAL unit behind a 4-byte length, its bytes sent from the ring.
  if (!grow((void **)&c->body, &c->body_cap, 1 + 2 * nals, sizeof *c->body)) {
    log_printf("%s: %s\n", "rtmp video send", strerror(ENOMEM));
    return -1;
  }
  uint8_t *prefix = room;
  prefix[0] = (uint8_t)(key ? 0x17 : 0x27);
  prefix[1] = 1;
  prefix[2] = prefix[3] = prefix[4] = 0;
  int nb = 0;
  c->body[nb++] = {prefix, 5};
  uint8_t *l = prefix + 5;
  annexb_walk_init(&w, d, len);
  while (annexb_walk_next(&w, &s, &end)) {
    uint32_t n = (uint32_t)(end - s);
    l[0] = (uint8_t)(n >> 24); l[1] = (uint8_t)(n >> 16); l[2] = (uint8_t)(n >> 8); l[3] = (uint8_t)n;
    c->body[nb++] = {l, 4};
    c->body[nb++] = {(void *)(d + s), n};
    l += 4;
  }
  if (nb == 1) return 0;  // parameter sets only
  if (send_message(c, &c->video_header, c->body, nb) < 0) {
    log_printf("%s: %s\n", "rtmp video send", "frame");
    return -1;
  }
  return 0;
}

int rtmp_send_audio(RtmpConnection *c, const RtmpEntry *e, uint32_t ms) {
  c->audio_header.timestamp = ms;
  size_t pos = 0;
  AdtsFrame f;
  while (adts_next_frame(e->data, e->length, &pos, &f) > 0) {
    const uint8_t *h = e->data + f.offset;
    if (!c->audio_config_sent) {
      // AudioSpecificConfig: object type (ADTS profile + 1), frequency index,
      // channel configuration.
      uint8_t object = (uint8_t)((h[2] >> 6) + 1);
      c->audio_tag = f.channels > 1 ? 0xAF : 0xAE;
      uint8_t *config = c->audio_config;
      config[0] = c->audio_tag;
      config[1] = 0;
      config[2] = (uint8_t)(object << 3 | f.rate_index >> 1);
      config[3] = (uint8_t)((f.rate_index & 1) << 7 | f.channels << 3);
      c->audio_prefix[0] = c->audio_tag;
      c->audio_prefix[1] = 1;
      struct iovec piece = {config, sizeof c->audio_config};
      if (send_message(c, &c->audio_header, &piece, 1) < 0) {
        log_printf("%s: %s\n", "rtmp audio send", "sequence header");
        return -1;
      }
      c->audio_config_sent = 1;
    }
    struct iovec body[2] = {{c->audio_prefix, 2}, {(void *)(h + f.header), f.length - f.header}};
    if (send_message(c, &c->audio_header, body, 2) < 0) {
      log_printf("%s: %s\n", "rtmp audio send", "frame");
      return -1;
    }
  }
  return 0;
}

int rtmp_handle_command(RtmpConnection *c, const RtmpHeader *h, const uint8_t *body) {
  AmfReader r;
  amf_reader_init(&r, body, h->length);
  AmfValue v[4];
  int n = 0, rc;
  AmfValue rest;
  // The command's first values; the others are read to check them.
  while ((rc = amf_read(&r, n < 4 ? &v[n] : &rest)) > 0)
    if (n < 4) n++;
  if (rc < 0 || n < 1 || (v[0].type != AMF0_STRING && v[0].type != AMF0_LONG_STRING)) {
    log_printf("%s: malformed command\n", "rtmp_handle_command");
    return -1;
  }
  double txid = n >= 2 && v[1].type == AMF0_NUMBER ? v[1].number : 0;
  if (amf_is(&v[0], "connect")) return reply_connect(c, txid);
  if (amf_is(&v[0], "createStream")) return reply_result(c, txid, (int)c->stream_id);
  if (amf_is(&v[0], "closeStream")) {
    if (c->playing) {
      c->idle_since = monotonic_ms();
      if (c->play_gate) c->play_gate(c, 0);
    }
    c->playing = 0;
    return reply_result(c, txid, 1);
  }
  if (amf_is(&v[0], "getStreamLength")) return reply_result(c, txid, 0);
  if (amf_is(&v[0], "play")) {
    AmfValue none;
    memset(&none, 0, sizeof none);
    return reply_play(c, n >= 4 ? &v[3] : &none);
  }
  // "_result" would go to a result callback; the server sets none.
  return 0;
}

int rtmp_handshake(RtmpConnection *c) {
  uint8_t c01[1 + RTMP_HANDSHAKE_SIZE];
  uint8_t out[RTMP_S0S1S2_SIZE];
  uint8_t c2[RTMP_HANDSHAKE_SIZE];
  int step = 0;
  int64_t deadline = monotonic_ms() + RTMP_HANDSHAKE_DEADLINE_MS;
  if (c->play_by && c->play_by < deadline) deadline = c->play_by;
  if (read_piece(c->fd, c01, sizeof c01, deadline) == 0) {
    step = 1;
    rtmp_handshake_reply(c01 + 1, out, rand);
    struct iovec piece = {out, sizeof out};
    if (send_iov(c, &piece, 1) == 0) {
      step = 2;
      if (read_piece(c->fd, c2, sizeof c2, deadline) == 0) {
        if (rtmp_handshake_c2_ok(c2, out + 1)) return 0;
        step = 3;
      }
    }
  }
  if (!c->quiet) log_printf("RTMP handshake error %d\n", step);
  return -1;
}

int rtmp_connection_feed(RtmpConnection *c, const uint8_t *data, size_t len) {
  while (len) {
    size_t n = sizeof c->rx - c->rx_len;
    if (n > len) n = len;
    memcpy(c->rx + c->rx_len, data, n);
    c->rx_len += n;
    data += n;
    len -= n;
    if (parse_received(c) < 0) return -1;
  }
  return 0;
}

void rtmp_connection_run(RtmpConnection *c) {
  c->idle_since = monotonic_ms();
  while (get_exit_code_unlocked() == EXIT_RUNNING) {
    int rc;
    if (!c->playing) {
      detach(c);
      // Before its first play a connection holds a place only until
      // play_by: one that never plays cannot keep a player out.
      int64_t until = c->play_by ? c->play_by : c->idle_since + RTMP_IDLE_MS;
      int64_t left = until - monotonic_ms();
      if (left <= 0) {
        if (!c->quiet)
          log_printf("%s: nothing played for %d s, closing\n", "serverThread",
                     (c->play_by ? RTMP_PLAY_DEADLINE_MS : RTMP_IDLE_MS) / 1000);
        break;
      }
      rc = poll_input(c, left < 5000 ? (int)left : 5000);
    } else {
      rc = play_step(c);
    }
    if (rc < 0) break;
  }
  detach(c);
}
