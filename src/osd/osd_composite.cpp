#include "osd/osd_composite.h"

#include <cstdio>

void osdComposite(int, uint8_t *, uint32_t) {}

void osdDrawText(int, uint8_t *, const char *) {}

void osdSetFormat(int, uint32_t, uint32_t, int, uint32_t) {}

void osdSetDMA(int channel, uint8_t *virt, uint32_t) {
  printf("%s: %d dma=%p\n", "osdSetDMA", channel, (void *)virt);
}
