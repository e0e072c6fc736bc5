// The "rtp" thread: owns the RTSP server, its task scheduler and the fixed
// table of server media sessions of both video channels and the audio
// streams. Every RTSP/RTP object is created, used and deleted on it; other
// threads reach it only through a StreamDeviceSource's event trigger and
// rtsp_watch (core/global.h: 1 reload the users, 2 restart the server).
#pragma once
#include "core/param_block.h"
#include "streaming/rtsp/digest_auth.h"
#include "streaming/rtsp/rtp_sink.h"

// The description text of every session.
extern const char rtsp_session_description[];

// Thread function; its record is a ThreadEnv (core/global.h) whose params
// is the live ParamBlock.
void *rtpThrFxn(void *env);

// The parameter block all RTSP code reads: the thread record's, or the live
// block before the thread has run.
ParamBlock *rtsp_params(void);

// A database of the users whose name is set and whose permission is at least
// 1, with plain passwords; NULL when RTSP_DisableAuth is set or no user
// qualifies (no authentication then).
UserAuthenticationDatabase *rtsp_auth_db_create(ParamBlock *params);

// Every RTP sink's packet sizes: both UDPPacketSize - 28 (the IP and UDP
// headers) when that is positive; otherwise the sink keeps its own.
void rtsp_apply_packet_size(MultiFramedRTPSink *sink);
