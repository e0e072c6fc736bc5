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

// A browser that logged in before is known by its cookie: behind an address
// that waits its right password is checked, its own wrong ones make it (and
// only it) wait, and a right one clears them. A cookie altered, of another
// user, or of a password since changed is no cookie; a session cookie beside
// it still counts.
TEST_F(LoginGuard, AKnownBrowserWaitsOnlyForItsOwnFailures) {
  log_text();
  set_users(PERM_NONE, {std::make_tuple("admin", "secret", PERM_ADMIN), std::make_tuple("viewer", "look", PERM_ADMIN)});
  auto known = [](const char *user) {
    HttpReply r = curl(std::string("--basic -u ") + user, "/config.txt");
    std::string c = r.header("Set-Cookie");
    EXPECT_EQ(c.compare(0, 6, "Known="), 0) << r.head;
    EXPECT_NE(c.find("; HttpOnly; SameSite=Strict; Path=/"), std::string::npos) << c;
    return c.substr(0, c.find(';'));
  };
  std::string admin = known("admin:secret"), viewer = known("viewer:look");
  EXPECT_NE(admin, known("admin:secret")) << "two browsers, one id";
  auto as = [](const std::string &cookie, const char *user) {
    return curl("-b '" + cookie + "' --basic -u " + user, "/config.txt");
  };
  EXPECT_EQ(as(admin, "admin:secret").header("Set-Cookie"), "") << "a known browser is given another cookie";
  for (int i = 0; i < 11; i++) web_login_failed(htonl(INADDR_LOOPBACK), monotonic_ms());
  EXPECT_EQ(curl("--basic -u admin:secret", "/config.txt").status, 429);
  EXPECT_EQ(as(admin, "admin:secret").status, 200);
  EXPECT_EQ(curl("-b '" + admin + "' --digest -u admin:secret", "/config.txt").status, 200);
  std::string forged = admin;
  forged.back() = forged.back() == '0' ? '1' : '0';
  EXPECT_EQ(as(forged, "admin:secret").status, 429);
  EXPECT_EQ(as(viewer, "admin:secret").status, 429) << "another user's cookie";
  // The session cookie beside it is still the session.
  HttpReply r = curl("-b '" + admin + "' --basic -u admin:secret", "/login.htm?a=cookie");
  std::string token = r.header("Set-Cookie").substr(6, 16);
  EXPECT_EQ(http_get("/config.txt", "Cookie: " + admin + "; Token=" + token + "\r\n").status, 200);
  EXPECT_EQ(http_get("/config.txt", "Cookie: Token=" + token + "; " + admin + "\r\n").status, 200);
  EXPECT_EQ(http_get("/config.txt", "Cookie: Token=" + token + "; x=1; " + admin + "\r\n").status, 401);
  // The browser's own failures: its free tries, then it waits, the address
  // aside; a right password before that clears them.
  for (int i = 0; i < WEB_LOGIN_FREE_FAILURES - 1; i++) EXPECT_EQ(as(admin, "admin:x").status, 401);
  EXPECT_EQ(as(admin, "admin:secret").status, 200);
  EXPECT_EQ(as(admin, "admin:x").status, 401);
  EXPECT_EQ(as(admin, "admin:secret").status, 200) << "the right password did not clear the count";
  for (int i = 0; i < WEB_LOGIN_FREE_FAILURES; i++) EXPECT_EQ(as(admin, "admin:x").status, 401);
  r = as(admin, "admin:secret");
  EXPECT_EQ(r.status, 429);
  EXPECT_NE(r.body.find("from this browser"), std::string::npos) << r.body;
  EXPECT_EQ(curl("--interface 127.0.0.2 --basic -u admin:secret", "/config.txt").status, 200);
  // A new password ends the cookie.
  snprintf(get_param_block()->users[0].password, sizeof get_param_block()->users[0].password, "secret2");
  EXPECT_EQ(as(admin, "admin:secret2").status, 429);
  web_login_quiet_ms = 0;
  web_login_tick(monotonic_ms(), false);
  std::string log = log_text();
  EXPECT_NE(log.find("wrong credentials from a known browser of admin (at 127.0.0.1) 5 times, 1 more tries"),
            std::string::npos)
      << log;
}

}  // namespace
