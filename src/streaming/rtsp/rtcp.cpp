#include "streaming/rtsp/rtcp.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>

enum { RTCP_SR = 200, RTCP_RR = 201, RTCP_SDES = 202, RTCP_BYE = 203, RTCP_APP = 204 };
// Seconds from 1900 (NTP) to 1970.
static const uint32_t kNtpEpochOffset = 2208988800u;

RTCPInstance *RTCPInstance::createNew(UsageEnvironment &env, Groupsock *rtcpGS,
                                      unsigned totSessionBW, const char *cname, RTPSink *sink,
                                      void *, bool) {
  return new RTCPInstance(env, rtcpGS, totSessionBW, cname, sink);
}

RTCPInstance::RTCPInstance(UsageEnvironment &env, Groupsock *rtcpGS, unsigned totSessionBW,
                           const char *cname, RTPSink *sink)
    : Medium(env),
      fRTCPInterface(rtcpGS),
      fSink(sink),
      fTotSessionBW(totSessionBW),
      fTask(nullptr),
      fRRHandler(nullptr),
      fRRHandlerData(nullptr) {
  snprintf(fCNAME, sizeof fCNAME, "%s", cname ? cname : "");
  if (fRTCPInterface->socketNum() >= 0) {
    env.taskScheduler().setBackgroundHandling(fRTCPInterface->socketNum(), SOCKET_READABLE,
                                              incomingHandler, this);
  }
  // The first report goes before the first RTP packet, so that receivers
  // align their streams from the start.
  schedule(0);
}

void RTCPInstance::reportSoon() {
  envir().taskScheduler().unscheduleDelayedTask(fTask);
  schedule(0);
}

RTCPInstance::~RTCPInstance() {
  envir().taskScheduler().unscheduleDelayedTask(fTask);
  if (fRTCPInterface->socketNum() >= 0)
    envir().taskScheduler().disableBackgroundHandling(fRTCPInterface->socketNum());
  sendReport(true);
}

void RTCPInstance::stopReports() {
  envir().taskScheduler().unscheduleDelayedTask(fTask);
  if (fRTCPInterface->socketNum() >= 0) {
    envir().taskScheduler().disableBackgroundHandling(fRTCPInterface->socketNum());
    sendReport(true);
  }
}

void RTCPInstance::startReports() {
  envir().taskScheduler().unscheduleDelayedTask(fTask);
  if (fRTCPInterface->socketNum() >= 0) {
    envir().taskScheduler().setBackgroundHandling(fRTCPInterface->socketNum(), SOCKET_READABLE,
                                                  incomingHandler, this);
  }
  schedule(0);
}

void RTCPInstance::addFromHandler(FromHandlerFunc *handler, void *clientData) {
  fFromHandlers.emplace_back(handler, clientData);
}

void RTCPInstance::setRRHandler(RRHandlerFunc *handler, void *clientData) {
  fRRHandler = handler;
  fRRHandlerData = clientData;
}

void RTCPInstance::schedule(int64_t us) {
  fTask = envir().taskScheduler().scheduleDelayedTask(us, onExpire, this);
}

void RTCPInstance::onExpire(void *clientData) {
  RTCPInstance *r = static_cast<RTCPInstance *>(clientData);
  r->fTask = nullptr;
  r->sendReport(false);
  // RFC 3550 6.2: at least 5 s apart, randomised by 0.5 to 1.5 so that
  // reports of many senders do not synchronise.
  int64_t interval = 5000000;
  r->schedule(interval / 2 + (int64_t)(rtsp_random32() % (uint32_t)interval));
}

unsigned RTCPInstance::buildSDES(uint8_t *p) const {
  unsigned len = (unsigned)strlen(fCNAME);
  if (len > 255) len = 255;
  // SSRC, CNAME item, END item, padded to a 32-bit boundary.
  unsigned body = 4 + 2 + len + 1;
  unsigned total = 4 + ((body + 3) & ~3u);
  memset(p, 0, total);
  p[0] = 0x81;
  p[1] = RTCP_SDES;
  p[2] = (uint8_t)(((total / 4) - 1) >> 8);
  p[3] = (uint8_t)((total / 4) - 1);
  uint32_t ssrc = htonl(fSink ? fSink->SSRC() : 0);
  memcpy(p + 4, &ssrc, 4);
  p[8] = 1;
  p[9] = (uint8_t)len;
  memcpy(p + 10, fCNAME, len);
  return total;
}

void RTCPInstance::sendReport(bool bye) {
  uint8_t pkt[600];
  unsigned n = 0;
  uint32_t ssrc = htonl(fSink ? fSink->SSRC() : 0);
  // Always a sender report: the mapping of RTP to NTP time is what the
  // receivers need, even before the first packet.
  if (fSink) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    uint32_t w[6];
    w[0] = htonl(0x80000000u | RTCP_SR << 16 | 6);
    memcpy(&w[1], &ssrc, 4);
    w[2] = htonl((uint32_t)now.tv_sec + kNtpEpochOffset);
    w[3] = htonl((uint32_t)(((uint64_t)now.tv_usec << 32) / 1000000));
    uint32_t rest[3] = {htonl(fSink->timestampAt(now)), htonl(fSink->packetCount()),
                        htonl(fSink->octetCount())};
    memcpy(pkt, w, 16);
    memcpy(pkt + 16, rest, 12);
    n = 28;
  } else {
    uint32_t w = htonl(0x80000000u | RTCP_RR << 16 | 1);
    memcpy(pkt, &w, 4);
    memcpy(pkt + 4, &ssrc, 4);
    n = 8;
  }
  n += buildSDES(pkt + n);
  if (bye) {
    uint32_t w = htonl(0x81000000u | RTCP_BYE << 16 | 1);
    memcpy(pkt + n, &w, 4);
    memcpy(pkt + n + 4, &ssrc, 4);
    n += 8;
  }
  fRTCPInterface->output(pkt, n);
}

int RTCPInstance::parseCompound(const uint8_t *data, unsigned size, unsigned *reports) {
  int count = 0;
  unsigned rr = 0;
  while (size >= 4) {
    if ((data[0] >> 6) != 2) break;
    unsigned len = 4 * (((unsigned)data[2] << 8 | data[3]) + 1);
    if (len > size) break;
    unsigned pt = data[1];
    if (pt < RTCP_SR || pt > RTCP_APP) break;
    if (pt == RTCP_SR || pt == RTCP_RR) rr++;
    count++;
    data += len;
    size -= len;
  }
  if (reports) *reports = rr;
  return count;
}

void RTCPInstance::incomingHandler(void *clientData, int) {
  RTCPInstance *r = static_cast<RTCPInstance *>(clientData);
  uint8_t buf[1500];
  for (int i = 0; i < 64; i++) {
    struct sockaddr_in from;
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(r->fRTCPInterface->socketNum(), buf, sizeof buf, MSG_DONTWAIT,
                         (struct sockaddr *)&from, &fl);
    if (n <= 0) return;
    unsigned reports = 0;
    if (parseCompound(buf, (unsigned)n, &reports) <= 0 || reports == 0) continue;
    // A group hands the sender its own reports back.
    uint32_t ssrc;
    memcpy(&ssrc, buf + 4, 4);
    if (n >= 8 && r->fSink && ntohl(ssrc) == r->fSink->SSRC()) continue;
    unsigned sid = r->fRTCPInterface->sessionBySource(from);
    if (sid && r->fRRHandler) r->fRRHandler(r->fRRHandlerData, sid);
    else if (!sid)
      for (auto &h : r->fFromHandlers) h.first(h.second, from);
  }
}
