#include "streaming/rtsp_server.h"

#include <cstdio>
#include <cstring>

#include "core/global.h"
#include "core/log.h"
#include "core/process_util.h"
#include "media/stream_ids.h"
#include "streaming/multicaster.h"
#include "streaming/rtsp/server.h"
#include "streaming/rtsp_subsessions.h"

namespace {

ParamBlock *g_params;

const unsigned kReclamationSeconds = 65;

enum TrackKind { TRACK_NONE, TRACK_H264, TRACK_ADTS, TRACK_PCM, TRACK_TS };

struct TrackSpec {
  TrackKind kind;
  uint32_t stream_id;
  uint8_t mode;
};

struct SessionSpec {
  const char *name;
  TrackSpec tracks[2];
};

// The fixed sessions, in the order they are created.
const SessionSpec kSessions[] = {
    {"streamA.h264", {{TRACK_H264, 1, StreamMode_H264_ES}, {TRACK_NONE, 0, 0}}},
    {"streamB.h264", {{TRACK_H264, 2, StreamMode_H264_ES}, {TRACK_NONE, 0, 0}}},
    {"streamC.aac", {{TRACK_ADTS, 5, StreamMode_Audio_AAC}, {TRACK_NONE, 0, 0}}},
    {"streamC.pcm", {{TRACK_PCM, 4, StreamMode_Audio_PCM}, {TRACK_NONE, 0, 0}}},
    {"streamA.h264_aac", {{TRACK_H264, 1, StreamMode_H264_ES}, {TRACK_ADTS, 5, StreamMode_Audio_AAC}}},
    {"streamB.h264_aac", {{TRACK_H264, 2, StreamMode_H264_ES}, {TRACK_ADTS, 5, StreamMode_Audio_AAC}}},
    {"streamA.h264_pcm", {{TRACK_H264, 1, StreamMode_H264_ES}, {TRACK_PCM, 4, StreamMode_Audio_PCM}}},
    {"streamB.h264_pcm", {{TRACK_H264, 2, StreamMode_H264_ES}, {TRACK_PCM, 4, StreamMode_Audio_PCM}}},
    {"streamA.ts", {{TRACK_TS, 1, StreamMode_H264_AAC_TS}, {TRACK_NONE, 0, 0}}},
    {"streamB.ts", {{TRACK_TS, 2, StreamMode_H264_AAC_TS}, {TRACK_NONE, 0, 0}}},
    {"vstreamA.ts", {{TRACK_TS, 1, StreamMode_H264_TS}, {TRACK_NONE, 0, 0}}},
    {"vstreamB.ts", {{TRACK_TS, 2, StreamMode_H264_TS}, {TRACK_NONE, 0, 0}}},
};

ServerMediaSubsession *make_track(UsageEnvironment &env, const TrackSpec &t) {
  switch (t.kind) {
    case TRACK_H264: return H264VideoFrameServerMediaSubsession::createNew(env, t.stream_id, t.mode, true);
    case TRACK_ADTS: return ADTSAudioServerMediaSubsession::createNew(env, t.stream_id, t.mode, true);
    case TRACK_PCM: return PCMAudioServerMediaSubsession::createNew(env, t.stream_id, t.mode, true);
    case TRACK_TS: return MPEG2TransportStreamServerMediaSubsession::createNew(env, t.stream_id, t.mode, true);
    default: return nullptr;
  }
}

void add_session(UsageEnvironment &env, RTSPServer *server, const char *name,
                 const TrackSpec *tracks, int n) {
  ServerMediaSession *sms =
      ServerMediaSession::createNew(env, name, name, rtsp_session_description, false, nullptr);
  for (int i = 0; i < n; i++) {
    if (tracks[i].kind != TRACK_NONE) sms->addSubsession(make_track(env, tracks[i]));
  }
  server->addServerMediaSession(sms);
}

void add_sessions(UsageEnvironment &env, RTSPServer *server, const ParamBlock *p) {
  for (const SessionSpec &s : kSessions) add_session(env, server, s.name, s.tracks, 2);
  char name[sizeof p->rtsp_custom_stream_name + 1];
  memcpy(name, p->rtsp_custom_stream_name, sizeof p->rtsp_custom_stream_name);
  name[sizeof p->rtsp_custom_stream_name] = 0;
  uint8_t mode = p->rtsp_custom_stream_mode;
  if ((mode == 1 || mode == 2) && name[0]) {
    TrackSpec t = {TRACK_H264, mode, StreamMode_H264_ES};
    add_session(env, server, name, &t, 1);
  }
}

// Sleeps up to seconds, in steps that notice quit and a new RTSP setting.
void wait_seconds(int seconds) {
  for (int i = 0; i < seconds * 10 && !get_exit_code() && __atomic_load_n(&rtsp_watch, __ATOMIC_ACQUIRE) != 2; i++) sleep_ms(100);
}

}  // namespace

const char rtsp_session_description[] = "Session streamed by \"Marovant Model 7391\"";

ParamBlock *rtsp_params(void) { return g_params ? g_params : get_param_block(); }

UserAuthenticationDatabase *rtsp_auth_db_create(ParamBlock *params) {
  if (params->rtsp_disable_auth) return nullptr;
  UserAuthenticationDatabase *db = new UserAuthenticationDatabase(nullptr, false);
  for (int i = 0; i < PARAM_USER_COUNT; i++) {
    const UserRecord &u = params->users[i];
    char name[sizeof u.name + 1], password[sizeof u.password + 1];
    memcpy(name, u.name, sizeof u.name);
    name[sizeof u.name] = 0;
    memcpy(password, u.password, sizeof u.password);
    password[sizeof u.password] = 0;
    if (name[0] && u.permission >= 1) db->addUserRecord(name, password);
  }
  if (db->numUsers() == 0) {
    delete db;
    return nullptr;
  }
  return db;
}

void rtsp_apply_packet_size(MultiFramedRTPSink *sink) {
  if (!sink) return;
  int64_t n = (int64_t)rtsp_params()->udp_packet_size - 28;
  if (n > 0) sink->setPacketSizes((unsigned)n, (unsigned)n);
}

void *rtpThrFxn(void *arg) {
  ThreadEnv *env = static_cast<ThreadEnv *>(arg);
  g_params = env && env->params ? static_cast<ParamBlock *>(env->params) : get_param_block();
  myRendezvousInit(env ? env->start_rendezvous : nullptr, env ? env->name : "rtp");

  TaskScheduler *scheduler = BasicTaskScheduler::createNew(10000);
  UsageEnvironment *uenv = scheduler ? BasicUsageEnvironment::createNew(*scheduler) : nullptr;
  UserAuthenticationDatabase *authDB = nullptr;
  RTSPServer *server = nullptr;

  while (uenv && get_exit_code() == 0) {
    if (g_params->rtsp_disable) {
      sleep_ms(1000);
      continue;
    }
    __atomic_store_n(&rtsp_watch, (uint8_t)0, __ATOMIC_RELEASE);
    // The users are read at every (re)creation: RTSP_DisableAuth is one of
    // the settings that restart the server.
    delete authDB;
    authDB = rtsp_auth_db_create(g_params);
    server = RTSPServer::createNew(*uenv, g_params->rtsp_port, authDB, kReclamationSeconds);
    if (!server) {
      *uenv << "Failed to create RTSP server: " << uenv->getResultMsg() << "\n";
      wait_seconds(10);
      continue;
    }
    *uenv << "RTSP server created on port " << (unsigned)g_params->rtsp_port << "\n";
    add_sessions(*uenv, server, g_params);
    multicast_create_all(*uenv, server);

    for (;;) {
      scheduler->doEventLoop(&rtsp_watch);
      if (get_exit_code()) break;
      // Taken and cleared in one step: a restart asked for while a reload is
      // being read is not lost (writers only ever raise the value).
      uint8_t watch = __atomic_exchange_n(&rtsp_watch, (uint8_t)0, __ATOMIC_ACQ_REL);
      if (watch == 2) {
        log_printf("rtp restart\n");
        multicast_delete_all();
        Medium::close(server);
        server = nullptr;
        break;
      }
      log_printf("rtp reload users\n");
      UserAuthenticationDatabase *db = rtsp_auth_db_create(g_params);
      delete server->setAuthenticationDatabase(db);
      authDB = db;
    }
  }

  // Every RTSP object goes before the thread reports its end: the stream
  // layer's consumers are released on this thread.
  multicast_delete_all();
  Medium::close(server);
  delete authDB;
  if (uenv) uenv->reclaim();
  delete scheduler;
  myRendezvousCleanup(env ? env->cleanup_rendezvous : nullptr, env ? env->name : "rtp");
  return nullptr;
}
