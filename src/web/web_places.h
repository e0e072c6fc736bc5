// The web server's places: which connections the daemon keeps when clients
// ask for more than it has, and how long a request may take to arrive.
//
// Every connection has a record from the library's start notification to
// its close. The cap is the web's share of the descriptors; one client
// address (a viewer station, a restreamer, an office behind one NAT) may
// hold about half of it, streams at most three quarters of it and one
// address's streams a quarter, so pages always have room. A newcomer past
// its address's share, or past the cap, takes the place of a connection
// that holds it without a request being answered: the one idle longest,
// else the one that has been receiving its request longest. When every
// place is busy it is answered 503 (a few spare places above the cap hold
// such answers) rather than reset.
//
// A request's header must arrive whole within the idle time-out of its
// connection's last answer or start, its body within WEB_BODY_GRACE_S and
// then at WEB_BODY_MIN_RATE at least; a stream whose reader takes less than
// WEB_STREAM_MIN_RATE over WEB_STREAM_WINDOW_S is closed. The library's own
// idle time-out starts again with every byte, so a client that trickles
// would otherwise keep its place as long as it liked.
#pragma once
#include <cstddef>
#include <cstdint>

struct MHD_Connection;

enum {
  // A newcomer takes the place of one younger than this only when no older
  // one can go: a client's request that is on its way is not cut off.
  WEB_EVICT_GRACE_MS = 1000,
  WEB_BODY_GRACE_S = 15,
  WEB_BODY_MIN_RATE = 4096,    // bytes a second
  WEB_STREAM_WINDOW_S = 30,
  WEB_STREAM_MIN_RATE = 1024,  // bytes a second
  // A connection that was refused and has not sent its request by then is
  // closed: it holds one of the spare places.
  WEB_REFUSED_WAIT_S = 5,
  // More query arguments than this are refused with 414 before the library
  // parses them (each takes a record from the connection's memory).
  WEB_QUERY_ARGS_MAX = 128
};

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
// follows). A refused connection or a cut-off URI is answered here: the
// handler returns the result, true when such an answer was given.
bool web_places_request(MHD_Connection *connection, bool body, int *result);
// size more bytes of the request's body arrived; its last came.
void web_places_body(MHD_Connection *connection, size_t size);
void web_places_body_done(MHD_Connection *connection);
// The request was answered (the connection may wait for the next one).
void web_places_done(MHD_Connection *connection);
// The reply is a stream: 0, or -1 when streams hold their places (the
// request is answered with web_places_send_busy instead).
int web_places_stream(MHD_Connection *connection);
// size more bytes of a stream went to the library.
void web_places_sent(MHD_Connection *connection, size_t size);
// 503 with Connection: close.
int web_places_send_busy(MHD_Connection *connection);

// Closes the connections past their deadlines (httpd thread, ten times a
// second).
void web_places_tick(void);
