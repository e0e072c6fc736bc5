#include "streaming/rtsp/media.h"

#include <cstring>
#include <random>
#include <sys/random.h>

#include "core/log.h"

char *rtsp_strdup(const char *s) {
  if (!s) s = "";
  size_t n = strlen(s) + 1;
  char *d = new char[n];
  memcpy(d, s, n);
  return d;
}

uint32_t rtsp_random32(void) {
  uint32_t v;
  if (getrandom(&v, sizeof v, 0) == (ssize_t)sizeof v) return v;
  static std::mt19937 gen(std::random_device{}());
  return (uint32_t)gen();
}

void Medium::close(Medium *medium) { delete medium; }

FramedSource::FramedSource(UsageEnvironment &env)
    : Medium(env),
      fTo(nullptr),
      fMaxSize(0),
      fFrameSize(0),
      fNumTruncatedBytes(0),
      fPresentationTime{0, 0},
      fDurationInMicroseconds(0),
      fAfterGettingFunc(nullptr),
      fAfterGettingClientData(nullptr),
      fOnCloseFunc(nullptr),
      fOnCloseClientData(nullptr),
      fIsCurrentlyAwaitingData(false) {}

FramedSource::~FramedSource() = default;

void FramedSource::getNextFrame(unsigned char *to, unsigned maxSize,
                                afterGettingFunc *afterGettingFunc, void *afterGettingClientData,
                                onCloseFunc *onCloseFunc, void *onCloseClientData) {
  if (fIsCurrentlyAwaitingData) {
    // Two readers of one source would each get half the frames.
    log_printf("%s: read while a read is in progress\n", "FramedSource::getNextFrame");
    return;
  }
  fTo = to;
  fMaxSize = maxSize;
  fNumTruncatedBytes = 0;
  fDurationInMicroseconds = 0;
  fAfterGettingFunc = afterGettingFunc;
  fAfterGettingClientData = afterGettingClientData;
  fOnCloseFunc = onCloseFunc;
  fOnCloseClientData = onCloseClientData;
  fIsCurrentlyAwaitingData = true;
  doGetNextFrame();
}

void FramedSource::afterGetting(FramedSource *source) {
  source->fIsCurrentlyAwaitingData = false;
  if (source->fAfterGettingFunc) {
    source->fAfterGettingFunc(source->fAfterGettingClientData, source->fFrameSize,
                              source->fNumTruncatedBytes, source->fPresentationTime,
                              source->fDurationInMicroseconds);
  }
}

void FramedSource::handleClosure(void *clientData) {
  static_cast<FramedSource *>(clientData)->handleClosure();
}

void FramedSource::handleClosure() {
  fIsCurrentlyAwaitingData = false;
  onCloseFunc *f = fOnCloseFunc;
  fOnCloseFunc = nullptr;
  if (f) f(fOnCloseClientData);
}

void FramedSource::stopGettingFrames() {
  fIsCurrentlyAwaitingData = false;
  fAfterGettingFunc = nullptr;
  fOnCloseFunc = nullptr;
  doStopGettingFrames();
}

FramedFilter::~FramedFilter() { Medium::close(fInputSource); }

void FramedFilter::doStopGettingFrames() {
  if (fInputSource) fInputSource->stopGettingFrames();
}
