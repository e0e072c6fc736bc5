// The board's audio codec set-up through the simple mixer of card "hw:0":
// output routing and volume, input selection, capture gains, AGC and mute;
// and the raw mixer page of the web server.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/framework/audio_engine.h"

// agc: bit 0 left, bit 1 right; bits 2 and 3 disable the MIC or LINE path of
// the generic routing. mute: bit 0 left, bit 1 right. Output devices (mode 0
// or 2) get the output volume, input devices (mode 1 or 2) the input and its
// gains. 0, or -1 when the mixer cannot be opened (the next call tries again).
int setMixerVolume(const SoundAttrs *attrs, int agc, int mute);

// Writes every mixer control as an HTML form of at most size bytes (always
// NUL-terminated); returns the length written, 0 when the mixer cannot be
// opened.
int mixer_form_print(char *buffer, size_t size);
// Applies one posted field "<element>_<channel>_vol" or "<element>_<channel>_sw".
// A value that is not a whole number is ignored.
void mixer_form_apply(const char *key, const char *value, size_t valueLength);

// The board model the mixer routes for: set by the capture thread at its
// start; 0 means the model of board_identity.
extern volatile uint32_t audio_model;
