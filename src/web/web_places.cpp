// The web server's places and the deadlines of its requests (see
// web_places.h). Records are touched by the library's thread (its
// notifications and the access handler) and by the httpd thread's tick, under
// one mutex. A place is given up by shutting its socket down: the library sees
// the end, closes the connection and tells its close, which frees the record;
// it closes the descriptor only after that notification, so a record that
// still names its connection names a descriptor that is still the
// connection's.
#include "web/web_places.h"

#include <arpa/inet.h>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include "core/listen_guard.h"
#include "core/log.h"
#include "core/process_util.h"
#include "web/httpd.h"
#include "web/web_request.h"

namespace {

enum PlaceState : uint8_t {
  PLACE_IDLE,       // no request, or its header still coming
  PLACE_RECEIVING,  // the header is in, the body is coming
  PLACE_ANSWERING,  // the request is whole and being answered
  PLACE_STREAM      // the answer is a stream
};

struct WebPlace {
  MHD_Connection *connection;  // NULL: a free record
  int fd;
  uint8_t addr[16];            // the client's address, IPv4 mapped
  PlaceState state;
  bool evicting;               // shut down, not closed yet
  bool refused;                // answered 503 at its request
  bool uri_cut;                // its query was cut off: answered 414
  int64_t since;               // ms: idle since, receiving since, or the stream's window
  uint64_t bytes;              // of the body, or of the stream in its window
};

// The cap, then the spare places for the 503 answers.
constexpr unsigned kPlacesMax = WEB_MAX_CONNECTIONS + WEB_MAX_CONNECTIONS / 8 + 1;

pthread_mutex_t places_mutex = PTHREAD_MUTEX_INITIALIZER;
WebPlace places[kPlacesMax];
unsigned place_cap;
unsigned place_limit;
unsigned header_ms;
ListenGuard guard = {"httpd", false, false, 0};
// One log line an episode for each kind of closing.
int64_t last_late_log;
int64_t last_share_log;

const char kBusyPage[] =
    "<html><head><title>Busy</title></head><body>The box is answering as many clients as it "
    "can. Try again in a moment.</body></html>";
const char kUriPage[] =
    "<html><head><title>Request-URI too long</title></head><body>The request has too many "
    "arguments.</body></html>";

bool episode_starts(int64_t *last, int64_t now) {
  bool starts = !*last || now - *last >= LISTEN_EPISODE_GAP_MS;
  *last = now ? now : 1;
  return starts;
}

WebPlace *place_of(MHD_Connection *connection) {
  if (!connection) return nullptr;
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return ci ? static_cast<WebPlace *>(ci->socket_context) : nullptr;
}

void address_of(MHD_Connection *connection, uint8_t out[16]) {
  memset(out, 0, 16);
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  const sockaddr *sa = ci ? ci->client_addr : nullptr;
  if (sa && sa->sa_family == AF_INET) {
    out[10] = out[11] = 0xFF;
    memcpy(out + 12, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
  } else if (sa && sa->sa_family == AF_INET6) {
    memcpy(out, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, 16);
  }
}

const char *address_text(const uint8_t addr[16], char *buf, size_t size) {
  if (addr[10] == 0xFF && addr[11] == 0xFF && !addr[0]) return inet_ntop(AF_INET, addr + 12, buf, socklen_t(size));
  return inet_ntop(AF_INET6, addr, buf, socklen_t(size));
}

bool live(const WebPlace &p) { return p.connection && !p.evicting; }

void give_up(WebPlace *p) {
  p->evicting = true;
  shutdown(p->fd, SHUT_RDWR);
}

// The place a newcomer takes among those of addr (NULL: any address): one
// idle a while, the one idle longest; else one receiving a while, the one
// receiving longest; else the oldest of the young ones. NULL when every one
// is busy.
WebPlace *victim(const WebPlace *newcomer, const uint8_t *addr, int64_t now) {
  WebPlace *best = nullptr;
  int best_rank = 3;
  for (WebPlace &p : places) {
    if (!live(p) || &p == newcomer || p.refused || p.fd < 0) continue;
    if (p.state != PLACE_IDLE && p.state != PLACE_RECEIVING) continue;
    if (addr && memcmp(p.addr, addr, 16) != 0) continue;
    int rank = now - p.since < WEB_EVICT_GRACE_MS ? 2 : p.state == PLACE_IDLE ? 0 : 1;
    if (rank < best_rank || (rank == best_rank && p.since < best->since)) {
      best = &p;
      best_rank = rank;
    }
  }
  return best;
}

void count(const uint8_t *addr, unsigned *all, unsigned *from, unsigned *streams,
           unsigned *streams_from) {
  *all = *from = *streams = *streams_from = 0;
  for (const WebPlace &p : places) {
    if (!live(p)) continue;
    bool same = memcmp(p.addr, addr, 16) == 0;
    (*all)++;
    *from += same;
    if (p.state == PLACE_STREAM) {
      (*streams)++;
      *streams_from += same;
    }
  }
}

int send_status(MHD_Connection *connection, unsigned status, const char *page) {
  MHD_Response *r = MHD_create_response_from_buffer(strlen(page), (void *)page, MHD_RESPMEM_PERSISTENT);
  if (!r) return WEB_NOT_HANDLED;
  web_content_type(r, "text/html");
  web_no_cache(r);
  web_add_header(MHD_HTTP_HEADER_CONNECTION, "close", r);
  if (status == MHD_HTTP_SERVICE_UNAVAILABLE) web_add_header(MHD_HTTP_HEADER_RETRY_AFTER, "5", r);
  return web_queue_response(connection, status, r);
}

}  // namespace

void web_places_reset(unsigned cap, unsigned idle_timeout_s) {
  pthread_mutex_lock(&places_mutex);
  for (WebPlace &p : places) p = WebPlace{};
  place_cap = cap < unsigned(WEB_MAX_CONNECTIONS) ? cap : unsigned(WEB_MAX_CONNECTIONS);
  place_limit = place_cap + place_cap / 8 + 1;
  header_ms = idle_timeout_s * 1000u;
  guard = ListenGuard{"httpd", false, false, 0};
  pthread_mutex_unlock(&places_mutex);
}

unsigned web_places_limit(void) { return place_limit; }

unsigned web_places_share(void) { return place_cap / 2 ? place_cap / 2 : 1; }

void *web_places_open(MHD_Connection *connection) {
  uint8_t addr[16];
  address_of(connection, addr);
  const MHD_ConnectionInfo *ci = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  int64_t now = monotonic_ms();
  pthread_mutex_lock(&places_mutex);
  WebPlace *mine = nullptr;
  for (WebPlace &p : places) {
    if (p.connection) continue;
    p = WebPlace{};
    p.connection = connection;
    p.fd = ci ? ci->connect_fd : -1;
    memcpy(p.addr, addr, 16);
    p.since = now;
    mine = &p;
    break;
  }
  if (mine) {
    unsigned all, from, streams, streams_from;
    count(addr, &all, &from, &streams, &streams_from);
    bool over_share = from > web_places_share();
    if (over_share || all > place_cap) {
      WebPlace *v = victim(mine, over_share ? addr : nullptr, now);
      if (v) {
        give_up(v);
      } else {
        mine->refused = true;
        if (over_share) {
          char text[INET6_ADDRSTRLEN];
          if (episode_starts(&last_share_log, now))
            log_printf("%s: %s holds %u busy connections, refusing more\n", "web_places_open",
                       address_text(addr, text, sizeof text), from - 1);
        } else {
          listen_guard_full(&guard, place_cap, place_cap);
        }
      }
    }
  }
  pthread_mutex_unlock(&places_mutex);
  return mine;
}

void web_places_close(void *place) {
  WebPlace *p = static_cast<WebPlace *>(place);
  if (!p) return;
  pthread_mutex_lock(&places_mutex);
  *p = WebPlace{};
  unsigned all = 0;
  for (const WebPlace &q : places) all += q.connection != nullptr;
  // Only ends an episode: one starts with a refusal.
  if (all < place_cap) listen_guard_full(&guard, all, place_cap);
  pthread_mutex_unlock(&places_mutex);
}

void *web_places_uri(void *cls, const char *uri, MHD_Connection *connection) {
  (void)cls;
  const char *query = uri ? strchr(uri, '?') : nullptr;
  if (!query) return nullptr;
  unsigned args = 1;
  for (const char *c = query; *c; c++) args += *c == '&';
  if (args <= WEB_QUERY_ARGS_MAX) return nullptr;
  // The library parses the query from the text it handed over, from after
  // its '?' on (found before or after this call, by version): an empty one
  // takes nothing of the connection's memory.
  const_cast<char *>(query)[1] = '\0';
  pthread_mutex_lock(&places_mutex);
  if (WebPlace *p = place_of(connection)) p->uri_cut = true;
  pthread_mutex_unlock(&places_mutex);
  return nullptr;
}

bool web_places_request(MHD_Connection *connection, bool body, int *result) {
  pthread_mutex_lock(&places_mutex);
  WebPlace *p = place_of(connection);
  unsigned status = 0;
  if (p && p->refused) status = MHD_HTTP_SERVICE_UNAVAILABLE;
  if (p && p->uri_cut) status = MHD_HTTP_URI_TOO_LONG;
  if (p && !status && p->state != PLACE_STREAM) {
    PlaceState next = body ? PLACE_RECEIVING : PLACE_ANSWERING;
    if (p->state != next) {
      p->state = next;
      p->since = monotonic_ms();
      p->bytes = 0;
    }
  }
  pthread_mutex_unlock(&places_mutex);
  if (!status) return false;
  *result = send_status(connection, status, status == MHD_HTTP_URI_TOO_LONG ? kUriPage : kBusyPage);
  return true;
}

void web_places_body(MHD_Connection *connection, size_t size) {
  pthread_mutex_lock(&places_mutex);
  if (WebPlace *p = place_of(connection)) p->bytes += size;
  pthread_mutex_unlock(&places_mutex);
}

void web_places_body_done(MHD_Connection *connection) {
  pthread_mutex_lock(&places_mutex);
  if (WebPlace *p = place_of(connection)) p->state = PLACE_ANSWERING;
  pthread_mutex_unlock(&places_mutex);
}

void web_places_done(MHD_Connection *connection) {
  pthread_mutex_lock(&places_mutex);
  if (WebPlace *p = place_of(connection)) {
    p->state = PLACE_IDLE;
    p->since = monotonic_ms();
    p->bytes = 0;
  }
  pthread_mutex_unlock(&places_mutex);
}

int web_places_stream(MHD_Connection *connection) {
  int rc = 0;
  pthread_mutex_lock(&places_mutex);
  WebPlace *p = place_of(connection);
  if (p && p->state != PLACE_STREAM) {
    unsigned all, from, streams, streams_from;
    count(p->addr, &all, &from, &streams, &streams_from);
    unsigned quarter = place_cap / 4 ? place_cap / 4 : 1;
    if (streams >= place_cap - quarter || streams_from >= quarter) {
      rc = -1;
      char text[INET6_ADDRSTRLEN];
      if (episode_starts(&last_share_log, monotonic_ms()))
        log_printf("%s: %u streams, %u of them to %s: refusing more\n", "web_places_stream",
                   streams, streams_from, address_text(p->addr, text, sizeof text));
    } else {
      p->state = PLACE_STREAM;
      p->since = monotonic_ms();
      p->bytes = 0;
    }
  }
  pthread_mutex_unlock(&places_mutex);
  return rc;
}

void web_places_sent(MHD_Connection *connection, size_t size) {
  pthread_mutex_lock(&places_mutex);
  if (WebPlace *p = place_of(connection)) p->bytes += size;
  pthread_mutex_unlock(&places_mutex);
}

int web_places_send_busy(MHD_Connection *connection) {
  return send_status(connection, MHD_HTTP_SERVICE_UNAVAILABLE, kBusyPage);
}

void web_places_tick(void) {
  int64_t now = monotonic_ms();
  unsigned late = 0;
  pthread_mutex_lock(&places_mutex);
  for (WebPlace &p : places) {
    if (!live(p) || p.fd < 0) continue;
    int64_t age = now - p.since;
    bool give = false;
    switch (p.state) {
      case PLACE_IDLE:
        give = age > (p.refused ? WEB_REFUSED_WAIT_S * 1000 : int64_t(header_ms));
        break;
      case PLACE_RECEIVING:
        give = age > WEB_BODY_GRACE_S * 1000 + int64_t(p.bytes * 1000 / WEB_BODY_MIN_RATE);
        break;
      case PLACE_STREAM:
        if (age < WEB_STREAM_WINDOW_S * 1000) break;
        give = p.bytes < uint64_t(WEB_STREAM_WINDOW_S) * WEB_STREAM_MIN_RATE;
        p.since = now;
        p.bytes = 0;
        break;
      case PLACE_ANSWERING:
        break;
    }
    if (!give) continue;
    give_up(&p);
    late++;
  }
  if (late && episode_starts(&last_late_log, now))
    log_printf("%s: closed %u connections whose request or stream came too slowly\n",
               "web_places_tick", late);
  pthread_mutex_unlock(&places_mutex);
}
