#include "core/net_reach.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>

#include "core/global.h"
#include "core/log.h"
#include "core/process_util.h"
#include "platform/netif.h"

namespace {

// An empty datagram: it makes the kernel resolve the address, and the
// host's ICMP answer to it shows up as ECONNREFUSED on a later send.
// 1 refused, 0 sent, -1 other failure.
int send_probe(int s) {
  if (send(s, "", 0, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return 0;
  return errno == ECONNREFUSED ? 1 : errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

}  // namespace

int waitConnection(int s, const struct sockaddr_in *dest, int seconds) {
  return waitConnection_watch(s, dest, seconds, nullptr, nullptr);
}

int waitConnection_watch(int s, const struct sockaddr_in *dest, int seconds,
                         bool (*stop)(void *ctx), void *ctx) {
  if (seconds <= 0) return NET_REACH_OK;
  auto stopped = [stop, ctx] { return stop && stop(ctx); };
  int left = seconds;
  unsigned char mac[6] = {0};
  bool answered = false;
  while (left > 0 && !get_exit_code()) {
    if (send_probe(s) < 0) {
      perror("UDP: waitConnection ARP");
      return NET_REACH_ERROR;
    }
    if (netif_arp_query("eth0", dest->sin_addr.s_addr, mac) != 0) {
      if (errno == ENXIO) break;
      perror("UDP ioctl");
      return NET_REACH_ERROR;
    }
    if (mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) {
      answered = true;
      break;
    }
    if (left == 1) return NET_REACH_HOST_TIMEOUT;
    for (int i = 0; i < 10 && !stopped(); i++) sleep_ms(100);
    if (stopped()) return NET_REACH_STOPPED;
    left--;
  }
  if (get_exit_code()) return NET_REACH_ERROR;
  if (stopped()) return NET_REACH_STOPPED;
  if (answered) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dest->sin_addr, ip, sizeof ip);
    log_printf("%s -> %02X:%02X:%02X:%02X:%02X:%02X\n", ip, mac[0], mac[1], mac[2], mac[3],
               mac[4], mac[5]);
  }
  for (; left > 0 && !get_exit_code(); left--) {
    log_printf("UDP: %s: %d seconds left\n", "waitConnection", left);
    int refused = 0;
    for (int i = 0; i < 100; i++) {
      if (stopped()) return NET_REACH_STOPPED;
      int r = send_probe(s);
      if (r < 0) {
        perror("UDP: waitConnection");
        return NET_REACH_ERROR;
      }
      refused += r;
      sleep_ms(10);
    }
    if (!refused) return NET_REACH_OK;
  }
  return get_exit_code() ? NET_REACH_ERROR : NET_REACH_PORT_TIMEOUT;
}
