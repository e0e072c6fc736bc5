// The parameter slot ring in the simulated NOR flash: saves fill the slots
// in order and wrap with the right erases, loads take the newest valid
// block, and torn, corrupted or failed writes never lose an earlier block.
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/crc32.h"
#include "core/param_flash.h"
#include "param_test_util.h"
#include "platform/host_root.h"
#include "test_root.h"

namespace {

std::string shell(const std::string &cmd) {
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return "";
  char buf[256] = "";
  size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  return std::string(buf, n);
}

}  // namespace

TEST_F(ParamFlash, ErasedFlashGivesDefaultsWithoutWriting) {
  EXPECT_EQ(init_param(block()), -1);
  std::string log = param_log_text();
  EXPECT_NE(log.find("loading default params due to checksum error"), std::string::npos);
  EXPECT_EQ(get("NetworkMACAddr"), "08:00:56:12:34:56");
  EXPECT_STREQ(block()->hostname, "m7391-123456");
  EXPECT_EQ(ring_map(), std::string(32, '.'));
}

TEST_F(ParamFlash, SavesFillSlotsAndACheckerAgreesOnTheCrc) {
  init_param(block());
  ASSERT_EQ(save_param_block(block()), 0);
  ASSERT_EQ(save_param_block(block()), 0) << "unchanged: nothing written";
  EXPECT_EQ(ring_map(), "#" + std::string(31, '.'));
  ASSERT_EQ(set("Video[0].GOPSize", "12"), "");
  ASSERT_EQ(save_param_block(block()), 0);
  EXPECT_EQ(ring_map(), "##" + std::string(30, '.'));
  ParamBlock s1 = read_block(1);
  EXPECT_EQ(s1.size, 2236u);
  EXPECT_EQ(s1.counter, 2u);
  EXPECT_EQ(s1.video[0].gop_size, 12);
  // The rest of the slot stays unprogrammed.
  std::vector<uint8_t> tail(0x2000 - 2236);
  mtd_read(tail.data(), slot_off(1) + 2236, tail.size());
  for (uint8_t b : tail) ASSERT_EQ(b, 0xFF);

  // Checked by a CRC-32/MPEG-2 nobody here wrote, over bytes cut out of the
  // flash image with dd.
  if (system("/usr/bin/python3 -c 'import crcmod' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-crcmod is not installed";
  std::string image = HostPath("/dev/mtd0").c_str();
  std::string cmd =
      "dd if=" + image + " bs=1 skip=" + std::to_string(slot_off(1)) +
      " count=2236 status=none | /usr/bin/python3 -c \"import sys, crcmod.predefined as p; "
      "d = bytearray(sys.stdin.buffer.read()); stored = int.from_bytes(d[4:8], 'little'); "
      "d[4:8] = bytes(4); print(len(d), stored == p.mkCrcFun('crc-32-mpeg')(bytes(d)))\"";
  EXPECT_EQ(shell(cmd), "2236 True\n");
}

TEST_F(ParamFlash, RingWrapsAndErasesTheOtherHalf) {
  init_param(block());
  for (uint32_t n = 1; n <= 16; n++) ASSERT_EQ(save_with(n), 0);
  EXPECT_EQ(ring_map(), std::string(16, '#') + std::string(16, '.'));
  // The first save into the second half erases the first one afterwards.
  ASSERT_EQ(save_with(17), 0);
  EXPECT_EQ(ring_map(), std::string(16, '.') + "#" + std::string(15, '.'));
  for (uint32_t n = 18; n <= 32; n++) ASSERT_EQ(save_with(n), 0);
  EXPECT_EQ(ring_map(), std::string(16, '.') + std::string(16, '#'));
  EXPECT_EQ(loaded_value(), 32u);
  // The top slot is used: back to 0x20000, then the second half goes.
  ASSERT_EQ(save_with(33), 0);
  EXPECT_EQ(ring_map(), "#" + std::string(31, '.'));
  EXPECT_EQ(loaded_value(), 33u);
  EXPECT_EQ(read_block(0).counter, 33u);
}

TEST_F(ParamFlash, CorruptedNewestSlotFallsBackToThePreviousOne) {
  init_param(block());
  for (uint32_t n = 1; n <= 3; n++) ASSERT_EQ(save_with(n), 0);
  // Clear a bit inside the newest block (NOR programming can only do that).
  uint8_t zero = 0;
  ASSERT_EQ(mtd_write(&zero, slot_off(2) + offsetof(ParamBlock, alarm_timeout), 1), 1);
  EXPECT_EQ(loaded_value(), 2u);
  EXPECT_NE(param_log_text().find("checksum incorrect at flash_offs=24000 size=2236"),
            std::string::npos);
  // The damaged slot is not reused: the next save goes after it.
  ASSERT_EQ(save_with(4), 0);
  EXPECT_EQ(ring_map(), "####" + std::string(28, '.'));
  EXPECT_EQ(loaded_value(), 4u);
}

TEST_F(ParamFlash, TornSlotIsIgnored) {
  init_param(block());
  ASSERT_EQ(save_with(1), 0);
  // A save cut off after its first 1000 bytes: size and CRC are there,
  // the rest is still erased.
  block()->alarm_timeout = 2;
  ParamBlock img = *block();
  img.counter = 99;
  img.crc = 0;
  img.crc = crc32_mpeg2(&img, sizeof img);
  ASSERT_EQ(mtd_write(&img, slot_off(1), 1000), 1000);
  EXPECT_EQ(loaded_value(), 1u);
  ASSERT_EQ(save_with(3), 0);
  EXPECT_EQ(ring_map(), "###" + std::string(29, '.'));
  EXPECT_EQ(loaded_value(), 3u);
}

TEST_F(ParamFlash, FailedWritesAndErasesLoseNoSavedBlock) {
  init_param(block());
  ASSERT_EQ(save_with(1), 0);
  sim_flash_fail_write(1);
  EXPECT_LT(save_with(2), 0);
  EXPECT_EQ(loaded_value(), 1u);
  ASSERT_EQ(save_param_block(block()), 0) << "the failed block is saved on the next try";
  EXPECT_EQ(loaded_value(), 2u);

  // Fill the ring to the top, then make the erase after the wrap fail: the
  // block at 0x20000 is newer than the full second half above it.
  for (uint32_t n = 3; n <= 32; n++) ASSERT_EQ(save_with(n), 0);
  EXPECT_EQ(ring_map(), std::string(16, '.') + std::string(16, '#'));
  sim_flash_fail_erase(1);
  EXPECT_LT(save_with(33), 0);
  EXPECT_EQ(ring_map(), "#" + std::string(15, '.') + std::string(16, '#'));
  EXPECT_EQ(loaded_value(), 33u);
  ASSERT_EQ(save_with(34), 0);
  EXPECT_EQ(loaded_value(), 34u);
  // Both halves full, the newest in the first: the second half is erased
  // for the next block. When that erase fails nothing is lost.
  for (uint32_t n = 35; n <= 48; n++) ASSERT_EQ(save_with(n), 0);
  EXPECT_EQ(ring_map(), std::string(32, '#'));
  sim_flash_fail_erase(1);
  EXPECT_LT(save_with(49), 0);
  EXPECT_EQ(ring_map(), std::string(32, '#'));
  EXPECT_EQ(loaded_value(), 48u);
  ASSERT_EQ(save_param_block(block()), 0);
  EXPECT_EQ(ring_map(), std::string(16, '.') + "#" + std::string(15, '.'));
  EXPECT_EQ(loaded_value(), 49u);
}

TEST_F(ParamFlash, ValueBeingWrittenIsNeverSavedHalfWritten) {
  init_param(block());
  // One thread keeps rewriting a long text while saves go on: every saved
  // block holds one whole value or the other.
  const std::string a(159, 'A'), b(159, 'B');
  ASSERT_EQ(set("Video[0].OSD.Message", a.c_str()), "");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (unsigned i = 0; !stop.load(); i++) param_set_str("Video[0].OSD.Message", (i & 1 ? b : a).c_str());
  });
  int torn = 0;
  for (int round = 0; round < 300 && !torn; round++) {
    ASSERT_EQ(save_param_block(block()), 0);
    ParamBlock saved;
    ASSERT_EQ(get_cur_param_block(&saved), 0);
    std::string text(saved.video[0].osd.message, strnlen(saved.video[0].osd.message, 160));
    if (text != a && text != b) torn++;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0) << "a half-written text reached the flash";
}
