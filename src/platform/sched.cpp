#include "platform/sched.h"

#include <sched.h>
#include <cstdio>

// The board's SCHED_FIFO range; the host asks the kernel for nothing real-time.
int sched_fifo_max(void) { return sched_get_priority_max(SCHED_FIFO); }
int sched_fifo_min(void) { return sched_get_priority_min(SCHED_FIFO); }

int sched_attr_fifo(pthread_attr_t *attr, int offset, int *prio_out) {
  int prio = sched_fifo_max() - offset;
  if (prio < sched_fifo_min()) prio = sched_fifo_min();
  if (prio_out) *prio_out = prio;
  int rc = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
  if (rc) return rc;
  rc = pthread_attr_setschedpolicy(attr, SCHED_OTHER);
  if (rc) return rc;
  struct sched_param sp = {};
  sp.sched_priority = 0;
  return pthread_attr_setschedparam(attr, &sp);
}

int sched_set_process_priority(int nice_value) {
  // The host keeps its default nice value: a raised priority would let the
  // simulated board starve the machine it runs on.
  (void)nice_value;
  return 0;
}
