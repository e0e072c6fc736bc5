// H.264 in discrete NAL units: each frame its input delivers is one NAL unit.
// The framer passes them on and keeps the newest sequence and picture
// parameter sets, which the SDP of an H.264 stream announces.
#pragma once
#include <cstdint>

#include "streaming/rtsp/media.h"

enum { H264_NAL_SLICE = 1, H264_NAL_IDR = 5, H264_NAL_SPS = 7, H264_NAL_PPS = 8, H264_NAL_AUD = 9 };

class H264VideoStreamDiscreteFramer : public FramedFilter {
 public:
  static H264VideoStreamDiscreteFramer *createNew(UsageEnvironment &env, FramedSource *inputSource,
                                                  bool includeStartCodeInOutput = false,
                                                  bool insertAccessUnitDelimiters = false);
  // The newest parameter sets seen (NULL and 0 until one arrived).
  void getSPSandPPS(const uint8_t *&sps, unsigned &spsSize, const uint8_t *&pps,
                    unsigned &ppsSize) const;
  bool pictureEndMarker() const override { return fPictureEndMarker; }

 protected:
  H264VideoStreamDiscreteFramer(UsageEnvironment &env, FramedSource *inputSource,
                                bool includeStartCode, bool insertAUD);
  ~H264VideoStreamDiscreteFramer() override;
  void doGetNextFrame() override;

 private:
  static void afterGettingFrame(void *clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                struct timeval presentationTime, unsigned durationInMicroseconds);
  void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                          struct timeval presentationTime, unsigned durationInMicroseconds);
  static void saveCopy(uint8_t *&dst, unsigned &dstSize, const uint8_t *src, unsigned size);

  bool fIncludeStartCode;
  bool fInsertAUD;
  bool fPictureEndMarker;
  uint8_t *fSPS;
  unsigned fSPSSize;
  uint8_t *fPPS;
  unsigned fPPSSize;
};

// Base64 (RFC 4648, with padding) of size bytes into a new[] text.
char *rtsp_base64_encode(const uint8_t *data, unsigned size);
