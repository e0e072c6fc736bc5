// Page templates as served or uploaded: any text through the template
// engine, at any permission level. It must end, stay inside its buffers and
// leave no tag it acts on half-handled.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/param_access.h"
#include "core/param_block.h"
#include "web/templates.h"

int fuzz_one(const uint8_t *data, size_t size) {
  *get_param_block() = *param_default_block();
  if (size < 1) return 0;
  WebRequest req;
  web_request_init(&req, nullptr, "/fuzz.htm");
  req.permission = data[0] % 7;
  PageBuffer page;
  if (page_init(&page, &req, 64) != 0) return 0;
  template_render_text(&page, reinterpret_cast<const char *>(data + 1), size - 1,
                       size > 2 && data[1] & 1 ? "T<i>" : nullptr);
  if (page.length >= page.capacity || (page.data && page.data[page.length] != 0)) abort();
  page_free(&page);
  web_request_release(&req);
  return 0;
}
