// The web server's places: which connections the daemon keeps when clients
// ask for more than it has, and how long each state of a connection may
// last.
//
// Every connection has a record from the library's start notification to
// its close. The cap is the web's share of the descriptors; one client
// address (a viewer station, a restreamer, an office behind one NAT) may
// hold about half of it, streams at most three quarters of it and one
// address's streams a quarter, so pages always have room. At the cap, and
// at the streams' ceiling, the places are shared out among the addresses
// (listen_guard_pick): a newcomer from an address holding fewer than the
// address holding the most takes the place of that address that moved the
// fewest bytes lately (idle before slow before busy, a young one last); a
// newcomer from the address holding the most is answered 503 at once. A
// newcomer past its address's share takes one of its own address's places.
//
// Every state has a deadline or a minimum rate: a request's header must
// arrive whole within the idle time-out of its connection's last answer or
// start; its body within WEB_BODY_GRACE_S and then at WEB_BODY_MIN_RATE at
// least (else it is answered 408 with the reason and closed); a reply of
// any kind (page, download, segment, stream) must move WEB_STREAM_MIN_RATE
// over each WEB_STREAM_WINDOW_S, measured by what the client acknowledged. The
// library's own idle time-out starts again with every byte, so a client
// that trickles would otherwise keep its place as long as it liked.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/listen_guard.h"

struct MHD_Connection;

enum {
  // A newcomer takes the place of one younger than this only when no older
  // one can go: a client's request that is on its way is not cut off.
  WEB_EVICT_GRACE_MS = LISTEN_EVICT_GRACE_MS,
  WEB_BODY_GRACE_S = 15,
  WEB_BODY_MIN_RATE = 4096,    // bytes a second
  // Shorter than the idle time-out: a reply that crawls is let go for its
  // rate (and said so) before the library's time-out would close it.
  WEB_STREAM_WINDOW_S = 10,
  WEB_STREAM_MIN_RATE = 1024,  // bytes a second
  // A request whose body the box answered itself (408 when late, 503 when
  // its place was taken) is closed this long after the answer, which has
  // gone out by then (closing at once could reset the connection before
  // the client read it).
  WEB_ANSWERED_LINGER_MS = 1000,
  // More query arguments than this are refused with 414 before the library
  // parses them (each takes a record from the connection's memory).
  WEB_QUERY_ARGS_MAX = 128
};

// The window of the replies' rate the next reset uses (tests shorten it).
extern unsigned web_rate_window_s;

// The places of a daemon that is about to start: cap connections, the idle
// time-out (the deadline of a request's header). The library is given
// web_places_limit() connections: the cap and the spare places.
void web_places_reset(unsigned cap, unsigned idle_timeout_s);
unsigned web_places_limit(void);
// One address's share of the cap.
unsigned web_places_share(void);

// The library's connection notifications (its thread): a newcomer's record,
// stored as the connection's socket context, and its release.
void *web_places_open(MHD_Connection *connection);
void web_places_close(void *place);
// The library's URI log callback: a query of too many arguments is cut off
// before the library parses it, and the request is answered 414.
void *web_places_uri(void *cls, const char *uri, MHD_Connection *connection);

// A request's header is in (each call of the access handler; body: its body
// follows). A cut-off URI is answered here, and a connection refused (and
// answered 503) at its start is ended: the handler returns the result, true
// in either case.
bool web_places_request(MHD_Connection *connection, bool body, int *result);
// size more bytes of the request's body arrived; its last came.
void web_places_body(MHD_Connection *connection, size_t size);
void web_places_body_done(MHD_Connection *connection);
// The request was answered (the connection may wait for the next one).
void web_places_done(MHD_Connection *connection);
// The reply is a stream: 0, or -1 when streams hold their places (the
// request is answered with web_places_send_busy instead).
int web_places_stream(MHD_Connection *connection);
// 503 with Connection: close.
int web_places_send_busy(MHD_Connection *connection);

// Measures what each connection moved (once a second) and closes the
// connections past their deadlines or below their rates (httpd thread, ten
// times a second).
void web_places_tick(void);
