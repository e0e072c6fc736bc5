// The custom web bundle's zip as an upload or a USB disk may bring it, read
// by our own zip reader before anything is written: nothing is read outside
// the bytes given, and no input makes it inflate past an entry's stated size.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/firmware.h"

int fuzz_one(const uint8_t *data, size_t size) {
  if (size > CUSTOMZIP_BLOCK_MAX) return 0;
  // An exact copy, so that a read past its end is caught.
  uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
  if (size) memcpy(copy, data, size);
  customzip_check(copy, (uint32_t)size);
  free(copy);
  return 0;
}
