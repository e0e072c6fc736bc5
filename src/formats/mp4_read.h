// MP4 reader for file playback: walks one video track (and at most one audio
// track) sample by sample, forward or backward, after a seek, without
// reading sample data: each sample is reported through the handle's sample
// callback as (file offset, decode time, size, flags: 1 sync sample, 2 audio
// sample). Times leaving the reader and seek targets are 90 kHz ticks
// whatever the tracks' timescales.
//
// Use: m = mp4_new_reader(); mp4_set_file(m, stream opened "rb");
// mp4_set_sample_callback(m, cb); optionally mp4_seek(m, time); then
// mp4_play(m) or mp4_play_reverse(m) until -1; mp4_delete(m). The moov is
// read on the first seek or play.
#pragma once
#include <cstddef>

#include "formats/mp4_box.h"

// Samples one play step reports at most, and samples in a row a track may
// hold without its time advancing: beyond either the file is refused (bad
// input), so that no file makes one call run for long.
#define MP4_PLAY_MAX_SAMPLES 4096

// Whether the file can be played: a moov that reads, not fragmented (the
// reader walks only the moov's sample tables), a video track of H.264
// ('avc1', 'avc3') or MPEG-4 ('mp4v') samples, and at least one of them.
// 0, or -1 with the reason in why (size bytes).
int mp4_read_check(Mp4Muxer *m, char *why, size_t size);

// Seeks the video track back to the last sync sample that starts before
// time, the audio track to that sample's time. 0, or -1.
int mp4_seek(Mp4Muxer *m, uint64_t time);
// Delivers the audio samples that start up to the next video sample, then
// that video sample. 0 while samples remain, -1 at the end or on failure.
int mp4_play(Mp4Muxer *m);
// The mirror image: the previous video sample and the audio after it.
int mp4_play_reverse(Mp4Muxer *m);
// Video decoder configuration: 00 00 00 01 SPS 00 00 00 01 PPS for 'avc1',
// the DecoderSpecificInfo for 'mp4v'. Size 0 when there is none.
uint32_t mp4_get_parameter_size(Mp4Muxer *m);
void mp4_get_parameter_data(Mp4Muxer *m, uint8_t *buffer);

// Rewrites the NAL length prefixes of an 'avc1' sample of len bytes into
// 4-byte start codes in place (the track's avcC says the prefixes are 4
// bytes). 0, or -1 when a length runs past the sample (nothing after it is
// rewritten).
int mp4_sample_to_annexb(uint8_t *data, uint32_t len);
// The 7-byte ADTS header for a raw AAC sample of the audio track of size
// bytes, built from its esds configuration. 0, or -1 when the track has no
// usable AudioSpecificConfig.
int mp4_adts_header(Mp4Muxer *m, uint32_t size, uint8_t *header);
