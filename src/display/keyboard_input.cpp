#include "display/keyboard_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/ioctl.h>

#include "core/log.h"
#include "core/log_episode.h"
#include "core/param_block.h"
#include "display/dvr_keys.h"
#include "display/gui_layout.h"
#include "display/hd_display.h"
#include "display/osd_windows.h"
#include "display/text_entry.h"
#include "platform/device.h"

InputState gui_input;

namespace {

constexpr int kSlots = 4;
struct InputSlot {
  int fd = -1;
  unsigned long types = 0;   // event-type bits
  LogEpisode failures = {};  // reads failing on every scan
};
InputSlot g_slots[kSlots];
int g_raw_scale = 1;   // the OSD scale of gui_input's raw position

// US layout by key code: plain and shifted; the keypad gives its characters
// whatever Num Lock says.
struct CharTables {
  unsigned char plain[100], shifted[100];
  CharTables() : plain{}, shifted{} {
    auto put = [](unsigned char *t, int from, const char *s) {
      for (; *s; s++) t[from++] = (unsigned char)*s;
    };
    put(plain, 2, "1234567890-=");
    put(shifted, 2, "!@#$%^&*()_+");
    put(plain, 16, "qwertyuiop[]");
    put(shifted, 16, "QWERTYUIOP{}");
    put(plain, 30, "asdfghjkl;'`");
    put(shifted, 30, "ASDFGHJKL:\"~");
    put(plain, 43, "\\zxcvbnm,./");
    put(shifted, 43, "|ZXCVBNM<>?");
    for (unsigned char *t : {plain, shifted}) {
      t[KEY_KPASTERISK] = '*';
      t[KEY_SPACE] = ' ';
      put(t, KEY_KP7, "789-456+1230.");
      t[KEY_KPSLASH] = '/';
    }
    plain[KEY_102ND] = '\\';
    shifted[KEY_102ND] = '|';
  }
};
const CharTables g_chars;

enum : uint8_t { NEED_NONE, NEED_CTRL, NEED_CTRL_SHIFT };
struct KeyMapRow {
  uint16_t code;
  uint8_t need;
  DvrKey key;
};
// Rows are tried in order: a row whose modifiers are not held falls through
// to the next row of the same code.
const KeyMapRow kKeyMap[] = {
    {KEY_ESC, NEED_NONE, DVR_KEY_ESCAPE},
    {KEY_BACKSPACE, NEED_NONE, DVR_KEY_ESCAPE},
    {KEY_1, NEED_NONE, DVR_KEY_RESET_ENCODER1},
    {KEY_2, NEED_NONE, DVR_KEY_RESET_ENCODER2},
    {KEY_E, NEED_NONE, DVR_KEY_EXTRA_OVERLAY},
    {KEY_R, NEED_NONE, DVR_KEY_RECORD_TOGGLE},
    {KEY_T, NEED_NONE, DVR_KEY_TITLE_OVERLAY},
    {KEY_U, NEED_CTRL_SHIFT, DVR_KEY_FIRMWARE_UPDATE},
    {KEY_O, NEED_NONE, DVR_KEY_OVERLAY_MENU},
    {KEY_P, NEED_NONE, DVR_KEY_PLAY_PAUSE},
    {KEY_ENTER, NEED_NONE, DVR_KEY_MENU_OK},
    {KEY_SPACE, NEED_NONE, DVR_KEY_MENU_OK},
    {KEY_F2, NEED_NONE, DVR_KEY_MENU_OK},
    {KEY_KPENTER, NEED_NONE, DVR_KEY_MENU_OK},
    {KEY_A, NEED_NONE, DVR_KEY_ADDTL_OVERLAY},
    {KEY_S, NEED_NONE, DVR_KEY_SNAPSHOT},
    {KEY_D, NEED_CTRL_SHIFT, DVR_KEY_DIAG_MENU},
    {KEY_D, NEED_NONE, DVR_KEY_REW_BACK},
    {KEY_F, NEED_NONE, DVR_KEY_FF_OK},
    {KEY_K, NEED_NONE, DVR_KEY_ADVANCED_CFG},
    {KEY_C, NEED_NONE, DVR_KEY_CODED_OVERLAY},
    {KEY_B, NEED_NONE, DVR_KEY_REW_BACK},
    {KEY_M, NEED_NONE, DVR_KEY_MUTE_TOGGLE},
    {KEY_F1, NEED_CTRL, DVR_KEY_ENCODER_DISTANCE},
    {KEY_F4, NEED_NONE, DVR_KEY_OVERLAY_POSITION},
    {KEY_F6, NEED_NONE, DVR_KEY_RESET_ENCODER1},
    {KEY_F10, NEED_NONE, DVR_KEY_EXTRA_OVERLAY},
    {KEY_UP, NEED_NONE, DVR_KEY_UP},
    {KEY_PAGEUP, NEED_NONE, DVR_KEY_PAGE_UP},
    {KEY_LEFT, NEED_NONE, DVR_KEY_REW_BACK},
    {KEY_RIGHT, NEED_NONE, DVR_KEY_FF_OK},
    {KEY_DOWN, NEED_NONE, DVR_KEY_DOWN},
    {KEY_PAGEDOWN, NEED_NONE, DVR_KEY_PAGE_DOWN},
    {BTN_RIGHT, NEED_NONE, DVR_KEY_ESCAPE},
};

// A modifier key: its own bit, the combined bit of its pair, and the other
// key's bit.
struct ModifierKey {
  uint16_t code;
  uint32_t own, any, other;
};
const ModifierKey kModifiers[] = {
    {KEY_LEFTSHIFT, MOD_LSHIFT, MOD_SHIFT, MOD_RSHIFT}, {KEY_RIGHTSHIFT, MOD_RSHIFT, MOD_SHIFT, MOD_LSHIFT},
    {KEY_LEFTCTRL, MOD_LCTRL, MOD_CTRL, MOD_RCTRL},     {KEY_RIGHTCTRL, MOD_RCTRL, MOD_CTRL, MOD_LCTRL},
    {KEY_LEFTALT, MOD_LALT, MOD_ALT, MOD_RALT},         {KEY_RIGHTALT, MOD_RALT, MOD_ALT, MOD_LALT},
};

const char *const kTypeNames[] = {" (Synch Events)", " (Keys or Buttons)", " (Relative Axes)",
                                  " (Absolute Axes)", " (Miscellaneous)", nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, " (LEDs)", " (Sounds)", nullptr, " (Repeat)", " (Force Feedback)",
                                  " (Power Management)"};

void set_keyboard_status(int on) {
  if (dvr_key_hooks.status_update)
    dvr_key_hooks.status_update(on ? DVR_STATUS_KEYBOARD : 0, DVR_STATUS_KEYBOARD, "keyboard_scan");
}

int scale(void) { return osd_scale > 0 ? osd_scale : 1; }

bool bit_set(const unsigned long *bits, unsigned n) {
  return bits[n / (8 * sizeof(long))] & (1ul << (n % (8 * sizeof(long))));
}

void open_slot(int n, InputSlot &s) {
  char path[] = "/dev/event0";
  path[sizeof path - 2] = char('0' + n);
  int fd = dev_open(path, O_RDWR | O_NONBLOCK);
  if (fd < 0) return;
  unsigned long types[2] = {};
  dev_ioctl(fd, EVIOCGBIT(0, sizeof types), types);
  s.fd = fd;
  s.types = types[0];
  log_printf("%s: bits=%lx\n", path, s.types);
  for (unsigned t = 0; t < sizeof kTypeNames / sizeof *kTypeNames; t++)
    if (kTypeNames[t] && (s.types & (1ul << t))) log_printf("%s\n", kTypeNames[t]);
  if (s.types & (1ul << EV_REP)) {
    unsigned rep[2] = {500, 100};
    dev_ioctl(fd, EVIOCSREP, rep);
    dev_ioctl(fd, EVIOCGREP, rep);
    log_printf("keyboard repeat %d %d\n", rep[0], rep[1]);
    gui_input.keyboard_present = 1;
    set_keyboard_status(1);
  }
  if (s.types & (1ul << EV_ABS)) {
    unsigned long abs[2] = {};
    dev_ioctl(fd, EVIOCGBIT(EV_ABS, sizeof abs), abs);
    log_printf("ABS bits %lx %lx\n", abs[0], abs[1]);
    input_absinfo &x = gui_input.abs_x, &y = gui_input.abs_y;
    dev_ioctl(fd, EVIOCGABS(ABS_X), &x);
    dev_ioctl(fd, EVIOCGABS(ABS_Y), &y);
    log_printf("X: %d (%d %d %d %d)\n", x.value, x.minimum, x.maximum, x.flat, x.fuzz);
    log_printf("Y: %d (%d %d %d %d)\n", y.value, y.minimum, y.maximum, y.flat, y.fuzz);
    if (bit_set(abs, ABS_X) && bit_set(abs, ABS_Y)) gui_input.pointer_device = 1;
  }
  if (s.types & (1ul << EV_REL)) {
    gui_input.pointer_device = 1;
    gui_input.x = gui_input.y = 100;
    g_raw_scale = scale();
    gui_input.raw_x = gui_input.raw_y = 100 * g_raw_scale;
    osd_cursor_config(19, gui_input.raw_x, gui_input.raw_y, 9, 9);
  }
}

void close_slot(InputSlot &s) {
  dev_close(s.fd);
  s.fd = -1;
  if (s.types & (1ul << EV_REP)) {
    gui_input.keyboard_present = 0;
    set_keyboard_status(0);
  }
  if (s.types & (1ul << EV_ABS)) gui_input.pointer_device = 0;
  s.types = 0;
  s.failures = {};
}

bool any(uint32_t mask) { return (gui_input.modifiers & mask) != 0; }

// The character a key types in text mode, 0 for none.
unsigned char key_char(unsigned code) {
  if (code >= 100) return 0;
  unsigned char c = any(MOD_SHIFT) ? g_chars.shifted[code] : g_chars.plain[code];
  if (any(MOD_CAPS) && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c ^= 0x20;
  ParamBlock *p = get_param_block();
  if (!p || p->dvr_keyboard_layout != 1) return c;
  if (any(MOD_RALT)) {
    switch (c) {
      case 'e': return 130;
      case 'E': return 144;
      case 'A': return 157;
      case 'a': return 160;
      case 'i': return 161;
      case 'o': return 162;
      case 'u': return 163;
      case '`': return '|';
    }
    return c;
  }
  if (c == '"') return '@';
  if (c == '@') return '"';
  if (code == KEY_GRAVE && any(MOD_SHIFT)) return 170;
  if (code == KEY_3 && any(MOD_SHIFT)) return 156;
  if (code == KEY_BACKSLASH) return any(MOD_SHIFT) ? '~' : '#';
  return c;
}

// Text mode: a character or an edit key is consumed.
bool text_key(unsigned code) {
  TextEntry &t = text_entry;
  pthread_mutex_lock(&t.mutex);
  bool consumed = false;
  if (t.text_mode) {
    unsigned char c = key_char(code);
    consumed = true;
    if (c) {
      text_entry_insert(char(c));
    } else if (code == KEY_LEFT) {
      text_entry_left();
    } else if (code == KEY_RIGHT) {
      text_entry_right();
    } else if (code == KEY_HOME) {
      text_entry_home();
    } else if (code == KEY_END) {
      text_entry_end();
    } else if (code == KEY_DELETE) {
      if (any(MOD_CTRL))
        dvr_post_key(DVR_KEY_CTRL_DELETE);
      else
        text_entry_delete();
    } else if (code == KEY_BACKSPACE) {
      text_entry_backspace();
    } else {
      consumed = false;
    }
  }
  pthread_mutex_unlock(&t.mutex);
  return consumed;
}

void key_event(const input_event &ev) {
  for (const ModifierKey &m : kModifiers) {
    if (ev.code != m.code) continue;
    if (ev.value == 0) {
      gui_input.modifiers &= ~(m.own | m.any);
      if (gui_input.modifiers & m.other) gui_input.modifiers |= m.any;
    } else {
      gui_input.modifiers |= m.own | m.any;
    }
    return;
  }
  if (ev.value == 0 || !(ev.value & osd_layout.key_accept)) return;
  if (text_key(ev.code)) return;
  if (ev.code == KEY_F12) {
    Display_standard_cycle();
    return;
  }
  if (ev.code == BTN_LEFT) {
    if (ev.value != 1) return;
    log_printf("mouse click %d,%d\n", gui_input.x, gui_input.y);
    gui_input.click_pending = 1;
    dvr_post_key(DVR_KEY_MOUSE_EVENT);
    return;
  }
  for (const KeyMapRow &r : kKeyMap) {
    if (r.code != ev.code) continue;
    if (r.need == NEED_CTRL && !any(MOD_CTRL)) continue;
    if (r.need == NEED_CTRL_SHIFT && !(any(MOD_CTRL) && any(MOD_SHIFT))) continue;
    dvr_post_key(r.key);
    return;
  }
}

int32_t clamp(int64_t v, int64_t hi) { return int32_t(v < 0 ? 0 : v > hi ? hi : v); }

void rel_event(const input_event &ev) {
  int s = scale();
  if (ev.code == REL_X) {
    gui_input.raw_x = clamp(int64_t(gui_input.raw_x) + ev.value, int64_t(osd_layout.screen_width) * s - 1);
    gui_input.x = gui_input.raw_x / s;
  } else if (ev.code == REL_Y) {
    gui_input.raw_y = clamp(int64_t(gui_input.raw_y) + ev.value, int64_t(osd_layout.screen_height) * s - 1);
    gui_input.y = gui_input.raw_y / s;
  } else {
    return;
  }
  osd_cursor_move(gui_input.raw_x, gui_input.raw_y);
}

// An absolute position on the axis's range mapped onto 0 .. size - 1.
int32_t axis_to_screen(const input_absinfo &a, int32_t value, int32_t size) {
  int64_t span = int64_t(a.maximum) - a.minimum;
  if (span <= 0) return 0;
  return clamp(int64_t(size) * (int64_t(value) - a.minimum) / span, size - 1);
}

void abs_event(int slot, const input_event &ev) {
  int64_t t = int64_t(ev.input_event_sec) * 1000000 + ev.input_event_usec;
  if (ev.code == ABS_X) {
    gui_input.x = axis_to_screen(gui_input.abs_x, ev.value, osd_layout.screen_width);
    gui_input.raw_x = gui_input.x * scale();
    gui_input.touch_pending = 1;
  } else if (ev.code == ABS_Y) {
    gui_input.y = axis_to_screen(gui_input.abs_y, ev.value, osd_layout.screen_height);
    gui_input.raw_y = gui_input.y * scale();
    gui_input.touch_pending = 1;
  } else if (ev.code >= 40 && ev.code <= 47) {
    log_printf("slot %d = %d\n", ev.code - 40, ev.value);
  } else if (ev.code == ABS_PRESSURE) {
    log_printf("%d: pressure %d\n", slot, ev.value);
  } else if (ev.code == 50) {
    long long since = t - gui_input.last_touch_us;
    if (since > 50000) {
      log_printf("touch %d,%d %d %lld\n", gui_input.x, gui_input.y, ev.value, since);
      gui_input.click_pending = 1;
      dvr_post_key(DVR_KEY_MOUSE_EVENT);
    }
    gui_input.last_touch_us = t;
  }
}

void syn_event(void) {
  if (!gui_input.touch_pending) return;
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  bool waiting = key_mailbox.key_word == DVR_KEY_MOUSE_EVENT;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  if (!waiting) dvr_post_key(DVR_KEY_MOUSE_EVENT);
  gui_input.touch_pending = 0;
}

void handle(int slot, const input_event &ev) {
  switch (ev.type) {
    case EV_SYN:
      if (ev.code == SYN_REPORT) syn_event();
      break;
    case EV_KEY:
      key_event(ev);
      break;
    case EV_LED:
      if (ev.code == LED_CAPSL) {
        if (ev.value & 1)
          gui_input.modifiers |= MOD_CAPS;
        else
          gui_input.modifiers &= ~MOD_CAPS;
      }
      break;
    case EV_REL:
      rel_event(ev);
      break;
    case EV_ABS:
      abs_event(slot, ev);
      break;
  }
}

// The OSD's scale follows the output (2 on HD outputs, set when the OSD is
// laid out, which may come after the mouse was opened): the pointer keeps its
// place on the OSD, and the cursor's registers are set again in the new scale.
void follow_scale(void) {
  int s = scale();
  if (s == g_raw_scale) return;
  g_raw_scale = s;
  gui_input.raw_x = gui_input.x * s;
  gui_input.raw_y = gui_input.y * s;
  if (gui_input.pointer_device) osd_cursor_move(gui_input.raw_x, gui_input.raw_y);
}

}  // namespace

void keyboard_scan(void) {
  follow_scale();
  for (int n = 0; n < kSlots; n++) {
    InputSlot &s = g_slots[n];
    if (s.fd < 0) open_slot(n, s);
    if (s.fd < 0) continue;
    input_event ev;
    ssize_t got;
    while ((got = dev_read(s.fd, &ev, sizeof ev)) == ssize_t(sizeof ev)) handle(n, ev);
    if (got >= 0 || errno == EAGAIN) {
      if (uint32_t k = log_episode_ok(&s.failures, 0))
        log_printf("event%d: reads again after %u failures\n", n, k);
      continue;
    }
    if (errno == ENODEV)
      close_slot(s);
    else if (log_episode_fail(&s.failures))
      log_error("event%d: %s\n", n, strerror(errno));
  }
}

void keyboard_reset(void) {
  for (InputSlot &s : g_slots) {
    if (s.fd >= 0) dev_close(s.fd);
    s = InputSlot();
  }
  gui_input = InputState();
  g_raw_scale = 1;
}
