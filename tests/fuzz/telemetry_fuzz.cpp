// Bytes from the serial line in the two text-like services: telemetry
// sentences into the overlay fields, and the control-protocol bridge's
// framing into a dispatcher that decodes each frame. The input is cut into
// reads at the places its own bytes name.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "control/serial_port.h"
#include "osd/osd_tokens.h"

namespace {

size_t decode_only(CtlExchange *ex, size_t n) {
  if (n > sizeof ex->request.frame) abort();
  ctl_decode_frame(&ex->request, n);
  return 0;
}

bool terminated(const char *field, size_t size) { return memchr(field, 0, size) != nullptr; }

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  auto t = std::make_unique<TelemetryReader>();
  auto b = std::make_unique<SerialBridge>();
  serial_frame_handler = decode_only;
  size_t at = 0;
  while (at < size) {
    size_t n = 1 + data[at] % 64;
    if (n > size - at) n = size - at;
    telemetry_feed(t.get(), (const char *)data + at, n);
    if (t->len > sizeof t->buf || (t->len && t->buf[0] != '$')) abort();
    serial_bridge_feed(b.get(), data + at, n, -1);
    at += n;
  }
  if (!terminated(overlay_fields.l, sizeof overlay_fields.l) ||
      !terminated(overlay_fields.p, sizeof overlay_fields.p) ||
      !terminated(overlay_fields.u, sizeof overlay_fields.u) ||
      !terminated(overlay_fields.m, sizeof overlay_fields.m))
    abort();
  return 0;
}
