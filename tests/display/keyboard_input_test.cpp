// Keyboard, mouse and touch panel through the simulated input devices: what
// keyboard_scan posts, types and clicks, with records pushed into the
// devices as a writer would and the repeat clock stepped by the test.
#include <gtest/gtest.h>

#include <linux/input.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_block.h"
#include "display/display_keep.h"
#include "display/dvr_keys.h"
#include "display/gui_layout.h"
#include "display/keyboard_input.h"
#include "display/osd_windows.h"
#include "display/text_entry.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

namespace {

std::vector<uint32_t> g_status;   // keyboard status bit values, in order

DvrKey take_key(void) {
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey k = key_mailbox.key_word;
  key_mailbox.key_word = 0;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  return k;
}

class Input : public ::testing::Test {
 protected:
  CursorKeep cursor;
  void SetUp() override {
    test_root();
    *get_param_block() = *param_default_block();
    key_mailbox_reset();
    g_status.clear();
    dvr_key_hooks = DvrKeyHooks();
    dvr_key_hooks.status_update = [](uint32_t value, uint32_t mask, const char *) {
      if (mask == DVR_STATUS_KEYBOARD) g_status.push_back(value);
    };
    for (int n = 0; n < SIM_INPUT_SLOTS; n++) sim_input_unplug(n);
    keyboard_reset();
    set_key_repeat(1);
  }
  void TearDown() override {
    sim_input_clock_real();
    text_entry_finish(nullptr, 0, 0);
    for (int n = 0; n < SIM_INPUT_SLOTS; n++) sim_input_unplug(n);
    keyboard_reset();
    set_key_repeat(1);
    dvr_key_hooks = DvrKeyHooks();
    key_mailbox_reset();
  }
  static void push(int slot, uint16_t type, uint16_t code, int32_t value) {
    ASSERT_EQ(0, sim_input_push(slot, type, code, value));
  }
  static void key(int slot, uint16_t code, int32_t value) {
    push(slot, EV_KEY, code, value);
    push(slot, EV_SYN, SYN_REPORT, 0);
  }
  // A press and release; the key word posted.
  static DvrKey tap(uint16_t code) {
    key(0, code, 1);
    key(0, code, 0);
    keyboard_scan();
    return take_key();
  }
  static void type(const std::vector<uint16_t> &codes) {
    for (uint16_t c : codes) {
      key(0, c, 1);
      key(0, c, 0);
    }
    keyboard_scan();
  }
  static std::string text(void) {
    pthread_mutex_lock(&text_entry.mutex);
    std::string t = text_entry.buffer;
    pthread_mutex_unlock(&text_entry.mutex);
    return t;
  }
};

TEST_F(Input, KeyMapWithModifiersAndHotPlug) {
  ASSERT_EQ(0, sim_input_plug(0, "keyboard"));
  keyboard_scan();
  EXPECT_EQ(1, gui_input.keyboard_present);
  struct {
    std::vector<uint16_t> held;
    uint16_t code;
    DvrKey want;
  } cases[] = {
      {{}, KEY_U, 0},
      {{KEY_LEFTCTRL}, KEY_U, 0},
      {{KEY_LEFTCTRL, KEY_RIGHTSHIFT}, KEY_U, DVR_KEY_FIRMWARE_UPDATE},
      {{KEY_RIGHTCTRL, KEY_LEFTSHIFT}, KEY_D, DVR_KEY_DIAG_MENU},
      {{}, KEY_D, DVR_KEY_REW_BACK},
      {{}, KEY_F1, 0},
      {{KEY_LEFTCTRL}, KEY_F1, DVR_KEY_ENCODER_DISTANCE},
      {{}, KEY_1, DVR_KEY_RESET_ENCODER1},
      {{}, KEY_2, DVR_KEY_RESET_ENCODER2},
      {{}, KEY_K, DVR_KEY_ADVANCED_CFG},
      {{}, KEY_ESC, DVR_KEY_ESCAPE},
      {{}, KEY_SPACE, DVR_KEY_MENU_OK},
      {{}, KEY_KPENTER, DVR_KEY_MENU_OK},
      {{}, KEY_PAGEDOWN, DVR_KEY_PAGE_DOWN},
      {{}, KEY_DOWN, DVR_KEY_DOWN},
  };
  for (const auto &c : cases) {
    for (uint16_t m : c.held) key(0, m, 1);
    EXPECT_EQ(c.want, tap(c.code)) << "key " << c.code;
    for (uint16_t m : c.held) key(0, m, 0);
    keyboard_scan();
    EXPECT_EQ(0u, gui_input.modifiers & (MOD_SHIFT | MOD_CTRL)) << "key " << c.code;
  }

  // Unplugged: the slot closes and the status bit follows; a replugged
  // keyboard is found again and works.
  ASSERT_EQ(0, sim_input_unplug(0));
  keyboard_scan();
  EXPECT_EQ(0, gui_input.keyboard_present);
  keyboard_scan();
  ASSERT_EQ(0, sim_input_plug(0, "keyboard"));
  keyboard_scan();
  EXPECT_EQ(DVR_KEY_RECORD_TOGGLE, tap(KEY_R));
  EXPECT_EQ(1, gui_input.keyboard_present);
  EXPECT_EQ((std::vector<uint32_t>{DVR_STATUS_KEYBOARD, 0, DVR_STATUS_KEYBOARD}), g_status);
}

TEST_F(Input, TextModeTypingLayoutsAndEditKeys) {
  ASSERT_EQ(0, sim_input_plug(0, "keyboard"));
  keyboard_scan();
  text_entry_begin("", 61);
  // "The quick brown FOX!" with one Shift held while the other is released,
  // and Caps Lock (echoed by the keyboard as its LED) for FOX.
  key(0, KEY_LEFTSHIFT, 1);
  key(0, KEY_RIGHTSHIFT, 1);
  key(0, KEY_LEFTSHIFT, 0);
  type({KEY_T});
  key(0, KEY_RIGHTSHIFT, 0);
  type({KEY_H, KEY_E, KEY_SPACE, KEY_Q, KEY_U, KEY_I, KEY_C, KEY_K, KEY_SPACE, KEY_B, KEY_R, KEY_O, KEY_W,
        KEY_N, KEY_SPACE, KEY_CAPSLOCK, KEY_F, KEY_O, KEY_X, KEY_CAPSLOCK});
  key(0, KEY_LEFTSHIFT, 1);
  type({KEY_1, KEY_APOSTROPHE});
  key(0, KEY_LEFTSHIFT, 0);
  type({KEY_KP7, KEY_102ND});
  EXPECT_EQ("The quick brown FOX!\"7\\", text());
  EXPECT_EQ(DVR_KEY_TEXT_CHANGED, take_key());

  // UK: the quote and the at sign swap, Shift+3 is the pound, key 43 is '#',
  // AltGr gives the accented vowels.
  text_entry_finish(nullptr, 0, 0);
  text_entry_begin("", 61);
  get_param_block()->dvr_keyboard_layout = 1;
  key(0, KEY_LEFTSHIFT, 1);
  type({KEY_APOSTROPHE, KEY_2, KEY_3, KEY_GRAVE, KEY_BACKSLASH});
  key(0, KEY_LEFTSHIFT, 0);
  type({KEY_BACKSLASH});
  key(0, KEY_RIGHTALT, 1);
  type({KEY_E, KEY_A, KEY_U, KEY_GRAVE});
  key(0, KEY_RIGHTALT, 0);
  EXPECT_EQ(std::string("@\"\x9c\xaa~#\x82\xa0\xa3|"), text());

  // Edit keys: moves, Delete, Backspace and the edge flags.
  text_entry_finish(nullptr, 0, 0);
  text_entry_begin("abc", 61);
  type({KEY_HOME, KEY_LEFT});
  EXPECT_EQ(-1, text_entry.edge);
  type({KEY_DELETE, KEY_END, KEY_LEFT, KEY_BACKSPACE});
  EXPECT_EQ("c", text());
  type({KEY_RIGHT, KEY_RIGHT});
  EXPECT_EQ(1, text_entry.edge);
  key(0, KEY_LEFTCTRL, 1);
  EXPECT_EQ(DVR_KEY_CTRL_DELETE, tap(KEY_DELETE));
  key(0, KEY_LEFTCTRL, 0);
  // Keys without a character still work as keys.
  EXPECT_EQ(DVR_KEY_MENU_OK, tap(KEY_ENTER));
  EXPECT_EQ(DVR_KEY_ESCAPE, tap(KEY_ESC));
  EXPECT_EQ("c", text());
}

TEST_F(Input, HeldKeyRepeatsOnTheDeviceClock) {
  ASSERT_EQ(0, sim_input_plug(0, "keyboard"));
  keyboard_scan();   // sets 500 ms and 100 ms
  sim_input_clock_step(0);
  text_entry_begin("", 61);
  set_key_repeat(0);   // presses only, as while recording starts
  key(0, KEY_A, 1);
  sim_input_clock_step(1000000);
  keyboard_scan();
  EXPECT_EQ("a", text());
  key(0, KEY_A, 0);

  set_key_repeat(1);
  key(0, KEY_B, 1);
  sim_input_clock_step(499000);
  keyboard_scan();
  EXPECT_EQ("ab", text());
  sim_input_clock_step(1000);
  keyboard_scan();
  EXPECT_EQ("abb", text());
  sim_input_clock_step(99000);
  keyboard_scan();
  EXPECT_EQ("abb", text());
  sim_input_clock_step(200000);
  keyboard_scan();
  EXPECT_EQ("abbbb", text());
  key(0, KEY_B, 0);
  sim_input_clock_step(1000000);
  keyboard_scan();
  EXPECT_EQ("abbbb", text());
}

TEST_F(Input, PointerStaysOnScreenAndTouchClicksOnce) {
  ASSERT_EQ(0, sim_input_plug(1, "mouse"));
  keyboard_scan();
  EXPECT_EQ(1, gui_input.pointer_device);
  EXPECT_EQ(100, gui_input.x);
  push(1, EV_REL, REL_X, -100000);
  push(1, EV_REL, REL_Y, 2147483647);
  push(1, EV_SYN, SYN_REPORT, 0);
  keyboard_scan();
  EXPECT_EQ(0, gui_input.x);
  EXPECT_EQ(osd_layout.screen_height - 1, gui_input.y);
  key(1, BTN_LEFT, 1);
  key(1, BTN_LEFT, 0);
  keyboard_scan();
  EXPECT_EQ(DVR_KEY_MOUSE_EVENT, take_key());
  EXPECT_EQ(1, gui_input.click_pending);
  key(1, BTN_RIGHT, 1);
  keyboard_scan();
  EXPECT_EQ(DVR_KEY_ESCAPE, take_key());

  // A panel whose X range is empty and whose Y range is 100..199: positions
  // stay on screen.
  const char desc[] =
      "N: Odd Panel\nB: 00 0b 00 00 00 00 00 00 00\nB: 03 03 00 00 00 00 00 00 00\n"
      "B: 03 00 00 00 00 00 00 04 00\nA: 00 500 500 0 0 0\nA: 01 100 199 0 0 0\n";
  ASSERT_EQ(0, sim_input_plug_description(2, desc, sizeof desc - 1));
  keyboard_scan();
  push(2, EV_ABS, ABS_X, 900);
  push(2, EV_ABS, ABS_Y, 199);
  push(2, EV_SYN, SYN_REPORT, 0);
  keyboard_scan();
  EXPECT_EQ(0, gui_input.x);
  EXPECT_EQ(osd_layout.screen_height - 1, gui_input.y);
  push(2, EV_ABS, ABS_Y, -5000);
  push(2, EV_SYN, SYN_REPORT, 0);
  keyboard_scan();
  EXPECT_EQ(0, gui_input.y);
  EXPECT_EQ(DVR_KEY_MOUSE_EVENT, take_key());

  // Contacts 40 ms apart click once, 60 ms apart twice.
  sim_input_clock_step(0);
  int clicks = 0;
  for (int gap_ms : {40, 60}) {
    sim_input_clock_step(1000000);
    for (int i = 0; i < 2; i++) {
      if (i) sim_input_clock_step(gap_ms * 1000);
      push(2, EV_ABS, 50, 10);
      keyboard_scan();
      gui_input.click_pending = 0;
      if (take_key() == DVR_KEY_MOUSE_EVENT) clicks++;
    }
    EXPECT_EQ(gap_ms == 40 ? 1 : 3, clicks) << gap_ms;
  }
}

// The mouse opened before the OSD is laid out for an HD output (scale 2)
// keeps its place on the OSD when the scale changes: the cursor's registers
// follow, and moves count in the new scale.
TEST_F(Input, PointerKeepsItsPlaceWhenTheOsdScaleChanges) {
  struct ScaleKeep {
    int saved = osd_scale;
    ~ScaleKeep() { osd_scale = saved; }
  } keep;
  osd_scale = 1;
  ASSERT_EQ(0, sim_input_plug(1, "mouse"));
  keyboard_scan();
  EXPECT_EQ(100u, hwreg_read(0x01C71C9Cu));
  osd_scale = 2;
  keyboard_scan();
  EXPECT_EQ(100, gui_input.x);
  EXPECT_EQ(100, gui_input.y);
  EXPECT_EQ(200u, hwreg_read(0x01C71C9Cu));
  EXPECT_EQ(200u, hwreg_read(0x01C71CA0u));
  push(1, EV_REL, REL_X, 4);
  push(1, EV_SYN, SYN_REPORT, 0);
  keyboard_scan();
  EXPECT_EQ(102, gui_input.x);
  EXPECT_EQ(204u, hwreg_read(0x01C71C9Cu));
}

// 61 bytes with the NUL: 60 characters at most, and no more than the
// caller's size goes back.
// A device whose reads fail with an errno other than EAGAIN or ENODEV fails
// on every 10 ms scan: one line when it begins, one with the count when it
// reads again.
TEST_F(Input, AFailingDeviceLogsOncePerEpisode) {
  auto count = [](const std::string &text, const char *what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
  };
  static char buf[1 << 17];
  ASSERT_EQ(0, sim_input_plug(0, "keyboard"));
  keyboard_scan();
  log_read(buf, sizeof buf);
  for (int episode = 0; episode < 2; episode++) {
    ASSERT_EQ(0, sim_input_fail_reads(0, EIO));
    for (int i = 0; i < 300; i++) keyboard_scan();
    std::string log(buf, log_read(buf, sizeof buf));
    EXPECT_EQ(count(log, "event0: Input/output error"), 1u) << log.substr(0, 2000);
    ASSERT_EQ(0, sim_input_fail_reads(0, 0));
    keyboard_scan();
    log.assign(buf, log_read(buf, sizeof buf));
    EXPECT_EQ(count(log, "event0: reads again after 300 failures"), 1u) << log;
  }
}

TEST_F(Input, TextEntryLimits) {
  std::string full(60, 'x');
  text_entry_begin((full + "yz").c_str(), 200);
  pthread_mutex_lock(&text_entry.mutex);
  EXPECT_EQ(61, text_entry.size);
  text_entry_insert('q');
  EXPECT_EQ(full, text_entry.buffer);
  text_entry.cursor = 0;
  text_entry_backspace();
  EXPECT_EQ(-1, text_entry.edge);
  EXPECT_EQ(full, text_entry.buffer);
  pthread_mutex_unlock(&text_entry.mutex);
  char small[8] = "abc";
  text_entry_finish(small, sizeof small, 1);
  EXPECT_STREQ("xxxxxxx", small);
}

}  // namespace
