#include "streaming/rtmp/rtmp_chunk.h"

#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "core/log.h"

RtmpBudget rtmp_pending_budget = {0, RTMP_PENDING_BUDGET, RTMP_PENDING_RESERVE, {}};

namespace {

const uint32_t kExtended = 0xFFFFFF;
// Refusals closer than this make one episode.
const uint32_t kRefusalQuietMs = 10000;
pthread_mutex_t refusal_lock = PTHREAD_MUTEX_INITIALIZER;

inline void put24(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 16); p[1] = (uint8_t)(v >> 8); p[2] = (uint8_t)v;
}
inline void put32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24); p[1] = (uint8_t)(v >> 16); p[2] = (uint8_t)(v >> 8); p[3] = (uint8_t)v;
}
inline uint32_t get24(const uint8_t *p) { return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2]; }
inline uint32_t get32(const uint8_t *p) { return (uint32_t)p[0] << 24 | get24(p + 1); }

// Message header bytes after the basic header, by fmt.
const uint8_t kHeaderBytes[4] = {11, 7, 3, 0};

RtmpChunkStream *find_stream(RtmpParser *p, uint32_t csid) {
  for (RtmpChunkStream &s : p->streams)
    if (s.csid == csid) return &s;
  return nullptr;
}

RtmpChunkStream *new_stream(RtmpParser *p, uint32_t csid) {
  for (RtmpChunkStream &s : p->streams) {
    if (s.csid) continue;
    memset(&s, 0, sizeof s);
    s.csid = csid;
    return &s;
  }
  return nullptr;
}

void drop_message(RtmpParser *p, RtmpChunkStream *s) {
  free(s->buf);
  p->pending -= s->cap;
  if (p->budget) rtmp_budget_give(p->budget, s->cap);
  s->buf = nullptr;
  s->cap = 0;
  s->received = 0;
}

// Makes room in s's assembly buffer for need bytes: it grows by doubling,
// up to the message's length, as bytes arrive. false (logged) when the
// connection or all of them together would hold too much.
bool grow(RtmpParser *p, RtmpChunkStream *s, uint32_t need) {
  if (need <= s->cap) return true;
  uint32_t cap = s->cap ? 2 * s->cap : (uint32_t)RTMP_PENDING_STEP;
  if (cap < need) cap = need;
  if (cap > s->length) cap = s->length;
  size_t more = cap - s->cap;
  if (p->pending + more > RTMP_MAX_PENDING) {
    log_printf("%s: unfinished messages of %zu bytes on one connection over the limit\n",
               "rtmp_parse", p->pending + more);
    return false;
  }
  if (p->budget && !rtmp_budget_take(p->budget, p->pending, more)) {
    pthread_mutex_lock(&refusal_lock);
    bool first = log_episode_fail(&p->budget->refusals);
    pthread_mutex_unlock(&refusal_lock);
    if (first)
      log_printf("%s: unfinished messages of all connections over %zu bytes, closing connections "
                 "that hold more (this one holds %zu)\n", "rtmp_parse", p->budget->limit, p->pending);
    return false;
  }
  uint8_t *buf = (uint8_t *)realloc(s->buf, cap);
  if (!buf) {
    if (p->budget) rtmp_budget_give(p->budget, more);
    log_printf("failed to allocate %lu bytes for rtmp packet\n", (unsigned long)cap);
    return false;
  }
  s->buf = buf;
  s->cap = cap;
  p->pending += more;
  return true;
}

// Handles a complete message: Set Chunk Size here, the rest through fn.
int deliver(RtmpParser *p, RtmpChunkStream *s, RtmpMessageFn fn, void *arg) {
  RtmpHeader h = {s->csid, s->timestamp, s->length, s->type, s->msid};
  static const uint8_t empty[1] = {0};
  const uint8_t *body = s->buf ? s->buf : empty;
  int rc = 0;
  if (h.type == RTMP_MSG_SET_CHUNK_SIZE) {
    uint32_t size = h.length >= 4 ? get32(body) : 0;
    if (size == 0 || size > 0x7FFFFFFF) {
      log_printf("%s: Set Chunk Size %u refused\n", "rtmp_parse", size);
      rc = RTMP_PARSE_ERROR;
    } else {
      p->chunk_size = size;
    }
  } else if (fn) {
    rc = fn(arg, &h, body);
  }
  drop_message(p, s);
  return rc;
}

// Reads one chunk header at data: the bytes it takes, 0 when more are
// needed, or RTMP_PARSE_ERROR.
long parse_header(RtmpParser *p, const uint8_t *d, size_t len) {
  if (len < 1) return 0;
  uint32_t fmt = d[0] >> 6;
  uint32_t csid = d[0] & 0x3F;
  size_t pos = 1;
  if (csid == 0) {
    if (len < 2) return 0;
    csid = 64u + d[1];
    pos = 2;
  } else if (csid == 1) {
    if (len < 3) return 0;
    csid = 64u + d[1] + 256u * d[2];
    pos = 3;
  }
  size_t need = pos + kHeaderBytes[fmt];
  if (len < need) return 0;
  RtmpChunkStream *s = find_stream(p, csid);
  if (!s && fmt >= 2) {
    log_printf("%s: chunk stream %u continued before it began\n", "rtmp_parse", csid);
    return RTMP_PARSE_ERROR;
  }
  bool extended = s && s->extended;
  if (fmt < 3) extended = get24(d + pos) == kExtended;
  if (extended) need += 4;
  if (len < need) return 0;
  if (s && s->received && fmt != 3) {
    log_printf("%s: new header inside a message on chunk stream %u\n", "rtmp_parse", csid);
    return RTMP_PARSE_ERROR;
  }
  if (!s && !(s = new_stream(p, csid))) {
    log_printf("%s: more than %d chunk streams\n", "rtmp_parse", RTMP_CHUNK_STREAMS);
    return RTMP_PARSE_ERROR;
  }
  const uint8_t *m = d + pos;
  if (fmt < 3) {
    uint32_t ts = extended ? get32(d + pos + kHeaderBytes[fmt]) : get24(m);
    s->timestamp = fmt == 0 ? ts : s->timestamp + ts;
    s->extended = extended;
  }
  if (fmt < 2) {
    s->length = get24(m + 3);
    s->type = m[6];
  }
  if (fmt == 0) s->msid = (uint32_t)m[7] | (uint32_t)m[8] << 8 | (uint32_t)m[9] << 16 | (uint32_t)m[10] << 24;

  if (s->received == 0 && s->length > RTMP_MAX_PENDING) {
    log_printf("%s: message of %u bytes on chunk stream %u over the limit\n", "rtmp_parse", s->length, csid);
    return RTMP_PARSE_ERROR;
  }
  uint32_t rest = s->length - s->received;
  p->current = s;
  p->piece_left = rest < p->chunk_size ? rest : p->chunk_size;
  return (long)need;
}

}  // namespace

size_t rtmp_header_write(uint8_t *out, const RtmpHeader *h) {
  bool ext = h->timestamp >= kExtended;
  out[0] = (uint8_t)(h->csid & 0x3F);
  put24(out + 1, ext ? kExtended : h->timestamp);
  put24(out + 4, h->length);
  out[7] = h->type;
  out[8] = (uint8_t)h->msid;
  out[9] = (uint8_t)(h->msid >> 8);
  out[10] = (uint8_t)(h->msid >> 16);
  out[11] = (uint8_t)(h->msid >> 24);
  if (!ext) return 12;
  put32(out + 12, h->timestamp);
  return 16;
}

size_t rtmp_continuation_write(uint8_t *out, const RtmpHeader *h) {
  out[0] = (uint8_t)(0xC0 | (h->csid & 0x3F));
  if (h->timestamp < kExtended) return 1;
  put32(out + 1, h->timestamp);
  return 5;
}

void rtmp_chunker_init(RtmpChunker *c, const RtmpHeader *h, const struct iovec *body, int nbody,
                       uint32_t chunk_size) {
  memset(c, 0, sizeof *c);
  c->body = body;
  c->nbody = nbody;
  c->chunk_size = chunk_size;
  c->left = h->length;
  c->first_len = (uint8_t)rtmp_header_write(c->first, h);
  c->cont_len = (uint8_t)rtmp_continuation_write(c->cont, h);
}

int rtmp_chunker_next(RtmpChunker *c, struct iovec *iov, int max) {
  int n = 0;
  if (!c->started) {
    if (max < 1) return 0;
    c->started = true;
    iov[n++] = {c->first, c->first_len};
    c->chunk_left = c->left < c->chunk_size ? c->left : c->chunk_size;
  }
  while (c->left && n < max) {
    if (c->chunk_left == 0) {
      // A header and at least one payload piece go together.
      if (n + 2 > max) break;
      iov[n++] = {c->cont, c->cont_len};
      c->chunk_left = c->left < c->chunk_size ? c->left : c->chunk_size;
    }
    while (c->piece < c->nbody && c->offset == c->body[c->piece].iov_len) {
      c->piece++;
      c->offset = 0;
    }
    if (c->piece >= c->nbody) break;  // pieces shorter than the header said
    const struct iovec &b = c->body[c->piece];
    size_t take = b.iov_len - c->offset;
    if (take > c->chunk_left) take = c->chunk_left;
    iov[n++] = {(uint8_t *)b.iov_base + c->offset, take};
    c->offset += take;
    c->chunk_left -= (uint32_t)take;
    c->left -= (uint32_t)take;
  }
  return n;
}

bool rtmp_budget_take(RtmpBudget *b, size_t held, size_t n) {
  size_t limit = held + n > RTMP_PENDING_SMALL ? b->limit - b->reserve : b->limit;
  size_t used = __atomic_load_n(&b->used, __ATOMIC_RELAXED);
  do {
    if (used + n > limit) return false;
  } while (!__atomic_compare_exchange_n(&b->used, &used, used + n, true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED));
  return true;
}

void rtmp_budget_give(RtmpBudget *b, size_t n) { __atomic_fetch_sub(&b->used, n, __ATOMIC_RELAXED); }

void rtmp_budget_tick(RtmpBudget *b) {
  pthread_mutex_lock(&refusal_lock);
  uint32_t n = log_episode_ok(&b->refusals, kRefusalQuietMs);
  pthread_mutex_unlock(&refusal_lock);
  if (n)
    log_printf("%s: %u connections closed for holding unfinished messages over the budget\n",
               "rtmp_parse", n);
}

void rtmp_parser_init(RtmpParser *p) {
  memset(p, 0, sizeof *p);
  p->chunk_size = RTMP_CHUNK_SIZE;
  p->budget = &rtmp_pending_budget;
}

void rtmp_parser_free(RtmpParser *p) {
  for (RtmpChunkStream &s : p->streams) drop_message(p, &s);
  p->current = nullptr;
}

long rtmp_parse(RtmpParser *p, const uint8_t *data, size_t len, RtmpMessageFn fn, void *arg) {
  size_t pos = 0;
  for (;;) {
    RtmpChunkStream *s = p->current;
    if (!s) {
      long n = parse_header(p, data + pos, len - pos);
      if (n < 0) return n;
      if (n == 0) return (long)pos;
      pos += (size_t)n;
      s = p->current;
    }
    size_t take = len - pos;
    if (take > p->piece_left) take = p->piece_left;
    if (take && !grow(p, s, s->received + (uint32_t)take)) return RTMP_PARSE_ERROR;
    if (take) memcpy(s->buf + s->received, data + pos, take);
    pos += take;
    s->received += (uint32_t)take;
    p->piece_left -= (uint32_t)take;
    if (p->piece_left) return (long)pos;
    p->current = nullptr;
    if (s->received == s->length) {
      int rc = deliver(p, s, fn, arg);
      if (rc < 0) return rc;
    }
  }
}
