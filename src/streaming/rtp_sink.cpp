#include "streaming/rtp_sink.h"

#include <cstring>

#include "core/log.h"
#include "streaming/rtsp_server.h"

#define TS_PACKET 188
#define TS_SYNC 0x47

// ---- ZelkSimpleRTPSink ----

ZelkSimpleRTPSink *ZelkSimpleRTPSink::createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                                uint8_t rtpPayloadFormat,
                                                unsigned rtpTimestampFrequency,
                                                const char *sdpMediaTypeString,
                                                const char *rtpPayloadFormatName,
                                                unsigned numChannels,
                                                bool allowMultipleFramesPerPacket,
                                                bool doNormalMBitRule) {
  return new ZelkSimpleRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency,
                               sdpMediaTypeString, rtpPayloadFormatName, numChannels,
                               allowMultipleFramesPerPacket, doNormalMBitRule);
}

ZelkSimpleRTPSink::ZelkSimpleRTPSink(UsageEnvironment &env, Groupsock *rtpGS,
                                     uint8_t rtpPayloadFormat, unsigned rtpTimestampFrequency,
                                     const char *sdpMediaTypeString,
                                     const char *rtpPayloadFormatName, unsigned numChannels,
                                     bool allowMultipleFramesPerPacket, bool doNormalMBitRule)
    : SimpleRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString,
                    rtpPayloadFormatName, numChannels, allowMultipleFramesPerPacket,
                    doNormalMBitRule) {
  rtsp_apply_packet_size(this);
}

// ---- ZelkMPEG2TransportStreamFramer ----

ZelkMPEG2TransportStreamFramer *ZelkMPEG2TransportStreamFramer::createNew(
    UsageEnvironment &env, FramedSource *inputSource) {
  return new ZelkMPEG2TransportStreamFramer(env, inputSource);
}

ZelkMPEG2TransportStreamFramer::ZelkMPEG2TransportStreamFramer(UsageEnvironment &env,
                                                               FramedSource *inputSource)
    : FramedFilter(env, inputSource),
      fTSPacketCount(0),
      fTSPacketDurationEstimate(0.0),
      fTSPCRCount(0),
      fLimitNumTSPacketsToStream(false),
      fNumTSPacketsToStream(0),
      fLimitTSPacketsToStreamByPCR(false),
      fPCRLimit(0.0f) {}

void ZelkMPEG2TransportStreamFramer::setNumTSPacketsToStream(unsigned long n) {
  fNumTSPacketsToStream = n;
  fLimitNumTSPacketsToStream = n > 0;
}

void ZelkMPEG2TransportStreamFramer::setPCRLimit(float pcrLimit) {
  fPCRLimit = pcrLimit;
  fLimitTSPacketsToStreamByPCR = pcrLimit > 0.0f;
}

void ZelkMPEG2TransportStreamFramer::doGetNextFrame() {
  if (fLimitNumTSPacketsToStream) {
    if (fNumTSPacketsToStream == 0) {
      log_printf("%s:%d\n", "doGetNextFrame", 215);
      handleClosure();
      return;
    }
    unsigned long maxPackets = fMaxSize / TS_PACKET;
    if (maxPackets > fNumTSPacketsToStream) fMaxSize = (unsigned)(fNumTSPacketsToStream * TS_PACKET);
  }
  fFrameSize = 0;
  fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure,
                             this);
}

void ZelkMPEG2TransportStreamFramer::doStopGettingFrames() {
  FramedFilter::doStopGettingFrames();
  fTSPacketCount = 0;
  fTSPCRCount = 0;
  fPIDStatusTable.clear();
}

void ZelkMPEG2TransportStreamFramer::afterGettingFrame(void *clientData, unsigned frameSize,
                                                       unsigned, struct timeval presentationTime,
                                                       unsigned) {
  static_cast<ZelkMPEG2TransportStreamFramer *>(clientData)
      ->afterGettingFrame1(frameSize, presentationTime);
}

void ZelkMPEG2TransportStreamFramer::afterGettingFrame1(unsigned frameSize,
                                                        struct timeval presentationTime) {
  // Whatever precedes the first sync byte is not transport stream.
  unsigned skip = 0;
  while (skip < frameSize && fTo[skip] != TS_SYNC) skip++;
  if (skip == frameSize) {
    envir() << "No Transport Stream sync byte in data.";
    doGetNextFrame();
    return;
  }
  if (skip) {
    memmove(fTo, fTo + skip, frameSize - skip);
    frameSize -= skip;
  }
  unsigned numTSPackets = frameSize / TS_PACKET;
  fFrameSize = numTSPackets * TS_PACKET;
  if (fFrameSize == 0) {
    doGetNextFrame();
    return;
  }
  double timeNow = presentationTime.tv_sec + presentationTime.tv_usec / 1000000.0;
  for (unsigned i = 0; i < numTSPackets; i++) {
    if (!updateTSPacketDurationEstimate(fTo + i * TS_PACKET, timeNow)) {
      log_printf("%s:%d\n", "afterGettingFrame1", 294);
      fFrameSize = i * TS_PACKET;
      handleClosure();
      return;
    }
  }
  if (fLimitNumTSPacketsToStream) {
    fNumTSPacketsToStream =
        numTSPackets < fNumTSPacketsToStream ? fNumTSPacketsToStream - numTSPackets : 0;
  }
  fNumTruncatedBytes = 0;
  fPresentationTime = presentationTime;
  fDurationInMicroseconds = (unsigned)(numTSPackets * fTSPacketDurationEstimate * 1000000.0);
  afterGetting(this);
}

bool ZelkMPEG2TransportStreamFramer::updateTSPacketDurationEstimate(const uint8_t *pkt,
                                                                    double timeNow) {
  if (pkt[0] != TS_SYNC) return true;
  fTSPacketCount++;
  // An adaptation field with a PCR (ISO/IEC 13818-1 2.4.3.4): flag 0x10,
  // 33-bit base at 90 kHz and a 9-bit extension at 27 MHz.
  if (!(pkt[3] & 0x20) || pkt[4] < 7 || !(pkt[5] & 0x10)) return true;
  fTSPCRCount++;
  uint64_t base = (uint64_t)pkt[6] << 25 | (uint64_t)pkt[7] << 17 | (uint64_t)pkt[8] << 9 |
                  (uint64_t)pkt[9] << 1 | pkt[10] >> 7;
  unsigned ext = (unsigned)(pkt[10] & 1) << 8 | pkt[11];
  double clock = base / 90000.0 + ext / 27000000.0;
  if (fLimitTSPacketsToStreamByPCR && clock > fPCRLimit) return false;
  unsigned pid = (unsigned)(pkt[1] & 0x1F) << 8 | pkt[2];
  bool discontinuity = (pkt[5] & 0x80) != 0;
  auto it = fPIDStatusTable.find(pid);
  if (it == fPIDStatusTable.end()) {
    fPIDStatusTable[pid] = PIDStatus{clock, clock, timeNow, timeNow, fTSPacketCount};
    return true;
  }
  PIDStatus &st = it->second;
  uint64_t packets = fTSPacketCount - st.lastPacketNum;
  if (!discontinuity && clock > st.lastClock && packets > 0) {
    double perPacket = (clock - st.lastClock) / (double)packets;
    // Smoothed, so that one late PCR does not swing the estimate.
    fTSPacketDurationEstimate = fTSPacketDurationEstimate == 0.0
                                    ? perPacket
                                    : 0.75 * fTSPacketDurationEstimate + 0.25 * perPacket;
  }
  st.lastClock = clock;
  st.lastRealTime = timeNow;
  st.lastPacketNum = fTSPacketCount;
  return true;
}
