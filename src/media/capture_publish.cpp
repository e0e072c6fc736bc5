// Publishing captured frames: the Worker task that draws the overlay and
// puts the frame, the resizer's slices, and the frames the thread makes
// itself (blank and repeated frames).
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/framecopy.h"
#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/worker.h"
#include "media/capture_internal.h"
#include "media/stream_ids.h"
#include "osd/osd_composite.h"
#include "platform/device.h"

namespace {

bool is_nv12(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_NV12; }

// Interlaced frames whose lower field sits one line too high are moved down
// one line when the picture is flipped vertically.
bool needs_line_shift(const CaptureStream *s) {
  return s->interlaced && (s->flip & 1) &&
         (s->field == V4L2_FIELD_INTERLACED || s->field == V4L2_FIELD_INTERLACED_TB ||
          s->field == V4L2_FIELD_INTERLACED_BT) &&
         s->frame_size <= 884736;
}

void shift_down_one_line(CaptureStream *s, uint8_t *frame) {
  if (s->height < 2) return;
  uint32_t phys = s->phys + (uint32_t)(frame - s->base);
  int32_t step = -(int32_t)s->pitch;
  // Bottom-up, so each line is read before the copy above it overwrites it.
  Framecopy_memcpy2d(phys + (s->height - 1) * s->pitch, phys + (s->height - 2) * s->pitch, s->pitch,
                     step, step, s->height - 1);
}

}  // namespace

int capture_pending(CaptureStream *s) {
  pthread_mutex_lock(&capture_block.capture_osd_mutex);
  int n = s->pending;
  pthread_mutex_unlock(&capture_block.capture_osd_mutex);
  return n;
}

void capture_put_at(CaptureStream *s, uint32_t offset, uint32_t length, uint32_t timestamp,
                    uint32_t flags) {
  // The slot was written over: entries of an earlier frame that still
  // describe data there must not be read as this one.
  ringbuffer_put_at(&s->queue, offset, length, timestamp, flags);
}

void capture_publish_mark(CaptureStream *s) {
  pthread_mutex_lock(&s->queue.mutex);
  uint32_t off = s->queue.write_offset;
  pthread_mutex_unlock(&s->queue.mutex);
  capture_put_at(s, off, 0, 0, 0);
}

int capture_requeue(CaptureStream *s, uint32_t index, const char *who) {
  if (!s->node || s->node->fd <= 0) return -1;
  v4l2_buffer b = {};
  b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b.memory = V4L2_MEMORY_USERPTR;
  b.index = index;
  b.m.userptr = (unsigned long)(s->base + (size_t)index * s->frame_size);
  b.length = s->frame_size;
  if (dev_ioctl(s->node->fd, VIDIOC_QBUF, &b) != 0) {
    log_printf("%s VIDIOC_QBUF size=%d %s\n", who, (int)s->frame_size, strerror(errno));
    return -1;
  }
  return 0;
}

void osdTaskFunc(void *arg) {
  CaptureTask *t = (CaptureTask *)arg;
  CaptureStream *s = t->stream;
  pthread_mutex_lock(&capture_block.capture_osd_mutex);
  // This frame counts among the pending ones: a third one waiting is dropped.
  if (s->pending < 3 && s->enabled) {
    pthread_mutex_unlock(&capture_block.capture_osd_mutex);
    if (!s->blank_countdown) osdComposite(s->index, t->frame, s->phys + (uint32_t)(t->frame - s->base));
    capture_put_at(s, (uint32_t)(t->frame - s->base), t->length, t->timestamp,
                   STREAM_FLAG_KEY | STREAM_FLAG_FRAME);
    pthread_mutex_lock(&capture_block.capture_osd_mutex);
  }
  pthread_mutex_unlock(&capture_block.capture_osd_mutex);
  if (!t->no_requeue) capture_requeue(s, t->index, "osdTaskFunc");
  pthread_mutex_lock(&capture_block.capture_osd_mutex);
  s->pending--;
  t->busy = 0;
  pthread_mutex_unlock(&capture_block.capture_osd_mutex);
}

int stream_queue_buf(CaptureStream *s, uint8_t *frame, uint32_t length, uint32_t timestamp,
                     uint32_t index, int no_requeue) {
  if (index >= MAX_CAPTURE_BUFS) {
    log_printf("%s: i=%d exceed MAX_CAPTURE_BUFS(%d)\n", "stream_queue_buf", (int)index,
               MAX_CAPTURE_BUFS);
    return -1;
  }
  if (stream_queue_consumers(&s->queue) <= 0) return -1;
  CaptureTask *t = &s->tasks[index];
  pthread_mutex_lock(&capture_block.capture_osd_mutex);
  if (t->busy) {
    // The slot's previous frame is still on the Worker.
    pthread_mutex_unlock(&capture_block.capture_osd_mutex);
    return -1;
  }
  t->stream = s;
  t->frame = frame;
  t->length = length;
  t->timestamp = timestamp;
  t->index = index;
  t->no_requeue = no_requeue;
  t->busy = 1;
  s->pending++;
  pthread_mutex_unlock(&capture_block.capture_osd_mutex);
  while (Worker_add_task(s->worker, osdTaskFunc, t) != 0) {
    if (get_exit_code() != EXIT_RUNNING) {
      pthread_mutex_lock(&capture_block.capture_osd_mutex);
      s->pending--;
      t->busy = 0;
      pthread_mutex_unlock(&capture_block.capture_osd_mutex);
      return -1;
    }
    usleep(20000);
  }
  return 0;
}

bool capture_frame_is_black(const uint8_t *frame, uint32_t size, uint32_t pitch, uint32_t height,
                            uint32_t fourcc) {
  uint32_t step = pitch + 4;
  if (is_nv12(fourcc)) {
    uint32_t luma = pitch * height;
    for (uint32_t o = 0; o < luma && o < size; o += step)
      if (frame[o] > 16) return false;
    for (uint32_t o = luma; o < size; o += step)
      if (frame[o] != 128) return false;
    return true;
  }
  // UYVY: each sample point looks at a chroma byte and the luma after it.
  for (uint32_t o = 0; o + 1 < size; o += step) {
    uint32_t c = o & ~1u;
    if (frame[c] != 128 || frame[c + 1] > 16) return false;
  }
  return true;
}

void capture_fill_black(uint8_t *frame, uint32_t size, uint32_t pitch, uint32_t height,
                        uint32_t fourcc) {
  if (is_nv12(fourcc)) {
    uint32_t luma = pitch * height < size ? pitch * height : size;
    memset(frame, 16, luma);
    memset(frame + luma, 128, size - luma);
    return;
  }
  // One line of pairs, then copies of what is done, doubling: a 16-buffer
  // ring of 1080p frames is filled at memory speed.
  uint32_t even = size & ~1u, first = pitch & ~1u;
  if (!first || first > even) first = even;
  for (uint32_t o = 0; o < first; o += 2) {
    frame[o] = 128;
    frame[o + 1] = 16;
  }
  for (uint32_t done = first; done && done < even;) {
    uint32_t n = done < even - done ? done : even - done;
    memcpy(frame + done, frame, n);
    done += n;
  }
}

int capture_dequeue(CaptureStream *s) {
  v4l2_buffer b = {};
  b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b.memory = V4L2_MEMORY_USERPTR;
  if (dev_ioctl(s->node->fd, VIDIOC_DQBUF, &b) != 0) {
    capture_perror("VIDIOC_DQBUF");
    return -1;
  }
  uint32_t ts = capture_buf_stamp(&b);
  if (b.index >= s->nbufs) {
    log_printf("%s: i=%d exceed MAX_CAPTURE_BUFS(%d)\n", "capture_dequeue", (int)b.index,
               MAX_CAPTURE_BUFS);
    // Not ours to publish, but still one of the driver's: given back as it
    // came, or the driver runs one buffer short for the rest of the pass.
    if (dev_ioctl(s->node->fd, VIDIOC_QBUF, &b) != 0)
      log_printf("%s VIDIOC_QBUF size=%d %s\n", "capture_dequeue", (int)b.length, strerror(errno));
    return 0;
  }
  uint8_t *frame = s->base + (size_t)b.index * s->frame_size;
  if (s->index == 1 && s->lag > 25) {
    log_printf("lag %u\n", s->lag);
    s->lag = 0;
    capture_requeue(s, b.index, "capture_dequeue");
    return 0;
  }
  if (s->blank_countdown > 0) {
    if (!capture_frame_is_black(frame, s->frame_size, s->pitch, s->height, s->fourcc)) {
      s->blank_countdown = 0;
    } else if (--s->blank_countdown == 0) {
      log_printf("all-blank frames triggered reset\n");
      s->reset_request = 1;
    }
  }
  if (needs_line_shift(s)) shift_down_one_line(s, frame);
  if (s->last_frame) {
    uint32_t rel = timestamp_diff(s->last_ts, ts);
    if (rel < 900) log_printf("frame too soon! early interrupt? rel=%d ms\n", (int)(rel / 90));
  }
  s->last_ts = ts;
  s->last_frame = frame;
  s->last_index = b.index;
  // A frame nobody takes goes straight back to the driver.
  if (stream_queue_buf(s, frame, s->frame_size, ts, b.index, 0) != 0)
    capture_requeue(s, b.index, "capture_dequeue");
  return 0;
}

void capture_put_slice(CaptureStream *s, const RszSliceEvent *ev) {
  if (ev->index >= s->nbufs || !s->slice_lines) return;
  if (ev->lines == s->slice_lines) s->lines_published = 0;
  if (ev->lines <= s->lines_published) return;
  uint32_t lines = ev->lines - s->lines_published;
  uint32_t offset = ev->index * s->frame_size + s->lines_published * s->pitch;
  uint32_t length = lines * s->pitch * 3 / 2;
  if (offset >= s->ring_size) return;
  if (length > s->ring_size - offset) length = s->ring_size - offset;
  uint32_t flags = s->lines_published == 0 ? (uint32_t)(STREAM_FLAG_KEY | STREAM_FLAG_SLICE)
                                            : (uint32_t)STREAM_FLAG_SLICE;
  if (ev->end) flags |= STREAM_FLAG_SLICE_END;
  capture_put_at(s, offset, length, ev->timestamp, flags);
  s->lines_published = ev->lines;
}

void check_stream_fps(CaptureStream *s, uint32_t fps) {
  if (s->fps_announced == fps) return;
  log_printf("%s: stream %d fps %d\n", "check_stream_fps", s->index, (int)fps);
  s->fps_announced = fps;
  capture_publish_mark(s);
}

uint8_t *capture_alloc_frame(CaptureStream *s, uint32_t *index) {
  if (!s->frame_size || !s->nbufs) return nullptr;
  pthread_mutex_lock(&capture_block.capture_osd_mutex);
  for (uint32_t k = 0; k < s->nbufs; k++) {
    uint32_t i = (s->next_blank + k) % s->nbufs;
    if (s->tasks[i].busy) continue;
    s->next_blank = (i + 1) % s->nbufs;
    pthread_mutex_unlock(&capture_block.capture_osd_mutex);
    *index = i;
    return s->base + (size_t)i * s->frame_size;
  }
  pthread_mutex_unlock(&capture_block.capture_osd_mutex);
  return nullptr;
}
