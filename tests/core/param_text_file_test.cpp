// Parameter text files: export then import is the identity, the shipped
// config.txt is what the generator prints from the defaults and imports
// cleanly, and malformed lines are refused one by one.
#include <cstdio>
#include <fstream>
#include <unistd.h>
#include <sstream>

#include "core/param_flash.h"
#include "param_test_util.h"
#include "platform/host_root.h"
#include "test_root.h"

namespace {
struct ParamTextFile : ParamTest {
  std::string dir = test_scratch_dir("params");
  std::string path(const char *name) { return dir + "/" + name; }
  void write_file(const std::string &board_path, const std::string &text) {
    ASSERT_EQ(sys_write_text(board_path.c_str(), text.c_str()), 0);
  }
  std::string read_file(const std::string &board_path) {
    std::ifstream in(HostPath(board_path.c_str()).c_str(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
};

void set_many(void) {
  const char *rows[][2] = {
    {"Video[0].OSD.Message", "The quick brown fox %d %t ^n jumps over the lazy dog, 0123456789 "
                             "0123456789 0123456789 0123456789 0123456789 0123456789 01234567"},
    {"Video[1].BitRate", "1200000"}, {"Capture.Hue", "-20"}, {"Net[1].Mask", "255.255.255.0"},
    {"UDP[0].Addr", "239.0.0.7"}, {"Display.Standard", "720p50"}, {"User[4].Name", "op"},
    {"User[4].Permission", "2"}, {"Encoder[1].ScaleFactor[0]", "0.125"},
    {"Recording.Directory", "My Videos"}, {"DVR_AllowModes", "4000000000"},
    {"Video[0].AspectRatio", "4:3"}, {"WIFI.Password", "with = sign"},
  };
  for (auto &r : rows) ASSERT_EQ(param_set_str(r[0], r[1]), nullptr) << r[0];
}
}  // namespace

TEST_F(ParamTextFile, ExportThenImportIsTheIdentity) {
  set_many();
  ASSERT_EQ(param_export_file(path("out.txt").c_str()), 0);
  std::string text = read_file(path("out.txt"));
  EXPECT_NE(text.find("\r\nVideo[1].BitRate = 1200000\r\n"), std::string::npos);
  EXPECT_EQ(text.find("NetworkMACAddr"), std::string::npos);
  EXPECT_EQ(text.find("DeveloperMode"), std::string::npos);
  EXPECT_EQ(text.find("Reboot"), std::string::npos) << "no virtual rows";
  EXPECT_EQ(text.find("Timestamp"), std::string::npos);

  ParamBlock changed = *block();
  param_take_changes();
  // Importing into the same values changes and marks nothing.
  ASSERT_EQ(param_import_file(path("out.txt").c_str()), 0);
  EXPECT_EQ(memcmp(&changed, block(), sizeof changed), 0);
  EXPECT_EQ(param_pending_changes(), 0u);
  // Into the defaults: every exported value comes back.
  *block() = *param_default_block();
  memcpy(block()->mac_addr, changed.mac_addr, sizeof changed.mac_addr);
  ASSERT_EQ(param_import_file(path("out.txt").c_str()), 0);
  EXPECT_EQ(memcmp(&changed, block(), sizeof changed), 0);
  EXPECT_EQ(param_log_text().find("can't set"), std::string::npos);
}

TEST_F(ParamTextFile, ShippedConfigIsTheGeneratorOutputAndImportsCleanly) {
  std::string shipped_path = M7391_SOURCE_DIR "/www/config.txt";
  std::ifstream in(shipped_path, std::ios::binary);
  ASSERT_TRUE(in.good()) << shipped_path;
  std::stringstream ss;
  ss << in.rdbuf();
  std::string shipped = ss.str();

  FILE *gen = popen(M7391_BINARY_DIR "/tools/param_defaults_txt 2>/dev/null", "r");
  ASSERT_NE(gen, nullptr);
  std::string printed;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, gen)) > 0) printed.append(buf, n);
  ASSERT_EQ(pclose(gen), 0) << "build the param_defaults_txt tool";
  EXPECT_EQ(printed, shipped) << "regenerate www/config.txt with tools/param_defaults_txt";
  EXPECT_EQ(shipped.find("Net[0].Addr"), std::string::npos) << "the network settings are kept";
  EXPECT_EQ(shipped.find("NetworkHostname"), std::string::npos);
  EXPECT_NE(shipped.find("\r\nWIFI.Ssid = 7391\r\n"), std::string::npos);

  // The web root copy imports without a refused line and, over the
  // defaults, changes nothing.
  param_load_defaults();
  ParamBlock before = *block();
  param_take_changes();
  ASSERT_EQ(param_import_file("/usr/html/config.txt"), 0);
  EXPECT_EQ(param_log_text().find("can't set"), std::string::npos);
  EXPECT_EQ(memcmp(&before, block(), sizeof before), 0);
  EXPECT_EQ(param_pending_changes(), 0u);
}

TEST_F(ParamTextFile, MalformedLinesAreRefusedOneByOne) {
  std::string long_value(2000, 'x');
  write_file(path("bad.txt"),
             "Video[0].GOPSize=15\n"
             "# a comment line\n"
             "\n"
             "Video[0].BitRate 4000000\n"
             "1Video[0].Flip = 1\n"
             "Video[0].JPEGQuality = 150\n"
             "NoSuchRow = 3\n"
             "= 5\n"
             "Video[1].OSD.Message = " + long_value + "\n"
             "Display.URL = " + std::string(79, 'u') + "\r\n"
             "Audio.Mute = 2   \t\r\n");
  ParamBlock before = *block();
  ASSERT_EQ(param_import_file(path("bad.txt").c_str()), 0);
  std::string log = param_log_text();
  EXPECT_NE(log.find("can't set '#' to 'comment line' (rc=3)"), std::string::npos) << log;
  EXPECT_NE(log.find("can't set '' to '' (rc=-1)"), std::string::npos);
  EXPECT_NE(log.find("can't set 'Video[0].BitRate' to '000000' (rc=3)"), std::string::npos);
  EXPECT_NE(log.find("can't set '1Video[0].Flip' to '1' (rc=3)"), std::string::npos);
  EXPECT_NE(log.find("can't set 'Video[0].JPEGQuality' to '150' (Unsigned value out of range 150 (2-97))"),
            std::string::npos);
  EXPECT_NE(log.find("can't set 'NoSuchRow' to '3' (No such parameter)"), std::string::npos);
  EXPECT_NE(log.find("can't set '' to '' (rc=0)"), std::string::npos);
  EXPECT_NE(log.find("param_import_file: line longer than"), std::string::npos);
  // Counted: the three set and the seven refused; the blank line is neither.
  FILE *in = sys_fopen(path("bad.txt").c_str(), "r");
  ASSERT_NE(in, nullptr);
  ParamImportCount count = {0, 0};
  param_import_stream(in, &count);
  fclose(in);
  EXPECT_EQ(count.set, 3);
  EXPECT_EQ(count.skipped, 7);
  // Only the three good lines changed anything.
  before.video[0].gop_size = 15;
  memset(before.display.url, 'u', 79);
  before.display.url[79] = 0;
  before.audio.mute = 2;
  EXPECT_EQ(memcmp(&before, block(), sizeof before), 0);
  EXPECT_EQ(param_import_file(path("missing.txt").c_str()), -1);
  EXPECT_EQ(param_import_file(nullptr), -1);
  EXPECT_EQ(param_export_file("/no/such/dir/x.txt"), -1);
}

// A card that fills up during the export: the cut file is not reported saved.
TEST_F(ParamTextFile, ExportToAFullCardFails) {
  std::string full = path("full.txt");
  ASSERT_EQ(symlink("/dev/full", HostPath(full.c_str()).c_str()), 0);
  EXPECT_EQ(param_export_file(full.c_str()), -1);
}
