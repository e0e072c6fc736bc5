// The "overlay" thread on the simulated board: planes that follow the
// display's standard and a video-processing reset, posted images whose
// buffer comes back, and a start that fails without leaving main waiting.
#include <gtest/gtest.h>

#include <pthread.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/vpss_reset.h"
#include "display/display_hd.h"
#include "display/display_keep.h"
#include "display/dvr_keys.h"
#include "display/overlay_thread.h"
#include "osd/osd_command.h"
#include "platform/device.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"
#include "test_root.h"

namespace {

int64_t mono_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polls cond for up to 30 s.
template <typename F>
bool eventually(F cond) {
  for (int64_t end = mono_ms() + 30000; mono_ms() < end;) {
    if (cond()) return true;
    dvr_post_key(0);
    struct timespec ts = {0, 20000000};
    nanosleep(&ts, nullptr);
  }
  return cond();
}

uint64_t fb_puts(void) {
  SimFbInfo i;
  sim_fb_info(0, &i);
  return i.puts;
}

struct OverlayThread : ::testing::Test {
  DisplayKeep keep;   // the OSD windows and zoom the thread's standards set
  DisplayEnv display{};
  GuiContext ctx{};
  pthread_t thread{};
  bool started = false;
  void SetUp() override {
    test_root();
    static ParamBlock block;
    static bool loaded = init_param(&block) >= 0 || true;
    (void)loaded;
    param_load_defaults();
    hwreg_map();
    CMEM_init();
    sim_fb_reset();
    key_mailbox_reset();
    dvr_key_hooks.recording = [] { return 0; };
    set_exit_code(EXIT_RUNNING);
    gui_started = 0;
    ctx.env.name = "overlay";
    ctx.env.params = get_param_block();
    ctx.env.start_rendezvous = Rendezvous_create(2);
    ctx.env.cleanup_rendezvous = Rendezvous_create(2);
    ctx.display_env = &display;
    ASSERT_EQ(overlay_prepare(&ctx.env), 0);
    overlay_install_hooks(&ctx);
  }
  void start() {
    ASSERT_EQ(pthread_create(&thread, nullptr, overlayThrFxn, &ctx), 0);
    started = true;
    Rendezvous_meet(ctx.env.start_rendezvous);
  }
  void stop() {
    if (!started) return;
    set_exit_code(EXIT_QUIT);
    dvr_post_key(0);
    Rendezvous_meet(ctx.env.cleanup_rendezvous);
    pthread_join(thread, nullptr);
    started = false;
  }
  void TearDown() override {
    stop();
    Fifo_delete(ctx.free_fifo);
    Fifo_delete(ctx.image_fifo);
    Rendezvous_delete(ctx.env.start_rendezvous);
    Rendezvous_delete(ctx.env.cleanup_rendezvous);
    vpss_reset_hooks.gui_redraw = nullptr;
    dvr_key_hooks = DvrKeyHooks();
    set_exit_code(EXIT_RUNNING);
  }
};

TEST_F(OverlayThread, PlanesFollowTheStandardAndAReset) {
  start();  // no standard known yet: planes at the start standard only
  ASSERT_TRUE(eventually([] { return gui_started != 0; }));
  // A re-creation deletes and creates the colour plane: two screen settings
  // put on fb0 (the old one restored, the new one), then the windows.
  auto recreated = [&](auto change) {
    uint64_t puts = fb_puts();
    change();
    return eventually([&] { return fb_puts() >= puts + 2 && ctx.recreate_osd == 0; });
  };
  // 720p: the 640 x 480 planes are zoomed to 1280 x 960.
  ASSERT_TRUE(recreated([&] { display.std = 9; }));
  ASSERT_TRUE(eventually([] { return (hwreg_read(0x01C71C08) & 0x500) != 0; }));
  EXPECT_EQ(hwreg_read(0x01C71C08) & 0x500, 0x500u);
  EXPECT_EQ(hwreg_read(0x01C71C74), 960u);
  ASSERT_TRUE(recreated([&] { display.std = 18; }));
  EXPECT_EQ(osd_state.color_attrs.video_std, 18);
  // A reset re-creates the planes at the same standard.
  ASSERT_TRUE(recreated([] { vpss_reset_hooks.gui_redraw(); }));
  EXPECT_EQ(ctx.recreate_osd, 0);
  // Composite output: the planes shown as they are, no zoom.
  ASSERT_TRUE(recreated([&] { display.std = 5; }));
  ASSERT_TRUE(eventually([] { return (hwreg_read(0x01C71C08) & 0x502) == 2; }));
  EXPECT_EQ(osd_scale, 1);
}

// The menu shows no posted image: each is refused (its poster answers so)
// and the image buffer stays free.
TEST_F(OverlayThread, PostedImagesAreRefused) {
  display.std = 5;
  start();
  ASSERT_TRUE(eventually([&] { return Fifo_getNumEntries(ctx.free_fifo) == 1; }));
  static uint8_t data[64] = {1, 2, 3};
  OverlayCommand c = {};
  c.data = data;
  c.len = sizeof data;
  c.target = 0x23;
  for (int i = 0; i < 3; i++) EXPECT_EQ(osd_post_image(&c), -1) << i;
  EXPECT_EQ(Fifo_getNumEntries(ctx.image_fifo), 0);
  EXPECT_EQ(Fifo_getNumEntries(ctx.free_fifo), 1);
}

TEST_F(OverlayThread, AFailedStartMeetsBothRendezvous) {
  sim_unregister("/dev/fb2");  // no attribute framebuffer
  display.std = 5;
  start();
  stop();
  sim_fb_register();
  EXPECT_EQ(ctx.status, -1);
  EXPECT_NE(gui_started, 0);
}

}  // namespace
