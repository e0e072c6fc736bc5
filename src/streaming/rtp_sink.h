// The RTP path of the MPEG-TS sessions: a sink that sends each packet as
// soon as its source has the data (live data, no pacing by frame
// durations), and the transport-stream framer between the stream source
// and that sink.
#pragma once
#include <cstdint>
#include <map>

#include "streaming/rtsp/rtp_formats.h"

// SimpleRTPSink sending live data: the next packet is built as soon as the
// last one left, whatever the frame durations say, and the presentation
// times of the frames are not recorded. Packet sizes follow
// rtsp_apply_packet_size.
class ZelkSimpleRTPSink : public SimpleRTPSink {
 public:
  static ZelkSimpleRTPSink *createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                      uint8_t rtpPayloadFormat, unsigned rtpTimestampFrequency,
                                      const char *sdpMediaTypeString,
                                      const char *rtpPayloadFormatName, unsigned numChannels = 1,
                                      bool allowMultipleFramesPerPacket = true,
                                      bool doNormalMBitRule = true);

 protected:
  ZelkSimpleRTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadFormat,
                    unsigned rtpTimestampFrequency, const char *sdpMediaTypeString,
                    const char *rtpPayloadFormatName, unsigned numChannels,
                    bool allowMultipleFramesPerPacket, bool doNormalMBitRule);
  ~ZelkSimpleRTPSink() override = default;
  int64_t nextPacketDelay(int64_t) const override { return 0; }
  void noteFrameArrival(struct timeval) override {}
  const char *truncationWarningOwner() const override { return "ZelkMultiFramedRTPSink"; }
};

class ZelkMPEG2TransportStreamFramer : public FramedFilter {
 public:
  static ZelkMPEG2TransportStreamFramer *createNew(UsageEnvironment &env,
                                                   FramedSource *inputSource);
  uint64_t tsPacketCount() const { return fTSPacketCount; }
  double tsPacketDurationEstimate() const { return fTSPacketDurationEstimate; }
  // Ends the stream after this many packets (0: no limit).
  void setNumTSPacketsToStream(unsigned long numTSRecordsToStream);
  // Ends the stream once a PCR reaches this many seconds.
  void setPCRLimit(float pcrLimit);

 protected:
  ZelkMPEG2TransportStreamFramer(UsageEnvironment &env, FramedSource *inputSource);
  ~ZelkMPEG2TransportStreamFramer() override = default;
  void doGetNextFrame() override;
  void doStopGettingFrames() override;

 private:
  struct PIDStatus {
    double firstClock, lastClock, firstRealTime, lastRealTime;
    uint64_t lastPacketNum;
  };
  static void afterGettingFrame(void *clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                struct timeval presentationTime, unsigned durationInMicroseconds);
  void afterGettingFrame1(unsigned frameSize, struct timeval presentationTime);
  // false when the packet reached the PCR limit.
  bool updateTSPacketDurationEstimate(const uint8_t *pkt, double timeNow);

  uint64_t fTSPacketCount;
  double fTSPacketDurationEstimate;   // seconds per packet
  std::map<unsigned, PIDStatus> fPIDStatusTable;
  uint64_t fTSPCRCount;
  bool fLimitNumTSPacketsToStream;
  unsigned long fNumTSPacketsToStream;
  bool fLimitTSPacketsToStreamByPCR;
  float fPCRLimit;
};
