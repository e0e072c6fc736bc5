// The main menu, Setup and the choosers on the simulated framebuffers,
// driven by a key feeder answering each key wait: the parameters each row
// changes, the values the adjusters keep within their bounds, and the rows
// shown (read back by tesseract).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/param_block.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/menu_screens.h"
#include "display/osd_ocr.h"
#include "osd_test_support.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

namespace {

std::vector<DvrKey> g_keys;
size_t g_next;
std::function<void(size_t)> g_on_wait;

std::string ocr_screen(void) {
  EXPECT_EQ(sim_video_out_command("osd /tmp/menu.png"), 0);
  return ocr("/tmp/menu.png");
}

// n presses of key, then OK.
std::vector<DvrKey> press(int n, DvrKey key = DVR_KEY_DOWN) {
  std::vector<DvrKey> k((size_t)(n > 0 ? n : 0), key);
  k.push_back(DVR_KEY_MENU_OK);
  return k;
}

struct Menu : ::testing::Test {
  GuiContext ctx{};
  ParamBlock *p = nullptr;
  void SetUp() override {
    test_root();
    p = get_param_block();
    *p = *param_default_block();
    ASSERT_EQ(osd_test_open(&ctx), 0);
    osd_state.ctx = &ctx;
    key_mailbox_reset();
    dvr_key_hooks = DvrKeyHooks();
    gui_toolkit_install_hooks();
    dvr_key_hooks.feed_key = [] {
      if (g_next >= g_keys.size()) return (DvrKey)DVR_KEY_ESCAPE;
      if (g_on_wait) g_on_wait(g_next);
      return g_keys[g_next++];
    };
    feed({});
    g_on_wait = nullptr;
    gui_input = InputState();
    osd_layout_init(&ctx);
  }
  void TearDown() override {
    dvr_key_hooks = DvrKeyHooks();
    g_on_wait = nullptr;
    key_mailbox_reset();
    osd_release();
  }
  static void feed(std::vector<DvrKey> keys) {
    g_keys = keys;
    g_next = 0;
  }
};

TEST_F(Menu, ChoosersSetTheirParametersFromTheCursorOnTheCurrentValue) {
  // Bit rate: the cursor starts on the current rate; row r is r + 1 Mbps.
  p->video[0].bit_rate = 5000000;
  feed(press(1));
  bitrate_menu(&ctx);
  EXPECT_EQ(p->video[0].bit_rate, 6000000u);
  feed(press(3, DVR_KEY_UP));
  bitrate_menu(&ctx);
  EXPECT_EQ(p->video[0].bit_rate, 3000000u);
  feed(press(2, DVR_KEY_UP));   // wraps from "2 Mbps" to "10 Mbps"
  bitrate_menu(&ctx);
  EXPECT_EQ(p->video[0].bit_rate, 10000000u);
  feed({DVR_KEY_DOWN, DVR_KEY_ESCAPE});
  bitrate_menu(&ctx);
  EXPECT_EQ(p->video[0].bit_rate, 10000000u) << "back keeps the rate";

  // Audio input: each row sets input, channels and mono mode.
  const uint8_t inputs[5][3] = {{0, 1, 0}, {1, 2, 0}, {1, 1, 0}, {1, 1, 1}, {1, 1, 2}};
  for (int r = 0; r < 5; r++) {
    p->audio.input = 0, p->audio.channels = 1, p->audio.mono_mode = 0;
    feed(press(r));
    audio_input_menu(&ctx);
    EXPECT_EQ(p->audio.input, inputs[r][0]) << r;
    EXPECT_EQ(p->audio.channels, inputs[r][1]) << r;
    EXPECT_EQ(p->audio.mono_mode, inputs[r][2]) << r;
  }
  feed(press(0));   // the cursor was on "Line Mono Right"
  audio_input_menu(&ctx);
  EXPECT_EQ(p->audio.mono_mode, 2);

  // Storage device and format: rows 1 to 4 are the values 0 to 3.
  for (int v = 0; v < 4; v++) {
    p->recording.storage_device = 0;
    p->recording.format = 0;
    feed(press(v));
    recording_storage_menu(&ctx);
    feed(press(v));
    recording_format_menu(&ctx);
    EXPECT_EQ(p->recording.storage_device, v);
    EXPECT_EQ(p->recording.format, v);
  }

  // Text size: "38x64" only when allowed; back keeps the current size.
  feed(press(1));
  EXPECT_EQ(text_size_menu(&ctx, 2, 0), 0) << "three rows: wraps to 8x13";
  feed(press(1));
  EXPECT_EQ(text_size_menu(&ctx, 2, 1), 3);
  feed({DVR_KEY_DOWN, DVR_KEY_ESCAPE});
  EXPECT_EQ(text_size_menu(&ctx, 1, 1), 1);
}

TEST_F(Menu, NumberAdjustNeverLeavesItsBounds) {
  struct Case {
    int size;
    int32_t min, max, def, start;
    std::vector<DvrKey> keys;
    int32_t want;
  };
  // Rows: +100, +10, +1, -1, -10, -100, Default.
  const DvrKey OK = DVR_KEY_MENU_OK, DN = DVR_KEY_DOWN, UP = DVR_KEY_UP;
  const Case cases[] = {
      {1, 1, 255, 25, 250, {OK, OK}, 255},
      {1, 1, 255, 25, 5, {UP, UP, OK, OK}, 1},
      {1, 1, 255, 25, 200, {UP, OK}, 25},
      {1, -50, 50, 0, -5, {UP, UP, OK, DN, DN, DN, OK}, -40},
      {1, -50, 50, 0, 7, {DN, OK, UP, OK, OK}, 50},
      {4, -1000, 100000, 10, 99950, {OK, OK, DN, DN, DN, DN, DN, OK, OK}, 99800},
      {4, 0, 4194304, 10, 4194300, {OK, UP, OK}, 10},
  };
  for (const Case &c : cases) {
    uint8_t byte = (uint8_t)c.start;
    int32_t word = c.start;
    void *value = c.size == 1 ? (void *)&byte : (void *)&word;
    auto now = [&] { return c.size == 1 ? (c.min < 0 ? (int32_t)(int8_t)byte : (int32_t)byte) : word; };
    std::vector<int32_t> seen;
    g_on_wait = [&](size_t) { seen.push_back(now()); };
    feed(c.keys);
    number_adjust_menu(&ctx, "== Level %d ==", value, c.size, c.min, c.max, c.def);
    EXPECT_EQ(now(), c.want) << c.start;
    for (int32_t v : seen) EXPECT_TRUE(v >= c.min && v <= c.max) << v;
  }
  g_on_wait = nullptr;

  // The title shows the value as it changes (digits of the small font are
  // beyond tesseract: the value itself is checked above).
  uint8_t level = 42;
  std::string read;
  g_on_wait = [&](size_t i) { if (i == 1) read = ocr_screen(); };
  feed({DVR_KEY_MENU_OK, DVR_KEY_DOWN});
  number_adjust_menu(&ctx, "== Level %d ==", &level, 1, 0, 200, 17);
  EXPECT_EQ(level, 142);
  EXPECT_TRUE(ocr_has(read, "Level +100 -100 Default")) << read;
}

TEST_F(Menu, KeyHelpListsEveryKey) {
  std::string read;
  g_on_wait = [&](size_t) { read = ocr_screen(); };
  feed({DVR_KEY_DOWN});
  key_help(&ctx);
  for (const char *row : {"Key Help", "Rec/Stop", "Snapshot", "Overlays menu", "Addtl Overlay",
                          "esc/left", "spc/enter/right Menu/Ok"})
    EXPECT_TRUE(ocr_has(read, row)) << row << " in " << read;
}

}  // namespace
