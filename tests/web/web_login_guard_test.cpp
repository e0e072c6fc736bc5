// Guessing passwords: an address that keeps giving wrong credentials waits
// longer and longer (its right password too), other addresses do not, and
// each episode is one log line with the address and the counts.
#include "web_test_support.h"

#include <tuple>

#include "core/process_util.h"

namespace {

class LoginGuard : public WebTest {
 protected:
  LogUnreadKeep unread;
  void TearDown() override {
    web_login_quiet_ms = WEB_LOGIN_QUIET_MS;
    WebTest::TearDown();
  }
  static std::string log_text() {
    std::string text;
    char chunk[4096];
    for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    return text;
  }
};

const uint32_t kA = htonl(0x0A000001), kB = htonl(0x0A000002);   // 10.0.0.1, 10.0.0.2

TEST_F(LoginGuard, WaitsDoubleUpToAMinuteAndEndWithTheEpisode) {
  log_text();
  int64_t t = 1000000;
  for (int i = 0; i < WEB_LOGIN_FREE_FAILURES - 1; i++) web_login_failed(kA, t);
  EXPECT_EQ(web_login_wait(kA, t), 0u);
  int64_t last = t;
  for (uint32_t want : {1, 2, 4, 8, 16, 32, 60, 60}) {
    web_login_failed(kA, last = t);
    EXPECT_EQ(web_login_wait(kA, t), want);
    EXPECT_EQ(web_login_wait(kA, t + want * 1000 - 1), 1u);
    EXPECT_EQ(web_login_wait(kA, t + want * 1000), 0u);
    EXPECT_EQ(web_login_wait(kB, t), 0u);
    t += want * 1000;
  }
  web_login_refused(kA);
  web_login_tick(last + WEB_LOGIN_QUIET_MS - 1, false);
  EXPECT_EQ(log_text(), "");
  web_login_tick(last + WEB_LOGIN_QUIET_MS, false);
  std::string log = log_text();
  EXPECT_NE(log.find("web_login_tick: wrong credentials from 10.0.0.1 12 times, 1 more tries refused"), std::string::npos)
      << log;
  // The next episode starts with its free tries.
  for (int i = 0; i < WEB_LOGIN_FREE_FAILURES - 1; i++) web_login_failed(kA, t);
  EXPECT_EQ(web_login_wait(kA, t), 0u);
  // A full table gives up the address quiet longest (its count starts
  // again); from then on every address is one crowd, and one line.
  for (uint32_t i = 1; i < WEB_LOGIN_ADDRESSES; i++) web_login_failed(htonl(0x0B000000 + i), t + i);
  EXPECT_EQ(log_text(), "");
  web_login_failed(kB, t + WEB_LOGIN_ADDRESSES);
  EXPECT_EQ(web_login_wait(kA, t), 0u);
  for (uint32_t i = 1; i <= 3 * WEB_LOGIN_ADDRESSES; i++) {
    web_login_failed(htonl(0x0C000000 + i), t + WEB_LOGIN_ADDRESSES + i);
    web_login_refused(htonl(0x0C000000 + i));
  }
  web_login_tick(t + WEB_LOGIN_ADDRESSES + WEB_LOGIN_QUIET_MS, false);
  EXPECT_EQ(log_text(), "") << "the crowd ended before its last address";
  web_login_tick(t + 4 * WEB_LOGIN_ADDRESSES + WEB_LOGIN_QUIET_MS, false);
  std::string crowd = log_text();
  EXPECT_EQ(crowd, std::string(crowd.substr(0, crowd.find(']') + 2)) +
                       "web_login_tick: wrong credentials from 129 addresses and browsers 132 times, 96 more "
                       "tries refused while they waited (more than the 32 counted one by one)\n");
  // Guessing that never pauses long is logged once an hour.
  t += 10 * WEB_LOGIN_QUIET_MS;
  web_login_failed(kA, t);
  web_login_refused(kA);
  web_login_failed(kA, t + 3300000);
  web_login_tick(t + 3600000 - 1, false);
  EXPECT_EQ(log_text(), "");
  web_login_tick(t + 3600000, false);
  EXPECT_NE(log_text().find("from 10.0.0.1 2 times, 1 more"), std::string::npos);
  web_login_failed(kA, t + 3600000);
  web_login_tick(t + 3600000, true);
  EXPECT_NE(log_text().find("from 10.0.0.1 1 times, 0 more"), std::string::npos);
}

// Through the server: the address that guessed gets 429 with Retry-After,
// right password or not, Basic or Digest, GET or POST; another address logs
// in meanwhile.
TEST_F(LoginGuard, AGuessingAddressWaitsAndOthersGoOn) {
  log_text();
  set_users(PERM_NONE, {std::make_tuple("admin", "secret", PERM_ADMIN)});
  for (int i = 0; i < WEB_LOGIN_FREE_FAILURES; i++)
    EXPECT_EQ(curl("--basic -u admin:guess" + std::to_string(i), "/config.txt").status, 401);
  // Six more wrong ones (no matter how long those five took): a minute.
  for (int i = 0; i < 6; i++) web_login_failed(htonl(INADDR_LOOPBACK), monotonic_ms());
  for (auto [auth, url] : {std::pair{"--basic -u admin:secret", "/config.txt"}, {"--digest -u admin:secret", "/config.txt"},
                           {"--basic -u admin:x -d a=b", "/controls"}}) {
    HttpReply r = curl(auth, url);
    EXPECT_EQ(r.status, 429) << auth;
    int after = atoi(r.header("Retry-After").c_str());
    EXPECT_TRUE(after > 50 && after <= 60) << r.header("Retry-After");
    EXPECT_NE(r.body.find("try again in"), std::string::npos);
  }
  EXPECT_EQ(curl("--interface 127.0.0.2 --digest -u admin:secret", "/config.txt").status, 200);
  EXPECT_EQ(http_get("/index.htm").status, 200);   // the guest, without credentials
  EXPECT_EQ(log_text().find("wrong credentials"), std::string::npos);
  web_login_quiet_ms = 0;
  web_login_tick(monotonic_ms(), false);
  EXPECT_NE(log_text().find("from 127.0.0.1 11 times, 3 more tries refused"), std::string::npos);
  EXPECT_EQ(curl("--basic -u admin:secret", "/config.txt").status, 200);
}

}  // namespace
