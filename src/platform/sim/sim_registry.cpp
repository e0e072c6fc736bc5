// The list of built-in simulated drivers. Each device issue adds its line.
#include <pthread.h>

#include "platform/device.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

static void sim_register_builtin(void) {
  sim_mem_register();
  sim_flash_register();
  sim_edma_register();
  sim_capture_register();
  sim_storage_register();
  sim_usbhub_register();
  sim_video_out_register();
  sim_hdmi_tx_register();
  sim_fb_register();
  sim_input_register();
  sim_serial_start();
  sim_board_register();
}

void sim_init(void) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, sim_register_builtin);
}
