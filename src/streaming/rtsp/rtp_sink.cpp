#include "streaming/rtsp/rtp_sink.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "core/log.h"

unsigned OutPacketBuffer::maxSize = 60000;

// ---- RTPSink ----

RTPSink::RTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadType,
                 unsigned rtpTimestampFrequency, const char *rtpPayloadFormatName,
                 unsigned numChannels)
    : Medium(env),
      fRTPInterface(rtpGS),
      fSource(nullptr),
      fSeqNo((uint16_t)rtsp_random32()),
      fInitialPresentationTime{0, 0},
      fMostRecentPresentationTime{0, 0},
      fAfterFunc(nullptr),
      fAfterClientData(nullptr),
      fRTPPayloadType(rtpPayloadType),
      fTimestampFrequency(rtpTimestampFrequency ? rtpTimestampFrequency : 90000),
      fRTPPayloadFormatName(rtsp_strdup(rtpPayloadFormatName ? rtpPayloadFormatName : "")),
      fNumChannels(numChannels),
      fSSRC(rtsp_random32()),
      fTimestampBase(rtsp_random32()),
      fNextTimestampHasBeenPreset(false),
      fPresetTimestamp(0),
      fLastTimestamp(0),
      fPacketCount(0),
      fOctetCount(0) {}

RTPSink::~RTPSink() { delete[] fRTPPayloadFormatName; }

bool RTPSink::startPlaying(FramedSource &source, afterPlayingFunc *afterFunc,
                           void *afterClientData) {
  if (fSource) {
    envir().setResultMsg("This sink is already being played");
    return false;
  }
  fSource = &source;
  fAfterFunc = afterFunc;
  fAfterClientData = afterClientData;
  return continuePlaying();
}

void RTPSink::stopPlaying() {
  if (fSource) fSource->stopGettingFrames();
  fSource = nullptr;
  fAfterFunc = nullptr;
}

void RTPSink::onSourceClosure(void *clientData) {
  static_cast<RTPSink *>(clientData)->onSourceClosure();
}

void RTPSink::onSourceClosure() {
  afterPlayingFunc *f = fAfterFunc;
  void *d = fAfterClientData;
  fSource = nullptr;
  fAfterFunc = nullptr;
  if (f) f(d);
}

char *RTPSink::rtpmapLine() const {
  char buf[160];
  if (fNumChannels > 1) {
    snprintf(buf, sizeof buf, "a=rtpmap:%u %s/%u/%u\r\n", fRTPPayloadType, fRTPPayloadFormatName,
             fTimestampFrequency, fNumChannels);
  } else {
    snprintf(buf, sizeof buf, "a=rtpmap:%u %s/%u\r\n", fRTPPayloadType, fRTPPayloadFormatName,
             fTimestampFrequency);
  }
  return rtsp_strdup(buf);
}

uint32_t RTPSink::timestampAt(struct timeval tv) const {
  // 64-bit product, then the low 32 bits: the RTP clock wraps with them.
  uint64_t ticks = (uint64_t)tv.tv_sec * fTimestampFrequency +
                   ((uint64_t)tv.tv_usec * fTimestampFrequency + 500000) / 1000000;
  return fTimestampBase + (uint32_t)ticks;
}

uint32_t RTPSink::convertToRTPTimestamp(struct timeval tv) {
  uint32_t ts = timestampAt(tv);
  if (fNextTimestampHasBeenPreset) {
    fTimestampBase += fPresetTimestamp - ts;
    ts = fPresetTimestamp;
    fNextTimestampHasBeenPreset = false;
  }
  return ts;
}

uint32_t RTPSink::presetNextTimestamp() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  fNextTimestampHasBeenPreset = false;
  uint32_t ts = convertToRTPTimestamp(now);
  fPresetTimestamp = ts;
  fNextTimestampHasBeenPreset = true;
  return ts;
}

void RTPSink::notePacketSent(uint32_t timestamp, unsigned payloadBytes) {
  fLastTimestamp = timestamp;
  fPacketCount++;
  fOctetCount += payloadBytes;
}

// ---- MultiFramedRTPSink ----

MultiFramedRTPSink::MultiFramedRTPSink(UsageEnvironment &env, Groupsock *rtpGS,
                                       uint8_t rtpPayloadType, unsigned rtpTimestampFrequency,
                                       const char *rtpPayloadFormatName, unsigned numChannels)
    : RTPSink(env, rtpGS, rtpPayloadType, rtpTimestampFrequency, rtpPayloadFormatName,
              numChannels),
      fPreferredPacketSize(1000),
      fMaxPacketSize(1452),
      fPacket(new uint8_t[1452]),
      fPacketLen(0),
      fSpecialHeaderPosition(RTP_HEADER_SIZE),
      fSpecialHeaderSize(0),
      fCurFrameSpecificHeaderPosition(0),
      fCurFrameSpecificHeaderSize(0),
      fNumFramesUsedSoFar(0),
      fIsFirstPacket(true),
      fPreviousFrameEndedFragmentation(false),
      fTimestampSet(false),
      fPacketTimestamp(0),
      fNextSendTime(0),
      fNextTask(nullptr),
      fFrame(new uint8_t[OutPacketBuffer::maxSize]),
      fFrameBufSize(OutPacketBuffer::maxSize),
      fHaveFrame(false),
      fFrameStart(0),
      fFrameSize(0),
      fFrameOffset(0),
      fFramePT{0, 0},
      fFrameDuration(0) {}

MultiFramedRTPSink::~MultiFramedRTPSink() {
  stopPlaying();
  delete[] fPacket;
  delete[] fFrame;
}

void MultiFramedRTPSink::setPacketSizes(unsigned preferredPacketSize, unsigned maxPacketSize) {
  if (preferredPacketSize == 0 || preferredPacketSize > maxPacketSize) return;
  // A packet must hold its headers and at least some payload.
  if (maxPacketSize < RTP_HEADER_SIZE + 16) return;
  uint8_t *p = new uint8_t[maxPacketSize];
  if (fPacketLen) memcpy(p, fPacket, fPacketLen < maxPacketSize ? fPacketLen : maxPacketSize);
  delete[] fPacket;
  fPacket = p;
  fPreferredPacketSize = preferredPacketSize;
  fMaxPacketSize = maxPacketSize;
  if (fPacketLen > maxPacketSize) fPacketLen = maxPacketSize;
}

void MultiFramedRTPSink::stopPlaying() {
  envir().taskScheduler().unscheduleDelayedTask(fNextTask);
  RTPSink::stopPlaying();
  fPacketLen = 0;
  fNumFramesUsedSoFar = 0;
  fHaveFrame = false;
  fFrameOffset = 0;
  fPreviousFrameEndedFragmentation = false;
}

bool MultiFramedRTPSink::continuePlaying() {
  buildAndSendPacket(true);
  return true;
}

unsigned MultiFramedRTPSink::freePacketSpace() const {
  return fPacketLen < fMaxPacketSize ? fMaxPacketSize - fPacketLen : 0;
}

unsigned MultiFramedRTPSink::computeOverflowForNewFrame(unsigned newFrameSize) const {
  unsigned space = freePacketSpace();
  return newFrameSize > space ? newFrameSize - space : 0;
}

void MultiFramedRTPSink::setMarkerBit() { fPacket[1] |= 0x80; }

void MultiFramedRTPSink::setTimestamp(struct timeval framePresentationTime) {
  setRTPTimestamp(convertToRTPTimestamp(framePresentationTime));
}

void MultiFramedRTPSink::setRTPTimestamp(uint32_t timestamp) {
  fPacketTimestamp = timestamp;
  fTimestampSet = true;
  uint32_t be = htonl(fPacketTimestamp);
  memcpy(fPacket + 4, &be, 4);
}

void MultiFramedRTPSink::setSpecialHeaderBytes(const uint8_t *bytes, unsigned numBytes,
                                               unsigned bytePosition) {
  if (bytePosition + numBytes > fSpecialHeaderSize) return;
  memcpy(fPacket + fSpecialHeaderPosition + bytePosition, bytes, numBytes);
}

void MultiFramedRTPSink::setFrameSpecificHeaderBytes(const uint8_t *bytes, unsigned numBytes,
                                                     unsigned bytePosition) {
  if (bytePosition + numBytes > fCurFrameSpecificHeaderSize) return;
  memcpy(fPacket + fCurFrameSpecificHeaderPosition + bytePosition, bytes, numBytes);
}

void MultiFramedRTPSink::doSpecialFrameHandling(unsigned, unsigned char *, unsigned,
                                                struct timeval framePresentationTime, unsigned) {
  if (isFirstFrameInPacket()) setTimestamp(framePresentationTime);
}

void MultiFramedRTPSink::noteFrameArrival(struct timeval presentationTime) {
  if (isFirstPacket() && fInitialPresentationTime.tv_sec == 0 &&
      fInitialPresentationTime.tv_usec == 0) {
    fInitialPresentationTime = presentationTime;
  }
  fMostRecentPresentationTime = presentationTime;
}

void MultiFramedRTPSink::reportTruncation(unsigned bufferSize, unsigned numTruncatedBytes) {
  envir() << truncationWarningOwner()
          << "::afterGettingFrame1(): The input frame data was too large for our buffer size ("
          << bufferSize << ").  " << numTruncatedBytes
          << " bytes of trailing data was dropped!  Correct this by increasing "
             "\"OutPacketBuffer::maxSize\" to at least "
          << OutPacketBuffer::maxSize + numTruncatedBytes
          << ", *before* creating this 'RTPSink'.  (Current value is " << OutPacketBuffer::maxSize
          << ".)\n";
}

void MultiFramedRTPSink::buildAndSendPacket(bool isFirstPacket) {
  fNextTask = nullptr;
  if (!fSource) return;
  fIsFirstPacket = isFirstPacket;
  // Version 2, no padding, extension or CSRCs; marker and timestamp are set
  // by the payload format as frames go in.
  fPacket[0] = 0x80;
  fPacket[1] = rtpPayloadType() & 0x7F;
  fPacket[2] = (uint8_t)(fSeqNo >> 8);
  fPacket[3] = (uint8_t)fSeqNo;
  memset(fPacket + 4, 0, 4);
  uint32_t ssrc = htonl(SSRC());
  memcpy(fPacket + 8, &ssrc, 4);
  fPacketLen = RTP_HEADER_SIZE;
  fTimestampSet = false;
  fSpecialHeaderPosition = fPacketLen;
  fSpecialHeaderSize = specialHeaderSize();
  if (fSpecialHeaderSize > freePacketSpace()) fSpecialHeaderSize = freePacketSpace();
  memset(fPacket + fPacketLen, 0, fSpecialHeaderSize);
  fPacketLen += fSpecialHeaderSize;
  fNumFramesUsedSoFar = 0;
  if (isFirstPacket) fNextSendTime = 0;
  packFrame();
}

void MultiFramedRTPSink::packFrame() {
  if (fHaveFrame && fFrameOffset < fFrameSize) {
    packCurrentFrame();
    return;
  }
  fHaveFrame = false;
  if (!fSource) return;
  fSource->getNextFrame(fFrame, fFrameBufSize, afterGettingFrame, this, ourHandleClosure, this);
}

void MultiFramedRTPSink::afterGettingFrame(void *clientData, unsigned frameSize,
                                           unsigned numTruncatedBytes,
                                           struct timeval presentationTime,
                                           unsigned durationInMicroseconds) {
  static_cast<MultiFramedRTPSink *>(clientData)
      ->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime, durationInMicroseconds);
}

void MultiFramedRTPSink::afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                                            struct timeval presentationTime,
                                            unsigned durationInMicroseconds) {
  noteFrameArrival(presentationTime);
  if (numTruncatedBytes > 0) reportTruncation(fFrameBufSize, numTruncatedBytes);
  if (frameSize > fFrameBufSize) frameSize = fFrameBufSize;
  if (frameSize == 0) {
    // Nothing to send: ask again (through the scheduler, so that a source
    // that keeps delivering empty frames cannot recurse without end).
    fNextTask = envir().taskScheduler().scheduleDelayedTask(0, [](void *d) {
      MultiFramedRTPSink *s = static_cast<MultiFramedRTPSink *>(d);
      s->fNextTask = nullptr;
      s->packFrame();
    }, this);
    return;
  }
  fHaveFrame = true;
  fFrameStart = frameStartOffset(fFrame, frameSize);
  if (fFrameStart > frameSize) fFrameStart = frameSize;
  fFrameSize = frameSize - fFrameStart;
  fFrameOffset = 0;
  fFramePT = presentationTime;
  fFrameDuration = durationInMicroseconds;
  if (fNextSendTime == 0) fNextSendTime = rtsp_monotonic_us();
  packCurrentFrame();
}

void MultiFramedRTPSink::packCurrentFrame() {
  unsigned remaining = fFrameSize - fFrameOffset;
  bool continuing = fFrameOffset > 0;
  unsigned char *data = fFrame + fFrameStart + fFrameOffset;
  unsigned hdr = frameSpecificHeaderSize();

  if (fNumFramesUsedSoFar > 0) {
    // The frame waits for the next packet when it may not share this one.
    bool mustWait = (!continuing && !frameCanAppearAfterPacketStart(data, remaining)) ||
                    (fPreviousFrameEndedFragmentation && !allowOtherFramesAfterLastFragment()) ||
                    (hdr + remaining > freePacketSpace() && !allowFragmentationAfterStart());
    if (mustWait) {
      sendPacketIfNecessary();
      return;
    }
  }
  if (hdr >= freePacketSpace()) {
    if (fNumFramesUsedSoFar > 0) {
      sendPacketIfNecessary();
    } else {
      log_printf("%s: packet size %u too small for any payload\n", "MultiFramedRTPSink",
                 fMaxPacketSize);
      fHaveFrame = false;
      packFrame();
    }
    return;
  }

  fCurFrameSpecificHeaderPosition = fPacketLen;
  fCurFrameSpecificHeaderSize = hdr;
  memset(fPacket + fPacketLen, 0, hdr);
  fPacketLen += hdr;
  unsigned overflow = computeOverflowForNewFrame(remaining);
  if (overflow > remaining) overflow = remaining;
  unsigned use = remaining - overflow;
  if (use == 0) {
    fPacketLen -= hdr;
    if (fNumFramesUsedSoFar > 0) {
      sendPacketIfNecessary();
    } else {
      log_printf("%s: frame of %u bytes cannot be packed\n", "MultiFramedRTPSink", remaining);
      fHaveFrame = false;
      packFrame();
    }
    return;
  }
  unsigned char *frameStart = fPacket + fPacketLen;
  memcpy(frameStart, data, use);
  fPacketLen += use;
  doSpecialFrameHandling(fFrameOffset, frameStart, use, fFramePT, overflow);
  fNumFramesUsedSoFar++;
  fFrameOffset += use;

  if (overflow > 0) {
    // The rest of the frame goes into the next packet(s).
    fPreviousFrameEndedFragmentation = false;
    sendPacketIfNecessary();
    return;
  }
  fPreviousFrameEndedFragmentation = continuing;
  fHaveFrame = false;
  fNextSendTime += fFrameDuration;
  // Send now unless another frame of this size would still fit and may join.
  if (fPacketLen >= fPreferredPacketSize || use + hdr > freePacketSpace() ||
      (fPreviousFrameEndedFragmentation && !allowOtherFramesAfterLastFragment())) {
    sendPacketIfNecessary();
  } else {
    packFrame();
  }
}

void MultiFramedRTPSink::sendPacketIfNecessary() {
  if (fNumFramesUsedSoFar > 0) {
    if (!fTimestampSet) setTimestamp(fFramePT);
    fRTPInterface->output(fPacket, fPacketLen, packetIsStartPoint(fPacket, fPacketLen));
    notePacketSent(fPacketTimestamp, fPacketLen - RTP_HEADER_SIZE);
    fSeqNo++;
  }
  fNumFramesUsedSoFar = 0;
  fPacketLen = 0;
  int64_t togo = fNextSendTime - rtsp_monotonic_us();
  if (togo < 0) togo = 0;
  fNextTask = envir().taskScheduler().scheduleDelayedTask(nextPacketDelay(togo), sendNext, this);
}

void MultiFramedRTPSink::sendNext(void *clientData) {
  static_cast<MultiFramedRTPSink *>(clientData)->buildAndSendPacket(false);
}

void MultiFramedRTPSink::ourHandleClosure(void *clientData) {
  MultiFramedRTPSink *s = static_cast<MultiFramedRTPSink *>(clientData);
  // A packet already holding frames still goes out.
  if (s->fNumFramesUsedSoFar > 0) {
    if (!s->fTimestampSet) s->setTimestamp(s->fFramePT);
    s->fRTPInterface->output(s->fPacket, s->fPacketLen, s->packetIsStartPoint(s->fPacket, s->fPacketLen));
    s->notePacketSent(s->fPacketTimestamp, s->fPacketLen - RTP_HEADER_SIZE);
    s->fSeqNo++;
    s->fNumFramesUsedSoFar = 0;
  }
  s->onSourceClosure();
}
