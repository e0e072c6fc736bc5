// What an RTSP server offers: named sessions made of subsessions (one media
// track each), and the on-demand subsession that makes a source and an RTP
// sink for the clients that set it up.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <vector>

#include "streaming/rtsp/groupsock.h"
#include "streaming/rtsp/media.h"
#include "streaming/rtsp/rtcp.h"
#include "streaming/rtsp/rtp_sink.h"

class ServerMediaSession;

// Where one client wants a track's packets.
struct ClientDestination {
  bool tcp;
  struct in_addr addr;        // UDP: the client's address
  uint16_t rtpPort, rtcpPort;
  RtpTcpChannel *channel;     // TCP: the client's RTSP connection
  uint8_t rtpChannelId, rtcpChannelId;
  uint64_t *moved;            // counts the bytes sent to the client (NULL: none)
};

class ServerMediaSubsession : public Medium {
 public:
  unsigned trackNumber() const { return fTrackNumber; }
  const char *trackId() const { return fTrackId; }
  ServerMediaSession *parentSession() const { return fParentSession; }

  // The track's SDP media lines, owned by the subsession; NULL when they
  // cannot be made (the stream gives no data).
  virtual const char *sdpLines() = 0;
  // Prepares the stream for a client. streamToken is NULL on failure;
  // serverRTPPort and serverRTCPPort are the ports packets come from.
  virtual void getStreamParameters(unsigned clientSessionId, const ClientDestination &dest,
                                   uint16_t &serverRTPPort, uint16_t &serverRTCPPort,
                                   void *&streamToken) = 0;
  // Starts sending to the client; the sequence number and RTP timestamp of
  // its first packet are returned for RTP-Info. rrHandler is told of each
  // receiver report of that client.
  virtual void startStream(unsigned clientSessionId, void *streamToken,
                           RTCPInstance::RRHandlerFunc *rrHandler, void *rrHandlerData,
                           uint16_t &rtpSeqNum, uint32_t &rtpTimestamp) = 0;
  virtual void pauseStream(unsigned clientSessionId, void *streamToken) {}
  virtual void deleteStream(unsigned clientSessionId, void *&streamToken) {}
  // A track sent to a multicast group: its group, ports and TTL, whatever
  // transport the client asked for.
  virtual bool multicastDestination(struct in_addr &group, uint16_t &rtpPort, uint16_t &rtcpPort,
                                    uint8_t &ttl) const {
    return false;
  }

 protected:
  explicit ServerMediaSubsession(UsageEnvironment &env);
  ~ServerMediaSubsession() override = default;

 private:
  friend class ServerMediaSession;
  ServerMediaSession *fParentSession;
  unsigned fTrackNumber;
  char fTrackId[16];
};

class ServerMediaSession : public Medium {
 public:
  static ServerMediaSession *createNew(UsageEnvironment &env, const char *streamName,
                                       const char *info, const char *description,
                                       bool isSSM = false, const char *miscSDPLines = nullptr);
  const char *streamName() const { return fStreamName; }
  bool isSSM() const { return fIsSSM; }
  bool addSubsession(ServerMediaSubsession *subsession);
  unsigned numSubsessions() const { return (unsigned)fSubsessions.size(); }
  ServerMediaSubsession *subsession(unsigned i) const { return fSubsessions[i]; }
  ServerMediaSubsession *lookupByTrackId(const char *trackId) const;

  // The session description (RFC 4566) as a new[] text, with serverAddress
  // in its origin line; NULL when a track has no SDP lines.
  char *generateSDPDescription(const char *serverAddress);

  // Client sessions using this one hold a reference; a session removed
  // from the server while referenced is deleted when the last one goes.
  void incrementReferenceCount() { fReferenceCount++; }
  void decrementReferenceCount() { if (fReferenceCount) fReferenceCount--; }
  unsigned referenceCount() const { return fReferenceCount; }
  void setDeleteWhenUnreferenced(bool v) { fDeleteWhenUnreferenced = v; }
  bool deleteWhenUnreferenced() const { return fDeleteWhenUnreferenced; }

 protected:
  ServerMediaSession(UsageEnvironment &env, const char *streamName, const char *info,
                     const char *description, bool isSSM, const char *miscSDPLines);
  ~ServerMediaSession() override;

 private:
  char *fStreamName;
  char *fInfo;
  char *fDescription;
  char *fMiscSDPLines;
  bool fIsSSM;
  struct timeval fCreationTime;
  std::vector<ServerMediaSubsession *> fSubsessions;
  unsigned fReferenceCount;
  bool fDeleteWhenUnreferenced;
};

struct OnDemandStream;

// A subsession whose source and sink are made when a client sets it up.
// With reuseFirstSource every client shares the first client's source and
// sink; they are closed when the last client leaves.
class OnDemandServerMediaSubsession : public ServerMediaSubsession {
 public:
  const char *sdpLines() override;
  void getStreamParameters(unsigned clientSessionId, const ClientDestination &dest,
                           uint16_t &serverRTPPort, uint16_t &serverRTCPPort,
                           void *&streamToken) override;
  void startStream(unsigned clientSessionId, void *streamToken,
                   RTCPInstance::RRHandlerFunc *rrHandler, void *rrHandlerData,
                   uint16_t &rtpSeqNum, uint32_t &rtpTimestamp) override;
  void pauseStream(unsigned clientSessionId, void *streamToken) override;
  void deleteStream(unsigned clientSessionId, void *&streamToken) override;

 protected:
  OnDemandServerMediaSubsession(UsageEnvironment &env, bool reuseFirstSource,
                                uint16_t initialPortNum = 6970,
                                bool multiplexRTCPWithRTP = false);
  ~OnDemandServerMediaSubsession() override;

  // The payload format's "a=fmtp:" line for the SDP; may play the sink to
  // learn it.
  virtual const char *getAuxSDPLine(RTPSink *rtpSink, FramedSource *inputSource);
  virtual FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) = 0;
  virtual RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                                    FramedSource *inputSource) = 0;
  virtual void closeStreamSource(FramedSource *inputSource) { Medium::close(inputSource); }
  // Drops the SDP lines made so far: the next DESCRIBE makes them again.
  virtual void forgetSDPLines();
  // The sink the current clients are fed from, NULL when none plays.
  RTPSink *liveSink() const;

 private:
  friend struct OnDemandStream;
  void setSDPLinesFromRTPSink(RTPSink *rtpSink, FramedSource *inputSource, unsigned estBitrate);
  // Closes the sink, its RTCP and the source of a stream without clients.
  void closeStream(OnDemandStream *s);
  bool fReuseFirstSource;
  uint16_t fInitialPortNum;
  char *fSDPLines;
  bool fSDPLinesIncomplete;      // made without the fmtp line they need: ask again
  OnDemandStream *fLastStream;   // the shared stream, NULL when none
  std::vector<OnDemandStream *> fStreams;
};
