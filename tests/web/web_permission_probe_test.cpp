// Every URL row and every parameter, read and written at every permission
// level: the answer is the access-denied page exactly when the level is
// below what the row asks for.
#include "web_test_support.h"

#include <cctype>
#include <string>
#include <tuple>

#include "core/firmware.h"
#include "web/web_forms.h"
#include "web/web_upload.h"

namespace {

class WebProbe : public ::testing::Test {
 protected:
  RootKeep pages{{"/usr/html"}};   // the posts write and remove files of the page root
  NetworkAddressKeep address;
  void SetUp() override {
    web_test_start();
    web_test_defaults();
    web_auth_reset();
  }
  // The outcome of the refused uploads, which the status page would show
  // once, is not left for the next test's page.
  void TearDown() override { firmware_status_take(); }
  // The guest gets level; an admin user exists so that the store never
  // raises the guest to Admin on its own.
  void as_guest(uint32_t level) {
    set_users(level, {std::make_tuple("root", "pw", PERM_ADMIN)});
  }
};

// The level each row asks for, written out from the pages' design and not
// read from the URL table: the media rows need Stream View (the guest at
// None is refused them), the control pages and recordings Stream Control,
// the configuration pages Stream Config, the logs, the whole configuration
// and the users Admin; firmware and web bundles take Admin, overlays Stream
// Config and up. Rows absent here need nothing.
struct Pinned {
  const char *name;
  uint32_t get, post;
};
const Pinned kPinned[] = {
    {"capture_input_options", PERM_STREAM_VIEW, 0}, {"display_output_options", PERM_STREAM_VIEW, 0},
    {"resolutionA_options", PERM_STREAM_VIEW, 0},   {"resolutionB_options", PERM_STREAM_VIEW, 0},
    {"frame_rate_options", PERM_STREAM_VIEW, 0},    {"permission_options", PERM_ADMIN, 0},
    {"users_table", PERM_ADMIN, 0},                 {"filelist", PERM_STREAM_CONTROL, 0},
    {"download", PERM_STREAM_CONTROL, 0},           {"filelist_int", PERM_STREAM_CONTROL, 0},
    {"filelist_ext", PERM_STREAM_CONTROL, 0},       {"filelist_mmc", PERM_STREAM_CONTROL, 0},
    {"delete_files_int", 0, PERM_STREAM_CONTROL},   {"delete_files_ext", 0, PERM_STREAM_CONTROL},
    {"delete_files_mmc", 0, PERM_STREAM_CONTROL},   {"log.txt", PERM_ADMIN, 0},
    {"debuglog.txt", PERM_ADMIN, 0},                {"dmesg.txt", PERM_ADMIN, 0},
    {"mixer_settings", PERM_STREAM_CONFIG, PERM_STREAM_CONFIG},
    {"audio_input_options", PERM_STREAM_VIEW, 0},   {"rtsp_streams", PERM_STREAM_VIEW, 0},
    {"stream_mode_options", PERM_STREAM_VIEW, 0},   {"load_default_params", PERM_ADMIN, 0},
    {"debug.htm", PERM_ADMIN, 0},                   {"config.txt", PERM_ADMIN, 0},
    {"view_streama.htm", PERM_STREAM_VIEW, 0},      {"view_streamb.htm", PERM_STREAM_VIEW, 0},
    {"firmware", 0, PERM_ADMIN},                    {"customzip", 0, PERM_ADMIN},
    {"clear_log", 0, PERM_ADMIN},                   {"streamA.jpg", PERM_STREAM_VIEW, 0},
    {"streamA.mjpg", PERM_STREAM_VIEW, 0},          {"streamB.jpg", PERM_STREAM_VIEW, 0},
    {"streamB.mjpg", PERM_STREAM_VIEW, 0},          {"streamA.h264", PERM_STREAM_VIEW, 0},
    {"streamA_vid.ts", PERM_STREAM_VIEW, 0},        {"streamA.ts", PERM_STREAM_VIEW, 0},
    {"streamA.aac", PERM_STREAM_VIEW, 0},           {"streamB.h264", PERM_STREAM_VIEW, 0},
    {"streamB_vid.ts", PERM_STREAM_VIEW, 0},        {"streamB.ts", PERM_STREAM_VIEW, 0},
    {"streamB.aac", PERM_STREAM_VIEW, 0},           {"streamC.pcm", PERM_STREAM_VIEW, 0},
    {"streamA.flv", PERM_STREAM_VIEW, 0},           {"streamB.flv", PERM_STREAM_VIEW, 0},
    {"streamA.m3u8", PERM_STREAM_VIEW, 0},          {"streamB.m3u8", PERM_STREAM_VIEW, 0},
    {"video_measurements.txt", PERM_STREAM_CONFIG, 0}, {"overlay", 0, PERM_STREAM_CONFIG},
};

// The pinned levels of a row; HLS segments as their playlists.
Pinned pinned(const char *name) {
  std::string n = name;
  if (n.size() == 11 && n.compare(0, 6, "stream") == 0 && isdigit((unsigned char)n[7]) &&
      n.compare(8, 3, ".ts") == 0)
    return {name, PERM_STREAM_VIEW, 0};
  for (const Pinned &p : kPinned)
    if (n == p.name) return p;
  return {name, 0, 0};
}

bool skipped_get(const UrlHandler &row) {
  // Rows that change the unit or wait on a device are probed elsewhere; the
  // login page challenges every request without credentials.
  static const char *const skip[] = {"load_default_params", "dmesg.txt", "login.htm", nullptr};
  for (const char *const *s = skip; *s; s++)
    if (strcmp(row.name, *s) == 0) return true;
  return false;
}

TEST_F(WebProbe, EveryGetRowAtEveryLevel) {
  int probed = 0;
  for (int i = 0; i < URL_TABLE_ROWS; i++) {
    const UrlHandler &row = url_table[i];
    if (!row.get_fn || skipped_get(row)) continue;
    for (uint32_t level = PERM_NONE; level <= PERM_DEMO; level++) {
      as_guest(level);
      HttpReply r = http_get(std::string("/") + row.name);
      if (level < pinned(row.name).get)
        EXPECT_EQ(r.status, 401) << row.name << " at level " << level;
      else
        EXPECT_NE(r.status, 401) << row.name << " at level " << level;
      EXPECT_NE(r.status, 0) << row.name;
      probed++;
    }
  }
  EXPECT_GE(probed, 7 * 75);
}

TEST_F(WebProbe, EveryPostRowAtEveryLevel) {
  for (int i = 0; i < URL_TABLE_ROWS; i++) {
    const UrlHandler &row = url_table[i];
    if (!row.post_fn) continue;
    for (uint32_t level = PERM_NONE; level <= PERM_DEMO; level++) {
      as_guest(level);
      HttpReply r = http_post(std::string("/") + row.name, "probe=1");
      uint32_t need = pinned(row.name).post;
      bool may = level >= need && (level != PERM_DEMO || need == PERM_NONE) &&
                 !(row.post_fn == post_auth_controls_func);
      if (!may)
        EXPECT_EQ(r.status, 401) << row.name << " at level " << level;
      else
        EXPECT_NE(r.status, 401) << row.name << " at level " << level;
    }
  }
}

TEST_F(WebProbe, EveryParameterReadAndWrittenAtEveryLevel) {
  for (int i = 0; paramTable[i].name; i++) {
    const ParamDesc *d = param_find(paramTable[i].name);
    if (d != &paramTable[i]) continue;   // a second row of a name is not reachable by name
    std::string name = d->name;
    for (uint32_t level = PERM_NONE; level <= PERM_DEMO; level++) {
      as_guest(level);
      HttpReply r = http_get("/" + name);
      if (level < d->read_level)
        EXPECT_EQ(r.status, 401) << name << " read at " << level;
      else
        EXPECT_TRUE(r.status == 200 || r.status == 404) << name << " read at " << level << ": " << r.status;
      as_guest(level);
      // A value no row takes as meaningful: refused or ignored, never an action.
      r = http_post("/controls", name + "=%01");
      bool may = level != PERM_DEMO && d->write_level <= level;
      if (!may)
        EXPECT_EQ(r.status, 401) << name << " written at " << level;
      else
        EXPECT_TRUE(r.status == 200 || r.status == 400) << name << " written at " << level << ": " << r.status;
    }
  }
  EXPECT_EQ(get_exit_code(), 0u);
}

}  // namespace
