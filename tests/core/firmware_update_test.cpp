// Firmware update on a memory flash: the upload state (only its own request
// appends, a piece past the size is cut, the flash thread runs once), the
// combined file made by tar, and flash failures that must leave no valid
// kernel header behind.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/firmware.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/process_util.h"
#include "test_root.h"

namespace {

std::vector<uint8_t> flash;
int fail_erase, fail_write_at = -1, writes;

int mem_read(void *buf, uint32_t off, size_t len) {
  if ((uint64_t)off + len > flash.size()) return -1;
  memcpy(buf, flash.data() + off, len);
  return 0;
}
int mem_write(const void *buf, uint32_t off, size_t len) {
  if ((uint64_t)off + len > flash.size() || writes++ == fail_write_at) return -1;
  memcpy(flash.data() + off, buf, len);
  return 0;
}
int mem_erase(uint32_t off) {
  if (fail_erase && fail_erase--) return -1;
  memset(flash.data() + (off & ~(MTD_ERASE_BLOCK - 1)), 0xFF, MTD_ERASE_BLOCK);
  return 0;
}
const FirmwareFlash kMemFlash = {mem_read, mem_write, mem_erase};

void put_be32(uint8_t *p, uint32_t v) {
  p[0] = v >> 24; p[1] = v >> 16; p[2] = v >> 8; p[3] = v;
}

std::vector<uint8_t> uimage(size_t data_size, uint32_t date, uint8_t seed) {
  std::vector<uint8_t> img(UIMAGE_HEADER_SIZE + data_size);
  for (size_t i = 0; i < data_size; i++) img[UIMAGE_HEADER_SIZE + i] = (uint8_t)(i * 7 + seed);
  put_be32(&img[0], UIMAGE_MAGIC);
  put_be32(&img[8], date);
  put_be32(&img[12], (uint32_t)data_size);
  put_be32(&img[24], crc32_progress(&img[UIMAGE_HEADER_SIZE], data_size, nullptr));
  strcpy((char *)&img[32], "test");
  put_be32(&img[4], crc32_progress(img.data(), UIMAGE_HEADER_SIZE, nullptr));
  return img;
}

std::vector<uint8_t> region(uint32_t off, size_t len) {
  return std::vector<uint8_t>(flash.begin() + off, flash.begin() + off + len);
}

std::string status_now(void) {
  const char *s = firmware_status_take();
  return s ? s : "";
}

void wait_idle(void) {
  for (int i = 0; i < 2000 && firmware_update_in_progress(); i++) sleep_ms(5);
  ASSERT_FALSE(firmware_update_in_progress());
}

struct Firmware : ::testing::Test {
  void SetUp() override {
    test_root();
    flash.assign(MTD_SIZE, 0xFF);
    fail_erase = 0;
    fail_write_at = -1;
    writes = 0;
    firmware_flash = &kMemFlash;
    firmware_set_wifi_tools_present(0);
    firmware_status_take();
  }
};

}  // namespace

TEST_F(Firmware, UploadBelongsToItsRequestAndFlashesOnce) {
  int a, b;
  std::vector<uint8_t> img = uimage(10000, 1, 3);
  img[5000] ^= 1;   // the data CRC fails: the thread refuses without restarting
  std::vector<uint8_t> tail(img.begin() + 6000, img.end());
  tail.resize(tail.size() + 100, 0xAA);   // passes the size
  ASSERT_EQ(firmware_upload_init(&a, img.data(), 64), 0);
  EXPECT_EQ(firmware_upload_init(&b, img.data(), 64), -1);   // one at a time
  firmware_upload_append(&a, img.data(), 6000);
  firmware_upload_append(&b, img.data(), 6000);              // not its upload
  firmware_upload_finish(&b);
  EXPECT_TRUE(firmware_update_in_progress());
  log_reset();
  firmware_upload_append(&a, tail.data(), tail.size());
  firmware_upload_append(&a, tail.data(), tail.size());
  wait_idle();
  char buf[4096];
  std::string log(buf, log_read(buf, sizeof buf));
  EXPECT_NE(log.find("oversized packet"), std::string::npos);
  EXPECT_EQ(log.find("flash_thread: fw total"), log.rfind("flash_thread: fw total")) << log;
  EXPECT_EQ(status_now(), "not a valid firmware file");
  firmware_upload_finish(&a);   // the thread had it: no later status
  EXPECT_EQ(status_now(), "");
  EXPECT_EQ(region(MTD_KERNEL_OFF, 64), std::vector<uint8_t>(64, 0xFF));

  // Cut short: nothing held afterwards. Too small, not an image, too large.
  ASSERT_EQ(firmware_upload_init(&a, img.data(), 64), 0);
  firmware_upload_append(&a, img.data(), 500);
  firmware_upload_finish(&a);
  EXPECT_EQ(status_now(), "Firmware image truncated");
  EXPECT_FALSE(firmware_update_in_progress());
  EXPECT_EQ(firmware_upload_init(&a, img.data(), 63), -1);
  EXPECT_EQ(status_now(), "firmware file too small");
  EXPECT_EQ(firmware_upload_init(&a, img.data() + 1, 64), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  std::vector<uint8_t> huge = img;
  put_be32(&huge[12], 0xFFFFFFF0u);   // size + 64 must not wrap
  EXPECT_EQ(firmware_upload_init(&a, huge.data(), 64), -1);
  EXPECT_EQ(status_now(), "firmware file too large");
}

TEST_F(Firmware, CombinedTarFillsBothRegions) {
  std::string dir = test_root() + test_scratch_dir("fw");
  std::vector<uint8_t> img = uimage(70000, 1700000000, 9), wifi(30000);
  for (size_t i = 0; i < wifi.size(); i++) wifi[i] = (uint8_t)(i * 13);
  auto save = [&](const char *name, const std::vector<uint8_t> &v) {
    FILE *f = fopen((dir + "/" + name).c_str(), "wb");
    fwrite(v.data(), 1, v.size(), f);
    fclose(f);
  };
  save("m7391.fw", img);
  save("wifi_archive.tar", wifi);
  std::string cmd = "tar --format=ustar -C " + dir + " -cf " + dir + "/all.tar m7391.fw wifi_archive.tar";
  ASSERT_EQ(system(cmd.c_str()), 0);
  FILE *f = fopen((dir + "/all.tar").c_str(), "rb");
  std::vector<uint8_t> all(1 << 20);
  all.resize(fread(all.data(), 1, all.size(), f));
  fclose(f);
  EXPECT_EQ(firmware_image_kind(all.data(), all.size()), 2);
  EXPECT_EQ(firmware_image_kind(img.data(), img.size()), 1);

  // Cut inside the archive entry: refused before anything is written.
  EXPECT_EQ(firmware_flash_image(all.data(), 512 + 70144 + 512 + 1000), -1);
  EXPECT_EQ(region(MTD_WIFI_ARCHIVE_OFF, 16), std::vector<uint8_t>(16, 0xFF));

  ASSERT_EQ(firmware_flash_image(all.data(), all.size()), 0);
  EXPECT_EQ(region(MTD_KERNEL_OFF, img.size()), img);
  EXPECT_EQ(region(MTD_WIFI_ARCHIVE_OFF, wifi.size()), wifi);
  EXPECT_EQ(read_firmware_date(), 1700000000u);
  // The kernel alone with Wi-Fi tools present: "No update needed" is then a
  // success, and the tools' region is erased.
  firmware_set_wifi_tools_present(1);
  EXPECT_EQ(firmware_flash_image(img.data(), img.size()), 0);
  EXPECT_EQ(region(MTD_WIFI_ARCHIVE_OFF, 16), std::vector<uint8_t>(16, 0xFF));
  firmware_set_wifi_tools_present(0);
  EXPECT_EQ(firmware_flash_image(img.data(), img.size()), -1);
  EXPECT_EQ(status_now(), "No update needed");
}

TEST_F(Firmware, FlashFailuresLeaveNoValidHeader) {
  char text[32];
  firmware_version_text(text, sizeof text);
  EXPECT_STREQ(text, "Firmware invalid");
  std::vector<uint8_t> img = uimage(3 * 4096 + 100, 1700000000, 1);
  fail_erase = 1;
  EXPECT_EQ(flash_kernel_image(img.data(), img.size()), -1);
  EXPECT_EQ(status_now(), "error erasing block");
  // Every write in turn fails: the header, written last, is never there.
  for (int at = 0; at < 5; at++) {
    flash.assign(MTD_SIZE, 0xFF);
    writes = 0;
    fail_write_at = at;
    EXPECT_EQ(flash_kernel_image(img.data(), img.size()), -1) << at;
    EXPECT_EQ(status_now(), "error writing block");
    EXPECT_EQ(region(MTD_KERNEL_OFF, 64), std::vector<uint8_t>(64, 0xFF)) << at;
  }
  fail_write_at = -1;
  ASSERT_EQ(flash_kernel_image(img.data(), img.size()), 0);
  EXPECT_EQ(region(MTD_KERNEL_OFF, img.size()), img);
  // A header whose own CRC fails is refused although the data's is right.
  flash.assign(MTD_SIZE, 0xFF);
  img[33] ^= 1;
  EXPECT_EQ(flash_kernel_image(img.data(), img.size()), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
}

TEST_F(Firmware, WifiArchiveUnpacksOnlyUnderWifi) {
  const std::string &root = test_root();
  std::string src = root + test_scratch_dir("wifisrc");
  std::string cmd = "mkdir -p " + src + "/Wifi/sub && printf '#!/bin/sh\\necho up\\n' > " + src +
                    "/Wifi/wifi_run.sh && chmod 755 " + src + "/Wifi/wifi_run.sh && echo ssid=box > " +
                    src + "/Wifi/sub/hostapd.conf && tar --format=ustar -C " + src + " -cf " + src +
                    "/w.tar Wifi";
  ASSERT_EQ(system(cmd.c_str()), 0);
  FILE *f = fopen((src + "/w.tar").c_str(), "rb");
  std::vector<uint8_t> tar(1 << 16);
  tar.resize(fread(tar.data(), 1, tar.size(), f));
  fclose(f);
  auto install = [&](const std::vector<uint8_t> &t) {
    memcpy(flash.data() + MTD_WIFI_ARCHIVE_OFF, t.data(), t.size());
  };
  // A longer file already there is replaced, not overwritten in part.
  ASSERT_EQ(system(("rm -rf " + root + "/Wifi && mkdir -p " + root + "/Wifi/sub && head -c 5000 "
                    "/dev/zero > " + root + "/Wifi/sub/hostapd.conf").c_str()), 0);
  install(tar);
  EXPECT_EQ(wifi_archive_extract(), 1);
  EXPECT_EQ(system(("diff -r " + src + "/Wifi " + root + "/Wifi").c_str()), 0);
  EXPECT_EQ(access((root + "/Wifi/wifi_run.sh").c_str(), X_OK), 0);

  // A name that leaves "Wifi/" stops the walk before its entry is written.
  for (const char *evil : {"Wifi/../evil.sh", "evil.sh"}) {
    std::vector<uint8_t> bad = tar;
    size_t last = 0;
    for (size_t at = 0; at + 512 <= bad.size() && bad[at]; ) {
      last = at;
      uint64_t size = strtoull(std::string((char *)&bad[at + 124], 11).c_str(), nullptr, 8);
      at += 512 + (size + 511) / 512 * 512;
    }
    memset(&bad[last], 0, 100);
    strcpy((char *)&bad[last], evil);
    install(bad);
    EXPECT_EQ(wifi_archive_extract(), 0) << evil;
    EXPECT_NE(access((root + "/evil.sh").c_str(), F_OK), 0) << evil;
    EXPECT_NE(access((root + "/Wifi/evil.sh").c_str(), F_OK), 0) << evil;
  }
  flash.assign(MTD_SIZE, 0xFF);
  EXPECT_EQ(wifi_archive_extract(), 0);   // erased region: no tools
}
