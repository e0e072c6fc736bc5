#include "streaming/udp_sender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/net_reach.h"
#include "core/param_table.h"
#include "core/process_util.h"
#include "media/stream_ids.h"
#include "media/stream_state.h"
#include "platform/wallclock.h"
#include "streaming/multicaster.h"

namespace {

UdpSenderEnv *g_senders[2];

struct FormatRow {
  uint16_t width, height;
  uint8_t code;
  bool pal_only;   // only when Capture.Standard is 6
};

const FormatRow kFormats[] = {
    {720, 480, 0, false},   {352, 240, 1, false},   {160, 112, 2, false},  {720, 576, 3, false},
    {352, 288, 4, false},   {176, 144, 5, false},   {176, 120, 6, false},  {640, 480, 192, true},
    {640, 480, 64, false},  {1280, 720, 65, false}, {1280, 900, 66, false}, {1280, 1024, 67, false},
    {1920, 1080, 68, false}, {320, 240, 70, false}, {160, 120, 71, false},
};

const uint32_t kPcmEntryBytes = 4096;
// The 512 samples of an audio datagram cover 512 x 12 values of 48 kHz
// stereo: 64 ms.
const uint32_t kAudioPacketTicks = 5760;

void put_packet_header(uint8_t *p, uint8_t kind, bool end, uint32_t fragment, uint32_t counter,
                       uint32_t follows) {
  memset(p, 0, UDP_PACKET_HEADER_SIZE);
  p[1] = kind;
  p[2] = end ? 1 : 0;
  p[4] = (uint8_t)fragment;
  udp_put_le32(p + 8, counter);
  udp_put_le32(p + 12, follows);
}

void put_time(uint8_t *p, UdpTimePair *t, uint32_t ts) {
  uint32_t ticks = udp_time_align(t, ts);
  udp_put_le32(p, t->seconds);
  udp_put_le32(p + 4, ticks / 900 * 10000);
}

}  // namespace

void udp_put_le32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

uint8_t udp_format_code(const ParamBlock *block, int channel) {
  int w = 0, h = 0;
  if (getStreamResolution(channel, &w, &h) != 0) return 255;
  for (const FormatRow &r : kFormats) {
    if (r.width != w || r.height != h) continue;
    if (r.pal_only && block->capture.standard != 6) continue;
    return r.code;
  }
  return 255;
}

uint32_t udp_time_align(UdpTimePair *t, uint32_t ts) {
  // Signed differences: the 90 kHz counter wraps.
  while ((int32_t)(ts - t->ticks) >= 90000) {
    t->ticks += 90000;
    t->seconds++;
  }
  while ((int32_t)(ts - t->ticks) < 0) {
    t->ticks -= 90000;
    t->seconds--;
  }
  return ts - t->ticks;
}

uint32_t udp_mode_header(uint8_t mode) {
  return mode == UDP_MODE_COUNTER ? 2 : mode == UDP_MODE_HEADERS ? UDP_PACKET_HEADER_SIZE + UDP_FRAME_HEADER_SIZE : 0;
}

bool udp_packet_size_too_small(uint8_t mode, uint32_t packet_size) {
  int64_t n = (int64_t)packet_size - 28;
  return mode != UDP_MODE_HEADERS && n >= 1 && n <= (int64_t)udp_mode_header(mode);
}

uint32_t udp_datagram_size(uint8_t mode, uint32_t packet_size) {
  if (mode == UDP_MODE_HEADERS) return UDP_HEADERS_DATAGRAM;
  int64_t n = (int64_t)packet_size - 28;
  // A size that leaves no room after the mode's header counts as unset.
  if (n < 1 || udp_packet_size_too_small(mode, packet_size)) return UDP_DEFAULT_DATAGRAM;
  return n > (int64_t)UDP_HEADERS_DATAGRAM ? (uint32_t)UDP_HEADERS_DATAGRAM : (uint32_t)n;
}

void udp_framer_init(UdpFramer *f, uint8_t mode, uint32_t packet_size, UdpSendFn send, void *ctx) {
  memset(f, 0, sizeof *f);
  f->mode = mode;
  f->datagram_size = udp_datagram_size(mode, packet_size);
  f->format_code = 255;
  f->fps = 30;
  f->send = send;
  f->ctx = ctx;
}

int udp_framer_frame(UdpFramer *f, const uint8_t *data, uint32_t len, uint32_t ts) {
  f->frame_count++;
  if (f->mode == UDP_MODE_RAW) {
    for (uint32_t off = 0; off < len;) {
      uint32_t n = len - off < f->datagram_size ? len - off : f->datagram_size;
      if (f->send(f->ctx, data + off, n) < 0) return -1;
      off += n;
    }
    return 0;
  }
  uint32_t fragment = 0;
  uint32_t off = 0;
  do {
    uint8_t *p = f->buf;
    uint32_t hdr;
    if (f->mode == UDP_MODE_COUNTER) {
      p[0] = (uint8_t)f->frame_count;
      p[1] = (uint8_t)(f->frame_count >> 8);
      hdr = 2;
    } else {
      hdr = UDP_PACKET_HEADER_SIZE + (fragment == 0 ? UDP_FRAME_HEADER_SIZE : 0);
    }
    uint32_t room = f->datagram_size - hdr;
    uint32_t n = len - off < room ? len - off : room;
    bool end = off + n >= len;
    fragment++;
    if (f->mode == UDP_MODE_HEADERS) {
      put_packet_header(p, 0, end, fragment, f->frame_count, len + UDP_FRAME_HEADER_SIZE);
      if (fragment == 1) {
        uint8_t *h = p + UDP_PACKET_HEADER_SIZE;
        memset(h, 0, UDP_FRAME_HEADER_SIZE);
        const uint8_t start[8] = {0x00, 0x00, 0x01, 0xB2, 0x01, 0x00, 0x00, 0x01};
        memcpy(h, start, 8);
        udp_put_le32(h + 8, len + 32);
        put_time(h + 28, &f->video_time, ts);
        memcpy(h + 12, h + 28, 4);
        const uint8_t kind[4] = {12, 1, 0, 3};
        memcpy(h + 16, kind, 4);
        udp_put_le32(h + 20, f->frame_count);
        h[24] = f->format_code;
        h[25] = 9;
        h[27] = f->fps;
      }
    }
    memcpy(p + hdr, data + off, n);
    if (f->send(f->ctx, p, hdr + n) < 0) return -1;
    off += n;
  } while (off < len);
  return 0;
}

int udp_framer_pcm(UdpFramer *f, const uint8_t *data, uint32_t len, uint32_t ts) {
  uint32_t values = len / 2;
  for (uint32_t i = 0; i < values; i++) {
    int16_t v = (int16_t)(data[2 * i] | data[2 * i + 1] << 8);
    f->avg_sum += v;
    if (++f->avg_n < UDP_AUDIO_AVERAGE) continue;
    f->samples[f->nsamples++] = (int16_t)(f->avg_sum / (int32_t)UDP_AUDIO_AVERAGE);
    f->avg_sum = 0;
    f->avg_n = 0;
    if (f->nsamples < UDP_AUDIO_SAMPLES) continue;
    f->nsamples = 0;
    // The packet's time is that of its first sample: the completing value's
    // stereo frame within the entry, less the 64 ms the packet covers.
    uint32_t at = ts - kAudioPacketTicks + (uint32_t)((uint64_t)(i / 2) * 90000 / 48000);
    uint8_t pkt[UDP_AUDIO_PACKET_SIZE];
    put_packet_header(pkt, 1, true, 1, f->audio_count, UDP_AUDIO_PACKET_SIZE - UDP_PACKET_HEADER_SIZE);
    uint8_t *h = pkt + UDP_PACKET_HEADER_SIZE;
    const uint8_t start[8] = {0x00, 0x00, 0x01, 0xB2, 0x02, 0x00, 0x00, 0x01};
    memcpy(h, start, 8);
    udp_put_le32(h + 8, 1040);
    put_time(h + 12, &f->audio_time, at);
    memset(h + 20, 0, 8);
    for (uint32_t k = 0; k < UDP_AUDIO_SAMPLES; k++) {
      h[28 + 2 * k] = (uint8_t)f->samples[k];
      h[28 + 2 * k + 1] = (uint8_t)((uint16_t)f->samples[k] >> 8);
    }
    if (f->send(f->ctx, pkt, sizeof pkt) < 0) return -1;
    f->audio_count++;
  }
  return 0;
}

// ---- status ----

void udp_set_status(UdpSenderEnv *e, const char *fmt, ...) {
  char text[UDP_STATUS_SIZE];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  pthread_mutex_lock(&e->status_mutex);
  memcpy(e->status, text, sizeof text);
  pthread_mutex_unlock(&e->status_mutex);
}

int udp_status_copy(int stream_id, char *buf, size_t size) {
  int i = stream_id - (int)UDP_STREAM1;
  if (i < 0 || i > 1 || !g_senders[i]) return -1;
  UdpSenderEnv *e = g_senders[i];
  pthread_mutex_lock(&e->status_mutex);
  int n = snprintf(buf, size, "%s", e->status[0] ? e->status : "Stopped");
  pthread_mutex_unlock(&e->status_mutex);
  return n;
}

// ---- the thread ----

namespace {

struct Run {
  UdpSenderEnv *e;
  const char *name;
  ParamBlock *p;
  UdpParams cfg;   // the record as the run began
  int sock;
  bool tcp;
  uint64_t sent;
  uint32_t datagrams;
  bool keep_status;   // the run stopped the state with a status of its own
};

bool run_ending(Run *r) { return get_exit_code() != 0 || stream_state_stopping(&r->e->ps); }

bool run_ending_cb(void *ctx) { return run_ending(static_cast<Run *>(ctx)); }

// Ends the run on a fault of its own and stops the sender, keeping the
// status; a start that came meanwhile (new settings) stands, so only this
// run ends.
void stop_with(Run *r) {
  pthread_mutex_lock(&r->e->ps.mutex);
  bool restart = (r->e->ps.flags & STREAM_START) != 0;
  pthread_mutex_unlock(&r->e->ps.mutex);
  if (restart) return;
  r->keep_status = true;
  stream_set_state(&r->e->ps, 0);
}

int send_datagram(void *ctx, const uint8_t *data, size_t size) {
  Run *r = static_cast<Run *>(ctx);
  // Small datagrams make many a frame: a stop is looked for between them.
  if (++r->datagrams % 256 == 0 && run_ending(r)) return -1;
  ssize_t w = send(r->sock, data, size, MSG_NOSIGNAL);
  if (w == (ssize_t)size) return 0;
  if (w < 0 && errno == ECONNREFUSED) {
    // The receiver is not up yet (or went away): a datagram stream goes on
    // unless the destination is to be watched.
    if (!r->cfg.retry_timeout) return 0;
    log_printf("%s: connection refused\n", r->name);
    return -1;
  }
  perror("UDP write");
  return -1;
}

// The whole entry down the TCP connection. A receiver that stops reading
// holds the send; the run still ends when the sender is stopped.
int send_tcp(Run *r, const uint8_t *data, size_t size) {
  size_t off = 0;
  while (off < size) {
    ssize_t w = send(r->sock, data + off, size - off, MSG_NOSIGNAL);
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (run_ending(r)) return -1;
      continue;
    }
    if (w <= 0) {
      int err = w < 0 ? errno : EPIPE;
      udp_set_status(r->e, "%s (write)", strerror(err));
      errno = err;
      perror("TCP write");
      return -1;
    }
    off += (size_t)w;
  }
  return 0;
}

bool open_socket(Run *r, struct sockaddr_in *dest) {
  const char *kind = r->tcp ? "TCP" : "UDP";
  udp_set_status(r->e, "Connecting... %s", kind);
  memset(dest, 0, sizeof *dest);
  dest->sin_family = AF_INET;
  memcpy(&dest->sin_addr.s_addr, r->cfg.addr, 4);
  dest->sin_port = htons(r->cfg.port);
  r->sock = socket(AF_INET, (r->tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  const char *what = "socket";
  if (r->sock >= 0) {
    what = "connect";
    if (connect(r->sock, (struct sockaddr *)dest, sizeof *dest) == 0) {
      if (r->tcp) {
        // A send that waits on a stalled receiver comes back now and then
        // to look for a stop.
        struct timeval tv = {0, 500000};
        setsockopt(r->sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      }
      return true;
    }
  }
  int err = errno;
  perror(what);
  errno = err;
  perror("Socket Open Connect");
  udp_set_status(r->e, "%s (connect)", strerror(err));
  log_printf("%s error %s\n", r->name, strerror(err));
  if (r->sock >= 0) close(r->sock);
  r->sock = -1;
  return false;
}

bool check_destination(Run *r, const struct sockaddr_in *dest) {
  switch (waitConnection_watch(r->sock, dest, r->cfg.retry_timeout, run_ending_cb, r)) {
    case NET_REACH_OK: break;
    case NET_REACH_STOPPED:
      return false;
    case NET_REACH_HOST_TIMEOUT:
      log_printf("%s: destination host timeout\n", r->name);
      udp_set_status(r->e, "Destination host timeout");
      stop_with(r);
      return false;
    case NET_REACH_PORT_TIMEOUT:
      log_printf("%s: destination port timeout\n", r->name);
      udp_set_status(r->e, "Destination port timeout");
      stop_with(r);
      return false;
    default:
      log_printf("%s: network error\n", r->name);
      udp_set_status(r->e, "Network error");
      stop_with(r);
      return false;
  }
  uint8_t ttl = r->p->udp_ttl;
  if (ttl) {
    log_printf("setting ttl to %d\n", ttl);
    int v = ttl;
    if (setsockopt(r->sock, IPPROTO_IP, IP_TTL, &v, sizeof v) != 0) perror("setsockopt IP_TTL");
    if (setsockopt(r->sock, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v) != 0)
      perror("setsockopt IP_MULTICAST_TTL");
  }
  int tos = r->p->udp_dscp_ecn;
  if (setsockopt(r->sock, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0) perror("setsockopt IP_TOS");
  return true;
}

// Mode 2's companion audio: the PCM entries that have arrived, without
// waiting.
bool send_audio(Run *r, StreamState *pcm, UdpFramer *f) {
  while (FrameDesc *d = stream_state_dequeue_raw(pcm)) {
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(d->buf);
    if (len != kPcmEntryBytes) {
      log_printf("not pcm audio?\n");
      return true;
    }
    if (udp_framer_pcm(f, (const uint8_t *)Buffer_getUserPtr(d->buf), len, d->timestamp) < 0)
      return false;
  }
  return true;
}

void stream_run(Run *r) {
  uint8_t mode = r->cfg.stream_mode;
  uint32_t id = r->cfg.stream_id;
  uint8_t smode;
  if (id == PCM_STREAM) smode = StreamMode_Audio_PCM;
  else if (id == AAC_STREAM) smode = StreamMode_Audio_AAC;
  else if (id == VIDEO_STREAM1 || id == VIDEO_STREAM2) smode = r->p->video[id - 1].stream_mode;
  else smode = StreamMode_H264_AAC_TS;

  UdpFramer *f = new UdpFramer;
  udp_framer_init(f, mode, r->p->udp_packet_size, send_datagram, r);
  StreamState st, pcm;
  memset(&st, 0, sizeof st);
  memset(&pcm, 0, sizeof pcm);
  bool with_audio = false;
  if (mode == UDP_MODE_HEADERS) {
    smode = stream_mode_video_es(smode);
    struct timeval now;
    wallclock_now(&now);
    f->video_time.seconds = (uint32_t)now.tv_sec;
    f->video_time.ticks = timestamp_now();
    f->audio_time = f->video_time;
    f->format_code = udp_format_code(r->p, r->e->index);
    f->fps = r->p->capture.standard == 6 ? 25 : 30;
    with_audio = stream_state_attach(PCM_STREAM, StreamMode_Audio_PCM, &pcm) == 0;
  }
  if (stream_state_attach(id, smode, &st) < 0) {
    log_printf("%s: cannot attach to stream %u\n", r->name, id);
    if (with_audio) stream_state_detach(&pcm);
    delete f;
    return;
  }
  log_printf("%s: attached to stream %d; seq %d\n", r->name, (int)id, (int)st.seq);
  const char *status = r->tcp ? "Streaming TCP %llu bytes sent" : "Streaming UDP %llu bytes sent";
  uint32_t size = r->p->udp_packet_size;
  if (!r->tcp && udp_packet_size_too_small(mode, size)) {
    log_printf("%s: UDPPacketSize %u leaves no room after the %u-byte header, %u used\n", r->name,
               size, udp_mode_header(mode), UDP_DEFAULT_DATAGRAM + 28);
    status = "Streaming UDP %llu bytes sent (UDPPacketSize too small: 1428 used)";
  }
  udp_set_status(r->e, status, 0ull);
  while (!run_ending(r)) {
    FrameDesc *d = stream_state_dequeue_timeout(&st, 200);
    if (!d) continue;
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(d->buf);
    if (len == 0) break;
    const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(d->buf);
    r->sent += len;
    if (r->tcp) {
      f->frame_count++;
      if (send_tcp(r, data, len) < 0) break;
    } else {
      if (udp_framer_frame(f, data, len, d->timestamp) < 0) break;
      if (with_audio && !send_audio(r, &pcm, f)) break;
    }
    udp_set_status(r->e, status, (unsigned long long)r->sent);
  }
  log_printf("%s: stopped\n", r->name);
  stream_state_detach(&st);
  if (with_audio) stream_state_detach(&pcm);
  delete f;
}

void sender_run(Run *r) {
  const UdpParams *cfg = &r->cfg;
  char addr[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, cfg->addr, addr, sizeof addr);
  if (cfg->stream_mode == UDP_MODE_MULTICAST) {
    if ((cfg->addr[0] & 0xF0) != 0xE0) {
      log_printf("invalid multicast address %s\n", addr);
      udp_set_status(r->e, "Invalid Multicast Address %s", addr);
      r->keep_status = true;
    } else {
      udp_set_status(r->e, "Streaming Multicast RTP");
    }
    multicast_rtp_run(r->e->index, &r->e->ps);
    // A restart (new settings) leaves a start pending: that one stands.
    pthread_mutex_lock(&r->e->ps.mutex);
    bool restart = (r->e->ps.flags & STREAM_START) != 0;
    pthread_mutex_unlock(&r->e->ps.mutex);
    if (!restart) stream_set_state(&r->e->ps, 0);
    return;
  }
  r->tcp = cfg->stream_mode == UDP_MODE_TCP;
  // A stream id without a queue (3) has nothing to send: said once, not
  // retried every second.
  if (!get_stream_queue(cfg->stream_id)) {
    log_printf("%s: stream %u cannot be sent\n", r->name, cfg->stream_id);
    udp_set_status(r->e, "Invalid StreamID %u", cfg->stream_id);
    stop_with(r);
    return;
  }
  struct sockaddr_in dest;
  if (!open_socket(r, &dest)) return;
  log_printf("%s starting, mode %d\n", r->name, cfg->stream_mode);
  if (r->tcp || check_destination(r, &dest)) stream_run(r);
  close(r->sock);
  r->sock = -1;
}

}  // namespace

void *udpThrFxn(void *arg) {
  UdpSenderEnv *e = static_cast<UdpSenderEnv *>(arg);
  ParamBlock *p = e->env.params ? static_cast<ParamBlock *>(e->env.params) : get_param_block();
  const char *name = e->env.name ? e->env.name : (e->index ? "udpB" : "udpA");
  pthread_mutex_init(&e->status_mutex, nullptr);
  pthread_mutex_init(&e->ps.mutex, nullptr);
  pthread_cond_init(&e->ps.cond, nullptr);
  e->ps.flags = STREAM_STOPPED;
  e->status[0] = 0;
  StreamId id = (StreamId)(UDP_STREAM1 + e->index);
  g_senders[e->index] = e;
  stream_register(&e->ps, nullptr, id);
  if (p->udp[e->index].start_mode == 1) stream_set_state(&e->ps, 1);
  myRendezvousInit(e->env.start_rendezvous, name);

  bool keep_status = false;
  while (!get_exit_code()) {
    if (stream_state_stopping(&e->ps)) {
      if (!keep_status) udp_set_status(e, "Stopped");
      if (!stream_state_wait_start(&e->ps)) continue;
    } else if (!stream_state_wait_start(&e->ps)) {
      // Still started after a run that ended on an error: retry.
      log_printf("UDP %d not stopped\n", e->index);
      for (int i = 0; i < 10 && !get_exit_code() && !stream_state_stopping(&e->ps); i++)
        sleep_ms(100);
      if (get_exit_code() || stream_state_stopping(&e->ps)) continue;
    }
    if (get_exit_code()) break;
    Run r;
    memset(&r, 0, sizeof r);
    r.e = e;
    r.name = name;
    r.p = p;
    r.cfg = p->udp[e->index];
    r.sock = -1;
    sender_run(&r);
    keep_status = r.keep_status;
  }
  myRendezvousCleanup(e->env.cleanup_rendezvous, name);
  stream_register(nullptr, nullptr, id);
  g_senders[e->index] = nullptr;
  return nullptr;
}
