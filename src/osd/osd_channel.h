// The four overlay channels: what is burned into the frames of one stream of
// raw frames. Channel 0 follows the Video[0].OSD. parameters, 1 the
// Video[1].OSD. ones, 2 the Display.OSD. ones; channel 3 shares channel 0's
// configuration record.
//
// Each composite pass draws from a copy of the channel's configuration taken
// when it starts (also refreshed whenever the channel is configured): the
// parameter store and the control threads write the live record field by
// field at any time, and the Message, font, style and formats take effect
// without a re-apply. One frame never mixes two configurations, and the text
// is placed for the font it is drawn with. Each channel's lock (recursive)
// is held by a composite pass for the whole frame and by every change of the
// channel; a writer that changes several fields of the live record at once
// may hold it too.
#pragma once
#include <cstdint>
#include <pthread.h>
#include "core/param_block.h"
#include "osd/osd_slot.h"

#define OSD_CHANNELS 4
#define OSD_MESSAGE_LEN 160
#define OSD_TEXT_MAX 179

// Frame layouts.
enum {
  OSD_LAYOUT_NV12 = 0,       // luma plane, then lines/2 lines of interleaved chroma
  OSD_LAYOUT_UYVY = 2,       // U Y0 V Y1 per pixel pair
  OSD_LAYOUT_RGB32 = 3,      // 4 bytes per pixel
  OSD_LAYOUT_RGB16 = 4,      // 2 bytes per pixel
  OSD_LAYOUT_NV12_LUMA = 9,  // drawn as NV12
};

struct OsdChannel {
  OsdTextConfig *config;     // the live configuration record (not owned)
  const VideoChannelParams *stream;  // the settings of the stream it draws into (NULL: none)
  uint32_t text_offset;      // byte offset of the text's top-left pixel
  uint32_t pitch;            // bytes per frame line
  uint32_t lines;
  uint32_t layout;
  int32_t chars_per_line;    // cells between the text's left edge and the right edge
  char text[OSD_TEXT_MAX + 1];  // the text as formatted for the current frame
  uint32_t frame_count;      // frames composited on this channel
  OverlaySlot slots[OSD_SLOTS];  // drawn after the text, in index order
  uint8_t *dma_virt;         // the overlay DMA buffer (NULL: none)
  uint32_t dma_phys;
  size_t dma_size;
  OsdTextConfig shown;       // the configuration this frame is drawn with
  char message[OSD_MESSAGE_LEN + 1];  // its Message, always NUL-ended
  pthread_mutex_t lock;
};

// The channel record (NULL outside 0 to 3), for reading under its lock.
OsdChannel *osd_channel(int channel);

// Zeroes the channels and points them at the configurations in block.
// Called once before any thread starts.
void osdInit(ParamBlock *block);
// osdInit on the live parameter block, and fills the parameter-application
// hooks (the overlay configuration and the frame counter). For
// core_hooks.osd_init.
void osd_start(void);

// The frame geometry of a channel (width is not kept: the pitch decides).
void osdSetFormat(int channel, uint32_t width, uint32_t lines, int layout, uint32_t pitch);
// The channel's overlay DMA buffer of size bytes (NULL: none). Images and
// texts held in the buffer (type-3 slots) are drawn again into the new one,
// as they are for a new frame geometry.
void osdSetDMA(int channel, uint8_t *virt, uint32_t phys, size_t size);
// Applies a changed configuration to the channel (its own record, whatever
// config points at, and every channel sharing that record).
void osdSetConfig(int channel, const OsdTextConfig *config);
// Copies channel from's slots over to's (sharing their data; an image in
// from's DMA buffer stays behind unless to has the same buffer) and its
// configuration (when the records differ), and re-clips to.
void osdCopyChannel(int from, int to);
// Clamps config's position into the channel's frame (written back into
// config) and sets the channel's text offset and characters per line.
void osdClipText(int channel, OsdTextConfig *config);
// The size in pixels of a text: lines end at '\n'.
void osdTextExtent(const char *text, int cell_w, int cell_h, int *out_width, int *out_height);

// The box of the channel's formatted text (all 0 when it has no font).
void osdGetTextBox(int channel, int *x, int *y, int *width, int *height);
// The first line of the channel's text and its last pixel line.
void osdGetTextLines(int channel, int *first, int *last);
// Sets the channel's frame counter (the '^c' token).
void osdSetFrameCounter(int channel, uint32_t value);
