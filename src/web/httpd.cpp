// The "httpd" thread, the daemon it owns, and the access handler through
// which every request passes.
#include "web/httpd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/global.h"
#include "core/listen_guard.h"
#include "core/log.h"
#include "core/log_episode.h"
#include "core/process_util.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_table.h"
#include "core/user_log.h"
#include "platform/host_port.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "web/param_save.h"
#include "web/templates.h"
#include "web/web_auth.h"
#include "web/web_forms.h"
#include "web/web_upload.h"
#include "web/web_wait.h"
#include "web/http_stream.h"
#include "web/web_places.h"

namespace {

// The library's internal select thread, an inter-thread wake-up pipe, and
// suspend/resume allowed.
constexpr unsigned kDaemonFlags = 0x2408;
constexpr int kBoardPort = 80;
constexpr size_t kUrlMax = 71;
constexpr size_t kParamValueMax = 256;
constexpr int kStreamEndWaitMs = 1000;

MHD_Daemon *daemon_handle;
int daemon_port;

const char kBadRequestHead[] =
    "<html><head><title>Bad request</title></head><body>\n<h2>Some settings were not "
    "changed</h2>\n<pre>";

int answer_param(WebRequest *req) {
  const char *name = req->url[0] == '/' ? req->url + 1 : req->url;
  int may = param_may_read(name, req->permission);
  if (may < 0) return WEB_NOT_HANDLED;
  if (may == 0) return WEB_DENIED;
  char value[kParamValueMax];
  if (param_get(name, value, sizeof value) < 0) return WEB_NOT_HANDLED;
  return send_text(req->connection, value);
}

int send_file(WebRequest *req) {
  const char *url = req->url;
  if (!web_name_ok(url, kUrlMax)) return WEB_NOT_HANDLED;
  if (str_ends_with(url, ".htm") || str_ends_with(url, ".html")) {
    PageBuffer page;
    if (page_init(&page, req, 8192) != 0) return WEB_NOT_HANDLED;
    if (!template_render_file(&page, url, nullptr)) {
      page_free(&page);
      return req->redirect ? web_redirect(req->connection, req->redirect) : WEB_NOT_HANDLED;
    }
    return page_send(&page);
  }
  // No links: the page root also holds unpacked custom bundles, whose links
  // must not reach the rest of the file system.
  int fd = web_open_beneath("/usr/html", url, O_RDONLY);
  if (fd < 0) return WEB_NOT_HANDLED;
  return web_send_fd(req, fd, get_mime_type(url), nullptr);
}

int finish_get(WebRequest *req, int rc) {
  if (rc == WEB_NOT_HANDLED) return send_not_found(req->connection, req->url);
  if (rc == WEB_DENIED) return send_access_denied(req, 0);
  if (rc != WEB_QUEUED)
    log_printf("%s: returning %d, should be MHD_YES\n", "answer_to_connection", rc);
  return rc;
}

MHD_Result answer_get(MHD_Connection *connection, const char *method, const char *url) {
  WebRequest req;
  web_request_init(&req, connection, url);
  req.method = method;
  int ok = 0;
  req.username = web_authenticate(&req, &ok);
  int rc;
  if (req.username && ok != MHD_YES) {
    rc = send_access_denied(&req, ok);
  } else if (!web_host_named_own(&req)) {
    rc = send_host_refused(&req);
  } else {
    // Right credentials from a browser not yet known for this user: the
    // reply makes it known (web_auth.h).
    char known[200];
    if (req.username && !req.browser && web_header(&req, MHD_HTTP_HEADER_AUTHORIZATION) &&
        web_known_cookie_make(req.username, known, sizeof known) == 0)
      web_reply_header_for(connection, MHD_HTTP_HEADER_SET_COOKIE, known);
    req.permission = user_get_permission(req.username);
    req.row = url_table_lookup(url);
    rc = WEB_NOT_HANDLED;
    if (req.row && req.row->get_fn) {
      rc = req.permission >= req.row->get_level ? req.row->get_fn(&req) : WEB_DENIED;
    }
    if (rc == WEB_NOT_HANDLED) rc = answer_param(&req);
    if (rc == WEB_NOT_HANDLED) rc = send_file(&req);
    rc = finish_get(&req, rc);
    web_reply_header_for(nullptr, nullptr, nullptr);
  }
  if (!req.suspended) web_wait_done(connection);
  web_request_release(&req);
  return rc == WEB_QUEUED ? MHD_YES : MHD_NO;
}

int send_bad_request(WebRequest *req) {
  PageBuffer page;
  if (page_init(&page, req, 1024) != 0) return WEB_NOT_HANDLED;
  page_append(&page, kBadRequestHead);
  if (req->bad_request) page_append(&page, "The form could not be read.\n");
  html_escape_append(&page, req->errors);
  page_append(&page, "</pre>\n<p><a href=\"");
  char enc[1024];
  const char *back = req->redirect ? req->redirect : web_target(req, "/index.htm");
  html_escape_append(&page, url_encode(web_local_target(req, back, "/index.htm"), enc, sizeof enc));
  page_append(&page, "\">Back</a></p>\n</body></html>\n");
  if (page.failed) {
    page_free(&page);
    return WEB_NOT_HANDLED;
  }
  MHD_Response *r = MHD_create_response_from_buffer(page.length, page.data, MHD_RESPMEM_MUST_FREE);
  if (!r) {
    page_free(&page);
    return WEB_NOT_HANDLED;
  }
  web_content_type(r, "text/html");
  web_no_cache(r);
  return web_queue_response(req->connection, MHD_HTTP_BAD_REQUEST, r);
}

void run_close(WebRequest *req) {
  if (req->closed) return;
  req->closed = 1;
  if (req->close_fn) req->close_fn(req);
}

int finish_post(WebRequest *req) {
  run_close(req);
  if (!req->counter) web_upload_empty(req);
  free(req->username);
  req->username = nullptr;
  if (req->queued) return WEB_QUEUED;
  if (req->cross_site) return send_cross_site_refused(req);
  if (req->denied) return send_access_denied(req, req->auth < 0 ? req->auth : 0);
  if (req->bad_request || req->errors) return send_bad_request(req);
  const char *target = req->redirect ? req->redirect : web_header(req, MHD_HTTP_HEADER_REFERER);
  // The box's new address after a network change is the one target off
  // this Host; anything else the form or its Referer names stays local.
  if (target && *target && !req->new_address) target = web_local_target(req, target, "/index.htm");
  if (target && *target) return web_redirect(req->connection, target);
  MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
  return web_queue_response(req->connection, MHD_HTTP_OK, r);
}

MHD_Result answer_post(MHD_Connection *connection, const char *url, const char *upload_data,
                       size_t *upload_data_size, void **con_cls) {
  WebRequest *req = static_cast<WebRequest *>(*con_cls);
  if (!req) {
    if (web_firmware_update_in_progress())
      return web_redirect(connection, "/admin_update_status.htm") == WEB_QUEUED ? MHD_YES : MHD_NO;
    const UrlHandler *row = url_table_lookup(url);
    if (!row || !row->post_fn) return MHD_NO;
    req = static_cast<WebRequest *>(malloc(sizeof *req));
    if (!req) return MHD_NO;
    web_request_init(req, connection, url);
    req->method = MHD_HTTP_METHOD_POST;
    req->row = row;
    req->handler = row->post_fn;
    int ok = 0;
    req->username = web_authenticate(req, &ok);
    req->auth = ok;
    req->permission = user_get_permission(req->username);
    // A refused request still has its body read (and dropped) before the
    // access-denied page goes out.
    if (!web_from_this_site(req)) {
      req->cross_site = 1;
      req->denied = 1;
    }
    if ((req->username && ok != MHD_YES) ||
        (!req->username && row->post_fn == post_auth_controls_func) ||
        !web_may_post(req->permission, row->post_level))
      req->denied = 1;
    *con_cls = req;
    return MHD_YES;
  }
  if (*upload_data_size) {
    web_places_body(connection, *upload_data_size);
    if (!req->denied && !req->queued) req->handler(req, upload_data, *upload_data_size);
    req->counter += int64_t(*upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }
  web_places_body_done(connection);
  if (req->closed) return MHD_YES;
  if (req->denied) {
    // Nothing of the body was used: the close function has nothing to end.
    req->closed = 1;
  }
  return finish_post(req) == WEB_QUEUED ? MHD_YES : MHD_NO;
}

MHD_Result answer_to_connection(void *cls, MHD_Connection *connection, const char *url,
                                const char *method, const char *version, const char *upload_data,
                                size_t *upload_data_size, void **con_cls) {
  (void)cls;
  (void)version;
  bool post = strcmp(method, MHD_HTTP_METHOD_POST) == 0;
  int refused;
  if (web_places_request(connection, post, &refused)) return refused == WEB_QUEUED ? MHD_YES : MHD_NO;
  if (strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0)
    return answer_get(connection, method, url);
  if (post)
    return answer_post(connection, url, upload_data, upload_data_size, con_cls);
  return send_not_found(connection, url) == WEB_QUEUED ? MHD_YES : MHD_NO;
}

// Ends what a request holds, also when the client went before its body
// ended: the close function still runs, marked aborted.
void notify_completed(void *cls, MHD_Connection *connection, void **con_cls,
                      MHD_RequestTerminationCode toe) {
  (void)cls;
  web_places_done(connection);
  web_wait_done(connection);
  http_stream_request_done(connection);
  WebRequest *req = static_cast<WebRequest *>(*con_cls);
  if (!req) return;
  *con_cls = nullptr;
  if (!req->closed) {
    req->aborted = toe != MHD_REQUEST_TERMINATED_COMPLETED_OK;
    if (req->denied) req->closed = 1;
    run_close(req);
  }
  if (req->pp) {
    MHD_destroy_post_processor(req->pp);
    req->pp = nullptr;
  }
  web_request_release(req);
  free(req);
}

// Each connection has a place (web_places.h) from its start to its close.
void notify_connection(void *cls, MHD_Connection *connection, void **socket_context,
                       MHD_ConnectionNotificationCode code) {
  (void)cls;
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    web_places_close(*socket_context);
    *socket_context = nullptr;
    return;
  }
  *socket_context = web_places_open(connection);
}

// Why the library could not start on port: the error a bind of the port
// gives now (as the library binds it), or EIO when the port is free and the
// failure was elsewhere.
int port_bind_error(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  int err = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ? errno : EIO;
  close(s);
  return err;
}

}  // namespace

unsigned web_idle_timeout_s = WEB_IDLE_TIMEOUT_S;

int web_daemon_start(int port) {
  if (daemon_handle) return 0;
  unsigned cap = listen_guard_max(WEB_MAX_CONNECTIONS);
  web_places_reset(cap, web_idle_timeout_s);
  daemon_handle = MHD_start_daemon(
      kDaemonFlags, uint16_t(port), nullptr, nullptr, &answer_to_connection, nullptr,
      MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof digest_random, digest_random,
      MHD_OPTION_NONCE_NC_SIZE, 100, MHD_OPTION_NOTIFY_COMPLETED, &notify_completed, nullptr,
      MHD_OPTION_NOTIFY_CONNECTION, &notify_connection, nullptr,
      MHD_OPTION_URI_LOG_CALLBACK, &web_places_uri, nullptr,
      MHD_OPTION_CONNECTION_LIMIT, web_places_limit(),
      MHD_OPTION_CONNECTION_TIMEOUT, web_idle_timeout_s, MHD_OPTION_END);
  if (!daemon_handle) return -port_bind_error(port);
  const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_handle, MHD_DAEMON_INFO_BIND_PORT);
  daemon_port = info ? info->port : port;
  log_printf("%s: at most %u connections, %u from one address, idle ones closed after %u s\n",
             "web_daemon_start", cap, web_places_share(), web_idle_timeout_s);
  return 0;
}

void web_daemon_stop(void) {
  if (!daemon_handle) return;
  // The library may not be stopped while a connection is suspended: nothing
  // waits from here on, and what waits is woken to end.
  web_wait_stop(1);
  http_stream_stop(1);
  // Each stream ends its chunked reply at its next call (a player then sees
  // the stream end, not a cut): the library sends those ends before it
  // closes the connections, unless a client does not take them in time.
  for (int ms = 0; ms < kStreamEndWaitMs && http_stream_open(); ms += 10) sleep_ms(10);
  MHD_stop_daemon(daemon_handle);
  daemon_handle = nullptr;
  web_wait_stop(0);
  http_stream_stop(0);
}

int web_daemon_port(void) { return daemon_port; }

void *httpdThrFxn(void *arg) {
  ThreadEnv *env = static_cast<ThreadEnv *>(arg);
  ParamBlock *params = env->params ? static_cast<ParamBlock *>(env->params) : get_param_block();
  web_auth_init();
  if (user_log_init() != 0) log_printf("%s: access log repaired\n", env->name);
  myRendezvousInit(env->start_rendezvous, env->name);
  param_save_start();
  httpd_restart = 0;
  int port = host_listen_port(kBoardPort);
  LogEpisode start_failures = {};
  for (;;) {
    fileSysTick(params);
    if (get_exit_code() != 0) break;
    if (!daemon_handle) {
      // Tried again every second: one line when the failures begin, one
      // when the server starts after them.
      int rc = web_daemon_start(port);
      if (rc == 0) {
        log_printf("%s: started\n", env->name);
        if (uint32_t n = log_episode_ok(&start_failures, 0))
          log_printf("%s: listening on port %d after %u failed starts\n", env->name, port, n);
        httpd_restart = 0;
      } else if (log_episode_fail(&start_failures)) {
        log_error("%s %d: Failed to start httpd daemon on port %d: %s\n", env->name, __LINE__, port,
                  rc == -EIO ? "the web server library refused to start" : strerror(-rc));
      }
    }
    // Suspended requests and streams look at their time limits and at quit
    // ten times a second.
    for (int i = 0; i < 10; i++) {
      sleep_ms(100);
      web_wake_waiters();
      http_stream_tick();
      web_places_tick();
    }
    web_login_tick(monotonic_ms(), false);
    if (httpd_restart > 0) {
      web_daemon_stop();
      httpd_restart = 0;
      // The network bring-up holds it while it reconfigures.
      pthread_mutex_lock(&network_mutex);
      pthread_mutex_unlock(&network_mutex);
    }
  }
  myRendezvousCleanup(env->cleanup_rendezvous, env->name);
  web_daemon_stop();
  web_login_tick(monotonic_ms(), true);
  param_save_stop();
  return nullptr;
}
