// Page templates: the pages of /usr/html filled in with parameter values,
// generated fragments and permission checks before they are sent.
#pragma once
#include <cstdarg>
#include <cstddef>
#include "web/web_request.h"

// A growable reply text.
struct PageBuffer {
  char *data;
  size_t capacity;
  size_t length;
  WebRequest *request;
  const char *content_type;   // NULL: "text/html"
  int free_data;              // data is malloc'd and goes with the reply
  int failed;                 // an allocation failed; the text is incomplete
  int not_found;              // a generator had nothing to give: "Not found"
  int may_suspend;            // the page is the reply: its generator may ask to wait
  int suspend;                // the generator has nothing yet: call it again when woken
};

// 0, or -1 when no memory.
int page_init(PageBuffer *page, WebRequest *req, size_t capacity);
void page_free(PageBuffer *page);
int page_grow(PageBuffer *page, size_t extra);
void page_append(PageBuffer *page, const char *text);
void page_append_n(PageBuffer *page, const char *text, size_t len);
void page_printf(PageBuffer *page, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// " & < > ' as entities.
void html_escape_append(PageBuffer *page, const char *text);
void html_escape_append_n(PageBuffer *page, const char *text, size_t len);
// 200 with the page's content type and no-cache; the page is given away.
int page_send(PageBuffer *page);

// Include depth at which nested includes stop.
#define TEMPLATE_MAX_DEPTH 8

// Renders a file of /usr/html (a board path below it, "/index.htm") into the
// page. title: the title that the including tag gave, or NULL. 1 rendered;
// 0 failed (missing file, or a permission requirement asked for a redirect,
// which is then in the request's redirect target).
int template_render_file(PageBuffer *page, const char *url, const char *title);
// Renders a text (a row's page text) the same way.
int template_render_text(PageBuffer *page, const char *text, size_t len, const char *title);

// GET handler of the include rows: runs the row's generator into a fresh page
// and sends it.
int get_include_func(WebRequest *req);
// GET handler of rows whose text is a page: renders it.
int get_page_text_func(WebRequest *req);

// Generators.
void gen_capture_input_options(PageBuffer *page);
void gen_display_output_options(PageBuffer *page);
void gen_resolutionA_options(PageBuffer *page);
void gen_resolutionB_options(PageBuffer *page);
void gen_frame_rate_options(PageBuffer *page);
void gen_permission_options(PageBuffer *page);
void gen_users_table(PageBuffer *page);
void gen_nav_bar(PageBuffer *page);
void gen_username(PageBuffer *page);
void gen_referer(PageBuffer *page);
void gen_filelist(PageBuffer *page);
void gen_audio_input_options(PageBuffer *page);
void gen_rtsp_streams(PageBuffer *page);
void gen_stream_mode_options(PageBuffer *page);
