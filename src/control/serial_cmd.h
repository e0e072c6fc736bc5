// The serial command processor: short framed commands of an external
// recorder controller (class 8), a distance counter (class 9) and a flag
// word (class 1), decoded byte by byte from the serial line, carried out
// through a client channel to the local control service, and answered on
// the line.
//
// Frame: 0xAB, total length (7 to 254), address, class, command, payload,
// checksum (byte sum of everything before it), '>'. Replies have the same
// shape with 'l', 'm' or 'e' in the class byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>

struct CtlChannel;

#define SCP_FRAME_MAX 255

struct ScpState {
  pthread_mutex_t rx_mutex;     // the receive buffer
  uint8_t rx[SCP_FRAME_MAX];
  size_t rx_count;
  pthread_mutex_t reply_mutex;  // the reply buffer
  uint8_t reply[SCP_FRAME_MAX];
  size_t reply_len;
  CtlChannel *channel;
  uint8_t unit;                 // the channel's unit
  int32_t play_index;           // the file last chosen for playback, -1 unset
  uint8_t hold;                 // distance counter hold flag
  uint8_t flag_word;            // set by class 1
  uint8_t connected;            // 1 after open_tavik
};
extern ScpState scp_state;

// Sets up the state (mutexes, unset play index); done once.
void scp_init(ScpState *s);
// Takes one byte from the line; returns the length of a whole, valid frame
// left in s->rx (the buffer is emptied by the next byte), or 0. Faults are
// reported on the "C:" line.
size_t scp_feed(ScpState *s, uint8_t byte);
// Carries out the frame and builds its reply into s->reply; returns the
// reply's length, or 0 for none.
size_t scp_handle(ScpState *s, const uint8_t *frame, size_t len);

// Mode 6's set-up and end: the channel to the local control service (unit
// byte, 2000 ms), the off-board distance encoder and the feet display.
void open_tavik(void);
void close_tavik(void);
// The loop: frames from serial_fd until an event on event_fd or quit.
// Returns 1 when a quit event ended it, else 0.
int serial_cmd_processor(int serial_fd, int event_fd);
