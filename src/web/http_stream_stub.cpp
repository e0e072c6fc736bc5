// Stand-ins for the media rows until the HTTP stream and HLS handlers are
// built: every media URL answers "Not found".
#include "web/http_stream.h"

int get_stream_func(WebRequest *req) {
  (void)req;
  return WEB_NOT_HANDLED;
}

int get_mjpeg_func(WebRequest *req) {
  (void)req;
  return WEB_NOT_HANDLED;
}

void hls_playlist(PageBuffer *page) { page->not_found = 1; }

void hls_segment(PageBuffer *page) { page->not_found = 1; }
