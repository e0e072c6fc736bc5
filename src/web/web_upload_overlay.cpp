// The overlay upload: one overlay command in a raw request body, behind a
// 10-byte header (little endian):
//   0  u32 data length; below 5 the header is a command by itself
//   4  u8  kind: the command's target (bits 0-3 slot, 4-5 channel); bits 4-5
//          equal to 2 mark an image for the HD on-screen display
//   5  u8  the command's opacity
//   6  i16 x, 8 i16 y
// The header may arrive in pieces like the rest; the data is gathered into
// a buffer and handed to the overlay at the end of the request.
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "osd/osd_command.h"
#include "web/web_forms.h"
#include "web/web_upload.h"

int (*web_osd_post_image)(const OverlayCommand *command);

namespace {

constexpr size_t kHeader = 10;
constexpr uint32_t kMaxLength = 16u << 20;
constexpr uint8_t kHdOsdKind = 2;

struct OverlayUpload {
  uint8_t header[kHeader];
  size_t header_len;
  uint32_t length;      // bytes of data the header announced
  uint8_t *buf;         // length rounded up to 16 bytes
  uint32_t used;
  bool refused;
  bool sent;            // a command without data went at once
};

int16_t le16s(const uint8_t *p) { return (int16_t)(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t *p) { return (uint32_t)p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

OverlayCommand command_of(const OverlayUpload *u) {
  OverlayCommand c = {};
  c.len = u->length;
  c.x = le16s(u->header + 6);
  c.y = le16s(u->header + 8);
  c.target = u->header[4];
  c.opacity = u->header[5];
  return c;
}

void release(WebRequest *req) {
  OverlayUpload *u = (OverlayUpload *)req->upload_state;
  if (u) free(u->buf);
  free(u);
  req->upload_state = nullptr;
}

// A command the overlay would drop, or an image it cannot show, is
// answered with the reason rather than taken.
bool refused(WebRequest *req, const OverlayCommand *c) {
  char why[160];
  if (osd_command_check(c, why, sizeof why) == 0) return false;
  log_printf("%s: refused: %s\n", "post_overlay_func", why);
  web_request_add_error(req, "overlay", why);
  return true;
}

void overlay_upload_done(WebRequest *req) {
  OverlayUpload *u = (OverlayUpload *)req->upload_state;
  if (!u) return;
  if (req->aborted) {
    // A client that went mid-upload leaves nothing behind.
    log_printf("%s: upload cut, %u bytes dropped\n", "overlay_upload_done", u->used);
    release(req);
    return;
  }
  if (u->refused) {
    release(req);
    return;
  }
  if (u->sent) {
    release(req);
    post_processor_done(req);
    return;
  }
  if (u->header_len < kHeader || u->used < u->length) {
    log_printf("%s: upload cut at %u of %u bytes\n", "overlay_upload_done", u->used, u->length);
    web_request_add_error(req, "overlay", "The upload ended before its data");
    release(req);
    return;
  }
  if ((u->header[4] >> 4 & 3) == kHdOsdKind) {
    OverlayCommand c = command_of(u);
    c.data = u->buf;
    if (!web_osd_post_image) {
      log_printf("%s: no on-screen display takes images\n", "overlay_upload_done");
      web_request_add_error(req, "overlay", "No on-screen display to take the image");
      release(req);
      return;
    }
    // The display logs why it refused.
    if (web_osd_post_image(&c) != 0) {
      web_request_add_error(req, "overlay", "The on-screen display does not show uploaded images");
      release(req);
      return;
    }
    release(req);
    post_processor_done(req);
    return;
  }
  OverlayCommand c = command_of(u);
  c.data = u->buf;
  if (refused(req, &c)) {
    release(req);
    return;
  }
  u->buf = nullptr;
  osdCommand(&c);
  release(req);
  post_processor_done(req);
}

}  // namespace

int post_overlay_func(WebRequest *req, const char *data, size_t size) {
  OverlayUpload *u = (OverlayUpload *)req->upload_state;
  if (!u) {
    if (req->close_fn && req->close_fn != overlay_upload_done)
      log_printf("%s: warning! post->close_func != post_processor_done\n", "post_overlay_func");
    u = (OverlayUpload *)calloc(1, sizeof *u);
    if (!u) {
      req->bad_request = 1;
      return 0;
    }
    req->upload_state = u;
    req->close_fn = overlay_upload_done;
  }
  if (u->refused || u->sent) return 0;
  const uint8_t *p = (const uint8_t *)data;
  if (u->header_len < kHeader) {
    size_t n = kHeader - u->header_len < size ? kHeader - u->header_len : size;
    memcpy(u->header + u->header_len, p, n);
    u->header_len += n;
    p += n;
    size -= n;
    if (u->header_len < kHeader) return 0;
    u->length = le32(u->header);
    if (u->length < 5) {
      OverlayCommand c = command_of(u);
      if (refused(req, &c)) {
        u->refused = true;
        return 0;
      }
      osdCommand(&c);
      u->sent = true;
      return 0;
    }
    if (u->length > kMaxLength) {
      log_printf("%s: %u bytes is too large\n", "post_overlay_func", u->length);
      web_request_add_error(req, "overlay", "The image is too large");
      u->refused = true;
      return 0;
    }
    u->buf = (uint8_t *)malloc(((size_t)u->length + 15) & ~(size_t)15);
    if (!u->buf) {
      web_request_add_error(req, "overlay", "No memory for the image");
      u->refused = true;
      return 0;
    }
  }
  // Bytes past the announced length are dropped.
  size_t n = u->length - u->used < size ? u->length - u->used : size;
  if (n) memcpy(u->buf + u->used, p, n);
  u->used += (uint32_t)n;
  return 0;
}
