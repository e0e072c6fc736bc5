// The status word's subscribers: who hears which change, slot rules for the
// primary bit, and the shutdown notification.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "control/status_events.h"
#include "udp_loopback.h"

namespace {

struct Listener {
  int fd = -1;
  uint16_t port = 0;
  Listener() {
    fd = udp_loopback_bind(&port);
  }
  ~Listener() { close(fd); }

  struct Note {
    uint32_t word = 0, changed = 0;
    std::string reason;
  };
  // The next notification; fails the test when none comes within 5 s.
  Note next() {
    Note n;
    pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1) << "no notification";
    if (!(p.revents & POLLIN)) return n;
    CtlPacket pk;
    ssize_t got = recv(fd, pk.frame, sizeof pk.frame, 0);
    EXPECT_EQ(ctl_decode_frame(&pk, got > 0 ? (size_t)got : 0), 0);
    EXPECT_EQ(ctl_get_u8(&pk), CTL_KIND_EVENT);
    EXPECT_EQ(ctl_get_u8(&pk), STATUS_EVENT_STATUS_CHANGE);
    n.word = ctl_get_u32(&pk);
    n.changed = ctl_get_u32(&pk);
    n.reason = ctl_get_string(&pk);
    EXPECT_EQ(pk.error, 0);
    return n;
  }
};

}  // namespace

TEST(StatusSubscribers, MaskSelectsChangesAndEqualWordsSendNothing) {
  ASSERT_EQ(status_events_init(nullptr), 0);
  status_update(0, ~0u, "reset");
  Listener rec;
  uint32_t word = 1234;
  ASSERT_EQ(status_subscribe(2, STATUS_RECORDING, rec.port, &word), CTL_OK);
  EXPECT_EQ(word, 0u);

  set_wifi_status(1);
  status_update(STATUS_RECORDING, STATUS_RECORDING, "record_start");
  Listener::Note n = rec.next();
  EXPECT_EQ(n.word, STATUS_RECORDING | STATUS_WIFI);
  EXPECT_EQ(n.changed, (uint32_t)STATUS_RECORDING);
  EXPECT_EQ(n.reason, "record_start");

  // Neither an unchanged word nor a mask of 0 sends anything: the next
  // datagram is the one that stops recording.
  status_update(STATUS_RECORDING, STATUS_RECORDING, "again");
  status_update(0, 0, "nothing");
  status_update(0, STATUS_RECORDING, "record_stop");
  n = rec.next();
  EXPECT_EQ(n.word, (uint32_t)STATUS_WIFI);
  EXPECT_EQ(n.reason, "record_stop");
  EXPECT_EQ(status_get(), (uint32_t)STATUS_WIFI);
}

TEST(StatusSubscribers, OnlyThePrimarySlotHoldsThePrimaryBit) {
  ASSERT_EQ(status_events_init(nullptr), 0);
  status_update(0, ~0u, "reset");
  uint32_t word = 0;
  EXPECT_EQ(status_subscribe(4, 1, 9000, &word), CTL_ERR_RANGE);
  ASSERT_EQ(status_subscribe(1, STATUS_PRIMARY | STATUS_RECORDING, 9000, &word), CTL_OK);
  EXPECT_EQ(status_subscriber(1).mask, (uint32_t)STATUS_RECORDING);
  EXPECT_EQ(word & STATUS_PRIMARY, 0u);

  Listener primary;
  ASSERT_EQ(status_subscribe(0, STATUS_PRIMARY | STATUS_SHUTDOWN, primary.port, &word), CTL_OK);
  EXPECT_EQ(word, (uint32_t)STATUS_PRIMARY);
  EXPECT_EQ(status_subscriber(0).mask, (uint32_t)(STATUS_PRIMARY | STATUS_SHUTDOWN));

  // Shutdown tells the subscriber, with no reason; the word and its lock
  // outlive it.
  status_events_shutdown();
  Listener::Note n = primary.next();
  EXPECT_EQ(n.reason, "");
  EXPECT_EQ(n.word, (uint32_t)(STATUS_PRIMARY | STATUS_SHUTDOWN));
  EXPECT_EQ(n.changed, (uint32_t)STATUS_SHUTDOWN);
  set_video_status(1);
  EXPECT_EQ(status_get(), (uint32_t)(STATUS_PRIMARY | STATUS_SHUTDOWN | STATUS_VIDEO));

  ASSERT_EQ(status_subscribe(0, 0, 0, &word), CTL_OK);
  EXPECT_EQ(word & STATUS_PRIMARY, 0u);
}
