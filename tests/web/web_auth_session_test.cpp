// Who a request comes from: login cookies, Digest and Basic (driven by curl),
// the ten session slots, and the nonce cache that makes a logout stick.
#include "web_test_support.h"

#include <tuple>

namespace {

class WebAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    web_test_start();
    web_test_defaults();
    set_users(PERM_NONE, {std::make_tuple("admin", "secret", PERM_ADMIN),
                          std::make_tuple("viewer", "look", PERM_STREAM_VIEW)});
    web_auth_reset();
  }
  // Logs in with Basic credentials through "a=cookie" and returns the token.
  std::string cookie_login(const char *user, const char *pass) {
    HttpReply r = curl(std::string("-u ") + user + ":" + pass, "/login.htm?a=cookie&redirect=/x.htm");
    EXPECT_EQ(r.status, 200);
    std::string c = r.header("Set-Cookie");
    EXPECT_EQ(c.compare(0, 6, "Token="), 0) << c;
    return c.substr(6, 16);
  }
};

TEST_F(WebAuth, CookieSessionLogsInAndOut) {
  std::string token = cookie_login("admin", "secret");
  EXPECT_EQ(token.size(), 16u);
  for (char c : token) EXPECT_TRUE(isxdigit(c) && !isupper(c)) << token;
  std::string cookie = "Cookie: Token=" + token + "\r\n";

  // The session reads what the guest (level None) may not.
  EXPECT_EQ(http_get("/config.txt").status, 401);
  HttpReply r = http_get("/config.txt", cookie);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("Video[0].BitRate = "), std::string::npos);

  r = http_get("/logout.htm?redirect=/index.htm", cookie);
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/index.htm");
  EXPECT_EQ(http_get("/config.txt", cookie).status, 401);
}

TEST_F(WebAuth, CookieIsForThisSiteOnlyAndEndsWithItsUser) {
  HttpReply r = curl("-u viewer:look", "/login.htm?a=cookie&redirect=javascript:alert(1)");
  EXPECT_EQ(r.header("Set-Cookie").substr(22), "; HttpOnly; SameSite=Strict; Path=/");
  EXPECT_NE(r.body.find("url=/index.htm\""), std::string::npos) << r.body;
  std::string cookie = "Cookie: Token=" + r.header("Set-Cookie").substr(6, 16) + "\r\n";
  EXPECT_EQ(http_get("/Video[0].BitRate", cookie).status, 200);
  // The user is deleted, then one of the same name made again: the old
  // session is not the new user's.
  EXPECT_EQ(curl("-u admin:secret -d User[1].Delete=1", "/controls").status, 200);
  EXPECT_EQ(curl("-u admin:secret -d create_user_name=viewer -d create_user_pass=new "
                 "-d create_user_perm=5", "/controls").status, 200);
  ASSERT_EQ(user_get_permission("viewer"), uint32_t(PERM_ADMIN));
  EXPECT_EQ(http_get("/Video[0].BitRate", cookie).status, 401);
}

TEST_F(WebAuth, LoginWithoutCredentialsChallengesWithRealmAndOpaque) {
  HttpReply r = http_get("/login.htm");
  EXPECT_EQ(r.status, 401);
  std::string www = r.header("WWW-Authenticate");
  EXPECT_NE(www.find("Digest"), std::string::npos) << www;
  EXPECT_NE(www.find("realm=\"7391\""), std::string::npos) << www;
  EXPECT_NE(www.find("opaque=\"5d0c7e29a1f84b63c2e90d7a14f6b38e95c21d07\""), std::string::npos);
  EXPECT_NE(r.body.find("Access denied"), std::string::npos);
}

// With no user to log in as, the login page says so and what the guest may
// do, and asks for no credentials; a user without a password is none.
TEST_F(WebAuth, LoginWithNoUserSaysSoInsteadOfChallenging) {
  set_users(PERM_ADMIN, {std::make_tuple("nopass", "", PERM_ADMIN)});
  for (const char *url : {"/login.htm?redirect=/setup_video.htm", "/login.htm?a=cookie&redirect=/setup_video.htm"}) {
    HttpReply r = http_get(url);
    EXPECT_EQ(r.status, 200) << url;
    EXPECT_EQ(r.header("WWW-Authenticate"), "");
    EXPECT_NE(r.body.find("No user has been added"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"Admin\": the guest may do everything"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("href=\"/setup_video.htm\""), std::string::npos) << r.body;
  }
  set_users(PERM_STREAM_VIEW, {});
  EXPECT_NE(http_get("/login.htm").body.find("\"Stream View\": the guest may watch the live streams"),
            std::string::npos);
  // The page is made for this request: never kept by a cache.
  HttpReply r = http_get("/login.htm");
  EXPECT_EQ(r.header("Content-Type"), "text/html");
  EXPECT_EQ(r.header("Cache-Control"), "no-cache");
  set_users(PERM_DEMO, {});
  EXPECT_NE(http_get("/login.htm").body.find("\"Demo\": the guest may see every page and change nothing"),
            std::string::npos);
  // A level no build knows is none.
  set_users(PERM_DEMO + 1, {});
  EXPECT_NE(http_get("/login.htm").body.find("\"None\": the guest may see no page but this one"),
            std::string::npos);
}

TEST_F(WebAuth, DigestAndBasicAcceptTheRightPasswordOnly) {
  EXPECT_EQ(curl("--digest -u admin:secret", "/config.txt").status, 200);
  EXPECT_EQ(curl("--digest -u admin:wrong", "/config.txt").status, 401);
  EXPECT_EQ(curl("--basic -u admin:secret", "/config.txt").status, 200);
  EXPECT_EQ(curl("--basic -u admin:wrong", "/config.txt").status, 401);
  // Only the whole password: not none, a part of it, or more than it.
  for (const char *u : {"admin:", "admin:sec", "admin:secretx"})
    EXPECT_EQ(curl(std::string("--basic -u ") + u, "/config.txt").status, 401) << u;
  // Five wrong guesses so far: this address would have to wait.
  web_login_reset();
  // An unknown user is wrong credentials, not the guest.
  EXPECT_EQ(http_get("/index.htm").status, 200);
  EXPECT_EQ(curl("--basic -u nobody:x", "/index.htm").status, 401);
  DigestClient d{"nobody", "x"};
  ASSERT_TRUE(d.challenge("/config.txt"));
  EXPECT_EQ(d.get("/index.htm").status, 401);
  // Permission levels hold for authenticated users too.
  EXPECT_EQ(curl("--digest -u viewer:look", "/config.txt").status, 401);
  EXPECT_EQ(curl("--digest -u viewer:look", "/Video[0].BitRate").status, 200);
}

TEST_F(WebAuth, LoginWithDigestGoesThroughVerify) {
  DigestClient d{"admin", "secret"};
  ASSERT_TRUE(d.challenge("/login.htm"));
  HttpReply r = d.get("/login.htm?redirect=/setup_streama.htm");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/login.htm?a=verify&redirect=/setup_streama.htm");
  r = d.get("/login.htm?a=verify&redirect=/setup_streama.htm");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/setup_streama.htm");
  // A browser that does not send its credentials again goes on to the
  // cookie step.
  r = http_get("/login.htm?a=verify&redirect=/a%26b");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/login.htm?a=cookie&redirect=/a%26b");
  // The login is in the access log.
  char *log = get_user_data_log(5, 0x7FFFFFFF);
  ASSERT_NE(log, nullptr);
  EXPECT_NE(strstr(log, "admin               LOGIN\n"), nullptr) << log;
  free(log);
}

TEST_F(WebAuth, EleventhSessionTakesSlotOne) {
  std::string first = cookie_login("admin", "secret");
  EXPECT_STREQ(session_table[0].token, first.c_str());
  std::vector<std::string> tokens;
  for (int i = 1; i < 10; i++) tokens.push_back(cookie_login("admin", "secret"));
  std::string eleventh = cookie_login("admin", "secret");
  EXPECT_STREQ(session_table[1].token, eleventh.c_str());
  EXPECT_STREQ(session_table[0].token, first.c_str());
  EXPECT_EQ(http_get("/config.txt", "Cookie: Token=" + first + "\r\n").status, 200);
  EXPECT_EQ(http_get("/config.txt", "Cookie: Token=" + tokens[0] + "\r\n").status, 401);
}

TEST_F(WebAuth, TokenFromAnotherAddressOrMalformedCookieIsNoSession) {
  std::string token = cookie_login("admin", "secret");
  std::string cookie = "Cookie: Token=" + token + "\r\n";
  ASSERT_EQ(http_get("/config.txt", cookie).status, 200);
  uint32_t own = session_table[0].client;
  session_table[0].client = htonl(0x0A000005);
  EXPECT_EQ(http_get("/config.txt", cookie).status, 401);
  session_table[0].client = own;
  // Another cookie after the token, or upper-case digits, is not the session.
  EXPECT_EQ(http_get("/config.txt", "Cookie: Token=" + token + "; x=1\r\n").status, 401);
  std::string upper = token;
  for (char &c : upper) c = char(toupper(c));
  if (upper != token) EXPECT_EQ(http_get("/config.txt", "Cookie: Token=" + upper + "\r\n").status, 401);
}

TEST_F(WebAuth, LogoutRemembersTheDigestNonceUntilLoginClearsIt) {
  set_users(PERM_STREAM_VIEW, {std::make_tuple("admin", "secret", PERM_ADMIN)});
  DigestClient d{"admin", "secret"};
  // The library binds a nonce to the URL it was issued for.
  ASSERT_TRUE(d.challenge_stale("/logout.htm?redirect=/config.txt"));
  EXPECT_EQ(d.get("/logout.htm?redirect=/index.htm").status, 303);
  // The browser's cached credentials now count for nothing: it is the guest,
  // who may read stream settings but not the configuration.
  EXPECT_EQ(d.get("/config.txt").status, 401);
  HttpReply r = d.get("/Video[0].BitRate");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "5000000");
  r = d.get("/username");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  // The login page takes the nonce out again and challenges. The old nonce
  // is then the library's to check again: no longer served as the guest
  // (whether the library still holds it depends on its own nonce table, which
  // every challenge since may have reused).
  EXPECT_EQ(d.get("/login.htm").status, 401);
  r = d.get("/username");
  EXPECT_TRUE(r.status == 401 || r.body == "admin") << r.status << " " << r.body;
  // With the nonce of the new challenge the same credentials work again.
  ASSERT_TRUE(d.challenge_stale("/logout.htm?redirect=/x.htm"));
  r = d.get("/logout.htm?redirect=/x.htm");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/x.htm");
}

TEST_F(WebAuth, StaleNonceAsksTheBrowserToRetry) {
  DigestClient d{"admin", "secret"};
  ASSERT_TRUE(d.challenge("/config.txt"));
  // A nonce this server never issued is refused as stale (the browser then
  // retries with a fresh one instead of asking the person again).
  d.nonce = std::string(d.nonce.size(), 'a');
  HttpReply r = d.get("/config.txt");
  EXPECT_EQ(r.status, 401);
  EXPECT_NE(r.header("WWW-Authenticate").find("stale=\"true\""), std::string::npos)
      << r.header("WWW-Authenticate");
}

// Wrong credentials in a header the server's own parser refuses (a cnonce
// longer than it keeps) are wrong, not a nonce to retry.
TEST_F(WebAuth, WrongCredentialsInAnUnparsableHeaderAreNotStale) {
  DigestClient d{"admin", "guess"};
  ASSERT_TRUE(d.challenge("/config.txt"));
  const std::string cnonce(200, 'c');
  std::string ha1 = md5_hex("admin:7391:guess"), ha2 = md5_hex("GET:/config.txt");
  std::string resp = md5_hex(ha1 + ":" + d.nonce + ":00000001:" + cnonce + ":auth:" + ha2);
  HttpReply r = http_get("/config.txt",
                         "Authorization: Digest username=\"admin\", realm=\"7391\", nonce=\"" + d.nonce +
                             "\", uri=\"/config.txt\", qop=auth, nc=00000001, cnonce=\"" + cnonce +
                             "\", response=\"" + resp + "\", opaque=\"" + d.opaque + "\"\r\n");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.header("WWW-Authenticate").find("stale"), std::string::npos) << r.header("WWW-Authenticate");
}

TEST_F(WebAuth, RightCredentialsWhoseNonceCountTheLibraryLostAreAskedToRetry) {
  // Two requests of one browser that took the same nonce from two challenges
  // of one URL in one second both count 1, and the library takes the second
  // for a replay; it also forgets a nonce whose slot a later challenge took.
  // Either way the browser is to retry with a fresh nonce, not to ask its
  // user for the password again.
  DigestClient d{"admin", "secret"};
  ASSERT_TRUE(d.challenge("/config.txt"));
  const std::string once = d.header("GET", "/config.txt");
  EXPECT_EQ(http_get("/config.txt", once).status, 200);
  HttpReply r = http_get("/config.txt", once);
  EXPECT_EQ(r.status, 401);
  EXPECT_NE(r.header("WWW-Authenticate").find("stale=\"true\""), std::string::npos)
      << r.header("WWW-Authenticate");
  // A wrong password, or the right one for another method, is wrong.
  DigestClient wrong{"admin", "guess"};
  wrong.nonce = d.nonce;
  wrong.opaque = d.opaque;
  r = wrong.get("/config.txt");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.header("WWW-Authenticate").find("stale"), std::string::npos);
  r = http_get("/config.txt", d.header("POST", "/config.txt"));
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.header("WWW-Authenticate").find("stale"), std::string::npos);
  ASSERT_TRUE(d.challenge("/config.txt"));
  EXPECT_EQ(d.get("/config.txt").status, 200);
}

TEST(WebAuthParse, CookieAndNonceHeaders) {
  char token[17];
  EXPECT_EQ(session_cookie_parse("Token=0123456789abcdef", token), 0);
  EXPECT_STREQ(token, "0123456789abcdef");
  EXPECT_EQ(session_cookie_parse("Token=0123456789abcde", token), -1);
  EXPECT_EQ(session_cookie_parse("Token=0123456789abcdef0", token), -1);
  EXPECT_EQ(session_cookie_parse("Token=0123456789abcdeg", token), -1);
  EXPECT_EQ(session_cookie_parse("token=0123456789abcdef", token), -1);
  EXPECT_EQ(session_cookie_parse(nullptr, token), -1);
  char nonce[NONCE_KEEP + 1];
  EXPECT_EQ(digest_nonce_parse("Digest cnonce=\"abc\"", nonce), -1);
  EXPECT_EQ(digest_nonce_parse("Digest a=1,nonce=xyz,b=2", nonce), 0);
  EXPECT_STREQ(nonce, "xyz");
  EXPECT_EQ(digest_nonce_parse("Digest nonce=\"\"", nonce), -1);
  EXPECT_EQ(digest_nonce_parse("Basic YWRtaW46c2VjcmV0", nonce), -1);
}

}  // namespace

TEST_F(WebAuth, DigestResponseCountsOnlyForTheUriItNames) {
  DigestClient d{"admin", "secret"};
  ASSERT_TRUE(d.challenge("/config.txt"));
  EXPECT_EQ(d.get("/config.txt").status, 200);
  // Credentials computed for another URL, sent with this request.
  EXPECT_EQ(http_get("/config.txt", d.header("GET", "/Video[0].BitRate")).status, 401);
  EXPECT_EQ(http_get("/config.txt?x=1", d.header("GET", "/config.txt")).status, 401);
  EXPECT_EQ(d.get("/config.txt").status, 200);
}

TEST_F(WebAuth, SessionEndsWhenIdleOrItsUserIsGoneOrChanged) {
  // Left unused for longer than the idle time: the cookie is nobody's.
  std::string cookie = "Cookie: Token=" + cookie_login("admin", "secret") + "\r\n";
  ASSERT_EQ(http_get("/config.txt", cookie).status, 200);
  session_table[0].last_used -= WEB_SESSION_IDLE - 5;
  EXPECT_EQ(http_get("/config.txt", cookie).status, 200) << "in use: the idle time starts again";
  session_table[0].last_used -= WEB_SESSION_IDLE - 5;
  EXPECT_EQ(http_get("/config.txt", cookie).status, 200) << "used again before the idle time: still on";
  session_table[0].last_used -= WEB_SESSION_IDLE + 1;
  EXPECT_EQ(http_get("/config.txt", cookie).status, 401);
  session_table[0].last_used += 2 * WEB_SESSION_IDLE;
  EXPECT_EQ(http_get("/config.txt", cookie).status, 401) << "ended for good";

  // The user removed through the parameter rows (a parameter file, the
  // control protocol), not the users form.
  cookie = "Cookie: Token=" + cookie_login("viewer", "look") + "\r\n";
  ASSERT_EQ(http_get("/Video[0].BitRate", cookie).status, 200);
  // A form that changes no user (another's, here) ends no session.
  std::string admin = "Cookie: Token=" + cookie_login("admin", "secret") + "\r\n";
  ASSERT_EQ(http_post("/controls", "Video[0].GOPSize=20", admin).status, 200);
  ASSERT_EQ(http_get("/Video[0].BitRate", cookie).status, 200);
  ASSERT_EQ(param_set_str("User[1].Delete", "1"), nullptr);
  EXPECT_EQ(http_get("/Video[0].BitRate", cookie).status, 401);
  // Made again under the same name: the old session stays ended.
  set_users(PERM_NONE, {std::make_tuple("admin", "secret", PERM_ADMIN),
                        std::make_tuple("viewer", "look", PERM_STREAM_VIEW)});
  EXPECT_EQ(http_get("/Video[0].BitRate", cookie).status, 401);

  // The user's level changes, up or down.
  cookie = "Cookie: Token=" + cookie_login("viewer", "look") + "\r\n";
  ASSERT_EQ(http_get("/Video[0].BitRate", cookie).status, 200);
  ASSERT_EQ(param_set_str("User[1].Permission", "5"), nullptr);
  EXPECT_EQ(http_get("/config.txt", cookie).status, 401);
  EXPECT_EQ(http_get("/Video[0].BitRate", cookie).status, 401);
}

// A known-browser cookie is taken only whole and as it was made: for its
// user and that user's password, with no part cut, grown or changed.
TEST_F(WebAuth, KnownBrowserCookieIsTakenOnlyAsMade) {
  set_users(PERM_NONE, {std::make_tuple("admin", "secret", PERM_ADMIN)});
  char set[200], value[160];
  ASSERT_EQ(web_known_cookie_make("admin", set, sizeof set), 0);
  ASSERT_EQ(known_cookie_parse(set, value, sizeof value), 0);
  std::string v = value;
  ASSERT_EQ(v.size(), 16 + 1 + 10 + 1 + 32u) << v;
  EXPECT_EQ(v.substr(16, 12), ".61646d696e.");
  uint64_t id = known_cookie_verify(value, "admin", "secret");
  EXPECT_EQ(id, strtoull(v.substr(0, 16).c_str(), nullptr, 16));
  EXPECT_NE(id, 0u);
  EXPECT_EQ(known_cookie_verify(value, "admin", "secret2"), 0u);
  EXPECT_EQ(known_cookie_verify(value, "admi", "secret"), 0u);
  std::string flipped = v;
  flipped[3] = flipped[3] == '0' ? '1' : '0';
  for (const std::string &bad : {v.substr(0, 17) + "61646d696e", v.substr(0, 16) + v.substr(17), v.substr(1), "0" + v,
                                 v + "0", v.substr(0, v.size() - 1), v.substr(0, 17) + "6" + v.substr(17), flipped})
    EXPECT_EQ(known_cookie_verify(bad.c_str(), "admin", "secret"), 0u) << bad;
  char small[16];
  EXPECT_EQ(known_cookie_parse(set, small, sizeof small), -1);
  EXPECT_EQ(known_cookie_parse("Token=0123456789abcdef; Knownx=1", value, sizeof value), -1);
  EXPECT_EQ(known_cookie_parse("Token=0123456789abcdef;Known=ab", value, sizeof value), 0);
  EXPECT_STREQ(value, "ab");
}
