// Language files as an uploaded bundle may carry them: whatever the bytes,
// every entry stays a NUL-ended text of at most 79 characters and keeps the
// English text's printf conversions.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/gui_toolkit.h"
#include "fuzz_root.h"

int fuzz_one(const uint8_t *data, size_t size) {
  static bool ready = (fuzz_root(), sys_mkdirs("/usr/html/lang", 0755), true);
  (void)ready;
  FILE *f = sys_fopen("/usr/html/lang/Fuzz.txt", "w");
  if (!f) abort();
  fwrite(data, 1, size, f);
  fclose(f);
  load_language_file("Fuzz");
  for (int i = 0; i < LANG_COUNT; i++) {
    if (!LangTable[i] || (LangTable[i] != lang_english[i] && strlen(LangTable[i]) > 79)) abort();
    if (strchr(lang_english[i], '%')) continue;
    // English has no conversion here: neither may the text in use.
    for (const char *p = LangTable[i]; (p = strchr(p, '%')); p += 2)
      if (p[1] != '%') abort();
  }
  return 0;
}
