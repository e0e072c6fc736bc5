// Copy, move, delete, rename and format between the simulated USB volumes,
// checked with cmp and the files themselves.
#include "storage_test_support.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "core/log.h"
#include "core/param_access.h"
#include "core/usb_hub.h"
#include "storage/recorder.h"

namespace {

std::vector<int> g_progress;

class FileOps : public ::testing::Test {
 protected:
  void SetUp() override {
    storage_test_board();
    storage_hooks = StorageHooks();
    g_progress.clear();
    sim_storage_insert("sda1", 3, 64 << 20, "vfat");
    sim_storage_insert("sdb1", 1, 64 << 20, "vfat");
    const char *rm[] = {"rm", "-rf", nullptr, nullptr};
    char a[512], b[512];
    std::string da = std::string(sim_storage_backing_dir("sda1", a, sizeof a)) + "/DCIM";
    std::string db = std::string(sim_storage_backing_dir("sdb1", b, sizeof b)) + "/DCIM";
    rm[2] = da.c_str();
    run_argv(rm);
    rm[2] = db.c_str();
    run_argv(rm);
    fileSysTick(nullptr);
    ASSERT_TRUE(filesys_is_mounted(STORAGE_INT));
    ASSERT_TRUE(filesys_is_mounted(STORAGE_EXT));
  }
  void TearDown() override {
    storage_hooks = StorageHooks();
    storage_test_volumes_clear();
  }
  void put(int source, const char *name, size_t size, char fill) {
    filesys_lock();
    filesys_add_writer(source);
    std::string dir = std::string(source == STORAGE_INT ? "/media/int" : "/media/ext") + "/DCIM";
    sys_mkdirs(dir.c_str(), 0755);
    FILE *f = sys_fopen((dir + "/" + name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::vector<char> data(size);
    for (size_t i = 0; i < size; i++) data[i] = (char)(fill + i % 7);
    fwrite(data.data(), 1, size, f);
    fclose(f);
    filesys_remove_writer(source);
    filesys_unlock();
  }
  int cmp(const char *a, const char *b) {
    const char *argv[] = {"cmp", a, b, nullptr};
    return run_argv(argv);
  }
};

TEST_F(FileOps, CopyMakesAnIdenticalFileAndRespectsOverwrite) {
  put(STORAGE_INT, "clip.mp4", 3 << 20, 'a');
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.mp4", 0, nullptr), 0);
  EXPECT_EQ(cmp("/media/int/DCIM/clip.mp4", "/media/ext/DCIM/clip.mp4"), 0);
  EXPECT_EQ(sim_storage_mount_state("/media/ext"), 0) << "writer not removed";

  put(STORAGE_INT, "clip.mp4", 1 << 20, 'q');
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.mp4", 0, nullptr), ERR_FILE_EXISTS);
  EXPECT_NE(cmp("/media/int/DCIM/clip.mp4", "/media/ext/DCIM/clip.mp4"), 0) << "destination touched";
  // Overwriting a longer file leaves no stale tail behind.
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.mp4", 1, nullptr), 0);
  EXPECT_EQ(cmp("/media/int/DCIM/clip.mp4", "/media/ext/DCIM/clip.mp4"), 0);

  // The SD card has no partner volume.
  EXPECT_LT(filesys_copy(STORAGE_MMC, "clip.mp4", 0, nullptr), 0);
}

TEST_F(FileOps, CopyRefusesWhatDoesNotFitBeforeWriting) {
  sim_storage_insert("sdb1", 1, 2 << 20, "vfat");
  filesys_recalculate_free_space(STORAGE_EXT);
  put(STORAGE_INT, "huge.ts", 4 << 20, 'h');
  EXPECT_EQ(filesys_copy(STORAGE_INT, "huge.ts", 0, nullptr), ERR_NO_SPACE);
  EXPECT_FALSE(file_exists("/media/ext/DCIM/huge.ts"));
  // A file that exactly fills the free space fits.
  int64_t free_bytes = filesys_free_space(STORAGE_EXT);
  ASSERT_GT(free_bytes, 0);
  put(STORAGE_INT, "exact.ts", (size_t)free_bytes, 'e');
  EXPECT_EQ(filesys_copy(STORAGE_INT, "exact.ts", 0, nullptr), 0);
  EXPECT_EQ(cmp("/media/int/DCIM/exact.ts", "/media/ext/DCIM/exact.ts"), 0);
  sim_storage_insert("sdb1", 1, 64 << 20, "vfat");
}

// Overwriting a file needs only the room the new one takes beyond the old
// one's: the old file makes way when the copy would not fit beside it.
TEST_F(FileOps, AnOverwriteMayUseTheOldFilesRoom) {
  sim_storage_insert("sdb1", 1, 4 << 20, "vfat");
  put(STORAGE_EXT, "clip.ts", 1 << 20, 'o');
  filesys_recalculate_free_space(STORAGE_EXT);
  int64_t free_bytes = filesys_free_space(STORAGE_EXT);
  ASSERT_GT(free_bytes, 1 << 20);
  const size_t size = (size_t)free_bytes + (512 << 10);
  put(STORAGE_INT, "clip.ts", size, 'n');
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.ts", 0, nullptr), ERR_FILE_EXISTS);
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.ts", 1, nullptr), 0);
  EXPECT_EQ(cmp("/media/int/DCIM/clip.ts", "/media/ext/DCIM/clip.ts"), 0);
  // More than the free space and the old file together: refused, nothing lost.
  filesys_recalculate_free_space(STORAGE_EXT);
  put(STORAGE_INT, "clip.ts", (size_t)filesys_free_space(STORAGE_EXT) + size + 4096, 'b');
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.ts", 1, nullptr), ERR_NO_SPACE);
  EXPECT_EQ(file_size("/media/ext/DCIM/clip.ts"), (uint64_t)size);
  sim_storage_insert("sdb1", 1, 64 << 20, "vfat");
}

// A day's numbers run on across the volumes: the next is after the highest
// on either, never one the other volume already holds.
TEST_F(FileOps, RecordingNumbersContinueAcrossVolumes) {
  put(STORAGE_INT, "20240131-000.mp4", 10, 'a');
  put(STORAGE_INT, "20240131-001.mp4", 10, 'a');
  put(STORAGE_EXT, "20240131-002.mp4", 10, 'a');
  put(STORAGE_EXT, "20240131-000.ts", 10, 'a');
  filesys_lock();
  EXPECT_EQ(get_unused_number("20240131-", "mp4"), 3);
  EXPECT_EQ(get_unused_number("20240131-", "ts"), 1);
  EXPECT_EQ(get_unused_number("20240201-", "mp4"), 0);
  filesys_unlock();
}

// The hook may wait for the user: it is called with the storage lock free.
TEST_F(FileOps, DeleteBatchReportsProgressBeforeEachUnlink) {
  for (int i = 0; i < 5; i++) put(STORAGE_INT, ("f" + std::to_string(i)).c_str(), 1000, 'd');
  storage_hooks.show_progress = [](void *, int permille) {
    bool free = pthread_mutex_trylock(&filesys_state.filesys_mutex) == 0;
    if (free) pthread_mutex_unlock(&filesys_state.filesys_mutex);
    g_progress.push_back(free ? permille : -1);
    return 0;
  };
  int ctx;
  filesys_multi_start(STORAGE_INT, 0, 5 * 1000);
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(filesys_delete(STORAGE_INT, ("f" + std::to_string(i)).c_str(), &ctx), 0);
  filesys_multi_finish(STORAGE_INT);
  EXPECT_EQ(g_progress, (std::vector<int>{0, 200, 400, 600, 800}));
  for (int i = 0; i < 5; i++)
    EXPECT_FALSE(file_exists(("/media/int/DCIM/f" + std::to_string(i)).c_str()));
  EXPECT_EQ(sim_storage_mount_state("/media/int"), 0);
}

TEST_F(FileOps, RenameAndNamesFromOutside) {
  put(STORAGE_EXT, "a.mp4", 10, 'r');
  put(STORAGE_EXT, "b.mp4", 10, 's');
  EXPECT_EQ(filesys_rename(STORAGE_EXT, "a.mp4", "b.mp4"), -ENOENT);
  EXPECT_TRUE(file_exists("/media/ext/DCIM/a.mp4"));
  EXPECT_EQ(filesys_rename(STORAGE_EXT, "a.mp4", "c.mp4"), 0);
  EXPECT_TRUE(file_exists("/media/ext/DCIM/c.mp4"));
  EXPECT_FALSE(file_exists("/media/ext/DCIM/a.mp4"));

  EXPECT_EQ(filesys_name_ok(""), 0);
  EXPECT_EQ(filesys_name_ok("/etc/passwd"), 0);
  EXPECT_EQ(filesys_name_ok("../../config"), 0);
  EXPECT_EQ(filesys_name_ok("a/../b"), 0);
  EXPECT_EQ(filesys_name_ok("..."), 1);
  // One length for names from outside, what a field of 128 bytes holds
  // with its NUL: the longest is taken whole, one byte more is refused.
  EXPECT_EQ(filesys_name_ok(std::string(127, 'n').c_str()), 1);
  EXPECT_EQ(filesys_name_ok(std::string(128, 'n').c_str()), 0);
  EXPECT_LT(filesys_delete(STORAGE_EXT, "../c.mp4", nullptr), 0);
  EXPECT_LT(filesys_rename(STORAGE_EXT, "c.mp4", "../escaped.mp4"), 0);
  EXPECT_TRUE(file_exists("/media/ext/DCIM/c.mp4"));
  // Every operation that takes a name checks it.
  put(STORAGE_INT, "secret.txt", 10, 'x');
  const char *out_of_bounds = "../int/DCIM/secret.txt";
  EXPECT_EQ(filesys_fopen(STORAGE_EXT, out_of_bounds, "r"), nullptr);
  EXPECT_EQ(filesys_fopen(STORAGE_EXT, "../escaped.txt", "w"), nullptr);
  size_t n = 1;
  EXPECT_EQ(filesys_readfile(STORAGE_EXT, out_of_bounds, 100, &n), nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(filesys_writefile(STORAGE_EXT, "/media/int/DCIM/secret.txt", "y", 1), -1);
  EXPECT_EQ(filesys_unlink(STORAGE_EXT, out_of_bounds), -1);
  EXPECT_FALSE(file_exists_on(STORAGE_EXT, out_of_bounds));
  EXPECT_EQ(filesys_get_file_on(STORAGE_EXT, out_of_bounds), nullptr);
  char buf[256];
  EXPECT_EQ(filesys_get_file("../int/DCIM/secret.txt", buf, sizeof buf), nullptr);
  EXPECT_EQ(filesys_get_config_file("", buf, sizeof buf), nullptr);
  EXPECT_TRUE(file_exists("/media/int/DCIM/secret.txt"));
  EXPECT_FALSE(file_exists("/media/escaped.txt"));
}

TEST_F(FileOps, FailedCopiesLeaveTheDataAsItWas) {
  // Cut short by quit: a failure, and no part file a move would keep.
  put(STORAGE_INT, "clip.ts", 2 << 20, 'c');
  set_exit_code(EXIT_QUIT);
  int rc = filesys_copy(STORAGE_INT, "clip.ts", 0, nullptr);
  set_exit_code(0);
  EXPECT_LT(rc, 0);
  EXPECT_FALSE(file_exists("/media/ext/DCIM/clip.ts"));
  EXPECT_TRUE(file_exists("/media/int/DCIM/clip.ts"));

  // Overwrite with nothing to copy: the file on the other volume stays.
  put(STORAGE_EXT, "kept.ts", 1000, 'k');
  EXPECT_EQ(filesys_copy(STORAGE_INT, "kept.ts", 1, nullptr), ERR_FILE_READ);
  EXPECT_EQ(file_size("/media/ext/DCIM/kept.ts"), 1000u);
  EXPECT_EQ(sim_storage_mount_state("/media/ext"), 0) << "writer not removed";
}

// An overwrite cut short keeps the old destination: the copy is made
// beside it and takes its name only when whole.
TEST_F(FileOps, ACopyCutShortKeepsTheOldDestination) {
  put(STORAGE_INT, "clip.ts", 4 << 20, 'n');
  put(STORAGE_EXT, "clip.ts", 1000, 'o');
  std::vector<char> old(1000);
  FILE *f = sys_fopen("/media/ext/DCIM/clip.ts", "rb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fread(old.data(), 1, old.size(), f), old.size());
  fclose(f);
  char b[512];
  std::string ext_dcim = std::string(root_unpath(sim_storage_backing_dir("sdb1", b, sizeof b), b, sizeof b)) + "/DCIM";
  auto old_kept = [&] {
    FILE *g = sys_fopen((ext_dcim + "/clip.ts").c_str(), "rb");
    std::vector<char> now(2000);
    size_t n = g ? fread(now.data(), 1, now.size(), g) : 0;
    if (g) fclose(g);
    now.resize(n);
    return now == old;
  };
  // The destination disk is pulled after two writes.
  sim_storage_fault("sdb1", "pull", 2);
  EXPECT_NE(filesys_copy(STORAGE_INT, "clip.ts", 1, nullptr), 0);
  EXPECT_TRUE(old_kept()) << "the old destination was lost";
  EXPECT_EQ(file_size("/media/int/DCIM/clip.ts"), 4u << 20);
  fileSysTick(nullptr);
  EXPECT_FALSE(filesys_is_mounted(STORAGE_EXT));
  sim_storage_insert("sdb1", 1, 64 << 20, "vfat");
  fileSysTick(nullptr);
  // A full destination volume: the same.
  ASSERT_TRUE(filesys_is_mounted(STORAGE_EXT));
  sim_storage_fault("sdb1", "ENOSPC", 1);
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.ts", 1, nullptr), ERR_NO_SPACE);
  sim_storage_fault("sdb1", "none", 0);
  EXPECT_TRUE(old_kept());
  EXPECT_EQ(storage_files_in(ext_dcim.c_str()), std::vector<std::string>{"clip.ts"}) << "part file left";
  // Whole: the new file takes the name.
  EXPECT_EQ(filesys_copy(STORAGE_INT, "clip.ts", 1, nullptr), 0);
  EXPECT_EQ(cmp("/media/int/DCIM/clip.ts", "/media/ext/DCIM/clip.ts"), 0);
}

TEST_F(FileOps, FormatEmptiesTheVolumeAndMountsItAgain) {
  put(STORAGE_EXT, "old.ts", 1000, 'o');
  sys_unlink("/run/exec.log");
  EXPECT_EQ(filesys_format(STORAGE_EXT), 0);
  EXPECT_NE(storage_exec_log().find("/sbin/mkfs.vfat /dev/sdb1\n"), std::string::npos);
  EXPECT_TRUE(filesys_is_mounted(STORAGE_EXT));
  EXPECT_FALSE(file_exists("/media/ext/DCIM/old.ts"));

  // A volume with a writer is not formatted.
  FILE *f = filesys_fopen(STORAGE_EXT, "busy.ts", "w");
  ASSERT_NE(f, nullptr);
  EXPECT_NE(filesys_format(STORAGE_EXT), 0);
  filesys_fclose_w(STORAGE_EXT, f);
  EXPECT_TRUE(file_exists("/media/ext/busy.ts"));
}

TEST_F(FileOps, HubPortPowerPullsAndRestoresTheDisk) {
  EXPECT_EQ(usb_hub_port_power("/dev/usbdev1.2", 3, 0), 0);
  EXPECT_FALSE(sim_usbhub_port_powered(3));
  struct stat st;
  EXPECT_NE(sys_stat("/dev/sda1", &st), 0);
  fileSysTick(nullptr);
  EXPECT_FALSE(filesys_is_mounted(STORAGE_INT));
  EXPECT_EQ(usb_hub_port_power("/dev/usbdev1.2", 3, 1), 0);
  EXPECT_EQ(sys_stat("/dev/sda1", &st), 0);
  fileSysTick(nullptr);
  EXPECT_TRUE(filesys_is_mounted(STORAGE_INT));

  // Something that is not a hub is refused.
  sys_write_text("/tmp/not-a-hub", "0123456789abcdefgh");
  EXPECT_EQ(usb_hub_port_power("/tmp/not-a-hub", 1, 0), 1);
  EXPECT_LT(usb_hub_port_power("/dev/no-such-hub", 1, 0), 0);
}

TEST_F(FileOps, ConfigAndLogsSavedToTheVolume) {
  EXPECT_EQ(filesys_save_config_params(STORAGE_INT), 0);
  EXPECT_TRUE(file_exists("/media/int/config.txt"));
  EXPECT_EQ(filesys_load_config_params(STORAGE_INT), 0);
  // A file past the bound is refused whole: its last line, cut at the
  // bound to "= 4", is not set as if it were whole.
  char v[32];
  auto seek = [&v] { param_get("Recording.SeekAmount", v, sizeof v); return std::string(v); };
  const std::string line = "Recording.SeekAmount = 43\n";
  std::string big = std::string(256 * 1024 + 2 - line.size() - 1, '#') + "\n" + line;
  ASSERT_EQ(filesys_writefile(STORAGE_INT, "config.txt", big.data(), big.size()), 0);
  const std::string before = seek();
  ASSERT_NE(before, "4");
  EXPECT_EQ(filesys_load_config_params(STORAGE_INT), -1);
  EXPECT_EQ(seek(), before);
  EXPECT_EQ(filesys_save_log(), 0);
  EXPECT_TRUE(file_exists("/media/ext/log.txt"));
  EXPECT_EQ(sim_storage_mount_state("/media/ext"), 0);
  EXPECT_EQ(filesys_save_log_to(STORAGE_MMC, 0), -1);

  // A last line without its line end may be a file cut short: not set.
  const std::string cut = "Recording.SeekAmount = 43\r\nRecording.SeekAmount = 4";
  ASSERT_EQ(filesys_writefile(STORAGE_INT, "config.txt", cut.data(), cut.size()), 0);
  EXPECT_EQ(filesys_load_config_params(STORAGE_INT), 0);
  EXPECT_EQ(seek(), "43");
}

// A save that cannot be completed (here a volume that takes no more than
// 300 bytes a file) leaves the file it would have replaced as it was, and
// no temporary behind; the next save that fits replaces it.
TEST_F(FileOps, AFailedSaveKeepsTheFileItWouldReplace) {
  char b[512];
  std::string ext = sim_storage_backing_dir("sdb1", b, sizeof b);
  auto bytes = [&ext](const char *name) {
    FILE *f = fopen((ext + "/" + name).c_str(), "rb");
    std::string s;
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    if (f) fclose(f);
    return s;
  };
  auto hidden = [&ext] {
    int n = 0;
    if (DIR *d = opendir(ext.c_str())) {
      while (dirent *e = readdir(d)) n += e->d_name[0] == '.' && strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
      closedir(d);
    }
    return n;
  };
  log_printf("%s\n", std::string(2000, 'x').c_str());
  ASSERT_EQ(filesys_save_log_to(STORAGE_EXT, 0), 0);
  ASSERT_EQ(filesys_save_config_params(STORAGE_EXT), 0);
  const std::string text = "kept\n";
  ASSERT_EQ(filesys_writefile(STORAGE_EXT, "note.txt", text.data(), text.size()), 0);
  FILE *f = filesys_fopen(STORAGE_EXT, "English.txt", "wb");
  ASSERT_NE(f, nullptr);
  fputs("old\n", f);
  ASSERT_EQ(filesys_fclose_w(STORAGE_EXT, f), 0);
  const char *names[] = {"log.txt", "config.txt", "note.txt", "English.txt"};
  std::vector<std::string> before;
  for (const char *n : names) before.push_back(bytes(n));
  ASSERT_GT(before[0].size(), 300u);

  sim_storage_limit("sdb1", 300);
  EXPECT_EQ(filesys_save_log_to(STORAGE_EXT, 0), -1);
  EXPECT_EQ(filesys_save_config_params(STORAGE_EXT), -1);
  const std::string big(1000, 'n');
  EXPECT_EQ(filesys_writefile(STORAGE_EXT, "note.txt", big.data(), big.size()), -1);
  f = filesys_fopen(STORAGE_EXT, "English.txt", "wb");
  ASSERT_NE(f, nullptr);
  fputs(big.c_str(), f);
  EXPECT_EQ(filesys_fclose_w(STORAGE_EXT, f), -1);
  for (size_t i = 0; i < 4; i++) EXPECT_EQ(bytes(names[i]), before[i]) << names[i];
  EXPECT_EQ(hidden(), 0) << "a temporary was left";
  EXPECT_EQ(sim_storage_mount_state("/media/ext"), 0) << "writer not removed";

  sim_storage_limit("sdb1", 0);
  EXPECT_EQ(filesys_writefile(STORAGE_EXT, "note.txt", big.data(), big.size()), 0);
  EXPECT_EQ(bytes("note.txt"), big);
  EXPECT_EQ(hidden(), 0);
}

}  // namespace

namespace {

// A file the recorder writes is neither deleted nor renamed, under any
// name that reaches it (here a second link); other files are, and it is
// once its writer has let it go.
TEST_F(FileOps, AFileBeingWrittenIsNeitherDeletedNorRenamed) {
  put(STORAGE_EXT, "rec.mp4", 10, 'r');
  put(STORAGE_EXT, "other.mp4", 10, 'o');
  ASSERT_EQ(link(HostPath("/media/ext/DCIM/rec.mp4").c_str(), HostPath("/media/ext/DCIM/alias.mp4").c_str()), 0);
  int fd = filesys_open_recording(STORAGE_EXT, "rec.mp4", O_RDONLY);
  ASSERT_GE(fd, 0);
  filesys_lock();
  int handles[FILESYS_WRITING_MAX + 1];
  for (int &h : handles) h = filesys_writing_add(fd);
  filesys_unlock();
  // The table holds as many files as both threads write at once.
  for (int i = 0; i < FILESYS_WRITING_MAX; i++) EXPECT_EQ(handles[i], i);
  EXPECT_EQ(handles[FILESYS_WRITING_MAX], -1);
  for (const char *name : {"rec.mp4", "alias.mp4"}) {
    EXPECT_EQ(filesys_delete(STORAGE_EXT, name, nullptr), -EBUSY) << name;
    EXPECT_EQ(filesys_rename(STORAGE_EXT, name, "moved.mp4"), -EBUSY) << name;
  }
  EXPECT_TRUE(file_exists("/media/ext/DCIM/rec.mp4"));
  EXPECT_TRUE(file_exists("/media/ext/DCIM/alias.mp4"));
  EXPECT_FALSE(file_exists("/media/ext/DCIM/moved.mp4"));
  EXPECT_EQ(filesys_rename(STORAGE_EXT, "other.mp4", "kept.mp4"), 0);
  EXPECT_EQ(filesys_delete(STORAGE_EXT, "kept.mp4", nullptr), 0);
  EXPECT_EQ(sim_storage_mount_state("/media/ext"), 0);   // the refusals left no writer
  filesys_lock();
  for (int i = 0; i < FILESYS_WRITING_MAX; i++) filesys_writing_remove(handles[i]);
  filesys_unlock();
  close(fd);
  EXPECT_EQ(filesys_rename(STORAGE_EXT, "alias.mp4", "moved.mp4"), 0);
  EXPECT_EQ(filesys_delete(STORAGE_EXT, "rec.mp4", nullptr), 0);
  EXPECT_FALSE(file_exists("/media/ext/DCIM/rec.mp4"));
}

}  // namespace
