// Media objects: the base of every RTSP/RTP object, and framed sources that
// hand one frame at a time to whoever asked for it.
#pragma once
#include <cstdint>
#include <sys/time.h>

#include "streaming/rtsp/scheduler.h"

// A new[] copy of s ("" for NULL).
char *rtsp_strdup(const char *s);
// 32 random bits from the kernel: session ids, nonces, SSRCs and RTP
// sequence and timestamp origins must not be guessable.
uint32_t rtsp_random32(void);

class Medium {
 public:
  // Deletes the object (NULL is ignored).
  static void close(Medium *medium);
  UsageEnvironment &envir() const { return fEnviron; }
  virtual bool isSource() const { return false; }
  virtual bool isRTPSink() const { return false; }

 protected:
  explicit Medium(UsageEnvironment &env) : fEnviron(env) {}
  virtual ~Medium() = default;
  Medium(const Medium &) = delete;
  Medium &operator=(const Medium &) = delete;

 private:
  UsageEnvironment &fEnviron;
};

// A source of frames. A reader calls getNextFrame with a buffer; the source's
// doGetNextFrame fills it (now or once data arrives) and calls
// afterGetting(this), which hands the frame to the reader's function.
class FramedSource : public Medium {
 public:
  typedef void(afterGettingFunc)(void *clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                 struct timeval presentationTime, unsigned durationInMicroseconds);
  typedef void(onCloseFunc)(void *clientData);

  void getNextFrame(unsigned char *to, unsigned maxSize, afterGettingFunc *afterGettingFunc,
                    void *afterGettingClientData, onCloseFunc *onCloseFunc, void *onCloseClientData);
  // The source has ended: tells the reader through its close function.
  static void handleClosure(void *clientData);
  void handleClosure();
  void stopGettingFrames();
  bool isCurrentlyAwaitingData() const { return fIsCurrentlyAwaitingData; }
  bool isSource() const override { return true; }

  // Completes the frame that doGetNextFrame was asked for.
  static void afterGetting(FramedSource *source);

  // The H.264 sink asks its source whether the frame just delivered ends a
  // picture (the RTP marker rule); sources that cannot tell say no.
  virtual bool pictureEndMarker() const { return false; }
  // A source that delivers a picture's slices one at a time says whether
  // more slices of the picture just delivered are still to come.
  virtual bool morePictureFollows() const { return false; }

 protected:
  explicit FramedSource(UsageEnvironment &env);
  ~FramedSource() override;
  virtual void doGetNextFrame() = 0;
  virtual void doStopGettingFrames() {}

  // Set by getNextFrame for the source to fill.
  unsigned char *fTo;
  unsigned fMaxSize;
  // Set by the source before afterGetting.
  unsigned fFrameSize;
  unsigned fNumTruncatedBytes;
  struct timeval fPresentationTime;
  unsigned fDurationInMicroseconds;

 private:
  afterGettingFunc *fAfterGettingFunc;
  void *fAfterGettingClientData;
  onCloseFunc *fOnCloseFunc;
  void *fOnCloseClientData;
  bool fIsCurrentlyAwaitingData;
};

// A source that reads another one. Closing the filter closes its input.
class FramedFilter : public FramedSource {
 public:
  FramedSource *inputSource() const { return fInputSource; }
  // Forgets the input without closing it.
  void detachInputSource() { fInputSource = nullptr; }

 protected:
  FramedFilter(UsageEnvironment &env, FramedSource *inputSource)
      : FramedSource(env), fInputSource(inputSource) {}
  ~FramedFilter() override;
  void doStopGettingFrames() override;
  FramedSource *fInputSource;
};
