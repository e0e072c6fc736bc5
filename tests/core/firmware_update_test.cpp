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
  img[28] = UIMAGE_OS_LINUX;
  img[29] = UIMAGE_ARCH_ARM;
  img[30] = UIMAGE_TYPE_KERNEL;
  strcpy((char *)&img[32], "test");
  put_be32(&img[4], crc32_progress(img.data(), UIMAGE_HEADER_SIZE, nullptr));
  return img;
}

void reseal(std::vector<uint8_t> &img) {
  put_be32(&img[4], 0);
  put_be32(&img[4], crc32_progress(img.data(), UIMAGE_HEADER_SIZE, nullptr));
}

std::vector<uint8_t> read_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  std::vector<uint8_t> v(1 << 21);
  v.resize(f ? fread(v.data(), 1, v.size(), f) : 0);
  if (f) fclose(f);
  return v;
}

void write_file(const std::string &path, const std::vector<uint8_t> &v) {
  FILE *f = fopen(path.c_str(), "wb");
  fwrite(v.data(), 1, v.size(), f);
  fclose(f);
}

// A Wi-Fi tools archive made by tar: the directory "Wifi/" and two files.
std::vector<uint8_t> wifi_tar(const std::string &dir) {
  std::string cmd = "rm -rf " + dir + "/Wifi && mkdir -p " + dir + "/Wifi && head -c 30000 /dev/urandom > " +
                    dir + "/Wifi/tool && echo ssid=box > " + dir + "/Wifi/hostapd.conf && tar --format=ustar -C " +
                    dir + " -cf " + dir + "/wifi_archive.tar Wifi";
  EXPECT_EQ(system(cmd.c_str()), 0);
  return read_file(dir + "/wifi_archive.tar");
}

std::vector<uint8_t> combined(const std::string &dir, const std::vector<uint8_t> &img,
                              const std::vector<uint8_t> &wifi) {
  write_file(dir + "/m7391.fw", img);
  write_file(dir + "/wifi_archive.tar", wifi);
  std::string cmd = "tar --format=ustar -C " + dir + " -cf " + dir + "/all.tar m7391.fw wifi_archive.tar";
  EXPECT_EQ(system(cmd.c_str()), 0);
  return read_file(dir + "/all.tar");
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
  std::vector<uint8_t> img = uimage(70000, 1700000000, 9), wifi = wifi_tar(dir);
  std::vector<uint8_t> all = combined(dir, img, wifi);
  EXPECT_EQ(firmware_image_kind(all.data(), all.size()), 2);
  EXPECT_EQ(firmware_image_kind(img.data(), img.size()), 1);

  // Cut inside the archive entry, or an archive whose listing is damaged:
  // refused before anything is written, in any region.
  std::vector<uint8_t> erased = flash;
  EXPECT_EQ(firmware_flash_image(all.data(), 512 + 70144 + 512 + 1000), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_TRUE(flash == erased);
  std::vector<uint8_t> damaged = wifi;
  damaged[512 + 130] ^= 1;   // the first file's size: its checksum fails
  std::vector<uint8_t> bad = combined(dir, img, damaged);
  EXPECT_EQ(firmware_flash_image(bad.data(), bad.size()), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_TRUE(flash == erased);
  damaged.assign(wifi.begin(), wifi.begin() + 512 * 3);   // the listing runs off its end
  bad = combined(dir, img, damaged);
  EXPECT_EQ(firmware_flash_image(bad.data(), bad.size()), -1);
  EXPECT_TRUE(flash == erased);
  std::vector<uint8_t> arm_ramdisk = img;
  arm_ramdisk[30] = 3;
  reseal(arm_ramdisk);
  bad = combined(dir, arm_ramdisk, wifi);
  EXPECT_EQ(firmware_flash_image(bad.data(), bad.size()), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_TRUE(flash == erased);

  // The Wi-Fi region's writes fail, or its erase: reported as a failure.
  writes = 0;
  fail_write_at = 2 + (int)(img.size() - UIMAGE_HEADER_SIZE + 4095) / 4096;
  EXPECT_EQ(firmware_flash_image(all.data(), all.size()), -1);
  EXPECT_EQ(status_now(), "error writing block");
  fail_write_at = -1;
  flash = erased;
  fail_erase = 0;
  // The kernel's erase takes one block; the next one is the Wi-Fi region's.
  struct Once {
    static int erase(uint32_t off) { return off == MTD_WIFI_ARCHIVE_OFF ? -1 : mem_erase(off); }
  };
  const FirmwareFlash no_wifi_erase = {mem_read, mem_write, Once::erase};
  firmware_flash = &no_wifi_erase;
  EXPECT_EQ(firmware_flash_image(all.data(), all.size()), -1);
  EXPECT_EQ(status_now(), "error erasing block");
  firmware_flash = &kMemFlash;
  flash = erased;

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

// Images that are whole and sealed but not for this region or this board:
// refused before any erase.
TEST_F(Firmware, ForeignOrOversizedImagesAreRefused) {
  std::vector<uint8_t> erased = flash;
  struct Case {
    int at;
    uint8_t value;
  } cases[] = {{28, 3}, {29, 3}, {30, 3}};   // another OS, x86, a ramdisk
  for (const Case &c : cases) {
    std::vector<uint8_t> img = uimage(5000, 1, 2);
    img[c.at] = c.value;
    reseal(img);
    EXPECT_EQ(flash_kernel_image(img.data(), img.size()), -1) << c.at;
    EXPECT_EQ(status_now(), "not a valid firmware file") << c.at;
  }
  std::vector<uint8_t> big = uimage(MTD_KERNEL_MAX - UIMAGE_HEADER_SIZE + 1, 1, 2);
  EXPECT_EQ(firmware_flash_image(big.data(), big.size()), -1);
  EXPECT_EQ(status_now(), "Firmware file too large");
  EXPECT_TRUE(flash == erased);
  std::vector<uint8_t> fits = uimage(MTD_KERNEL_MAX - UIMAGE_HEADER_SIZE, 1, 2);
  EXPECT_EQ(firmware_flash_image(fits.data(), fits.size()), 0);
  EXPECT_EQ(region(MTD_KERNEL_OFF, fits.size()), fits);
  EXPECT_EQ(region(MTD_WEBBUNDLE_OFF, 16), std::vector<uint8_t>(16, 0xFF));
}

// A flash that takes writes without keeping them: the read back catches it
// and no valid header is left.
TEST_F(Firmware, WritesAreReadBack) {
  struct Lossy {
    static int write(const void *buf, uint32_t off, size_t len) {
      int rc = mem_write(buf, off, len);
      if (off >= MTD_KERNEL_OFF + 8192) flash[off] ^= 0x10;
      return rc;
    }
  };
  const FirmwareFlash lossy = {mem_read, Lossy::write, mem_erase};
  firmware_flash = &lossy;
  std::vector<uint8_t> img = uimage(20000, 1, 5);
  EXPECT_EQ(flash_kernel_image(img.data(), img.size()), -1);
  EXPECT_EQ(status_now(), "error writing block");
  EXPECT_EQ(region(MTD_KERNEL_OFF, 64), std::vector<uint8_t>(64, 0xFF));
  firmware_flash = &kMemFlash;
}

// The rescue file is an update in progress: no web upload starts beside it.
int probe_rc;
const uint8_t *probe_head;
int probe_read(void *buf, uint32_t off, size_t len) {
  static int owner;
  probe_rc = firmware_upload_init(&owner, probe_head, 64);
  return mem_read(buf, off, len);
}

TEST_F(Firmware, RescueFileHoldsTheUpdate) {
  std::string dir = test_scratch_dir("rescue");
  std::vector<uint8_t> img = uimage(50000, 1, 4);
  write_file(test_root() + dir + "/m7391.fw", img);
  // The same image is in flash: the walk reads it and ends without a restart.
  memcpy(flash.data() + MTD_KERNEL_OFF, img.data(), img.size());
  probe_head = img.data();
  probe_rc = 0;
  const FirmwareFlash probed = {probe_read, mem_write, mem_erase};
  firmware_flash = &probed;
  EXPECT_EQ(firmware_upload_file((dir + "/m7391.fw").c_str()), 0);
  firmware_flash = &kMemFlash;
  EXPECT_EQ(probe_rc, -1) << "an upload began beside the rescue file";
  EXPECT_FALSE(firmware_update_in_progress());
  int a;
  ASSERT_EQ(firmware_upload_init(&a, img.data(), 64), 0);   // taken again afterwards
  firmware_upload_finish(&a);
}
