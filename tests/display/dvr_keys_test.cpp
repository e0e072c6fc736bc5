// The key mailbox as the menu thread sees it: posts that overwrite, storage
// events and custom messages shown at the top of the screen and erased after
// their two seconds, the recording clock, and timed key scripts.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/param_block.h"
#include "display/dvr_keys.h"
#include "platform/wallclock.h"
#include "test_root.h"

namespace {

struct Drawn {
  std::vector<std::string> labels;   // "x,y text"
  int erases = 0, flushes = 0, time_status = 0;
  std::vector<uint32_t> status_values;
  int recording = 0;
};
Drawn g_drawn;

int64_t mono_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class DvrKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    test_root();
    *get_param_block() = *param_default_block();   // the storage texts follow the ports setting
    g_drawn = Drawn();
    key_mailbox_reset();
    DvrKeyHooks h = {};
    h.recording = [] { return g_drawn.recording; };
    h.screen_width = [] { return 720; };
    h.text_width = [](const char *t) { return int(strlen(t)) * 8; };
    h.draw_label = [](int x, int y, const char *t) {
      g_drawn.labels.push_back(std::to_string(x) + "," + std::to_string(y) + " " + t);
    };
    h.erase_message = [] { g_drawn.erases++; };
    h.flush = [] { g_drawn.flushes++; };
    h.draw_time_status = [] { g_drawn.time_status++; };
    h.status_update = [](uint32_t value, uint32_t mask, const char *) {
      if (mask == DVR_STATUS_STORAGE_ATTACHED) g_drawn.status_values.push_back(value);
    };
    dvr_key_hooks = h;
  }
  void TearDown() override {
    dvr_key_hooks = DvrKeyHooks();
    key_mailbox_reset();
  }
};

// The label as drawn for text: right-aligned 50 pixels inside 640.
std::string label(const char *text) {
  return std::to_string(640 - 50 - int(strlen(text)) * 8) + ",20 " + text;
}

TEST_F(DvrKeys, PostsOverwriteZeroOnlyWakesAndAWaiterGetsTheKey) {
  dvr_post_key(DVR_KEY_RECORD_PAUSE);
  dvr_post_key(DVR_KEY_STOP_BACK);
  EXPECT_EQ(dvr_wait_key(nullptr, 0), DVR_KEY_STOP_BACK);
  EXPECT_EQ(dvr_wait_key(nullptr, 0), 0u);

  dvr_post_key(DVR_KEY_MENU_OK);
  dvr_post_key(0);
  EXPECT_EQ(dvr_wait_key(nullptr, 0), DVR_KEY_MENU_OK);

  // A consumer blocked for long gets a key posted by another thread.
  pthread_t t;
  int64_t start = mono_ms();
  pthread_create(&t, nullptr, [](void *) -> void * {
    struct timespec ts = {0, 100 * 1000 * 1000};
    nanosleep(&ts, nullptr);
    dvr_post_key(DVR_KEY_PLAY_FILE);
    return nullptr;
  }, nullptr);
  EXPECT_EQ(dvr_wait_key(nullptr, 30), DVR_KEY_PLAY_FILE);
  EXPECT_LT(mono_ms() - start, 20000);
  pthread_join(t, nullptr);
  EXPECT_TRUE(g_drawn.labels.empty());
}

TEST_F(DvrKeys, KeyAndStorageEventInOnePass) {
  filesys_event(1, 0);
  dvr_post_key(DVR_KEY_SNAPSHOT);
  EXPECT_EQ(dvr_wait_key(nullptr, 0), DVR_KEY_SNAPSHOT);
  ASSERT_EQ(g_drawn.labels.size(), 1u);
  EXPECT_EQ(g_drawn.labels[0], label("External storage inserted"));
  EXPECT_GE(g_drawn.flushes, 1);
  // Nothing is mounted in the fresh root: the attached bit is cleared.
  EXPECT_EQ(g_drawn.status_values, std::vector<uint32_t>{0});
}

TEST_F(DvrKeys, InternalInsertSilentOnceAndUsbOnlyTexts) {
  filesys_event(0, 0);
  EXPECT_EQ(dvr_wait_key(nullptr, 0), 0u);
  EXPECT_TRUE(g_drawn.labels.empty());
  filesys_event(0, 0);
  dvr_wait_key(nullptr, 0);
  filesys_event(1, 3);
  dvr_wait_key(nullptr, 0);

  ParamBlock *pb = get_param_block();
  int saved = pb->dvr_disable_ext_ports;
  pb->dvr_disable_ext_ports = 1;
  filesys_event(0, 1);
  dvr_wait_key(nullptr, 0);
  filesys_event(0, 2);
  dvr_wait_key(nullptr, 0);
  g_drawn.recording = 1;   // removals are shown as they are while recording
  filesys_event(0, 1);
  dvr_wait_key(nullptr, 0);
  pb->dvr_disable_ext_ports = saved;

  EXPECT_EQ(g_drawn.labels,
            (std::vector<std::string>{label("Internal storage inserted"), label("USB Stall Detected"),
                                      label("USB storage removed"), label("USB Storage Error"),
                                      label("Internal storage removed")}));
}

TEST_F(DvrKeys, RejectedEventsChangeNothing) {
  filesys_event(0, 4);
  filesys_event(2, 0);
  filesys_event(-1, 1);
  filesys_event(1, -1);
  EXPECT_EQ(dvr_wait_key(nullptr, 0), 0u);
  EXPECT_TRUE(g_drawn.labels.empty());
  EXPECT_EQ(g_drawn.flushes, 0);
  EXPECT_TRUE(g_drawn.status_values.empty());
}

TEST_F(DvrKeys, CustomMessageIsCopiedAndBounded) {
  char buf[16] = "Hello";
  dvr_post_message(buf);
  strcpy(buf, "XXXXX");
  dvr_wait_key(nullptr, 0);
  std::string longer(400, 'a');
  dvr_post_message(longer.c_str());
  dvr_wait_key(nullptr, 0);
  ASSERT_EQ(g_drawn.labels.size(), 2u);
  EXPECT_EQ(g_drawn.labels[0], label("Hello"));
  EXPECT_EQ(g_drawn.labels[1], label(std::string(DVR_MESSAGE_MAX - 1, 'a').c_str()));
}

// The message goes after two seconds with no key, even when the wall clock
// is set back meanwhile.
TEST_F(DvrKeys, MessageExpiresAfterTwoSecondsDespiteClockJump) {
  struct timeval saved;
  wallclock_now(&saved);
  dvr_post_message("Saved");
  int64_t start = mono_ms();
  struct timeval back = saved;
  back.tv_sec -= 86400;
  wallclock_set(&back);
  EXPECT_EQ(dvr_wait_key(nullptr, 3), 0u);
  int64_t took = mono_ms() - start;
  wallclock_now(&back);
  back.tv_sec += 86400;
  wallclock_set(&back);
  ASSERT_EQ(g_drawn.labels.size(), 1u);
  EXPECT_EQ(g_drawn.erases, 2);   // before drawing, then at expiry
  EXPECT_GE(took, 2900);
  EXPECT_LT(took, 60000);
}

TEST_F(DvrKeys, RecordingClockRefreshesOnWholeSeconds) {
  g_drawn.recording = 1;
  dvr_wait_key(nullptr, 2);
  EXPECT_GE(g_drawn.time_status, 1);
  EXPECT_LE(g_drawn.time_status, 4);
}

TEST_F(DvrKeys, KeyScriptReplaysAtItsTimesUntilARealKey) {
  std::string dir = test_root() + test_scratch_dir("keys");
  std::string path = dir + "/keys.txt";
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  fputs("0 300000 16\n0 1200000 64\n1 300000 32\n", f);
  fclose(f);
  int64_t start = mono_ms();
  ASSERT_EQ(dvr_key_script_open(path.c_str()), 0);
  EXPECT_EQ(dvr_wait_key(nullptr, 10), 16u);
  EXPECT_GE(mono_ms() - start, 300);
  EXPECT_EQ(dvr_wait_key(nullptr, 10), 64u);
  EXPECT_GE(mono_ms() - start, 1200);
  dvr_post_key(DVR_KEY_STOP_BACK);
  EXPECT_EQ(dvr_wait_key(nullptr, 10), DVR_KEY_STOP_BACK);
  // The real key ended the script: its last key, due at 1.3 s, never comes.
  EXPECT_EQ(dvr_wait_key(nullptr, 1), 0u);
  EXPECT_GE(mono_ms() - start, 2200);
  EXPECT_EQ(dvr_key_script_open((dir + "/none.txt").c_str()), -1);
}

}  // namespace
