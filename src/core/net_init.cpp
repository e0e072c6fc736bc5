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

namespace {

void *log_udp_thread(void *arg) {
  init_log_udp((uint32_t)(uintptr_t)arg);
  return nullptr;
}

}  // namespace

void start_log_udp(uint32_t addr_be) {
  pthread_attr_t attr;
  pthread_t thread;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&thread, &attr, log_udp_thread, (void *)(uintptr_t)addr_be) != 0)
    log_printf("%s: cannot start the UDP log thread\n", "start_log_udp");
  pthread_attr_destroy(&attr);
}
