#include "streaming/rtsp/scheduler.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "core/log.h"

namespace {

// The wake-up descriptor's key; a socket's is its serial and number.
const uint64_t kWakeKey = ~(uint64_t)0;
const int kMaxEvents = 256;

}  // namespace

int64_t rtsp_monotonic_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

BasicTaskScheduler *BasicTaskScheduler::createNew(unsigned granularity_us) {
  BasicTaskScheduler *s = new BasicTaskScheduler(granularity_us);
  if (s->fWakeFd < 0 || s->fEpollFd < 0) {
    log_printf("%s: eventfd or epoll: %s\n", "BasicTaskScheduler", strerror(errno));
    delete s;
    return nullptr;
  }
  struct epoll_event e;
  memset(&e, 0, sizeof e);
  e.events = EPOLLIN;
  e.data.u64 = kWakeKey;
  if (epoll_ctl(s->fEpollFd, EPOLL_CTL_ADD, s->fWakeFd, &e) < 0) {
    log_printf("%s: epoll_ctl: %s\n", "BasicTaskScheduler", strerror(errno));
    delete s;
    return nullptr;
  }
  return s;
}

BasicTaskScheduler::BasicTaskScheduler(unsigned granularity_us)
    : fGranularity(granularity_us ? granularity_us : 10000),
      fWakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      fEpollFd(epoll_create1(EPOLL_CLOEXEC)),
      fNextTaskId(1),
      fNextSerial(1),
      fLastTrigger(RTSP_MAX_EVENT_TRIGGERS - 1) {
  for (unsigned i = 0; i < RTSP_MAX_EVENT_TRIGGERS; i++) {
    fTriggers[i] = {nullptr, nullptr};
    fTriggerPending[i].store(0, std::memory_order_relaxed);
  }
}

BasicTaskScheduler::~BasicTaskScheduler() {
  if (fWakeFd >= 0) close(fWakeFd);
  if (fEpollFd >= 0) close(fEpollFd);
}

TaskToken BasicTaskScheduler::scheduleDelayedTask(int64_t microseconds, TaskFunc *proc,
                                                  void *clientData) {
  if (microseconds < 0) microseconds = 0;
  uint64_t id = fNextTaskId++;
  int64_t due = rtsp_monotonic_us() + microseconds;
  fTasks[id] = Task{proc, clientData, due};
  fDue.insert({due, id});
  return (TaskToken)(uintptr_t)id;
}

void BasicTaskScheduler::unscheduleDelayedTask(TaskToken &task) {
  uint64_t id = (uint64_t)(uintptr_t)task;
  task = nullptr;
  auto it = fTasks.find(id);
  if (it == fTasks.end()) return;
  fDue.erase({it->second.due, id});
  fTasks.erase(it);
}

void BasicTaskScheduler::rescheduleDelayedTask(TaskToken &task, int64_t microseconds,
                                               TaskFunc *proc, void *clientData) {
  unscheduleDelayedTask(task);
  task = scheduleDelayedTask(microseconds, proc, clientData);
}

void BasicTaskScheduler::setBackgroundHandling(int socketNum, int conditionSet,
                                               BackgroundHandlerProc *proc, void *clientData) {
  if (socketNum < 0) return;
  auto it = fHandlers.find(socketNum);
  if (conditionSet == 0 || !proc) {
    if (it == fHandlers.end()) return;
    // Already gone when the socket was closed first.
    epoll_ctl(fEpollFd, EPOLL_CTL_DEL, socketNum, nullptr);
    fHandlers.erase(it);
    return;
  }
  bool known = it != fHandlers.end();
  // The same handler with other conditions keeps its serial: then only a
  // change of conditions costs a system call.
  if (known && it->second.proc == proc && it->second.data == clientData) {
    if (it->second.mask == conditionSet) return;
  } else {
    Handler h{conditionSet, proc, clientData, fNextSerial++};
    if (known) it->second = h;
    else it = fHandlers.emplace(socketNum, h).first;
  }
  it->second.mask = conditionSet;
  struct epoll_event e;
  memset(&e, 0, sizeof e);
  if (conditionSet & SOCKET_READABLE) e.events |= EPOLLIN;
  if (conditionSet & SOCKET_WRITABLE) e.events |= EPOLLOUT;
  if (conditionSet & SOCKET_EXCEPTION) e.events |= EPOLLPRI;
  e.data.u64 = (uint64_t)it->second.serial << 32 | (uint32_t)socketNum;
  if (epoll_ctl(fEpollFd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socketNum, &e) < 0 &&
      epoll_ctl(fEpollFd, known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socketNum, &e) < 0)
    log_printf("%s: epoll_ctl fd %d: %s\n", "setBackgroundHandling", socketNum, strerror(errno));
}

EventTriggerId BasicTaskScheduler::createEventTrigger(TaskFunc *handler, void *clientData) {
  // Slots are handed out round-robin so that a late trigger of a deleted
  // slot is unlikely to land on its successor; if it does, that handler
  // merely runs once more than needed.
  for (unsigned n = 0; n < RTSP_MAX_EVENT_TRIGGERS; n++) {
    unsigned i = (fLastTrigger + 1 + n) % RTSP_MAX_EVENT_TRIGGERS;
    if (!fTriggers[i].proc) {
      fTriggers[i] = {handler, clientData};
      fTriggerPending[i].store(0, std::memory_order_relaxed);
      fLastTrigger = i;
      return i + 1;
    }
  }
  log_printf("%s: no event trigger left\n", "createEventTrigger");
  return 0;
}

void BasicTaskScheduler::deleteEventTrigger(EventTriggerId id) {
  if (id == 0 || id > RTSP_MAX_EVENT_TRIGGERS) return;
  fTriggers[id - 1] = {nullptr, nullptr};
  fTriggerPending[id - 1].store(0, std::memory_order_relaxed);
}

void BasicTaskScheduler::triggerEvent(EventTriggerId id) {
  if (id == 0 || id > RTSP_MAX_EVENT_TRIGGERS) return;
  fTriggerPending[id - 1].store(1, std::memory_order_release);
  uint64_t one = 1;
  // A full counter (EAGAIN) already means "wake up".
  ssize_t w = write(fWakeFd, &one, sizeof one);
  (void)w;
}

void BasicTaskScheduler::doEventLoop(volatile uint8_t *watchVariable) {
  // The watch byte is set by other threads: read it as an atomic.
  while (!watchVariable || __atomic_load_n(watchVariable, __ATOMIC_ACQUIRE) == 0) singleStep(0);
}

void BasicTaskScheduler::singleStep(unsigned maxDelay_us) {
  int64_t wait = fGranularity;
  if (maxDelay_us && maxDelay_us < wait) wait = maxDelay_us;
  if (!fDue.empty()) {
    int64_t until = fDue.begin()->first - rtsp_monotonic_us();
    if (until < wait) wait = until < 0 ? 0 : until;
  }

  struct epoll_event ev[kMaxEvents];
  int n = epoll_wait(fEpollFd, ev, kMaxEvents, (int)((wait + 999) / 1000));
  if (n < 0) {
    if (errno != EINTR) log_printf("%s: epoll_wait: %s\n", "singleStep", strerror(errno));
    n = 0;
  }

  // Socket handlers. A handler may remove or replace others (or itself), so
  // each is looked up again before it is called.
  bool woken = false;
  for (int i = 0; i < n; i++) {
    if (ev[i].data.u64 == kWakeKey) {
      woken = true;
      continue;
    }
    int fd = (int)(uint32_t)ev[i].data.u64;
    auto it = fHandlers.find(fd);
    if (it == fHandlers.end() || it->second.serial != (uint32_t)(ev[i].data.u64 >> 32)) continue;
    uint32_t re = ev[i].events;
    int mask = 0;
    if (re & (EPOLLIN | EPOLLHUP | EPOLLERR)) mask |= SOCKET_READABLE;
    if (re & (EPOLLOUT | EPOLLERR)) mask |= SOCKET_WRITABLE;
    if (re & EPOLLPRI) mask |= SOCKET_EXCEPTION;
    mask &= it->second.mask | ((re & (EPOLLHUP | EPOLLERR)) ? SOCKET_READABLE : 0);
    if (!mask) continue;
    Handler h = it->second;
    h.proc(h.data, mask);
  }

  // Event triggers: the eventfd is drained first so that a trigger fired
  // while handlers run wakes the next pass.
  if (woken) {
    uint64_t v;
    ssize_t r = read(fWakeFd, &v, sizeof v);
    (void)r;
  }
  for (unsigned i = 0; i < RTSP_MAX_EVENT_TRIGGERS; i++) {
    if (!fTriggerPending[i].load(std::memory_order_relaxed)) continue;
    if (!fTriggerPending[i].exchange(0, std::memory_order_acquire)) continue;
    Trigger t = fTriggers[i];
    if (t.proc) t.proc(t.data);
  }

  // Due tasks, each removed before it runs (it may schedule itself again).
  // Tasks that fall due meanwhile (a sink's next packet) run in the same
  // pass, up to a bound that keeps the sockets served.
  int64_t now = rtsp_monotonic_us();
  for (int n = 0; n < 64 && !fDue.empty(); n++) {
    if (fDue.begin()->first > now) {
      now = rtsp_monotonic_us();
      if (fDue.begin()->first > now) break;
    }
    uint64_t id = fDue.begin()->second;
    fDue.erase(fDue.begin());
    auto it = fTasks.find(id);
    if (it == fTasks.end()) continue;
    Task t = it->second;
    fTasks.erase(it);
    t.proc(t.data);
  }
}

// ---- environment ----

BasicUsageEnvironment *BasicUsageEnvironment::createNew(TaskScheduler &scheduler) {
  return new BasicUsageEnvironment(scheduler);
}

BasicUsageEnvironment::BasicUsageEnvironment(TaskScheduler &s) : fScheduler(s), fLineLen(0) {
  fResult[0] = 0;
  fLine[0] = 0;
}

void BasicUsageEnvironment::setResultMsg(const char *msg, const char *msg2, const char *msg3) {
  snprintf(fResult, sizeof fResult, "%s%s%s", msg ? msg : "", msg2 ? msg2 : "", msg3 ? msg3 : "");
}

void BasicUsageEnvironment::setResultErrMsg(const char *msg, int err) {
  snprintf(fResult, sizeof fResult, "%s%s", msg ? msg : "", strerror(err));
}

void BasicUsageEnvironment::flushLine() {
  if (!fLineLen) return;
  fLine[fLineLen] = 0;
  log_printf("%s", fLine);
  fLineLen = 0;
}

BasicUsageEnvironment &BasicUsageEnvironment::operator<<(const char *s) {
  if (!s) s = "(null)";
  for (; *s; s++) {
    fLine[fLineLen++] = *s;
    if (*s == '\n' || fLineLen >= sizeof fLine - 2) {
      if (*s != '\n') fLine[fLineLen++] = '\n';
      flushLine();
    }
  }
  return *this;
}

BasicUsageEnvironment &BasicUsageEnvironment::operator<<(int i) {
  char b[16];
  snprintf(b, sizeof b, "%d", i);
  return *this << b;
}

BasicUsageEnvironment &BasicUsageEnvironment::operator<<(unsigned u) {
  char b[16];
  snprintf(b, sizeof b, "%u", u);
  return *this << b;
}

BasicUsageEnvironment &BasicUsageEnvironment::operator<<(double d) {
  char b[32];
  snprintf(b, sizeof b, "%f", d);
  return *this << b;
}
