// The muxed modes of the stream layer (MPEG-TS, FLV, MP4): a consumer that
// attaches in one of them gets, per dequeue, one video unit followed by the
// audio units that belong before the next one, already packed into container
// bytes in its mux buffer. An MP4 consumer without a mux buffer has its
// muxer write to the muxer's own file; its dequeues then return the state's
// internalBuf, carrying the unit's sequence number, flags and timestamp but
// no data.
#pragma once
#include "media/stream_state.h"

// Size of a muxed consumer's output buffer: one dequeue never produces more.
enum { STREAM_MUX_BUF_SIZE = 0xD8000 };

// Plugs the muxed modes into the stream layer (stream_mux_ops); called once at
// start-up before any consumer attaches.
void stream_mux_init(void);

// Releases the muxer (an MP4 file is finished first) and the mux buffer;
// called after detach.
void muxer_free(StreamState *state);
// Ends the muxer's output while the consumer stays attached (an MP4 file
// is finished); nothing is dequeued until muxer_restart.
void muxer_finish(StreamState *state);
// A fresh muxer of the mode after muxer_finish, on the same time line: the
// next unit's stamps follow the last unit's, and a new TS output starts
// with its tables. 0 or -1.
int muxer_restart(StreamState *state, uint8_t mode);
// Releases only the mux buffer: a consumer whose MP4 muxer writes straight to
// its own file does this after attach.
void muxer_free_buf(StreamState *state);
