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
