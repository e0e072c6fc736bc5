// The client's request stubs against the program's own dispatcher, served
// on a loopback port: replies unpacked into the callers' fields, a string
// that does not fit, a request refused before it is sent, the image sender
// and the notification wait.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "control/cmd_exec.h"
#include "control/ctl_client.h"
#include "control/status_events.h"
#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "udp_loopback.h"

namespace {

struct Service {
  int fd;
  uint16_t port;
  std::atomic<int> requests{0};
  std::atomic<bool> stop{false};
  std::thread th;
  Service() {
    fd = udp_loopback_bind(&port);
    th = std::thread([this] {
      CtlExchange ex;
      for (;;) {
        sockaddr_in src{};
        socklen_t slen = sizeof src;
        ssize_t n = recvfrom(fd, ex.request.frame, sizeof ex.request.frame, 0, (sockaddr *)&src, &slen);
        if (n < 0 || stop) return;
        if (n < 4) continue;
        requests++;
        size_t len = cmd_exec_frame(&ex, (size_t)n);
        if (len) sendto(fd, ex.reply.frame, len, 0, (sockaddr *)&src, slen);
      }
    });
  }
  ~Service() {
    // An empty datagram to itself wakes the reader.
    stop = true;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    self.sin_port = htons(port);
    sendto(fd, "", 0, 0, (sockaddr *)&self, sizeof self);
    th.join();
    close(fd);
  }
};

}  // namespace

TEST(CtlStubs, RequestsThroughTheDispatcher) {
  static ParamBlock pb{};
  osdInit(&pb);
  status_events_init(&pb);
  status_update(0, ~0u, "reset");
  Service svc;
  CtlChannel *ch;
  ASSERT_EQ(ctl_open(0, svc.port, nullptr, 5000, &ch), CTL_OK);

  uint32_t v = 0;
  ASSERT_EQ(ctl_get_version(ch, &v), CTL_OK);
  EXPECT_EQ(v, 0x01050000u + 1647);
  char id[8];
  uint32_t kind;
  EXPECT_EQ(ctl_get_identity(ch, &kind, id, sizeof id), CTL_OK);
  EXPECT_STREQ(id, "S7391");

  EXPECT_EQ(ctl_set_encoder_scalar(ch, 2, 2.5), CTL_OK);
  double scale = 0;
  uint8_t offboard = 9;
  EXPECT_EQ(ctl_get_encoder_scalar(ch, 2, &scale, &offboard), CTL_OK);
  EXPECT_EQ(scale, 2.5);
  EXPECT_EQ(offboard, 1);

  int before = svc.requests;
  EXPECT_EQ(ctl_set_osd_datetime_format(ch, 14, 0), CTL_ERR_RANGE);
  EXPECT_EQ(svc.requests, before);
  EXPECT_EQ(ctl_set_osd_datetime_format(ch, 13, 6), CTL_OK);
  uint8_t date = 0, time = 0;
  EXPECT_EQ(ctl_get_osd_datetime_format(ch, &date, &time), CTL_OK);
  EXPECT_EQ(date * 10 + time, 136);

  // The image (a BMP of 8x39 pixels) goes in 240-byte pieces into a buffer
  // of its exact size: one byte more would have been refused.
  std::vector<uint8_t> image(1000, 0x5A);
  const uint8_t bmp[30] = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 8, 0, 0, 0, 39, 0, 0, 0, 1, 0, 24, 0};
  memcpy(image.data(), bmp, sizeof bmp);
  memset(image.data() + 30, 0, 4);   // no compression
  EXPECT_EQ(ctl_send_image(ch, 4, 0, image.data(), image.size()), CTL_OK);
  EXPECT_EQ(ctl_send_image(ch, 4, 0, image.data(), 0), CTL_ERR_RANGE);
  EXPECT_EQ(ctl_image_alloc(ch, 5, 10), CTL_OK);
  EXPECT_EQ(ctl_image_chunk(ch, 5, 8, image.data(), 3), CTL_ERR_RANGE);

  // A subscriber on this channel's event socket hears recording start, with
  // the request as the reason; a name too long for the buffer is 166.
  ASSERT_EQ(ctl_subscribe(ch, 1, STATUS_RECORDING), CTL_OK);
  static auto no_name = [](char *buf, size_t size, int) {
    snprintf(buf, size, "20240131-000.mp4");
    return 0;
  };
  cmd_hooks.record_filename = no_name;
  char name[8];
  EXPECT_EQ(ctl_record_start(ch, 1, 0, 0, name, sizeof name), CTL_ERR_STRING_SIZE);
  uint32_t word = 0, changed = 0;
  char reason[32];
  ASSERT_EQ(ctl_wait_event(ch, 5000, &word, &changed, reason, sizeof reason), CTL_OK);
  EXPECT_EQ(word, (uint32_t)STATUS_RECORDING);
  EXPECT_EQ(changed, (uint32_t)STATUS_RECORDING);
  EXPECT_STREQ(reason, "20240131-000.mp4");
  EXPECT_EQ(ctl_get_status(ch, &word), CTL_OK);
  EXPECT_EQ(word, (uint32_t)STATUS_RECORDING);
  EXPECT_EQ(ctl_record_stop(ch), CTL_OK);
  EXPECT_EQ(ctl_record_stop(ch), CTL_ERR_STATE);
  cmd_hooks.record_filename = nullptr;

  EXPECT_EQ(ctl_subscribe(ch, 1, 0), CTL_OK);
  EXPECT_EQ(status_subscriber(1).mask, 0u);
  EXPECT_EQ(ctl_close(ch), CTL_OK);
}
