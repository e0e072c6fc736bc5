#include "osd/osd_composite.h"

#include <cstdio>
#include <cstring>

#include "core/framecopy.h"
#include "osd/osd_font.h"
#include "osd/osd_image.h"
#include "osd/osd_internal.h"
#include "osd/osd_tokens.h"

namespace {

// A rectangle of the DMA buffer copied to the same place in the frame by
// the EDMA engine: luma (or the packed pixels), then NV12's chroma.
void copy_dma_rect(const OsdChannel *ch, const OverlaySlot *s, uint32_t frame_phys) {
  if (!frame_phys || !ch->dma_phys || !osd_dma_rect_ok(ch, s->x, s->y, s->width, s->height)) return;
  const uint32_t bpp = (uint32_t)osd_bytes_per_pixel(ch), pitch = ch->pitch;
  uint32_t off = (uint32_t)s->x * bpp + (uint32_t)s->y * pitch;
  Framecopy_memcpy2d(frame_phys + off, ch->dma_phys + off, s->width * bpp, (int32_t)pitch, (int32_t)pitch,
                     s->height);
  if (ch->layout == OSD_LAYOUT_NV12) {
    off = (uint32_t)s->x + pitch * (ch->lines + (uint32_t)s->y / 2);
    Framecopy_memcpy2d(frame_phys + off, ch->dma_phys + off, s->width, (int32_t)pitch, (int32_t)pitch,
                       s->height / 2);
  }
}

// One slot by its type and the channel's layout; types a layout does not
// know are skipped.
void draw_slot(OsdChannel *ch, int channel, const OverlaySlot *s, uint8_t *frame, uint32_t frame_phys) {
  const uint32_t pitch = ch->pitch, lines = ch->lines;
  const bool nv12 = ch->layout == OSD_LAYOUT_NV12 || ch->layout == OSD_LAYOUT_NV12_LUMA;
  const bool uyvy = ch->layout == OSD_LAYOUT_UYVY;
  switch (s->type) {
    case OSD_SLOT_RLE:
      if (nv12) osdBlitRleNV12(s, frame, pitch, lines);
      else if (uyvy) osdBlitRleUYVY(s, frame, pitch, lines);
      else if (ch->layout == OSD_LAYOUT_RGB32) osdBlitRle32(s, frame, pitch, lines);
      else if (ch->layout == OSD_LAYOUT_RGB16) osdBlitRle16(s, frame, pitch, lines);
      break;
    case OSD_SLOT_RLEA:
      if (nv12) osdBlitRleaNV12(s, frame, pitch, lines);
      else if (uyvy) osdBlitRleaUYVY(s, frame, pitch, lines);
      break;
    case OSD_SLOT_DMA:
      copy_dma_rect(ch, s, frame_phys);
      break;
    case OSD_SLOT_TEXT:
      if ((nv12 || uyvy) && s->data) osdDrawTextSlot(channel, frame, (const OsdTextConfig *)s->data);
      break;
    default: break;
  }
}

}  // namespace

void osdDrawTextSlot(int channel, uint8_t *frame, const OsdTextConfig *config) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch || !frame || !config) return;
  pthread_mutex_lock(&ch->lock);
  // The slot's record may be shared with another channel: it is placed
  // here without writing the clamped position back, nor touching the
  // channel's own placement.
  OsdTextTarget t;
  osd_channel_target(ch, frame, &t);
  uint32_t x, y;
  osd_place_text(ch, config, &x, &y, &t.text_offset, &t.chars_per_line);
  char message[OSD_MESSAGE_LEN + 1];
  memcpy(message, config->message, OSD_MESSAGE_LEN);
  message[OSD_MESSAGE_LEN] = 0;
  osdFormatText(channel, message, ch->text, OSD_TEXT_MAX);
  osd_render(&t, config->enabled, config->transparent, ch->text);
  pthread_mutex_unlock(&ch->lock);
}

void osdComposite(int channel, uint8_t *frame, uint32_t frame_phys) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch || !frame) return;
  pthread_mutex_lock(&ch->lock);
  osd_channel_snapshot(ch);
  const OsdTextConfig &cfg = ch->shown;
  if (cfg.enabled) {
    if (osd_avsync_active() && strcmp(ch->message, "avsync") == 0)
      osd_avsync_text(ch->text, sizeof ch->text);
    else
      osdFormatText(channel, ch->message, ch->text, OSD_TEXT_MAX);
    OsdTextTarget t;
    osd_channel_target(ch, frame, &t);
    osd_render(&t, cfg.enabled, cfg.transparent, ch->text);
  }
  for (int i = 0; i < OSD_SLOTS; i++) draw_slot(ch, channel, &ch->slots[i], frame, frame_phys);
  ch->frame_count++;
  pthread_mutex_unlock(&ch->lock);
}

void osdDrawText(int channel, uint8_t *frame, const char *text) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch || !frame || !text) return;
  pthread_mutex_lock(&ch->lock);
  osd_channel_snapshot(ch);
  snprintf(ch->text, sizeof ch->text, "%s", text);
  OsdTextTarget t;
  osd_channel_target(ch, frame, &t);
  osd_render(&t, ch->shown.enabled, ch->shown.transparent, ch->text);
  pthread_mutex_unlock(&ch->lock);
}
