// Control requests on the overlay lines and images, the capture and audio
// settings, the distance encoders and the on-screen menu.
#include <cstdio>
#include <pthread.h>
#include <cstdlib>
#include <cstring>

#include "control/cmd_internal.h"
#include "control/status_events.h"
#include "core/log.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "osd/osd_channel.h"
#include "osd/osd_command.h"
#include "osd/osd_tokens.h"

namespace {

enum : uint32_t { KEY_MENU_OK = 0x10, KEY_UP = 0x40, KEY_DOWN = 0x80, KEY_ESCAPE = 0x1002 };

// Lines 0 to 15 are slots of channel 0; line 16 is its own text.
enum { OSD_LINES = 16, OSD_MAIN_LINE = 16 };
struct OsdLine {
  char *text;
  uint16_t y, x;
  uint8_t font;   // 0: off
  uint8_t background;
};
OsdLine osd_lines[OSD_LINES];

struct ImageBuffer {
  uint8_t *data;
  uint32_t size;
};
ImageBuffer images[OSD_SLOTS];

// Cleared for good by the first request for an off-board encoder.
bool onboard_counter = true;

OsdTextConfig *main_text(void) { return &cmd_params()->video[0].osd; }

// Channel 0's lock, held while its live configuration is written, so that a
// frame never takes a half-written one.
struct MainTextLock {
  pthread_mutex_t *m = &osd_channel(0)->lock;
  MainTextLock() { pthread_mutex_lock(m); }
  ~MainTextLock() { pthread_mutex_unlock(m); }
};

void line_refresh(int line) {
  const OsdLine &l = osd_lines[line];
  if (!l.font) return;
  osdSetText(line, l.x, l.y, l.text ? l.text : "", l.font, l.background);
  osdCopyChannel(0, 3);
}

void main_text_apply(void) {
  osdSetConfig(0, main_text());
  osdCopyChannel(0, 3);
}

double bits_to_double(int64_t bits) {
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

uint64_t double_to_bits(double d) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof bits);
  return bits;
}

}  // namespace

CMD_HANDLER(cmd_set_osd_text) {
  int line = (int)a->n[0];
  const char *text = a->s[0];
  log_printf("set_osd_text %d %s\n", line, text);
  if (line == OSD_MAIN_LINE) {
    MainTextLock l;
    OsdTextConfig *c = main_text();
    // The field holds 160 characters; the overlay does not need its NUL.
    size_t n = strnlen(text, sizeof c->message);
    memcpy(c->message, text, n);
    memset(c->message + n, 0, sizeof c->message - n);
    main_text_apply();
    return CTL_OK;
  }
  char *copy = strdup(text);
  if (!copy) return CTL_ERR_NO_MEMORY;
  free(osd_lines[line].text);
  osd_lines[line].text = copy;
  line_refresh(line);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_osd_position) {
  int line = (int)a->n[0], y = (int)a->n[1], x = (int)a->n[2];
  log_printf("set_osd_position %d %d %d\n", line, y, x);
  if (y >= 1080 || x >= 1920) return CTL_ERR_RANGE;
  if (line == OSD_MAIN_LINE) {
    MainTextLock l;
    main_text()->x = (uint32_t)x;
    main_text()->y = (uint32_t)y;
    main_text_apply();
    return CTL_OK;
  }
  osd_lines[line].y = (uint16_t)y;
  osd_lines[line].x = (uint16_t)x;
  line_refresh(line);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_osd_enable) {
  int line = (int)a->n[0], font = (int)a->n[1];
  log_printf("set_osd_enable %d %d\n", line, font);
  if (line == OSD_MAIN_LINE) {
    MainTextLock l;
    main_text()->enabled = (uint8_t)font;
    main_text_apply();
    return CTL_OK;
  }
  osd_lines[line].font = (uint8_t)font;
  if (font)
    line_refresh(line);
  else
    osdClearSlot(line);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_osd_background) {
  int line = (int)a->n[0], background = (int)a->n[1];
  log_printf("set_osd_background %d %d\n", line, background);
  if (line == OSD_MAIN_LINE) {
    MainTextLock l;
    main_text()->transparent = (uint8_t)background;
    osdCopyChannel(0, 3);
    return CTL_OK;
  }
  osd_lines[line].background = (uint8_t)background;
  line_refresh(line);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_osd_datetime_format) {
  MainTextLock l;
  main_text()->date_format = (uint8_t)a->n[0];
  main_text()->time_format = (uint8_t)a->n[1];
  main_text_apply();
  return CTL_OK;
}

CMD_HANDLER(cmd_get_osd_datetime_format) {
  ctl_put_u8(a->reply, main_text()->date_format);
  ctl_put_u8(a->reply, main_text()->time_format);
  return CTL_OK;
}

CMD_HANDLER(cmd_get_osd) {
  int line = (int)a->n[0];
  if (line == OSD_MAIN_LINE) {
    const OsdTextConfig *c = main_text();
    ctl_put_u8(a->reply, c->enabled);
    ctl_put_u8(a->reply, c->transparent);
    ctl_put_u16(a->reply, (uint16_t)c->y);
    ctl_put_u16(a->reply, (uint16_t)c->x);
    return CTL_OK;
  }
  const OsdLine &l = osd_lines[line];
  ctl_put_u8(a->reply, l.font);
  ctl_put_u8(a->reply, l.background);
  ctl_put_u16(a->reply, l.y);
  ctl_put_u16(a->reply, l.x);
  return CTL_OK;
}

CMD_HANDLER(cmd_image_alloc) {
  ImageBuffer &b = images[a->n[0]];
  free(b.data);
  b.size = 0;
  b.data = (uint8_t *)malloc((size_t)a->n[1]);
  if (!b.data) return CTL_ERR_NO_MEMORY;
  b.size = (uint32_t)a->n[1];
  return CTL_OK;
}

CMD_HANDLER(cmd_image_chunk) {
  ImageBuffer &b = images[a->n[0]];
  uint64_t offset = (uint64_t)a->n[1];
  if (offset + a->raw_len > b.size) return CTL_ERR_RANGE;
  // An empty chunk copies nothing (the buffer may not be allocated yet).
  if (a->raw_len) memcpy(b.data + offset, a->raw, a->raw_len);
  return CTL_OK;
}

CMD_HANDLER(cmd_image_commit) {
  int slot = (int)a->n[0];
  ImageBuffer &b = images[slot];
  CtlStatus st = CTL_OK;
  uint8_t *copy = (uint8_t *)malloc(b.size ? b.size : 1);
  if (!copy) {
    st = CTL_ERR_NO_MEMORY;
  } else {
    if (b.size) memcpy(copy, b.data, b.size);
    OverlayCommand c = {};
    c.data = copy;
    c.len = b.size;
    c.x = osd_lines[slot].x;
    c.y = osd_lines[slot].y;
    c.target = (uint32_t)slot;
    // Opaque, decoded as a run-length image: every channel has that route.
    c.opacity = 8;
    c.type = 1;
    // What the overlay cannot show is refused as a bad argument, as the
    // web upload refuses it, rather than answered ok and dropped.
    char why[160];
    if (osd_command_check(&c, why, sizeof why) != 0) {
      log_printf("%s: slot %d refused: %s\n", "cmd_image_commit", slot, why);
      free(copy);
      st = CTL_ERR_RANGE;
    } else {
      osdCommand(&c);
    }
  }
  free(b.data);
  b.data = nullptr;
  b.size = 0;
  return st;
}

CMD_HANDLER(cmd_set_capture_adjust) {
  CaptureParams &c = cmd_params()->capture;
  uint8_t v = (uint8_t)a->n[1];
  switch (a->n[0]) {
    case 0: c.brightness = v; break;
    case 2: c.contrast = v; break;
    case 3: c.hue = (int8_t)v; break;
    case 4: c.saturation = v; break;
    default: return CTL_ERR_RANGE;
  }
  return CTL_OK;
}

CMD_HANDLER(cmd_get_capture_adjust) {
  const CaptureParams &c = cmd_params()->capture;
  uint8_t v;
  switch (a->n[0]) {
    case 0: v = c.brightness; break;
    case 2: v = c.contrast; break;
    case 3: v = (uint8_t)c.hue; break;
    case 4: v = c.saturation; break;
    default: return CTL_ERR_RANGE;
  }
  ctl_put_u8(a->reply, v);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_capture_input) {
  cmd_params()->capture.input = (uint8_t)a->n[0];
  return CTL_OK;
}

CMD_HANDLER(cmd_get_capture_input) {
  ctl_put_u8(a->reply, cmd_params()->capture.input);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_capture_mode) {
  int rate = (int)a->n[2];
  if (rate == 3) return CTL_ERR_RANGE;
  ParamBlock *pb = cmd_params();
  pb->capture.standard = a->n[0] ? 6 : 5;
  pb->capture.interpolate = (uint8_t)a->n[1];
  pb->video[0].frame_rate = (uint8_t)(rate + 1);
  return CTL_OK;
}

CMD_HANDLER(cmd_get_capture_mode) {
  const ParamBlock *pb = cmd_params();
  ctl_put_u8(a->reply, pb->capture.standard == 5 ? 0 : 1);
  ctl_put_u8(a->reply, pb->capture.interpolate);
  ctl_put_u8(a->reply, (uint8_t)(pb->video[0].frame_rate - 1));
  return CTL_OK;
}

CMD_HANDLER(cmd_set_audio_input) {
  cmd_params()->audio.input = (uint8_t)a->n[0];
  return CTL_OK;
}

CMD_HANDLER(cmd_set_volume) {
  AudioParams &au = cmd_params()->audio;
  if (a->n[0] & 1) au.volume_left = (uint8_t)a->n[1];
  if (a->n[0] & 2) au.volume_right = (uint8_t)a->n[1];
  return CTL_OK;
}

CMD_HANDLER(cmd_set_mute) {
  AudioParams &au = cmd_params()->audio;
  uint8_t bits = (uint8_t)a->n[0];
  au.mute = (uint8_t)(a->n[1] ? au.mute | bits : au.mute & ~bits);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_agc) {
  AudioParams &au = cmd_params()->audio;
  if (a->n[0] & 1) au.agc_left = (uint8_t)a->n[1];
  if (a->n[0] & 2) au.agc_right = (uint8_t)a->n[1];
  return CTL_OK;
}

CMD_HANDLER(cmd_get_audio) {
  const AudioParams &au = cmd_params()->audio;
  const uint8_t v[7] = {au.input,       au.volume_left,
                        au.volume_right, (uint8_t)(au.mute & 1),
                        (uint8_t)((au.mute >> 1) & 1), au.agc_left,
                        au.agc_right};
  ctl_put_bytes(a->reply, v, sizeof v);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_encoder_count) {
  int ch = (int)a->n[0];
  if (param_apply_hooks.encoder_count_set)
    param_apply_hooks.encoder_count_set(ch, (int32_t)a->n[1]);
  else
    overlay_fields.count[ch] = (int32_t)a->n[1];
  return CTL_OK;
}

CMD_HANDLER(cmd_get_encoder_count) {
  int ch = (int)a->n[0];
  int32_t count = param_apply_hooks.encoder_count_get ? param_apply_hooks.encoder_count_get(ch)
                                                      : overlay_fields.count[ch];
  ctl_put_u32(a->reply, (uint32_t)count);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_encoder_scalar) {
  int ch = (int)a->n[0];
  double scale = bits_to_double(a->n[1]);
  log_printf("%s: chan=%d scalar=%f\n", "set_encoder_scalar", ch, scale);
  overlay_fields.scale[ch] = (float)scale;
  return CTL_OK;
}

CMD_HANDLER(cmd_set_offboard_encoder) {
  if (a->n[1]) {
    log_printf("using offboard encoder, disabling PIC\n");
    onboard_counter = false;
  }
  return CTL_OK;
}

CMD_HANDLER(cmd_get_encoder_scalar) {
  int ch = (int)a->n[0];
  double scale = overlay_fields.scale[ch];
  log_printf("%s: chan=%d scalar=%f\n", "get_encoder_scalar", ch, scale);
  ctl_put_u64(a->reply, double_to_bits(scale));
  ctl_put_u8(a->reply, !onboard_counter || ch > 1);
  return CTL_OK;
}

CMD_HANDLER(cmd_menu_reset) {
  // The menu closes one level per escape; a menu that will not close within
  // about 2 s is reported instead of waited for.
  for (int i = 0; status_get() & STATUS_MENU; i++) {
    if (i == 40) return CTL_ERR_STATE;
    cmd_post_key(KEY_ESCAPE);
    sleep_ms(50);
  }
  if (a->n[0]) cmd_post_key(KEY_MENU_OK);
  return CTL_OK;
}

CMD_HANDLER(cmd_menu_up_down) {
  cmd_post_key(a->n[0] ? KEY_UP : KEY_DOWN);
  return CTL_OK;
}

CMD_HANDLER(cmd_menu_select) {
  cmd_post_key(KEY_MENU_OK);
  ctl_put_u8(a->reply, 0);
  ctl_put_u8(a->reply, 0);
  ctl_put_string(a->reply, "");
  return CTL_OK;
}

CMD_HANDLER(cmd_menu_escape) {
  (void)a;
  cmd_post_key(KEY_ESCAPE);
  return CTL_OK;
}
