// One RTMP client connection: its handshake, its chunk stream and commands,
// and live play of channel A or B. Everything here belongs to the
// connection's own thread; connections share nothing.
#pragma once
#include <cstdint>
#include <sys/uio.h>

#include "media/stream_state.h"
#include "streaming/rtmp/rtmp_chunk.h"

enum {
  RTMP_RECV_BUFFER = 2048,
  RTMP_IOV_BATCH = 1024,           // iovecs per sendmsg
  RTMP_SEND_TIMEOUT_S = 10,        // a send with no progress for this long ends the connection
  RTMP_HANDSHAKE_TIMEOUT_MS = 5000, // per read of the handshake
  RTMP_HANDSHAKE_DEADLINE_MS = 10000, // for the whole handshake
  RTMP_PLAY_DEADLINE_MS = 10000,    // from the accept to the first play, handshake included
  RTMP_IDLE_MS = 20000,             // a connection that stopped playing this long is closed
  RTMP_HEADER_ROOM = 2048,          // chunk headers of one batch (21 bytes a message at most)
  RTMP_VIDEO_ROOM = 4096,           // video bytes of one batch besides the ring's, at least
  RTMP_BATCH_ENTRIES = 64           // ring entries of one batch
};

// An entry of the stream ring being sent: the bytes stay in the ring.
struct RtmpEntry {
  const uint8_t *data;
  uint32_t length;
  uint32_t timestamp;  // 90 kHz
  uint32_t seq;
  uint8_t flags;       // FrameDesc flags
};

struct RtmpConnection {
  int fd;
  int quiet;            // one of many accepted together: its routine lines are not logged
  int playing;          // set by "play", cleared by "closeStream"
  // Asked before a "play" begins (playing 1) and told when it ends
  // ("closeStream", playing 0): 0 when the play may begin, -1 when the
  // server has all the players it may have (of the connection's address or
  // in all). NULL lets every play begin.
  int (*play_gate)(RtmpConnection *c, int playing);
  int refused;          // a play was refused: the connection ends (with a FIN, not a reset)
  int64_t idle_since;   // monotonic ms when it last stopped playing (or began)
  int64_t play_by;      // monotonic ms by which its first play must begin; 0 once one did
  uint64_t moved;       // bytes sent and received; read from other threads (__atomic)
  int channel;          // 0 or 1
  int audio;            // the channel's RTMPAudio at play
  uint32_t stream_id;   // given by createStream
  RtmpParser parser;
  uint8_t rx[RTMP_RECV_BUFFER];
  size_t rx_len;

  StreamState video;
  StreamState sound;
  int attached;         // channel + 1 while the states are attached, else 0
  RtmpHeader video_header;  // {21, -, -, 9, 1}
  RtmpHeader audio_header;  // {20, -, -, 8, 1}

  // Milliseconds: the 90 kHz clock extended past its wraps, and the base
  // added to it.
  int64_t ticks;
  uint32_t last_ts;
  uint32_t ts_base;

  uint8_t audio_tag;        // FLV audio tag byte
  int audio_config_sent;
  int first_packet;
  int catching_up;
  RtmpEntry held_audio;     // the audio entry that stopped the run before a video entry
  int have_held_audio;
  // The video's frame interval in 90 kHz ticks (0 while unknown), from the
  // timestamps of the last video entries; the ms stamp of the last video
  // message and whether this wake sent one.
  uint32_t frame_ticks;
  uint32_t last_video_ts;
  int have_video_ts;
  uint32_t video_ms;
  int video_sent;

  // The messages of one turn (the audio around a video entry) go out
  // together: their iovecs point into the ring and at the bytes below,
  // which stay put until the batch is sent.
  struct iovec iov[RTMP_IOV_BATCH];
  int iov_used;
  uint8_t headers[RTMP_HEADER_ROOM];  // chunk headers of the batch's messages
  size_t headers_used;
  RtmpEntry sent[RTMP_BATCH_ENTRIES];  // ring entries of the batch, checked once it is out
  StreamQueue *sent_queue[RTMP_BATCH_ENTRIES];
  int nsent;
  uint8_t audio_prefix[2];
  uint8_t audio_config[4];
  // The bytes a video message adds around the ring's (its tag header, the
  // NAL unit lengths, the decoder configuration), for the whole batch.
  uint8_t *room;
  size_t room_cap;
  size_t room_used;
  struct iovec *body;   // the pieces of the message being laid out
  int body_cap;
};

// The ms timestamp the first media message of a connection gets: 0 (tests
// start it near 0xFFFFFF).
extern uint32_t rtmp_start_ms;

// Sets c up over an accepted socket (heap-allocated by the caller: the
// record is too large for a connection thread's stack).
void rtmp_connection_init(RtmpConnection *c, int fd);
// Detaches and frees what the connection holds; does not close the socket.
void rtmp_connection_free(RtmpConnection *c);

// The server side of the handshake on the socket: 0, or -1 (logged).
int rtmp_handshake(RtmpConnection *c);
// Parses received bytes as the receive loop does, through the 2048-byte
// buffer, handling every complete message: 0, or -1 when the connection ends.
int rtmp_connection_feed(RtmpConnection *c, const uint8_t *data, size_t len);
// The loop after the handshake, until quit or the connection ends.
void rtmp_connection_run(RtmpConnection *c);

// One command message (type 20, or 17 with its leading format byte taken off).
int rtmp_handle_command(RtmpConnection *c, const RtmpHeader *h, const uint8_t *body);
// Builds a message body from fmt (see amf_build) and sends it on h's chunk
// stream, stamped now: 0 or -1.
int sendpacket(RtmpConnection *c, RtmpHeader *h, const char *fmt, ...);
// Sends one video or audio entry as it sits in the ring, stamped ms: 0 or -1.
int rtmp_send_video(RtmpConnection *c, const RtmpEntry *e, uint32_t ms);
int rtmp_send_audio(RtmpConnection *c, const RtmpEntry *e, uint32_t ms);
// The message timestamp in ms of a 90 kHz timestamp: the clock's wraps are
// counted, so timestamps stay monotonic across them.
uint32_t rtmp_timestamp(RtmpConnection *c, uint32_t ts);
// Makes ts the connection's time origin: it maps to rtmp_start_ms.
void rtmp_timestamp_origin(RtmpConnection *c, uint32_t ts);
