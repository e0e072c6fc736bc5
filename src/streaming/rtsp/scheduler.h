// The event loop every RTSP/RTP object runs on: delayed tasks, socket
// handlers and event triggers, all called on the one thread that runs the
// loop. triggerEvent is the only call another thread may make.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

typedef void TaskFunc(void *clientData);
typedef void *TaskToken;
typedef uint32_t EventTriggerId;   // 0: none
typedef void BackgroundHandlerProc(void *clientData, int mask);

enum { SOCKET_READABLE = 1, SOCKET_WRITABLE = 2, SOCKET_EXCEPTION = 4 };

#define RTSP_MAX_EVENT_TRIGGERS 256

class BasicTaskScheduler {
 public:
  // granularity_us: the longest the loop sleeps before it looks at its watch
  // variable again.
  static BasicTaskScheduler *createNew(unsigned granularity_us = 10000);
  ~BasicTaskScheduler();

  TaskToken scheduleDelayedTask(int64_t microseconds, TaskFunc *proc, void *clientData);
  // Clears the token; an unknown or already run token is ignored.
  void unscheduleDelayedTask(TaskToken &task);
  void rescheduleDelayedTask(TaskToken &task, int64_t microseconds, TaskFunc *proc,
                             void *clientData);

  // conditionSet 0 removes the handler.
  void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc *proc,
                             void *clientData);
  void disableBackgroundHandling(int socketNum) { setBackgroundHandling(socketNum, 0, nullptr, nullptr); }

  // The handler runs on the loop's thread with clientData; several triggers
  // before it runs may give one call. 0 when every trigger is taken.
  EventTriggerId createEventTrigger(TaskFunc *handler, void *clientData);
  // After this the handler is never called again.
  void deleteEventTrigger(EventTriggerId id);
  // Any thread: marks the trigger and wakes the loop.
  void triggerEvent(EventTriggerId id);

  // Runs until *watchVariable is non-zero (for ever when NULL). Handlers may
  // run a loop of their own inside it.
  void doEventLoop(volatile uint8_t *watchVariable);
  // One pass: waits at most maxDelay_us (0: the granularity), then runs what
  // is ready.
  void singleStep(unsigned maxDelay_us = 0);

 private:
  explicit BasicTaskScheduler(unsigned granularity_us);
  struct Task {
    TaskFunc *proc;
    void *data;
    int64_t due;
  };
  struct Handler {
    int mask;
    BackgroundHandlerProc *proc;
    void *data;
    uint32_t serial;   // tells a handler from a later one on the same fd
  };
  struct Trigger {
    TaskFunc *proc;
    void *data;
  };

  unsigned fGranularity;
  int fWakeFd;
  // The sockets are watched by epoll: a pass costs what is ready, not what
  // is open (a connection per client, thousands of them).
  int fEpollFd;
  uint64_t fNextTaskId;
  uint32_t fNextSerial;
  std::map<uint64_t, Task> fTasks;                 // by token
  std::set<std::pair<int64_t, uint64_t>> fDue;     // (due, token)
  std::map<int, Handler> fHandlers;                // by socket
  Trigger fTriggers[RTSP_MAX_EVENT_TRIGGERS];
  std::atomic<uint8_t> fTriggerPending[RTSP_MAX_EVENT_TRIGGERS];
  unsigned fLastTrigger;
};

typedef BasicTaskScheduler TaskScheduler;

// Microseconds of CLOCK_MONOTONIC.
int64_t rtsp_monotonic_us(void);

// Where the RTSP objects write their messages and keep the last error text.
// Output is gathered into lines and logged.
class BasicUsageEnvironment {
 public:
  static BasicUsageEnvironment *createNew(TaskScheduler &scheduler);
  TaskScheduler &taskScheduler() { return fScheduler; }

  void setResultMsg(const char *msg, const char *msg2 = nullptr, const char *msg3 = nullptr);
  // msg followed by the system error text of err.
  void setResultErrMsg(const char *msg, int err);
  const char *getResultMsg() const { return fResult; }

  BasicUsageEnvironment &operator<<(const char *s);
  BasicUsageEnvironment &operator<<(int i);
  BasicUsageEnvironment &operator<<(unsigned u);
  BasicUsageEnvironment &operator<<(double d);

  void reclaim() { delete this; }

 private:
  explicit BasicUsageEnvironment(TaskScheduler &s);
  ~BasicUsageEnvironment() = default;
  void flushLine();
  TaskScheduler &fScheduler;
  char fResult[256];
  char fLine[256];
  unsigned fLineLen;
};

typedef BasicUsageEnvironment UsageEnvironment;
