// Per-frame overlay compositing of the capture channels, on the Worker that
// then publishes the frame.
#pragma once
#include <cstdint>
#include "osd/osd_channel.h"

// Burns channel's text (and its slots) into one raw frame, in the layout the
// channel was given by osdSetFormat (virtual and physical address of the same
// frame), and counts the frame.
void osdComposite(int channel, uint8_t *frame, uint32_t frame_phys);
// Renders text into frame at the channel's text position with the channel's
// configuration ("No video lock" on blank frames).
void osdDrawText(int channel, uint8_t *frame, const char *text);
// Draws a text slot's configuration into frame (its own font, style and
// place; the channel's date and time formats).
void osdDrawTextSlot(int channel, uint8_t *frame, const OsdTextConfig *config);
