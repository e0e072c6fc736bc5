// The web server: the "httpd" thread that owns the HTTP daemon.
#pragma once
#include <cstdint>

// Thread "httpd"; env is its ThreadEnv (params: the live ParamBlock, or NULL
// for the store's live block).
void *httpdThrFxn(void *env);

enum {
  // Connections at once, at most; fewer when the process may open few
  // descriptors (the web's share, listen_guard_max). One client address
  // gets half of them, streams three quarters (web_places.h).
  WEB_MAX_CONNECTIONS = 128,
  // A connection that sends and takes nothing for this long is closed: one
  // that never finishes its request, a keep-alive one left open, a reader
  // that stopped reading its stream. A reply waiting for media (suspended)
  // does not count, nor does a stream that is being read. A request's
  // header must also have arrived whole this long after the connection
  // opened or its last answer, however it trickles in.
  WEB_IDLE_TIMEOUT_S = 30
};
// The time-out the next daemon start uses (tests shorten it).
extern unsigned web_idle_timeout_s;

// The daemon alone (tests): 0, or -errno when it cannot listen on port (the
// error a bind of the port gives; -EIO when the port is free and the library
// failed otherwise). 0 picks a free port; web_daemon_port tells which. Its
// caps are read at the start.
int web_daemon_start(int port);
void web_daemon_stop(void);
int web_daemon_port(void);
