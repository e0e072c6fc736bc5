// The simulated EDMA device copies only inside contiguous memory.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "platform/device.h"
#include "platform/framework/dmai.h"

namespace {

int edma(uint32_t src, uint32_t dst, int32_t src_step, int32_t dst_step, uint32_t bytes,
         uint32_t lines) {
  static int fd = dev_open("/dev/dm365mmap", O_RDWR | O_SYNC);
  uint32_t w[15] = {};
  w[0] = src;
  w[1] = dst;
  w[4] = (uint32_t)src_step;
  w[8] = (uint32_t)dst_step;
  w[10] = bytes;
  w[11] = lines;
  w[12] = 1;
  w[13] = lines;
  w[14] = 1;
  return dev_ioctl(fd, 7, w);
}

}  // namespace

TEST(SimEdma, CopiesLinesWithSignedStepsInsideThePool) {
  uint8_t *m = (uint8_t *)CMEM_alloc(4096, 32);
  ASSERT_NE(m, nullptr);
  for (int i = 0; i < 4096; i++) m[i] = (uint8_t)i;
  uint32_t p = CMEM_getPhys(m);
  // Three lines of 4 bytes, read bottom-up, written top-down.
  ASSERT_EQ(edma(p + 2 * 16, p + 1024, -16, 16, 4, 3), 0);
  for (int l = 0; l < 3; l++)
    for (int i = 0; i < 4; i++) EXPECT_EQ(m[1024 + l * 16 + i], (uint8_t)((2 - l) * 16 + i));
  // Step 0 repeats one line.
  ASSERT_EQ(edma(p, p + 2048, 0, 8, 8, 4), 0);
  for (int l = 0; l < 4; l++) EXPECT_EQ(memcmp(m + 2048 + l * 8, m, 8), 0);
  CMEM_free(m);
}

TEST(SimEdma, RefusesAnyByteOutsideThePool) {
  uint8_t *m = (uint8_t *)CMEM_alloc(4096, 32);
  uint32_t p = CMEM_getPhys(m);
  memset(m, 0x11, 4096);
  EXPECT_EQ(edma(0x1000, p, 0, 0, 16, 1), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(edma(p, 0x1000, 0, 0, 16, 1), -1);
  // A negative step that walks below the pool's start.
  EXPECT_EQ(edma(p, p + 64, -(int32_t)0x40000000, 16, 16, 2), -1);
  // A transfer that starts inside and runs off the pool's end.
  EXPECT_EQ(edma(p, p + 64, 0xFFFF, 0, 0xFFFF, 0xFFFF), -1);
  for (int i = 0; i < 4096; i++) ASSERT_EQ(m[i], 0x11);
  // Counts beyond the engine's 16 bits are refused.
  EXPECT_EQ(edma(p, p + 8, 1, 1, 1, 0x10000), -1);
  EXPECT_EQ(errno, EINVAL);
  CMEM_free(m);
}
