// Loading at start: blocks of other sizes, older layouts, safe boot and the
// validation of stored values.
#include <cmath>
#include <vector>

#include "param_test_util.h"

namespace {
std::vector<uint8_t> bytes_of(const ParamBlock &b, size_t size) {
  std::vector<uint8_t> v(size, 0);
  memcpy(v.data(), &b, size < sizeof b ? size : sizeof b);
  return v;
}
}  // namespace

TEST_F(ParamFlash, LargerBlockIsTakenTruncatedOnlyWithAValidCrc) {
  ParamBlock b = *param_default_block();
  b.counter = 5;
  b.video[0].bit_rate = 3000000;
  std::vector<uint8_t> big = bytes_of(b, 2300);
  write_raw(0, big);
  b.video[0].bit_rate = 4000000;
  write_raw(1, bytes_of(b, 2300), false);   // newer but corrupted
  std::vector<uint8_t> huge = bytes_of(b, 2236);
  uint32_t huge_size = 9000;                  // larger than a slot
  memcpy(huge.data(), &huge_size, 4);
  ASSERT_EQ(mtd_write(huge.data(), slot_off(2), huge.size()), ssize_t(huge.size()));
  ParamBlock got;
  ASSERT_EQ(get_cur_param_block(&got), 0);
  EXPECT_EQ(got.size, 2236u);
  EXPECT_EQ(got.video[0].bit_rate, 3000000u);
  std::string log = param_log_text();
  EXPECT_NE(log.find("truncating flash_offs=20000 params size 2300 to 2236"), std::string::npos) << log;
  EXPECT_NE(log.find("checksum incorrect at flash_offs=22000 size=2300"), std::string::npos);

  // The next save covers the 2236 known bytes only.
  *block() = got;
  ASSERT_EQ(save_param_block(block()), 0);
  ParamBlock saved = read_block(3);
  EXPECT_EQ(saved.size, 2236u);
  EXPECT_EQ(saved.counter, 6u);
  EXPECT_EQ(saved.video[0].bit_rate, 3000000u);
}

TEST_F(ParamFlash, Layout2200KeepsItsFieldsAndTakesNewDefaults) {
  ParamBlock b = *param_default_block();
  b.video[0].bit_rate = 3000000;
  b.rtsp_port = 8554;
  b.dvr_allow_modes = 7;
  b.rtsp_disable_auth = 1;
  strcpy(b.rtsp_custom_stream_name, "junk");   // bytes the old layout used otherwise
  write_raw(0, bytes_of(b, 2200));
  ParamBlock got;
  ASSERT_EQ(get_cur_param_block(&got), 0);
  std::string log = param_log_text();
  EXPECT_NE(log.find("get_cur_param_block: param size changed from 2200 to 2236"), std::string::npos);
  EXPECT_NE(log.find("convert success!"), std::string::npos);
  EXPECT_EQ(got.size, 2236u);
  EXPECT_EQ(got.video[0].bit_rate, 3000000u);
  EXPECT_EQ(got.rtsp_port, 8554);
  EXPECT_EQ(got.dvr_allow_modes, 7u);
  EXPECT_EQ(got.rtsp_disable_auth, 1);
  EXPECT_STREQ(got.rtsp_custom_stream_name, "");
  const uint8_t *g = reinterpret_cast<const uint8_t *>(&got);
  const uint8_t *d = reinterpret_cast<const uint8_t *>(param_default_block());
  EXPECT_EQ(memcmp(g + 2197, d + 2197, 2236 - 2197), 0);
}

TEST_F(ParamFlash, Layout2124MovesFieldsToTheirNewPlaces) {
  std::vector<uint8_t> old(2124);
  for (size_t i = 12; i < old.size(); i++) old[i] = uint8_t(i * 7 + 3);
  write_raw(0, old);
  ParamBlock got;
  ASSERT_EQ(get_cur_param_block(&got), 0);
  const uint8_t *g = reinterpret_cast<const uint8_t *>(&got);
  const uint8_t *d = reinterpret_cast<const uint8_t *>(param_default_block());
  for (int i = 12; i < 144; i++) ASSERT_EQ(g[i], old[i]) << i;
  for (int i = 144; i < 152; i++) ASSERT_EQ(g[i], d[i]) << "inserted " << i;
  for (int i = 152; i < 348; i++) ASSERT_EQ(g[i], old[i - 8]) << i;
  for (int i = 348; i < 356; i++) ASSERT_EQ(g[i], d[i]) << "inserted " << i;
  for (int i = 356; i < 1596; i++) {
    if (i == 1557) continue;
    ASSERT_EQ(g[i], old[i - 16]) << i;
  }
  EXPECT_EQ(g[1557], d[1557]);
  EXPECT_EQ(got.serial.baud_rate, 115200u) << "the serial record is new";
  for (int i = 1612; i < 2060; i++) ASSERT_EQ(g[i], old[i - 32]) << i;
  EXPECT_EQ(memcmp(got.serial_tcp_addr, d + 2060, 4), 0);
  EXPECT_EQ(memcmp(g + 2157, d + 2157, 2236 - 2157), 0);
}

TEST_F(ParamFlash, UnknownSizeLoadsTheDefaults) {
  ParamBlock b = *param_default_block();
  b.video[0].bit_rate = 3000000;
  write_raw(0, bytes_of(b, 2210));
  ParamBlock got;
  ASSERT_EQ(get_cur_param_block(&got), 0);
  std::string log = param_log_text();
  EXPECT_NE(log.find("* * * Unknown param size: 2210 * * *"), std::string::npos);
  EXPECT_NE(log.find("convert failed, loaded defaults"), std::string::npos);
  EXPECT_EQ(got.video[0].bit_rate, 5000000u);
  EXPECT_EQ(got.size, 2236u);
}

TEST_F(ParamFlash, SafeBootWithTheButtonSavesTheDefaultsAsNewest) {
  static int sets;
  sets = 0;
  ParamBlock b = *param_default_block();
  b.counter = 40;
  b.video[0].bit_rate = 3000000;
  write_raw(5, bytes_of(b, 2236));
  board_identity.safe_boot = 1;
  param_apply_hooks.gpio_get = [](int n) { return n == 0 ? 1 : 0; };
  param_apply_hooks.gpio_set = [](int, int) { sets++; };
  EXPECT_EQ(init_param(block()), 0);
  EXPECT_NE(param_log_text().find("using default params due to button press"), std::string::npos);
  EXPECT_EQ(sets, 2 + 25 * 4) << "GPIO 22 and 37 flash 25 times";
  EXPECT_EQ(block()->video[0].bit_rate, 5000000u);
  // The next normal start finds the defaults, not the older block.
  board_identity.safe_boot = 0;
  *block() = *param_default_block();
  EXPECT_EQ(init_param(block()), 0);
  EXPECT_EQ(block()->video[0].bit_rate, 5000000u);
  EXPECT_EQ(block()->counter, 41u);
}

TEST_F(ParamFlash, RuntimeDisplayModeZeroIsNeverSaved) {
  init_param(block());
  ASSERT_EQ(set("Display.DisplayMode", "3"), "");
  ASSERT_EQ(save_param_block(block()), 0);
  block()->display.display_mode = 0;   // start-up: the display starts idle
  ASSERT_EQ(save_param_block(block()), 0);
  ASSERT_EQ(set("Video[0].GOPSize", "10"), "");
  ASSERT_EQ(save_param_block(block()), 0);
  EXPECT_EQ(ring_map(), "##" + std::string(30, '.'));
  ParamBlock got;
  ASSERT_EQ(get_cur_param_block(&got), 0);
  EXPECT_EQ(got.video[0].gop_size, 10);
  EXPECT_EQ(got.display.display_mode, 3);
  EXPECT_EQ(block()->display.display_mode, 0) << "the live value stays as set";
}

TEST_F(ParamFlash, ValidationAtStartRepairsWithoutSideEffects) {
  static int display_calls;
  display_calls = 0;
  param_apply_hooks.display_set_std = [](int) { display_calls++; };
  ParamBlock b = *param_default_block();
  b.video[1].frame_rate = 4;                  // no capture rate yet: kept
  b.display.standard = 10;                    // parsed back, not applied
  b.video[0].gop_size = 0;                    // below its range
  b.encoder[0].scale_factor[1] = NAN;
  memset(b.hostname, 'h', sizeof b.hostname); // no terminating NUL
  b.dvr_language[0] = char(0xFF);
  b.net[0].mask[1] = 0;
  b.net[0].mask[2] = 255;                     // 255.0.255.0
  b.audio.sample_rate = 46000;
  memset(b.keys_map, 0, sizeof b.keys_map);
  b.dvr_disable_overlay_on_boot = 1;
  b.video[0].osd.enabled = 2;
  b.counter = 7;
  write_raw(3, bytes_of(b, 2236));
  EXPECT_EQ(init_param(block()), 0);
  std::string log = param_log_text();
  EXPECT_EQ(display_calls, 0);
  EXPECT_EQ(block()->video[1].frame_rate, 4);
  EXPECT_EQ(block()->display.standard, 10);
  EXPECT_EQ(block()->video[0].gop_size, 30);
  EXPECT_NE(log.find("unsigned parameter Video[0].GOPSize reset to default 0 (1, 255)"), std::string::npos);
  EXPECT_FLOAT_EQ(block()->encoder[0].scale_factor[1], 1.0f);
  EXPECT_NE(log.find("float parameter Encoder[0].ScaleFactor[1] reset to default"), std::string::npos);
  EXPECT_EQ(strlen(block()->hostname), 19u);
  EXPECT_STREQ(block()->dvr_language, "");
  EXPECT_NE(log.find("string parameter DVR_Language reset to empty"), std::string::npos);
  EXPECT_EQ(get("Net[0].Mask"), "255.255.0.0");
  EXPECT_NE(log.find("convert parameter Net[0].Mask reset to default: err=Netmask is formed "
                     "incorrectly, was=255.0.255.0, now=255.255.0.0"), std::string::npos);
  EXPECT_EQ(block()->audio.sample_rate, 48000u);
  EXPECT_EQ(block()->keys_map[5], 13);
  EXPECT_NE(log.find("Fixing corrupt keypad layout"), std::string::npos);
  EXPECT_EQ(block()->video[0].osd.enabled, 0);
  EXPECT_EQ(param_pending_changes(), 0u);
}
