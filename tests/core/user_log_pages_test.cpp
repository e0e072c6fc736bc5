// The user access log on the simulated NOR flash: appends, the rollover to
// the other page, the scan and repair at start, and failing flash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "core/mtd.h"
#include "core/user_log.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

namespace {

class UserLog : public ::testing::Test {
 protected:
  void SetUp() override {
    test_root();
    ASSERT_EQ(mtd_open(), 0);
    ASSERT_EQ(mtd_erase_block(MTD_USERLOG0_OFF, 2 * 0x20000), 0);
    ASSERT_EQ(user_log_init(), 0);
  }
  static std::vector<std::string> lines(int count, uint32_t mask = 0x7FFFFFFF) {
    std::vector<std::string> out;
    char *text = get_user_data_log(count, mask);
    if (!text) return out;
    for (char *p = text, *nl; (nl = strchr(p, '\n')); p = nl + 1) out.emplace_back(p, nl);
    free(text);
    return out;
  }
  static void put_record(int page, int index, uint32_t category, const char *user, uint32_t event) {
    UserLogRecord r;
    memset(&r, 0, sizeof r);
    r.category = category;
    r.time = 1700000000;
    memcpy(r.user, user, strnlen(user, sizeof r.user));
    r.event = event;
    uint32_t off = (page ? MTD_USERLOG1_OFF : MTD_USERLOG0_OFF) + uint32_t(index) * 64;
    ASSERT_EQ(mtd_write(&r, off, sizeof r), ssize_t(sizeof r));
  }
};

TEST_F(UserLog, LinesNewestFirstInTheirFormat) {
  EXPECT_EQ(get_user_data_log(10, 0x7FFFFFFF), nullptr);
  ASSERT_EQ(user_log_append(64, "alice", USER_EVENT_LOGIN), 0);
  ASSERT_EQ(user_log_append(32, nullptr, USER_EVENT_USER_CREATED), 0);
  ASSERT_EQ(user_log_append(64, "abcdefghijklmnopqrst", USER_EVENT_LOGOUT), 0);
  ASSERT_EQ(user_log_append(64, "bob", 9), 0);
  std::vector<std::string> l = lines(10);
  ASSERT_EQ(l.size(), 4u);
  std::regex line("\\d{3} \\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\\d{2} "
                  "\\d{2}:\\d{2}:\\d{2} .{19} [A-Z ]+");
  for (const std::string &s : l) EXPECT_TRUE(std::regex_match(s, line)) << s;
  EXPECT_EQ(l[0].substr(0, 4), "001 ");
  EXPECT_EQ(l[0].substr(25), "bob                 UNDEFINED");
  // A 20-character name is kept whole in flash and shown cut to 19.
  EXPECT_EQ(l[1].substr(25), "abcdefghijklmnopqrs LOGOUT");
  EXPECT_EQ(l[2].substr(25), "Guest               USER CREATED");
  EXPECT_EQ(l[3].substr(0, 4), "004 ");
  EXPECT_EQ(l[3].substr(25), "alice               LOGIN");
}

TEST_F(UserLog, CountLimitsTheRecordsExaminedAndTheMaskSkips) {
  for (int i = 0; i < 5; i++) ASSERT_EQ(user_log_append(i % 2 ? 32 : 64, "u", USER_EVENT_LOGIN), 0);
  // Newest first: 64, 32, 64, 32, 64. Three examined, two of category 64.
  EXPECT_EQ(lines(3, 64).size(), 2u);
  EXPECT_EQ(lines(3, 32).size(), 1u);
  EXPECT_EQ(lines(100, 32).size(), 2u);
  EXPECT_EQ(lines(1).size(), 1u);
}

TEST_F(UserLog, TheNextAppendAfterAFullPageStartsTheOtherPage) {
  for (int i = 0; i < 2048; i++) ASSERT_EQ(user_log_append(64, "p0", USER_EVENT_LOGIN), 0);
  EXPECT_EQ(lines(5000).size(), 2048u);
  ASSERT_EQ(user_log_append(64, "p1", USER_EVENT_LOGOUT), 0);
  uint32_t first;
  ASSERT_EQ(mtd_read(&first, MTD_USERLOG1_OFF, 4), 4);
  EXPECT_EQ(first, 64u);
  std::vector<std::string> l = lines(5000);
  ASSERT_EQ(l.size(), 2049u);
  EXPECT_NE(l[0].find("p1"), std::string::npos);
  // Filling page 1 erases page 0: only the newest page's records remain.
  for (int i = 1; i < 2048; i++) ASSERT_EQ(user_log_append(64, "p1", USER_EVENT_LOGOUT), 0);
  ASSERT_EQ(user_log_append(64, "p0again", USER_EVENT_LOGIN), 0);
  l = lines(5000);
  ASSERT_EQ(l.size(), 2049u);
  EXPECT_NE(l[0].find("p0again"), std::string::npos);
  for (size_t i = 1; i < l.size(); i++) ASSERT_NE(l[i].find("p1 "), std::string::npos) << i;
  // The scan at start finds the same state again.
  EXPECT_EQ(user_log_init(), 0);
  EXPECT_EQ(lines(5000).size(), 2049u);
  ASSERT_EQ(user_log_append(64, "after", USER_EVENT_LOGIN), 0);
  EXPECT_NE(lines(1)[0].find("after"), std::string::npos);
}

TEST_F(UserLog, ScanRepairsWhatIsInconsistent) {
  // A used record after an erased one: the page is erased.
  put_record(0, 0, 64, "a", USER_EVENT_LOGIN);
  put_record(0, 5, 64, "b", USER_EVENT_LOGIN);
  EXPECT_EQ(user_log_init(), 1);
  EXPECT_TRUE(lines(10).empty());
  // Both pages partly used: both erased.
  put_record(0, 0, 64, "a", USER_EVENT_LOGIN);
  put_record(1, 0, 64, "b", USER_EVENT_LOGIN);
  EXPECT_EQ(user_log_init(), 1);
  EXPECT_TRUE(lines(10).empty());
  // One partly used page: appends continue after its records.
  put_record(1, 0, 64, "x", USER_EVENT_LOGIN);
  put_record(1, 1, 64, "y", USER_EVENT_LOGIN);
  EXPECT_EQ(user_log_init(), 0);
  ASSERT_EQ(user_log_append(64, "z", USER_EVENT_LOGOUT), 0);
  std::vector<std::string> l = lines(10);
  ASSERT_EQ(l.size(), 3u);
  EXPECT_NE(l[0].find("z "), std::string::npos);
  EXPECT_NE(l[2].find("x "), std::string::npos);
  uint32_t third;
  ASSERT_EQ(mtd_read(&third, MTD_USERLOG1_OFF + 2 * 64, 4), 4);
  EXPECT_EQ(third, 64u);
}

TEST_F(UserLog, FlashFailuresAreReportedAndNothingAdvances) {
  ASSERT_EQ(user_log_append(64, "a", USER_EVENT_LOGIN), 0);
  sim_flash_fail_write(1);
  EXPECT_EQ(user_log_append(64, "lost", USER_EVENT_LOGIN), 1);
  ASSERT_EQ(user_log_append(64, "b", USER_EVENT_LOGIN), 0);
  std::vector<std::string> l = lines(10);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_NE(l[0].find("b "), std::string::npos);
  // An erase that fails at the rollover disables the log until the next start.
  for (int i = 2; i < 2047; i++) ASSERT_EQ(user_log_append(64, "f", USER_EVENT_LOGIN), 0);
  sim_flash_fail_erase(1);
  EXPECT_EQ(user_log_append(64, "last", USER_EVENT_LOGIN), -1);
  EXPECT_EQ(user_log_append(64, "ignored", USER_EVENT_LOGIN), 0);
  EXPECT_EQ(get_user_data_log(10, 0x7FFFFFFF), nullptr);
  EXPECT_EQ(user_log_init(), 0);
  EXPECT_EQ(lines(1).size(), 1u);
}

TEST_F(UserLog, RecordWrittenInPartIsSkippedNotWrittenOver) {
  ASSERT_EQ(user_log_append(64, "first", USER_EVENT_LOGIN), 0);
  // The write stops after the category, the time and part of the name.
  sim_flash_tear_write(12);
  EXPECT_EQ(user_log_append(64, "torn-record", USER_EVENT_ALARM), 1);
  ASSERT_EQ(user_log_append(64, "second", USER_EVENT_LOGOUT), 0);
  std::vector<std::string> l = lines(10);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_TRUE(std::regex_search(l[0], std::regex("^001 .* second +LOGOUT$"))) << l[0];
  EXPECT_TRUE(std::regex_search(l[1], std::regex("^002 .* first +LOGIN$"))) << l[1];
  // The next start finds one run of used records and keeps them all.
  EXPECT_EQ(user_log_init(), 0);
  l = lines(10);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_NE(l[0].find("second"), std::string::npos);
}

TEST_F(UserLog, ClearEmptiesBothPages) {
  ASSERT_EQ(user_log_append(64, "a", USER_EVENT_LOGIN), 0);
  EXPECT_EQ(user_log_clear(), 0);
  EXPECT_EQ(get_user_data_log(10, 0x7FFFFFFF), nullptr);
  ASSERT_EQ(user_log_append(64, "b", USER_EVENT_LOGIN), 0);
  EXPECT_EQ(lines(10).size(), 1u);
}

}  // namespace
