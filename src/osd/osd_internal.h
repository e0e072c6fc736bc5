// Shared by the overlay compositor's files only.
#pragma once
#include <cstddef>
#include "osd/osd_channel.h"

// The A/V-sync readout: switched on by a configuration whose Message is
// "avsync"; shows the difference of two 90 kHz timestamps.
int osd_avsync_active(void);
void osd_avsync_text(char *out, size_t size);

// Copies the channel's live configuration into the one this frame is drawn
// with (shown, message) and places its text (under the channel's lock).
void osd_channel_snapshot(OsdChannel *ch);

// The channel's text target for frame (under the channel's lock).
struct OsdTextTarget;
void osd_channel_target(const OsdChannel *ch, uint8_t *frame, OsdTextTarget *out);

// The text placement of cfg in the channel's frame (clamped position, byte
// offset, characters per line), without touching cfg or the channel.
void osd_place_text(const OsdChannel *ch, const OsdTextConfig *cfg, uint32_t *x, uint32_t *y, uint32_t *offset,
                    int32_t *chars_per_line);
// The frame's width in pixels and bytes per pixel by layout.
uint32_t osd_frame_width(const OsdChannel *ch);
int osd_bytes_per_pixel(const OsdChannel *ch);
// True when a rectangle lies in the frame and its bytes (luma and, for NV12,
// chroma) in the channel's DMA buffer.
bool osd_dma_rect_ok(const OsdChannel *ch, int32_t x, int32_t y, uint32_t w, uint32_t h);
// Cuts a DMA-image slot to the frame; false when nothing (or too much for
// the buffer) is left.
bool osd_clip_dma_slot(const OsdChannel *ch, OverlaySlot *s);
// After a change of the channel's geometry or DMA buffer: the images and
// burned-in texts of the DMA buffer, laid out for the old frame, are drawn
// again from what their slots keep (under the channel's lock).
void osd_reburn_slots(OsdChannel *ch);
