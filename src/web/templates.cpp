// The template engine: copies a page through, acting on its include, title,
// form, require, input, select and option tags.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "core/param_access.h"
#include "core/param_table.h"
#include "platform/host_root.h"
#include "web/http_stream.h"
#include "web/templates.h"
#include "web/web_forms.h"

namespace {

enum RenderResult {
  RENDER_FAIL = 0,       // nothing rendered (missing file)
  RENDER_OK = 1,
  RENDER_REPLACED = 2,   // a permission requirement put the unauthorized page in its place
  RENDER_REDIRECT = 3,   // a permission requirement asked for the request's redirect
};

enum TagKind {
  TAG_NONE, TAG_INCLUDE, TAG_TITLE_END, TAG_FORM, TAG_FORM_END, TAG_REQUIRE, TAG_INPUT,
  TAG_SELECT, TAG_SELECT_END, TAG_OPTION,
};

struct TagName {
  const char *name;
  TagKind kind;
};
const TagName tag_names[] = {
    {"include", TAG_INCLUDE}, {"/title", TAG_TITLE_END}, {"form", TAG_FORM},
    {"/form", TAG_FORM_END},  {"require", TAG_REQUIRE},  {"input", TAG_INPUT},
    {"select", TAG_SELECT},   {"/select", TAG_SELECT_END}, {"option", TAG_OPTION},
};

constexpr int kMaxAttrs = 32;
// Pages are small; a larger file is not a page.
constexpr off_t kMaxPageFile = 1 << 20;
constexpr size_t kValueMax = 256;

struct Attr {
  const char *name;
  size_t name_len;
  const char *raw;     // the attribute as written, for copying it unchanged
  size_t raw_len;
  char *value;         // unescaped, NUL-terminated (points into Tag::values)
  bool has_value;
};

struct Tag {
  TagKind kind;
  const char *name;
  size_t name_len;
  const char *end;     // one past '>'
  bool self_close;
  Attr attr[kMaxAttrs];
  int nattr;
  char *values;        // malloc'd store of the unescaped values
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

TagKind match_tag(const char *p, const char *end, size_t *name_len) {
  for (const TagName &t : tag_names) {
    size_t n = strlen(t.name);
    if (size_t(end - p) < n || memcmp(p, t.name, n) != 0) continue;
    if (p + n < end && !is_blank(p[n]) && p[n] != '>' && p[n] != '/') continue;
    *name_len = n;
    return t.kind;
  }
  return TAG_NONE;
}

// Parses the attributes after the tag name up to the closing '>'. false when
// the text ends first, or the tag has more attributes than it can keep.
bool parse_tag(const char *name, size_t name_len, const char *end, Tag *tag) {
  tag->name = name;
  tag->name_len = name_len;
  tag->nattr = 0;
  tag->self_close = false;
  tag->values = static_cast<char *>(malloc(size_t(end - name) + kMaxAttrs + 1));
  if (!tag->values) return false;
  char *out = tag->values;
  const char *q = name + name_len;
  for (;;) {
    while (q < end && is_blank(*q)) q++;
    if (q >= end) return false;
    if (*q == '>') {
      tag->end = q + 1;
      return true;
    }
    if (*q == '/' && q + 1 < end && q[1] == '>') {
      tag->self_close = true;
      tag->end = q + 2;
      return true;
    }
    const char *an = q;
    while (q < end && !is_blank(*q) && *q != '=' && *q != '>' && !(*q == '/' && q + 1 < end && q[1] == '>'))
      q++;
    if (q == an) {
      q++;   // a stray '=': skipped
      continue;
    }
    if (tag->nattr == kMaxAttrs) return false;
    Attr *a = &tag->attr[tag->nattr++];
    a->name = an;
    a->name_len = size_t(q - an);
    a->has_value = false;
    a->value = out;
    const char *t = q;
    while (t < end && is_blank(*t)) t++;
    if (t < end && *t == '=') {
      t++;
      while (t < end && is_blank(*t)) t++;
      if (t < end && (*t == '\'' || *t == '"')) {
        char quote = *t++;
        while (t < end && *t != quote) {
          if (*t == '\\' && t + 1 < end && t[1] == quote) t++;
          *out++ = *t++;
        }
        if (t >= end) return false;
        t++;
      } else {
        while (t < end && !is_blank(*t) && *t != '>') *out++ = *t++;
      }
      a->has_value = true;
      q = t;
    }
    *out++ = 0;
    a->raw = an;
    a->raw_len = size_t(q - an);
  }
}

const char *attr_value(const Tag *tag, const char *name) {
  size_t n = strlen(name);
  for (int i = 0; i < tag->nattr; i++) {
    const Attr &a = tag->attr[i];
    if (a.name_len == n && strncasecmp(a.name, name, n) == 0) return a.has_value ? a.value : "";
  }
  return nullptr;
}

bool attr_is(const Attr &a, const char *name) {
  size_t n = strlen(name);
  return a.name_len == n && strncasecmp(a.name, name, n) == 0;
}

// Copies the tag with the attributes whose names are in skip (NULL-ended)
// left out, then extra, then the tag's end.
void emit_tag(PageBuffer *page, const Tag *tag, const char *const *skip, const char *extra) {
  page_append(page, "<");
  page_append_n(page, tag->name, tag->name_len);
  for (int i = 0; i < tag->nattr; i++) {
    bool drop = false;
    for (const char *const *s = skip; s && *s && !drop; s++) drop = attr_is(tag->attr[i], *s);
    if (drop) continue;
    page_append(page, " ");
    page_append_n(page, tag->attr[i].raw, tag->attr[i].raw_len);
  }
  page_append(page, extra);
  page_append(page, tag->self_close ? " />" : ">");
}

// The value of a parameter the requester may read; false otherwise.
bool read_param(const WebRequest *req, const char *name, char *buf, size_t size) {
  buf[0] = 0;
  if (param_may_read(name, req ? req->permission : PERM_NONE) != 1) return false;
  if (param_get(name, buf, size) < 0) {
    buf[0] = 0;
    return false;
  }
  return true;
}

void prefixed(const WebRequest *req, const char *name, char *out, size_t size) {
  snprintf(out, size, "%s%s", req && req->form_prefix ? req->form_prefix : "", name);
}

uint32_t field_max(const ParamDesc *d) {
  return d->size >= 4 ? UINT32_MAX : (1u << (8 * d->size)) - 1;
}

// min, max and step of a number input as the row's type needs them.
void emit_range(PageBuffer *page, const ParamDesc *d) {
  if (d->type == PARAM_INTEGER) {
    if (d->min < 0) {
      page_printf(page, " min=\"%d\" max=\"%d\"", d->min, d->max);
    } else {
      uint32_t max = uint32_t(d->max) > field_max(d) ? field_max(d) : uint32_t(d->max);
      page_printf(page, " min=\"%u\" max=\"%u\"", uint32_t(d->min), max);
    }
    if (d->step > 1) page_printf(page, " step=\"%d\"", d->step);
  } else if (d->type == PARAM_FLOAT) {
    float min, max;
    memcpy(&min, &d->min, sizeof min);
    memcpy(&max, &d->max, sizeof max);
    page_printf(page, " min=\"%g\" max=\"%g\" step=\"any\"", double(min), double(max));
  }
}

void do_input(PageBuffer *page, const Tag *tag, const char *src, size_t src_len) {
  WebRequest *req = page->request;
  const char *type = attr_value(tag, "type");
  const char *name = attr_value(tag, "name");
  enum { TEXT, NUMBER, CHECKBOX } kind;
  if (!type || !name || !*name) {
    page_append_n(page, src, src_len);
    return;
  }
  if (strcasecmp(type, "text") == 0) kind = TEXT;
  else if (strcasecmp(type, "number") == 0 || strcasecmp(type, "range") == 0) kind = NUMBER;
  else if (strcasecmp(type, "checkbox") == 0) kind = CHECKBOX;
  else {
    page_append_n(page, src, src_len);
    return;
  }
  char full[128];
  prefixed(req, name, full, sizeof full);
  const ParamDesc *d = param_find(full);
  if (!d) {
    page_append_n(page, src, src_len);
    return;
  }
  char value[kValueMax];
  bool have = read_param(req, full, value, sizeof value);
  if (kind == CHECKBOX) {
    static const char *const skip[] = {"checked", nullptr};
    const char *v = attr_value(tag, "value");
    emit_tag(page, tag, skip, have && v && strcmp(v, value) == 0 ? " checked" : "");
    return;
  }
  static const char *const skip_text[] = {"value", nullptr};
  static const char *const skip_number[] = {"value", "min", "max", "step", nullptr};
  PageBuffer extra;
  if (page_init(&extra, req, 128) != 0) {
    page->failed = 1;
    return;
  }
  page_append(&extra, " value=\"");
  html_escape_append(&extra, value);
  page_append(&extra, "\"");
  if (kind == NUMBER) emit_range(&extra, d);
  if (extra.failed) page->failed = 1;
  emit_tag(page, tag, kind == NUMBER ? skip_number : skip_text, extra.data);
  page_free(&extra);
}

void do_option(PageBuffer *page, const Tag *tag, const char *src, size_t src_len) {
  WebRequest *req = page->request;
  char value[kValueMax];
  if (!req || !req->select_param[0] || !read_param(req, req->select_param, value, sizeof value)) {
    page_append_n(page, src, src_len);
    return;
  }
  static const char *const skip[] = {"selected", nullptr};
  const char *v = attr_value(tag, "value");
  emit_tag(page, tag, skip, v && strcmp(v, value) == 0 ? " selected" : "");
}

const UrlHandler *unauthorized_row(void) { return url_table_lookup("unauthorized.htm"); }

int render_text(PageBuffer *page, const char *text, size_t len, const char *title, int depth);

int render_file(PageBuffer *page, const char *url, const char *title, int depth) {
  char path[320];
  snprintf(path, sizeof path, "/usr/html%s%s", url[0] == '/' ? "" : "/", url);
  struct stat st;
  errno = 0;
  // Every component is taken as it is, never through a link.
  int fd = web_open_beneath("/usr/html", url, O_RDONLY);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxPageFile) {
    // Only regular files of a page's size are pages.
    if (errno == 0) errno = EINVAL;
    log_printf("open: %s [%s]\n", strerror(errno), path);
    if (fd >= 0) close(fd);
    return RENDER_FAIL;
  }
  char *text = static_cast<char *>(malloc(size_t(st.st_size) + 1));
  if (!text) {
    close(fd);
    log_printf("out of memory\n");
    return RENDER_FAIL;
  }
  size_t got = 0;
  while (got < size_t(st.st_size)) {
    ssize_t n = read(fd, text + got, size_t(st.st_size) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  if (got != size_t(st.st_size)) {
    perror("read");
    free(text);
    return RENDER_FAIL;
  }
  int r = render_text(page, text, got, title, depth);
  free(text);
  return r;
}

int do_include(PageBuffer *page, const Tag *tag, int depth) {
  WebRequest *req = page->request;
  const char *src = attr_value(tag, "src");
  const char *title = attr_value(tag, "title");
  if (!src || !*src) {
    log_printf("failed to include resource %s\n", "");
    return RENDER_OK;
  }
  uint32_t perm = req ? req->permission : PERM_NONE;
  if (const UrlHandler *row = url_table_lookup(src)) {
    if (row->get_level > perm) return RENDER_OK;
    if (row->get_fn == get_include_func && row->gen && row->gen != hls_playlist &&
        row->gen != hls_segment) {
      const UrlHandler *saved = req->row;
      req->row = row;
      row->gen(page);
      req->row = saved;
      return RENDER_OK;
    }
    if (row->get_fn == get_page_text_func && row->text) {
      if (depth + 1 > TEMPLATE_MAX_DEPTH) return RENDER_OK;
      int r = render_text(page, row->text, strlen(row->text), title, depth + 1);
      return r == RENDER_FAIL ? RENDER_OK : r;
    }
    if (!row->get_fn) {
      html_escape_append(page, row->text);
      return RENDER_OK;
    }
    // The rest answer a connection of their own: a page cannot hold them.
    log_printf("%s: include of %s refused\n", "template_render", src);
    return RENDER_OK;
  }
  if (param_find(src)) {
    char value[kValueMax];
    if (read_param(req, src, value, sizeof value)) html_escape_append(page, value);
    return RENDER_OK;
  }
  if (depth + 1 > TEMPLATE_MAX_DEPTH || !web_name_ok(src, 200)) {
    log_printf("failed to include resource %s\n", src);
    return RENDER_OK;
  }
  int r = render_file(page, src, title, depth + 1);
  if (r == RENDER_FAIL) {
    log_printf("failed to include resource %s\n", src);
    return RENDER_OK;
  }
  return r;
}

int do_require(PageBuffer *page, const Tag *tag, int depth) {
  WebRequest *req = page->request;
  const char *level = attr_value(tag, "permission");
  if (!req) return RENDER_OK;
  // A level this program does not know (a typing error in a page) is met by
  // nobody: the page stays closed rather than open to all.
  uint32_t needed = level ? get_permission(level) : PERM_DEMO + 1;
  if (needed == PERM_NONE && strcasecmp(level, permission_name(PERM_NONE)) != 0) needed = PERM_DEMO + 1;
  if (req->permission >= needed) return RENDER_OK;
  if (str_ends_with(web_header(req, "Referer"), "/logout.htm")) {
    free(req->redirect);
    req->redirect = strdup("/index.htm");
    return RENDER_REDIRECT;
  }
  page->length = 0;
  if (page->data) page->data[0] = 0;
  const UrlHandler *u = unauthorized_row();
  if (u && u->text) {
    req->form_prefix = nullptr;
    req->select_param[0] = 0;
    render_text(page, u->text, strlen(u->text), nullptr, depth);
  }
  return RENDER_REPLACED;
}

int render_text(PageBuffer *page, const char *text, size_t len, const char *title, int depth) {
  WebRequest *req = page->request;
  const char *p = text, *end = text + len, *copied = text;
  while (p < end) {
    const char *lt = static_cast<const char *>(memchr(p, '<', size_t(end - p)));
    if (!lt) break;
    const char *n = lt + 1;
    while (n < end && is_blank(*n)) n++;
    size_t name_len = 0;
    TagKind kind = match_tag(n, end, &name_len);
    Tag tag;
    tag.values = nullptr;
    if (kind == TAG_NONE || !parse_tag(n, name_len, end, &tag)) {
      free(tag.values);
      p = lt + 1;
      continue;
    }
    tag.kind = kind;
    page_append_n(page, copied, size_t(lt - copied));
    size_t src_len = size_t(tag.end - lt);
    int r = RENDER_OK;
    switch (kind) {
    case TAG_INCLUDE:
      r = do_include(page, &tag, depth);
      break;
    case TAG_TITLE_END:
      if (title) {
        char host[64];
        if (param_get("NetworkHostname", host, sizeof host) < 0) host[0] = 0;
        html_escape_append(page, host);
        page_append(page, " - ");
        html_escape_append(page, title);
      }
      page_append_n(page, lt, src_len);
      break;
    case TAG_FORM: {
      const UrlHandler *row = url_table_lookup(attr_value(&tag, "action"));
      if (req)
        req->form_prefix = row && (row->post_fn == post_processor_func ||
                                   row->post_fn == post_processor_nosave_func)
                               ? row->text
                               : nullptr;
      page_append_n(page, lt, src_len);
      break;
    }
    case TAG_FORM_END:
      if (req) req->form_prefix = nullptr;
      page_append_n(page, lt, src_len);
      break;
    case TAG_REQUIRE:
      r = do_require(page, &tag, depth);
      break;
    case TAG_INPUT:
      do_input(page, &tag, lt, src_len);
      break;
    case TAG_SELECT: {
      const char *name = attr_value(&tag, "name");
      if (!name || !*name) log_printf("%s: select tag without name property\n", "template_render");
      if (req) {
        if (name && *name) prefixed(req, name, req->select_param, sizeof req->select_param);
        else req->select_param[0] = 0;
      }
      page_append_n(page, lt, src_len);
      break;
    }
    case TAG_SELECT_END:
      if (req) req->select_param[0] = 0;
      page_append_n(page, lt, src_len);
      break;
    case TAG_OPTION:
      do_option(page, &tag, lt, src_len);
      break;
    case TAG_NONE:
      break;
    }
    free(tag.values);
    copied = p = tag.end;
    if (r != RENDER_OK) return r;
  }
  page_append_n(page, copied, size_t(end - copied));
  return RENDER_OK;
}

int top_render(PageBuffer *page, int r) {
  if (page->request) {
    page->request->form_prefix = nullptr;
    page->request->select_param[0] = 0;
  }
  return r == RENDER_OK || r == RENDER_REPLACED ? 1 : 0;
}

}  // namespace

int template_render_file(PageBuffer *page, const char *url, const char *title) {
  if (page->request) {
    page->request->form_prefix = nullptr;
    page->request->select_param[0] = 0;
  }
  return top_render(page, render_file(page, url, title, 0));
}

int template_render_text(PageBuffer *page, const char *text, size_t len, const char *title) {
  if (page->request) {
    page->request->form_prefix = nullptr;
    page->request->select_param[0] = 0;
  }
  return top_render(page, render_text(page, text, len, title, 0));
}

int get_include_func(WebRequest *req) {
  if (!req->row || !req->row->gen) return WEB_NOT_HANDLED;
  PageBuffer page;
  if (page_init(&page, req, 4096) != 0) return WEB_NOT_HANDLED;
  page.may_suspend = 1;
  req->row->gen(&page);
  return page_send(&page);
}

int get_page_text_func(WebRequest *req) {
  if (!req->row || !req->row->text) return WEB_NOT_HANDLED;
  PageBuffer page;
  if (page_init(&page, req, 4096) != 0) return WEB_NOT_HANDLED;
  if (!template_render_text(&page, req->row->text, strlen(req->row->text), nullptr)) {
    page_free(&page);
    return req->redirect ? web_redirect(req->connection, req->redirect) : WEB_NOT_HANDLED;
  }
  return page_send(&page);
}
