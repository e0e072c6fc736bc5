// Reference-counted slot payloads: a counter in front of the bytes.
#include "osd/osd_slot.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct alignas(16) Header {
  std::atomic<int> refs;
  int kind;
};

Header *header_of(uint8_t *data) { return (Header *)(data - sizeof(Header)); }

}  // namespace

uint8_t *osd_payload_new(size_t size, int kind) {
  void *p = calloc(1, sizeof(Header) + (size ? size : 1));
  if (!p) return nullptr;
  Header *h = new (p) Header;
  h->refs.store(1);
  h->kind = kind;
  return (uint8_t *)p + sizeof(Header);
}

uint8_t *osd_payload_ref(uint8_t *data) {
  if (data) header_of(data)->refs.fetch_add(1);
  return data;
}

void osd_payload_unref(uint8_t *data) {
  if (!data) return;
  Header *h = header_of(data);
  if (h->refs.fetch_sub(1) == 1) {
    h->~Header();
    free(h);
  }
}

int osd_payload_kind(const uint8_t *data) { return data ? header_of((uint8_t *)data)->kind : 0; }
