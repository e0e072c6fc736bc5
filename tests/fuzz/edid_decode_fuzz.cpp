// Monitor EDIDs from any bytes: the decoder and the lookups stay inside the
// 256 bytes (the block sits at the end of a page whose next page is not
// mapped), and the mode table never holds an entry without a rate.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/mman.h>
#include <unistd.h>

#include "display/edid.h"

int fuzz_one(const uint8_t *data, size_t size) {
  static uint8_t *block;
  static FILE *null;
  if (!block) {
    long psz = sysconf(_SC_PAGESIZE);
    uint8_t *page = (uint8_t *)mmap(nullptr, (size_t)psz * 2, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) abort();
    mprotect(page + psz, (size_t)psz, PROT_NONE);
    block = page + psz - EDID_SIZE;
    null = fopen("/dev/null", "w");
  }
  memset(block, 0, EDID_SIZE);
  memcpy(block, data, size < (size_t)EDID_SIZE ? size : (size_t)EDID_SIZE);
  edid_set_output(null);
  edid_decode(block);
  edid_set_output(nullptr);
  for (const EdidMode &m : edid_table()->modes)
    if (m.width && (m.height == 0 || m.rate == 0)) abort();
  const int sizes[][2] = {{1920, 1080}, {1280, 720}, {720, 480}, {1920, 540}, {0, 0}};
  for (auto &s : sizes)
    for (int rate : {25000, 30000, 50000, 60000})
      for (int il : {0, 1, -1}) edid_lookup_rate(s[0], s[1], rate, il);
  return 0;
}
