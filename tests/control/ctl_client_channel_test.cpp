// Client channels against a scripted responder on loopback: short and foreign
// datagrams, late replies, wrong kinds, fixed unit ports, and closing a
// socket under a blocked reader.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "control/ctl_client.h"
#include "udp_loopback.h"

namespace {

// Answers by opcode: 1 a 3-byte datagram, 2 the request echoed back (kind
// 0), 3 a stranger's reply first and then its own, 11 nothing; anything else
// status 0 with the u32 0x41.
struct Responder {
  int fd, stranger;
  uint16_t port;
  std::atomic<bool> stop{false};
  std::thread th;
  Responder() {
    fd = udp_loopback_bind(&port);
    stranger = socket(AF_INET, SOCK_DGRAM, 0);
    th = std::thread([this] { run(); });
  }
  ~Responder() {
    stop = true;
    shutdown(fd, SHUT_RDWR);
    th.join();
    close(fd);
    close(stranger);
  }
  static size_t reply(CtlPacket *p, uint8_t status) {
    ctl_init_reply(p);
    ctl_set_status(p, status);
    if (!status) ctl_put_u32(p, 0x41);
    ctl_put_checksum(p);
    return cobs_encode(p);
  }
  void run() {
    for (;;) {
      CtlPacket in, out;
      sockaddr_in src{};
      socklen_t slen = sizeof src;
      ssize_t n = recvfrom(fd, in.frame, sizeof in.frame, 0, (sockaddr *)&src, &slen);
      if (stop || n < 0) return;
      if (n == 0) continue;  // a socket's opening datagram
      uint8_t raw[sizeof in.frame];
      memcpy(raw, in.frame, (size_t)n);
      if (ctl_decode_frame(&in, (size_t)n)) continue;
      uint8_t opcode = in.frame[2];
      const sockaddr *to = (const sockaddr *)&src;
      if (opcode == 1) {
        sendto(fd, "\x02\x40\x00", 3, 0, to, slen);
      } else if (opcode == 2) {
        sendto(fd, raw, (size_t)n, 0, to, slen);
      } else if (opcode == 3) {
        size_t k = reply(&out, 7);
        sendto(stranger, out.frame, k, 0, to, slen);
        k = reply(&out, 0);
        sendto(fd, out.frame, k, 0, to, slen);
      } else if (opcode != 11) {
        size_t k = reply(&out, 0);
        sendto(fd, out.frame, k, 0, to, slen);
      }
    }
  }
};

CtlStatus ask(CtlChannel *ch, uint8_t opcode, uint32_t *value = nullptr) {
  CtlExchange ex;
  ctl_init_request(&ex.request, opcode);
  CtlStatus st = ctl_transact(ch, &ex);
  if (value) *value = ctl_get_u32(&ex.reply);
  return st;
}

}  // namespace

TEST(CtlClientChannel, RepliesOnlyFromThePeerAndInTime) {
  Responder svc;
  CtlChannel *ch = nullptr;
  // Replies that come are waited for long enough for any host; a short
  // wait only where the time-out is what the case looks for.
  ASSERT_EQ(ctl_open(0, svc.port, nullptr, 20000, &ch), CTL_OK);
  auto ask_timing_out = [&](uint8_t opcode) {
    ch->timeout_ms = 300;
    CtlStatus st = ask(ch, opcode);
    ch->timeout_ms = 20000;
    return st;
  };
  ASSERT_NE(ch, nullptr);
  EXPECT_NE(ntohs(ch->command.local_port), 0);
  EXPECT_NE(ntohs(ch->command.local_port), CTL_SERVICE_PORT);

  uint32_t v = 0;
  EXPECT_EQ(ask(ch, 9, &v), CTL_OK);
  EXPECT_EQ(v, 0x41u);
  EXPECT_EQ(ask_timing_out(1), CTL_ERR_TIMEOUT);  // the 3-byte datagram was not a reply
  EXPECT_EQ(ask(ch, 2), CTL_ERR_KIND);
  v = 0;
  EXPECT_EQ(ask(ch, 3, &v), CTL_OK);  // the stranger's status 7 was not taken
  EXPECT_EQ(v, 0x41u);

  // A reply arriving after its request timed out is not the next one's.
  EXPECT_EQ(ask_timing_out(11), CTL_ERR_TIMEOUT);
  CtlPacket late;
  size_t k = Responder::reply(&late, 5);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  me.sin_port = ch->command.local_port;
  ASSERT_EQ(sendto(svc.fd, late.frame, k, 0, (sockaddr *)&me, sizeof me), (ssize_t)k);
  EXPECT_EQ(ask(ch, 9), CTL_OK);

  // Fields that do not fit are reported without being sent.
  CtlExchange ex;
  ctl_init_request(&ex.request, 60);
  for (int i = 0; i < 300; i++) ctl_put_u8(&ex.request, 1);
  EXPECT_EQ(ctl_transact(ch, &ex), CTL_ERR_TOO_LARGE);
  EXPECT_EQ(ctl_close(ch), CTL_OK);
}

TEST(CtlClientChannel, UnitPortsAndClosingWakesTheReader) {
  Responder svc;
  CtlChannel *ch = nullptr;
  CtlStatus st = ctl_open(3, svc.port, "127.0.0.1", 2000, &ch);
  if (st == CTL_ERR_BIND) GTEST_SKIP() << "ports 12206/12207 are taken on this host";
  ASSERT_EQ(st, CTL_OK);
  EXPECT_EQ(ntohs(ch->command.local_port), 12206);
  EXPECT_EQ(ntohs(ch->event.local_port), 12207);

  std::atomic<int> first{-1};
  std::atomic<bool> waiting{false};
  std::thread reader([&] {
    CtlPacket p;
    size_t n;
    waiting = true;
    int st;
    // The probe below may hold the socket for a moment.
    while ((st = ctl_receive(&ch->event, &p, &n, nullptr, CTL_WAIT_FOREVER)) == CTL_ERR_LOCKED) usleep(1000);
    first = st;
  });
  while (!waiting) std::this_thread::yield();
  // The reader holds the socket once a second reader is refused.
  CtlPacket p;
  size_t n;
  for (int i = 0; i < 5000 && ctl_receive(&ch->event, &p, &n, nullptr, 0) != CTL_ERR_LOCKED; i++)
    usleep(1000);
  EXPECT_EQ(ctl_receive(&ch->event, &p, &n, nullptr, 0), CTL_ERR_LOCKED);
  EXPECT_EQ(ctl_close(ch), CTL_OK);
  reader.join();
  EXPECT_EQ(first, CTL_ERR_CLOSED);
}
