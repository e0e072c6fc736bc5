// Frame-sized copies through the EDMA device (/dev/dm365mmap, request 7)
// between physical addresses of contiguous buffers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include "platform/framework/dmai.h"

extern pthread_mutex_t framecopy_mutex;

int Framecopy_open(void);
void Framecopy_close(void);
int Framecopy_memcpy2d(uint32_t dst, uint32_t src, uint32_t bytes_per_line,
                       int32_t dst_step, int32_t src_step, uint32_t lines);
int Framecopy_memcpy(uint32_t dst, uint32_t src, size_t len);
int Framecopy_memmove(uint32_t dst, uint32_t src, size_t len);
int Framecopy_buffer_copy(Buffer_Handle dst, Buffer_Handle src, size_t len);
// A copy object for repeated whole-buffer copies (the OSD's page flips):
// config fixes the size, the smaller of the source's bytes used and the
// destination's size; execute copies that many bytes.
struct Framecopy_Attrs { int accel; };
struct Framecopy_Object;
typedef Framecopy_Object *Framecopy_Handle;
Framecopy_Handle Framecopy_create(const Framecopy_Attrs *attrs);
int Framecopy_config(Framecopy_Handle fc, Buffer_Handle src, Buffer_Handle dst);
int Framecopy_execute(Framecopy_Handle fc, Buffer_Handle src, Buffer_Handle dst);
int Framecopy_delete(Framecopy_Handle fc);
struct FramecopyRect { int width, height, pitch; };
int Framecopy_move_rect(int device, const FramecopyRect *dims, const void *src, void *dst);
int Framecopy_move_rect_safe(int device, const FramecopyRect *dims, const void *src, void *dst);
int Framecopy_accel_execute2(Buffer_Handle src, Buffer_Handle dst);
// Planar sources are contiguous buffers holding Y, U and V one after the
// other, each row padded to a multiple of pad bytes (1: no padding), as a
// JPEG decoder writes them. The destination's line length is its graphics
// dimensions' (or the packed width). Width and height must be even.
int Framecopy_yuv420p_to_nv12(Buffer_Handle dst, Buffer_Handle src, int width, int height,
                              int pad);
int Framecopy_yuv422p_to_uyvy(Buffer_Handle dst, Buffer_Handle src, int width, int height,
                              int pad);
// A copy turned by 180 degrees (grey, NV12 and 4:2:2 semi-planar only).
int Framecopy_rotate(Buffer_Handle src, Buffer_Handle dst);
int Framecopy_planes(Buffer_Handle dst, Buffer_Handle src);
// Packs src's bytes used into UVC payloads in dst; sets dst's bytes used.
int uvc_memcpy(Buffer_Handle dst, Buffer_Handle src, int frame_id);
