#include "streaming/rtsp/rtp_formats.h"

#include <cstdio>
#include <cstring>

#include "streaming/rtsp/h264_framer.h"

// ---- H.264 ----

H264VideoRTPSink *H264VideoRTPSink::createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                              uint8_t rtpPayloadFormat) {
  return new H264VideoRTPSink(env, rtpGS, rtpPayloadFormat);
}

H264VideoRTPSink::H264VideoRTPSink(UsageEnvironment &env, Groupsock *rtpGS,
                                   uint8_t rtpPayloadFormat)
    : MultiFramedRTPSink(env, rtpGS, rtpPayloadFormat, 90000, "H264"),
      fFmtpSDPLine(nullptr),
      fFragmenting(false),
      fNalHeader(0),
      fUnitStart(true) {}

H264VideoRTPSink::~H264VideoRTPSink() { delete[] fFmtpSDPLine; }

unsigned H264VideoRTPSink::frameStartOffset(const unsigned char *frame, unsigned size) {
  // A unit that fits goes whole; a larger one loses its header byte, whose
  // F/NRI bits and type travel in the FU indicator and FU header instead.
  fFragmenting = size + RTP_HEADER_SIZE > ourMaxPacketSize();
  fNalHeader = size ? frame[0] : 0;
  return fFragmenting ? 1 : 0;
}

void H264VideoRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *,
                                              unsigned, struct timeval framePresentationTime,
                                              unsigned numRemainingBytes) {
  if (fFragmenting) {
    uint8_t fu[2];
    fu[0] = (uint8_t)((fNalHeader & 0xE0) | 28);
    fu[1] = (uint8_t)((fragmentationOffset == 0 ? 0x80 : 0) | (numRemainingBytes == 0 ? 0x40 : 0) |
                      (fNalHeader & 0x1F));
    setFrameSpecificHeaderBytes(fu, 2);
  }
  // The marker goes on the last packet of an access unit.
  if (numRemainingBytes == 0 && fSource && fSource->pictureEndMarker()) setMarkerBit();
  setTimestamp(framePresentationTime);
}

bool H264VideoRTPSink::packetIsStartPoint(const uint8_t *packet, unsigned size) {
  if (size <= RTP_HEADER_SIZE + 1) return false;
  const uint8_t *p = packet + RTP_HEADER_SIZE;
  int type = p[0] & 0x1F;
  bool first = true;   // the first packet of its NAL unit
  if (type == 28) {    // FU-A
    type = p[1] & 0x1F;
    first = (p[1] & 0x80) != 0;
  }
  // A sequence parameter set only ever opens an access unit.
  bool start = first && (type == H264_NAL_SPS ||
                         (fUnitStart && (type == H264_NAL_PPS || type == H264_NAL_IDR)));
  fUnitStart = (packet[1] & 0x80) || (fUnitStart && first && (type == 6 || type == H264_NAL_AUD));
  return start;
}

const char *H264VideoRTPSink::auxSDPLine() {
  H264VideoStreamDiscreteFramer *framer = dynamic_cast<H264VideoStreamDiscreteFramer *>(fSource);
  if (!framer) return fFmtpSDPLine;
  const uint8_t *sps, *pps;
  unsigned spsSize, ppsSize;
  framer->getSPSandPPS(sps, spsSize, pps, ppsSize);
  if (!sps || !pps || spsSize < 4 || ppsSize < 1) return fFmtpSDPLine;
  char *s = rtsp_base64_encode(sps, spsSize);
  char *p = rtsp_base64_encode(pps, ppsSize);
  size_t n = strlen(s) + strlen(p) + 128;
  char *line = new char[n];
  snprintf(line, n,
           "a=fmtp:%u packetization-mode=1;profile-level-id=%02X%02X%02X;"
           "sprop-parameter-sets=%s,%s\r\n",
           rtpPayloadType(), sps[1], sps[2], sps[3], s, p);
  delete[] s;
  delete[] p;
  delete[] fFmtpSDPLine;
  fFmtpSDPLine = line;
  return fFmtpSDPLine;
}

// ---- MPEG-4 generic (AAC-hbr) ----

MPEG4GenericRTPSink *MPEG4GenericRTPSink::createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                                    uint8_t rtpPayloadFormat,
                                                    uint32_t rtpTimestampFrequency,
                                                    const char *sdpMediaTypeString,
                                                    const char *mpeg4Mode,
                                                    const char *configString,
                                                    unsigned numChannels) {
  return new MPEG4GenericRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency,
                                 sdpMediaTypeString, mpeg4Mode, configString, numChannels);
}

MPEG4GenericRTPSink::MPEG4GenericRTPSink(UsageEnvironment &env, Groupsock *rtpGS,
                                         uint8_t rtpPayloadFormat, uint32_t rtpTimestampFrequency,
                                         const char *sdpMediaTypeString, const char *mpeg4Mode,
                                         const char *configString, unsigned numChannels)
    : MultiFramedRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, "MPEG4-GENERIC",
                         numChannels),
      fSDPMediaTypeString(rtsp_strdup(sdpMediaTypeString ? sdpMediaTypeString : "audio")) {
  char buf[256];
  snprintf(buf, sizeof buf,
           "a=fmtp:%u streamtype=%u;profile-level-id=1;mode=%s;sizelength=13;indexlength=3;"
           "indexdeltalength=3;config=%s\r\n",
           rtpPayloadFormat, strcmp(fSDPMediaTypeString, "video") == 0 ? 4u : 5u,
           mpeg4Mode ? mpeg4Mode : "AAC-hbr", configString ? configString : "");
  fFmtpSDPLine = rtsp_strdup(buf);
}

MPEG4GenericRTPSink::~MPEG4GenericRTPSink() {
  delete[] fFmtpSDPLine;
  delete[] fSDPMediaTypeString;
}

void MPEG4GenericRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *,
                                                 unsigned numBytesInFrame,
                                                 struct timeval framePresentationTime,
                                                 unsigned numRemainingBytes) {
  // AU-headers-length is 16 bits; the one AU header carries the whole access
  // unit's size even in a fragment (RFC 3640 3.2.1), index 0.
  unsigned auSize = fragmentationOffset + numBytesInFrame + numRemainingBytes;
  uint8_t hdr[4] = {0, 16, (uint8_t)(auSize >> 5), (uint8_t)((auSize & 0x1F) << 3)};
  setSpecialHeaderBytes(hdr, 4);
  if (numRemainingBytes == 0) setMarkerBit();
  if (isFirstFrameInPacket()) setTimestamp(framePresentationTime);
}

// ---- simple ----

SimpleRTPSink *SimpleRTPSink::createNew(UsageEnvironment &env, Groupsock *rtpGS,
                                        uint8_t rtpPayloadFormat, unsigned rtpTimestampFrequency,
                                        const char *sdpMediaTypeString,
                                        const char *rtpPayloadFormatName, unsigned numChannels,
                                        bool allowMultipleFramesPerPacket,
                                        bool doNormalMBitRule) {
  return new SimpleRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString,
                           rtpPayloadFormatName, numChannels, allowMultipleFramesPerPacket,
                           doNormalMBitRule);
}

SimpleRTPSink::SimpleRTPSink(UsageEnvironment &env, Groupsock *rtpGS, uint8_t rtpPayloadFormat,
                             unsigned rtpTimestampFrequency, const char *sdpMediaTypeString,
                             const char *rtpPayloadFormatName, unsigned numChannels,
                             bool allowMultipleFramesPerPacket, bool doNormalMBitRule)
    : MultiFramedRTPSink(env, rtpGS, rtpPayloadFormat, rtpTimestampFrequency, rtpPayloadFormatName,
                         numChannels),
      fAllowMultipleFramesPerPacket(allowMultipleFramesPerPacket),
      fSetMBitOnLastFrames(doNormalMBitRule),
      fBytesPerSampleFrame(rtpPayloadFormatName && strcmp(rtpPayloadFormatName, "L16") == 0
                               ? 2 * (numChannels ? numChannels : 1)
                               : 0),
      fWholeTSPackets(rtpPayloadFormatName && strcmp(rtpPayloadFormatName, "MP2T") == 0),
      fSDPMediaTypeString(rtsp_strdup(sdpMediaTypeString ? sdpMediaTypeString : "data")) {}

SimpleRTPSink::~SimpleRTPSink() { delete[] fSDPMediaTypeString; }

void SimpleRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *,
                                           unsigned, struct timeval framePresentationTime,
                                           unsigned numRemainingBytes) {
  if (numRemainingBytes == 0 && fSetMBitOnLastFrames) setMarkerBit();
  if (!isFirstFrameInPacket()) return;
  if (fBytesPerSampleFrame && fragmentationOffset) {
    setRTPTimestamp(convertToRTPTimestamp(framePresentationTime) +
                    fragmentationOffset / fBytesPerSampleFrame);
  } else {
    setTimestamp(framePresentationTime);
  }
}

unsigned SimpleRTPSink::computeOverflowForNewFrame(unsigned newFrameSize) const {
  unsigned overflow = MultiFramedRTPSink::computeOverflowForNewFrame(newFrameSize);
  // A frame that does not fit is cut where the format allows.
  unsigned unit = fWholeTSPackets ? 188 : fBytesPerSampleFrame;
  if (!unit || overflow == 0) return overflow;
  unsigned fits = (newFrameSize - overflow) / unit * unit;
  return fits ? newFrameSize - fits : overflow;
}
