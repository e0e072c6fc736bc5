// The serial services in process, for what the line cannot show: the
// requests the command processor sends a scripted control service and its
// failure paths, the play index, the counter's status reply and dates that
// set no clock, the telemetry reader's limits, and the thread's rounds on the
// simulated line ending on every event.
#include <gtest/gtest.h>
#include <termios.h>
#include <arpa/inet.h>

#include <algorithm>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control/scp_responder.h"
#include "control/serial_cmd.h"
#include "control/serial_port.h"
#include "control/status_events.h"
#include "core/global.h"
#include "core/log.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/process_util.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "osd/osd_tokens.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "streaming/rtsp_test_support.h"
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

TEST_F(Scp, AFrameThatNeverEndsIsDroppedAt255Bytes) {
  Bytes run = {0xAB, 254};
  run.resize(300, 0x11);
  Bytes next = frame({5, 1, 0});
  run.insert(run.end(), next.begin(), next.end());
  ASSERT_EQ(send(run).size(), 1u);
}

TEST_F(Scp, RecorderKeysSendTheirRequestsAndFailuresAreReported) {
  // REC while idle: record_start on the external volume between two reads
  // of the status word; the reply's state comes from the second.
  service.word = 0;
  EXPECT_EQ(key(1), frame({8, 'l', 1, 0, 0, 0, 0, 0, 0}));
  auto reqs = service.take_requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0], Bytes({3}));
  EXPECT_EQ(reqs[1], Bytes({20, 2, 0, 0, 0}));
  service.word = STATUS_RECORDING | STATUS_REC_PAUSED;
  key(1);
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 23, 3}));
  // A refused start leaves its code on the "R:" line.
  service.word = 0;
  service.status[20] = CTL_ERR_NO_FILE;
  EXPECT_FALSE(key(1).empty());
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: REC FAIL");
  EXPECT_EQ(line(SERIAL_LINE_RESULT), "R: status: 5");
  // No status word, no reply; a key above 16 sends nothing but the reads.
  service.status[3] = CTL_ERR_STATE;
  EXPECT_TRUE(key(1).empty());
  service.status[3] = 0;
  service.take_opcodes();
  EXPECT_EQ(key(17), frame({8, 'l', 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(line(SERIAL_LINE_COMMAND), "C: KEY ERR");
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 3}));
  // NXT while recording: the snapshot flag (2) only when the snapshot was
  // taken.
  service.word = STATUS_RECORDING;
  EXPECT_EQ(key(16), frame({8, 'l', 1, 4, 0, 0, 2, 0, 0}));
  EXPECT_EQ(service.take_opcodes(), Bytes({3, 41, 3}));
  service.status[41] = CTL_ERR_NO_VIDEO;
  EXPECT_EQ(key(16), frame({8, 'l', 1, 4, 0, 0, 0, 0, 0}));
  service.status[41] = 0;
}

// Closing a channel that never subscribed leaves every subscriber slot as
// it was; a channel that did clears only its own.
TEST_F(Scp, ClosingUnsubscribesOnlyWhatTheChannelSubscribed) {
  service.take_opcodes();
  ctl_close(s.channel);
  s.channel = service.open();
  ASSERT_NE(s.channel, nullptr);
  EXPECT_EQ(service.take_opcodes(), Bytes({})) << "closed without having subscribed";
  ASSERT_EQ(ctl_subscribe(s.channel, 2, STATUS_RECORDING), CTL_OK);
  service.take_requests();
  ctl_close(s.channel);
  auto reqs = service.take_requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0][0], 4);
  EXPECT_EQ(reqs[0][1], 2) << "the slot it subscribed";
  EXPECT_EQ(Bytes(reqs[0].begin() + 2, reqs[0].begin() + 6), Bytes({0, 0, 0, 0}));
  s.channel = service.open();
  ASSERT_NE(s.channel, nullptr);
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

TEST_F(Scp, CounterStatusReplyAndDatesThatSetNoClock) {
  // The status reply: the low 24 bits of the count.
  overlay_fields.count[0] = -2;
  std::vector<Bytes> r = send(frame({9, 9, 1, 0, 0, 0, 0, 0}));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], frame({9, 'm', 1, 0xFE, 0xFF, 0xFF, 0}));
  EXPECT_TRUE(send(frame({9, 9, 0, 1, 2})).empty());   // too short
  service.take_requests();

  // A month 13, a 30 February, a minute 60 or a day 1A sets no clock and
  // tells the service nothing; the reply is the usual one.
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
}

TEST(SerialTelemetry, FieldsAreCutAndNoiseNeverFillsTheBuffer) {
  TelemetryReader t{};
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

// The thread over the simulated line, one round per start of stream 15.
class SerialThread : public ::testing::Test {
 protected:
  void SetUp() override {
    test_root();
    ASSERT_EQ(sim_serial_start(), 0);
    param_load_defaults();
    p = get_param_block();
    p->serial.start_mode = 0;
    // A free port: a fixed one may be held by a test running beside this one.
    p->serial.tcp_port = free_tcp_port();
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
    // The ended thread's registration goes with it: the next thread's set-up
    // is then waited for, not taken as done.
    stream_register(nullptr, nullptr, SERIAL_STREAM);
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

// Mode 3 with the process out of descriptors: the peer waiting to be
// accepted is not accepted at once again and again (one line says accepting
// pauses), and once descriptors are free it is served and that is said.
TEST_F(SerialThread, AcceptingPausesWhileTheProcessIsOutOfDescriptors) {
  char chunk[4096];
  while (log_read(chunk, sizeof chunk) > 0) {
  }
  p->serial.stream_id = 3;
  stream_set_state_by_id(SERIAL_STREAM, 1);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, waiting for connection"; }));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(p->serial.tcp_port);
  // A peer served before any shortage: nothing is said of accepting.
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(peer, (struct sockaddr *)&a, sizeof a), 0);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, accepted from 127.0.0.1"; }));
  close(peer);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, waiting for connection"; }));
  peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(peer, 0);
  // Every descriptor below a limit just above the highest one open is taken.
  int highest = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(d)) highest = std::max(highest, atoi(e->d_name));
    closedir(d);
  }
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit low = old;
  low.rlim_cur = (rlim_t)highest + 8;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
  EXPECT_EQ(connect(peer, (struct sockaddr *)&a, sizeof a), 0);
  std::string log;
  for (int i = 0; i < 3000 && log.find("pausing new connections") == std::string::npos; i++) {
    sleep_ms(10);
    for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) log.append(chunk, n);
  }
  sleep_ms(1500);   // more than one pause
  for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) log.append(chunk, n);
  std::string service = line(SERIAL_LINE_SERVICE);
  for (int fd : taken) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(service, "Streaming, waiting for connection");
  EXPECT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, accepted from 127.0.0.1"; }));
  for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) log.append(chunk, n);
  auto count = [&](const char *what) {
    size_t k = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) k++;
    return k;
  };
  EXPECT_EQ(count("serial_tcp_server: accept: Too many open files, pausing new connections"), 1u) << log;
  EXPECT_EQ(count("serial_tcp_server: accepting connections again"), 1u) << log;
  close(peer);
}

// Whether the TCP connection from local_port to remote_port (0: any) runs
// its keep-alive timer (timer 2 in /proc/net/tcp), as an idle connection
// under SO_KEEPALIVE does.
bool keepalive_on(uint16_t local_port, uint16_t remote_port) {
  FILE *f = fopen("/proc/net/tcp", "r");
  if (!f) return false;
  char text[512];
  bool on = false;
  while (fgets(text, sizeof text, f)) {
    unsigned local, remote, timer;
    if (sscanf(text, " %*d: %*x:%x %*x:%x %*x %*x:%*x %x:", &local, &remote, &timer) == 3 &&
        (!local_port || local == local_port) && remote == remote_port)
      on = timer == 2;
  }
  fclose(f);
  return on;
}

uint16_t local_port_of(int sock) {
  struct sockaddr_in a = {};
  socklen_t l = sizeof a;
  getsockname(sock, (struct sockaddr *)&a, &l);
  return ntohs(a.sin_port);
}

// Mode 4 keeps its connection under keep-alive too: a server that vanished
// is found.
TEST_F(SerialThread, TheClientsConnectionIsKeptAlive) {
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(p->serial.tcp_port);
  ASSERT_EQ(bind(ls, (struct sockaddr *)&a, sizeof a), 0);
  ASSERT_EQ(listen(ls, 1), 0);
  const uint8_t local[4] = {127, 0, 0, 1};
  memcpy(p->serial_tcp_addr, local, 4);
  p->serial.stream_id = 4;
  stream_set_state_by_id(SERIAL_STREAM, 1);
  int conn = accept(ls, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, connected to 127.0.0.1"; }));
  // (The options are set just after the line says so.)
  bool kept = false;
  for (int i = 0; i < 3000 && !kept; i++) {
    kept = keepalive_on(0, p->serial.tcp_port);
    if (!kept) sleep_ms(10);
  }
  EXPECT_TRUE(kept);
  struct sockaddr_in box = {};
  socklen_t l = sizeof box;
  getpeername(conn, (struct sockaddr *)&box, &l);
  EXPECT_FALSE(keepalive_on(p->serial.tcp_port, ntohs(box.sin_port)));   // the test's own end
  close(conn);
  close(ls);
}

// Mode 3 serves one peer at a time: the next waits while the first holds
// the place, however long the first says nothing while it answers; once it
// leaves, the next takes the place and is relayed both ways. (A peer that
// stops answering is seen only on a network that drops its packets: the
// integration test.)
TEST_F(SerialThread, AQuietPeerThatAnswersKeepsItsPlace) {
  int tty = sys_open("/dev/ttyS0.peer", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
  ASSERT_GE(tty, 0);
  struct termios raw;
  ASSERT_EQ(tcgetattr(tty, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(tty, TCSANOW, &raw), 0);
  auto log_take = [] {
    std::string l;
    char chunk[4096];
    for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) l.append(chunk, n);
    return l;
  };
  const int idle_ms = serial_peer_idle_ms;
  serial_peer_idle_ms = 3600 * 1000;
  p->serial.stream_id = 3;
  stream_set_state_by_id(SERIAL_STREAM, 1);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, waiting for connection"; }));
  int first = connect_local(p->serial.tcp_port, 0, 0, 2);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, accepted from 127.0.0.2"; }));
  EXPECT_TRUE(keepalive_on(p->serial.tcp_port, local_port_of(first)));
  int next = connect_local(p->serial.tcp_port, 0, 0, 3);
  ASSERT_GE(next, 0);
  ASSERT_EQ(send(next, "next\n", 5, 0), 5);
  sleep_ms(500);
  EXPECT_EQ(line(SERIAL_LINE_SERVICE), "Streaming, accepted from 127.0.0.2");
  char buf[256];
  EXPECT_LT(read(tty, buf, sizeof buf), 0);
  log_take();
  serial_peer_idle_ms = 100;
  sleep_ms(1500);
  EXPECT_EQ(line(SERIAL_LINE_SERVICE), "Streaming, accepted from 127.0.0.2");
  EXPECT_LT(read(tty, buf, sizeof buf), 0);
  shutdown(first, SHUT_WR);
  EXPECT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, accepted from 127.0.0.3"; }));
  serial_peer_idle_ms = idle_ms;
  std::string got;
  for (int i = 0; i < 3000 && got.size() < 5; i++) {
    ssize_t n = read(tty, buf, sizeof buf);
    if (n > 0) got.append(buf, (size_t)n);
    else sleep_ms(10);
  }
  EXPECT_EQ(got, "next\n");
  ASSERT_EQ(write(tty, "back", 4), 4);
  struct pollfd pf = {next, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, 30000), 1);
  EXPECT_EQ(recv(next, buf, sizeof buf, 0), 4);
  pf.fd = first;
  ASSERT_EQ(poll(&pf, 1, 30000), 1);
  EXPECT_EQ(recv(first, buf, sizeof buf, 0), 0);
  EXPECT_EQ(log_take().find("serial_tcp_server: the peer before was quiet for "), std::string::npos);
  close(first);
  close(next);
  close(tty);
}

// Mode 5 passes on only the datagrams that come from Serial_TCPAddr.
TEST_F(SerialThread, DatagramsReachTheLineOnlyFromTheConfiguredAddress) {
  int tty = sys_open("/dev/ttyS0.peer", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
  ASSERT_GE(tty, 0);
  struct termios raw;
  ASSERT_EQ(tcgetattr(tty, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(tty, TCSANOW, &raw), 0);
  const uint8_t local[4] = {127, 0, 0, 1};
  memcpy(p->serial_tcp_addr, local, 4);
  p->serial.stream_id = 5;
  stream_set_state_by_id(SERIAL_STREAM, 1);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, connected to 127.0.0.1"; }));
  for (const char *from_text : {"127.0.0.1 one\n", "127.0.0.2 stranger\n", "127.0.0.1 end\n"}) {
    std::string from(from_text);
    size_t sp = from.find(' ');
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.substr(0, sp).c_str(), &a.sin_addr);
    ASSERT_EQ(bind(s, (struct sockaddr *)&a, sizeof a), 0) << from;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    a.sin_port = htons(p->serial.tcp_port);
    std::string text = from.substr(sp + 1);
    EXPECT_EQ(sendto(s, text.data(), text.size(), 0, (struct sockaddr *)&a, sizeof a), (ssize_t)text.size());
    close(s);
  }
  std::string got;
  for (int i = 0; i < 3000 && got.find("end\n") == std::string::npos; i++) {
    char buf[256];
    ssize_t n = read(tty, buf, sizeof buf);
    if (n > 0) got.append(buf, (size_t)n);
    else sleep_ms(10);
  }
  close(tty);
  EXPECT_EQ(got, "one\nend\n");
}

// Mode 1 writes stream A's key frames to the line, and nothing else.
TEST_F(SerialThread, StreamModeWritesOnlyKeyFrames) {
  TestStream video(VIDEO_STREAM1, 1u << 20, 64);
  int tty = sys_open("/dev/ttyS0.peer", O_RDWR | O_NOCTTY | O_NONBLOCK, 0);
  ASSERT_GE(tty, 0);
  struct termios raw;
  ASSERT_EQ(tcgetattr(tty, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(tty, TCSANOW, &raw), 0);
  p->serial.stream_id = 1;
  p->serial.interval = 0;
  p->video[0].stream_mode = StreamMode_H264_ES;   // the frames alone, as they are published
  stream_set_state_by_id(SERIAL_STREAM, 1);
  ASSERT_TRUE(wait_for([] { return line(SERIAL_LINE_SERVICE) == "Streaming, stream 1"; }));
  // Each entry is 100 bytes of its sequence number's low byte.
  uint32_t key1 = video.put(100, 9000, STREAM_FLAG_KEY);
  video.put(100, 12600, 0);
  uint32_t key2 = video.put(100, 16200, STREAM_FLAG_KEY);
  std::string got;
  for (int i = 0; i < 3000 && got.size() < 200; i++) {
    char buf[256];
    ssize_t n = read(tty, buf, sizeof buf);
    if (n > 0) got.append(buf, (size_t)n);
    else sleep_ms(10);
  }
  close(tty);
  EXPECT_EQ(got, std::string(100, (char)(key1 & 0xFF)) + std::string(100, (char)(key2 & 0xFF)));
  uint64_t one = 1;
  ASSERT_EQ(write(serial_event_fd, &one, sizeof one), 8);
  EXPECT_TRUE(wait_for(ended));
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0) << "the ended round still holds the stream";
}

}  // namespace
