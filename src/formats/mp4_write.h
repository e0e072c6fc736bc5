// MP4 writer: H.264 (or MPEG-4 visual) and AAC frames into an MP4 file
// (ftyp, optional 'skip' with caller data, one growing mdat, and a moov with
// complete sample tables written by mp4_finish), or, with a memory window set
// by mp4_buf_put before the first sample, one 'mdat' box per sample into the
// caller's window.
//
// File use, in this order:
//   m = mp4_new();
//   mp4_video_track_create(m, MP4_FOURCC('a','v','c','1'), 90000, frame ticks, 0, w, h, profile, level);
//   mp4_audio_track_create(m, MP4_FOURCC('m','p','4','a'), 90000, frame ticks, 0, rate, channels);
//   mp4_set_interleave(m, 45000);
//   mp4_set_file(m, f);                  // opened "w+b"
//   mp4_write_header(m, user_data, len); // optional
//   mp4_set_max_size(m, bytes);          // optional
//   mp4_set_mirror_file(m, f2);          // optional
//   per frame: mp4_write_track(m, 1, annexb, len, ticks since the previous
//   frame), then the AAC (ADTS or raw) frames up to that time with
//   mp4_write_track(m, 2, ...); check mp4_get_error after each;
//   mp4_finish(m); mp4_delete(m);
// Errors: 2 allocation, 3 no room for the moov after a write failure, 8 write
// failure, 9 maximum size reached (the sample was not written).
#pragma once
#include "formats/mp4_box.h"

// Sets the compressor name put into video sample entries (at most 32
// characters; NULL changes nothing). Process-wide.
void mp4_set_compressor_name(const char *text);
const char *mp4_get_compressor_name(void);

// Adds a video track ('avc1', 'mp4v', 'jpeg' or 'mp2v'); returns its id, 0
// on failure (error 2).
uint32_t mp4_video_track_create(Mp4Muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration,
                                uint32_t spare, uint32_t width, uint32_t height, uint32_t profile,
                                uint32_t level);
// Adds an AAC audio track ('mp4a'); returns its id, 0 on failure.
uint32_t mp4_audio_track_create(Mp4Muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration,
                                uint32_t spare, uint32_t rate, uint32_t channels);
// User data for the moov: a 'uuid' box under 'udta' whose extended type is
// uuid (16 bytes) and whose payload is a copy of data. Before the first
// sample; length 0 removes it. 0, or -1 (error 2) when it cannot be kept.
int mp4_set_user_data(Mp4Muxer *m, const uint8_t uuid[16], const void *data, uint32_t length);

// ftyp when nothing has been written yet, then a 'skip' box with data when
// length is not 0. 0, or -1 when the handle holds an error.
int mp4_write_header(Mp4Muxer *m, const void *data, uint32_t length);
// Adds one sample of duration ticks (track timescale); results only through
// the error code.
void mp4_write_track(Mp4Muxer *m, uint32_t track, const void *data, uint32_t len, uint32_t duration);
// Completes the file (or writes the streaming moov when no sample came).
// 0, or -1 when the handle holds an error.
int mp4_finish(Mp4Muxer *m);
// Stores the SPS and PPS (or the MPEG-4 VOL header) found at the start of a
// frame and refreshes the video sample entry.
void mp4_set_parameter_data(Mp4Muxer *m, const uint8_t *data, uint32_t len);
