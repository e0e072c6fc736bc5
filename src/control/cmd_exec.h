// The device side of the control protocol: one decoded request in, its
// reply built in place. Every opcode is a row of one table (request fields
// with their ranges, the status-word guard, the status bits a success
// changes, whether the word ends even a failed reply) and its handler.
//
// Requests act through the rest of the system: DVR keys posted to the menu
// thread, live parameters, the overlay, storage and the status word. The DVR
// logic and the board sit above or beside this library and are reached
// through CmdHooks, filled by main.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/ctl_packet.h"

struct CmdHooks {
  // The DVR logic. NULL: the encoder's pause flag and the PlaybackState
  // word are set directly.
  void (*dvr_set_recording_state)(int recording, int paused);
  void (*dvr_set_playback_state)(int playing, int paused);
  // The file (in the source's recording directory) that the next
  // DVR_KEY_PLAY_FILE or DVR_KEY_VIEW_SNAPSHOT shows; 0, or non-zero when it
  // does not exist. NULL: only its existence is checked.
  int (*dvr_set_filename)(int source, const char *name);
  // 0 when the source's snapshot file can be shown, else non-zero. NULL:
  // only that it begins as a JPEG picture does.
  int (*snapshot_check)(int source, const char *name);
  // The recorder's next file name, waited for at most ms (NULL: the
  // recorder's own getRecordFilename).
  int (*record_filename)(char *buf, size_t size, int ms);
  // Posts a key that starts a recording or takes a snapshot and waits at
  // most ms for the DVR logic to act on it: CTL_OK when the recording or
  // the snapshot began, else the refusal's status (CTL_ERR_STATE when the
  // key was not acted on in time). NULL: the key is posted and taken.
  CtlStatus (*dvr_start)(uint32_t key, int ms);
  // The board.
  void (*board_set_power)(int on);
  void (*request_suspend)(void);
};
extern CmdHooks cmd_hooks;

// Runs the request in ex->request (read position behind the kind byte)
// and fills ex->reply, which the caller has started with ctl_init_reply.
// Calls are serialised: each transport has its own exchange.
void cmd_exec(CtlExchange *ex);
// After a handler's reads: false (and the reply status set) when the
// request ended early (3) or carried another error.
bool cmd_check_args(CtlExchange *ex);
// A non-zero result becomes the reply status, dropping the fields put so
// far, unless the handler had set that status itself before putting them;
// returns result.
CtlStatus cmd_set_result(CtlStatus result, CtlExchange *ex);

// One received frame of n bytes in ex->request.frame (delimiter included):
// decodes it, runs a request, and leaves the framed reply in
// ex->reply.frame. Returns the reply frame's length, or 0 when nothing is
// to be sent (a frame that does not decode, or a packet that is no request).
// A request longer than the buffer (n past its size: only the head was
// kept) is answered with status 162 alone.
size_t cmd_exec_frame(CtlExchange *ex, size_t n);

// Encoder pause of channel A and status bits 1 and 64 together.
void set_recording_state(int recording, int paused);

// The recording list is rebuilt on its next use (storage writers call it).
void cmd_file_list_stale(void);
// Empties the recording list (start-up) and frees it (shutdown).
void cmd_file_list_reset(void);
void cmd_file_list_release(void);
// Fills the image encoder's snapshot metadata hook.
void cmd_install_hooks(void);
