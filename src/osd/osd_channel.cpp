#include "osd/osd_channel.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/param_apply.h"
#include "osd/osd_font.h"
#include "osd/osd_internal.h"

namespace {

OsdChannel channels[OSD_CHANNELS];

struct {
  std::atomic<int> on;
  std::atomic<uint32_t> x, y;   // the configuration's position when it was switched on
  std::atomic<uint32_t> a, b;   // the two timestamps (nothing feeds them yet)
} avsync;

void lock_init(pthread_mutex_t *m) {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(m, &a);
  pthread_mutexattr_destroy(&a);
}

struct Locked {
  OsdChannel *ch;
  explicit Locked(OsdChannel *c) : ch(c) { pthread_mutex_lock(&ch->lock); }
  ~Locked() { pthread_mutex_unlock(&ch->lock); }
};

// The clamped position of cfg in the channel's frame and its placement (only
// with a known geometry).
void place(const OsdChannel *ch, const OsdTextConfig &cfg, uint32_t *x, uint32_t *y, uint32_t *offset,
           int32_t *chars_per_line) {
  int f = osd_cell_index(cfg.enabled);
  uint32_t width = ch->layout == OSD_LAYOUT_UYVY ? ch->pitch / 2 : ch->pitch;
  int32_t sx = (int32_t)cfg.x, sy = (int32_t)cfg.y;
  *x = sx < 0 ? 0 : (uint32_t)sx < width ? (uint32_t)sx : width;
  *chars_per_line = (int32_t)((width - *x) / osd_cell_width[f]);
  // A frame lower than the cell keeps the text at the top; the renderer
  // cuts what does not fit.
  uint32_t h = osd_cell_height[f];
  uint32_t max_y = ch->lines > h ? ch->lines - h : 0;
  *y = sy < 0 ? 0 : (uint32_t)sy < max_y ? (uint32_t)sy : max_y;
  *offset = *x * (ch->layout == OSD_LAYOUT_UYVY ? 2 : 1) + ch->pitch * *y;
}

// The position clamp and placement; writes the clamped position back.
void clip(OsdChannel *ch, OsdTextConfig *cfg) {
  if (!ch->lines || !ch->pitch) return;
  uint32_t x, y;
  place(ch, *cfg, &x, &y, &ch->text_offset, &ch->chars_per_line);
  cfg->x = x;
  cfg->y = y;
}

void reconfigure(OsdChannel *ch) {
  if (ch->config) clip(ch, ch->config);
  osd_channel_snapshot(ch);
}

void slot_release(OverlaySlot *s) {
  osd_payload_unref(s->data);
  memset(s, 0, sizeof *s);
}

// The parameter has no channel: every channel's counter shows it.
void hook_set_frame_counter(uint32_t value) {
  for (int i = 0; i < OSD_CHANNELS; i++) osdSetFrameCounter(i, value);
}

}  // namespace

void osd_place_text(const OsdChannel *ch, const OsdTextConfig *cfg, uint32_t *x, uint32_t *y, uint32_t *offset,
                    int32_t *chars_per_line) {
  place(ch, *cfg, x, y, offset, chars_per_line);
}

uint32_t osd_frame_width(const OsdChannel *ch) {
  switch (ch->layout) {
    case OSD_LAYOUT_UYVY:
    case OSD_LAYOUT_RGB16: return ch->pitch / 2;
    case OSD_LAYOUT_RGB32: return ch->pitch / 4;
    default: return ch->pitch;
  }
}

int osd_bytes_per_pixel(const OsdChannel *ch) {
  switch (ch->layout) {
    case OSD_LAYOUT_UYVY:
    case OSD_LAYOUT_RGB16: return 2;
    case OSD_LAYOUT_RGB32: return 4;
    default: return 1;
  }
}

bool osd_dma_rect_ok(const OsdChannel *ch, int32_t x, int32_t y, uint32_t w, uint32_t h) {
  if (!ch->dma_virt || !ch->pitch || !ch->lines || x < 0 || y < 0 || !w || !h) return false;
  if ((uint64_t)x + w > osd_frame_width(ch) || (uint64_t)y + h > ch->lines) return false;
  const int bpp = osd_bytes_per_pixel(ch);
  uint64_t end = (uint64_t)(y + h - 1) * ch->pitch + ((uint64_t)x + w) * bpp;
  if (ch->layout == OSD_LAYOUT_NV12 && h >= 2) {
    uint64_t chroma = (uint64_t)ch->pitch * (ch->lines + (uint32_t)y / 2 + h / 2 - 1) + (uint64_t)x + w;
    if (chroma > end) end = chroma;
  }
  return end <= ch->dma_size;
}

bool osd_clip_dma_slot(const OsdChannel *ch, OverlaySlot *s) {
  int64_t x = s->x, y = s->y, w = s->width, h = s->height;
  if (x < 0) w += x, x = 0;
  if (y < 0) h += y, y = 0;
  if (w > (int64_t)osd_frame_width(ch) - x) w = (int64_t)osd_frame_width(ch) - x;
  if (h > (int64_t)ch->lines - y) h = (int64_t)ch->lines - y;
  if (w <= 0 || h <= 0 || !osd_dma_rect_ok(ch, (int32_t)x, (int32_t)y, (uint32_t)w, (uint32_t)h)) return false;
  s->x = (int32_t)x;
  s->y = (int32_t)y;
  s->width = (uint32_t)w;
  s->height = (uint32_t)h;
  return true;
}

void osd_channel_snapshot(OsdChannel *ch) {
  if (!ch->config) {
    memset(&ch->shown, 0, sizeof ch->shown);
    ch->message[0] = 0;
    return;
  }
  memcpy(&ch->shown, ch->config, sizeof ch->shown);
  memcpy(ch->message, ch->shown.message, OSD_MESSAGE_LEN);
  ch->message[OSD_MESSAGE_LEN] = 0;
  if (ch->lines && ch->pitch) {
    uint32_t x, y;
    place(ch, ch->shown, &x, &y, &ch->text_offset, &ch->chars_per_line);
    ch->shown.x = x;
    ch->shown.y = y;
  }
}

OsdChannel *osd_channel(int channel) {
  return channel >= 0 && channel < OSD_CHANNELS ? &channels[channel] : nullptr;
}

void osdInit(ParamBlock *block) {
  for (OsdChannel &ch : channels) {
    for (OverlaySlot &s : ch.slots) osd_payload_unref(s.data);
    memset((void *)&ch, 0, sizeof ch);
    lock_init(&ch.lock);
  }
  channels[0].config = &block->video[0].osd;
  channels[1].config = &block->video[1].osd;
  channels[2].config = &block->display_osd;
  channels[3].config = &block->video[0].osd;
  channels[0].stream = channels[3].stream = &block->video[0];
  channels[1].stream = &block->video[1];
  avsync.on = 0;
  avsync.x = avsync.y = avsync.a = avsync.b = 0;
}

void osd_start(void) {
  osdInit(get_param_block());
  param_apply_hooks.osd_set_config = osdSetConfig;
  param_apply_hooks.overlay_set_frame_counter = hook_set_frame_counter;
}

void osdSetFormat(int channel, uint32_t, uint32_t lines, int layout, uint32_t pitch) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch) return;
  Locked l(ch);
  // Layout 9 keeps its bytes where NV12 does.
  auto bytes = [](uint32_t l) { return l == OSD_LAYOUT_NV12_LUMA ? (uint32_t)OSD_LAYOUT_NV12 : l; };
  const bool moved = pitch != ch->pitch || lines != ch->lines || bytes((uint32_t)layout) != bytes(ch->layout);
  ch->pitch = pitch;
  ch->lines = lines;
  ch->layout = (uint32_t)layout;
  reconfigure(ch);
  // Pixels in the DMA buffer are laid out for the frame they were made for.
  if (moved) osd_reburn_slots(ch);
}

void osdSetDMA(int channel, uint8_t *virt, uint32_t phys, size_t size) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch) return;
  {
    Locked l(ch);
    const bool moved = virt != ch->dma_virt || size != ch->dma_size;
    ch->dma_virt = virt;
    ch->dma_phys = phys;
    ch->dma_size = virt ? size : 0;
    if (moved) osd_reburn_slots(ch);
  }
  log_printf("%s: %d dma=%p\n", "osdSetDMA", channel, (void *)virt);
}

void osdSetConfig(int channel, const OsdTextConfig *config) {
  OsdChannel *ch = osd_channel(channel);
  if (!config || !ch) return;
  // Channels sharing a record (0 and 3) are locked in index order.
  for (OsdChannel &c : channels) pthread_mutex_lock(&c.lock);
  OsdTextConfig *own = ch->config;
  if (config != own) log_printf("wrong osd parameter for ch=%d\n", channel);
  if (own) {
    // The outlined and shaded styles exist for fonts 1 and 2 only.
    if (own->enabled > 2 && (own->transparent == 2 || own->transparent == 3)) own->transparent = 0;
    if (strncmp(config->message, "avsync", sizeof config->message) == 0) {
      avsync.x = config->x;
      avsync.y = config->y;
      avsync.on = 1;
    }
    for (OsdChannel &c : channels)
      if (c.config == own) reconfigure(&c);
  }
  for (int i = OSD_CHANNELS - 1; i >= 0; i--) pthread_mutex_unlock(&channels[i].lock);
}

void osdCopyChannel(int from, int to) {
  OsdChannel *a = osd_channel(from), *b = osd_channel(to);
  if (!a || !b || a == b) return;
  OsdChannel *first = a < b ? a : b, *second = a < b ? b : a;
  Locked l1(first), l2(second);
  for (int i = 0; i < OSD_SLOTS; i++) {
    OverlaySlot *d = &b->slots[i];
    slot_release(d);
    *d = a->slots[i];
    osd_payload_ref(d->data);
    if (d->type == OSD_SLOT_DMA && (b->dma_virt != a->dma_virt || !osd_clip_dma_slot(b, d))) d->type = OSD_SLOT_EMPTY;
  }
  if (a->config && b->config && a->config != b->config) memcpy(b->config, a->config, sizeof *b->config);
  reconfigure(b);
}

void osdClipText(int channel, OsdTextConfig *config) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch || !config) return;
  Locked l(ch);
  clip(ch, config);
}

void osdTextExtent(const char *text, int cell_w, int cell_h, int *out_width, int *out_height) {
  int height = cell_h, widest = 0, len = 0;
  for (const char *p = text; *p; p++) {
    if (*p == '\n') {
      height += cell_h;
      len = 0;
      continue;
    }
    if (++len > widest) widest = len;
  }
  *out_width = widest * cell_w;
  *out_height = height;
}

void osdGetTextBox(int channel, int *x, int *y, int *width, int *height) {
  *x = *y = *width = *height = 0;
  OsdChannel *ch = osd_channel(channel);
  if (!ch) return;
  Locked l(ch);
  if (!ch->shown.enabled) return;
  int f = osd_cell_index(ch->shown.enabled);
  *x = (int)ch->shown.x;
  *y = (int)ch->shown.y;
  osdTextExtent(ch->text, osd_cell_width[f], osd_cell_height[f], width, height);
}

void osdGetTextLines(int channel, int *first, int *last) {
  *first = *last = 0;
  OsdChannel *ch = osd_channel(channel);
  if (!ch) return;
  Locked l(ch);
  int f = osd_cell_index(ch->shown.enabled);
  int lines = 1;
  for (const char *p = ch->text; *p; p++) lines += *p == '\n';
  *first = (int)ch->shown.y;
  *last = (int)ch->shown.y - 1 + osd_cell_height[f] * lines;
}

void osdSetFrameCounter(int channel, uint32_t value) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch) return;
  Locked l(ch);
  ch->frame_count = value;
}

int osd_avsync_active(void) { return avsync.on.load(); }

void osd_avsync_text(char *out, size_t size) {
  uint32_t a = avsync.a, b = avsync.b;
  snprintf(out, size, "avsync %+d ms %u %u\n", (int32_t)(a - b) / 90, a, b);
}

void osd_channel_target(const OsdChannel *ch, uint8_t *frame, OsdTextTarget *out) {
  out->frame = frame;
  out->pitch = ch->pitch;
  out->lines = ch->lines;
  out->layout = ch->layout;
  out->text_offset = ch->text_offset;
  out->chars_per_line = ch->chars_per_line;
}
