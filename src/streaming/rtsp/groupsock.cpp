#include "streaming/rtsp/groupsock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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
  if (fSocket >= 0) {
    fEnv.taskScheduler().disableBackgroundHandling(fSocket);
    close(fSocket);
  }
}

void Groupsock::addDestination(struct in_addr addr, uint16_t port, unsigned sessionId) {
  Dest d;
  memset(&d, 0, sizeof d);
  d.sessionId = sessionId;
  d.addr.sin_family = AF_INET;
  d.addr.sin_addr = addr;
  d.addr.sin_port = htons(port);
  d.tcp = nullptr;
  fDests.push_back(d);
}

void Groupsock::addTcpDestination(RtpTcpChannel *channel, uint8_t channelId, unsigned sessionId) {
  Dest d;
  memset(&d, 0, sizeof d);
  d.sessionId = sessionId;
  d.tcp = channel;
  d.channelId = channelId;
  fDests.push_back(d);
}

void Groupsock::removeDestinations(unsigned sessionId) {
  for (size_t i = 0; i < fDests.size();) {
    if (fDests[i].sessionId == sessionId) fDests.erase(fDests.begin() + (long)i);
    else i++;
  }
}

bool Groupsock::output(const uint8_t *data, unsigned size) {
  bool any = false;
  for (const Dest &d : fDests) {
    if (d.tcp) {
      any |= d.tcp->sendInterleaved(d.channelId, data, size);
    } else if (fSocket >= 0) {
      // A full socket buffer drops the datagram, as the network would.
      any |= sendto(fSocket, data, size, MSG_NOSIGNAL, (const struct sockaddr *)&d.addr,
                    sizeof d.addr) == (ssize_t)size;
    }
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
