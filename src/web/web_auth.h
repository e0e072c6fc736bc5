// Who a web request comes from: a login session cookie, HTTP Digest
// (RFC 2617) or HTTP Basic, tried in that order; the guest otherwise.
#pragma once
#include <cstddef>
#include <cstdint>
#include "web/web_request.h"

#define WEB_REALM "7391"
#define WEB_OPAQUE "5d0c7e29a1f84b63c2e90d7a14f6b38e95c21d07"
#define WEB_NONCE_TIMEOUT 300
#define SESSION_SLOTS 10
#define NONCE_CACHE_SLOTS 16
#define NONCE_KEEP 40
// A login session not used for this long ends (seconds).
#define WEB_SESSION_IDLE 1800

enum SessionState : uint32_t { SESSION_LOGGED_OUT = 0, SESSION_PENDING = 1, SESSION_LOGGED_IN = 2 };

struct SessionSlot {
  uint32_t client;     // IPv4 address as the library reports it
  char token[20];      // 16 lowercase hexadecimal digits
  char user[20];
  uint32_t state;      // SessionState
  uint32_t level;      // the user's PermissionLevel when the session began
  int64_t last_used;   // CLOCK_MONOTONIC seconds of the last request
};
extern SessionSlot session_table[SESSION_SLOTS];

// The 16 random bytes the library signs its Digest nonces with (filled from
// the kernel's random source at start).
extern uint8_t digest_random[16];
int web_auth_init(void);
// Forgets every session, cached nonce and wrong login (tests).
void web_auth_reset(void);
// Ends every session of the user name (the user was deleted or renamed): a
// user created later under that name starts without them.
void web_sessions_forget_user(const char *name);

// The user name of the request (malloc'd; the caller frees it) or NULL for
// the guest; *ok: 1 accepted, 0 wrong, -1 stale Digest nonce,
// WEB_AUTH_SLOWED not checked (the address, or the known browser, guessed
// too often lately; req->browser says which). A name comes back with *ok
// other than 1 only when ok was given.
char *web_authenticate(WebRequest *req, int *ok);
int session_lookup(WebRequest *req);
int session_create(WebRequest *req, const char *user);
int digest_nonce_check(WebRequest *req, int add);
// 401 with the Digest challenge and a page that sends the browser on; 429
// with Retry-After for WEB_AUTH_SLOWED.
int send_access_denied(WebRequest *req, int result);

// Wrong credentials, per client address: after WEB_LOGIN_FREE_FAILURES an
// address waits 1 s before its next try is checked, twice as long after
// each further failure, up to WEB_LOGIN_MAX_WAIT_S. Other addresses are not
// touched: guessing from one cannot lock the administrator out. A known
// browser (below) is counted the same way on its own, not by its address:
// a guesser behind the administrator's address (a NAT) without the cookie
// does not make it wait, and its right password clears its count. An
// episode ends once the address or browser has had no failure for
// web_login_quiet_ms (its count starts again), when the table needs its
// place, or when the web server stops; each is logged once, with the
// address and the counts. Once the table has had to give up a place (more
// addresses than it holds, rotating), every episode until all are over is
// counted into one line instead.
#define WEB_AUTH_SLOWED (-2)
#define WEB_LOGIN_FREE_FAILURES 5
#define WEB_LOGIN_MAX_WAIT_S 60
#define WEB_LOGIN_QUIET_MS (10 * 60 * 1000)
#define WEB_LOGIN_ADDRESSES 32
extern uint32_t web_login_quiet_ms;
// Seconds the address must still wait before its credentials are checked
// (0: none). Times are monotonic milliseconds.
uint32_t web_login_wait(uint32_t client, int64_t now_ms);
void web_login_failed(uint32_t client, int64_t now_ms);
// A try refused while the address waited (counted for the log line).
void web_login_refused(uint32_t client);
// The same for a known browser's cookie id (0: none, no wait); user and
// client name it in the log line. A right password clears its count.
uint32_t web_login_browser_wait(uint64_t browser, int64_t now_ms);
void web_login_browser_failed(uint64_t browser, const char *user, uint32_t client, int64_t now_ms);
void web_login_browser_refused(uint64_t browser);
void web_login_browser_ok(uint64_t browser);
// Ends the episodes that are over (all of them with flush).
void web_login_tick(int64_t now_ms, bool flush);
void web_login_reset(void);

int get_login_func(WebRequest *req);
int get_logout_func(WebRequest *req);

// A known browser: one that gave a user's right credentials before gets the
// long-lived cookie WEB_KNOWN_COOKIE with the reply, its value
// "<id>.<user>.<mac>": 16 hexadecimal digits naming the browser, the user
// name in hexadecimal, and the first 16 bytes of an HMAC-SHA256 over both
// and the user's password under a key drawn at each start, in hexadecimal.
// Nobody can make one without the key; it names the user it was given to,
// and a new password or a restart ends it (the next right login gives a new
// one).
#define WEB_KNOWN_COOKIE "Known"
#define WEB_KNOWN_MAX_AGE (400 * 24 * 3600)
// The id of the request's known-browser cookie when it is valid for user;
// 0 otherwise.
uint64_t web_known_browser(const WebRequest *req, const char *user);
// A new "Set-Cookie" value for a browser of user into out; 0, or -1 when
// none can be made (no key, no such user).
int web_known_cookie_make(const char *user, char *out, size_t size);

// Parsers of request headers (pure; fuzzed).
// A "Cookie" header that is the session cookie: "Token=" and exactly 16
// hexadecimal digits, alone or beside the known-browser cookie (any other
// cookie makes it none). Copies the digits into token (17 bytes) and
// returns 0; -1 otherwise.
int session_cookie_parse(const char *cookie, char *token);
// The value of the known-browser cookie of a "Cookie" header into out
// (size bytes); 0, or -1 when there is none or it does not fit.
int known_cookie_parse(const char *cookie, char *out, size_t size);
// The id of a known-browser cookie's value when it was made for user with
// that password (since web_auth_init); 0 otherwise.
uint64_t known_cookie_verify(const char *value, const char *user, const char *password);
// The nonce of a Digest "Authorization" header: its first NONCE_KEEP
// characters into out (NONCE_KEEP + 1 bytes); 0, or -1 when there is none.
int digest_nonce_parse(const char *authorization, char *out);
