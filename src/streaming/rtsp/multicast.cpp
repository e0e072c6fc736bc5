#include "streaming/rtsp/multicast.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"

// ---- multicast groupsocks ----

Groupsock *Groupsock::createMulticast(UsageEnvironment &env, struct in_addr group, uint16_t port,
                                      uint8_t ttl) {
  Groupsock *g = new Groupsock(env, -1, port);
  g->fMulticast = true;
  g->changeDestinationParameters(group, port, ttl);
  return g;
}

void Groupsock::changeDestinationParameters(struct in_addr group, uint16_t port, uint8_t ttl) {
  fGroup = group;
  fPort = port;
  fTTL = ttl;
  fDests.clear();
  addDestination(group, port, 0);
  if (fSocket >= 0) {
    int v = ttl;
    setsockopt(fSocket, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v);
  }
}

bool Groupsock::openMulticast() {
  closeSocket();
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    fEnv.setResultErrMsg("unable to create datagram socket: ", errno);
    return false;
  }
  int one = 1, zero = 0, ttl = fTTL;
  // Receivers on this host and the other channel's group may hold the port
  // too.
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(fPort);
  struct ip_mreq mreq;
  memset(&mreq, 0, sizeof mreq);
  mreq.imr_multiaddr = fGroup;
  mreq.imr_interface.s_addr = htonl(INADDR_ANY);
  const char *what = nullptr;
  if (bind(s, (struct sockaddr *)&a, sizeof a) < 0) what = "bind() error: ";
  // A socket bound to a port hears every group joined on the host at that
  // port unless told otherwise: only its own group here.
  else if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero) < 0) what = "IP_MULTICAST_ALL: ";
  else if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) what = "join: ";
  else if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0) what = "TTL: ";
  else if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one) < 0) what = "loop: ";
  if (what) {
    fEnv.setResultErrMsg(what, errno);
    close(s);
    return false;
  }
  int sndbuf = 512 * 1024;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  fSocket = s;
  return true;
}

void Groupsock::closeSocket() {
  if (fSocket < 0) return;
  fEnv.taskScheduler().disableBackgroundHandling(fSocket);
  close(fSocket);
  fSocket = -1;
}

// ---- passive subsession ----

PassiveServerMediaSubsession *PassiveServerMediaSubsession::createNew(RTPSink &rtpSink,
                                                                      RTCPInstance *rtcp) {
  return new PassiveServerMediaSubsession(rtpSink, rtcp);
}

PassiveServerMediaSubsession::PassiveServerMediaSubsession(RTPSink &rtpSink, RTCPInstance *rtcp)
    : ServerMediaSubsession(rtpSink.envir()), fRTPSink(rtpSink), fRTCP(rtcp), fSDPLines(nullptr) {
  if (fRTCP) fRTCP->addFromHandler(onReport, this);
}

PassiveServerMediaSubsession::~PassiveServerMediaSubsession() {
  // The sink and RTCP may be gone already (they are not ours); the handler
  // is only ever called while both live.
  delete[] fSDPLines;
}

bool PassiveServerMediaSubsession::multicastDestination(struct in_addr &group, uint16_t &rtpPort,
                                                        uint16_t &rtcpPort, uint8_t &ttl) const {
  Groupsock &gs = fRTPSink.groupsockBeingUsed();
  group = gs.groupAddress();
  rtpPort = gs.port();
  rtcpPort = (uint16_t)(gs.port() + 1);
  ttl = gs.ttl();
  return true;
}

const char *PassiveServerMediaSubsession::sdpLines() {
  // The parameter sets of a stream being sent arrive with its first key
  // frame; a description asked for just after the start waits a little.
  int64_t give_up = rtsp_monotonic_us() + 3000000;
  while (fRTPSink.isPlaying() && fRTPSink.auxSDPLineExpected() && !fRTPSink.auxSDPLine() &&
         rtsp_monotonic_us() < give_up)
    envir().taskScheduler().singleStep(100000);
  struct in_addr group;
  uint16_t rtpPort, rtcpPort;
  uint8_t ttl;
  multicastDestination(group, rtpPort, rtcpPort, ttl);
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &group, ip, sizeof ip);
  char buf[256];
  snprintf(buf, sizeof buf,
           "m=%s %u RTP/AVP %u\r\n"
           "c=IN IP4 %s/%u\r\n"
           "b=AS:%u\r\n",
           fRTPSink.sdpMediaType(), rtpPort, fRTPSink.rtpPayloadType(), ip, ttl,
           fRTCP ? fRTCP->totSessionBW() : 500);
  std::string s = buf;
  char *rtpmap = fRTPSink.rtpmapLine();
  s += rtpmap;
  delete[] rtpmap;
  const char *aux = fRTPSink.auxSDPLine();
  if (aux) s += aux;
  snprintf(buf, sizeof buf, "a=control:%s\r\n", trackId());
  s += buf;
  delete[] fSDPLines;
  fSDPLines = rtsp_strdup(s.c_str());
  return fSDPLines;
}

void PassiveServerMediaSubsession::getStreamParameters(unsigned clientSessionId,
                                                       const ClientDestination &dest,
                                                       uint16_t &serverRTPPort,
                                                       uint16_t &serverRTCPPort,
                                                       void *&streamToken) {
  struct in_addr group;
  uint8_t ttl;
  multicastDestination(group, serverRTPPort, serverRTCPPort, ttl);
  bool known = false;
  for (Client &c : fClients) known |= c.sessionId == clientSessionId;
  // The client's address tells its receiver reports from the group apart.
  if (!known) fClients.push_back({clientSessionId, dest.addr, nullptr, nullptr});
  streamToken = this;
}

void PassiveServerMediaSubsession::startStream(unsigned clientSessionId, void *,
                                               RTCPInstance::RRHandlerFunc *rrHandler,
                                               void *rrHandlerData, uint16_t &rtpSeqNum,
                                               uint32_t &rtpTimestamp) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  rtpSeqNum = fRTPSink.currentSeqNo();
  rtpTimestamp = fRTPSink.timestampAt(now);
  for (Client &c : fClients) {
    if (c.sessionId != clientSessionId) continue;
    c.rrHandler = rrHandler;
    c.rrHandlerData = rrHandlerData;
  }
  if (fRTCP && fRTPSink.isPlaying()) fRTCP->reportSoon();
}

void PassiveServerMediaSubsession::deleteStream(unsigned clientSessionId, void *&streamToken) {
  streamToken = nullptr;
  for (size_t i = 0; i < fClients.size(); i++) {
    if (fClients[i].sessionId == clientSessionId) {
      fClients.erase(fClients.begin() + (long)i);
      break;
    }
  }
}

void PassiveServerMediaSubsession::onReport(void *clientData, const struct sockaddr_in &from) {
  PassiveServerMediaSubsession *p = static_cast<PassiveServerMediaSubsession *>(clientData);
  // Reports to a group name no session: every client at that address is
  // taken to be alive.
  std::vector<Client> clients = p->fClients;
  for (const Client &c : clients)
    if (c.addr.s_addr == from.sin_addr.s_addr && c.rrHandler) c.rrHandler(c.rrHandlerData, c.sessionId);
}
