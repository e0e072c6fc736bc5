// The OSD planes of a test: a fresh root, the memory and register windows,
// blank simulated framebuffers and both planes created at the start-up
// standard with the small menu font.
#pragma once
#include "core/hwreg.h"
#include "display/osd_display.h"
#include "platform/framework/dmai.h"
#include "platform/sim/sim_control.h"
#include "test_root.h"

inline int osd_test_open(GuiContext *ctx) {
  test_root();
  CMEM_init();
  hwreg_map();
  sim_fb_reset();
  ctx->env.name = "overlay";
  osd_set_font(1);
  return overlay_hd(ctx);
}
