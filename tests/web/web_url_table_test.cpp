// The URL table and the access handler's steps: rows, parameters read by
// URL, files of the page directory, "Not found", and requests that are not
// what they should be.
#include "web_test_support.h"

#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <tuple>

#include "core/log.h"
#include "core/process_util.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"
#include "web/templates.h"

namespace {

using WebUrls = WebTest;

TEST(WebUrlTable, LookupIsExactAndKeysAreNotPages) {
  int n = 0;
  while (url_table[n].name) n++;
  EXPECT_EQ(n, URL_TABLE_ROWS);
  const UrlHandler *config = url_table_lookup("/config.txt");
  ASSERT_NE(config, nullptr);
  EXPECT_STREQ(config->name, "config.txt");
  EXPECT_EQ(url_table_lookup("config.txt"), config);
  EXPECT_EQ(url_table_lookup("//config.txt"), nullptr);
  EXPECT_EQ(url_table_lookup("/Config.txt"), nullptr);
  EXPECT_EQ(url_table_lookup("/"), &url_table[0]);
  // Form keys reach only their key handler: no row is both.
  for (int i = 0; i < URL_TABLE_ROWS; i++)
    EXPECT_FALSE(url_table[i].key_fn && (url_table[i].post_fn || url_table[i].get_fn)) << i;
}

TEST(WebUrlTable, MimeTypesBySuffixInAnyCase) {
  EXPECT_STREQ(get_mime_type("a.CSS"), "text/css");
  EXPECT_STREQ(get_mime_type("y.JPEG"), "image/jpeg");
  EXPECT_EQ(get_mime_type("f.bin"), nullptr);
  EXPECT_EQ(get_mime_type(""), nullptr);
}

TEST_F(WebUrls, RootRedirectsAndParametersReadByUrl) {
  HttpReply r = http_get("/");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/index.htm");
  r = http_get("/Video[0].BitRate");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_EQ(r.header("Cache-Control"), "no-cache");
  EXPECT_EQ(r.body, "5000000");
  // Names are case-insensitive; the longest text of any row fits.
  char msg[160];
  memset(msg, 'm', sizeof msg - 1);
  msg[sizeof msg - 1] = 0;
  ASSERT_EQ(param_set_str("Video[0].OSD.Message", msg), nullptr);
  r = http_get("/video[0].osd.message");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, msg);
  // A row the requester may not read is the access-denied page.
  set_users(PERM_NONE, {});
  EXPECT_EQ(http_get("/Video[0].BitRate").status, 401);
  // A row without a text (a write-only action) is not found.
  set_users(PERM_ADMIN, {});
  EXPECT_EQ(http_get("/Reboot").status, 404);
}

TEST_F(WebUrls, FilesOfThePageDirectory) {
  // What the test adds to the page root and tmp goes again, and the log's
  // unread lines (the debug log page's text) are left unread.
  struct Cleanup {
    Cleanup() { log_read_mark(0); }
    ~Cleanup() {
      for (const char *f : {"blob.bin", "pic.jpg", "link.css", "outdir", "inc.htm"}) {
        char path[1024];
        unlink(root_path((std::string("/usr/html/") + f).c_str(), path, sizeof path));
      }
      sys_rmdir("/usr/html/sub.css");
      sys_unlink(("/usr/html/" + std::string(65, 'a') + ".css").c_str());
      sys_unlink(("/usr/html/" + std::string(66, 'a') + ".css").c_str());
      sys_unlink("/tmp/secret.css");
      sys_unlink("/tmp/out/page.htm");
      sys_rmdir("/tmp/out");
      log_read_mark(1);
    }
  } cleanup;
  HttpReply r = http_get("/style.css");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "text/css");
  sys_write_text("/usr/html/blob.bin", "x");
  r = http_get("/blob.bin");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "");
  sys_write_text("/usr/html/pic.jpg", "jpeg");
  EXPECT_EQ(http_get("/pic.jpg").header("Content-Type"), "image/jpeg");
  // Only regular files: a directory below the root is not found.
  sys_mkdirs("/usr/html/sub.css", 0755);
  EXPECT_EQ(http_get("/sub.css").status, 404);
  // Nor a link, which could point out of the page root.
  char target[1024], link[1024];
  sys_write_text("/tmp/secret.css", "secret");
  ASSERT_EQ(symlink(root_path("/tmp/secret.css", target, sizeof target),
                    root_path("/usr/html/link.css", link, sizeof link)),
            0);
  EXPECT_EQ(http_get("/link.css").status, 404);
  // Nor a link to a directory on the way, for files and pages alike.
  sys_write_text("/tmp/out/page.htm", "<p>secret page</p>");
  ASSERT_EQ(symlink(root_path("/tmp/out", target, sizeof target),
                    root_path("/usr/html/outdir", link, sizeof link)),
            0);
  EXPECT_EQ(http_get("/outdir/page.htm").status, 404);
  EXPECT_EQ(http_get("/outdir/../tmp").status, 404);
  sys_write_text("/usr/html/inc.htm", "<include src='outdir/page.htm'>");
  r = http_get("/inc.htm");
  EXPECT_EQ(r.body.find("secret page"), std::string::npos) << r.body;
  // ".." anywhere, or a name of 71 characters, is not found.
  EXPECT_EQ(http_get("/../etc/passwd").status, 404);
  EXPECT_EQ(http_get("/a..b.css").status, 404);
  std::string name70 = "/" + std::string(65, 'a') + ".css";
  std::string name71 = "/" + std::string(66, 'a') + ".css";
  sys_write_text(("/usr/html" + name70).c_str(), "x");
  sys_write_text(("/usr/html" + name71).c_str(), "x");
  EXPECT_EQ(http_get(name70).status, 200);
  EXPECT_EQ(http_get(name71).status, 404);
  char buf[4096];
  while (log_read(buf, sizeof buf) > 0) {
  }
  r = http_get("/missing.htm");
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.body.find("The requested resource could not be found."), std::string::npos);
  // The icon every browser asks for is missing quietly.
  EXPECT_EQ(http_get("/favicon.ico").status, 404);
  std::string logged;
  for (size_t n; (n = log_read(buf, sizeof buf)) > 0;) logged.append(buf, n);
  EXPECT_NE(logged.find("resource /missing.htm not found"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("favicon"), std::string::npos) << logged;
}

TEST_F(WebUrls, ConfigAndLogsAsText) {
  // The start's parameter line is unread in the log however much the tests
  // before logged (the ring keeps only its newest text).
  init_param(get_param_block());
  web_test_defaults();
  HttpReply r = http_get("/config.txt");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_NE(r.body.find("\nVideo[0].BitRate = 5000000\n"), std::string::npos);
  EXPECT_EQ(r.body.find("Timestamp"), std::string::npos);
  EXPECT_EQ(r.body.find('\r'), std::string::npos);
  r = http_get("/debuglog.txt");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("init_param"), std::string::npos);
  EXPECT_EQ(r.body.find('\0'), std::string::npos);
  r = http_get("/debug.htm?user=%3Cb%3E");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("User: &lt;b&gt; ("), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("<b>"), std::string::npos);
}

TEST_F(WebUrls, ControlRowsRedirectToTheirPages) {
  HttpReply h = http_get("/udpB_controls");
  EXPECT_EQ(h.status, 303);
  EXPECT_EQ(h.header("Location"), "control_streamb.htm");
  EXPECT_EQ(http_get("/streamA_controls_no_save").status, 404);
}

TEST_F(WebUrls, ViewPageFollowsTheStreamMode) {
  ASSERT_EQ(param_set_str("Video[0].StreamMode", "0"), nullptr);
  EXPECT_EQ(http_get("/view_streama.htm").header("Location"), "rtmp_streama.htm");
  ASSERT_EQ(param_set_str("Video[1].StreamMode", "3"), nullptr);
  EXPECT_EQ(http_get("/view_streamb.htm").header("Location"), "jpeg_streamb.htm");
  ASSERT_EQ(param_set_str("Video[1].StreamMode", "5"), nullptr);
  EXPECT_EQ(http_get("/view_streamb.htm").header("Location"), "invalid_stream.htm");
}

TEST_F(WebUrls, BadRequestsAreRefusedAndTheServerGoesOn) {
  // Methods other than GET, HEAD and POST.
  EXPECT_EQ(http_raw("DELETE /config.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status, 404);
  // HEAD gets the head only.
  HttpReply r = http_raw("HEAD /config.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.body.empty());
  // A POST to a row without a body handler is dropped without a reply.
  r = http_post("/config.txt", "a=b");
  EXPECT_EQ(r.status, 0);
  // Form keys are not URLs to post to.
  EXPECT_EQ(http_post("/redirect", "a=b").status, 0);
  EXPECT_EQ(http_post("/create_user_name", "a=b").status, 0);
  // Huge headers and garbage are the library's to refuse.
  r = http_get("/index.htm", "X-Big: " + std::string(100000, 'a') + "\r\n");
  EXPECT_TRUE(r.status == 431 || r.status == 413 || r.status == 0) << r.status;
  http_raw("\x01\x02 garbage\r\n\r\n");
  r = http_get("/", "Authorization: Digest\r\n");
  EXPECT_NE(r.status, 200);
  r = http_get("/", "Authorization: Basic !!!!\r\n");
  EXPECT_TRUE(r.status == 303 || r.status == 401) << r.status;
  // Still serving, with nothing lost.
  r = http_get("/Video[0].BitRate");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "5000000");
}

TEST_F(WebUrls, DownloadFromTheSdCard) {
  std::string base = mount_sd();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_MMC));
  ASSERT_EQ(system(("mkdir -p '" + base + "/day1' && printf 'TSDATA' > '" + base + "/day1/rec 1.ts'").c_str()), 0);
  HttpReply r = http_get("/download?s=2&f=day1/rec%201.ts");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "TSDATA");
  EXPECT_EQ(r.header("Content-Length"), "6");
  EXPECT_EQ(r.header("Content-Type"), "video/MP2T");
  EXPECT_EQ(r.header("Content-Disposition"), "attachment;filename=\"rec 1.ts\"");
  EXPECT_EQ(http_get("/download?s=2&f=../x.ts").status, 404);
  EXPECT_EQ(http_get("/download?s=2&f=/etc/passwd").status, 404);
  EXPECT_EQ(http_get("/download?s=3&f=day1/rec%201.ts").status, 404);
  EXPECT_EQ(http_get("/download?s=0&f=day1/rec%201.ts").status, 404);
  EXPECT_EQ(http_get("/download?s=2&f=day1").status, 404);
  EXPECT_EQ(http_get("/download?s=2&f=" + std::string(101, 'a')).status, 404);
  // The file list shows it, with a link that downloads it.
  r = http_get("/filelist_mmc");
  EXPECT_NE(r.body.find("/download?s=2&amp;f=day1/rec%201.ts"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("6 B"), std::string::npos);
  EXPECT_NE(r.body.find("action=\"/delete_files_mmc\""), std::string::npos);
}

// A file that cannot be read to its end (a failing card) ends its reply
// short, and the server goes on answering.
TEST_F(WebUrls, ADownloadFromAFailingCardEndsShort) {
  std::string base = mount_sd();
  ASSERT_EQ(system(("head -c 1048576 /dev/zero > '" + base + "/big.ts' && printf 'TSDATA' > '" + base +
                    "/small.ts'").c_str()),
            0);
  ASSERT_EQ(sim_storage_fault("mmcblk0p1", "EIO", 1), 0);
  HttpReply r = http_get("/download?s=2&f=big.ts");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Length"), "1048576");
  EXPECT_LT(r.body.size(), 1048576u);
  // Still failing: a page from elsewhere is answered meanwhile.
  EXPECT_EQ(http_get("/index.htm").status, 200);
  sim_storage_fault("mmcblk0p1", "none", 0);
  r = http_get("/download?s=2&f=small.ts");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "TSDATA");
  EXPECT_EQ(r.header("Content-Length"), "6");
  ASSERT_EQ(system(("printf x > '" + base + "/one.ts'").c_str()), 0);
  EXPECT_EQ(http_get("/download?s=2&f=one.ts").body, "x");
}

// Whether the process holds the file at path open.
bool holds_open(const std::string &path) {
  char want[PATH_MAX];
  if (!realpath(path.c_str(), want)) return false;
  bool found = false;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(d)) {
      char link[PATH_MAX];
      ssize_t n = readlinkat(dirfd(d), e->d_name, link, sizeof link - 1);
      if (n <= 0) continue;
      link[n] = 0;
      found = found || strcmp(link, want) == 0;
    }
    closedir(d);
  }
  return found;
}

// A file cut while it is sent (by the recorder, another request) ends its
// reply at what is left instead of holding the connection, and the file's
// descriptor goes with the reply.
TEST_F(WebUrls, AFileCutWhileSentEndsItsReply) {
  std::string base = mount_sd();
  ASSERT_EQ(system(("printf x > '" + base + "/one.ts' && truncate -s 256M '" + base + "/cut.ts'").c_str()), 0);
  EXPECT_EQ(http_get("/download?s=2&f=one.ts").body, "x");
  int fd = connect_daemon();
  ASSERT_GE(fd, 0);
  std::string req = "GET /download?s=2&f=cut.ts HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  ASSERT_GT(send(fd, req.data(), req.size(), MSG_NOSIGNAL), 0);
  char buf[65536];
  pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1);
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(parse_reply(std::string(buf, size_t(n))).header("Content-Length"), "268435456");
  ASSERT_EQ(truncate((base + "/cut.ts").c_str(), 0), 0);
  size_t got = size_t(n);
  bool ended = false;
  for (int64_t end = monotonic_ms() + 20000; !ended && monotonic_ms() < end;) {
    if (poll(&p, 1, 1000) <= 0) continue;
    n = recv(fd, buf, sizeof buf, 0);
    ended = n <= 0;
    if (n > 0) got += size_t(n);
  }
  close(fd);
  EXPECT_TRUE(ended) << got;
  EXPECT_LT(got, 256u << 20);
  for (int i = 0; i < 1000 && holds_open(base + "/cut.ts"); i++) sleep_ms(10);
  EXPECT_FALSE(holds_open(base + "/cut.ts"));
}

// A volume may hold links to anywhere (an ext4 USB disk made elsewhere):
// download, the file list and delete take no link on the way, whether the
// link is the file, a directory below, or the recording directory itself.
TEST_F(WebUrls, LinksOnAVolumeAreNeverFollowed) {
  std::string base = mount_sd();
  char host[1024];
  std::string out = root_path(test_scratch_dir("outside").c_str(), host, sizeof host);
  ASSERT_EQ(system(("printf SECRET > '" + out + "/secret.ts' && ln -s '" + out + "/secret.ts' '" +
                    base + "/leak.ts' && ln -s '" + out + "' '" + base + "/linkdir'").c_str()), 0);
  EXPECT_EQ(http_get("/download?s=2&f=leak.ts").status, 404);
  EXPECT_EQ(http_get("/download?s=2&f=linkdir/secret.ts").status, 404);
  HttpReply r = http_get("/filelist_mmc");
  EXPECT_EQ(r.body.find("leak.ts"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("secret.ts"), std::string::npos) << r.body;
  EXPECT_EQ(http_post("/delete_files_mmc", "delete_file=linkdir/secret.ts").status, 400);
  EXPECT_EQ(access((out + "/secret.ts").c_str(), F_OK), 0);
  ASSERT_EQ(system(("rm -rf '" + base + "' && ln -s '" + out + "' '" + base + "'").c_str()), 0);
  EXPECT_EQ(http_get("/download?s=2&f=secret.ts").status, 404);
  EXPECT_NE(http_get("/filelist_mmc").body.find("No files to display."), std::string::npos);
  EXPECT_EQ(http_post("/delete_files_mmc", "delete_file=secret.ts").status, 400);
  EXPECT_EQ(access((out + "/secret.ts").c_str(), F_OK), 0);
}

// Every decoder field with named values is shown with its words, never bare
// or with empty brackets.
TEST_F(WebUrls, DecoderMeasurementsNameTheirValues) {
  set_users(PERM_ADMIN, {});
  HttpReply r = http_get("/video_measurements.txt");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body.find("()"), std::string::npos) << r.body;
  for (const char *field : {"HDMI_COLORSPACE", "CSC_COEFF_SEL", "INP_COLOR_SPACE", "CSC_COEFF_SEL_RB"}) {
    size_t at = r.body.find(std::string(" ") + field + " = ");
    ASSERT_NE(at, std::string::npos) << field;
    std::string line = r.body.substr(at, r.body.find('\n', at) - at);
    EXPECT_NE(line.find(" ("), std::string::npos) << line;
  }
}

}  // namespace
