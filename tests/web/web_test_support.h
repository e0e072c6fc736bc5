// The web server in the test process: the daemon on a free port, a small
// HTTP client over a socket for exact requests, and curl for Digest and
// cookies.
#pragma once
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <tuple>
#include <vector>

#include "core/global.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param_access.h"
#include "core/param_flash.h"
#include "core/param_table.h"
#include "core/user_log.h"
#include "platform/runner.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"
#include "storage/storage_test_support.h"
#include "web/httpd.h"
#include "web/param_save.h"
#include "web/web_auth.h"
#include "test_root.h"

struct HttpReply {
  int status = 0;
  std::string head;
  std::string body;
  // The value of a header of the reply ("" when absent).
  std::string header(const char *name) const {
    size_t pos = 0;
    std::string want = std::string("\r\n") + name + ":";
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
      if (strncasecmp(head.c_str() + pos, want.c_str(), want.size()) == 0) {
        size_t v = pos + want.size();
        while (v < head.size() && head[v] == ' ') v++;
        size_t e = head.find("\r\n", v);
        return head.substr(v, e == std::string::npos ? std::string::npos : e - v);
      }
      pos += 2;
    }
    return "";
  }
};

// Splits one reply (head, blank line, body).
inline HttpReply parse_reply(const std::string &text) {
  HttpReply r;
  size_t end = text.find("\r\n\r\n");
  r.head = text.substr(0, end == std::string::npos ? text.size() : end);
  if (end != std::string::npos) r.body = text.substr(end + 4);
  sscanf(r.head.c_str(), "HTTP/%*s %d", &r.status);
  return r;
}

inline void web_test_start(void) {
  static bool started;
  if (started) return;
  started = true;
  test_root();
  mtd_open();
  init_param(get_param_block());
  user_log_init();
  web_auth_init();
  param_save_start();
  ASSERT_EQ(web_daemon_start(0), 0);
}

// A socket connected to the daemon, or -1.
inline int connect_daemon(void) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(web_daemon_port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends request as written and reads the whole reply (the server closes
// the connection, or the Content-Length is reached).
inline HttpReply http_raw(const std::string &request) {
  int fd = connect_daemon();
  if (fd < 0) return HttpReply();
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += size_t(n);
  }
  std::string text;
  char buf[65536];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    text.append(buf, size_t(n));
    size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) {
      HttpReply r = parse_reply(text);
      std::string len = r.header("Content-Length");
      if (!len.empty() && text.size() >= end + 4 + std::stoul(len)) break;
    }
  }
  close(fd);
  return parse_reply(text);
}

// Sends request and goes away without waiting for a reply (a client that
// drops mid-request).
inline void http_send_and_close(const std::string &request) {
  int fd = connect_daemon();
  if (fd < 0) return;
  (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  close(fd);
}

inline HttpReply http_get(const std::string &path, const std::string &extra = "") {
  return http_raw("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra +
                  "\r\n");
}

inline HttpReply http_post(const std::string &path, const std::string &body,
                           const std::string &extra = "",
                           const std::string &type = "application/x-www-form-urlencoded") {
  std::string req = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!type.empty()) req += "Content-Type: " + type + "\r\n";
  req += "Content-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
  return http_raw(req);
}

// Runs curl (-s -i -g) with args against path and returns the last reply it
// printed (a Digest exchange prints the challenge first).
inline HttpReply curl(const std::string &args, const std::string &path) {
  std::string cmd = "curl -s -i -g --max-time 20 " + args + " 'http://127.0.0.1:" +
                    std::to_string(web_daemon_port()) + path + "' 2>/dev/null";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return HttpReply();
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  pclose(p);
  size_t last = 0, pos = 0;
  while ((pos = text.find("\r\n\r\nHTTP/", pos)) != std::string::npos) last = pos += 4;
  return parse_reply(text.substr(last));
}

inline std::string param(const char *name) {
  char buf[256];
  if (param_get(name, buf, sizeof buf) < 0) return "<none>";
  return buf;
}

// Users as a test wants them; the guest gets guest_level.
inline void set_users(uint32_t guest_level,
                      const std::vector<std::tuple<std::string, std::string, uint32_t>> &users) {
  ParamBlock *b = get_param_block();
  memset(b->users, 0, sizeof b->users);
  for (size_t i = 0; i < users.size() && i < PARAM_USER_COUNT; i++) {
    snprintf(b->users[i].name, sizeof b->users[i].name, "%s", std::get<0>(users[i]).c_str());
    snprintf(b->users[i].password, sizeof b->users[i].password, "%s", std::get<1>(users[i]).c_str());
    b->users[i].permission = std::get<2>(users[i]);
  }
  b->guest_permission = guest_level;
}

// The active network's address, which an applied network change sets (and
// with it the redirect of the client that made it), put back when it goes.
struct NetworkAddressKeep {
  std::string ip = param_state.ip ? param_state.ip : "";
  ~NetworkAddressKeep() {
    snprintf(param_state.ip_text, sizeof param_state.ip_text, "%s", ip.c_str());
    param_state.ip = ip.empty() ? nullptr : param_state.ip_text;
  }
};

// The log's unread lines (the debug log page's text) left unread by a test
// that reads the log itself.
struct LogUnreadKeep {
  LogUnreadKeep() { log_read_mark(0); }
  ~LogUnreadKeep() { log_read_mark(1); }
};

// The default parameters and no change pending: one an earlier test made
// and never applied would be applied, network and all, by the next form.
inline void web_test_defaults(void) {
  param_load_defaults();
  param_take_changes();
}

// The daemon running with the default parameters, the guest an
// administrator, no sessions; no volume left when the test ends.
class WebTest : public ::testing::Test {
 protected:
  NetworkAddressKeep address;
  void SetUp() override {
    web_test_start();
    web_test_defaults();
    set_users(PERM_ADMIN, {});
    web_auth_reset();
  }
  void TearDown() override { storage_test_volumes_clear(); }
};

inline std::string md5_hex(const std::string &text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; i++) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

// A browser's side of RFC 2617 Digest: one nonce from a challenge, reused
// with a growing nonce count, as browsers do.
struct DigestClient {
  std::string user, pass, nonce, opaque;
  unsigned nc = 0;
  static std::string quoted(const std::string &h, const char *name) {
    std::string key = std::string(name) + "=\"";
    size_t p = h.find(key);
    if (p == std::string::npos) return "";
    p += key.size();
    return h.substr(p, h.find('"', p) - p);
  }
  // Takes the nonce of the challenge that path answers; false when none.
  bool challenge(const std::string &path) {
    HttpReply r = http_get(path);
    std::string www = r.header("WWW-Authenticate");
    nonce = quoted(www, "nonce");
    opaque = quoted(www, "opaque");
    nc = 0;
    return r.status == 401 && !nonce.empty();
  }
  // The same through a request with a nonce the server refuses: for URLs
  // that answer a guest without a challenge.
  bool challenge_stale(const std::string &uri) {
    nonce = std::string(40, '0');
    HttpReply r = get(uri);
    std::string www = r.header("WWW-Authenticate");
    nonce = quoted(www, "nonce");
    opaque = quoted(www, "opaque");
    nc = 0;
    return r.status == 401 && !nonce.empty();
  }
  std::string header(const std::string &method, const std::string &uri) {
    char ncs[9];
    snprintf(ncs, sizeof ncs, "%08x", ++nc);
    std::string ha1 = md5_hex(user + ":7391:" + pass);
    std::string ha2 = md5_hex(method + ":" + uri);
    std::string resp = md5_hex(ha1 + ":" + nonce + ":" + ncs + ":0a4f113b:auth:" + ha2);
    return "Authorization: Digest username=\"" + user + "\", realm=\"7391\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", qop=auth, nc=" + ncs + ", cnonce=\"0a4f113b\", response=\"" +
           resp + "\", opaque=\"" + opaque + "\"\r\n";
  }
  HttpReply get(const std::string &uri) { return http_get(uri, header("GET", uri)); }
};

// A freshly inserted and mounted SD card; returns the host directory that
// holds its recording folder.
inline std::string mount_sd(void) {
  storage_test_volumes_clear();
  gui_started = 1;
  EXPECT_EQ(sim_storage_insert("mmcblk0p1", 0, 64ULL << 20, "vfat"), 0);
  for (int i = 0; i < 5 && !filesys_is_mounted(STORAGE_MMC); i++) fileSysTick(get_param_block());
  EXPECT_TRUE(filesys_is_mounted(STORAGE_MMC));
  char backing[512];
  std::string base = std::string(sim_storage_backing_dir("mmcblk0p1", backing, sizeof backing)) + "/DCIM";
  std::string cmd = "rm -rf '" + base + "' && mkdir -p '" + base + "'";
  EXPECT_EQ(system(cmd.c_str()), 0);
  return base;
}
