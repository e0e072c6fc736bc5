// param_set and param_get: range, step, type and change-group rules, and the
// converted types. A refused value never changes the field or marks a group.
#include <cmath>
#include <thread>

#include "core/param_types.h"
#include "param_test_util.h"
#include "platform/host_root.h"
#include "platform/wallclock.h"

namespace {
struct ParamSetGet : ParamTest {
  // Sets a value that must be refused and checks that nothing changed.
  void expect_refused(const char *name, const char *value, const std::string &error) {
    ParamBlock before = *block();
    uint32_t pending = param_pending_changes();
    EXPECT_EQ(set(name, value), error) << name << " = " << value;
    EXPECT_EQ(memcmp(&before, block(), sizeof before), 0) << name << " = " << value;
    EXPECT_EQ(param_pending_changes(), pending) << name << " = " << value;
  }
};
}  // namespace

TEST_F(ParamSetGet, IntegerRangeStepAndCase) {
  EXPECT_EQ(set("video[0].bitrate", "5050000"), "");
  EXPECT_EQ(block()->video[0].bit_rate, 5000000u);
  EXPECT_EQ(get("VIDEO[0].BITRATE"), "5000000");
  expect_refused("Video[0].BitRate", "50000", "Unsigned value out of range 50000 (100000-20000000)");
  expect_refused("Video[0].BitRate", "-5", "Unsigned value out of range 4294967291 (100000-20000000)");
  // Audio.SampleRate: 44100..48000 in steps of 3900 from the minimum.
  EXPECT_EQ(set("Audio.SampleRate", "47999"), "");
  EXPECT_EQ(block()->audio.sample_rate, 44100u);
  EXPECT_EQ(set("Audio.SampleRate", "48000"), "");
  EXPECT_EQ(block()->audio.sample_rate, 48000u);
  // Signed rows: sign-extended from their size.
  EXPECT_EQ(set("Capture.Hue", "-127"), "");
  EXPECT_EQ(block()->capture.hue, -127);
  EXPECT_EQ(get("Capture.Hue"), "-127");
  expect_refused("Capture.Hue", "-128", "Signed value out of range -128 (-127-127)");
  expect_refused("Capture.Hue", "99999999999", "Signed value out of range 2147483647 (-127-127)");
  // The 0..-1 row takes the whole unsigned range.
  EXPECT_EQ(set("DVR_AllowModes", "4294967295"), "");
  EXPECT_EQ(get("DVR_AllowModes"), "4294967295");
  expect_refused("DVR_AllowModes", "4294967296", "Unsigned value out of range 0 (0-4294967295)");
  EXPECT_EQ(set("No.Such.Row", "1"), "No such parameter");
}

TEST_F(ParamSetGet, ValueWiderThanTheFieldIsRefusedNotTruncated) {
  EXPECT_EQ(set("UDP[0].RetryTimeout", "65535"), "");
  EXPECT_EQ(block()->udp[0].retry_timeout, 65535);
  param_take_changes();
  // 65536 would store 0 in the 16-bit field.
  expect_refused("UDP[0].RetryTimeout", "65536", "Unsigned value out of range 65536 (0-65535)");
  expect_refused("UDP[0].RetryTimeout", "1000000", "Unsigned value out of range 1000000 (0-65535)");
}

TEST_F(ParamSetGet, StringsAndFloats) {
  std::string s159(159, 'm'), s160(160, 'm');
  EXPECT_EQ(set("Video[0].OSD.Message", s159.c_str()), "");
  EXPECT_EQ(get("Video[0].OSD.Message"), s159);
  expect_refused("Video[0].OSD.Message", s160.c_str(), "String value too long");
  expect_refused("NetworkHostname", "a\nReboot = 1", "Invalid value");
  // get cuts to the caller's buffer.
  char small[8];
  EXPECT_EQ(param_get("Video[0].OSD.Message", small, sizeof small), 7);
  EXPECT_STREQ(small, "mmmmmmm");

  EXPECT_EQ(set("Encoder[0].ScaleFactor[1]", "-2.5"), "");
  EXPECT_EQ(get("Encoder[0].ScaleFactor[1]"), "-2.500000");
  expect_refused("Encoder[0].ScaleConversionFactor", "-1",
                 "Float value out of range -1.000000 (0.000000-340282346638528859811704183484516925440.000000)");
  ParamBlock before = *block();
  EXPECT_NE(set("Encoder[0].ScaleFactor[0]", "nan"), "");
  EXPECT_NE(set("Encoder[0].ScaleFactor[0]", "inf"), "");
  EXPECT_EQ(memcmp(&before, block(), sizeof before), 0);
}

TEST_F(ParamSetGet, ChangeGroupsMarkedOnlyWhenBytesChange) {
  EXPECT_EQ(set("Video[0].IntraFrameQP", "23"), "") << "the default";
  EXPECT_EQ(param_pending_changes(), 0u);
  EXPECT_EQ(set("Video[0].IntraFrameQP", "30"), "");
  EXPECT_EQ(set("Video[1].OSD.X", "10"), "");
  EXPECT_EQ(param_pending_changes(), (1u << CG_VIDEO_A) | (1u << CG_OSD_B));
  param_take_changes();
  EXPECT_EQ(set("Video[0].BitRate", "3000000"), "") << "group 0 marks nothing";
  EXPECT_EQ(param_pending_changes(), 0u);
  // An action row with a group always marks it.
  EXPECT_EQ(set("User[3].Delete", "x"), "");
  EXPECT_EQ(param_pending_changes(), 1u << CG_USERS);
  param_take_changes();
  // A string set to its own text marks nothing.
  EXPECT_EQ(set("RTSP_CustomStreamName", ""), "");
  EXPECT_EQ(param_pending_changes(), 0u);
}

TEST_F(ParamSetGet, MacAddressParsesWholeOrNotAtAll) {
  EXPECT_EQ(set("NetworkMACAddr", "08:00:56: 1a:2B:ff"), "");
  EXPECT_EQ(get("NetworkMACAddr"), "08:00:56:1a:2b:ff");
  EXPECT_EQ(param_pending_changes(), 1u << CG_NETWORK);
  param_take_changes();
  // The refused texts leave the old address, even after good components.
  expect_refused("NetworkMACAddr", "01:02:03:0g:05:06", "MAC address contains invalid character");
  expect_refused("NetworkMACAddr", "01:02:03:100:05:06", "MAC address component out of range 0-ff");
  expect_refused("NetworkMACAddr", "01:02:03-04:05:06", "MAC address contains invalid character");
  expect_refused("NetworkMACAddr", "01 02:03:04:05:06", "MAC address missing ':'");
  expect_refused("NetworkMACAddr", "01:02:03", "MAC address is formed incorrectly");
  expect_refused("NetworkMACAddr", "01:02:03:04:05:06:07", "MAC address contains invalid character");
}

TEST_F(ParamSetGet, AddressesAndMasks) {
  EXPECT_EQ(set("UDP[1].Addr", "239.1.2.3"), "");
  EXPECT_EQ(get("UDP[1].Addr"), "239.1.2.3");
  EXPECT_EQ(set("LogUDPAddr", ""), "");
  EXPECT_EQ(get("LogUDPAddr"), "0.0.0.0");
  expect_refused("Net[0].Addr", "300.1.1.1", "IP address is invalid");
  expect_refused("Net[0].Addr", "banana", "IP address is invalid");
  for (const char *good : {"255.255.255.0", "255.255.254.0", "255.128.0.0", "0.0.0.0"})
    EXPECT_EQ(set("Net[1].Mask", good), "") << good;
  for (const char *bad : {"255.255.255.255", "255.0.255.0", "255.255.253.0", "0.255.0.0"})
    expect_refused("Net[1].Mask", bad, "Netmask is formed incorrectly");
}

TEST_F(ParamSetGet, CodesAndStandards) {
  EXPECT_EQ(set("Capture.Standard", "1080"), "");
  EXPECT_EQ(block()->capture.standard, 16) << "the first name the text begins";
  EXPECT_EQ(get("Capture.Standard"), "1080p24");
  EXPECT_EQ(set("Capture.Standard", "pal"), "");
  EXPECT_EQ(block()->capture.standard, 6);
  EXPECT_EQ(set("Capture.Standard", "1080i25"), "");
  EXPECT_EQ(get("Capture.Standard"), "1080i50");
  expect_refused("Capture.Standard", "", "Invalid value");
  expect_refused("Capture.Standard", "SECAM", "Invalid value");
  block()->capture.standard = 3;
  EXPECT_EQ(get("Capture.Standard"), "NONE");

  EXPECT_EQ(set("Video[1].AspectRatio", "16:9"), "");
  EXPECT_EQ(get("Video[1].AspectRatio"), "16:9");
  EXPECT_EQ(set("Video[1].AspectRatio", "NONE"), "");
  expect_refused("Video[1].AspectRatio", "21:9", "Invalid value");
  param_take_changes();
  EXPECT_EQ(set("Video[1].H264Level", "31"), "");
  EXPECT_EQ(param_pending_changes(), 1u << CG_VIDEO_B) << "restarts channel B's own stream";
  expect_refused("Video[0].H264Level", "33", "Invalid value");
  expect_refused("Video[0].H264Profile", "88", "Invalid value");
}

TEST_F(ParamSetGet, FrameRateFollowsTheCaptureRate) {
  EXPECT_EQ(get("Video[0].FrameRate"), "<none>") << "no capture rate yet";
  expect_refused("Video[0].FrameRate", "15", "Invalid value");
  param_apply_hooks.capture_frame_rate = [] { return 30000; };
  EXPECT_EQ(get("Video[0].FrameRate"), "30");
  EXPECT_EQ(set("Video[0].FrameRate", "15"), "");
  EXPECT_EQ(block()->video[0].frame_rate, 2);
  EXPECT_EQ(set("Video[0].FrameRate", "7.5"), "");
  EXPECT_EQ(block()->video[0].frame_rate, 4);
  EXPECT_EQ(get("Video[0].FrameRate"), "7.5");
  param_apply_hooks.capture_frame_rate = [] { return 29970; };
  block()->video[0].frame_rate = 1;
  EXPECT_EQ(get("Video[0].FrameRate"), "30") << "29.97 shows as 30";
  expect_refused("Video[0].FrameRate", "0", "Invalid value");
  expect_refused("Video[0].FrameRate", "0.1", "Invalid value");   // a divider above 255
  expect_refused("Video[0].FrameRate", "61", "Invalid value");
}

TEST_F(ParamSetGet, ResolutionRows) {
  EXPECT_EQ(get("Video[0].Resolution"), "auto");
  EXPECT_EQ(set("Video[1].Resolution", "640X480"), "");
  EXPECT_EQ(block()->video[1].width, 640);
  EXPECT_EQ(block()->video[1].height, 480);
  EXPECT_EQ(get("Video[1].Width"), "640");
  EXPECT_EQ(get("Video[1].Resolution"), "640x480");
  expect_refused("Video[1].Resolution", "800x480", "Invalid width");
  expect_refused("Video[1].Resolution", "640x600", "Invalid height");
  expect_refused("Video[1].Resolution", "640*480", "Invalid resolution");
  EXPECT_EQ(set("Video[1].Resolution", "AU"), "");
  EXPECT_EQ(block()->video[1].width, 0);
  // Automatic sizes read as the capture size.
  param_apply_hooks.capture_size = [](int ch, int *w, int *h) {
    *w = ch ? 360 : 720;
    *h = ch ? 240 : 480;
  };
  EXPECT_EQ(get("Video[0].Width"), "720");
  EXPECT_EQ(get("Video[1].Height"), "240");
  block()->video[1].aspect_ratio = 2;
  EXPECT_EQ(get("Video[1].ScaledWidth"), "426");
  expect_refused("Video[0].Width", "100", "Invalid value");
  EXPECT_EQ(set("Video[0].Height", "1080"), "");
}

TEST_F(ParamSetGet, UsersAndPermissions) {
  EXPECT_EQ(set("User[2].Name", "alice"), "");
  EXPECT_EQ(set("User[2].Permission", "3"), "");
  EXPECT_EQ(set("User[2].Password", "secret"), "");
  EXPECT_STREQ(user_get_password("alice"), "secret");
  EXPECT_EQ(user_get_password("Alice"), nullptr) << "user names are exact";
  EXPECT_EQ(user_get_permission("alice"), 3u);
  EXPECT_EQ(user_get_permission("bob"), 0u);
  EXPECT_EQ(user_get_permission(""), block()->guest_permission);
  EXPECT_EQ(user_has_permission("alice", "stream control"), 1);
  EXPECT_EQ(user_has_permission("alice", "Admin"), 0);
  // "password" is the placeholder the form sends back: nothing changes.
  EXPECT_EQ(set("User[2].Password", "password"), "");
  EXPECT_STREQ(user_get_password("alice"), "secret");
  EXPECT_EQ(set("User[2].Password", std::string(20, 'p').c_str()), "String value too long");
  EXPECT_STREQ(user_get_password("alice"), "secret");
  EXPECT_EQ(set("User[2].Password", std::string(19, 'p').c_str()), "");
  EXPECT_EQ(set("User[2].Delete", "1"), "");
  EXPECT_EQ(user_get_permission("alice"), 0u);
  EXPECT_EQ(block()->users[2].password[0], 0);
  EXPECT_EQ(set("User[7].Permission", "0"), "") << "only user 7 may be 0";
  EXPECT_NE(set("User[6].Permission", "0"), "");

  EXPECT_EQ(param_may_write("Reboot", PERM_ADMIN), 1);
  EXPECT_EQ(param_may_write("Reboot", PERM_STREAM_CONFIG), 0);
  EXPECT_EQ(param_may_write("Video[0].BitRate", PERM_DEMO), 0) << "Demo never writes";
  EXPECT_EQ(param_may_read("Video[0].BitRate", PERM_DEMO), 1);
  EXPECT_EQ(param_may_read("Clock", PERM_STREAM_CONFIG), 0);
  EXPECT_EQ(param_may_read("nope", PERM_ADMIN), -1);
  EXPECT_EQ(get_permission("stream view"), 1u);
  EXPECT_EQ(get_permission("root"), 0u);
  EXPECT_NE(param_log_text().find("get_permission: unknown permission root"), std::string::npos);
  EXPECT_STREQ(permission_name(6), "Demo");
  EXPECT_EQ(permission_name(7), nullptr);
  int32_t min, max, step;
  ASSERT_EQ(param_get_range("Audio.SampleRate", &min, &max, &step), 0);
  EXPECT_EQ(step, 3900);
}

// Only a user with both a name and a password can log in.
TEST_F(ParamSetGet, UsersWhoCanLogIn) {
  memset(block()->users, 0, sizeof block()->users);
  EXPECT_EQ(user_login_count(), 0);
  strcpy(block()->users[0].name, "op");
  EXPECT_EQ(user_login_count(), 0);
  strcpy(block()->users[0].password, "pw");
  strcpy(block()->users[PARAM_USER_COUNT - 1].name, "last");
  strcpy(block()->users[PARAM_USER_COUNT - 1].password, "pw");
  strcpy(block()->users[4].password, "no name");
  EXPECT_EQ(user_login_count(), 2);
}

TEST_F(ParamSetGet, NoAdminForcesGuestAdmin) {
  EXPECT_EQ(set("User[0].Name", "op"), "");
  EXPECT_EQ(set("User[0].Permission", "4"), "");
  EXPECT_EQ(set("GuestPermission", "1"), "");
  strcpy(block()->users[5].password, "stale");   // no name: cleared
  check_user_permissions();
  EXPECT_EQ(block()->guest_permission, 5u);
  EXPECT_EQ(block()->users[5].password[0], 0);
  EXPECT_NE(param_log_text().find("check_user_permissions: no users are admin, forcing guest"),
            std::string::npos);
  EXPECT_EQ(set("GuestPermission", "1"), "");
  EXPECT_EQ(set("User[0].Permission", "5"), "");
  check_user_permissions();
  EXPECT_EQ(block()->guest_permission, 1u);
}

TEST_F(ParamSetGet, ActionRowsReachTheirHooks) {
  static int key, telnet, state_id = -1, state_run = -1;
  param_apply_hooks.dvr_post_key = [](uint32_t k) { key = int(k); };
  param_apply_hooks.telnet_enable = [](const char *v) { telnet = atoi(v); };
  param_apply_hooks.stream_set_state = [](int id, int run) { state_id = id, state_run = run; };
  param_apply_hooks.stream_running = [](int id) { return id == 3 ? 1 : 0; };
  EXPECT_EQ(set("KeyPress", "4"), "");
  EXPECT_EQ(key, 16);
  EXPECT_EQ(set("KeyPress", "40"), "");
  EXPECT_EQ(key, 0);
  EXPECT_EQ(set("EnableTelnet", "1"), "");
  EXPECT_EQ(telnet, 1);
  EXPECT_EQ(set("Recording.State", "ST"), "") << "leading characters: start";
  EXPECT_EQ(state_id, -1) << "a recording is asked for by the apply";
  param_apply_changes();
  EXPECT_EQ(state_id, 13);
  EXPECT_EQ(state_run, 1);
  EXPECT_EQ(set("UDP[1].State", "stop"), "");
  EXPECT_EQ(state_id, 9);
  EXPECT_EQ(state_run, 0);
  EXPECT_EQ(set("Serial.State", "go"), "Invalid state");
  EXPECT_EQ(get("Display.Status"), "Streaming");
  EXPECT_EQ(get("UDP[0].Status"), "Stopped");
  param_apply_hooks.recording_status_text = [](char *buf, size_t size) { return snprintf(buf, size, "Recording 0:00:01"); };
  EXPECT_EQ(get("Recording.Status"), "Recording 0:00:01");
  EXPECT_EQ(get("UDP[0].Status"), "Stopped") << "the recorder's text is the recording's alone";
  EXPECT_EQ(get("Reboot"), "<none>") << "no format function";
  EXPECT_EQ(set("GPIO.out", "2"), "Invalid value");
  // An action whose module is missing says so and changes nothing.
  EXPECT_EQ(set("GPIO.out", "1"), "Action not available");
  EXPECT_EQ(get("GPIO.out"), "0");
  EXPECT_EQ(set("CustomClear", "1"), "Action not available");
  EXPECT_EQ(set("DebugAddr", "0x10004"), "");
  EXPECT_EQ(set("DebugData", "1"), "Action not available") << "no display transmitter";
  param_apply_hooks.gpio_set = [](int, int) {};
  EXPECT_EQ(set("GPIO.out", "1"), "");
  EXPECT_EQ(get("GPIO.out"), "1");
  EXPECT_EQ(get("BoardModel"), "7391");
  EXPECT_EQ(get("FirmwareBuild"), "1647");
  set("GPIO.out", "0");   // the output as the test found it
}

// A form that sets a sender's settings and starts it: the start of a stopped
// sender begins a run with those settings, which the form's apply must not
// restart; a running sender is restarted to take them, and so are settings
// that come after the start.
TEST_F(ParamSetGet, AStartTakesTheSettingsSetBeforeIt) {
  static int running;
  param_apply_hooks.stream_set_state = [](int id, int run) { if (id == 8) running = run; };
  param_apply_hooks.stream_running = [](int id) { return id == 8 ? running : 0; };
  const uint32_t udp_a = 1u << CG_UDP_A;
  running = 0;
  param_take_changes();
  EXPECT_EQ(set("UDP[0].StreamMode", "4"), "");
  EXPECT_EQ(set("UDP[1].StreamMode", "4"), "");
  EXPECT_EQ(set("UDP[0].State", "start"), "");
  EXPECT_EQ(param_take_changes(), 1u << CG_UDP_B) << "the start took UDP[0]'s settings";

  EXPECT_EQ(set("UDP[0].StreamMode", "2"), "");
  EXPECT_EQ(set("UDP[0].State", "start"), "");
  EXPECT_EQ(param_take_changes(), udp_a) << "a running sender is restarted";

  running = 0;
  EXPECT_EQ(set("UDP[0].State", "start"), "");
  EXPECT_EQ(set("UDP[0].StreamMode", "4"), "");
  EXPECT_EQ(param_take_changes(), udp_a) << "settings after the start";
  EXPECT_EQ(set("UDP[0].StreamMode", "2"), "");
  EXPECT_EQ(set("UDP[0].State", "stop"), "");
  EXPECT_EQ(param_take_changes(), udp_a) << "a stop keeps them";

  // A setting marked by another form while the start is being made may
  // come too late for the run: it restarts the run.
  param_apply_hooks.stream_set_state = [](int id, int run) {
    if (id == 8) running = run;
    param_mark_changed(CG_UDP_A);
  };
  running = 0;
  EXPECT_EQ(set("UDP[0].StreamMode", "4"), "");
  EXPECT_EQ(set("UDP[0].State", "start"), "");
  EXPECT_EQ(param_take_changes(), udp_a);
}

// Dropping one group leaves every other, and a number past the groups
// drops nothing.
TEST_F(ParamSetGet, DroppingAChangeGroupLeavesTheOthers) {
  // Every bit, CG_NONE's too, which no setting marks.
  pthread_mutex_lock(&param_state.change_mutex);
  param_state.pending = ~0u;
  pthread_mutex_unlock(&param_state.change_mutex);
  param_drop_change(32);
  param_drop_change(33);
  EXPECT_EQ(param_pending_changes(), ~0u);
  param_drop_change(31);
  param_drop_change(CG_UDP_A);
  EXPECT_EQ(param_take_changes(), ~0u & ~(1u << 31) & ~(1u << CG_UDP_A));

  // A start's drop and another thread's marks at once: each keeps the
  // other's bits.
  std::thread other([] {
    for (int i = 0; i < 10000; i++) param_drop_change(CG_UDP_B);
  });
  for (int i = 0; i < 10000; i++) param_mark_changed(CG_UDP_A);
  other.join();
  EXPECT_EQ(param_take_changes(), 1u << CG_UDP_A);
}

// The clock moves the wall clock (never the machine's) and is written to the
// RTC, which the host only logs.
TEST_F(ParamSetGet, ClockSetsTheWallClockAndTheRtc) {
  struct timeval before;
  wallclock_now(&before);
  sys_unlink("/run/exec.log");
  EXPECT_EQ(set("Clock", "2031-05-06 07:08:09"), "");
  std::string now = get("Clock");
  EXPECT_TRUE(now == "2031-05-06 07:08:09" || now == "2031-05-06 07:08:10") << now;
  char log[256] = "";
  sys_read_text("/run/exec.log", log, sizeof log, false);
  EXPECT_STREQ(log, "hwclock -w -f /dev/rtc1\n");
  EXPECT_EQ(set("Clock", "2024-02-30 10:00"), "") << "normalised like mktime";
  EXPECT_EQ(get("Clock").substr(0, 16), "2024-03-01 10:00");
  EXPECT_EQ(set("Clock", "2024-13-01 10:00"), "Invalid date format");
  EXPECT_EQ(set("Clock", "2024/01/01 10:00:00"), "Invalid date format");
  wallclock_set(&before);
}

TEST_F(ParamSetGet, LatencyRecordsReadAndReset) {
  latency_records[LATENCY_RTSP_B] = {900, 9000, 9000, 3};
  EXPECT_EQ(get("latency_rtsp_b"), "min:10 max:100 avg:33 (ms)");
  EXPECT_EQ(latency_records[LATENCY_RTSP_B].count, 0u);
  EXPECT_EQ(latency_records[LATENCY_RTSP_B].min, 9000000u);
  EXPECT_EQ(get("latency_rtsp_b"), "min:100000 max:0 avg:0 (ms)");
}

TEST_F(ParamSetGet, SerialNumberIsWrittenOnce) {
  board_identity.serial = 123456;
  EXPECT_EQ(set("SerialNumber", "5"), "Cannot change serial number");
  EXPECT_EQ(get("SerialNumber"), "123456");
  // Whatever was read at start, a word the flash already holds cannot change.
  ASSERT_EQ(mtd_open(), 0);
  board_identity.serial = 0;
  EXPECT_EQ(set("SerialNumber", "5"), "Cannot change serial number");
  BoardInfo bi;
  ASSERT_EQ(board_info_read(&bi), 0);
  EXPECT_EQ(bi.serial, 123456u) << "the stored number is left as it was";
  board_identity.serial = 123456;
}
