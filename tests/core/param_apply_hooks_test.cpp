// param_apply_changes acts on the marked change groups once each, in its
// fixed order, through the hook table; the action rows act at once.
#include <array>
#include <atomic>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/startup.h"
#include "param_test_util.h"
#include "test_root.h"
#include "platform/host_root.h"

namespace {
std::vector<std::string> events;
std::atomic<int> network_runs;
int run_mode;

void record(const std::string &e) { events.push_back(e); }

struct ParamApply : ParamTest {
  void SetUp() override {
    ParamTest::SetUp();
    // The users restored by the set-up are those the servers were told of.
    param_apply_changes();
    events.clear();
    network_runs = 0;
    run_mode = 0;
    rtsp_watch = 0;
    ParamApplyHooks &h = param_apply_hooks;
    h.check_h264_mpeg4_conflict = [](VideoChannelParams *, int ch) { record("conflict " + std::to_string(ch)); };
    h.stream_restart = [](int id) { record("restart " + std::to_string(id)); };
    h.init_network = [](ParamBlock *) { network_runs++; };
    h.osd_set_config = [](int ch, const OsdTextConfig *c) {
      record("osd " + std::to_string(ch) + " x=" + std::to_string(c->x));
    };
    h.capture_apply_settings = [] { record("capture"); };
    h.display_set_std = [](int s) { record("std " + std::to_string(s)); };
    h.display_set_run_mode = [](int m) { run_mode = m; record("mode " + std::to_string(m)); };
    h.display_get_run_mode = [] { return run_mode; };
    h.display_set_output = [](int o) { record("output " + std::to_string(o)); };
  }
  void wait_network(int runs) {
    for (int i = 0; i < 500 && network_runs < runs; i++) usleep(10000);
  }
};
}  // namespace

TEST_F(ParamApply, GroupsActOnceInTheirOrder) {
  const char *rows[][2] = {
    {"RTSP_Port", "8554"}, {"User[1].Permission", "4"}, {"Display.Output", "1"},
    {"Capture.Brightness", "90"}, {"Display.OSD.X", "5"}, {"Video[1].OSD.Y", "6"},
    {"Video[0].OSD.X", "7"}, {"Net[0].Addr", "10.1.2.3"}, {"UDP[1].Port", "5000"},
    {"Video[0].InterPFrameQP", "30"}, {"Video[0].IntraFrameQP", "31"}, {"Serial.BaudRate", "9600"},
  };
  for (auto &r : rows) ASSERT_EQ(set(r[0], r[1]), "") << r[0];
  param_apply_changes();
  std::vector<std::string> expect = {
    "conflict 0", "restart 1", "restart 9", "osd 0 x=7", "osd 1 x=0", "osd 2 x=5", "capture",
    "std 0", "mode 1", "output 1",
  };
  EXPECT_EQ(events, expect);
  EXPECT_EQ(rtsp_watch, 2) << "users reload, then the server restart wins";
  // A users' change applied before the RTSP thread has taken the restart
  // does not turn it into a reload.
  ASSERT_EQ(set("User[1].Permission", "3"), "");
  param_apply_changes();
  EXPECT_EQ(rtsp_watch, 2);
  EXPECT_EQ(param_pending_changes(), 0u) << "group 15 is cleared without action";
  EXPECT_STREQ(param_current_ip(), "10.1.2.3");
  wait_network(1);
  EXPECT_EQ(network_runs, 1);
  std::string log = param_log_text();
  EXPECT_NE(log.find("i=1\n"), std::string::npos);
  EXPECT_NE(log.find("updateDisplayFromParams: std=0 mode=1 output=1"), std::string::npos);

  // A second apply with nothing marked does nothing.
  events.clear();
  param_apply_changes();
  EXPECT_TRUE(events.empty());
}

// Recording.State is acted on after the settings of its form, whichever
// comes first in it: the recording reads them as it begins, so the apply's
// restart must come before the start, never meet the run it begins. A stop
// needs no restart; the later request of a form stands.
TEST_F(ParamApply, RecordingStateComesAfterTheSettingsOfItsForm) {
  param_apply_hooks.record_set_state = [](int run) { record("record " + std::to_string(run)); };
  param_apply_hooks.stream_set_state = [](int id, int run) {
    record("state " + std::to_string(id) + " " + std::to_string(run));
  };
  auto form = [&](std::vector<std::array<const char *, 2>> rows) {
    events.clear();
    for (auto &r : rows) EXPECT_EQ(set(r[0], r[1]), "") << r[0];
    EXPECT_TRUE(events.empty()) << "nothing acts before the apply";
    param_apply_changes();
    EXPECT_EQ(param_pending_changes(), 0u);
    return events;
  };
  using E = std::vector<std::string>;
  EXPECT_EQ(form({{"Recording.Format", "1"}, {"Recording.State", "start"}}), E({"restart 13", "record 1"}));
  EXPECT_EQ(form({{"Recording.State", "start"}, {"Recording.Format", "0"}}), E({"restart 13", "record 1"}));
  EXPECT_EQ(form({{"Recording.State", "start"}, {"Video[0].IntraFrameQP", "30"}}),
            E({"conflict 0", "restart 1", "record 1"}));
  EXPECT_EQ(form({{"Recording.Format", "1"}, {"Recording.State", "stop"}}), E({"record 0"}));
  EXPECT_EQ(form({{"Recording.State", "stop"}, {"Recording.State", "start"}}), E({"record 1"}));
  EXPECT_EQ(form({{"Recording.State", "start"}, {"Recording.State", "stop"}}), E({"record 0"}));
  EXPECT_EQ(form({{"Recording.Format", "0"}}), E({"restart 13"}));

  EXPECT_EQ(rtsp_watch, 0) << "no request reads as another group";

  // The DVR logic alone takes the recording's requests, and no stream's.
  param_apply_hooks.stream_set_state = nullptr;
  EXPECT_EQ(form({{"Recording.State", "start"}}), E({"record 1"}));
  EXPECT_EQ(set("UDP[0].State", "start"), "Action not available");
  // Without the DVR logic the record stream itself is set.
  param_apply_hooks.record_set_state = nullptr;
  EXPECT_EQ(set("Recording.State", "start"), "Action not available");
  EXPECT_EQ(param_pending_changes(), 0u);
  param_apply_hooks.stream_set_state = [](int id, int run) {
    record("state " + std::to_string(id) + " " + std::to_string(run));
  };
  EXPECT_EQ(form({{"Recording.State", "start"}}), E({"state 13 1"}));
}

TEST_F(ParamApply, UnmarkedChangesRestartNothing) {
  ASSERT_EQ(set("Video[0].BitRate", "3000000"), "");
  ASSERT_EQ(set("Video[0].IntraFrameQP", "23"), "") << "the value it had";
  param_apply_changes();
  EXPECT_TRUE(events.empty());
  ASSERT_EQ(set("User[2].Name", "x"), "");
  ASSERT_EQ(set("User[2].Delete", "1"), "");
  param_apply_changes();
  EXPECT_EQ(rtsp_watch, 1);
}

// The RTSP server keeps its own copy of the users: whatever changed them
// (the defaults restored, a user name set from a file, which marks no
// group) has it reload them at the next apply, and nothing else does.
TEST_F(ParamApply, EveryChangeOfTheUsersReachesRtsp) {
  ASSERT_EQ(set("User[2].Name", "x"), "");
  ASSERT_EQ(set("User[2].Password", "pw"), "");
  param_apply_changes();
  EXPECT_EQ(rtsp_watch, 1);
  rtsp_watch = 0;
  param_apply_changes();
  EXPECT_EQ(rtsp_watch, 0) << "nothing changed";
  param_load_defaults();
  param_apply_changes();
  EXPECT_EQ(rtsp_watch, 1) << "the defaults removed a user";
  rtsp_watch = 0;
  ASSERT_EQ(param_import_line("User[3].Name = y", 16), 0);
  EXPECT_EQ(param_pending_changes(), 0u);
  param_apply_changes();
  EXPECT_EQ(rtsp_watch, 1) << "a name set without its group";
}

TEST_F(ParamApply, HooksMaySetParametersWhileApplying) {
  // The change mutex is not held while the hooks run: a hook that marks a
  // group does not deadlock, and its mark waits for the next apply.
  param_apply_hooks.stream_restart = [](int id) {
    record("restart " + std::to_string(id));
    if (id == 1) param_set_str("Video[1].IntraFrameQP", "40");
  };
  ASSERT_EQ(set("Video[0].IntraFrameQP", "40"), "");
  param_apply_changes();
  EXPECT_EQ(param_pending_changes(), 1u << CG_VIDEO_B);
  param_apply_changes();
  std::vector<std::string> expect = {"conflict 0", "restart 1", "conflict 1", "restart 2"};
  EXPECT_EQ(events, expect);
}

TEST_F(ParamApply, PassthruAndColorbarsTestModes) {
  ASSERT_EQ(set("Display.Passthru", "1"), "");
  EXPECT_EQ(run_mode, 1);
  EXPECT_EQ(block()->display.display_mode, 1);
  EXPECT_EQ(get("Display.Passthru"), "1");
  EXPECT_EQ(get("Display.Colorbars"), "0");
  ASSERT_EQ(set("Display.Colorbars", "0"), "");
  EXPECT_EQ(run_mode, 1) << "colour bars off leaves pass-through on";
  ASSERT_EQ(set("Display.Colorbars", "1"), "");
  EXPECT_EQ(run_mode, 2);
  EXPECT_EQ(block()->display.display_mode, 2);
  ASSERT_EQ(set("Display.Colorbars", "0"), "");
  EXPECT_EQ(run_mode, 0);
  EXPECT_EQ(block()->display.display_mode, 0);
  EXPECT_NE(param_log_text().find("setOutputColorbars: displayEnv.mode=0"), std::string::npos);
  EXPECT_EQ(param_pending_changes(), 0u);
  EXPECT_EQ(set("Display.Passthru", "on"), "Invalid value");
}

TEST_F(ParamApply, DisplayStandardIsAppliedAtOnce) {
  ASSERT_EQ(set("Display.Standard", "1080i50"), "");
  std::vector<std::string> expect = {"std 13"};
  EXPECT_EQ(events, expect);
  EXPECT_NE(param_log_text().find("set display std 13"), std::string::npos);
}

TEST_F(ParamApply, RebootActionEndsInTheRebootExit) {
  RootKeep keep({"/rebooting"});
  set_exit_code(EXIT_RUNNING);
  ASSERT_EQ(set("Reboot", "0"), "");
  EXPECT_EQ(get_exit_code(), 0u);
  ASSERT_EQ(set("Reboot", "1"), "");
  EXPECT_EQ(get_exit_code(), uint32_t(EXIT_REBOOT));
  EXPECT_EQ(rtsp_watch, 1);
  sys_unlink("/run/exec.log");
  exit_actions();
  char log[512];
  sys_read_text("/run/exec.log", log, sizeof log, false);
  EXPECT_STREQ(log, "sync\ntouch /rebooting\nreboot\n");
  set_exit_code(EXIT_RUNNING);
}
