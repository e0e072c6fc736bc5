// The URL table and the access handler's steps: rows, parameters read by
// URL, files of the page directory, "Not found", and requests that are not
// what they should be.
#include "web_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tuple>

#include "core/log.h"
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

}  // namespace
