// The RTSP server (RFC 2326): accepts client connections on a TCP port and
// serves OPTIONS, DESCRIBE, SETUP (RTP over UDP or interleaved in the
// connection; a multicast track's group, whatever was asked), PLAY, PAUSE, TEARDOWN and the GET_PARAMETER / SET_PARAMETER
// keep-alives for the server media sessions added to it. A client session
// belongs to the connection and the user that set it up, and is reclaimed
// after a time without a sign of its client. No peer takes more than its
// share: the sessions of a connection, of an address and of the server are
// capped, and a connection whose replies wait unread is not read from until
// they drain.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "core/listen_guard.h"
#include "core/log_episode.h"
#include "streaming/rtsp/digest_auth.h"
#include "streaming/rtsp/rtsp_request.h"
#include "streaming/rtsp/server_media.h"

#define RTSP_REQUEST_BUFFER_SIZE 10000
// A slow TCP client with this much interleaved data queued loses what of it
// has not begun to go out, and goes on at the next key frame.
#define RTSP_TCP_QUEUE_LIMIT (2u << 20)
// Connections served at once, at most; fewer when the process may open
// few descriptors (a share of RLIMIT_NOFILE, listen_guard_max).
#define RTSP_MAX_CONNECTIONS 4096
// Client sessions one connection may hold: a client needs one, with its few
// tracks. The server holds as many sessions as it may hold connections, at
// most LISTEN_MAX_PLAYERS, and one address a part of them. At either cap a
// newcomer from an address holding fewer places than the address holding the
// most takes one of that address's (listen_guard_pick): the one that moved
// the fewest bytes over the last RTSP_MOVED_WINDOW_US or so.
#define RTSP_MAX_SESSIONS_PER_CONNECTION 4
// Bytes of replies a connection may have waiting unsent: past this its
// further requests wait unread (in the socket, then in the client).
#define RTSP_REPLY_BACKLOG (16u << 10)
#define RTSP_MOVED_WINDOW_US 2000000

class RTSPServer : public Medium {
 public:
  // NULL when the port cannot be bound (the reason in the environment's
  // result message). authDatabase stays the caller's; NULL asks for no
  // authentication.
  static RTSPServer *createNew(UsageEnvironment &env, uint16_t ourPort = 554,
                               UserAuthenticationDatabase *authDatabase = nullptr,
                               unsigned reclamationSeconds = 65);

  // A session of the same name is replaced.
  void addServerMediaSession(ServerMediaSession *session);
  ServerMediaSession *lookupServerMediaSession(const char *streamName) const;
  // Closes it now, or when its last client session ends.
  void removeServerMediaSession(ServerMediaSession *session);
  // Returns the previous database, which the caller may delete.
  UserAuthenticationDatabase *setAuthenticationDatabase(UserAuthenticationDatabase *newDB);

  uint16_t port() const { return fPort; }
  unsigned numClientSessions() const { return (unsigned)fClientSessions.size(); }
  // The cap on client sessions in all, and on those of one address.
  static unsigned maxClientSessions() { return listen_guard_players(RTSP_MAX_CONNECTIONS); }
  static unsigned maxAddressSessions() { return listen_guard_address_share(maxClientSessions()); }
  // Bytes held for replies not yet sent, over every connection. Readable from
  // any thread.
  size_t replyBytesHeld() const { return fReplyHeld.load(std::memory_order_relaxed); }
  // How often the allocator was asked to give back what closed connections
  // freed. Readable from any thread.
  unsigned allocatorTrims() const { return fTrims.load(std::memory_order_relaxed); }
  // Readable from any thread: the table itself belongs to the event loop.
  unsigned numConnections() const { return fNumConnections.load(std::memory_order_relaxed); }

  class Connection;
  struct ClientSession;

 protected:
  RTSPServer(UsageEnvironment &env, int socket, uint16_t port,
             UserAuthenticationDatabase *authDatabase, unsigned reclamationSeconds);
  ~RTSPServer() override;

 private:
  friend class Connection;
  static void incomingConnectionHandler(void *clientData, int mask);
  static void acceptResume(void *clientData);
  void acceptConnections();
  // Connections not on their way out.
  unsigned liveConnections() const;
  // At the connection cap, makes room for a newcomer from address addr
  // (listen_guard_addr_key; 0 when not known): closes a connection of the
  // address holding the most (listen_guard_pick), or else, for a newcomer of
  // that address, the one of its own that owns no session and has been
  // quiet longest, whose place the newcomer takes over (*since: when that
  // place was taken; else 0). idleOnly: only connections that own no
  // session and serve no request count. false when none may go.
  bool evictConnection(uint64_t addr, const char *newcomer, bool idleOnly, int64_t *since);
  // At the session ceiling: ends a session of the address holding the most
  // for c's (as a reclamation would, and its connection when it owns no
  // other). false when c's address holds as many as any.
  bool evictSession(Connection *c);
  // What a connection or session moved lately: the last whole window and
  // the one running.
  static void rateTask(void *clientData);
  void closeConnection(Connection *c);
  bool ownsSession(const Connection *c) const;
  // c has interleaved packets queued: they are written, with every other
  // connection's, shortly after (the packets of a frame in one write).
  void listFlush(Connection *c);
  static void flushTask(void *clientData);
  // A closed connection gave back this many bytes: once many have, the
  // allocator is asked to return its free pages to the system.
  void noteFreed(size_t bytes);
  static void trimTask(void *clientData);
  void deleteClientSession(ClientSession *s);
  ClientSession *newClientSession(Connection *c, ServerMediaSession *sms);
  // Whether c may set up one more client session; if not, says so (453)
  // and logs once an episode.
  bool sessionAllowed(Connection *c, const char *cseq);
  static void livenessTimeout(void *clientData);
  static void rrHandler(void *clientData, unsigned sessionId);
  void noteLiveness(ClientSession *s);

  // Request handling; each appends its response to the connection.
  void handleRequest(Connection *c, const struct RtspRequest &req);
  bool authenticationOK(Connection *c, const struct RtspRequest &req);
  ClientSession *ownedSession(Connection *c, const struct RtspRequest &req);
  void handleDESCRIBE(Connection *c, const struct RtspRequest &req, const char *path);
  // false when the stream's description could not be had.
  bool describe(Connection *c, const char *cseq, const char *path);
  // Answers the DESCRIBEs that waited for path while another learned its
  // description.
  void answerDeferred(const std::string &path, bool ok);
  void handleSETUP(Connection *c, const struct RtspRequest &req, const char *path);
  void handlePLAY(Connection *c, const struct RtspRequest &req, ClientSession *s,
                  const char *path);
  void handlePAUSE(Connection *c, const struct RtspRequest &req, ClientSession *s);
  void handleTEARDOWN(Connection *c, const struct RtspRequest &req, ClientSession *s,
                      const char *path);
  // Splits a request path into a session and, when the last part names one
  // of its tracks, that track. false when no session matches.
  bool resolvePath(const char *path, ServerMediaSession *&sms, ServerMediaSubsession *&sub) const;

  int fSocket;
  uint16_t fPort;
  UserAuthenticationDatabase *fAuthDB;
  unsigned fReclamationSeconds;
  std::map<std::string, ServerMediaSession *> fSessions;
  std::vector<Connection *> fConnections;
  std::atomic<unsigned> fNumConnections{0};  // fConnections.size()
  std::map<uint32_t, ClientSession *> fClientSessions;
  LogEpisode fConnectionSessionsFull{};   // a connection asked past its session cap
  LogEpisode fSessionsFull{};             // the server's session cap was reached
  LogEpisode fAddressSessionsFull{};      // an address asked past its share
  LogEpisode fMalformed{};                // requests that could not be framed
  LogEpisode fConnectionsTaken{};         // connections closed for a newcomer
  LogEpisode fSessionsTaken{};            // sessions ended for a newcomer
  TaskToken fRateTask = nullptr;
  std::atomic<size_t> fReplyHeld{0};      // the connections' fReplyHeld, summed
  ListenGuard fGuard;        // the connection cap and the pause when out of descriptors
  TaskToken fAcceptResumeTask;
  std::vector<Connection *> fFlushList;
  TaskToken fFlushTask;
  size_t fFreedSinceTrim = 0;
  TaskToken fTrimTask = nullptr;
  std::atomic<unsigned> fTrims{0};
  // A DESCRIBE that must learn its stream's description runs the event loop
  // until it is known. One waits per stream; the others wait in this list.
  struct DeferredDescribe {
    Connection *conn;
    std::string cseq;
    std::string path;
  };
  std::vector<std::string> fDescribing;
  std::vector<DeferredDescribe> fDeferred;
};
