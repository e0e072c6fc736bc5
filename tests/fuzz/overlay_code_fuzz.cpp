// The coded message lookup over any code list and typed code (the bytes up
// to the first NUL, at most 10, are the code; the rest is the packed list):
// a message found is the end of a list line that starts with the code and a
// space, and it never starts with a space.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/screens/overlay_editor.h"

int fuzz_one(const uint8_t *data, size_t size) {
  const char *p = (const char *)data;
  size_t clen = strnlen(p, size < 10 ? size : 10);
  std::string code(p, clen);
  size_t rest = clen < size ? clen + 1 : size;
  std::string list(p + rest, size - rest);
  char message[OVERLAY_LINE_CHARS + 1];
  memset(message, 'x', sizeof message);
  if (!overlay_code_lookup(list.data(), uint32_t(list.size()), code.c_str(), message, sizeof message)) return 0;
  if (!memchr(message, 0, sizeof message) || message[0] == ' ' || code.empty()) abort();
  for (size_t at = 0; at < list.size();) {
    std::string line(list.c_str() + at);
    at += line.size() + 1;
    if (line.size() <= clen || line[clen] != ' ') continue;
    bool match = true;
    for (size_t i = 0; i < clen; i++) match = match && tolower((unsigned char)line[i]) == tolower((unsigned char)code[i]);
    if (!match) continue;
    size_t m = line.find_first_not_of(' ', clen);
    std::string want = m == std::string::npos ? "" : line.substr(m, OVERLAY_LINE_CHARS);
    if (want != message) abort();
    return 0;
  }
  abort();
}
