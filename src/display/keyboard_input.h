// USB keyboard, mouse and touch panel: keyboard_scan reads the pending
// events of the input devices /dev/event0 to /dev/event3 without blocking,
// turns them into DvrKey words for the mailbox, keeps the pointer position
// for clicks and, while a text entry is open, edits its buffer directly.
#pragma once
#include <cstdint>
#include <linux/input.h>

enum {
  MOD_CAPS = 1u << 0,
  MOD_LSHIFT = 1u << 1, MOD_RSHIFT = 1u << 2, MOD_SHIFT = 1u << 3,
  MOD_LCTRL = 1u << 4, MOD_RCTRL = 1u << 5, MOD_CTRL = 1u << 6,
  MOD_LALT = 1u << 7, MOD_RALT = 1u << 8, MOD_ALT = 1u << 9,
};

enum { DVR_STATUS_KEYBOARD = 0x8 };   // status bit: a keyboard is attached

// The input side of the menu's state. The pointer and click bytes are plain
// words written by the gpio thread and read by the menu thread after the
// mailbox wakes it.
struct InputState {
  volatile uint8_t pointer_device;    // a mouse, or a device with absolute X and Y
  volatile uint8_t keyboard_present;
  volatile uint32_t modifiers;        // MOD_* bits
  volatile uint8_t click_pending;
  volatile int32_t x, y;              // menu pixels
  uint8_t touch_pending;
  int64_t last_touch_us;              // time of the last contact event
  input_absinfo abs_x, abs_y;
  int32_t raw_x, raw_y;               // menu pixels times the OSD scale
};
extern InputState gui_input;

// Called by the gpio thread on every pass.
void keyboard_scan(void);

// Closes every device and forgets the input state (as at start).
void keyboard_reset(void);
