// What the process's allocator has handed out and not had back, over every
// thread's arena: a test's check that memory a peer made the server take
// comes back when the peer goes. (A sanitizer keeps a heap of its own, which
// this does not see: under one the figure stays put and the checks pass
// without saying anything.)
#pragma once
#include <cstddef>
#include <malloc.h>

inline size_t heap_in_use(void) {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}
