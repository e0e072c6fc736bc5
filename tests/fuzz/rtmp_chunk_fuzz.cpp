// Any bytes as what an RTMP client sends after the handshake: chunks,
// control messages and AMF0 commands, whole and one byte at a time, through
// the connection's receive path with its replies going out on a socket.
// Nothing may be read outside the bytes received, the partial messages held
// stay within their limit, and what is left unparsed is less than a header.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "streaming/rtmp/rtmp_connection.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

void drain(int fd) {
  char b[65536];
  while (recv(fd, b, sizeof b, MSG_DONTWAIT) > 0) {}
}

void run(const uint8_t *data, size_t size, size_t step) {
  int sv[2];
  check(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  // A reply that does not fit the socket ends the connection instead of
  // blocking the harness.
  fcntl(sv[0], F_SETFL, O_NONBLOCK);
  RtmpConnection *c = (RtmpConnection *)malloc(sizeof(RtmpConnection));
  check(c != nullptr);
  rtmp_connection_init(c, sv[0]);
  for (size_t at = 0; at < size; at += step) {
    size_t n = size - at < step ? size - at : step;
    int rc = rtmp_connection_feed(c, data + at, n);
    drain(sv[1]);
    if (rc < 0) break;
    check(c->rx_len < RTMP_MAX_HEADER);
    check(c->parser.pending <= RTMP_MAX_PENDING);
    check(c->parser.chunk_size >= 1 && c->parser.chunk_size <= 0x7FFFFFFF);
  }
  rtmp_connection_free(c);
  free(c);
  close(sv[0]);
  close(sv[1]);
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  run(data, size, size ? size : 1);
  run(data, size, 1);
  return 0;
}
