// Firmware update on a memory flash: the upload state (only its own request
// appends, a piece past the size is cut, the flash thread runs once), the
// combined file made by tar, and flash failures that must leave no valid
// kernel header behind.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/crc32.h"
#include "core/firmware.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/process_util.h"
#include "core/startup.h"
#include "platform/host_root.h"
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
// The board's own flash, the simulated chip, as the program starts with it.
const FirmwareFlash *const kBoardFlashAtStart = firmware_flash;

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
  std::vector<uint8_t> v;
  uint8_t buf[65536];
  size_t n;
  while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
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

// The log since the last look.
std::string log_since(void) {
  char buf[8192];
  std::string text(buf, log_read(buf, sizeof buf));
  log_reset();
  return text;
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
  img[5000] ^= 1;   // the data CRC fails: refused as it completes, no thread
  std::vector<uint8_t> tail(img.begin() + 6000, img.end());
  tail.resize(tail.size() + 100, 0xAA);   // passes the size
  ASSERT_EQ(firmware_upload_init(&a, img.data(), 64), 0);
  EXPECT_EQ(firmware_upload_init(&b, img.data(), 64), -2);   // one at a time
  firmware_upload_append(&a, img.data(), 6000);
  firmware_upload_append(&b, img.data(), 6000);              // not its upload
  firmware_upload_finish(&b);
  EXPECT_TRUE(firmware_update_in_progress());
  log_reset();
  EXPECT_EQ(firmware_upload_append(&a, tail.data(), tail.size()), -1);
  EXPECT_EQ(firmware_upload_append(&a, tail.data(), tail.size()), -1);
  EXPECT_FALSE(firmware_update_in_progress());
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
  // A Wi-Fi archive as large as its region leaves no room: refused whole.
  std::vector<uint8_t> huge(WIFI_ARCHIVE_MAX, 0);
  memcpy(huge.data(), wifi.data(), wifi.size());
  bad = combined(dir, img, huge);
  EXPECT_EQ(firmware_image_check(bad.data(), bad.size()), -1);
  EXPECT_EQ(status_now(), "WiFi archive too large");
  std::vector<uint8_t> arm_ramdisk = img;
  arm_ramdisk[30] = 3;
  reseal(arm_ramdisk);
  bad = combined(dir, arm_ramdisk, wifi);
  EXPECT_EQ(firmware_flash_image(bad.data(), bad.size()), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_TRUE(flash == erased);
  // The firmware alone in a tar, sound or not: refused, saying why.
  std::vector<uint8_t> too_big = uimage(MTD_KERNEL_MAX - UIMAGE_HEADER_SIZE + 1, 1, 2);
  struct Alone {
    const std::vector<uint8_t> *fw;
    const char *status;
  } alone[] = {{&img, "not a valid firmware file"},
               {&arm_ramdisk, "not a valid firmware file"},
               {&too_big, "Firmware file too large"}};
  log_reset();
  for (const Alone &a : alone) {
    write_file(dir + "/m7391.fw", *a.fw);
    ASSERT_EQ(system(("tar --format=ustar -C " + dir + " -cf " + dir + "/alone.tar m7391.fw").c_str()), 0);
    bad = read_file(dir + "/alone.tar");
    EXPECT_EQ(firmware_image_check(bad.data(), bad.size()), -1);
    EXPECT_EQ(firmware_flash_image(bad.data(), bad.size()), -1);
    EXPECT_EQ(status_now(), a.status);
    EXPECT_TRUE(flash == erased);
  }
  EXPECT_NE(log_since().find("NOTE: wifi_archive.tar not found in combined fw"), std::string::npos);

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

// The same combined file twice: with the tools in place the second finds
// nothing to do and touches no block; without them only the tools go in.
int erases;
int counted_erase(uint32_t off) {
  erases++;
  return mem_erase(off);
}

TEST_F(Firmware, SameCombinedTarTwiceWritesNothingTheSecondTime) {
  std::string dir = test_root() + test_scratch_dir("fw_twice");
  std::vector<uint8_t> img = uimage(30000, 1700000001, 6), wifi = wifi_tar(dir);
  std::vector<uint8_t> all = combined(dir, img, wifi);
  ASSERT_EQ(firmware_flash_image(all.data(), all.size()), 0);
  const FirmwareFlash counted = {mem_read, mem_write, counted_erase};
  firmware_flash = &counted;
  firmware_set_wifi_tools_present(1);
  std::vector<uint8_t> before = flash;
  writes = erases = 0;
  EXPECT_EQ(firmware_flash_image(all.data(), all.size()), -1) << "no restart";
  EXPECT_EQ(status_now(), "No update needed");
  EXPECT_EQ(writes, 0);
  EXPECT_EQ(erases, 0);
  EXPECT_TRUE(flash == before);

  // The tools are missing: the kernel stays, the archive is written again.
  firmware_set_wifi_tools_present(0);
  memset(flash.data() + MTD_WIFI_ARCHIVE_OFF, 0xFF, 16);
  EXPECT_EQ(firmware_flash_image(all.data(), all.size()), 0);
  EXPECT_GT(erases, 0);
  EXPECT_EQ(region(MTD_WIFI_ARCHIVE_OFF, wifi.size()), wifi);
  EXPECT_EQ(region(MTD_KERNEL_OFF, img.size()), img);
  firmware_flash = &kMemFlash;
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
    EXPECT_EQ(firmware_image_check(img.data(), img.size()), -1) << c.at;
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
  int fd = open((test_root() + dir + "/m7391.fw").c_str(), O_RDONLY);
  EXPECT_EQ(firmware_upload_file(fd, "m7391.fw"), 0);
  close(fd);
  firmware_flash = &kMemFlash;
  EXPECT_EQ(probe_rc, -2) << "an upload began beside the rescue file";
  EXPECT_FALSE(firmware_update_in_progress());
  int a;
  ASSERT_EQ(firmware_upload_init(&a, img.data(), 64), 0);   // taken again afterwards
  // A rescue file meanwhile is turned away, not refused; the log says so.
  log_reset();
  fd = open((test_root() + dir + "/m7391.fw").c_str(), O_RDONLY);
  EXPECT_EQ(firmware_upload_file(fd, "m7391.fw"), 0);
  close(fd);
  EXPECT_EQ(status_now(), "uploading");
  EXPECT_NE(log_since().find("firmware_upload_file: an update is already in progress"), std::string::npos);
  firmware_upload_finish(&a);
  EXPECT_EQ(firmware_upload_file(-1, "m7391.fw"), -1);
  EXPECT_NE(log_since().find("firmware_upload_file: could not open m7391.fw"), std::string::npos);
}

// A rescue file that shrinks while it is read (a disk pulled, a file cut
// by another writer) is a short read, refused; the process lives on. The
// fault hook cuts it at its first read.
std::string shrinking;
int cut_at_first_read(int, int writing, size_t *) {
  if (!writing && !shrinking.empty()) {
    EXPECT_EQ(truncate(shrinking.c_str(), 1000), 0);
    shrinking.clear();
  }
  return 0;
}

// A rescue file whose reads fail (a disk going) is refused, not read again
// and again; should the reader retry, the disk comes back after a while and
// the file is taken, which the test sees.
int g_failed_reads;
int reads_fail_for_a_while(int, int writing, size_t *) {
  return !writing && g_failed_reads++ < 50 ? EIO : 0;
}

TEST_F(Firmware, RescueFileWhoseReadsFailIsRefused) {
  std::string path = test_root() + test_scratch_dir("failing") + "/rescue_7391.fw";
  write_file(path, uimage(400000, 1, 6));
  std::vector<uint8_t> erased = flash;
  int fd = open(path.c_str(), O_RDONLY);
  g_failed_reads = 0;
  log_reset();
  RootIoFault old = root_set_io_fault(reads_fail_for_a_while);
  EXPECT_EQ(firmware_upload_file(fd, "rescue_7391.fw"), 0);
  root_set_io_fault(old);
  close(fd);
  EXPECT_EQ(g_failed_reads, 1);
  EXPECT_NE(log_since().find("firmware_file_read: the file gave 0 of 400064 bytes"), std::string::npos);
  EXPECT_EQ(status_now(), "Firmware upload failed");
  EXPECT_TRUE(flash == erased);
}

// A read interrupted by a signal is made again: the file is taken whole.
// Cut meanwhile, it still ends as a short read, after a few reads.
std::string g_cut_path;
int g_reads;
int interrupted_first(int, int writing, size_t *) {
  if (writing) return 0;
  if (g_reads++ > 0) return g_reads > 50 ? EIO : 0;
  if (!g_cut_path.empty()) EXPECT_EQ(truncate(g_cut_path.c_str(), 1000), 0);
  return EINTR;
}

TEST_F(Firmware, InterruptedReadIsMadeAgain) {
  std::string path = test_root() + test_scratch_dir("eintr") + "/m7391.fw";
  std::vector<uint8_t> img = uimage(5000, 1, 7);
  write_file(path, img);
  for (bool cut : {false, true}) {
    g_cut_path = cut ? path : "";
    g_reads = 0;
    int fd = open(path.c_str(), O_RDONLY);
    uint8_t *data = nullptr;
    uint64_t size = 0;
    RootIoFault old = root_set_io_fault(interrupted_first);
    int rc = firmware_file_read(fd, FIRMWARE_MAX_SIZE, &data, &size);
    root_set_io_fault(old);
    close(fd);
    if (cut) {
      EXPECT_EQ(rc, -1);
      EXPECT_LT(g_reads, 10);
    } else {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(std::vector<uint8_t>(data, data + size), img);
    }
    free(data);
  }
}

TEST_F(Firmware, RescueFileThatShrinksIsRefused) {
  std::string path = test_root() + test_scratch_dir("shrink") + "/rescue_7391.fw";
  std::vector<uint8_t> img = uimage(400000, 1, 6);
  write_file(path, img);
  std::vector<uint8_t> erased = flash;
  int fd = open(path.c_str(), O_RDONLY);
  shrinking = path;
  RootIoFault old = root_set_io_fault(cut_at_first_read);
  EXPECT_EQ(firmware_upload_file(fd, "rescue_7391.fw"), 0);
  root_set_io_fault(old);
  close(fd);
  EXPECT_EQ(status_now(), "Firmware upload failed");
  EXPECT_TRUE(flash == erased);

  // Its size toggled under it while it is checked, over and over: refused
  // every time (its data CRC is wrong whole or cut), never a fault.
  img[3000] ^= 1;
  write_file(path, img);
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    for (int i = 0; !stop; i++) EXPECT_EQ(truncate(path.c_str(), i & 1 ? (off_t)img.size() : 64), 0);
  });
  for (int i = 0; i < 40; i++) {
    fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(firmware_upload_file(fd, "rescue_7391.fw"), 0);
    close(fd);
    std::string s = status_now();
    EXPECT_TRUE(s == "Firmware upload failed" || s == "not a valid firmware file" ||
                s == "firmware file too small") << s;
  }
  stop = true;
  toggler.join();
  EXPECT_TRUE(flash == erased);
  EXPECT_FALSE(firmware_update_in_progress());
}

// A file loaded for the menu or the control protocol is checked before the
// caller is answered: a refused image says why at once and holds nothing.
TEST_F(Firmware, LoadedFileIsCheckedBeforeTheAnswer) {
  std::string dir = test_root() + test_scratch_dir("load");
  std::vector<uint8_t> img = uimage(30000, 1, 8);
  std::vector<uint8_t> bad = img;
  bad[10000] ^= 1;
  write_file(dir + "/bad.fw", bad);
  int fd = open((dir + "/bad.fw").c_str(), O_RDONLY);
  EXPECT_EQ(firmware_load_file(fd), -2);
  close(fd);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_FALSE(firmware_update_in_progress());

  fd = open((dir + "/big.fw").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(ftruncate(fd, FIRMWARE_MAX_SIZE + 1), 0);
  EXPECT_EQ(firmware_load_file(fd), -2);
  close(fd);
  EXPECT_EQ(status_now(), "firmware file too large");
  fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(firmware_load_file(fd), -1);
  close(fd);
  EXPECT_FALSE(firmware_update_in_progress());

  // A sound image is taken and handed to the flash thread; being the one
  // in flash already, it ends there without a restart.
  memcpy(flash.data() + MTD_KERNEL_OFF, img.data(), img.size());
  write_file(dir + "/good.fw", img);
  fd = open((dir + "/good.fw").c_str(), O_RDONLY);
  lseek(fd, 100, SEEK_SET);   // read from its start whatever the offset
  // A volume that gives a byte at a time still gives the whole file.
  struct ByteAtATime {
    static int fault(int, int, size_t *n) {
      if (n) *n = 1;
      return 0;
    }
  };
  RootIoFault old = root_set_io_fault(ByteAtATime::fault);
  EXPECT_EQ(firmware_load_file(fd), 0);
  root_set_io_fault(old);
  close(fd);
  wait_idle();
  EXPECT_EQ(firmware_status_peek(), std::string("No update needed"));
}

// The web answers a refused upload with its reason; the status stays for
// the update page until it is read.
TEST_F(Firmware, RefusalWaitsForTheUpdatePage) {
  int a;
  std::vector<uint8_t> img = uimage(1000, 1, 2);
  EXPECT_EQ(firmware_status_pending(), 0);
  EXPECT_EQ(firmware_upload_init(&a, img.data() + 1, 64), -1);
  EXPECT_EQ(firmware_status_pending(), 1);
  EXPECT_EQ(firmware_upload_finish(&a), 0);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_EQ(firmware_status_pending(), 0);
  ASSERT_EQ(firmware_upload_init(&a, img.data(), 64), 0);
  firmware_upload_append(&a, img.data(), 100);
  EXPECT_EQ(firmware_upload_finish(&a), -1);
  EXPECT_EQ(status_now(), "Firmware image truncated");
  EXPECT_EQ(firmware_upload_finish(&a), -1);   // nothing held: failed
  EXPECT_EQ(status_now(), "Firmware upload failed");
}

// What is read for an update is a regular file, whole, or nothing at all:
// a folder, a device or no descriptor leaves no buffer and no size.
// A rescue file of a header alone is too small, one past the limit too
// large and never read, a damaged one refused and no restart.
TEST_F(Firmware, RescueFileSizesAndKinds) {
  std::string dir = test_root() + test_scratch_dir("kinds");
  int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY), device = open("/dev/null", O_RDONLY);
  for (int fd : {folder, device, -1}) {
    uint8_t sentinel = 0, *data = &sentinel;
    uint64_t size = 99;
    EXPECT_EQ(firmware_file_read(fd, 1000, &data, &size), -1) << fd;
    EXPECT_EQ(data, nullptr) << fd;
    EXPECT_EQ(size, 0u) << fd;
  }
  close(folder);
  close(device);
  // Descriptor 0 is a file like any other where standard input was closed.
  std::vector<uint8_t> img = uimage(1000, 1, 3);
  write_file(dir + "/zero.fw", img);
  int saved = dup(0), file = open((dir + "/zero.fw").c_str(), O_RDONLY);
  ASSERT_EQ(dup2(file, 0), 0);
  close(file);
  uint8_t *data;
  uint64_t size;
  EXPECT_EQ(firmware_file_read(0, 100000, &data, &size), 0);
  EXPECT_EQ(std::vector<uint8_t>(data, data + size), img);
  free(data);
  memcpy(flash.data() + MTD_KERNEL_OFF, img.data(), img.size());   // no restart
  EXPECT_EQ(firmware_upload_file(0, "zero.fw"), 0);
  EXPECT_EQ(status_now(), "No update needed");
  dup2(saved, 0);
  close(saved);
  flash.assign(MTD_SIZE, 0xFF);

  std::vector<uint8_t> erased = flash;
  write_file(dir + "/small.fw", std::vector<uint8_t>(img.begin(), img.begin() + UIMAGE_HEADER_SIZE));
  int fd = open((dir + "/small.fw").c_str(), O_RDONLY);
  EXPECT_EQ(firmware_upload_file(fd, "small.fw"), 0);
  close(fd);
  EXPECT_EQ(status_now(), "firmware file too small");
  fd = open((dir + "/big.fw").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(ftruncate(fd, FIRMWARE_MAX_SIZE + 1), 0);
  EXPECT_EQ(firmware_upload_file(fd, "big.fw"), 0);
  close(fd);
  EXPECT_EQ(status_now(), "firmware file too large");
  img[500] ^= 1;
  write_file(dir + "/bad.fw", img);
  fd = open((dir + "/bad.fw").c_str(), O_RDONLY);
  EXPECT_EQ(firmware_upload_file(fd, "bad.fw"), 0);
  close(fd);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_TRUE(flash == erased);
  EXPECT_FALSE(firmware_update_in_progress());
}

// An upload keeps the streams running until its image, checked whole, is
// about to be written: an image refused when it completes (its CRC, another
// processor) or found already in flash stops nothing; a good one stops them
// once, before the first erase.
int stops, erases_at_stop;
void count_stop(int) {
  stops++;
  erases_at_stop = erases;
}

TEST_F(Firmware, UploadStopsStreamsOnlyBeforeItsWrite) {
  const FirmwareFlash counted = {mem_read, mem_write, counted_erase};
  firmware_flash = &counted;
  void (*saved)(int) = core_hooks.stream_stop_all;
  core_hooks.stream_stop_all = count_stop;
  stops = erases = 0;
  erases_at_stop = -1;
  std::vector<uint8_t> good = uimage(20000, 1, 6), bad = good, x86 = good;
  bad[9000] ^= 1;
  x86[29] = 3;
  reseal(x86);
  int a;
  // upload <image>: init and every piece of 7000 bytes; the last append's result.
  auto upload = [&a](const std::vector<uint8_t> &img) {
    EXPECT_EQ(firmware_upload_init(&a, img.data(), UIMAGE_HEADER_SIZE), 0);
    int rc = 0;
    for (size_t at = 0; at < img.size(); at += 7000)
      rc = firmware_upload_append(&a, img.data() + at, std::min<size_t>(7000, img.size() - at));
    return rc;
  };
  EXPECT_EQ(upload(bad), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_EQ(upload(x86), -1);
  EXPECT_EQ(status_now(), "not a valid firmware file");
  EXPECT_FALSE(firmware_update_in_progress());
  memcpy(flash.data() + MTD_KERNEL_OFF, good.data(), UIMAGE_HEADER_SIZE);
  EXPECT_EQ(upload(good), 0);
  wait_idle();
  EXPECT_EQ(firmware_status_peek(), std::string("No update needed"));
  EXPECT_EQ(stops, 0);
  EXPECT_EQ(erases, 0);
  // The image is taken; the flash then fails, so the box does not restart.
  flash.assign(MTD_SIZE, 0xFF);
  fail_erase = 1;
  EXPECT_EQ(upload(good), 0);
  EXPECT_EQ(firmware_upload_finish(&a), 0);
  wait_idle();
  EXPECT_EQ(firmware_status_peek(), std::string("error erasing block"));
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(erases_at_stop, 0);
  core_hooks.stream_stop_all = saved;
  firmware_flash = &kMemFlash;
}

// A file loaded while a web upload holds the update is turned away without
// touching the upload's status, even one that would be refused; while the
// file is read, an upload is turned away in its turn.
const uint8_t *g_upload_head;
int g_upload_rc;
int begin_upload_at_first_read(int, int writing, size_t *) {
  static int owner;
  if (!writing && g_upload_head) {
    g_upload_rc = firmware_upload_init(&owner, g_upload_head, 64);
    g_upload_head = nullptr;
  }
  return 0;
}

TEST_F(Firmware, LoadedFileAndUploadTakeTurns) {
  std::string dir = test_root() + test_scratch_dir("turns");
  std::vector<uint8_t> img = uimage(30000, 1, 8), bad = img;
  bad[10000] ^= 1;
  write_file(dir + "/good.fw", img);
  write_file(dir + "/bad.fw", bad);
  int a;
  ASSERT_EQ(firmware_upload_init(&a, img.data(), 64), 0);
  int fd = open((dir + "/bad.fw").c_str(), O_RDONLY);
  EXPECT_EQ(firmware_load_file(fd), -1);
  close(fd);
  EXPECT_EQ(status_now(), "uploading");
  EXPECT_EQ(firmware_upload_finish(&a), -1);
  EXPECT_EQ(status_now(), "Firmware image truncated");

  // The same image as in flash: the flash thread ends without a restart.
  memcpy(flash.data() + MTD_KERNEL_OFF, img.data(), img.size());
  g_upload_head = img.data();
  g_upload_rc = 0;
  fd = open((dir + "/good.fw").c_str(), O_RDONLY);
  RootIoFault old = root_set_io_fault(begin_upload_at_first_read);
  EXPECT_EQ(firmware_load_file(fd), 0);
  root_set_io_fault(old);
  close(fd);
  EXPECT_EQ(g_upload_rc, -2) << "an upload began beside the loaded file";
  wait_idle();
  EXPECT_EQ(firmware_status_peek(), std::string("No update needed"));
}

// A rescue file found before anything opened the board's flash opens it:
// the image in the kernel region is read and found the same.
TEST_F(Firmware, RescueFileOpensTheBoardFlash) {
  std::string dir = test_root() + test_scratch_dir("board");
  std::vector<uint8_t> img = uimage(20000, 1, 9);
  ASSERT_EQ(mtd_open(), 0);
  ASSERT_EQ(mtd_erase_block(MTD_KERNEL_OFF, img.size()), 0);
  ASSERT_EQ(mtd_write(img.data(), MTD_KERNEL_OFF, img.size()), (ssize_t)img.size());
  mtd_close();
  write_file(dir + "/rescue.fw", img);
  firmware_flash = kBoardFlashAtStart;
  int fd = open((dir + "/rescue.fw").c_str(), O_RDONLY);
  EXPECT_EQ(firmware_upload_file(fd, "rescue.fw"), 0);
  close(fd);
  firmware_flash = &kMemFlash;
  EXPECT_EQ(status_now(), "No update needed");
}
