// One HTTP request as the web server's handlers see it, the URL table that
// routes it, and the reply helpers every handler uses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <dirent.h>

struct MHD_Connection;
struct MHD_Response;
struct MHD_PostProcessor;
struct PageBuffer;
struct WebRequest;

// Get handlers return WEB_QUEUED when a reply was queued, WEB_NOT_HANDLED to
// let the access handler go on (parameter, file, "Not found"), or
// WEB_DENIED for the access-denied page.
enum { WEB_NOT_HANDLED = 0, WEB_QUEUED = 1, WEB_DENIED = 401 };

typedef int (*WebGetFn)(WebRequest *req);
// A request body handler: called with each piece of the body.
typedef int (*WebPostFn)(WebRequest *req, const char *data, size_t size);
// A form key handler: called with one posted value; 0 goes on.
typedef int (*WebKeyFn)(WebRequest *req, const char *value, size_t size);
// Called once when a POST ends, normally or not (req->aborted).
typedef void (*WebCloseFn)(WebRequest *req);
typedef void (*WebGenFn)(PageBuffer *page);
// Takes one whole posted value of a form.
typedef void (*WebFormFn)(WebRequest *req, const char *key, const char *value, size_t len);

struct UrlHandler {
  const char *name;        // the URL without its leading '/'
  const char *text;        // target URL, parameter prefix, page text or source name
  WebGenFn gen;            // generator of an include row
  uint32_t code;           // stream code of a stream row
  WebGetFn get_fn;
  WebPostFn post_fn;       // rows that take a request body
  WebKeyFn key_fn;         // rows reached only as a key of a form
  uint8_t get_level;       // PermissionLevel a GET needs
  uint8_t post_level;      // PermissionLevel a POST needs (never met by Demo above 0)
};

#define URL_TABLE_ROWS 111
extern const UrlHandler url_table[URL_TABLE_ROWS + 1];
// Strips one leading '/' and compares the rest exactly; NULL when no row.
const UrlHandler *url_table_lookup(const char *url);

// A form value is gathered whole before it is used: the post processor may
// hand a long value over in pieces.
#define WEB_FORM_KEY_MAX 64
#define WEB_FORM_VALUE_MAX 512

struct WebRequest {
  MHD_Connection *connection;   // NULL for the rows a template includes
  const char *url;
  const char *method;           // "GET", "HEAD" or "POST"; NULL for the rows a template includes
  char *username;               // owned; NULL for the guest
  uint32_t permission;          // PermissionLevel
  const UrlHandler *row;
  WebPostFn handler;
  WebCloseFn close_fn;
  MHD_PostProcessor *pp;
  char *redirect;               // owned
  int64_t counter;              // bytes received, by handler
  uint8_t *upload;              // owned by the upload handlers
  void *upload_state;           // owned by the upload handlers
  int queued;                   // a handler already queued the reply
  int denied;                   // a handler refused the request
  int auth;                     // the credentials' check: 1, 0, or -1 (stale nonce)
  uint64_t browser;             // the id of a known-browser cookie of the credentials' user; 0: none
  int bad_request;              // the body could not be parsed
  int aborted;                  // the client went before the body ended
  int cross_site;               // sent by a page of another site: refused
  int no_save;                  // a "_no_save" row or save_params=no: applied, not saved
  int new_address;              // redirect is the box's new address after this form's change
  int closed;                   // the close function has run
  int suspended;                // a GET handler suspended its connection
  int create_user_slot;         // -1 until a user-creation key chose a slot
  int delete_source;            // storage source of a delete form
  WebFormFn form_consumer;       // what a form's whole values go to
  // The key whose value is being gathered.
  char form_key[WEB_FORM_KEY_MAX];
  char form_value[WEB_FORM_VALUE_MAX];
  size_t form_value_len;
  int form_key_active;
  int form_value_overflow;
  // Whole values waiting for the request to complete: a form is acted on
  // only once all of it has arrived. Records of key, NUL, 32-bit length,
  // value.
  char *form_fields;
  size_t form_fields_len;
  // Keys that were refused, for the error page ("name: message" lines).
  char *errors;
  size_t errors_len;
  // Template state: the prefix of the form being rendered and the select.
  const char *form_prefix;
  char select_param[80];
  int include_depth;
};

void web_request_init(WebRequest *req, MHD_Connection *connection, const char *url);
// Frees what the request owns (not the request itself).
void web_request_release(WebRequest *req);
void web_request_add_error(WebRequest *req, const char *name, const char *message);
// The level a request has to write: Demo reads like an admin and never writes.
bool web_may_post(uint32_t permission, uint32_t needed);

// Reply helpers. Each returns WEB_QUEUED when the library took the reply.
void web_add_header(const char *name, const char *value, MHD_Response *response);
void web_no_cache(MHD_Response *response);
void web_content_type(MHD_Response *response, const char *type);
int web_queue_response(MHD_Connection *connection, unsigned status, MHD_Response *response);
// A header every reply web_queue_response queues for connection gets, until
// it is called again (a NULL name: none). For the request being handled.
void web_reply_header_for(MHD_Connection *connection, const char *name, const char *value);
// 303 to target (made safe for a header) with an empty body.
int web_redirect(MHD_Connection *connection, const char *target);
int send_html(MHD_Connection *connection, const char *text);
int send_text(MHD_Connection *connection, const char *text);
int send_text_status(MHD_Connection *connection, unsigned status, const char *type,
                     const char *text);
int send_not_found(MHD_Connection *connection, const char *url);
// 200 with an open file's contents (the descriptor belongs to the reply from
// here on); only regular files. type and attachment (a download's file
// name) may be NULL.
int web_send_fd(WebRequest *req, int fd, const char *type, const char *attachment);

// Request values (NULL when absent or without a connection).
const char *web_header(const WebRequest *req, const char *name);
const char *web_get_arg(const WebRequest *req, const char *name);
// The "redirect" GET argument, else the Referer, else fallback.
const char *web_target(const WebRequest *req, const char *fallback);
// target as a link a page may hold: a path on this box ("/x.htm"), or the
// path of an http(s) URL of this box's Host; anything else (another host,
// "//host", "javascript:") gives fallback.
const char *web_local_target(const WebRequest *req, const char *target, const char *fallback);
// False when the request's Origin, or without one its Referer, names a site
// other than the Host it was sent to ("null" and other schemes included),
// or its Sec-Fetch-Site is neither "same-origin" nor "none" (another port of
// the same host is another site); true when it has none of them, as tools
// and scripts send. Browsers send cached credentials with requests that
// other sites' pages make, so nothing that changes state is done for such a
// request. A browser's request without credentials must also name this box
// by its own name (web_host_is_own): a page whose name was made to resolve
// to the box (DNS rebinding) is of the same site by every header.
bool web_from_this_site(const WebRequest *req);
// For a GET that changes something (restoring the defaults, logging in or
// out): web_from_this_site, and from a web browser (a User-Agent with
// "Mozilla/") positive proof that this box's own page sent it: an Origin or
// Referer of this site, or a Sec-Fetch-Site "same-origin" or "none".
// Browsers send Sec-Fetch-* only to trustworthy origins (HTTPS, localhost),
// and a page can withhold Referer and Origin (an image with no-referrer),
// so the absence of all three proves nothing for a browser. Tools and
// scripts need no proof.
bool web_from_own_page(const WebRequest *req);
// The 403 for a request web_from_own_page refuses.
int send_not_own_page(WebRequest *req);
// Whether a Host header value names this box as no other site can: an IPv4
// or bracketed IPv6 address, "localhost", or the configured NetworkHostname
// alone, under "local" (multicast DNS) or under a "domain" or "search"
// domain of /etc/resolv.conf; any port, one trailing dot, no case. The name
// under any other domain is refused: whoever knows it could point
// "<name>.their.example" at the box.
bool web_host_is_own(const char *host);
// Whether an Origin or Referer value names the site of a Host header value
// (host names compared without case, ports with the scheme's default).
bool web_same_site(const char *from, const char *host);
// False for a web browser's request (it names a page: Origin, Referer or
// Sec-Fetch-Site) without credentials whose Host is not web_host_is_own: a
// page of another site whose name was made to resolve to this box (DNS
// rebinding) would read it. Credentials a browser holds for this box it
// never sends to that name. Tools that name no page are not asked.
bool web_host_named_own(const WebRequest *req);
// The 403 for a request web_host_named_own refuses (logged once an episode).
int send_host_refused(WebRequest *req);
// The 403 for a request web_from_this_site refuses.
int send_cross_site_refused(WebRequest *req);
// The client's IPv4 address as the library reports it; 0 when unknown.
uint32_t web_client_addr(const WebRequest *req);

// Small functions.
const char *web_username(const WebRequest *req);   // "" for the guest
bool str_ends_with(const char *s, const char *suffix);
size_t safe_strlen(const char *s);
bool str_equal(const char *a, const char *b);      // NULL as ""
const char *selected_if(const char *a, const char *b);
int scandir_skip_dots(const struct dirent *entry);
const char *get_mime_type(const char *name);
// The StorageSource a row names ("int", "ext", "mmc"), or -1.
int web_storage_source(const char *name);
// A name from outside: no "..", shorter than max characters.
bool web_name_ok(const char *name, size_t max);
// Opens rel below the board directory base one component at a time, never
// following a symbolic link (a USB disk or an unpacked bundle may hold links
// to anywhere): directories on the way with O_DIRECTORY | O_NOFOLLOW, the
// last component with flags | O_NOFOLLOW. -1 when a component is missing,
// is a link, or is "." or "..".
int web_open_beneath(const char *base, const char *rel, int flags);
// The same below the recording directory of a storage source (rel "" opens
// the directory itself); the walk starts at the volume's mount point.
int web_open_recording(int source, const char *rel, int flags);
// Copies text into buf with every byte that may not stand in a URL or a
// header value written as %XX. Returns buf.
char *url_encode(const char *text, char *buf, size_t size);
// The same for a value inside a query ("?redirect=..."): everything but
// letters, digits, "-._~/" is written as %XX.
char *url_encode_query(const char *text, char *buf, size_t size);
