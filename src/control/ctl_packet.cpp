// Control protocol packets: field codec, checksum and COBS framing.
#include "control/ctl_packet.h"

#include <cstring>

namespace {

uint8_t *packet_start(CtlPacket *p) { return p->frame + 1; }

void packet_init(CtlPacket *p, uint8_t kind, uint8_t code) {
  p->frame[1] = kind;
  p->frame[2] = code;
  p->error = 0;
  p->read = p->frame + 3;
  p->write = p->frame + 3;
}

void put_le(CtlPacket *p, uint64_t v, size_t width) {
  if (p->error) return;
  if ((size_t)(p->write - packet_start(p)) + width > CTL_PACKET_MAX) {
    p->error = CTL_ERR_TOO_LARGE;
    return;
  }
  for (size_t i = 0; i < width; i++) *p->write++ = (uint8_t)(v >> (8 * i));
}

uint64_t get_le(CtlPacket *p, size_t width) {
  if (p->error) return 0;
  if (ctl_get_remaining(p) < width) {
    p->error = CTL_ERR_MISSING_DATA;
    return 0;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < width; i++) v |= (uint64_t)*p->read++ << (8 * i);
  return v;
}

// The string at the read position and its length, NUL excluded; NULL (and
// error 165) when no NUL comes before the checksum.
const char *take_string(CtlPacket *p, size_t *len) {
  if (p->error) return nullptr;
  size_t left = ctl_get_remaining(p);
  const uint8_t *nul = (const uint8_t *)memchr(p->read, 0, left);
  if (!nul) {
    p->error = CTL_ERR_MISSING_DATA;
    return nullptr;
  }
  const char *s = (const char *)p->read;
  *len = (size_t)(nul - p->read);
  p->read += *len + 1;
  return s;
}

uint8_t byte_sum(const uint8_t *from, const uint8_t *to) {
  uint8_t sum = 0;
  for (; from < to; from++) sum = (uint8_t)(sum + *from);
  return sum;
}

}  // namespace

void ctl_init_request(CtlPacket *p, uint8_t opcode) { packet_init(p, CTL_KIND_REQUEST, opcode); }
void ctl_init_reply(CtlPacket *p) { packet_init(p, CTL_KIND_REPLY, CTL_OK); }
void ctl_init_event(CtlPacket *p, uint8_t type) { packet_init(p, CTL_KIND_EVENT, type); }

void ctl_set_status(CtlPacket *p, CtlStatus status) {
  p->frame[2] = status;
  p->write = p->frame + 3;
}

void ctl_put_u8(CtlPacket *p, uint8_t v) { put_le(p, v, 1); }
void ctl_put_u16(CtlPacket *p, uint16_t v) { put_le(p, v, 2); }
void ctl_put_u32(CtlPacket *p, uint32_t v) { put_le(p, v, 4); }
void ctl_put_u64(CtlPacket *p, uint64_t v) { put_le(p, v, 8); }

void ctl_put_bytes(CtlPacket *p, const void *data, size_t count) {
  if (p->error) return;
  if ((size_t)(p->write - packet_start(p)) + count > CTL_PACKET_MAX) {
    p->error = CTL_ERR_TOO_LARGE;
    return;
  }
  if (count) memcpy(p->write, data, count);
  p->write += count;
}

void ctl_put_string(CtlPacket *p, const char *text) {
  if (!text) text = "";
  ctl_put_bytes(p, text, strlen(text) + 1);
}

size_t ctl_get_remaining(const CtlPacket *p) {
  // Everything before the checksum byte, the last one written.
  const uint8_t *end = p->write - 1;
  return p->read < end ? (size_t)(end - p->read) : 0;
}

uint8_t ctl_get_u8(CtlPacket *p) { return (uint8_t)get_le(p, 1); }
uint16_t ctl_get_u16(CtlPacket *p) { return (uint16_t)get_le(p, 2); }
uint32_t ctl_get_u32(CtlPacket *p) { return (uint32_t)get_le(p, 4); }
uint64_t ctl_get_u64(CtlPacket *p) { return get_le(p, 8); }

const char *ctl_get_string(CtlPacket *p) {
  size_t len;
  const char *s = take_string(p, &len);
  return s ? s : "";
}

void ctl_get_string_copy(CtlPacket *p, char *buf, size_t size) {
  size_t len;
  const char *s = take_string(p, &len);
  if (!s || !buf || size == 0) return;
  if (len + 1 > size) {
    p->error = CTL_ERR_STRING_SIZE;
    return;
  }
  memcpy(buf, s, len + 1);
}

void ctl_get_bytes(CtlPacket *p, void *dst, size_t count) {
  if (p->error) return;
  if (ctl_get_remaining(p) < count) {
    p->error = CTL_ERR_MISSING_DATA;
    return;
  }
  if (dst && count) memcpy(dst, p->read, count);
  p->read += count;
}

void ctl_put_checksum(CtlPacket *p) {
  if (p->error) return;
  ctl_put_u8(p, (uint8_t)(0u - byte_sum(packet_start(p), p->write)));
}

// Each 0 of the packet becomes a code slot; every code is 1 + the length of
// the non-zero run it starts. The packet is at most 254 bytes, so a run of
// 254 (code 255) is the whole packet and the encoding never grows past the
// code slot in front.
size_t cobs_encode(CtlPacket *p) {
  uint8_t *code = p->frame;
  for (uint8_t *b = packet_start(p); b < p->write; b++) {
    if (*b == 0) {
      *code = (uint8_t)(b - code);
      code = b;
    }
  }
  *code = (uint8_t)(p->write - code);
  *p->write = 0;
  return (size_t)(p->write - p->frame) + 1;
}

CtlStatus ctl_decode_frame(CtlPacket *p, size_t n) {
  p->read = p->write = packet_start(p);  // a failed frame reads as empty
  if (n == 0) return p->error = CTL_ERR_SHORT;
  if (n > sizeof p->frame) return p->error = CTL_ERR_LONG;
  const uint8_t *zero = (const uint8_t *)memchr(p->frame, 0, n);
  size_t count = zero ? (size_t)(zero - p->frame) : n;
  // The delimiter must be the last byte received: a 0 before it, or none at
  // all, is a broken frame, and so is one longer than a full packet's.
  if (count != n - 1 || count > CTL_FRAME_MAX - 1) return p->error = CTL_ERR_LONG;
  if (count <= 3) return p->error = CTL_ERR_SHORT;
  p->error = 0;
  p->write = p->frame + count;
  // Follow the chain of codes: each one names the place of the next, which
  // stood for a 0 of the packet. The last code lands on the delimiter; a
  // block of 255 is a full run with no 0 behind it, which in a packet of at
  // most 254 bytes can only be the whole packet.
  size_t at = 0;
  for (;;) {
    uint8_t c = p->frame[at];
    size_t next = at + c;
    if (next > count || (c == 0xFF && next != count)) return p->error = CTL_ERR_LONG;
    if (at) p->frame[at] = 0;
    if (next == count) break;
    at = next;
  }
  if (byte_sum(p->read, p->write) != 0) p->error = CTL_ERR_CHECKSUM;
  return p->error;
}

const char *ctl_strerror(unsigned code) {
  static const struct {
    unsigned code;
    const char *text;
  } texts[] = {
      {0, "no error"},
      {1, "command not supported"},
      {2, "command argument value outside legal range"},
      {3, "missing command argument"},
      {4, "command unavailable in current DVR state"},
      {5, "file not found"},
      {6, "can't allocate memory"},
      {128, "can't open DVR communication interface"},
      {129, "can't close DVR communication interface"},
      {130, "can't create socket"},
      {131, "socket bind failed"},
      {132, "failed to start bridge receiver"},
      {133, "failed to start bridge transmitter"},
      {134, "can't create mutex"},
      {135, "lock closed or timeout"},
      {136, "socket closed or shutdown"},
      {144, "command arguments too large"},
      {145, "failed to send command to DVR"},
      {160, "socket closed or read error"},
      {161, "abnormally short reply packet"},
      {162, "abnormally long reply packet"},
      {163, "receive checksum error"},
      {164, "unexpected/unknown TYPE code in reply or event"},
      {165, "missing expected data in DVR reply"},
      {166, "string buffer too small to receive reply"},
      {167, "read timeout"},
      {168, "unrecognized event type"},
  };
  for (const auto &t : texts)
    if (t.code == code) return t.text;
  return "unknown error";
}
