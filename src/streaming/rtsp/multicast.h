// Multicast delivery: a subsession whose sink sends to a group whatever
// clients there are. Clients only learn the group from the SDP and the
// SETUP reply and join it themselves; the server sends one copy.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <vector>

#include "streaming/rtsp/rtcp.h"
#include "streaming/rtsp/rtp_sink.h"
#include "streaming/rtsp/server_media.h"

class PassiveServerMediaSubsession : public ServerMediaSubsession {
 public:
  // rtcp may be NULL. Neither is owned.
  static PassiveServerMediaSubsession *createNew(RTPSink &rtpSink, RTCPInstance *rtcp = nullptr);

  const char *sdpLines() override;
  void getStreamParameters(unsigned clientSessionId, const ClientDestination &dest,
                           uint16_t &serverRTPPort, uint16_t &serverRTCPPort,
                           void *&streamToken) override;
  void startStream(unsigned clientSessionId, void *streamToken,
                   RTCPInstance::RRHandlerFunc *rrHandler, void *rrHandlerData,
                   uint16_t &rtpSeqNum, uint32_t &rtpTimestamp) override;
  void deleteStream(unsigned clientSessionId, void *&streamToken) override;
  bool multicastDestination(struct in_addr &group, uint16_t &rtpPort, uint16_t &rtcpPort,
                            uint8_t &ttl) const override;

 protected:
  PassiveServerMediaSubsession(RTPSink &rtpSink, RTCPInstance *rtcp);
  ~PassiveServerMediaSubsession() override;

 private:
  struct Client {
    unsigned sessionId;
    struct in_addr addr;
    RTCPInstance::RRHandlerFunc *rrHandler;
    void *rrHandlerData;
  };
  static void onReport(void *clientData, const struct sockaddr_in &from);

  RTPSink &fRTPSink;
  RTCPInstance *fRTCP;
  char *fSDPLines;
  std::vector<Client> fClients;
};
