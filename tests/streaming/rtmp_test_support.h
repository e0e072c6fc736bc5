// Shared pieces of the RTMP tests: messages laid out by the chunk writer,
// and a reader that collects the messages a connection sends.
#pragma once
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "core/log.h"
#include "streaming/rtmp/rtmp_amf.h"
#include "streaming/rtmp/rtmp_chunk.h"

typedef std::vector<uint8_t> Bytes;

// Everything logged since the last call.
inline std::string log_take(void) {
  std::string s;
  char buf[4096];
  for (size_t n; (n = log_read(buf, sizeof buf)) > 0;) s.append(buf, n);
  return s;
}

struct RtmpMsg {
  RtmpHeader h;
  Bytes body;
};

// The wire bytes of one message in chunks of chunk_size.
inline Bytes rtmp_wire(RtmpHeader h, const Bytes &body, uint32_t chunk_size = RTMP_CHUNK_SIZE) {
  h.length = (uint32_t)body.size();
  struct iovec piece = {(void *)body.data(), body.size()};
  RtmpChunker c;
  rtmp_chunker_init(&c, &h, &piece, 1, chunk_size);
  Bytes out;
  struct iovec iov[7];  // odd, to end batches in the middle of a chunk
  int n;
  // A chunk's header and body in two iovecs at most, a chunk a byte of body
  // at least: a chunker that gives more never ends.
  size_t calls = 0;
  while ((n = rtmp_chunker_next(&c, iov, 7)) > 0) {
    for (int i = 0; i < n; i++)
      out.insert(out.end(), (uint8_t *)iov[i].iov_base, (uint8_t *)iov[i].iov_base + iov[i].iov_len);
    if (++calls > 2 * body.size() + 2) {
      ADD_FAILURE() << "rtmp_chunker_next never lays out the whole message";
      break;
    }
  }
  return out;
}

inline Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes amf(const char *fmt, ...) {
  static uint8_t buf[131072];
  va_list ap;
  va_start(ap, fmt);
  int n = amf_build(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return n < 0 ? Bytes() : Bytes(buf, buf + n);
}

inline int collect_message(void *arg, const RtmpHeader *h, const uint8_t *body) {
  ((std::vector<RtmpMsg> *)arg)->push_back({*h, Bytes(body, body + h->length)});
  return 0;
}

// The peer side of a connection: parses what arrives on fd.
struct RtmpReader {
  int fd;
  RtmpParser parser;
  Bytes pending;
  std::vector<RtmpMsg> msgs;
  explicit RtmpReader(int f) : fd(f) { rtmp_parser_init(&parser); }
  ~RtmpReader() { rtmp_parser_free(&parser); }
  // Reads until n messages are there (false after timeout_ms of silence).
  bool wait(size_t n, int timeout_ms = 5000) {
    while (msgs.size() < n) {
      struct pollfd pf = {fd, POLLIN, 0};
      if (poll(&pf, 1, timeout_ms) <= 0) return false;
      uint8_t b[65536];
      ssize_t k = recv(fd, b, sizeof b, 0);
      if (k <= 0) return false;
      pending.insert(pending.end(), b, b + k);
      long used = rtmp_parse(&parser, pending.data(), pending.size(), collect_message, &msgs);
      if (used < 0) return false;
      pending.erase(pending.begin(), pending.begin() + used);
    }
    return true;
  }
};

// The first string of an AMF body (a command's name).
inline std::string amf_name(const Bytes &body) {
  AmfReader r;
  AmfValue v;
  amf_reader_init(&r, body.data(), body.size());
  if (amf_read(&r, &v) <= 0 || v.type != AMF0_STRING) return "";
  return std::string(v.str, v.len);
}
