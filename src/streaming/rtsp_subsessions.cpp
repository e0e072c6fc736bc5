#include "streaming/rtsp_subsessions.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/global.h"
#include "core/log.h"
#include "media/stream_ids.h"
#include "streaming/rtp_sink.h"
#include "streaming/rtsp/h264_framer.h"
#include "streaming/rtsp_server.h"
#include "streaming/stream_device_source.h"

namespace {

const int64_t kAuxSDPLineWait_us = 10000000;
// How long after a change of the producer's settings descriptions are not kept.
const int64_t kSettle_us = 5000000;

// Sampling-frequency index of MPEG-4 audio (ISO/IEC 14496-3 1.6.3.4).
const unsigned kSamplingFrequencies[16] = {96000, 88200, 64000, 48000, 44100, 32000,
                                           24000, 22050, 16000, 12000, 11025, 8000,
                                           7350,  0,     0,     0};

}  // namespace

uint32_t stream_estimated_bitrate(uint32_t id, uint8_t mode) {
  ParamBlock *p = rtsp_params();
  uint32_t rate = 0;
  if (id == VIDEO_STREAM1) rate = p->video[0].bit_rate;
  else if (id == VIDEO_STREAM2) rate = p->video[1].bit_rate;
  else if (id == PCM_STREAM) mode = StreamMode_Audio_PCM;
  else if (id == AAC_STREAM) mode = StreamMode_Audio_AAC;
  else log_printf("unknown streamid: %d\n", (int)id);
  uint8_t audio = stream_mode_audio_type(mode);
  if (audio == AUDIO_TYPE_AAC) rate += p->audio.bit_rate;
  else if (audio == AUDIO_TYPE_PCM) rate += (uint32_t)p->audio.channels * p->audio.sample_rate * 16;
  if (stream_mode_mux_type(mode) == MUX_TS) rate += (rate / 188) * 8;
  return rate;
}

bool aac_audio_specific_config(unsigned sampleRate, unsigned channels, char out[5]) {
  for (unsigned i = 0; i < 16; i++) {
    if (kSamplingFrequencies[i] != sampleRate || sampleRate == 0) continue;
    // 5 bits object type (2: AAC LC), 4 bits frequency index, 4 bits
    // channel configuration, 3 bits zero.
    uint8_t b0 = (uint8_t)((2 << 3) | (i >> 1));
    uint8_t b1 = (uint8_t)(((i & 1) << 7) | ((channels & 0xF) << 3));
    snprintf(out, 5, "%02x%02x", b0, b1);
    return true;
  }
  return false;
}

MPEG4GenericRTPSink *createAdtsRtpSink(UsageEnvironment &env, Groupsock *rtpGroupsock,
                                       unsigned char rtpPayloadType) {
  // The AAC encoder runs at Audio.SampleRate with Audio.Channels channels;
  // the SDP says what it really sends.
  ParamBlock *p = rtsp_params();
  unsigned rate = p->audio.sample_rate;
  unsigned channels = p->audio.channels == 1 ? 1 : 2;
  char config[5];
  if (!aac_audio_specific_config(rate, channels, config)) return nullptr;
  MPEG4GenericRTPSink *sink = MPEG4GenericRTPSink::createNew(
      env, rtpGroupsock, rtpPayloadType, rate, "audio", "AAC-hbr", config, channels);
  rtsp_apply_packet_size(sink);
  return sink;
}

const char *StreamMediaSubsession::sdpLines() {
  // The producer restarts with new settings a moment after they change, and
  // until it has, the stream still carries the old parameter sets: for a
  // while after a change every description is made afresh, so that none
  // made in between is kept.
  int64_t now = rtsp_monotonic_us();
  if (settingsChanged()) fUnsettledUntil = now + kSettle_us;
  if (now < fUnsettledUntil) forgetSDPLines();
  return OnDemandServerMediaSubsession::sdpLines();
}

bool StreamMediaSubsession::settingsChanged() {
  ParamBlock *p = rtsp_params();
  const void *rec = nullptr;
  size_t n = 0;
  // The video settings up to the overlay text, which the stream's
  // description does not depend on.
  if (fStreamId == VIDEO_STREAM1 || fStreamId == VIDEO_STREAM2) {
    rec = &p->video[fStreamId == VIDEO_STREAM1 ? 0 : 1];
    n = offsetof(VideoChannelParams, osd);
  } else {
    rec = &p->audio;
    n = sizeof p->audio;
  }
  if (n > sizeof fSettings) n = sizeof fSettings;
  bool changed = fSettingsLen && (fSettingsLen != n || memcmp(fSettings, rec, n) != 0);
  memcpy(fSettings, rec, n);
  fSettingsLen = n;
  return changed;
}

// ---- H.264 ----

H264VideoFrameServerMediaSubsession *H264VideoFrameServerMediaSubsession::createNew(
    UsageEnvironment &env, uint32_t streamId, uint8_t mode, bool reuseFirstSource) {
  return new H264VideoFrameServerMediaSubsession(env, streamId, mode, reuseFirstSource);
}

H264VideoFrameServerMediaSubsession::H264VideoFrameServerMediaSubsession(UsageEnvironment &env,
                                                                         uint32_t streamId,
                                                                         uint8_t mode,
                                                                         bool reuseFirstSource)
    : StreamMediaSubsession(env, streamId, mode, reuseFirstSource),
      fAuxSDPLine(nullptr),
      fDoneFlag(0),
      fDummyRTPSink(nullptr),
      fCheckTask(nullptr),
      fWaitStart(0) {
  pthread_mutex_init(&fMutex, nullptr);
}

H264VideoFrameServerMediaSubsession::~H264VideoFrameServerMediaSubsession() {
  envir().taskScheduler().unscheduleDelayedTask(fCheckTask);
  delete[] fAuxSDPLine;
  pthread_mutex_destroy(&fMutex);
  log_printf("~H264VideoFrameServerMediaSubsession\n");
}

void H264VideoFrameServerMediaSubsession::afterPlayingDummy(void *clientData) {
  static_cast<H264VideoFrameServerMediaSubsession *>(clientData)->afterPlayingDummy1();
}

void H264VideoFrameServerMediaSubsession::afterPlayingDummy1() {
  envir().taskScheduler().unscheduleDelayedTask(fCheckTask);
  fDoneFlag = 0xFF;
}

void H264VideoFrameServerMediaSubsession::checkForAuxSDPLine(void *clientData) {
  static_cast<H264VideoFrameServerMediaSubsession *>(clientData)->checkForAuxSDPLine1();
}

void H264VideoFrameServerMediaSubsession::checkForAuxSDPLine1() {
  fCheckTask = nullptr;
  if (fAuxSDPLine) {
    fDoneFlag = 1;
    return;
  }
  pthread_mutex_lock(&fMutex);
  const char *line = fDummyRTPSink ? fDummyRTPSink->auxSDPLine() : nullptr;
  if (line) {
    size_t n = strlen(line) + 1;
    fAuxSDPLine = new char[n];
    memcpy(fAuxSDPLine, line, n);
    fDummyRTPSink = nullptr;
    pthread_mutex_unlock(&fMutex);
    fDoneFlag = 1;
    return;
  }
  pthread_mutex_unlock(&fMutex);
  // An idle or silent stream must not hold the thread: the wait ends after
  // about 10 s, and at once on an RTSP restart or quit.
  if (__atomic_load_n(&rtsp_watch, __ATOMIC_ACQUIRE) || get_exit_code() || rtsp_monotonic_us() - fWaitStart > kAuxSDPLineWait_us) {
    log_printf("%s: no parameter sets from stream %u\n", "checkForAuxSDPLine",
               (unsigned)fStreamId);
    fDoneFlag = 1;
    return;
  }
  fCheckTask = envir().taskScheduler().scheduleDelayedTask(100000, checkForAuxSDPLine, this);
}

const char *H264VideoFrameServerMediaSubsession::getAuxSDPLine(RTPSink *rtpSink,
                                                                FramedSource *inputSource) {
  if (fAuxSDPLine) return fAuxSDPLine;
  pthread_mutex_lock(&fMutex);
  if (!fDummyRTPSink) {
    fDummyRTPSink = rtpSink;
    fDoneFlag = 0;
    fWaitStart = rtsp_monotonic_us();
    pthread_mutex_unlock(&fMutex);
    rtpSink->startPlaying(*inputSource, afterPlayingDummy, this);
    checkForAuxSDPLine(this);
  } else {
    pthread_mutex_unlock(&fMutex);
  }
  envir().taskScheduler().doEventLoop(&fDoneFlag);
  // The caller closes its sink next: it must not be asked again.
  pthread_mutex_lock(&fMutex);
  if (fDummyRTPSink == rtpSink) {
    fDummyRTPSink = nullptr;
    envir().taskScheduler().unscheduleDelayedTask(fCheckTask);
  }
  pthread_mutex_unlock(&fMutex);
  return fAuxSDPLine;
}

void H264VideoFrameServerMediaSubsession::forgetSDPLines() {
  pthread_mutex_lock(&fMutex);
  delete[] fAuxSDPLine;
  fAuxSDPLine = nullptr;
  pthread_mutex_unlock(&fMutex);
  StreamMediaSubsession::forgetSDPLines();
}

const char *H264VideoFrameServerMediaSubsession::sdpLines() {
  RTPSink *live = liveSink();
  const char *line = live ? live->auxSDPLine() : nullptr;
  if (line && fAuxSDPLine && strcmp(line, fAuxSDPLine) != 0) {
    forgetSDPLines();
    size_t n = strlen(line) + 1;
    fAuxSDPLine = new char[n];
    memcpy(fAuxSDPLine, line, n);
  }
  return StreamMediaSubsession::sdpLines();
}

FramedSource *H264VideoFrameServerMediaSubsession::createNewStreamSource(unsigned,
                                                                         unsigned &estBitrate) {
  estBitrate = stream_estimated_bitrate(fStreamId, (uint8_t)fMode) / 1000;
  log_printf("H264Video estBitrate=%d kbps\n", (int)estBitrate);
  log_printf("[0]: %s\n", "createNewStreamSource");
  StreamDeviceSource *source =
      StreamDeviceSource::createNew(envir(), fStreamId, (uint8_t)fMode, rtp_video_h264);
  return H264VideoStreamDiscreteFramer::createNew(envir(), source, false, false);
}

RTPSink *H264VideoFrameServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock,
                                                               unsigned char rtpPayloadTypeIfDynamic,
                                                               FramedSource *) {
  OutPacketBuffer::maxSize = 1000000;
  H264VideoRTPSink *sink = H264VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic);
  rtsp_apply_packet_size(sink);
  log_printf("setting H264 packet size to %u\n", rtsp_params()->udp_packet_size);
  return sink;
}

// ---- AAC ----

ADTSAudioServerMediaSubsession *ADTSAudioServerMediaSubsession::createNew(UsageEnvironment &env,
                                                                          uint32_t streamId,
                                                                          uint8_t mode,
                                                                          bool reuseFirstSource) {
  return new ADTSAudioServerMediaSubsession(env, streamId, mode, reuseFirstSource);
}

ADTSAudioServerMediaSubsession::ADTSAudioServerMediaSubsession(UsageEnvironment &env,
                                                               uint32_t streamId, uint8_t mode,
                                                               bool reuseFirstSource)
    : StreamMediaSubsession(env, streamId, mode, reuseFirstSource) {}

FramedSource *ADTSAudioServerMediaSubsession::createNewStreamSource(unsigned,
                                                                    unsigned &estBitrate) {
  estBitrate = stream_estimated_bitrate(fStreamId, (uint8_t)fMode) / 1000;
  log_printf("ADTSAudio estBitrate=%d kbps\n", (int)estBitrate);
  return StreamDeviceSource::createNew(envir(), fStreamId, (uint8_t)fMode, rtp_audio_aac);
}

RTPSink *ADTSAudioServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock,
                                                          unsigned char rtpPayloadTypeIfDynamic,
                                                          FramedSource *) {
  return createAdtsRtpSink(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic);
}

// ---- PCM ----

PCMAudioServerMediaSubsession *PCMAudioServerMediaSubsession::createNew(UsageEnvironment &env,
                                                                        uint32_t streamId,
                                                                        uint8_t mode,
                                                                        bool reuseFirstSource) {
  return new PCMAudioServerMediaSubsession(env, streamId, mode, reuseFirstSource);
}

PCMAudioServerMediaSubsession::PCMAudioServerMediaSubsession(UsageEnvironment &env,
                                                             uint32_t streamId, uint8_t mode,
                                                             bool reuseFirstSource)
    : StreamMediaSubsession(env, streamId, mode, reuseFirstSource) {}

FramedSource *PCMAudioServerMediaSubsession::createNewStreamSource(unsigned,
                                                                   unsigned &estBitrate) {
  estBitrate = 1536;
  log_printf("PCMAudio estBitrate=%d, streamid %d\n", (int)estBitrate, (int)fStreamId);
  return StreamDeviceSource::createNew(envir(), fStreamId, (uint8_t)fMode, rtp_audio_pcm);
}

RTPSink *PCMAudioServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock, unsigned char,
                                                         FramedSource *) {
  log_printf("L16 RTP\n");
  // PCM_STREAM holds stereo at the capture rate.
  unsigned rate = rtsp_params()->audio.sample_rate ? rtsp_params()->audio.sample_rate : 48000;
  SimpleRTPSink *sink =
      SimpleRTPSink::createNew(envir(), rtpGroupsock, 96, rate, "audio", "L16", 2, true, true);
  rtsp_apply_packet_size(sink);
  return sink;
}

// ---- MPEG-TS ----

MPEG2TransportStreamServerMediaSubsession *MPEG2TransportStreamServerMediaSubsession::createNew(
    UsageEnvironment &env, uint32_t streamId, uint8_t mode, bool reuseFirstSource) {
  return new MPEG2TransportStreamServerMediaSubsession(env, streamId, mode, reuseFirstSource);
}

MPEG2TransportStreamServerMediaSubsession::MPEG2TransportStreamServerMediaSubsession(
    UsageEnvironment &env, uint32_t streamId, uint8_t mode, bool reuseFirstSource)
    : StreamMediaSubsession(env, streamId, mode, reuseFirstSource) {}

FramedSource *MPEG2TransportStreamServerMediaSubsession::createNewStreamSource(
    unsigned, unsigned &estBitrate) {
  estBitrate = stream_estimated_bitrate(fStreamId, (uint8_t)fMode) / 1000;
  log_printf("MPEG2TransportStream estBitrate=%d kbps\n", (int)estBitrate);
  StreamDeviceSource *source =
      StreamDeviceSource::createNew(envir(), fStreamId, (uint8_t)fMode, rtp_transport);
  return ZelkMPEG2TransportStreamFramer::createNew(envir(), source);
}

RTPSink *MPEG2TransportStreamServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock,
                                                                     unsigned char,
                                                                     FramedSource *) {
  return ZelkSimpleRTPSink::createNew(envir(), rtpGroupsock, 33, 90000, "video", "MP2T", 1, true,
                                      false);
}
