// Menu screens in process, driven by a key script: each key wait of the
// screen takes the next step (text typed into an open entry, a look at the
// shown OSD, then the key; escape once the script is done).
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <png.h>
#include <string>
#include <vector>

#include "core/global.h"
#include "core/param_block.h"
#include "display/dvr_keys.h"
#include "display/dvr_logic.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/text_entry.h"
#include "osd_test_support.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"
#include "storage/storage_test_support.h"

struct Step {
  DvrKey key;   // 0: no key at this wait
  const char *type = nullptr;
  std::function<void()> look = nullptr;
};
inline std::vector<Step> g_steps;
inline size_t g_next;

inline DvrKey script_feed(void) {
  if (g_next >= g_steps.size()) return DVR_KEY_ESCAPE;
  Step &s = g_steps[g_next++];
  if (s.type) {
    pthread_mutex_lock(&text_entry.mutex);
    text_entry_end();
    while (text_entry.cursor) text_entry_backspace();
    for (const char *c = s.type; *c; c++) text_entry_insert(*c);
    pthread_mutex_unlock(&text_entry.mutex);
  }
  if (s.look) s.look();
  return s.key;
}

// The OSD's shown pages as RGBA (640 wide).
inline std::vector<uint8_t> shown(const char *name = "/tmp/menu.png") {
  EXPECT_EQ(0, sim_video_out_command((std::string("osd ") + name).c_str()));
  png_image pi = {};
  pi.version = PNG_IMAGE_VERSION;
  std::vector<uint8_t> px;
  if (!png_image_begin_read_from_file(&pi, HostPath(name).c_str())) return px;
  pi.format = PNG_FORMAT_RGBA;
  px.resize(PNG_IMAGE_SIZE(pi));
  if (!png_image_finish_read(&pi, nullptr, px.data(), 0, nullptr)) px.clear();
  return px;
}

inline std::string backing(const char *dev) {
  char buf[512];
  return sim_storage_backing_dir(dev, buf, sizeof buf);
}

struct MenuScript : ::testing::Test {
  GuiContext ctx{};
  InputState found_input = gui_input;   // the keyboard the scripts type on
  int row = 1;   // where the current menu's cursor is
  void SetUp() override {
    test_root();
    *get_param_block() = *param_default_block();
    ASSERT_EQ(osd_test_open(&ctx), 0);
    osd_state.ctx = &ctx;
    key_mailbox_reset();
    dvr_key_hooks = DvrKeyHooks();
    gui_toolkit_install_hooks();
    dvr_logic_install_hooks();
    dvr_key_hooks.feed_key = script_feed;
    g_steps.clear();
    g_next = 0;
    gui_input = InputState();
    gui_input.keyboard_present = 1;
    osd_layout_init(&ctx);
  }
  void TearDown() override {
    dvr_key_hooks = DvrKeyHooks();
    key_mailbox_reset();
    set_exit_code(EXIT_RUNNING);
    storage_test_volumes_clear();
    gui_input = found_input;
    osd_release();
  }
  static void mount_internal(void) {
    storage_test_board();
    *get_param_block() = *param_default_block();
    ASSERT_EQ(sim_storage_insert("sda1", 3, 32ULL << 20, "vfat"), 0);
    for (int i = 0; i < 5 && !filesys_is_mounted(STORAGE_INT); i++) fileSysTick(get_param_block());
    ASSERT_TRUE(filesys_is_mounted(STORAGE_INT));
  }
  // A new menu opens with its cursor on r.
  void at(int r) { row = r; }
  // Moves the cursor to row r and chooses it; look sees the menu with the
  // cursor on r.
  void choose(int r, std::function<void()> look = nullptr) {
    for (int i = row; i < r; i++) g_steps.push_back({DVR_KEY_DOWN});
    for (int i = r; i < row; i++) g_steps.push_back({DVR_KEY_UP});
    g_steps.push_back({DVR_KEY_MENU_OK, nullptr, look});
    row = r;
  }
  void enter(const char *text) {
    g_steps.push_back({DVR_KEY_TEXT_CHANGED, text});
    g_steps.push_back({DVR_KEY_MENU_OK});
  }
  // A message box taking a key the menus ignore.
  void dismiss(std::function<void()> look = nullptr) { g_steps.push_back({DVR_KEY_UNUSED, nullptr, look}); }
  // Runs a screen on the script; every step taken.
  template <typename F>
  void play(F screen) {
    g_next = 0;
    screen();
    EXPECT_EQ(g_next, g_steps.size()) << "the script ran to its end";
    key_mailbox_reset();   // the key a last message box left
    g_steps.clear();
    g_next = 0;
  }
};
