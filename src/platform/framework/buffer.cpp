// Contiguous buffers, graphics buffers and buffer tables.
#include "platform/framework/dmai.h"

#include <atomic>
#include <cstdlib>
#include <pthread.h>

const Buffer_Attrs Buffer_Attrs_DEFAULT = {32, false, Buffer_Type_BASIC, 1};
const BufferGfx_Attrs BufferGfx_Attrs_DEFAULT = {
    {32, false, Buffer_Type_GRAPHICS, 1}, ColorSpace_NOTSET, {0, 0, 0, 0, 0}};

struct Buffer_Object {
  BufferType type;
  bool reference;
  int8_t *user_ptr;
  uint32_t phys;
  size_t size;
  size_t bytes_used;
  int id;
  // Bits of the users (codec, display...) that still hold the buffer; 0 means
  // it is free in its table. full_mask is what BufTab_getFreeBuf hands out.
  std::atomic<int> use_mask;
  int full_mask;
  ColorSpace color_space;
  BufferGfx_Dimensions dim;
};

struct BufTab_Object {
  pthread_mutex_t lock;
  int count;
  Buffer_Handle *bufs;
};

static Buffer_Handle buffer_new(size_t size, const Buffer_Attrs *a, BufferType type) {
  Buffer_Object *b = (Buffer_Object *)calloc(1, sizeof *b);
  if (!b) return nullptr;
  b->type = type;
  b->reference = a->reference;
  b->size = size;
  b->full_mask = a->useMask ? a->useMask : 1;
  b->use_mask.store(0);
  b->color_space = ColorSpace_NOTSET;
  if (!a->reference) {
    b->user_ptr = (int8_t *)CMEM_alloc(size, a->memAlign > 0 ? (size_t)a->memAlign : 32);
    if (!b->user_ptr) {
      free(b);
      return nullptr;
    }
    b->phys = CMEM_getPhys(b->user_ptr);
  }
  return b;
}

Buffer_Handle Buffer_create(size_t size, const Buffer_Attrs *attrs) {
  const Buffer_Attrs *a = attrs ? attrs : &Buffer_Attrs_DEFAULT;
  return buffer_new(size, a, a->type);
}

int Buffer_delete(Buffer_Handle b) {
  if (!b) return -1;
  if (!b->reference) CMEM_free(b->user_ptr);
  free(b);
  return 0;
}

int8_t *Buffer_getUserPtr(Buffer_Handle b) { return b ? b->user_ptr : nullptr; }
uint32_t Buffer_getPhysicalPtr(Buffer_Handle b) { return b ? b->phys : 0; }
size_t Buffer_getSize(Buffer_Handle b) { return b ? b->size : 0; }

int Buffer_setSize(Buffer_Handle b, size_t size) {
  if (!b || !b->reference) return -1;
  b->size = size;
  return 0;
}

// A reference buffer's physical address is that of the memory it points at:
// 0 when the pointer is not contiguous memory, which devices then refuse.
int Buffer_setUserPtr(Buffer_Handle b, int8_t *ptr) {
  if (!b || !b->reference) return -1;
  b->user_ptr = ptr;
  b->phys = CMEM_getPhys(ptr);
  return 0;
}

size_t Buffer_getNumBytesUsed(Buffer_Handle b) { return b ? b->bytes_used : 0; }
void Buffer_setNumBytesUsed(Buffer_Handle b, size_t n) {
  if (b) b->bytes_used = n;
}
int Buffer_getId(Buffer_Handle b) { return b ? b->id : -1; }
BufferType Buffer_getType(Buffer_Handle b) { return b ? b->type : Buffer_Type_BASIC; }

void Buffer_setUseMask(Buffer_Handle b, int mask) {
  if (b) b->use_mask.store(mask);
}
int Buffer_getUseMask(Buffer_Handle b) { return b ? b->use_mask.load() : 0; }
void Buffer_freeUseMask(Buffer_Handle b, int mask) {
  if (b) b->use_mask.fetch_and(~mask);
}

Buffer_Handle BufferGfx_create(size_t size, const BufferGfx_Attrs *attrs) {
  const BufferGfx_Attrs *a = attrs ? attrs : &BufferGfx_Attrs_DEFAULT;
  Buffer_Handle b = buffer_new(size, &a->bAttrs, Buffer_Type_GRAPHICS);
  if (!b) return nullptr;
  b->color_space = a->colorSpace;
  b->dim = a->dim;
  return b;
}

int BufferGfx_getDimensions(Buffer_Handle b, BufferGfx_Dimensions *dim) {
  if (!b || !dim || b->type != Buffer_Type_GRAPHICS) return -1;
  *dim = b->dim;
  return 0;
}

int BufferGfx_setDimensions(Buffer_Handle b, const BufferGfx_Dimensions *dim) {
  if (!b || !dim || b->type != Buffer_Type_GRAPHICS) return -1;
  b->dim = *dim;
  return 0;
}

int ColorSpace_bytesPerPixel(ColorSpace cs) {
  switch (cs) {
    case ColorSpace_UYVY:
    case ColorSpace_RGB565: return 2;
    case ColorSpace_RGB888: return 3;
    case ColorSpace_YUV420PSEMI:
    case ColorSpace_YUV422PSEMI:
    case ColorSpace_YUV420P:
    case ColorSpace_YUV422P:
    case ColorSpace_GRAY: return 1;
    default: return 0;
  }
}

int BufferGfx_calcDimensions(int width, int height, ColorSpace cs, BufferGfx_Dimensions *dim) {
  int bpp = ColorSpace_bytesPerPixel(cs);
  if (!bpp || width <= 0 || height <= 0 || !dim) return -1;
  dim->x = 0;
  dim->y = 0;
  dim->width = width;
  dim->height = height;
  dim->lineLength = width * bpp;
  long luma = (long)dim->lineLength * height;
  switch (cs) {
    case ColorSpace_YUV420PSEMI:
    case ColorSpace_YUV420P: return (int)(luma * 3 / 2);
    case ColorSpace_YUV422PSEMI:
    case ColorSpace_YUV422P: return (int)(luma * 2);
    default: return (int)luma;
  }
}

size_t BufferGfx_getChromaOffset(Buffer_Handle b) {
  if (!b) return 0;
  switch (b->color_space) {
    case ColorSpace_YUV420PSEMI:
    case ColorSpace_YUV420P: return b->size * 2 / 3;
    case ColorSpace_YUV422PSEMI:
    case ColorSpace_YUV422P: return b->size / 2;
    default: return 0;
  }
}

ColorSpace BufferGfx_getColorSpace(Buffer_Handle b) { return b ? b->color_space : ColorSpace_NOTSET; }
void BufferGfx_setColorSpace(Buffer_Handle b, ColorSpace cs) {
  if (b) b->color_space = cs;
}

static BufTab_Handle buftab_new(int num) {
  if (num <= 0) return nullptr;
  BufTab_Object *t = (BufTab_Object *)calloc(1, sizeof *t);
  if (!t) return nullptr;
  t->bufs = (Buffer_Handle *)calloc((size_t)num, sizeof *t->bufs);
  if (!t->bufs) {
    free(t);
    return nullptr;
  }
  pthread_mutex_init(&t->lock, nullptr);
  t->count = num;
  return t;
}

// Buffers of a table start free (mask 0) and carry their index as id.
static BufTab_Handle buftab_fill(BufTab_Handle t, size_t size, const Buffer_Attrs *ba,
                                 const BufferGfx_Attrs *ga) {
  for (int i = 0; i < t->count; i++) {
    Buffer_Handle b = ga ? BufferGfx_create(size, ga) : Buffer_create(size, ba);
    if (!b) {
      BufTab_delete(t);
      return nullptr;
    }
    b->id = i;
    t->bufs[i] = b;
  }
  return t;
}

BufTab_Handle BufTab_create(int numBufs, size_t size, const Buffer_Attrs *attrs) {
  BufTab_Handle t = buftab_new(numBufs);
  return t ? buftab_fill(t, size, attrs ? attrs : &Buffer_Attrs_DEFAULT, nullptr) : nullptr;
}

BufTab_Handle BufTab_createGfx(int numBufs, size_t size, const BufferGfx_Attrs *attrs) {
  BufTab_Handle t = buftab_new(numBufs);
  return t ? buftab_fill(t, size, nullptr, attrs ? attrs : &BufferGfx_Attrs_DEFAULT) : nullptr;
}

int BufTab_delete(BufTab_Handle t) {
  if (!t) return -1;
  for (int i = 0; i < t->count; i++) Buffer_delete(t->bufs[i]);
  pthread_mutex_destroy(&t->lock);
  free(t->bufs);
  free(t);
  return 0;
}

Buffer_Handle BufTab_getBuf(BufTab_Handle t, int index) {
  if (!t || index < 0 || index >= t->count) return nullptr;
  return t->bufs[index];
}

int BufTab_getNumBufs(BufTab_Handle t) { return t ? t->count : 0; }

Buffer_Handle BufTab_getFreeBuf(BufTab_Handle t) {
  if (!t) return nullptr;
  Buffer_Handle found = nullptr;
  pthread_mutex_lock(&t->lock);
  for (int i = 0; i < t->count && !found; i++) {
    Buffer_Handle b = t->bufs[i];
    int expected = 0;
    // Users clear their bits without the table's lock, so claim atomically.
    if (b->use_mask.compare_exchange_strong(expected, b->full_mask)) found = b;
  }
  pthread_mutex_unlock(&t->lock);
  return found;
}

void BufTab_freeAll(BufTab_Handle t) {
  if (!t) return;
  pthread_mutex_lock(&t->lock);
  for (int i = 0; i < t->count; i++) t->bufs[i]->use_mask.store(0);
  pthread_mutex_unlock(&t->lock);
}
