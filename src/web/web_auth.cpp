// Web authentication: login session cookies, Digest and Basic, the nonce
// cache that makes logging out stick, and the login and logout pages.
#include "web/web_auth.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include "core/log.h"
#include "core/process_util.h"
#include "core/param_table.h"
#include "core/user_log.h"
#include "core/http_digest.h"
#include "web/templates.h"

SessionSlot session_table[SESSION_SLOTS];
uint8_t digest_random[16];

namespace {

// The key of the known-browser cookies, drawn at each start.
uint8_t known_key[32];
bool known_key_ok;
constexpr size_t kKnownIdDigits = 16;
constexpr size_t kKnownMacDigits = 32;

// Every session after the first start takes slots 1 to 9 in turn.
int session_next;
char nonce_cache[NONCE_CACHE_SLOTS][NONCE_KEEP + 1];
int nonce_next;

constexpr uint32_t kLoginCategory = 64;

const char kDeniedPage[] =
    "<html><head>\n<meta http-equiv=\"refresh\" content=\"0;url=%s\"><title>Access "
    "denied</title></head>\n<body>Access denied</body>\n</html>\n";
const char kLoggingInPage[] =
    "<html><head>\n<meta http-equiv=\"refresh\" content=\"0;url=%s\"><title>Logging "
    "in</title></head>\n<body>Logging in</body>\n</html>\n";

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int fill_random(void *buf, size_t n) {
  uint8_t *p = static_cast<uint8_t *>(buf);
  while (n) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += got;
    n -= size_t(got);
  }
  return 0;
}

// A target as it may stand inside an attribute of a page.
void escaped_target(const char *target, char *out, size_t size) {
  PageBuffer page;
  out[0] = 0;
  if (page_init(&page, nullptr, 256) != 0) return;
  html_escape_append(&page, target);
  if (!page.failed) snprintf(out, size, "%s", page.data);
  page_free(&page);
}

// With nobody to log in as, the login page says so (and what the guest,
// every visitor then, may do) instead of asking for credentials that cannot
// exist.
const char kNoUserPage[] =
    "<html><head><title>No user yet</title></head>\n<body><h1>No user yet</h1>\n"
    "<p>No user has been added to this unit, so there is no one to log in as.</p>\n"
    "<p>Every visitor is the guest, with the permission \"%s\": the guest may %s.</p>\n"
    "<p>Users are added on the <a href=\"/admin_users.htm\">Users</a> page (administrators).</p>\n"
    "<p><a href=\"%s\">Back</a></p>\n</body></html>\n";
const char *const kGuestMay[] = {
    "see no page but this one",
    "watch the live streams",
    "watch the live streams and control the camera",
    "watch the live streams and start and stop streams, recordings and the outputs",
    "watch, start, stop and set up the streams, recordings, sound and overlays",
    "do everything, the Users page included",
    "see every page and change nothing",
};

int send_no_user_page(WebRequest *req, const char *target) {
  char esc[1024];
  escaped_target(web_local_target(req, target, "/index.htm"), esc, sizeof esc);
  uint32_t level = user_get_permission(nullptr);
  if (level > PERM_DEMO) level = PERM_NONE;
  PageBuffer page;
  if (page_init(&page, req, sizeof kNoUserPage) != 0) return WEB_NOT_HANDLED;
  page_printf(&page, kNoUserPage, permission_name(level), kGuestMay[level], esc);
  return page_send(&page);
}

int send_meta_page(WebRequest *req, MHD_Response **out, const char *fmt, const char *target) {
  char esc[1024];
  escaped_target(web_local_target(req, target, "/index.htm"), esc, sizeof esc);
  char *text = nullptr;
  int n = asprintf(&text, fmt, esc);
  if (n < 0) return -1;
  *out = MHD_create_response_from_buffer(size_t(n), text, MHD_RESPMEM_MUST_FREE);
  if (!*out) {
    free(text);
    return -1;
  }
  web_content_type(*out, "text/html");
  web_no_cache(*out);
  return 0;
}

void log_user_event(const char *fn, const char *user, uint32_t event) {
  if (user_log_append(kLoginCategory, user, event) != 0) log_printf("%s: log write failed\n", fn);
}

void nonce_remove(int i) {
  int j = i;
  while ((j + 1) % NONCE_CACHE_SLOTS != nonce_next) {
    int k = (j + 1) % NONCE_CACHE_SLOTS;
    memcpy(nonce_cache[j], nonce_cache[k], sizeof nonce_cache[j]);
    j = k;
  }
  memset(nonce_cache[j], 0, sizeof nonce_cache[j]);
  nonce_next = j;
}

int64_t now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec);
}

// A session lasts while it is used and its user is as it was: one left idle,
// or whose user was removed or given another level by any means (the users
// form, a parameter file, the control protocol), ends.
bool session_still_valid(const SessionSlot *s) {
  const char *why = nullptr;
  if (now_s() - s->last_used > WEB_SESSION_IDLE)
    why = "idle";
  else if (!user_get_password(s->user))
    why = "user removed";
  else if (user_get_permission(s->user) != s->level)
    why = "permission changed";
  if (!why) return true;
  log_printf("%s: session of %s ended (%s)\n", "web_authenticate", s->user, why);
  return false;
}

void session_begin(SessionSlot *s, const char *user) {
  snprintf(s->user, sizeof s->user, "%s", user ? user : "");
  s->state = SESSION_LOGGED_IN;
  s->level = user_get_permission(s->user);
  s->last_used = now_s();
}

int redirect_with_target(WebRequest *req, const char *fmt, const char *target) {
  // The login link stays within 150 characters.
  char enc[600], url[151];
  url_encode_query(target, enc, sizeof enc);
  snprintf(url, sizeof url, fmt, enc);
  return web_redirect(req->connection, url);
}

int login_create_session(WebRequest *req, const char *target) {
  int s = session_create(req, req->username);
  MHD_Response *r = nullptr;
  if (send_meta_page(req, &r, kLoggingInPage, target) != 0) return WEB_NOT_HANDLED;
  // Not for scripts, not sent along by other sites' pages, for every page.
  char cookie[80];
  snprintf(cookie, sizeof cookie, "Token=%s; HttpOnly; SameSite=Strict; Path=/",
           session_table[s].token);
  web_add_header(MHD_HTTP_HEADER_SET_COOKIE, cookie, r);
  return web_queue_response(req->connection, MHD_HTTP_OK, r);
}

int send_slowed(WebRequest *req) {
  int64_t now = monotonic_ms();
  uint32_t wait = req->browser ? web_login_browser_wait(req->browser, now)
                               : web_login_wait(web_client_addr(req), now);
  if (!wait) wait = 1;
  char text[160], seconds[12];
  snprintf(text, sizeof text,
           "Too many wrong user names or passwords from this %s: try again in %u s.\n",
           req->browser ? "browser" : "address", wait);
  snprintf(seconds, sizeof seconds, "%u", wait);
  MHD_Response *r = MHD_create_response_from_buffer(strlen(text), text, MHD_RESPMEM_MUST_COPY);
  if (!r) return WEB_NOT_HANDLED;
  web_content_type(r, "text/plain");
  web_no_cache(r);
  web_add_header(MHD_HTTP_HEADER_RETRY_AFTER, seconds, r);
  return web_queue_response(req->connection, MHD_HTTP_TOO_MANY_REQUESTS, r);
}

// The next cookie of a "Cookie" header at *p: its name and value; false at
// the end.
bool next_cookie(const char **p, const char **name, size_t *nlen, const char **value, size_t *vlen) {
  const char *c = *p;
  while (*c == ' ' || *c == '\t') c++;
  if (!*c) return false;
  const char *end = c + strcspn(c, ";");
  const char *eq = static_cast<const char *>(memchr(c, '=', size_t(end - c)));
  *name = c;
  *nlen = size_t((eq ? eq : end) - c);
  *value = eq ? eq + 1 : end;
  *vlen = size_t(end - *value);
  *p = *end ? end + 1 : end;
  return true;
}

bool is_name(const char *name, size_t len, const char *want) {
  return len == strlen(want) && memcmp(name, want, len) == 0;
}

void hex_print(const uint8_t *bytes, size_t n, char *out) {
  for (size_t i = 0; i < n; i++) snprintf(out + 2 * i, 3, "%02x", bytes[i]);
}

// The MAC digits of a known-browser cookie (kKnownMacDigits + 1 bytes).
bool known_mac(const char *id, const char *user, const char *password, char *out) {
  char data[kKnownIdDigits + 1 + sizeof ParamBlock::users[0].name + 1 + sizeof ParamBlock::users[0].password];
  int n = snprintf(data, sizeof data, "%s%c%s%c%s", id, 0, user, 0, password);
  if (n < 0 || size_t(n) >= sizeof data) return false;
  uint8_t md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (!HMAC(EVP_sha256(), known_key, sizeof known_key, reinterpret_cast<const uint8_t *>(data),
            size_t(n), md, &len) ||
      len < kKnownMacDigits / 2)
    return false;
  hex_print(md, kKnownMacDigits / 2, out);
  return true;
}

}  // namespace

int web_auth_init(void) {
  if (fill_random(digest_random, sizeof digest_random) != 0) {
    log_printf("%s: no random bytes: %s\n", "web_auth_init", strerror(errno));
    return -1;
  }
  known_key_ok = fill_random(known_key, sizeof known_key) == 0;
  return 0;
}

int known_cookie_parse(const char *cookie, char *out, size_t size) {
  const char *name, *value;
  size_t nlen, vlen;
  for (const char *p = cookie ? cookie : ""; next_cookie(&p, &name, &nlen, &value, &vlen);) {
    if (!is_name(name, nlen, WEB_KNOWN_COOKIE)) continue;
    if (vlen >= size) return -1;
    memcpy(out, value, vlen);
    out[vlen] = 0;
    return 0;
  }
  return -1;
}

uint64_t web_known_browser(const WebRequest *req, const char *user) {
  char v[160];
  const char *password = user ? user_get_password(user) : nullptr;
  if (!password || known_cookie_parse(web_header(req, MHD_HTTP_HEADER_COOKIE), v, sizeof v) != 0)
    return 0;
  return known_cookie_verify(v, user, password);
}

uint64_t known_cookie_verify(const char *value, const char *user, const char *password) {
  char v[160];
  if (!value || !user || !password || strlen(value) >= sizeof v) return 0;
  strcpy(v, value);
  // "<id>.<user in hexadecimal>.<mac>"
  char *dot = strchr(v, '.');
  char *mac = dot ? strchr(dot + 1, '.') : nullptr;
  if (!mac || size_t(dot - v) != kKnownIdDigits || strlen(mac + 1) != kKnownMacDigits) return 0;
  *dot = *mac = 0;
  char name[sizeof ParamBlock::users[0].name + 1];
  size_t hex = strlen(dot + 1);
  if (hex % 2 || hex / 2 >= sizeof name) return 0;
  for (size_t i = 0; i < hex / 2; i++) {
    unsigned byte;
    if (!is_hex(dot[1 + 2 * i]) || !is_hex(dot[2 + 2 * i]) || sscanf(dot + 1 + 2 * i, "%2x", &byte) != 1)
      return 0;
    name[i] = char(byte);
  }
  name[hex / 2] = 0;
  char want[kKnownMacDigits + 1];
  for (size_t i = 0; i < kKnownIdDigits; i++)
    if (!is_hex(v[i])) return 0;
  if (!known_key_ok || strcmp(name, user) != 0 || !known_mac(v, user, password, want) ||
      CRYPTO_memcmp(want, mac + 1, kKnownMacDigits) != 0)
    return 0;
  return strtoull(v, nullptr, 16);
}

int web_known_cookie_make(const char *user, char *out, size_t size) {
  const char *password = user ? user_get_password(user) : nullptr;
  uint8_t bytes[kKnownIdDigits / 2];
  if (!known_key_ok || !password || fill_random(bytes, sizeof bytes) != 0) return -1;
  bytes[0] |= 1;   // an id is never 0
  char id[kKnownIdDigits + 1], name[2 * sizeof ParamBlock::users[0].name + 1], mac[kKnownMacDigits + 1];
  hex_print(bytes, sizeof bytes, id);
  size_t n = strnlen(user, sizeof ParamBlock::users[0].name);
  hex_print(reinterpret_cast<const uint8_t *>(user), n, name);
  name[2 * n] = 0;
  if (!known_mac(id, user, password, mac)) return -1;
  int w = snprintf(out, size, "%s=%s.%s.%s; Max-Age=%d; HttpOnly; SameSite=Strict; Path=/",
                   WEB_KNOWN_COOKIE, id, name, mac, WEB_KNOWN_MAX_AGE);
  return w > 0 && size_t(w) < size ? 0 : -1;
}

void web_sessions_forget_user(const char *name) {
  if (!name || !name[0]) return;
  for (SessionSlot &s : session_table) {
    if (strncmp(s.user, name, sizeof s.user) != 0) continue;
    memset(&s, 0, sizeof s);
  }
}

void web_auth_reset(void) {
  web_login_reset();
  memset(session_table, 0, sizeof session_table);
  memset(nonce_cache, 0, sizeof nonce_cache);
  session_next = 0;
  nonce_next = 0;
}

int session_cookie_parse(const char *cookie, char *token) {
  const char *name, *value;
  size_t nlen, vlen;
  int tokens = 0;
  for (const char *p = cookie ? cookie : ""; next_cookie(&p, &name, &nlen, &value, &vlen);) {
    if (is_name(name, nlen, WEB_KNOWN_COOKIE)) continue;
    if (!is_name(name, nlen, "Token") || vlen != 16 || tokens++) return -1;
    for (int i = 0; i < 16; i++)
      if (!is_hex(value[i])) return -1;
    memcpy(token, value, 16);
    token[16] = 0;
  }
  return tokens == 1 ? 0 : -1;
}

int digest_nonce_parse(const char *authorization, char *out) {
  if (!authorization) return -1;
  const char *p = strstr(authorization, " nonce=");
  const char *q = strstr(authorization, ",nonce=");
  if (!p || (q && q < p)) p = q;
  if (!p) return -1;
  p += strlen(" nonce=");
  if (*p == '"') p++;
  size_t n = 0;
  while (n < NONCE_KEEP && p[n] && p[n] != '"' && p[n] != ',') n++;
  if (!n) return -1;
  memcpy(out, p, n);
  out[n] = 0;
  return 0;
}

int session_lookup(WebRequest *req) {
  char token[17];
  if (session_cookie_parse(web_header(req, MHD_HTTP_HEADER_COOKIE), token) != 0) return -1;
  uint32_t client = web_client_addr(req);
  for (int i = 0; i < SESSION_SLOTS; i++)
    if (session_table[i].client == client && strcmp(session_table[i].token, token) == 0) return i;
  return -ENOENT;
}

int session_create(WebRequest *req, const char *user) {
  int s = session_next;
  SessionSlot *slot = &session_table[s];
  uint8_t bytes[8] = {0};
  if (fill_random(bytes, sizeof bytes) != 0) log_printf("%s: no random bytes\n", "session_create");
  for (int i = 0; i < 8; i++) snprintf(slot->token + 2 * i, 3, "%02x", bytes[i]);
  slot->client = web_client_addr(req);
  session_begin(slot, user);
  if (++session_next == SESSION_SLOTS) session_next = 1;
  return s;
}

int digest_nonce_check(WebRequest *req, int add) {
  char nonce[NONCE_KEEP + 1];
  if (digest_nonce_parse(web_header(req, MHD_HTTP_HEADER_AUTHORIZATION), nonce) != 0) return -1;
  for (int i = 0; i < NONCE_CACHE_SLOTS; i++)
    if (strcmp(nonce_cache[i], nonce) == 0) return i;
  if (add) {
    memcpy(nonce_cache[nonce_next], nonce, sizeof nonce);
    nonce_next = (nonce_next + 1) % NONCE_CACHE_SLOTS;
  }
  return -1;
}

namespace {

// libmicrohttpd keeps the counters of a fixed number of nonces, in slots
// picked by a hash of the nonce, and binds each nonce to one URL: every page
// a browser opens brings a challenge and a new nonce, which can take the slot
// of the nonce another of the browser's requests is about to use. The library
// then calls that request's right credentials wrong, and the browser would
// ask its user for the password again. A response that is right for its
// nonce (one the library issued and has not timed out, or it would have said
// stale), this request's method and URL and the user's password is answered
// as a stale nonce instead: the browser retries at once with a fresh one. A
// replayed request gets no further than that either.
bool digest_counter_lost(WebRequest *req, const char *user, const char *password) {
  const char *header = web_header(req, MHD_HTTP_HEADER_AUTHORIZATION);
  HttpDigest d;
  if (!req->method || !header || !digest_parse(header, &d)) return false;
  if (strcmp(d.username, user) != 0 || strcmp(d.realm, WEB_REALM) != 0) return false;
  size_t path = strcspn(d.uri, "?");
  if (!req->url || strlen(req->url) != path || strncmp(d.uri, req->url, path) != 0) return false;
  char ha1[33];
  digest_ha1(user, WEB_REALM, password, ha1);
  return digest_response_ok(d, ha1, req->method);
}

}  // namespace

char *web_authenticate(WebRequest *req, int *ok) {
  if (ok) *ok = 0;
  if (!req->connection) return nullptr;
  if (!web_header(req, MHD_HTTP_HEADER_AUTHORIZATION)) {
    int s = session_lookup(req);
    if (s >= 0 && session_table[s].state == SESSION_LOGGED_IN) {
      SessionSlot *slot = &session_table[s];
      if (!session_still_valid(slot)) {
        memset(slot, 0, sizeof *slot);
        return nullptr;
      }
      slot->last_used = now_s();
      if (ok) *ok = 1;
      return strdup(slot->user);
    }
    return nullptr;
  }
  int result = 0;
  char *user = nullptr;
  uint32_t client = web_client_addr(req);
  int64_t now = monotonic_ms();
  // A known browser of the user waits only for its own failures.
  auto slowed = [req, client, now](const char *name) {
    req->browser = web_known_browser(req, name);
    return req->browser ? web_login_browser_wait(req->browser, now) : web_login_wait(client, now);
  };
  if (char *name = MHD_digest_auth_get_username(req->connection)) {
    user = strdup(name);
    MHD_free(name);
    const char *password = user_get_password(user);
    if (password && digest_nonce_check(req, 0) >= 0) {
      // This browser logged out: its cached credentials count for nothing.
      free(user);
      return nullptr;
    }
    if (slowed(user)) {
      result = WEB_AUTH_SLOWED;
    } else if (password) {
      result = MHD_digest_auth_check(req->connection, WEB_REALM, user, password,
                                     WEB_NONCE_TIMEOUT);
      if (result == MHD_NO && digest_counter_lost(req, user, password)) result = MHD_INVALID_NONCE;
    }
  } else {
    char *pass = nullptr;
    if (char *name = MHD_basic_auth_get_username_password(req->connection, &pass)) {
      user = strdup(name);
      MHD_free(name);
      const char *password = user_get_password(user);
      if (slowed(user))
        result = WEB_AUTH_SLOWED;
      else
        result = password && pass && strcmp(password, pass) == 0;
    }
    if (pass) MHD_free(pass);
  }
  if (req->browser) {
    if (result == MHD_NO) web_login_browser_failed(req->browser, user, client, now);
    if (result == MHD_YES) web_login_browser_ok(req->browser);
    if (result == WEB_AUTH_SLOWED) web_login_browser_refused(req->browser);
  } else {
    if (user && result == MHD_NO) web_login_failed(client, now);
    if (result == WEB_AUTH_SLOWED) web_login_refused(client);
  }
  // Credentials for a user without a password (or no such user) are wrong
  // credentials: the browser is asked again instead of going on as the guest.
  if (ok && user) {
    *ok = result;
    return user;
  }
  if (result == MHD_YES) return user;
  free(user);
  return nullptr;
}

int send_access_denied(WebRequest *req, int result) {
  if (!req->connection) return WEB_NOT_HANDLED;
  if (result == WEB_AUTH_SLOWED) return send_slowed(req);
  MHD_Response *r = nullptr;
  if (send_meta_page(req, &r, kDeniedPage, web_target(req, "/index.htm")) != 0)
    return WEB_NOT_HANDLED;
  int rc = MHD_queue_auth_fail_response(req->connection, WEB_REALM, WEB_OPAQUE, r,
                                        result == MHD_INVALID_NONCE ? MHD_YES : MHD_NO);
  MHD_destroy_response(r);
  return rc == MHD_YES ? WEB_QUEUED : WEB_NOT_HANDLED;
}

// The login page stays open to a typed address or a bookmark: what another
// site's page can do with it is log a browser in again, not change a setting.
int get_login_func(WebRequest *req) {
  const char *target = web_target(req, "/index.htm");
  const char *a = web_get_arg(req, "a");
  bool user = req->username != nullptr;
  if (!user && user_login_count() == 0) return send_no_user_page(req, target);
  if (a && strcmp(a, "verify") == 0) {
    if (user) return web_redirect(req->connection, target);
    return redirect_with_target(req, "/login.htm?a=cookie&redirect=%s", target);
  }
  if (a && strcmp(a, "cookie") != 0) return web_redirect(req->connection, target);
  if (a) return user ? login_create_session(req, target) : send_access_denied(req, 0);
  if (user) {
    log_user_event("get_login_func", req->username, USER_EVENT_LOGIN);
    int s = session_lookup(req);
    if (s == -1) return redirect_with_target(req, "/login.htm?a=verify&redirect=%s", target);
    if (s >= 0 && session_table[s].state != SESSION_LOGGED_OUT) {
      session_begin(&session_table[s], req->username);
      return web_redirect(req->connection, target);
    }
    if (s >= 0) {
      session_table[s].state = SESSION_PENDING;
      return send_access_denied(req, 0);
    }
    return login_create_session(req, target);
  }
  int i = digest_nonce_check(req, 0);
  if (i >= 0) nonce_remove(i);
  return send_access_denied(req, 0);
}

// Logging out from another site's page would end a login.
int get_logout_func(WebRequest *req) {
  if (!web_from_own_page(req)) return send_not_own_page(req);
  const char *target = web_target(req, "/index.htm");
  log_user_event("get_logout_func", req->username, USER_EVENT_LOGOUT);
  digest_nonce_check(req, 1);
  int s = session_lookup(req);
  if (s >= 0)
    session_table[s].state =
        session_table[s].state == SESSION_LOGGED_IN ? SESSION_LOGGED_OUT : SESSION_PENDING;
  return web_redirect(req->connection, target);
}
