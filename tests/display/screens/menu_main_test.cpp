// The main menu, Setup and the choosers on the simulated framebuffers,
// driven by a key feeder answering each key wait: the parameters each row
// changes, the values the adjusters keep within their bounds, the rows shown
// (read back by tesseract), the clock, the Wi-Fi daemons and a firmware
// image made by mkimage.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <algorithm>
#include <sstream>
#include <unistd.h>
#include <string>
#include <vector>

#include "control/status_events.h"
#include "core/firmware.h"
#include "core/global.h"
#include "core/mtd.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/wallclock.h"
#include "storage/filesys.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/screens/menu_screens.h"
#include "display/osd_ocr.h"
#include "display/osd_test_support.h"
#include "display/save_probe.h"
#include "storage/storage_test_support.h"
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

// The shortest way from row from to row to of a list of rows (the cursor
// wraps), then OK.
std::vector<DvrKey> pick(int from, int to, int rows) {
  int down = (to - from + rows) % rows, up = rows - down;
  std::vector<DvrKey> k((size_t)(down <= up ? down : up), down <= up ? DVR_KEY_DOWN : DVR_KEY_UP);
  k.push_back(DVR_KEY_MENU_OK);
  return k;
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
  InputState found_input = gui_input;   // the mouse and keyboard the tests fake
  void SetUp() override {
    test_root();
    p = get_param_block();
    *p = *param_default_block();
    ASSERT_EQ(osd_test_open(&ctx), 0);
    ASSERT_EQ(mtd_open(), 0);   // the board's flash: parameters, firmware, Wi-Fi tools
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
    mtd_close();
    storage_test_volumes_clear();
    gui_input = found_input;
    osd_release();
  }
  static void feed(std::vector<DvrKey> keys) {
    g_keys = keys;
    g_next = 0;
  }
  // Setup driven by keys; escape once they run out leaves it.
  void setup(std::vector<DvrKey> keys) {
    feed(keys);
    setup_menu(&ctx);
  }
  // The SD card mounted; its root directory on the host.
  static std::string mount_sd(void) {
    sim_storage_remove("mmcblk0p1");
    const char *um[] = {"umount", "/media/mmc", nullptr};
    run_argv(um);
    filesys_reset();
    gui_started = 1;
    EXPECT_EQ(sim_storage_insert("mmcblk0p1", 0, 64ULL << 20, "vfat"), 0);
    for (int i = 0; i < 5 && !filesys_is_mounted(STORAGE_MMC); i++) fileSysTick(get_param_block());
    EXPECT_TRUE(filesys_is_mounted(STORAGE_MMC));
    char backing[512];
    return sim_storage_backing_dir("mmcblk0p1", backing, sizeof backing);
  }
  // Setup's Video (row 2) or Audio (row 3) screen: moves down to a row, OK,
  // then keys in whatever it opened, then back out.
  void screen(int setup_row, int moves, std::vector<DvrKey> then) {
    std::vector<DvrKey> k((size_t)(setup_row - 1), DVR_KEY_DOWN);
    k.push_back(DVR_KEY_MENU_OK);
    for (int i = 0; i < moves; i++) k.push_back(DVR_KEY_DOWN);
    k.push_back(DVR_KEY_MENU_OK);
    k.insert(k.end(), then.begin(), then.end());
    k.push_back(DVR_KEY_ESCAPE);
    setup(k);
  }
  void video(int moves, std::vector<DvrKey> then) { screen(2, moves, then); }
  void audio(int moves, std::vector<DvrKey> then) { screen(3, moves, then); }
  static std::string read_file(const char *board_path) {
    std::ifstream f(HostPath(board_path).c_str());
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
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

TEST_F(Menu, MainMenuRowsFollowPointerKeyboardAndRecording) {
  struct Case {
    int pointer, keyboard, recording;
    const char *shown, *absent;
  };
  const Case cases[] = {
      {0, 0, 0, "Menu Play video View snapshots Overlays File management Setup", "Help"},
      {1, 1, 0, "Start Recording Mute Snapshot Play video Setup Help with Keys", "Stop"},
      {1, 0, 1, "Stop Recording Pause Recording Snapshot Overlays", "Setup"},
  };
  for (const Case &c : cases) {
    gui_input.pointer_device = (uint8_t)c.pointer;
    gui_input.keyboard_present = (uint8_t)c.keyboard;
    std::string read;
    uint32_t during = 0;
    g_on_wait = [&](size_t) {
      read = ocr_screen();
      during = status_get();
    };
    feed({DVR_KEY_ESCAPE});
    main_menu(&ctx, c.recording);
    EXPECT_TRUE(ocr_has(read, c.shown)) << read;
    EXPECT_FALSE(ocr_has(read, c.absent)) << read;
    EXPECT_TRUE(during & STATUS_MENU);
    EXPECT_FALSE(status_get() & STATUS_MENU);
  }
  g_on_wait = nullptr;

  // Recording keys leave the menu with the key for the DVR logic.
  struct Key { int recording, row; DvrKey key; } keys[] = {
      {0, 1, DVR_KEY_REC_STOP}, {1, 2, 0x201}, {0, 2, DVR_KEY_MUTE_TOGGLE}, {0, 3, DVR_KEY_SNAPSHOT}};
  for (const Key &k : keys) {
    key_mailbox_reset();
    feed(press(k.row - 1));
    main_menu(&ctx, k.recording);
    EXPECT_EQ(key_mailbox.key_word, k.key) << k.row;
  }
  // Without a pointer no menu opens while recording.
  key_mailbox_reset();
  gui_input.pointer_device = 0;
  uint32_t during = 0;
  std::string read;
  g_on_wait = [&](size_t) { read = ocr_screen(), during = status_get(); };
  feed({DVR_KEY_MENU_OK});
  main_menu(&ctx, 1);
  EXPECT_TRUE(ocr_has(read, "open menu while recording")) << read;
  EXPECT_FALSE(during & STATUS_MENU);
}

TEST_F(Menu, SetupRowsFollowTheirConditions) {
  std::string read;
  g_on_wait = [&](size_t) { read = ocr_screen(); };
  setup({DVR_KEY_ESCAPE});
  EXPECT_TRUE(ocr_has(read, "Setup Set Date/Time Video Audio Record Storage Device System Information")) << read;
  EXPECT_FALSE(ocr_has(read, "Language")) << read;
  EXPECT_FALSE(ocr_has(read, "Firmware")) << read;

  p->dvr_disable_ext_ports = 1;
  sys_mkdirs("/usr/html/lang", 0755);
  std::string sd = mount_sd();
  ASSERT_EQ(system(("echo x > '" + sd + "/m7391.fw'").c_str()), 0);
  setup({DVR_KEY_ESCAPE});
  EXPECT_TRUE(ocr_has(read, "Set Language Update Firmware Serial Setup")) << read;
  EXPECT_FALSE(ocr_has(read, "Record")) << read;
  unlink((sd + "/m7391.fw").c_str());
  sys_rmdir("/usr/html/lang");
}

TEST_F(Menu, DateTimeOffersTheDaysOfTheMonthAndTwelveAmIsMidnight) {
  struct timeval before;
  wallclock_now(&before);
  struct tm start = {};
  start.tm_year = 126, start.tm_mon = 0, start.tm_mday = 1, start.tm_isdst = -1;   // 2026-01-01 0:00
  ASSERT_EQ(set_system_time(mktime(&start)), 0);
  auto now = [] {
    struct timeval tv;
    wallclock_now(&tv);
    struct tm tm;
    wallclock_localtime(tv.tv_sec, &tm);
    return tm;
  };
  // The last entry of the third range of days, hour "12", "AM".
  // Each list's cursor starts on the clock's value; the day list's on its
  // first day unless the clock's day is in the range.
  auto keys = [](DvrKey year_key, int year_moves, int month_moves, int range_moves) {
    std::vector<DvrKey> k = {DVR_KEY_MENU_OK};
    for (int i = 0; i < year_moves; i++) k.push_back(year_key);
    k.push_back(DVR_KEY_MENU_OK);
    for (int i = 0; i < month_moves; i++) k.push_back(DVR_KEY_DOWN);
    k.push_back(DVR_KEY_MENU_OK);
    for (int i = 0; i < range_moves; i++) k.push_back(DVR_KEY_DOWN);
    k.insert(k.end(), {DVR_KEY_MENU_OK, DVR_KEY_UP, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK,
                       DVR_KEY_MENU_OK, DVR_KEY_MENU_OK});
    return k;
  };
  setup(keys(DVR_KEY_DOWN, 2, 1, 2));   // from 2026-01-01 to 2028, February
  struct tm t = now();
  EXPECT_EQ(t.tm_year, 128);
  EXPECT_EQ(t.tm_mon, 1);
  EXPECT_EQ(t.tm_mday, 29) << "February 2028 has a 29th";
  EXPECT_EQ(t.tm_hour, 0) << "12 AM";
  setup(keys(DVR_KEY_UP, 1, 0, 0));  // 2027, February and "20-28" again
  t = now();
  EXPECT_EQ(t.tm_year, 127);
  EXPECT_EQ(t.tm_mday, 28) << "February 2027 ends on the 28th";

  // Back half-way leaves the clock alone; 12 PM is noon.
  setup({DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_ESCAPE});
  EXPECT_EQ(now().tm_mday, 28);
  setup({DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK,
         DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_DOWN, DVR_KEY_MENU_OK});
  EXPECT_EQ(now().tm_hour, 12);

  // November has 30 days: its last range is "30" alone, which picks the
  // day without a list of its own.
  ASSERT_EQ(set_system_time(mktime(&start)), 0);
  std::vector<DvrKey> k = {DVR_KEY_MENU_OK, DVR_KEY_MENU_OK};
  for (int i = 0; i < 10; i++) k.push_back(DVR_KEY_DOWN);
  k.insert(k.end(), {DVR_KEY_MENU_OK, DVR_KEY_DOWN, DVR_KEY_DOWN, DVR_KEY_DOWN, DVR_KEY_MENU_OK,
                     DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK});
  setup(k);
  t = now();
  EXPECT_EQ(t.tm_mon, 10);
  EXPECT_EQ(t.tm_mday, 30) << "November ends on the 30th";
  wallclock_set(&before);
}

TEST_F(Menu, AudioRowsChangeTheirParameters) {
  // Volumes, all eleven rows each way: row r stores a level the list's
  // cursor comes back to (OK at once then keeps it).
  for (int r = 1; r <= 11; r++) {
    p->audio.volume_left = p->audio.out_volume_left = 0;
    std::vector<DvrKey> k = pick(1, r, 11);   // Audio Volume, from "0 (min)"
    k.insert(k.end(), {DVR_KEY_UP, DVR_KEY_UP, DVR_KEY_MENU_OK});   // Playback Volume, row 5 of 6
    std::vector<DvrKey> out = pick(1, r, 11);
    k.insert(k.end(), out.begin(), out.end());
    // Both lists again, OK at once.
    k.insert(k.end(), {DVR_KEY_MENU_OK, DVR_KEY_MENU_OK, DVR_KEY_DOWN, DVR_KEY_DOWN, DVR_KEY_MENU_OK, DVR_KEY_MENU_OK});
    audio(0, k);
    EXPECT_EQ(p->audio.volume_left, (119 * (r - 1) + 9) / 10) << r;
    EXPECT_EQ(p->audio.volume_right, p->audio.volume_left) << r;
    EXPECT_EQ(p->audio.out_volume_left, (100 * (r - 1) + 9) / 10) << r;
    EXPECT_EQ(p->audio.out_volume_right, p->audio.out_volume_left) << r;
  }
  // AGC both sides; mute at start steps 0, 1, 2, 0.
  p->audio.agc_left = p->audio.agc_right = 0;
  audio(1, {});
  EXPECT_EQ(p->audio.agc_left, 1);
  EXPECT_EQ(p->audio.agc_right, 1);
  p->recording.mute_at_start = 2;
  audio(2, {});
  EXPECT_EQ(p->recording.mute_at_start, 0);
}

TEST_F(Menu, VideoRowsAndTheRecordingLimitClamps) {
  // Video rows: input, interpolate, bit rate, seek, quality, (the hidden
  // snapshot overlay), power-on, format, limit.
  // Seek: row r is 10 * (r - 1) seconds; snapshot quality 97, then 95 .. 50.
  // The rows read the seconds they set.
  p->recording.seek_amount = 30;
  std::string read;
  g_on_wait = [&](size_t next) {
    if (next == 6) read = ocr_screen();
  };
  video(3, pick(4, 1, 13));
  g_on_wait = nullptr;
  EXPECT_EQ(p->recording.seek_amount, 0);
  std::istringstream words(read);
  std::vector<std::string> rows{std::istream_iterator<std::string>(words), {}};
  for (const char *row : {"10", "30", "60", "90", "120"})
    EXPECT_NE(std::find(rows.begin(), rows.end(), row), rows.end()) << row << ": " << read;
  video(3, pick(1, 13, 13));
  EXPECT_EQ(p->recording.seek_amount, 120);
  video(3, press(1));   // wraps to "0"
  EXPECT_EQ(p->recording.seek_amount, 0);
  for (auto q : {std::pair<int, int>{1, 95}, {10, 50}}) {
    p->video[1].jpeg_quality = 97;
    video(4, press(q.first));
    EXPECT_EQ(p->video[1].jpeg_quality, q.second);
  }
  p->capture.interpolate = 0;
  video(1, {});
  EXPECT_EQ(p->capture.interpolate, 1);

  // Recording limit: rows Default, the value, +100, +10, +1, -1, -10, -100,
  // the duration mode; the cursor starts on the value.
  const DvrKey D = DVR_KEY_DOWN, U = DVR_KEY_UP, OK = DVR_KEY_MENU_OK;
  struct Limit {
    int mode;
    uint32_t value;
    std::vector<DvrKey> keys;
    int want_mode;
    uint32_t want;
  };
  const Limit limits[] = {
      {1, 5, {D, D, D, D, D, OK, U, U, U, U, U, OK}, 1, 1},             // -10 in seconds: 1
      {5, 15, {D, D, D, D, D, OK, U, U, U, U, U, OK}, 5, 10},           // -10 in MB: 10
      {5, 4000, {D, OK, U, OK}, 5, 4096},                               // +100: 4096
      {4, 4194300, {D, OK, OK, U, OK}, 4, 4194304},                     // KB up to 4 GB
      {4, 100000, {U, U, OK, U, U, OK, U, U, U, U, U, U, U, OK}, 2, 4096},  // KB to Minutes
      {5, 100, {D, OK, U, U, OK}, 0, 100},                              // Default
      {5, 100, {D, OK, OK}, 5, 100},                                    // back keeps it
  };
  for (const Limit &l : limits) {
    p->recording.duration_mode = (uint8_t)l.mode;
    p->recording.duration = l.value;
    std::vector<DvrKey> k = l.keys;
    if (&l == &limits[6]) k.push_back(DVR_KEY_ESCAPE);
    video(7, k);
    EXPECT_EQ(p->recording.duration_mode, l.want_mode) << l.value;
    EXPECT_EQ(p->recording.duration, l.want) << l.value;
  }
}

TEST_F(Menu, WifiTurnsOnAndOffWithItsDaemonsAndStatusBit) {
  RootKeep keep({"/etc", "/Wifi", "/run/sim/daemons", "/run/sim/hostname", "/run/sim/lsmod"});
  firmware_set_wifi_tools_present(1);
  runner_sim_reset();
  // Setup rows: date, video, audio, storage, information, Wi-Fi, serial.
  const std::vector<DvrKey> wifi_row = press(5);
  std::string read;
  g_on_wait = [&](size_t i) { if (i == 0) read = ocr_screen(); };
  setup(wifi_row);   // the Wi-Fi region of the flash is erased: no tools
  EXPECT_TRUE(ocr_has(read, "Turn WiFi On")) << read;
  EXPECT_FALSE(status_get() & STATUS_WIFI);
  g_on_wait = nullptr;

  // The tools archive, made by tar, in the flash's Wi-Fi region.
  std::string dir = HostPath("/tmp/wifi").c_str();
  ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir + "/Wifi && printf '#!/bin/sh\\n' > " + dir +
                    "/Wifi/wifi_configure.sh && tar --format=ustar -C " + dir + " -cf " + dir +
                    "/w.tar Wifi").c_str()), 0);
  std::ifstream f(dir + "/w.tar", std::ios::binary);
  std::vector<char> tar((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(tar.size(), 0u);
  ASSERT_EQ(firmware_flash->erase(MTD_WIFI_ARCHIVE_OFF), 0);
  ASSERT_EQ(firmware_flash->write(tar.data(), MTD_WIFI_ARCHIVE_OFF, tar.size()), 0);

  setup(wifi_row);
  EXPECT_EQ(p->wifi_enable, 1);
  EXPECT_TRUE(status_get() & STATUS_WIFI);
  std::string daemons = read_file("/run/sim/daemons");
  EXPECT_NE(daemons.find("hostapd"), std::string::npos) << daemons;
  EXPECT_NE(read_file("/run/exec.log").find("/Wifi/wifi_configure.sh"), std::string::npos);

  g_on_wait = [&](size_t i) { if (i == 0) read = ocr_screen(); };
  setup(wifi_row);
  EXPECT_TRUE(ocr_has(read, "Turn WiFi Off Turn WiFi ping")) << read;
  EXPECT_EQ(p->wifi_enable, 0);
  EXPECT_FALSE(status_get() & STATUS_WIFI);
  daemons = read_file("/run/sim/daemons");
  EXPECT_EQ(daemons.find("hostapd"), std::string::npos) << daemons;
  EXPECT_EQ(daemons.find("udhcpd"), std::string::npos) << daemons;
  EXPECT_NE(read_file("/run/exec.log").find("/usr/wifi_deconfig.sh"), std::string::npos);
  firmware_set_wifi_tools_present(0);
  EXPECT_EQ(firmware_flash->erase(MTD_WIFI_ARCHIVE_OFF), 0);   // the region as the test found it
}

TEST_F(Menu, FirmwareFromTheCardIsFlashedAndTheBoxRestarts) {
  std::string sd = mount_sd();
  unlink((sd + "/m7391.fw").c_str());
  std::string read;
  g_on_wait = [&](size_t) { read = ocr_screen(); };
  feed({DVR_KEY_MENU_OK});
  firmware_update_screen(&ctx);   // no file on any volume
  EXPECT_TRUE(ocr_has(read, "Unable to load firmware file")) << read;
  g_on_wait = nullptr;

  std::string w = HostPath("/tmp").c_str();
  // A file that is no firmware says why, and is not held open.
  ASSERT_EQ(system(("echo x > '" + sd + "/m7391.fw'").c_str()), 0);
  int fds = test_open_fds();
  g_on_wait = [&](size_t) { read = ocr_screen(); };
  feed({DVR_KEY_MENU_OK});
  firmware_update_screen(&ctx);
  EXPECT_TRUE(ocr_has(read, "not a valid firmware file")) << read;
  EXPECT_EQ(test_open_fds(), fds);
  g_on_wait = nullptr;

  ASSERT_EQ(system(("head -c 20000 /dev/urandom > " + w + "/k.bin && mkimage -A arm -O linux -T kernel -C none "
                    "-a 0x80008000 -e 0x80008000 -n menu -d " + w + "/k.bin '" + sd + "/m7391.fw' >/dev/null")
                       .c_str()), 0);
  setup(press(5));       // Update Firmware follows System Information
  EXPECT_EQ(get_exit_code(), 2u) << "reboot";
  std::ifstream f(sd + "/m7391.fw", std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<char> flashed(image.size());
  ASSERT_EQ(firmware_flash->read(flashed.data(), MTD_KERNEL_OFF, flashed.size()), 0);
  EXPECT_TRUE(image == flashed);
  set_exit_code(0);
}

}  // namespace

// A language chosen in Setup is stored under the parameters' write lock.
TEST_F(Menu, AChosenLanguageIsStoredUnderTheWriteLock) {
  RootKeep keep{{"/usr/html/lang"}};
  sys_mkdirs("/usr/html/lang", 0755);
  snprintf(p->dvr_language, sizeof p->dvr_language, "%s", "xx");
  SaveProbe probe;
  // Setup: Language (row 5), then its first row, English.
  std::vector<DvrKey> keys(4, DVR_KEY_DOWN);
  keys.push_back(DVR_KEY_MENU_OK);
  keys.push_back(DVR_KEY_MENU_OK);
  g_on_wait = [&](size_t next) {
    if (next == 5) probe.start([this] { return strcmp(p->dvr_language, "xx") != 0; });
  };
  setup(keys);
  EXPECT_FALSE(probe.stored_while_held());
  EXPECT_TRUE(SaveProbe::lock_free());
  EXPECT_STREQ(p->dvr_language, "English default");
}

// Set Language lists English and eight files after it, in name order.
TEST_F(Menu, SetLanguageListsEightFilesAfterEnglish) {
  RootKeep keep{{"/usr/html/lang"}};
  sys_mkdirs("/usr/html/lang", 0755);
  std::string dir = HostPath("/usr/html/lang").c_str();
  for (const char *name : {"a", "b", "c", "d", "e", "f", "g", "h", "i"})
    ASSERT_EQ(system(("echo '#' > '" + dir + "/" + name + ".txt'").c_str()), 0);
  // Setup: Language (row 5), then up from English wraps to the last row.
  std::vector<DvrKey> keys(4, DVR_KEY_DOWN);
  keys.push_back(DVR_KEY_MENU_OK);
  keys.push_back(DVR_KEY_UP);
  keys.push_back(DVR_KEY_MENU_OK);
  setup(keys);
  EXPECT_STREQ(p->dvr_language, "h");
}

// Fields that go together reach the block under the write lock: held by a
// save, the menus wait with them unchanged, and store them once it is free.
TEST_F(Menu, PairedAudioAndLimitFieldsWaitForASaveHoldingTheWriteLock) {
  auto held = HeldSave::changed_while_held;
  p->audio.agc_left = p->audio.agc_right = 0;
  EXPECT_FALSE(held([&] { audio(1, {}); }, [&] { return p->audio.agc_left || p->audio.agc_right; }));
  EXPECT_EQ(1, p->audio.agc_left);
  EXPECT_EQ(1, p->audio.agc_right);

  p->audio.volume_left = p->audio.volume_right = 0;
  p->audio.out_volume_left = p->audio.out_volume_right = 0;
  EXPECT_FALSE(held([&] { audio(0, pick(1, 11, 11)); }, [&] { return p->audio.volume_left || p->audio.volume_right; }));
  EXPECT_FALSE(held([&] { audio(4, pick(1, 11, 11)); },
                    [&] { return p->audio.out_volume_left || p->audio.out_volume_right; }));
  EXPECT_EQ(119, p->audio.volume_right);
  EXPECT_EQ(100, p->audio.out_volume_right);

  p->audio.input = 0, p->audio.channels = 1, p->audio.mono_mode = 0;
  EXPECT_FALSE(held([&] { audio(3, press(1)); }, [&] { return p->audio.input != 0 || p->audio.channels != 1; }));
  EXPECT_EQ(1, p->audio.input);
  EXPECT_EQ(2, p->audio.channels);

  // Recording limit in MB: +100, then the value row accepts it.
  p->recording.duration_mode = 5;
  p->recording.duration = 100;
  const DvrKey D = DVR_KEY_DOWN, U = DVR_KEY_UP, OK = DVR_KEY_MENU_OK;
  EXPECT_FALSE(held([&] { video(7, {D, OK, U, OK}); }, [&] { return p->recording.duration != 100; }));
  EXPECT_EQ(200u, p->recording.duration);
  EXPECT_EQ(5, p->recording.duration_mode);
  EXPECT_TRUE(SaveProbe::lock_free());
}

// An empty custom.zip on the card clears the stored bundle, says so, and is
// not held open.
TEST_F(Menu, AnEmptyCustomZipClearsTheBundle) {
  RootKeep keep{{"/usr/html/config.txt", "/usr/html/customzip.txt"}};   // what a clear removes
  std::string sd = mount_sd();
  unlink((sd + "/m7391.fw").c_str());
  ASSERT_EQ(system(("rm -f '" + sd + "/custom.zip' && touch '" + sd + "/custom.zip'").c_str()), 0);
  setup({});   // what the menu itself opens once
  int fds = test_open_fds();
  std::string read;
  g_on_wait = [&](size_t next) {
    if (next == 6) read = ocr_screen();
  };
  std::vector<DvrKey> keys = press(5);   // Update custom.zip follows System Information
  keys.push_back(DVR_KEY_ESCAPE);
  setup(keys);
  unlink((sd + "/custom.zip").c_str());
  EXPECT_TRUE(ocr_has(read, LangTable[121])) << LangTable[121] << " in " << read;
  EXPECT_EQ(test_open_fds(), fds);

  // Gone between the menu and the choice: nothing to say.
  ASSERT_EQ(system(("touch '" + sd + "/custom.zip'").c_str()), 0);
  read.clear();
  g_on_wait = [&](size_t next) {
    if (next == 5) unlink((sd + "/custom.zip").c_str());
    if (next == 6) read = ocr_screen();
  };
  setup(keys);
  EXPECT_FALSE(ocr_has(read, "failed")) << read;
  EXPECT_FALSE(ocr_has(read, LangTable[121])) << read;
}
