// Per-frame overlay compositing of the capture channels. Until the overlay
// compositor exists these draw nothing; the capture path calls them exactly
// where the overlays are to be drawn.
#pragma once
#include <cstdint>

// Burns channel's text and slots into one raw frame (virtual and physical
// address of the same frame).
void osdComposite(int channel, uint8_t *frame, uint32_t frame_phys);
// Renders text into frame at the channel's text position.
void osdDrawText(int channel, uint8_t *frame, const char *text);
// The frame layout of a channel: layout 2 for UYVY frames, 0 otherwise.
void osdSetFormat(int channel, uint32_t width, uint32_t lines, int layout, uint32_t pitch);
// The channel's overlay DMA buffer.
void osdSetDMA(int channel, uint8_t *virt, uint32_t phys);
