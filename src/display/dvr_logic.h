// The DVR logic: the one place where recording (stream 13), snapshots
// (stream 14), playback (OUTPUT_STREAM) and the menu screens start and stop.
// It runs on the OSD/menu thread: gui_start once, then dvr_tick until quit.
// Other threads post keys (dvr_keys.h) or change parameters.
#pragma once
#include <cstdint>

#include "control/ctl_packet.h"
#include "display/osd_display.h"
#include "storage/filesys.h"

// The menu thread's own state beside the key mailbox.
struct GuiState {
  uint8_t recording;          // 1 while recording
  int32_t paused;             // the recording is paused
  uint32_t record_start;      // 90 kHz clock at the start
  int32_t last_std;           // the display standard seen last
  int32_t playback_source;    // set by dvr_set_filename: 0 int, 1 ext, 2 SD
  char playback_name[FILESYS_NAME_MAX + 1];
  int32_t storage_row;        // the storage prompt's row chosen last
  uint8_t distance_set;       // an encoder distance was entered
  int32_t distance;           // its count
};
extern GuiState gui_state;

// Splash screen, language, the first status line, the USB self-test; sets
// gui_started.
void gui_start(GuiContext *ctx);
// Waits up to 1 s for a key and acts on it.
void dvr_tick(GuiContext *ctx);

// Store the state, set the status bits and wake the menu thread.
void dvr_set_recording_state(int recording, int paused);
void dvr_set_playback_state(int playing, int state);
// The file (in the device's recording directory) that DVR_KEY_PLAY_FILE or
// DVR_KEY_VIEW_SNAPSHOT shows next: 0 when it exists, else 5 (also for a
// refused name or a device outside 0-2).
int dvr_set_filename(int device, const char *name);

// 1 when recording was started.
int start_recording(GuiContext *ctx);
void stop_recording(GuiContext *ctx);
void take_snapshot(GuiContext *ctx);
// The chosen device code (0 both, 1 int, 2 ext, 4 SD), or -1.
int set_recording_storage_device(GuiContext *ctx, int64_t *free_bytes);
// Plays the browse source's file name; 0 (stay in the list).
int play_video_action(GuiContext *ctx, const char *name);
// Whether the source's snapshot file can be shown, asked before anything
// changes: 0, or the PlaybackState showing it would end with (logged).
int snapshot_check(int source, const char *name);
// Shows a snapshot: 0 back to the list, 2 next file, 3 previous file. A
// file snapshot_check refuses is only named in a notice.
int view_snapshot_action(GuiContext *ctx, const char *name);
// ExitCode 2 and the quit broadcast.
void request_reboot(void);
// The control protocol's start of a recording or a snapshot: posts the key
// and waits at most ms for the outcome (CtlStatus: 0 began, 169 no
// storage, 170 no video, 4 not acted on in time).
CtlStatus dvr_start(uint32_t key, int ms);
// Recording.State from a form: started or stopped through the keys.
void dvr_request_recording(int run);

// Points the storage manager's keys, the control requests and the toolkit's
// recording queries at the logic.
void dvr_logic_install_hooks(void);
