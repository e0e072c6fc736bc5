// The Origin or Referer of a state-changing request against the Host it was
// sent to: the first line is the Origin or Referer, the rest the Host, which
// is also judged as a name of this box or not.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "core/param_block.h"
#include "fuzz_root.h"
#include "web/web_request.h"

int fuzz_one(const uint8_t *data, size_t size) {
  static bool once = [] {
    fuzz_root();
    sys_mkdirs("/etc", 0755);
    return sys_write_text("/etc/resolv.conf", "domain studio.lan\nsearch office.example\n") == 0;
  }();
  if (!once) abort();
  snprintf(get_param_block()->hostname, sizeof get_param_block()->hostname, "m7391-000001");
  std::string text(reinterpret_cast<const char *>(data), size);
  size_t nl = text.find('\n');
  // Header values end at a NUL as the library hands them over.
  std::string from = text.substr(0, nl).c_str();
  std::string host = nl == std::string::npos ? "" : text.substr(nl + 1).c_str();
  bool same = web_same_site(from.c_str(), host.c_str());
  // Only web pages name a site; the check never accepts an empty Host.
  if (same && strncasecmp(from.c_str(), "http://", 7) != 0 && strncasecmp(from.c_str(), "https://", 8) != 0)
    abort();
  if (same && host.empty()) abort();
  // The box's own names hold no '/', '@' or space, and are never empty.
  if (web_host_is_own(host.c_str()) && host.find_first_of("/@ ") != std::string::npos) abort();
  if (web_host_is_own(host.c_str()) && host.empty()) abort();
  // The box's name under a domain is its own only under those it was given.
  std::string name = host.substr(0, host.find(':'));
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (web_host_is_own(host.c_str()) && strncasecmp(name.c_str(), "m7391-000001.", 13) == 0 &&
      strcasecmp(name.c_str() + 13, "local") != 0 && strcasecmp(name.c_str() + 13, "studio.lan") != 0 &&
      strcasecmp(name.c_str() + 13, "office.example") != 0)
    abort();
  // A page of this very Host, a plain name, always is.
  const char *kName = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";
  if (!host.empty() && host.find_first_not_of(kName) == std::string::npos &&
      !web_same_site(("http://" + host + "/x").c_str(), host.c_str()))
    abort();
  return 0;
}
