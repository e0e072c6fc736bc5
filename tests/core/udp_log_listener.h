// The receiving end of the UDP log in the core tests.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A datagram socket bound to the UDP log's port on loopback, or -1 when
// something else on the host holds that port.
inline int udp_log_listener(void) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(7391);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, (sockaddr *)&sa, sizeof sa) != 0) {
    close(s);
    return -1;
  }
  return s;
}
