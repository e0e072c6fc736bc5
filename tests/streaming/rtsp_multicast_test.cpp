// A channel's multicaster on the "rtp" thread, driven as the UDP sender
// drives it: its sessions describe the group, SETUP answers the group
// whatever transport was asked (on-demand sessions still refuse multicast),
// PLAY gives RTP-Info of the running sink, and a server restart while it
// sends moves the sender to the new multicaster.
#include <memory>
#include <thread>

#include "rtsp_test_support.h"
#include "streaming/multicaster.h"

namespace {

class RtspMulticast : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    test_clip();
    log_reset();
    ParamBlock *p = get_param_block();
    *p = *param_default_block();
    memset(p->users, 0, sizeof p->users);
    p->audio.channels = 2;
    port_ = free_tcp_port();
    p->rtsp_port = port_;
    const uint8_t group[4] = {239, 255, 42, 7};
    memcpy(p->udp[0].addr, group, 4);
    p->udp[0].port = 15000;
    stream_mux_init();
    v1_ = std::make_unique<TestProducer>(VIDEO_STREAM1, TestProducer::VIDEO_NALS);
    aac_ = std::make_unique<TestProducer>(AAC_STREAM, TestProducer::AAC, 1u << 20, 2048);
    memset(&sender_, 0, sizeof sender_);
    pthread_mutex_init(&sender_.mutex, nullptr);
    pthread_cond_init(&sender_.cond, nullptr);
    sender_.flags = STREAM_START;
  }
  void TearDown() override {
    if (run_.joinable()) {
      stream_set_state(&sender_, 0);
      run_.join();
    }
    rtp_.reset();
    v1_.reset();
    aac_.reset();
    stream_register_clear();
    stream_mux_ops = StreamMuxOps{};
  }
  bool wait_log_count(const char *text, size_t n, int ms = 10000) {
    for (int i = 0; i < ms / 20; i++) {
      if (count_of(held_log(), text) >= n) return true;
      usleep(20000);
    }
    return false;
  }

  uint16_t port_ = 0;
  ProducerState sender_;
  std::thread run_;
  std::unique_ptr<TestProducer> v1_, aac_;
  std::unique_ptr<RtpThread> rtp_;
};

TEST_F(RtspMulticast, SessionsSetupPlayAndARestartWhileSending) {
  rtp_ = std::make_unique<RtpThread>();
  ASSERT_TRUE(RtpThread::wait_listening(port_));
  run_ = std::thread([this] { multicast_rtp_run(0, &sender_); });
  ASSERT_TRUE(wait_log_count("multicast rstp streaming 0 started", 1));

  RawClient c(port_);
  std::string url = rtsp_url(port_, "multicastA.h264_aac");
  std::string r = c.request("DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  ASSERT_EQ(status_of(r), 200) << r;
  EXPECT_NE(r.find("a=source-filter: incl IN IP4 * 127.0.0.1"), std::string::npos) << r;
  EXPECT_NE(r.find("m=video 15000 RTP/AVP 96\r\nc=IN IP4 239.255.42.7/255"), std::string::npos) << r;
  EXPECT_NE(r.find("m=audio 15002 RTP/AVP 111\r\nc=IN IP4 239.255.42.7/255"), std::string::npos) << r;
  EXPECT_LT(r.find("m=video"), r.find("m=audio"));

  // A client asking for TCP or unicast UDP is given the group.
  r = c.request("SETUP " + url + "/track1 RTSP/1.0\r\nCSeq: 2\r\n"
                "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  ASSERT_EQ(status_of(r), 200) << r;
  EXPECT_EQ(header_of(r, "Transport").substr(0, 76),
            "RTP/AVP;multicast;destination=239.255.42.7;source=127.0.0.1;port=15000-15001")
      << r;
  std::string session = header_of(r, "Session").substr(0, 8);
  r = c.request("SETUP " + url + "/track2 RTSP/1.0\r\nCSeq: 3\r\nSession: " + session +
                "\r\nTransport: RTP/AVP;unicast;client_port=7000-7001\r\n\r\n");
  ASSERT_EQ(status_of(r), 200) << r;
  EXPECT_NE(header_of(r, "Transport").find("port=15002-15003;ttl=255"), std::string::npos) << r;
  r = c.request("PLAY " + url + "/ RTSP/1.0\r\nCSeq: 4\r\nSession: " + session + "\r\n\r\n");
  ASSERT_EQ(status_of(r), 200) << r;
  std::string info = header_of(r, "RTP-Info");
  EXPECT_NE(info.find("/track1;seq="), std::string::npos) << info;
  EXPECT_NE(info.find("/track2;seq="), std::string::npos) << info;
  EXPECT_NE(info.find(";rtptime="), std::string::npos) << info;

  // On-demand sessions stay unicast.
  RawClient d(port_);
  r = d.request("SETUP " + rtsp_url(port_, "streamA.h264") + " RTSP/1.0\r\nCSeq: 1\r\n"
                "Transport: RTP/AVP;multicast\r\n\r\n");
  EXPECT_EQ(status_of(r), 461) << r;

  // A restart while sending: the old multicaster stops and goes, the sender
  // starts the new one.
  __atomic_store_n(&rtsp_watch, (uint8_t)2, __ATOMIC_RELEASE);
  EXPECT_TRUE(c.closed_by_peer(5000));
  ASSERT_TRUE(RtpThread::wait_listening(port_));
  ASSERT_TRUE(wait_log_count("startPlaying: done", 2));
  EXPECT_EQ(count_of(held_log(), "multicast rstp streaming 0 started"), 1u);
  RawClient e(port_);
  r = e.request("DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_EQ(status_of(r), 200) << r;

  // Stopped while the server is off: the run ends at once all the same.
  get_param_block()->rtsp_disable = 1;
  __atomic_store_n(&rtsp_watch, (uint8_t)2, __ATOMIC_RELEASE);
  EXPECT_TRUE(e.closed_by_peer(5000));
  stream_set_state(&sender_, 0);
  run_.join();
  EXPECT_EQ(count_of(held_log(), "multicast rstp streaming 0 finished"), 1u);
}

// A base port whose flows would pass 65535 sends nothing rather than wrap
// round to the low ports.
TEST_F(RtspMulticast, BasePortNearTheTopSendsNothing) {
  get_param_block()->udp[0].port = 65534;
  rtp_ = std::make_unique<RtpThread>();
  ASSERT_TRUE(RtpThread::wait_listening(port_));
  run_ = std::thread([this] { multicast_rtp_run(0, &sender_); });
  ASSERT_TRUE(wait_log_count("ports 65534 to 65537 are not all between 1 and 65535", 1));
  RawClient c(port_);
  std::string r = c.request("DESCRIBE " + rtsp_url(port_, "multicastA.h264") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_NE(r.find("m=video 0 RTP/AVP 96"), std::string::npos) << "no port to join: " << r;
  // Base port 0 is no port either, nor 65533; 65532 is the last base that
  // fits.
  size_t runs = 1;
  for (uint16_t base : {uint16_t(0), uint16_t(65533), uint16_t(65532)}) {
    stream_set_state(&sender_, 0);
    run_.join();
    get_param_block()->udp[0].port = base;
    sender_.flags = STREAM_START;
    run_ = std::thread([this] { multicast_rtp_run(0, &sender_); });
    ASSERT_TRUE(wait_log_count("multicast rstp streaming 0 started", ++runs));
  }
  EXPECT_EQ(count_of(held_log(), "ports 0 to 3 are not all"), 1u) << held_log();
  EXPECT_EQ(count_of(held_log(), "ports 65533 to 65536 are not all"), 1u) << held_log();
  EXPECT_EQ(count_of(held_log(), "setup 0 destination"), 1u) << held_log();
  EXPECT_NE(held_log().find("ports 65532 65533 65534 65535"), std::string::npos) << held_log();
}

}  // namespace
