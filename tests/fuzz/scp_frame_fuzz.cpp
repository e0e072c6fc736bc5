// Serial command processor frames from any bytes, one byte at a time, each
// whole frame carried out against a scripted control service whose status
// word, file count and failing request come from the input's first bytes.
// Every reply is a well-formed frame of one of the defined lengths.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../control/scp_responder.h"
#include "control/serial_cmd.h"

namespace {

ScpResponder &responder() {
  static ScpResponder *r = new ScpResponder();
  return *r;
}

void check_reply(const ScpState *s, size_t len) {
  if (len == 0) return;
  if (len != 7 && len != 8 && len != 11 && len != 13) abort();
  const uint8_t *r = s->reply;
  uint8_t sum = 0;
  for (size_t i = 0; i < len - 2; i++) sum = (uint8_t)(sum + r[i]);
  if (r[0] != 0xAB || r[1] != len || r[len - 2] != sum || r[len - 1] != '>') abort();
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static ScpState *s = [] {
    ScpState *st = new ScpState();
    scp_init(st);
    st->channel = responder().open(500);
    return st;
  }();
  if (size < 4) return 0;
  {
    ScpResponder &r = responder();
    std::lock_guard<std::mutex> l(r.m);
    memset(r.status, 0, sizeof r.status);
    r.word = data[0];
    r.count = data[1] % 5;
    r.status[data[2]] = data[3];
  }
  s->rx_count = 0;
  s->play_index = (int8_t)data[1];
  for (size_t i = 4; i < size; i++) {
    size_t len = scp_feed(s, data[i]);
    if (s->rx_count >= SCP_FRAME_MAX) abort();
    if (!len) continue;
    if (len < 7 || len > SCP_FRAME_MAX || s->rx[0] != 0xAB || s->rx[len - 1] != '>') abort();
    uint8_t frame[SCP_FRAME_MAX];
    memcpy(frame, s->rx, len);
    check_reply(s, scp_handle(s, frame, len));
  }
  responder().take_requests();
  return 0;
}
