// Applying parameter changes: the pending change groups are acted on in one
// fixed order, and the action rows act at once when set. What they act on
// lives above core (streams, overlay, capture, display...) or in core modules
// of their own; both are reached through ParamApplyHooks, filled by main
// before the threads start. A NULL hook is skipped: its row then reads as
// empty, and setting an action row reports "Action not available".
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include "core/param_block.h"

struct ParamApplyHooks {
  // Change groups.
  void (*check_h264_mpeg4_conflict)(VideoChannelParams *channels, int channel);
  void (*stream_restart)(int id);
  void (*init_network)(ParamBlock *block);       // runs on a detached thread
  void (*osd_set_config)(int channel, const OsdTextConfig *config);
  void (*capture_apply_settings)(void);          // brightness ... forced modes
  // The display thread's record.
  void (*display_set_std)(int std);
  void (*display_set_run_mode)(int mode);
  int (*display_get_run_mode)(void);
  void (*display_set_output)(int output);
  void (*playback_set_audio_passthru)(int on);
  // Producers of stream ids and their status texts.
  int (*stream_running)(int id);
  void (*stream_set_state)(int id, int run);
  // Recording.State, once its batch is applied: the recording started and
  // stopped as the DVR keys do (NULL: the record stream is set directly).
  void (*record_set_state)(int run);
  // A producer's own status text, copied out; -1 when it keeps none
  // ("Streaming" or "Stopped" then).
  int (*stream_status_copy)(int id, char *buf, size_t size);
  // Recording.Status and Recording.Storage come from the recorder itself.
  int (*recording_status_text)(char *buf, size_t size);
  int (*recording_storage_text)(char *buf, size_t size);
  // Capture.
  int (*capture_frame_rate)(void);               // thousandths of a frame/s; 0 unknown
  void (*capture_size)(int channel, int *width, int *height);  // B: scaled; 0 unknown
  int (*capture_lock_state)(void);
  int (*capture_resolution_text)(char *buf, size_t size);
  uint32_t (*decoder_reg_read)(uint32_t reg);
  void (*decoder_reg_write)(uint32_t reg, uint32_t value);
  // Display transmitter.
  uint32_t (*hdmi_reg_read)(uint32_t reg);
  void (*hdmi_reg_write)(uint32_t reg, uint32_t value);
  // Overlay frame counter, DVR keys.
  void (*overlay_set_frame_counter)(uint32_t value);
  void (*dvr_post_key)(uint32_t key);
  // Board I/O.
  int (*gpio_get)(int n);
  void (*gpio_set)(int n, int value);
  uint32_t (*board_reg_read)(uint32_t reg);
  void (*board_reg_write)(uint32_t reg, uint32_t value);
  int32_t (*encoder_count_get)(int counter);
  void (*encoder_count_set)(int counter, int32_t count);
  // Processes, clock, firmware and the web bundle.
  void (*telnet_enable)(const char *value);
  int (*firmware_version_text)(char *buf, size_t size);
  const char *(*firmware_status_take)(void);
  int (*customzip_clear)(void);
  int (*customzip_size)(void);
};
extern ParamApplyHooks param_apply_hooks;

// Acts on the pending change groups and clears them.
void param_apply_changes(void);

// The display record, through the hooks.
void updateDisplayFromParams(void);
void setDisplayStd(int standard);
void setDisplayPowerOff(void);
void setDisplayIdle(void);
void startDisplayPassthru(void);

// The address text of the active network (NULL before a network change set
// it, or with NetworkMode 0).
const char *param_current_ip(void);
