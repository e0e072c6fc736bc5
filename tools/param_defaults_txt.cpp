// param_defaults_txt: prints the parameter defaults as a parameter text file,
// the content of www/config.txt. The rows that "load defaults" keeps (the
// network identity and addresses) are left out, since that import follows
// param_load_defaults_keep_network.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include "core/param_access.h"
#include "core/param_flash.h"
#include "platform/host_root.h"

static bool kept_row(const char *line) {
  static const char *const kept[] = {"NetworkMode ", "NetworkHostname ", "Net[", "UDPPacketSize "};
  for (const char *k : kept)
    if (strncmp(line, k, strlen(k)) == 0) return true;
  return false;
}

int main(void) {
  // Validation looks for files of the web root; an empty root makes the
  // output the same on every build machine.
  char dir[] = "/tmp/param-defaults-XXXXXX";
  if (!mkdtemp(dir)) {
    perror("mkdtemp");
    return 1;
  }
  root_set(dir);
  param_load_defaults();
  rmdir(dir);

  char *text = NULL;
  size_t size = 0;
  FILE *mem = open_memstream(&text, &size);
  if (!mem || param_export_stream(mem) != 0 || fclose(mem) != 0) return 1;
  for (char *line = text; line && *line;) {
    char *end = strchr(line, '\n');
    size_t len = end ? size_t(end - line + 1) : strlen(line);
    if (!kept_row(line)) fwrite(line, 1, len, stdout);
    line += len;
  }
  free(text);
  return 0;
}
