#include "core/net_init.h"

#include <cstring>
#include <pthread.h>

#include "core/log.h"
#include "core/param_block.h"

void init_network(ParamBlock *block) {
  // Settings can change again while a set-up runs: one at a time.
  static pthread_mutex_t net_mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_lock(&net_mutex);
  uint32_t addr;
  memcpy(&addr, block->log_udp_addr, sizeof addr);
  log_printf("%s\n", "init_network");
  init_log_udp(addr);
  pthread_mutex_unlock(&net_mutex);
}
