// The file browser and the file actions in process on the simulated SD card
// and USB volumes, driven by fed keys: what the lists show (tesseract), the
// order and paging of the files, and what copy, move, delete and rename
// leave on the volumes (cmp, the directories themselves).
#include <chrono>
#include <functional>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "display/dvr_logic.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/screens/menu_screens.h"
#include "display/osd_ocr.h"
#include "display/text_entry.h"
#include "display/osd_test_support.h"
#include "storage/storage_test_support.h"

namespace {

std::vector<DvrKey> g_keys;
std::vector<size_t> g_reads;               // the waits that read the screen first
size_t g_next;
std::vector<std::string> g_screens;
std::function<void(size_t)> g_on_wait;     // before each fed key
std::vector<std::string> g_acted;
std::vector<int> g_results;

int record_action(GuiContext *, const char *name) {
  g_acted.push_back(name);
  int r = g_results.empty() ? 0 : g_results.front();
  if (!g_results.empty()) g_results.erase(g_results.begin());
  return r;
}

struct Browser : ::testing::Test {
  GuiContext ctx{};
  std::string dir[3];   // the DCIM backing directories of internal, external, SD

  void SetUp() override {
    storage_test_board();
    get_param_block()->keys_menu_back_option = 0;
    ASSERT_EQ(osd_test_open(&ctx), 0);
    osd_state.ctx = &ctx;
    key_mailbox_reset();
    dvr_key_hooks = DvrKeyHooks();
    storage_hooks = StorageHooks();
    gui_toolkit_install_hooks();
    dvr_logic_install_hooks();
    dvr_key_hooks.feed_key = [] {
      size_t i = g_next++;
      if (std::find(g_reads.begin(), g_reads.end(), i) != g_reads.end()) {
        EXPECT_EQ(sim_video_out_command("osd /tmp/browser.png"), 0);
        g_screens.push_back(ocr("/tmp/browser.png"));
      }
      if (g_on_wait) g_on_wait(i);
      return i < g_keys.size() ? g_keys[i] : (DvrKey)DVR_KEY_ESCAPE;
    };
    g_on_wait = nullptr;
    feed({});
    g_acted.clear();
    const char *devs[] = {"sda1", "sdb1", "mmcblk0p1"};
    for (int i = 0; i < 3; i++) {
      ASSERT_EQ(sim_storage_insert(devs[i], i == 2 ? 0 : 3 - 2 * i, 128ULL << 20, "vfat"), 0);
      char b[512];
      dir[i] = std::string(sim_storage_backing_dir(devs[i], b, sizeof b)) + "/DCIM";
      ASSERT_EQ(system(("rm -rf '" + dir[i] + "' && mkdir -p '" + dir[i] + "'").c_str()), 0);
    }
    for (int i = 0; i < 3; i++) fileSysTick(get_param_block());
  }
  void TearDown() override {
    dvr_key_hooks = DvrKeyHooks();
    storage_hooks = StorageHooks();
    key_mailbox_reset();
    storage_test_volumes_clear();
    osd_release();
  }
  static void feed(std::vector<DvrKey> keys, std::vector<size_t> reads = {}) {
    g_keys = keys;
    g_reads = reads;
    g_next = 0;
    g_screens.clear();
  }
  void put(int source, const std::string &name, size_t size, char fill = 'a') {
    std::string data(size, fill);
    for (size_t i = 0; i < size; i += 4096) data[i] = (char)(i / 4096);
    FILE *f = fopen((dir[source] + "/" + name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(data.data(), 1, size, f);
    fclose(f);
  }
  bool has(int source, const std::string &name) { return access((dir[source] + "/" + name).c_str(), F_OK) == 0; }
  static int cmp(const std::string &a, const std::string &b) {
    return system(("cmp -s '" + a + "' '" + b + "'").c_str());
  }
  static std::string shown(void) {
    std::string t;
    for (const std::string &s : g_screens) t += "[" + s + "] ";
    return t;
  }
};

TEST(FormatSize, ThreeSignificantDigitsAndTheNextUnitWhenItRoundsUp) {
  const std::pair<uint64_t, const char *> cases[] = {
      {999, "999 B"},     {1000, "1.00 KB"},  {1234, "1.23 KB"},   {9995, "10.0 KB"},
      {12345, "12.3 KB"}, {99950, "100 KB"},  {999499, "999 KB"},  {999500, "1.00 MB"},
      {1234567890, "1.23 GB"}, {~0ULL, "18446744.1 TB"}};
  for (const auto &c : cases) {
    char out[24];
    format_size(out, sizeof out, c.first);
    EXPECT_STREQ(out, c.second) << c.first;
  }
}

// 40 dated videos, and what the filter leaves out: newest first in pages of
// 16, the last reachable; "next" from a page's last row goes on to the next.
TEST_F(Browser, DatedFilesPageNewestFirst) {
  for (int i = 0; i < 40; i++) {
    char name[32];
    snprintf(name, sizeof name, "20260101-%03d.%s", i, i % 2 ? "mp4" : "TS");
    put(STORAGE_MMC, name, 1234 + i);
  }
  put(STORAGE_MMC, "notes.txt", 10);
  put(STORAGE_MMC, "20261231-000.jpg", 10);
  ASSERT_EQ(mkdir((dir[STORAGE_MMC] + "/20261231-001.mp4").c_str(), 0755), 0);
  osd_layout.browse_source = STORAGE_MMC;
  ASSERT_EQ(menu_rows_limit(&ctx, 18) - 2, 16);
  // OK on the newest; Page Down three times (the last page stays); its last
  // row; back to the first page, up past "..." to its last row.
  std::vector<DvrKey> keys = {DVR_KEY_MENU_OK, DVR_KEY_PAGE_DOWN, DVR_KEY_PAGE_DOWN, DVR_KEY_PAGE_DOWN};
  keys.insert(keys.end(), 7, DVR_KEY_DOWN);
  keys.insert(keys.end(), {DVR_KEY_MENU_OK, DVR_KEY_PAGE_UP, DVR_KEY_PAGE_UP, DVR_KEY_UP, DVR_KEY_UP,
                           DVR_KEY_MENU_OK});
  feed(keys, {0, 11});
  g_results = {0, 0, 2, 0};
  file_browser(&ctx, "== Test ==", FILE_FILTER_VIDEO, record_action, 0, nullptr);
  EXPECT_EQ(g_acted, (std::vector<std::string>{"20260101-039.mp4", "20260101-000.TS", "20260101-024.TS",
                                                "20260101-023.mp4"}));
  ASSERT_EQ(g_screens.size(), 2u);
  EXPECT_TRUE(ocr_has(g_screens[0], "Test 20260101-039.mp4 1.27 KB 20260101-038.TS")) << shown();
  EXPECT_TRUE(ocr_has(g_screens[1], "20260101-000.TS 1.23 KB")) << shown();
  EXPECT_FALSE(ocr_has(shown(), "notes.txt")) << shown();
}

// Names past the length limit for names from outside are not offered: the
// action gets the longest name allowed whole, never a longer one cut.
TEST_F(Browser, NamesPastTheLimitAreNotListed) {
  std::string at = std::string(FILESYS_NAME_MAX - 4, 'a') + ".mp4";
  put(STORAGE_MMC, at, 100);
  for (size_t len : {FILESYS_NAME_MAX + 1, 200, 255})
    put(STORAGE_MMC, std::string(len - 4, 'b') + ".mp4", 100);
  osd_layout.browse_source = STORAGE_MMC;
  feed({DVR_KEY_MENU_OK, DVR_KEY_DOWN, DVR_KEY_MENU_OK});
  file_browser(&ctx, "== Test ==", FILE_FILTER_VIDEO, record_action, 0, nullptr);
  EXPECT_EQ(g_acted, (std::vector<std::string>{at, at}));
}

// Both USB volumes: the source question, the list under its title; the
// management rows, Toggle Copy or Move and Select files.
TEST_F(Browser, SourceQuestionAndManagementRows) {
  ParamBlock *p = get_param_block();
  put(STORAGE_EXT, "20260102-000.mp4", 100);
  put(STORAGE_INT, "20260103-000.mp4", 100);
  feed({DVR_KEY_PLAY_PAUSE, DVR_KEY_ESCAPE}, {0, 1});
  play_video_menu(&ctx);
  EXPECT_EQ(osd_layout.browse_source, STORAGE_EXT);
  ASSERT_EQ(g_screens.size(), 2u);
  EXPECT_TRUE(ocr_has(g_screens[0], "Play Video Source External Internal")) << shown();
  EXPECT_TRUE(ocr_has(g_screens[1], "Play Video External 20260102-000.mp4")) << shown();

  // Copy video x2, copy snapshots x2, delete x2, rename x2 (a keyboard),
  // toggle, select: toggle, then Select files four times.
  p->dvr_copy_or_move = 0;
  p->dvr_group_select = 0;
  gui_input.keyboard_present = 1;
  std::vector<DvrKey> keys(8, DVR_KEY_DOWN);
  keys.insert(keys.end(), {DVR_KEY_MENU_OK, DVR_KEY_DOWN});
  keys.insert(keys.end(), 4, DVR_KEY_MENU_OK);
  feed(keys, {0, 14});
  file_management_menu(&ctx);
  gui_input.keyboard_present = 0;
  EXPECT_EQ(p->dvr_copy_or_move, 1);
  EXPECT_EQ(p->dvr_group_select, 1);
  ASSERT_EQ(g_screens.size(), 2u);
  EXPECT_TRUE(ocr_has(g_screens[0], "File Management Copy video from internal Copy snapshots from external "
                                    "Delete files from internal Rename files on external Toggle Copy or Move "
                                    "Select files : Individual"))
      << shown();
  EXPECT_TRUE(ocr_has(g_screens[1], "Move video from external Select files : Group")) << shown();
  p->dvr_copy_or_move = p->dvr_group_select = 0;
}

TEST_F(Browser, CopyMoveAndCancel) {
  ParamBlock *p = get_param_block();
  osd_layout.browse_source = STORAGE_INT;
  put(STORAGE_INT, "clip.mp4", 3 << 20, 'c');
  put(STORAGE_EXT, "clip.mp4", 10, 'x');
  std::string ref = dir[STORAGE_EXT] + "/../ref.mp4", in = dir[STORAGE_INT] + "/clip.mp4",
              ext = dir[STORAGE_EXT] + "/clip.mp4";
  ASSERT_EQ(system(("cp '" + in + "' '" + ref + "'").c_str()), 0);

  // The destination exists: Cancel (the cursor's row) keeps it, Overwrite
  // replaces it.
  feed({DVR_KEY_MENU_OK});
  EXPECT_EQ(copy_video_action(&ctx, "clip.mp4"), 0);
  EXPECT_NE(cmp(in, ext), 0);
  feed({DVR_KEY_UP, DVR_KEY_MENU_OK, DVR_KEY_ESCAPE}, {0, 2});
  EXPECT_EQ(copy_video_action(&ctx, "clip.mp4"), 0);
  EXPECT_EQ(cmp(in, ext), 0);
  ASSERT_EQ(g_screens.size(), 2u);
  EXPECT_TRUE(ocr_has(g_screens[0], "Destination video exists. Overwrite Cancel")) << shown();
  EXPECT_TRUE(ocr_has(g_screens[1], "Copying video complete.")) << shown();

  // Move back: the source goes. Then a move whose source cannot be deleted
  // (its volume stays read-only) keeps both.
  // The key that closed a message box is left for the browser's loop,
  // which these direct calls do not run: a copy would take it for a stop.
  p->dvr_copy_or_move = 1;
  key_mailbox_reset();
  ASSERT_EQ(unlink(in.c_str()), 0);
  osd_layout.browse_source = STORAGE_EXT;
  EXPECT_EQ(copy_video_action(&ctx, "clip.mp4"), 1);
  EXPECT_FALSE(has(STORAGE_EXT, "clip.mp4"));
  EXPECT_EQ(cmp(ref, in), 0);
  osd_layout.browse_source = STORAGE_INT;
  sim_storage_fail_mount("sda1", "Permission denied", 1);
  key_mailbox_reset();
  feed({DVR_KEY_ESCAPE}, {0});
  EXPECT_EQ(copy_video_action(&ctx, "clip.mp4"), 0);
  EXPECT_EQ(cmp(ref, in), 0);
  EXPECT_EQ(cmp(ref, ext), 0);
  EXPECT_TRUE(ocr_has(g_screens.at(0), "Deleting file failed.")) << shown();
  p->dvr_copy_or_move = 0;

  // Stop while copying asks; "Yes" cancels (-1: the browser stays). The
  // storage manager reports progress when the wall-clock second turns, so
  // the copy starts just before one, again if it finished first.
  put(STORAGE_INT, "big.mp4", 48 << 20, 'b');
  int result = 0;
  for (int attempt = 0; attempt < 5 && result != -1; attempt++) {
    unlink((dir[STORAGE_EXT] + "/big.mp4").c_str());
    // A host too busy to catch the last 5 ms of a second in 10 s tries the
    // attempt where it is.
    struct timeval tv;
    auto by = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      usleep(200);
      gettimeofday(&tv, nullptr);
    } while (tv.tv_usec < 995000 && std::chrono::steady_clock::now() < by);
    feed({DVR_KEY_UP, DVR_KEY_MENU_OK}, {0});
    dvr_post_key(DVR_KEY_STOP_BACK);
    result = copy_video_action(&ctx, "big.mp4");
  }
  ASSERT_EQ(result, -1);
  EXPECT_TRUE(ocr_has(g_screens.at(0), "Cancel Copy Operation? Yes No")) << shown();
  EXPECT_TRUE(has(STORAGE_INT, "big.mp4"));
  // Without a key waiting: the percentage.
  key_mailbox_reset();
  EXPECT_EQ(show_progress(&ctx, 123), 0);
  feed({}, {0});
  dvr_wait_key(&ctx, 0);
  EXPECT_TRUE(ocr_has(g_screens.at(0), "12.3%")) << shown();
}

TEST_F(Browser, DeleteAndGroups) {
  ParamBlock *p = get_param_block();
  osd_layout.browse_source = STORAGE_EXT;
  put(STORAGE_EXT, "a.mp4", 100);
  feed({DVR_KEY_MENU_OK});
  EXPECT_EQ(delete_file_action(&ctx, "a.mp4"), 1);
  EXPECT_FALSE(has(STORAGE_EXT, "a.mp4"));

  // "All" asks at once. Stop before the third file cancels the rest.
  for (int i = 0; i < 5; i++) put(STORAGE_EXT, "g" + std::to_string(i) + ".jpg", 100);
  p->dvr_group_select = 2;
  static int deleted;
  deleted = 0;
  storage_hooks.file_list_stale = [] {
    if (++deleted == 2) dvr_post_key(DVR_KEY_STOP_BACK);
  };
  feed({DVR_KEY_UP, DVR_KEY_MENU_OK, DVR_KEY_UP, DVR_KEY_MENU_OK}, {0});
  file_browser(&ctx, "== Delete ==", FILE_FILTER_RECORDING, delete_file_action, 0, delete_files_group);
  EXPECT_TRUE(ocr_has(g_screens.at(0), "5 files selected Delete files Change selection Cancel")) << shown();
  EXPECT_FALSE(has(STORAGE_EXT, "g4.jpg") || has(STORAGE_EXT, "g3.jpg"));
  EXPECT_TRUE(has(STORAGE_EXT, "g2.jpg") && has(STORAGE_EXT, "g1.jpg") && has(STORAGE_EXT, "g0.jpg"));
  EXPECT_EQ(sim_storage_mount_state("/media/ext"), 0) << "the batch's writer is gone";

  // "Group": rows toggle their marks; back asks; the marked ones go.
  p->dvr_group_select = 1;
  storage_hooks.file_list_stale = nullptr;
  feed({DVR_KEY_MENU_OK, DVR_KEY_DOWN, DVR_KEY_DOWN, DVR_KEY_MENU_OK, DVR_KEY_ESCAPE, DVR_KEY_UP,
        DVR_KEY_MENU_OK});
  file_browser(&ctx, "== Delete ==", FILE_FILTER_RECORDING, delete_file_action, 0, delete_files_group);
  EXPECT_FALSE(has(STORAGE_EXT, "g2.jpg") || has(STORAGE_EXT, "g0.jpg"));
  EXPECT_TRUE(has(STORAGE_EXT, "g1.jpg"));

  // Group move of all, one of them already on the other volume: Skip.
  p->dvr_group_select = 2;
  p->dvr_copy_or_move = 1;
  osd_layout.browse_source = STORAGE_INT;
  for (int i = 0; i < 3; i++) put(STORAGE_INT, "v" + std::to_string(i) + ".ts", 5000 + i, 'v');
  put(STORAGE_EXT, "v1.ts", 10, 'o');
  feed({DVR_KEY_MENU_OK, DVR_KEY_UP, DVR_KEY_MENU_OK}, {1});
  file_browser(&ctx, "== Move ==", FILE_FILTER_VIDEO, copy_video_action, 0, copy_files_group);
  EXPECT_TRUE(ocr_has(g_screens.at(0), "already exists Overwrite all Skip")) << shown();
  EXPECT_TRUE(!has(STORAGE_INT, "v0.ts") && has(STORAGE_INT, "v1.ts") && !has(STORAGE_INT, "v2.ts"));
  EXPECT_TRUE(has(STORAGE_EXT, "v0.ts") && has(STORAGE_EXT, "v2.ts"));
  struct stat st;
  ASSERT_EQ(stat((dir[STORAGE_EXT] + "/v1.ts").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 10) << "skipped";
  p->dvr_group_select = p->dvr_copy_or_move = 0;
}

// A group move cut short (here by the quit, seen by the copy at its first
// step) keeps the source of the file whose copy was cut, and the rest.
TEST_F(Browser, CutGroupMoveKeepsTheUncopiedSources) {
  ParamBlock *p = get_param_block();
  p->dvr_copy_or_move = 1;
  osd_layout.browse_source = STORAGE_INT;
  FileEntry entries[3] = {};
  uint8_t selected[3] = {1, 1, 1};
  for (int i = 0; i < 3; i++) {
    snprintf(entries[i].name, sizeof entries[i].name, "m%d.ts", i);
    entries[i].size = (1 << 20) + i;
    put(STORAGE_INT, entries[i].name, entries[i].size, char('m' + i));
    ASSERT_EQ(system(("cp '" + dir[STORAGE_INT] + "/" + entries[i].name + "' '" + dir[STORAGE_INT] +
                      "/../" + entries[i].name + "'").c_str()), 0);
  }
  // The first source deleted: the quit comes before the second copy.
  storage_hooks.file_list_stale = [] { set_exit_code(EXIT_QUIT); };
  feed({DVR_KEY_MENU_OK});
  copy_files_group(&ctx, entries, selected, 3);
  storage_hooks.file_list_stale = nullptr;
  set_exit_code(EXIT_RUNNING);
  p->dvr_copy_or_move = 0;
  EXPECT_FALSE(has(STORAGE_INT, "m0.ts"));
  EXPECT_EQ(cmp(dir[STORAGE_INT] + "/../m0.ts", dir[STORAGE_EXT] + "/m0.ts"), 0);
  for (int i = 1; i < 3; i++)
    EXPECT_EQ(cmp(dir[STORAGE_INT] + "/../" + entries[i].name, dir[STORAGE_INT] + "/" + entries[i].name), 0)
        << entries[i].name;
  for (int i = 0; i < 3; i++) unlink((dir[STORAGE_INT] + "/../" + entries[i].name).c_str());
}

TEST_F(Browser, RenameKeepsTheExtensionAndTheDirectory) {
  osd_layout.browse_source = STORAGE_INT;
  put(STORAGE_INT, "a.mp4", 10);
  put(STORAGE_INT, "b.mp4", 10);
  auto rename_to = [&](const char *from, const std::string &to) {
    feed({DVR_KEY_TEXT_CHANGED, DVR_KEY_MENU_OK});
    g_on_wait = [to](size_t i) {
      if (i) return;
      pthread_mutex_lock(&text_entry.mutex);
      text_entry_end();
      while (text_entry.cursor) text_entry_backspace();
      for (char c : to) text_entry_insert(c);
      pthread_mutex_unlock(&text_entry.mutex);
    };
    int r = rename_file_action(&ctx, from);
    g_on_wait = nullptr;
    return r;
  };
  EXPECT_EQ(rename_to("a.mp4", "clip"), 1);
  EXPECT_TRUE(has(STORAGE_INT, "clip.mp4"));
  EXPECT_EQ(rename_to("clip.mp4", "CLIP2.MP4"), 1);
  EXPECT_TRUE(has(STORAGE_INT, "CLIP2.MP4"));
  EXPECT_EQ(rename_to("CLIP2.MP4", "b.mp4"), 0);
  EXPECT_EQ(rename_to("CLIP2.MP4", "../x"), 0);
  EXPECT_EQ(rename_to("CLIP2.MP4", "sub/x"), 0);
  EXPECT_TRUE(has(STORAGE_INT, "CLIP2.MP4") && has(STORAGE_INT, "b.mp4"));
  EXPECT_FALSE(has(STORAGE_INT, "../x.MP4"));
}

TEST_F(Browser, VolumePulledWhileBrowsing) {
  osd_layout.browse_source = STORAGE_EXT;
  put(STORAGE_EXT, "a.mp4", 10);
  feed({DVR_KEY_PAGE_DOWN}, {1});
  g_on_wait = [](size_t i) {
    if (i) return;
    sim_storage_remove("sdb1");
    for (int t = 0; t < 3; t++) fileSysTick(get_param_block());
  };
  file_browser(&ctx, "== Test ==", FILE_FILTER_VIDEO, record_action, 0, nullptr);
  g_on_wait = nullptr;
  EXPECT_TRUE(g_acted.empty());
  EXPECT_TRUE(ocr_has(g_screens.at(0), "external storage not present")) << shown();
}

}  // namespace
