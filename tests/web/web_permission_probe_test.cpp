// Every URL row and every parameter, read and written at every permission
// level: the answer is the access-denied page exactly when the level is
// below what the row asks for.
#include "web_test_support.h"

#include <tuple>

#include "web/web_forms.h"
#include "web/web_upload.h"

namespace {

class WebProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    web_test_start();
    param_load_defaults();
    web_auth_reset();
  }
  // The guest gets level; an admin user exists so that the store never
  // raises the guest to Admin on its own.
  void as_guest(uint32_t level) {
    set_users(level, {std::make_tuple("root", "pw", PERM_ADMIN)});
  }
};

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
      if (level < row.get_level)
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
      bool may = level >= row.post_level && (level != PERM_DEMO || row.post_level == PERM_NONE) &&
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
