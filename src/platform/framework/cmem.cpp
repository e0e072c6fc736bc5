// Contiguous memory. On the board a kernel driver hands out physically
// contiguous blocks; here one anonymous mapping stands in for the whole pool
// and its offset is the "physical" address above a fixed 32-bit base, so that
// device requests (EDMA, codecs) can carry 32-bit physical addresses and be
// turned back into pointers.
#include "platform/framework/dmai.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <atomic>
#include <vector>

namespace {

constexpr uint32_t kPhysBase = 0x82000000u;
constexpr size_t kDefaultMiB = 512;
// The pool must stay below 4 GiB of physical address space.
constexpr size_t kMaxMiB = (0x100000000ull - kPhysBase) >> 20;
constexpr size_t kMinAlign = 32;

// The pool is cut into segments kept in address order; each is free or used.
struct Segment {
  size_t off, size;
  bool used;
  Segment *prev, *next;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
// Set once under g_lock; read without it by the address translations.
std::atomic<uint8_t *> g_base{nullptr};
size_t g_size;
Segment *g_head;

int arena_map_locked(void) {
  if (g_base) return 0;
  size_t mib = kDefaultMiB;
  if (const char *s = getenv("M7391_CMEM_MB")) {
    long v = strtol(s, nullptr, 10);
    if (v > 0) mib = (size_t)v;
  }
  if (mib > kMaxMiB) mib = kMaxMiB;
  size_t size = mib << 20;
  // MAP_NORESERVE: only the pages that buffers touch cost host memory.
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    perror("CMEM_init: mmap");
    return -1;
  }
  Segment *s = (Segment *)calloc(1, sizeof *s);
  if (!s) {
    munmap(p, size);
    return -1;
  }
  s->off = 0;
  s->size = size;
  g_size = size;
  g_head = s;
  g_base.store((uint8_t *)p, std::memory_order_release);
  return 0;
}

// Splits s so that a new segment begins at s->off + at; returns the new one.
Segment *split(Segment *s, size_t at) {
  Segment *n = (Segment *)calloc(1, sizeof *n);
  if (!n) return nullptr;
  n->off = s->off + at;
  n->size = s->size - at;
  n->used = s->used;
  n->prev = s;
  n->next = s->next;
  if (s->next) s->next->prev = n;
  s->next = n;
  s->size = at;
  return n;
}

// Joins s with its next segment (both free).
void merge_next(Segment *s) {
  Segment *n = s->next;
  s->size += n->size;
  s->next = n->next;
  if (n->next) n->next->prev = s;
  free(n);
}

}  // namespace

int CMEM_init(void) {
  pthread_mutex_lock(&g_lock);
  int rc = arena_map_locked();
  pthread_mutex_unlock(&g_lock);
  return rc;
}

// Buffers may still be referenced by threads that outlive the caller, so the
// pool stays mapped until the process ends.
void CMEM_exit(void) {}

void *CMEM_alloc(size_t size, size_t align) {
  if (align < kMinAlign) align = kMinAlign;
  if (align & (align - 1)) return nullptr;
  if (size == 0) size = 1;
  size = (size + kMinAlign - 1) & ~(kMinAlign - 1);
  pthread_mutex_lock(&g_lock);
  void *result = nullptr;
  if (arena_map_locked() == 0) {
    // Alignment is of the physical address, which is what devices see; the
    // base is page aligned so pointers share it up to the page size.
    for (Segment *s = g_head; s; s = s->next) {
      if (s->used) continue;
      uint64_t phys = (uint64_t)kPhysBase + s->off;
      size_t pad = (size_t)(((phys + align - 1) & ~(uint64_t)(align - 1)) - phys);
      if (s->size < pad || s->size - pad < size) continue;
      Segment *u = s;
      if (pad) {
        u = split(s, pad);
        if (!u) break;
      }
      if (u->size > size && !split(u, size)) {
        if (u != s) merge_next(s);
        break;
      }
      u->used = true;
      result = g_base.load(std::memory_order_relaxed) + u->off;
      break;
    }
  }
  pthread_mutex_unlock(&g_lock);
  return result;
}

void CMEM_free(void *ptr) {
  if (!ptr) return;
  pthread_mutex_lock(&g_lock);
  uint8_t *p = (uint8_t *)ptr;
  uint8_t *base = g_base.load(std::memory_order_relaxed);
  if (base && p >= base && p < base + g_size) {
    size_t off = (size_t)(p - base);
    for (Segment *s = g_head; s; s = s->next) {
      if (s->off != off) continue;
      if (!s->used) break;  // double free: ignore
      s->used = false;
      if (s->next && !s->next->used) merge_next(s);
      if (s->prev && !s->prev->used) merge_next(s->prev);
      break;
    }
  }
  pthread_mutex_unlock(&g_lock);
}

uint32_t CMEM_getPhys(const void *ptr) {
  const uint8_t *p = (const uint8_t *)ptr;
  const uint8_t *base = g_base.load(std::memory_order_acquire);
  if (!base || p < base || p >= base + g_size) return 0;
  return kPhysBase + (uint32_t)(p - base);
}

void *CMEM_getVirt(uint32_t phys) {
  uint8_t *base = g_base.load(std::memory_order_acquire);
  if (!base || phys < kPhysBase || phys - kPhysBase >= g_size) return nullptr;
  return base + (phys - kPhysBase);
}

bool CMEM_physValid(uint32_t phys, size_t len) {
  if (!g_base.load(std::memory_order_acquire) || phys < kPhysBase) return false;
  uint64_t off = phys - kPhysBase;
  return off <= g_size && len <= g_size - off;
}

uint32_t Memory_getBufferPhysicalAddress(const void *ptr, size_t len, int *valid) {
  uint32_t phys = CMEM_getPhys(ptr);
  bool ok = phys && CMEM_physValid(phys, len);
  if (valid) *valid = ok;
  return ok ? phys : 0;
}

int CMEM_report(FILE *f) {
  const size_t page = (size_t)sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> in;
  int n = 0;
  pthread_mutex_lock(&g_lock);
  uint8_t *base = g_base.load(std::memory_order_relaxed);
  if (base) {
    in.assign(g_size / page, 0);
    size_t resident = 0;
    if (mincore(base, g_size, in.data()) == 0)
      for (unsigned char c : in) resident += c & 1;
    fprintf(f, "arena %zu %zu\n", g_size, resident * page);
  }
  for (Segment *s = base ? g_head : nullptr; s; s = s->next) {
    if (!s->used) continue;
    // The block's pages, from the one holding its first byte.
    size_t first = s->off / page * page;
    size_t pages = (s->off + s->size - first + page - 1) / page;
    in.assign(pages, 0);
    size_t resident = 0;
    if (mincore(base + first, pages * page, in.data()) == 0)
      for (unsigned char c : in) resident += c & 1;
    fprintf(f, "block %u %zu %zu\n", kPhysBase + (uint32_t)s->off, s->size, resident * page);
    n++;
  }
  pthread_mutex_unlock(&g_lock);
  return n;
}
