// The simulated board's keypad as the program scans it: keys held by "keys W"
// and presses that let go by themselves ("press W"), on the I2C controller
// (counted in scans of its two key registers) and on the lines (counted on
// the board's clock); and a board the program reaches first through the
// register window or the bus is powered on once, keeping what it writes.
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/mman.h>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

namespace {

// Bank pair k (pins 32k to 32k + 31): direction, +4 output, +16 input.
constexpr uint32_t kGpioPair0 = 0x01C67010u;

std::atomic<uint64_t> g_ms{5000};
uint64_t manual_now() { return g_ms; }

int smbus_byte(int fd, uint8_t reg) {
  i2c_smbus_data d = {};
  i2c_smbus_ioctl_data args = {I2C_SMBUS_READ, reg, I2C_SMBUS_BYTE_DATA, &d};
  return dev_ioctl(fd, I2C_SMBUS, &args) < 0 ? -1 : d.byte;
}

uint32_t input_word(uint32_t pair) { return __atomic_load_n(sim_mem_reg(pair + 16), __ATOMIC_RELAXED); }

struct SimKeypad : ::testing::Test {
  int fd = -1;
  void SetUp() override {
    test_root();
    sim_board_set_clock(manual_now);
    sim_board_reset();
    fd = dev_open("/dev/i2c-1", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dev_ioctl(fd, I2C_SLAVE, (void *)0), 0);
  }
  void TearDown() override {
    if (fd >= 0) dev_close(fd);
    sim_board_set_clock(nullptr);
    sim_board_reset();
  }
  // One scan as the program makes it: the low register, then the high one.
  uint32_t scan() {
    int lo = smbus_byte(fd, 0), hi = smbus_byte(fd, 1);
    EXPECT_GE(lo, 0);
    EXPECT_GE(hi, 0);
    return uint32_t(lo) | uint32_t(hi) << 8;
  }
  std::vector<uint32_t> scans(int n) {
    std::vector<uint32_t> out;
    for (int i = 0; i < n; i++) out.push_back(scan());
    return out;
  }
  // Each word held for six scans, then let go for six.
  static std::vector<uint32_t> held_then_let_go(std::vector<uint32_t> words) {
    std::vector<uint32_t> out;
    for (uint32_t w : words) {
      out.insert(out.end(), 6, w);
      out.insert(out.end(), 6, 0u);
    }
    return out;
  }
};

TEST_F(SimKeypad, PressesOnTheControllerFollowOneAnotherSixScansEach) {
  EXPECT_EQ(sim_board_command("press 0"), -1);
  EXPECT_EQ(sim_board_command("press 65536"), -1);
  EXPECT_EQ(sim_board_command("press 2 3"), -1);
  EXPECT_EQ(sim_board_command("temp 40"), 0);   // the sensor's, no key
  EXPECT_EQ(sim_board_command("i2cfail 0"), 0);
  EXPECT_EQ(sim_board_keypad_reg(0), 0);
  // Both bytes of the word; then three more queued behind it, each pressed
  // once the one before is let go.
  EXPECT_EQ(sim_board_command("press 0x801"), 0);
  EXPECT_EQ(sim_board_keypad_reg(0), 0x01);
  EXPECT_EQ(sim_board_keypad_reg(1), 0x08);
  for (const char *c : {"press 2", "press 4", "press 65535"}) EXPECT_EQ(sim_board_command(c), 0) << c;
  // Reading the low register alone is no scan: nothing moves on.
  for (int i = 0; i < 20; i++) EXPECT_EQ(smbus_byte(fd, 0), 0x01);
  std::vector<uint32_t> want = held_then_let_go({0x801, 2, 4, 0xFFFF});
  want.insert(want.end(), 6, 0u);
  EXPECT_EQ(scans(int(want.size())), want);

  // A full queue takes no more: one held and sixteen waiting.
  for (uint32_t k = 1; k <= 18; k++) sim_board_press_keys(k, true);
  std::vector<uint32_t> all;
  for (uint32_t k = 1; k <= 17; k++) all.push_back(k);
  want = held_then_let_go(all);
  want.insert(want.end(), 12, 0u);
  EXPECT_EQ(scans(int(want.size())), want);

  // "keys W" holds its keys and drops the presses still waiting; a power-on
  // drops them too.
  sim_board_press_keys(0x10, true);
  sim_board_press_keys(0x20, true);
  EXPECT_EQ(sim_board_command("keys 0x40"), 0);
  EXPECT_EQ(scans(30), std::vector<uint32_t>(30, 0x40));
  EXPECT_EQ(sim_board_command("keys 0"), 0);
  sim_board_press_keys(0x10, true);
  sim_board_press_keys(0x20, true);
  sim_board_reset();
  EXPECT_EQ(scans(3), std::vector<uint32_t>(3, 0u));
  sim_board_press_keys(0x80, true);
  EXPECT_EQ(scans(24), held_then_let_go({0x80, 0}));
}

// On the lines a pressed key pulls its line low; a press holds for 300 ms of
// the board's clock, and is let go for as long before the next.
TEST_F(SimKeypad, PressesOnTheLinesHoldForTheirTime) {
  ASSERT_EQ(sim_board_command("keypad gpio"), 0);
  auto lines = [] {
    sim_board_tick();
    // Key lines 0 to 8: pins 26, 27, 61 to 64, 28 to 30.
    const int pins[9] = {26, 27, 61, 62, 63, 64, 28, 29, 30};
    uint32_t low = 0;
    for (int j = 0; j < 9; j++)
      if (!((input_word(kGpioPair0 + 40u * uint32_t(pins[j] / 32)) >> (pins[j] % 32)) & 1)) low |= 1u << j;
    return low;
  };
  EXPECT_EQ(lines(), 0u);
  EXPECT_EQ(sim_board_command("keys 0x101"), 0);
  EXPECT_EQ(lines(), 0x101u);
  EXPECT_EQ(sim_board_command("keys 0"), 0);
  EXPECT_EQ(lines(), 0u);

  EXPECT_EQ(sim_board_command("press 0x1FE"), 0);
  EXPECT_EQ(sim_board_command("press 1"), 0);
  std::vector<uint32_t> seen;
  for (int step = 0; step < 6; step++) {
    seen.push_back(lines());
    g_ms += 299;
    seen.push_back(lines());
    g_ms += 1;
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{0x1FE, 0x1FE, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0}));
  sim_board_set_keypad(SIM_KEYPAD_I2C);
}

// A process whose first touch of the board is the bus or the register
// window: the keypad answers its identity, and the lines the program drives
// before the board's ticker first runs stay driven.
void first_touch_bus(void) {
  int fd = dev_open("/dev/i2c-1", O_RDWR);
  int rc = fd >= 0 ? dev_ioctl(fd, I2C_SLAVE, (void *)0) : -1;
  int id = rc == 0 ? smbus_byte(fd, 0x7A) : -1;
  fprintf(stderr, "id=%d\n", id);
  exit(id == 0x10 ? 0 : 1);
}

void first_touch_window(void) {
  int fd = dev_open("/dev/mem", O_RDWR);
  void *p = fd >= 0 ? dev_mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0x01C67000) : nullptr;
  if (!p) exit(2);
  volatile uint32_t *pair0 = (volatile uint32_t *)((char *)p + 0x10);
  pair0[0] = 0xFFFFFFFEu;   // line 0 an output
  pair0[1] = 1u;            // driven high
  // The ticker moves the timer on at each of its passes: three moves, and
  // the board has been refreshed since the lines were driven.
  volatile uint32_t *timer = sim_mem_reg(0x01C20810u);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int moves = 0;
  uint32_t last = *timer;
  while (moves < 3 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (*timer != last) moves++;
    last = *timer;
  }
  fprintf(stderr, "moves=%d dir=%x out=%x in=%x\n", moves, pair0[0], pair0[1], pair0[4] & 1);
  exit(moves == 3 && pair0[0] == 0xFFFFFFFEu && pair0[1] == 1u && (pair0[4] & 1) ? 0 : 1);
}

TEST(SimBoardFresh, TheFirstTouchPowersTheBoardOnOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(first_touch_bus(), testing::ExitedWithCode(0), "id=16");
  EXPECT_EXIT(first_touch_window(), testing::ExitedWithCode(0), "moves=3");
}

}  // namespace
