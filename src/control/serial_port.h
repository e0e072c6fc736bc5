// The "serial" thread: owns the serial port /dev/ttyS0 and runs on it the
// service Serial.StreamID selects: key frames of a video stream out (1, 2),
// a relay to TCP or UDP (3 server, 4 client, 5 UDP), the serial command
// processor (6), the control-protocol bridge (7), the login console (8) or
// the "$TRIS," telemetry sentences into the overlay fields (9). It produces
// stream id 15 and serves one round per start of that stream; an eventfd
// wakes it for quit, baud-rate and mode changes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <termios.h>

#include "control/ctl_packet.h"

struct ParamBlock;

// Events written to serial_event_fd as 8-byte counts.
enum { SERIAL_EVENT_QUIT = 1, SERIAL_EVENT_BAUDRATE = 2, SERIAL_EVENT_PROTOCOL = 3 };

// The status lines the diagnostics show, read as a copy taken under a lock.
enum SerialLine {
  SERIAL_LINE_SERVICE,   // "Stopped", "Streaming, accepted from %s"...
  SERIAL_LINE_PORT,      // "Port: Closed", "Streaming, rx:%llu tx:%llu"...
  SERIAL_LINE_COMMAND,   // "C: %s"
  SERIAL_LINE_RESULT,    // "R: %s"
  SERIAL_LINES
};
#define SERIAL_LINE_SIZE 80
struct SerialStatus {
  char line[SERIAL_LINES][SERIAL_LINE_SIZE];
};
void serial_set_line(int line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void serial_status_get(SerialStatus *out);
// Serial.Status (stream id 15): the service line, and the port line while a
// round runs. -1 for any other id.
int serial_status_copy(int stream_id, char *buf, size_t size);

void *serialThrFxn(void *env);

// The TCP relay (modes 3 and 4) keeps its peer under TCP keep-alive, so one
// that vanished is dropped; in mode 3 a peer that has moved no byte either
// way for this long and has stopped answering (a keep-alive probe or sent
// bytes unacknowledged) gives its place to the next that connects sooner
// (tests shorten it). A quiet peer that answers keeps its place.
extern int serial_peer_idle_ms;

// Quit, baud-rate and mode changes from other threads: each writes its event
// when a round is running.
void serial_global_quit(void);
void serial_change_protocol(ParamBlock *params, int mode);
void serial_change_baudrate(ParamBlock *params, int rate);
// Reads one event: 1 or 2 for those values, else 0 (-1 when nothing could
// be read).
int serial_read_event(int fd);
// Writes to the port unless fd is -1.
void serial_send_response(int fd, const void *data, size_t length);

// The terminal speed of a rate of the table (921000 is taken for 921600);
// false for a rate the port does not have.
bool serial_speed_of(uint32_t rate, speed_t *speed);
// The termios of a round: raw 8 bits, one stop bit, no flow control,
// VMIN 1 and VTIME 1, parity 0 none, 1 odd, 2 even, 3 mark, 4 space.
void serial_make_termios(struct termios *t, speed_t speed, int parity);

// Mode 7: the dispatcher's answer to one frame of n bytes in ex->request
// (delimiter included); it returns the length of the reply frame it left in
// ex->reply, or 0 for none. Set by main; NULL answers nothing.
typedef size_t (*SerialFrameHandler)(CtlExchange *ex, size_t n);
extern SerialFrameHandler serial_frame_handler;
// The bridge's framing: feeds n bytes from the line and answers each finished
// frame on out_fd. The exchange is the bridge's own.
struct SerialBridge {
  CtlExchange ex;
  size_t count;          // bytes of the frame so far, at most 255 kept
  uint32_t rx;
  uint32_t errors;
};
void serial_bridge_feed(SerialBridge *b, const uint8_t *data, size_t n, int out_fd);

// Mode 9: the sentence reader. Bytes before a '$' are dropped, and a full
// buffer that holds no whole sentence is emptied.
struct TelemetryReader {
  char buf[1024];
  size_t len;
};
// Appends n bytes and takes every whole "$TRIS," sentence into the overlay
// fields l, p, u and m. Returns the number of sentences taken.
int telemetry_feed(TelemetryReader *r, const char *data, size_t n);
