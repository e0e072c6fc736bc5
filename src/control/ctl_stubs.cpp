// Client request stubs: one per opcode, the image sender and the event wait.
#include <arpa/inet.h>
#include <cstring>

#include "control/ctl_client.h"

namespace {

struct Call {
  CtlExchange ex;
  CtlPacket *req = &ex.request;
  CtlPacket *rep = &ex.reply;
  explicit Call(uint8_t opcode) { ctl_init_request(&ex.request, opcode); }
  // The transaction; 0 only when the reply's fields (read by done) fit.
  CtlStatus run(CtlChannel *ch) { return ctl_transact(ch, &ex); }
  CtlStatus done(void) { return rep->error; }
};

CtlStatus bare(CtlChannel *ch, uint8_t opcode) {
  Call c(opcode);
  return c.run(ch);
}

CtlStatus with_u8(CtlChannel *ch, uint8_t opcode, uint8_t v) {
  Call c(opcode);
  ctl_put_u8(c.req, v);
  return c.run(ch);
}

CtlStatus with_u8_u8(CtlChannel *ch, uint8_t opcode, uint8_t a, uint8_t b) {
  Call c(opcode);
  ctl_put_u8(c.req, a);
  ctl_put_u8(c.req, b);
  return c.run(ch);
}

CtlStatus get_u8(CtlChannel *ch, uint8_t opcode, uint8_t *out) {
  Call c(opcode);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint8_t v = ctl_get_u8(c.rep);
  if ((st = c.done()) == 0) *out = v;
  return st;
}

CtlStatus get_u32(Call &c, CtlChannel *ch, uint32_t *out) {
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint32_t v = ctl_get_u32(c.rep);
  if ((st = c.done()) == 0) *out = v;
  return st;
}

CtlStatus get_string(Call &c, CtlChannel *ch, char *buf, size_t size) {
  CtlStatus st = c.run(ch);
  if (st) return st;
  ctl_get_string_copy(c.rep, buf, size);
  return c.done();
}

}  // namespace

CtlStatus ctl_get_version(CtlChannel *ch, uint32_t *version) {
  Call c(1);
  return get_u32(c, ch, version);
}

CtlStatus ctl_get_identity(CtlChannel *ch, uint32_t *kind, char *name, size_t size) {
  Call c(2);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint32_t k = ctl_get_u32(c.rep);
  ctl_get_string_copy(c.rep, name, size);
  if ((st = c.done()) == 0) *kind = k;
  return st;
}

CtlStatus ctl_get_status(CtlChannel *ch, uint32_t *word) {
  Call c(3);
  return get_u32(c, ch, word);
}

CtlStatus ctl_subscribe(CtlChannel *ch, uint8_t unit, uint32_t mask) {
  Call c(4);
  ctl_put_u8(c.req, unit);
  ctl_put_u32(c.req, mask);
  ctl_put_u16(c.req, ntohs(ch->event.local_port));
  CtlStatus st = c.run(ch);
  if (st == CTL_OK && mask) {
    ch->subscribed = 1;
    ch->subscribed_slot = unit;
  } else if (st == CTL_OK && ch->subscribed && ch->subscribed_slot == unit) {
    ch->subscribed = 0;
  }
  return st;
}

CtlStatus ctl_set_display_mode(CtlChannel *ch, uint8_t mode) { return with_u8(ch, 5, mode); }
CtlStatus ctl_get_display_mode(CtlChannel *ch, uint8_t *mode) { return get_u8(ch, 9, mode); }

CtlStatus ctl_set_time(CtlChannel *ch, uint32_t seconds) {
  Call c(10);
  ctl_put_u32(c.req, seconds);
  return c.run(ch);
}

CtlStatus ctl_get_time(CtlChannel *ch, uint32_t *seconds) {
  Call c(11);
  return get_u32(c, ch, seconds);
}

CtlStatus ctl_record_start(CtlChannel *ch, uint8_t storage, uint8_t mode, uint16_t kbits, char *name,
                           size_t size) {
  Call c(20);
  ctl_put_u8(c.req, storage);
  ctl_put_u8(c.req, mode);
  ctl_put_u16(c.req, kbits);
  return get_string(c, ch, name, size);
}

CtlStatus ctl_record_stop(CtlChannel *ch) { return bare(ch, 21); }
CtlStatus ctl_record_pause(CtlChannel *ch) { return bare(ch, 22); }
CtlStatus ctl_record_resume(CtlChannel *ch) { return bare(ch, 23); }

CtlStatus ctl_play_seek(CtlChannel *ch, int16_t seconds) {
  Call c(31);
  ctl_put_u16(c.req, (uint16_t)seconds);
  return c.run(ch);
}

CtlStatus ctl_play_file(CtlChannel *ch, uint8_t storage, const char *name) {
  Call c(32);
  ctl_put_u8(c.req, storage);
  ctl_put_string(c.req, name);
  return c.run(ch);
}

CtlStatus ctl_play_file_ex(CtlChannel *ch, uint8_t storage, uint8_t extra, const char *name) {
  Call c(32);
  ctl_put_u8(c.req, storage);
  ctl_put_u8(c.req, extra);
  ctl_put_string(c.req, name);
  return c.run(ch);
}

CtlStatus ctl_play_stop(CtlChannel *ch) { return bare(ch, 33); }
CtlStatus ctl_play_pause(CtlChannel *ch) { return bare(ch, 34); }
CtlStatus ctl_play_resume(CtlChannel *ch) { return bare(ch, 35); }
CtlStatus ctl_play_trick(CtlChannel *ch, uint8_t mode) { return with_u8(ch, 36, mode); }
CtlStatus ctl_get_trick(CtlChannel *ch, uint8_t *mode) { return get_u8(ch, 39, mode); }

CtlStatus ctl_snapshot_take(CtlChannel *ch, uint8_t storage, uint8_t quality, char *name, size_t size) {
  Call c(41);
  ctl_put_u8(c.req, storage);
  ctl_put_u8(c.req, quality);
  return get_string(c, ch, name, size);
}

CtlStatus ctl_file_count(CtlChannel *ch, uint8_t storage, uint32_t *count) {
  Call c(50);
  ctl_put_u8(c.req, storage);
  return get_u32(c, ch, count);
}

CtlStatus ctl_file_name(CtlChannel *ch, uint8_t storage, uint32_t index, char *name, size_t size) {
  Call c(52);
  ctl_put_u8(c.req, storage);
  ctl_put_u32(c.req, index);
  return get_string(c, ch, name, size);
}

CtlStatus ctl_file_delete(CtlChannel *ch, uint8_t storage, const char *name) {
  Call c(53);
  ctl_put_u8(c.req, storage);
  ctl_put_string(c.req, name);
  return c.run(ch);
}

CtlStatus ctl_file_rename(CtlChannel *ch, uint8_t storage, const char *from, const char *to) {
  Call c(54);
  ctl_put_u8(c.req, storage);
  ctl_put_string(c.req, from);
  ctl_put_string(c.req, to);
  return c.run(ch);
}

CtlStatus ctl_set_osd_text(CtlChannel *ch, uint8_t line, const char *text) {
  Call c(60);
  ctl_put_u8(c.req, line);
  ctl_put_string(c.req, text);
  return c.run(ch);
}

CtlStatus ctl_set_osd_position(CtlChannel *ch, uint8_t line, uint16_t y, uint16_t x) {
  Call c(61);
  ctl_put_u8(c.req, line);
  ctl_put_u16(c.req, y);
  ctl_put_u16(c.req, x);
  return c.run(ch);
}

CtlStatus ctl_set_osd_enable(CtlChannel *ch, uint8_t line, uint8_t font) { return with_u8_u8(ch, 62, line, font); }
CtlStatus ctl_set_osd_background(CtlChannel *ch, uint8_t line, uint8_t background) {
  return with_u8_u8(ch, 63, line, background);
}

CtlStatus ctl_set_osd_datetime_format(CtlChannel *ch, uint8_t date, uint8_t time) {
  if (date > 13) return CTL_ERR_RANGE;
  return with_u8_u8(ch, 64, date, time);
}

CtlStatus ctl_get_osd_datetime_format(CtlChannel *ch, uint8_t *date, uint8_t *time) {
  Call c(65);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint8_t d = ctl_get_u8(c.rep), t = ctl_get_u8(c.rep);
  if ((st = c.done()) == 0) {
    *date = d;
    *time = t;
  }
  return st;
}

CtlStatus ctl_get_osd(CtlChannel *ch, uint8_t line, uint8_t *font, uint8_t *background, uint16_t *y,
                      uint16_t *x) {
  Call c(69);
  ctl_put_u8(c.req, line);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint8_t f = ctl_get_u8(c.rep), b = ctl_get_u8(c.rep);
  uint16_t yy = ctl_get_u16(c.rep), xx = ctl_get_u16(c.rep);
  if ((st = c.done()) == 0) {
    *font = f;
    *background = b;
    *y = yy;
    *x = xx;
  }
  return st;
}

CtlStatus ctl_image_alloc(CtlChannel *ch, uint8_t slot, uint16_t size) {
  Call c(70);
  ctl_put_u8(c.req, slot);
  ctl_put_u16(c.req, size);
  return c.run(ch);
}

CtlStatus ctl_image_chunk(CtlChannel *ch, uint8_t slot, uint16_t offset, const void *data, size_t count) {
  Call c(71);
  ctl_put_u8(c.req, slot);
  ctl_put_u16(c.req, offset);
  ctl_put_bytes(c.req, data, count);
  return c.run(ch);
}

CtlStatus ctl_image_commit(CtlChannel *ch, uint8_t slot, uint8_t channel) {
  return with_u8_u8(ch, 72, slot, channel);
}

CtlStatus ctl_send_image(CtlChannel *ch, uint8_t slot, uint8_t channel, const void *data, size_t size) {
  if (size < 1 || size > 0xFFFF) return CTL_ERR_RANGE;
  CtlStatus st = ctl_image_alloc(ch, slot, (uint16_t)size);
  const uint8_t *bytes = (const uint8_t *)data;
  for (size_t off = 0; st == CTL_OK && off < size; off += 240)
    st = ctl_image_chunk(ch, slot, (uint16_t)off, bytes + off, size - off < 240 ? size - off : 240);
  return st ? st : ctl_image_commit(ch, slot, channel);
}

CtlStatus ctl_set_capture_adjust(CtlChannel *ch, uint8_t item, uint8_t value) {
  return with_u8_u8(ch, 80, item, value);
}

CtlStatus ctl_get_capture_adjust(CtlChannel *ch, uint8_t item, uint8_t *value) {
  Call c(81);
  ctl_put_u8(c.req, item);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint8_t v = ctl_get_u8(c.rep);
  if ((st = c.done()) == 0) *value = v;
  return st;
}

CtlStatus ctl_set_capture_mode(CtlChannel *ch, uint8_t standard, uint8_t interpolate, uint8_t rate) {
  Call c(100);
  ctl_put_u8(c.req, standard);
  ctl_put_u8(c.req, interpolate);
  ctl_put_u8(c.req, rate);
  return c.run(ch);
}

CtlStatus ctl_get_capture_mode(CtlChannel *ch, uint8_t *standard, uint8_t *interpolate, uint8_t *rate) {
  Call c(101);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint8_t s = ctl_get_u8(c.rep), i = ctl_get_u8(c.rep), r = ctl_get_u8(c.rep);
  if ((st = c.done()) == 0) {
    *standard = s;
    *interpolate = i;
    *rate = r;
  }
  return st;
}

CtlStatus ctl_set_audio_input(CtlChannel *ch, uint8_t input) { return with_u8(ch, 110, input); }
CtlStatus ctl_set_volume(CtlChannel *ch, uint8_t channels, uint8_t volume) {
  return with_u8_u8(ch, 111, channels, volume);
}
CtlStatus ctl_set_mute(CtlChannel *ch, uint8_t channels, uint8_t on) { return with_u8_u8(ch, 112, channels, on); }
CtlStatus ctl_set_agc(CtlChannel *ch, uint8_t channels, uint8_t on) { return with_u8_u8(ch, 113, channels, on); }

CtlStatus ctl_get_audio(CtlChannel *ch, uint8_t values[7]) {
  Call c(119);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint8_t v[7];
  ctl_get_bytes(c.rep, v, sizeof v);
  if ((st = c.done()) == 0) memcpy(values, v, sizeof v);
  return st;
}

CtlStatus ctl_set_encoder_count(CtlChannel *ch, uint8_t channel, uint32_t count) {
  Call c(120);
  ctl_put_u8(c.req, channel);
  ctl_put_u32(c.req, count);
  return c.run(ch);
}

CtlStatus ctl_get_encoder_count(CtlChannel *ch, uint8_t channel, uint32_t *count) {
  Call c(121);
  ctl_put_u8(c.req, channel);
  return get_u32(c, ch, count);
}

CtlStatus ctl_set_encoder_scalar(CtlChannel *ch, uint8_t channel, double scale) {
  Call c(122);
  uint64_t bits;
  memcpy(&bits, &scale, sizeof bits);
  ctl_put_u8(c.req, channel);
  ctl_put_u64(c.req, bits);
  return c.run(ch);
}

CtlStatus ctl_set_offboard_encoder(CtlChannel *ch, uint8_t channel, uint8_t on) {
  return with_u8_u8(ch, 123, channel, on);
}

CtlStatus ctl_get_encoder_scalar(CtlChannel *ch, uint8_t channel, double *scale, uint8_t *offboard) {
  Call c(129);
  ctl_put_u8(c.req, channel);
  CtlStatus st = c.run(ch);
  if (st) return st;
  uint64_t bits = ctl_get_u64(c.rep);
  uint8_t off = ctl_get_u8(c.rep);
  if ((st = c.done()) == 0) {
    memcpy(scale, &bits, sizeof bits);
    *offboard = off;
  }
  return st;
}

CtlStatus ctl_wait_event(CtlChannel *ch, uint32_t timeout_ms, uint32_t *word, uint32_t *changed,
                         char *reason, size_t size) {
  CtlPacket p;
  size_t n = 0;
  CtlStatus st = ctl_receive(&ch->event, &p, &n, nullptr, timeout_ms);
  if (st) return st;
  if ((st = ctl_decode_frame(&p, n)) != 0) return st;
  if (ctl_get_u8(&p) != CTL_KIND_EVENT) return CTL_ERR_KIND;
  if (ctl_get_u8(&p) != 1) return CTL_ERR_EVENT_TYPE;
  uint32_t w = ctl_get_u32(&p), c = ctl_get_u32(&p);
  ctl_get_string_copy(&p, reason, size);
  if (p.error) return p.error;
  *word = w;
  *changed = c;
  return CTL_OK;
}
