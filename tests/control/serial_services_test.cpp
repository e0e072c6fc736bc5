// The serial services in process: the command processor's framing, its
// recorder, counter and flag commands against a scripted control service
// (requests and reply bytes), the telemetry sentences, the bridge's framing,
// and the thread's rounds on the simulated line ending on every event.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control/scp_responder.h"
#include "control/serial_cmd.h"
#include "control/serial_port.h"
#include "control/status_events.h"
#include "core/global.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/process_util.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "osd/osd_tokens.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/wallclock.h"
#include "test_root.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(Bytes body) {
  Bytes f = {0xAB, (uint8_t)(body.size() + 4)};
  f.insert(f.end(), body.begin(), body.end());
  uint8_t sum = 0;
  for (uint8_t b : f) sum = (uint8_t)(sum + b);
  f.push_back(sum);
  f.push_back('>');
  return f;
}

std::string line(int which) {
  SerialStatus s;
  serial_status_get(&s);
  return s.line[which];
}

class Scp : public ::testing::Test {
 protected:
  void SetUp() override {
    test_root();
    scp_init(&s);
    s.channel = service.open();
    ASSERT_NE(s.channel, nullptr);
  }
  void TearDown() override { ctl_close(s.channel); }
  // Feeds the bytes; the replies of every whole frame, in order.
  std::vector<Bytes> send(const Bytes &bytes) {
    std::vector<Bytes> replies;
    for (uint8_t b : bytes) {
      size_t len = scp_feed(&s, b);
      if (!len) continue;
      Bytes f(s.rx, s.rx + len);
      size_t r = scp_handle(&s, f.data(), f.size());
      if (r) replies.emplace_back(s.reply, s.reply + r);
    }
    return replies;
  }
  Bytes key(uint8_t k) {
    std::vector<Bytes> r = send(frame({8, 8, 1, k}));
    return r.size() == 1 ? r[0] : Bytes{};
  }
  ScpResponder service;
  ScpState s{};
};

TEST_F(Scp, FramingFindsFramesAmongNoiseAndDropsBadOnes) {
  Bytes in = {0x00, 0x3E, 0x12};
  for (auto f : {frame({5, 1, 1}), frame({5, 1, 2})}) in.insert(in.end(), f.begin(), f.end());
  std::vector<Bytes> r = send(in);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], frame({5, 'e', 1}));
  EXPECT_EQ(r[1], frame({5, 'e', 0}));

  EXPECT_TRUE(send({0xAB, 6, 8, 8, 1, '>'}).empty());
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: LenErr");
  Bytes bad = frame({8, 8, 1, 1});
  bad[bad.size() - 2] ^= 0x10;
  EXPECT_TRUE(send(bad).empty());
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: CksumErr");
  // A frame that never ends is dropped at 255 bytes; the next one stands.
  Bytes run = {0xAB, 254};
  run.resize(300, 0x11);
  Bytes next = frame({5, 1, 0});
  run.insert(run.end(), next.begin(), next.end());
  ASSERT_EQ(send(run).size(), 1u);
  EXPECT_TRUE(service.take_opcodes().empty());
}

TEST_F(Scp, RecorderKeysSendTheirRequestsAndReplyByteExactly) {
  // REC while idle starts a recording on the external volume.
  service.word = 0;
  Bytes r = key(1);
  EXPECT_EQ(r, frame({8, 'l', 1, 0, 0, 0, 0, 0, 0}));
  auto reqs = service.take_requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0], Bytes({3}));
  EXPECT_EQ(reqs[1], Bytes({20, 2, 0, 0, 0}));
  EXPECT_EQ(reqs[2], Bytes({3}));
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: REC FILE");
  // REC while recording pauses; while paused resumes (flag bit 0).
  service.word = STATUS_RECORDING;
  EXPECT_EQ(key(1), frame({8, 'l', 1, 4, 0, 0, 0, 0, 0}));
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 22, 3}));
  service.word = STATUS_RECORDING | STATUS_REC_PAUSED;
  EXPECT_EQ(key(1), frame({8, 'l', 1, 4, 0, 0, 1, 0, 0}));
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 23, 3}));
  // NXT while recording takes a snapshot: flags 2.
  service.word = STATUS_RECORDING;
  EXPECT_EQ(key(16), frame({8, 'l', 1, 4, 0, 0, 2, 0, 0}));
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 41, 3}));
  // STOP ends it; a failed record_start is reported with its code.
  EXPECT_FALSE(key(4).empty());
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 21, 3}));
  service.word = 0;
  service.status[20] = CTL_ERR_NO_FILE;
  EXPECT_FALSE(key(1).empty());
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: REC FAIL");
  EXPECT_EQ(line(SERIAL_LINE_RESULT), "R: status: 5");
  service.take_opcodes();

  // No reply: another address, or a status word that cannot be read.
  EXPECT_TRUE(send(frame({9, 8, 1, 1})).empty());
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: AdrErr");
  EXPECT_TRUE(service.take_opcodes().empty());
  service.status[3] = CTL_ERR_STATE;
  EXPECT_TRUE(key(1).empty());
  service.status[3] = 0;
  EXPECT_EQ(key(17), frame({8, 'l', 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: KEY ERR");
  service.take_opcodes();

  // Set time: the seconds little endian, a 7-byte reply.
  std::vector<Bytes> t = send(frame({8, 8, 2, 0x78, 0x56, 0x34, 0x12}));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0], frame({8, 'l', 2}));
  reqs = service.take_requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[1], Bytes({10, 0x78, 0x56, 0x34, 0x12}));
}

TEST_F(Scp, PlayKeysWalkTheFileList) {
  service.word = 0;
  service.count = 3;
  auto name_asked = [&]() {
    for (auto &r : service.take_requests())
      if (r[0] == 52) return (int)r[2];
    return -1;
  };
  key(8);   // unset index: the newest file
  EXPECT_EQ(name_asked(), 2);
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: KEY PLAY");
  key(16);  // past the end stays on the last
  EXPECT_EQ(name_asked(), 2);
  key(2);
  EXPECT_EQ(name_asked(), 1);
  key(2);
  key(2);
  EXPECT_EQ(s.play_index, 0);
  service.take_requests();
  service.status[52] = CTL_ERR_NO_FILE;
  key(16);
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: NO FILE");
  for (uint8_t op : service.take_opcodes()) EXPECT_NE(op, 32) << "played a file that has no name";
  // While playing, PLAY pauses (state 3 in the reply).
  service.word = STATUS_PLAYBACK;
  EXPECT_EQ(key(8), frame({8, 'l', 1, 3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 34, 3}));
}

TEST_F(Scp, CounterStoresTheCountAndUnitAndSetsOnlyValidDates) {
  std::vector<Bytes> r = send(frame({9, 9, 0, 0xFF, 0xFF, 0xFF, 1, 0}));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], frame({9, 'm', 0}));
  EXPECT_EQ(overlay_fields.count[0], -1);
  EXPECT_STREQ(overlay_units[0], " ft");
  EXPECT_FLOAT_EQ(overlay_fields.scale[0], 0.0328084f);
  send(frame({9, 9, 0, 0x10, 0x00, 0x00, 0, 0}));
  EXPECT_EQ(overlay_fields.count[0], 16);
  EXPECT_STREQ(overlay_units[0], " m");
  // The status reply: the low 24 bits of the count.
  overlay_fields.count[0] = -2;
  r = send(frame({9, 9, 1, 0, 0, 0, 0, 0}));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], frame({9, 'm', 1, 0xFE, 0xFF, 0xFF, 0}));
  EXPECT_TRUE(send(frame({9, 9, 0, 1, 2})).empty());   // too short
  service.take_requests();

  struct timeval before;
  wallclock_now(&before);
  // BCD 31.12.24 23:59:58 sets the clock and tells the service; a month 13,
  // a 30 February or a minute 60 sets nothing, and the reply is the same.
  r = send(frame({9, 9, 2, 0x31, 0x12, 0x24, 0x23, 0x59, 0x58, 0}));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], frame({9, 'm', 2}));
  struct tm tm = {};
  tm.tm_mday = 31, tm.tm_mon = 11, tm.tm_year = 124, tm.tm_hour = 23, tm.tm_min = 59, tm.tm_sec = 58;
  tm.tm_isdst = -1;
  uint32_t want = (uint32_t)mktime(&tm);
  auto reqs = service.take_requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0], Bytes({10, (uint8_t)want, (uint8_t)(want >> 8), (uint8_t)(want >> 16), (uint8_t)(want >> 24)}));
  struct timeval now;
  wallclock_now(&now);
  EXPECT_LT(std::abs((long)(now.tv_sec - (time_t)want)), 5L) << "the clock was not set";
  for (Bytes bad : {Bytes{0x01, 0x13, 0x24, 0, 0, 0}, Bytes{0x30, 0x02, 0x24, 0, 0, 0},
                    Bytes{0x01, 0x01, 0x24, 0x12, 0x60, 0}, Bytes{0x1A, 0x01, 0x24, 0, 0, 0}}) {
    Bytes body = {9, 9, 2};
    body.insert(body.end(), bad.begin(), bad.end());
    body.push_back(0);
    r = send(frame(body));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], frame({9, 'm', 2}));
  }
  EXPECT_TRUE(service.take_requests().empty());
  wallclock_now(&now);
  before.tv_sec += now.tv_sec - (time_t)want;
  wallclock_set(&before);
}

TEST_F(Scp, FlagCommandsEchoTheAddress) {
  s.connected = 1;
  std::vector<Bytes> r = send(frame({0x42, 1, 1}));
  r.push_back(send(frame({0x42, 1, 0}))[0]);
  r.push_back(send(frame({0x42, 1, 2}))[0]);
  EXPECT_EQ(r[0], frame({0x42, 'e', 1}));
  EXPECT_EQ(r[1], frame({0x42, 'e', 1, 1}));
  EXPECT_EQ(r[2], frame({0x42, 'e', 0}));
  EXPECT_TRUE(send(frame({0x42, 1, 3})).empty());
  EXPECT_TRUE(send(frame({0x42, 7, 1})).empty());
}

TEST(SerialTelemetry, SentencesInPiecesFillTheFieldsAndNoiseIsHarmless) {
  TelemetryReader t{};
  int n = 0;
  for (const char *piece : {"noise$GPGGA,1,2*3", "3\r\n$TR", "IS,12.5,AB", "C,100.25,X", "Y,more,fields\r\n"})
    n += telemetry_feed(&t, piece, strlen(piece));
  EXPECT_EQ(n, 1);
  EXPECT_STREQ(overlay_fields.l, "12.5");
  EXPECT_STREQ(overlay_fields.p, "ABC");
  EXPECT_STREQ(overlay_fields.u, "100");
  EXPECT_STREQ(overlay_fields.m, "XY");
  EXPECT_EQ(line(SERIAL_LINE_SERVICE), "$TRIS,12.5,ABC,100.25,XY,");
  // A line end ends a short sentence; a long field is cut to 15.
  const char *s2 = "$TRIS,0123456789abcdefgh,q\n";
  EXPECT_EQ(telemetry_feed(&t, s2, strlen(s2)), 1);
  EXPECT_STREQ(overlay_fields.l, "0123456789abcde");
  EXPECT_STREQ(overlay_fields.p, "q");
  EXPECT_STREQ(overlay_fields.m, "");
  // 5000 bytes without a '$', then a whole buffer of an unfinished one.
  std::string junk(5000, 'x');
  EXPECT_EQ(telemetry_feed(&t, junk.data(), junk.size()), 0);
  EXPECT_EQ(t.len, 0u);
  std::string open = "$TRIS," + std::string(2000, '7');
  EXPECT_EQ(telemetry_feed(&t, open.data(), open.size()), 0);
  EXPECT_LT(t.len, sizeof t.buf);
  const char *s3 = "$TRIS,a,b,c,d,";
  EXPECT_EQ(telemetry_feed(&t, s3, strlen(s3)), 1);
  EXPECT_STREQ(overlay_fields.m, "d");
}

std::vector<Bytes> g_frames;
size_t record_frame(CtlExchange *ex, size_t n) {
  g_frames.emplace_back(ex->request.frame, ex->request.frame + n);
  memcpy(ex->reply.frame, "\x02\x40\x00", 3);
  return 3;
}

TEST(SerialBridge, FramesEndAtZeroShortAndOverlongOnesAreDropped) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  serial_frame_handler = record_frame;
  g_frames.clear();
  auto b = std::make_unique<SerialBridge>();
  Bytes in = {1, 2, 0, 0, 3, 2, 1, 0};     // 3 bytes, 1 byte: ignored
  in.insert(in.end(), 300, 0x55);           // an overlong run, dropped
  in.push_back(0);
  for (uint8_t c : {4, 0x40, 5, 6, 0}) in.push_back(c);
  serial_bridge_feed(b.get(), in.data(), 5, p[1]);
  serial_bridge_feed(b.get(), in.data() + 5, in.size() - 5, p[1]);
  ASSERT_EQ(g_frames.size(), 1u);
  EXPECT_EQ(g_frames[0], Bytes({4, 0x40, 5, 6, 0}));
  uint8_t out[16];
  EXPECT_EQ(read(p[0], out, sizeof out), 3);
  EXPECT_EQ(b->rx, in.size());
  serial_frame_handler = nullptr;
  close(p[0]);
  close(p[1]);
}

// The thread over the simulated line, one round per start of stream 15.
class SerialThread : public ::testing::Test {
 protected:
  void SetUp() override {
    test_root();
    ASSERT_EQ(sim_serial_start(), 0);
    param_load_defaults();
    p = get_param_block();
    p->serial.start_mode = 0;
    p->serial.tcp_port = 7391;
    set_exit_code(0);
    env.name = "serial";
    env.params = p;
    th = std::thread([this] { serialThrFxn(&env); });
    for (int i = 0; i < 500 && stream_get_state_by_id(SERIAL_STREAM) < 0; i++) sleep_ms(10);
  }
  void TearDown() override {
    set_exit_code(EXIT_QUIT);
    serial_global_quit();
    th.join();
    set_exit_code(0);
  }
  bool wait_for(bool (*cond)(void)) {
    for (int i = 0; i < 3000; i++) {
      if (cond()) return true;
      sleep_ms(10);
    }
    return false;
  }
  static bool running() { return serial_event_fd >= 0; }
  static bool ended() { return serial_event_fd < 0 && stream_get_state_by_id(SERIAL_STREAM) == 0; }
  ParamBlock *p = nullptr;
  ThreadEnv env{};
  std::thread th;
};

TEST_F(SerialThread, EveryEventEndsEveryModeAndStartModeRestarts) {
  for (int mode : {3, 4, 5, 7, 8, 9}) {
    for (int event : {SERIAL_EVENT_QUIT, SERIAL_EVENT_BAUDRATE, SERIAL_EVENT_PROTOCOL}) {
      p->serial.stream_id = (uint8_t)mode;
      stream_set_state_by_id(SERIAL_STREAM, 1);
      ASSERT_TRUE(wait_for(running)) << "mode " << mode;
      sleep_ms(50);
      if (event == SERIAL_EVENT_QUIT) {
        uint64_t one = 1;
        ASSERT_EQ(write(serial_event_fd, &one, sizeof one), 8);
      } else if (event == SERIAL_EVENT_BAUDRATE) {
        serial_change_baudrate(p, 115200);
      } else {
        serial_change_protocol(p, mode);
      }
      EXPECT_TRUE(wait_for(ended)) << "mode " << mode << " event " << event;
    }
  }
  // With StartMode 1 a mode change starts the next round in the new mode.
  p->serial.start_mode = 1;
  p->serial.stream_id = 9;
  stream_set_state_by_id(SERIAL_STREAM, 1);
  ASSERT_TRUE(wait_for(running));
  sleep_ms(50);
  serial_change_protocol(p, 3);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, waiting for connection"; }));
  // An unsupported rate ends the round and leaves the state stopped.
  p->serial.baud_rate = 14400;
  serial_change_baudrate(p, 14400);
  EXPECT_TRUE(wait_for(ended));
  sleep_ms(100);
  EXPECT_EQ(stream_get_state_by_id(SERIAL_STREAM), 0);
  p->serial.baud_rate = 115200;
}

}  // namespace
