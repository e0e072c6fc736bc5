// The gpio thread's passes on the simulated board, stepped on a manual clock:
// every sleep of the board I/O advances it and refreshes the GPIO input words.
#include <atomic>
#include <string>
#include <vector>

#include "core/board_io.h"
#include "core/hwreg.h"
#include "core/startup.h"
#include "param_test_util.h"
#include "test_root.h"
#include "platform/host_root.h"

namespace {

// Read by the board's ticker thread too.
std::atomic<uint64_t> g_ms{1000000};
uint64_t manual_now() { return g_ms; }
// The board's ticker sees the lines at the start and at the end of a sleep.
void manual_sleep(unsigned ms) {
  sim_board_tick();
  g_ms += ms;
  sim_board_tick();
}

std::vector<uint32_t> keys;
std::vector<std::string> events;
int lock_state;

struct GpioBoard : ParamTest {
  RootKeep keep{{"/run/sim/watchdog", "/sys/power/state"}};
  GpioEnv env = {};
  BoardClock saved = board_clock;
  void SetUp() override {
    ParamTest::SetUp();
    hwreg_map();
    sim_board_set_clock(manual_now);
    sim_board_reset();
    board_clock = {manual_now, manual_sleep};
    gpio_state_reset();
    keys.clear();
    events.clear();
    param_apply_hooks.dvr_post_key = [](uint32_t k) { keys.push_back(k); };
    env.env.params = block();
    env.fifo = Fifo_create();
    for (int j = 0; j < 9; j++) block()->keys_map[j] = (uint8_t)j;
  }
  void TearDown() override {
    gpio_state_reset();
    board_clock = saved;
    sim_board_set_clock(nullptr);
    Fifo_delete(env.fifo);
    core_hooks = {};
    ParamTest::TearDown();
  }
  // Runs n passes; returns the manual time they took.
  uint64_t passes(int n) {
    uint64_t t0 = g_ms;
    for (int i = 0; i < n; i++) EXPECT_EQ(gpio_pass(&env), 0);
    return g_ms - t0;
  }
  std::vector<SimGpioEdge> edges(int pin) {
    sim_board_tick();
    SimGpioEdge all[512];
    int n = sim_board_edges(all, 512);
    std::vector<SimGpioEdge> out;
    for (int i = 0; i < n; i++)
      if (all[i].pin == pin) out.push_back(all[i]);
    return out;
  }
};

TEST_F(GpioBoard, GpioKeypadDebouncesAndPostsOneWordPerStableChange) {
  sim_board_set_keypad(SIM_KEYPAD_GPIO);
  EXPECT_LT(keypad_init(block()), 0);
  passes(3);
  // Held for one pass only: the change never becomes stable.
  sim_board_set_keys(0x1);
  passes(1);
  sim_board_set_keys(0);
  passes(4);
  EXPECT_TRUE(keys.empty());
  // Two lines in one change: one word with both actions.
  block()->keys_map[2] = 5;
  sim_board_set_keys(0x14);
  passes(2);
  EXPECT_TRUE(keys.empty());
  passes(1);
  EXPECT_EQ(keys, std::vector<uint32_t>{(1u << 5) | (1u << 4)});
  sim_board_set_keys(0);
  passes(5);
  EXPECT_EQ(keys.size(), 1u) << "a release posts nothing";
}

TEST_F(GpioBoard, I2cKeypadSetUpPostsItsTableAndClicks) {
  uint32_t w0 = sim_board_keypad_writes();
  EXPECT_EQ(keypad_init(block()), 0);
  EXPECT_EQ(sim_board_keypad_writes() - w0, 29u + 3u) << "configuration differed";
  EXPECT_EQ(sim_board_keypad_reg(0x4F), 0x64);
  EXPECT_EQ(sim_board_keypad_reg(0x7F), 0x20);
  EXPECT_EQ(sim_board_keypad_reg(0xA0), 7);
  gpio_state_reset();
  w0 = sim_board_keypad_writes();
  EXPECT_EQ(keypad_init(block()), 0);
  EXPECT_EQ(sim_board_keypad_writes() - w0, 2u) << "configuration already right";

  passes(3);
  sim_board_clear_edges();
  sim_board_set_keys(0x801);
  passes(3);
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x2, 0x40}));
  auto click = edges(27);
  ASSERT_EQ(click.size(), 2u);
  EXPECT_EQ(click[0].level, 0);
  EXPECT_EQ(click[1].level, 1);
  EXPECT_EQ(click[1].ms - click[0].ms, 75u);
  // Held keys post nothing more; a new one posts only itself.
  sim_board_set_keys(0x1801);
  passes(3);
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x2, 0x40, 0x100}));

  gpio_state_reset();
  sim_board_set_keypad_reg(0x7A, 0x11);
  EXPECT_EQ(keypad_init(block()), -4);
}

// "press W" of the board's command file: the keys are seen once and let go
// by themselves, on the I2C keypad and on the lines alike.
TEST_F(GpioBoard, PressCommandPostsOnceAndLetsGo) {
  EXPECT_EQ(keypad_init(block()), 0);
  passes(3);
  EXPECT_EQ(sim_board_command("press 256"), 0);
  EXPECT_EQ(sim_board_command("press 0"), -1);
  passes(10);
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x1}));
  EXPECT_EQ(sim_board_keypad_reg(1), 0) << "let go";
  // Presses written together follow one another, each let go before the
  // next: every one is a key.
  EXPECT_EQ(sim_board_command("press 256"), 0);
  EXPECT_EQ(sim_board_command("press 2048"), 0);
  EXPECT_EQ(sim_board_command("press 256"), 0);
  passes(40);
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x1, 0x1, 0x2, 0x1}));
  // "keys W" takes over: presses still queued are dropped.
  keys.clear();
  EXPECT_EQ(sim_board_command("press 256"), 0);
  EXPECT_EQ(sim_board_command("press 2048"), 0);
  EXPECT_EQ(sim_board_command("keys 0"), 0);
  EXPECT_EQ(sim_board_command("press 8"), 0);
  passes(40);
  EXPECT_EQ(keys, (std::vector<uint32_t>{0x10}));

  gpio_state_reset();
  keys.clear();
  sim_board_set_keypad(SIM_KEYPAD_GPIO);
  EXPECT_LT(keypad_init(block()), 0);
  passes(3);
  EXPECT_EQ(sim_board_command("press 4"), 0);   // Key 3 of the Keypad page: line 2
  passes(40);
  EXPECT_EQ(keys, (std::vector<uint32_t>{1u << 2}));
  EXPECT_EQ(sim_board_command("press 4"), 0);
  EXPECT_EQ(sim_board_command("press 1"), 0);
  EXPECT_EQ(sim_board_command("press 256"), 0);   // Key 9: line 8
  passes(190);
  EXPECT_EQ(keys, (std::vector<uint32_t>{1u << 2, 1u << 2, 1u << 0, 1u << 8}));
}

// The keypad controller answers the program's first look at the board, in
// a fresh process where neither the board's ticker nor a command has run.
TEST(GpioBoardFresh, KeypadAnswersTheFirstReadOfTheBoard) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int fd = i2c_open_slave(0);
        int id = fd >= 0 ? i2c_read_byte(fd, 0x7A) : -1;
        fprintf(stderr, "id=%d\n", id);
        exit(id == 0x10 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "id=16");
}

TEST_F(GpioBoard, CounterControllerExchangesCountsFromTheThirdPass) {
  sim_board_set_keypad(SIM_KEYPAD_GPIO);   // the bus carries only the counters
  keypad_init(block());
  encoder_count_set(0, 1234);
  sim_board_set_counter(1, -5);
  passes(2);
  EXPECT_EQ(sim_board_counter(0), 0);
  passes(1);
  EXPECT_EQ(sim_board_counter(0), 1234);
  EXPECT_EQ(encoder_count_get(0), 1234);
  EXPECT_EQ(encoder_count_get(1), -5);
  // A failed exchange keeps the last counts.
  sim_board_set_counter(1, 7);
  sim_board_i2c_fail(1);
  passes(1);
  EXPECT_EQ(encoder_count_get(1), -5);
  passes(1);
  EXPECT_EQ(encoder_count_get(1), 7);
  // The temperature sensor on the same bus, set through the command text.
  EXPECT_EQ(sim_board_command("temp 41.5"), 0);
  EXPECT_EQ(read_temperature_sensor(), 664);   // 1/16 degree
  EXPECT_EQ(sim_board_command("temp hot"), -1);
  sim_board_i2c_fail(1);
  EXPECT_EQ(read_temperature_sensor(), -1);
}

// Controllers that stop answering fail on every 10 ms pass: one line when
// it begins, one with the count when they answer again.
TEST_F(GpioBoard, ControllersThatStopAnsweringLogOncePerEpisode) {
  auto count = [](const std::string &text, const char *what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
  };
  ASSERT_EQ(keypad_init(block()), 0);
  passes(3);
  param_log_text();
  sim_board_i2c_fail(1000000);
  passes(500);
  std::string log = param_log_text();
  EXPECT_EQ(count(log, "failed to read i2c keypad"), 1u) << log.substr(0, 2000);
  EXPECT_EQ(count(log, "counter_poll: I2C_RDWR"), 1u) << log.substr(0, 2000);
  for (int episode = 0; episode < 2; episode++) {
    sim_board_i2c_fail(0);
    passes(3);
    log = param_log_text();
    EXPECT_EQ(count(log, "the i2c keypad answers again after"), 1u) << log;
    EXPECT_EQ(count(log, "the counter controller answers again after"), 1u) << log;
    passes(100);
    EXPECT_EQ(param_log_text(), "");
    // The next episode is logged again.
    sim_board_i2c_fail(1000000);
    passes(100);
    log = param_log_text();
    EXPECT_EQ(count(log, "failed to read i2c keypad"), 1u) << log;
  }
  sim_board_i2c_fail(0);
}

// A line driven for the first time says it was made an output; gpio_drive,
// the signal handlers' form, says nothing and reports it.
TEST_F(GpioBoard, LineMadeAnOutputIsLoggedOnce) {
  param_log_text();
  gpio_set(36, 1);
  gpio_set(36, 0);
  std::string log = param_log_text();
  size_t at = log.find("reconfiguring gpio 36 as an output");
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("reconfiguring", at + 1), std::string::npos) << log;
  EXPECT_EQ(gpio_drive(38, 1), 1);
  EXPECT_EQ(gpio_drive(38, 1), 0);
  EXPECT_EQ(param_log_text().find("reconfiguring"), std::string::npos);
}

TEST_F(GpioBoard, WatchdogKickedEveryFourSecondsAndBlinkSetsThePace) {
  sys_unlink("/run/sim/watchdog");
  passes(1000);   // 10 s of 10 ms passes
  char text[4096];
  sys_read_text("/run/sim/watchdog", text, sizeof text, false);
  std::vector<uint64_t> kicks;
  for (const char *p = text; (p = strstr(p, "kick ")); p += 5) kicks.push_back(strtoull(p + 5, nullptr, 10));
  ASSERT_GE(kicks.size(), 2u) << text;
  for (size_t i = 1; i < kicks.size(); i++) EXPECT_EQ(kicks[i] - kicks[i - 1], 4000u);
  EXPECT_EQ(strstr(text, "expired"), nullptr);

  gpio_blink_xled(1);
  EXPECT_EQ(passes(1), 300u);
  EXPECT_EQ(passes(1), 100u);
  EXPECT_EQ(passes(1), 300u);
  gpio_blink_xled(0);
  EXPECT_EQ(passes(1), 10u);
}

TEST_F(GpioBoard, OnlyARisingButtonEdgeRebuildsTheMac) {
  param_set_default_mac();
  uint8_t def[6];
  memcpy(def, block()->mac_addr, 6);
  const uint8_t other[6] = {2, 0, 0, 1, 2, 3};
  memcpy(block()->mac_addr, other, 6);
  sim_board_set_pin(0, 1);
  passes(3);   // held at start: no edge seen
  EXPECT_EQ(memcmp(block()->mac_addr, other, 6), 0);
  sim_board_set_pin(0, 0);
  passes(2);
  EXPECT_EQ(memcmp(block()->mac_addr, other, 6), 0);
  sim_board_set_pin(0, 1);
  passes(1);
  EXPECT_EQ(memcmp(block()->mac_addr, def, 6), 0);
}

TEST_F(GpioBoard, VideoLockAlarmAfterThresholdAndNeverBlocks) {
  param_apply_hooks.capture_lock_state = [] { return lock_state; };
  block()->vlock_alarm_enabled = 1;
  block()->vlock_threshold = 3;
  lock_state = 1;
  passes(3);
  EXPECT_EQ(Fifo_getNumEntries(env.fifo), 0);
  passes(1);
  ASSERT_EQ(Fifo_getNumEntries(env.fifo), 1);
  void *p;
  Fifo_get(env.fifo, &p);
  EXPECT_EQ(*(const int *)p, 1);
  passes(10);
  EXPECT_EQ(Fifo_getNumEntries(env.fifo), 0) << "one alarm per change";
  // Nobody reads: 100 alarms leave a bounded FIFO and the passes go on.
  block()->vlock_threshold = 0;
  for (int i = 0; i < 100; i++) {
    lock_state = 1 + i % 2;
    passes(1);
  }
  EXPECT_GT(Fifo_getNumEntries(env.fifo), 0);
  EXPECT_LE(Fifo_getNumEntries(env.fifo), 16);
  lock_state = 0;
}

TEST_F(GpioBoard, HubResetPulseOnlyWhenTheUsbIdIsWrong) {
  sim_board_clear_edges();
  usb_check_id();
  EXPECT_TRUE(edges(31).empty());
  *sim_mem_reg(0x01C64460) = 0x0C;
  usb_check_id();
  auto e = edges(31);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].level, 0);
  EXPECT_EQ(e[1].ms - e[0].ms, 10u);
  *sim_mem_reg(0x01C64460) = 0x1C;
}

TEST_F(GpioBoard, SuspendStopsStreamsSleepsAndResumes) {
  ParamApplyHooks &h = param_apply_hooks;
  h.stream_running = [](int id) { return id == 15 ? 1 : 0; };
  h.stream_set_state = [](int id, int run) { events.push_back("stream " + std::to_string(id) + "=" + std::to_string(run)); };
  h.capture_apply_settings = [] { events.push_back("capture"); };
  core_hooks.stream_stop_all = [](int) { events.push_back("stop all"); };
  core_hooks.storage_unmount = [] { events.push_back("unmount"); };
  sys_unlink("/sys/power/state");
  param_log_text();
  sim_board_clear_edges();
  request_suspend();
  passes(1);
  EXPECT_EQ(events, (std::vector<std::string>{"stop all", "stream 15=0", "unmount", "capture", "stream 15=1"}));
  char state[16];
  sys_read_text("/sys/power/state", state, sizeof state, false);
  EXPECT_STREQ(state, "mem");
  auto e = edges(35);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].level, 1);
  EXPECT_EQ(e[1].level, 0);
  std::string log = param_log_text();
  size_t at = 0;
  for (const char *line : {"getting ready to sleep", "going to sleep", "woke up", "gpio thread resuming",
                           "hdvicp and usb phy reset"}) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line;
  }
  events.clear();
  passes(1);
  EXPECT_TRUE(events.empty()) << "the request is cleared";
}

}  // namespace
