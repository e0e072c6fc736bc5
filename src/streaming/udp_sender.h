// The UDP and TCP stream senders ("udpA", "udpB"): each pushes one stream of
// the stream layer to the destination of its UDP[n] record, as plain
// datagrams, datagrams with a frame counter, datagrams with the packet and
// frame headers below (and a companion audio datagram), multicast RTP
// through the channel's multicaster, or a TCP stream. Each owns the run
// state of stream id 8 + n.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>

#include "core/global.h"
#include "core/param_block.h"
#include "media/stream_producer.h"

enum UdpSenderMode : uint8_t {
  UDP_MODE_RAW = 0,
  UDP_MODE_COUNTER = 1,     // 16-bit frame counter, least significant byte first
  UDP_MODE_HEADERS = 2,     // UdpPacketHeader / UdpFrameHeader, UdpAudioPacket
  UDP_MODE_MULTICAST = 3,   // RTP through the channel's multicaster
  UDP_MODE_TCP = 4
};

enum {
  UDP_PACKET_HEADER_SIZE = 16,
  UDP_FRAME_HEADER_SIZE = 44,
  UDP_AUDIO_PACKET_SIZE = 1068,
  UDP_AUDIO_SAMPLES = 512,
  UDP_AUDIO_AVERAGE = 12,   // 16-bit values averaged into one sample
  UDP_HEADERS_DATAGRAM = 1472,
  UDP_DEFAULT_DATAGRAM = 1400,  // when UDPPacketSize is below 1 or leaves no room
  UDP_STATUS_SIZE = 100
};

// The thread record: index 0 ("udpA", stream id 8) or 1 ("udpB", id 9).
struct UdpSenderEnv {
  ThreadEnv env;
  int index;
  ProducerState ps;
  pthread_mutex_t status_mutex;
  char status[UDP_STATUS_SIZE];
};

void *udpThrFxn(void *env);

// The status text (UDP[n].Status) copied out under the sender's lock; -1
// for an id that is not a sender's.
int udp_status_copy(int stream_id, char *buf, size_t size);
void udp_set_status(UdpSenderEnv *e, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The frame-format code of the channel's resolution (255 when unknown).
uint8_t udp_format_code(const ParamBlock *block, int channel);
void udp_put_le32(uint8_t *p, uint32_t v);

// A wall-clock second paired with the 90 kHz clock value at that second.
struct UdpTimePair {
  uint32_t seconds;
  uint32_t ticks;
};
// Moves the pair by whole seconds until ts lies 0 to 89999 ticks past it;
// returns the ticks past.
uint32_t udp_time_align(UdpTimePair *t, uint32_t ts);

// The cutting of one run's entries into datagrams; send is told each one
// and returns 0 to go on, -1 to end the run.
typedef int (*UdpSendFn)(void *ctx, const uint8_t *data, size_t size);
struct UdpFramer {
  uint8_t mode;
  uint32_t datagram_size;   // header included
  uint8_t format_code;
  uint8_t fps;
  uint32_t frame_count;     // incremented before each entry: the first is 1
  UdpTimePair video_time, audio_time;
  uint32_t audio_count;
  int32_t avg_sum;          // the values of the sample being averaged
  uint32_t avg_n;
  uint32_t nsamples;
  int16_t samples[UDP_AUDIO_SAMPLES];
  uint8_t buf[UDP_HEADERS_DATAGRAM];
  UdpSendFn send;
  void *ctx;
};
// The datagram size of a mode and UDPPacketSize.
uint32_t udp_datagram_size(uint8_t mode, uint32_t packet_size);
// The bytes a mode puts before the data (mode 2: the most, on a frame's
// first datagram).
uint32_t udp_mode_header(uint8_t mode);
// Whether UDPPacketSize is 1 or more yet leaves no room for data after the
// mode's header (so the default size is used).
bool udp_packet_size_too_small(uint8_t mode, uint32_t packet_size);
void udp_framer_init(UdpFramer *f, uint8_t mode, uint32_t packet_size, UdpSendFn send, void *ctx);
// One entry (a frame, or muxed bytes) of modes 0 to 2: counts it, cuts it.
int udp_framer_frame(UdpFramer *f, const uint8_t *data, uint32_t len, uint32_t ts);
// One 4096-byte PCM entry of mode 2: averages it into samples, sending a
// UdpAudioPacket at every 512th. -1 when send ended the run.
int udp_framer_pcm(UdpFramer *f, const uint8_t *data, uint32_t len, uint32_t ts);
