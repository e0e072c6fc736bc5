// Laying out a root creates the board's files and keeps what is there.
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "platform/root_layout.h"
#include "test_root.h"

namespace {
std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
void spit(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
}  // namespace

TEST(RootLayout, CreatesTheBoardTreeAndLeavesExistingFilesAlone) {
  std::string base = test_root() + test_scratch_dir("layout");
  std::string www = base + "/www", root = base + "/root";
  mkdir(www.c_str(), 0755);
  mkdir((www + "/js").c_str(), 0755);
  spit(www + "/index.html", "<html>1</html>");
  spit(www + "/js/app.js", "x=1");

  ASSERT_EQ(root_layout(root.c_str(), www.c_str(), 42), 0);
  struct stat st;
  ASSERT_EQ(stat((root + "/dev/mtd0").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0x1000000);
  EXPECT_EQ(slurp(root + "/sys/class/video4linux/v4l-subdev0/name"), "DAVINCI CCDC\n");
  EXPECT_EQ(slurp(root + "/sys/class/video4linux/video7/name"), "tp2825 1-0044\n");
  EXPECT_EQ(slurp(root + "/usr/html/js/app.js"), "x=1");
  for (const char *d : {"/media/int", "/media/ext", "/media/mmc", "/run", "/etc", "/tmp",
                        "/usr/bin", "/proc"})
    EXPECT_EQ(stat((root + d).c_str(), &st), 0) << d;

  // A second layout over a used root changes nothing that is there.
  spit(root + "/usr/html/index.html", "edited");
  spit(root + "/sys/class/video4linux/v4l-subdev0/name", "other\n");
  std::ofstream(root + "/dev/mtd0", std::ios::in | std::ios::out | std::ios::binary)
      .write("\0\0\0\0", 4);
  ASSERT_EQ(root_layout(root.c_str(), www.c_str(), 43), 0);
  EXPECT_EQ(slurp(root + "/usr/html/index.html"), "edited");
  EXPECT_EQ(slurp(root + "/sys/class/video4linux/v4l-subdev0/name"), "other\n");
  EXPECT_EQ(slurp(root + "/dev/mtd0").substr(0, 4), std::string(4, '\0'));
}
