// A UDP socket bound to a free loopback port, for the stand-in peers of the
// control tests.
#pragma once
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

// Returns the socket (or -1) and sets *port to the port it took.
inline int udp_loopback_bind(uint16_t *port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (sockaddr *)&a, &len) != 0) return -1;
  *port = ntohs(a.sin_port);
  return fd;
}
