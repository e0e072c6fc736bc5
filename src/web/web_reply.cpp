// Reply helpers and the small functions every handler of the web server uses.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "core/log_episode.h"
#include "core/param_block.h"
#include "core/param_table.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "storage/volume.h"
#include "web/web_request.h"

namespace {

// Refusals of foreign host names closer than this make one episode.
constexpr uint32_t kRefusalGapMs = 10000;

const char kNotFoundPage[] =
    "<html><head><title>Not found</title></head><body>The requested resource could not be "
    "found.</body></html>";

struct MimeType {
  const char *suffix;
  const char *type;
};
const MimeType mime_types[] = {
    {".css", "text/css"},
    {".gif", "image/gif"},
    {".js", "text/javascript"},
    {".ico", "image/vnd.microsoft.icon"},
    {".txt", "text/plain"},
    {".jpeg", "image/jpeg"},
    {".jpg", "image/jpeg"},
    {".png", "image/png"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".m3u", "application/x-mpegURL"},
    {".m3u8", "application/x-mpegURL"},
    {".swf", "application/x-shockwave-flash"},
    {".mp4", "video/mp4"},
    {".ts", "video/MP2T"},
};

// Characters that stand as they are in a URL, a query and a header value.
bool url_safe(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  return !strchr("\"<>\\^`{|}'", c);
}

}  // namespace

void web_request_init(WebRequest *req, MHD_Connection *connection, const char *url) {
  memset(req, 0, sizeof *req);
  req->connection = connection;
  req->url = url;
  req->create_user_slot = -1;
  req->delete_source = -1;
}

void web_request_release(WebRequest *req) {
  free(req->username);
  req->username = nullptr;
  free(req->redirect);
  req->redirect = nullptr;
  free(req->errors);
  req->errors = nullptr;
  req->errors_len = 0;
  free(req->form_fields);
  req->form_fields = nullptr;
  req->form_fields_len = 0;
}

void web_request_add_error(WebRequest *req, const char *name, const char *message) {
  size_t add = strlen(name) + strlen(message) + 3;
  // A flood of bad keys must not grow the reply without end.
  if (req->errors_len + add > 8192) return;
  char *p = static_cast<char *>(realloc(req->errors, req->errors_len + add + 1));
  if (!p) return;
  req->errors = p;
  req->errors_len += size_t(snprintf(p + req->errors_len, add + 1, "%s: %s\n", name, message));
}

bool web_may_post(uint32_t permission, uint32_t needed) {
  if (needed == PERM_NONE) return true;
  return permission >= needed && permission != PERM_DEMO;
}

void web_add_header(const char *name, const char *value, MHD_Response *response) {
  if (!name || !value || !response) return;
  if (MHD_add_response_header(response, name, value) != MHD_YES)
    log_printf("failed to add header %s = %s\n", name, value);
}

void web_no_cache(MHD_Response *response) {
  web_add_header(MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache", response);
}

void web_content_type(MHD_Response *response, const char *type) {
  web_add_header(MHD_HTTP_HEADER_CONTENT_TYPE, type, response);
}

namespace {
// The header of web_reply_header_for (the library's one request thread).
MHD_Connection *extra_connection;
char extra_name[32];
char extra_value[256];
}  // namespace

void web_reply_header_for(MHD_Connection *connection, const char *name, const char *value) {
  extra_connection = name && value ? connection : nullptr;
  snprintf(extra_name, sizeof extra_name, "%s", name ? name : "");
  snprintf(extra_value, sizeof extra_value, "%s", value ? value : "");
}

int web_queue_response(MHD_Connection *connection, unsigned status, MHD_Response *response) {
  if (!response) return WEB_NOT_HANDLED;
  if (connection && connection == extra_connection) web_add_header(extra_name, extra_value, response);
  int rc = MHD_queue_response(connection, status, response) == MHD_YES ? WEB_QUEUED
                                                                        : WEB_NOT_HANDLED;
  MHD_destroy_response(response);
  return rc;
}

int web_redirect(MHD_Connection *connection, const char *target) {
  MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
  if (!r) return WEB_NOT_HANDLED;
  char safe[1024];
  web_add_header(MHD_HTTP_HEADER_LOCATION, url_encode(target ? target : "/", safe, sizeof safe), r);
  return web_queue_response(connection, MHD_HTTP_SEE_OTHER, r);
}

int send_text_status(MHD_Connection *connection, unsigned status, const char *type,
                     const char *text) {
  MHD_Response *r =
      MHD_create_response_from_buffer(strlen(text), (void *)text, MHD_RESPMEM_MUST_COPY);
  if (!r) return WEB_NOT_HANDLED;
  web_content_type(r, type);
  web_no_cache(r);
  return web_queue_response(connection, status, r);
}

int send_html(MHD_Connection *connection, const char *text) {
  return send_text_status(connection, MHD_HTTP_OK, "text/html", text);
}

int send_text(MHD_Connection *connection, const char *text) {
  return send_text_status(connection, MHD_HTTP_OK, "text/plain", text);
}

int send_not_found(MHD_Connection *connection, const char *url) {
  // Browsers ask for an icon on every page; having none is no news.
  if (!url || strcmp(url, "/favicon.ico") != 0) log_printf("resource %s not found\n", url ? url : "");
  MHD_Response *r = MHD_create_response_from_buffer(sizeof kNotFoundPage - 1,
                                                    (void *)kNotFoundPage, MHD_RESPMEM_PERSISTENT);
  if (!r) return WEB_NOT_HANDLED;
  web_content_type(r, "text/html");
  return web_queue_response(connection, MHD_HTTP_NOT_FOUND, r);
}

int web_open_beneath(const char *base, const char *rel, int flags) {
  while (*rel == '/') rel++;
  return volume_open(base, rel, *rel ? flags : O_RDONLY | O_DIRECTORY);
}

int web_open_recording(int source, const char *rel, int flags) {
  return filesys_open_recording(source, rel, rel[0] ? flags : O_RDONLY | O_DIRECTORY);
}

namespace {

// A file sent as the size it had when opened. A file that shrinks meanwhile
// (cut by another request, the recorder or a user) ends the reply early:
// the client sees a short body, and the connection and the descriptor go.
struct FileReply {
  int fd;
  uint64_t size;
  uint64_t pos;   // the descriptor's offset
};

constexpr size_t kFileBlock = 64 * 1024;

ssize_t file_reply_read(void *cls, uint64_t pos, char *buf, size_t max) {
  FileReply *f = static_cast<FileReply *>(cls);
  if (pos >= f->size) return MHD_CONTENT_READER_END_OF_STREAM;
  if (pos != f->pos) {
    if (lseek(f->fd, (off_t)pos, SEEK_SET) < 0) return MHD_CONTENT_READER_END_WITH_ERROR;
    f->pos = pos;
  }
  if (max > f->size - pos) max = size_t(f->size - pos);
  ssize_t n;
  do n = sys_fd_read(f->fd, buf, max);
  while (n < 0 && errno == EINTR);
  if (n <= 0) {
    log_printf("%s: file ended at %llu of %llu bytes\n", "web_send_fd", (unsigned long long)pos,
               (unsigned long long)f->size);
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
  f->pos += uint64_t(n);
  return n;
}

void file_reply_free(void *cls) {
  FileReply *f = static_cast<FileReply *>(cls);
  close(f->fd);
  free(f);
}

}  // namespace

int web_send_fd(WebRequest *req, int fd, const char *type, const char *attachment) {
  struct stat st;
  FileReply *f = nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      !(f = static_cast<FileReply *>(malloc(sizeof *f)))) {
    close(fd);
    return WEB_NOT_HANDLED;
  }
  *f = {fd, uint64_t(st.st_size), 0};
  MHD_Response *r =
      MHD_create_response_from_callback(f->size, kFileBlock, file_reply_read, f, file_reply_free);
  if (!r) {
    file_reply_free(f);
    return WEB_NOT_HANDLED;
  }
  web_content_type(r, type);
  if (attachment) {
    web_no_cache(r);
    char disp[256];
    snprintf(disp, sizeof disp, "attachment;filename=\"%s\"", attachment);
    web_add_header(MHD_HTTP_HEADER_CONTENT_DISPOSITION, disp, r);
  }
  return web_queue_response(req->connection, MHD_HTTP_OK, r);
}

const char *web_header(const WebRequest *req, const char *name) {
  if (!req || !req->connection) return nullptr;
  return MHD_lookup_connection_value(req->connection, MHD_HEADER_KIND, name);
}

const char *web_get_arg(const WebRequest *req, const char *name) {
  if (!req || !req->connection) return nullptr;
  return MHD_lookup_connection_value(req->connection, MHD_GET_ARGUMENT_KIND, name);
}

const char *web_target(const WebRequest *req, const char *fallback) {
  const char *t = web_get_arg(req, "redirect");
  if (!t || !*t) t = web_header(req, MHD_HTTP_HEADER_REFERER);
  return t && *t ? t : fallback;
}

const char *web_local_target(const WebRequest *req, const char *target, const char *fallback) {
  if (!target) return fallback;
  for (const char *p = target; *p; p++)
    if ((unsigned char)*p < 0x20 || *p == 0x7f || *p == '\\') return fallback;
  if (target[0] == '/') return target[1] == '/' ? fallback : target;
  const char *rest = nullptr;
  if (strncasecmp(target, "http://", 7) == 0) rest = target + 7;
  else if (strncasecmp(target, "https://", 8) == 0) rest = target + 8;
  const char *host = web_header(req, MHD_HTTP_HEADER_HOST);
  if (!rest || !host || !*host) return fallback;
  size_t n = strlen(host);
  if (strncasecmp(rest, host, n) != 0 || rest[n] != '/' || rest[n + 1] == '/') return fallback;
  return rest + n;
}

namespace {
// The host name and port of an authority ("name", "name:port", "[v6]:port")
// that ends at any of the characters in stop; the port is dflt when absent.
// false when it is malformed.
bool split_authority(const char *a, const char *stop, const char **name, size_t *len, long *port,
                     long dflt) {
  size_t n = strcspn(a, stop);
  const char *colon = nullptr;
  for (size_t i = 0; i < n; i++)
    if (a[i] == ':') colon = a + i;
    else if (a[i] == ']') colon = nullptr;
  *name = a;
  *len = colon ? (size_t)(colon - a) : n;
  *port = dflt;
  if (colon) {
    // Digits only: strtol alone would take " 80" and "+80" too.
    size_t digits = (size_t)(a + n - colon - 1);
    if (digits == 0 || digits > 5 || strspn(colon + 1, "0123456789") < digits) return false;
    *port = strtol(colon + 1, nullptr, 10);
    if (*port <= 0 || *port > 65535) return false;
  }
  return *len > 0;
}

// The resolver file is read this far; a line the bound cuts is dropped, as
// its last word may be only the start of a longer domain.
constexpr size_t kResolvMax = 4096;

// Whether name (len characters) is a domain the box's resolver was given:
// a word of a "domain" or "search" line of /etc/resolv.conf, compared
// without case and without one trailing dot.
bool resolver_domain(const char *name, size_t len) {
  // No empty label: "a..b", ".a" and "a." are nobody's domain here.
  if (!len || name[0] == '.' || name[len - 1] == '.' || memmem(name, len, "..", 2)) return false;
  // Never waits on a pipe put in the file's place.
  int fd = sys_open("/etc/resolv.conf", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[kResolvMax];
  size_t n = 0;
  for (ssize_t r; n < sizeof buf && (r = read(fd, buf + n, sizeof buf - n)) > 0;) n += size_t(r);
  close(fd);
  if (n == sizeof buf)
    while (n && buf[n - 1] != '\n') n--;
  static const char kSpace[] = " \t\r\v\f";
  for (size_t at = 0; at < n;) {
    const char *line = buf + at;
    const char *nl = static_cast<const char *>(memchr(line, '\n', n - at));
    size_t ll = nl ? size_t(nl - line) : n - at;
    at += ll + 1;
    // The keyword at the start of the line, then its words up to a comment.
    size_t kw = 0;
    while (kw < ll && !memchr(kSpace, line[kw], sizeof kSpace - 1)) kw++;
    if (kw != 6 || (memcmp(line, "domain", 6) != 0 && memcmp(line, "search", 6) != 0)) continue;
    for (size_t i = kw; i < ll;) {
      if (line[i] == '#' || line[i] == ';') break;
      if (memchr(kSpace, line[i], sizeof kSpace - 1)) {
        i++;
        continue;
      }
      size_t w = i;
      while (i < ll && !memchr(kSpace, line[i], sizeof kSpace - 1)) i++;
      size_t wl = i - w;
      if (wl > 1 && line[w + wl - 1] == '.') wl--;
      if (wl == len && strncasecmp(line + w, name, len) == 0) return true;
    }
  }
  return false;
}
}  // namespace

bool web_same_site(const char *from, const char *host) {
  if (!from) return false;
  const char *rest = nullptr;
  long dflt = 80;
  if (strncasecmp(from, "http://", 7) == 0) {
    rest = from + 7;
  } else if (strncasecmp(from, "https://", 8) == 0) {
    rest = from + 8;
    dflt = 443;
  }
  if (!rest || !host || !*host) return false;
  // "127.0.0.1" and "127.0.0.1:80" name the same site.
  const char *a, *b;
  size_t alen, blen;
  long aport, bport;
  if (!split_authority(rest, "/?#", &a, &alen, &aport, dflt) ||
      !split_authority(host, "", &b, &blen, &bport, 80))
    return false;
  return alen == blen && strncasecmp(a, b, alen) == 0 && aport == bport;
}

bool web_host_is_own(const char *host) {
  const char *name;
  size_t len;
  long port;
  if (!host || !split_authority(host, "", &name, &len, &port, 80)) return false;
  char text[256];
  if (len >= sizeof text) return false;
  memcpy(text, name, len);
  text[len] = 0;
  unsigned char addr[sizeof(in6_addr)];
  if (inet_pton(AF_INET, text, addr) == 1) return true;
  if (len > 2 && text[0] == '[' && text[len - 1] == ']') {
    text[len - 1] = 0;
    return inet_pton(AF_INET6, text + 1, addr) == 1;
  }
  if (text[strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-")]) return false;
  // One trailing dot names the same host ("box.studio.lan.").
  if (len > 1 && text[len - 1] == '.') text[--len] = 0;
  if (strcasecmp(text, "localhost") == 0) return true;
  // The box's own name, alone, under the link's multicast DNS domain, or
  // under a domain its resolver was given: not under any domain at all, as
  // whoever knows the name could make "<name>.their.example" the box's.
  const ParamBlock *b = get_param_block();
  size_t n = strnlen(b->hostname, sizeof b->hostname);
  if (!n || strncasecmp(text, b->hostname, n) != 0) return false;
  if (text[n] == 0) return true;
  if (text[n] != '.') return false;
  const char *domain = text + n + 1;
  return strcasecmp(domain, "local") == 0 || resolver_domain(domain, len - n - 1);
}

bool web_host_named_own(const WebRequest *req) {
  if (req->username) return true;
  const char *from = web_header(req, "Origin");
  if (!from || !*from) from = web_header(req, MHD_HTTP_HEADER_REFERER);
  bool browser = web_header(req, "Sec-Fetch-Site") || (from && *from);
  return !browser || web_host_is_own(web_header(req, MHD_HTTP_HEADER_HOST));
}

int send_host_refused(WebRequest *req) {
  static LogEpisode refusals;
  const char *host = web_header(req, MHD_HTTP_HEADER_HOST);
  // A page that keeps asking writes one line every so often, not one a try.
  log_episode_ok(&refusals, kRefusalGapMs);
  if (log_episode_fail(&refusals))
    log_printf("%s: %s for the host name %.80s refused (not this box's own)\n", "web_host_named_own",
               req->url ? req->url : "", host ? host : "");
  return send_text_status(req->connection, MHD_HTTP_FORBIDDEN, "text/plain",
                          "Refused: a web browser asked for this box by a name that is not its "
                          "own (its address, localhost or its host name). A page of another site "
                          "may have made that name lead here. Open the box by its address.\n");
}

bool web_from_this_site(const WebRequest *req) {
  const char *fetch_site = web_header(req, "Sec-Fetch-Site");
  if (fetch_site && strcasecmp(fetch_site, "same-origin") != 0 && strcasecmp(fetch_site, "none") != 0)
    return false;
  // A page whose own name was made to resolve to this box is of the same
  // site by every header: only the name tells it.
  if (!web_host_named_own(req)) return false;
  const char *from = web_header(req, "Origin");
  if (!from || !*from) from = web_header(req, MHD_HTTP_HEADER_REFERER);
  if (!from || !*from) return true;
  return web_same_site(from, web_header(req, MHD_HTTP_HEADER_HOST));
}

int send_cross_site_refused(WebRequest *req) {
  const char *from = web_header(req, "Origin");
  if (!from || !*from) from = web_header(req, MHD_HTTP_HEADER_REFERER);
  if (!from || !*from) from = web_header(req, "Sec-Fetch-Site");
  const char *host = web_header(req, MHD_HTTP_HEADER_HOST);
  log_printf("%s: %s from %.80s to %.80s refused\n", "web_from_this_site", req->url ? req->url : "",
             from ? from : "", host ? host : "");
  return send_text_status(req->connection, MHD_HTTP_FORBIDDEN, "text/plain",
                          "Refused: the request came from a page of another site, or named this "
                          "box by a name it does not know as its own (use its address, or log in).\n");
}

bool web_from_own_page(const WebRequest *req) {
  if (!web_from_this_site(req)) return false;
  const char *agent = web_header(req, MHD_HTTP_HEADER_USER_AGENT);
  if (!agent || !strstr(agent, "Mozilla/")) return true;
  // What web_from_this_site let pass, when present, names this site.
  const char *from = web_header(req, "Origin");
  if (!from || !*from) from = web_header(req, MHD_HTTP_HEADER_REFERER);
  return web_header(req, "Sec-Fetch-Site") || (from && *from);
}

int send_not_own_page(WebRequest *req) {
  if (!web_from_this_site(req)) return send_cross_site_refused(req);
  log_printf("%s: %s from a browser that did not name the page it came from refused\n",
             "web_from_own_page", req->url ? req->url : "");
  return send_text_status(req->connection, MHD_HTTP_FORBIDDEN, "text/plain",
                          "Refused: this link changes the box's settings or login, and a web "
                          "browser may follow it only from the box's own pages, which this "
                          "request did not show it came from. Open the box's pages and use "
                          "their buttons.\n");
}

uint32_t web_client_addr(const WebRequest *req) {
  if (!req || !req->connection) return 0;
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(req->connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!ci || !ci->client_addr || ci->client_addr->sa_family != AF_INET) return 0;
  return reinterpret_cast<const sockaddr_in *>(ci->client_addr)->sin_addr.s_addr;
}

const char *web_username(const WebRequest *req) {
  return req && req->username ? req->username : "";
}

bool str_ends_with(const char *s, const char *suffix) {
  if (!s || !suffix) return false;
  size_t n = strlen(s), m = strlen(suffix);
  return n >= m && memcmp(s + n - m, suffix, m) == 0;
}

size_t safe_strlen(const char *s) { return s ? strlen(s) : 0; }

bool str_equal(const char *a, const char *b) { return strcmp(a ? a : "", b ? b : "") == 0; }

const char *selected_if(const char *a, const char *b) { return str_equal(a, b) ? " selected" : ""; }

int scandir_skip_dots(const struct dirent *entry) {
  return strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0;
}

const char *get_mime_type(const char *name) {
  size_t n = safe_strlen(name);
  for (const MimeType &m : mime_types) {
    size_t k = strlen(m.suffix);
    if (n >= k && strcasecmp(name + n - k, m.suffix) == 0) return m.type;
  }
  log_printf("%s: unhandled MIME Type: %s\n", "get_mime_type", name ? name : "");
  return nullptr;
}

int web_storage_source(const char *name) {
  if (!name) return -1;
  if (strcmp(name, "int") == 0) return STORAGE_INT;
  if (strcmp(name, "ext") == 0) return STORAGE_EXT;
  if (strcmp(name, "mmc") == 0) return STORAGE_MMC;
  return -1;
}

bool web_name_ok(const char *name, size_t max) {
  return name && !strstr(name, "..") && strlen(name) < max;
}

namespace {

bool query_safe(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         strchr("-._~/", c);
}

char *encode(const char *text, char *buf, size_t size, bool (*safe)(unsigned char)) {
  static const char hex[] = "0123456789ABCDEF";
  if (!size) return buf;
  size_t o = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text ? text : ""); *p;
       p++) {
    if (*p && safe(*p)) {
      if (o + 1 >= size) break;
      buf[o++] = char(*p);
    } else {
      if (o + 3 >= size) break;
      buf[o++] = '%';
      buf[o++] = hex[*p >> 4];
      buf[o++] = hex[*p & 15];
    }
  }
  buf[o] = 0;
  return buf;
}

}  // namespace

char *url_encode(const char *text, char *buf, size_t size) {
  return encode(text, buf, size, url_safe);
}

char *url_encode_query(const char *text, char *buf, size_t size) {
  return encode(text, buf, size, query_safe);
}
