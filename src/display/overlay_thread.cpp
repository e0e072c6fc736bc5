// The "overlay" thread: start-up, the standard-following loop and the end.
#include "display/overlay_thread.h"

#include <unistd.h>

#include "core/log.h"
#include "core/param_block.h"
#include "core/vpss_reset.h"
#include "display/display_hd.h"
#include "display/dvr_keys.h"
#include "display/dvr_logic.h"
#include "osd/osd_command.h"

CtlChannel *gui_ctl_channel;

namespace {

GuiContext *g_ctx;   // the running thread's record, for the posters

void request_recreate(void) {
  if (g_ctx) g_ctx->recreate_osd = 1;
}

int wanted_std(GuiContext *ctx) {
  DisplayEnv *d = ctx->display_env;
  if (!d) return 4;
  int std = d->std.load();
  return std ? std : d->capture_std.load();
}

void fail(GuiContext *ctx, bool met) {
  ctx->status = -1;
  if (!met) myRendezvousInit(ctx->env.start_rendezvous, ctx->env.name);
}

}  // namespace

int overlay_prepare(ThreadEnv *env) {
  GuiContext *ctx = (GuiContext *)env;
  ctx->free_fifo = Fifo_create();
  ctx->image_fifo = Fifo_create();
  return ctx->free_fifo && ctx->image_fifo ? 0 : -1;
}

void overlay_install_hooks(GuiContext *ctx) {
  g_ctx = ctx;
  vpss_reset_hooks.gui_redraw = request_recreate;
}

void *overlayThrFxn(void *arg) {
  GuiContext *ctx = (GuiContext *)arg;
  const char *name = ctx->env.name;
  ParamBlock *params = (ParamBlock *)ctx->env.params;
  g_ctx = ctx;
  osd_state.ctx = ctx;
  bool met = false;
  uint8_t *image = nullptr;
  // A poster may still hold the image buffer when the thread ends: it lives
  // as long as the process, and a later run takes the same one.
  static Buffer_Handle image_buf = nullptr;
  if (!image_buf) image_buf = Buffer_create(OSD_IMAGE_BUFFER, &Buffer_Attrs_DEFAULT);
  if (!image_buf) {
    log_error("%s %d: Failed to allocate overlay buffer\n", name, __LINE__);
    fail(ctx, met);
    goto cleanup;
  }
  image = (uint8_t *)Buffer_getUserPtr(image_buf);
  CMEM_init();
  ctl_init();
  ctl_open(2, CTL_SERVICE_PORT, "127.0.0.1", 2000, &gui_ctl_channel);
  myRendezvousInit(ctx->env.start_rendezvous, name);
  met = true;
  if (Fifo_put(ctx->free_fifo, image) != 0) {
    log_error("%s %d: Failed to put overlay buffer\n", name, __LINE__);
    fail(ctx, met);
    goto cleanup;
  }
  osd_state.color_attrs.video_std = 4;
  osd_config_windows(4);
  osd_set_font(params ? params->dvr_menu_text_size : 1);
  if (overlay_hd(ctx) != 0) {
    fail(ctx, met);
    goto cleanup;
  }
  gui_start(ctx);
  osd_fill_bytes(0, 470, 64, 8, 0xFF);

  while (get_exit_code() == 0) {
    int wanted = wanted_std(ctx);
    if (wanted == osd_state.color_attrs.video_std && osd_state.color && !ctx->recreate_osd) {
      dvr_tick(ctx);
    } else if (wanted == 0) {
      sleep(1);
    } else {
      osd_state.color_attrs.video_std = wanted;
      // Taken before the planes are made: a reset asked for meanwhile
      // makes them again.
      int reset = ctx->recreate_osd.exchange(0);
      log_printf("%s: OSD standard %d%s\n", name, wanted, reset ? " (reset)" : "");
      if (overlay_hd(ctx) != 0) {
        ctx->status = -1;
        break;
      }
      osd_config_windows(wanted);
      osd_flush(ctx);
      dvr_tick(ctx);
    }
  }

cleanup:
  if (!met) myRendezvousInit(ctx->env.start_rendezvous, name);
  myRendezvousCleanup(ctx->env.cleanup_rendezvous, name);
  if (gui_ctl_channel) {
    CtlChannel *ch = gui_ctl_channel;
    gui_ctl_channel = nullptr;
    ctl_close(ch);
    ctl_exit();
  }
  osd_release();
  g_ctx = nullptr;
  CMEM_exit();
  gui_started = 1;  // after a failed start main waits for no menu
  return nullptr;
}

// The menu has nothing that shows a posted image: one is refused, so that
// its poster answers so, rather than taken and dropped.
int osd_post_image(const OverlayCommand *command) {
  if (!command) return -1;
  log_printf("%s: the on-screen display shows no posted images, %u bytes for slot %u refused\n", "osd_post_image",
             command->len, command->target & 0xF);
  return -1;
}
