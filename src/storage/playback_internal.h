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
// The bytes of bigbuf behind the input descriptors, which pictures share.
size_t playback_picture_space(void);
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

// How a JPEG picture of a file is shown. The output and the frame copier
// take even sizes only: a picture of odd width or height is shown one
// column or line larger, the last one repeated (even_w x even_h). The
// decode goes to planes padded to 16 bytes a line (planar_size), the
// output gets 4:2:2 as UYVY or 4:2:0 as NV12 (line, chroma_offset,
// out_size); one picture buffer holds either (picture_size).
struct JpegLayout {
  int width, height, subsamp;
  int even_w, even_h;
  int line, chroma_offset;
  size_t planar_size, out_size, picture_size;
};
enum { JPEG_LAYOUT_OK = 0, JPEG_LAYOUT_SUBSAMPLING = -1, JPEG_LAYOUT_TOO_BIG = -2 };
// The layout of a picture of width x height (as its header gives them) and
// TurboJPEG subsampling: JPEG_LAYOUT_SUBSAMPLING for anything but 4:2:2 and
// 4:2:0, JPEG_LAYOUT_TOO_BIG when the four pictures playback needs do not
// fit the playback memory.
int jpeg_layout(int width, int height, int subsamp, JpegLayout *l);
// Decodes the JPEG (TurboJPEG handle tj) into the planes of l at base,
// which holds l->planar_size bytes; an odd last column or line is
// repeated. 0, or -1 when TurboJPEG fails.
int jpeg_to_planes(void *tj, const uint8_t *data, unsigned long len, const JpegLayout *l, uint8_t *base);
