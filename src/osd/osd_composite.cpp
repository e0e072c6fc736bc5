#include "osd/osd_composite.h"

#include <cstdio>
#include <cstring>

#include "osd/osd_font.h"
#include "osd/osd_internal.h"
#include "osd/osd_tokens.h"

void osdComposite(int channel, uint8_t *frame, uint32_t) {
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
  // The sixteen overlay slots are drawn here, in index order, after the text.
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
