// The secondary overlays in process on a simulated USB volume: their files
// written and read back (the bytes compared), the checks on what a file
// holds, the coded message, the title key and its editor (the slots of
// channel 0 and, for the "off" message, tesseract), the text size row and
// "Erase all".
#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <string>
#include <vector>

#include "core/board_io.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_access.h"
#include "display/screens/menu_screens.h"
#include "display/osd_ocr.h"
#include "display/screens/overlay_editor.h"
#include "media/capture.h"
#include "display/menu_script.h"
#include "display/save_probe.h"
#include "osd/osd_channel.h"
#include "test_root.h"

namespace {

struct Ovl : MenuScript {
  std::string dir;
  void SetUp() override {
    MenuScript::SetUp();
    mount_internal();
    osdInit(get_param_block());
    dir = backing("sda1");
    for (int n = 1; n <= 4; n++) {
      TextOverlayConf *c = overlay_conf(n);
      overlay_text_parse(c, "", 0);
      *c = {2, 150, 100, 0, c->file, -1, nullptr, 0};
    }
    osd_layout.current_overlay = 0;
    osd_layout.coded_message[0] = 0;
    capture_block.input_width = capture_block.input_height = 0;
  }
  std::string read(const char *name) {
    std::string s;
    if (FILE *f = fopen((dir + "/" + name).c_str(), "rb")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
      fclose(f);
    }
    return s;
  }
  void write(const char *name, const std::string &s) {
    FILE *f = fopen((dir + "/" + name).c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(s.data(), 1, s.size(), f);
    fclose(f);
  }
  void save(TextOverlayConf *c) {
    dismiss();
    play([&] { EXPECT_EQ(overlay_file_save(&ctx, c), 0); });
  }
  static std::vector<std::string> lines(const TextOverlayConf *c) {
    std::vector<std::string> v;
    for (uint32_t at = 0; at < c->text_size; at += uint32_t(v.back().size()) + 1) v.emplace_back(c->text + at);
    return v;
  }
  // The text slot k of channel 0 holds: its message, "" when empty.
  static std::string slot_text(int k, int *x = nullptr, int *y = nullptr) {
    const OverlaySlot &s = osd_channel(0)->slots[k];
    if (s.type != OSD_SLOT_TEXT || !s.data) return "";
    const OsdTextConfig *cfg = (const OsdTextConfig *)s.data;
    if (x) *x = int(cfg->x);
    if (y) *y = int(cfg->y);
    return cfg->message;
  }
};

TEST_F(Ovl, FilesRoundTripWithTheirSettingsChecked) {
  TextOverlayConf *c = overlay_conf(1);
  ASSERT_EQ(overlay_text_parse(c, "Hello\nWorld\n", 12), 0);
  save(c);
  EXPECT_EQ(read("parameters.txt"), "#ovl 2 0 150 100\r\nHello\r\nWorld\r\n");
  *c = {3, 1, 2, 5, c->file, -1, c->text, c->text_size};
  ASSERT_EQ(overlay_file_load(c), 0);
  EXPECT_EQ(c->font * 1000 + c->background * 100 + c->x * 10 + c->y, 2000 + 1500 + 100);
  EXPECT_EQ(lines(c), (std::vector<std::string>{"Hello", "World"}));
  EXPECT_EQ(c->source, STORAGE_INT);

  // The large font stays; the mount hook copies the settings out.
  c->font = 4;
  c->background = 6;
  save(c);
  c->font = 1;
  c->source = -1;
  storage_hooks.overlay_files_load(STORAGE_INT);
  EXPECT_EQ(c->font, 4);
  EXPECT_EQ(get_param_block()->dvr_secondary_overlay[0].font, 4);
  EXPECT_EQ(get_param_block()->dvr_secondary_overlay[0].background, 6);

  // Bad values; a long line is cut, not split; no "#ovl" keeps the settings.
  std::string l50(50, 'a'), l100(100, 'b');
  write("extra.txt", "#ovl 7 3\r\n" + l50 + "\r\n" + l100 + "\nlast");
  TextOverlayConf *e = overlay_conf(3);
  ASSERT_EQ(overlay_file_load(e), 0);
  EXPECT_EQ(e->font * 10 + e->background, 10);
  EXPECT_EQ(e->x, 150);
  EXPECT_EQ(lines(e), (std::vector<std::string>{l50.substr(0, 32), l100.substr(0, 32), "last"}));
  write("extra.txt", "plain\n");
  ASSERT_EQ(overlay_file_load(e), 0);
  EXPECT_EQ(e->font, 1);
  EXPECT_EQ(lines(e), (std::vector<std::string>{"plain"}));

  // Positions outside the frame are zeroed only once its size is known.
  write("extra.txt", "#ovl 2 1 3000 2000\n");
  ASSERT_EQ(overlay_file_load(e), 0);
  EXPECT_EQ(e->x * 10000 + e->y, 30002000);
  capture_block.input_width = 1920;
  capture_block.input_height = 1080;
  ASSERT_EQ(overlay_file_load(e), 0);
  EXPECT_EQ(e->x * 10000 + e->y, 0);
  EXPECT_EQ(overlay_file_load(overlay_conf(4)), -1) << "no addtl.txt anywhere";
}

// A volume's file is read only as far as an overlay can use it, whatever
// its size, and never through a link.
TEST_F(Ovl, HugeFilesAreReadOnlyAsFarAsTheyCanBeUsed) {
  std::string text;
  for (int i = 0; i < 100000; i++) text += "line " + std::to_string(i) + "\r\n";
  write("addtl.txt", text);
  ASSERT_EQ(truncate((dir + "/addtl.txt").c_str(), 64 << 20), 0);
  log_reset();
  TextOverlayConf *c = overlay_conf(4);
  ASSERT_EQ(overlay_file_load(c), 0);
  std::vector<std::string> got = lines(c);
  ASSERT_FALSE(got.empty());
  EXPECT_LE(got.size(), (size_t)OVERLAY_CODES_MAX);
  EXPECT_EQ(got[0], "line 0");
  std::string log(1 << 16, '\0');
  log.resize(log_copy(log_get_tail(), &log[0], log.size()));
  EXPECT_NE(log.find("addtl.txt is longer than"), std::string::npos) << log;

  std::string sealed = std::string(root_dir()) + "/tmp/sealed_extra.txt";
  FILE *f = fopen(sealed.c_str(), "wb");
  ASSERT_TRUE(f);
  fputs("#ovl 3 0 0 0\nSEALED\n", f);
  fclose(f);
  unlink((dir + "/extra.txt").c_str());
  ASSERT_EQ(symlink(sealed.c_str(), (dir + "/extra.txt").c_str()), 0);
  EXPECT_NE(overlay_file_load(overlay_conf(3)), 0) << "read through a link";
}

TEST_F(Ovl, CodedMessageIsLookedUpOrChosenAndKept) {
  const char list[] = "A1 First message\0a12   Second one\0B7\0";
  char m[40] = "x";
  EXPECT_EQ(overlay_code_lookup(list, sizeof list - 1, "a1", m, sizeof m), 1);
  EXPECT_STREQ(m, "First message");
  EXPECT_EQ(overlay_code_lookup(list, sizeof list - 1, "A12", m, sizeof m), 1);
  EXPECT_STREQ(m, "Second one");
  EXPECT_EQ(overlay_code_lookup(list, sizeof list - 1, "B7", m, sizeof m), 0) << "no space after it";
  EXPECT_EQ(overlay_code_lookup(list, sizeof list - 1, "A", m, sizeof m), 0);

  // Typed and found; then unknown: the list, its second row chosen.
  TextOverlayConf *c = overlay_conf(2);
  c->background = 1;
  ASSERT_EQ(overlay_text_parse(c, "A1 First message\na12   Second one\nB7\n", 37), 0);
  enter("A1");
  play([&] { EXPECT_EQ(select_code_message(&ctx), 1); });
  EXPECT_STREQ(osd_layout.coded_message, "First message");
  enter("zz");
  choose(2);
  play([&] { EXPECT_EQ(select_code_message(&ctx), 1); });
  EXPECT_STREQ(osd_layout.coded_message, "Second one");

  // The message outlives its list; shown as one line at the overlay's place.
  overlay_text_parse(c, "", 0);
  overlay_select(&ctx, 2);
  int x = 0, y = 0;
  EXPECT_EQ(slot_text(0, &x, &y), "Second one");
  EXPECT_EQ(x * 1000 + y, 150100);
  EXPECT_EQ(slot_text(1), "");
  // Cancelling keeps the message held.
  g_steps.push_back({DVR_KEY_ESCAPE});
  play([&] { EXPECT_EQ(select_code_message(&ctx), 1); });
  EXPECT_STREQ(osd_layout.coded_message, "Second one");
}

TEST_F(Ovl, TitleKeyEditsAndShowsThenHides) {
  TextOverlayConf *c = overlay_conf(1);
  c->background = 1;
  // Row 0 typed, Enter; row 1 typed, Up and Down again; escape.
  g_steps = {{DVR_KEY_MENU_OK, "HELLO"}, {DVR_KEY_UP, "WORLD 7391"}, {DVR_KEY_DOWN}, {DVR_KEY_ESCAPE}};
  play([&] { overlay_key_action(&ctx, 1); });
  EXPECT_EQ(osd_layout.current_overlay, 1);
  EXPECT_EQ(lines(c), (std::vector<std::string>{"HELLO", "WORLD 7391"}));
  int x = 0, y = 0;
  EXPECT_EQ(slot_text(0, &x, &y), "HELLO     ") << "padded to the longest line";
  EXPECT_EQ(x * 1000 + y, 150100);
  EXPECT_EQ(slot_text(1, &x, &y), "WORLD 7391");
  EXPECT_EQ(y, 100 + 16) << "one 16x16 line below";
  EXPECT_EQ(osd_channel(3)->slots[1].type, uint32_t(OSD_SLOT_TEXT)) << "mirrored to channel 3";

  // T again: off, with its message.
  std::string read_off;
  dismiss([&] {
    EXPECT_EQ(sim_video_out_command("osd /tmp/ovl.png"), 0);
    read_off = ocr("/tmp/ovl.png");
  });
  play([&] { overlay_key_action(&ctx, 1); });
  EXPECT_TRUE(ocr_has(read_off, "Title Overlay Off")) << read_off;
  EXPECT_EQ(osd_layout.current_overlay, 0);
  EXPECT_EQ(slot_text(0), "");
}

TEST_F(Ovl, MenuSetsTheTextSizeAndEraseAllDeletesTheFiles) {
  // "Text Size" (row 4), then "38x64" (from "16x16").
  choose(4);
  at(2);
  choose(4);
  play([&] { secondary_overlay_menu(&ctx, 3); });
  EXPECT_EQ(overlay_conf(3)->font, 4);
  EXPECT_EQ(get_param_block()->dvr_secondary_overlay[2].font, 4);

  for (int n : {1, 2}) {
    ASSERT_EQ(overlay_text_parse(overlay_conf(n), "x y", 3), 0);
    save(overlay_conf(n));
  }
  snprintf(osd_layout.coded_message, sizeof osd_layout.coded_message, "y");
  ASSERT_FALSE(read("coded.txt").empty());
  at(1);
  choose(8);
  dismiss();
  play([&] { overlay_menu(&ctx); });
  EXPECT_EQ(read("parameters.txt") + read("coded.txt"), "");
  EXPECT_EQ(overlay_conf(1)->text_size + overlay_conf(2)->text_size, 0u);
  EXPECT_STREQ(osd_layout.coded_message, "");
}

// "Edit Codes" shows 14 rows of a longer list: leaving it unchanged saves
// nothing, and an edit of a shown row keeps every line below them.
TEST_F(Ovl, EditCodesKeepsTheLinesTheEditorDoesNotShow) {
  TextOverlayConf *c = overlay_conf(2);
  std::string list;
  for (int i = 1; i <= 40; i++) list += "C" + std::to_string(i) + " message " + std::to_string(i) + "\n";
  ASSERT_EQ(overlay_text_parse(c, list.c_str(), uint32_t(list.size())), 0);
  save(c);
  const std::string saved = read("coded.txt");
  ASSERT_EQ(lines(c).size(), 40u);
  write("coded.txt", saved + "\r\n");   // told apart from a fresh save
  choose(1);                              // "Edit Codes", then escape at once
  g_steps.push_back({DVR_KEY_ESCAPE});
  play([&] { secondary_overlay_menu(&ctx, 2); });
  EXPECT_EQ(lines(c).size(), 40u);
  EXPECT_EQ(read("coded.txt"), saved + "\r\n") << "saved without a change";

  at(1);
  choose(1);                              // row 0 typed anew, escape
  g_steps.push_back({DVR_KEY_ESCAPE, "C1 first changed"});
  dismiss();                              // the "Saved" message
  play([&] { secondary_overlay_menu(&ctx, 2); });
  std::vector<std::string> now = lines(c);
  ASSERT_EQ(now.size(), 40u);
  EXPECT_EQ(now[0], "C1 first changed");
  EXPECT_EQ(now[13], "C14 message 14");
  EXPECT_EQ(now[39], "C40 message 40");
  const std::string file = read("coded.txt");
  EXPECT_NE(file.find("C1 first changed\r\n"), std::string::npos);
  EXPECT_NE(file.find("C40 message 40\r\n"), std::string::npos) << file;
}

// A custom text fills its field but for its NUL; the Text list shows each
// text whole and alone, and with the counter controller its two encoder rows.
TEST_F(Ovl, CustomTextsStayEndedAndTheTextListHasTheEncoderRows) {
  ParamBlock *p = get_param_block();
  choose(2);   // "Setup Primary Overlay"
  at(1);
  choose(2);   // "Custom Text"
  at(1);
  choose(1);   // the first, typed 45 characters long
  g_steps.push_back({DVR_KEY_MENU_OK, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghi"});
  play([&] { overlay_menu(&ctx); });
  EXPECT_EQ(strnlen(p->dvr_overlay_text[0], sizeof p->dvr_overlay_text[0]), 39u);
  EXPECT_STREQ(p->video[0].osd.message, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abc");

  // A field full to its end (as an older store may hold) is cut, not run on
  // into the next text.
  memset(p->dvr_overlay_text[0], 'Q', sizeof p->dvr_overlay_text[0]);
  snprintf(p->dvr_overlay_text[1], sizeof p->dvr_overlay_text[1], "NEXT");
  hwreg_map();
  sim_board_reset();
  gpio_state_reset();
  keypad_init(p);
  ASSERT_TRUE(counter_controller_present());
  at(1);
  choose(2);   // "Setup Primary Overlay"
  at(1);
  choose(1);   // "Text": title, three rows, two encoder rows, the two texts
  at(1);
  choose(4);
  play([&] { overlay_menu(&ctx); });
  EXPECT_STREQ(p->video[0].osd.message, "^d ^t^n^e");
  std::string menu;
  at(1);
  choose(2);
  at(1);
  choose(1);
  at(1);
  choose(6, [&] {
    shown();
    menu = ocr("/tmp/menu.png");
  });
  play([&] { overlay_menu(&ctx); });
  gpio_state_reset();
  EXPECT_STREQ(p->video[0].osd.message, std::string(39, 'Q').c_str());
  EXPECT_TRUE(ocr_has(menu, "NEXT")) << menu;
}

// A secondary overlay's font, background and place go into the block
// together, after a save holding the write lock lets it go.
TEST_F(Ovl, SecondaryOverlayFieldsWaitForASaveHoldingTheWriteLock) {
  ParamBlock *p = get_param_block();
  SecondaryOverlayParams was = p->dvr_secondary_overlay[1];
  TextOverlayConf c = *overlay_conf(2);
  c.font = was.font == 3 ? 2 : 3;
  c.background = was.background == 4 ? 1 : 4;
  c.x = was.x + 7;
  c.y = was.y + 9;
  bool changed = HeldSave::changed_while_held(
      [&] { overlay_conf_to_params(p, 2, &c); },
      [&] { return memcmp(&was, &p->dvr_secondary_overlay[1], sizeof was) != 0; });
  EXPECT_FALSE(changed);
  const SecondaryOverlayParams &now = p->dvr_secondary_overlay[1];
  EXPECT_EQ(c.font, now.font);
  EXPECT_EQ(c.background, now.background);
  EXPECT_EQ(c.x, now.x);
  EXPECT_EQ(c.y, now.y);
}

// The primary overlay switched on (and moved into the picture), moved, and
// its size wait for a save holding the write lock, and are stored after it.
TEST_F(Ovl, PrimaryOverlayPlaceAndSizeWaitForASaveHoldingTheWriteLock) {
  ParamBlock *p = get_param_block();
  OsdTextConfig *osd = &p->video[0].osd;
  osd->enabled = 0;
  osd->x = 2;
  osd->y = 3;
  p->dvr_primary_overlay_font_size = 0;   // never chosen: 16x16
  capture_block.input_width = 1920;
  capture_block.input_height = 1080;
  choose(1);   // Primary: on, moved into the picture
  bool changed = HeldSave::changed_while_held([&] { play([&] { overlay_menu(&ctx); }); },
                                              [&] { return osd->enabled || osd->x != 2 || osd->y != 3; });
  EXPECT_FALSE(changed);
  EXPECT_EQ(2, osd->enabled);
  EXPECT_EQ(100u, osd->x);
  EXPECT_EQ(400u, osd->y);

  choose(2);   // Setup Primary Overlay
  at(1);
  choose(11);  // top left
  changed = HeldSave::changed_while_held([&] { play([&] { overlay_menu(&ctx); }); },
                                         [&] { return osd->x != 100 || osd->y != 400; });
  EXPECT_FALSE(changed);
  EXPECT_EQ(10u, osd->x);
  EXPECT_EQ(10u, osd->y);

  // (The menu takes the size of the overlay shown, 2, as it opens.)
  at(1);
  choose(2);
  at(1);
  choose(5);   // Text Size, from "16x16" to "38x64"
  at(2);
  choose(4);
  changed = HeldSave::changed_while_held([&] { play([&] { overlay_menu(&ctx); }); },
                                         [&] { return p->dvr_primary_overlay_font_size != 2 || osd->enabled != 2; });
  capture_block.input_width = capture_block.input_height = 0;
  EXPECT_FALSE(changed);
  EXPECT_EQ(4, p->dvr_primary_overlay_font_size);
  EXPECT_EQ(4, osd->enabled);
}

// A save copies the block under the parameter write lock: a text chosen in
// the menu is stored under it too, never while a save holds it.
TEST_F(Ovl, ChosenTextIsStoredUnderTheWriteLock) {
  ParamBlock *p = get_param_block();
  snprintf(p->video[0].osd.message, sizeof p->video[0].osd.message, "before");
  std::atomic<int> held{0};
  bool changed_while_held = false;
  std::thread saver;
  choose(2);   // "Setup Primary Overlay"
  at(1);
  choose(1);   // "Text"
  at(1);
  choose(2, [&] {   // "^d" once the key is taken, while a save holds the lock
    saver = std::thread([&] {
      param_write_begin();
      held = 1;
      for (int i = 0; i < 100 && !changed_while_held; i++) {
        changed_while_held = strcmp(p->video[0].osd.message, "before") != 0;
        usleep(10000);
      }
      param_write_end();
    });
    EXPECT_TRUE(wait_until([&] { return held != 0; }, 30000)) << "the save never took the lock";
  });
  play([&] { overlay_menu(&ctx); });
  saver.join();
  EXPECT_FALSE(changed_while_held);
  EXPECT_STREQ(p->video[0].osd.message, "^d");
}

}  // namespace

// A custom text typed in the menu is stored, and shown, under the write lock.
TEST_F(Ovl, TypedCustomTextIsStoredUnderTheWriteLock) {
  ParamBlock *p = get_param_block();
  snprintf(p->dvr_overlay_text[0], sizeof p->dvr_overlay_text[0], "old");
  snprintf(p->video[0].osd.message, sizeof p->video[0].osd.message, "before");
  SaveProbe probe;
  choose(2);   // "Setup Primary Overlay"
  at(1);
  choose(2);   // "Custom Text"
  at(1);
  choose(1);   // the first
  g_steps.push_back({DVR_KEY_MENU_OK, "TYPED", [&] {
                       probe.start([p] {
                         return strcmp(p->dvr_overlay_text[0], "old") != 0 ||
                                strcmp(p->video[0].osd.message, "before") != 0;
                       });
                     }});
  play([&] { overlay_menu(&ctx); });
  EXPECT_FALSE(probe.stored_while_held());
  EXPECT_TRUE(SaveProbe::lock_free());
  EXPECT_STREQ(p->dvr_overlay_text[0], "TYPED");
  EXPECT_STREQ(p->video[0].osd.message, "TYPED");

  // Without a keyboard a stored text is chosen as it is.
  gui_input.keyboard_present = 0;
  snprintf(p->dvr_overlay_text[1], sizeof p->dvr_overlay_text[1], "SECOND");
  at(1);
  choose(2);   // "Setup Primary Overlay"
  at(1);
  choose(2);   // "Custom Text"
  at(1);
  choose(2, [&] { probe.start([p] { return strcmp(p->video[0].osd.message, "TYPED") != 0; }); });
  play([&] { overlay_menu(&ctx); });
  EXPECT_FALSE(probe.stored_while_held());
  EXPECT_TRUE(SaveProbe::lock_free());
  EXPECT_STREQ(p->video[0].osd.message, "SECOND");
}
