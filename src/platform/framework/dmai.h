// The platform media framework: contiguous buffers, buffer tables, pointer
// FIFOs between threads, rendezvous, pause flags, CPU load, video standards
// and the trace. On the host, contiguous memory is one mmap arena with a
// fake 32-bit physical base (physical = base + offset both ways).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- Contiguous memory ----
int CMEM_init(void);
void CMEM_exit(void);
void *CMEM_alloc(size_t size, size_t align);   // NULL when the arena is full
void CMEM_free(void *ptr);
uint32_t CMEM_getPhys(const void *ptr);        // 0 when outside the arena
void *CMEM_getVirt(uint32_t phys);             // NULL when outside the arena
// True when [phys, phys + len) lies inside the arena.
bool CMEM_physValid(uint32_t phys, size_t len);
uint32_t Memory_getBufferPhysicalAddress(const void *ptr, size_t len, int *valid);
// Writes "arena <bytes> <resident bytes>", then one line a block in use,
// "block <phys> <bytes> <resident bytes>", so that memory can be told by
// owner; returns the blocks written.
int CMEM_report(FILE *f);

// ---- Buffers ----
enum ColorSpace { ColorSpace_NOTSET = -1, ColorSpace_UYVY = 0, ColorSpace_YUV420PSEMI = 1,
                  ColorSpace_YUV422PSEMI = 2, ColorSpace_YUV420P = 3, ColorSpace_YUV422P = 4,
                  ColorSpace_RGB565 = 5, ColorSpace_RGB888 = 6, ColorSpace_GRAY = 7 };
// Bytes per pixel of the first (or only) plane: 2 for UYVY, 1 for the luma
// plane of the planar kinds; 0 for an unknown colour space.
int ColorSpace_bytesPerPixel(ColorSpace cs);

enum BufferType { Buffer_Type_BASIC = 0, Buffer_Type_GRAPHICS = 1 };

struct BufferGfx_Dimensions { int x, y, width, height, lineLength; };

struct Buffer_Attrs {
  int memAlign;          // bytes; 0 = default (32)
  bool reference;        // owns no memory: the caller sets the pointer
  BufferType type;
  int useMask;           // initial use mask in a BufTab
};
struct BufferGfx_Attrs {
  Buffer_Attrs bAttrs;
  ColorSpace colorSpace;
  BufferGfx_Dimensions dim;
};
extern const Buffer_Attrs Buffer_Attrs_DEFAULT;
extern const BufferGfx_Attrs BufferGfx_Attrs_DEFAULT;

struct Buffer_Object;
typedef Buffer_Object *Buffer_Handle;

Buffer_Handle Buffer_create(size_t size, const Buffer_Attrs *attrs);
int Buffer_delete(Buffer_Handle b);
int8_t *Buffer_getUserPtr(Buffer_Handle b);
uint32_t Buffer_getPhysicalPtr(Buffer_Handle b);
size_t Buffer_getSize(Buffer_Handle b);
int Buffer_setSize(Buffer_Handle b, size_t size);        // reference buffers only
int Buffer_setUserPtr(Buffer_Handle b, int8_t *ptr);     // reference buffers only
size_t Buffer_getNumBytesUsed(Buffer_Handle b);
void Buffer_setNumBytesUsed(Buffer_Handle b, size_t n);
int Buffer_getId(Buffer_Handle b);
BufferType Buffer_getType(Buffer_Handle b);
void Buffer_setUseMask(Buffer_Handle b, int mask);
int Buffer_getUseMask(Buffer_Handle b);
void Buffer_freeUseMask(Buffer_Handle b, int mask);  // clears bits

Buffer_Handle BufferGfx_create(size_t size, const BufferGfx_Attrs *attrs);
int BufferGfx_getDimensions(Buffer_Handle b, BufferGfx_Dimensions *dim);
int BufferGfx_setDimensions(Buffer_Handle b, const BufferGfx_Dimensions *dim);
// Fills dim for a frame of that size and colour space; returns the
// buffer size needed, or -1.
int BufferGfx_calcDimensions(int width, int height, ColorSpace cs, BufferGfx_Dimensions *dim);
// Offset of the chroma plane from the buffer's start for the planar and
// semi-planar colour spaces: the luma plane fills the first 2/3 (4:2:0) or
// 1/2 (4:2:2) of the buffer's size. 0 for packed colour spaces.
size_t BufferGfx_getChromaOffset(Buffer_Handle b);
ColorSpace BufferGfx_getColorSpace(Buffer_Handle b);
void BufferGfx_setColorSpace(Buffer_Handle b, ColorSpace cs);

// ---- Buffer tables ----
struct BufTab_Object;
typedef BufTab_Object *BufTab_Handle;
BufTab_Handle BufTab_create(int numBufs, size_t size, const Buffer_Attrs *attrs);
BufTab_Handle BufTab_createGfx(int numBufs, size_t size, const BufferGfx_Attrs *attrs);
int BufTab_delete(BufTab_Handle t);
Buffer_Handle BufTab_getBuf(BufTab_Handle t, int index);
int BufTab_getNumBufs(BufTab_Handle t);
// Lowest-index buffer whose use mask is 0; gives it the full mask again.
Buffer_Handle BufTab_getFreeBuf(BufTab_Handle t);
void BufTab_freeAll(BufTab_Handle t);

// ---- Pointer FIFOs ----
struct Fifo_Object;
typedef Fifo_Object *Fifo_Handle;
Fifo_Handle Fifo_create(void);
int Fifo_delete(Fifo_Handle f);
int Fifo_put(Fifo_Handle f, void *ptr);
// Blocks; 0 with *ptr set, negative on error, 1 for ever after Fifo_flush.
int Fifo_get(Fifo_Handle f, void **ptr);
int Fifo_getNumEntries(Fifo_Handle f);
int Fifo_flush(Fifo_Handle f);
// A descriptor that polls readable while entries are queued (or after flush).
int Fifo_getFd(Fifo_Handle f);

// ---- Rendezvous ----
struct Rendezvous_Object;
typedef Rendezvous_Object *Rendezvous_Handle;
Rendezvous_Handle Rendezvous_create(int count);
int Rendezvous_delete(Rendezvous_Handle r);
void Rendezvous_meet(Rendezvous_Handle r);
void Rendezvous_force(Rendezvous_Handle r);   // every later meet returns at once
void Rendezvous_reset(Rendezvous_Handle r);   // re-arms after a force
// Lowers the number of parties (threads that were never started).
void Rendezvous_setCount(Rendezvous_Handle r, int count);

// ---- Pause ----
struct Pause_Object;
typedef Pause_Object *Pause_Handle;
Pause_Handle Pause_create(void);
int Pause_delete(Pause_Handle p);
void Pause_on(Pause_Handle p);
void Pause_off(Pause_Handle p);
void Pause_test(Pause_Handle p);   // blocks while on
bool Pause_isOn(Pause_Handle p);

// ---- CPU load ----
struct Cpu_Object;
typedef Cpu_Object *Cpu_Handle;
Cpu_Handle Cpu_create(void);
int Cpu_delete(Cpu_Handle c);
int Cpu_getLoad(Cpu_Handle c, int *load);   // percent since the last call

// ---- Video standards ----
enum VideoStd_Type { VideoStd_AUTO = 0, VideoStd_CIF, VideoStd_SIF_NTSC, VideoStd_SIF_PAL,
                     VideoStd_VGA, VideoStd_D1_NTSC, VideoStd_D1_PAL, VideoStd_480P,
                     VideoStd_576P, VideoStd_720P_60, VideoStd_720P_50, VideoStd_1080I_30,
                     VideoStd_1080I_25, VideoStd_1080P_30, VideoStd_1080P_25,
                     VideoStd_1080P_24, VideoStd_1080P_60, VideoStd_1080P_50, VideoStd_COUNT };
int VideoStd_getResolution(VideoStd_Type std, int *width, int *height);

// ---- Run-time and trace ----
void CERuntime_init(void);
void CERuntime_exit(void);
void Dmai_init(void);   // reads the trace mask from DMAI_DEBUG
// Framework trace: printed to stderr when mask & level (DMAI_DEBUG).
enum { GT_ENTER = 0x1, GT_1CLASS = 0x2, GT_2CLASS = 0x4, GT_3CLASS = 0x8,
       GT_4CLASS = 0x10, GT_5CLASS = 0x20, GT_6CLASS = 0x40, GT_7CLASS = 0x80 };
bool Dmai_traceEnabled(int level);
void _GT_trace(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
