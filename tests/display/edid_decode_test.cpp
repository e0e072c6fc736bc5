// The EDID decoder against Debian's edid-decode on real monitors' EDIDs and
// on generated ones, the mode table's rules, and hostile EDIDs that claim
// offsets and lengths beyond the 256 bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "display/edid.h"
#include "display/screens/menu_screens.h"

namespace {

typedef std::tuple<int, int, int, int> Mode;  // width, height, interlaced, rate

std::string edid_dir() { return std::string(M7391_SOURCE_DIR) + "/tests/display/edid/"; }

std::vector<uint8_t> read_hex(const std::string &path) {
  std::vector<uint8_t> v;
  FILE *f = fopen(path.c_str(), "r");
  unsigned b;
  while (f && fscanf(f, "%x", &b) == 1) v.push_back(uint8_t(b));
  if (f) fclose(f);
  v.resize(EDID_SIZE, 0);
  return v;
}

std::string write_hex(const std::vector<uint8_t> &e, int blocks) {
  static int n;
  std::string path = "/tmp/edid_test." + std::to_string(getpid()) + "." + std::to_string(n++);
  FILE *f = fopen(path.c_str(), "w");
  for (int i = 0; i < 128 * blocks; i++) fprintf(f, "%02x%c", e[i], i % 16 == 15 ? '\n' : ' ');
  fclose(f);
  return path;
}

std::string run(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  char buf[4096];
  size_t n;
  while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (p) pclose(p);
  return out;
}

// The video modes edid-decode lists, as our table keeps them: interlaced
// detailed timings at field height, VICs above 64 left out.
std::vector<std::tuple<int, int, int, double>> tool_modes(const std::string &text) {
  std::vector<std::tuple<int, int, int, double>> modes;
  std::regex line(R"(^\s+(DMT 0x[0-9a-f]+|IBM|Apple|GTF|CVT|DTD +\d+|VIC +\d+)\s*:\s+(\d+)x(\d+)(i?)\s+([\d.]+) Hz)");
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(at, end - at);
    at = end + 1;
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    std::string kind = m[1];
    int w = std::stoi(m[2]), h = std::stoi(m[3]), il = m[4] == "i";
    if (kind.rfind("VIC", 0) == 0 && std::stoi(kind.substr(3)) > 64) continue;
    if (kind.rfind("DTD", 0) == 0 && il) h /= 2;
    modes.emplace_back(w, h, il, std::stod(m[5]));
  }
  return modes;
}

std::set<Mode> table_modes() {
  std::set<Mode> s;
  for (const EdidMode &m : edid_table()->modes)
    if (m.width) s.insert(Mode(m.width, m.height, m.flags & 1, m.rate));
  return s;
}

std::string decode_text(const std::vector<uint8_t> &e) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  edid_set_output(f);
  edid_decode(e.data());
  edid_set_output(nullptr);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

// Our table and edid-decode's list are the same modes (rates within 1 Hz:
// established timings carry their nominal rate), and vendor and checksum
// verdicts agree.
void expect_agrees(const std::vector<uint8_t> &e, int blocks, const char *what) {
  SCOPED_TRACE(what);
  std::string path = write_hex(e, blocks);
  std::string tool = run("edid-decode " + path + " 2>&1");
  unlink(path.c_str());
  std::string ours = decode_text(e);
  auto theirs = tool_modes(tool);
  ASSERT_FALSE(theirs.empty()) << tool;
  std::set<Mode> mine = table_modes();
  for (auto &t : theirs) {
    bool found = false;
    for (const Mode &m : mine)
      found |= std::get<0>(m) == std::get<0>(t) && std::get<1>(m) == std::get<1>(t) &&
               std::get<2>(m) == std::get<2>(t) && std::fabs(std::get<3>(m) - std::get<3>(t)) < 1;
    EXPECT_TRUE(found) << "missing " << std::get<0>(t) << "x" << std::get<1>(t)
                       << (std::get<2>(t) ? "i" : "p") << std::get<3>(t);
  }
  for (const Mode &m : mine) {
    bool found = false;
    for (auto &t : theirs)
      found |= std::get<0>(m) == std::get<0>(t) && std::get<1>(m) == std::get<1>(t) &&
               std::get<2>(m) == std::get<2>(t) && std::fabs(std::get<3>(m) - std::get<3>(t)) < 1;
    EXPECT_TRUE(found) << "extra " << std::get<0>(m) << "x" << std::get<1>(m) << "@"
                       << std::get<3>(m);
  }
  // The diagnostics screen lists the same modes.
  char rows[EDID_MODES][16];
  int n = edid_mode_rows(rows, EDID_MODES);
  int used = 0;
  for (const EdidMode &e : edid_table()->modes) used += e.width != 0;
  EXPECT_EQ(n, used);
  for (int i = 0; i < n; i++) {
    int w, h, rate;
    char scan;
    ASSERT_EQ(4, sscanf(rows[i], "%dx%d%c%d", &w, &h, &scan, &rate)) << rows[i];
    bool found = false;
    for (auto &t : theirs)
      found |= std::get<0>(t) == w && std::get<1>(t) == h && std::get<2>(t) == (scan == 'i') &&
               std::fabs(std::get<3>(t) - rate) < 1;
    EXPECT_TRUE(found) << rows[i];
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_search(tool, m, std::regex("Manufacturer: (\\w{3})")));
  EXPECT_NE(ours.find("eisa id: " + m[1].str() + "\n"), std::string::npos);
  bool tool_bad = tool.find("(should be") != std::string::npos;
  EXPECT_EQ(tool_bad, ours.find("incorrect, should be") != std::string::npos);
  EXPECT_EQ(edid_table()->valid, 1);
}

// ---- generated EDIDs ----

void put_dtd(uint8_t *p, int clock_khz, int hact, int hblank, int vact, int vblank, int hso,
             int hsw, int vso, int vsw, bool interlaced) {
  int c = clock_khz / 10;
  p[0] = uint8_t(c);
  p[1] = uint8_t(c >> 8);
  p[2] = uint8_t(hact);
  p[3] = uint8_t(hblank);
  p[4] = uint8_t((hact >> 8) << 4 | (hblank >> 8));
  p[5] = uint8_t(vact);
  p[6] = uint8_t(vblank);
  p[7] = uint8_t((vact >> 8) << 4 | (vblank >> 8));
  p[8] = uint8_t(hso);
  p[9] = uint8_t(hsw);
  p[10] = uint8_t((vso & 15) << 4 | (vsw & 15));
  p[11] = uint8_t((hso >> 8) << 6 | (hsw >> 8) << 4 | (vso >> 4) << 2 | (vsw >> 4));
  p[12] = 0x10;  // 528 x 297 mm
  p[13] = 0x29;
  p[14] = 0x21;
  p[17] = uint8_t((interlaced ? 0x80 : 0) | 0x1E);
}

void put_text(uint8_t *p, uint8_t tag, const char *text) {
  p[3] = tag;
  size_t n = strlen(text);
  memcpy(p + 5, text, n);
  if (n < 13) {
    p[5 + n] = '\n';
    for (size_t i = n + 1; i < 13; i++) p[5 + i] = ' ';
  }
}

void fix_checksum(std::vector<uint8_t> &e, int block) {
  uint8_t sum = 0;
  for (int i = 0; i < 127; i++) sum = uint8_t(sum + e[block * 128 + i]);
  e[block * 128 + 127] = uint8_t(-sum);
}

// A base block: 1920x1080p60 preferred (unless dtd1 says otherwise), 640x480
// and 800x600 established, 1280x1024 standard, name and range limits.
std::vector<uint8_t> make_base(int extensions) {
  std::vector<uint8_t> e(EDID_SIZE, 0);
  const uint8_t head[] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x52, 0x74, 0x34, 0x12,
                          1, 0, 0, 0, 1, 30, 1, 3, 0x80, 53, 30, 0x78, 0x0E,
                          0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54};
  memcpy(e.data(), head, sizeof head);
  e[35] = 0x21;  // 640x480@60, 800x600@60
  e[36] = 0x00;
  for (int i = 38; i < 54; i++) e[i] = 1;
  e[38] = 0x81;  // 1280x1024@60
  e[39] = 0x80;
  put_dtd(&e[54], 148500, 1920, 280, 1080, 45, 88, 44, 4, 5, false);
  put_text(&e[72], 0xFC, "TEST MONITOR");
  const uint8_t range[] = {0, 0, 0, 0xFD, 0, 24, 76, 15, 81, 30, 0, 0x0A, 0x20, 0x20, 0x20,
                           0x20, 0x20, 0x20};
  memcpy(&e[90], range, sizeof range);
  put_text(&e[108], 0xFE, "GENERATED");
  e[126] = uint8_t(extensions);
  fix_checksum(e, 0);
  return e;
}

// A CEA-861 extension with the given VICs and detailed timings.
void add_cea(std::vector<uint8_t> &e, const std::vector<int> &vics, int ndtd,
             const uint8_t *dtds) {
  uint8_t *x = &e[128];
  x[0] = 2;
  x[1] = 3;
  x[3] = 0x40;
  size_t at = 4;
  for (size_t i = 0; i < vics.size(); i += 31) {
    size_t n = std::min<size_t>(31, vics.size() - i);
    x[at++] = uint8_t(2 << 5 | n);
    for (size_t k = 0; k < n; k++) x[at++] = uint8_t(vics[i + k]);
  }
  const uint8_t vcdb[] = {0xE2, 0x00, 0x40};
  memcpy(x + at, vcdb, sizeof vcdb);
  at += sizeof vcdb;
  x[2] = uint8_t(at);
  if (ndtd) memcpy(x + at, dtds, 18 * (size_t)ndtd);
  fix_checksum(e, 1);
}

// Each VIC of the mode table on its own, so that no other VIC of the same
// size and rate hides a wrong row.
TEST(EdidDecode, EveryVicAloneAgreesWithEdidDecode) {
  for (int v = 1; v <= 64; v++) {
    // The table lists these interlaced rows 720 wide, where edid-decode
    // gives the pixel-repeated 1440.
    if (v == 44 || v == 45 || v == 54 || v == 55 || v == 58 || v == 59) continue;
    std::vector<uint8_t> e = make_base(1);
    add_cea(e, {v}, 0, nullptr);
    expect_agrees(e, 2, ("VIC " + std::to_string(v)).c_str());
  }
}

TEST(EdidDecode, RealAndGeneratedMonitorsAgreeWithEdidDecode) {
  for (const char *name : {"samsung_syncmaster.hex", "sony_hdmi_tv.hex", "lg_tv.hex"}) {
    std::vector<uint8_t> e = read_hex(edid_dir() + name);
    expect_agrees(e, e[126] ? 2 : 1, name);
  }
  // 1080i60 as a detailed timing in the extension, beside the VICs.
  std::vector<uint8_t> e = make_base(1);
  uint8_t dtd[18] = {};
  put_dtd(dtd, 74250, 1920, 280, 540, 22, 88, 44, 2, 5, true);
  add_cea(e, {16, 4, 5, 31, 19, 20, 2, 17, 95}, 1, dtd);
  expect_agrees(e, 2, "1080i detailed timing");
  EXPECT_GE(edid_mode_lookup(1920, 540, 60, 1), 0);
  EXPECT_LT(edid_mode_lookup(1920, 1080, 60, 0), edid_mode_lookup(1920, 540, 60, 1));
  std::string path = write_hex(e, 2);
  std::string check = run("edid-decode --check " + path);
  EXPECT_NE(check.find("EDID conformity: PASS"), std::string::npos) << check;
  unlink(path.c_str());
}

TEST(EdidDecode, PreferredFirstFullTableAndLookups) {
  // The preferred detailed timing is entry 0 although the established and
  // standard timings were added before it.
  std::vector<uint8_t> e = make_base(0);
  edid_decode(e.data());
  EXPECT_EQ(edid_mode_lookup(1920, 1080, 60, 0), 0);
  EXPECT_GE(edid_mode_lookup(640, 480, 60, 0), 1);
  EXPECT_GE(edid_mode_lookup(1280, 1024, 60, 0), 1);

  // Sixty-four distinct modes fill the table; the rest are dropped.
  e = make_base(1);
  e[35] = 0xFF;  // every established timing
  e[36] = 0xEF;
  e[37] = 0x80;
  const uint8_t std_timings[16] = {0x81, 0x80, 0xA9, 0x40, 0xB3, 0x00, 0x95, 0x00,
                                   0x81, 0x00, 0x71, 0x4F, 0x81, 0x40, 0xD1, 0x00};
  memcpy(&e[38], std_timings, sizeof std_timings);
  memset(&e[108], 0, 18);
  put_dtd(&e[108], 85500, 1366, 426, 768, 30, 70, 143, 3, 3, false);
  fix_checksum(e, 0);
  std::vector<int> vics;
  for (int v = 1; v <= 64; v++) vics.push_back(v);
  add_cea(e, vics, 0, nullptr);
  edid_decode(e.data());
  int used = 0;
  for (const EdidMode &m : edid_table()->modes) used += m.width != 0;
  EXPECT_EQ(used, EDID_MODES);
  EXPECT_EQ(edid_mode_lookup(1920, 1080, 100, 0), -1);  // VIC 64, the last one

  // The display's questions, on a TV without 1080p30.
  e = read_hex(edid_dir() + "sony_hdmi_tv.hex");
  edid_decode(e.data());
  int idx = edid_lookup_rate(1280, 720, 30000, 0);
  ASSERT_GE(idx, 0);
  EXPECT_EQ(edid_table()->modes[idx].rate, 60);
  EXPECT_EQ(edid_lookup_rate(1920, 1080, 30000, 0), -1);
  EXPECT_GE(edid_lookup_rate(1920, 1080, 60000, 0), 0);
  EXPECT_GE(edid_lookup_rate(1920, 540, 60000, 1), 0);
  EXPECT_EQ(edid_mode_lookup(0, 0, 0, -1), 0);
}

// A page of 256 bytes whose next page is not mapped: a read past the EDID
// faults.
struct GuardedEdid {
  uint8_t *page = nullptr;
  long psz = sysconf(_SC_PAGESIZE);
  GuardedEdid() {
    page = (uint8_t *)mmap(nullptr, (size_t)psz * 2, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mprotect(page + psz, (size_t)psz, PROT_NONE);
  }
  ~GuardedEdid() { munmap(page, (size_t)psz * 2); }
  uint8_t *load(const std::vector<uint8_t> &e) {
    uint8_t *p = page + psz - EDID_SIZE;
    memcpy(p, e.data(), EDID_SIZE);
    return p;
  }
};

TEST(EdidDecode, HostileExtensionsStayInsideTheEdid) {
  GuardedEdid g;
  FILE *null = fopen("/dev/null", "w");
  edid_set_output(null);
  std::vector<uint8_t> e = make_base(1);
  uint8_t *x = &e[128];

  // Detailed timings said to start past byte 127 of the extension.
  x[0] = 2;
  x[2] = 0xF0;
  x[3] = 0x0F;
  memset(x + 4, 0x5F, 124);  // every "data block" claims 31 bytes
  edid_decode(g.load(e));
  // A VSDB running into the detailed timings, the first of which has a
  // clock and no size (a zero total).
  memset(x + 4, 0, 124);
  x[2] = 0x20;
  x[4] = 0x7F;  // vendor block of 31 bytes running into the DTDs
  x[0x20] = 0x10;  // clock set, every size 0
  edid_decode(g.load(e));
  for (const EdidMode &m : edid_table()->modes) EXPECT_TRUE(m.width == 0 || m.rate != 0);
  // VICs 0, 65 and 127 add nothing; 1 adds 640x480.
  memset(x + 4, 0, 124);
  x[2] = 9;
  const uint8_t vdb[] = {0x44, 0, 65, 127, 0x81};
  memcpy(x + 4, vdb, sizeof vdb);
  edid_decode(g.load(e));
  EXPECT_EQ(edid_mode_lookup(0, 0, 0, 1), -1);
  int n = 0;
  for (const EdidMode &m : edid_table()->modes) n += m.width != 0;
  EXPECT_EQ(n, 4);  // 640x480, 800x600, 1280x1024 and the preferred 1080p
  // Another extension kind is not read as CEA-861.
  x[0] = 0xF0;
  edid_decode(g.load(e));
  EXPECT_EQ(edid_mode_lookup(640, 480, 60, 0) >= 0, true);
  // No header: decoded all the same, marked invalid.
  e[1] = 0;
  edid_decode(g.load(e));
  EXPECT_EQ(edid_table()->valid, 0);
  EXPECT_EQ(edid_mode_lookup(1920, 1080, 60, 0), 0);
  edid_set_output(nullptr);
  fclose(null);
}

}  // namespace
