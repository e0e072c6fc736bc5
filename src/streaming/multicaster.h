// The two channels' multicasters: RTP and RTCP of a channel's H.264 (payload
// type 96) and the AAC audio (111) sent to the group of its UDP[n] record at
// ports base + 0 to 3, TTL 255, and announced by the RTSP server as
// source-specific sessions "multicastA.h264" and "multicastA.h264_aac" (B
// likewise, or the custom name). They send only while the UDP sender of the
// same index runs in its multicast mode.
//
// Every multicaster object lives on the "rtp" thread. The sender asks that
// thread to start and stop one through an event trigger and waits for it.
#pragma once
#include "media/stream_producer.h"

class BasicUsageEnvironment;
class RTSPServer;

// "rtp" thread: makes multicaster 0 and 1 for a newly created server (which
// gets their sessions) and offers them to the senders.
void multicast_create_all(BasicUsageEnvironment &env, RTSPServer *server);
// "rtp" thread: withdraws both, stops a playing one and frees them (their
// sessions leave the server); right before the server is closed.
void multicast_delete_all(void);

// Run by the UDP sender of the index in its multicast mode: waits for the
// channel's multicaster (RTSP may be disabled or restarting), starts it,
// keeps it sending until the sender is stopped or the process quits, then
// stops it. An RTSP restart meanwhile moves it to the new multicaster.
void multicast_rtp_run(int index, ProducerState *sender);
