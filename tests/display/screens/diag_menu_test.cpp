// The diagnostics screen in process, driven by a key script on the
// simulated board: logs on the internal volume, SoC and decoder registers,
// the write-speed test, reinstalling the program and the live log.
#include <cstdio>
#include <fstream>

#include "core/hwreg.h"
#include "core/log.h"
#include "display/screens/menu_screens.h"
#include "display/osd_ocr.h"
#include "media/capture_test_support.h"
#include "display/menu_script.h"

namespace {

// White pixels in a band of the shown OSD.
int white_in(const std::vector<uint8_t> &px, int x0, int x1, int y0, int y1) {
  int n = 0;
  for (int y = y0; y < y1; y++)
    for (int x = x0; x < x1; x++) {
      const uint8_t *p = &px[((size_t)y * 640 + (size_t)x) * 4];
      n += p[0] > 200 && p[1] > 200 && p[3];
    }
  return n;
}

bool same_file(const std::string &a, const std::string &b) {
  return system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

struct Diag : MenuScript {
  void run(void) {
    play([&] { EXPECT_EQ(0, diagnostics_menu(&ctx)); });
  }
};

TEST_F(Diag, LogsAndSocRegisters) {
  mount_internal();
  std::string menu;
  std::vector<uint8_t> first, second;
  int lh = osd_font_height + 2, value_y = 75 + lh * 5;
  choose(1, [&] {
    shown();
    menu = ocr("/tmp/menu.png");
  });
  dismiss();
  choose(2);
  dismiss();
  // The timer's address is read afresh on every pass.
  choose(4);
  enter("1c20810");
  choose(5, [&] { first = shown(); });
  g_steps.push_back({DVR_KEY_ESCAPE});   // the value entry cancelled
  g_steps.push_back({DVR_KEY_UP, nullptr, [&] { second = shown(); }});
  g_steps.push_back({DVR_KEY_MENU_OK});
  row = 4;
  enter("1c40034");
  // An unaligned address is refused: the value goes to the last good one.
  choose(4);
  enter("1c40031");
  dismiss();
  choose(5);
  enter("12345678");
  run();
  EXPECT_TRUE(ocr_has(menu, "Diagnostics Menu dmesg log m7391 reboot throughput EDID reload view")) << menu;
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  int differ = 0;
  for (int y = value_y; y < value_y + lh; y++)
    for (int x = 200; x < 400; x++) differ += first[((size_t)y * 640 + x) * 4] != second[((size_t)y * 640 + x) * 4];
  EXPECT_GT(differ, 0) << "the 90 kHz timer moved between the two reads";
  EXPECT_EQ(0x12345678u, *sim_mem_reg(HWREG_USB_PHY_CTRL));
  std::string dir = backing("sda1");
  EXPECT_EQ(0, access((dir + "/dmesg.txt").c_str(), F_OK));
  std::ifstream log(dir + "/log.txt");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("selected m7391 log"), std::string::npos) << "the ring as it was when saved";
  EXPECT_EQ(0, sim_storage_mount_state("/media/int")) << "read-only again";
}

TEST_F(Diag, DecoderRegisterReachesTheChip) {
  CaptureRun capture;
  capture.start(SIM_DECODER_ADV7842);
  ASSERT_TRUE(wait_until([] {
    decoder_reg_write(0x11, 0x77);
    return sim_capture_reg(0x11) == 0x77;
  }, 30000));
  choose(6);
  enter("10");
  choose(7);
  enter("5a");
  run();
  EXPECT_EQ(0x5A, sim_capture_reg(0x10));
  capture.stop();
}

TEST_F(Diag, ThroughputLeavesNothingBehind) {
  mount_internal();
  LogWatch log;
  throughput_test(&ctx, 1);   // no external volume: nothing happens
  EXPECT_FALSE(log.has("init throughput test"));
  std::string screen;
  g_steps = {{0}, {0}, {0}, {DVR_KEY_MENU_OK}, {DVR_KEY_MENU_OK, nullptr, [&] {
                                                  shown();
                                                  screen = ocr("/tmp/menu.png");
                                                }}};
  play([&] { throughput_test(&ctx, 0); });
  EXPECT_TRUE(ocr_has(screen, "MB/s")) << screen;
  EXPECT_TRUE(log.has("throughput test done: "));
  EXPECT_TRUE(log.has("files closed"));
  EXPECT_NE(0, access((backing("sda1") + "/tptest.tmp").c_str(), F_OK));
  EXPECT_EQ(0, sim_storage_mount_state("/media/int")) << "read-only again";
}

TEST_F(Diag, ReloadReplacesTheProgramOnlyWithACompleteCopy) {
  std::string installed = HostPath("/usr/bin/m7391").c_str();
  sys_mkdirs("/usr/bin", 0755);
  ASSERT_EQ(0, system(("head -c 3000 /dev/urandom > '" + installed + "'").c_str()));
  std::string before = installed + ".before";
  ASSERT_EQ(0, system(("cp '" + installed + "' '" + before + "'").c_str()));
  // No internal volume: a message, the program stays and runs on.
  choose(12);
  dismiss();
  run();
  EXPECT_EQ(EXIT_RUNNING, get_exit_code());
  EXPECT_TRUE(same_file(installed, before));

  mount_internal();
  std::string source = backing("sda1") + "/m7391";
  // Random bytes, then this very program for another processor: refused
  // with a message before anything is replaced.
  ASSERT_EQ(0, system(("head -c 200000 /dev/urandom > '" + source + "'").c_str()));
  at(1);
  choose(12);
  dismiss();
  run();
  EXPECT_EQ(EXIT_RUNNING, get_exit_code());
  EXPECT_TRUE(same_file(installed, before));
  ASSERT_EQ(0, system(("cp /proc/" + std::to_string(getpid()) + "/exe '" + source + "'").c_str()));
  ASSERT_EQ(0, system(("printf '\\050\\000' | dd of='" + source +
                       "' bs=1 seek=18 conv=notrunc status=none").c_str()));   // e_machine: ARM
  at(1);
  choose(12);
  dismiss();
  run();
  EXPECT_EQ(EXIT_RUNNING, get_exit_code());
  EXPECT_TRUE(same_file(installed, before));
  EXPECT_NE(0, access(HostPath("/usr/bin/.m7391.new").c_str(), F_OK));

  ASSERT_EQ(0, system(("cp /proc/" + std::to_string(getpid()) + "/exe '" + source + "'").c_str()));
  at(1);
  choose(12);
  run();
  EXPECT_EQ(EXIT_QUIT, get_exit_code());
  EXPECT_TRUE(same_file(installed, source));
  EXPECT_EQ(0, access(installed.c_str(), X_OK));
  EXPECT_NE(0, access(HostPath("/usr/bin/.m7391.new").c_str(), F_OK));
}

TEST_F(Diag, LogViewerShowsNewLinesCutAtTheEdge) {
  get_param_block()->dvr_menu_text_size = 2;
  osd_set_font(2);
  std::string screen;
  std::vector<uint8_t> px;
  LogWatch().take();   // the viewer shows what comes after the text read so far
  choose(13);
  g_steps.push_back({0, nullptr, [] {
                       log_printf("viewer sees this line\n");
                       log_printf("%s\n", std::string(200, 'W').c_str());
                       log_printf("after the long one\n");
                     }});
  for (int i = 0; i < 30; i++) g_steps.push_back({0});
  g_steps.push_back({DVR_KEY_ESCAPE, nullptr, [&] {
                       px = shown();
                       screen = ocr("/tmp/menu.png");
                     }});
  run();
  EXPECT_TRUE(ocr_has(screen, "viewer sees this line")) << screen;
  EXPECT_TRUE(ocr_has(screen, "after the long one")) << screen;
  // Small font rows of 13 lines: the long line reaches the right edge, the
  // next one is short, so nothing of it wrapped.
  ASSERT_FALSE(px.empty());
  int rows_at_edge = 0;
  for (int r = 0; r < 10; r++) rows_at_edge += white_in(px, 600, 640, r * 13, r * 13 + 13) > 0;
  EXPECT_EQ(1, rows_at_edge);
  EXPECT_EQ(12, osd_font_width) << "the menu font is back";
  EXPECT_EQ(2, get_param_block()->dvr_menu_text_size);
}

}  // namespace
