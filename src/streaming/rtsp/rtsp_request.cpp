#include "streaming/rtsp/rtsp_request.h"

#include <cstring>
#include <strings.h>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether c may stand in an option tag that goes back in a reply's header.
bool tag_byte(char c) { return (unsigned char)c > ' ' && c != 0x7F; }

// Copies [s, s+n) trimmed of blanks into out; false when it does not fit.
bool copy_trimmed(const char *s, size_t n, char *out, size_t size) {
  while (n && is_blank(*s)) { s++; n--; }
  while (n && (is_blank(s[n - 1]) || s[n - 1] == '\r')) n--;
  if (size == 0) return false;
  if (n >= size) {
    memcpy(out, s, size - 1);
    out[size - 1] = 0;
    return false;
  }
  memcpy(out, s, n);
  out[n] = 0;
  return true;
}

// Next line of [p, end): its length without the line end; *next after it.
size_t line_at(const char *p, const char *end, const char **next) {
  const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
  const char *e = nl ? nl : end;
  *next = nl ? nl + 1 : end;
  size_t n = (size_t)(e - p);
  if (n && p[n - 1] == '\r') n--;
  return n;
}

bool parse_uint(const char *s, size_t n, unsigned long max, unsigned long *out) {
  while (n && is_blank(*s)) { s++; n--; }
  while (n && is_blank(s[n - 1])) n--;
  if (n == 0 || n > 10) return false;
  unsigned long v = 0;
  for (size_t i = 0; i < n; i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (unsigned long)(s[i] - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

// "a-b" or "a": two numbers, the second a+1 when absent.
bool parse_pair(const char *s, size_t n, unsigned long max, unsigned long *a, unsigned long *b) {
  const char *dash = (const char *)memchr(s, '-', n);
  if (!dash) {
    if (!parse_uint(s, n, max, a) || *a + 1 > max) return false;
    *b = *a + 1;
    return true;
  }
  return parse_uint(s, (size_t)(dash - s), max, a) &&
         parse_uint(dash + 1, n - (size_t)(dash - s) - 1, max, b);
}

bool prefix_nocase(const char *s, size_t n, const char *p) {
  size_t k = strlen(p);
  return n >= k && strncasecmp(s, p, k) == 0;
}

}  // namespace

int rtsp_request_parse(const uint8_t *buf, size_t len, size_t max_header, RtspRequest *req) {
  memset(req, 0, sizeof *req);
  const char *b = (const char *)buf;

  // Blank lines between requests are skipped as a request without a method.
  size_t blank = 0;
  while (blank < len && (b[blank] == '\r' || b[blank] == '\n')) blank++;
  if (blank) {
    req->total = blank;
    return (int)blank;
  }

  size_t end = 0;
  size_t limit = len < max_header ? len : max_header;
  for (size_t i = 0; i < limit; i++) {
    if (b[i] != '\n') continue;
    if (i + 1 < len && b[i + 1] == '\n') { end = i + 2; break; }
    if (i + 2 < len && b[i + 1] == '\r' && b[i + 2] == '\n') { end = i + 3; break; }
  }
  if (!end) return len >= max_header ? RTSP_PARSE_GARBAGE : RTSP_PARSE_MORE;
  req->header_len = end;
  req->total = end;

  const char *stop = b + end;
  const char *p = b;
  const char *next;
  size_t n = line_at(p, stop, &next);

  // Request line: method, URL, version, one blank apart.
  const char *sp1 = (const char *)memchr(p, ' ', n);
  const char *sp2 = sp1 ? (const char *)memchr(sp1 + 1, ' ', n - (size_t)(sp1 + 1 - p)) : nullptr;
  if (!sp1 || !sp2) {
    req->bad = true;
  } else {
    size_t ml = (size_t)(sp1 - p), ul = (size_t)(sp2 - sp1 - 1), vl = n - (size_t)(sp2 + 1 - p);
    if (ml == 0 || ml >= sizeof req->method || ul == 0 || ul >= sizeof req->url || vl == 0 ||
        vl >= sizeof req->version) {
      req->bad = true;
    } else {
      memcpy(req->method, p, ml);
      memcpy(req->url, sp1 + 1, ul);
      memcpy(req->version, sp2 + 1, vl);
      for (size_t i = 0; i < ml; i++) {
        char c = req->method[i];
        if (!((c >= 'A' && c <= 'Z') || c == '_' || c == '-')) req->bad = true;
      }
      for (size_t i = 0; i < ul; i++) {
        if ((unsigned char)req->url[i] <= ' ' || req->url[i] == 0x7F) req->bad = true;
      }
      if (strcmp(req->version, "RTSP/1.0") != 0) req->bad = true;
    }
  }

  req->headers = next;
  req->headers_len = (size_t)(stop - next);
  // A length that cannot be read, or two that differ, leave the end of the
  // body unknown: nothing after it can be framed (RFC 7230 3.3.3).
  bool length_bad = false, have_length = false;
  for (p = next; p < stop; p = next) {
    n = line_at(p, stop, &next);
    if (n == 0) break;
    if (is_blank(*p)) continue;   // folded continuation of the previous header
    const char *colon = (const char *)memchr(p, ':', n);
    if (!colon || colon == p) {
      req->bad = true;
      continue;
    }
    size_t nl = (size_t)(colon - p);
    while (nl && is_blank(p[nl - 1])) nl--;
    const char *v = colon + 1;
    size_t vn = n - (size_t)(v - p);
    if (nl == 4 && strncasecmp(p, "CSeq", 4) == 0) {
      if (!copy_trimmed(v, vn, req->cseq, sizeof req->cseq)) req->bad = true;
    } else if (nl == 7 && strncasecmp(p, "Session", 7) == 0) {
      const char *semi = (const char *)memchr(v, ';', vn);
      if (!copy_trimmed(v, semi ? (size_t)(semi - v) : vn, req->session, sizeof req->session))
        req->bad = true;
    } else if (nl == 14 && strncasecmp(p, "Content-Length", 14) == 0) {
      unsigned long cl = 0;
      if (!parse_uint(v, vn, max_header, &cl) || (have_length && cl != req->content_length))
        length_bad = true;
      have_length = true;
      req->content_length = cl;
    }
  }
  if (length_bad) return RTSP_PARSE_GARBAGE;
  req->total = end + req->content_length;
  if (len < req->total) return RTSP_PARSE_MORE;
  return (int)req->total;
}

bool rtsp_request_header(const RtspRequest *req, const char *name, char *out, size_t size) {
  if (size) out[0] = 0;
  if (!req->headers) return false;
  const char *stop = req->headers + req->headers_len;
  size_t want = strlen(name);
  const char *next;
  for (const char *p = req->headers; p < stop; p = next) {
    size_t n = line_at(p, stop, &next);
    const char *colon = (const char *)memchr(p, ':', n);
    if (!colon) continue;
    size_t nl = (size_t)(colon - p);
    while (nl && is_blank(p[nl - 1])) nl--;
    if (nl == want && strncasecmp(p, name, want) == 0) {
      copy_trimmed(colon + 1, n - (size_t)(colon + 1 - p), out, size);
      return true;
    }
  }
  return false;
}

unsigned rtsp_request_options(const RtspRequest *req, const char *name, char *out,
                              size_t size) {
  if (size) out[0] = 0;
  if (!req->headers) return 0;
  const char *stop = req->headers + req->headers_len;
  size_t want = strlen(name);
  size_t len = 0;
  bool full = false;
  unsigned count = 0;
  const char *next;
  for (const char *p = req->headers; p < stop; p = next) {
    size_t n = line_at(p, stop, &next);
    const char *colon = (const char *)memchr(p, ':', n);
    if (!colon || is_blank(*p)) continue;
    size_t nl = (size_t)(colon - p);
    while (nl && is_blank(p[nl - 1])) nl--;
    if (nl != want || strncasecmp(p, name, want) != 0) continue;
    const char *v = colon + 1;
    const char *e = p + n;
    while (v < e) {
      const char *comma = (const char *)memchr(v, ',', (size_t)(e - v));
      const char *item = v, *item_end = comma ? comma : e;
      v = comma ? comma + 1 : e;
      // The tag is its visible bytes: what the client sent, less what could
      // break the reply's header.
      size_t tl = 0;
      for (const char *q = item; q < item_end; q++) tl += tag_byte(*q);
      if (!tl) continue;
      count++;
      size_t sep = len ? 2 : 0;
      if (full || len + sep + tl >= size) {
        full = true;
        continue;
      }
      if (sep) memcpy(out + len, ", ", 2);
      len += sep;
      for (const char *q = item; q < item_end; q++)
        if (tag_byte(*q)) out[len++] = *q;
      out[len] = 0;
    }
  }
  return count;
}

int rtsp_interleaved_frame(const uint8_t *buf, size_t len, uint8_t *channel) {
  if (len == 0) return RTSP_PARSE_MORE;
  if (buf[0] != '$') return RTSP_PARSE_GARBAGE;
  if (len < 4) return RTSP_PARSE_MORE;
  size_t total = 4 + ((size_t)buf[2] << 8 | buf[3]);
  if (channel) *channel = buf[1];
  return len < total ? RTSP_PARSE_MORE : (int)total;
}

bool rtsp_parse_transport(const char *value, RtspTransport *t) {
  const char *p = value;
  while (*p) {
    const char *comma = strchr(p, ',');
    size_t n = comma ? (size_t)(comma - p) : strlen(p);
    RtspTransport cur;
    memset(&cur, 0, sizeof cur);
    bool ok = false;
    const char *f = p;
    const char *e = p + n;
    bool first = true;
    while (f < e) {
      const char *semi = (const char *)memchr(f, ';', (size_t)(e - f));
      size_t fl = semi ? (size_t)(semi - f) : (size_t)(e - f);
      while (fl && is_blank(*f)) { f++; fl--; }
      while (fl && is_blank(f[fl - 1])) fl--;
      unsigned long a, b;
      if (first) {
        if (fl == 7 && strncasecmp(f, "RTP/AVP", 7) == 0) ok = true, cur.lower = RTSP_TRANSPORT_UDP;
        else if (fl == 11 && strncasecmp(f, "RTP/AVP/UDP", 11) == 0) ok = true, cur.lower = RTSP_TRANSPORT_UDP;
        else if (fl == 11 && strncasecmp(f, "RTP/AVP/TCP", 11) == 0) ok = true, cur.lower = RTSP_TRANSPORT_TCP;
        first = false;
      } else if (fl == 9 && strncasecmp(f, "multicast", 9) == 0) {
        cur.multicast = true;
      } else if (fl == 7 && strncasecmp(f, "unicast", 7) == 0) {
        cur.multicast = false;
      } else if (prefix_nocase(f, fl, "client_port=")) {
        if (parse_pair(f + 12, fl - 12, 65535, &a, &b) && a && b) {
          cur.have_client_ports = true;
          cur.client_rtp_port = (uint16_t)a;
          cur.client_rtcp_port = (uint16_t)b;
        }
      } else if (prefix_nocase(f, fl, "interleaved=")) {
        if (parse_pair(f + 12, fl - 12, 255, &a, &b)) {
          cur.have_interleaved = true;
          cur.rtp_channel = (uint8_t)a;
          cur.rtcp_channel = (uint8_t)b;
        }
      }
      f = semi ? semi + 1 : e;
    }
    if (ok) {
      *t = cur;
      return true;
    }
    if (!comma) break;
    p = comma + 1;
  }
  return false;
}
