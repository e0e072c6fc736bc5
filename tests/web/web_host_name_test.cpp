// The names a Host header may give this box for a browser's request that
// changes state: its address, "localhost", and its own name alone, under
// "local", or under a domain the resolver file gives it; never under a
// domain anyone else may own.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/param_block.h"
#include "platform/host_root.h"
#include "web/web_request.h"
#include "test_root.h"

namespace {

class HostName : public ::testing::Test {
 protected:
  void SetUp() override {
    test_root();
    ParamBlock *b = get_param_block();
    memcpy(saved_, b->hostname, sizeof saved_);
    snprintf(b->hostname, sizeof b->hostname, "m7391-000042");
  }
  void TearDown() override { memcpy(get_param_block()->hostname, saved_, sizeof saved_); }
  // The resolver file's bytes, as written (NULs and all).
  static void resolv(const std::string &bytes) {
    HostPath hp("/etc/resolv.conf");
    unlink(hp.c_str());
    std::ofstream(hp.c_str(), std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  }
  RootKeep keep_{{"/etc/resolv.conf"}};
  char saved_[sizeof ParamBlock::hostname];
};

TEST_F(HostName, TheOwnNameIsTakenOnlyUnderDomainsTheResolverGives) {
  resolv("# search commented.example\n"
         "nameserver 10.0.0.1\n"
         "domain studio.lan\n"
         "search\toffice.example  Corp.Example. ; semi.example\n"
         "search near.example # hash.example\n"
         " search indented.example\n"
         "searchx glued.example\n"
         "domaim near.miss.example\n"
         "search z.\n"
         "options ndots:1 other.example\n");
  for (const char *host : {"m7391-000042", "M7391-000042:8080", "m7391-000042.local", "m7391-000042.LOCAL.",
                           "m7391-000042.studio.lan", "M7391-000042.Studio.LAN:80", "m7391-000042.studio.lan.",
                           "m7391-000042.office.example", "m7391-000042.corp.example", "m7391-000042.near.example",
                           "m7391-000042.z", "m7391-000042.Z.", "m7391-000042.", "localhost.", "127.0.0.1", "[::1]:80"})
    EXPECT_TRUE(web_host_is_own(host)) << host;
  // The resolver file is read on each request: it is left closed.
  const int fds = test_open_fds();
  EXPECT_FALSE(web_host_is_own("m7391-000042.evil.example"));
  EXPECT_EQ(test_open_fds(), fds) << "the resolver file was left open";
  for (const char *host :
       {"m7391-000042.evil.example", "m7391-000042.lan", "m7391-000042.studio", "m7391-000042.studio.lanx",
        "m7391-000042.x.studio.lan", "m7391-000042.studio.lan.evil.example", "m7391-000042.local.evil.example",
        "m7391-000042.studio.lan..", "m7391-000042..studio.lan", "m7391-000042..",
        "m7391-000042x.studio.lan", "m7391-0000421", "m7391-000042-evil.local", "m7391-00004",
        "m7391-000042.commented.example", "m7391-000042.10.0.0.1", "m7391-000042.semi.example",
        "m7391-000042.hash.example", "m7391-000042.indented.example", "m7391-000042.glued.example",
        "m7391-000042.near.miss.example",
        "m7391-000042.other.example", "m7391-000042.ndots:1", "m7391-000042.domain", "m7391-000042.search"})
    EXPECT_FALSE(web_host_is_own(host)) << host;
  // The name alone has no domain to be read.
  resolv("search .\nsearch ..\nsearch\n");
  EXPECT_FALSE(web_host_is_own("m7391-000042..."));
  EXPECT_FALSE(web_host_is_own("m7391-000042.."));
  EXPECT_TRUE(web_host_is_own("m7391-000042."));
}

// Without a resolver file, or with one nobody could use, the name is taken
// alone and under "local" only, and the request is answered all the same.
TEST_F(HostName, AMissingHugeOrGarbledResolverFileGivesNoDomain) {
  auto only_own = [](const char *why) {
    EXPECT_TRUE(web_host_is_own("m7391-000042")) << why;
    EXPECT_TRUE(web_host_is_own("m7391-000042.local")) << why;
    EXPECT_TRUE(web_host_is_own("10.1.2.3")) << why;
  };
  resolv("search studio.lan\n");
  EXPECT_TRUE(web_host_is_own("m7391-000042.studio.lan"));
  HostPath hp("/etc/resolv.conf");
  unlink(hp.c_str());
  EXPECT_FALSE(web_host_is_own("m7391-000042.studio.lan"));
  only_own("missing");

  // The file is read as far as 4096 bytes; a line the bound cuts is not
  // taken, as its word may go on ("cut.example.more").
  const std::string first = "search studio.lan\n";
  const std::string cut = "search cut.example";
  std::string head = first + std::string(4096 - first.size() - 1 - cut.size(), '#') + "\n" + cut;
  ASSERT_EQ(head.size(), 4096u);
  resolv(head + ".more\nsearch late.example\n" + std::string(300000, 'x') + "\n");
  EXPECT_TRUE(web_host_is_own("m7391-000042.studio.lan"));
  EXPECT_FALSE(web_host_is_own("m7391-000042.cut.example"));
  EXPECT_FALSE(web_host_is_own("m7391-000042.cut.example.more"));
  EXPECT_FALSE(web_host_is_own("m7391-000042.late.example"));
  only_own("huge");
  // A last line that ends right at the bound is whole.
  std::string whole = head.substr(1) + "\n";
  ASSERT_EQ(whole.size(), 4096u);
  resolv(whole + std::string(300000, 'x'));
  EXPECT_TRUE(web_host_is_own("m7391-000042.cut.example"));

  std::string garbage = "search stu";
  garbage += '\0';
  garbage += "dio.lan\nsearch \xff\xfe.lan\r\nsearch studio.lan\r\n\x01\x02\x03 search x.example";
  resolv(garbage);
  EXPECT_FALSE(web_host_is_own("m7391-000042.stu"));
  EXPECT_FALSE(web_host_is_own("m7391-000042.x.example"));
  EXPECT_TRUE(web_host_is_own("m7391-000042.studio.lan"));
  only_own("garbage");

  // A directory or a pipe in the file's place: the reader neither fails
  // nor waits on a writer that never comes.
  unlink(hp.c_str());
  ASSERT_EQ(mkdir(hp.c_str(), 0755), 0);
  EXPECT_FALSE(web_host_is_own("m7391-000042.studio.lan"));
  only_own("directory");
  rmdir(hp.c_str());
  ASSERT_EQ(mkfifo(hp.c_str(), 0644), 0);
  EXPECT_FALSE(web_host_is_own("m7391-000042.studio.lan"));
  only_own("pipe");
  unlink(hp.c_str());
}

}  // namespace
