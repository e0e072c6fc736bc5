// The RTMP server: the "rtmpC" listener, one thread per connection playing
// channel A or B live (players at most listen_guard_players, one address a
// part of them: a play past that is refused and its connection closed), and
// the "rtmpA"/"rtmpB" threads that own the run states of stream ids 10 and
// 11 (their RTMP[n] settings). At the connection cap and at the players'
// ceiling a newcomer from an address holding fewer places than the address
// holding the most takes the place of one of that address's
// (listen_guard_pick): the one that moved the fewest bytes lately.
#pragma once
#include "core/global.h"

enum {
  RTMP_PORT = 1935,
  RTMP_THREAD_STACK = 128 * 1024,  // hundreds of connections fit the board's address space
  RTMP_QUIT_WAIT_MS = 10000,       // how long the listener waits for its connections at quit
  RTMP_MAX_CONNECTIONS = 1024,     // at most; fewer when few descriptors may be opened (listen_guard_max)
  RTMP_EVICTING_MAX = 64,          // connections shut down to make room whose threads are still ending
  RTMP_LINGER_MS = 2000            // how long a refused connection's close waits for the client's
};

// The listener; its record is a ThreadEnv.
void *rtmpServerThrFxn(void *env);
// One connection; arg is a heap block the listener fills (the accepted socket
// and whether the connection logs its routine lines), freed here.
void *serverThread(void *arg);
// "rtmpA" / "rtmpB" (index 0 / 1, by the name); its record is a ThreadEnv.
void *rtmpThrFxn(void *env);

// Connection threads running now.
int rtmp_connection_count(void);
