// Whether a UDP destination can be reached, asked of the network itself: a
// datagram protocol has no handshake, so the sender and the UDP log look
// for the destination's hardware address in the ARP cache, then for ICMP
// port-unreachable answers to empty datagrams.
#pragma once
#include <netinet/in.h>

enum {
  NET_REACH_OK = 0,
  NET_REACH_HOST_TIMEOUT = 1,   // no ARP answer within the time
  NET_REACH_PORT_TIMEOUT = 2,   // the host refused the port to the end
  NET_REACH_STOPPED = 3,        // the caller's stop came first
  NET_REACH_ERROR = -1
};

// s is a UDP socket connected to dest. Spends at most about `seconds`
// seconds (0 returns NET_REACH_OK at once) and gives up at quit. A
// destination off the link (behind a router) has no ARP entry of its own:
// the port phase alone decides for it.
int waitConnection(int s, const struct sockaddr_in *dest, int seconds);
// The same, also giving up (NET_REACH_STOPPED) as soon as stop(ctx) says so:
// it is asked at least every 100 ms.
int waitConnection_watch(int s, const struct sockaddr_in *dest, int seconds,
                         bool (*stop)(void *ctx), void *ctx);
