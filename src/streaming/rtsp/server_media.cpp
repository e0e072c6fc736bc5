#include "streaming/rtsp/server_media.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/time.h>
#include <unistd.h>

#include "core/log.h"

namespace {


struct timeval now_tv(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv;
}

}  // namespace

// ---- subsession and session ----

ServerMediaSubsession::ServerMediaSubsession(UsageEnvironment &env)
    : Medium(env), fParentSession(nullptr), fTrackNumber(0) {
  fTrackId[0] = 0;
}

ServerMediaSession *ServerMediaSession::createNew(UsageEnvironment &env, const char *streamName,
                                                  const char *info, const char *description,
                                                  bool isSSM, const char *miscSDPLines) {
  return new ServerMediaSession(env, streamName, info, description, isSSM, miscSDPLines);
}

ServerMediaSession::ServerMediaSession(UsageEnvironment &env, const char *streamName,
                                       const char *info, const char *description, bool isSSM,
                                       const char *miscSDPLines)
    : Medium(env),
      fStreamName(rtsp_strdup(streamName)),
      fInfo(rtsp_strdup(info ? info : streamName)),
      fDescription(rtsp_strdup(description)),
      fMiscSDPLines(rtsp_strdup(miscSDPLines)),
      fIsSSM(isSSM),
      fReferenceCount(0),
      fDeleteWhenUnreferenced(false) {
  gettimeofday(&fCreationTime, nullptr);
}

ServerMediaSession::~ServerMediaSession() {
  for (ServerMediaSubsession *s : fSubsessions) Medium::close(s);
  delete[] fStreamName;
  delete[] fInfo;
  delete[] fDescription;
  delete[] fMiscSDPLines;
}

bool ServerMediaSession::addSubsession(ServerMediaSubsession *subsession) {
  if (!subsession || subsession->fParentSession) return false;
  subsession->fParentSession = this;
  subsession->fTrackNumber = (unsigned)fSubsessions.size() + 1;
  snprintf(subsession->fTrackId, sizeof subsession->fTrackId, "track%u",
           subsession->fTrackNumber);
  fSubsessions.push_back(subsession);
  return true;
}

ServerMediaSubsession *ServerMediaSession::lookupByTrackId(const char *trackId) const {
  for (ServerMediaSubsession *s : fSubsessions)
    if (strcmp(s->trackId(), trackId) == 0) return s;
  return nullptr;
}

char *ServerMediaSession::generateSDPDescription(const char *serverAddress) {
  std::string media;
  // A track may run the event loop while it learns its lines; this session
  // must outlive that.
  incrementReferenceCount();
  for (ServerMediaSubsession *s : fSubsessions) {
    const char *lines = s->sdpLines();
    if (!lines) {
      decrementReferenceCount();
      return nullptr;
    }
    media += lines;
  }
  decrementReferenceCount();

  std::string sdp;
  char buf[600];
  snprintf(buf, sizeof buf,
           "v=0\r\n"
           "o=- %ld%06ld 1 IN IP4 %s\r\n"
           "s=%s\r\n"
           "i=%s\r\n"
           "t=0 0\r\n"
           "a=tool:m7391\r\n"
           "a=type:broadcast\r\n"
           "a=control:*\r\n",
           (long)fCreationTime.tv_sec, (long)fCreationTime.tv_usec, serverAddress, fDescription,
           fInfo);
  sdp += buf;
  if (fIsSSM) {
    // RFC 4570: only this server sends to the group.
    snprintf(buf, sizeof buf,
             "a=source-filter: incl IN IP4 * %s\r\n"
             "a=rtcp-unicast: reflection\r\n",
             serverAddress);
    sdp += buf;
  }
  sdp += "a=range:npt=0-\r\n";
  snprintf(buf, sizeof buf, "a=x-qt-text-nam:%s\r\na=x-qt-text-inf:%s\r\n", fDescription, fInfo);
  sdp += buf;
  sdp += fMiscSDPLines;
  sdp += media;
  return rtsp_strdup(sdp.c_str());
}

// ---- on demand ----

// The source, sink and sockets that one client (or, with reuse, every client)
// of an on-demand subsession is fed from.
struct OnDemandStream {
  struct Client {
    unsigned sessionId;
    ClientDestination dest;
    bool active;
    RTCPInstance::RRHandlerFunc *rrHandler;
    void *rrHandlerData;
  };

  OnDemandServerMediaSubsession *owner;
  FramedSource *source;
  RTPSink *sink;
  RTCPInstance *rtcp;
  Groupsock *rtpGS;
  Groupsock *rtcpGS;
  unsigned estBitrate;
  bool ended;              // the source closed; no new client joins
  TaskToken endTask;
  TaskToken startTask;     // the sink starts once the PLAY reply is out
  std::vector<Client> clients;

  Client *client(unsigned sessionId) {
    for (Client &c : clients)
      if (c.sessionId == sessionId) return &c;
    return nullptr;
  }
  void activate(Client &c) {
    if (c.active) return;
    if (c.dest.tcp) {
      rtpGS->addTcpDestination(c.dest.channel, c.dest.rtpChannelId, c.sessionId, c.dest.moved);
      rtcpGS->addTcpDestination(c.dest.channel, c.dest.rtcpChannelId, c.sessionId, c.dest.moved);
    } else {
      rtpGS->addDestination(c.dest.addr, c.dest.rtpPort, c.sessionId, c.dest.moved);
      rtcpGS->addDestination(c.dest.addr, c.dest.rtcpPort, c.sessionId, c.dest.moved);
    }
    c.active = true;
  }
  void deactivate(Client &c) {
    rtpGS->removeDestinations(c.sessionId);
    rtcpGS->removeDestinations(c.sessionId);
    c.active = false;
  }
  static void onRR(void *data, unsigned sessionId) {
    OnDemandStream *s = static_cast<OnDemandStream *>(data);
    Client *c = s->client(sessionId);
    if (c && c->rrHandler) c->rrHandler(c->rrHandlerData, sessionId);
  }
  // The source closed (wrong data, say): the clients get an RTCP BYE and
  // the stream takes no new clients. Closing waits for the scheduler so
  // that the sink is not deleted under its own call.
  static void afterPlaying(void *data) {
    OnDemandStream *s = static_cast<OnDemandStream *>(data);
    s->ended = true;
    if (s->owner->fLastStream == s) s->owner->fLastStream = nullptr;
    s->endTask = s->sink->envir().taskScheduler().scheduleDelayedTask(0, endPlaying, s);
  }
  static void startPlaying(void *data) {
    OnDemandStream *s = static_cast<OnDemandStream *>(data);
    s->startTask = nullptr;
    s->sink->startPlaying(*s->source, afterPlaying, s);
  }
  static void endPlaying(void *data) {
    OnDemandStream *s = static_cast<OnDemandStream *>(data);
    s->endTask = nullptr;
    Medium::close(s->rtcp);
    s->rtcp = nullptr;
  }
};

OnDemandServerMediaSubsession::OnDemandServerMediaSubsession(UsageEnvironment &env,
                                                             bool reuseFirstSource,
                                                             uint16_t initialPortNum, bool)
    : ServerMediaSubsession(env),
      fReuseFirstSource(reuseFirstSource),
      fInitialPortNum((uint16_t)(initialPortNum & ~1u)),
      fSDPLines(nullptr),
      fSDPLinesIncomplete(false),
      fLastStream(nullptr) {}

OnDemandServerMediaSubsession::~OnDemandServerMediaSubsession() {
  // Client sessions end before their server media sessions; a stream still
  // open is closed here all the same.
  while (!fStreams.empty()) closeStream(fStreams.back());
  delete[] fSDPLines;
}

void OnDemandServerMediaSubsession::forgetSDPLines() {
  delete[] fSDPLines;
  fSDPLines = nullptr;
  fSDPLinesIncomplete = false;
}

RTPSink *OnDemandServerMediaSubsession::liveSink() const {
  return fLastStream && !fLastStream->ended ? fLastStream->sink : nullptr;
}

const char *OnDemandServerMediaSubsession::getAuxSDPLine(RTPSink *rtpSink, FramedSource *) {
  return rtpSink ? rtpSink->auxSDPLine() : nullptr;
}

void OnDemandServerMediaSubsession::setSDPLinesFromRTPSink(RTPSink *rtpSink,
                                                           FramedSource *inputSource,
                                                           unsigned estBitrate) {
  const char *aux = getAuxSDPLine(rtpSink, inputSource);
  char *rtpmap = rtpSink->rtpmapLine();
  std::string s;
  char buf[256];
  snprintf(buf, sizeof buf,
           "m=%s 0 RTP/AVP %u\r\n"
           "c=IN IP4 0.0.0.0\r\n"
           "b=AS:%u\r\n",
           rtpSink->sdpMediaType(), rtpSink->rtpPayloadType(), estBitrate);
  s += buf;
  s += rtpmap;
  if (aux) s += aux;
  snprintf(buf, sizeof buf, "a=control:%s\r\n", trackId());
  s += buf;
  delete[] rtpmap;
  delete[] fSDPLines;
  fSDPLines = rtsp_strdup(s.c_str());
  fSDPLinesIncomplete = !aux && rtpSink->auxSDPLineExpected();
}

const char *OnDemandServerMediaSubsession::sdpLines() {
  if (fSDPLines && !fSDPLinesIncomplete) return fSDPLines;
  // A source and a sink that send nowhere tell what the lines say.
  unsigned estBitrate = 0;
  FramedSource *source = createNewStreamSource(0, estBitrate);
  if (!source) return nullptr;
  Groupsock *gs = Groupsock::createDummy(envir());
  RTPSink *sink = createNewRTPSink(gs, (unsigned char)(96 + trackNumber() - 1), source);
  if (sink) {
    setSDPLinesFromRTPSink(sink, source, estBitrate);
    Medium::close(sink);
  }
  closeStreamSource(source);
  delete gs;
  return fSDPLines;
}

void OnDemandServerMediaSubsession::getStreamParameters(unsigned clientSessionId,
                                                        const ClientDestination &dest,
                                                        uint16_t &serverRTPPort,
                                                        uint16_t &serverRTCPPort,
                                                        void *&streamToken) {
  streamToken = nullptr;
  OnDemandStream *s = fReuseFirstSource ? fLastStream : nullptr;
  if (!s) {
    unsigned estBitrate = 0;
    FramedSource *source = createNewStreamSource(clientSessionId, estBitrate);
    if (!source) return;
    Groupsock *rtpGS = nullptr, *rtcpGS = nullptr;
    // An even port for RTP and the next one for RTCP (RFC 3550 11).
    for (unsigned port = fInitialPortNum; port + 1 <= 65535; port += 2) {
      rtpGS = Groupsock::createNew(envir(), (uint16_t)port);
      if (!rtpGS) continue;
      rtcpGS = Groupsock::createNew(envir(), (uint16_t)(port + 1));
      if (rtcpGS) break;
      delete rtpGS;
      rtpGS = nullptr;
    }
    if (!rtpGS || !rtcpGS) {
      log_printf("%s: no free port pair from %u\n", "getStreamParameters", fInitialPortNum);
      closeStreamSource(source);
      return;
    }
    RTPSink *sink = createNewRTPSink(rtpGS, (unsigned char)(96 + trackNumber() - 1), source);
    if (!sink) {
      closeStreamSource(source);
      delete rtpGS;
      delete rtcpGS;
      return;
    }
    s = new OnDemandStream{this, source, sink, nullptr, rtpGS, rtcpGS, estBitrate, false,
                           nullptr, nullptr, {}};
    fStreams.push_back(s);
    if (fReuseFirstSource) fLastStream = s;
  }
  if (!s->client(clientSessionId)) s->clients.push_back({clientSessionId, dest, false, nullptr, nullptr});
  serverRTPPort = s->rtpGS->port();
  serverRTCPPort = s->rtcpGS->port();
  streamToken = s;
}

void OnDemandServerMediaSubsession::startStream(unsigned clientSessionId, void *streamToken,
                                                RTCPInstance::RRHandlerFunc *rrHandler,
                                                void *rrHandlerData, uint16_t &rtpSeqNum,
                                                uint32_t &rtpTimestamp) {
  OnDemandStream *s = static_cast<OnDemandStream *>(streamToken);
  rtpSeqNum = 0;
  rtpTimestamp = 0;
  if (!s) return;
  OnDemandStream::Client *c = s->client(clientSessionId);
  if (!c) return;
  c->rrHandler = rrHandler;
  c->rrHandlerData = rrHandlerData;
  if (!s->sink->isPlaying() && !s->startTask && !s->ended) {
    rtpSeqNum = s->sink->currentSeqNo();
    // RTP time runs with the presentation times, which follow the wall
    // clock: the timestamp of now, and no shift of the sink's clock that
    // would put its streams out of step with each other.
    rtpTimestamp = s->sink->timestampAt(now_tv());
    s->activate(*c);
    if (!s->rtcp) {
      unsigned bw = s->estBitrate ? s->estBitrate : 500;
      char cname[64] = "";
      gethostname(cname, sizeof cname - 1);
      s->rtcp = RTCPInstance::createNew(envir(), s->rtcpGS, bw, cname, s->sink, nullptr);
      s->rtcp->setRRHandler(OnDemandStream::onRR, s);
    }
    // The first packet may be ready at once; the client must have the PLAY
    // reply before it.
    s->startTask = envir().taskScheduler().scheduleDelayedTask(0, OnDemandStream::startPlaying, s);
    return;
  }
  // Joining a stream already being sent: its next packet is the client's first.
  rtpSeqNum = s->sink->currentSeqNo();
  rtpTimestamp = s->sink->timestampAt(now_tv());
  s->activate(*c);
  if (s->rtcp) s->rtcp->reportSoon();
}

void OnDemandServerMediaSubsession::pauseStream(unsigned clientSessionId, void *streamToken) {
  OnDemandStream *s = static_cast<OnDemandStream *>(streamToken);
  if (!s) return;
  // A shared stream keeps going for the others: this client just stops
  // receiving it.
  OnDemandStream::Client *c = s->client(clientSessionId);
  if (c) s->deactivate(*c);
}

void OnDemandServerMediaSubsession::deleteStream(unsigned clientSessionId, void *&streamToken) {
  OnDemandStream *s = static_cast<OnDemandStream *>(streamToken);
  streamToken = nullptr;
  if (!s) return;
  for (size_t i = 0; i < s->clients.size(); i++) {
    if (s->clients[i].sessionId != clientSessionId) continue;
    // The last client stays a destination while the stream closes, so the
    // RTCP BYE reaches it.
    if (s->clients.size() == 1) {
      closeStream(s);
      return;
    }
    s->deactivate(s->clients[i]);
    s->clients.erase(s->clients.begin() + (long)i);
    break;
  }
  if (s->clients.empty()) closeStream(s);
}

void OnDemandServerMediaSubsession::closeStream(OnDemandStream *s) {
  if (fLastStream == s) fLastStream = nullptr;
  for (size_t i = 0; i < fStreams.size(); i++) {
    if (fStreams[i] == s) {
      fStreams.erase(fStreams.begin() + (long)i);
      break;
    }
  }
  envir().taskScheduler().unscheduleDelayedTask(s->endTask);
  envir().taskScheduler().unscheduleDelayedTask(s->startTask);
  s->sink->stopPlaying();
  Medium::close(s->rtcp);
  Medium::close(s->sink);
  closeStreamSource(s->source);
  delete s->rtpGS;
  delete s->rtcpGS;
  delete s;
}
