// Shared by the playback reader and the playback decoding.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/framework/codec_engine.h"
#include "platform/framework/dmai.h"

// Frame-rate evidence of the file playing: the time-stamp differences of its
// video frames that look like 25 or 30 fps. Reset for every file.
struct PlaybackRates {
  uint64_t last;
  uint32_t count25, count30;
};
extern PlaybackRates playback_rates;
// 25 when the file shows more 25 than 30 fps evidence, else 30.
int playback_fps(void);

struct OutputEnv;
// The running "output_hd" record (NULL before it starts).
extern OutputEnv *playback_output;

// The codec engine of "output_hd" (NULL when it did not open).
extern Engine_Handle playback_engine;

// Pictures of picture_size bytes carved out of bigbuf behind the three input
// descriptors, every use mask clear; NULL without bigbuf.
BufTab_Handle playback_buftab_create(size_t picture_size);
void playback_note_first_picture(uint32_t clock90k);

// Hand-over between the reader and the decoding: every file the reader
// starts has a new generation; a decoding loop serves the generation it
// started with and leaves when another one starts. The reader starts a file
// only once no decoding of an older generation runs (0 = none runs).
uint32_t playback_generation(void);
void playback_set_decoder_generation(uint32_t generation);

// The decoding loops decodeMain runs: H.264 through the codec engine, JPEG
// through TurboJPEG.
void decodeVideoThread(void);
void decodeImageThread(void);
// A free output picture of tab; while none is free the output is given time
// to release one. NULL at quit or once the display leaves the playback mode.
Buffer_Handle wait_free_display_buffer(BufTab_Handle tab);

// JPEG frames in a file of them, at p (which starts with FF D8): the end of
// the frame, past its FF D9, or 0 when it does not end within n bytes.
// Segments are skipped by their length up to the scan, so that an embedded
// thumbnail does not end it.
size_t jpeg_frame_end(const uint8_t *p, size_t n);
// Offset of the next FF D8 FF at or after from; n when there is none.
size_t jpeg_next_start(const uint8_t *p, size_t n, size_t from);
