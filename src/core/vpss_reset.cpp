#include "core/vpss_reset.h"

#include "core/framecopy.h"
#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_apply.h"
#include "core/startup.h"

VpssResetHooks vpss_reset_hooks;

void resetVPSS(const char *caller) {
  log_printf("%s: ==========================================\n", caller);
  log_printf("%s: ==========  resetting VPSS  ==============\n", caller);
  log_printf("%s: ==========================================\n", caller);
  pthread_mutex_lock(&codec_mutex);
  pthread_mutex_lock(&framecopy_mutex);
  hdvicp_reset();
  if (vpss_reset_hooks.gui_redraw) vpss_reset_hooks.gui_redraw();
  if (param_apply_hooks.display_set_run_mode) param_apply_hooks.display_set_run_mode(7);
  if (vpss_reset_hooks.encoder_reset) {
    vpss_reset_hooks.encoder_reset(0);
    vpss_reset_hooks.encoder_reset(1);
  }
  pthread_mutex_unlock(&framecopy_mutex);
  pthread_mutex_unlock(&codec_mutex);
  if (core_hooks.display_wakeup) core_hooks.display_wakeup();
}
