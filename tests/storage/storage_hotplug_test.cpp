// Volumes come and go in the simulation; the storage manager mounts them,
// brackets writers and reports space, asserted through the command log.
#include "storage_test_support.h"

#include <atomic>
#include <cerrno>
#include <sys/stat.h>
#include <thread>

#include "core/log.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "core/usb_hub.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "platform/sim/sim_drivers.h"
#include "test_root.h"

namespace {

std::vector<uint32_t> g_keys;
std::vector<std::string> g_messages;

class Storage : public ::testing::Test {
 protected:
  void SetUp() override {
    storage_test_board();
    g_keys.clear();
    g_messages.clear();
    storage_hooks = StorageHooks();
    storage_hooks.dvr_post_key = [](uint32_t k) { g_keys.push_back(k); };
    storage_hooks.dvr_post_message = [](const char *t) { g_messages.push_back(t); };
    sys_unlink("/run/exec.log");
  }
  void TearDown() override {
    storage_hooks = StorageHooks();
    storage_test_volumes_clear();
  }
  void tick() { fileSysTick(get_param_block()); }
  std::string backing(const char *dev) {
    char buf[512];
    return sim_storage_backing_dir(dev, buf, sizeof buf);
  }
};

TEST_F(Storage, NothingHappensBeforeTheGuiStarted) {
  gui_started = 0;
  sim_storage_insert("mmcblk0p1", 0, 64 << 20, "vfat");
  tick();
  EXPECT_EQ(storage_exec_log(), "");
  EXPECT_FALSE(filesys_is_mounted(STORAGE_MMC));
}

TEST_F(Storage, SdCardMountsReadOnlyAndWritesAreBracketed) {
  sim_storage_insert("mmcblk0p1", 0, 64 << 20, "vfat");
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_MMC));
  EXPECT_NE(storage_exec_log().find("mount -o ro,usefree /dev/mmcblk0p1 /media/mmc\n"), std::string::npos);
  EXPECT_EQ(sim_storage_mount_state("/media/mmc"), 0);
  EXPECT_TRUE(filesys_all_read_only());

  // A write without a writer bracket is refused by the read-only mount.
  FILE *f = sys_fopen("/media/mmc/stray.txt", "w");
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(errno, EROFS);

  sys_unlink("/run/exec.log");
  const char data[] = "hello volume";
  ASSERT_EQ(filesys_writefile(STORAGE_MMC, "hello.txt", data, strlen(data)), 0);
  EXPECT_EQ(storage_exec_log(),
            "mount -o remount,rw,usefree /dev/mmcblk0p1 /media/mmc\n"
            "mount -o remount,ro,usefree /dev/mmcblk0p1 /media/mmc\n");
  EXPECT_EQ(sim_storage_mount_state("/media/mmc"), 0);
  size_t n = 0;
  uint8_t *back = filesys_readfile(STORAGE_MMC, "hello.txt", 100, &n);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::string((char *)back, n), data);
  free(back);

  // Space figures come from the volume and change with what is on it.
  int64_t total = filesys_total_space(STORAGE_MMC);
  int64_t before = filesys_free_space(STORAGE_MMC);
  EXPECT_EQ(total, 64 << 20);
  std::vector<char> big(3 << 20, 'x');
  ASSERT_EQ(filesys_writefile(STORAGE_MMC, "big.bin", big.data(), big.size()), 0);
  int64_t after = filesys_free_space(STORAGE_MMC);
  EXPECT_LE(after, before - (3 << 20));

  char text[128];
  getRecordingStorage(text, sizeof text);
  EXPECT_EQ(strncmp(text, "MMC: ", 5), 0) << text;
}

TEST_F(Storage, UsbPortsChooseInternalAndExternal) {
  sim_storage_insert("sda1", 3, 32 << 20, "vfat");
  sim_storage_insert("sdb", 1, 32 << 20, "vfat");   // no partition table
  tick();
  EXPECT_TRUE(filesys_is_mounted(STORAGE_INT));
  EXPECT_TRUE(filesys_is_mounted(STORAGE_EXT));
  std::string log = storage_exec_log();
  EXPECT_NE(log.find("mount -o ro,usefree /dev/sda1 /media/int\n"), std::string::npos) << log;
  EXPECT_NE(log.find("mount -o ro,usefree /dev/sdb /media/ext\n"), std::string::npos) << log;
  EXPECT_EQ(filesys_count_devices(), 2);

  // Pulled out: unmounted on the next tick.
  sim_storage_remove("sdb");
  tick();
  EXPECT_FALSE(filesys_is_mounted(STORAGE_EXT));
  EXPECT_NE(storage_exec_log().find("umount /media/ext\n"), std::string::npos);
}

TEST_F(Storage, ASecondDiskForATakenSlotLeavesItsHubPort) {
  sim_storage_insert("sdb1", 2, 32 << 20, "vfat");
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_EXT));
  // A disk on another external port comes first in the scan.
  sim_storage_insert("sda1", 1, 32 << 20, "vfat");
  tick();
  EXPECT_STREQ(fs[2].device, "/dev/sdb1");
  EXPECT_EQ(fs[2].port, 2) << "a power cycle would hit the other disk";
  sim_storage_remove("sda1");
}

std::atomic<int> g_mount_gate;

// A mount command that waits until the test lets it end.
int held_mount(const char *const[], char *out, size_t size, void *) {
  g_mount_gate = 1;
  wait_until([] { return g_mount_gate != 1; }, 30000);
  if (out && size) out[0] = 0;
  return 0;
}

TEST_F(Storage, AWriterWaitsForARemountUnderWay) {
  sim_storage_insert("mmcblk0p1", 0, 32 << 20, "vfat");
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_MMC));
  g_mount_gate = 0;
  runner_register_sim("mount", held_mount, nullptr);
  std::thread first([] {
    filesys_lock();
    filesys_add_writer(STORAGE_MMC);
    filesys_unlock();
  });
  EXPECT_TRUE(wait_until([] { return g_mount_gate == 1; }, 30000)) << "the first writer's remount never began";
  // The first writer's remount to read-write is running, the lock released.
  std::atomic<bool> counted{false};
  std::thread second([&] {
    filesys_lock();
    filesys_add_writer(STORAGE_MMC);
    counted = true;
    filesys_unlock();
  });
  sleep_ms(200);
  EXPECT_FALSE(counted) << "a writer counted itself on a volume still read-only";
  g_mount_gate = 2;
  first.join();
  second.join();
  EXPECT_EQ(fs[0].rw, 1);
  EXPECT_EQ(fs[0].writers, 2);
  // The simulation's own mount again (its mount table starts empty).
  sim_storage_register();
}

TEST_F(Storage, UnplugWhileWritingKeepsTheSlotUntilTheWriterLeaves) {
  sim_storage_insert("sda1", 2, 32 << 20, "vfat");
  tick();
  FILE *f = filesys_fopen(STORAGE_EXT, "rec.ts", "w");
  ASSERT_NE(f, nullptr);
  fputs("data", f);
  sim_storage_remove("sda1");
  log_reset();
  tick();
  tick();
  EXPECT_TRUE(filesys_is_mounted(STORAGE_EXT));
  char text[LOG_RING_SIZE > 65536 ? 65536 : LOG_RING_SIZE];
  size_t n = log_copy(0, text, sizeof text - 1);
  text[n] = 0;
  std::string s(text);
  size_t first = s.find("can't unmount /media/ext with 1 writers");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(s.find("can't unmount", first + 1), std::string::npos) << "logged more than once";
  filesys_fclose_w(STORAGE_EXT, f);
  tick();
  EXPECT_FALSE(filesys_is_mounted(STORAGE_EXT));
}

TEST_F(Storage, BusyMountIsRetriedAndBadVolumesGiveUpAfterTwo) {
  sim_storage_insert("sda1", 1, 32 << 20, "vfat");
  sim_storage_fail_mount("sda1", "Device or resource busy", 1);
  tick();
  EXPECT_TRUE(filesys_is_mounted(STORAGE_EXT));
  EXPECT_EQ(filesys_usb_mount_failed(1), false);

  sim_storage_remove("sda1");
  tick();
  sim_storage_insert("sdb1", 4, 32 << 20, "ntfs");
  std::vector<std::pair<int, int>> events;
  static std::vector<std::pair<int, int>> *ev = &events;
  storage_hooks.filesys_event = [](int src, int kind) { ev->push_back({src, kind}); };
  tick();
  tick();
  tick();
  EXPECT_FALSE(filesys_is_mounted(STORAGE_EXT));
  EXPECT_TRUE(filesys_usb_mount_failed(1));
  // Each try: with usefree, then without; two tries in all.
  std::string log = storage_exec_log();
  size_t tries = 0;
  for (size_t p = 0; (p = log.find("/dev/sdb1 /media/ext", p)) != std::string::npos; p++) tries++;
  EXPECT_EQ(tries, 4u) << log;
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), std::make_pair(1, 2));
  // A new disk in its place is tried again.
  sim_storage_remove("sdb1");
  tick();
  EXPECT_FALSE(filesys_usb_mount_failed(1));
}

TEST_F(Storage, FreeSpaceThatLiesIsMeasuredAgainWithoutUsefree) {
  sim_storage_insert("sda1", 3, 32 << 20, "vfat");
  sim_storage_set_bogus_free("sda1", 1);
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_INT));
  std::string log = storage_exec_log();
  EXPECT_NE(log.find("mount -o ro,usefree /dev/sda1 /media/int\numount /media/int\n"
                     "mount -o ro /dev/sda1 /media/int\n"),
            std::string::npos)
      << log;
  EXPECT_LE(filesys_free_space(STORAGE_INT), filesys_total_space(STORAGE_INT));
  EXPECT_EQ(filesys_count_devices(), 1);

  // The mount without ",usefree" fails: the volume is not counted.
  sim_storage_insert("sdb1", 1, 32 << 20, "vfat");
  sim_storage_set_bogus_free("sdb1", 1);
  storage_hooks.filesys_event = [](int source, int kind) {
    if (source == STORAGE_EXT && kind == 0) sim_storage_fail_mount("sdb1", "Invalid argument", 1);
  };
  tick();
  EXPECT_FALSE(filesys_is_mounted(STORAGE_EXT));
  EXPECT_EQ(filesys_count_devices(), 1);
  sim_storage_set_bogus_free("sda1", 0);
  sim_storage_set_bogus_free("sdb1", 0);
}

TEST_F(Storage, RescueConfigOnTheFirstVolumeAndAutomaticRecording) {
  std::string dir = backing("sda1");
  sys_mkdirs(dir.c_str(), 0755);
  sys_write_text((dir + "/rescue_config.txt").c_str(), "Recording.SeekAmount = 42\r\n");
  get_param_block()->recording.start_mode = 5;
  sim_storage_insert("sda1", 3, 32 << 20, "vfat");
  tick();
  char v[32];
  param_get("Recording.SeekAmount", v, sizeof v);
  EXPECT_STREQ(v, "42");
  ASSERT_FALSE(g_messages.empty());
  EXPECT_EQ(g_messages[0], "Rescue config.txt loaded: 1 set, 0 skipped");
  // Rec/Stop is posted five ticks after the mount.
  for (int i = 0; i < 4; i++) tick();
  EXPECT_TRUE(g_keys.empty());
  tick();
  ASSERT_EQ(g_keys.size(), 1u);
  EXPECT_EQ(g_keys[0], 0x400u);
  sys_unlink((dir + "/rescue_config.txt").c_str());
}

// The rescue configuration is read from the file the volume walk opened: a
// link is never taken, not even one put there after the walk, and a file
// longer than the importer takes is refused whole.
TEST_F(Storage, RescueConfigIsReadFromTheFileTheWalkOpened) {
  std::string dir = backing("sda1");
  sys_mkdirs(dir.c_str(), 0755);
  sys_write_text("/outside.txt", "Recording.SeekAmount = 77\n");
  HostPath outside("/outside.txt");
  HostPath rescue((dir + "/rescue_config.txt").c_str());
  char v[32];
  auto seek = [&v] { param_get("Recording.SeekAmount", v, sizeof v); return std::string(v); };
  const std::string before = seek();

  ASSERT_EQ(symlink(outside.c_str(), rescue.c_str()), 0);
  sim_storage_insert("sda1", 3, 32 << 20, "vfat");
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_INT));
  EXPECT_EQ(seek(), before) << "a rescue config that is a link was read";
  EXPECT_TRUE(g_messages.empty());

  // Swapped for a link between the walk and the import.
  sys_unlink((dir + "/rescue_config.txt").c_str());
  sys_write_text((dir + "/rescue_config.txt").c_str(), "Recording.SeekAmount = 42\n");
  int fd = filesys_open_file("rescue_config.txt");
  ASSERT_GE(fd, 0);
  sys_unlink((dir + "/rescue_config.txt").c_str());
  ASSERT_EQ(symlink(outside.c_str(), rescue.c_str()), 0);
  EXPECT_EQ(filesys_import_params_fd(fd), 0);
  close(fd);
  EXPECT_EQ(seek(), "42");
  EXPECT_EQ(filesys_import_params_fd(fd), -1) << "a closed descriptor";
  sys_unlink((dir + "/rescue_config.txt").c_str());

  // 256 KB is taken; a byte more and nothing is set.
  std::string text = "Recording.SeekAmount = 43\n";
  text += std::string(256 * 1024 - text.size() - 1, '#') + "\n";
  for (const char *want : {"43", "42"}) {
    storage_test_volumes_clear();
    sys_mkdirs(dir.c_str(), 0755);
    sys_write_text((dir + "/rescue_config.txt").c_str(), text.c_str());
    g_messages.clear();
    param_set_str("Recording.SeekAmount", "42");
    sim_storage_insert("sda1", 3, 32 << 20, "vfat");
    tick();
    EXPECT_EQ(seek(), want) << text.size() << " bytes";
    ASSERT_FALSE(g_messages.empty());
    EXPECT_EQ(g_messages[0], want[1] == '3' ? "Rescue config.txt loaded: 1 set, 1 skipped" : "Rescue config.txt failed");
    text.insert(text.size() - 1, "#");
  }
  fd = filesys_open_file("rescue_config.txt");
  EXPECT_EQ(filesys_import_params_fd(fd), -1) << "a file over 256 KB";
  if (fd >= 0) close(fd);
  EXPECT_EQ(filesys_load_config_params(STORAGE_INT), -1) << "no config.txt on the disk";
  sys_unlink((dir + "/rescue_config.txt").c_str());
  sys_unlink("/outside.txt");
}

// A rescue file nothing could be read from (UTF-16, as some editors save
// text) fails and says so; a last line without its line end, which a file
// cut short also has, is not set as if it were whole. What is set reaches
// the servers at once (the users).
TEST_F(Storage, RescueConfigCountsWhatItSetAndSkipped) {
  std::string dir = backing("sda1");
  char v[32];
  auto seek = [&v] { param_get("Recording.SeekAmount", v, sizeof v); return std::string(v); };
  const char16_t utf16[] = u"\uFEFFRecording.SeekAmount = 44\r\nUser[0].Name = bob\r\n";
  struct Case {
    std::string text, seek, message;
  } cases[] = {
      {std::string((const char *)utf16, sizeof utf16 - 2), "42", "Rescue config.txt failed: 0 set, 2 skipped"},
      {"User[0].Name = bob\n# note\n\nRecording.SeekAmount = 4", "42", "Rescue config.txt loaded: 1 set, 2 skipped"},
      {"Recording.SeekAmount = 45\n \t", "45", "Rescue config.txt loaded: 1 set, 0 skipped"},
  };
  for (const Case &c : cases) {
    storage_test_volumes_clear();
    sys_mkdirs(dir.c_str(), 0755);
    HostPath p((dir + "/rescue_config.txt").c_str());
    FILE *f = fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(c.text.data(), 1, c.text.size(), f);
    fclose(f);
    g_messages.clear();
    param_set_str("Recording.SeekAmount", "42");
    param_set_str("User[0].Name", "");
    param_apply_changes();
    rtsp_watch = 0;
    sim_storage_insert("sda1", 3, 32 << 20, "vfat");
    tick();
    EXPECT_EQ(seek(), c.seek);
    ASSERT_FALSE(g_messages.empty());
    EXPECT_EQ(g_messages[0], c.message);
    EXPECT_EQ(rtsp_watch, c.text.find("bob") != std::string::npos ? 1 : 0) << "users told";
  }
  rtsp_watch = 0;
  sys_unlink((dir + "/rescue_config.txt").c_str());
}

// The rescue files and the Wi-Fi archive are handed on as the descriptor
// the volume walk opened, never as a name to open again; one that is a link
// is not handed on at all.
std::string g_read[3];
std::string read_fd(int fd) {
  std::string s;
  char buf[256];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, (size_t)n);
  return s;
}

TEST_F(Storage, RescueFilesAreHandedOnOpened) {
  std::string dir = backing("sda1");
  sys_mkdirs(dir.c_str(), 0755);
  sys_write_text((dir + "/rescue_custom.zip").c_str(), "zip bytes");
  sys_write_text((dir + "/wifi_archive.tar").c_str(), "tar bytes");
  sys_write_text((dir + "/elsewhere.fw").c_str(), "firmware bytes");
  HostPath fw((dir + "/rescue_7391.fw").c_str());
  ASSERT_EQ(symlink("elsewhere.fw", fw.c_str()), 0);
  for (std::string &r : g_read) r = "none";
  storage_hooks.rescue_custom_zip = [](int fd) { g_read[0] = read_fd(fd); return 0; };
  storage_hooks.rescue_firmware = [](int fd) -> const char * { g_read[1] = read_fd(fd); return nullptr; };
  storage_hooks.wifi_archive_install = [](int fd) { g_read[2] = read_fd(fd); };
  int fds = test_open_fds();
  sim_storage_insert("sda1", 3, 32 << 20, "vfat");
  tick();
  EXPECT_EQ(g_read[0], "zip bytes");
  EXPECT_EQ(g_read[1], "none") << "a rescue file that is a link was handed on";
  EXPECT_EQ(g_read[2], "tar bytes");
  EXPECT_EQ(test_open_fds(), fds) << "a descriptor handed on was left open";
  // The menu's and the control protocol's way to the same files.
  int fd = filesys_open_file("rescue_custom.zip");
  EXPECT_EQ(read_fd(fd), "zip bytes");
  if (fd >= 0) close(fd);
  EXPECT_EQ(filesys_open_file("rescue_7391.fw"), -1);
  EXPECT_EQ(filesys_open_file("../rescue_custom.zip"), -1);
  fd = filesys_open_file_on(STORAGE_INT, "wifi_archive.tar");
  EXPECT_EQ(read_fd(fd), "tar bytes");
  if (fd >= 0) close(fd);
  EXPECT_EQ(filesys_open_file_on(STORAGE_EXT, "wifi_archive.tar"), -1);
  EXPECT_EQ(filesys_open_file_on(STORAGE_INT, "../sda1/wifi_archive.tar"), -1);

  // The other way round: the bundle a link, the firmware a file.
  storage_test_volumes_clear();
  filesys_reset();
  sys_mkdirs(dir.c_str(), 0755);
  for (const char *f : {"/rescue_custom.zip", "/rescue_7391.fw"}) sys_unlink((dir + f).c_str());
  HostPath zip((dir + "/rescue_custom.zip").c_str());
  ASSERT_EQ(symlink("elsewhere.fw", zip.c_str()), 0);
  sys_write_text((dir + "/rescue_7391.fw").c_str(), "rescue bytes");
  for (std::string &r : g_read) r = "none";
  fds = test_open_fds();
  sim_storage_insert("sda1", 3, 32 << 20, "vfat");
  tick();
  EXPECT_EQ(g_read[0], "none") << "a rescue bundle that is a link was handed on";
  EXPECT_EQ(g_read[1], "rescue bytes");
  EXPECT_EQ(test_open_fds(), fds) << "a descriptor handed on was left open";
  for (const char *f : {"/rescue_custom.zip", "/wifi_archive.tar", "/elsewhere.fw", "/rescue_7391.fw"})
    sys_unlink((dir + f).c_str());
}

// Every volume is looked at, the external disk first, then the internal
// one, then the card; the rescue files of an external disk whose
// configuration files are turned off are passed over.
TEST_F(Storage, FilesAreLookedForOnEveryVolumeTheExternalDiskFirst) {
  std::string ext = backing("sdb1"), card = backing("mmcblk0p1");
  sys_mkdirs(ext.c_str(), 0755);
  sys_mkdirs(card.c_str(), 0755);
  sys_write_text((ext + "/rescue_custom.zip").c_str(), "external zip");
  sys_write_text((ext + "/both.txt").c_str(), "external");
  sys_write_text((card + "/both.txt").c_str(), "card");
  sys_write_text((card + "/card.txt").c_str(), "card only");
  g_read[0] = "none";
  storage_hooks.rescue_custom_zip = [](int fd) { g_read[0] = read_fd(fd); return 0; };
  sim_storage_insert("sdb1", 1, 32 << 20, "vfat");
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_EXT));
  EXPECT_EQ(g_read[0], "external zip");
  sim_storage_insert("mmcblk0p1", 0, 32 << 20, "vfat");
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_MMC));
  for (auto want : {std::make_pair("both.txt", "external"), std::make_pair("card.txt", "card only")}) {
    int fd = filesys_open_file(want.first);
    EXPECT_EQ(read_fd(fd), want.second) << want.first;
    if (fd >= 0) close(fd);
  }

  storage_test_volumes_clear();
  EXPECT_EQ(filesys_open_file("card.txt"), -1) << "nothing is mounted";
  sys_mkdirs(ext.c_str(), 0755);
  sys_write_text((ext + "/rescue_custom.zip").c_str(), "external zip");
  get_param_block()->dvr_disable_ext_config = 1;
  g_read[0] = "none";
  sim_storage_insert("sdb1", 1, 32 << 20, "vfat");
  tick();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_EXT));
  EXPECT_EQ(g_read[0], "none") << "the external disk's configuration files are turned off";
  sys_unlink((ext + "/rescue_custom.zip").c_str());
}

TEST_F(Storage, AutomaticRecordingStartsTheRecorderWithoutTheDvrLogic) {
  storage_hooks.dvr_post_key = nullptr;
  ProducerState rec{};
  pthread_mutex_init(&rec.mutex, nullptr);
  pthread_cond_init(&rec.cond, nullptr);
  rec.flags = STREAM_STOPPED;
  stream_register(&rec, nullptr, (StreamId)13);
  get_param_block()->recording.start_mode = 1;
  sim_storage_insert("sda1", 3, 32 << 20, "vfat");
  for (int i = 0; i < 3; i++) tick();
  EXPECT_EQ(stream_get_state_by_id(13), 1);
  stream_register(nullptr, nullptr, (StreamId)13);
}

}  // namespace
