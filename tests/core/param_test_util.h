// Shared set-up of the parameter store tests: a live block holding the
// defaults, no hooks, nothing pending, an empty log.
#pragma once
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/param_table.h"
#include "platform/sim/sim_control.h"

inline std::string param_log_text(void) {
  static char buf[1 << 17];
  size_t n = log_read(buf, sizeof buf - 1);
  return std::string(buf, n);
}

struct ParamTest : ::testing::Test {
  void SetUp() override {
    memset(&param_apply_hooks, 0, sizeof param_apply_hooks);
    board_identity.serial = 123456;
    board_identity.safe_boot = 0;
    *get_param_block() = *param_default_block();
    param_take_changes();
    param_log_text();
  }
  void TearDown() override { memset(&param_apply_hooks, 0, sizeof param_apply_hooks); }
  ParamBlock *block() { return get_param_block(); }
  std::string get(const char *name) {
    char buf[300];
    int n = param_get(name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, size_t(n));
  }
  // NULL becomes "" so that EXPECT_EQ can show the message.
  std::string set(const char *name, const char *value) {
    const char *err = param_set_str(name, value);
    return err ? err : "";
  }
};

// The parameter ring of the flash image, erased before each test.
inline constexpr uint32_t RING = 0x20000;
inline uint32_t slot_off(int i) { return RING + uint32_t(i) * 0x2000; }

struct ParamFlash : ParamTest {
  void SetUp() override {
    ParamTest::SetUp();
    ASSERT_EQ(mtd_open(), 0);
    ASSERT_EQ(mtd_erase_block(RING, 0x40000), 0);
    sim_flash_fail_erase(0);
    sim_flash_fail_write(0);
  }
  bool slot_erased(int i) {
    std::vector<uint8_t> buf(0x2000);
    EXPECT_EQ(mtd_read(buf.data(), slot_off(i), buf.size()), 0x2000);
    for (uint8_t b : buf)
      if (b != 0xFF) return false;
    return true;
  }
  // Which slots hold data, as a string of '#' and '.'.
  std::string ring_map() {
    std::string map;
    for (int i = 0; i < 32; i++) map += slot_erased(i) ? '.' : '#';
    return map;
  }
  ParamBlock read_block(int i) {
    ParamBlock b;
    EXPECT_EQ(mtd_read(&b, slot_off(i), sizeof b), ssize_t(sizeof b));
    return b;
  }
  // Writes raw block bytes (size bytes of data, header included) to a slot,
  // with a correct CRC unless told otherwise.
  void write_raw(int i, std::vector<uint8_t> data, bool good_crc = true) {
    uint32_t size = uint32_t(data.size());
    memcpy(data.data(), &size, 4);
    memset(data.data() + 4, 0, 4);
    uint32_t crc = crc32_mpeg2(data.data(), data.size()) ^ (good_crc ? 0 : 1);
    memcpy(data.data() + 4, &crc, 4);
    ASSERT_EQ(mtd_write(data.data(), slot_off(i), data.size()), ssize_t(data.size()));
  }
  // One save of a changed block; the value tells the saves apart.
  int save_with(uint32_t value) {
    block()->alarm_timeout = value;
    return save_param_block(block());
  }
  uint32_t loaded_value() {
    ParamBlock b;
    EXPECT_EQ(get_cur_param_block(&b), 0);
    return b.alarm_timeout;
  }
};

