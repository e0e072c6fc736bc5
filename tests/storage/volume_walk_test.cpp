// Names below a volume's root never lead through a link: a volume holding
// links to a file, to a folder and to nothing, next to a sealed folder
// outside it that must stay as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/host_root.h"
#include "storage/volume.h"
#include "storage_test_support.h"
#include "test_root.h"

namespace {

std::string host(const std::string &board) { return HostPath(board.c_str()).c_str(); }

void put(const std::string &board, const char *text) { ASSERT_EQ(sys_write_text(board.c_str(), text), 0); }

std::string text_of(const std::string &board) {
  char buf[256];
  return sys_read_text(board.c_str(), buf, sizeof buf, false) < 0 ? "(none)" : buf;
}

int g_fault_errno;
int fault_all(int, int writing, size_t *) { return writing || g_fault_errno == EIO ? g_fault_errno : 0; }
// Writes go through; only the sync (a check without a size) fails.
int fault_sync(int, int writing, size_t *n) { return writing && !n ? g_fault_errno : 0; }

class VolumeWalk : public ::testing::Test {
 protected:
  std::string vol, sealed;
  // The simulated storage's own fault hook, which the tests replace.
  RootIoFault sim_fault = nullptr;
  void SetUp() override {
    sim_fault = root_set_io_fault(nullptr);
    root_set_io_fault(sim_fault);
    vol = test_scratch_dir("vol");
    sealed = test_scratch_dir("sealed");
    put(sealed + "/secret", "secret");
    ASSERT_EQ(sys_mkdir((sealed + "/inner").c_str(), 0755), 0);
    put(sealed + "/inner/victim", "victim");
    ASSERT_EQ(sys_mkdir((vol + "/DCIM").c_str(), 0755), 0);
    put(vol + "/DCIM/clip.ts", "clip");
    ASSERT_EQ(symlink(host(sealed + "/secret").c_str(), host(vol + "/DCIM/file_link.ts").c_str()), 0);
    ASSERT_EQ(symlink(host(sealed + "/inner").c_str(), host(vol + "/dir_link").c_str()), 0);
    ASSERT_EQ(symlink(host(sealed + "/created").c_str(), host(vol + "/DCIM/dangling.ts").c_str()), 0);
  }
  void TearDown() override {
    root_set_io_fault(sim_fault);
    EXPECT_EQ(text_of(sealed + "/secret"), "secret");
    EXPECT_EQ(text_of(sealed + "/inner/victim"), "victim");
    struct stat st;
    EXPECT_NE(sys_lstat((sealed + "/created").c_str(), &st), 0) << "a file was created through a link";
    EXPECT_NE(sys_lstat((sealed + "/inner/new").c_str(), &st), 0);
  }
};

TEST(VolumeName, OnlyPlainRelativeNamesAreTaken) {
  for (const char *ok : {"a", "DCIM/clip.ts", "a/b/c", "..x", "x.."}) EXPECT_TRUE(volume_name_ok(ok)) << ok;
  std::string long_part(256, 'x');
  for (const char *bad : {"", "/etc/passwd", "..", "a/../b", "./a", "a/.", "a//b", "a/", long_part.c_str()})
    EXPECT_FALSE(volume_name_ok(bad)) << bad;
  EXPECT_FALSE(volume_name_ok(nullptr));
}

TEST_F(VolumeWalk, NoOpenReadOrWriteLeadsThroughALink) {
  size_t n;
  uint8_t *data = volume_read_all(vol.c_str(), "DCIM/clip.ts", 100, &n, nullptr);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string((char *)data, n), "clip");
  free(data);
  errno = 0;
  EXPECT_EQ(volume_read_all(vol.c_str(), "DCIM/file_link.ts", 100, &n, nullptr), nullptr);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_LT(volume_open(vol.c_str(), "dir_link/victim", O_RDONLY), 0);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(volume_fopen(vol.c_str(), "DCIM/file_link.ts", "wb"), nullptr);
  EXPECT_EQ(volume_fopen(vol.c_str(), "DCIM/dangling.ts", "w"), nullptr);
  EXPECT_EQ(volume_fopen(vol.c_str(), "DCIM/dangling.ts", "a"), nullptr);
  EXPECT_EQ(volume_fopen(vol.c_str(), "dir_link/new", "w"), nullptr);
  EXPECT_NE(volume_write_all(vol.c_str(), "dir_link/victim", "x", 1), 0);
  EXPECT_NE(volume_write_all(vol.c_str(), "DCIM/dangling.ts", "x", 1), 0);
  EXPECT_EQ(volume_open(vol.c_str(), "..", O_RDONLY), -1);
  EXPECT_EQ(volume_open(vol.c_str(), "DCIM/../dir_link/victim", O_RDONLY), -1);
  EXPECT_EQ(errno, EINVAL);
  // Folders are not made through a link either.
  EXPECT_NE(volume_mkdirs(vol.c_str(), "dir_link/sub"), 0);
  EXPECT_EQ(volume_mkdirs(vol.c_str(), "New/Deeper"), 0);
  struct stat st;
  EXPECT_EQ(volume_lstat(vol.c_str(), "New/Deeper", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(volume_lstat(vol.c_str(), "DCIM/file_link.ts", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_FALSE(volume_is_file(vol.c_str(), "DCIM/file_link.ts"));
  EXPECT_TRUE(volume_is_file(vol.c_str(), "DCIM/clip.ts"));
}

TEST_F(VolumeWalk, DeleteAndRenameStayOnTheVolume) {
  EXPECT_NE(volume_unlink(vol.c_str(), "dir_link/victim"), 0);
  EXPECT_NE(volume_rename(vol.c_str(), "dir_link/victim", "DCIM/got.ts"), 0);
  EXPECT_NE(volume_rename(vol.c_str(), "DCIM/clip.ts", "dir_link/new"), 0);
  // A link is neither renamed nor replaced by a rename.
  EXPECT_NE(volume_rename(vol.c_str(), "DCIM/file_link.ts", "DCIM/x.ts"), 0);
  EXPECT_NE(volume_rename(vol.c_str(), "DCIM/clip.ts", "DCIM/dangling.ts"), 0);
  EXPECT_EQ(volume_rename(vol.c_str(), "DCIM/clip.ts", "DCIM/moved.ts"), 0);
  EXPECT_TRUE(volume_is_file(vol.c_str(), "DCIM/moved.ts"));
  // The link itself may go; what it points at stays.
  EXPECT_EQ(volume_unlink(vol.c_str(), "DCIM/file_link.ts"), 0);
}

TEST_F(VolumeWalk, ListingsLeaveLinksOut) {
  DIR *d = volume_opendir(vol.c_str(), "DCIM");
  ASSERT_NE(d, nullptr);
  std::vector<std::string> files;
  while (dirent *e = readdir(d)) {
    struct stat st;
    if (volume_entry_is_file(d, e, &st)) files.push_back(e->d_name);
  }
  closedir(d);
  EXPECT_EQ(files, std::vector<std::string>{"clip.ts"});
  EXPECT_EQ(volume_opendir(vol.c_str(), "dir_link"), nullptr);
}

TEST_F(VolumeWalk, ReadsAreBoundedAndFifosDoNotBlock) {
  std::string big(10000, 'b');
  ASSERT_EQ(volume_write_all(vol.c_str(), "big.txt", big.data(), big.size()), 0);
  size_t n;
  int cut = 0;
  const int fds_before = test_open_fds();
  uint8_t *data = volume_read_all(vol.c_str(), "big.txt", 100, &n, &cut);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(n, 100u);
  EXPECT_TRUE(cut);
  free(data);
  EXPECT_EQ(test_open_fds(), fds_before) << "a file read whole was left open";
  data = volume_read_all(vol.c_str(), "DCIM/clip.ts", 4, &n, &cut);
  EXPECT_EQ(n, 4u);
  EXPECT_FALSE(cut);
  free(data);
  ASSERT_EQ(mkfifo(host(vol + "/pipe.txt").c_str(), 0644), 0);
  EXPECT_EQ(volume_read_all(vol.c_str(), "pipe.txt", 100, &n, nullptr), nullptr);
  // A file that cannot be read says nothing was cut.
  cut = 1;
  EXPECT_EQ(volume_read_all(vol.c_str(), "none.txt", 100, &n, &cut), nullptr);
  EXPECT_FALSE(cut);
  // Opened to be handed on: a regular file only.
  int fd = volume_open_file(vol.c_str(), "big.txt");
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  int fds = test_open_fds();
  for (const char *other : {"pipe.txt", "DCIM"}) {
    errno = 0;
    EXPECT_EQ(volume_open_file(vol.c_str(), other), -1) << other;
    EXPECT_EQ(errno, EISDIR) << other;
  }
  EXPECT_EQ(test_open_fds(), fds) << "a refused file was left open";
  EXPECT_EQ(volume_fopen(vol.c_str(), "pipe.txt", "r"), nullptr);
}

TEST_F(VolumeWalk, AFailingVolumeFailsTheWriteItsCloseAndItsReads) {
  root_set_io_fault(fault_all);
  g_fault_errno = ENOSPC;
  FILE *f = volume_fopen(vol.c_str(), "DCIM/new.ts", "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fwrite("0123456789", 1, 10, f), 10u) << "buffered";
  errno = 0;
  EXPECT_NE(fclose(f), 0) << "the lost data must show at the close";
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_NE(volume_write_all(vol.c_str(), "DCIM/other.ts", "x", 1), 0);
  g_fault_errno = EIO;
  f = volume_fopen(vol.c_str(), "DCIM/clip.ts", "rb");
  ASSERT_NE(f, nullptr);
  char buf[8];
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 0u);
  EXPECT_TRUE(ferror(f));
  fclose(f);
  root_set_io_fault(nullptr);
  f = volume_fopen(vol.c_str(), "DCIM/new.ts", "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fputs("fine", f) >= 0, true);
  EXPECT_EQ(volume_fclose_written(f), 0);
  EXPECT_EQ(text_of(vol + "/DCIM/new.ts"), "fine");
}

TEST_F(VolumeWalk, AFailedSyncFailsTheCloseUnlessTheVolumeHasNoSync) {
  root_set_io_fault(fault_sync);
  g_fault_errno = EIO;
  FILE *f = volume_fopen(vol.c_str(), "DCIM/synced.ts", "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fwrite("0123456789", 1, 10, f), 10u);
  errno = 0;
  EXPECT_NE(fclose(f), 0) << "data the volume did not keep must show at the close";
  EXPECT_EQ(errno, EIO);
  g_fault_errno = EINVAL;
  f = volume_fopen(vol.c_str(), "DCIM/synced.ts", "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fputs("kept", f) >= 0, true);
  EXPECT_EQ(fclose(f), 0) << "a volume without sync is not failing";
  EXPECT_EQ(text_of(vol + "/DCIM/synced.ts"), "kept");
}

// A replacement takes the file's name only when whole, and only from a
// file: a link or a folder put in its place meanwhile stays, and no
// temporary is left behind either way.
TEST_F(VolumeWalk, AReplacementTakesTheNameOnlyWhenWhole) {
  const std::string r = vol + "/DCIM/r.txt";
  auto hidden = [this] {
    int n = 0;
    if (DIR *d = sys_opendir((vol + "/DCIM").c_str())) {
      while (dirent *e = readdir(d)) n += e->d_name[0] == '.' && strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
      closedir(d);
    }
    return n;
  };
  const int fds = test_open_fds();
  put(r, "old");
  FILE *f = volume_replace_open(vol.c_str(), "DCIM/r.txt");
  ASSERT_NE(f, nullptr);
  fputs("new", f);
  fflush(f);
  EXPECT_EQ(text_of(r), "old");
  EXPECT_EQ(fclose(f), 0);
  EXPECT_EQ(text_of(r), "new");
  f = volume_replace_open(vol.c_str(), "DCIM/r.txt");
  fputs("given up", f);
  EXPECT_EQ(volume_replace_close(f, 0), -1);
  EXPECT_EQ(volume_replace_close(nullptr, 1), -1);
  root_set_io_fault(fault_sync);
  g_fault_errno = EIO;
  EXPECT_EQ(volume_write_all(vol.c_str(), "DCIM/r.txt", "unsynced", 8), -1);
  root_set_io_fault(nullptr);
  EXPECT_EQ(text_of(r), "new");

  // Put in its place while the new file was written.
  f = volume_replace_open(vol.c_str(), "DCIM/r.txt");
  ASSERT_NE(f, nullptr);
  fputs("over a link", f);
  ASSERT_EQ(sys_unlink(r.c_str()), 0);
  ASSERT_EQ(symlink(host(sealed + "/secret").c_str(), host(r).c_str()), 0);
  errno = 0;
  EXPECT_NE(fclose(f), 0);
  EXPECT_EQ(errno, ELOOP);
  struct stat st;
  EXPECT_TRUE(sys_lstat(r.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  f = volume_replace_open(vol.c_str(), "DCIM/r.txt");
  EXPECT_EQ(f, nullptr) << "a link has the name";
  ASSERT_EQ(sys_unlink(r.c_str()), 0);
  f = volume_replace_open(vol.c_str(), "DCIM/r.txt");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(sys_mkdir(r.c_str(), 0755), 0);
  errno = 0;
  EXPECT_NE(fclose(f), 0);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_TRUE(sys_lstat(r.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_EQ(volume_write_all(vol.c_str(), "none/r.txt", "x", 1), -1);
  EXPECT_EQ(volume_replace_open(vol.c_str(), "none/r.txt"), nullptr);
  EXPECT_EQ(hidden(), 0) << "a temporary was left";
  EXPECT_EQ(test_open_fds(), fds) << "a descriptor was left open";
}

}  // namespace
