// The simulated /dev/mtd0 behaves as NOR flash: erase to 0xFF by whole
// blocks, programming only clears bits, failures when injected.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <vector>

#include "platform/device.h"
#include "platform/sim/sim_control.h"

namespace {

struct Flash {
  int fd = dev_open("/dev/mtd0", O_RDWR);
  ~Flash() { dev_close(fd); }
  std::vector<uint8_t> read(uint32_t off, size_t n) {
    std::vector<uint8_t> v(n);
    EXPECT_EQ(dev_lseek(fd, off, SEEK_SET), (off_t)off);
    EXPECT_EQ(dev_read(fd, v.data(), n), (ssize_t)n);
    return v;
  }
  ssize_t write(uint32_t off, const void *p, size_t n) {
    dev_lseek(fd, off, SEEK_SET);
    return dev_write(fd, p, n);
  }
  int erase(uint32_t start, uint32_t len) {
    erase_info_user e = {start, len};
    return dev_ioctl(fd, MEMERASE, &e);
  }
};

uint32_t u32(const std::vector<uint8_t> &v, size_t at) {
  uint32_t x;
  memcpy(&x, &v[at], 4);
  return x;
}

}  // namespace

TEST(SimFlash, FreshImageHoldsBoardInfoAndIsErasedElsewhere) {
  Flash f;
  ASSERT_GE(f.fd, 0);
  EXPECT_EQ(dev_lseek(f.fd, 0, SEEK_END), 0x1000000);
  auto info = f.read(0x1FFF0, 16);
  EXPECT_EQ(u32(info, 0), 7391u);
  EXPECT_EQ(u32(info, 4), 0u);
  EXPECT_EQ(u32(info, 8), 0xFFFFFFFFu);
  EXPECT_EQ(u32(info, 12), 123456u);  // the test root's serial number
  EXPECT_GT(u32(f.read(0x100, 4), 0), 0x100FFu);
  auto kernel = f.read(0x860000, 4096);
  for (uint8_t b : kernel) ASSERT_EQ(b, 0xFF);
}

TEST(SimFlash, WritesOnlyClearBitsAndEraseRestoresWholeBlocks) {
  Flash f;
  const uint32_t at = 0x840000 + 0x1234;
  uint8_t a[4] = {0xF0, 0x0F, 0xAA, 0x00};
  uint8_t b[4] = {0x3C, 0xFF, 0x55, 0xFF};
  ASSERT_EQ(f.write(at, a, 4), 4);
  ASSERT_EQ(f.write(at, b, 4), 4);
  auto got = f.read(at, 4);
  EXPECT_EQ(got, (std::vector<uint8_t>{0x30, 0x0F, 0x00, 0x00}));

  ASSERT_EQ(f.erase(0x840000, 0x20000), 0);
  for (uint8_t x : f.read(0x840000, 0x20000)) ASSERT_EQ(x, 0xFF);
  // The driver refuses partial blocks and ranges past the chip.
  EXPECT_EQ(f.erase(0x840010, 0x20000), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(f.erase(0xFE0000, 0x40000), -1);
  // Writing past the end is refused, reading there gives nothing.
  EXPECT_EQ(f.write(0x1000000, a, 1), -1);
  uint8_t x;
  dev_lseek(f.fd, 0x1000000, SEEK_SET);
  EXPECT_EQ(dev_read(f.fd, &x, 1), 0);
}

TEST(SimFlash, InjectedFailuresFailOnceEachAndChangeNothing) {
  Flash f;
  const uint32_t blk = 0x820000;
  uint8_t zero[2] = {0, 0};
  ASSERT_EQ(f.erase(blk, 0x20000), 0);
  sim_flash_fail_write(1);
  EXPECT_EQ(f.write(blk, zero, 2), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(f.read(blk, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
  ASSERT_EQ(f.write(blk, zero, 2), 2);

  sim_flash_fail_erase(2);
  EXPECT_EQ(f.erase(blk, 0x20000), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(f.erase(blk, 0x20000), -1);
  EXPECT_EQ(f.read(blk, 2), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(f.erase(blk, 0x20000), 0);
  EXPECT_EQ(f.read(blk, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}
