// Forms posted to the web server: parameters set under the row's prefix,
// applied once, answered 303 and saved to flash later; refused keys, bad
// values and bad bodies; users, recordings and the access log.
#include "web_test_support.h"

#include <chrono>
#include <thread>
#include <tuple>

#include "core/crc32.h"
#include "core/log.h"
#include "display/save_probe.h"
#include "core/param_access.h"
#include "core/firmware.h"
#include "core/param_apply.h"
#include "core/process_util.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"
#include "web/web_forms.h"

namespace {

int restarts[3];
void count_restart(int id) {
  if (id >= 0 && id < 3) restarts[id]++;
}

class WebForm : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    memset(restarts, 0, sizeof restarts);
    param_apply_hooks.stream_restart = count_restart;
  }
  void TearDown() override {
    param_apply_hooks.stream_restart = nullptr;
    WebTest::TearDown();
  }
};

// Waits (up to a generous limit) until the save thread has saved more than
// before times; the saves are a second or ten apart, never a race.
unsigned wait_saves(unsigned before) {
  for (int i = 0; i < 300 && param_save_count() <= before; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return param_save_count();
}

TEST_F(WebForm, PrefixedFormSetsAppliesOnceAndRedirects) {
  HttpReply r = http_post("/streamA_controls",
                          "BitRate=3000000&x=12&y=7&StreamMode=2&IntraFrameQP=30&redirect=%2Fsetup_streama.htm");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/setup_streama.htm");
  EXPECT_EQ(param("Video[0].BitRate"), "3000000");
  EXPECT_EQ(param("Video[0].StreamMode"), "2");
  EXPECT_EQ(param("Video[0].IntraFrameQP"), "30");
  EXPECT_EQ(param("Video[1].BitRate"), "2000000");
  // Two changes of channel A's group: one apply, one restart.
  EXPECT_EQ(restarts[1], 1);
  EXPECT_EQ(restarts[2], 0);
  // Without a redirect key the Referer is the target; without either, 200.
  r = http_post("/streamB_controls", "BitRate=1000000", "Referer: http://127.0.0.1/setup_streamb.htm\r\n");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/setup_streamb.htm");
  EXPECT_EQ(http_post("/streamB_controls", "BitRate=1100000").status, 200);
  // A multipart body is a form too.
  r = http_post("/streamB_controls",
                "--XyZ\r\nContent-Disposition: form-data; name=\"GOPSize\"\r\n\r\n60\r\n--XyZ--\r\n", "",
                "multipart/form-data; boundary=XyZ");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(param("Video[1].GOPSize"), "60");
}

TEST_F(WebForm, RedirectTargetsAreMadeSafeForTheHeader) {
  HttpReply r = http_post("/controls", "redirect=%2Fa%20b%22%3Cc%3E%0D%0AX-Evil%3A%201&Video[0].GOPSize=20");
  EXPECT_EQ(r.status, 303);
  // A target with control characters is not a local link at all.
  EXPECT_EQ(r.header("Location"), "/index.htm");
  EXPECT_EQ(r.header("X-Evil"), "");
  r = http_post("/controls", "redirect=%2Fa%20b%22%3Cc%3E&Video[0].GOPSize=20");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/a%20b%22%3Cc%3E");
}

TEST_F(WebForm, FormAskedSaveReachesFlashAndBurstsSaveOnce) {
  ParamBlock stored;
  unsigned before = param_save_count();
  unsigned asked = param_save_requests();
  EXPECT_EQ(http_post("/streamA_controls", "BitRate=4100000").status, 200);
  EXPECT_EQ(param_save_requests(), asked + 1);
  unsigned after = wait_saves(before);
  ASSERT_EQ(after, before + 1);
  ASSERT_EQ(get_cur_param_block(&stored), 0);
  EXPECT_EQ(stored.video[0].bit_rate, 4100000u);

  // Two forms within the save delay: one flash save holding both.
  uint32_t counter = stored.counter;
  EXPECT_EQ(http_post("/streamA_controls", "BitRate=4200000").status, 200);
  EXPECT_EQ(http_post("/streamB_controls", "BitRate=4300000").status, 200);
  after = wait_saves(after);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(param_save_count(), after);
  ASSERT_EQ(get_cur_param_block(&stored), 0);
  EXPECT_EQ(stored.counter, counter + 1);
  EXPECT_EQ(stored.video[0].bit_rate, 4200000u);
  EXPECT_EQ(stored.video[1].bit_rate, 4300000u);
}

TEST_F(WebForm, QuitSavesARequestStillWaiting) {
  ParamBlock stored;
  ASSERT_EQ(param_set_str("Video[1].GOPSize", "77"), nullptr);
  unsigned before = param_save_count();
  param_save_request();
  param_save_stop();
  EXPECT_EQ(param_save_count(), before + 1);
  ASSERT_EQ(get_cur_param_block(&stored), 0);
  EXPECT_EQ(stored.video[1].gop_size, 77);
  ASSERT_EQ(param_save_start(), 0);
}

TEST_F(WebForm, SaveParamsNoAppliesWithoutASave) {
  unsigned asked = param_save_requests();
  EXPECT_EQ(http_post("/streamA_controls", "GOPSize=15&save_params=no").status, 200);
  EXPECT_EQ(param("Video[0].GOPSize"), "15");
  EXPECT_EQ(param_save_requests(), asked);
  // The next form saves again; "_no_save" rows never do.
  EXPECT_EQ(http_post("/streamA_controls", "GOPSize=16").status, 200);
  EXPECT_EQ(param_save_requests(), asked + 1);
  EXPECT_EQ(http_post("/streamA_controls_no_save", "GOPSize=17").status, 200);
  EXPECT_EQ(param("Video[0].GOPSize"), "17");
  EXPECT_EQ(param_save_requests(), asked + 1);
  EXPECT_EQ(http_post("/controls", "save_params=NO&Video[0].GOPSize=18").status, 200);
  EXPECT_EQ(param_save_requests(), asked + 1);
  // Only the words themselves: another of the same length saves as usual.
  EXPECT_EQ(http_post("/controls", "save_params=ok&Video[0].GOPSize=19").status, 200);
  EXPECT_EQ(param_save_requests(), asked + 2);
}

TEST_F(WebForm, NoSaveOfOneRequestLeavesAnotherRequestsSave) {
  // Two forms in progress at once, as two clients' bodies interleave on the
  // server's thread: a "_no_save" form has had its first data...
  WebRequest nosave, other;
  web_request_init(&nosave, nullptr, "/streamA_controls_no_save");
  nosave.row = url_table_lookup("streamA_controls_no_save");
  web_request_init(&other, nullptr, "/streamA_controls");
  other.row = url_table_lookup("streamA_controls");
  ASSERT_NE(nosave.row, nullptr);
  ASSERT_NE(other.row, nullptr);
  post_processor_nosave_func(&nosave, "GOPSize=21", 10);
  // ...when the other form completes: it is saved all the same.
  unsigned asked = param_save_requests();
  post_processor_done(&other);
  EXPECT_EQ(param_save_requests(), asked + 1);
  post_processor_done(&nosave);
  EXPECT_EQ(param_save_requests(), asked + 1) << "the no-save form still saves nothing";
  web_request_release(&nosave);
  web_request_release(&other);
}

TEST_F(WebForm, NewAddressGoesToTheClientThatChangedIt) {
  set_users(PERM_STREAM_CONFIG, {std::make_tuple("admin", "secret", PERM_ADMIN)});
  ParamBlock *b = get_param_block();
  b->network_mode = 1;
  // The address changed by the menu or the control protocol: no web client
  // made the change, none is sent on.
  ASSERT_EQ(param_set_str("Net[0].Addr", "10.9.8.7"), nullptr);
  param_apply_changes();
  HttpReply r = http_post("/streamA_controls", "GOPSize=14&redirect=/setup_streama.htm");
  EXPECT_EQ(r.header("Location"), "/setup_streama.htm");
  // Nor is a client whose form was refused.
  r = http_post("/controls", "Net[0].Addr=10.1.2.3&redirect=/a.htm");
  EXPECT_EQ(r.status, 401);
  r = curl("-u admin:secret -d Net[0].Addr=10.1.2.3 -d redirect=/admin_network.htm", "/controls");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "http://10.1.2.3/admin_network.htm");
  // The next forms, of this client or another, are not sent there.
  r = http_post("/streamA_controls", "GOPSize=15&redirect=/setup_streama.htm");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/setup_streama.htm");
  r = curl("-u admin:secret -d Video[0].GOPSize=16 -d redirect=/b.htm", "/controls");
  EXPECT_EQ(r.header("Location"), "/b.htm");
  b->network_mode = 0;
  param_take_changes();
}

TEST_F(WebForm, PermissionsDecideWhichKeysTakeEffect) {
  set_users(PERM_STREAM_VIEW, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  // The guest may not post to auth_controls at all.
  HttpReply r = http_post("/auth_controls", "Video[0].GOPSize=40");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  // Through "controls" only what the guest's level may write.
  r = http_post("/controls", "UDP[0].State=stop&Video[0].GOPSize=41&GuestPermission=5");
  EXPECT_EQ(r.status, 401);
  EXPECT_NE(r.body.find("Access denied"), std::string::npos);
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  EXPECT_EQ(param("GuestPermission"), "1");
  // A form with a key the guest may not write is refused whole.
  set_users(PERM_STREAM_CONFIG, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  r = http_post("/controls", "Video[0].GOPSize=42&GuestPermission=5");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  EXPECT_EQ(param("GuestPermission"), "4");
  // A user may; Demo reads like an admin and writes nothing.
  r = curl("--basic -u admin:pw -d Video[0].GOPSize=43 -d redirect=/ok.htm", "/auth_controls");
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(param("Video[0].GOPSize"), "43");
  set_users(PERM_DEMO, {});
  EXPECT_EQ(http_post("/controls", "Video[0].GOPSize=44").status, 401);
  EXPECT_EQ(param("Video[0].GOPSize"), "43");
}

TEST_F(WebForm, BadValuesAndKeysGetAClearErrorAndChangeNothing) {
  HttpReply r = http_post("/streamA_controls", "BitRate=999999999&GOPSize=25&Nonsense=1&firmware=x&"
                                               "redirect=/setup_streama.htm");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("Video[0].BitRate: Unsigned value out of range 999999999 (100000-20000000)"),
            std::string::npos)
      << r.body;
  EXPECT_NE(r.body.find("Video[0].Nonsense: No such parameter"), std::string::npos);
  EXPECT_NE(r.body.find("Video[0].firmware: No such parameter"), std::string::npos);
  EXPECT_NE(r.body.find("href=\"/setup_streama.htm\""), std::string::npos);
  EXPECT_EQ(param("Video[0].BitRate"), "5000000");
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  // A value refused after others were set puts them back, the size a
  // virtual row stored included.
  r = http_post("/streamB_controls", "GOPSize=26&Resolution=640x480&BitRate=1");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(param("Video[1].GOPSize"), "30");
  EXPECT_EQ(param("Video[1].Resolution"), "auto");
  EXPECT_EQ(http_post("/streamB_controls", "GOPSize=26&Resolution=640x480").status, 200);
  EXPECT_EQ(param("Video[1].Resolution"), "640x480");
  // An upload row's name as a key of a form is no upload.
  r = http_post("/controls", "firmware=x&customzip=y&overlay=z");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("firmware: No such parameter"), std::string::npos);
  // A value longer than any parameter's is refused whole.
  r = http_post("/controls", "Video[0].OSD.Message=" + std::string(2000, 'q'));
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("Value too long"), std::string::npos);
  EXPECT_EQ(param("Video[0].OSD.Message"), "");
  // Escaped in the error page.
  r = http_post("/controls", "%3Cscript%3E=1");
  EXPECT_NE(r.body.find("&lt;script&gt;: No such parameter"), std::string::npos) << r.body;
  // The page's way back never leaves the box's pages.
  for (const char *t : {"javascript:alert(1)", "//evil.example/x", "http://evil.example/x"}) {
    r = http_post("/controls", std::string("Nonsense=1&redirect=") + t);
    EXPECT_NE(r.body.find("href=\"/index.htm\""), std::string::npos) << t << r.body;
  }
  r = http_post("/controls", "Nonsense=1", "Referer: http://127.0.0.1/setup_output.htm\r\n");
  EXPECT_NE(r.body.find("href=\"/setup_output.htm\""), std::string::npos) << r.body;
  // The recording directory is one plain name, where recordings, lists and
  // downloads are built: nothing that leads out of the volume.
  for (const char *d : {"../../etc", "a/b", ".hidden", "..", "x%01y"}) {
    r = http_post("/controls", std::string("Recording.Directory=") + d);
    EXPECT_EQ(r.status, 400) << d;
    EXPECT_NE(r.body.find("Recording.Directory: Directory"), std::string::npos) << d << r.body;
  }
  EXPECT_NE(param("Recording.Directory"), "..");
  EXPECT_EQ(http_post("/controls", "Recording.Directory=Clips").status, 200);
  EXPECT_EQ(param("Recording.Directory"), "Clips");
  filesys_set_subdir("../../etc");
  EXPECT_STREQ(filesys_get_subdir(), "DCIM");
}

TEST_F(WebForm, UnreadableBodiesAreBadRequests) {
  HttpReply r = http_post("/controls", "Video[0].GOPSize=50", "", "");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("The form could not be read."), std::string::npos);
  r = http_post("/controls", "Video[0].GOPSize=50", "", "application/json");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  r = http_post("/controls", "--b\r\nContent-Disposition: form-data; name=\"Video[0].GOPSize\"\r\n\r\n51",
                "", "multipart/form-data; boundary=b");
  EXPECT_TRUE(r.status == 400 || r.status == 200) << r.status;
  // A client that goes before its body ends: nothing of it is taken (not
  // the whole values before the cut, not the half value at it), the request
  // ends, and the server goes on serving.
  http_send_and_close("POST /controls HTTP/1.1\r\nHost: x\r\nContent-Type: "
                      "application/x-www-form-urlencoded\r\nContent-Length: 5000\r\n\r\n"
                      "Video[0].GOPSize=52&Video[0].Flip=1&Video[0].BitRate=12");
  bool ended = false;
  for (int i = 0; i < 100 && !ended; i++) {
    ended = http_get("/debuglog.txt").body.find("cut off, nothing changed") != std::string::npos;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  EXPECT_EQ(param("Video[0].Flip"), "0");
  EXPECT_EQ(param("Video[0].BitRate"), "5000000");
  r = http_post("/controls", "Video[0].GOPSize=53");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(param("Video[0].GOPSize"), "53");
}

TEST_F(WebForm, CreateUserOnlyForAdmin) {
  LogUnreadKeep unread;
  HttpReply r = http_post("/controls", "create_user_name=bob&create_user_pass=pw1&create_user_perm=3");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(param("User[0].Name"), "bob");
  EXPECT_EQ(param("User[0].Permission"), "3");
  EXPECT_STREQ(user_get_password("bob"), "pw1");
  char *log = get_user_data_log(1, 0x7FFFFFFF);
  ASSERT_NE(log, nullptr);
  EXPECT_NE(strstr(log, "USER CREATED"), nullptr) << log;
  free(log);
  // Passwords stay out of the program log.
  EXPECT_EQ(http_get("/debuglog.txt").body.find("pw1"), std::string::npos);
  // Nor does a password changed through the users form.
  EXPECT_EQ(http_post("/controls", "User[0].Password=Chg53word").status, 200);
  EXPECT_STREQ(user_get_password("bob"), "Chg53word");
  std::string debug = http_get("/debuglog.txt").body;
  EXPECT_EQ(debug.find("Chg53word"), std::string::npos);
  // The field is logged all the same, its value masked.
  EXPECT_NE(debug.find("User[0].Password=*** size=9"), std::string::npos) << debug;
  // Stream Config cannot create users, nor can a level-1 user: refused as
  // other keys above the level are.
  set_users(PERM_STREAM_CONFIG, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  r = http_post("/controls", "create_user_name=eve&create_user_pass=x&create_user_perm=5");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(param("User[1].Name"), "");
  set_users(PERM_NONE, {std::make_tuple("admin", "pw", PERM_ADMIN),
                        std::make_tuple("viewer", "v", PERM_STREAM_VIEW)});
  char chunk[4096];
  while (log_read(chunk, sizeof chunk) > 0) {
  }
  r = curl("--basic -u viewer:v -d create_user_name=eve -d create_user_pass=x -d create_user_perm=5",
           "/controls");
  EXPECT_EQ(r.status, 401);
  EXPECT_NE(r.body.find("Access denied"), std::string::npos);
  EXPECT_EQ(param("User[2].Name"), "");
  // One line for the refused form, not one a key.
  std::string said;
  for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) said.append(chunk, n);
  const std::string line = "user viewer does not have permission to create users";
  size_t at = said.find(line);
  EXPECT_NE(at, std::string::npos) << said;
  EXPECT_EQ(said.find("permission to create users", at + line.size()), std::string::npos) << said;
  // The basic user can log in now.
  set_users(PERM_NONE, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  r = curl("--basic -u admin:pw -d create_user_name=carol -d create_user_pass=c -d create_user_perm=1",
           "/controls");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(curl("--basic -u carol:c", "/Video[0].BitRate").status, 200);
  EXPECT_EQ(curl("--basic -u carol:c", "/config.txt").status, 401);
}

TEST_F(WebForm, DestructiveRowsNeedTheirLevel) {
  ASSERT_EQ(user_log_append(64, "someone", USER_EVENT_LOGIN), 0);
  set_users(PERM_STREAM_CONFIG, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  EXPECT_EQ(http_post("/clear_log", "confirm=on").status, 401);
  char *log = get_user_data_log(10, 0x7FFFFFFF);
  ASSERT_NE(log, nullptr);
  free(log);
  EXPECT_EQ(curl("--basic -u admin:pw -d confirm=ON", "/clear_log").status, 200);
  EXPECT_EQ(get_user_data_log(10, 0x7FFFFFFF), nullptr);

  std::string base = mount_sd();
  ASSERT_TRUE(filesys_is_mounted(STORAGE_MMC));
  ASSERT_EQ(system(("mkdir -p '" + base + "' && printf 1 > '" + base + "/a.ts' && printf 2 > '" + base +
                    "/b.mp4'").c_str()),
            0);
  set_users(PERM_STREAM_VIEW, {std::make_tuple("ctl", "pw", PERM_STREAM_CONTROL)});
  EXPECT_EQ(http_post("/delete_files_mmc", "delete_file=a.ts").status, 401);
  EXPECT_EQ(access((base + "/a.ts").c_str(), F_OK), 0);
  HttpReply r = curl("--basic -u ctl:pw -d delete_file=a.ts -d delete_file=../x -d delete_file2=", "/delete_files_mmc");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("Bad filename"), std::string::npos);
  EXPECT_NE(access((base + "/a.ts").c_str(), F_OK), 0);
  EXPECT_EQ(access((base + "/b.mp4").c_str(), F_OK), 0);

  set_users(PERM_STREAM_CONTROL, {});
  EXPECT_EQ(http_get("/mixer_settings").status, 401);
  EXPECT_EQ(http_post("/mixer_settings", "Capture_0_vol=3").status, 401);
}

// Loading the defaults rewrites the whole block: a save copying it
// meanwhile must not store a mix, so the rewrite waits for the save.
TEST_F(WebForm, LoadingTheDefaultsWaitsForASaveHoldingTheWriteLock) {
  set_users(PERM_NONE, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  ASSERT_EQ(param_set("Video[0].GOPSize", "44", 2), nullptr);
  int status = 0;
  bool changed = HeldSave::changed_while_held_anywhere(
      [&] { status = curl("--basic -u admin:pw", "/load_default_params").status; },
      [] { return param("Video[0].GOPSize") != "44"; });
  EXPECT_FALSE(changed) << "the defaults were written while a save held the block";
  EXPECT_EQ(status, 303);
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
}

// A page of another site can make a logged-in browser post forms or follow
// links to this box with its cached credentials: what names another site in
// Origin (or, without it, Referer) changes nothing, while tools that send
// neither, and this box's own pages, do. The 303 after a form stays here.
TEST_F(WebForm, OtherSitesChangeNothingAndRedirectsStayLocal) {
  set_users(PERM_NONE, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  const std::string auth = "Authorization: Basic YWRtaW46cHc=\r\n";   // admin:pw
  const char *others[] = {
      "Origin: http://evil.example\r\n",
      "Origin: null\r\n",
      "Origin: http://127.0.0.1.evil.example\r\n",
      "Origin: http://127.0.0.1:81\r\n",
      "Referer: http://evil.example/127.0.0.1/x.htm\r\n",
      "Referer: file:///tmp/x.htm\r\n",
      "Referer: http://127.0.0.1@evil.example/x.htm\r\n",
      "Origin: https://127.0.0.1\r\n",
      // Origin wins over a Referer of this box.
      "Origin: http://evil.example\r\nReferer: http://127.0.0.1/index.htm\r\n",
  };
  for (const char *from : others) {
    HttpReply r = http_post("/controls", "Video[0].GOPSize=50&redirect=%2Fx.htm", auth + from);
    EXPECT_EQ(r.status, 403) << from;
    EXPECT_EQ(param("Video[0].GOPSize"), "30") << from;
    r = http_get("/load_default_params?redirect=/x.htm", auth + from);
    EXPECT_EQ(r.status, 403) << from;
  }
  // The box's own pages, by Origin or Referer, and tools sending neither.
  const char *ours[] = {"Origin: http://127.0.0.1\r\n", "Referer: http://127.0.0.1/setup_streama.htm\r\n",
                        "Referer: http://127.0.0.1:80/setup_streama.htm\r\n",
                        "Origin: HTTP://127.0.0.1\r\nReferer: http://evil.example/\r\n", ""};
  int gop = 51;
  for (const char *from : ours) {
    std::string body = "Video[0].GOPSize=" + std::to_string(gop) + "&redirect=%2Fx.htm";
    HttpReply r = http_post("/controls", body, auth + from);
    EXPECT_EQ(r.status, 303) << from;
    EXPECT_EQ(r.header("Location"), "/x.htm") << from;
    EXPECT_EQ(param("Video[0].GOPSize"), std::to_string(gop)) << from;
    gop++;
  }
  // Targets off this box become the index; one on it loses its host.
  const char *targets[][2] = {{"http%3A%2F%2Fevil.example%2F", "/index.htm"},
                              {"%2F%2Fevil.example%2Fx", "/index.htm"},
                              {"javascript%3Aalert(1)", "/index.htm"},
                              {"http%3A%2F%2F127.0.0.1%2F%2Fevil.example%2Fx", "/index.htm"},
                              {"http%3A%2F%2F127.0.0.1%2Fsetup_video.htm", "/setup_video.htm"}};
  for (auto &t : targets) {
    HttpReply r = http_post("/controls", std::string("Video[0].GOPSize=30&redirect=") + t[0], auth);
    EXPECT_EQ(r.status, 303) << t[0];
    EXPECT_EQ(r.header("Location"), t[1]) << t[0];
  }
  HttpReply r = http_post("/controls", "Video[0].GOPSize=30", auth + "Referer: http://127.0.0.1/a.htm?b=1\r\n");
  EXPECT_EQ(r.header("Location"), "/a.htm?b=1");
  r = http_get("/load_default_params?redirect=http://evil.example/", auth);
  EXPECT_EQ(r.status, 303);
  EXPECT_EQ(r.header("Location"), "/index.htm");
}

// A browser says where a request comes from even when the page withholds
// Origin and Referer (an image with no-referrer): only its own pages and
// what the user typed may change anything.
TEST_F(WebForm, FetchSiteOfAnotherSiteChangesNothing) {
  LogUnreadKeep unread;
  set_users(PERM_NONE, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  const std::string auth = "Authorization: Basic YWRtaW46cHc=\r\n";   // admin:pw
  for (const char *site : {"cross-site", "same-site", "Cross-Site", "bogus", ""}) {
    std::string h = auth + "Sec-Fetch-Site: " + site + "\r\n";
    EXPECT_EQ(http_post("/controls", "Video[0].GOPSize=50", h).status, 403) << site;
    EXPECT_EQ(http_get("/load_default_params", h).status, 403) << site;
  }
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  // The log says where a refused request came from and what it named.
  std::string log;
  char chunk[4096];
  for (size_t n; (n = log_read(chunk, sizeof chunk)) > 0;) log.append(chunk, n);
  EXPECT_NE(log.find("/load_default_params from same-site to 127.0.0.1 refused"), std::string::npos);
  int gop = 51;
  for (const char *site : {"same-origin", "none", "Same-Origin"}) {
    std::string h = auth + "Sec-Fetch-Site: " + site + "\r\nOrigin: http://127.0.0.1\r\n";
    EXPECT_EQ(http_post("/controls", "Video[0].GOPSize=" + std::to_string(gop), h).status, 200) << site;
    EXPECT_EQ(param("Video[0].GOPSize"), std::to_string(gop++)) << site;
  }
}

// A browser sends Sec-Fetch-Site only to trustworthy origins: at a LAN
// address an image of another site with no-referrer comes with none of the
// three headers. A browser's GET that changes something needs one of them
// naming this box; tools need none.
TEST_F(WebForm, ABrowsersGetChangesStateOnlyFromTheBoxsOwnPages) {
  const std::string auth = "Authorization: Basic YWRtaW46cHc=\r\n";   // admin:pw
  const std::string browser = auth + "User-Agent: Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0\r\n";
  // Restoring the defaults removes the users too.
  auto get = [](const char *url, const std::string &headers) {
    set_users(PERM_NONE, {std::make_tuple("admin", "pw", PERM_ADMIN)});
    return http_get(url, headers);
  };
  for (const char *url : {"/load_default_params", "/logout.htm"}) {
    ASSERT_EQ(param_set("Video[0].GOPSize", "44", 2), nullptr);
    HttpReply r = get(url, browser);
    EXPECT_EQ(r.status, 403) << url;
    EXPECT_NE(r.body.find("only from the box's own pages"), std::string::npos) << url;
    EXPECT_EQ(get(url, browser + "Origin: \r\nReferer: \r\n").status, 403) << url;
    EXPECT_EQ(param("Video[0].GOPSize"), "44") << url;
    for (const char *proof : {"Referer: http://127.0.0.1/admin_update.htm\r\n", "Origin: http://127.0.0.1\r\n",
                              "Sec-Fetch-Site: same-origin\r\n", "Sec-Fetch-Site: none\r\n"})
      EXPECT_EQ(get(url, browser + proof).status, 303) << url << " " << proof;
    EXPECT_EQ(get(url, auth + "User-Agent: curl/8.5.0\r\n").status, 303) << url;
    EXPECT_EQ(param("Video[0].GOPSize"), strcmp(url, "/load_default_params") ? "44" : "30") << url;
  }
}

// DNS rebinding: a page whose own name resolves to the box sends matching
// Origin and Host. A browser without credentials must name the box by an
// address or its own name (alone, under "local" or under a domain of its
// resolver file); tools (no browser headers) and logged-in browsers may use
// any name.
TEST_F(WebForm, ABrowserAsGuestMustNameTheBoxByItsOwnName) {
  set_users(PERM_ADMIN, {std::make_tuple("admin", "pw", PERM_ADMIN)});
  ParamBlock *b = get_param_block();
  snprintf(b->hostname, sizeof b->hostname, "m7391-000042");
  RootKeep keep({"/etc/resolv.conf"});
  ASSERT_EQ(sys_write_text("/etc/resolv.conf", "nameserver 10.0.0.1\nsearch studio.lan\n"), 0);
  auto post = [](const std::string &host, const std::string &extra, int gop) {
    std::string body = "Video[0].GOPSize=" + std::to_string(gop);
    return http_raw("POST /controls HTTP/1.1\r\nHost: " + host +
                    "\r\nConnection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                    "Content-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body);
  };
  // No host name is longer than 255 characters.
  const std::string too_long = "m7391-000042." + std::string(243, 'a');
  const char *strangers[] = {"evil.example", "m7391-0000420", "m7391-000042evil.example", "127.0.0.1.evil.example",
                             "[::1", "localhost.evil.example", "m7391-000042.a@evil.example", too_long.c_str(),
                             "localhost:+80", "localhost: 80", "localhost:0", "localhost:65536",
                             "localhost:000080", "m7391-000042.evil.example", "m7391-000042.lan",
                             "m7391-000042.studio.lan.evil.example"};
  for (const char *host : strangers) {
    std::string origin = std::string("Origin: http://") + host + "\r\n";
    HttpReply r = post(host, origin, 60);
    EXPECT_EQ(r.status, 403) << host;
    EXPECT_NE(r.body.find("Refused: the request came from a page of another site"), std::string::npos) << host;
    EXPECT_EQ(post(host, "Sec-Fetch-Site: same-origin\r\n", 60).status, 403) << host;
    EXPECT_EQ(http_raw(std::string("GET /load_default_params HTTP/1.1\r\nHost: ") + host +
                       "\r\nConnection: close\r\nReferer: http://" + host + "/\r\n\r\n")
                  .status,
              403)
        << host;
  }
  EXPECT_EQ(param("Video[0].GOPSize"), "30");
  const char *own[] = {"127.0.0.1", "10.1.2.3:80", "10.1.2.3:1", "10.1.2.3:65535", "[::1]:80", "localhost",
                       "LOCALHOST:8080", "m7391-000042", "M7391-000042.local", "m7391-000042.studio.lan:80"};
  int gop = 61;
  for (const char *host : own) {
    std::string origin = std::string("Origin: http://") + host + "\r\n";
    EXPECT_EQ(post(host, origin, gop).status, 200) << host;
    EXPECT_EQ(param("Video[0].GOPSize"), std::to_string(gop++)) << host;
  }
  // A tool, and a browser that logged in, under another name.
  EXPECT_EQ(post("evil.example", "", gop).status, 200);
  EXPECT_EQ(param("Video[0].GOPSize"), std::to_string(gop++));
  EXPECT_EQ(post("encoder.example", "Origin: http://encoder.example\r\nAuthorization: Basic YWRtaW46cHc=\r\n", gop)
                .status,
            200);
  EXPECT_EQ(param("Video[0].GOPSize"), std::to_string(gop++));
}

}  // namespace

// A refused upload says why in its answer; a refused firmware image stays
// on the update status page until it was shown once. An upload with an
// empty body did nothing, and says so.
TEST_F(WebForm, RefusedUploadsAreAnsweredWithTheirReason) {
  param_apply_hooks.firmware_status_take = firmware_status_take;
  std::string noise(4096, 'x');
  HttpReply r = http_post("/firmware", noise, "", "application/octet-stream");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("not a valid firmware file"), std::string::npos) << r.body;
  r = http_get("/admin_update_status.htm");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("not a valid firmware file"), std::string::npos) << r.body;
  EXPECT_EQ(http_get("/admin_update_status.htm").status, 303);
  r = http_post("/customzip", "not a zip at all", "", "application/octet-stream");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("refused"), std::string::npos) << r.body;
  param_apply_hooks.firmware_status_take = nullptr;
  for (const char *url : {"/firmware", "/customzip", "/overlay"}) {
    r = http_post(url, "", "", "application/octet-stream");
    EXPECT_EQ(r.status, 400) << url;
    EXPECT_NE(r.body.find(std::string(url + 1) + ": nothing was sent"), std::string::npos) << url << r.body;
  }
}

// An upload taken whole is answered as taken: a firmware image goes on to be
// written (the status page says how that ended), a bundle is served at once.
// A whole image that cannot be flashed (its checksum, another processor) and
// one cut short are refused as such before the answer.
TEST_F(WebForm, WholeUploadsAreTakenAndBadImagesAreRefused) {
  param_apply_hooks.firmware_status_take = firmware_status_take;
  std::string image(UIMAGE_HEADER_SIZE + 1000, 'd');
  auto put_be32 = [&image](size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) image[at + size_t(i)] = char(v >> (24 - 8 * i));
  };
  auto seal = [&]() {
    put_be32(24, crc32_progress((const uint8_t *)image.data() + UIMAGE_HEADER_SIZE, 1000, nullptr));
    put_be32(4, 0);
    put_be32(4, crc32_progress((const uint8_t *)image.data(), UIMAGE_HEADER_SIZE, nullptr));
  };
  put_be32(0, UIMAGE_MAGIC);
  put_be32(12, 1000);   // data size; the header's checksum is wrong
  image[28] = UIMAGE_OS_LINUX;
  image[29] = 3;        // x86
  image[30] = UIMAGE_TYPE_KERNEL;
  for (int sealed = 0; sealed < 2; sealed++) {
    if (sealed) seal();
    HttpReply r = http_post("/firmware", image, "", "application/octet-stream");
    EXPECT_EQ(r.status, 400) << sealed;
    EXPECT_NE(r.body.find("firmware: not a valid firmware file"), std::string::npos) << r.body;
    EXPECT_FALSE(firmware_update_in_progress());
    r = http_get("/admin_update_status.htm");
    EXPECT_NE(r.body.find("not a valid firmware file"), std::string::npos) << r.body;
  }
  // The ARM kernel already in flash: taken, and found not to need writing.
  image[29] = UIMAGE_ARCH_ARM;
  seal();
  ASSERT_EQ(mtd_erase_block(MTD_KERNEL_OFF, MTD_ERASE_BLOCK), 0);
  ASSERT_EQ(mtd_write(image.data(), MTD_KERNEL_OFF, UIMAGE_HEADER_SIZE), (ssize_t)UIMAGE_HEADER_SIZE);
  HttpReply r = http_post("/firmware", image, "", "application/octet-stream");
  EXPECT_NE(r.status, 400) << r.body;
  for (int i = 0; i < 2000 && firmware_update_in_progress(); i++) sleep_ms(10);
  r = http_get("/admin_update_status.htm");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("No update needed"), std::string::npos) << r.body;
  r = http_post("/firmware", image.substr(0, UIMAGE_HEADER_SIZE + 100), "", "application/octet-stream");
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("Firmware image truncated"), std::string::npos) << r.body;
  param_apply_hooks.firmware_status_take = nullptr;

  char host[1024];
  std::string dir = root_path(test_scratch_dir("bundle").c_str(), host, sizeof host);
  ASSERT_EQ(system(("cd '" + dir + "' && echo 'bundle page 7391' > bundle_test.htm && zip -q -X b.zip "
                    "bundle_test.htm").c_str()),
            0);
  FILE *f = fopen((dir + "/b.zip").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string zip;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) zip.append(buf, n);
  fclose(f);
  r = http_post("/customzip", zip, "", "application/octet-stream");
  EXPECT_NE(r.status, 400) << r.body;
  EXPECT_EQ(http_get("/bundle_test.htm").body, "bundle page 7391\n");
}

// Two firmware uploads at once: the one whose header comes second is told
// the box is busy, not the first one's status as its own reason, and leaves
// that status alone.
TEST_F(WebForm, ASecondFirmwareUploadIsToldTheBoxIsBusy) {
  std::string image(UIMAGE_HEADER_SIZE + 1000, 'd');
  const uint32_t magic = UIMAGE_MAGIC;
  for (int i = 0; i < 4; i++) image[size_t(i)] = char(magic >> (24 - 8 * i));
  image[12] = image[13] = 0;
  image[14] = char(1000 >> 8);
  image[15] = char(1000 & 255);
  auto head = [&image](bool expect) {
    return "POST /firmware HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n" +
           std::string(expect ? "Expect: 100-continue\r\n" : "") +
           "Content-Length: " + std::to_string(image.size()) + "\r\n\r\n";
  };
  auto reply = [](int fd, const char *until) {
    std::string text;
    char buf[4096];
    for (int i = 0; i < 100 && text.find(until) == std::string::npos; i++) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      text.append(buf, size_t(n));
    }
    return text;
  };
  // The second is let in (its head taken) before the first holds the image.
  int second = connect_daemon(), first = connect_daemon();
  ASSERT_GE(second, 0);
  ASSERT_GE(first, 0);
  std::string h = head(true);
  ASSERT_EQ(send(second, h.data(), h.size(), MSG_NOSIGNAL), ssize_t(h.size()));
  ASSERT_NE(reply(second, "100 Continue").find("100 Continue"), std::string::npos);
  h = head(false) + image.substr(0, UIMAGE_HEADER_SIZE + 10);
  ASSERT_EQ(send(first, h.data(), h.size(), MSG_NOSIGNAL), ssize_t(h.size()));
  for (int i = 0; i < 500 && !firmware_update_in_progress(); i++) sleep_ms(10);
  ASSERT_TRUE(firmware_update_in_progress());
  ASSERT_EQ(send(second, image.data(), image.size(), MSG_NOSIGNAL), ssize_t(image.size()));
  HttpReply r = parse_reply(reply(second, "</html>"));
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("firmware: The box is busy with another firmware update"), std::string::npos) << r.body;
  EXPECT_STREQ(firmware_status_peek(), "uploading");
  EXPECT_TRUE(firmware_update_in_progress());
  close(second);
  close(first);
  for (int i = 0; i < 500 && firmware_update_in_progress(); i++) sleep_ms(10);
  EXPECT_FALSE(firmware_update_in_progress());
}
