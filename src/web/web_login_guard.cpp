// Wrong credentials, counted per client address: an address that keeps
// guessing waits longer and longer before its next guess is checked, while
// every other address (the administrator's) goes on as before. A browser
// that logged in before (a known-browser cookie, web_auth.h) is counted on
// its own instead, so a guesser behind the same address (a NAT) cannot make
// it wait.
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>

#include "core/log.h"
#include "core/log_episode.h"
#include "web/web_auth.h"

namespace {

// An episode that goes on this long is logged and counted afresh, so that
// guessing that never pauses still shows in the log.
constexpr int64_t kEpisodeMaxMs = 3600 * 1000;

struct LoginEntry {
  uint32_t client;        // the address (a known browser's: of its last failure)
  uint64_t browser;       // a known browser's cookie id; 0: the address's own count
  char user[20];          // a known browser's user
  bool used;
  bool crowd;             // ends in the crowd's line, not a line of its own
  uint32_t failures;      // wrong credentials since the entry was last quiet
  uint32_t refused;       // tries refused while it waited
  int64_t last_ms;        // the last wrong credentials
  int64_t since_ms;       // the episode's start
  LogEpisode episode;
};

LoginEntry entries[WEB_LOGIN_ADDRESSES];

// More addresses guessing than the table holds (rotating ones): each that
// loses its place, and each in the table meanwhile, is counted here, and
// the whole is one line once the last of them is over.
struct LoginCrowd {
  bool on;
  uint32_t entries;
  uint32_t failures;
  uint32_t refused;
  int64_t since_ms;
} crowd;

LoginEntry *find(uint32_t client, uint64_t browser) {
  for (LoginEntry &e : entries)
    if (e.used && e.browser == browser && (browser || e.client == client)) return &e;
  return nullptr;
}

// The counts of an entry's episode so far go to its line, or to the crowd's.
void episode_end(LoginEntry *a, bool last) {
  uint32_t n = log_episode_ok(&a->episode, 0);
  if (a->crowd) {
    crowd.entries += last;
    crowd.failures += n;
    crowd.refused += a->refused;
    a->refused = 0;
    return;
  }
  if (!n) return;
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a->client, text, sizeof text);
  if (a->browser)
    log_printf("%s: wrong credentials from a known browser of %s (at %s) %u times, %u more tries "
               "refused while it waited\n",
               "web_login_tick", a->user, text, n, a->refused);
  else
    log_printf("%s: wrong credentials from %s %u times, %u more tries refused while it waited\n",
               "web_login_tick", text, n, a->refused);
  a->refused = 0;
}

void crowd_end(int64_t now_ms) {
  if (crowd.failures || crowd.refused)
    log_printf("%s: wrong credentials from %u addresses and browsers %u times, %u more tries refused "
               "while they waited (more than the %d counted one by one)\n",
               "web_login_tick", crowd.entries, crowd.failures, crowd.refused, WEB_LOGIN_ADDRESSES);
  crowd.entries = crowd.failures = crowd.refused = 0;
  crowd.since_ms = now_ms;
}

int64_t wait_ms(const LoginEntry *a) {
  if (a->failures < WEB_LOGIN_FREE_FAILURES) return 0;
  uint32_t doublings = a->failures - WEB_LOGIN_FREE_FAILURES;
  int64_t ms = int64_t(1000) << (doublings < 16 ? doublings : 16);
  return ms < WEB_LOGIN_MAX_WAIT_S * 1000 ? ms : WEB_LOGIN_MAX_WAIT_S * 1000;
}

uint32_t wait_of(const LoginEntry *a, int64_t now_ms) {
  if (!a) return 0;
  int64_t left = a->last_ms + wait_ms(a) - now_ms;
  return left > 0 ? uint32_t((left + 999) / 1000) : 0;
}

void failed(uint32_t client, uint64_t browser, const char *user, int64_t now_ms) {
  LoginEntry *a = find(client, browser);
  if (!a) {
    // A full table gives up the entry that has been quiet longest; from
    // then on the guessing is one crowd.
    for (LoginEntry &e : entries)
      if (!a || !e.used || (a->used && e.last_ms < a->last_ms)) a = &e;
    if (a->used) {
      if (!crowd.on) {
        crowd = LoginCrowd{true, 0, 0, 0, now_ms};
        for (LoginEntry &e : entries) e.crowd = true;
      }
      episode_end(a, true);
    }
    *a = LoginEntry{client, browser, {}, true, crowd.on, 0, 0, now_ms, now_ms, {}};
    snprintf(a->user, sizeof a->user, "%s", user ? user : "");
  }
  a->client = client;
  a->failures++;
  a->last_ms = now_ms;
  log_episode_fail(&a->episode);
}

}  // namespace

uint32_t web_login_quiet_ms = WEB_LOGIN_QUIET_MS;

uint32_t web_login_wait(uint32_t client, int64_t now_ms) { return wait_of(find(client, 0), now_ms); }

void web_login_failed(uint32_t client, int64_t now_ms) { failed(client, 0, nullptr, now_ms); }

void web_login_refused(uint32_t client) {
  if (LoginEntry *a = find(client, 0)) a->refused++;
}

uint32_t web_login_browser_wait(uint64_t browser, int64_t now_ms) {
  return browser ? wait_of(find(0, browser), now_ms) : 0;
}

void web_login_browser_failed(uint64_t browser, const char *user, uint32_t client, int64_t now_ms) {
  if (browser) failed(client, browser, user, now_ms);
}

void web_login_browser_refused(uint64_t browser) {
  if (LoginEntry *a = browser ? find(0, browser) : nullptr) a->refused++;
}

void web_login_browser_ok(uint64_t browser) {
  LoginEntry *a = browser ? find(0, browser) : nullptr;
  if (!a) return;
  episode_end(a, true);
  *a = LoginEntry{};
}

void web_login_tick(int64_t now_ms, bool flush) {
  bool crowd_left = false;
  for (LoginEntry &a : entries) {
    if (!a.used) continue;
    if (flush || now_ms - a.last_ms >= int64_t(web_login_quiet_ms)) {
      episode_end(&a, true);
      a = LoginEntry{};
    } else if (now_ms - a.since_ms >= kEpisodeMaxMs) {
      episode_end(&a, false);
      a.since_ms = now_ms;
    }
    crowd_left |= a.used && a.crowd;
  }
  if (!crowd.on) return;
  // Its entries end once quiet: the crowd ends with the last of them.
  if (flush || !crowd_left) {
    crowd_end(now_ms);
    crowd = LoginCrowd{};
  } else if (now_ms - crowd.since_ms >= kEpisodeMaxMs) {
    crowd_end(now_ms);
  }
}

void web_login_reset(void) {
  memset(entries, 0, sizeof entries);
  crowd = LoginCrowd{};
}
