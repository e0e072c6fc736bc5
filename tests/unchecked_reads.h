// Reads of a live ring's bytes that the test checks afterwards through the
// ring itself (ringbuffer_entry_intact): the thread sanitizer cannot see that
// check, and reporting every byte of a frame it takes for a race slows a
// test to a stall, so it is told to leave such a copy alone.
#pragma once

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin(void);
extern "C" void __tsan_ignore_thread_end(void);
inline void unchecked_reads(bool on) { on ? __tsan_ignore_thread_begin() : __tsan_ignore_thread_end(); }
#else
inline void unchecked_reads(bool) {}
#endif
