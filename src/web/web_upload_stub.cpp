// Stand-ins for the upload rows until firmware and web bundle uploads are
// built: the body is read and dropped, and the answer is
// "Not found".
#include "web/web_upload.h"

namespace {

void upload_refused(WebRequest *req) {
  if (req->aborted || !req->connection) return;
  if (send_not_found(req->connection, req->url) == WEB_QUEUED) req->queued = 1;
}

int discard(WebRequest *req) {
  req->close_fn = upload_refused;
  return 0;
}

}  // namespace

int post_firmware_func(WebRequest *req, const char *, size_t) { return discard(req); }
int post_customzip_func(WebRequest *req, const char *, size_t) { return discard(req); }
int web_firmware_update_in_progress(void) { return 0; }
