// The simulated capture chain, shared by its files (internal to
// src/platform/): the media graph and sub-devices (sim_capture.cpp), the
// decoder chip (sim_capture_decoder.cpp), the resizer outputs with their
// buffers and the frame clock (sim_capture_video.cpp), the picture
// (sim_capture_pattern.cpp) and the text controls (sim_capture_control.cpp).
//
// One lock guards the whole chain. The seam calls the drivers without a lock
// of its own, so the capture thread, the Worker (QBUF) and the frame clock
// meet here.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/capture_ioctl.h"
#include "platform/device.h"

namespace simcap {

enum Role {
  ROLE_OTHER = 0,
  ROLE_CCDC,
  ROLE_PREVIEWER,
  ROLE_RESIZER,
  ROLE_AEW,
  ROLE_AF,
  ROLE_DECODER,
  ROLE_CCDC_OUT,
  ROLE_PRV_IN,
  ROLE_PRV_OUT,
  ROLE_RSZ_IN,
  ROLE_OUT_A,
  ROLE_OUT_B,
};

enum { kMaxEntities = 16, kMaxLinks = 24, kMaxPads = 4, kMaxBufs = 32, kMaxFiles = 64 };
enum { VIDEO_MAJOR = 81, SUBDEV_MINOR_BASE = 64, MEDIA_MAJOR = 250 };

struct Entity {
  uint32_t id;
  char name[32];
  uint32_t type;
  uint16_t pads;
  Role role;
  bool subdev;          // served at /dev/v4l-subdevN, else /dev/videoN
  int devnum;           // N; -1: no device node
  unsigned major, minor;
  char path[32];
  v4l2_mbus_framefmt pad_fmt[kMaxPads];
};

struct Link {
  int src, src_pad, sink, sink_pad;  // entity indexes
  uint32_t flags;
};

struct InputState {
  bool signal;
  bool analog_std;           // composite / S-video: standards, else DV timings
  uint32_t width, height;
  bool interlaced;
  uint32_t fps_milli;        // frames (not fields) per second x 1000
  uint64_t pixelclock;       // Hz; 0: derived from the usual blanking
  v4l2_std_id std;           // the standard an analogue input carries
  uint32_t ahd_format;       // 0 none, 1 AHD, 2 TVI, 3 CVI
  uint32_t preset;           // analog-HD preset code the signal has
  uint32_t audio_rate;       // digital audio sample rate
};

enum DecoderKind { DEC_ADV7842 = 1, DEC_TP2825 = 2 };

struct Decoder {
  DecoderKind kind;
  const char *name;
  uint8_t i2c_addr;
  int ninputs;
  InputState inputs[8];
  int input;
  v4l2_std_id std;           // the standard set
  uint32_t preset;           // the preset set (0: detect)
  v4l2_dv_timings timings;   // the timings set
  uint8_t regs[65536];
  int32_t ctrl[5];           // brightness, contrast, saturation, hue, colour killer
};

struct Buf {
  bool queued;
  bool done;
  unsigned long userptr;
  uint32_t length;
  void *mem;                 // MMAP buffers: contiguous memory of the driver
  v4l2_buffer info;          // as DQBUF hands it out
};

struct Output {
  int index;                 // 0 A, 1 B
  int ent;                   // entity index
  v4l2_pix_format fmt;
  uint32_t memory;
  uint32_t nbufs;
  Buf bufs[kMaxBufs];
  uint32_t qorder[kMaxBufs]; // queued buffers, oldest first
  uint32_t nq;
  uint32_t dorder[kMaxBufs]; // done buffers, oldest first
  uint32_t nd;
  bool streaming;
  uint32_t sequence;
  uint64_t frames;           // delivered
  uint64_t dropped;          // frame times with no buffer queued
  uint32_t slice_lines;      // from the resizer event subscription
};

// Per open file.
struct FileState {
  SimFile *file;
  int ent;                   // entity index, -1 for the media controller
  uint32_t sub_type[8];
  uint32_t sub_id[8];
  int nsubs;
  v4l2_event events[32];
  int nevents;
  uint32_t event_seq;
};

struct Failure {
  unsigned long request;     // 0: free
  int count;
  int err;
};

struct Board {
  std::mutex lock;
  std::condition_variable cond;
  bool built;
  Entity ents[kMaxEntities];
  int nents;
  Link links[kMaxLinks];
  int nlinks;
  Decoder dec;
  Output out[2];
  FileState *files[kMaxFiles];
  RszContinuousConfig rsz_cont;
  RszSingleShotConfig rsz_single;
  uint32_t rsz_mode;
  uint32_t rsz_input;
  uint32_t rsz_config_writes;
  PrvContinuousConfig prv;
  uint32_t prv_default_sets;
  Failure failures[8];
  bool stalled;
  char y4m_path[256];
  bool clock_running;
  uint64_t frame_no;         // frames since the clock started
};

Board &board(void);
// Builds the graph when not built: from the names under
// <root>/sys/class/video4linux, or the built-in layout.
void build_locked(Board &b);
// An injected failure for this request: -errno, or 0.
int take_failure_locked(Board &b, unsigned long request);

// Events: queues ev on every file of entity ent subscribed to its type
// (and to id when id_match is set).
void post_event_locked(Board &b, int ent, uint32_t type, const void *data, size_t len);
int entity_of_role(const Board &b, Role role);

// Decoder (sim_capture_decoder.cpp).
void decoder_init(Decoder &d, DecoderKind kind);
// Requests about inputs, standards, timings, controls, registers: handled
// on the decoder's sub-device and, as a bridge does, on the video nodes.
// -ENOTTY when the request is not one of them.
int decoder_ioctl_locked(Board &b, unsigned long request, void *arg);
// The current input's picture as delivered: size, interlace, and fields (or
// frames) per second x 1000; false without a signal.
bool decoder_active_locked(const Board &b, uint32_t *w, uint32_t *h, bool *interlaced,
                           uint32_t *rate_milli);
// Raises the signal event after a change of the current input.
void decoder_signal_changed_locked(Board &b, int input);
void timings_for(const InputState &in, v4l2_dv_timings *t);

// Video nodes (sim_capture_video.cpp).
int video_ioctl_locked(Board &b, FileState *fs, unsigned long request, void *arg,
                       std::unique_lock<std::mutex> &lk);
void *video_mmap_locked(Board &b, int ent, size_t len, off_t off);
void outputs_reset_locked(Board &b);
// A file of entity ent is closing: the last one of an output ends its
// streaming and frees its buffers.
void output_release_locked(Board &b, FileState *closing);
void clock_kick_locked(Board &b);

// The picture (sim_capture_pattern.cpp): renders frame n of an input of
// in_w x in_h into an output buffer laid out as fmt, through the output's
// crop and flips.
void pattern_render(const char *y4m_path, uint64_t n, uint32_t in_w, uint32_t in_h,
                    const RszOutputSpec *spec, const v4l2_pix_format *fmt, uint8_t *dst);

}  // namespace simcap

// Starts the watcher of <root>/run/sim_capture.cmd (once).
void sim_capture_watch_commands(void);

// The stream header line of a Y4M file.
struct SimY4mHeader {
  uint32_t width, height;
  uint32_t hshift, vshift;  // chroma subsampling (1, 1 for 4:2:0)
  int mono;
  int interlaced;
};
// 0, or -1 when the line is not a header we can show.
int sim_y4m_parse_header(const uint8_t *data, size_t len, SimY4mHeader *out);
