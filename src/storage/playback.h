// File playback: the "output_hd" thread plays one recorded file (MP4, TS or
// JPEG / motion JPEG) at a time to the monitor. The DVR logic names the file
// (playback_set_filename), sets the playback words and starts OUTPUT_STREAM;
// the thread feeds compressed video frames into the display's decoder-input
// FIFOs and AAC frames into the audio playback thread's FIFOs. decodeMain,
// run by the display thread in its playback mode, decodes the frames onto the
// HD output.
//
// Storage knows no display header: the display's calls, mode and FIFOs reach
// playback through playback_display_ops, which main fills.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/global.h"
#include "platform/framework/dmai.h"

struct PlaybackEnv;

// PlaybackState values.
enum : int32_t {
  PLAYBACK_PLAYING = 0,
  PLAYBACK_PAUSED = 1,
  PLAYBACK_END = 2,          // end of file
  PLAYBACK_ERROR = 3,        // file not playable
  PLAYBACK_UNSUPPORTED = 4   // the output cannot show the picture size
};
// TrickMode values; any other value is a pending relative seek of that many
// 90 kHz ticks, set back to 0 by the reader when it takes it.
enum : int32_t { TRICK_NONE = 0, TRICK_FAST_FORWARD = 1, TRICK_REWIND = -1 };

// The playback words, written by the DVR logic and by the readers.
extern std::atomic<int32_t> PlaybackState;
extern std::atomic<int32_t> TrickMode;
// Set with a new playback: a reader may deliver a frame while PlaybackState
// is not 0; cleared once a frame was delivered and on failure.
extern std::atomic<int32_t> playback_loading;

// The file the next start of OUTPUT_STREAM plays ("" or NULL: none).
void playback_set_filename(const char *path);
// Copies the current file name into out (size bytes, always terminated).
void playback_get_filename(char *out, size_t size);
// 90 kHz time stamp of the last video frame handed to the decoder.
uint64_t playback_position(void);
// 1 while a reader runs.
int playback_playing(void);
// 90 kHz clock (timestamp_now) when the first JPEG picture of the current
// playback was shown; 0 before.
uint32_t playback_first_picture_time(void);

// The decoder-input descriptor: a reference buffer into bigbuf holding one
// compressed frame (bytes used), its time stamp and flags.
enum : uint32_t { PLAYBACK_FRAME_KEY = 32 };
struct PlaybackFrame {
  Buffer_Handle buf;
  uint64_t timestamp;   // 90 kHz
  uint32_t flags;
};

// The display run mode in which decodeMain runs.
enum { PLAYBACK_DISPLAY_MODE = 4 };

struct PlaybackDisplayOps {
  Fifo_Handle free_fifo;   // empty PlaybackFrames
  Fifo_Handle full_fifo;   // filled ones, for the decoder
  int (*get_mode)(void);
  void (*set_mode)(int mode);
  // The two pass-through settings saved and zeroed while a file plays:
  // 0 the forced height, 1 the pass-through colour space.
  int32_t (*get_setting)(int which);
  void (*set_setting)(int which, int32_t value);
  void (*wakeup)(void);
  // 1 when fifo has an entry, 0 after 250 ms, negative on error; buffers the
  // output released meanwhile have their use value 2 cleared.
  int (*poll_wait)(Fifo_Handle fifo);
  // Re-creates the output for pictures of that geometry; negative when it
  // cannot show them.
  int (*set_resolution)(int width, int height, int line_length, int fps, BufTab_Handle bufs,
                        int chroma_offset);
  // Queues buf showing the picture at picture; negative on failure.
  int (*queue_buffer)(Buffer_Handle buf, void *picture, uint64_t timestamp);
  // Frame rate of the output in Hz (0 without one).
  int (*get_fps)(void);
  // Deletes the output set_resolution made (before its pictures go away).
  void (*close_output)(void);
};
extern PlaybackDisplayOps playback_display_ops;

// The "output_hd" thread record.
struct OutputEnv {
  ThreadEnv env;                       // first: the thread table hands this out
  const char *engine;                  // codec engine name
  std::atomic<int32_t> status;         // -1 when the thread could not start
  std::atomic<int32_t> stream_mode;    // of the file playing: 13 MP4, 0 TS, 3 JPEG
  PlaybackEnv *audio;                  // the audio playback thread's record
};

// Whether the player can open the file f reads (fd the descriptor under
// it, name telling its kind by the extension): 0, or -1 with the reason in
// why (size bytes). f is left anywhere.
int playback_check_file(FILE *f, int fd, const char *name, char *why, size_t size);

// Checked before a JPEG file is shown: the PlaybackState its first picture
// would end with for want of being one the playback decodes (read from fd,
// at most one input descriptor of it): PLAYBACK_ERROR for no JPEG picture
// or one of another subsampling than 4:2:0 and 4:2:2, PLAYBACK_UNSUPPORTED
// for one too large for the playback memory; else 0 with the picture's
// size as the output gets it (even).
int playback_jpeg_check(int fd, int *width, int *height);

void *playback_file(void *env);
// Decodes the frames of the full FIFO onto the output while the display is
// in PLAYBACK_DISPLAY_MODE; returns when playback output ends.
int decodeMain(void);
