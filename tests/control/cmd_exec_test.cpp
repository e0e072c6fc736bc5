// The request dispatcher through its framed entry: which opcodes answer,
// the rules for short, out-of-range and guarded requests, the status word
// at the end of replies, and requests acting through their hooks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control/cmd_exec.h"
#include "control/serial_port.h"
#include "control/status_events.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "media/capture.h"
#include "storage/filesys.h"

namespace {

struct Reply {
  bool sent = false;
  uint8_t status = 0xFF;
  std::vector<uint8_t> body;   // fields and word, checksum excluded
};

std::vector<uint32_t> keys;

struct Dispatcher : ::testing::Test {
  ParamBlock pb{};
  CtlExchange ex;
  void SetUp() override {
    status_events_init(&pb);
    status_update(0, ~0u, "reset");
    keys.clear();
    param_apply_hooks.dvr_post_key = [](uint32_t k) { keys.push_back(k); };
    cmd_hooks = {};
  }
  void TearDown() override { param_apply_hooks.dvr_post_key = nullptr; }

  Reply run_frame(size_t n) {
    Reply r;
    size_t len = cmd_exec_frame(&ex, n);
    if (!len) return r;
    CtlPacket p;
    memcpy(p.frame, ex.reply.frame, len);
    EXPECT_EQ(ctl_decode_frame(&p, len), CTL_OK);
    EXPECT_EQ(ctl_get_u8(&p), CTL_KIND_REPLY);
    r.sent = true;
    r.status = ctl_get_u8(&p);
    r.body.assign(p.read, p.write - 1);
    return r;
  }
  // A request with the given field bytes.
  Reply call(uint8_t opcode, std::vector<uint8_t> fields = {}) {
    ctl_init_request(&ex.request, opcode);
    ctl_put_bytes(&ex.request, fields.data(), fields.size());
    ctl_put_checksum(&ex.request);
    return run_frame(cobs_encode(&ex.request));
  }
};

uint32_t word_of(const Reply &r) {
  EXPECT_GE(r.body.size(), 4u);
  uint32_t w = 0;
  if (r.body.size() >= 4) memcpy(&w, &r.body[r.body.size() - 4], 4);
  return w;
}

std::vector<uint8_t> with_string(std::vector<uint8_t> head, const char *s) {
  head.insert(head.end(), s, s + strlen(s) + 1);
  return head;
}

}  // namespace

TEST_F(Dispatcher, EveryOpcodeAnswersByItsRow) {
  // Gaps and opcodes outside 1-143 reply 1 without fields; requests with no
  // fields at all reply 3 when their row needs some, else end in the word.
  std::vector<int> unsupported, missing;
  for (int op = 0; op < 256; op++) {
    if (op == 140 || op == 7) continue;   // menu_reset waits; 7 is guarded
    Reply r = call((uint8_t)op);
    ASSERT_TRUE(r.sent) << op;
    if (r.status == CTL_ERR_UNSUPPORTED) {
      EXPECT_TRUE(r.body.empty()) << op;
      unsupported.push_back(op);
    }
    if (r.status == CTL_ERR_MISSING_ARG) missing.push_back(op);
  }
  const std::vector<int> served = {1,  2,  3,  4,  5,  6,  9,  10, 11, 20, 21, 22, 23, 24, 25, 26, 31,
                                   32, 33, 34, 35, 36, 39, 40, 41, 43, 44, 45, 46, 48, 49, 50, 51, 52,
                                   53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 69, 70, 71, 72,
                                   80, 81, 82, 83, 100, 101, 110, 111, 112, 113, 119, 120, 121, 122,
                                   123, 129, 141, 142, 143};
  for (int op : served)
    EXPECT_EQ(std::count(unsupported.begin(), unsupported.end(), op), 0) << op;
  EXPECT_EQ(unsupported.size() + served.size() + 2, 256u);
  for (int op : {4, 5, 6, 10, 24, 26, 32, 36, 41, 48, 49, 50, 60, 61, 62, 64, 69, 70, 80, 111, 120,
                 121, 122, 129, 141})
    EXPECT_EQ(std::count(missing.begin(), missing.end(), op), 1) << op;

  Reply v = call(1);
  ASSERT_EQ(v.status, 0);
  ASSERT_EQ(v.body.size(), 8u);
  uint32_t version;
  memcpy(&version, v.body.data(), 4);
  EXPECT_EQ(version, 0x01050000u + 1647);
  Reply id = call(2);
  EXPECT_EQ(std::string((const char *)id.body.data() + 4), "S7391");
}

TEST_F(Dispatcher, RangesGuardsAndTheWord) {
  status_update(STATUS_WIFI, STATUS_WIFI, "test");
  // Out of range: 2 and nothing run. Word-always rows keep the word.
  Reply r = call(5, {5});
  EXPECT_EQ(r.status, CTL_ERR_RANGE);
  EXPECT_TRUE(r.body.empty());
  r = call(61, {16, 0x38, 0x04, 0, 0});   // line 16, y 1080: the handler's 2
  EXPECT_EQ(r.status, CTL_ERR_RANGE);
  EXPECT_EQ(word_of(r), (uint32_t)STATUS_WIFI);
  r = call(69, {3});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.body, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, STATUS_WIFI, 0, 0, 0}));

  // A failed guard replies 4 alone and posts nothing.
  status_update(STATUS_MENU, STATUS_MENU, "menu");
  r = call(20, {1, 0, 0, 0});
  EXPECT_EQ(r.status, CTL_ERR_STATE);
  EXPECT_TRUE(r.body.empty());
  EXPECT_TRUE(keys.empty());
  status_update(0, STATUS_MENU, "menu");

  // record_start: bit rate outside Video[0].BitRate's range; a start the
  // DVR logic refuses and one whose recorder opens no file change no
  // setting and set no bit (the second is stopped again); then a start
  // that names its file.
  pb.video[0].bit_rate = 4000000;
  pb.video[0].stream_mode = 1;
  r = call(20, {1, 0, 0x30, 0x75});   // 30000 kbit/s
  EXPECT_EQ(r.status, CTL_ERR_RANGE);
  cmd_hooks.dvr_start = [](uint32_t key, int) -> CtlStatus {
    keys.push_back(key);
    return CTL_ERR_STATE;
  };
  r = call(20, {1, 0, 0xE8, 0x03});
  EXPECT_EQ(r.status, CTL_ERR_STATE);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(keys, std::vector<uint32_t>{0x1});
  EXPECT_EQ(pb.recording.storage_device, 0);
  EXPECT_EQ(pb.video[0].bit_rate, 4000000u);
  EXPECT_EQ(pb.video[0].stream_mode, 1);
  cmd_hooks.dvr_start = nullptr;
  keys.clear();
  r = call(20, {2, 0, 0xE8, 0x03});   // the recorder publishes nothing
  EXPECT_EQ(r.status, CTL_ERR_FILE_OP);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(status_get(), (uint32_t)STATUS_WIFI);
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x1, 0x2}));
  EXPECT_EQ(pb.recording.storage_device, 0);
  EXPECT_EQ(pb.video[0].bit_rate, 4000000u);
  EXPECT_EQ(pb.video[0].stream_mode, 1);
  keys.clear();
  cmd_hooks.record_filename = [](char *buf, size_t size, int) {
    snprintf(buf, size, "20260101-000.mp4");
    return 0;
  };
  r = call(20, {3, 0, 0xE8, 0x03});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(std::string((const char *)r.body.data()), "20260101-000.mp4");
  EXPECT_EQ(word_of(r), (uint32_t)(STATUS_WIFI | STATUS_RECORDING));
  EXPECT_EQ(pb.video[0].bit_rate, 1000000u);
  EXPECT_EQ(pb.video[0].stream_mode, 14);
  EXPECT_EQ(pb.recording.storage_device, 0);
  EXPECT_EQ(keys, std::vector<uint32_t>{0x1});
  cmd_hooks.record_filename = nullptr;

  static int paused;
  paused = -1;   // set afresh: a static keeps the last run's value
  cmd_hooks.dvr_set_recording_state = [](int, int p) { paused = p; };
  EXPECT_EQ(call(23).status, CTL_ERR_STATE);   // not paused
  r = call(22);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(paused, 1);
  EXPECT_EQ(word_of(r) & STATUS_REC_PAUSED, (uint32_t)STATUS_REC_PAUSED);
  EXPECT_EQ(call(23).status, 0);
  EXPECT_EQ(paused, 0);
  r = call(21);
  EXPECT_EQ(word_of(r), (uint32_t)STATUS_WIFI);
  EXPECT_EQ(keys.back(), 0x2u);
  EXPECT_EQ(call(21).status, CTL_ERR_STATE);

  // The recording name: one past 79 characters is refused and leaves the
  // name as it was.
  EXPECT_EQ(call(24, with_string({}, "site_12")).status, 0);
  EXPECT_STREQ(pb.recording.filename, "site_12");
  EXPECT_EQ(call(24, with_string({}, std::string(80, 'n').c_str())).status, CTL_ERR_RANGE);
  EXPECT_STREQ(pb.recording.filename, "site_12");

  // Playback: a name the storage layer refuses, names past the length limit
  // (never cut to the name of another file), a missing file, a seek of 0.
  cmd_hooks.dvr_set_filename = [](int, const char *name) { return strcmp(name, "a.mp4") ? -1 : 0; };
  EXPECT_EQ(call(32, with_string({1}, "../x")).status, CTL_ERR_RANGE);
  static std::string named;
  named.clear();
  cmd_hooks.dvr_set_filename = [](int, const char *name) {
    named = name;
    return 0;
  };
  for (size_t len : {FILESYS_NAME_MAX + 1, 200, 240}) {
    EXPECT_EQ(call(32, with_string({1}, (std::string(len - 4, 'a') + ".mp4").c_str())).status, CTL_ERR_RANGE)
        << len;
  }
  EXPECT_EQ(named, "");
  std::string longest = std::string(FILESYS_NAME_MAX - 4, 'a') + ".mp4";
  EXPECT_EQ(call(32, with_string({1}, longest.c_str())).status, 0);
  EXPECT_EQ(named, longest);
  status_update(0, STATUS_PLAYBACK, "test");
  cmd_hooks.dvr_set_filename = [](int, const char *name) { return strcmp(name, "a.mp4") ? -1 : 0; };
  EXPECT_EQ(call(32, with_string({1}, "b.mp4")).status, CTL_ERR_NO_FILE);
  keys.clear();
  r = call(32, with_string({2}, "a.mp4"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(keys, std::vector<uint32_t>{13u << 26});
  EXPECT_EQ(word_of(r), (uint32_t)(STATUS_WIFI | STATUS_PLAYBACK));
  EXPECT_EQ(call(31, {0, 0}).status, 0);
  EXPECT_EQ(keys.size(), 1u);
  EXPECT_EQ(call(31, {0xFB, 0xFF}).status, 0);   // -5 s
  EXPECT_EQ(keys.back(), 0x1000u);
  EXPECT_EQ(pb.recording.seek_amount, 5);
  EXPECT_EQ(call(41, {1, 50}).status, CTL_ERR_STATE);   // no snapshot during playback
  // Rows for a playback in progress take it; once stopped they refuse.
  EXPECT_EQ(call(36, {0}).status, 0);
  EXPECT_EQ(call(33).status, 0);
  EXPECT_EQ(call(33).status, CTL_ERR_STATE);
}

// A recording or a snapshot the DVR logic refuses answers with its
// refusal and no file name; one it begins answers with the recorder's name.
TEST_F(Dispatcher, StartsAnswerWithWhatTheDvrLogicSaid) {
  static CtlStatus answer;
  static std::vector<uint32_t> started;
  started.clear();
  cmd_hooks.dvr_start = [](uint32_t key, int) {
    started.push_back(key);
    return answer;
  };
  cmd_hooks.record_filename = [](char *buf, size_t size, int) {
    snprintf(buf, size, "rec_7.ts");
    return 0;
  };
  uint32_t lock = capture_block.video_lock;
  capture_block.video_lock = 1;
  for (uint8_t op : {20, 41}) {
    std::vector<uint8_t> fields = op == 20 ? std::vector<uint8_t>{1, 0, 0, 0} : std::vector<uint8_t>{1, 0};
    answer = CTL_ERR_NO_FILE;
    Reply r = call(op, fields);
    EXPECT_EQ(r.status, CTL_ERR_NO_FILE) << (int)op;
    EXPECT_EQ(std::string(r.body.begin(), r.body.end()).find("rec_7"), std::string::npos) << (int)op;
    answer = CTL_OK;
    r = call(op, fields);
    EXPECT_EQ(r.status, 0) << (int)op;
    EXPECT_EQ(std::string((const char *)r.body.data()), "rec_7.ts") << (int)op;
    status_update(0, ~0u, "reset");
  }
  EXPECT_EQ(started, (std::vector<uint32_t>{0x1, 0x1, 0x4, 0x4}));
  capture_block.video_lock = lock;
}

// A name a run left in the recorder's hand-off before this start (a
// segment's, read by nobody) is not the answer: the start that opens no
// file of its own answers that it opened none.
TEST_F(Dispatcher, AStartIsNotAnsweredWithAnEarlierFilesName) {
  cmd_hooks.dvr_start = [](uint32_t, int) -> CtlStatus { return CTL_OK; };
  uint32_t lock = capture_block.video_lock;
  capture_block.video_lock = 1;
  for (uint8_t op : {20, 41}) {
    pthread_mutex_lock(&filesys_state.record_name_mutex);
    snprintf(filesys_state.record_name, sizeof filesys_state.record_name, "/media/int/DCIM/old_001.mp4");
    filesys_state.record_name_ready = 1;
    pthread_mutex_unlock(&filesys_state.record_name_mutex);
    std::vector<uint8_t> fields = op == 20 ? std::vector<uint8_t>{1, 0, 0, 0} : std::vector<uint8_t>{1, 0};
    Reply r = call(op, fields);
    std::string body(r.body.begin(), r.body.end());
    EXPECT_EQ(body.find("old_001"), std::string::npos) << (int)op;
    if (op == 20) EXPECT_EQ(r.status, CTL_ERR_FILE_OP);
    status_update(0, ~0u, "reset");
  }
  capture_block.video_lock = lock;
}

// A snapshot or a recording that is refused (no video, or the DVR logic
// says no) leaves every setting it would have stored as it was, but keeps
// what another writer stored while the DVR logic decided; one taken keeps
// what it asked for.
TEST_F(Dispatcher, RefusedStartsChangeNoSetting) {
  static CtlStatus answer;
  static ParamBlock *params;
  static bool other_writer;
  params = &pb;
  other_writer = false;
  cmd_hooks.dvr_start = [](uint32_t, int) {
    if (other_writer) {
      params->video[0].bit_rate = 7000000;
      params->video[1].jpeg_quality = 70;
      params->recording.storage_device = 0;
    }
    return answer;
  };
  auto settings = [&] {
    return std::vector<uint32_t>{pb.video[0].bit_rate, pb.video[0].stream_mode, pb.recording.storage_device,
                                 pb.video[1].jpeg_quality};
  };
  pb.video[0].bit_rate = 4000000;
  pb.video[0].stream_mode = 1;
  pb.recording.storage_device = 2;
  pb.video[1].jpeg_quality = 60;
  const std::vector<uint32_t> before = settings();
  uint32_t lock = capture_block.video_lock;
  capture_block.video_lock = 0;
  EXPECT_EQ(call(41, {1, 50}).status, CTL_ERR_NO_VIDEO);
  EXPECT_EQ(settings(), before);
  capture_block.video_lock = 1;
  EXPECT_EQ(call(41, {1, 1}).status, CTL_ERR_RANGE);
  EXPECT_EQ(settings(), before);
  answer = CTL_ERR_STATE;
  EXPECT_EQ(call(41, {1, 50}).status, CTL_ERR_STATE);
  EXPECT_EQ(settings(), before);

  other_writer = true;
  EXPECT_EQ(call(41, {3, 50}).status, CTL_ERR_STATE);
  EXPECT_EQ(pb.video[1].jpeg_quality, 70);
  EXPECT_EQ(pb.recording.storage_device, 0);   // not the snapshot's to put back
  pb.recording.storage_device = 2;
  EXPECT_EQ(call(20, {1, 0, 0xE8, 0x03}).status, CTL_ERR_STATE);
  EXPECT_EQ(settings(), (std::vector<uint32_t>{7000000, 1, 0, 70}));
  other_writer = false;

  answer = CTL_OK;
  // Taken, but the recorder opened no file: the failure is the answer.
  cmd_hooks.record_filename = [](char *buf, size_t size, int) {
    snprintf(buf, size, "unknown");
    return -1;
  };
  Reply failed = call(41, {1, 40});
  EXPECT_EQ(failed.status, CTL_ERR_FILE_OP);
  EXPECT_TRUE(failed.body.empty());   // no name, no word
  EXPECT_EQ(settings(), (std::vector<uint32_t>{7000000, 1, 0, 70}));
  cmd_hooks.record_filename = [](char *buf, size_t size, int) {
    snprintf(buf, size, "r.mp4");
    return 0;
  };
  EXPECT_EQ(call(41, {1, 40}).status, 0);
  EXPECT_EQ(settings(), (std::vector<uint32_t>{7000000, 1, 1, 40}));
  EXPECT_EQ(call(41, {2, 50}).status, 0);
  EXPECT_EQ(settings(), (std::vector<uint32_t>{7000000, 1, 2, 50}));
  // A recording taken keeps its mode: 0 MP4, 1 TS, any other as set.
  for (auto mode : {std::pair<uint8_t, uint32_t>{0, 14}, {1, 1}, {2, 1}, {0, 14}, {2, 14}}) {
    EXPECT_EQ(call(20, {1, mode.first, 0, 0}).status, 0) << (int)mode.first;
    EXPECT_EQ(pb.video[0].stream_mode, mode.second) << (int)mode.first;
    status_update(0, ~0u, "reset");
  }
  cmd_hooks.record_filename = nullptr;
  capture_block.video_lock = lock;
}

// A start's stores and their undo are made under the parameter write lock
// (a save copies the block under it), which is not held while the DVR
// logic decides: the DVR logic takes it itself.
TEST_F(Dispatcher, StartSettingsAreStoredUnderTheWriteLock) {
  static std::atomic<int> phase;   // 1 the DVR logic is deciding, 2 it answers
  static std::atomic<bool> lock_free;
  phase = 0;
  lock_free = false;
  cmd_hooks.dvr_start = [](uint32_t, int) -> CtlStatus {
    lock_free = pthread_mutex_trylock(&param_state.write_mutex) == 0;
    if (lock_free) pthread_mutex_unlock(&param_state.write_mutex);
    phase = 1;
    for (int i = 0; i < 20000 && phase != 2; i++) sleep_ms(1);
    return CTL_ERR_STATE;
  };
  uint32_t lock = capture_block.video_lock;
  capture_block.video_lock = 1;
  pb.video[1].jpeg_quality = 60;
  param_write_begin();
  std::thread request([&] { EXPECT_EQ(call(41, {1, 50}).status, CTL_ERR_STATE); });
  sleep_ms(200);   // time enough to store, were the stores made without the lock
  EXPECT_EQ(phase, 0);
  EXPECT_EQ(pb.video[1].jpeg_quality, 60);
  param_write_end();
  for (int i = 0; i < 20000 && phase != 1; i++) sleep_ms(1);
  EXPECT_EQ(phase, 1);
  EXPECT_TRUE(lock_free);
  EXPECT_EQ(pb.video[1].jpeg_quality, 50);
  if (lock_free) {
    param_write_begin();
    phase = 2;
    sleep_ms(200);   // time enough to undo, were it made without the lock
    EXPECT_EQ(pb.video[1].jpeg_quality, 50);
    param_write_end();
  }
  phase = 2;
  request.join();
  EXPECT_EQ(pb.video[1].jpeg_quality, 60);
  capture_block.video_lock = lock;
}

// The serial bridge gives up on a reply after 2 s: a recording's file name
// is waited for what the start left of 1.9 s, yet never less than 400 ms
// however long the start took; a snapshot's the same way (its name comes
// once the picture is in its file).
TEST_F(Dispatcher, NameWaitsFitTheBridgesTwoSeconds) {
  static int start_ms, waited;
  static int64_t took, named_at;
  cmd_hooks.dvr_start = [](uint32_t, int) -> CtlStatus {
    int64_t t0 = monotonic_ms();
    if (start_ms) sleep_ms(start_ms);
    took = monotonic_ms() - t0;
    return CTL_OK;
  };
  cmd_hooks.record_filename = [](char *buf, size_t size, int ms) {
    named_at = monotonic_ms();
    waited = ms;
    snprintf(buf, size, "rec_9.ts");
    return 0;
  };
  for (int ms : {0, 1600}) {
    start_ms = ms;
    int64_t asked = monotonic_ms();
    ASSERT_EQ(call(20, {1, 0, 0, 0}).status, 0) << ms;
    // Bounds by what was measured around the start and the whole call.
    EXPECT_LE(waited, std::max<int64_t>(400, 1900 - took)) << ms;
    EXPECT_GE(waited, std::max<int64_t>(400, 1900 - (named_at - asked))) << ms;
    status_update(0, ~0u, "reset");
  }
  EXPECT_EQ(waited, 400);
  uint32_t lock = capture_block.video_lock;
  capture_block.video_lock = 1;
  start_ms = 0;
  EXPECT_EQ(call(41, {1, 0}).status, 0);
  EXPECT_LE(waited, 1900);
  EXPECT_GE(waited, 400);
  capture_block.video_lock = lock;
}

TEST_F(Dispatcher, MenuResetEscapesUntilTheMenuClosesOrGivesUp) {
  // A menu two levels deep closes at the second escape; then Ok opens it.
  status_update(STATUS_MENU, STATUS_MENU, "menu");
  param_apply_hooks.dvr_post_key = [](uint32_t k) {
    keys.push_back(k);
    if (keys.size() == 2) status_update(0, STATUS_MENU, "menu");
  };
  EXPECT_EQ(call(140, {1}).status, 0);
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x1002, 0x1002, 0x10}));
  // A menu that never closes: 4 after about 2 s, and no Ok.
  keys.clear();
  param_apply_hooks.dvr_post_key = [](uint32_t k) { keys.push_back(k); };
  status_update(STATUS_MENU, STATUS_MENU, "menu");
  EXPECT_EQ(call(140, {1}).status, CTL_ERR_STATE);
  EXPECT_EQ(keys, std::vector<uint32_t>(40, 0x1002));
  status_update(0, STATUS_MENU, "menu");
}

TEST_F(Dispatcher, FramesThatAreNotRequestsGetNoReply) {
  ctl_init_request(&ex.request, 3);
  ctl_put_checksum(&ex.request);
  ex.request.write[-1] ^= 1;
  EXPECT_FALSE(run_frame(cobs_encode(&ex.request)).sent);
  ctl_init_reply(&ex.request);
  ctl_put_checksum(&ex.request);
  EXPECT_FALSE(run_frame(cobs_encode(&ex.request)).sent);
  const uint8_t inner_zero[] = {3, 0, 0, 3, 0xFD, 0};
  memcpy(ex.request.frame, inner_zero, sizeof inner_zero);
  EXPECT_FALSE(run_frame(sizeof inner_zero).sent);
  EXPECT_TRUE(call(3).sent);
}

// A request longer than a frame, as the serial line brings it, is answered
// 162 alone; a long frame of another kind is not answered.
TEST_F(Dispatcher, ARequestLongerThanAFrameIsAnsweredTooLong) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);  // the replies are written before each read
  serial_frame_handler = cmd_exec_frame;
  SerialBridge bridge{};
  std::vector<uint8_t> line(302, 'n');
  line[0] = 1;  // the code before the kind byte 0: a request
  line.back() = 0;
  serial_bridge_feed(&bridge, line.data(), line.size(), fds[1]);
  CtlPacket p;
  ssize_t n = read(fds[0], p.frame, sizeof p.frame);
  line[0] = 2;
  serial_bridge_feed(&bridge, line.data(), line.size(), fds[1]);
  serial_frame_handler = nullptr;
  close(fds[1]);
  uint8_t more;
  EXPECT_LE(read(fds[0], &more, 1), 0) << "a frame of another kind was answered";
  close(fds[0]);
  ASSERT_GT(n, 0);
  ASSERT_EQ(ctl_decode_frame(&p, (size_t)n), CTL_OK);  // one reply, whole
  EXPECT_EQ(ctl_get_u8(&p), CTL_KIND_REPLY);
  EXPECT_EQ(ctl_get_u8(&p), CTL_ERR_LONG);
  EXPECT_EQ(p.read, p.write - 1);
  Reply full = call(3, std::vector<uint8_t>(251, 'n'));  // a frame of 256 bytes, the most
  EXPECT_TRUE(full.sent);
  EXPECT_NE(full.status, CTL_ERR_LONG);
}

TEST_F(Dispatcher, ImagesAndMetadataStayInsideTheirBuffers) {
  EXPECT_EQ(call(70, {2, 10, 0}).status, 0);
  EXPECT_EQ(call(71, {2, 8, 0, 1, 2}).status, 0);
  Reply r = call(71, {2, 9, 0, 1, 2});
  EXPECT_EQ(r.status, CTL_ERR_RANGE);
  EXPECT_EQ(r.body.size(), 4u);
  EXPECT_EQ(call(71, {16, 0, 0}).status, CTL_ERR_RANGE);
  // 64 KiB of metadata at most, in pieces of at most 252 bytes, counted
  // from none.
  ASSERT_EQ(call(25).status, 0);
  std::vector<uint8_t> piece(250, 0xAB);
  int ok = 0;
  while ((r = call(25, piece)).status == 0 && ok <= 65536 / 250) ok++;
  EXPECT_EQ(r.status, CTL_ERR_NO_MEMORY);
  EXPECT_EQ(ok, 65536 / 250);
  EXPECT_EQ(call(25).status, 0);   // no bytes: emptied
  EXPECT_EQ(call(25, piece).status, 0);
  call(25);   // left empty, as a fresh process has it
}

// A commit hands the overlay only what it can show: 16 bytes of noise are
// refused as a bad argument (with the word), a PNG is taken; the buffer is
// gone after either.
TEST_F(Dispatcher, ImageCommitRefusesWhatTheOverlayCannotShow) {
  static const uint8_t kPng[] = {
      0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00,
      0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00,
      0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0, 0x1F, 0x00, 0x05,
      0x00, 0x01, 0xFF, 0x89, 0x99, 0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42,
      0x60, 0x82};
  struct Case {
    std::vector<uint8_t> bytes;
    uint8_t status;
  } cases[] = {
      {std::vector<uint8_t>{0x3C, 0x91, 0x07, 0xE2, 0x55, 0xA0, 0x1B, 0xC8, 0x6F, 0x02, 0xD9, 0x44, 0x8E, 0x13, 0x70, 0xBB},
       CTL_ERR_RANGE},
      {std::vector<uint8_t>(kPng, kPng + sizeof kPng), CTL_OK},
  };
  for (const Case &c : cases) {
    const uint8_t n = (uint8_t)c.bytes.size();
    ASSERT_EQ(call(70, {3, n, 0}).status, 0);
    std::vector<uint8_t> chunk = {3, 0, 0};
    chunk.insert(chunk.end(), c.bytes.begin(), c.bytes.end());
    ASSERT_EQ(call(71, chunk).status, 0);
    Reply r = call(72, {3, 0});
    EXPECT_EQ(r.status, c.status) << (int)n;
    EXPECT_EQ(r.body.size(), 4u);
    EXPECT_EQ(call(71, {3, 0, 0, 1}).status, CTL_ERR_RANGE) << "the buffer outlived its commit";
  }
}

namespace {
int g_run_mode = 1;
}  // namespace

// A mode set is the mode read back, for every mode, through the display's
// run mode; and the modes name the outputs' run modes (1 pass-through,
// 6 the SD pass-through, 0 idle, 2 colour bars, 8 power off).
TEST_F(Dispatcher, DisplayModesReadBackAsSet) {
  g_run_mode = 1;
  param_apply_hooks.display_set_run_mode = [](int m) { g_run_mode = m; };
  param_apply_hooks.display_get_run_mode = [] { return g_run_mode; };
  const int run_mode[5] = {1, 6, 0, 2, 8};
  for (uint8_t m = 0; m <= 4; m++) {
    EXPECT_EQ(call(5, {m}).status, 0) << int(m);
    EXPECT_EQ(g_run_mode, run_mode[m]) << int(m);
    Reply r = call(9);
    ASSERT_GE(r.body.size(), 5u);
    EXPECT_EQ(r.body[0], m);
  }
  // While a file plays (run mode 4) the mode is not changed.
  g_run_mode = 4;
  EXPECT_EQ(call(5, {0}).status, 4);
  EXPECT_EQ(g_run_mode, 4);
  param_apply_hooks.display_set_run_mode = nullptr;
  param_apply_hooks.display_get_run_mode = nullptr;
}
