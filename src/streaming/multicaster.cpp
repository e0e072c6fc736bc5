#include "streaming/multicaster.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "core/global.h"
#include "core/log.h"
#include "core/process_util.h"
#include "media/stream_ids.h"
#include "streaming/rtsp/h264_framer.h"
#include "streaming/rtsp/multicast.h"
#include "streaming/rtsp/rtp_formats.h"
#include "streaming/rtsp/server.h"
#include "streaming/rtsp_server.h"
#include "streaming/rtsp_subsessions.h"
#include "streaming/stream_device_source.h"

namespace {

const uint8_t kTTL = 255;
enum { GS_VIDEO_RTP, GS_VIDEO_RTCP, GS_AUDIO_RTP, GS_AUDIO_RTCP, GS_COUNT };

// The four flows use the base port and the three after it; a base too near
// the top would wrap them round to the low ports, so it gives none (0).
bool ports_fit(unsigned base) { return base != 0 && base <= 65535u - (GS_COUNT - 1); }
uint16_t flow_port(unsigned base, int i) { return ports_fit(base) ? (uint16_t)(base + (unsigned)i) : 0; }

}  // namespace

class Multicaster {
 public:
  Multicaster(UsageEnvironment &env, RTSPServer *server, int index);
  ~Multicaster();
  void startPlaying();
  void stopPlaying();
  bool playing() const { return fFramer != nullptr || fAudioSource != nullptr; }

 private:
  UsageEnvironment &fEnv;
  RTSPServer *fServer;
  int fIndex;
  H264VideoRTPSink *fVideoSink;
  MPEG4GenericRTPSink *fAudioSink;
  RTCPInstance *fVideoRTCP;
  RTCPInstance *fAudioRTCP;
  ServerMediaSession *fVideoSession;
  ServerMediaSession *fAvSession;
  H264VideoStreamDiscreteFramer *fFramer;   // owns the video source
  StreamDeviceSource *fAudioSource;
  struct in_addr fGroup;
  Groupsock *fGS[GS_COUNT];
};

Multicaster::Multicaster(UsageEnvironment &env, RTSPServer *server, int index)
    : fEnv(env),
      fServer(server),
      fIndex(index),
      fVideoSink(nullptr),
      fAudioSink(nullptr),
      fVideoRTCP(nullptr),
      fAudioRTCP(nullptr),
      fVideoSession(nullptr),
      fAvSession(nullptr),
      fFramer(nullptr),
      fAudioSource(nullptr) {
  ParamBlock *p = rtsp_params();
  const UdpParams &cfg = p->udp[index];
  memcpy(&fGroup.s_addr, cfg.addr, 4);
  for (int i = 0; i < GS_COUNT; i++)
    fGS[i] = Groupsock::createMulticast(env, fGroup, flow_port(cfg.port, i), kTTL);

  OutPacketBuffer::maxSize = 1000000;
  fVideoSink = H264VideoRTPSink::createNew(env, fGS[GS_VIDEO_RTP], 96);
  rtsp_apply_packet_size(fVideoSink);
  fAudioSink = createAdtsRtpSink(env, fGS[GS_AUDIO_RTP], 111);

  char cname[sizeof p->hostname + 1];
  memcpy(cname, p->hostname, sizeof p->hostname);
  cname[sizeof p->hostname] = 0;
  fVideoRTCP = RTCPInstance::createNew(env, fGS[GS_VIDEO_RTCP],
                                       stream_estimated_bitrate(index + 1, StreamMode_H264_ES) / 1000,
                                       cname, fVideoSink, nullptr, false);
  fVideoRTCP->stopReports();
  if (fAudioSink) {
    fAudioRTCP = RTCPInstance::createNew(env, fGS[GS_AUDIO_RTCP],
                                         stream_estimated_bitrate(AAC_STREAM, StreamMode_Audio_AAC) / 1000,
                                         cname, fAudioSink, nullptr, false);
    fAudioRTCP->stopReports();
  }

  char name[64];
  char custom[sizeof p->rtsp_custom_stream_name + 1];
  memcpy(custom, p->rtsp_custom_stream_name, sizeof p->rtsp_custom_stream_name);
  custom[sizeof p->rtsp_custom_stream_name] = 0;
  if (p->rtsp_custom_stream_mode == index + 3 && custom[0])
    snprintf(name, sizeof name, "%s", custom);
  else
    snprintf(name, sizeof name, "multicast%c.h264", 'A' + index);
  fVideoSession = ServerMediaSession::createNew(env, name, "test.264", rtsp_session_description, true);
  fVideoSession->addSubsession(PassiveServerMediaSubsession::createNew(*fVideoSink, fVideoRTCP));
  server->addServerMediaSession(fVideoSession);
  strncat(name, "_aac", sizeof name - strlen(name) - 1);
  fAvSession = ServerMediaSession::createNew(env, name, "test.264", rtsp_session_description, true);
  fAvSession->addSubsession(PassiveServerMediaSubsession::createNew(*fVideoSink, fVideoRTCP));
  if (fAudioSink)
    fAvSession->addSubsession(PassiveServerMediaSubsession::createNew(*fAudioSink, fAudioRTCP));
  server->addServerMediaSession(fAvSession);
}

Multicaster::~Multicaster() {
  if (playing()) stopPlaying();
  // The sessions go with the server that holds them (closed before or right
  // after): a session still there is withdrawn here, while its tracks'
  // sink and RTCP still live.
  if (fServer->lookupServerMediaSession(fAvSession->streamName()) == fAvSession)
    fServer->removeServerMediaSession(fAvSession);
  if (fServer->lookupServerMediaSession(fVideoSession->streamName()) == fVideoSession)
    fServer->removeServerMediaSession(fVideoSession);
  Medium::close(fVideoRTCP);
  Medium::close(fAudioRTCP);
  Medium::close(fVideoSink);
  Medium::close(fAudioSink);
  for (Groupsock *g : fGS) delete g;
}

void Multicaster::startPlaying() {
  log_printf("%s: idx=%d\n", "startPlaying", fIndex);
  const UdpParams &cfg = rtsp_params()->udp[fIndex];
  memcpy(&fGroup.s_addr, cfg.addr, 4);
  if (!ports_fit(cfg.port)) {
    log_printf("%s: idx=%d: ports %u to %u are not all between 1 and 65535: not sending\n",
               "startPlaying", fIndex, (unsigned)cfg.port, (unsigned)cfg.port + GS_COUNT - 1);
    return;
  }
  for (int i = 0; i < GS_COUNT; i++) {
    fGS[i]->changeDestinationParameters(fGroup, flow_port(cfg.port, i), kTTL);
    if (!fGS[i]->openMulticast())
      log_printf("%s: port %u: %s\n", "startPlaying", fGS[i]->port(), fEnv.getResultMsg());
  }
  rtsp_apply_packet_size(fVideoSink);
  log_printf("setup %d destination %08x, ports %d %d %d %d, ssm %d %d %d %d\n", fIndex,
             ntohl(fGroup.s_addr), fGS[0]->port(), fGS[1]->port(), fGS[2]->port(), fGS[3]->port(),
             0, 0, 0, 0);
  StreamDeviceSource *video =
      StreamDeviceSource::createNew(fEnv, (uint32_t)fIndex + 1, StreamMode_H264_ES, rtp_video_h264);
  fFramer = H264VideoStreamDiscreteFramer::createNew(fEnv, video, false, false);
  fVideoSink->presetNextTimestamp();
  fVideoSink->startPlaying(*fFramer, nullptr, nullptr);
  fVideoRTCP->startReports();
  if (fAudioSink) {
    fAudioSource = StreamDeviceSource::createNew(fEnv, AAC_STREAM, StreamMode_Audio_AAC, rtp_audio_aac);
    fAudioSink->presetNextTimestamp();
    fAudioSink->startPlaying(*fAudioSource, nullptr, nullptr);
    fAudioRTCP->startReports();
  }
  log_printf("%s: done\n", "startPlaying");
}

void Multicaster::stopPlaying() {
  log_printf("%s: idx=%d\n", "stopPlaying", fIndex);
  fVideoSink->stopPlaying();
  if (fAudioSink) fAudioSink->stopPlaying();
  // The receivers hear BYE before the group's sockets close.
  fVideoRTCP->stopReports();
  if (fAudioRTCP) fAudioRTCP->stopReports();
  Medium::close(fFramer);
  fFramer = nullptr;
  Medium::close(fAudioSource);
  fAudioSource = nullptr;
  for (Groupsock *g : fGS) g->closeSocket();
  log_printf("%s: done\n", "stopPlaying");
}

// ---- between the senders and the "rtp" thread ----

namespace {

enum Request { REQ_NONE, REQ_START, REQ_STOP };

struct Slot {
  Multicaster *mc;
  unsigned generation;   // changes whenever mc is withdrawn
  Request request;
  unsigned served;       // requests carried out (or dropped as stale)
  unsigned requestGeneration;
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
Slot g_slots[2];
TaskScheduler *g_scheduler;
EventTriggerId g_trigger;

// "rtp" thread: carries out what the senders asked.
void serve_requests(void *) {
  for (int i = 0; i < 2; i++) {
    pthread_mutex_lock(&g_mutex);
    Slot &s = g_slots[i];
    Request r = s.request;
    Multicaster *mc = s.mc && s.requestGeneration == s.generation ? s.mc : nullptr;
    s.request = REQ_NONE;
    pthread_mutex_unlock(&g_mutex);
    if (r == REQ_NONE) continue;
    if (mc && r == REQ_START && !mc->playing()) mc->startPlaying();
    if (mc && r == REQ_STOP && mc->playing()) mc->stopPlaying();
    pthread_mutex_lock(&g_mutex);
    s.served++;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_mutex);
  }
}

void deadline_after_ms(struct timespec *t, unsigned ms) { *t = clock_after_ms(CLOCK_REALTIME, ms); }

bool sender_done(ProducerState *sender) {
  return get_exit_code() != 0 || stream_state_stopping(sender);
}

// Sender side, g_mutex held: asks for r on the multicaster of generation
// gen and waits until it is done, the multicaster is withdrawn (the
// withdrawal stops it) or the process quits. With a sender, a request the
// "rtp" thread has not taken yet is withdrawn when the sender is stopped.
// false when not carried out.
bool call_locked(int index, Request r, unsigned gen, ProducerState *sender) {
  Slot &s = g_slots[index];
  if (!s.mc || s.generation != gen) return false;
  unsigned ticket = s.served;
  s.request = r;
  s.requestGeneration = gen;
  g_scheduler->triggerEvent(g_trigger);
  // Starting may wait for the encoder to leave JPEG mode: the wait is long
  // but bounded.
  for (int i = 0; i < 300 && s.served == ticket && s.generation == gen && !get_exit_code(); i++) {
    if (sender && s.request == r && sender_done(sender)) {
      s.request = REQ_NONE;
      return false;
    }
    struct timespec t;
    deadline_after_ms(&t, 100);
    pthread_cond_timedwait(&g_cond, &g_mutex, &t);
  }
  return s.served != ticket && s.generation == gen;
}

}  // namespace

void multicast_create_all(UsageEnvironment &env, RTSPServer *server) {
  Multicaster *mc[2] = {new Multicaster(env, server, 0), new Multicaster(env, server, 1)};
  pthread_mutex_lock(&g_mutex);
  if (!g_trigger) {
    g_scheduler = &env.taskScheduler();
    g_trigger = g_scheduler->createEventTrigger(serve_requests, nullptr);
  }
  for (int i = 0; i < 2; i++) {
    g_slots[i].mc = mc[i];
    g_slots[i].generation++;
  }
  pthread_cond_broadcast(&g_cond);
  pthread_mutex_unlock(&g_mutex);
}

void multicast_delete_all(void) {
  Multicaster *mc[2];
  pthread_mutex_lock(&g_mutex);
  for (int i = 0; i < 2; i++) {
    mc[i] = g_slots[i].mc;
    g_slots[i].mc = nullptr;
    g_slots[i].generation++;
    g_slots[i].request = REQ_NONE;
  }
  if (g_trigger) g_scheduler->deleteEventTrigger(g_trigger);
  g_trigger = 0;
  g_scheduler = nullptr;
  pthread_cond_broadcast(&g_cond);
  pthread_mutex_unlock(&g_mutex);
  for (Multicaster *m : mc) delete m;
}

void multicast_rtp_run(int index, ProducerState *sender) {
  if (index < 0 || index > 1) return;
  bool started = false;
  pthread_mutex_lock(&g_mutex);
  while (!sender_done(sender)) {
    Slot &s = g_slots[index];
    if (!s.mc) {
      // RTSP disabled or being restarted.
      struct timespec t;
      deadline_after_ms(&t, 200);
      pthread_cond_timedwait(&g_cond, &g_mutex, &t);
      continue;
    }
    unsigned gen = s.generation;
    if (!call_locked(index, REQ_START, gen, sender)) continue;
    if (!started) log_printf("multicast rstp streaming %d started\n", index);
    started = true;
    while (!sender_done(sender) && s.generation == gen) {
      struct timespec t;
      deadline_after_ms(&t, 200);
      pthread_cond_timedwait(&g_cond, &g_mutex, &t);
    }
    if (s.generation == gen) call_locked(index, REQ_STOP, gen, nullptr);
  }
  pthread_mutex_unlock(&g_mutex);
  if (started) log_printf("multicast rstp streaming %d finished\n", index);
}
