// The process-wide state: exit code and quit protocol, board identity,
// rendezvous helpers and the per-thread records.
#pragma once
#include <cstdint>
#include <pthread.h>
#include "platform/framework/dmai.h"

enum ExitCode : uint32_t { EXIT_RUNNING = 0, EXIT_QUIT = 1, EXIT_REBOOT = 2, EXIT_HALT = 3 };

extern pthread_mutex_t quit_mutex;   // leaf lock
extern pthread_cond_t quit_cond;     // only main waits on it
extern pthread_mutex_t codec_mutex;  // around every codec call; before framecopy_mutex
extern volatile uint8_t rtsp_watch;  // non-zero: the RTSP thread leaves its loop
extern volatile int gui_started;     // set by the menu when its start screen is done
extern volatile int serial_event_fd; // the serial thread's event descriptor, -1 when closed
// The web server's restart handshake with the network bring-up, which holds
// network_mutex while it reconfigures: -1 until the "httpd" thread runs,
// 1 asks it to restart its daemon, 0 once it has.
extern volatile int httpd_restart;
extern pthread_mutex_t network_mutex;

uint32_t get_exit_code(void);
// The same without the lock: for a caller that already holds quit_mutex,
// and for the crash handlers.
uint32_t get_exit_code_unlocked(void);
// Stores code under quit_mutex, sets rtsp_watch and broadcasts quit_cond.
void set_exit_code(uint32_t code);

#define M7391_MODEL 7391
#define M7391_BUILD 1647

struct BoardIdentity {
  uint32_t model;
  char product_name[48];   // "Marovant Model %d"
  uint32_t serial;
  uint32_t kernel_date;
  int ahd;                 // "tp2825 1-0044" found
  int safe_boot;
  int ccdc_found;
};
extern BoardIdentity board_identity;

// The record every named thread gets; subsystems extend it by embedding it as
// their record's first member.
struct ThreadEnv {
  const char *name;
  Rendezvous_Handle start_rendezvous;
  Rendezvous_Handle cleanup_rendezvous;
  void *params;            // the live ParamBlock
  void *ext;               // the subsystem's own record, if any
};

void myRendezvousInit(Rendezvous_Handle start_rendezvous, const char *name);
void myRendezvousCleanup(Rendezvous_Handle cleanup_rendezvous, const char *name);
void *thread_enter_hook(const char *name);
void thread_exit_hook(const char *name);
// The thread's name (set by the thread table) or "unknown".
const char *threadName(pthread_t handle);
const char *getThreadName(void);
void thread_name_register(pthread_t handle, const char *name);

void cpu_load_register_thread(const char *name);
void print_thread_loads(void);
// Logs "name: seconds.milliseconds" of the CPU time the thread has used.
void print_thread_cpu_time(pthread_t handle, const char *name);
int get_cpu_load(void);
