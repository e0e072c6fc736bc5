// The upload rows of the URL table: firmware images, the custom web bundle
// and overlay images, taken as raw request bodies.
#pragma once
#include <cstddef>
#include "web/web_request.h"

int post_firmware_func(WebRequest *req, const char *data, size_t size);
int post_customzip_func(WebRequest *req, const char *data, size_t size);
int post_overlay_func(WebRequest *req, const char *data, size_t size);
// Where images for the HD on-screen display go (NULL: refused).
struct OverlayCommand;
extern int (*web_osd_post_image)(const OverlayCommand *command);
// At the end of a POST whose body was empty: an upload row answers that
// nothing was sent (the handlers above never ran).
void web_upload_empty(WebRequest *req);
// 1 while a firmware image is held for flashing: other POSTs are turned away.
int web_firmware_update_in_progress(void);
