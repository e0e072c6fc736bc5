// Control frames from any bytes: the decoder reads nothing past the length it
// is given, every get stays inside the packet, and a frame it accepts encodes
// back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "control/ctl_packet.h"

int fuzz_one(const uint8_t *data, size_t size) {
  // Longer inputs are handed over with their full length: the decoder must
  // refuse them without reading past its buffer.
  auto p = std::make_unique<CtlPacket>();
  size_t n = size < sizeof p->frame ? size : sizeof p->frame;
  memcpy(p->frame, data, n);
  uint8_t original[sizeof p->frame];
  memcpy(original, p->frame, n);
  CtlStatus st = ctl_decode_frame(p.get(), size);
  if (st != p->error) abort();
  if (st == 0) {
    if (p->write - p->frame < 4 || p->write - p->frame > CTL_FRAME_MAX - 1) abort();
    CtlPacket copy = *p;
    copy.read = copy.frame + (p->read - p->frame);
    copy.write = copy.frame + (p->write - p->frame);
    if (cobs_encode(&copy) != size || memcmp(copy.frame, original, size) != 0) abort();
  }
  // Every get, in an order taken from the input itself.
  char buf[16];
  uint8_t raw[8];
  for (size_t i = 0; i < 64; i++) {
    uint8_t op = size ? data[i % size] : (uint8_t)i;
    const uint8_t *before = p->read;
    switch (op % 9) {
      case 0: ctl_get_u8(p.get()); break;
      case 1: ctl_get_u16(p.get()); break;
      case 2: ctl_get_u32(p.get()); break;
      case 3: ctl_get_u64(p.get()); break;
      case 4: {
        const char *s = ctl_get_string(p.get());
        if (*s && (s < (const char *)p->frame || s + strlen(s) >= (const char *)p->write)) abort();
        break;
      }
      case 5: ctl_get_string_copy(p.get(), buf, 1 + op % sizeof buf); break;
      case 6: ctl_get_string_copy(p.get(), nullptr, 0); break;
      case 7: ctl_get_bytes(p.get(), raw, op % sizeof raw); break;
      default: ctl_get_bytes(p.get(), nullptr, op % 5); break;
    }
    if (p->read < before || p->read > p->write) abort();
  }
  return 0;
}
