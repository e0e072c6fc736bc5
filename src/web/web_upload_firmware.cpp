// The firmware and web bundle uploads: raw request bodies for the
// administrator. A firmware image is handed to the update piece by piece
// (the update checks the image once it is complete and starts flashing
// it); the first 64 bytes, the image's header, are gathered first whatever
// the pieces. Nothing else stops for an upload: the streams stop only when
// an accepted image is about to be written.
#include <cstdlib>
#include <cstring>

#include "core/firmware.h"
#include "core/log.h"
#include "web/web_forms.h"
#include "web/web_upload.h"

namespace {

struct FirmwareUpload {
  uint8_t header[UIMAGE_HEADER_SIZE];
  size_t header_len;
  bool begun;           // firmware_upload_init was called
  bool refused;         // the image was refused, at its header or whole
  bool busy;            // another upload or update held the state
};

// The request's own pointer names its upload to the update.
void begin(WebRequest *req, FirmwareUpload *u) {
  u->begun = true;
  int rc = firmware_upload_init(req, u->header, u->header_len);
  u->busy = rc == -2;
  if (rc != 0 || firmware_upload_append(req, u->header, u->header_len) != 0) u->refused = true;
}

void firmware_upload_done(WebRequest *req) {
  FirmwareUpload *u = (FirmwareUpload *)req->upload_state;
  if (u && !u->begun && !req->aborted) begin(req, u);
  // The status is the other upload's: this one is told only that it came
  // while the box was busy.
  if (u && u->busy) {
    if (!req->aborted)
      web_request_add_error(req, "firmware",
                            "The box is busy with another firmware update: try again once it ended");
  } else if (firmware_upload_finish(req) != 0 || (u && u->refused)) {
    // An image refused at its header or cut short is answered as such; one
    // taken whole goes on being checked and written, which the status page
    // follows to its end.
    const char *why = u && u->header_len ? firmware_status_peek() : nullptr;
    if (!req->aborted) web_request_add_error(req, "firmware", why ? why : "Firmware upload failed");
  }
  free(u);
  req->upload_state = nullptr;
  if (!req->aborted) post_processor_done(req);
}

// The bundle is gathered behind its 4-byte length field; a bundle past the
// block's size is not stored at all, so the one in flash stays.
struct BundleUpload {
  uint8_t *block;
  uint32_t used;
  bool oversize;
};

void customzip_upload_done(WebRequest *req) {
  BundleUpload *u = (BundleUpload *)req->upload_state;
  req->upload_state = nullptr;
  if (!u) return;
  if (!req->aborted && u->oversize) {
    web_request_add_error(req, "customzip", "The bundle is too large");
  } else if (!req->aborted && u->used > 4) {
    uint32_t len = u->used - 4;
    u->block[0] = len; u->block[1] = len >> 8; u->block[2] = len >> 16; u->block[3] = len >> 24;
    int rc = customzip_save(u->block, u->used);
    if (rc == -1) web_request_add_error(req, "customzip", "The bundle is refused (see the program log)");
    else if (rc == -2)
      web_request_add_error(req, "customzip",
                            "The bundle could not be written; the old bundle and its pages are kept "
                            "(see the program log)");
    else if (rc < 0)
      web_request_add_error(req, "customzip",
                            "The bundle could not be written, nor all of the old pages put back "
                            "(see the program log)");
  }
  free(u->block);
  free(u);
  if (!req->aborted) post_processor_done(req);
}

}  // namespace

int post_firmware_func(WebRequest *req, const char *data, size_t size) {
  FirmwareUpload *u = (FirmwareUpload *)req->upload_state;
  if (!u) {
    if (req->close_fn && req->close_fn != firmware_upload_done)
      log_printf("%s: warning! post->close_func != post_processor_done\n", "post_firmware_func");
    u = (FirmwareUpload *)calloc(1, sizeof *u);
    if (!u) {
      req->bad_request = 1;
      return 0;
    }
    req->upload_state = u;
    req->close_fn = firmware_upload_done;
  }
  if (!u->begun) {
    size_t n = UIMAGE_HEADER_SIZE - u->header_len < size ? UIMAGE_HEADER_SIZE - u->header_len : size;
    memcpy(u->header + u->header_len, data, n);
    u->header_len += n;
    data += n;
    size -= n;
    if (u->header_len < UIMAGE_HEADER_SIZE) return 0;
    begin(req, u);
  }
  if (size && !u->refused && firmware_upload_append(req, data, size) != 0) u->refused = true;
  return 0;
}

int post_customzip_func(WebRequest *req, const char *data, size_t size) {
  BundleUpload *u = (BundleUpload *)req->upload_state;
  log_printf("%s: index=%d size=%d\n", "post_customzip_func", u ? (int)u->used : 0, (int)size);
  if (!u) {
    if (req->close_fn && req->close_fn != customzip_upload_done)
      log_printf("%s: warning! post->close_func != post_processor_done\n", "post_customzip_func");
    u = (BundleUpload *)calloc(1, sizeof *u);
    if (u) u->block = (uint8_t *)malloc(CUSTOMZIP_BLOCK_MAX);
    if (!u || !u->block) {
      if (u) free(u);
      req->bad_request = 1;
      return 0;
    }
    u->used = 4;
    req->upload_state = u;
    req->close_fn = customzip_upload_done;
  }
  if (u->oversize) return 0;
  if (size > CUSTOMZIP_BLOCK_MAX - u->used) {
    log_printf("customzip oversize\n");
    u->oversize = true;
    return 0;
  }
  memcpy(u->block + u->used, data, size);
  u->used += (uint32_t)size;
  return 0;
}

int web_firmware_update_in_progress(void) { return firmware_update_in_progress(); }

void web_upload_empty(WebRequest *req) {
  const WebPostFn fn = req->row ? req->row->post_fn : nullptr;
  if (fn == post_firmware_func || fn == post_customzip_func || fn == post_overlay_func)
    web_request_add_error(req, req->row->name, "nothing was sent");
}
