// The four kinds of track the RTSP sessions are made of. Each makes a
// StreamDeviceSource for its stream id and mode and the RTP sink of its
// payload format when a client sets it up.
#pragma once
#include <cstdint>
#include <pthread.h>

#include "streaming/rtsp/rtp_formats.h"
#include "streaming/rtsp/server_media.h"

// What the four have in common: the stream id and StreamMode they serve,
// and client ports from 6970. Their SDP lines follow the settings the
// stream's producer runs with: when those change the lines are made again.
class StreamMediaSubsession : public OnDemandServerMediaSubsession {
 public:
  const char *sdpLines() override;

 protected:
  StreamMediaSubsession(UsageEnvironment &env, uint32_t streamId, uint8_t mode,
                        bool reuseFirstSource)
      : OnDemandServerMediaSubsession(env, reuseFirstSource, 6970, false),
        fStreamId(streamId),
        fMode(mode),
        fSettingsLen(0),
        fUnsettledUntil(0) {}
  // True when the producer's settings differ from those the lines were
  // made with (and remembers the new ones).
  bool settingsChanged();
  uint32_t fStreamId;
  uint32_t fMode;
  uint8_t fSettings[64];
  size_t fSettingsLen;
  int64_t fUnsettledUntil;   // rtsp_monotonic_us: the lines are made afresh until then
};

class H264VideoFrameServerMediaSubsession : public StreamMediaSubsession {
 public:
  static H264VideoFrameServerMediaSubsession *createNew(UsageEnvironment &env, uint32_t streamId,
                                                        uint8_t mode, bool reuseFirstSource);

 protected:
  H264VideoFrameServerMediaSubsession(UsageEnvironment &env, uint32_t streamId, uint8_t mode,
                                      bool reuseFirstSource);
  ~H264VideoFrameServerMediaSubsession() override;
  // The parameter sets are known only once the stream has sent them: the
  // sink is played until it can tell, about 10 s at most.
  const char *getAuxSDPLine(RTPSink *rtpSink, FramedSource *inputSource) override;
  FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
  RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource *inputSource) override;
  void forgetSDPLines() override;

 public:
  // Also made again when the stream being played carries other parameter
  // sets than those announced (the encoder restarted with a new size).
  const char *sdpLines() override;

 private:
  static void checkForAuxSDPLine(void *clientData);
  static void afterPlayingDummy(void *clientData);
  void checkForAuxSDPLine1();
  void afterPlayingDummy1();

  char *fAuxSDPLine;
  volatile uint8_t fDoneFlag;
  RTPSink *fDummyRTPSink;
  pthread_mutex_t fMutex;
  TaskToken fCheckTask;
  int64_t fWaitStart;
};

class ADTSAudioServerMediaSubsession : public StreamMediaSubsession {
 public:
  static ADTSAudioServerMediaSubsession *createNew(UsageEnvironment &env, uint32_t streamId,
                                                   uint8_t mode, bool reuseFirstSource);

 protected:
  ADTSAudioServerMediaSubsession(UsageEnvironment &env, uint32_t streamId, uint8_t mode,
                                 bool reuseFirstSource);
  FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
  RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource *inputSource) override;
};

class PCMAudioServerMediaSubsession : public StreamMediaSubsession {
 public:
  static PCMAudioServerMediaSubsession *createNew(UsageEnvironment &env, uint32_t streamId,
                                                  uint8_t mode, bool reuseFirstSource);

 protected:
  PCMAudioServerMediaSubsession(UsageEnvironment &env, uint32_t streamId, uint8_t mode,
                                bool reuseFirstSource);
  FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
  RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource *inputSource) override;
};

class MPEG2TransportStreamServerMediaSubsession : public StreamMediaSubsession {
 public:
  static MPEG2TransportStreamServerMediaSubsession *createNew(UsageEnvironment &env,
                                                              uint32_t streamId, uint8_t mode,
                                                              bool reuseFirstSource);

 protected:
  MPEG2TransportStreamServerMediaSubsession(UsageEnvironment &env, uint32_t streamId,
                                            uint8_t mode, bool reuseFirstSource);
  FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
  RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                            FramedSource *inputSource) override;
};

// The expected bit rate in bit/s of stream id in mode: the channel's video
// bit rate, the audio that the mode carries, and the transport stream's
// packet headers.
uint32_t stream_estimated_bitrate(uint32_t id, uint8_t mode);

// The MPEG-4 generic sink of AAC-hbr for the stream's sample rate and
// channel count (Audio.SampleRate, Audio.Channels); NULL for a rate that
// MPEG-4 audio has no index for.
MPEG4GenericRTPSink *createAdtsRtpSink(UsageEnvironment &env, Groupsock *rtpGroupsock,
                                       unsigned char rtpPayloadType);
// The two-byte AudioSpecificConfig of AAC LC as four hex digits ("1190" for
// 48000 Hz stereo); false for an unknown rate.
bool aac_audio_specific_config(unsigned sampleRate, unsigned channels, char out[5]);
