// Raw flash access through the device seam, on the simulated NOR chip.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/mtd.h"
#include "platform/sim/sim_control.h"

namespace {
std::string log_text(void) {
  static char buf[1 << 16];
  size_t n = log_read(buf, sizeof buf - 1);
  return std::string(buf, n);
}
struct MtdOpen : ::testing::Test {
  void SetUp() override { ASSERT_EQ(mtd_open(), 0); }
};
}  // namespace

TEST_F(MtdOpen, BoardInfoAndBootLoaderVersionOfTheFreshImage) {
  BoardInfo bi;
  ASSERT_EQ(board_info_read(&bi), 0);
  EXPECT_EQ(bi.serial, 123456u);
  EXPECT_EQ(bi.board_value, 0xFFFFFFFFu);
  EXPECT_EQ(board_value_read(), 0u);  // erased reads as unset
  EXPECT_GT(mtd_bootloader_version(), 0x100FFu);
}

TEST_F(MtdOpen, EraseCoversWholeBlocksAroundTheRange) {
  std::vector<uint8_t> zeros(0x60000, 0);
  // Program the three blocks 0x20000-0x7FFFF to zero, then erase 16 bytes.
  ASSERT_EQ(mtd_erase_block(0x20000, 0x60000), 0);
  ASSERT_EQ(mtd_write(zeros.data(), 0x20000, zeros.size()), (ssize_t)zeros.size());
  ASSERT_EQ(mtd_erase_block(0x20010, 16), 0);
  std::vector<uint8_t> got(0x60000);
  ASSERT_EQ(mtd_read(got.data(), 0x20000, got.size()), (ssize_t)got.size());
  for (size_t i = 0; i < 0x20000; i++) ASSERT_EQ(got[i], 0xFF) << i;
  for (size_t i = 0x20000; i < 0x60000; i++) ASSERT_EQ(got[i], 0) << i;
  // A range that crosses a block boundary erases both blocks.
  ASSERT_EQ(mtd_erase_block(0x3FFFF, 2), 0);
  ASSERT_EQ(mtd_read(got.data(), 0x40000, 0x20000), 0x20000);
  for (size_t i = 0; i < 0x20000; i++) ASSERT_EQ(got[i], 0xFF) << i;
}

TEST_F(MtdOpen, ProgrammingClearsBitsOnly) {
  ASSERT_EQ(mtd_erase_block(0x820000, 1), 0);
  uint32_t a = 0x12345678, b = 0xFF00FF00, r = 0;
  ASSERT_EQ(mtd_write(&a, 0x820000, 4), 4);
  ASSERT_EQ(mtd_write(&b, 0x820000, 4), 4);
  ASSERT_EQ(mtd_read(&r, 0x820000, 4), 4);
  EXPECT_EQ(r, a & b);
}

TEST_F(MtdOpen, InjectedFailuresAreReportedAndReturned) {
  log_reset();
  sim_flash_fail_erase(1);
  EXPECT_LT(mtd_erase_block(0x840000, 0x20000), 0);
  EXPECT_NE(log_text().find("mtd_erase_block: ioctl MEMERASE returned -1  offset=8650752"),
            std::string::npos);
  sim_flash_fail_write(1);
  uint32_t v = 0;
  EXPECT_LT(mtd_write(&v, 0x840000, 4), 0);
  EXPECT_NE(log_text().find("mtd_write: write returned -1  offset=8650752 len=4"),
            std::string::npos);
  // Both failed before touching the chip: the next attempts work.
  EXPECT_EQ(mtd_erase_block(0x840000, 0x20000), 0);
  EXPECT_EQ(mtd_write(&v, 0x840000, 4), 4);
}

TEST(Mtd, ReadsBeforeOpenFail) {
  mtd_close();
  uint8_t b;
  EXPECT_EQ(mtd_read(&b, 0, 1), -1);
  EXPECT_EQ(mtd_open(), 0);
}
