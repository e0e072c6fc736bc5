#include "streaming/rtsp/groupsock.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The blocks of a client that fell behind come back to the pool.
const unsigned kPoolMax = 64;
// Each event loop's own; the blocks it holds go with its thread.
struct ChunkPool : std::vector<OutChunk *> {
  ~ChunkPool() {
    for (OutChunk *c : *this) free(c);
  }
};
thread_local ChunkPool chunk_pool;

}  // namespace

OutChunk *out_chunk_create(unsigned size) {
  OutChunk *c;
  if (size == OUT_CHUNK_SIZE && !chunk_pool.empty()) {
    c = chunk_pool.back();
    chunk_pool.pop_back();
  } else {
    c = static_cast<OutChunk *>(malloc(offsetof(OutChunk, data) + (size ? size : 1)));
    if (!c) return nullptr;
    c->size = size;
  }
  c->refs = 1;
  c->used = 0;
  return c;
}

void out_chunk_unref(OutChunk *c) {
  if (!c || --c->refs > 0) return;
  if (c->size == OUT_CHUNK_SIZE && chunk_pool.size() < kPoolMax) chunk_pool.push_back(c);
  else free(c);
}

Groupsock *Groupsock::createNew(UsageEnvironment &env, uint16_t port) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    env.setResultErrMsg("unable to create datagram socket: ", errno);
    return nullptr;
  }
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (bind(s, (struct sockaddr *)&a, sizeof a) < 0) {
    env.setResultErrMsg("bind() error (port number: ", errno);
    close(s);
    return nullptr;
  }
  // A key frame leaves as a burst of packets; room for it in the kernel
  // keeps them from being dropped at the sender.
  int sndbuf = 512 * 1024;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  return new Groupsock(env, s, port);
}

Groupsock *Groupsock::createDummy(UsageEnvironment &env) { return new Groupsock(env, -1, 0); }

Groupsock::Groupsock(UsageEnvironment &env, int socket, uint16_t port)
    : fEnv(env), fSocket(socket), fPort(port) {}

Groupsock::~Groupsock() {
  out_chunk_unref(fChunk);
  if (fSocket >= 0) {
    fEnv.taskScheduler().disableBackgroundHandling(fSocket);
    close(fSocket);
  }
}

void Groupsock::addDestination(struct in_addr addr, uint16_t port, unsigned sessionId,
                               uint64_t *moved) {
  Dest d;
  memset(&d, 0, sizeof d);
  d.sessionId = sessionId;
  d.addr.sin_family = AF_INET;
  d.addr.sin_addr = addr;
  d.addr.sin_port = htons(port);
  d.tcp = nullptr;
  d.waiting = true;
  d.moved = moved;
  fDests.push_back(d);
}

void Groupsock::addTcpDestination(RtpTcpChannel *channel, uint8_t channelId, unsigned sessionId,
                                  uint64_t *moved) {
  Dest d;
  memset(&d, 0, sizeof d);
  d.sessionId = sessionId;
  d.tcp = channel;
  d.channelId = channelId;
  d.waiting = true;
  d.moved = moved;
  fDests.push_back(d);
}

void Groupsock::removeDestinations(unsigned sessionId) {
  for (size_t i = 0; i < fDests.size();) {
    if (fDests[i].sessionId == sessionId) fDests.erase(fDests.begin() + (long)i);
    else i++;
  }
}

bool Groupsock::output(const uint8_t *data, unsigned size, bool startPoint) {
  bool any = false;
  // The framed copy of this packet for each channel number in use (nearly
  // always one).
  struct Framed {
    OutChunk *chunk;
    unsigned offset;
    uint8_t channel;
  } framed[4];
  unsigned nFramed = 0;
  for (Dest &d : fDests) {
    if (d.waiting && !startPoint) continue;
    bool sent = false;
    if (d.tcp) {
      if (size > 0xFFFF) continue;
      Framed *f = nullptr;
      for (unsigned i = 0; i < nFramed; i++)
        if (framed[i].channel == d.channelId) f = &framed[i];
      if (!f) {
        if (!fChunk || fChunk->used + 4 + size > fChunk->size) {
          // The copies framed so far may go with the old block.
          nFramed = 0;
          out_chunk_unref(fChunk);
          fChunk = out_chunk_create(4 + size < OUT_CHUNK_SIZE ? OUT_CHUNK_SIZE : 4 + size);
          if (!fChunk) return any;
        }
        uint8_t *p = fChunk->data + fChunk->used;
        p[0] = '$';
        p[1] = d.channelId;
        p[2] = (uint8_t)(size >> 8);
        p[3] = (uint8_t)size;
        memcpy(p + 4, data, size);
        f = &framed[nFramed < 4 ? nFramed++ : 3];
        *f = {fChunk, fChunk->used, d.channelId};
        fChunk->used += 4 + size;
      }
      sent = d.tcp->sendInterleaved(f->chunk, f->offset, 4 + size);
    } else if (fSocket >= 0) {
      // A full socket buffer drops the datagram, as the network would.
      sent = sendto(fSocket, data, size, MSG_NOSIGNAL, (const struct sockaddr *)&d.addr,
                    sizeof d.addr) == (ssize_t)size;
    }
    // A destination that lost a packet goes on at the next start point, not
    // with pictures that refer to what it lost.
    d.waiting = !sent;
    any |= sent;
    if (sent && d.moved) *d.moved += size;
  }
  return any;
}

unsigned Groupsock::sessionBySource(const struct sockaddr_in &from) const {
  for (const Dest &d : fDests) {
    if (!d.tcp && d.addr.sin_addr.s_addr == from.sin_addr.s_addr && d.addr.sin_port == from.sin_port)
      return d.sessionId;
  }
  return 0;
}
