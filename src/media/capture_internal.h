// Inside the capture thread: its streams, their Worker tasks and the
// publishing of frames, slices and blank frames (capture_publish.cpp), used
// by the thread itself (capture_thread.cpp).
#pragma once
#include <atomic>
#include <cstdint>

#include "media/capture.h"
#include "media/capture_device.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"

struct CaptureStream;

// One frame on its way through the Worker.
struct CaptureTask {
  CaptureStream *stream;
  uint8_t *frame;
  uint32_t length;
  uint32_t timestamp;
  uint32_t index;       // buffer index in the ring
  int no_requeue;       // the buffer is not the driver's (blank or repeated frame)
  int busy;             // queued on the Worker and not finished
};

// One resizer output and its capture stream; owned by the thread.
struct CaptureStream {
  int index;                  // 0 A, 1 B
  std::atomic<int> enabled;   // has consumers and streams; read by the Worker
  uint32_t flip;
  uint32_t slice_lines;
  uint32_t lines_published;   // of the current frame, in slice mode
  uint32_t frame_size;
  uint32_t pitch;
  uint32_t height;
  uint32_t fourcc;
  uint32_t field;
  uint32_t interlaced;        // of the input
  StreamQueue queue;
  ProducerState state;
  Buffer_Handle ring;
  uint8_t *base;
  uint32_t phys;
  uint32_t ring_size;
  uint32_t nbufs;             // frames of frame_size in the ring, at most MAX_CAPTURE_BUFS
  MediaNode *node;            // the resizer output
  Worker *worker;
  uint32_t last_ts;
  uint8_t *last_frame;        // NULL until a frame came
  uint32_t last_index;
  uint32_t next_blank;        // ring slot of the next blank frame
  std::atomic<int> blank_countdown;  // all-black frames still to look for; read by the Worker
  int reset_request;          // set after the countdown ran out on black frames
  uint32_t fps_announced;
  uint32_t lag;               // nothing counts it up: output B's lag check stays quiet
  CaptureTask tasks[MAX_CAPTURE_BUFS];
  int pending;                // under capture_osd_mutex
  CaptureMode applied;        // the row last applied to this stream
};

// Hands a frame to the Worker, which draws the overlay and publishes it
// (and gives a driver's buffer back). -1 when the stream has no consumers or
// the index is out of range.
int stream_queue_buf(CaptureStream *s, uint8_t *frame, uint32_t length, uint32_t timestamp,
                     uint32_t index, int no_requeue);
void osdTaskFunc(void *arg);
// Frames of the stream now on the Worker.
int capture_pending(CaptureStream *s);
// Publishes entry data at a fixed offset of the ring, first invalidating
// older entries whose data lies there.
void capture_put_at(CaptureStream *s, uint32_t offset, uint32_t length, uint32_t timestamp,
                    uint32_t flags);
// A mark entry (length 0, timestamp 0): the format or rate changed.
void capture_publish_mark(CaptureStream *s);
// Takes a finished buffer from the driver and publishes it. -1 when the
// dequeue failed.
int capture_dequeue(CaptureStream *s);
// Gives a driver's buffer back.
int capture_requeue(CaptureStream *s, uint32_t index, const char *who);
void capture_put_slice(CaptureStream *s, const RszSliceEvent *ev);
// True when every sampled pixel of the frame is black.
bool capture_frame_is_black(const uint8_t *frame, uint32_t size, uint32_t pitch, uint32_t height,
                            uint32_t fourcc);
void capture_fill_black(uint8_t *frame, uint32_t size, uint32_t pitch, uint32_t height,
                        uint32_t fourcc);
// Announces a changed frame rate with a mark entry.
void check_stream_fps(CaptureStream *s, uint32_t fps);
// A ring slot for a frame the thread makes itself; NULL when none is free.
uint8_t *capture_alloc_frame(CaptureStream *s, uint32_t *index);
// The end of the thread: deletes capture_control_fifo.
void capture_delete_fifo(void);
