// RTP payload formats: H.264 (RFC 6184), MPEG-4 generic for AAC (RFC 3640,
// AAC-hbr) and the simple ones whose frames go into packets as they are
// (L16, RFC 3551; MP2T, RFC 2250).
#pragma once
#include "streaming/rtsp/rtp_sink.h"

// Single NAL unit packets, and FU-A fragments for units larger than a packet
// (packetization-mode 1). The source is an H264VideoStreamDiscreteFramer.
class H264VideoRTPSink : public MultiFramedRTPSink {
 public:
  static H264VideoRTPSink *createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                     uint8_t rtpPayloadFormat);
  const char *sdpMediaType() const override { return "video"; }
  // packetization-mode, profile-level-id and sprop-parameter-sets, once the
  // source has seen a sequence and a picture parameter set.
  const char *auxSDPLine() override;
  bool auxSDPLineExpected() const override { return true; }

 protected:
  H264VideoRTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadFormat);
  ~H264VideoRTPSink() override;
  void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart,
                              unsigned numBytesInFrame, struct timeval framePresentationTime,
                              unsigned numRemainingBytes) override;
  bool frameCanAppearAfterPacketStart(const unsigned char *, unsigned) const override {
    return false;
  }
  unsigned frameSpecificHeaderSize() const override { return fFragmenting ? 2 : 0; }
  unsigned frameStartOffset(const unsigned char *frame, unsigned size) override;
  // The first packet of an access unit that begins with parameter sets or an
  // IDR picture (delimiters and SEI before them aside).
  bool packetIsStartPoint(const uint8_t *packet, unsigned size) override;

 private:
  char *fFmtpSDPLine;
  bool fFragmenting;    // the current NAL unit goes as FU-A
  uint8_t fNalHeader;
  bool fUnitStart;      // only delimiters and SEI sent of this access unit so far
};

// AAC access units (raw, without ADTS headers), one per packet, each with
// the AU-headers-length and one AU header of 13-bit size and 3-bit index.
class MPEG4GenericRTPSink : public MultiFramedRTPSink {
 public:
  static MPEG4GenericRTPSink *createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                        uint8_t rtpPayloadFormat, uint32_t rtpTimestampFrequency,
                                        const char *sdpMediaTypeString, const char *mpeg4Mode,
                                        const char *configString, unsigned numChannels = 1);
  const char *sdpMediaType() const override { return fSDPMediaTypeString; }
  const char *auxSDPLine() override { return fFmtpSDPLine; }

 protected:
  MPEG4GenericRTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadFormat,
                      uint32_t rtpTimestampFrequency, const char *sdpMediaTypeString,
                      const char *mpeg4Mode, const char *configString, unsigned numChannels);
  ~MPEG4GenericRTPSink() override;
  void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart,
                              unsigned numBytesInFrame, struct timeval framePresentationTime,
                              unsigned numRemainingBytes) override;
  bool frameCanAppearAfterPacketStart(const unsigned char *, unsigned) const override {
    return false;
  }
  unsigned specialHeaderSize() const override { return 4; }

 private:
  char *fSDPMediaTypeString;
  char *fFmtpSDPLine;
};

class SimpleRTPSink : public MultiFramedRTPSink {
 public:
  static SimpleRTPSink *createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                  uint8_t rtpPayloadFormat, unsigned rtpTimestampFrequency,
                                  const char *sdpMediaTypeString,
                                  const char *rtpPayloadFormatName, unsigned numChannels = 1,
                                  bool allowMultipleFramesPerPacket = true,
                                  bool doNormalMBitRule = true);
  const char *sdpMediaType() const override { return fSDPMediaTypeString; }

 protected:
  SimpleRTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadFormat,
                unsigned rtpTimestampFrequency, const char *sdpMediaTypeString,
                const char *rtpPayloadFormatName, unsigned numChannels,
                bool allowMultipleFramesPerPacket, bool doNormalMBitRule);
  ~SimpleRTPSink() override;
  void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart,
                              unsigned numBytesInFrame, struct timeval framePresentationTime,
                              unsigned numRemainingBytes) override;
  bool frameCanAppearAfterPacketStart(const unsigned char *, unsigned) const override {
    return fAllowMultipleFramesPerPacket;
  }
  unsigned computeOverflowForNewFrame(unsigned newFrameSize) const override;

 private:
  bool fAllowMultipleFramesPerPacket;
  bool fSetMBitOnLastFrames;
  // L16 (RFC 3551 4.5.11): fragments end on whole sample frames and each
  // packet is stamped with its first sample. 0 for other formats.
  unsigned fBytesPerSampleFrame;
  // MP2T (RFC 2250 2): a packet holds whole 188-byte transport packets.
  bool fWholeTSPackets;
  char *fSDPMediaTypeString;
};
