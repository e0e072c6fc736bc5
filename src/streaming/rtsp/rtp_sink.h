// RTP senders (RFC 3550): the sink reads frames from its source and packs
// them into RTP packets, fragmenting frames larger than a packet and packing
// several small ones into one where the payload format allows.
#pragma once
#include <cstdint>
#include <sys/time.h>

#include "streaming/rtsp/groupsock.h"
#include "streaming/rtsp/media.h"

#define RTP_HEADER_SIZE 12

// The largest frame a sink takes; set before the sink is made.
class OutPacketBuffer {
 public:
  static unsigned maxSize;
};

class RTPSink : public Medium {
 public:
  typedef void(afterPlayingFunc)(void *clientData);

  // Reads source until it closes (then afterFunc is called) or stopPlaying.
  bool startPlaying(FramedSource &source, afterPlayingFunc *afterFunc, void *afterClientData);
  virtual void stopPlaying();
  bool isPlaying() const { return fSource != nullptr; }
  bool isRTPSink() const override { return true; }

  Groupsock &groupsockBeingUsed() const { return *fRTPInterface; }
  uint8_t rtpPayloadType() const { return fRTPPayloadType; }
  unsigned rtpTimestampFrequency() const { return fTimestampFrequency; }
  const char *rtpPayloadFormatName() const { return fRTPPayloadFormatName; }
  unsigned numChannels() const { return fNumChannels; }
  virtual const char *sdpMediaType() const { return "data"; }
  // "a=rtpmap:..." with its line end, new[] text.
  char *rtpmapLine() const;
  // The payload format's "a=fmtp:" line with its line end, NULL when it has
  // none or does not know it yet. Owned by the sink.
  virtual const char *auxSDPLine() { return nullptr; }
  // Whether the payload format needs that line (then a NULL means "not yet").
  virtual bool auxSDPLineExpected() const { return false; }

  uint32_t SSRC() const { return fSSRC; }
  uint16_t currentSeqNo() const { return fSeqNo; }
  // The RTP timestamp of time tv; the first conversion after a preset
  // gives the preset value.
  uint32_t convertToRTPTimestamp(struct timeval tv);
  // The same without taking a preset (for sender reports).
  uint32_t timestampAt(struct timeval tv) const;
  // Makes the next frame's timestamp the current time's and returns it.
  uint32_t presetNextTimestamp();
  bool hasSentPackets() const { return fPacketCount > 0; }
  uint32_t lastTimestamp() const { return fLastTimestamp; }
  unsigned packetCount() const { return fPacketCount; }
  unsigned octetCount() const { return fOctetCount; }
  FramedSource *source() const { return fSource; }

 protected:
  RTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadType,
          unsigned rtpTimestampFrequency, const char *rtpPayloadFormatName, unsigned numChannels);
  ~RTPSink() override;
  virtual bool continuePlaying() = 0;
  static void onSourceClosure(void *clientData);
  void onSourceClosure();
  void notePacketSent(uint32_t timestamp, unsigned payloadBytes);

  Groupsock *fRTPInterface;
  FramedSource *fSource;
  uint16_t fSeqNo;
  struct timeval fInitialPresentationTime;
  struct timeval fMostRecentPresentationTime;

 private:
  afterPlayingFunc *fAfterFunc;
  void *fAfterClientData;
  uint8_t fRTPPayloadType;
  unsigned fTimestampFrequency;
  char *fRTPPayloadFormatName;
  unsigned fNumChannels;
  uint32_t fSSRC;
  uint32_t fTimestampBase;
  bool fNextTimestampHasBeenPreset;
  uint32_t fPresetTimestamp;
  uint32_t fLastTimestamp;
  unsigned fPacketCount;
  unsigned fOctetCount;
};

class MultiFramedRTPSink : public RTPSink {
 public:
  // Ignored when preferred is 0 or above maximum.
  void setPacketSizes(unsigned preferredPacketSize, unsigned maxPacketSize);
  void stopPlaying() override;
  unsigned ourMaxPacketSize() const { return fMaxPacketSize; }

 protected:
  MultiFramedRTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadType,
                     unsigned rtpTimestampFrequency, const char *rtpPayloadFormatName,
                     unsigned numChannels = 1);
  ~MultiFramedRTPSink() override;

  // Payload-format hooks. numRemainingBytes is what of the frame goes into
  // later packets; fragmentationOffset what went into earlier ones.
  virtual void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart,
                                      unsigned numBytesInFrame,
                                      struct timeval framePresentationTime,
                                      unsigned numRemainingBytes);
  virtual bool allowFragmentationAfterStart() const { return false; }
  virtual bool allowOtherFramesAfterLastFragment() const { return false; }
  virtual bool frameCanAppearAfterPacketStart(const unsigned char *frameStart,
                                              unsigned numBytesInFrame) const {
    return true;
  }
  virtual unsigned specialHeaderSize() const { return 0; }
  virtual unsigned frameSpecificHeaderSize() const { return 0; }
  // Bytes of a frame of newFrameSize that do not fit the packet's free space.
  virtual unsigned computeOverflowForNewFrame(unsigned newFrameSize) const;
  // Bytes at the start of a newly arrived frame that are not payload (the
  // H.264 NAL header of a fragmented unit).
  virtual unsigned frameStartOffset(const unsigned char *frame, unsigned size) { return 0; }
  // Microseconds before the next packet is built, given how far the frames
  // sent so far run ahead of the clock.
  virtual int64_t nextPacketDelay(int64_t uSecondsToGo) const { return uSecondsToGo; }
  // Called for every frame that arrives.
  virtual void noteFrameArrival(struct timeval presentationTime);
  // Whether a receiver may begin with this packet, about to be sent
  // (clients join, and a client that lost packets goes on, only there).
  // Called once per packet, in order.
  virtual bool packetIsStartPoint(const uint8_t *packet, unsigned size) { return true; }
  // The class named in the warning about a frame larger than the buffer.
  virtual const char *truncationWarningOwner() const { return "MultiFramedRTPSink"; }

  bool isFirstPacket() const { return fIsFirstPacket; }
  bool isFirstFrameInPacket() const { return fNumFramesUsedSoFar == 0; }
  unsigned numFramesUsedSoFar() const { return fNumFramesUsedSoFar; }
  unsigned freePacketSpace() const;
  void setMarkerBit();
  void setTimestamp(struct timeval framePresentationTime);
  // A timestamp already in RTP units.
  void setRTPTimestamp(uint32_t timestamp);
  void setSpecialHeaderBytes(const uint8_t *bytes, unsigned numBytes, unsigned bytePosition = 0);
  void setFrameSpecificHeaderBytes(const uint8_t *bytes, unsigned numBytes,
                                   unsigned bytePosition = 0);

 private:
  bool continuePlaying() override;
  void buildAndSendPacket(bool isFirstPacket);
  void packFrame();
  void packCurrentFrame();
  void sendPacketIfNecessary();
  static void sendNext(void *clientData);
  static void afterGettingFrame(void *clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                struct timeval presentationTime, unsigned durationInMicroseconds);
  void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                          struct timeval presentationTime, unsigned durationInMicroseconds);
  static void ourHandleClosure(void *clientData);
  void reportTruncation(unsigned bufferSize, unsigned numTruncatedBytes);

  unsigned fPreferredPacketSize;
  unsigned fMaxPacketSize;
  uint8_t *fPacket;            // the packet being built
  unsigned fPacketLen;
  unsigned fSpecialHeaderPosition;
  unsigned fSpecialHeaderSize;
  unsigned fCurFrameSpecificHeaderPosition;
  unsigned fCurFrameSpecificHeaderSize;
  unsigned fNumFramesUsedSoFar;
  bool fIsFirstPacket;
  bool fPreviousFrameEndedFragmentation;
  bool fTimestampSet;
  uint32_t fPacketTimestamp;
  int64_t fNextSendTime;       // monotonic microseconds
  TaskToken fNextTask;

  uint8_t *fFrame;             // the frame being packed, OutPacketBuffer::maxSize bytes
  unsigned fFrameBufSize;
  bool fHaveFrame;
  unsigned fFrameStart;        // first payload byte of the frame
  unsigned fFrameSize;
  unsigned fFrameOffset;       // payload bytes already packed
  struct timeval fFramePT;
  unsigned fFrameDuration;
};
