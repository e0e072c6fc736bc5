// The media rows of the URL table: progressive HTTP streams, JPEG and
// motion-JPEG, and HTTP Live Streaming.
#pragma once
#include "web/templates.h"

int get_stream_func(WebRequest *req);
int get_mjpeg_func(WebRequest *req);
void hls_playlist(PageBuffer *page);
void hls_segment(PageBuffer *page);
