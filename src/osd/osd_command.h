// Overlay commands: what installs, moves, shows and hides the slots of
// channels 0 and 1, sets a channel's text or the clock. Sent by the web
// overlay upload and the control protocol; images are decoded on the Worker.
//
// Command data (multi-byte values little endian):
//   "RLE " / "RLEA"  u16 width, u16 height, 2 reserved bytes, then the runs
//                    (slot type 1 or 2)
//   "TEXT"           u16 attribute (bits 0-1 font, 2-3 style, 4-9 date
//                    format, 10-12 time format), then up to 160 message bytes
//   "TIME"           16 bytes: u32 seconds since 1970 at 4, u32 microseconds
//                    at 12
//   anything else    a PNG or BMP file
// A command of 0 to 4 bytes carries no data: 3 moves the slot, 0 hides it,
// 1 and 2 show its run-length image again as that type, 4 its text.
#pragma once
#include <cstddef>
#include <cstdint>
#include "osd/osd_slot.h"

struct Worker;

struct OverlayCommand {
  uint8_t *data;        // heap bytes (malloc); osdCommand takes them
  uint32_t len;
  int32_t x, y;
  uint32_t width, height;
  uint32_t target;      // bits 0-3 slot, bits 4-5 channel
  uint32_t opacity;     // eighths for run-length images; above 9: decode into the DMA buffer
  uint32_t type;        // result: the slot type installed
};

// Runs one command (below 5 bytes at once; images as a Worker job).
void osdCommand(OverlayCommand *command);
// Whether osdCommand will act on a command, asked before it is sent (the
// web upload and the control protocol answer with it): 0, or -1 with the
// reason in why (size bytes). An image is decoded whole here to know; one
// placed wholly outside every frame its channel draws (the current one and
// its stream's set size, where known) is refused.
int osd_command_check(const OverlayCommand *command, char *why, size_t size);
// The Worker job of an image command (an OverlayCommand of its own, heap).
void osdDecodeImage(void *job);

// Channel 0's slot holds text: a live text (type 4), or, for styles that
// never change (0 and 5 without '^' tokens, and 6), text burned into the
// DMA buffer (type 3), burned again when the frame geometry changes. A NULL
// text clears the slot; a slot of 16 or more only re-clips the channel's
// own text.
void osdSetText(int slot, int x, int y, const char *text, int font, int style);
// Frees channel 0's slot; a slot of 16 or more switches its own text off.
void osdClearSlot(int slot);

// The Worker image jobs go to (NULL: the process's; with none, they run on
// the caller's thread).
void osd_set_decode_worker(Worker *worker);
