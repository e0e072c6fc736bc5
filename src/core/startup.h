// main's start-up and shutdown machinery. The thread table itself lives in
// the program's main.cpp, the only place that names every subsystem.
#pragma once
#include "core/global.h"

typedef void *(*ThreadFxn)(void *env);

struct ThreadSpec {
  const char *name;         // thread name ("capture_hd"); NULL ends the table
  ThreadFxn fxn;            // NULL: a stub that meets both rendezvous
  int prio_offset;          // SCHED_FIFO maximum minus this
  const char *fail_msg;     // "%s %d: Failed to create capture thread\n"
  ThreadEnv *env;           // its record (filled with the rendezvous)
  int (*prepare)(ThreadEnv *env);  // creates the record's FIFOs; -1 fails
  const char *prepare_fail_msg;    // "%s %d: Failed to open capture fifos\n"
};

// Hooks into higher subsystems, filled by main before core_main runs. Any may
// be NULL until its subsystem exists.
struct CoreHooks {
  void (*osd_init)(void);
  void (*status_events_init)(void);
  void (*status_events_shutdown)(void);
  void (*stream_stop_all)(int quitting);
  void (*display_wakeup)(void);
  void (*flush_fifos)(void);
  void (*serial_global_quit)(void);
  void (*filesys_done)(void);
  void (*ntpd_stop)(void);
  void (*customzip_load)(void);
  void (*board_init_model)(void);
  int (*wifi_archive_extract)(void);
  void (*init_network)(void);
  // The gpio thread's: the USB keyboard and mouse scan every pass, and the
  // storage unmount before a suspend.
  void (*keyboard_scan)(void);
  void (*storage_unmount)(void);
  // The Wi-Fi bit of the device status word.
  void (*set_wifi_status)(int on);
};
extern CoreHooks core_hooks;

// The whole life of the process; returns the exit status.
int core_main(const ThreadSpec *table);
// The stub thread for subsystems not built yet: meets both rendezvous, waits
// for quit. The "overlay" stub also sets gui_started.
void *stub_thread_fxn(void *env);
void exit_actions(void);
// Stops every other running copy: creates "/rebooting", then once a pass
// sends each other copy SIGINT, or SIGKILL once that copy has ignored it for
// limit_passes passes. 1 when there were copies, else 0.
int kill_other_copies(unsigned pass_ms, unsigned limit_passes);
// The start-up's: a pass a second, 30 s for each copy.
int kill_other_instances(void);
struct Worker;
Worker *getWorker(void);
