#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "core/net_reach.h"
#include "platform/host_root.h"
#include "platform/netif.h"
#include "test_root.h"

namespace {

void write_arp(const char *text) {
  test_root();
  FILE *f = fopen(HostPath("/run/sim/arp").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(text, f);
  fclose(f);
}

struct Probe {
  int rx = -1, tx = -1;
  struct sockaddr_in dest = {};
  // A UDP socket connected to addr at a fresh port; listening there when
  // listen is set.
  Probe(const char *addr, bool listen) {
    rx = socket(AF_INET, SOCK_DGRAM, 0);
    dest.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &dest.sin_addr);
    bind(rx, (struct sockaddr *)&dest, sizeof dest);
    socklen_t l = sizeof dest;
    getsockname(rx, (struct sockaddr *)&dest, &l);
    if (!listen) {
      close(rx);
      rx = -1;
    }
    inet_pton(AF_INET, addr, &dest.sin_addr);
    tx = socket(AF_INET, SOCK_DGRAM, 0);
    connect(tx, (struct sockaddr *)&dest, sizeof dest);
  }
  ~Probe() {
    if (rx >= 0) close(rx);
    close(tx);
  }
};

TEST(NetReach, SimulatedArpCacheAnswers) {
  RootKeep keep({"/run/sim/arp"});
  write_arp("10.1.2.3 00:11:22:aa:bb:cc\n10.1.2.4 none\n10.1.2.5 offlink\n");
  auto query = [](const char *a, unsigned char *mac) {
    struct in_addr ia;
    inet_pton(AF_INET, a, &ia);
    return netif_arp_query("eth0", ia.s_addr, mac);
  };
  unsigned char mac[6];
  ASSERT_EQ(query("10.1.2.3", mac), 0);
  EXPECT_EQ(mac[0], 0x00); EXPECT_EQ(mac[3], 0xaa); EXPECT_EQ(mac[5], 0xcc);
  ASSERT_EQ(query("10.1.2.4", mac), 0);
  EXPECT_EQ(mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5], 0) << "none never answers";
  EXPECT_EQ(query("10.1.2.5", mac), -1);
  EXPECT_EQ(errno, ENXIO);
  ASSERT_EQ(query("239.129.2.3", mac), 0);   // group MAC keeps the low 23 bits
  EXPECT_EQ(mac[0], 0x01); EXPECT_EQ(mac[2], 0x5e); EXPECT_EQ(mac[3], 0x01); EXPECT_EQ(mac[5], 3);
  ASSERT_EQ(query("192.168.7.9", mac), 0);
  EXPECT_NE(mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5], 0) << "unlisted hosts answer";
}

TEST(NetReach, HostPortAndOffLinkOutcomes) {
  RootKeep keep({"/run/sim/arp"});
  write_arp("127.0.0.2 none\n127.0.0.3 offlink\n");
  {
    Probe p("127.0.0.1", true);
    EXPECT_EQ(waitConnection(p.tx, &p.dest, 0), NET_REACH_OK) << "0 s skips the check";
    EXPECT_EQ(waitConnection(p.tx, &p.dest, 2), NET_REACH_OK);
  }
  {
    Probe p("127.0.0.2", true);
    EXPECT_EQ(waitConnection(p.tx, &p.dest, 2), NET_REACH_HOST_TIMEOUT);
  }
  {
    Probe p("127.0.0.1", false);
    EXPECT_EQ(waitConnection(p.tx, &p.dest, 1), NET_REACH_PORT_TIMEOUT);
  }
  {
    // No ARP entry of its own, but the port answers.
    Probe p("127.0.0.3", false);
    EXPECT_EQ(waitConnection(p.tx, &p.dest, 1), NET_REACH_PORT_TIMEOUT);
  }
}

// A check of an hour gives up when its caller is stopped, in either phase.
TEST(NetReach, StopEndsTheCheckInEitherPhase) {
  RootKeep keep({"/run/sim/arp"});
  write_arp("127.0.0.2 none\n");
  static std::atomic<int> asked;
  auto stop_after_some = [](void *) { return ++asked > 20; };
  for (const char *addr : {"127.0.0.2", "127.0.0.1"}) {  // no ARP answer; port refused
    SCOPED_TRACE(addr);
    asked = 0;
    Probe p(addr, false);
    EXPECT_EQ(waitConnection_watch(p.tx, &p.dest, 3600, stop_after_some, nullptr), NET_REACH_STOPPED);
  }
  Probe p("127.0.0.1", true);
  EXPECT_EQ(waitConnection_watch(p.tx, &p.dest, 3600, [](void *) { return false; }, nullptr),
            NET_REACH_OK);
}

}  // namespace
