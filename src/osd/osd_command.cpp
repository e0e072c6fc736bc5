// Overlay commands and the image-decoding job. Every slot change is made
// under the channel's lock, which a composite pass holds for a whole frame:
// a frame never sees a slot half-installed or its data freed under it.
#include "osd/osd_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/startup.h"
#include "core/worker.h"
#include "osd/osd_channel.h"
#include "osd/osd_font.h"
#include "osd/osd_image.h"
#include "osd/osd_internal.h"
#include "osd/osd_tokens.h"
#include "platform/wallclock.h"

namespace {

constexpr uint32_t kRleHeader = 10, kTextHeader = 6, kTimeLen = 16;
// Layout 3 images go to the DMA buffer only for frames up to this size.
constexpr uint32_t kMaxRgb32Frame = 829440;

// Set by a hide while an image for the slot may still be decoding.
uint8_t pending_hide[OSD_CHANNELS][OSD_SLOTS];
Worker *decode_worker;

struct Locked {
  OsdChannel *ch;
  explicit Locked(OsdChannel *c) : ch(c) { pthread_mutex_lock(&ch->lock); }
  ~Locked() { pthread_mutex_unlock(&ch->lock); }
};

uint32_t le16(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }

// Under the channel's lock: the slot's old data goes, the new is installed.
void install(OverlaySlot *s, uint8_t *data, uint32_t len, int32_t x, int32_t y, uint32_t w, uint32_t h,
             uint32_t opacity, uint32_t type) {
  osd_payload_unref(s->data);
  s->data = data;
  s->len = len;
  s->x = x;
  s->y = y;
  s->width = w;
  s->height = h;
  s->opacity = opacity;
  s->type = type;
}

// Rows of bytes between two places of the DMA buffer, in the order that
// never overwrites a row before it is copied.
void move_rows(uint8_t *base, size_t pitch, size_t src, size_t dst, size_t bytes, uint32_t rows) {
  for (uint32_t i = 0; i < rows; i++) {
    uint32_t r = dst > src ? rows - 1 - i : i;
    memmove(base + dst + r * pitch, base + src + r * pitch, bytes);
  }
}

// A DMA image lives in the buffer at the place it takes in the frame: a
// move carries its pixels along. On YUV frames it moves by whole chroma
// samples (an even number of columns, and of lines for NV12), so that its
// colours stay its own.
void move_dma_image(OsdChannel *ch, OverlaySlot *s, int32_t nx, int32_t ny) {
  const bool nv12 = ch->layout == OSD_LAYOUT_NV12 || ch->layout == OSD_LAYOUT_NV12_LUMA;
  if (nv12 || ch->layout == OSD_LAYOUT_UYVY) nx += (nx ^ s->x) & 1;
  if (nv12) ny += (ny ^ s->y) & 1;
  OverlaySlot n = *s;
  n.x = nx;
  n.y = ny;
  int32_t sx = s->x - (nx < 0 ? nx : 0), sy = s->y - (ny < 0 ? ny : 0);
  if (!osd_clip_dma_slot(ch, &n)) {
    s->type = OSD_SLOT_EMPTY;
    return;
  }
  const size_t bpp = (size_t)osd_bytes_per_pixel(ch), pitch = ch->pitch;
  move_rows(ch->dma_virt, pitch, (size_t)sy * pitch + (size_t)sx * bpp, (size_t)n.y * pitch + (size_t)n.x * bpp,
            n.width * bpp, n.height);
  if (ch->layout == OSD_LAYOUT_NV12) {
    const size_t chroma = pitch * ch->lines;
    move_rows(ch->dma_virt, pitch, chroma + (size_t)(sy / 2) * pitch + (size_t)sx,
              chroma + (size_t)(n.y / 2) * pitch + (size_t)n.x, n.width, n.height / 2);
  }
  *s = n;
}

OsdRowWriter dma_writer(const OsdChannel *ch) {
  switch (ch->layout) {
    case OSD_LAYOUT_NV12: return osdPutRowNV12;
    case OSD_LAYOUT_UYVY: return osdPutRowUYVY;
    case OSD_LAYOUT_RGB16: return osdPutRow16;
    case OSD_LAYOUT_RGB32: return (uint64_t)ch->pitch * ch->lines <= kMaxRgb32Frame ? osdPutRow32 : nullptr;
    default: return nullptr;
  }
}

// What an image of the DMA buffer keeps of itself (its payload, the file's
// bytes behind it): the buffer holds its pixels for one frame geometry
// only, and it is decoded again from the file whenever that changes.
struct ImageSource {
  int32_t x, y;   // where it was placed, before it is cut to a frame
  uint32_t len;
};

uint8_t *image_source_new(const OverlayCommand *job) {
  uint8_t *p = osd_payload_new(sizeof(ImageSource) + job->len, OSD_PAYLOAD_IMAGE);
  if (!p) return nullptr;
  ImageSource *img = (ImageSource *)p;
  img->x = job->x;
  img->y = job->y;
  img->len = job->len;
  memcpy(p + sizeof(ImageSource), job->data, job->len);
  return p;
}

// The DMA route: src's image decoded straight into the channel's overlay
// buffer at its place, under the channel's lock (the geometry and the
// buffer stay as they are while it is written). 0 with the part of the
// frame it covers in *rect: an empty rectangle at its place when this frame
// shows none of it, or the channel has no buffer or geometry for it yet.
// -1 when the file does not decode.
int draw_image(const OsdChannel *ch, const uint8_t *src, OverlaySlot *rect) {
  const ImageSource *img = (const ImageSource *)src;
  *rect = OverlaySlot{};
  rect->x = img->x;
  rect->y = img->y;
  // Layout 9 keeps its bytes where NV12 does.
  OsdRowWriter writer = ch->layout == OSD_LAYOUT_NV12_LUMA ? osdPutRowNV12 : dma_writer(ch);
  if (!writer || !ch->dma_virt || !ch->pitch || !ch->lines) return 0;
  OsdDmaTarget t = {ch->dma_virt, ch->dma_size, ch->pitch, ch->lines, (int)ch->layout, img->x, img->y, 0};
  const uint8_t *file = src + sizeof(ImageSource);
  uint32_t w = 0, h = 0;
  int rc = osdPngToRows(file, img->len, &t, writer, &w, &h);
  // A 32-bit BMP's translucent pixels are blended with black.
  if (rc == 1) rc = bmp_load_rows(file, img->len, &t, writer, 0, &w, &h);
  if (rc != 0) return -1;
  OverlaySlot s = *rect;
  s.width = w;
  s.height = h;
  if (osd_clip_dma_slot(ch, &s)) *rect = s;
  return 0;
}

// A DMA image moved: drawn again at its new place (whole, where it was cut
// before).
void move_image(OsdChannel *ch, OverlaySlot *s, int32_t x, int32_t y) {
  uint8_t *src = osd_payload_ref(s->data);
  ImageSource *img = (ImageSource *)src;
  img->x = x;
  img->y = y;
  OverlaySlot r;
  draw_image(ch, src, &r);
  install(s, src, 0, r.x, r.y, r.width, r.height, s->opacity, OSD_SLOT_DMA);
}

void short_command(OsdChannel *ch, int channel, int slot, const OverlayCommand *c) {
  Locked l(ch);
  OverlaySlot *s = &ch->slots[slot];
  if (c->len == 3) {
    s->opacity = c->opacity;
    if (s->type == OSD_SLOT_DMA && osd_payload_kind(s->data) == OSD_PAYLOAD_IMAGE) {
      move_image(ch, s, c->x, c->y);
      return;
    }
    if (s->type == OSD_SLOT_DMA) {
      move_dma_image(ch, s, c->x, c->y);
      return;
    }
    s->x = c->x;
    s->y = c->y;
    return;
  }
  pending_hide[channel][slot] = c->len == 0;
  if (c->len == 0) {
    s->type = OSD_SLOT_EMPTY;
    return;
  }
  // A show applies only to data of its kind: run-length data shows as 1 or
  // 2, a text record as 4.
  int kind = osd_payload_kind(s->data);
  if ((c->len == 1 || c->len == 2) && kind == OSD_SLOT_RLE) s->type = c->len;
  else if (c->len == 4 && kind == OSD_SLOT_TEXT) s->type = OSD_SLOT_TEXT;
}

void run_length_command(OsdChannel *ch, int slot, OverlayCommand *c, uint32_t type) {
  uint32_t w = le16(c->data + 4), h = le16(c->data + 6), n = c->len - kRleHeader;
  uint8_t *runs = w && h ? osd_payload_new(n, OSD_SLOT_RLE) : nullptr;
  if (runs) memcpy(runs, c->data + kRleHeader, n);
  free(c->data);
  c->data = nullptr;
  if (!runs) return;
  Locked l(ch);
  install(&ch->slots[slot], runs, n, c->x, c->y, w, h, c->opacity, type);
  c->type = type;
}

void text_command(int channel, OverlayCommand *c) {
  // Channel 0 shares its record with channel 3: lock them all in order.
  for (int i = 0; i < OSD_CHANNELS; i++) pthread_mutex_lock(&osd_channel(i)->lock);
  OsdTextConfig *cfg = osd_channel(channel)->config;
  if (cfg) {
    uint32_t attr = le16(c->data + 4);
    cfg->x = (uint32_t)c->x;
    cfg->y = (uint32_t)c->y;
    cfg->enabled = (uint8_t)(attr & 3);
    cfg->transparent = (uint8_t)(attr >> 2 & 3);
    cfg->date_format = (uint8_t)(attr >> 4 & 63);
    cfg->time_format = (uint8_t)(attr >> 10 & 7);
    uint32_t n = c->len - kTextHeader < OSD_MESSAGE_LEN ? c->len - kTextHeader : OSD_MESSAGE_LEN;
    memcpy(cfg->message, c->data + kTextHeader, n);
    if (n < OSD_MESSAGE_LEN) cfg->message[n] = 0;
    osdSetConfig(channel, cfg);
  }
  for (int i = OSD_CHANNELS - 1; i >= 0; i--) pthread_mutex_unlock(&osd_channel(i)->lock);
}

void time_command(const OverlayCommand *c) {
  if (c->len != kTimeLen) return;
  struct timeval tv;
  tv.tv_sec = (time_t)le32(c->data + 4);
  tv.tv_usec = (suseconds_t)le32(c->data + 12);
  if (wallclock_set(&tv) != 0) {
    int e = errno;
    log_printf("tv: %llx s %lx us\n", (unsigned long long)tv.tv_sec, (unsigned long)tv.tv_usec);
    log_printf("%s: %s\n", "settimeofday", strerror(e));
  }
}

// Whether a w x h image at (x, y) lies wholly outside every frame the
// channel is known to draw: the one it is given now, and the size its
// stream is set to (what the stream's viewers get; another user of the
// capture may have it at its own size meanwhile). Unknown sizes pass; the
// reason names the frames it misses.
bool wholly_outside(OsdChannel *ch, int32_t x, int32_t y, uint32_t w, uint32_t h, char *why, size_t size) {
  uint32_t frame[2][2];
  int n = 0;
  {
    Locked l(ch);
    if (ch->pitch && ch->lines) {
      frame[n][0] = osd_frame_width(ch);
      frame[n++][1] = ch->lines;
    }
    if (ch->stream && ch->stream->width && ch->stream->height) {
      frame[n][0] = ch->stream->width;
      frame[n++][1] = ch->stream->height;
    }
  }
  for (int i = 0; i < n; i++)
    if (x < (int64_t)frame[i][0] && y < (int64_t)frame[i][1] && (int64_t)x + w > 0 && (int64_t)y + h > 0)
      return false;
  if (!n) return false;
  char frames[48];
  if (n == 2 && (frame[0][0] != frame[1][0] || frame[0][1] != frame[1][1]))
    snprintf(frames, sizeof frames, "the %ux%u and %ux%u frames", frame[0][0], frame[0][1], frame[1][0], frame[1][1]);
  else
    snprintf(frames, sizeof frames, "the %ux%u frame", frame[0][0], frame[0][1]);
  if (size) snprintf(why, size, "the %ux%u image at %d,%d lies wholly outside %s", w, h, x, y, frames);
  return true;
}

}  // namespace

void osd_set_decode_worker(Worker *worker) { decode_worker = worker; }

void osdCommand(OverlayCommand *c) {
  if (!c) return;
  const int channel = (int)(c->target >> 4 & 3), slot = (int)(c->target & 15);
  OsdChannel *ch = osd_channel(channel);
  if (channel >= 2 || !ch) {
    free(c->data);
    c->data = nullptr;
    return;
  }
  if (c->len <= 4) {
    free(c->data);
    c->data = nullptr;
    short_command(ch, channel, slot, c);
    return;
  }
  if (!c->data) return;
  if (memcmp(c->data, "RLE ", 4) == 0 || memcmp(c->data, "RLEA", 4) == 0) {
    // Shorter than its header: dropped.
    if (c->len >= kRleHeader) {
      run_length_command(ch, slot, c, c->data[3] == 'A' ? OSD_SLOT_RLEA : OSD_SLOT_RLE);
      return;
    }
  } else if (memcmp(c->data, "TEXT", 4) == 0) {
    if (c->len >= kTextHeader) text_command(channel, c);
  } else if (memcmp(c->data, "TIME", 4) == 0) {
    time_command(c);
  } else {
    OverlayCommand *job = (OverlayCommand *)malloc(sizeof *job);
    if (!job) {
      free(c->data);
      c->data = nullptr;
      return;
    }
    *job = *c;
    c->data = nullptr;
    {
      Locked l(ch);
      pending_hide[channel][slot] = 0;
    }
    Worker *w = decode_worker ? decode_worker : getWorker();
    if (!w) {
      osdDecodeImage(job);
    } else if (Worker_add_task(w, osdDecodeImage, job) != 0) {
      log_printf("%s: worker full, image for slot %d dropped\n", "osdCommand", slot);
      free(job->data);
      free(job);
    }
    return;
  }
  free(c->data);
  c->data = nullptr;
}

int osd_command_check(const OverlayCommand *c, char *why, size_t size) {
  const char *reason = nullptr;
  OsdChannel *ch = osd_channel((int)(c->target >> 4 & 3));
  if ((c->target >> 4 & 3) >= 2 || !ch) {
    reason = "no such overlay channel";
  } else if (c->len <= 4) {
    return 0;
  } else if (!c->data) {
    reason = "no data";
  } else if (memcmp(c->data, "RLE ", 4) == 0 || memcmp(c->data, "RLEA", 4) == 0) {
    if (c->len < kRleHeader || !le16(c->data + 4) || !le16(c->data + 6)) reason = "run-length image without its size";
    else if (wholly_outside(ch, c->x, c->y, le16(c->data + 4), le16(c->data + 6), why, size)) return -1;
  } else if (memcmp(c->data, "TEXT", 4) == 0) {
    if (c->len < kTextHeader) reason = "text command without its attributes";
  } else if (memcmp(c->data, "TIME", 4) == 0) {
    if (c->len != kTimeLen) reason = "time command of other than 16 bytes";
  } else {
    uint32_t w = 0, h = 0;
    if (osd_image_size(c->data, c->len, &w, &h, why, size) != 0) return -1;
    return wholly_outside(ch, c->x, c->y, w, h, why, size) ? -1 : 0;
  }
  if (!reason) return 0;
  if (size) snprintf(why, size, "%s", reason);
  return -1;
}

void osdDecodeImage(void *arg) {
  OverlayCommand *job = (OverlayCommand *)arg;
  const int channel = (int)(job->target >> 4 & 3), slot = (int)(job->target & 15);
  OsdChannel *ch = osd_channel(channel);
  if (!ch || channel >= 2) {
    free(job->data);
    free(job);
    return;
  }
  const uint32_t opacity = job->opacity;
  uint32_t type = OSD_SLOT_RLEA;
  uint8_t *payload = nullptr;
  uint32_t runs_len = 0;
  bool dma = false;
  pthread_mutex_lock(&ch->lock);
  if (opacity > 9 && dma_writer(ch)) {
    if (!ch->dma_virt) {
      log_printf("no DMA ptr on osd %d\n", channel);
    } else {
      // The file is kept to draw the image again for another frame.
      payload = image_source_new(job);
      OverlaySlot r;
      if (payload && draw_image(ch, payload, &r) == 0) {
        type = OSD_SLOT_DMA;
        job->x = r.x;
        job->y = r.y;
        job->width = r.width;
        job->height = r.height;
      } else {
        osd_payload_unref(payload);
        payload = nullptr;
        type = OSD_SLOT_EMPTY;
      }
      dma = true;
    }
  }
  if (!dma) {
    // The run-length route needs nothing of the channel's until installed.
    pthread_mutex_unlock(&ch->lock);
    OsdRle rle;
    int rc = osdPngToRle(job->data, job->len, &rle, OSD_SLOT_RLEA);
    if (rc == 1) rc = bmp_load_osd(job->data, job->len, &rle, OSD_SLOT_RLEA);
    if (rc == 0 && rle.used) {
      payload = osd_payload_new(rle.used, OSD_SLOT_RLE);
      if (payload) {
        memcpy(payload, rle.data, rle.used);
        runs_len = (uint32_t)rle.used;
        job->width = rle.width;
        job->height = rle.height;
      }
    }
    osd_rle_discard(&rle);
    if (!payload) type = OSD_SLOT_EMPTY;
    pthread_mutex_lock(&ch->lock);
  }
  if (type == OSD_SLOT_EMPTY)
    log_printf("overlay data=%p len=%d size=%dx%d\n", (void *)job->data, (int)job->len, (int)job->width,
               (int)job->height);
  free(job->data);
  job->data = nullptr;
  if (pending_hide[channel][slot]) {
    // Hidden while it was decoding: it arrives hidden.
    pending_hide[channel][slot] = 0;
    type = OSD_SLOT_EMPTY;
  }
  install(&ch->slots[slot], payload, runs_len, job->x, job->y, job->width, job->height, opacity, type);
  pthread_mutex_unlock(&ch->lock);
  free(job);
}

void osdClearSlot(int slot) {
  OsdChannel *ch = osd_channel(0);
  if (slot < 0) return;
  if (slot >= OSD_SLOTS) {
    for (int i = 0; i < OSD_CHANNELS; i++) pthread_mutex_lock(&osd_channel(i)->lock);
    if (ch->config) ch->config->enabled = 0;
    osd_channel_snapshot(ch);
    for (int i = OSD_CHANNELS - 1; i >= 0; i--) pthread_mutex_unlock(&osd_channel(i)->lock);
    return;
  }
  Locked l(ch);
  install(&ch->slots[slot], nullptr, 0, 0, 0, 0, 0, 0, OSD_SLOT_EMPTY);
}

namespace {

// What a burned-in text slot keeps of its text (its payload): the DMA
// pixels are laid out for one frame geometry and are burned again from it
// when the geometry or the buffer changes.
struct BurnedText {
  int32_t x, y;
  int font, style;
  char text[OSD_TEXT_MAX + 1];  // as formatted when it was set
};

// Text burned into channel 0's DMA buffer: its box is the slot's rectangle,
// the slot takes a reference to src. The slot is left as it is when the
// channel cannot hold the text.
bool burn_text(OsdChannel *ch, OverlaySlot *s, uint8_t *src) {
  const BurnedText *b = (const BurnedText *)src;
  const int font = b->font, style = b->style;
  const char *out = b->text;
  if (!ch->dma_virt || (ch->layout != OSD_LAYOUT_NV12 && ch->layout != OSD_LAYOUT_NV12_LUMA &&
                        ch->layout != OSD_LAYOUT_UYVY))
    return false;
  const bool nv12 = ch->layout != OSD_LAYOUT_UYVY;
  // The renderer writes the frame's lines; NV12's chroma follows them.
  const uint64_t frame = (uint64_t)ch->pitch * ch->lines * (nv12 ? 3 : 2) / 2;
  if (!ch->pitch || !ch->lines || frame > ch->dma_size) return false;
  OsdTextConfig cfg = {};
  cfg.enabled = (uint8_t)font;
  cfg.x = (uint32_t)b->x;
  cfg.y = (uint32_t)b->y;
  OsdTextTarget t;
  uint32_t bx, by;
  osd_place_text(ch, &cfg, &bx, &by, &t.text_offset, &t.chars_per_line);
  int f = osd_cell_index(font), w = 0, h = 0;
  osdTextExtent(out, osd_cell_width[f], osd_cell_height[f], &w, &h);
  const uint32_t width = osd_frame_width(ch);
  if ((uint32_t)w > width - bx) w = (int)(width - bx);
  if ((uint32_t)h > ch->lines - by) h = (int)(ch->lines - by);
  if (w <= 0 || h <= 0) return false;
  t.frame = ch->dma_virt;
  t.pitch = ch->pitch;
  t.lines = ch->lines;
  t.layout = ch->layout;
  uint8_t *luma = ch->dma_virt;
  if (nv12)
    for (int r = 0; r < h; r++) memset(luma + (size_t)(by + r) * ch->pitch + bx, 0, (size_t)w);
  else
    for (int r = 0; r < h; r++) {
      uint8_t *row = luma + (size_t)(by + r) * ch->pitch;
      for (uint32_t col = bx; col < bx + (uint32_t)w; col++) row[2 * col + 1] = 0;
    }
  osd_render(&t, font, style == 5 ? 5 : 0, out);
  if (!nv12) {
    // Each word U Y0 V Y1 holds its own row's chroma.
    for (uint32_t r = by; r < by + (uint32_t)h; r++) {
      uint8_t *row = luma + (size_t)r * ch->pitch;
      for (uint32_t col = bx & ~1u; col < bx + (uint32_t)w && col + 1 < width; col += 2) {
        uint8_t *word = row + 2 * col;
        bool dark = style == 6 && word[1] == 16 && word[3] == 16;
        word[0] = dark ? 176 : 128;
        word[2] = dark ? 80 : 128;
      }
    }
  } else {
    uint8_t *chroma = ch->dma_virt + (size_t)ch->pitch * ch->lines;
    for (uint32_t r = by & ~1u; r < by + (uint32_t)h && r + 1 < ch->lines; r += 2) {
      uint8_t *c = chroma + (size_t)(r / 2) * ch->pitch;
      const uint8_t *y0 = luma + (size_t)r * ch->pitch, *y1 = y0 + ch->pitch;
      for (uint32_t col = bx & ~1u; col < bx + (uint32_t)w && col + 1 < width; col += 2) {
        bool dark = style == 6 && y0[col] == 16 && y0[col + 1] == 16 && y1[col] == 16 && y1[col + 1] == 16;
        c[col] = dark ? 176 : 128;
        c[col + 1] = dark ? 80 : 128;
      }
    }
  }
  OverlaySlot box = {};
  box.x = (int32_t)bx;
  box.y = (int32_t)by;
  box.width = (uint32_t)w;
  box.height = (uint32_t)h;
  if (!osd_clip_dma_slot(ch, &box)) return false;
  install(s, osd_payload_ref(src), 0, box.x, box.y, box.width, box.height, 0, OSD_SLOT_DMA);
  return true;
}

}  // namespace

void osd_reburn_slots(OsdChannel *ch) {
  // Images are drawn again on the channels commands reach, texts only on
  // channel 0, which burns them; copies elsewhere come back with the next
  // copy of channel 0.
  const bool own = ch == osd_channel(0) || ch == osd_channel(1);
  for (OverlaySlot &s : ch->slots) {
    if (s.type != OSD_SLOT_DMA) continue;
    uint8_t *src = osd_payload_ref(s.data);
    const int kind = osd_payload_kind(src);
    OverlaySlot r;
    if (own && kind == OSD_PAYLOAD_IMAGE) {
      // One that cannot be drawn now keeps its place for the next frame.
      if (draw_image(ch, src, &r) != 0) r.width = r.height = 0;
      install(&s, osd_payload_ref(src), 0, r.x, r.y, r.width, r.height, s.opacity, OSD_SLOT_DMA);
    } else if (kind != OSD_SLOT_DMA || ch != osd_channel(0) || !burn_text(ch, &s, src)) {
      install(&s, nullptr, 0, 0, 0, 0, 0, 0, OSD_SLOT_EMPTY);
    }
    osd_payload_unref(src);
  }
}

void osdSetText(int slot, int x, int y, const char *text, int font, int style) {
  OsdChannel *ch = osd_channel(0);
  if (slot < 0) return;
  if (slot >= OSD_SLOTS) {
    if (ch->config) osdClipText(0, ch->config);
    return;
  }
  if (!text) {
    osdClearSlot(slot);
    return;
  }
  if (font > 2 && (style == 2 || style == 3)) style = 0;
  const bool burned = style == 6 || ((style == 0 || style == 5) && !strchr(text, '^'));
  Locked l(ch);
  OverlaySlot *s = &ch->slots[slot];
  if (!burned) {
    uint8_t *p = osd_payload_new(sizeof(OsdTextConfig), OSD_SLOT_TEXT);
    if (!p) return;
    OsdTextConfig *cfg = (OsdTextConfig *)p;
    cfg->enabled = (uint8_t)font;
    cfg->transparent = (uint8_t)style;
    cfg->x = (uint32_t)x;
    cfg->y = (uint32_t)y;
    memcpy(cfg->message, text, strnlen(text, sizeof cfg->message));
    install(s, p, 0, x, y, 0, 0, 0, OSD_SLOT_TEXT);
    return;
  }
  install(s, nullptr, 0, 0, 0, 0, 0, 0, OSD_SLOT_EMPTY);
  uint8_t *src = osd_payload_new(sizeof(BurnedText), OSD_SLOT_DMA);
  if (!src) return;
  BurnedText *b = (BurnedText *)src;
  b->x = x;
  b->y = y;
  b->font = font;
  b->style = style;
  osdFormatText(0, text, b->text, OSD_TEXT_MAX);
  burn_text(ch, s, src);
  osd_payload_unref(src);
}
