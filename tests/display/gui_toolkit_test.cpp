// The GUI toolkit on the simulated framebuffers: menus driven by a key
// feeder answering each key wait, read back from the shown OSD pages (and by
// tesseract for page titles), message boxes and the waiting key, language
// files, and the recording status line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <png.h>
#include <string>
#include <vector>

#include "core/hwreg.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/text_entry.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "display/osd_ocr.h"
#include "osd_test_support.h"
#include "test_root.h"

namespace {

struct Shown {
  uint32_t w = 0, h = 0;
  std::vector<uint8_t> px;
  const uint8_t *at(int x, int y) const { return &px[((size_t)y * w + (size_t)x) * 4]; }
  bool opaque(int x, int y) const { return at(x, y)[3] != 0; }
  bool white(int x, int y) const { return at(x, y)[0] > 200 && at(x, y)[1] > 200 && at(x, y)[3] != 0; }
  bool red(int x, int y) const { return at(x, y)[0] > 200 && at(x, y)[1] < 50 && at(x, y)[3] != 0; }
};

Shown dump(const char *name = "/tmp/gui.png") {
  Shown s;
  EXPECT_EQ(0, sim_video_out_command((std::string("osd ") + name).c_str()));
  png_image pi = {};
  pi.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&pi, HostPath(name).c_str())) return s;
  pi.format = PNG_FORMAT_RGBA;
  s.px.resize(PNG_IMAGE_SIZE(pi));
  if (!png_image_finish_read(&pi, nullptr, s.px.data(), 0, nullptr)) return {};
  s.w = pi.width;
  s.h = pi.height;
  return s;
}

// Answers each key wait from a list; on_wait sees the screen first.
std::vector<DvrKey> g_keys;
size_t g_next;
std::function<void(size_t)> g_on_wait;

struct Gui : ::testing::Test {
  GuiContext ctx{};
  InputState found_input = gui_input;   // the mouse and keyboard the tests fake
  void SetUp() override {
    test_root();
    *get_param_block() = *param_default_block();
    ASSERT_EQ(osd_test_open(&ctx), 0);
    osd_state.ctx = &ctx;
    key_mailbox_reset();
    dvr_key_hooks = DvrKeyHooks();
    gui_toolkit_install_hooks();
    dvr_key_hooks.feed_key = [] { return g_next < g_keys.size() ? (g_on_wait ? g_on_wait(g_next) : void()), g_keys[g_next++] : DVR_KEY_ESCAPE; };
    g_keys.clear();
    g_next = 0;
    g_on_wait = nullptr;
    gui_input = InputState();
    osd_layout_init(&ctx);
  }
  static void feed(std::vector<DvrKey> keys) {
    g_keys = keys;
    g_next = 0;
  }
  void TearDown() override {
    dvr_key_hooks = DvrKeyHooks();
    key_mailbox_reset();
    load_language_file("none-such");
    gui_input = found_input;
    osd_release();
  }
  // The row whose cursor cell holds white pixels, -1 none.
  static int cursor_row(const Shown &s, int origin) {
    int fw = osd_font_width, lh = osd_font_height + 2;
    for (int row = 0; row < 32; row++)
      for (int y = origin + lh * row; y < origin + lh * row + osd_font_height && y < 480; y++)
        for (int x = 98 - fw; x < 98; x++)
          if (s.white(x, y)) return row;
    return -1;
  }
};

TEST_F(Gui, MenuBoxCursorWrapAndBackRows) {
  const char *items[] = {"== Test Menu ==", "First", "Second", "Third"};
  std::vector<int> rows;
  g_on_wait = [&](size_t) { rows.push_back(cursor_row(dump(), 75)); };
  feed({DVR_KEY_DOWN, DVR_KEY_DOWN, DVR_KEY_UP_UNMUTE_REW, DVR_KEY_FF_OK});
  int fw = osd_font_width, lh = osd_font_height + 2;
  EXPECT_EQ(3, show_menu(&ctx, 4, items, 2));
  EXPECT_EQ((std::vector<int>{2, 3, 1, 3}), rows);
  // The box: x 93 - font width, from y 70, "== Test Menu ==" wide plus a cell.
  feed({DVR_KEY_ESCAPE});
  g_on_wait = [&](size_t) {
    Shown s = dump();
    int right = 93 - fw + fw * 16 + 12 - 1, bottom = 70 + lh * 4 + 8 - 1;
    EXPECT_TRUE(s.opaque(93 - fw, 70));
    EXPECT_TRUE(s.opaque(right, bottom));
    EXPECT_FALSE(s.opaque(93 - fw - 1, 70));
    EXPECT_FALSE(s.opaque(right + 1, bottom));
    EXPECT_FALSE(s.opaque(right, bottom + 1));
  };
  EXPECT_EQ(0, show_menu(&ctx, 4, items, 1));
  EXPECT_FALSE(dump().opaque(93 - fw, 70)) << "the box is erased";

  // Back on top: row 1, below the title; choosing it returns 0.
  get_param_block()->keys_menu_back_option = 2;
  rows.clear();
  g_on_wait = [&](size_t) { rows.push_back(cursor_row(dump(), 75)); };
  feed({DVR_KEY_UP, DVR_KEY_MENU_OK});
  EXPECT_EQ(0, show_menu(&ctx, 4, items, 1));
  EXPECT_EQ((std::vector<int>{2, 1}), rows);
  // Back at the bottom: after the last entry.
  get_param_block()->keys_menu_back_option = 1;
  feed({DVR_KEY_DOWN, DVR_KEY_DOWN, DVR_KEY_DOWN_MUTE_FF, DVR_KEY_MENU_OK});
  EXPECT_EQ(1, show_menu(&ctx, 4, items, 2));
}

TEST_F(Gui, HiddenRowsNoOptionsAndTheDiagnosticsKey) {
  const char *items[] = {"== Diag ==", "~Secret", "~Other", nullptr, "Never"};
  feed({DVR_KEY_ESCAPE});
  bool box = false;
  g_on_wait = [&](size_t) { box = dump().opaque(95, 95); };
  EXPECT_EQ(0, show_menu(&ctx, 5, items, 1));
  EXPECT_TRUE(box) << "the message box at the text origin";
  key_mailbox_reset();
  feed({DVR_KEY_DIAG_MENU, DVR_KEY_DOWN, DVR_KEY_MENU_OK});
  EXPECT_EQ(2, show_menu(&ctx, 5, items, 1));

  // In a menu with visible rows the key reveals the hidden ones in place.
  const char *mixed[] = {"== Mixed ==", "Shown", "~Hidden"};
  feed({DVR_KEY_DOWN, DVR_KEY_DIAG_MENU, DVR_KEY_DOWN, DVR_KEY_MENU_OK});
  EXPECT_EQ(2, show_menu(&ctx, 3, mixed, 1));
}

TEST_F(Gui, PagesReachTheLastEntryAndClicksSelect) {
  // 49 entries at 9x13: 26 rows a screen, 24 entries a page, three pages.
  std::vector<std::string> names;
  std::vector<const char *> items = {"Files"};
  for (int i = 1; i <= 49; i++) names.push_back("Entry " + std::to_string(i));
  for (auto &n : names) items.push_back(n.c_str());
  std::string title;
  feed({DVR_KEY_PAGE_DOWN, DVR_KEY_PAGE_DOWN, DVR_KEY_PAGE_DOWN, DVR_KEY_ESCAPE, DVR_KEY_MENU_OK,
            DVR_KEY_MENU_OK});
  std::vector<int> rows;
  g_on_wait = [&](size_t i) {
    Shown s = dump("/tmp/page.png");
    rows.push_back(cursor_row(s, 75));
    if (i == 5) title = ocr("/tmp/page.png");
  };
  EXPECT_EQ(49, show_menu(&ctx, 50, items.data(), 1));
  // Page 2 after Back from page 3 has its cursor on the "..." row (25).
  EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 25, 1}), rows);
  EXPECT_TRUE(ocr_has(title, "Files 3/3 Entry 49")) << title;

  // The page holding the initial entry comes first; a click picks a row.
  gui_input.pointer_device = 1;   // adds the back row
  gui_input.click_pending = 1;
  gui_input.x = 110;
  gui_input.y = 75 + (osd_font_height + 2) * 3 + 4;
  feed({DVR_KEY_MOUSE_EVENT});
  g_on_wait = nullptr;
  EXPECT_EQ(26, show_menu(&ctx, 50, items.data(), 30));   // page 2: entries 24 to 46
}

TEST_F(Gui, MessageLeavesItsKeyByTheOrRule) {
  struct {
    DvrKey meanwhile, taken, want;
  } cases[] = {
      {DVR_KEY_MENU_OK, DVR_KEY_DOWN, DVR_KEY_MENU_OK | DVR_KEY_DOWN},
      {DVR_KEY_MOUSE_EVENT, DVR_KEY_DOWN, DVR_KEY_MOUSE_EVENT},
      {DVR_KEY_MENU_OK, DVR_KEY_ADVANCED_CFG, DVR_KEY_MENU_OK},
      {0, DVR_KEY_TITLE_OVERLAY, DVR_KEY_TITLE_OVERLAY},
  };
  for (const auto &c : cases) {
    key_mailbox_reset();
    feed({c.taken});
    DvrKey meanwhile = c.meanwhile;
    g_on_wait = [meanwhile](size_t) {
      if (meanwhile) dvr_post_key(meanwhile);
    };
    show_message(&ctx, "Line one\nLine two");
    EXPECT_EQ(c.want, key_mailbox.key_word);
  }
  osd_flush(&ctx);   // left to the caller while a key waits
  EXPECT_FALSE(dump().opaque(95, 95)) << "the box is erased";
}

TEST_F(Gui, LanguageFiles) {
  // The root and the table are left as found: a language folder makes the
  // menus offer a Language row, and the table their texts.
  struct Restore {
    ~Restore() {
      sys_unlink("/usr/html/lang/Test.txt");
      sys_unlink("/usr/html/lang/Two.txt");
      sys_rmdir("/usr/html/lang");
      load_language_english();
    }
  } restore;
  sys_mkdirs("/usr/html/lang", 0755);
  FILE *f = sys_fopen("/usr/html/lang/Test.txt", "w");
  ASSERT_TRUE(f);
  fprintf(f, "# a comment\n\n  Interne Speicher  \nExterner Speicher\n   \n%s\nSpeicher entfernt %%d\n",
          std::string(85, 'x').c_str());
  fprintf(f, "Stumm\n");
  fclose(f);
  EXPECT_EQ(5, load_language_file("Test"));
  EXPECT_STREQ("Interne Speicher", LangTable[0]);
  EXPECT_STREQ("Externer Speicher", LangTable[1]);
  EXPECT_EQ(std::string(79, 'x'), LangTable[2]) << "cut, and its rest not a new entry";
  EXPECT_STREQ("External storage removed", LangTable[3]) << "a stray conversion keeps English";
  EXPECT_STREQ("Stumm", LangTable[4]);
  EXPECT_EQ(lang_english[5], LangTable[5]) << "after a short file: English";

  // A matching format, and "\n" round-tripping the two-line entry.
  f = sys_fopen("/usr/html/lang/Two.txt", "w");
  for (int i = 0; i < LANG_COUNT; i++) {
    std::string t = lang_english[i];
    for (size_t p; (p = t.find('\n')) != std::string::npos;) t.replace(p, 1, "\\n");
    if (i == 63) t = "== Versatz: %6.1f ==";
    if (i == 86) t = "50% schwarz";   // plain texts with a "%" of their own
    if (i == 87) t = "75 % noir";
    if (i == 184) t = "%d Speicher fehlt";   // a format whose conversion changed
    fprintf(f, "%s\n", t.c_str());
  }
  fclose(f);
  EXPECT_EQ(LANG_COUNT, load_language_file("Two"));
  EXPECT_STREQ("== Versatz: %6.1f ==", LangTable[63]);
  EXPECT_STREQ("50% schwarz", LangTable[86]);
  EXPECT_STREQ("75 % noir", LangTable[87]);
  EXPECT_STREQ(lang_english[184], LangTable[184]);
  EXPECT_STREQ(lang_english[424], LangTable[424]);
  EXPECT_EQ(-1, load_language_file("../lang/Two"));
  EXPECT_EQ(-1, load_language_file("x/Two"));
  EXPECT_STREQ("== Versatz: %6.1f ==", LangTable[63]) << "a refused name changes nothing";
}

TEST_F(Gui, RecordingStatusIconsAndCountdown) {
  static int paused;
  paused = 0;
  dvr_key_hooks.recording = [] { return 1; };
  dvr_key_hooks.recording_paused = [] { return paused; };
  get_param_block()->dvr_recording_show = 4 | 2;   // icon, hide after 5 s
  updateRecordingStatus(&ctx);
  Shown s = dump();
  int red = 0;
  for (int y = 20; y < 36; y++)
    for (int x = 40; x < 56; x++) red += s.red(x, y);
  EXPECT_GT(red, 60) << "the record icon in red at 40,20";
  EXPECT_EQ(5, osd_layout.rec_countdown);
  EXPECT_STREQ("REC 0:00:00", osd_layout.status_text);
  for (int i = 0; i < 4; i++) recording_status_update(&ctx);
  EXPECT_STREQ("REC 0:00:00", osd_layout.status_text);
  recording_status_update(&ctx);
  EXPECT_STREQ("", osd_layout.status_text) << "hidden after five updates";
  EXPECT_FALSE(dump().opaque(osd_layout.status_x + 60, osd_layout.status_y + 2));

  // Icons follow the label's table entry, whatever its text.
  get_param_block()->dvr_status_icons = 1;
  LangTable[LANG_FF] = "AV ";
  drawTimeStatus(&ctx, 90000 * 3725, LangTable[LANG_FF]);
  LangTable[LANG_FF] = lang_english[LANG_FF];
  EXPECT_STREQ("  1:02:05", osd_layout.status_text);
  s = dump();
  int white = 0;
  for (int y = osd_layout.status_y - 2; y < osd_layout.status_y + 14; y++)
    for (int x = osd_layout.status_x; x < osd_layout.status_x + 16; x++) white += s.white(x, y);
  EXPECT_GT(white, 40) << "the fast-forward icon";
}

// Where the on-screen keyboard puts a row's label or key (the layout's
// geometry: centred above the bottom, rows a font height and 4 apart, keys
// every three cells after the left label).
struct Osk {
  int fw = osd_font_width, fh = osd_font_height;
  int w = (22 * fw + 5) * 2, h = 5 * fh + 30;
  int x = (640 - w) / 2 + 5, y = 480 - 5 - h + 5;
  int row_y(int r) const { return y + r * (fh + 4) + fh / 2; }
  int key(int left_len, int i) const { return x + left_len * fw + fw + 3 * fw * i + fw / 2; }
};

TEST_F(Gui, TextEntryDialogWithKeyboardOrOnScreenKeys) {
  // A keyboard attached: no on-screen keyboard, even with a pointer; typing
  // lands between waits; a full text takes nothing more; Escape keeps the
  // caller's text.
  gui_input.keyboard_present = 1;
  gui_input.pointer_device = 1;
  Osk k;
  char text[61] = "12";
  bool osk_seen = false;
  g_on_wait = [&](size_t i) {
    osk_seen = osk_seen || dump().opaque(k.x, k.y);
    pthread_mutex_lock(&text_entry.mutex);
    for (int n = 0; n < (i == 0 ? 70 : 0); n++) text_entry_insert('x');
    pthread_mutex_unlock(&text_entry.mutex);
  };
  feed({DVR_KEY_TEXT_CHANGED, DVR_KEY_ESCAPE});
  EXPECT_EQ(-1, text_entry_dialog(&ctx, "Enter text:", text, sizeof text));
  EXPECT_STREQ("12", text);
  feed({DVR_KEY_TEXT_CHANGED, DVR_KEY_MENU_OK});
  EXPECT_EQ(0, text_entry_dialog(&ctx, "Enter text:", text, sizeof text));
  EXPECT_EQ("12" + std::string(58, 'x'), text);
  EXPECT_FALSE(osk_seen);
  EXPECT_EQ(0, text_entry.text_mode);

  // Pointer only: Shift then "a" gives "A" and unshifts; Caps; BkSp; Space;
  // Enter confirms.
  gui_input.keyboard_present = 0;
  char word[8] = "";
  struct {
    int x, y;
  } clicks[] = {
      {k.x + 2 * k.fw, k.row_y(3)},  // Shift
      {k.key(5, 0), k.row_y(2)},     // a
      {k.key(5, 0), k.row_y(2)},     // a
      {k.x + 2 * k.fw, k.row_y(2)},  // Caps
      {k.key(6, 4), k.row_y(3)},     // b
      {k.key(6, 4), k.row_y(3)},     // b
      {k.key(0, 13) + k.fw, k.row_y(0)},  // BkSp
      {k.x + 12 * k.fw, k.row_y(4)},      // Space
      {k.key(5, 11) + k.fw, k.row_y(2)},  // Enter
  };
  std::vector<DvrKey> keys(sizeof clicks / sizeof *clicks, DVR_KEY_MOUSE_EVENT);
  feed(keys);
  g_on_wait = [&](size_t i) {
    if (i == 0) osk_seen = dump().opaque(k.x, k.y);
    gui_input.x = clicks[i].x;
    gui_input.y = clicks[i].y;
    gui_input.click_pending = 1;
  };
  EXPECT_EQ(0, text_entry_dialog(&ctx, "Enter text:", word, sizeof word));
  EXPECT_TRUE(osk_seen);
  EXPECT_STREQ("AaB ", word);
  EXPECT_FALSE(dump().opaque(k.x, k.y)) << "the keyboard is removed";
  gui_input.modifiers = 0;

  // Exit cancels.
  feed({DVR_KEY_MOUSE_EVENT});
  g_on_wait = [&](size_t) {
    gui_input.x = k.x + k.fw;
    gui_input.y = k.row_y(4);
    gui_input.click_pending = 1;
  };
  EXPECT_EQ(-1, text_entry_dialog(&ctx, "Enter text:", word, sizeof word));
  EXPECT_STREQ("AaB ", word);
}

// The mouse's hardware cursor starts at 100,100 and follows the mouse on the
// OSD dump.
TEST_F(Gui, MouseCursorOnTheDump) {
  ASSERT_EQ(0, sim_input_plug(1, "mouse"));
  keyboard_reset();
  keyboard_scan();
  Shown s = dump();
  EXPECT_TRUE(s.white(100, 100) && s.white(108, 108));
  EXPECT_FALSE(s.opaque(104, 104));
  sim_input_push(1, EV_REL, REL_X, 50);
  sim_input_push(1, EV_SYN, SYN_REPORT, 0);
  keyboard_scan();
  s = dump();
  EXPECT_TRUE(s.white(150, 100));
  EXPECT_FALSE(s.opaque(100, 100));
  sim_input_unplug(1);
  keyboard_scan();
  keyboard_reset();
  hwreg_write(0x01C71C10, 0);
}

}  // namespace
