// The web server's places and the deadlines and rates of their states (see
// web_places.h). Records are touched by the library's thread (its
// notifications and the access handler) and by the httpd thread's tick, under
// one mutex. A place is given up by shutting its socket down: the library sees
// the end, closes the connection and tells its close, which frees the record;
// it closes the descriptor only after that notification, so a record that
// still names its connection names a descriptor that is still the
// connection's. What a connection moved is what the kernel counts for it
// (bytes the client acknowledged, bytes received): the same measure for
// every kind of reply, however the library sends it.
#include "web/web_places.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/tcp.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

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
  uint64_t key;                // listen_guard_addr_key of it
  PlaceState state;
  bool evicting;               // given up: no longer counted, not closed yet
  bool refused;                // answered 503 at its start
  bool uri_cut;                // its query was cut off: answered 414
  int64_t since;               // ms: when its state began
  uint64_t bytes;              // of the body
  int64_t linger_until;        // answered by the box itself: shut down then (0: no)
  bool measured;               // the kernel told what it moved
  uint64_t acked;              // bytes the client acknowledged, at the last sample
  uint64_t moved;              // acknowledged and received, at the last sample
  uint64_t lately;             // moved a second, smoothed over the last samples
  int64_t window_start;        // ms: the reply's rate window (0: begins at the next sample)
  uint64_t window_acked;       // acked at its start
};

// The cap, then the spare places for the 503 answers.
constexpr unsigned kPlacesMax = WEB_MAX_CONNECTIONS + WEB_MAX_CONNECTIONS / 8 + 1;

pthread_mutex_t places_mutex = PTHREAD_MUTEX_INITIALIZER;
WebPlace places[kPlacesMax];
unsigned place_cap;
unsigned place_limit;
unsigned header_ms;
unsigned window_ms;
int64_t last_sample;
ListenGuard guard = {"httpd", false, false, 0};
// One log line an episode for each kind of closing.
int64_t last_late_log;
int64_t last_share_log;
int64_t last_taken_log;

const char kBusyPage[] =
    "<html><head><title>Busy</title></head><body>The box is answering as many clients as it "
    "can. Try again in a moment.</body></html>";
const char kBusyText[] = "The box is answering as many clients as it can. Try again in a moment.\n";
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
  // What a reply left unsent is dropped with the connection: the kernel
  // would otherwise go on sending it to the slow client long after.
  if (p->state == PLACE_ANSWERING || p->state == PLACE_STREAM) {
    linger abort = {1, 0};
    setsockopt(p->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  shutdown(p->fd, SHUT_RDWR);
}

// Writes a whole answer of the box's own on a connection the library has
// written nothing to (one just accepted, or one whose body is coming), ends
// the sending side so the client sees the answer end, and gives the place
// up. A body on its way has its socket shut down whole
// WEB_ANSWERED_LINGER_MS later, so that the client reads the answer before
// its next bytes are reset; a connection just accepted is closed at once,
// after what it sent already is read (a close with unread bytes resets it),
// so that refused ones do not fill the spare places.
void answer_and_give_up(WebPlace *p, unsigned status, const char *reason, const char *text,
                        int64_t now) {
  char buf[512];
  int n = snprintf(buf, sizeof buf,
                   "HTTP/1.1 %u %s\r\nContent-Type: text/plain\r\nCache-Control: no-cache\r\n"
                   "Connection: close\r\n%sContent-Length: %zu\r\n\r\n%s",
                   status, reason, status == MHD_HTTP_SERVICE_UNAVAILABLE ? "Retry-After: 5\r\n" : "",
                   strlen(text), text);
  if (n > 0 && size_t(n) < sizeof buf) (void)send(p->fd, buf, size_t(n), MSG_NOSIGNAL | MSG_DONTWAIT);
  p->evicting = true;
  if (p->state == PLACE_RECEIVING) {
    shutdown(p->fd, SHUT_WR);
    p->linger_until = now + WEB_ANSWERED_LINGER_MS;
    return;
  }
  char sink[4096];
  for (int i = 0; i < 16 && recv(p->fd, sink, sizeof sink, MSG_DONTWAIT) > 0; i++) {
  }
  shutdown(p->fd, SHUT_RDWR);
}

// A place taken by a newcomer: a body on its way is told why it ends.
void take(WebPlace *p, int64_t now) {
  if (p->state == PLACE_RECEIVING)
    answer_and_give_up(p, MHD_HTTP_SERVICE_UNAVAILABLE, "Service Unavailable",
                       "Another client took this connection's place: the box has no more.\n", now);
  else
    give_up(p);
}

// What a place moved lately, as the sharing sees it: nothing while it
// waits for a request.
uint64_t recent_of(const WebPlace &p) { return p.state == PLACE_IDLE ? 0 : p.lately; }

// Of the live places that pass `which` (but mine), the one a newcomer from
// addr takes (listen_guard_pick); NULL when it is refused.
template <typename Which>
WebPlace *pick_from(const WebPlace *mine, uint64_t addr, int64_t now, Which which) {
  ListenPlace list[kPlacesMax];
  WebPlace *of[kPlacesMax];
  unsigned n = 0;
  for (WebPlace &p : places) {
    if (!live(p) || &p == mine || p.fd < 0 || !which(p)) continue;
    // A place moving at the replies' rate goes, like a young one, only when
    // no other can: a client being served is not cut off while connections
    // that came a moment ago and move nothing could go instead.
    int64_t since = p.lately >= WEB_STREAM_MIN_RATE ? now : p.since;
    list[n] = ListenPlace{p.key, since, recent_of(p)};
    of[n++] = &p;
  }
  int i = listen_guard_pick(list, n, addr, now);
  return i < 0 ? nullptr : of[i];
}

// The bytes the kernel counts for a connection: false when it cannot tell.
bool tcp_moved(int fd, uint64_t *acked, uint64_t *received) {
  tcp_info ti;
  socklen_t len = sizeof ti;
  memset(&ti, 0, sizeof ti);
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0 ||
      len < offsetof(tcp_info, tcpi_bytes_received) + sizeof ti.tcpi_bytes_received)
    return false;
  *acked = ti.tcpi_bytes_acked;
  *received = ti.tcpi_bytes_received;
  return true;
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

unsigned web_rate_window_s = WEB_STREAM_WINDOW_S;

void web_places_reset(unsigned cap, unsigned idle_timeout_s) {
  pthread_mutex_lock(&places_mutex);
  for (WebPlace &p : places) p = WebPlace{};
  place_cap = cap < unsigned(WEB_MAX_CONNECTIONS) ? cap : unsigned(WEB_MAX_CONNECTIONS);
  place_limit = place_cap + place_cap / 8 + 1;
  header_ms = idle_timeout_s * 1000u;
  window_ms = (web_rate_window_s ? web_rate_window_s : 1) * 1000u;
  guard = ListenGuard{"httpd", false, false, 0};
  pthread_mutex_unlock(&places_mutex);
}

unsigned web_places_limit(void) { return place_limit; }

unsigned web_places_share(void) { return place_cap / 2 ? place_cap / 2 : 1; }

void *web_places_open(MHD_Connection *connection) {
  uint8_t addr[16];
  address_of(connection, addr);
  const MHD_ConnectionInfo *ci = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  const MHD_ConnectionInfo *ca = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  int64_t now = monotonic_ms();
  pthread_mutex_lock(&places_mutex);
  WebPlace *mine = nullptr;
  for (WebPlace &p : places) {
    if (p.connection) continue;
    p = WebPlace{};
    p.connection = connection;
    p.fd = ci ? ci->connect_fd : -1;
    memcpy(p.addr, addr, 16);
    p.key = listen_guard_addr_key(ca ? ca->client_addr : nullptr);
    p.since = now;
    mine = &p;
    break;
  }
  if (mine && mine->fd >= 0) {
    unsigned all, from, streams, streams_from;
    count(addr, &all, &from, &streams, &streams_from);
    all--;   // the newcomer's own
    from--;
    char text[INET6_ADDRSTRLEN];
    if (all >= place_cap) {
      auto any = [](const WebPlace &) { return true; };
      if (WebPlace *v = pick_from(mine, mine->key, now, any)) {
        if (episode_starts(&last_taken_log, now)) {
          char other[INET6_ADDRSTRLEN];
          log_printf("%s: %u connections: a place of %s goes to %s\n", "web_places_open", place_cap,
                     address_text(v->addr, other, sizeof other), address_text(addr, text, sizeof text));
        }
        take(v, now);
      } else {
        mine->refused = true;
        listen_guard_full(&guard, place_cap, place_cap);
        answer_and_give_up(mine, MHD_HTTP_SERVICE_UNAVAILABLE, "Service Unavailable", kBusyText, now);
      }
    } else if (from >= web_places_share()) {
      // Past its share an address makes room among its own places.
      auto own = [mine](const WebPlace &p) { return p.key == mine->key; };
      if (WebPlace *v = pick_from(mine, 0, now, own)) {
        if (episode_starts(&last_share_log, now))
          log_printf("%s: %s holds %u connections, its least busy one goes\n", "web_places_open",
                     address_text(addr, text, sizeof text), from);
        take(v, now);
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
  bool refused = p && p->refused;
  bool cut = p && p->uri_cut;
  if (p && !refused && !cut && p->state != PLACE_STREAM) {
    PlaceState next = body ? PLACE_RECEIVING : PLACE_ANSWERING;
    if (p->state != next) {
      p->state = next;
      p->since = monotonic_ms();
      p->bytes = 0;
      p->window_start = 0;
    }
  }
  pthread_mutex_unlock(&places_mutex);
  // A refused connection had its answer at its start: it only ends.
  if (refused) *result = WEB_NOT_HANDLED;
  else if (cut) *result = send_status(connection, MHD_HTTP_URI_TOO_LONG, kUriPage);
  return refused || cut;
}

void web_places_body(MHD_Connection *connection, size_t size) {
  pthread_mutex_lock(&places_mutex);
  if (WebPlace *p = place_of(connection)) p->bytes += size;
  pthread_mutex_unlock(&places_mutex);
}

void web_places_body_done(MHD_Connection *connection) {
  pthread_mutex_lock(&places_mutex);
  if (WebPlace *p = place_of(connection)) {
    p->state = PLACE_ANSWERING;
    p->since = monotonic_ms();
    p->window_start = 0;
  }
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
  int64_t now = monotonic_ms();
  pthread_mutex_lock(&places_mutex);
  WebPlace *p = place_of(connection);
  if (p && p->state != PLACE_STREAM) {
    unsigned all, from, streams, streams_from;
    count(p->addr, &all, &from, &streams, &streams_from);
    unsigned quarter = place_cap / 4 ? place_cap / 4 : 1;
    WebPlace *v = nullptr;
    if (streams_from < quarter && streams >= place_cap - quarter) {
      auto stream = [](const WebPlace &q) { return q.state == PLACE_STREAM; };
      v = pick_from(p, p->key, now, stream);
    }
    char text[INET6_ADDRSTRLEN];
    if (streams_from >= quarter || (streams >= place_cap - quarter && !v)) {
      rc = -1;
      if (episode_starts(&last_share_log, now))
        log_printf("%s: %u streams, %u of them to %s: refusing more\n", "web_places_stream",
                   streams, streams_from, address_text(p->addr, text, sizeof text));
    } else {
      if (v) {
        char other[INET6_ADDRSTRLEN];
        if (episode_starts(&last_taken_log, now))
          log_printf("%s: %u streams: one of %s goes to %s\n", "web_places_stream", streams,
                     address_text(v->addr, other, sizeof other), address_text(p->addr, text, sizeof text));
        give_up(v);
      }
      p->state = PLACE_STREAM;
      p->since = now;
      p->window_start = 0;
    }
  }
  pthread_mutex_unlock(&places_mutex);
  return rc;
}

int web_places_send_busy(MHD_Connection *connection) {
  return send_status(connection, MHD_HTTP_SERVICE_UNAVAILABLE, kBusyPage);
}

namespace {

// Takes what the kernel counts for a place (once a second).
void sample(WebPlace &p) {
  uint64_t acked, received;
  if (!tcp_moved(p.fd, &acked, &received)) {
    p.measured = false;
    return;
  }
  uint64_t moved = acked + received;
  p.lately = p.lately / 2 + (p.measured ? moved - p.moved : 0);
  p.moved = moved;
  p.acked = acked;
  p.measured = true;
}

}  // namespace

void web_places_tick(void) {
  int64_t now = monotonic_ms();
  unsigned late = 0, slow_bodies = 0;
  pthread_mutex_lock(&places_mutex);
  bool sampling = now - last_sample >= 1000;
  if (sampling) last_sample = now;
  for (WebPlace &p : places) {
    if (!p.connection || p.fd < 0) continue;
    if (p.linger_until && now >= p.linger_until) {
      p.linger_until = 0;
      shutdown(p.fd, SHUT_RDWR);
    }
    if (!live(p)) continue;
    if (sampling) sample(p);
    int64_t age = now - p.since;
    bool give = false;
    switch (p.state) {
      case PLACE_IDLE:
        give = age > int64_t(header_ms);
        break;
      case PLACE_RECEIVING:
        if (age > WEB_BODY_GRACE_S * 1000 + int64_t(p.bytes * 1000 / WEB_BODY_MIN_RATE)) {
          char why[160];
          snprintf(why, sizeof why,
                   "The request's body came too slowly: %llu bytes in %lld s, at least %d bytes a "
                   "second are needed.\n",
                   (unsigned long long)p.bytes, (long long)(age / 1000), int(WEB_BODY_MIN_RATE));
          answer_and_give_up(&p, MHD_HTTP_REQUEST_TIMEOUT, "Request Timeout", why, now);
          slow_bodies++;
        }
        break;
      case PLACE_ANSWERING:
      case PLACE_STREAM:
        // A reply, whatever it is, takes its client's pace only down to a
        // rate: over each window the client must acknowledge that much of
        // it.
        if (!sampling || !p.measured) break;
        // A reply waiting for media (suspended) has the wait's own limit; its
        // window starts once it sends again.
        if (const MHD_ConnectionInfo *ci =
                MHD_get_connection_info(p.connection, MHD_CONNECTION_INFO_CONNECTION_SUSPENDED);
            ci && ci->suspended == MHD_YES) {
          p.window_start = 0;
          break;
        }
        if (!p.window_start) {
          p.window_start = now;
          p.window_acked = p.acked;
        } else if (now - p.window_start >= int64_t(window_ms)) {
          give = p.acked - p.window_acked < uint64_t(window_ms) * WEB_STREAM_MIN_RATE / 1000;
          p.window_start = now;
          p.window_acked = p.acked;
        }
        break;
    }
    if (!give) continue;
    give_up(&p);
    late++;
  }
  if ((late || slow_bodies) && episode_starts(&last_late_log, now))
    log_printf("%s: closed %u connections whose request, reply or stream moved too slowly\n",
               "web_places_tick", late + slow_bodies);
  pthread_mutex_unlock(&places_mutex);
}
