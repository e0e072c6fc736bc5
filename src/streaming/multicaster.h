// The two channels' multicasters: RTP and RTCP of a channel's H.264 and the
// AAC audio sent to the group of its UDP[n] record, announced by the RTSP
// server as "multicastA.h264" and "multicastA.h264_aac" (B likewise).
#pragma once
#include "media/stream_producer.h"

// Run by the UDP sender of the index in its multicast mode: waits for the
// channel's multicaster, starts it, keeps it sending until the sender is
// stopped or the process quits, then stops it.
void multicast_rtp_run(int index, ProducerState *sender);
