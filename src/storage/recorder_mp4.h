// The MP4 side of a recording: the consumer's Mp4Muxer writes straight to
// the recording's files.
#pragma once
#include <cstdint>
#include <cstdio>

#include "media/video_enc.h"

struct StreamState;

// Sets up the muxer of an attached MP4 consumer: tracks, primary file,
// mirror file (or NULL), the descriptors under them (streams of the
// volume's I/O), size limit (0: none). 0 or -1.
int recorder_mp4_setup(StreamState *state, uint8_t mode, FILE *primary, int primary_fd, FILE *mirror,
                       int mirror_fd, uint64_t size_limit, uint32_t video_duration, uint32_t audio_duration);
// Gets what the writer holds buffered onto the volume; a failure shows as
// the writer's error. 0 or -1.
int recorder_mp4_flush(StreamState *state);
// The writer's error code after a dequeue (0: none) and its text.
int recorder_mp4_error(StreamState *state);
const char *recorder_mp4_error_text(int code);
// The size the file would have if it ended now: what is written, the audio
// waiting to be interleaved, the index and the writer's own margin.
uint64_t recorder_mp4_projected_size(StreamState *state);
// Whether the MP4 file on fd holds any sample data: false only when its
// top-level boxes show headers alone (no mdat, or an mdat that ends where
// its payload would begin); true when that cannot be told (a read fails).
bool recorder_mp4_file_has_media(int fd);
// The recording metadata block, owned by the control protocol: fn is called
// with the block under its lock. When its flag is set it goes into each MP4
// recording's moov as user data: udta/uuid with RECORDER_META_UUID.
extern void (*recorder_metadata)(SnapshotMetaFn fn, void *arg);
extern const uint8_t RECORDER_META_UUID[16];

// The writer's error for "maximum size reached".
enum { RECORDER_MP4_MAX_SIZE = 9 };
