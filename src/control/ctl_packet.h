// Control protocol packets: the buffer, the typed field codec, the checksum
// and COBS framing. A pure library: no thread, no lock, no allocation.
//
// Wire packet (before framing), at most 254 bytes: kind (0 request, '@'
// reply, 0x80 notification), code (opcode, reply status or notification
// type), the fields little endian, and a checksum that brings the byte sum of
// the packet to 0 modulo 256. On the line a packet travels COBS-encoded and
// ended by one 0 byte, so a frame holds at most 256 bytes.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
  CTL_KIND_REQUEST = 0x00,
  CTL_KIND_REPLY = 0x40,
  CTL_KIND_EVENT = 0x80,
};

// Largest packet, kind byte to checksum byte.
#define CTL_PACKET_MAX 254
// Largest frame: code byte, packet, delimiter.
#define CTL_FRAME_MAX (CTL_PACKET_MAX + 2)

// The reply's status byte and the result of every client call.
typedef uint8_t CtlStatus;
enum {
  CTL_OK = 0,
  CTL_ERR_UNSUPPORTED = 1,
  CTL_ERR_RANGE = 2,
  CTL_ERR_MISSING_ARG = 3,
  CTL_ERR_STATE = 4,
  CTL_ERR_NO_FILE = 5,
  CTL_ERR_NO_MEMORY = 6,
  CTL_ERR_OPEN = 128,
  CTL_ERR_CLOSE = 129,
  CTL_ERR_SOCKET = 130,
  CTL_ERR_BIND = 131,
  CTL_ERR_BRIDGE_RX = 132,
  CTL_ERR_BRIDGE_TX = 133,
  CTL_ERR_MUTEX = 134,
  CTL_ERR_LOCKED = 135,
  CTL_ERR_CLOSED = 136,
  CTL_ERR_TOO_LARGE = 144,
  CTL_ERR_SEND = 145,
  CTL_ERR_READ = 160,
  CTL_ERR_SHORT = 161,
  CTL_ERR_LONG = 162,
  CTL_ERR_CHECKSUM = 163,
  CTL_ERR_KIND = 164,
  CTL_ERR_MISSING_DATA = 165,
  CTL_ERR_STRING_SIZE = 166,
  CTL_ERR_TIMEOUT = 167,
  CTL_ERR_EVENT_TYPE = 168,
  CTL_ERR_FILE_OP = 169,
  CTL_ERR_NO_VIDEO = 170,
};

// One direction's buffer. frame[0] is the COBS code slot, frame[1..254] the
// packet, and the delimiter goes behind the last byte: a 254-byte packet puts
// it on frame[255]. The spare byte lets a receive of sizeof(frame) bytes tell
// an over-long datagram from a full one.
struct CtlPacket {
  uint8_t frame[CTL_FRAME_MAX + 1];
  uint8_t error;   // 0 or a codec error; once set, puts and gets do nothing
  uint8_t *read;   // next byte to read
  uint8_t *write;  // next byte to write (after decoding: the checksum's successor)
};

// One request and its reply. A client fills request and receives reply; the
// dispatcher decodes into request and answers in reply.
struct CtlExchange {
  CtlPacket request;
  CtlPacket reply;
};

void ctl_init_request(CtlPacket *p, uint8_t opcode);
void ctl_init_reply(CtlPacket *p);
void ctl_init_event(CtlPacket *p, uint8_t type);
// The reply's status; drops every field put so far, keeps the error byte.
void ctl_set_status(CtlPacket *p, CtlStatus status);

void ctl_put_u8(CtlPacket *p, uint8_t v);
void ctl_put_u16(CtlPacket *p, uint16_t v);
void ctl_put_u32(CtlPacket *p, uint32_t v);
void ctl_put_u64(CtlPacket *p, uint64_t v);
void ctl_put_string(CtlPacket *p, const char *text);
void ctl_put_bytes(CtlPacket *p, const void *data, size_t count);

// Gets read up to the checksum byte; short of data they set 165 and return 0.
uint8_t ctl_get_u8(CtlPacket *p);
uint16_t ctl_get_u16(CtlPacket *p);
uint32_t ctl_get_u32(CtlPacket *p);
uint64_t ctl_get_u64(CtlPacket *p);
// The NUL-terminated string inside the packet, or "" on error (165 when its
// NUL does not come before the checksum).
const char *ctl_get_string(CtlPacket *p);
// Copies the string with its NUL into buf; 166 when it does not fit (nothing
// copied, the string still skipped). A null buf or size 0 only skips it.
void ctl_get_string_copy(CtlPacket *p, char *buf, size_t size);
// dst NULL skips count bytes.
void ctl_get_bytes(CtlPacket *p, void *dst, size_t count);
// Bytes left before the checksum.
size_t ctl_get_remaining(const CtlPacket *p);

void ctl_put_checksum(CtlPacket *p);
// Encodes the packet in place and writes the delimiter; returns the frame's
// length (code byte to delimiter).
size_t cobs_encode(CtlPacket *p);
// Decodes the n bytes received into p->frame (delimiter included; n at most
// sizeof p->frame) and verifies the checksum. Reads nothing past n. Returns
// the packet's error byte: 0, 161, 162 or 163.
CtlStatus ctl_decode_frame(CtlPacket *p, size_t n);

const char *ctl_strerror(unsigned code);
