// Requests from any bytes: the input is taken once as a received frame and
// once as a packet body (opcode and fields) framed correctly, so every row's
// field reader and handler sees short, long and out-of-range fields. The
// reply always decodes, and the program's state stays usable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "control/cmd_exec.h"
#include "control/status_events.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "osd/osd_channel.h"
#include "fuzz_root.h"
#include "storage/playback.h"

namespace {

ParamBlock block;

void check_reply(const CtlExchange &ex, size_t len) {
  if (!len) return;
  if (len > CTL_FRAME_MAX) abort();
  auto p = std::make_unique<CtlPacket>();
  memcpy(p->frame, ex.reply.frame, len);
  if (ctl_decode_frame(p.get(), len) != CTL_OK || ctl_get_u8(p.get()) != CTL_KIND_REPLY) abort();
}

void setup(void) {
  fuzz_root();
  osdInit(&block);
  status_events_init(&block);
  param_apply_hooks.dvr_post_key = [](uint32_t) {};
  cmd_hooks.record_filename = [](char *buf, size_t size, int) {
    strncpy(buf, "20240101-000.mp4", size - 1);
    buf[size - 1] = 0;
    return 0;
  };
  cmd_hooks.dvr_set_filename = [](int, const char *name) { return name[0] == 'a' ? 0 : -1; };
  TrickMode = 1;
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  static bool ready = (setup(), true);
  (void)ready;
  // Neither the menu bit (menu_reset would wait) nor the shutdown bit.
  status_update(0, STATUS_MENU, "fuzz");
  auto ex = std::make_unique<CtlExchange>();
  size_t n = size < sizeof ex->request.frame ? size : sizeof ex->request.frame;
  memcpy(ex->request.frame, data, n);
  check_reply(*ex, cmd_exec_frame(ex.get(), size));

  if (size == 0 || data[0] == 10) return 0;   // set_time would move the clock
  ctl_init_request(&ex->request, data[0]);
  ctl_put_bytes(&ex->request, data + 1, size - 1 < CTL_PACKET_MAX - 3 ? size - 1 : CTL_PACKET_MAX - 3);
  ctl_put_checksum(&ex->request);
  size_t framed = cobs_encode(&ex->request);
  check_reply(*ex, cmd_exec_frame(ex.get(), framed));
  return 0;
}
