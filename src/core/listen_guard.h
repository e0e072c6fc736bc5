// What a listening server does when clients come faster than it can serve
// them: a cap on its connections that is its share of the descriptors the
// process may open (read whenever it is asked, so a changed limit counts):
// a reserve is kept for the process's own files (recordings, snapshots, file
// requests, devices) and the rest is shared by the listeners (web, RTSP,
// RTMP, serial relay), so that peers filling every listener at once leave
// the recorder its descriptors;
// a fixed ceiling on the clients that play media, of which one address may
// hold a part only;
// one log line when the cap is reached, and a pause of accepting with one
// log line an episode when accept fails for want of descriptors or memory
// (the pending connection keeps the socket readable: accepting again at once
// would spin).
//
// At a ceiling the places are shared out among the addresses that want
// them: a newcomer from an address holding fewer places than the address
// holding the most takes one place of that address, so that a few addresses
// each within their share cannot shut out another (listen_guard_pick).
#pragma once
#include <cstdint>

struct sockaddr;

enum {
  LISTEN_SERVERS = 4,           // the listeners that share the descriptors left over
  LISTEN_FD_RESERVE = 128,      // kept for the process's own files ...
  LISTEN_RESERVE_PART = 4,      // ... or this part of RLIMIT_NOFILE when more ...
  LISTEN_RESERVE_MAX_PART = 2,  // ... but at most this part, so a tiny limit leaves some
  LISTEN_MIN_CONNECTIONS = 4,
  LISTEN_ACCEPT_PAUSE_MS = 1000,  // how long accepting pauses when out of descriptors
  LISTEN_EPISODE_GAP_MS = 10000,  // failures closer than this make one episode
  // Clients that play media, at most, whatever the descriptor limit: each
  // costs the sending thread CPU for every packet, which the limit does not
  // measure. The share of the board's default limit (1024 descriptors).
  LISTEN_MAX_PLAYERS = 192,
  LISTEN_ADDRESS_PART = 4,        // one address may hold this part of the players
  // A place younger than this is taken by a newcomer only when no older one
  // can go: a client whose request or play is on its way is not cut off.
  LISTEN_EVICT_GRACE_MS = 1000
};

struct ListenGuard {
  const char *name;   // the server's name in its log lines
  bool at_limit;      // the cap was logged and still holds
  bool out_of_fds;    // accept failed for want of resources: logged, not yet ended
  int64_t last_failure;  // monotonic ms of the last such failure (0: none)
};

// The cap: a listener's share, the LISTEN_SERVERS-th of what the reserve
// leaves of the soft RLIMIT_NOFILE (the reserve: LISTEN_FD_RESERVE, or the
// LISTEN_RESERVE_PART-th of the limit when that is more, at most the
// LISTEN_RESERVE_MAX_PART-th), at least LISTEN_MIN_CONNECTIONS, at most max.
unsigned listen_guard_max(unsigned max);
// The players a server may have: listen_guard_max(max_connections), at
// most LISTEN_MAX_PLAYERS.
unsigned listen_guard_players(unsigned max_connections);
// What one address may hold of places: their LISTEN_ADDRESS_PART-th, at
// least 1, so that one host cannot shut the others out.
unsigned listen_guard_address_share(unsigned places);
// Whether count connections fill the cap max. Logs "<name>: <max>
// connections, refusing more" once an episode; the episode ends when a place
// is free again.
bool listen_guard_full(ListenGuard *g, unsigned count, unsigned max);
// Whether accept failed with err for want of descriptors or memory.
bool listen_guard_out_of_resources(int err);
// After accept failed with err: true when it was for want of descriptors or
// memory, which the caller answers with a pause of LISTEN_ACCEPT_PAUSE_MS
// ("<name>: accept: <error>, pausing new connections" once an episode: under
// a flood a place freed now and then is taken at once, and failures closer
// than LISTEN_EPISODE_GAP_MS make one episode); other failures are logged
// as "<name>: accept: <error>" unless they are passing ones (EAGAIN, EINTR,
// ECONNABORTED).
bool listen_guard_accept_failed(ListenGuard *g, int err);
// After accept succeeded: the first success after the episode's line says
// "<name>: accepting connections again".
void listen_guard_accepted(ListenGuard *g);

// One place of a listener, as the sharing at its ceiling sees it.
struct ListenPlace {
  uint64_t addr;          // listen_guard_addr_key of the client's address
  int64_t since;          // monotonic ms when the place was taken
  uint64_t recent_bytes;  // what it moved lately, in the listener's own
                          // window: 0 idle, then slow, then busy;
                          // UINT64_MAX for one to take only when no other can go
};
// A key for a client's address: the same for the same host whatever the
// port (an IPv4-mapped IPv6 address is its IPv4 address), 0 for none.
uint64_t listen_guard_addr_key(const struct sockaddr *sa);
// At a ceiling: which of the n places a newcomer from address addr takes.
// -1 when addr holds as many places as any address (or there are none): the
// newcomer is refused. Else the index of a place of the address holding the
// most (of several tied, any of theirs): of their places older than
// LISTEN_EVICT_GRACE_MS the one that moved the fewest bytes lately (the
// oldest of equals), else of their younger ones.
int listen_guard_pick(const ListenPlace *places, unsigned n, uint64_t addr, int64_t now_ms);
