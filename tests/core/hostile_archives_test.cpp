// Archives from a stranger's disk or upload (made by tests/core/
// hostile_archives.py with tar, tarfile, zip and zipfile): a Wi-Fi tools
// archive or a web bundle that names a place outside /Wifi or the web root,
// carries a link or a device, or unpacks past what it states is refused
// whole, and nothing is written outside, nor anything changed inside.
#include <gtest/gtest.h>
#include <algorithm>
#include <cerrno>
#include <functional>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "core/firmware.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param_access.h"
#include "platform/host_root.h"
#include "test_root.h"

namespace {

std::vector<uint8_t> flash;

int mem_read(void *buf, uint32_t off, size_t len) {
  if ((uint64_t)off + len > flash.size()) return -1;
  memcpy(buf, flash.data() + off, len);
  return 0;
}
int mem_write(const void *buf, uint32_t off, size_t len) {
  if ((uint64_t)off + len > flash.size()) return -1;
  memcpy(flash.data() + off, buf, len);
  return 0;
}
int mem_erase(uint32_t off) {
  memset(flash.data() + (off & ~(MTD_ERASE_BLOCK - 1)), 0xFF, MTD_ERASE_BLOCK);
  return 0;
}
const FirmwareFlash kMemFlash = {mem_read, mem_write, mem_erase};

// A flash whose read at one offset of the Wi-Fi region fails.
uint32_t g_fail_at;
int failing_read(void *buf, uint32_t off, size_t len) {
  return off == MTD_WIFI_ARCHIVE_OFF + g_fail_at ? -1 : mem_read(buf, off, len);
}

std::vector<uint8_t> read_file(const std::string &path) {
  std::vector<uint8_t> v;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  fclose(f);
  return v;
}

bool exists(const std::string &host_path) {
  struct stat st;
  return lstat(host_path.c_str(), &st) == 0;
}

// Every place the archives aim at, in the root.
void expect_no_escape(const std::string &what) {
  const std::string &r = test_root();
  for (const char *p : {"/etc/escape.conf", "/usr/html/escape.htm", "/escape.htm", "/etc/escape.htm",
                        "/usr/escape.htm", "/Wifi/etc/escape.conf", "/Wifi/passwd", "/Wifi/null",
                        "/Wifi/big", "/Wifi/first.sh"})
    EXPECT_FALSE(exists(r + p)) << what << " wrote " << p;
}

// The web root's names and sizes, to see that a refused bundle changed nothing.
std::string listing(const std::string &dir) {
  std::string cmd = "cd '" + dir + "' && find . -printf '%p %y %s\\n' | sort";
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  char line[512];
  while (p && fgets(line, sizeof line, p)) out += line;
  if (p) pclose(p);
  return out;
}


// A zip written field by field, for what zip and zipfile never write: odd
// names, a Windows zip's NTFS times and no Unix modes, exact sizes.
struct ZipEntry {
  std::string name, data;
  bool deflate;
  uint32_t mode;        // the Unix mode in the external attributes; 0: none
  uint16_t flags;
  std::string extra;    // in both headers
};

void put16(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back((uint8_t)x);
  v.push_back((uint8_t)(x >> 8));
}
void put32(std::vector<uint8_t> &v, uint32_t x) {
  put16(v, x);
  put16(v, x >> 16);
}
void put(std::vector<uint8_t> &v, const std::string &s) { v.insert(v.end(), s.begin(), s.end()); }
uint32_t get32(const std::vector<uint8_t> &v, size_t at) {
  return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | (uint32_t)v[at + 3] << 24;
}
void set16(std::vector<uint8_t> &v, size_t at, uint32_t x) {
  v[at] = (uint8_t)x;
  v[at + 1] = (uint8_t)(x >> 8);
}
void set32(std::vector<uint8_t> &v, size_t at, uint32_t x) {
  set16(v, at, x);
  set16(v, at + 2, x >> 16);
}

// Raw deflate, all of the data out before an empty last block: dropping
// the stream's last two bytes leaves every byte but no end.
std::string deflated(const std::string &data) {
  z_stream z;
  memset(&z, 0, sizeof z);
  deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = (Bytef *)data.data();
  z.avail_in = (uInt)data.size();
  z.next_out = (Bytef *)&out[0];
  z.avail_out = (uInt)out.size();
  deflate(&z, Z_SYNC_FLUSH);
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// drop: bytes left off the end of each deflate stream; remark: each
// entry's comment in the central directory.
std::vector<uint8_t> zip_make(const std::vector<ZipEntry> &entries, const std::string &comment = "",
                              size_t drop = 0, const std::string &remark = "") {
  std::vector<uint8_t> zip, central;
  for (const ZipEntry &e : entries) {
    std::string body = e.deflate ? deflated(e.data) : e.data;
    if (e.deflate) body.resize(body.size() - drop);
    uint32_t crc = crc32(0L, (const Bytef *)e.data.data(), (uInt)e.data.size());
    uint32_t local = (uint32_t)zip.size();
    for (std::vector<uint8_t> *v : {&zip, &central}) {
      bool c = v == &central;
      put32(*v, c ? 0x02014b50 : 0x04034b50);
      if (c) put16(*v, 3 << 8 | 20);
      put16(*v, 20);
      put16(*v, e.flags);
      put16(*v, e.deflate ? 8 : 0);
      put32(*v, 0x21 << 16);   // time and date
      put32(*v, crc);
      put32(*v, (uint32_t)body.size());
      put32(*v, (uint32_t)e.data.size());
      put16(*v, (uint32_t)e.name.size());
      put16(*v, (uint32_t)e.extra.size());
      if (c) {
        put16(*v, (uint32_t)remark.size());
        put32(*v, 0);   // disk, internal attributes
        put32(*v, e.mode << 16);
        put32(*v, local);
      }
      put(*v, e.name);
      put(*v, e.extra);
      if (c) put(*v, remark);
    }
    put(zip, body);
  }
  uint32_t cd = (uint32_t)zip.size();
  zip.insert(zip.end(), central.begin(), central.end());
  put32(zip, 0x06054b50);
  put32(zip, 0);
  put16(zip, (uint32_t)entries.size());
  put16(zip, (uint32_t)entries.size());
  put32(zip, (uint32_t)central.size());
  put32(zip, cd);
  put16(zip, (uint32_t)comment.size());
  put(zip, comment);
  return zip;
}

ZipEntry page(const std::string &name, const std::string &data = "<p>page</p>\n") {
  return {name, data, false, 0100644, 0, ""};
}

int check(const std::vector<uint8_t> &zip) { return customzip_check(zip.data(), (uint32_t)zip.size()); }
int save(const std::vector<uint8_t> &zip) {
  std::vector<uint8_t> block(4);
  set32(block, 0, (uint32_t)zip.size());
  block.insert(block.end(), zip.begin(), zip.end());
  return customzip_save(block.data(), (uint32_t)block.size());
}
ZipEntry folder(const std::string &name) { return {name, "", false, 040755, 0, ""}; }

// A volume with room for g_room more bytes, whose writes take 1000 bytes
// at most: a write falls short, and once the room is used up it fails.
int64_t g_room;
int cramped(int, int writing, size_t *n) {
  if (!writing || !n) return 0;
  if (g_room <= 0) return ENOSPC;
  *n = std::min<size_t>({*n, 1000, (size_t)g_room});
  g_room -= (int64_t)*n;
  return 0;
}

// A flash that loses power after g_flash_ops more erases and writes.
int g_flash_ops;
int cut_write(const void *buf, uint32_t off, size_t len) {
  return g_flash_ops-- > 0 ? mem_write(buf, off, len) : -1;
}
int cut_erase(uint32_t off) { return g_flash_ops-- > 0 ? mem_erase(off) : -1; }

void put_file(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  fputs(text.c_str(), f);
  fclose(f);
}

std::string log_text(void) {
  char buf[8192];
  return std::string(buf, log_read(buf, sizeof buf));
}

struct HostileArchives : ::testing::Test {
  static std::string dir;   // host path of the made archives
  static void SetUpTestSuite() {
    dir = test_root() + test_scratch_dir("hostile");
    std::string cmd = "python3 " M7391_SOURCE_DIR "/tests/core/hostile_archives.py " + dir;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  void SetUp() override {
    flash.assign(MTD_SIZE, 0xFF);
    firmware_flash = &kMemFlash;
  }
  int open_made(const char *name) { return open((dir + "/" + name).c_str(), O_RDONLY); }
};
std::string HostileArchives::dir;

}  // namespace

TEST_F(HostileArchives, WifiArchiveFromDiskStaysInWifi) {
  RootKeep keep({"/Wifi", "/etc", "/usr/html"});
  const std::string &r = test_root();
  mode_t old_mask = umask(022);
  int fd = open_made("wifi_good.tar");
  uint64_t size = 0;
  uint8_t *good = wifi_archive_read(fd, &size);
  close(fd);
  ASSERT_NE(good, nullptr);
  EXPECT_EQ(wifi_archive_unpack(good, size), 1);
  // Its end block may be the last bytes there are.
  uint64_t last = 0;
  while (last + 512 <= size && good[last])
    last += 512 + (strtoull((const char *)good + last + 124, nullptr, 8) + 511) / 512 * 512;
  EXPECT_EQ(wifi_archive_unpack(good, last + 512), 1);
  free(good);
  // Each file byte for byte, without its set-user-ID bit.
  std::vector<uint8_t> tar = read_file(dir + "/wifi_good.tar");
  uint32_t tool = 0;   // the header of Wifi/bin/tool
  for (uint32_t at = 0; at + 512 <= tar.size(); at += 512)
    if (strcmp((const char *)&tar[at], "Wifi/bin/tool") == 0) tool = at;
  ASSERT_NE(tool, 0u);
  const std::vector<uint8_t> tool_data(tar.begin() + tool + 512, tar.begin() + tool + 512 + 40000);
  EXPECT_EQ(read_file(r + "/Wifi/bin/tool"), tool_data);
  EXPECT_EQ(read_file(r + "/Wifi/wifi_configure.sh").size(), 25u);
  // A mode field filled to its last byte, as some tar writers leave it.
  std::vector<uint8_t> filled = tar;
  uint8_t *h = &filled[tool];
  memcpy(h + 100, "00000755", 8);
  memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (int i = 0; i < 512; i++) sum += h[i];
  snprintf((char *)h + 148, 8, "%06o", sum);
  ASSERT_TRUE(tar_header_sum_ok(h));
  ASSERT_EQ(unlink((r + "/Wifi/bin/tool").c_str()), 0);
  EXPECT_EQ(wifi_archive_unpack(filled.data(), filled.size()), 1);
  for (const char *p : {"/Wifi/bin/tool", "/Wifi/wifi_configure.sh"}) {
    struct stat st;
    ASSERT_EQ(stat((r + p).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << p;
  }

  for (const char *name : {"wifi_outside.tar", "wifi_dotdot.tar", "wifi_abs.tar", "wifi_symlink.tar",
                           "wifi_hardlink.tar", "wifi_device.tar", "wifi_cut.tar", "wifi_nofolder.tar"}) {
    fd = open_made(name);
    log_reset();
    EXPECT_EQ(wifi_archive_read(fd, &size), nullptr) << name << " was taken";
    close(fd);
    char buf[4096];
    std::string log(buf, log_read(buf, sizeof buf));
    EXPECT_NE(log.find("wifi_archive_read: the archive is refused"), std::string::npos) << name;
    // The walk itself, given the archive unchecked, stops at the first
    // entry that is not a plain file or folder under Wifi/, and says so.
    std::vector<uint8_t> raw = read_file(dir + "/" + name);
    EXPECT_EQ(wifi_archive_unpack(raw.data(), raw.size()), 0) << name;
    expect_no_escape(name);
  }
  EXPECT_EQ(read_file(r + "/Wifi/bin/tool"), tool_data);
  // Writes that fall short are carried on to the end; a disk that fills
  // up part way through a file ends the unpack, and it is no success.
  RootIoFault was = root_set_io_fault(cramped);
  for (int64_t room : {INT64_MAX, (int64_t)20000}) {
    g_room = room;
    firmware_set_wifi_tools_present(1);
    log_reset();
    EXPECT_EQ(wifi_archive_unpack(tar.data(), tar.size()), room > 20000) << room;
    EXPECT_EQ(wifi_tools_present(), room > 20000) << room;
    if (room > 20000) EXPECT_EQ(read_file(r + "/Wifi/bin/tool"), tool_data);
    else EXPECT_NE(log_text().find("error writing tar data: /Wifi/bin/tool: No space left"), std::string::npos);
  }
  root_set_io_fault(was);
  // A file that cannot be created ends the unpack, and it is no success.
  ASSERT_EQ(unlink((r + "/Wifi/bin/tool").c_str()), 0);
  ASSERT_EQ(mkdir((r + "/Wifi/bin/tool").c_str(), 0755), 0);
  firmware_set_wifi_tools_present(1);
  EXPECT_EQ(wifi_archive_unpack(tar.data(), tar.size()), 0);
  EXPECT_EQ(wifi_tools_present(), 0);
  ASSERT_EQ(rmdir((r + "/Wifi/bin/tool").c_str()), 0);

  // The same archive in the flash region: a read that fails part way, in
  // a header or in a file's data, is no success.
  memcpy(flash.data() + MTD_WIFI_ARCHIVE_OFF, tar.data(), tar.size());
  EXPECT_EQ(wifi_archive_extract(), 1);
  const FirmwareFlash failing = {failing_read, mem_write, mem_erase};
  firmware_flash = &failing;
  for (uint32_t at : {tool, tool + 512}) {
    g_fail_at = at;
    log_reset();
    EXPECT_EQ(wifi_archive_extract(), 0) << at;
    char buf[4096];
    std::string log(buf, log_read(buf, sizeof buf));
    EXPECT_NE(log.find("error reading the archive: "), std::string::npos) << log;
  }
  firmware_flash = &kMemFlash;

  // Not a regular file, or past the region's size: refused before reading.
  fd = open(r.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(wifi_archive_read(fd, &size), nullptr);
  close(fd);
  std::string big = dir + "/big.tar";
  fd = open(big.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(ftruncate(fd, WIFI_ARCHIVE_MAX + 1), 0);
  log_reset();
  EXPECT_EQ(wifi_archive_read(fd, &size), nullptr);
  EXPECT_EQ(size, (uint64_t)WIFI_ARCHIVE_MAX + 1);
  char buf[4096];
  std::string log(buf, log_read(buf, sizeof buf));
  EXPECT_NE(log.find("wifi_archive_read: 7864321 bytes is too large"), std::string::npos) << log;
  close(fd);
  // As large as the region, the rest zeros: taken.
  fd = open(big.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(write(fd, tar.data(), tar.size()), (ssize_t)tar.size());
  ASSERT_EQ(ftruncate(fd, WIFI_ARCHIVE_MAX), 0);
  good = wifi_archive_read(fd, &size);
  EXPECT_NE(good, nullptr);
  EXPECT_EQ(size, (uint64_t)WIFI_ARCHIVE_MAX);
  free(good);
  close(fd);
  umask(old_mask);
}

TEST_F(HostileArchives, BundleIsReadBeforeUnzipSeesIt) {
  RootKeep keep({"/usr/html", "/etc"});
  const std::string html = test_root() + "/usr/html";
  std::vector<uint8_t> good = read_file(dir + "/zip_good.zip");
  ASSERT_EQ(customzip_check(good.data(), (uint32_t)good.size()), 0);
  std::vector<uint8_t> reversed = read_file(dir + "/zip_reversed.zip");
  EXPECT_EQ(customzip_check(reversed.data(), (uint32_t)reversed.size()), 0);
  int fd = open_made("zip_good.zip");
  EXPECT_EQ(customzip_save_file(fd), 0);
  close(fd);
  EXPECT_EQ(read_file(html + "/img/dot.txt").size(), 4u);
  EXPECT_EQ(customzip_size(), (int)good.size());
  // An empty zip is its end record alone; one byte less is no zip.
  uint8_t empty[22] = {'P', 'K', 5, 6};
  EXPECT_EQ(customzip_check(empty, sizeof empty), 0);
  EXPECT_EQ(customzip_check(empty, sizeof empty - 1), -1);
  // An end record that speaks of other disks (in either byte of their
  // numbers), of entries elsewhere or of a central directory not right
  // before it.
  size_t end = good.size() - 22;
  for (size_t at : {end + 4, end + 5, end + 6, end + 7, end + 8, end + 16}) {
    std::vector<uint8_t> odd = good;
    odd[at]++;
    EXPECT_EQ(customzip_check(odd.data(), (uint32_t)odd.size()), -1) << at - end;
  }
  // A compression unzip knows but we do not (bzip2), over deflated data.
  std::vector<uint8_t> bz = good;
  uint32_t cd = bz[end + 16] | bz[end + 17] << 8 | bz[end + 18] << 16 | (uint32_t)bz[end + 19] << 24;
  uint32_t local = bz[cd + 42] | bz[cd + 43] << 8 | bz[cd + 44] << 16 | (uint32_t)bz[cd + 45] << 24;
  ASSERT_EQ(bz[cd + 10], 8);
  bz[cd + 10] = bz[local + 8] = 12;
  EXPECT_EQ(customzip_check(bz.data(), (uint32_t)bz.size()), -1);
  // A deflated entry whose stream ends well but whose CRC is not its data's.
  std::vector<uint8_t> crc = good;
  crc[cd + 16] ^= 1;
  EXPECT_EQ(customzip_check(crc.data(), (uint32_t)crc.size()), -1);
  // The whole zip is needed: any cut loses the end record or an entry.
  for (size_t cut : {good.size() - 1, good.size() - 22, good.size() / 2, (size_t)30})
    EXPECT_EQ(customzip_check(good.data(), (uint32_t)cut), -1) << cut;

  std::string before = listing(html);
  std::vector<uint8_t> stored(flash.begin() + MTD_WEBBUNDLE_OFF, flash.end());
  for (const char *name : {"zip_dotdot.zip", "zip_abs.zip", "zip_backslash.zip", "zip_symlink.zip",
                           "zip_budget.zip", "zip_sizelie.zip", "zip_overlap.zip", "zip_badcrc.zip",
                           "zip_encrypted.zip", "zip_hidden.zip", "zip_unicode.zip", "zip_localsize.zip"}) {
    std::vector<uint8_t> zip = read_file(dir + "/" + name);
    ASSERT_FALSE(zip.empty()) << name;
    EXPECT_EQ(customzip_check(zip.data(), (uint32_t)zip.size()), -1) << name << " was taken";
    fd = open_made(name);
    EXPECT_EQ(customzip_save_file(fd), 3) << name;
    close(fd);
    std::vector<uint8_t> block(4 + zip.size());
    uint32_t len = (uint32_t)zip.size();
    memcpy(block.data(), &len, 4);
    memcpy(block.data() + 4, zip.data(), zip.size());
    EXPECT_EQ(customzip_save(block.data(), (uint32_t)block.size()), -1) << name;
    EXPECT_EQ(listing(html), before) << name << " changed the web root";
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), flash.begin() + MTD_WEBBUNDLE_OFF))
        << name << " changed the stored bundle";
    expect_no_escape(name);
  }
  EXPECT_EQ(customzip_size(), (int)good.size());

  // A hostile bundle already in flash is not unpacked at start either.
  std::vector<uint8_t> link = read_file(dir + "/zip_symlink.zip");
  uint32_t len = (uint32_t)link.size();
  memcpy(flash.data() + MTD_WEBBUNDLE_OFF, &len, 4);
  memcpy(flash.data() + MTD_WEBBUNDLE_OFF + 4, link.data(), link.size());
  EXPECT_EQ(customzip_load(), -1);
  EXPECT_FALSE(exists(html + "/link.htm"));
  customzip_clear();
}

// The box writes the checked pages, the bundle's listing and reads the
// settings file through no link planted in the web root.
TEST_F(HostileArchives, BundleIsWrittenThroughNoLink) {
  RootKeep keep({"/usr/html", "/etc"});
  const std::string r = test_root(), html = r + "/usr/html";
  mkdir((r + "/etc").c_str(), 0755);
  FILE *f = fopen((r + "/etc/victim").c_str(), "w");
  fputs("Volume=9\n", f);
  fclose(f);
  for (const char *name : {"/customzip.txt", "/bundle_test.htm", "/config.txt"}) {
    unlink((html + name).c_str());
    ASSERT_EQ(symlink("../../etc/victim", (html + name).c_str()), 0) << name;
  }
  ASSERT_EQ(symlink("../../etc", (html + "/img").c_str()), 0);
  EXPECT_EQ(param_import_file("/usr/html/config.txt"), -1);
  EXPECT_EQ(param_import_file("/usr/html"), -1);
  std::vector<uint8_t> zip = zip_make({page("bundle_test.htm", "<p>7391</p>\n"), page("img/dot.txt", "dot\n"),
                                       page("new/deep/x.htm")});
  std::vector<uint8_t> block = {(uint8_t)zip.size(), (uint8_t)(zip.size() >> 8), 0, 0};
  block.insert(block.end(), zip.begin(), zip.end());
  EXPECT_EQ(customzip_save(block.data(), (uint32_t)block.size()), 0);
  std::vector<uint8_t> victim = read_file(r + "/etc/victim");
  EXPECT_EQ(std::string(victim.begin(), victim.end()), "Volume=9\n");
  EXPECT_FALSE(exists(r + "/etc/dot.txt"));
  std::vector<uint8_t> got = read_file(html + "/bundle_test.htm"), listing = read_file(html + "/customzip.txt");
  EXPECT_EQ(std::string(got.begin(), got.end()), "<p>7391</p>\n");
  EXPECT_EQ(read_file(html + "/img/dot.txt").size(), 4u);
  EXPECT_EQ(read_file(html + "/new/deep/x.htm").size(), 12u);
  // As unzip -l lists it.
  EXPECT_NE(std::string(listing.begin(), listing.end())
                .find("---\n       12  1980-01-01 00:00   bundle_test.htm\n        4  1980-01-01 00:00   img/dot.txt\n"
                      "       12  1980-01-01 00:00   new/deep/x.htm\n---------                     -------\n"
                      "       28                     3 files\n"),
            std::string::npos)
      << std::string(listing.begin(), listing.end());
  // A page where a folder stands cannot be written: no success.
  zip = zip_make({page("img")});
  block = {(uint8_t)zip.size(), (uint8_t)(zip.size() >> 8), 0, 0};
  block.insert(block.end(), zip.begin(), zip.end());
  EXPECT_EQ(customzip_save(block.data(), (uint32_t)block.size()), -1);
  customzip_clear();
}

// What the writer cannot or must not write is refused before anything is
// written: a last part ".", a file that is also a folder of the bundle, a
// path through the bundle's listing, the staging folder or a page of the
// web root, a file where a folder of it stands. A bundle that fails once
// taken (a full disk, a flash that does not keep it) is undone: the old
// pages, settings, links and stored bundle stay; a power cut while it is
// stored leaves a bundle that unpacks.
TEST_F(HostileArchives, BundleIsTakenWholeOrNotAtAll) {
  RootKeep keep({"/usr/html"});
  const std::string html = test_root() + "/usr/html";
  for (const char *p : {"/index.htm", "/admin_update.htm"}) put_file(html + p, "<p>stock</p>\n");
  ASSERT_EQ(save(read_file(dir + "/zip_good.zip")), 0);   // bundle_test.htm, img/dot.txt
  put_file(html + "/config.txt", "a=1\n");
  ASSERT_EQ(symlink("img", (html + "/lnk").c_str()), 0);
  const std::string before = listing(html);
  const std::vector<uint8_t> stored(flash.begin() + MTD_WEBBUNDLE_OFF, flash.end());
  auto unchanged = [&](const std::string &what) {
    EXPECT_EQ(listing(html), before) << what;
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), flash.begin() + MTD_WEBBUNDLE_OFF)) << what;
    EXPECT_FALSE(exists(html + "/.customzip.new")) << what;
  };
  struct {
    std::vector<ZipEntry> entries;
    const char *why;
  } refused[] = {
      {{page("ok.htm"), page(".")}, "names no file"},
      {{page("ok.htm"), page("x/.")}, "names no file"},
      {{page("ok.htm"), folder("y/"), page("y")}, "a file that is also a folder"},
      {{page("y"), page("./y//z.htm")}, "a file that is also a folder"},
      {{page("ok.htm"), page("customzip.txt/x.htm")}, "runs through the bundle's listing"},
      {{page(".customzip.new/x.htm")}, "names the staging folder"},
      {{page("index.htm/x.htm")}, "runs through a page of the web root"},
      {{page("admin_update.htm/x.htm")}, "runs through a page of the web root"},
      {{folder("bundle_test.htm/")}, "runs through a page of the web root"},
      {{page("img")}, "a file where a folder of the web root stands"},
  };
  for (const auto &c : refused) {
    const std::string name = c.entries.back().name;
    std::vector<uint8_t> zip = zip_make(c.entries);
    log_reset();
    EXPECT_EQ(check(zip), -1) << name;
    EXPECT_NE(log_text().find(c.why), std::string::npos) << name << ": " << log_text();
    EXPECT_EQ(save(zip), -1) << name;
    unchanged(name);
  }

  // Through a link the writer goes as through nothing: a fresh folder.
  std::vector<uint8_t> next = zip_make({page("bundle_test.htm", "<p>new</p>\n"), page("lnk/x.htm"),
                                        page("new/deep/n.htm", std::string(30000, 'n')), page("config.txt")});
  ASSERT_EQ(check(next), 0);
  g_room = 20000;
  RootIoFault was = root_set_io_fault(cramped);
  log_reset();
  EXPECT_EQ(save(next), -2);
  root_set_io_fault(was);
  EXPECT_NE(log_text().find("customzip_unpack: new/deep/n.htm: No space left"), std::string::npos) << log_text();
  unchanged("a full disk");
  // A flash whose first write fails: the old block is written back.
  struct FailOnce {
    static int write(const void *buf, uint32_t off, size_t len) {
      return g_flash_ops++ ? mem_write(buf, off, len) : -1;
    }
  };
  const FirmwareFlash fail_once = {mem_read, FailOnce::write, mem_erase};
  firmware_flash = &fail_once;
  g_flash_ops = 0;
  log_reset();
  EXPECT_EQ(save(next), -2);
  firmware_flash = &kMemFlash;
  unchanged("a flash write that fails");
  EXPECT_EQ(log_text().find("could not be put back"), std::string::npos) << log_text();
  EXPECT_EQ(customzip_size(), (int)read_file(dir + "/zip_good.zip").size());

  // A power cut at each step of storing it: what the box finds at its next
  // start unpacks.
  const FirmwareFlash cut = {mem_read, cut_write, cut_erase};
  for (int ops = 0; ops < 3; ops++) {
    firmware_flash = &cut;
    g_flash_ops = ops;
    EXPECT_EQ(save(next), -2) << ops;
    firmware_flash = &kMemFlash;
    EXPECT_EQ(customzip_load(), 0) << ops;
  }

  std::vector<ZipEntry> many;
  for (int i = 0; i < 300; i++) many.push_back(page("many/" + std::to_string(i) + ".htm"));
  log_reset();
  EXPECT_EQ(save(zip_make(many)), 0);
  EXPECT_EQ(read_file(html + "/many/299.htm").size(), 12u);
  EXPECT_EQ(log_text().find("customzip_unpack"), std::string::npos) << log_text();

  // A folder left where the listing goes is cleared by the next bundle, and
  // by clearing the bundle.
  for (int clear = 0; clear < 2; clear++) {
    unlink((html + "/customzip.txt").c_str());
    ASSERT_EQ(mkdir((html + "/customzip.txt").c_str(), 0755), 0);
    put_file(html + "/customzip.txt/x.htm", "x");
    if (clear) {
      customzip_clear();
      EXPECT_FALSE(exists(html + "/customzip.txt"));
    } else {
      EXPECT_EQ(save(next), 0);
      EXPECT_GT(read_file(html + "/customzip.txt").size(), 100u);
      EXPECT_EQ(read_file(html + "/lnk/x.htm").size(), 12u);
      EXPECT_EQ(read_file(html + "/config.txt").size(), 12u);
    }
  }
}

// Names are taken as unzip would place them below the web root: plain
// relative ones are, whatever bytes a page's name may hold, while anything
// absolute, climbing out through any component, or holding a control byte
// or a backslash is refused.
TEST_F(HostileArchives, BundleNamesArePlainAndRelative) {
  for (const std::string &name :
       {std::string("a"), std::string("my page.htm"), std::string("~x.htm"), std::string("..x.htm"),
        std::string("x.."), std::string(".x"), std::string("js/app.js"), std::string("404.htm"),
        std::string("img/"), std::string("[a]/b.htm"), std::string(255, 'n')})
    EXPECT_EQ(check(zip_make({page("ok.htm"), page(name)})), 0) << name;
  for (const std::string &name :
       {std::string(""), std::string("/a.htm"), std::string(".."), std::string("../a.htm"),
        std::string("img/.."), std::string("a/../b.htm"), std::string("a\\b.htm"), std::string("a\x1f.htm"),
        std::string("a\x7f.htm"), std::string("a\x01"), std::string(256, 'n')})
    EXPECT_EQ(check(zip_make({page("ok.htm"), page(name)})), -1) << name;
}

// What other zip writers put in: a Windows zip's NTFS times and no Unix
// mode, the deflate option bits, an empty file last, entries' comments and
// the longest comment of the zip,
// a bundle unpacking to exactly its budget. Each entry must be told the
// same by its local header and lie whole and apart from the others.
TEST_F(HostileArchives, BundleEntriesAreWholeAndApart) {
  std::string ntfs("\x0a\x00\x20\x00", 4);
  ntfs += std::string(32, '\0');
  ZipEntry windows = {"win.htm", "<p>windows</p>", true, 0, 0, ntfs};
  ZipEntry best = {"best.htm", std::string(3000, 'b'), true, 0100644, 2, ""};
  ZipEntry dir = {"img/", "", false, 040755, 0, ""};
  std::vector<uint8_t> mixed = zip_make({windows, best, dir, page("empty.htm", "")});
  EXPECT_EQ(check(mixed), 0);
  EXPECT_EQ(check(zip_make({page("a.htm"), page("b.htm")}, "", 0, "a page of ours")), 0);
  std::vector<uint8_t> commented = zip_make({page("a.htm")}, std::string(0xFFFF, 'c'));
  EXPECT_EQ(check(commented), 0);
  commented.push_back('c');   // then the end record's comment no longer reaches the end
  EXPECT_EQ(check(commented), -1);

  const uint32_t half = CUSTOMZIP_UNPACKED_MAX / 2;
  ZipEntry zeros = {"z1.bin", std::string(half, '\0'), true, 0100644, 0, ""};
  ZipEntry more = zeros;
  more.name = "z2.bin";
  EXPECT_EQ(check(zip_make({zeros, more})), 0);
  more.data += '\0';
  EXPECT_EQ(check(zip_make({zeros, more})), -1);

  // As many entries as the reader takes, and one more.
  std::vector<ZipEntry> many;
  for (int i = 0; i < 4097; i++) many.push_back(page(std::to_string(i), ""));
  EXPECT_EQ(check(zip_make(many)), -1);
  many.pop_back();
  EXPECT_EQ(check(zip_make(many)), 0);

  // Links, devices and pipes; the encrypted flag.
  for (uint32_t mode : {0120777u, 020644u, 010644u, 060644u}) {
    ZipEntry special = page("special.htm");
    special.mode = mode;
    EXPECT_EQ(check(zip_make({page("ok.htm"), special})), -1) << std::oct << mode;
  }
  ZipEntry secret = page("secret.htm");
  secret.flags = 1;
  EXPECT_EQ(check(zip_make({secret})), -1);

  // One entry, deflated, each of its fields damaged in turn.
  ZipEntry one = {"one.htm", "<p>" + std::string(2000, 'o') + "</p>", true, 0100644, 0, ""};
  std::vector<uint8_t> good = zip_make({one});
  ASSERT_EQ(check(good), 0);
  const size_t cd = get32(good, good.size() - 6), end = good.size() - 22;
  struct Damage {
    const char *what;
    size_t at;
    uint32_t value;
    bool wide;
  } damages[] = {
      {"local signature", 0, 0x04034b51, true},
      {"local method", 8, 0, false},
      {"local name length", 26, 8, false},
      {"local name", 30, 'O', false},
      {"local extra running into the central directory", 28, 0x4000, false},
      {"local header past the central directory", cd + 42, (uint32_t)cd + 1, true},
      {"compressed size past the central directory", cd + 20, (uint32_t)cd, true},
      {"one entry fewer in the end record", end + 8, 0, false},
  };
  for (const Damage &d : damages) {
    std::vector<uint8_t> bad = good;
    if (d.wide) set32(bad, d.at, d.value);
    else if (d.at == 30) bad[d.at] = (uint8_t)d.value;
    else set16(bad, d.at, d.value);
    if (d.at == end + 8) set16(bad, end + 10, 0);
    EXPECT_EQ(check(bad), -1) << d.what;
  }

  // The local header names "x.htmq", the central one "x.htm" with the
  // byte left over as its extra field: the same bytes read two ways.
  std::vector<uint8_t> two_names = zip_make({page("x.htmq")});
  const size_t cn = get32(two_names, two_names.size() - 6);
  set16(two_names, cn + 28, 5);
  set16(two_names, cn + 30, 1);
  EXPECT_EQ(check(two_names), -1);
  // Sizes and CRC left 0 in the local header are a data descriptor's
  // (flag bit 3), and nothing else.
  for (uint16_t flags : {8, 0}) {
    ZipEntry described = one;
    described.flags = flags;
    std::vector<uint8_t> z = zip_make({described});
    for (size_t at : {14, 18, 22}) set32(z, at, 0);
    EXPECT_EQ(check(z), flags ? 0 : -1) << flags;
  }
  // A Unicode Path field in the central header alone, which the listing
  // of another reader would show.
  ZipEntry renamed = page("r.htm");
  renamed.extra = std::string("\x75\x70\x03\x00\x01xy", 7);
  std::vector<uint8_t> central_only = zip_make({renamed});
  set16(central_only, 30 + 5, 0x7076);
  EXPECT_EQ(check(central_only), -1);
  set16(central_only, get32(central_only, central_only.size() - 6) + 46 + 5, 0x7076);
  EXPECT_EQ(check(central_only), 0);
  // A zip64 record after the central directory would point another
  // reader elsewhere.
  EXPECT_EQ(check(zip_make({page("a.htm")}, "PK\x06\x06")), -1);
  EXPECT_EQ(check(zip_make({page("a.htm")}, "PK\x06\x07")), -1);

  // A deflate stream whose end is cut: every byte and the right CRC, but
  // no end. A stored entry holding a byte more than it states.
  EXPECT_EQ(check(zip_make({one}, "", 2)), -1);
  std::vector<uint8_t> longer = zip_make({page("long.htm", "abcd")});
  const size_t c = get32(longer, longer.size() - 6);
  set32(longer, c + 24, 3);
  set32(longer, c + 16, crc32(0L, (const Bytef *)"abc", 3));
  EXPECT_EQ(check(longer), -1);

  // The log says why.
  log_reset();
  EXPECT_EQ(check(zip_make({page("ok.htm"), page("../up.htm")})), -1);
  char buf[4096];
  std::string log(buf, log_read(buf, sizeof buf));
  EXPECT_NE(log.find("customzip_check: entry 1: name is absolute, climbs out or is not plain"), std::string::npos)
      << log;
}

// A bundle file as large as the block holds is stored and unpacked, one
// byte more is too large; a device is no empty file; an empty file clears
// the bundle; one the flash does not take is not stored. The settings an old bundle brought go when another is taken.
TEST_F(HostileArchives, BundleFileSizes) {
  RootKeep keep({"/usr/html", "/etc"});
  const std::string html = test_root() + "/usr/html";
  const std::string scratch = test_root() + test_scratch_dir("bundle_sizes");
  auto save = [&](const std::vector<uint8_t> &zip) {
    FILE *f = fopen((scratch + "/custom.zip").c_str(), "wb");
    fwrite(zip.data(), 1, zip.size(), f);
    fclose(f);
    int fd = open((scratch + "/custom.zip").c_str(), O_RDONLY);
    int rc = customzip_save_file(fd);
    close(fd);
    return rc;
  };
  auto settings = [&] {
    FILE *f = fopen((html + "/config.txt").c_str(), "w");
    fputs("a=1\n", f);
    fclose(f);
  };
  const size_t largest = CUSTOMZIP_BLOCK_MAX - 5;
  const size_t pad = largest - zip_make({page("pad.bin", "")}).size();
  std::vector<uint8_t> zip = zip_make({page("pad.bin", std::string(pad, 'p'))});
  ASSERT_EQ(zip.size(), largest);
  settings();
  EXPECT_EQ(save(zip), 0);
  EXPECT_EQ(customzip_size(), (int)largest);
  EXPECT_EQ(read_file(html + "/pad.bin").size(), pad);
  EXPECT_FALSE(exists(html + "/config.txt"));

  settings();
  EXPECT_EQ(save(zip_make({page("pad.bin", std::string(pad + 1, 'p'))})), 2);
  int fd = open("/dev/null", O_RDONLY);
  EXPECT_EQ(customzip_save_file(fd), 3);
  close(fd);
  EXPECT_EQ(customzip_size(), (int)largest);
  EXPECT_TRUE(exists(html + "/config.txt"));

  EXPECT_EQ(save({}), 1);
  EXPECT_EQ(customzip_size(), -1);
  EXPECT_FALSE(exists(html + "/config.txt"));
  EXPECT_EQ(flash[MTD_WEBBUNDLE_OFF], 0xFF);

  // A sound bundle the flash does not take is not stored.
  struct NoWrite {
    static int write(const void *, uint32_t, size_t) { return -1; }
  };
  const FirmwareFlash no_write = {mem_read, NoWrite::write, mem_erase};
  firmware_flash = &no_write;
  EXPECT_EQ(save(read_file(dir + "/zip_good.zip")), 3);
  firmware_flash = &kMemFlash;
  EXPECT_EQ(customzip_size(), -1);
}

int g_reads_failing;

// What the heap holds in use: every arena and the blocks mapped apart.
size_t heap_in_use(void) {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// A peer may send refused files over and over: each refusal, and each
// bundle checked, leaves no memory behind.
TEST_F(HostileArchives, RefusalsLeaveNoMemoryBehind) {
  RootKeep keep({"/usr/html", "/etc", "/Wifi"});
  const std::string scratch = test_root() + test_scratch_dir("no_leak");
  std::vector<uint8_t> deflating = zip_make({{"a.htm", std::string(5000, 'a'), true, 0100644, 0, ""},
                                             {"b.htm", std::string(5000, 'b'), true, 0100644, 0, ""}});
  std::vector<uint8_t> overlap = read_file(dir + "/zip_overlap.zip");
  std::vector<uint8_t> link = read_file(dir + "/zip_symlink.zip");
  uint32_t len = (uint32_t)link.size();
  FILE *f = fopen((scratch + "/bad.fw").c_str(), "wb");
  fputs(std::string(1000, 'x').c_str(), f);
  fclose(f);
  fclose(fopen((scratch + "/empty.zip").c_str(), "wb"));
  auto with_file = [&](const std::string &path, int (*fn)(int)) {
    int fd = open(path.c_str(), O_RDONLY);
    int rc = fn(fd);
    close(fd);
    return rc;
  };
  struct Case {
    const char *what;
    std::function<void()> run;
  } cases[] = {
      {"a deflated bundle checked", [&] { EXPECT_EQ(check(deflating), 0); }},
      {"overlapping entries", [&] { EXPECT_EQ(check(overlap), -1); }},
      {"a hostile bundle in flash", [&] {
         memcpy(flash.data() + MTD_WEBBUNDLE_OFF, &len, 4);
         memcpy(flash.data() + MTD_WEBBUNDLE_OFF + 4, link.data(), link.size());
         EXPECT_EQ(customzip_load(), -1);
       }},
      {"a hostile bundle file", [&] { EXPECT_EQ(with_file(dir + "/zip_symlink.zip", customzip_save_file), 3); }},
      {"an empty bundle file", [&] { EXPECT_EQ(with_file(scratch + "/empty.zip", customzip_save_file), 1); }},
      {"a hostile Wi-Fi archive", [&] {
         int fd = open_made("wifi_symlink.tar");
         uint64_t size;
         EXPECT_EQ(wifi_archive_read(fd, &size), nullptr);
         close(fd);
       }},
      {"a firmware file that is no image", [&] {
         EXPECT_EQ(with_file(scratch + "/bad.fw", firmware_load_file), -2);
         int fd = open((scratch + "/bad.fw").c_str(), O_RDONLY);
         EXPECT_EQ(firmware_upload_file(fd, "bad.fw"), 0);
         close(fd);
       }},
      {"a firmware file whose reads fail", [&] {
         // Failing for a while only: a reader that retries ends too.
         g_reads_failing = 100;
         RootIoFault old = root_set_io_fault([](int, int writing, size_t *) {
           return !writing && g_reads_failing-- > 0 ? EIO : 0;
         });
         EXPECT_EQ(with_file(scratch + "/bad.fw", firmware_load_file), -1);
         root_set_io_fault(old);
       }},
  };
  for (const Case &c : cases) {
    c.run();
    size_t before = heap_in_use();
    for (int i = 0; i < 32; i++) c.run();
    size_t after = heap_in_use();
    EXPECT_LE(after, before + 256) << c.what << " leaves " << (after - before) / 32 << " bytes each time";
  }
  firmware_status_take();
}
