// Parameter text import: any bytes, line by line. A refused line must leave
// the block exactly as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/param_access.h"
#include "core/param_block.h"

int fuzz_one(const uint8_t *data, size_t size) {
  static ParamBlock before;
  ParamBlock *live = get_param_block();
  *live = *param_default_block();
  const char *text = size ? reinterpret_cast<const char *>(data) : "";
  size_t start = 0;
  while (start <= size) {
    const char *nl =
        start < size ? static_cast<const char *>(memchr(text + start, '\n', size - start)) : NULL;
    size_t end = nl ? size_t(nl - text) : size;
    before = *live;
    if (param_import_line(text + start, end - start) != 0 &&
        memcmp(&before, live, sizeof before) != 0) {
      fprintf(stderr, "refused line changed the block: %.*s\n", int(end - start), text + start);
      abort();
    }
    start = end + 1;
  }
  // The whole text as a file: every line is counted once at most (set, or
  // skipped when not blank), whatever bytes (zero bytes too) it holds.
  *live = *param_default_block();
  if (FILE *in = size ? fmemopen(const_cast<uint8_t *>(data), size, "r") : NULL) {
    ParamImportCount count = {-1, -1};
    param_import_stream(in, &count);
    fclose(in);
    size_t lines = 1;
    for (size_t i = 0; i < size; i++) lines += data[i] == '\n';
    if (count.set < 0 || count.skipped < 0 || size_t(count.set + count.skipped) > lines) {
      fprintf(stderr, "import counted %d set, %d skipped of %zu lines\n", count.set, count.skipped, lines);
      abort();
    }
  }
  param_take_changes();
  return 0;
}
