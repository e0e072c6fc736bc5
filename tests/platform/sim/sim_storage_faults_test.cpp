// The simulated storage's faults as scripts drive them: a full volume
// refuses only writes that need new space, a disk pulled in one run is back
// at the next start with its faults over, and a command file's lines of an
// earlier run are not run again while new ones are.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"
#include "test_root.h"

namespace {

std::string backing_file(const char *dev, const char *name) {
  char dir[512];
  return std::string(sim_storage_backing_dir(dev, dir, sizeof dir)) + "/" + name;
}

TEST(SimStorageFaults, AFullVolumeTakesWritesOverWhatAFileHolds) {
  test_root();
  ASSERT_EQ(sim_storage_insert("sda1", 3, 64 << 20, "vfat"), 0);
  std::string path = backing_file("sda1", "f.bin");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  std::vector<char> data(1000, 'a');
  ASSERT_EQ(sys_fd_write(fd, data.data(), data.size()), 1000);
  ASSERT_EQ(sim_storage_fault("sda1", "ENOSPC", 0), 0);
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  EXPECT_EQ(sys_fd_write(fd, "bbbb", 4), 4);
  // Across the end only the part over the file goes through.
  ASSERT_EQ(lseek(fd, 996, SEEK_SET), 996);
  EXPECT_EQ(sys_fd_write(fd, "cccccc", 6), 4);
  errno = 0;
  EXPECT_EQ(sys_fd_write(fd, "dd", 2), -1);
  EXPECT_EQ(errno, ENOSPC);
  int app = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(app, 0);
  EXPECT_EQ(sys_fd_write(app, "e", 1), -1);
  close(app);
  char back[8] = {};
  EXPECT_EQ(sys_fd_read(fd, back, 1), 0);  // reads go on at the end
  EXPECT_EQ(pread(fd, back, 4, 0), 4);
  EXPECT_EQ(std::string(back, 4), "bbbb");
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 1000);
  sim_storage_fault("sda1", "none", 0);
  EXPECT_EQ(sys_fd_write(fd, "ff", 2), 2);
  close(fd);
}

TEST(SimStorageFaults, ADiskPulledInOneRunIsBackAtTheNextStart) {
  test_root();
  ASSERT_EQ(sim_storage_insert("sdb1", 2, 64 << 20, "vfat"), 0);
  ASSERT_EQ(sim_storage_insert("mmcblk0p1", 0, 64 << 20, "vfat"), 0);
  ASSERT_EQ(sim_storage_fault("sdb1", "pull", 0), 0);
  ASSERT_EQ(sim_storage_fault("mmcblk0p1", "pull", 0), 0);
  ASSERT_EQ(sim_storage_fault("sda1", "EIO", 0), 0);
  EXPECT_NE(sys_access("/dev/sdb1", F_OK), 0);
  EXPECT_NE(sys_access("/dev/mmcblk0p1", F_OK), 0);
  EXPECT_EQ(sys_access("/run/sim/storage/sda1.fault", F_OK), 0);
  // A stray state file that names no device is none.
  ASSERT_EQ(sys_write_text("/run/sim/storage/.pulled", "2\n"), 0);
  sim_storage_register();  // as at a start
  EXPECT_NE(sys_access("/run/sim/storage/.conf", F_OK), 0);
  sys_unlink("/run/sim/storage/.pulled");
  EXPECT_EQ(sys_access("/dev/sdb1", F_OK), 0);
  EXPECT_EQ(sys_access("/dev/mmcblk0p1", F_OK), 0);
  char link[300] = {};
  ASSERT_GT(sys_readlink("/sys/block/sdb", link, sizeof link - 1), 0);
  EXPECT_NE(strstr(link, "/1-1.2/"), nullptr) << link;
  char conf[256] = {};
  ASSERT_GT(sys_read_text("/run/sim/storage/sdb1.conf", conf, sizeof conf, false), 0);
  EXPECT_NE(strstr(conf, "capacity=67108864\n"), nullptr) << "the disk as it was: " << conf;
  EXPECT_NE(sys_access("/run/sim/storage/sda1.fault", F_OK), 0);
  EXPECT_NE(sys_access("/run/sim/storage/sdb1.pulled", F_OK), 0);
  // The EIO of the earlier run is over.
  int fd = open(backing_file("sdb1", "g.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(sys_fd_write(fd, "x", 1), 1);
  close(fd);
  // A disk plugged in again by hand is not plugged in once more.
  ASSERT_EQ(sim_storage_fault("sdb1", "pull", 0), 0);
  ASSERT_EQ(sim_storage_insert("sdb1", 2, 0, nullptr), 0);
  EXPECT_NE(sys_access("/run/sim/storage/sdb1.pulled", F_OK), 0);
}

// A disk pulled once its count of reads and writes runs out: the files it
// had open fail from then on, not only at the pull.
TEST(SimStorageFaults, FilesOpenOnAPulledDiskFailFromThenOn) {
  test_root();
  ASSERT_EQ(sim_storage_insert("sdc1", 4, 64 << 20, "vfat"), 0);
  int fd = open(backing_file("sdc1", "open.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(sim_storage_fault("sdc1", "pull", 1), 0);
  EXPECT_EQ(sys_fd_write(fd, "a", 1), 1);
  EXPECT_EQ(sys_access("/dev/sdc1", F_OK), 0);
  for (int i = 0; i < 3; i++) {
    errno = 0;
    EXPECT_EQ(sys_fd_write(fd, "b", 1), -1) << i;
    EXPECT_EQ(errno, EIO) << i;
  }
  EXPECT_NE(sys_access("/dev/sdc1", F_OK), 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 1);
  close(fd);
  // Plugged in and mounted again it is a new disk: its files take writes.
  ASSERT_EQ(sim_storage_insert("sdc1", 4, 0, nullptr), 0);
  std::string at = test_scratch_dir("sdc1");
  const char *mount[] = {"mount", "/dev/sdc1", at.c_str(), nullptr};
  ASSERT_EQ(run_argv(mount), 0);
  fd = open(backing_file("sdc1", "new.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(sys_fd_write(fd, "c", 1), 1);
  EXPECT_EQ(sys_fd_write(fd, "d", 1), 1);
  close(fd);
  const char *umount[] = {"umount", at.c_str(), nullptr};
  EXPECT_EQ(run_argv(umount), 0);
}

std::atomic<int> g_runs;
std::string g_last;
int count_line(const char *line) {
  g_last = line;
  g_runs++;
  return 0;
}
std::atomic<int> g_replayed;
int count_replayed(const char *) {
  g_replayed++;
  return 0;
}

bool wait_for(const std::function<bool()> &ok) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ok() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return ok();
}

TEST(SimCommandFiles, LinesOfAnEarlierRunAreReplayedOnlyWhenAsked) {
  test_root();
  g_runs = 0;
  g_replayed = 0;
  // The files are followed by this run of the test only.
  struct Unfollow {
    ~Unfollow() {
      sim_unfollow_commands(count_line);
      sim_unfollow_commands(count_replayed);
    }
  } unfollow;
  ASSERT_EQ(sys_write_text("/run/old_lines.cmd", "one\ntwo\n"), 0);
  sim_follow_commands("/run/old_lines.cmd", count_line, "t", false);
  ASSERT_EQ(sys_write_text("/run/replayed.cmd", "one\ntwo\n"), 0);
  sim_follow_commands("/run/replayed.cmd", count_replayed, "r");
  EXPECT_EQ(g_replayed, 2);
  EXPECT_EQ(g_runs, 0);
  FILE *f = sys_fopen("/run/old_lines.cmd", "a");
  ASSERT_NE(f, nullptr);
  fputs("three\n", f);
  fclose(f);
  EXPECT_TRUE(wait_for([] { return g_runs >= 1; }));
  EXPECT_EQ(g_runs, 1);
  EXPECT_EQ(g_last, "three");
}

// The storage command file is followed from the start: a line appended
// takes effect.
TEST(SimCommandFiles, TheStorageCommandFileIsFollowed) {
  test_root();
  FILE *f = sys_fopen("/run/sim_storage.cmd", "a");
  ASSERT_NE(f, nullptr);
  fputs("fail sdd1 EIO\n", f);
  fclose(f);
  EXPECT_TRUE(wait_for([] { return sys_access("/run/sim/storage/sdd1.fault", F_OK) == 0; }));
  sim_storage_fault("sdd1", "none", 0);
}

std::atomic<int> g_again;
int count_again(const char *) {
  g_again++;
  return 0;
}

// A file no longer followed is followed afresh when asked again: what it
// holds replays, as for a file never followed.
TEST(SimCommandFiles, AFileUnfollowedIsFollowedAfreshWhenAskedAgain) {
  test_root();
  g_again = 0;
  ASSERT_EQ(sys_write_text("/run/again.cmd", "one\n"), 0);
  sim_follow_commands("/run/again.cmd", count_again, "a");
  EXPECT_EQ(g_again, 1);
  sim_unfollow_commands(count_again);
  sim_follow_commands("/run/again.cmd", count_again, "a");
  EXPECT_EQ(g_again, 2);
  sim_unfollow_commands(count_again);
}

}  // namespace
