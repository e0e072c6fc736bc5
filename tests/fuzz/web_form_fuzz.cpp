// Form keys and values as the post processor hands them over: any keys, any
// values, in pieces. A key reaches a parameter or a form-key handler, nothing
// else; a refused value leaves its parameter as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/param_access.h"
#include "core/param_block.h"
#include "core/param_table.h"
#include "web/web_forms.h"
#include "web/web_request.h"

namespace {
const char *const form_rows[] = {"controls",         "auth_controls",           "streamA_controls",
                                 "capture_controls", "display_controls_no_save", "udpB_controls"};
}

// Input: byte 0 picks the row, byte 1 the permission level; then records of
// "key\0" and a value piece up to the next "\n" ('\r' in front of a piece
// continues the previous key's value at the next offset).
int fuzz_one(const uint8_t *data, size_t size) {
  ParamBlock *live = get_param_block();
  *live = *param_default_block();
  if (size < 2) return 0;
  WebRequest req;
  web_request_init(&req, nullptr, "/controls");
  req.row = url_table_lookup(form_rows[data[0] % (sizeof form_rows / sizeof form_rows[0])]);
  req.permission = data[1] % 7;
  const char *p = reinterpret_cast<const char *>(data + 2);
  const char *end = reinterpret_cast<const char *>(data + size);
  char key[128] = "";
  uint64_t offset = 0;
  while (p < end) {
    bool more = *p == '\r';
    if (more) p++;
    if (!more) {
      const char *z = static_cast<const char *>(memchr(p, 0, size_t(end - p)));
      if (!z) break;
      snprintf(key, sizeof key, "%.*s", int(z - p), p);
      p = z + 1;
      offset = 0;
    }
    const char *nl = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
    size_t n = size_t((nl ? nl : end) - p);
    form_field(&req, key, p, offset, n);
    offset += n;
    p += n + (nl ? 1 : 0);
  }
  form_flush(&req);
  form_apply(&req);
  if (req.permission == PERM_DEMO && memcmp(live, param_default_block(), sizeof *live) != 0) {
    fprintf(stderr, "a Demo request changed the block\n");
    abort();
  }
  web_request_release(&req);
  param_take_changes();
  return 0;
}
