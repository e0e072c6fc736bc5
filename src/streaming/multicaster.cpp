#include "streaming/multicaster.h"

#include "core/global.h"
#include "core/process_util.h"

void multicast_rtp_run(int index, ProducerState *sender) {
  (void)index;
  while (!get_exit_code() && !stream_state_stopping(sender)) sleep_ms(100);
}
