#include "streaming/stream_device_source.h"

#include <cstring>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/process_util.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "streaming/rtsp/h264_framer.h"
#include "streaming/rtsp_server.h"

int rtsp_stream_refcount[16];

namespace {

// How long the sources of a stream wait for its JPEG encoder to stop before
// they attach anyway, and how often they look.
const int64_t kJpegStopWait_us = 10000000;
const int64_t kJpegStopStep_us = 100000;

// Per stream id (as the reference counts): while non-zero, the monotonic
// time (rtsp_monotonic_us) at which the wait for the JPEG encoder ends.
// Only the "rtp" thread uses it.
int64_t jpeg_stop_deadline[16];

int refcount_index(uint32_t id) { return id > 15 ? 15 : (int)id; }

// The channel record of video stream 1 or 2, else NULL.
VideoChannelParams *channel_of(uint32_t id) {
  if (id != VIDEO_STREAM1 && id != VIDEO_STREAM2) return nullptr;
  return &rtsp_params()->video[id - 1];
}

// The non-blocking form of the muxed dequeue: the "rtp" thread serves every
// client and never waits in the stream layer.
FrameDesc *dequeue_muxed_nowait(StreamState *state) {
  if (!state->streamq || !state->mux || !stream_mux_ops.dequeue) return nullptr;
  return stream_mux_ops.dequeue(state, 0, nullptr);
}

}  // namespace

struct timeval presentation_clock_time(PresentationClock *clock, uint32_t ts,
                                       const struct timeval &wall, uint32_t now90k) {
  if (clock->base == 0) {
    clock->base = (uint64_t)wall.tv_sec * 90000 + (uint64_t)wall.tv_usec * 9 / 100 - now90k;
    clock->newest = ts;
  }
  if ((int32_t)(ts - clock->newest) > 0) {
    if (ts < clock->newest) clock->base += (uint64_t)1 << 32;   // the counter wrapped
    clock->newest = ts;
  }
  uint64_t t = clock->base + clock->newest;
  struct timeval tv;
  tv.tv_sec = (time_t)(t / 90000);
  tv.tv_usec = (suseconds_t)((t % 90000) * 100 / 9);
  return tv;
}

StreamDeviceSource *StreamDeviceSource::createNew(UsageEnvironment &env, uint32_t streamId,
                                                  uint8_t mode, RtspStreamType type) {
  return new StreamDeviceSource(env, streamId, mode, type);
}

void StreamDeviceSource::switchFromJpeg(const char *how) {
  VideoChannelParams *ch = channel_of(fStreamId);
  if (!ch || ch->stream_mode != StreamMode_JPEG) return;
  log_printf(how, (int)(fStreamId - 1));
  ch->stream_mode = StreamMode_H264_ES;
}

StreamDeviceSource::StreamDeviceSource(UsageEnvironment &env, uint32_t streamId, uint8_t mode,
                                       RtspStreamType type)
    : FramedSource(env),
      fStreamId(streamId),
      fMode(mode),
      fState(),
      fCallback{nullptr, frameArrived, this},
      fEventTriggerId(0),
      fType(type),
      fPending(nullptr),
      fPendingLen(0),
      fEntryData(nullptr),
      fEntryLen(0),
      fEntrySeq(0),
      fJpegWaitTask(nullptr),
      fPendingFrames(0),
      fClock{0, 0},
      fAttached(false),
      fEntryFlags(0),
      fStageLen(0) {
  int idx = refcount_index(streamId);
  log_printf("%s : IDX %d, streamid %d referenceCount %d\n", "StreamDeviceSource", idx,
             (int)streamId, rtsp_stream_refcount[idx]);
  bool first = rtsp_stream_refcount[idx]++ == 0;
  if (first) {
    log_printf("stream device source %d\n", (int)streamId);
    VideoChannelParams *ch = channel_of(streamId);
    if (ch && ch->stream_mode == StreamMode_JPEG) {
      switchFromJpeg("changing %d to H.264 from JPEG\n");
      jpeg_stop_deadline[idx] = rtsp_monotonic_us() + kJpegStopWait_us;
    }
  }
  // The JPEG loop must end before an H.264 consumer attaches. The wait is
  // a timer on the event loop, so every other session goes on meanwhile; a
  // second source of the stream made during the wait waits too.
  if (jpeg_stop_deadline[idx]) {
    waitForJpegStop();
    return;
  }
  attach();
}

void StreamDeviceSource::waitForJpegStop0(void *clientData) {
  static_cast<StreamDeviceSource *>(clientData)->waitForJpegStop();
}

void StreamDeviceSource::waitForJpegStop() {
  fJpegWaitTask = nullptr;
  int idx = refcount_index(fStreamId);
  // Bounded, and given up at once on an RTSP restart or quit.
  if (jpeg_stop_deadline[idx] && stream_get_state_by_id(fStreamId) == 1 &&
      rtsp_monotonic_us() < jpeg_stop_deadline[idx] &&
      !__atomic_load_n(&rtsp_watch, __ATOMIC_ACQUIRE) && !get_exit_code()) {
    fJpegWaitTask = envir().taskScheduler().scheduleDelayedTask(kJpegStopStep_us, waitForJpegStop0,
                                                                this);
    return;
  }
  jpeg_stop_deadline[idx] = 0;
  attach();
  // A reader that asked while the source waited is served now.
  if (fAttached && fPendingFrames.load(std::memory_order_relaxed) > 0) deliverFrame();
}

void StreamDeviceSource::attach() {
  int idx = refcount_index(fStreamId);
  // Every source has an attachment, callback and trigger of its own, so two
  // sessions of one stream each see every entry, and any of them may go
  // first. Video starts at the newest key frame still recent, as the HTTP
  // streams do, so that the first picture sent decodes.
  if (fType == rtp_video_h264) fState.flags = STREAM_STATE_RECENT_KEY;
  if (stream_state_attach(fStreamId, fMode, &fState) == 0 && fState.streamq) {
    fAttached = true;
    // The entries from the key frame on are already there to send.
    pthread_mutex_lock(&fState.streamq->mutex);
    fPendingFrames.store((int)(fState.streamq->next_seq - fState.seq), std::memory_order_relaxed);
    pthread_mutex_unlock(&fState.streamq->mutex);
    log_printf("stream attached\n");
    log_printf("%s idx=%d streamid=%d mode=%d\n", "StreamDeviceSource", idx, (int)fStreamId,
               (int)fMode);
    fEventTriggerId = envir().taskScheduler().createEventTrigger(deliverFrame0, this);
    stream_add_callback(fStreamId, &fCallback);
    log_printf("callback attached\n");
  }
}

StreamDeviceSource::~StreamDeviceSource() {
  int idx = refcount_index(fStreamId);
  log_printf("%s idx=%d streamid=%d refcount=%d\n", "StreamDeviceSource", idx, (int)fStreamId,
             rtsp_stream_refcount[idx]);
  if (rtsp_stream_refcount[idx] > 0) rtsp_stream_refcount[idx]--;
  if (rtsp_stream_refcount[idx] == 0) jpeg_stop_deadline[idx] = 0;
  envir().taskScheduler().unscheduleDelayedTask(fJpegWaitTask);
  if (fAttached) {
    // Once removed the callback cannot run any more, so the trigger it
    // fires can go too.
    stream_remove_callback(fStreamId, &fCallback);
    stream_state_detach(&fState);
    log_printf("stream detached\n");
    envir().taskScheduler().deleteEventTrigger(fEventTriggerId);
  }
  if (fState.mux && stream_mux_ops.free) stream_mux_ops.free(&fState);
}

void StreamDeviceSource::frameArrived(void *source, uint32_t) {
  if (!source) return;
  StreamDeviceSource *s = static_cast<StreamDeviceSource *>(source);
  s->fPendingFrames.fetch_add(1, std::memory_order_relaxed);
  s->envir().taskScheduler().triggerEvent(s->fEventTriggerId);
}

void StreamDeviceSource::doGetNextFrame() {
  int count = fPendingFrames.load(std::memory_order_relaxed);
  switch (fType) {
    case rtp_transport:
      if (fPendingLen >= RTSP_TS_UNIT) deliverFrameMPEGTS(false);
      else if (count > 0) deliverFrameMPEGTS(true);
      break;
    case rtp_video_h264:
      if (fPending || count > 0) deliverFrameH264();
      break;
    default:
      if (count > 0) deliverFrameAudio();
      break;
  }
}

void StreamDeviceSource::deliverFrame0(void *clientData) {
  static_cast<StreamDeviceSource *>(clientData)->deliverFrame();
}

void StreamDeviceSource::deliverFrame() {
  fDurationInMicroseconds = 0;
  switch (fType) {
    case rtp_transport:
      deliverFrameMPEGTS(true);
      break;
    case rtp_video_h264:
      deliverFrameH264();
      break;
    default:
      if (fPendingFrames.load(std::memory_order_relaxed) == 0) {
        log_printf("deliverFrame no frame available\n");
        return;
      }
      deliverFrameAudio();
      break;
  }
}

void StreamDeviceSource::setPresentationTime(uint32_t ts) {
  struct timeval wall;
  gettimeofday(&wall, nullptr);
  fPresentationTime = presentation_clock_time(&fClock, ts, wall, timestamp_now());
}

void StreamDeviceSource::takePending() {
  int c = fPendingFrames.load(std::memory_order_relaxed);
  while (c > 0 && !fPendingFrames.compare_exchange_weak(c, c - 1, std::memory_order_relaxed)) {
  }
}

bool StreamDeviceSource::morePictureFollows() const {
  return (fEntryFlags & FRAME_SLICE) && !(fEntryFlags & FRAME_SLICE_END);
}

bool StreamDeviceSource::entryIntact() {
  return ringbuffer_entry_intact(fState.streamq, fEntrySeq, fEntryData, fEntryLen);
}

void StreamDeviceSource::deliverFrameH264() {
  if (fType != rtp_video_h264 || !isCurrentlyAwaitingData() || !fAttached) return;
  for (;;) {
    bool took = false;
    uint32_t ts = 0;
    while (!fPending) {
      FrameDesc *f = stream_state_dequeue_raw(&fState);
      if (!f) {
        fPendingFrames.store(0, std::memory_order_relaxed);
        return;
      }
      const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(f->buf);
      uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
      if (len < 4 || !data) {
        log_printf("tslen=%d\n", (int)len);
        takePending();
        continue;
      }
      if (data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1) {
        log_printf("non-h264 data received, stopping stream\n");
        switchFromJpeg("changing %d to H.264 from JPEG\n");
        handleClosure();
        return;
      }
      fEntryData = data;
      fEntryLen = len;
      fEntrySeq = f->seq;
      fPending = data + 4;
      fPendingLen = len - 4;
      fEntryFlags = f->flags;
      took = true;
      ts = f->timestamp;
    }

    // Slices run to the end of the entry; other units end at the next start
    // code. The search looks at a byte that would be the 01 of a start code:
    // after a 0 the next may be, after anything else only the fourth on.
    const uint8_t *p = fPending;
    uint32_t nalLen = fPendingLen, skip = 0;
    int type = fPendingLen ? (p[0] & 0x1F) : 0;
    if (type != H264_NAL_SLICE && type != H264_NAL_IDR) {
      for (uint32_t i = 3; i < fPendingLen;) {
        if (p[i] == 0) {
          i++;
        } else if (p[i] == 1 && p[i - 1] == 0 && p[i - 2] == 0 && p[i - 3] == 0) {
          nalLen = i - 3;
          skip = 4;
          break;
        } else {
          i += 4;
        }
      }
    }

    uint32_t size = nalLen;
    fNumTruncatedBytes = 0;
    if (size > fMaxSize) {
      log_printf("truncated video newFrameSize=%d fMaxSize=%d\n", (int)size, (int)fMaxSize);
      fNumTruncatedBytes = size - fMaxSize;
      size = fMaxSize;
    }
    memcpy(fTo, p, size);
    // The entry lies in the ring in place: a reader this far behind may
    // have copied what the producer wrote since. The rest of the entry and
    // the pictures that refer to it go; the stream goes on at the next key
    // frame.
    if (!entryIntact()) {
      log_printf("%s: %s seq %u was overwritten before it was sent\n", "deliverFrameH264",
                 stream_name(fState.streamq), fEntrySeq);
      fPending = nullptr;
      fPendingLen = 0;
      takePending();
      fState.resync |= 1;
      continue;
    }
    fFrameSize = size;
    fPending += nalLen + skip;
    fPendingLen -= nalLen + skip;
    if (fPendingLen == 0) {
      fPending = nullptr;
      takePending();
    }
    if (took) {
      setPresentationTime(ts);
      uint32_t age = timestamp_now() - ts;
      if ((int32_t)age > 20000) {
        log_printf("latency %f qcount=%d tslen=%d\n", age / 90000.0,
                   fPendingFrames.load(std::memory_order_relaxed), (int)fPendingLen);
      }
    }
    FramedSource::afterGetting(this);
    return;
  }
}

void StreamDeviceSource::deliverFrameAudio() {
  if ((fType != rtp_audio_aac && fType != rtp_audio_pcm) || !fAttached) return;
  // Only into a buffer somebody is waiting to have filled.
  if (!isCurrentlyAwaitingData()) return;
  FrameDesc *f = stream_state_dequeue_raw(&fState);
  if (!f) {
    log_printf("no tsBuf\n");
    fPendingFrames.store(0, std::memory_order_relaxed);
    return;
  }
  if (fPendingFrames.load(std::memory_order_relaxed) == 0) log_printf("qcount is already 0\n");
  takePending();
  const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(f->buf);
  uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
  if (len == 0 || !data) {
    log_printf("newFramesSize is 0\n");
    return;
  }
  if (fType == rtp_audio_aac && len >= 7 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0) {
    // RFC 3640 carries raw access units: the ADTS header (7 bytes, 9 with
    // its CRC) stays behind.
    uint32_t hdr = (data[1] & 1) ? 7 : 9;
    uint32_t frameLen = ((uint32_t)(data[3] & 3) << 11) | ((uint32_t)data[4] << 3) | (data[5] >> 5);
    if (frameLen > hdr && frameLen <= len) {
      data += hdr;
      len = frameLen - hdr;
    }
  }
  fNumTruncatedBytes = 0;
  if (len > fMaxSize) {
    log_printf("truncated audio newFrameSize=%d fMaxSize=%d\n", (int)len, (int)fMaxSize);
    fNumTruncatedBytes = len - fMaxSize;
    len = fMaxSize;
  }
  setPresentationTime(f->timestamp);
  if (fType == rtp_audio_pcm) {
    // L16 is big-endian (RFC 3551 4.5.11); the stream holds little-endian.
    uint32_t i = 0;
    for (; i + 1 < len; i += 2) {
      fTo[i] = data[i + 1];
      fTo[i + 1] = data[i];
    }
    if (i < len) fTo[i] = data[i];
  } else {
    memcpy(fTo, data, len);
  }
  fFrameSize = len;
  FramedSource::afterGetting(this);
}

void StreamDeviceSource::deliverFrameMPEGTS(bool mayTake) {
  if (fType != rtp_transport || !isCurrentlyAwaitingData() || !fAttached) return;
  unsigned unit = RTSP_TS_UNIT;
  if (fMaxSize < unit) {
    log_printf("serious error.  buffers too small.  fixme!\n");
    unit = fMaxSize;
  }
  if (fStageLen == 0 && fPendingLen >= unit) {
    // A whole unit waits in the last entry.
    memcpy(fTo, fPending, unit);
    fPending += unit;
    fPendingLen -= unit;
    if (fPendingLen == 0) fPending = nullptr;
    fFrameSize = unit;
    fNumTruncatedBytes = 0;
    FramedSource::afterGetting(this);
    return;
  }
  // The rest of the last entry is gathered first: the next dequeue writes
  // over the buffer it lies in. Short entries (audio) are gathered until a
  // unit is full, so no byte is lost between deliveries.
  if (fPendingLen) {
    unsigned n = fPendingLen < unit - fStageLen ? fPendingLen : unit - fStageLen;
    memcpy(fStage + fStageLen, fPending, n);
    fStageLen += n;
    fPending += n;
    fPendingLen -= n;
    if (fPendingLen == 0) fPending = nullptr;
  }
  bool took = false;
  uint32_t ts = 0;
  while (fStageLen < unit && fPendingLen == 0 &&
         (mayTake || fPendingFrames.load(std::memory_order_relaxed) > 0)) {
    FrameDesc *f = dequeue_muxed_nowait(&fState);
    if (!f) {
      fPendingFrames.store(0, std::memory_order_relaxed);
      break;
    }
    takePending();
    const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(f->buf);
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
    if (len == 0 || !data) continue;
    if (data[0] != 0x47) {
      log_printf("non-TS data received, stopping stream\n");
      fStageLen = 0;
      handleClosure();
      return;
    }
    took = true;
    ts = f->timestamp;
    unsigned n = len < unit - fStageLen ? len : unit - fStageLen;
    memcpy(fStage + fStageLen, data, n);
    fStageLen += n;
    fPending = len > n ? data + n : nullptr;
    fPendingLen = len - n;
  }
  if (took) setPresentationTime(ts);
  if (fStageLen < unit) return;
  memcpy(fTo, fStage, unit);
  fStageLen = 0;
  fFrameSize = unit;
  fNumTruncatedBytes = 0;
  FramedSource::afterGetting(this);
}
