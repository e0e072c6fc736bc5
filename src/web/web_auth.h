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
// WEB_AUTH_SLOWED not checked (the address guessed too often lately). A
// name comes back with *ok other than 1 only when ok was given.
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
// touched: guessing from one cannot lock the administrator out. An episode
// ends once the address has had no failure for web_login_quiet_ms (its
// count starts again), when the table needs its place, or when the web
// server stops; each is logged once, with the address and the counts.
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
// Ends the episodes that are over (all of them with flush).
void web_login_tick(int64_t now_ms, bool flush);
void web_login_reset(void);

int get_login_func(WebRequest *req);
int get_logout_func(WebRequest *req);

// Parsers of request headers (pure; fuzzed).
// "Token=" and exactly 16 hexadecimal digits: copies the digits into token
// (17 bytes) and returns 0; -1 otherwise.
int session_cookie_parse(const char *cookie, char *token);
// The nonce of a Digest "Authorization" header: its first NONCE_KEEP
// characters into out (NONCE_KEEP + 1 bytes); 0, or -1 when there is none.
int digest_nonce_parse(const char *authorization, char *out);
