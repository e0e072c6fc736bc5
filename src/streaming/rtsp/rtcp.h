// RTCP (RFC 3550 section 6) for one RTP sink: sender reports with the
// sink's CNAME every few seconds, a BYE when it ends, and the receiver
// reports of clients, which tell the server that a client is still there.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "streaming/rtsp/groupsock.h"
#include "streaming/rtsp/rtp_sink.h"

class RTCPInstance : public Medium {
 public:
  typedef void(RRHandlerFunc)(void *clientData, unsigned sessionId);

  // totSessionBW in kbit/s. source is accepted for the receiving side of a
  // session, which this server never is.
  static RTCPInstance *createNew(UsageEnvironment &env, Groupsock *rtcpGS, unsigned totSessionBW,
                                 const char *cname, RTPSink *sink, void *source,
                                 bool isSSMTransmitter = false);
  // Called for each report that arrives from a UDP destination of the RTCP
  // groupsock, with the session that added it.
  void setRRHandler(RRHandlerFunc *handler, void *clientData);
  // The next report goes out on the next pass of the event loop: a new
  // receiver learns at once how RTP time maps to wall-clock time.
  void reportSoon();
  // A multicast sender's RTCP follows its socket: stopReports says BYE and
  // stops listening and reporting (before the socket closes); startReports
  // listens on the socket as it is now and reports at once.
  void stopReports();
  void startReports();
  // Called for each report from an address that added no destination
  // (receivers of a multicast group). The sender's own reports, looped
  // back by the group, never count. Handlers must not outlive the instance
  // unless it no longer runs (its owner closes both together).
  typedef void(FromHandlerFunc)(void *clientData, const struct sockaddr_in &from);
  void addFromHandler(FromHandlerFunc *handler, void *clientData);
  unsigned totSessionBW() const { return fTotSessionBW; }

  // Parses one compound packet. The number of well-formed RTCP packets in
  // it, 0 when the first is malformed; *reports counts receiver and sender
  // reports among them.
  static int parseCompound(const uint8_t *data, unsigned size, unsigned *reports);

 protected:
  RTCPInstance(UsageEnvironment &env, Groupsock *rtcpGS, unsigned totSessionBW, const char *cname,
               RTPSink *sink);
  ~RTCPInstance() override;

 private:
  static void onExpire(void *clientData);
  static void incomingHandler(void *clientData, int mask);
  void sendReport(bool bye);
  unsigned buildSDES(uint8_t *p) const;
  void schedule(int64_t us);

  Groupsock *fRTCPInterface;
  RTPSink *fSink;
  unsigned fTotSessionBW;
  char fCNAME[64];
  TaskToken fTask;
  RRHandlerFunc *fRRHandler;
  void *fRRHandlerData;
  std::vector<std::pair<FromHandlerFunc *, void *>> fFromHandlers;
};
