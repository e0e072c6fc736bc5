#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/log.h"
#include "platform/host_root.h"
#include "test_root.h"
#include "udp_log_listener.h"

namespace {

std::string held_text() {
  std::vector<char> buf(LOG_RING_SIZE + 1);
  log_read_mark(0);
  size_t n = log_read(buf.data(), LOG_RING_SIZE);
  log_read_mark(1);
  return std::string(buf.data(), n);
}

TEST(LogRing, WrapDropsWholeOldestLinesOnly) {
  log_reset();
  char line[128];
  // Lines of varying length so that the wrap lands mid-line.
  for (int i = 0; i < 20000; i++) {
    int n = snprintf(line, sizeof line, "line %06d %.*s\n", i, i % 37, "abcdefghijklmnopqrstuvwxyz0123456789");
    log_it(line, (size_t)n);
  }
  std::string text = held_text();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.compare(0, 5, "line "), 0) << "tail is not at a line start";
  EXPECT_EQ(text.back(), '\n');
  // Every held line is whole and the numbers are consecutive up to the last.
  int prev = -1, count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    int num = atoi(text.c_str() + pos + 5);
    int len = (int)(nl - pos);
    EXPECT_EQ(len, 12 + num % 37) << "cut line " << num;
    if (prev >= 0) EXPECT_EQ(num, prev + 1);
    prev = num;
    count++;
    pos = nl + 1;
  }
  EXPECT_EQ(prev, 19999);
  EXPECT_GT(count, 1000);
  EXPECT_LE(text.size(), (size_t)LOG_RING_SIZE);
}

// A line that ends exactly where the oldest held line begins drops that line:
// the ring then holds the newest text, not nothing.
TEST(LogRing, LineEndingAtTheOldestLineKeepsTheNewestText) {
  log_reset();
  std::string line(99, 'x');
  line += '\n';
  for (int i = 0; i < 6000 && log_get_head() >= log_get_tail(); i++)
    log_it(line.data(), line.size());  // until it wraps
  uint32_t gap = log_get_tail() - log_get_head();
  ASSERT_GT(gap, 10u);
  std::string last = "last" + std::string(gap - 5, '.') + "\n";
  log_it(last.data(), last.size());
  std::string text = held_text();
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_EQ(text.size() % 100, last.size() % 100) << "whole lines only";
}

TEST(LogRing, ReadConsumesAndMarkRestores) {
  log_reset();
  std::vector<char> buf(64, 'x');
  EXPECT_EQ(log_read(buf.data(), buf.size()), 0u);
  for (char c : buf) EXPECT_EQ(c, 0) << "empty read must fill with NUL";

  log_it("one\n", 4);
  log_it("two\n", 4);
  EXPECT_EQ(log_pending(), 8u);
  log_read_mark(0);
  char a[16] = {0};
  EXPECT_EQ(log_read(a, 4), 4u);
  EXPECT_STREQ(a, "one\n");
  EXPECT_EQ(log_pending(), 4u);
  log_read_mark(1);
  char b[16] = {0};
  EXPECT_EQ(log_read(b, 8), 8u);
  EXPECT_STREQ(b, "one\ntwo\n");

  char c[16] = {0};
  EXPECT_EQ(log_copy(0, c, 100), 8u);
  EXPECT_EQ(std::string(c), "one\ntwo\n");
}

TEST(LogRing, PrintfCutsAt254AndStoresWhatItPrints) {
  log_reset();
  std::string big(1000, 'z');
  log_printf("%s", big.c_str());
  std::string text = held_text();
  EXPECT_EQ(text.size(), 254u);
  EXPECT_EQ(text[0], '[');
  EXPECT_EQ(text.substr(text.size() - 3), "zzz");

  log_reset();
  log_printf("%s", "");
  EXPECT_EQ(log_pending(), 0u) << "an empty message is not stored";
  log_printf_plain("plain %d\n", 7);
  EXPECT_EQ(held_text(), "plain 7\n");
}

// Lines are copied to standard error unless that is turned off (as a fuzz
// harness does); the ring keeps them either way.
TEST(LogRing, StandardErrorCopyCanBeTurnedOff) {
  log_reset();
  FILE *err = tmpfile();
  ASSERT_NE(err, nullptr);
  fflush(stderr);
  int saved = dup(2);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(dup2(fileno(err), 2), 2);
  log_printf("copied one\n");
  log_set_stderr(0);
  log_printf("kept two\n");
  log_set_stderr(1);
  log_printf("copied three\n");
  dup2(saved, 2);
  close(saved);
  std::string copied(4096, 0);
  copied.resize(pread(fileno(err), &copied[0], copied.size(), 0) > 0 ? strlen(copied.c_str()) : 0);
  fclose(err);
  EXPECT_NE(copied.find("copied one\n"), std::string::npos) << copied;
  EXPECT_EQ(copied.find("kept two"), std::string::npos) << copied;
  EXPECT_NE(copied.find("copied three\n"), std::string::npos) << copied;
  std::string held = held_text();
  for (const char *line : {"copied one\n", "kept two\n", "copied three\n"})
    EXPECT_NE(held.find(line), std::string::npos) << line;
}

TEST(LogRing, ErrorKeepsLastErrorWithContext) {
  log_reset();
  set_error_context(" [ctx]");
  log_error("%s: failed %d", "probe", 3);
  EXPECT_STREQ(get_last_error(), "probe: failed 3 [ctx]");
  EXPECT_NE(held_text().find("probe: failed 3"), std::string::npos);
  set_error_context("%s", "");
}

TEST(LogRing, SaveFileWritesHeldText) {
  log_reset();
  log_it("saved line\n", 11);
  std::string dir = test_scratch_dir("logsave");
  std::string path = dir + "/log.txt";
  ASSERT_EQ(log_save_file(path.c_str()), 0);
  char buf[64];
  ASSERT_GT(sys_read_text(path.c_str(), buf, sizeof buf, false), 0);
  EXPECT_STREQ(buf, "saved line\n");
  EXPECT_EQ(log_save_file("/no/such/dir/log.txt"), -1);
  // A full card fails the save rather than leave a cut log reported saved.
  std::string full = dir + "/full.txt";
  ASSERT_EQ(symlink("/dev/full", HostPath(full.c_str()).c_str()), 0);
  EXPECT_EQ(log_save_file(full.c_str()), -1);
}

// The UDP log sends the held text first (from the oldest line, in datagrams
// of at most 1472 bytes cut at line ends), then every new line.
TEST(LogUdp, BacklogThenLinesReachListener) {
  int s = udp_log_listener();
  if (s < 0) GTEST_SKIP() << "port 7391 busy on this host";
  log_reset();
  for (int i = 0; i < 100; i++) log_printf("backlog %03d %s\n", i, "..........................");
  ASSERT_EQ(init_log_udp(htonl(INADDR_LOOPBACK)), 0);
  log_printf("live line\n");

  std::string got;
  bool live = false;
  for (int i = 0; i < 200 && !live; i++) {
    pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    char buf[2048];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    ASSERT_GE(n, 0);
    if (n == 0) continue;   // the reachability check's empty datagrams
    ASSERT_LE(n, 1472);
    ASSERT_EQ(buf[n - 1], '\n') << "datagram not cut at a line end";
    got.append(buf, (size_t)n);
    live = got.find("live line") != std::string::npos;
  }
  EXPECT_TRUE(live);
  EXPECT_NE(got.find("backlog 000"), std::string::npos);
  EXPECT_NE(got.find("backlog 099"), std::string::npos);
  init_log_udp(0);
  close(s);
}

}  // namespace
