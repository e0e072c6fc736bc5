// PageBuffer: a reply text that grows as handlers write it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <microhttpd.h>

#include "core/log.h"
#include "web/templates.h"
#include "web/web_wait.h"

int page_init(PageBuffer *page, WebRequest *req, size_t capacity) {
  memset(page, 0, sizeof *page);
  page->request = req;
  page->free_data = 1;
  if (capacity < 64) capacity = 64;
  page->data = static_cast<char *>(malloc(capacity));
  if (!page->data) {
    page->failed = 1;
    return -1;
  }
  page->capacity = capacity;
  page->data[0] = 0;
  return 0;
}

void page_free(PageBuffer *page) {
  if (page->free_data) free(page->data);
  page->data = nullptr;
  page->capacity = page->length = 0;
}

int page_grow(PageBuffer *page, size_t extra) {
  if (page->failed) return -1;
  size_t need = page->length + extra + 1;
  if (need <= page->capacity) return 0;
  size_t cap = page->capacity ? page->capacity : 256;
  while (cap < need) cap *= 2;
  char *p = static_cast<char *>(realloc(page->data, cap));
  if (!p) {
    log_printf("dynamic buffer failed to reallocate %d bytes\n", int(cap));
    page->failed = 1;
    return -1;
  }
  page->data = p;
  page->capacity = cap;
  return 0;
}

void page_append_n(PageBuffer *page, const char *text, size_t len) {
  if (!text || !len || page_grow(page, len) != 0) return;
  memcpy(page->data + page->length, text, len);
  page->length += len;
  page->data[page->length] = 0;
}

void page_append(PageBuffer *page, const char *text) { page_append_n(page, text, safe_strlen(text)); }

void page_printf(PageBuffer *page, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char *text = nullptr;
  int n = vasprintf(&text, fmt, ap);
  va_end(ap);
  if (n < 0) {
    page->failed = 1;
    return;
  }
  page_append_n(page, text, size_t(n));
  free(text);
}

void html_escape_append_n(PageBuffer *page, const char *text, size_t len) {
  if (!text) return;
  size_t run = 0;
  for (size_t i = 0; i < len; i++) {
    const char *entity = nullptr;
    switch (text[i]) {
    case '"': entity = "&quot;"; break;
    case '<': entity = "&lt;"; break;
    case '>': entity = "&gt;"; break;
    case '&': entity = "&amp;"; break;
    case '\'': entity = "&#39;"; break;
    default: continue;
    }
    page_append_n(page, text + run, i - run);
    page_append(page, entity);
    run = i + 1;
  }
  page_append_n(page, text + run, len - run);
}

void html_escape_append(PageBuffer *page, const char *text) {
  html_escape_append_n(page, text, safe_strlen(text));
}

int page_send(PageBuffer *page) {
  WebRequest *req = page->request;
  if (!req || !req->connection) {
    page_free(page);
    return WEB_NOT_HANDLED;
  }
  if (page->not_found) {
    page_free(page);
    return send_not_found(req->connection, req->url);
  }
  if (page->suspend) {
    page_free(page);
    return web_suspend(req);
  }
  if (page->failed) {
    page_free(page);
    return send_text_status(req->connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "text/plain",
                            "out of memory\n");
  }
  MHD_Response *r;
  if (page->free_data) {
    r = MHD_create_response_from_buffer(page->length, page->data, MHD_RESPMEM_MUST_FREE);
    if (r) page->data = nullptr;
  } else {
    r = MHD_create_response_from_buffer(page->length, page->data, MHD_RESPMEM_MUST_COPY);
  }
  page_free(page);
  if (!r) return WEB_NOT_HANDLED;
  web_content_type(r, page->content_type ? page->content_type : "text/html");
  web_no_cache(r);
  return web_queue_response(req->connection, MHD_HTTP_OK, r);
}
