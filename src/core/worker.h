// A Worker runs queued (function, argument) tasks one after another on its
// own thread. The queue has a fixed size and refuses tasks when full.
#pragma once
#include <pthread.h>

typedef void (*WorkerFn)(void *arg);
struct Worker;
Worker *Worker_create(unsigned capacity, const pthread_attr_t *attr);
int Worker_add_task(Worker *w, WorkerFn fn, void *arg);   // 0, or -1 when full
void Worker_delete(Worker *w);
