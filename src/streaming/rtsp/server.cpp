#include "streaming/rtsp/server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "core/log.h"

namespace {

// How long interleaved packets gather before they are written.
const int64_t kFlushDelay_us = 2000;
// Bytes the closed connections gave back before the allocator is trimmed,
// and how long it waits for more to close (a crowd leaves at once).
const size_t kTrimBytes = 1u << 20;
const int64_t kTrimDelay_us = 1000000;
// How long accepting pauses when the process is out of descriptors.
const int64_t kAcceptBackoff_us = (int64_t)LISTEN_ACCEPT_PAUSE_MS * 1000;

const char kPublic[] = "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";

void date_header(char *buf, size_t size) {
  time_t t = time(nullptr);
  struct tm tm;
  gmtime_r(&t, &tm);
  strftime(buf, size, "Date: %a, %b %d %Y %H:%M:%S GMT\r\n", &tm);
}

// The path of an rtsp:// URL without its leading and trailing slashes.
std::string url_path(const char *url) {
  const char *p = url;
  if (strncasecmp(p, "rtsp://", 7) == 0) {
    p += 7;
    const char *slash = strchr(p, '/');
    p = slash ? slash : p + strlen(p);
  } else if (strcmp(p, "*") == 0) {
    p = "";
  }
  while (*p == '/') p++;
  std::string s(p);
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

// ---- connections ----

class RTSPServer::Connection : public RtpTcpChannel {
 public:
  Connection(RTSPServer &server, int fd, const struct sockaddr_in &peer);
  ~Connection() override;

  bool sendInterleaved(OutChunk *chunk, unsigned offset, unsigned size) override;
  void respond(const std::string &text);
  // Closes once the queued output is out (or at once when it cannot be).
  void closeAfterOutput();
  void scheduleClose();
  void updateHandling();
  // Its replies wait unsent past the mark: its requests wait unread.
  bool backlogged() const { return fReplyHeld >= RTSP_REPLY_BACKLOG; }
  // Its DESCRIBE waited for another's and has been answered: reading goes on.
  void resume();
  // Writes what it can of the queued output.
  void onWritable();

  RTSPServer &fServer;
  int fSocket;
  struct sockaddr_in fPeer;
  struct sockaddr_in fLocal;
  uint8_t fIn[RTSP_REQUEST_BUFFER_SIZE];
  size_t fInLen;
  // What is still to be written: parts of shared blocks, oldest first from
  // fOutHead.
  struct OutPart {
    OutChunk *chunk;
    unsigned offset;
    unsigned size;
    bool media;   // interleaved packets, which a client too far behind loses
  };
  std::vector<OutPart> fOut;
  size_t fOutHead;
  size_t fOutBytes;
  size_t fReplyHeld;     // bytes allocated for the replies in fOut
  unsigned fNumSessions; // client sessions it holds
  bool fInputHeld;       // fIn holds requests not served for the backlog
  bool fFlushListed;     // in the server's list of connections to write
  bool fBusy;            // a request is being served (perhaps in a nested loop)
  bool fClosing;
  bool fCloseAfterOutput;
  bool fDeferred;        // its DESCRIBE waits in the server's list
  TaskToken fCloseTask;
  TaskToken fIdleTask;   // closes a connection that says nothing and owns no session
  TaskToken fResumeTask;
  int64_t fLastInput_us;
  uint64_t fAddr;        // listen_guard_addr_key of the peer
  int64_t fSince_ms;     // monotonic ms of the accept
  // Bytes read and written, and the count at the start of the running window
  // and over the last whole one.
  uint64_t fMoved, fMovedMark, fMovedLast;
  char fNonce[33];       // the Digest challenge of this connection
  char fUser[64];        // the user who authenticated last, "" when none

 private:
  static void ioHandler(void *clientData, int mask);
  static void closeTask(void *clientData);
  static void idleTask(void *clientData);
  static void resumeTask(void *clientData);
  void noteInput();
  // A request or frame that cannot fit the input buffer: answered (a
  // request) and the connection closed.
  void overflow(const char *what, const char *cseq);
  void onReadable();
  void processInput();
  bool queue(OutChunk *chunk, unsigned offset, unsigned size, bool mayDrop);
  // Its part of p's block is out or dropped.
  void release(const OutPart &p);
  // The client is too far behind: the interleaved packets not yet begun go,
  // and it goes on at the next key frame with fresh pictures.
  void dropMedia();
};

struct RTSPServer::ClientSession {
  struct Track {
    ServerMediaSubsession *sub;
    void *token;
    ClientDestination dest;
  };
  uint32_t id;
  Connection *conn;
  char user[64];
  ServerMediaSession *sms;
  std::vector<Track> tracks;
  TaskToken livenessTask;
  RTSPServer *server;
  int64_t since_ms;   // monotonic ms of the SETUP that made it
  // Bytes sent to the client (every track), as a connection's.
  uint64_t moved, movedMark, movedLast;

  Track *track(ServerMediaSubsession *sub) {
    for (Track &t : tracks)
      if (t.sub == sub) return &t;
    return nullptr;
  }
};

RTSPServer::Connection::Connection(RTSPServer &server, int fd, const struct sockaddr_in &peer)
    : fServer(server),
      fSocket(fd),
      fPeer(peer),
      fInLen(0),
      fOutHead(0),
      fOutBytes(0),
      fReplyHeld(0),
      fNumSessions(0),
      fInputHeld(false),
      fFlushListed(false),
      fBusy(false),
      fClosing(false),
      fCloseAfterOutput(false),
      fDeferred(false),
      fCloseTask(nullptr),
      fIdleTask(nullptr),
      fResumeTask(nullptr),
      fLastInput_us(0),
      fAddr(listen_guard_addr_key((const struct sockaddr *)&peer)),
      fSince_ms(rtsp_monotonic_us() / 1000),
      fMoved(0),
      fMovedMark(0),
      fMovedLast(0) {
  socklen_t l = sizeof fLocal;
  memset(&fLocal, 0, sizeof fLocal);
  getsockname(fd, (struct sockaddr *)&fLocal, &l);
  fNonce[0] = 0;
  fUser[0] = 0;
  noteInput();
  updateHandling();
}

RTSPServer::Connection::~Connection() {
  UsageEnvironment &env = fServer.envir();
  env.taskScheduler().unscheduleDelayedTask(fCloseTask);
  env.taskScheduler().unscheduleDelayedTask(fIdleTask);
  env.taskScheduler().unscheduleDelayedTask(fResumeTask);
  env.taskScheduler().disableBackgroundHandling(fSocket);
  ::close(fSocket);
  for (size_t i = fOutHead; i < fOut.size(); i++) release(fOut[i]);
  fServer.noteFreed(sizeof *this + fOut.capacity() * sizeof(OutPart));
}

void RTSPServer::Connection::release(const OutPart &p) {
  if (!p.media) {
    size_t cost = offsetof(OutChunk, data) + p.chunk->size;
    fReplyHeld -= cost;
    fServer.fReplyHeld.fetch_sub(cost, std::memory_order_relaxed);
  }
  out_chunk_unref(p.chunk);
}

void RTSPServer::Connection::updateHandling() {
  if (fClosing) {
    fServer.envir().taskScheduler().disableBackgroundHandling(fSocket);
    return;
  }
  int mask = 0;
  // While a request is served no further one is read: its handler may run
  // the event loop, and must not meet this connection's next request there.
  // Nor while its replies wait unread: a client that sends and never reads
  // would have the server hold an answer to everything it sent.
  if (!fBusy && !fCloseAfterOutput && !backlogged()) mask |= SOCKET_READABLE;
  if (fOutBytes) mask |= SOCKET_WRITABLE;
  fServer.envir().taskScheduler().setBackgroundHandling(fSocket, mask, ioHandler, this);
}

void RTSPServer::Connection::ioHandler(void *clientData, int mask) {
  Connection *c = static_cast<Connection *>(clientData);
  if (mask & SOCKET_WRITABLE) c->onWritable();
  if (c->fClosing) return;
  if ((mask & SOCKET_READABLE) && !c->fBusy) c->onReadable();
}

void RTSPServer::Connection::scheduleClose() {
  if (fClosing) return;
  fClosing = true;
  updateHandling();
  // The server deletes the connection from the scheduler, never from under a
  // call that is still using it.
  if (!fBusy) fCloseTask = fServer.envir().taskScheduler().scheduleDelayedTask(0, closeTask, this);
}

void RTSPServer::Connection::closeTask(void *clientData) {
  Connection *c = static_cast<Connection *>(clientData);
  c->fCloseTask = nullptr;
  c->fServer.closeConnection(c);
}

void RTSPServer::Connection::closeAfterOutput() {
  fCloseAfterOutput = true;
  if (!fOutBytes) scheduleClose();
  else updateHandling();
}

bool RTSPServer::Connection::queue(OutChunk *chunk, unsigned offset, unsigned size,
                                   bool mayDrop) {
  if (fClosing) return false;
  if (!size) return true;
  // A packet is queued whole or not at all, so the framing stays intact.
  if (mayDrop && fOutBytes + size > RTSP_TCP_QUEUE_LIMIT) {
    dropMedia();
    return false;
  }
  if (fOutBytes + size > 4 * RTSP_TCP_QUEUE_LIMIT) {
    // Even the replies do not drain: the client is gone.
    scheduleClose();
    return false;
  }
  if (fOutHead < fOut.size()) {
    OutPart &last = fOut.back();
    if (last.chunk == chunk && last.offset + last.size == offset && last.media == mayDrop) {
      last.size += size;
      fOutBytes += size;
      return true;
    }
  }
  if (fOutHead > 0 && fOutHead * 2 >= fOut.size()) {
    fOut.erase(fOut.begin(), fOut.begin() + (long)fOutHead);
    fOutHead = 0;
  }
  out_chunk_ref(chunk);
  fOut.push_back({chunk, offset, size, mayDrop});
  fOutBytes += size;
  if (!mayDrop) {
    // A reply's block is this connection's alone: all of it counts.
    size_t cost = offsetof(OutChunk, data) + chunk->size;
    fReplyHeld += cost;
    fServer.fReplyHeld.fetch_add(cost, std::memory_order_relaxed);
  }
  return true;
}

void RTSPServer::Connection::dropMedia() {
  // The first part may be half written; parts end on packet boundaries, so
  // what follows it can go whole. Replies stay.
  size_t keep = fOutHead + 1;
  for (size_t i = fOutHead + 1; i < fOut.size(); i++) {
    if (fOut[i].media) {
      fOutBytes -= fOut[i].size;
      release(fOut[i]);
    } else {
      fOut[keep++] = fOut[i];
    }
  }
  if (keep < fOut.size()) fOut.resize(keep);
}

bool RTSPServer::Connection::sendInterleaved(OutChunk *chunk, unsigned offset, unsigned size) {
  if (!queue(chunk, offset, size, true)) return false;
  // The packets of a frame leave in one write: a system call per packet and
  // client is most of what serving many clients costs.
  if (!fFlushListed) {
    fFlushListed = true;
    fServer.listFlush(this);
  }
  return true;
}

void RTSPServer::Connection::respond(const std::string &text) {
  OutChunk *c = out_chunk_create((unsigned)text.size());
  if (!c) return;
  memcpy(c->data, text.data(), text.size());
  c->used = (unsigned)text.size();
  bool queued = queue(c, 0, c->used, false);
  out_chunk_unref(c);
  if (queued) onWritable();
}

void RTSPServer::Connection::onWritable() {
  if (fClosing) return;
  const size_t kMaxParts = 64;
  struct iovec iov[kMaxParts];
  while (fOutBytes) {
    size_t n = 0;
    for (size_t i = fOutHead; i < fOut.size() && n < kMaxParts; i++, n++)
      iov[n] = {fOut[i].chunk->data + fOut[i].offset, fOut[i].size};
    struct msghdr m;
    memset(&m, 0, sizeof m);
    m.msg_iov = iov;
    m.msg_iovlen = n;
    ssize_t w = sendmsg(fSocket, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      scheduleClose();
      return;
    }
    size_t left = (size_t)w;
    fOutBytes -= left;
    fMoved += left;
    while (left) {
      OutPart &p = fOut[fOutHead];
      if (left < p.size) {
        p.offset += (unsigned)left;
        p.size -= (unsigned)left;
        break;
      }
      left -= p.size;
      release(p);
      fOutHead++;
    }
    if (w == 0) break;
  }
  if (!fOutBytes) {
    for (size_t i = fOutHead; i < fOut.size(); i++) release(fOut[i]);
    fOut.clear();
    fOutHead = 0;
    if (fCloseAfterOutput) {
      scheduleClose();
      return;
    }
  }
  updateHandling();
  // The requests that waited for the backlog are served from the loop (this
  // may run inside a request's reply).
  if (fInputHeld && !backlogged() && !fBusy && !fResumeTask)
    fResumeTask = fServer.envir().taskScheduler().scheduleDelayedTask(0, resumeTask, this);
}

void RTSPServer::Connection::noteInput() {
  fLastInput_us = rtsp_monotonic_us();
  unsigned secs = fServer.fReclamationSeconds;
  if (secs)
    fServer.envir().taskScheduler().rescheduleDelayedTask(fIdleTask, (int64_t)secs * 1000000,
                                                          idleTask, this);
}

void RTSPServer::Connection::idleTask(void *clientData) {
  Connection *c = static_cast<Connection *>(clientData);
  c->fIdleTask = nullptr;
  // A connection with a session lives as long as the session; one in the
  // middle of a request is not idle.
  if (c->fBusy || c->fServer.ownsSession(c)) {
    c->noteInput();
    return;
  }
  c->scheduleClose();
}

void RTSPServer::Connection::resume() {
  fDeferred = false;
  fBusy = false;
  if (fClosing) {
    if (!fCloseTask) fCloseTask = fServer.envir().taskScheduler().scheduleDelayedTask(0, closeTask, this);
    return;
  }
  updateHandling();
  // Requests that arrived behind the DESCRIBE are served from the loop,
  // not from under the call that answered it.
  if (fInLen && !fResumeTask)
    fResumeTask = fServer.envir().taskScheduler().scheduleDelayedTask(0, resumeTask, this);
}

void RTSPServer::Connection::resumeTask(void *clientData) {
  Connection *c = static_cast<Connection *>(clientData);
  c->fResumeTask = nullptr;
  if (!c->fBusy && !c->fClosing) {
    c->fInputHeld = false;
    c->processInput();
  }
}

void RTSPServer::Connection::overflow(const char *what, const char *cseq) {
  log_printf("%s: %s from %s, closing\n", "RTSPServer", what, inet_ntoa(fPeer.sin_addr));
  fInLen = 0;
  if (cseq) {
    char buf[160];
    snprintf(buf, sizeof buf,
             "RTSP/1.0 413 Request Entity Too Large\r\nCSeq: %s\r\nConnection: close\r\n\r\n",
             cseq[0] ? cseq : "0");
    respond(buf);
    closeAfterOutput();
  } else {
    scheduleClose();
  }
}

void RTSPServer::Connection::onReadable() {
  // A hang-up is reported as readable even while reading waits for the
  // backlog; the write that follows it fails and closes. The requests that
  // waited for the backlog are served first, by the resume task.
  if (backlogged() || fInputHeld) return;
  // processInput leaves a full buffer behind only while the backlog holds
  // it; else the socket would stay readable and the loop would spin.
  if (fInLen >= sizeof fIn) {
    overflow("request too large", "");
    return;
  }
  ssize_t n = recv(fSocket, fIn + fInLen, sizeof fIn - fInLen, MSG_DONTWAIT);
  if (n == 0) {
    scheduleClose();
    return;
  }
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) scheduleClose();
    return;
  }
  fInLen += (size_t)n;
  fMoved += (uint64_t)n;
  noteInput();
  processInput();
}

void RTSPServer::Connection::processInput() {
  while (fInLen > 0 && !fClosing && !fCloseAfterOutput) {
    if (backlogged()) {
      fInputHeld = true;
      return;
    }
    size_t used;
    if (fIn[0] == '$') {
      // RTCP (or anything) a client sends on its interleaved channels: a
      // sign of life for its sessions.
      int r = rtsp_interleaved_frame(fIn, fInLen, nullptr);
      if (r == RTSP_PARSE_MORE) {
        if (fInLen >= 4 && 4 + ((size_t)fIn[2] << 8 | fIn[3]) > sizeof fIn)
          overflow("interleaved frame too large", nullptr);
        return;
      }
      used = (size_t)r;
      for (auto &e : fServer.fClientSessions)
        if (e.second->conn == this) fServer.noteLiveness(e.second);
      memmove(fIn, fIn + used, fInLen - used);
      fInLen -= used;
      continue;
    }
    RtspRequest req;
    int r = rtsp_request_parse(fIn, fInLen, sizeof fIn, &req);
    if (r == RTSP_PARSE_MORE) {
      // The header is in, and its body would not fit behind it.
      if (req.header_len && req.total > sizeof fIn) overflow("request too large", req.cseq);
      return;
    }
    if (r == RTSP_PARSE_GARBAGE) {
      log_episode_ok(&fServer.fMalformed, LISTEN_EPISODE_GAP_MS);
      if (log_episode_fail(&fServer.fMalformed))
        log_printf("%s: malformed request from %s, closing\n", "RTSPServer",
                   inet_ntoa(fPeer.sin_addr));
      std::string cseq = req.cseq[0] ? std::string("CSeq: ") + req.cseq + "\r\n" : "";
      respond("RTSP/1.0 400 Bad Request\r\n" + cseq + "Connection: close\r\n\r\n");
      fInLen = 0;
      closeAfterOutput();
      return;
    }
    used = (size_t)r;
    // The request is served from a copy: the input buffer moves on.
    std::vector<uint8_t> copy(fIn, fIn + used);
    memmove(fIn, fIn + used, fInLen - used);
    fInLen -= used;
    if (req.method[0] == 0 && !req.bad) continue;   // blank lines
    RtspRequest again;
    rtsp_request_parse(copy.data(), copy.size(), sizeof fIn, &again);
    fBusy = true;
    updateHandling();
    fServer.handleRequest(this, again);
    // A DESCRIBE waiting for another's keeps the connection busy until the
    // server answers it.
    if (fDeferred) return;
    fBusy = false;
    if (fClosing) {
      fCloseTask = fServer.envir().taskScheduler().scheduleDelayedTask(0, closeTask, this);
      return;
    }
    updateHandling();
  }
}

// ---- server ----

RTSPServer *RTSPServer::createNew(UsageEnvironment &env, uint16_t ourPort,
                                  UserAuthenticationDatabase *authDatabase,
                                  unsigned reclamationSeconds) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    env.setResultErrMsg("unable to create stream socket: ", errno);
    return nullptr;
  }
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(ourPort);
  if (bind(s, (struct sockaddr *)&a, sizeof a) < 0) {
    char msg[64];
    snprintf(msg, sizeof msg, "bind() error (port number: %u): ", ourPort);
    env.setResultErrMsg(msg, errno);
    ::close(s);
    return nullptr;
  }
  // A burst of clients connecting at once waits in the backlog, not for a
  // SYN retransmission.
  if (listen(s, 1024) < 0) {
    env.setResultErrMsg("listen() failed: ", errno);
    ::close(s);
    return nullptr;
  }
  return new RTSPServer(env, s, ourPort, authDatabase, reclamationSeconds);
}

RTSPServer::RTSPServer(UsageEnvironment &env, int socket, uint16_t port,
                       UserAuthenticationDatabase *authDatabase, unsigned reclamationSeconds)
    : Medium(env),
      fSocket(socket),
      fPort(port),
      fAuthDB(authDatabase),
      fReclamationSeconds(reclamationSeconds),
      fGuard{"RTSPServer", false, false, 0},
      fAcceptResumeTask(nullptr),
      fFlushTask(nullptr) {
  env.taskScheduler().setBackgroundHandling(fSocket, SOCKET_READABLE, incomingConnectionHandler,
                                            this);
  fRateTask = env.taskScheduler().scheduleDelayedTask(RTSP_MOVED_WINDOW_US, rateTask, this);
}

RTSPServer::~RTSPServer() {
  envir().taskScheduler().unscheduleDelayedTask(fAcceptResumeTask);
  envir().taskScheduler().unscheduleDelayedTask(fRateTask);
  envir().taskScheduler().disableBackgroundHandling(fSocket);
  ::close(fSocket);
  while (!fConnections.empty()) closeConnection(fConnections.back());
  while (!fClientSessions.empty()) deleteClientSession(fClientSessions.begin()->second);
  for (auto &e : fSessions) Medium::close(e.second);
  fSessions.clear();
  // Last: what the sessions sent as they ended may have asked for a flush.
  envir().taskScheduler().unscheduleDelayedTask(fFlushTask);
  fFlushList.clear();
  envir().taskScheduler().unscheduleDelayedTask(fTrimTask);
}

void RTSPServer::addServerMediaSession(ServerMediaSession *session) {
  if (!session) return;
  auto it = fSessions.find(session->streamName());
  if (it != fSessions.end() && it->second != session) removeServerMediaSession(it->second);
  fSessions[session->streamName()] = session;
}

ServerMediaSession *RTSPServer::lookupServerMediaSession(const char *streamName) const {
  auto it = fSessions.find(streamName);
  return it == fSessions.end() ? nullptr : it->second;
}

void RTSPServer::removeServerMediaSession(ServerMediaSession *session) {
  if (!session) return;
  auto it = fSessions.find(session->streamName());
  if (it != fSessions.end() && it->second == session) fSessions.erase(it);
  if (session->referenceCount() == 0) Medium::close(session);
  else session->setDeleteWhenUnreferenced(true);
}

UserAuthenticationDatabase *RTSPServer::setAuthenticationDatabase(
    UserAuthenticationDatabase *newDB) {
  UserAuthenticationDatabase *old = fAuthDB;
  fAuthDB = newDB;
  return old;
}

void RTSPServer::incomingConnectionHandler(void *clientData, int) {
  static_cast<RTSPServer *>(clientData)->acceptConnections();
}

void RTSPServer::acceptResume(void *clientData) {
  RTSPServer *server = static_cast<RTSPServer *>(clientData);
  server->fAcceptResumeTask = nullptr;
  server->envir().taskScheduler().setBackgroundHandling(server->fSocket, SOCKET_READABLE,
                                                        incomingConnectionHandler, server);
  server->acceptConnections();
}

bool RTSPServer::ownsSession(const Connection *c) const { return c->fNumSessions > 0; }

namespace {

// What a count moved lately: over the last whole window and the running one.
uint64_t recent_moved(uint64_t moved, uint64_t mark, uint64_t last) { return last + (moved - mark); }

}  // namespace

void RTSPServer::rateTask(void *clientData) {
  RTSPServer *server = static_cast<RTSPServer *>(clientData);
  for (Connection *c : server->fConnections) {
    c->fMovedLast = c->fMoved - c->fMovedMark;
    c->fMovedMark = c->fMoved;
  }
  for (auto &e : server->fClientSessions) {
    ClientSession *s = e.second;
    s->movedLast = s->moved - s->movedMark;
    s->movedMark = s->moved;
  }
  server->fRateTask =
      server->envir().taskScheduler().scheduleDelayedTask(RTSP_MOVED_WINDOW_US, rateTask, server);
}

unsigned RTSPServer::liveConnections() const {
  unsigned n = 0;
  for (const Connection *c : fConnections) n += !c->fClosing;
  return n;
}

bool RTSPServer::evictConnection(uint64_t addr, const char *newcomer, bool idleOnly,
                                 int64_t *since) {
  int64_t now = rtsp_monotonic_us() / 1000;
  *since = 0;
  std::map<const Connection *, uint64_t> sessionBytes;
  for (const auto &e : fClientSessions) {
    const ClientSession *s = e.second;
    sessionBytes[s->conn] += recent_moved(s->moved, s->movedMark, s->movedLast);
  }
  std::vector<ListenPlace> places;
  std::vector<Connection *> who;
  for (Connection *c : fConnections) {
    if (c->fClosing || (idleOnly && (c->fBusy || ownsSession(c)))) continue;
    auto it = sessionBytes.find(c);
    uint64_t moved = recent_moved(c->fMoved, c->fMovedMark, c->fMovedLast);
    places.push_back({c->fAddr, c->fSince_ms, moved + (it == sessionBytes.end() ? 0 : it->second)});
    who.push_back(c);
  }
  int k = listen_guard_pick(places.data(), (unsigned)places.size(), addr, now);
  if (k < 0 && addr) {
    // The address holding the most replaces one of its own that owns no
    // session and has been quiet longest. Its newcomer takes the place over
    // with its age: one address churning its own connections does not make
    // its places young, which listen_guard_pick would spare before others'.
    for (size_t i = 0; i < who.size(); i++) {
      const Connection *c = who[i];
      if (c->fAddr != addr || c->fBusy || ownsSession(c)) continue;
      if (k < 0 || c->fLastInput_us < who[(size_t)k]->fLastInput_us) k = (int)i;
    }
    if (k >= 0) *since = who[(size_t)k]->fSince_ms;
  }
  if (k < 0) return false;
  Connection *victim = who[(size_t)k];
  log_episode_ok(&fConnectionsTaken, LISTEN_EPISODE_GAP_MS);
  if (victim->fAddr != addr && log_episode_fail(&fConnectionsTaken))
    log_printf("%s: the connection from %s closed to make room for %s\n", "RTSPServer",
               inet_ntoa(victim->fPeer.sin_addr), newcomer);
  // One serving a request (perhaps in a nested loop) goes when it is done.
  if (victim->fBusy) victim->scheduleClose();
  else closeConnection(victim);
  return true;
}

void RTSPServer::acceptConnections() {
  for (int i = 0; i < 16; i++) {
    struct sockaddr_in peer;
    socklen_t l = sizeof peer;
    int fd = accept4(fSocket, (struct sockaddr *)&peer, &l, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      // Out of descriptors: room may come from a connection that plays
      // nothing, of the address holding the most.
      int64_t since;
      if (listen_guard_out_of_resources(err) && evictConnection(0, "a newcomer", true, &since))
        continue;
      if (listen_guard_accept_failed(&fGuard, err)) {
        envir().taskScheduler().disableBackgroundHandling(fSocket);
        if (!fAcceptResumeTask)
          fAcceptResumeTask =
              envir().taskScheduler().scheduleDelayedTask(kAcceptBackoff_us, acceptResume, this);
      }
      return;
    }
    listen_guard_accepted(&fGuard);
    // At the cap a newcomer takes a place of the address holding the most;
    // when its own address holds the most and none of its places may go, it
    // is told so and closed.
    unsigned max = listen_guard_max(RTSP_MAX_CONNECTIONS);
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    int64_t since = 0;
    if (liveConnections() >= max &&
        !evictConnection(listen_guard_addr_key((struct sockaddr *)&peer), ip, false, &since)) {
      listen_guard_full(&fGuard, max, max);
      static const char kBusy[] = "RTSP/1.0 503 Service Unavailable\r\nCSeq: 0\r\nConnection: close\r\n\r\n";
      ssize_t w = send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      (void)w;
      ::close(fd);
      continue;
    }
    listen_guard_full(&fGuard, liveConnections(), max);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    fConnections.push_back(new Connection(*this, fd, peer));
    if (since) fConnections.back()->fSince_ms = since;
    fNumConnections.store((unsigned)fConnections.size(), std::memory_order_relaxed);
  }
}

void RTSPServer::listFlush(Connection *c) {
  fFlushList.push_back(c);
  if (!fFlushTask) fFlushTask = envir().taskScheduler().scheduleDelayedTask(kFlushDelay_us, flushTask, this);
}

void RTSPServer::flushTask(void *clientData) {
  RTSPServer *server = static_cast<RTSPServer *>(clientData);
  server->fFlushTask = nullptr;
  // Writing never closes a connection at once, so the list holds still.
  std::vector<Connection *> list;
  list.swap(server->fFlushList);
  for (Connection *c : list) {
    c->fFlushListed = false;
    c->onWritable();
  }
  // The list keeps its room for the next round.
  list.clear();
  if (server->fFlushList.empty()) server->fFlushList.swap(list);
}

void RTSPServer::noteFreed(size_t bytes) {
  fFreedSinceTrim += bytes;
  if (fFreedSinceTrim >= kTrimBytes && !fTrimTask)
    fTrimTask = envir().taskScheduler().scheduleDelayedTask(kTrimDelay_us, trimTask, this);
}

void RTSPServer::trimTask(void *clientData) {
  RTSPServer *server = static_cast<RTSPServer *>(clientData);
  server->fTrimTask = nullptr;
  server->fFreedSinceTrim = 0;
  server->fTrims.fetch_add(1, std::memory_order_relaxed);
  // What a crowd of connections held lies free between the blocks that stay;
  // without this the process keeps it for good.
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

void RTSPServer::closeConnection(Connection *c) {
  // Its sessions go with it: no other connection may control them.
  for (auto it = fClientSessions.begin(); it != fClientSessions.end();) {
    ClientSession *s = it->second;
    ++it;
    if (s->conn == c) deleteClientSession(s);
  }
  for (size_t i = 0; i < fDeferred.size();) {
    if (fDeferred[i].conn == c) fDeferred.erase(fDeferred.begin() + (long)i);
    else i++;
  }
  for (size_t i = 0; i < fConnections.size(); i++) {
    if (fConnections[i] == c) {
      fConnections.erase(fConnections.begin() + (long)i);
      fNumConnections.store((unsigned)fConnections.size(), std::memory_order_relaxed);
      break;
    }
  }
  // Looked for last: ending its sessions may have queued a goodbye on it.
  if (c->fFlushListed) {
    for (size_t i = 0; i < fFlushList.size(); i++) {
      if (fFlushList[i] == c) {
        fFlushList.erase(fFlushList.begin() + (long)i);
        break;
      }
    }
  }
  delete c;
}

RTSPServer::ClientSession *RTSPServer::newClientSession(Connection *c, ServerMediaSession *sms) {
  uint32_t id;
  do id = rtsp_random32();
  while (id == 0 || fClientSessions.count(id));
  ClientSession *s = new ClientSession;
  s->id = id;
  s->conn = c;
  snprintf(s->user, sizeof s->user, "%s", c->fUser);
  s->sms = sms;
  s->livenessTask = nullptr;
  s->server = this;
  s->since_ms = rtsp_monotonic_us() / 1000;
  s->moved = s->movedMark = s->movedLast = 0;
  sms->incrementReferenceCount();
  fClientSessions[id] = s;
  c->fNumSessions++;
  noteLiveness(s);
  return s;
}

void RTSPServer::deleteClientSession(ClientSession *s) {
  fClientSessions.erase(s->id);
  s->conn->fNumSessions--;
  envir().taskScheduler().unscheduleDelayedTask(s->livenessTask);
  for (ClientSession::Track &t : s->tracks) t.sub->deleteStream(s->id, t.token);
  s->sms->decrementReferenceCount();
  if (s->sms->referenceCount() == 0 && s->sms->deleteWhenUnreferenced()) Medium::close(s->sms);
  delete s;
}

void RTSPServer::noteLiveness(ClientSession *s) {
  if (!fReclamationSeconds) return;
  envir().taskScheduler().rescheduleDelayedTask(s->livenessTask,
                                                (int64_t)fReclamationSeconds * 1000000,
                                                livenessTimeout, s);
}

void RTSPServer::livenessTimeout(void *clientData) {
  ClientSession *s = static_cast<ClientSession *>(clientData);
  s->livenessTask = nullptr;
  log_printf("%s: session %08X timed out\n", "RTSPServer", s->id);
  s->server->deleteClientSession(s);
}

void RTSPServer::rrHandler(void *clientData, unsigned sessionId) {
  RTSPServer *server = static_cast<RTSPServer *>(clientData);
  auto it = server->fClientSessions.find(sessionId);
  if (it != server->fClientSessions.end()) server->noteLiveness(it->second);
}

// ---- requests ----

namespace {

struct Reply {
  std::string head;
  std::string body;
};

std::string status_line(int code, const char *cseq) {
  const char *text = "OK";
  switch (code) {
    case 200: text = "OK"; break;
    case 400: text = "Bad Request"; break;
    case 401: text = "Unauthorized"; break;
    case 404: text = "Stream Not Found"; break;
    case 413: text = "Request Entity Too Large"; break;
    case 453: text = "Not Enough Bandwidth"; break;
    case 454: text = "Session Not Found"; break;
    case 455: text = "Method Not Valid in This State"; break;
    case 459: text = "Aggregate Operation Not Allowed"; break;
    case 461: text = "Unsupported Transport"; break;
    case 500: text = "Internal Server Error"; break;
    case 501: text = "Not Implemented"; break;
    case 503: text = "Service Unavailable"; break;
    case 505: text = "RTSP Version Not Supported"; break;
    case 551: text = "Option not supported"; break;
    default: text = "Error"; break;
  }
  char buf[160];
  char date[64];
  date_header(date, sizeof date);
  snprintf(buf, sizeof buf, "RTSP/1.0 %d %s\r\nCSeq: %s\r\n%s", code, text, cseq, date);
  return buf;
}

void reply(RTSPServer::Connection *c, int code, const char *cseq, const std::string &headers = "",
           const std::string &body = "");

}  // namespace

namespace {
void reply(RTSPServer::Connection *c, int code, const char *cseq, const std::string &headers,
           const std::string &body) {
  std::string s = status_line(code, cseq) + headers;
  if (!body.empty()) s += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  s += "\r\n";
  s += body;
  c->respond(s);
}
}  // namespace

bool RTSPServer::resolvePath(const char *path, ServerMediaSession *&sms,
                             ServerMediaSubsession *&sub) const {
  sms = lookupServerMediaSession(path);
  sub = nullptr;
  if (sms) return true;
  const char *slash = strrchr(path, '/');
  if (!slash) return false;
  std::string name(path, (size_t)(slash - path));
  sms = lookupServerMediaSession(name.c_str());
  if (!sms) return false;
  sub = sms->lookupByTrackId(slash + 1);
  if (!sub) {
    sms = nullptr;
    return false;
  }
  return true;
}

bool RTSPServer::authenticationOK(Connection *c, const RtspRequest &req) {
  if (!fAuthDB) return true;
  char value[1024];
  HttpDigest d;
  // The response covers the uri it names (RFC 2617 3.2.2.5): that must be
  // this request's, or one answer would open every URL on the connection.
  if (c->fNonce[0] && rtsp_request_header(&req, "Authorization", value, sizeof value) &&
      digest_parse(value, &d) && strcmp(d.uri, req.url) == 0 &&
      rtsp_digest_check(*fAuthDB, d, req.method, c->fNonce)) {
    snprintf(c->fUser, sizeof c->fUser, "%s", d.username);
    return true;
  }
  if (!c->fNonce[0]) snprintf(c->fNonce, sizeof c->fNonce, "%08x%08x%08x%08x", rtsp_random32(),
                              rtsp_random32(), rtsp_random32(), rtsp_random32());
  char hdr[256];
  snprintf(hdr, sizeof hdr, "WWW-Authenticate: Digest realm=\"%s\", nonce=\"%s\"\r\n",
           fAuthDB->realm(), c->fNonce);
  reply(c, 401, req.cseq, hdr);
  return false;
}

// The session the request names, when it belongs to this connection and its
// user. NULL (after a 454 reply) when the request names another.
RTSPServer::ClientSession *RTSPServer::ownedSession(Connection *c, const RtspRequest &req) {
  if (!req.session[0]) return nullptr;
  bool hex = strlen(req.session) <= 8;
  for (const char *p = req.session; *p && hex; p++)
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F')))
      hex = false;
  if (hex) {
    auto it = fClientSessions.find((uint32_t)strtoul(req.session, nullptr, 16));
    if (it != fClientSessions.end() && it->second->conn == c &&
        strcmp(it->second->user, c->fUser) == 0) {
      noteLiveness(it->second);
      return it->second;
    }
  }
  reply(c, 454, req.cseq);
  return nullptr;
}

void RTSPServer::handleRequest(Connection *c, const RtspRequest &req) {
  const char *cseq = req.cseq[0] ? req.cseq : "0";
  if (req.bad || !req.cseq[0]) {
    if (req.version[0] && strncmp(req.version, "RTSP/", 5) == 0 &&
        strcmp(req.version, "RTSP/1.0") != 0 && req.cseq[0]) {
      reply(c, 505, cseq);
    } else {
      reply(c, 400, cseq);
    }
    return;
  }
  // No option is supported: a client that requires one is told which
  // (RFC 2326 12.32).
  char options[512];
  if (rtsp_request_options(&req, "Require", options, sizeof options)) {
    reply(c, 551, cseq, std::string("Unsupported: ") + options + "\r\n");
    return;
  }
  std::string path = url_path(req.url);
  const char *m = req.method;

  if (strcmp(m, "OPTIONS") == 0) {
    if (req.session[0] && !ownedSession(c, req)) return;
    reply(c, 200, cseq, std::string("Public: ") + kPublic + "\r\n");
  } else if (strcmp(m, "DESCRIBE") == 0) {
    handleDESCRIBE(c, req, path.c_str());
  } else if (strcmp(m, "SETUP") == 0) {
    handleSETUP(c, req, path.c_str());
  } else if (strcmp(m, "PLAY") == 0 || strcmp(m, "PAUSE") == 0 || strcmp(m, "TEARDOWN") == 0) {
    if (!req.session[0]) {
      reply(c, 454, cseq);
      return;
    }
    ClientSession *s = ownedSession(c, req);
    if (!s) return;
    if (m[1] == 'L') handlePLAY(c, req, s, path.c_str());
    else if (m[1] == 'A') handlePAUSE(c, req, s);
    else handleTEARDOWN(c, req, s, path.c_str());
  } else if (strcmp(m, "GET_PARAMETER") == 0 || strcmp(m, "SET_PARAMETER") == 0) {
    // Keep-alives: nothing to get or set, but the session lives on.
    if (req.session[0] && !ownedSession(c, req)) return;
    reply(c, 200, cseq);
  } else {
    reply(c, 501, cseq, std::string("Public: ") + kPublic + "\r\n");
  }
}

void RTSPServer::handleDESCRIBE(Connection *c, const RtspRequest &req, const char *path) {
  if (!authenticationOK(c, req)) return;
  if (!lookupServerMediaSession(path)) {
    reply(c, 404, req.cseq);
    return;
  }
  for (const std::string &p : fDescribing) {
    if (p != path) continue;
    c->fDeferred = true;
    fDeferred.push_back({c, req.cseq, path});
    return;
  }
  fDescribing.push_back(path);
  bool ok = describe(c, req.cseq, path);
  answerDeferred(path, ok);
  for (size_t i = 0; i < fDescribing.size(); i++) {
    if (fDescribing[i] == path) {
      fDescribing.erase(fDescribing.begin() + (long)i);
      break;
    }
  }
}

void RTSPServer::answerDeferred(const std::string &path, bool ok) {
  // The path stays in fDescribing meanwhile: a DESCRIBE that comes while
  // one of these runs the loop again waits its turn here too.
  for (;;) {
    size_t i = 0;
    while (i < fDeferred.size() && fDeferred[i].path != path) i++;
    if (i == fDeferred.size()) return;
    DeferredDescribe d = fDeferred[i];
    fDeferred.erase(fDeferred.begin() + (long)i);
    if (ok) ok = describe(d.conn, d.cseq.c_str(), path.c_str());
    else reply(d.conn, 503, d.cseq.c_str());
    d.conn->resume();
  }
}

bool RTSPServer::describe(Connection *c, const char *cseq, const char *path) {
  ServerMediaSession *sms = lookupServerMediaSession(path);
  if (!sms) {
    reply(c, 404, cseq);
    return false;
  }
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &c->fLocal.sin_addr, ip, sizeof ip);
  // Learning the SDP may run the event loop; the session is held meanwhile
  // and looked up again afterwards.
  sms->incrementReferenceCount();
  char *sdp = sms->generateSDPDescription(ip);
  sms->decrementReferenceCount();
  bool gone = lookupServerMediaSession(path) != sms;
  if (gone && sms->referenceCount() == 0 && sms->deleteWhenUnreferenced()) Medium::close(sms);
  if (!sdp || gone || c->fClosing) {
    delete[] sdp;
    if (!c->fClosing) reply(c, 404, cseq);
    return sdp && !gone;
  }
  char hdr[700];
  snprintf(hdr, sizeof hdr,
           "Content-Base: rtsp://%s:%u/%s/\r\n"
           "Content-Type: application/sdp\r\n",
           ip, fPort, path);
  reply(c, 200, cseq, hdr, sdp);
  delete[] sdp;
  return true;
}

bool RTSPServer::sessionAllowed(Connection *c, const char *cseq) {
  unsigned max = maxClientSessions();
  unsigned share = maxAddressSessions();
  bool connFull = c->fNumSessions >= RTSP_MAX_SESSIONS_PER_CONNECTION;
  bool serverFull = fClientSessions.size() >= max;
  unsigned fromAddress = 0;
  for (const auto &e : fClientSessions)
    fromAddress += e.second->conn->fPeer.sin_addr.s_addr == c->fPeer.sin_addr.s_addr;
  if (!connFull && fromAddress < share && (!serverFull || evictSession(c))) return true;
  // One line an episode: refusals closer than the gap make one.
  LogEpisode *e = connFull ? &fConnectionSessionsFull
                           : serverFull ? &fSessionsFull : &fAddressSessionsFull;
  log_episode_ok(e, LISTEN_EPISODE_GAP_MS);
  if (log_episode_fail(e)) {
    if (connFull)
      log_printf("%s: %u sessions on the connection from %s, refusing more\n", "RTSPServer",
                 (unsigned)RTSP_MAX_SESSIONS_PER_CONNECTION, inet_ntoa(c->fPeer.sin_addr));
    else if (serverFull)
      log_printf("%s: %u sessions, refusing more\n", "RTSPServer", max);
    else
      log_printf("%s: %u sessions from %s, refusing more\n", "RTSPServer", share,
                 inet_ntoa(c->fPeer.sin_addr));
  }
  reply(c, 453, cseq);
  return false;
}

bool RTSPServer::evictSession(Connection *c) {
  std::vector<ListenPlace> places;
  std::vector<ClientSession *> who;
  for (const auto &e : fClientSessions) {
    ClientSession *s = e.second;
    places.push_back({s->conn->fAddr, s->since_ms, recent_moved(s->moved, s->movedMark, s->movedLast)});
    who.push_back(s);
  }
  int k = listen_guard_pick(places.data(), (unsigned)places.size(), c->fAddr,
                            rtsp_monotonic_us() / 1000);
  if (k < 0) return false;
  ClientSession *victim = who[(size_t)k];
  Connection *vc = victim->conn;
  log_episode_ok(&fSessionsTaken, LISTEN_EPISODE_GAP_MS);
  if (log_episode_fail(&fSessionsTaken)) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &c->fPeer.sin_addr, ip, sizeof ip);
    log_printf("%s: session %08X of %s ended to make room for %s\n", "RTSPServer", victim->id,
               inet_ntoa(vc->fPeer.sin_addr), ip);
  }
  deleteClientSession(victim);
  if (vc->fNumSessions == 0) vc->scheduleClose();
  return true;
}

void RTSPServer::handleSETUP(Connection *c, const RtspRequest &req, const char *path) {
  if (!authenticationOK(c, req)) return;
  ServerMediaSession *sms;
  ServerMediaSubsession *sub;
  if (!resolvePath(path, sms, sub)) {
    reply(c, 404, req.cseq);
    return;
  }
  if (!sub) {
    // The session's own URL names its track only when it has just one.
    if (sms->numSubsessions() != 1) {
      reply(c, 459, req.cseq);
      return;
    }
    sub = sms->subsession(0);
  }
  char tvalue[512];
  RtspTransport t;
  // A track sent to a group goes there whatever the client asked for (the
  // server chooses, RFC 2326 12.39); other tracks only unicast.
  struct in_addr group;
  uint16_t groupRTP = 0, groupRTCP = 0;
  uint8_t groupTTL = 0;
  bool mc = sub->multicastDestination(group, groupRTP, groupRTCP, groupTTL);
  if (!rtsp_request_header(&req, "Transport", tvalue, sizeof tvalue) ||
      !rtsp_parse_transport(tvalue, &t) ||
      (!mc && (t.multicast || (t.lower == RTSP_TRANSPORT_UDP && !t.have_client_ports)))) {
    reply(c, 461, req.cseq);
    return;
  }

  ClientSession *s = nullptr;
  bool created = false;
  if (req.session[0]) {
    s = ownedSession(c, req);
    if (!s) return;
    if (s->sms != sms) {
      reply(c, 459, req.cseq);
      return;
    }
  } else {
    if (!sessionAllowed(c, req.cseq)) return;
    s = newClientSession(c, sms);
    created = true;
  }

  ClientDestination dest;
  memset(&dest, 0, sizeof dest);
  dest.moved = &s->moved;
  if (mc) {
    dest.addr = c->fPeer.sin_addr;
  } else if (t.lower == RTSP_TRANSPORT_TCP) {
    dest.tcp = true;
    dest.channel = c;
    if (t.have_interleaved) {
      dest.rtpChannelId = t.rtp_channel;
      dest.rtcpChannelId = t.rtcp_channel;
    } else {
      dest.rtpChannelId = (uint8_t)(2 * (sub->trackNumber() - 1));
      dest.rtcpChannelId = (uint8_t)(dest.rtpChannelId + 1);
    }
  } else {
    // Packets go only to the address the request came from.
    dest.addr = c->fPeer.sin_addr;
    dest.rtpPort = t.client_rtp_port;
    dest.rtcpPort = t.client_rtcp_port;
  }

  ClientSession::Track *old = s->track(sub);
  if (old) {
    old->sub->deleteStream(s->id, old->token);
    s->tracks.erase(s->tracks.begin() + (old - s->tracks.data()));
  }
  uint16_t serverRTP = 0, serverRTCP = 0;
  void *token = nullptr;
  sub->getStreamParameters(s->id, dest, serverRTP, serverRTCP, token);
  if (!token || c->fClosing) {
    if (token) sub->deleteStream(s->id, token);
    if (created) deleteClientSession(s);
    if (!c->fClosing) reply(c, 500, req.cseq);
    return;
  }
  s->tracks.push_back({sub, token, dest});

  char src[INET_ADDRSTRLEN], dst[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &c->fLocal.sin_addr, src, sizeof src);
  inet_ntop(AF_INET, &c->fPeer.sin_addr, dst, sizeof dst);
  char hdr[512];
  if (mc) {
    char gip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &group, gip, sizeof gip);
    snprintf(hdr, sizeof hdr,
             "Transport: RTP/AVP;multicast;destination=%s;source=%s;port=%u-%u;ttl=%u\r\n"
             "Session: %08X;timeout=%u\r\n",
             gip, src, groupRTP, groupRTCP, groupTTL, s->id, fReclamationSeconds);
  } else if (dest.tcp) {
    snprintf(hdr, sizeof hdr,
             "Transport: RTP/AVP/TCP;unicast;destination=%s;source=%s;interleaved=%u-%u\r\n"
             "Session: %08X;timeout=%u\r\n",
             dst, src, dest.rtpChannelId, dest.rtcpChannelId, s->id, fReclamationSeconds);
  } else {
    snprintf(hdr, sizeof hdr,
             "Transport: RTP/AVP;unicast;destination=%s;source=%s;client_port=%u-%u;"
             "server_port=%u-%u\r\n"
             "Session: %08X;timeout=%u\r\n",
             dst, src, dest.rtpPort, dest.rtcpPort, serverRTP, serverRTCP, s->id,
             fReclamationSeconds);
  }
  reply(c, 200, req.cseq, hdr);
}

void RTSPServer::handlePLAY(Connection *c, const RtspRequest &req, ClientSession *s,
                            const char *path) {
  ServerMediaSession *sms;
  ServerMediaSubsession *sub = nullptr;
  if (!path[0] || !resolvePath(path, sms, sub) || sms != s->sms) {
    // ffmpeg and others play the aggregate by the Content-Base they were given.
    sms = s->sms;
    sub = nullptr;
  }
  if (s->tracks.empty()) {
    reply(c, 455, req.cseq);
    return;
  }
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &c->fLocal.sin_addr, ip, sizeof ip);
  std::string info;
  for (ClientSession::Track &t : s->tracks) {
    if (sub && t.sub != sub) continue;
    uint16_t seq = 0;
    uint32_t rtptime = 0;
    t.sub->startStream(s->id, t.token, rrHandler, this, seq, rtptime);
    char buf[700];
    snprintf(buf, sizeof buf, "%surl=rtsp://%s:%u/%s/%s;seq=%u;rtptime=%u", info.empty() ? "" : ",",
             ip, fPort, s->sms->streamName(), t.sub->trackId(), seq, rtptime);
    info += buf;
  }
  char hdr[160];
  snprintf(hdr, sizeof hdr, "Range: npt=0.000-\r\nSession: %08X\r\n", s->id);
  reply(c, 200, req.cseq, std::string(hdr) + "RTP-Info: " + info + "\r\n");
}

void RTSPServer::handlePAUSE(Connection *c, const RtspRequest &req, ClientSession *s) {
  for (ClientSession::Track &t : s->tracks) t.sub->pauseStream(s->id, t.token);
  char hdr[64];
  snprintf(hdr, sizeof hdr, "Session: %08X\r\n", s->id);
  reply(c, 200, req.cseq, hdr);
}

void RTSPServer::handleTEARDOWN(Connection *c, const RtspRequest &req, ClientSession *s,
                                const char *path) {
  ServerMediaSession *sms;
  ServerMediaSubsession *sub = nullptr;
  if (path[0] && resolvePath(path, sms, sub) && sms == s->sms && sub) {
    ClientSession::Track *t = s->track(sub);
    if (t) {
      t->sub->deleteStream(s->id, t->token);
      s->tracks.erase(s->tracks.begin() + (t - s->tracks.data()));
    }
  } else {
    sub = nullptr;
  }
  reply(c, 200, req.cseq);
  if (!sub || s->tracks.empty()) deleteClientSession(s);
}
