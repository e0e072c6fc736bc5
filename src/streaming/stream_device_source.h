// The frame source that connects one stream of the stream layer to the RTSP
// server. The producer's put only counts the new entry and fires an event
// trigger; the "rtp" thread then takes the data and hands it on one unit at
// a time: one H.264 NAL unit, one AAC access unit or PCM chunk, or 1316
// bytes (seven packets) of transport stream.
#pragma once
#include <atomic>
#include <cstdint>
#include <sys/time.h>

#include "media/stream_queue.h"
#include "media/stream_state.h"
#include "streaming/rtsp/media.h"

enum RtspStreamType { rtp_transport = 0, rtp_video_h264 = 1, rtp_audio_aac = 2, rtp_audio_pcm = 3 };

#define RTSP_TS_UNIT 1316   // 7 x 188

// Sources in existence per stream id (ids above 15 counted at 15).
extern int rtsp_stream_refcount[16];

// Presentation times from 32-bit 90 kHz timestamps: a 64-bit base that
// grows by 2^32 at each wrap, so times never go backwards.
struct PresentationClock {
  uint64_t base;     // 90 kHz ticks; 0 until the first timestamp
  uint32_t newest;
};
// wall and now90k (the 90 kHz clock read at the same moment) set the base at
// the first use.
struct timeval presentation_clock_time(PresentationClock *clock, uint32_t ts,
                                       const struct timeval &wall, uint32_t now90k);

class StreamDeviceSource : public FramedSource {
 public:
  static StreamDeviceSource *createNew(UsageEnvironment &env, uint32_t streamId, uint8_t mode,
                                       RtspStreamType type);
  // The producer's StreamCallback (its thread): counts and triggers.
  static void frameArrived(void *source, uint32_t seq);
  bool attached() const { return fAttached; }
  bool morePictureFollows() const override;

 protected:
  StreamDeviceSource(UsageEnvironment &env, uint32_t streamId, uint8_t mode, RtspStreamType type);
  ~StreamDeviceSource() override;
  void doGetNextFrame() override;

 private:
  static void deliverFrame0(void *clientData);
  void deliverFrame();
  void deliverFrameH264();
  void deliverFrameAudio();
  void deliverFrameMPEGTS(bool mayTake);
  void setPresentationTime(uint32_t ts);
  void takePending();
  void switchFromJpeg(const char *how);
  void attach();
  static void waitForJpegStop0(void *clientData);
  void waitForJpegStop();
  bool entryIntact();

  uint32_t fStreamId;
  uint8_t fMode;
  StreamState fState;
  StreamCallback fCallback;
  EventTriggerId fEventTriggerId;
  RtspStreamType fType;
  const uint8_t *fPending;          // the unsent rest of the current entry
  uint32_t fPendingLen;
  // The raw entry being delivered, where it lies in the ring: checked after
  // each copy, since the producer may have written over it meanwhile.
  const uint8_t *fEntryData;
  uint32_t fEntryLen;
  uint32_t fEntrySeq;
  TaskToken fJpegWaitTask;          // while a JPEG channel's encoder stops
  std::atomic<int> fPendingFrames;  // entries announced and not yet taken
  PresentationClock fClock;
  bool fAttached;
  uint8_t fEntryFlags;              // FrameDesc flags of the entry being delivered
  uint8_t fStage[RTSP_TS_UNIT];     // transport stream gathered for one unit
  unsigned fStageLen;
};
