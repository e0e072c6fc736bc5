// Inside the dispatcher: what a handler gets and the handlers of each
// request family.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/ctl_packet.h"

struct ParamBlock;

// A request's fields, read by the dispatcher in the row's order.
struct CmdArgs {
  int64_t n[4];            // numeric fields
  const char *s[2];        // strings (inside the request packet)
  const uint8_t *raw;      // raw bytes to the end of the request
  size_t raw_len;
  CtlPacket *reply;        // reply fields go here, before the status word
  const char *reason;      // the status change's reason (guarded rows)
  char text[128];          // handler's own space, e.g. for the reason
};
typedef CtlStatus (*CmdHandler)(CmdArgs *a);

// The live parameter block the handlers write.
ParamBlock *cmd_params(void);
// Posts a DVR key to the menu thread (dropped when nothing takes keys).
void cmd_post_key(uint32_t key);
// Request storage selector 1 or 2 as a StorageSource.
int cmd_source(int64_t selector);

#define CMD_HANDLER(name) CtlStatus name(CmdArgs *a)

// Files, metadata and firmware.
CMD_HANDLER(cmd_append_record_metadata);
CMD_HANDLER(cmd_enable_record_metadata);
CMD_HANDLER(cmd_append_snapshot_metadata);
CMD_HANDLER(cmd_enable_snapshot_metadata);
CMD_HANDLER(cmd_update_firmware);
CMD_HANDLER(cmd_save_log);
CMD_HANDLER(cmd_file_count);
CMD_HANDLER(cmd_storage_space);
CMD_HANDLER(cmd_file_name);
CMD_HANDLER(cmd_file_delete);
CMD_HANDLER(cmd_file_rename);
CMD_HANDLER(cmd_file_info);
CMD_HANDLER(cmd_open_file);
CMD_HANDLER(cmd_close_file);
CMD_HANDLER(cmd_read_file);
CMD_HANDLER(cmd_write_file);

// Overlay lines and images, media settings, distance encoders, menu keys.
CMD_HANDLER(cmd_set_osd_text);
CMD_HANDLER(cmd_set_osd_position);
CMD_HANDLER(cmd_set_osd_enable);
CMD_HANDLER(cmd_set_osd_background);
CMD_HANDLER(cmd_set_osd_datetime_format);
CMD_HANDLER(cmd_get_osd_datetime_format);
CMD_HANDLER(cmd_get_osd);
CMD_HANDLER(cmd_image_alloc);
CMD_HANDLER(cmd_image_chunk);
CMD_HANDLER(cmd_image_commit);
CMD_HANDLER(cmd_set_capture_adjust);
CMD_HANDLER(cmd_get_capture_adjust);
CMD_HANDLER(cmd_set_capture_input);
CMD_HANDLER(cmd_get_capture_input);
CMD_HANDLER(cmd_set_capture_mode);
CMD_HANDLER(cmd_get_capture_mode);
CMD_HANDLER(cmd_set_audio_input);
CMD_HANDLER(cmd_set_volume);
CMD_HANDLER(cmd_set_mute);
CMD_HANDLER(cmd_set_agc);
CMD_HANDLER(cmd_get_audio);
CMD_HANDLER(cmd_set_encoder_count);
CMD_HANDLER(cmd_get_encoder_count);
CMD_HANDLER(cmd_set_encoder_scalar);
CMD_HANDLER(cmd_set_offboard_encoder);
CMD_HANDLER(cmd_get_encoder_scalar);
CMD_HANDLER(cmd_menu_reset);
CMD_HANDLER(cmd_menu_up_down);
CMD_HANDLER(cmd_menu_select);
CMD_HANDLER(cmd_menu_escape);
