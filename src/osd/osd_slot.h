// The sixteen overlay slots of a channel and the payloads they hold.
//
// A slot's data (run-length bytes, or a text slot's OsdTextConfig) is a
// reference-counted block: channel 3 holds copies of channel 0's slots, and
// a copy stays valid when channel 0 frees or replaces its own.
#pragma once
#include <cstddef>
#include <cstdint>

#define OSD_SLOTS 16

enum {
  OSD_SLOT_EMPTY = 0,   // empty or hidden
  OSD_SLOT_RLE = 1,     // "RLE ": shade and luma-level operations
  OSD_SLOT_RLEA = 2,    // "RLEA": levels blended by the slot's opacity
  OSD_SLOT_DMA = 3,     // a rectangle of the channel's overlay DMA buffer
  OSD_SLOT_TEXT = 4,    // a live text (data is an OsdTextConfig)
};

struct OverlaySlot {
  uint8_t *data;        // a payload (osd_payload_new), or NULL
  uint32_t len;         // bytes of run-length data
  int32_t x, y;         // top-left corner; run-length images may start off the frame
  uint32_t width, height;
  uint32_t reserved;
  uint32_t opacity;     // eighths of the image's weight (type 2)
  uint32_t type;
};

// Payload kinds besides the slot types.
enum {
  OSD_PAYLOAD_IMAGE = 8,  // the file an image in the DMA buffer was decoded from
};

// A zeroed payload of size bytes with one reference, holding data of a kind
// (OSD_SLOT_RLE for run-length bytes of either type, OSD_SLOT_TEXT,
// OSD_SLOT_DMA for what a text burned into the DMA buffer is made from,
// OSD_PAYLOAD_IMAGE); NULL without memory.
uint8_t *osd_payload_new(size_t size, int kind);
// The kind given when it was made (0 for NULL).
int osd_payload_kind(const uint8_t *data);
// One more reference (data may be NULL).
uint8_t *osd_payload_ref(uint8_t *data);
// Drops a reference; the last one frees the block (data may be NULL).
void osd_payload_unref(uint8_t *data);
