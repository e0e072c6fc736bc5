// The advanced and service screens in process, driven by a key script: the
// parameters and files each screen changes, and what it shows as tesseract
// reads it.
#include <chrono>
#include <algorithm>
#include <cstring>
#include <fstream>

#include "core/param_apply.h"
#include "display/screens/menu_screens.h"
#include "display/osd_ocr.h"
#include "display/menu_script.h"
#include "display/save_probe.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "web/web_test_support.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string g_screen;
void read_screen(void) {
  shown();
  g_screen = ocr("/tmp/menu.png");
}

struct Service : MenuScript {
  void TearDown() override {
    param_apply_hooks = ParamApplyHooks();
    MenuScript::TearDown();
  }
  void keys(DvrKey key, int n) {
    for (int i = 0; i < n; i++) g_steps.push_back({key});
  }
};

TEST_F(Service, KeypadDefaultsThenTheRecordingLed) {
  ParamBlock *p = get_param_block();
  memset(p->keys_map, 16, sizeof p->keys_map);
  p->keys_menu_back_option = 1;   // a back row after the last
  choose(10, read_screen);        // Load default keypad config
  choose(1);                      // DIO33V0
  at(1);
  choose(18);                     // Recording LED Output
  at(1);
  choose(2);                      // Active low
  play([&] { keypad_config_menu(&ctx); });
  EXPECT_TRUE(ocr_has(g_screen, "Configure Keypad Up/Snapshot")) << g_screen;
  const uint8_t want[9] = {18, 1, 2, 3, 4, 13, 5, 13, 13};
  EXPECT_EQ(0, memcmp(want, p->keys_map, 9));
  EXPECT_EQ(0, p->keys_menu_back_option);
}

std::vector<std::pair<int, int>> g_display;   // (standard, run mode) handed over

TEST_F(Service, DisplayOutputKeptWithOkRestoredAfterTheCountdown) {
  ParamBlock *p = get_param_block();
  p->display.standard = 0;
  param_apply_hooks.display_set_std = [](int s) { g_display.push_back({s, -1}); };
  param_apply_hooks.display_set_run_mode = [](int m) { g_display.back().second = m; };
  g_display.clear();
  keys(DVR_KEY_DOWN, 3);   // Auto -> 720p60 (the hidden 1080p60 skipped)
  g_steps.push_back({DVR_KEY_MENU_OK});
  g_steps.push_back({DVR_KEY_MENU_OK});   // at the first countdown box
  play([&] { display_output_menu(&ctx); });
  EXPECT_EQ(9, p->display.standard);
  EXPECT_EQ(2, p->display.output);
  EXPECT_EQ(1280, p->video[0].width);
  EXPECT_EQ(720, p->video[0].height);
  EXPECT_EQ((std::vector<std::pair<int, int>>{{9, 7}}), g_display);

  // No key: fourteen one-second boxes, then the old mode again.
  keys(DVR_KEY_UP, 2);     // 720p60 -> 1080p30
  g_steps.push_back({DVR_KEY_MENU_OK});
  keys(0, 14);
  dismiss(read_screen);
  auto start = std::chrono::steady_clock::now();
  play([&] { display_output_menu(&ctx); });
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took, 13.5);
  EXPECT_TRUE(ocr_has(g_screen, "Video Standard Reset")) << g_screen;
  EXPECT_EQ(9, p->display.standard);
  EXPECT_EQ(1280, p->video[0].width);
  EXPECT_EQ((std::vector<std::pair<int, int>>{{9, 7}, {14, 7}, {9, 7}}), g_display);

  // Any other key, Escape too, is no OK: the old mode again at once.
  for (DvrKey k : {DVR_KEY_ESCAPE, DVR_KEY_DOWN}) {
    g_display.clear();
    keys(DVR_KEY_UP, 2);   // 720p60 -> 1080p30
    g_steps.push_back({DVR_KEY_MENU_OK});
    g_steps.push_back({k});   // at the first countdown box
    dismiss(read_screen);
    play([&] { display_output_menu(&ctx); });
    EXPECT_TRUE(ocr_has(g_screen, "Video Standard Reset")) << k << ": " << g_screen;
    EXPECT_EQ(9, p->display.standard) << k;
    EXPECT_EQ((std::vector<std::pair<int, int>>{{14, 7}, {9, 7}}), g_display) << k;
  }
}

TEST_F(Service, ResetKeepsTheSerialSettingsAndTheKeypad) {
  ParamBlock *p = get_param_block();
  p->serial.baud_rate = 9600;
  p->serial.stream_id = 3;
  p->serial.start_mode = 1;
  p->serial.tcp_port = 4001;
  p->capture.brightness = 10;
  p->keys_map[0] = 7;
  SerialParams serial = p->serial;
  // Without the box's own defaults file: the built-in defaults.
  ASSERT_EQ(0, sys_rename("/usr/html/config.txt", "/usr/html/config.txt.keep"));
  dismiss();
  play([&] { reset_params(&ctx); });
  sys_rename("/usr/html/config.txt.keep", "/usr/html/config.txt");
  EXPECT_EQ(0, memcmp(&serial, &p->serial, sizeof serial));
  EXPECT_EQ(128, p->capture.brightness);
  EXPECT_EQ(7, p->keys_map[0]);

  // The box's own defaults file.
  std::string file = HostPath("/usr/html/config.txt").c_str();
  std::string keep = read_file(file);
  std::ofstream(file, std::ios::app) << "Capture.Brightness = 77\r\nSerial.BaudRate = 57600\r\n";
  dismiss();
  play([&] { reset_params(&ctx); });
  std::ofstream(file, std::ios::binary) << keep;
  EXPECT_EQ(77, p->capture.brightness);
  EXPECT_EQ(9600u, p->serial.baud_rate);
}

// A save copies the block under the write lock. A reset to the built-in
// defaults is stored whole under it: held by a save, the reset waits with the
// block untouched (the save copies the old one, never the defaults before
// the keypad and serial line are put back), and finishes once it is free.
TEST_F(Service, ResetAndStatusPositionWaitForASaveHoldingTheWriteLock) {
  ParamBlock *p = get_param_block();
  p->serial.baud_rate = 19200;
  p->serial.stream_id = 3;
  p->capture.brightness = 10;
  p->keys_map[0] = 7;
  static ParamBlock before;
  memcpy(&before, p, sizeof before);
  ASSERT_EQ(0, sys_rename("/usr/html/config.txt", "/usr/html/config.txt.keep"));
  dismiss();
  bool changed = HeldSave::changed_while_held([&] { play([&] { reset_params(&ctx); }); },
                                              [&] { return memcmp(&before, p, sizeof before) != 0; });
  sys_rename("/usr/html/config.txt.keep", "/usr/html/config.txt");
  EXPECT_FALSE(changed);
  EXPECT_EQ(128, p->capture.brightness);
  EXPECT_EQ(7, p->keys_map[0]);
  EXPECT_EQ(19200u, p->serial.baud_rate);
  EXPECT_EQ(3, p->serial.stream_id);

  // The status line's x and y go in together.
  int x = osd_layout.status_x, y = osd_layout.status_y;
  p->dvr_status_x = (uint16_t)x;
  p->dvr_status_y = (uint16_t)y;
  choose(7);   // Status Message Position...
  at(1);
  choose(1);   // up; Escape then stores
  changed = HeldSave::changed_while_held(
      [&] { play([&] { advanced_options_menu(&ctx); }); },
      [&] { return p->dvr_status_x != x || p->dvr_status_y != y; });
  EXPECT_FALSE(changed);
  EXPECT_EQ(x, p->dvr_status_x);
  EXPECT_EQ(y - 5, p->dvr_status_y);
  EXPECT_TRUE(SaveProbe::lock_free());
}

TEST_F(Service, SavedConfigIsTheWebsAndLoadsBack) {
  web_test_start();
  mount_internal();
  set_users(PERM_ADMIN, {});
  dismiss();
  play([&] { save_params_to_storage(&ctx); });
  std::string saved = read_file(backing("sda1") + "/config.txt"), lf;
  for (char c : saved)
    if (c != '\r') lf += c;
  // The web's copy also shows the two rows a saved file leaves out.
  HttpReply r = curl("", "/config.txt");
  ASSERT_EQ(200, r.status);
  std::string web;
  for (size_t at = 0, end; at < r.body.size(); at = end + 1) {
    end = r.body.find('\n', at);
    std::string line = r.body.substr(at, end - at + 1);
    if (line.rfind("NetworkMACAddr =", 0) && line.rfind("DeveloperMode =", 0)) web += line;
  }
  EXPECT_EQ(web, lf);

  size_t at = saved.find("Capture.Brightness = 128\r\n");
  ASSERT_NE(at, std::string::npos);
  saved.replace(at, 24, "Capture.Brightness = 99");
  std::ofstream(backing("sda1") + "/config.txt", std::ios::binary) << saved;
  dismiss();
  play([&] { load_params_from_storage(&ctx); });
  EXPECT_EQ(99, get_param_block()->capture.brightness);
}

TEST_F(Service, SystemInformationListsTheVolumesThePortsAllow) {
  mount_internal();
  get_param_block()->dvr_disable_ext_ports = 1;
  g_steps.push_back({DVR_KEY_ESCAPE, nullptr, read_screen});
  play([&] { system_info_menu(&ctx); });
  EXPECT_TRUE(ocr_has(g_screen, "System Information Serial Number Firmware Bootloader USB: MB free "
                                "Reset System Parameters Save Load"))
      << g_screen;
  EXPECT_EQ(std::string::npos, g_screen.find("xternal")) << g_screen;
}

int32_t g_count[2];

TEST_F(Service, EncoderCalibrationNeedsACountAndOffsetAFactor) {
  EncoderParams &e = get_param_block()->encoder[0];
  snprintf(e.scale_label[0], sizeof e.scale_label[0], "feet");
  snprintf(e.scale_label[1], sizeof e.scale_label[1], "meters");
  e.scale_factor[0] = e.scale_factor[1] = 0;
  e.scale_select = 0;
  e.scale_conversion_factor = 0.3048f;
  g_count[0] = 0;
  param_apply_hooks.encoder_count_get = [](int n) { return g_count[n]; };
  param_apply_hooks.encoder_count_set = [](int n, int32_t c) { g_count[n] = c; };
  choose(1);   // Encoder 1
  at(1);
  choose(4);   // Set offset while uncalibrated: refused
  dismiss();
  choose(3);   // calibration at count 0: refused
  at(1);
  choose(4);   // 100
  dismiss([&] { EXPECT_EQ(0.0f, e.scale_factor[0]); });
  at(3);
  choose(3, [] { g_count[0] = 200; });
  at(1);
  choose(4);
  dismiss();
  at(3);
  choose(4);   // offset: 200 x 0.5 = 100 feet, +100
  at(1);
  choose(1);
  play([&] { encoder_setup_menu(&ctx); });
  EXPECT_FLOAT_EQ(0.5f, e.scale_factor[0]);
  EXPECT_FLOAT_EQ(0.5f * 0.3048f, e.scale_factor[1]);
  EXPECT_EQ(400, g_count[0]);
}

TEST_F(Service, EnglishTxtRoundTripsThroughTheLanguageLoader) {
  RootKeep keep({"/usr/html/lang"});
  mount_internal();
  choose(11, read_screen);
  dismiss();
  play([&] { advanced_options_menu(&ctx); });
  EXPECT_TRUE(ocr_has(g_screen, "Advanced Options Back menu option off External USB Ports Enabled "
                                "Create English.txt Splash Screen Time"))
      << g_screen;
  std::string path = backing("sda1") + "/English.txt";
  std::string text = read_file(path);
  EXPECT_EQ(LANG_COUNT, std::count(text.begin(), text.end(), '\n'));
  EXPECT_EQ(0, system(("iconv -f UTF-8 -t UTF-8 '" + path + "' > /dev/null").c_str()));
  sys_mkdirs("/usr/html/lang", 0755);
  ASSERT_EQ(0, system(("cp '" + path + "' '" + HostPath("/usr/html/lang/English.txt").c_str() + "'").c_str()));
  EXPECT_EQ(LANG_COUNT, load_language_file("English"));
  // The loader trims the blanks that pad "REW " and "FF  ".
  for (int i = 0; i < LANG_COUNT; i++) {
    std::string want = lang_english[i];
    while (!want.empty() && want.back() == ' ') want.pop_back();
    EXPECT_EQ(want, LangTable[i]) << i;
  }
  load_language_file("none-such");
}

TEST_F(Service, AdvancedVideoForcesModesAndAllowsDisplayModes) {
  ParamBlock *p = get_param_block();
  p->capture_force_input_mode = 0;
  uint32_t allow = p->dvr_allow_modes;
  choose(1);   // camera 1
  at(1);
  choose(4);   // 720p60
  at(1);
  choose(3);   // CVI
  at(1);
  choose(4);   // allow display modes
  at(1);
  choose(3);   // 720p60: bit 9
  g_steps.push_back({DVR_KEY_ESCAPE});
  g_steps.push_back({DVR_KEY_ESCAPE, nullptr, read_screen});
  play([&] { advanced_video_menu(&ctx); });
  EXPECT_EQ(8 | 128, p->capture_force_input_mode);
  EXPECT_EQ(allow ^ (1u << 9), p->dvr_allow_modes);
  EXPECT_TRUE(ocr_has(g_screen, "Advanced Video Force camera 1 mode: CVI Force display mode: Auto "
                                "Brightness : 128 Hue : 0"))
      << g_screen;
}

TEST_F(Service, SerialRateAndProtocol) {
  ParamBlock *p = get_param_block();
  p->serial.baud_rate = 115200;
  p->serial.start_mode = 0;
  // The serial thread's switch, stopped: a protocol chosen starts it.
  static ProducerState serial_state;
  pthread_mutex_init(&serial_state.mutex, nullptr);
  pthread_cond_init(&serial_state.cond, nullptr);
  serial_state.flags = STREAM_STOPPED;
  serial_state.event_fd = -1;
  stream_register(&serial_state, nullptr, SERIAL_STREAM);
  choose(1);
  at(5);
  choose(1);   // 9600
  at(1);
  choose(2);
  at(1);
  choose(4);   // TCP Server
  at(2);
  g_steps.push_back({DVR_KEY_ESCAPE, nullptr, read_screen});
  play([&] { serial_setup_menu(&ctx); });
  int running = stream_get_state_by_id(SERIAL_STREAM);
  stream_register(nullptr, nullptr, SERIAL_STREAM);
  EXPECT_EQ(1, running);
  EXPECT_EQ(9600u, p->serial.baud_rate);
  EXPECT_EQ(1, p->serial.start_mode);
  EXPECT_EQ(3, p->serial.stream_id);
  EXPECT_TRUE(ocr_has(g_screen, "Serial Setup Baudrate: 9600 Protocol: TCP Server")) << g_screen;

  // Another protocol waits for a save holding the write lock.
  at(1);
  choose(2);
  at(4);
  choose(5);   // TCP Client
  bool changed = HeldSave::changed_while_held([&] { play([&] { serial_setup_menu(&ctx); }); },
                                              [&] { return p->serial.stream_id != 3 || p->serial.start_mode != 1; });
  EXPECT_FALSE(changed);
  EXPECT_EQ(4, p->serial.stream_id);
  EXPECT_EQ(1, p->serial.start_mode);
}

}  // namespace

// The keypad's defaults and a display output, chosen and then given up, are
// stored under the parameters' write lock.
TEST_F(Service, MenuChoicesAreStoredUnderTheWriteLock) {
  ParamBlock *p = get_param_block();
  memset(p->keys_map, 16, sizeof p->keys_map);
  p->keys_menu_back_option = 1;
  SaveProbe probe;
  choose(10, [&] { probe.start([p] { return p->keys_map[0] != 16 || p->keys_menu_back_option != 1; }); });
  play([&] { keypad_config_menu(&ctx); });
  EXPECT_FALSE(probe.stored_while_held());
  EXPECT_EQ(0, p->keys_map[0]);
  ASSERT_TRUE(SaveProbe::lock_free());

  p->display.standard = 0;
  p->video[0].width = 640;
  keys(DVR_KEY_DOWN, 3);   // Auto -> 720p60
  g_steps.push_back({DVR_KEY_MENU_OK, nullptr,
                     [&] { probe.start([p] { return p->display.standard != 0 || p->video[0].width != 640; }); }});
  g_steps.push_back({DVR_KEY_ESCAPE, nullptr, [&] {
                       // The new mode is in; given up, the old one comes back.
                       EXPECT_FALSE(probe.stored_while_held());
                       EXPECT_EQ(9, p->display.standard);
                       probe.start([p] { return p->display.standard != 9 || p->video[0].width != 1280; });
                     }});
  dismiss();
  play([&] { display_output_menu(&ctx); });
  EXPECT_FALSE(probe.stored_while_held());
  EXPECT_EQ(0, p->display.standard);
  EXPECT_EQ(640, p->video[0].width);
  EXPECT_TRUE(SaveProbe::lock_free());
}
