// The DVR logic in process on the simulated board and SD card, with stand-in
// producers for the record and snapshot streams: what keys start and stop,
// what the screen then says (read back by tesseract), the parameters they
// change, and the file names the control requests may choose.
#include <gtest/gtest.h>

#include <cstdio>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "control/cmd_exec.h"
#include "control/status_events.h"
#include "core/global.h"
#include "core/board_io.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "display/dvr_keys.h"
#include "display/dvr_logic.h"
#include "display/gui_toolkit.h"
#include "display/hd_display.h"
#include "media/capture.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"
#include "storage/playback.h"
#include "storage/storage_test_support.h"
#include "display/osd_ocr.h"
#include "display/save_probe.h"
#include "osd_test_support.h"
#include "test_root.h"

namespace {

std::string ocr_screen(void) {
  EXPECT_EQ(sim_video_out_command("osd /tmp/dvr.png"), 0);
  return ocr("/tmp/dvr.png");
}

// Each wait with an empty mailbox: the screen is read first (once per
// wait), then the next key of the list is given (escape after the list).
std::vector<DvrKey> g_keys;
size_t g_next;
std::vector<std::string> g_screens;
bool g_read_screens;

ProducerState g_record, g_snapshot;

// A stopped stand-in producer for stream id.
void register_stand_in(ProducerState *ps, StreamId id) {
  pthread_mutex_init(&ps->mutex, nullptr);
  pthread_cond_init(&ps->cond, nullptr);
  ps->flags = STREAM_STOPPED;
  ps->event_fd = -1;
  stream_register(ps, nullptr, id);
}

struct Dvr : ::testing::Test {
  GuiContext ctx{};
  void SetUp() override {
    test_root();
    *get_param_block() = *param_default_block();
    ASSERT_EQ(osd_test_open(&ctx), 0);
    osd_state.ctx = &ctx;
    key_mailbox_reset();
    dvr_key_hooks = DvrKeyHooks();
    gui_toolkit_install_hooks();
    dvr_logic_install_hooks();
    dvr_key_hooks.feed_key = [] {
      if (g_read_screens) g_screens.push_back(ocr_screen());
      return g_next < g_keys.size() ? g_keys[g_next++] : (DvrKey)DVR_KEY_ESCAPE;
    };
    g_keys.clear();
    g_next = 0;
    g_screens.clear();
    g_read_screens = false;
    register_stand_in(&g_record, RECORD_STREAM);
    register_stand_in(&g_snapshot, SNAPSHOT_STREAM);
    gui_start(&ctx);
    gui_state = GuiState{0, 0, 0, -1, 0, {}, 1, 0, 0};
    capture_block.video_lock = 1;
  }
  void TearDown() override {
    stream_set_state_by_id(RECORD_STREAM, 0);
    dvr_key_hooks = DvrKeyHooks();
    key_mailbox_reset();
    capture_block.video_lock = 0;
    storage_test_volumes_clear();
    osd_release();
  }
  static std::string mount_sd(void) {
    sim_storage_remove("mmcblk0p1");
    const char *um[] = {"umount", "/media/mmc", nullptr};
    run_argv(um);
    filesys_reset();
    EXPECT_EQ(sim_storage_insert("mmcblk0p1", 0, 64ULL << 20, "vfat"), 0);
    for (int i = 0; i < 5 && !filesys_is_mounted(STORAGE_MMC); i++) fileSysTick(get_param_block());
    EXPECT_TRUE(filesys_is_mounted(STORAGE_MMC));
    char backing[512];
    return std::string(sim_storage_backing_dir("mmcblk0p1", backing, sizeof backing)) + "/DCIM";
  }
  // A 320x240 JPEG picture (ffmpeg's) of that name on the SD card, which
  // the browser then shows from.
  static void sd_picture(const char *name) {
    std::string dir = mount_sd();
    ASSERT_EQ(system(("mkdir -p '" + dir + "' && ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240 "
                      "-frames:v 1 -pix_fmt yuvj420p '" + dir + "/" + name + "'").c_str()), 0);
    osd_layout.browse_source = STORAGE_MMC;
  }
  // One tick on key, the screens read while it waits.
  void tick(DvrKey key, std::vector<DvrKey> then = {}, bool read = true) {
    g_keys = then;
    g_next = 0;
    g_screens.clear();
    g_read_screens = read;
    dvr_post_key(key);
    dvr_tick(&ctx);
    g_read_screens = false;
  }
  static bool screens_show(const std::string &text) {
    for (const std::string &s : g_screens)
      if (ocr_has(s, text)) return true;
    return false;
  }
  static std::string all_screens(void) {
    std::string t;
    for (const std::string &s : g_screens) t += "[" + s + "] ";
    return t;
  }
};

TEST_F(Dvr, RecordNeedsVideoAndADeviceAndStopsOnlyOnRWithEscapeDisabled) {
  ParamBlock *p = get_param_block();
  capture_block.video_lock = 0;
  tick(DVR_KEY_RECORD_PAUSE);
  EXPECT_TRUE(screens_show("No video signal")) << all_screens();
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);

  // Lock, but no SD card in: nothing starts.
  capture_block.video_lock = 1;
  sim_storage_remove("mmcblk0p1");
  for (int i = 0; i < 3; i++) fileSysTick(p);
  p->recording.storage_device = 4;
  tick(DVR_KEY_RECORD_PAUSE);
  EXPECT_TRUE(screens_show("No SD Card storage device")) << all_screens();
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
  EXPECT_EQ(gui_state.recording, 0);

  mount_sd();
  p->dvr_esc_disabled = 1;
  p->video[0].bit_rate = 0;
  p->audio.bit_rate = 0;
  tick(DVR_KEY_RECORD_TOGGLE);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 1);
  EXPECT_EQ(gui_state.recording, 1);
  EXPECT_TRUE(screens_show("Recording to SD Card storage")) << all_screens();
  EXPECT_TRUE(screens_show("Remaining recording time unknown")) << all_screens();

  tick(DVR_KEY_ESCAPE);
  EXPECT_TRUE(screens_show("Press R to stop recording")) << all_screens();
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 1);

  tick(DVR_KEY_RECORD_TOGGLE);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
  EXPECT_EQ(gui_state.recording, 0);

  // With bit rates: the card's free bytes, as bits, over their sum.
  p->video[0].bit_rate = 3872000;
  p->audio.bit_rate = 128000;
  char buf[4096];
  while (log_read(buf, sizeof buf) > 0) {
  }
  tick(DVR_KEY_RECORD_TOGGLE);
  std::string log(buf, log_read(buf, sizeof buf - 1));
  long long room = -1;
  int logged = -1;
  size_t at = log.find("free space ");
  ASSERT_NE(at, std::string::npos) << log;
  ASSERT_EQ(sscanf(log.c_str() + at, "free space %lld bytes  rec time %d sec", &room, &logged), 2) << log;
  EXPECT_GT(room, 32LL << 20);
  int secs = (int)(room * 8 / 4000000);
  EXPECT_EQ(logged, secs);
  char want[64];
  snprintf(want, sizeof want, "Remaining recording time %d:%02d:%02d", secs / 3600, secs / 60 % 60, secs % 60);
  EXPECT_TRUE(screens_show(want)) << want << " in " << all_screens();
  tick(DVR_KEY_RECORD_TOGGLE);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
}

// The default choice, both USB disks, records to the one disk there.
TEST_F(Dvr, BothUsbDisksRecordToTheOneThere) {
  ParamBlock *p = get_param_block();
  p->recording.storage_device = 0;
  p->dvr_disable_ext_ports = 0;
  ASSERT_EQ(sim_storage_insert("sda1", 3, 64ULL << 20, "vfat"), 0);
  for (int i = 0; i < 5 && !filesys_is_mounted(STORAGE_INT); i++) fileSysTick(p);
  ASSERT_TRUE(filesys_is_mounted(STORAGE_INT));
  ASSERT_FALSE(filesys_is_mounted(STORAGE_EXT));
  tick(DVR_KEY_RECORD_TOGGLE);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 1);
  EXPECT_EQ(gui_state.recording, 1);
  EXPECT_TRUE(screens_show("Recording to internal storage")) << all_screens();
  tick(DVR_KEY_REC_STOP);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
  sim_storage_remove("sda1");
  for (int i = 0; i < 3 && filesys_is_mounted(STORAGE_INT); i++) fileSysTick(p);
}

TEST_F(Dvr, MuteTogglesTheParameter) {
  ParamBlock *p = get_param_block();
  p->audio.mute = 0;
  tick(DVR_KEY_MUTE_TOGGLE, {}, false);
  EXPECT_EQ(p->audio.mute, 3);
  tick(DVR_KEY_MUTE_TOGGLE);
  EXPECT_EQ(p->audio.mute, 0);
  EXPECT_TRUE(screens_show("Unmute")) << all_screens();
}

TEST_F(Dvr, FileNamesOfControlRequestsAreChecked) {
  std::string dir = mount_sd();
  ASSERT_EQ(system(("mkdir -p '" + dir + "' && touch '" + dir + "/a.mp4'").c_str()), 0);
  EXPECT_EQ(dvr_set_filename(STORAGE_MMC, "a.mp4"), 0);
  EXPECT_STREQ(gui_state.playback_name, "a.mp4");
  EXPECT_EQ(dvr_set_filename(STORAGE_MMC, "b.mp4"), 5);
  EXPECT_EQ(dvr_set_filename(STORAGE_MMC, "../x"), 5);
  EXPECT_EQ(dvr_set_filename(STORAGE_MMC, "/etc/passwd"), 5);
  EXPECT_EQ(dvr_set_filename(3, "a.mp4"), 5);
  EXPECT_STREQ(gui_state.playback_name, "a.mp4");
}

// A file named while a picture is on show: the picture ends and the file's
// key is posted again with its name kept, not dropped.
TEST_F(Dvr, PictureGivesWayToAFileNamedMeanwhile) {
  ProducerState out{};
  register_stand_in(&out, OUTPUT_STREAM);
  sd_picture("pic.jpg");
  snprintf(gui_state.playback_name, sizeof gui_state.playback_name, "next.mp4");
  g_keys = {DVR_KEY_UNUSED, DVR_KEY_PLAY_FILE};   // the name's message, then the key
  g_next = 0;
  EXPECT_EQ(view_snapshot_action(&ctx, "pic.jpg"), 0);
  stream_set_state_by_id(OUTPUT_STREAM, 0);
  stream_register(nullptr, nullptr, OUTPUT_STREAM);   // the stand-in ends here
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey waiting = key_mailbox.key_word;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  EXPECT_EQ(waiting, (DvrKey)DVR_KEY_PLAY_FILE);
  EXPECT_STREQ(gui_state.playback_name, "next.mp4");
  EXPECT_EQ(status_get() & (STATUS_PLAYBACK | STATUS_SNAPSHOT_VIEW), 0u);
}

// A file the player refuses, whether or not it has stopped the stream by
// the time the logic looks: its message comes once the playback has ended,
// without the menu bit, so that the control protocol may name the next
// file, whose key closes the message and waits for the next tick.
uint32_t g_word_at_message;
std::string g_message_screen;
int g_waits;
bool g_player_stops;

TEST_F(Dvr, ARefusedFileGivesWayToTheNextOne) {
  for (bool stops : {false, true}) {
    ProducerState out{};
    register_stand_in(&out, OUTPUT_STREAM);
    g_waits = 0;
    g_player_stops = stops;
    g_message_screen.clear();
    dvr_key_hooks.feed_key = [] {
      switch (g_waits++) {
        case 0:
          PlaybackState = PLAYBACK_ERROR;   // what the player says of the file
          if (g_player_stops) stream_set_state_by_id(OUTPUT_STREAM, 0);
          return (DvrKey)0;
        case 1:
          g_word_at_message = status_get();
          g_message_screen = ocr_screen();
          return (DvrKey)DVR_KEY_PLAY_FILE;
        default: return (DvrKey)DVR_KEY_ESCAPE;
      }
    };
    EXPECT_EQ(play_video_action(&ctx, "bad.mp4"), 0);
    stream_set_state_by_id(OUTPUT_STREAM, 0);
    stream_register(nullptr, nullptr, OUTPUT_STREAM);
    EXPECT_TRUE(ocr_has(g_message_screen, "File not playable")) << stops << g_message_screen;
    EXPECT_EQ(g_word_at_message & (STATUS_MENU | STATUS_PLAYBACK), 0u) << stops;
    EXPECT_EQ(g_waits, 2) << stops;
    pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
    DvrKey waiting = key_mailbox.key_word;
    pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
    EXPECT_EQ(waiting, (DvrKey)DVR_KEY_PLAY_FILE) << stops;
    key_mailbox_reset();
  }
}

// A file refused as the next one is asked for: the next one is shown, with
// no message for the one left.
TEST_F(Dvr, AFileLeftForTheNextOneLeavesNoMessage) {
  ProducerState out{};
  register_stand_in(&out, OUTPUT_STREAM);
  g_waits = 0;
  dvr_key_hooks.feed_key = [] {
    if (g_waits++ == 0) {
      PlaybackState = PLAYBACK_ERROR;
      return (DvrKey)DVR_KEY_PLAY_FILE;
    }
    return (DvrKey)DVR_KEY_ESCAPE;
  };
  EXPECT_EQ(play_video_action(&ctx, "bad.mp4"), 0);
  stream_set_state_by_id(OUTPUT_STREAM, 0);
  stream_register(nullptr, nullptr, OUTPUT_STREAM);
  EXPECT_EQ(g_waits, 1);
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey waiting = key_mailbox.key_word;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  EXPECT_EQ(waiting, (DvrKey)DVR_KEY_PLAY_FILE);
  key_mailbox_reset();
  status_update(0, STATUS_PLAYBACK | STATUS_PLAY_PAUSED, "test");
}

// The player is handed the whole path of a file, or an empty one (which it
// refuses) when the path would not fit: never a cut path.
std::string g_handed;

TEST_F(Dvr, APathTooLongForThePlayerIsNotCut) {
  std::string dir = mount_sd();
  char *board_dir = filesys_getdir(STORAGE_MMC);
  ASSERT_NE(board_dir, nullptr);
  size_t room = 512 - strlen(board_dir) - 1;   // the player's path holds 511 bytes
  free(board_dir);
  osd_layout.browse_source = STORAGE_MMC;
  for (size_t len : {room - 1, room}) {
    ProducerState out{};
    register_stand_in(&out, OUTPUT_STREAM);
    g_handed = "-";
    dvr_key_hooks.feed_key = [] {
      char path[600];
      playback_get_filename(path, sizeof path);
      g_handed = path;
      return (DvrKey)DVR_KEY_STOP_BACK;
    };
    std::string name = std::string(len - 4, 'n') + ".mp4";
    EXPECT_EQ(play_video_action(&ctx, name.c_str()), 0);
    stream_set_state_by_id(OUTPUT_STREAM, 0);
    stream_register(nullptr, nullptr, OUTPUT_STREAM);
    if (len < room) {
      EXPECT_EQ(g_handed.size(), 511u);
      EXPECT_EQ(g_handed.substr(g_handed.size() - name.size()), name);
    } else {
      EXPECT_EQ(g_handed, "");
    }
    key_mailbox_reset();
  }
}

// A picture the player refuses is reported the same way.
TEST_F(Dvr, ARefusedPictureGivesWayToTheNextFile) {
  ProducerState out{};
  register_stand_in(&out, OUTPUT_STREAM);
  g_waits = 0;
  g_message_screen.clear();
  dvr_key_hooks.feed_key = [] {
    switch (g_waits++) {
      case 0: return (DvrKey)DVR_KEY_UNUSED;   // the name's message
      case 1:
        PlaybackState = PLAYBACK_ERROR;
        return (DvrKey)0;
      case 2:
        g_word_at_message = status_get();
        g_message_screen = ocr_screen();
        return (DvrKey)DVR_KEY_PLAY_FILE;
      default: return (DvrKey)DVR_KEY_ESCAPE;
    }
  };
  sd_picture("bad.jpg");
  EXPECT_EQ(view_snapshot_action(&ctx, "bad.jpg"), 0);
  stream_set_state_by_id(OUTPUT_STREAM, 0);
  stream_register(nullptr, nullptr, OUTPUT_STREAM);
  EXPECT_TRUE(ocr_has(g_message_screen, "File not viewable")) << g_message_screen;
  EXPECT_EQ(g_word_at_message & (STATUS_MENU | STATUS_PLAYBACK | STATUS_SNAPSHOT_VIEW), 0u);
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey waiting = key_mailbox.key_word;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  EXPECT_EQ(waiting, (DvrKey)DVR_KEY_PLAY_FILE);
  key_mailbox_reset();
}

// A file that is no picture is refused with its notice before the status
// word or the display's settings change.
TEST_F(Dvr, APictureThatCannotBeShownIsRefusedFirst) {
  ProducerState out{};
  register_stand_in(&out, OUTPUT_STREAM);
  std::string dir = mount_sd();
  ASSERT_EQ(system(("mkdir -p '" + dir + "' && echo text > '" + dir + "/text.jpg'").c_str()), 0);
  osd_layout.browse_source = STORAGE_MMC;
  g_read_screens = true;
  EXPECT_EQ(view_snapshot_action(&ctx, "text.jpg"), 0);
  g_read_screens = false;
  EXPECT_EQ(status_get() & (STATUS_PLAYBACK | STATUS_SNAPSHOT_VIEW), 0u);
  EXPECT_EQ(get_param_block()->display.stream_format, param_default_block()->display.stream_format);
  EXPECT_TRUE(screens_show("File not viewable"));
  stream_register(nullptr, nullptr, OUTPUT_STREAM);
}

// A start the logic did not take in time is withdrawn: it does not begin
// after its request was refused.
TEST_F(Dvr, AStartNotTakenInTimeIsWithdrawn) {
  dvr_key_hooks.feed_key = nullptr;
  EXPECT_EQ(dvr_start(DVR_KEY_RECORD_PAUSE, 50), CTL_ERR_STATE);
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey waiting = key_mailbox.key_word;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  EXPECT_EQ(waiting, 0u);
}

// The control protocol's pause can come after its file's request is answered
// and before the playback starts: the file starts held, and the word goes on
// saying paused. A file handed over from a paused one starts playing.
uint32_t g_word_seen;
int g_state_seen;

TEST_F(Dvr, APauseAskedBeforeThePlaybackStartsHoldsTheFile) {
  std::string dir = mount_sd();
  ASSERT_EQ(system(("mkdir -p '" + dir + "' && touch '" + dir + "/a.mp4'").c_str()), 0);
  ProducerState out{};
  register_stand_in(&out, OUTPUT_STREAM);
  status_update(STATUS_PLAYBACK | STATUS_PLAY_PAUSED, STATUS_PLAYBACK | STATUS_PLAY_PAUSED, "play_pause");
  PlaybackState = PLAYBACK_PAUSED;
  dvr_key_hooks.feed_key = [] {
    g_word_seen = status_get();
    g_state_seen = PlaybackState;
    // Still paused when another file is asked for.
    status_update(STATUS_PLAY_PAUSED, STATUS_PLAY_PAUSED, "play_pause");
    return (DvrKey)DVR_KEY_PLAY_FILE;
  };
  EXPECT_EQ(play_video_action(&ctx, "a.mp4"), 0);
  EXPECT_EQ(g_word_seen & (STATUS_PLAYBACK | STATUS_PLAY_PAUSED), (uint32_t)(STATUS_PLAYBACK | STATUS_PLAY_PAUSED));
  EXPECT_EQ(g_state_seen, PLAYBACK_PAUSED);
  // Handed over: the word says playing, not paused, for the next file.
  EXPECT_EQ(status_get() & (STATUS_PLAYBACK | STATUS_PLAY_PAUSED), (uint32_t)STATUS_PLAYBACK);
  EXPECT_EQ(PlaybackState, PLAYBACK_PLAYING);
  stream_set_state_by_id(OUTPUT_STREAM, 0);
  stream_register(nullptr, nullptr, OUTPUT_STREAM);
  key_mailbox_reset();
  status_update(0, STATUS_PLAYBACK | STATUS_PLAY_PAUSED, "test");
}

}  // namespace

// A save copies the parameters under their write lock: the sizes a start
// and a snapshot set are written under it too, never while a save holds it,
// and the lock is free again afterwards.
TEST_F(Dvr, SizesAreSetUnderTheParameterWriteLock) {
  ParamBlock *p = get_param_block();
  mount_sd();
  p->recording.storage_device = 4;
  // Runs act while a stand-in save holds the lock for half a second; true
  // when what act writes was seen before the save let go.
  auto seen_while_held = [](const std::function<void()> &act, const std::function<bool()> &written) {
    SaveProbe save;
    save.start(written);
    act();
    return save.stored_while_held();
  };
  auto lock_free = SaveProbe::lock_free;
  // A start on a display output records at the display's size.
  p->display.standard = 1;
  p->display.output = 1;
  p->video[0].width = 16;
  p->video[0].height = 16;
  const int w = display_info.width, h = display_info.height;
  ASSERT_TRUE(w != 16 || h != 16);
  EXPECT_FALSE(seen_while_held([&] { tick(DVR_KEY_RECORD_TOGGLE, {}, false); },
                               [&] { return p->video[0].width != 16 || p->video[0].height != 16; }));
  ASSERT_TRUE(lock_free());
  EXPECT_EQ(gui_state.recording, 1);
  EXPECT_EQ(p->video[0].width, w);
  EXPECT_EQ(p->video[0].height, h);
  tick(DVR_KEY_REC_STOP, {}, false);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
  // A snapshot is taken at the recording's size, as far as output B goes;
  // the stand-in recorder notes the size asked and ends it once it runs.
  // Then B has its own size again.
  p->video[0].width = 640;
  p->video[0].height = 480;
  p->video[1].width = p->video[1].height = 8;
  int asked_w = 0, asked_h = 0;
  auto snapshot = [&] {
    std::thread recorder([&] {
      for (int i = 0; i < 3000 && stream_get_state_by_id(SNAPSHOT_STREAM) != 1; i++) usleep(10000);
      asked_w = p->video[1].width;
      asked_h = p->video[1].height;
      stream_set_state_by_id(SNAPSHOT_STREAM, 0);
    });
    tick(DVR_KEY_SNAPSHOT, {}, false);
    recorder.join();
  };
  EXPECT_FALSE(seen_while_held(snapshot,
                               [&] { return p->video[1].width != 8 || p->video[1].height != 8; }));
  ASSERT_TRUE(lock_free());
  EXPECT_EQ(asked_w, 640);
  EXPECT_EQ(asked_h, 480);
  EXPECT_EQ(p->video[1].width, 8);
  EXPECT_EQ(p->video[1].height, 8);
  p->video[0].width = 1280;
  p->video[0].height = 720;
  snapshot();
  EXPECT_EQ(asked_w, 640);
  EXPECT_EQ(asked_h, 360);
}

// A file the player stops as one of a kind it cannot play: why is said once
// playback has ended, in a box that stays half a minute unless a key closes
// it; other boxes keep their own time.
int g_timeout_at_message;

TEST_F(Dvr, AnUnsupportedFileSaysSoForHalfAMinute) {
  ProducerState out{};
  register_stand_in(&out, OUTPUT_STREAM);
  g_waits = 0;
  g_message_screen.clear();
  g_timeout_at_message = -1;
  const int before = osd_layout.message_timeout;
  dvr_key_hooks.feed_key = [] {
    switch (g_waits++) {
      case 0:
        PlaybackState = PLAYBACK_UNSUPPORTED;
        stream_set_state_by_id(OUTPUT_STREAM, 0);
        return (DvrKey)0;
      case 1:
        g_timeout_at_message = osd_layout.message_timeout;
        g_message_screen = ocr_screen();
        return (DvrKey)DVR_KEY_ESCAPE;
      default: return (DvrKey)DVR_KEY_ESCAPE;
    }
  };
  EXPECT_EQ(play_video_action(&ctx, "odd.mp4"), 0);
  stream_register(nullptr, nullptr, OUTPUT_STREAM);
  EXPECT_EQ(g_waits, 2);
  EXPECT_TRUE(ocr_has(g_message_screen, LangTable[388])) << LangTable[388] << " in " << g_message_screen;
  EXPECT_EQ(g_timeout_at_message, 30);
  EXPECT_EQ(osd_layout.message_timeout, before);
  key_mailbox_reset();
}

// The withdrawal of a start not taken in time takes the mailbox's lock: a
// key being taken meanwhile is never cleared under the taker.
TEST_F(Dvr, AStartIsWithdrawnUnderTheMailboxLock) {
  dvr_key_hooks.feed_key = nullptr;
  CtlStatus result = CTL_OK;
  std::thread starter([&] { result = dvr_start(DVR_KEY_RECORD_PAUSE, 50); });
  auto word = [] {
    pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
    DvrKey w = key_mailbox.key_word;
    pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
    return w;
  };
  for (int i = 0; i < 3000 && word() != (DvrKey)DVR_KEY_RECORD_PAUSE; i++) usleep(1000);
  bool cleared_while_held = false;
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  for (int i = 0; i < 50 && !cleared_while_held; i++) {
    cleared_while_held = __atomic_load_n(&key_mailbox.key_word, __ATOMIC_RELAXED) == 0;
    usleep(10000);
  }
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  starter.join();
  EXPECT_FALSE(cleared_while_held);
  EXPECT_EQ(result, CTL_ERR_STATE);
  EXPECT_EQ(word(), 0u);
}

// Keys are dropped, not kept for later, while a recording stops (the volume
// still writable) and while the status LED blinks. The idle recorder's
// status is the menu language's "Stopped".
int g_polls;

TEST_F(Dvr, KeysWhileARecordingStopsOrTheLedBlinksAreDropped) {
  mount_sd();
  get_param_block()->recording.storage_device = 4;
  tick(DVR_KEY_RECORD_TOGGLE, {}, false);
  ASSERT_EQ(stream_get_state_by_id(RECORD_STREAM), 1);
  // A recorder that ends of itself takes the word's recording bit along.
  EXPECT_TRUE(status_get() & STATUS_RECORDING);
  storage_hooks.record_ended();
  EXPECT_FALSE(status_get() & STATUS_RECORDING);
  filesys_lock();
  filesys_add_writer(STORAGE_MMC);
  filesys_unlock();
  g_polls = 0;
  // The stop's first poll finds a Record press as the volume lets go.
  dvr_key_hooks.feed_key = [] {
    if (g_polls++) return (DvrKey)0;
    filesys_lock();
    filesys_remove_writer(STORAGE_MMC);
    filesys_unlock();
    return (DvrKey)DVR_KEY_RECORD_PAUSE;
  };
  dvr_post_key(DVR_KEY_REC_STOP);
  dvr_tick(&ctx);
  EXPECT_GE(g_polls, 1);
  EXPECT_EQ(gui_state.recording, 0);
  dvr_tick(&ctx);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0) << "a press during the stop started a recording";

  gpio_blink_xled(1);
  dvr_post_key(DVR_KEY_RECORD_PAUSE);
  dvr_tick(&ctx);
  gpio_blink_xled(0);
  dvr_tick(&ctx);
  EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0) << "a press while the LED blinked started a recording";

  const char *english = LangTable[387];
  LangTable[387] = "Angehalten";
  char status[64];
  getRecordingStatus(status, sizeof status);
  LangTable[387] = english;
  EXPECT_STREQ(status, "Angehalten");
}
