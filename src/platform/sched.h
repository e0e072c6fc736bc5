// Thread scheduling. The program asks for SCHED_FIFO at the maximum priority
// minus an offset; on the host the request becomes SCHED_OTHER (a busy thread
// must not freeze the machine) and the priority it would have had is logged.
#pragma once
#include <pthread.h>

// Sets explicit scheduling and the policy/priority on attr. Returns 0 or an
// errno value. prio_out receives the computed SCHED_FIFO priority.
int sched_attr_fifo(pthread_attr_t *attr, int offset, int *prio_out);
// SCHED_FIFO maximum and minimum priorities as the board has them.
int sched_fifo_max(void);
int sched_fifo_min(void);
// The process's nice value; on the host it is only logged by the caller.
int sched_set_process_priority(int nice_value);
