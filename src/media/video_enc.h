// The video encoder threads "videoA" (channel 0) and "videoB" (channel 1).
// Each is a raw consumer of a capture stream and the producer of
// VIDEO_STREAM1 or VIDEO_STREAM2: H.264 on "h264enc", or JPEG pictures on
// "jpegenc", coded straight into space reserved in the channel's own ring.
// Channel 1 is also the snapshot encoder: its JPEG pictures are coded from
// the resizer's output B, whatever channel 0 does meanwhile.
//
// Lock order: codec_mutex around every encoder call, framecopy_mutex inside
// it on the JPEG paths.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/global.h"
#include "core/param_block.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "media/stream_state.h"
#include "platform/framework/codec_engine.h"

enum { VIDEO_MAX_OUTPUT = 1 << 20 };   // bytes of one access unit or picture

// One channel's record, created by main (the thread table's argument).
struct VideoEncParams {
  ThreadEnv env;                 // first: the thread table hands this out
  VideoChannelParams *settings;  // Video[index] of the live block
  int index;
  const char *codec;             // "h264enc", "jpegenc" or NULL
  uint32_t max_output;           // bytes reserved for each output
  uint32_t in_size[2];           // luma, chroma bytes the encoder reads
  uint32_t fps;                  // thousandths, after decimation
  uint32_t max_width, max_height;
  ProducerState state;           // VIDEO_STREAM1 or 2
  StreamQueue queue;
  Buffer_Handle ring;
  uint8_t *ring_base;
  StreamState capture;           // the capture stream read
  uint64_t bytes;                // of the current run
  uint32_t frames;
  uint32_t frame_ts;             // of the capture frame being encoded
  uint32_t last_ts;              // of the last frame taken, paused or not
  // Written by other threads without a lock, read once per frame.
  volatile uint8_t pause;
  uint8_t video_type;
  uint8_t profile;
  uint8_t level;
  uint8_t jpeg_quality;
  uint8_t aspect_ratio;
  uint8_t gop;
  volatile uint8_t decimation;
  uint8_t min_decimation;        // what the input's rate forces (1080 lines above 30 fps)
  uint8_t rate_mode;
  uint16_t flip;
  volatile uint8_t bitrate_changed;
  volatile uint8_t reconfigure;  // resetVPSS: the encoders are opened anew
  uint32_t bit_rate;
  uint32_t width, height, pitch; // pitch in bytes
  uint32_t alternate;            // one field per capture buffer
  uint32_t fourcc;
  uint32_t field;
  uint32_t slice_lines;
  Engine_Handle engine;
  VIDENC1_Handle venc;
  IMGENC1_Handle ienc;
  H264VENC_Params h264;          // what venc was created with
  H264VENC_DynamicParams dyn;    // the dynamic parameters set last
  IMGENC1_DynamicParams jpeg_dyn;
  int status;                    // -1 once the thread could not set itself up
  // Slice output: the space handed to the encoder and where the capture
  // read stands within the frame.
  uint8_t *slice_space;
  int slice_frame_done;          // the frame's last capture slice was taken
  StreamHold *capture_hold;      // on the frame being coded; NULL once given up
  uint32_t slices_put;           // slices of the frame being coded handed out so far
  uint32_t skip_ts;              // slices of this frame are skipped silently
  uint32_t wrong_slices;
  uint32_t bad_size;             // the unexpected frame size logged last; 0: none
};

void *videoThrFxn(void *env);
// Points the records at their channels and settings, makes them known to
// getVideoEncParams, setVideoPause and setVideoDecimate, and lets resetVPSS
// reach them. Called by main before the threads start.
void video_enc_init(VideoEncParams *a, VideoEncParams *b);
VideoEncParams *getVideoEncParams(int source);
void setVideoPause(int source, int paused);
// Channel A encodes every value-th frame, never less than its FrameRate
// code (or the input's rate) asks.
void setVideoDecimate(int value);

// Copies the settings, derives the capture geometry and sets the capture
// row the channel reads. Waits (100 ms polls) for the input size while the
// configured one is 0: -1 when the producer stops or the process quits first.
int getVideoParameters(VideoEncParams *p);
// The size channel would encode at (for the recorder); touches no encoder
// and never waits: -1 while the capture does not know its input.
int getVideoSize(int channel, int *width, int *height);
// Creates or reconfigures the channel's encoder for its video type: 0, or
// negative when the type has no encoder or the codec refused.
int setup_encoder(VideoEncParams *p, Engine_Handle engine);
void video_encoder_main_loop(VideoEncParams *p);
void video_jpeg_loop(VideoEncParams *p);
// Whether a capture frame of len bytes has the expected size; a wrong size
// is logged once for as long as it lasts, not for every frame.
bool video_frame_size_ok(VideoEncParams *p, uint32_t len, uint32_t expected);
void snapshot_reduce_size(int *width, int *height);

// ---- The pure tables behind the set-up ----

// What the geometry derivation reads besides the settings.
struct VideoInput {
  uint32_t width, height;   // detected input size
  uint32_t fps;             // capture rate in thousandths (field rate when interlaced)
  int interlaced;
};

struct VideoGeometry {
  uint8_t video_type;
  uint16_t flip;
  uint32_t width, height;
  uint32_t fourcc;          // V4L2_PIX_FMT_UYVY or _NV12
  uint32_t pitch;           // bytes
  uint32_t field;           // V4L2 field order
  uint32_t alternate;
  uint32_t capture_height;  // lines of one capture buffer
  uint32_t fps;             // thousandths, after decimation
  uint8_t decimation;
  uint8_t min_decimation;
  uint32_t slice_lines;
};
// The flip as the encoder and the resizer apply it to a channel of that
// size: for JPEG only bit 2 (the rotation); none above 720 x 576 or for
// raw UYVY; else Flip.
uint32_t video_flip_used(const VideoChannelParams *s, uint32_t width, uint32_t height);
// width or height 0 in the settings takes the input's.
void video_derive_geometry(const VideoChannelParams *s, const VideoInput *in, VideoGeometry *g);

// levelIdc by H.264 Table A-1 for the picture size, rate (thousandths) and
// bit rate, never below the configured level.
int h264_level_select(uint32_t width, uint32_t height, int alternate, uint32_t fps,
                      uint32_t bit_rate, int profile, int configured);

struct H264RateLimits {
  int qmin, qmax;           // P pictures
  int qmin_i, qmax_i;       // I pictures
  int rc_algo;
};
// RateMode 0-6; other values count as 0.
H264RateLimits h264_rate_limits(int rate_mode);

struct H264Timing {
  int time_scale;
  int units_per_tick;       // rate = time_scale / (2 x units_per_tick)
  int target_fps;           // thousandths, a multiple of 500
};
void h264_vui_timing(uint32_t fps, uint32_t decimation, int alternate, H264Timing *t);

// Sample aspect ratio for AspectRatio 1 (4:3) and 2 (16:9); 1:1 otherwise.
// Returns whether the ratio is to be written.
bool h264_pixel_aspect(int code, uint32_t width, uint32_t height, int *x, int *y);

const char *h264_error_name(uint32_t ext);
const char *jpeg_error_name(uint32_t ext);

// ---- JPEG ----

// The snapshot metadata block, owned by the control protocol: fn is called
// with the block under its lock (data NULL or length 0: none).
typedef void (*SnapshotMetaFn)(const uint8_t *data, uint32_t length, int enabled, void *arg);
extern void (*video_snapshot_metadata)(SnapshotMetaFn fn, void *arg);

// One captured frame for the image encoder.
struct JpegPicture {
  const uint8_t *luma;      // NV12 luma plane, or the whole UYVY picture
  uint32_t luma_size;
  const uint8_t *chroma;    // NV12 only
  uint32_t chroma_size;
  uint32_t width, height;
  uint32_t pitch;           // bytes
  uint32_t fourcc;
};
// Codes one picture with p's image encoder (at p's quality and rotation)
// into out (room bytes), lowering p's JPEG quality by 3 each time the
// picture does not fit, down to 2 and for a bounded number of tries; adds
// the snapshot metadata when it fits. The picture's size, or -1 when it was
// dropped.
int video_jpeg_encode(VideoEncParams *p, const JpegPicture *pic, uint8_t *out, uint32_t room);
// A snapshot's JPEG picture of one whole capture frame of output B (read
// from capture), coded with an image encoder of its own at channel B's
// quality and rotation, for the times channel B codes H.264 and its own
// output is no picture. Channel B's run must have begun: the frame is taken
// at its geometry. The picture's size; 0 for a frame of another layout (take
// the next); -1 when no picture could be made.
int video_snapshot_jpeg(StreamQueue *capture, const FrameDesc *f, uint8_t *out, uint32_t room);
// Opens (or resets) p's image encoder at p's maximum size and configures it
// for p's geometry. With codec_mutex held. 0 or -1.
int setup_jpeg_encoder(VideoEncParams *p, Engine_Handle engine);
// Inserts the metadata block before the closing marker of a picture of
// bytes bytes when enabled and it fits in room; the new size.
uint32_t jpeg_insert_metadata(uint8_t *jpeg, uint32_t bytes, uint32_t room, const uint8_t *meta,
                              uint32_t meta_len, int enabled);
