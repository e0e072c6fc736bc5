#include "streaming/rtsp/h264_framer.h"

#include <cstring>

H264VideoStreamDiscreteFramer *H264VideoStreamDiscreteFramer::createNew(
    UsageEnvironment &env, FramedSource *inputSource, bool includeStartCodeInOutput,
    bool insertAccessUnitDelimiters) {
  return new H264VideoStreamDiscreteFramer(env, inputSource, includeStartCodeInOutput,
                                           insertAccessUnitDelimiters);
}

H264VideoStreamDiscreteFramer::H264VideoStreamDiscreteFramer(UsageEnvironment &env,
                                                             FramedSource *inputSource,
                                                             bool includeStartCode, bool insertAUD)
    : FramedFilter(env, inputSource),
      fIncludeStartCode(includeStartCode),
      fInsertAUD(insertAUD),
      fPictureEndMarker(false),
      fSPS(nullptr),
      fSPSSize(0),
      fPPS(nullptr),
      fPPSSize(0) {}

H264VideoStreamDiscreteFramer::~H264VideoStreamDiscreteFramer() {
  delete[] fSPS;
  delete[] fPPS;
}

void H264VideoStreamDiscreteFramer::getSPSandPPS(const uint8_t *&sps, unsigned &spsSize,
                                                 const uint8_t *&pps, unsigned &ppsSize) const {
  sps = fSPS;
  spsSize = fSPSSize;
  pps = fPPS;
  ppsSize = fPPSSize;
}

void H264VideoStreamDiscreteFramer::doGetNextFrame() {
  if (!fInputSource) {
    handleClosure();
    return;
  }
  fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure,
                             this);
}

void H264VideoStreamDiscreteFramer::afterGettingFrame(void *clientData, unsigned frameSize,
                                                      unsigned numTruncatedBytes,
                                                      struct timeval presentationTime,
                                                      unsigned durationInMicroseconds) {
  static_cast<H264VideoStreamDiscreteFramer *>(clientData)
      ->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime, durationInMicroseconds);
}

void H264VideoStreamDiscreteFramer::saveCopy(uint8_t *&dst, unsigned &dstSize, const uint8_t *src,
                                             unsigned size) {
  if (dst && dstSize == size && memcmp(dst, src, size) == 0) return;
  delete[] dst;
  dst = new uint8_t[size];
  memcpy(dst, src, size);
  dstSize = size;
}

void H264VideoStreamDiscreteFramer::afterGettingFrame1(unsigned frameSize,
                                                       unsigned numTruncatedBytes,
                                                       struct timeval presentationTime,
                                                       unsigned durationInMicroseconds) {
  // A start code the input left in front of the NAL unit is not part of it.
  if (!fIncludeStartCode) {
    unsigned sc = 0;
    if (frameSize >= 4 && fTo[0] == 0 && fTo[1] == 0 && fTo[2] == 0 && fTo[3] == 1) sc = 4;
    else if (frameSize >= 3 && fTo[0] == 0 && fTo[1] == 0 && fTo[2] == 1) sc = 3;
    if (sc) {
      memmove(fTo, fTo + sc, frameSize - sc);
      frameSize -= sc;
    }
  }
  fPictureEndMarker = false;
  if (frameSize > 0) {
    const uint8_t *nal = fTo;
    unsigned size = frameSize;
    if (fIncludeStartCode) {
      while (size > 3 && nal[0] == 0) { nal++; size--; }
      if (size > 1 && nal[0] == 1) { nal++; size--; }
    }
    int type = nal[0] & 0x1F;
    // A truncated parameter set would be announced wrong: keep the old one.
    if (type == H264_NAL_SPS && numTruncatedBytes == 0) saveCopy(fSPS, fSPSSize, nal, size);
    else if (type == H264_NAL_PPS && numTruncatedBytes == 0) saveCopy(fPPS, fPPSSize, nal, size);
    // A slice ends its access unit unless the input knows more follow.
    fPictureEndMarker = type >= H264_NAL_SLICE && type <= H264_NAL_IDR &&
                        !(fInputSource && fInputSource->morePictureFollows());
  }
  fFrameSize = frameSize;
  fNumTruncatedBytes = numTruncatedBytes;
  fPresentationTime = presentationTime;
  fDurationInMicroseconds = durationInMicroseconds;
  afterGetting(this);
}

char *rtsp_base64_encode(const uint8_t *data, unsigned size) {
  static const char tab[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  char *out = new char[(size + 2) / 3 * 4 + 1];
  char *o = out;
  unsigned i = 0;
  for (; i + 3 <= size; i += 3) {
    uint32_t v = (uint32_t)data[i] << 16 | (uint32_t)data[i + 1] << 8 | data[i + 2];
    *o++ = tab[v >> 18];
    *o++ = tab[(v >> 12) & 63];
    *o++ = tab[(v >> 6) & 63];
    *o++ = tab[v & 63];
  }
  if (i < size) {
    uint32_t v = (uint32_t)data[i] << 16 | (i + 1 < size ? (uint32_t)data[i + 1] << 8 : 0);
    *o++ = tab[v >> 18];
    *o++ = tab[(v >> 12) & 63];
    *o++ = i + 1 < size ? tab[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  *o = 0;
  return out;
}
