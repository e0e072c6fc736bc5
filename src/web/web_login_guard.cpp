// Wrong credentials, counted per client address: an address that keeps
// guessing waits longer and longer before its next guess is checked, while
// every other address (the administrator's) goes on as before.
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

struct LoginAddress {
  uint32_t client;
  bool used;
  uint32_t failures;      // wrong credentials since the address was last quiet
  uint32_t refused;       // tries refused while the address waited
  int64_t last_ms;        // the last wrong credentials
  int64_t since_ms;       // the episode's start
  LogEpisode episode;
};

LoginAddress addresses[WEB_LOGIN_ADDRESSES];

LoginAddress *find(uint32_t client) {
  for (LoginAddress &a : addresses)
    if (a.used && a.client == client) return &a;
  return nullptr;
}

// The one line of an episode.
void episode_end(LoginAddress *a) {
  uint32_t n = log_episode_ok(&a->episode, 0);
  if (!n) return;
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a->client, text, sizeof text);
  log_printf("%s: wrong credentials from %s %u times, %u more tries refused while it waited\n",
             "web_login_tick", text, n, a->refused);
  a->refused = 0;
}

int64_t wait_ms(const LoginAddress *a) {
  if (a->failures < WEB_LOGIN_FREE_FAILURES) return 0;
  uint32_t doublings = a->failures - WEB_LOGIN_FREE_FAILURES;
  int64_t ms = int64_t(1000) << (doublings < 16 ? doublings : 16);
  return ms < WEB_LOGIN_MAX_WAIT_S * 1000 ? ms : WEB_LOGIN_MAX_WAIT_S * 1000;
}

}  // namespace

uint32_t web_login_quiet_ms = WEB_LOGIN_QUIET_MS;

uint32_t web_login_wait(uint32_t client, int64_t now_ms) {
  const LoginAddress *a = find(client);
  if (!a) return 0;
  int64_t left = a->last_ms + wait_ms(a) - now_ms;
  return left > 0 ? uint32_t((left + 999) / 1000) : 0;
}

void web_login_failed(uint32_t client, int64_t now_ms) {
  LoginAddress *a = find(client);
  if (!a) {
    // A full table gives up the address that has been quiet longest.
    for (LoginAddress &e : addresses)
      if (!a || !e.used || (a->used && e.last_ms < a->last_ms)) a = &e;
    if (a->used) episode_end(a);
    *a = LoginAddress{client, true, 0, 0, now_ms, now_ms, {}};
  }
  a->failures++;
  a->last_ms = now_ms;
  log_episode_fail(&a->episode);
}

void web_login_refused(uint32_t client) {
  if (LoginAddress *a = find(client)) a->refused++;
}

void web_login_tick(int64_t now_ms, bool flush) {
  for (LoginAddress &a : addresses) {
    if (!a.used) continue;
    if (flush || now_ms - a.last_ms >= int64_t(web_login_quiet_ms)) {
      episode_end(&a);
      a = LoginAddress{};
    } else if (now_ms - a.since_ms >= kEpisodeMaxMs) {
      episode_end(&a);
      a.since_ms = now_ms;
    }
  }
}

void web_login_reset(void) { memset(addresses, 0, sizeof addresses); }
