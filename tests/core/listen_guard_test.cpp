// A server's cap follows the descriptor limit as it is now, and a flood of
// refusals or accept failures makes one log line, not one each.
#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <vector>

#include "core/listen_guard.h"
#include "core/log.h"

namespace {

std::string log_take(void) {
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = log_read(buf, sizeof buf)) > 0) s.append(buf, n);
  return s;
}

int count(const std::string &s, const char *what) {
  int n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
  return n;
}

TEST(ListenGuard, CapIsAShareOfTheDescriptorLimitReadEachTime) {
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit rl = old;
  rl.rlim_cur = 200;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
  EXPECT_EQ(listen_guard_max(1024), 25u);
  EXPECT_EQ(listen_guard_max(20), 20u);
  rl.rlim_cur = 8;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
  EXPECT_EQ(listen_guard_max(1024), (unsigned)LISTEN_MIN_CONNECTIONS);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
}

// Every listener filled to its cap at once still leaves the process the
// descriptors it has open when idle (about 60) and room for recordings,
// snapshots and file requests.
TEST(ListenGuard, AllListenersFullLeaveTheRestOfTheProcessItsDescriptors) {
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit rl = old;
  const struct {
    rlim_t limit;
    unsigned share;
  } cases[] = {{96, 12}, {256, 32}, {300, 43}, {511, 95}, {1024, 192}, {4096, 768}};
  for (const auto &c : cases) {
    rl.rlim_cur = c.limit;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    unsigned share = listen_guard_max(100000);
    EXPECT_EQ(share, c.share) << c.limit;
    rlim_t left = c.limit - (rlim_t)share * LISTEN_SERVERS;
    EXPECT_GE(left, c.limit >= 256 ? 128u : c.limit / 2) << c.limit;
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
}

// Players cost CPU, not descriptors: a high limit leaves them at the
// ceiling, a low one at the listener's share; an address holds a quarter.
TEST(ListenGuard, PlayersHaveAFixedCeilingAndEachAddressAPart) {
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit rl = old;
  const struct {
    rlim_t limit;
    unsigned players, share;
  } cases[] = {{8, 4, 1}, {256, 32, 8}, {1024, 192, 48}, {20000, 192, 48}, {1u << 20, 192, 48}};
  for (const auto &c : cases) {
    rl.rlim_cur = c.limit;
    if (c.limit > old.rlim_max) continue;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    EXPECT_EQ(listen_guard_players(4096), c.players) << c.limit;
    EXPECT_EQ(listen_guard_address_share(listen_guard_players(4096)), c.share) << c.limit;
  }
  EXPECT_EQ(listen_guard_players(100), 100u);
  EXPECT_EQ(listen_guard_address_share(3), 1u);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
}

TEST(ListenGuard, OneLineAnEpisode) {
  log_take();
  ListenGuard g = {"srv", false, false, 0};
  for (int i = 0; i < 100; i++) EXPECT_TRUE(listen_guard_full(&g, 10, 10));
  EXPECT_FALSE(listen_guard_full(&g, 9, 10));
  EXPECT_TRUE(listen_guard_full(&g, 10, 10));  // one place freed and taken: the same episode
  EXPECT_FALSE(listen_guard_full(&g, 5, 10));
  EXPECT_TRUE(listen_guard_full(&g, 10, 10));  // a new one
  std::string log = log_take();
  EXPECT_EQ(count(log, "srv: 10 connections, refusing more\n"), 2) << log;

  for (int i = 0; i < 100; i++) {
    EXPECT_TRUE(listen_guard_accept_failed(&g, EMFILE));
    listen_guard_accepted(&g);  // a place freed now and then is taken at once
  }
  EXPECT_FALSE(listen_guard_accept_failed(&g, EAGAIN));
  EXPECT_FALSE(listen_guard_accept_failed(&g, ECONNABORTED));
  EXPECT_FALSE(listen_guard_accept_failed(&g, EINVAL));
  log = log_take();
  EXPECT_EQ(count(log, "srv: accept: Too many open files, pausing new connections\n"), 1) << log;
  EXPECT_EQ(count(log, "srv: accepting connections again\n"), 1);
  EXPECT_EQ(count(log, "srv: accept: Invalid argument\n"), 1);
  EXPECT_EQ(count(log, "\n"), 3);
}

// Every way of running out pauses new connections with one line; a
// connection that went away or a bad call does not pause anything.
TEST(ListenGuard, EachWayOfRunningOutPauses) {
  for (int err : {EMFILE, ENFILE, ENOBUFS, ENOMEM}) {
    log_take();
    ListenGuard g = {"srv", false, false, 0};
    EXPECT_TRUE(listen_guard_out_of_resources(err)) << err;
    for (int i = 0; i < 10; i++) EXPECT_TRUE(listen_guard_accept_failed(&g, err)) << err;
    EXPECT_TRUE(g.out_of_fds) << err;
    EXPECT_EQ(count(log_take(), ", pausing new connections\n"), 1) << err;
  }
  for (int err : {EAGAIN, EINVAL}) {
    log_take();
    ListenGuard g = {"srv", false, false, 0};
    EXPECT_FALSE(listen_guard_out_of_resources(err)) << err;
    EXPECT_FALSE(listen_guard_accept_failed(&g, err)) << err;
    EXPECT_FALSE(g.out_of_fds) << err;
    EXPECT_EQ(count(log_take(), "pausing"), 0) << err;
  }
}

// At a ceiling a newcomer from an address holding fewer places takes one
// of the address holding the most: the place that moved least, a young one
// only when nothing else can go; the address holding the most is refused.
TEST(ListenGuard, NewcomerTakesAPlaceOfTheAddressHoldingMost) {
  const int64_t now = 100000;
  std::vector<ListenPlace> p;
  for (uint64_t a = 1; a <= 4; a++)  // four addresses, three places each
    for (int i = 0; i < 3; i++) p.push_back({a, now - 5000, 1000 + a * 10 + (uint64_t)i});
  EXPECT_EQ(listen_guard_pick(p.data(), (unsigned)p.size(), 3, now), -1);
  EXPECT_EQ(listen_guard_pick(p.data(), (unsigned)p.size(), 9, now), 0);  // least moved of all tied
  p[7].recent_bytes = 0;  // address 3 has an idle one
  EXPECT_EQ(listen_guard_pick(p.data(), (unsigned)p.size(), 9, now), 7);
  p.push_back({2, now - 5000, 1u << 20});  // address 2 now holds the most
  EXPECT_EQ(listen_guard_pick(p.data(), (unsigned)p.size(), 2, now), -1);
  EXPECT_EQ(listen_guard_pick(p.data(), (unsigned)p.size(), 1, now), 3);
  p[3] = {2, now - 10, 0};  // idle but young: a slow old one goes first
  p[4].recent_bytes = 7;
  EXPECT_EQ(listen_guard_pick(p.data(), (unsigned)p.size(), 1, now), 4);
  for (ListenPlace &q : p) if (q.addr == 2) q.since = now - 10;
  EXPECT_EQ(listen_guard_pick(p.data(), (unsigned)p.size(), 1, now), 3);  // only young ones left
  EXPECT_EQ(listen_guard_pick(p.data(), 0, 1, now), -1);
}

TEST(ListenGuard, AddressKeyIgnoresThePort) {
  struct sockaddr_in a = {}, b = {};
  a.sin_family = b.sin_family = AF_INET;
  inet_pton(AF_INET, "10.0.0.7", &a.sin_addr);
  b = a;
  a.sin_port = htons(1000);
  b.sin_port = htons(2000);
  struct sockaddr_in6 m = {};
  m.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:10.0.0.7", &m.sin6_addr);
  uint64_t k = listen_guard_addr_key((struct sockaddr *)&a);
  EXPECT_NE(k, 0u);
  EXPECT_EQ(k, listen_guard_addr_key((struct sockaddr *)&b));
  EXPECT_EQ(k, listen_guard_addr_key((struct sockaddr *)&m));
  inet_pton(AF_INET, "10.0.0.8", &b.sin_addr);
  EXPECT_NE(k, listen_guard_addr_key((struct sockaddr *)&b));
}

}  // namespace
