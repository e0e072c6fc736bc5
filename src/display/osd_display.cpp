// The two OSD planes over their framebuffers, the page flips and the drawing
// primitives. Every primitive clips to the page.
#include "display/osd_display.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include "core/framecopy.h"
#include "core/log.h"
#include "display/display_hd.h"
#include "display/display_std.h"
#include "display/osd_fonts.h"
#include "platform/device.h"
#include "platform/display_ioctl.h"

OsdState osd_state = {
    nullptr, nullptr, nullptr, nullptr, {"/dev/fb0", -1, -1, 1, 5, OSD_CS_RGB565, 1},
    {"/dev/fb2", -1, -1, 1, 5, OSD_CS_RGB565, 1}, nullptr, nullptr, nullptr, nullptr, nullptr};
int osd_font_width = 9, osd_font_height = 13;

namespace {

constexpr size_t kColorMem = 1920 * 1200 * 4, kAttrMem = 1920 * 1200;
const char *thread_name(void) { return osd_state.ctx ? osd_state.ctx->env.name : "overlay"; }

OsdDisplay *delete_fail(OsdDisplay *d) {
  OsdDisplay_delete(d);
  return nullptr;
}

}  // namespace

OsdDisplay *OsdDisplay_create(BufTab_Handle memory, const OsdDisplayAttrs *attrs) {
  log_printf("%s: attrs=%p displayDevice=%s colorSpace=%d numBufs=%d videoOutput=%d videoStd=%d\n",
             "Display_create", (const void *)attrs, attrs ? attrs->device : "(null)",
             attrs ? attrs->color_space : 0, attrs ? attrs->num_bufs : 0,
             attrs ? attrs->video_output : 0, attrs ? attrs->video_std : 0);
  if (!attrs) {
    _GT_trace(GT_7CLASS, "[Overlay] Must supply valid attrs\n");
    return nullptr;
  }
  OsdDisplay *d = (OsdDisplay *)calloc(1, sizeof *d);
  if (!d) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed to allocate space for Display Object\n");
    return nullptr;
  }
  int pages = attrs->num_bufs > 0 ? attrs->num_bufs : 1;
  d->fd = dev_open(attrs->device, O_RDWR | O_CLOEXEC);
  if (d->fd < 0) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed to open fb device %s (%s)\n", attrs->device,
              strerror(errno));
    free(d);
    return nullptr;
  }
  if (memory) {
    Buffer_Handle m = BufTab_getBuf(memory, 0);
    FbUserPtrConfig cfg = {Buffer_getPhysicalPtr(m), (uint32_t)Buffer_getSize(m)};
    if (dev_ioctl(d->fd, FBIO_SET_USERPTR_CONFIG, &cfg) < 0) log_printf("FBIO_SET_USERPTR_CONFIG\n");
  }
  fb_fix_screeninfo fix;
  fb_var_screeninfo var;
  if (dev_ioctl(d->fd, FBIOGET_FSCREENINFO, &fix) < 0) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed FBIOGET_FSCREENINFO on %s (%s)\n", attrs->device,
              strerror(errno));
    return delete_fail(d);
  }
  if (dev_ioctl(d->fd, FBIOGET_VSCREENINFO, &var) < 0) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed FBIOGET_VSCREENINFO on %s (%s)\n", attrs->device,
              strerror(errno));
    return delete_fail(d);
  }
  _GT_trace(GT_1CLASS, "[Overlay] Found width=%d height=%d, yres_virtual=%d,xres_virtual=%d, line_length=%d\n",
            var.xres, var.yres, var.yres_virtual, var.xres_virtual, fix.line_length);
  d->saved = var;
  var.xres = OSD_WIDTH;
  var.yres = OSD_HEIGHT;
  var.xres_virtual = OSD_WIDTH;
  var.yres_virtual = OSD_HEIGHT * (uint32_t)pages;
  var.xoffset = var.yoffset = 0;
  var.activate = FB_ACTIVATE_FORCE;
  if (attrs->color_space == OSD_CS_RGB565) {
    var.bits_per_pixel = 16;
    var.nonstd = 0;
  } else if (attrs->color_space == OSD_CS_ATTR) {
    var.bits_per_pixel = 4;
    var.nonstd = 1;
  } else {
    log_printf("Unknown colorspace value: %d\n", attrs->color_space);
  }
  _GT_trace(GT_1CLASS, "[Overlay] Setting width=%d height=%d, yres_virtual=%d, xres_virtual=%d\n",
            var.xres, var.yres, var.yres_virtual, var.xres_virtual);
  log_printf("var activate=%x %dx%d virt %dx%d bpp=%d nonstd=%d cs=%d line_length=%d\n",
             var.activate, var.xres, var.yres, var.xres_virtual, var.yres_virtual,
             var.bits_per_pixel, var.nonstd, attrs->color_space, fix.line_length);
  if (dev_ioctl(d->fd, FBIOPUT_VSCREENINFO, &var) < 0) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed FBIOPUT_VSCREENINFO on %s (%s)\n", attrs->device,
              strerror(errno));
    return delete_fail(d);
  }
  if (dev_ioctl(d->fd, FBIOGET_FSCREENINFO, &fix) < 0) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed FBIOGET_FSCREENINFO on %s (%s)\n", attrs->device,
              strerror(errno));
    return delete_fail(d);
  }
  _GT_trace(GT_1CLASS, "[Overlay] New width=%d, height=%d, yres_virtual=%d,xres_virtual=%d, line_length=%d\n",
            var.xres, var.yres, var.yres_virtual, var.xres_virtual, fix.line_length);

  size_t page_size = (size_t)fix.line_length * var.yres;
  BufferGfx_Attrs gfx = BufferGfx_Attrs_DEFAULT;
  gfx.bAttrs.reference = true;
  gfx.colorSpace = attrs->color_space == OSD_CS_RGB565 ? ColorSpace_RGB565 : ColorSpace_GRAY;
  gfx.dim.width = (int)(var.bits_per_pixel == 4 ? var.xres / 2 : var.xres);
  gfx.dim.height = (int)var.yres;
  gfx.dim.lineLength = (int)fix.line_length;
  d->bufs = BufTab_createGfx(pages, page_size, &gfx);
  if (!d->bufs) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed to allocate BufTab for display buffers\n");
    return delete_fail(d);
  }
  void *mem = dev_mmap(nullptr, page_size * (size_t)pages, PROT_READ | PROT_WRITE, MAP_SHARED,
                       d->fd, 0);
  if (mem == MAP_FAILED || !mem) {
    _GT_trace(GT_7CLASS, "[Overlay] Failed mmap on %s (%s)\n", attrs->device, strerror(errno));
    BufTab_delete(d->bufs);
    d->bufs = nullptr;
    return delete_fail(d);
  }
  for (int i = 0; i < pages; i++) {
    Buffer_Handle b = BufTab_getBuf(d->bufs, i);
    int8_t *p = (int8_t *)mem + (size_t)i * page_size;
    Buffer_setUserPtr(b, p);
    Buffer_setNumBytesUsed(b, (size_t)var.bits_per_pixel * var.xres * var.yres / 8);
    memset(p, 0, page_size);
    _GT_trace(GT_1CLASS, "[Overlay] Display buffer %d mapped to %#lx, physical address %#lx\n", i,
              (unsigned long)p, (unsigned long)Buffer_getPhysicalPtr(b));
  }
  d->shown = 0;
  d->next = pages > 1 ? 1 : 0;
  if (OsdDisplay_pan(d, 0) < 0) {
    _GT_trace(GT_7CLASS, "[Overlay] Error setting display buffer %s\n", attrs->device);
    return delete_fail(d);
  }
  if (dev_ioctl(d->fd, FBIOBLANK, (void *)(intptr_t)FB_BLANK_UNBLANK) < 0) {
    _GT_trace(GT_7CLASS, "[Overlay] Error enabling %s\n", attrs->device);
    return delete_fail(d);
  }
  return d;
}

int OsdDisplay_delete(OsdDisplay *d) {
  if (!d) return 0;
  int rc = 0;
  if (d->fd >= 0) {
    fb_fix_screeninfo fix;
    fb_var_screeninfo var;
    if (dev_ioctl(d->fd, FBIOGET_FSCREENINFO, &fix) < 0) {
      _GT_trace(GT_7CLASS, "[Overlay] Failed FBIOGET_FSCREENINFO (%s)\n", strerror(errno));
      rc = -1;
    } else if (dev_ioctl(d->fd, FBIOGET_VSCREENINFO, &var) < 0) {
      _GT_trace(GT_7CLASS, "[Overlay] Failed ioctl FBIOGET_VSCREENINFO (%s)\n", strerror(errno));
      rc = -1;
    }
    if (d->bufs) {
      Buffer_Handle b0 = BufTab_getBuf(d->bufs, 0);
      size_t len = Buffer_getSize(b0) * (size_t)BufTab_getNumBufs(d->bufs);
      if (Buffer_getUserPtr(b0)) dev_munmap(Buffer_getUserPtr(b0), len);
    }
    if (d->saved.xres && dev_ioctl(d->fd, FBIOPUT_VSCREENINFO, &d->saved) < 0) rc = -1;
    d->saved.yoffset = 0;
    dev_ioctl(d->fd, FBIOPAN_DISPLAY, &d->saved);
    dev_close(d->fd);
  }
  if (d->bufs) BufTab_delete(d->bufs);
  free(d);
  return rc;
}

void OsdDisplay_release(OsdDisplay *d) {
  if (d) OsdDisplay_delete(d);
}

int OsdDisplay_pan(OsdDisplay *d, int page) {
  fb_var_screeninfo var;
  if (!d || dev_ioctl(d->fd, FBIOGET_VSCREENINFO, &var) < 0) return -1;
  var.yoffset = (uint32_t)page * var.yres;
  return dev_ioctl(d->fd, FBIOPAN_DISPLAY, &var) < 0 ? -1 : 0;
}

int Display_put(OsdDisplay *d, Buffer_Handle buf) {
  if (!d || !buf) return -1;
  int pages = BufTab_getNumBufs(d->bufs);
  d->shown = (d->shown + 1) % pages;
  d->next = (d->next + 1) % pages;
  return OsdDisplay_pan(d, d->shown);
}

int overlay_hd(GuiContext *ctx) {
  OsdState &s = osd_state;
  s.ctx = ctx;
  if (!s.color_mem) {
    s.color_mem = BufTab_create(1, kColorMem, &Buffer_Attrs_DEFAULT);
    if (!s.color_mem) {
      log_error("%s %d: Failed to allocate OSD buffer\n", thread_name(), __LINE__);
      return -1;
    }
    memset(Buffer_getUserPtr(BufTab_getBuf(s.color_mem, 0)), 0, kColorMem);
  }
  if (!s.attr_mem) {
    s.attr_mem = BufTab_create(1, kAttrMem, &Buffer_Attrs_DEFAULT);
    if (!s.attr_mem) {
      log_error("%s %d: Failed to allocate OSD attr buffer\n", thread_name(), __LINE__);
      return -1;
    }
    memset(Buffer_getUserPtr(BufTab_getBuf(s.attr_mem, 0)), 0, kAttrMem);
  }
  OsdDisplay_release(s.color);
  OsdDisplay_release(s.attr);
  s.color = s.attr = nullptr;
  s.color_page = s.attr_page = nullptr;
  int output = ctx && ctx->display_env && ctx->display_env->output.load() == 2 ? 2 : 1;
  s.color_attrs.video_output = output;
  s.color_attrs.color_space = OSD_CS_RGB565;
  s.color_attrs.num_bufs = 2;
  s.color = OsdDisplay_create(s.color_mem, &s.color_attrs);
  if (!s.color) {
    log_error("%s %d: Failed to create OSD device\n", thread_name(), __LINE__);
    return -1;
  }
  s.attr_attrs.video_std = s.color_attrs.video_std;
  s.attr_attrs.video_output = output;
  s.attr_attrs.num_bufs = 2;
  s.attr_attrs.color_space = OSD_CS_ATTR;
  s.attr = OsdDisplay_create(s.attr_mem, &s.attr_attrs);
  if (!s.attr) {
    log_error("%s %d: Failed to create OSD attr device\n", thread_name(), __LINE__);
    return -1;
  }
  log_printf("hOSD has %d bufs, hAttr has %d bufs, std=%s\n", BufTab_getNumBufs(s.color->bufs),
             BufTab_getNumBufs(s.attr->bufs), video_std_name(s.color_attrs.video_std));
  // Drawing goes to the page the next flush shows.
  s.color_page = BufTab_getBuf(s.color->bufs, s.color->next);
  s.attr_page = BufTab_getBuf(s.attr->bufs, s.attr->next);
  if (!s.color_copy && !s.attr_copy) {
    Framecopy_Attrs fa = {1};
    s.color_copy = Framecopy_create(&fa);
    if (!s.color_copy) {
      log_error("%s %d: Failed to create overlay framecopy\n", thread_name(), __LINE__);
      return -1;
    }
    s.attr_copy = Framecopy_create(&fa);
    if (!s.attr_copy) {
      log_error("%s %d: Failed to create overlay attribute framecopy\n", thread_name(), __LINE__);
      return -1;
    }
  }
  if (Framecopy_config(s.color_copy, s.color_page, s.color_page) < 0 ||
      Framecopy_config(s.attr_copy, s.attr_page, s.attr_page) < 0) {
    log_error("%s %d: Failed to config overlay framecopy\n", thread_name(), __LINE__);
    return -1;
  }
  return 0;
}

void osd_flush(GuiContext *) {
  OsdState &s = osd_state;
  if (!s.color || !s.attr || !s.color_page || !s.attr_page) return;
  Display_put(s.color, s.color_page);
  Display_put(s.attr, s.attr_page);
  uint32_t arg = 0;
  dev_ioctl(s.attr->fd, FBIO_WAITFORVSYNC, &arg);
  Buffer_Handle c = BufTab_getBuf(s.color->bufs, s.color->next);
  Buffer_Handle a = BufTab_getBuf(s.attr->bufs, s.attr->next);
  if (c != s.color_page) Framecopy_execute(s.color_copy, s.color_page, c);
  if (a != s.attr_page) Framecopy_execute(s.attr_copy, s.attr_page, a);
  s.color_page = c;
  s.attr_page = a;
}

void osd_release(void) {
  OsdState &s = osd_state;
  for (OsdDisplay *d : {s.color, s.attr}) {
    if (!d) continue;
    Buffer_Handle b = BufTab_getBuf(d->bufs, 0);
    if (Buffer_getUserPtr(b)) memset(Buffer_getUserPtr(b), 0, Buffer_getSize(b));
    OsdDisplay_delete(d);
  }
  s.color = s.attr = nullptr;
  s.color_page = s.attr_page = nullptr;
  Framecopy_delete(s.color_copy);
  Framecopy_delete(s.attr_copy);
  s.color_copy = s.attr_copy = nullptr;
  if (s.color_mem) BufTab_delete(s.color_mem);
  if (s.attr_mem) BufTab_delete(s.attr_mem);
  s.color_mem = s.attr_mem = nullptr;
}

void osd_set_font(int text_size) {
  if (text_size == 2) {
    osd_font_width = 12;
    osd_font_height = 16;
  } else if (text_size == 3 || text_size == 4) {
    osd_font_width = 15;
    osd_font_height = 26;
  } else {
    osd_font_width = 9;
    osd_font_height = 13;
  }
}

int utf8_strlen(const char *text) {
  int n = 0;
  for (const unsigned char *p = (const unsigned char *)text; p && *p; p++)
    if ((*p & 0xC0) != 0x80) n++;
  return n;
}

namespace {

// The draw pages as pixel arrays (NULL while there are no planes).
struct Pages {
  uint8_t *color, *attr;
  uint32_t color_pitch, attr_pitch;
};

bool pages(Pages *p) {
  const OsdState &s = osd_state;
  if (!s.color_page || !s.attr_page) return false;
  BufferGfx_Dimensions dc, da;
  BufferGfx_getDimensions(s.color_page, &dc);
  BufferGfx_getDimensions(s.attr_page, &da);
  p->color = (uint8_t *)Buffer_getUserPtr(s.color_page);
  p->attr = (uint8_t *)Buffer_getUserPtr(s.attr_page);
  p->color_pitch = (uint32_t)dc.lineLength;
  p->attr_pitch = (uint32_t)da.lineLength;
  return p->color && p->attr;
}

inline void put_pixel(const Pages &p, int x, int y, uint16_t rgb, int attr) {
  uint8_t *c = p.color + (size_t)y * p.color_pitch + (size_t)x * 2;
  c[0] = (uint8_t)rgb;
  c[1] = (uint8_t)(rgb >> 8);
  uint8_t *a = p.attr + (size_t)y * p.attr_pitch + (size_t)x / 2;
  *a = (x & 1) ? (uint8_t)((*a & 0xF0) | (attr & 0xF)) : (uint8_t)((*a & 0x0F) | (attr & 0xF) << 4);
}

// Clips a rectangle to the page; false when nothing is left.
bool clip(int *x, int *y, int *w, int *h, int page_w, int page_h) {
  if (*x < 0) *w += *x, *x = 0;
  if (*y < 0) *h += *y, *y = 0;
  if (*x + *w > page_w) *w = page_w - *x;
  if (*y + *h > page_h) *h = page_h - *y;
  return *w > 0 && *h > 0;
}

// Fills the rows y..y+h-1 of a plane from its row y: that row is written by
// the caller, the rest by one engine copy that repeats it.
void repeat_row(uint8_t *row, uint32_t pitch, uint32_t bytes, int h) {
  if (h <= 1) return;
  uint32_t src = CMEM_getPhys(row);
  if (src && Framecopy_memcpy2d(src + pitch, src, bytes, (int32_t)pitch, 0, (uint32_t)h - 1) == 0)
    return;
  for (int i = 1; i < h; i++) memcpy(row + (size_t)i * pitch, row, bytes);
}

// The menu code page of a UTF-8 character; the byte count it takes.
int glyph_code(const unsigned char *p, int *code) {
  static const unsigned char kC3[64] = {
      /* 0x80 */ 0, 157, 0, 0, 142, 143, 0, 0, 0, 144, 0, 0, 0, 0, 0, 0,
      /* 0x90 */ 0, 165, 0, 0, 0, 0, 153, 0, 0, 0, 0, 0, 154, 0, 0, 0,
      /* 0xA0 */ 133, 160, 131, 158, 132, 134, 0, 135, 138, 130, 136, 137, 141, 161, 140, 139,
      /* 0xB0 */ 0, 164, 149, 162, 147, 159, 148, 0, 0, 151, 163, 150, 129, 0, 0, 152};
  int len = 1;
  if (p[0] >= 0xC0)
    while (len < 4 && (p[len] & 0xC0) == 0x80) len++;
  if (len == 1) {
    *code = p[0];
    return 1;
  }
  int c = 0;
  if (len == 2 && p[0] == 0xC3 && p[1] >= 0x80 && p[1] <= 0xBF) c = kC3[p[1] - 0x80];
  if (len == 2 && p[0] == 0xC2 && p[1] == 0xBF) c = 168;
  if (!c) {
    log_printf("unhandled unicode %02x %02x\n", p[0], p[1]);
    c = ' ';
  }
  *code = c;
  return len;
}

// Whether pixel col of row r of the glyph for code is set, in the current font.
bool glyph_bit(int code, int r, int col) {
  if (code < 32) return false;
  int g = code - 32;
  if (osd_font_width == 12) {
    if (g >= OSD_MENU_GLYPHS) return false;
    return osd_menu_font12[g][r] >> (14 - col) & 1;
  }
  if (osd_font_width == 15) {
    if (g >= OSD_MENU_GLYPHS) return false;
    const uint8_t *b = osd_menu_font15[g][r];
    uint32_t v = (uint32_t)b[0] << 16 | b[1] << 8 | b[2];
    return v >> (21 - col) & 1;
  }
  if (g >= OSD_MENU_GLYPHS9) return false;
  return osd_menu_font9(g)[r] >> (8 - col) & 1;
}

}  // namespace

void osd_draw_text(OsdRect *rect, const char *text, int count, uint32_t colour) {
  if (!rect) return;
  rect->width = osd_font_width * (count > 0 ? count : 0);
  rect->height = osd_font_height;
  Pages p;
  if (!text || count <= 0 || !pages(&p)) return;
  if (rect->x < 0 || rect->y < 0 || rect->x + rect->width > OSD_WIDTH ||
      rect->y + rect->height > OSD_HEIGHT)
    return;
  uint16_t rgb = osd_rgb565(colour);
  int attr = (int)(colour >> 29);
  const unsigned char *s = (const unsigned char *)text;
  int x = rect->x;
  for (int i = 0; i < count && *s; i++, x += osd_font_width) {
    int code;
    s += glyph_code(s, &code);
    for (int r = 0; r < osd_font_height; r++)
      for (int col = 0; col < osd_font_width; col++)
        if (glyph_bit(code, r, col)) put_pixel(p, x + col, rect->y + r, rgb, attr);
  }
}

void osd_draw_icon(int x, int y, const uint16_t icon[16], uint16_t rgb565) {
  Pages p;
  if (!icon || !pages(&p)) return;
  for (int r = 0; r < 16; r++) {
    if (y + r < 0 || y + r >= OSD_HEIGHT) continue;
    for (int col = 0; col < 16; col++)
      if ((icon[r] >> (15 - col) & 1) && x + col >= 0 && x + col < OSD_WIDTH)
        put_pixel(p, x + col, y + r, rgb565, 7);
  }
}

void osd_fill_attr(const OsdRect *rect, int value) {
  Pages p;
  if (!rect || !pages(&p)) return;
  int x = rect->x, y = rect->y, w = rect->width, h = rect->height;
  if (!clip(&x, &y, &w, &h, OSD_WIDTH, OSD_HEIGHT)) return;
  int b0 = x / 2, b1 = (x + w + 1) / 2;
  uint8_t *row = p.attr + (size_t)y * p.attr_pitch;
  memset(row + b0, (value & 0xF) * 0x11, (size_t)(b1 - b0));
  repeat_row(row + b0, p.attr_pitch, (uint32_t)(b1 - b0), h);
}

void osd_fill_bytes(int x_bytes, int y, int width_bytes, int height, uint8_t value) {
  Pages p;
  if (!pages(&p)) return;
  if (!clip(&x_bytes, &y, &width_bytes, &height, OSD_WIDTH * 2, OSD_HEIGHT)) return;
  uint8_t *row = p.color + (size_t)y * p.color_pitch + x_bytes;
  memset(row, value, (size_t)width_bytes);
  repeat_row(row, p.color_pitch, (uint32_t)width_bytes, height);
}

void fillSquare(const OsdRect *rect, uint8_t colour, int attr) {
  if (!rect) return;
  OsdRect r = *rect;
  if (r.x < 0 || r.y < 0 || r.x + r.width > OSD_WIDTH || r.y + r.height > OSD_HEIGHT) {
    log_printf("%s: %d,%d %dx%d %ldx%ld\n", "fillSquare", r.x, r.y, r.width, r.height,
               (long)OSD_WIDTH, (long)OSD_HEIGHT);
    if (!clip(&r.x, &r.y, &r.width, &r.height, OSD_WIDTH, OSD_HEIGHT)) return;
  }
  if (r.width < 1 || r.height < 1) return;
  osd_fill_bytes(r.x * 2, r.y, r.width * 2, r.height, colour);
  osd_fill_attr(&r, attr);
}

void osd_scroll_up(int lines) {
  Pages p;
  if (lines <= 0 || !pages(&p)) return;
  if (lines > OSD_HEIGHT) lines = OSD_HEIGHT;
  int keep = OSD_HEIGHT - lines;
  struct Plane { uint8_t *base; uint32_t pitch, bytes; } planes[2] = {
      {p.color, p.color_pitch, OSD_WIDTH * 2}, {p.attr, p.attr_pitch, OSD_WIDTH / 2}};
  for (const Plane &pl : planes) {
    if (keep <= 0) break;
    uint32_t dst = CMEM_getPhys(pl.base), src = CMEM_getPhys(pl.base + (size_t)lines * pl.pitch);
    if (!dst || !src ||
        Framecopy_memcpy2d(dst, src, pl.bytes, (int32_t)pl.pitch, (int32_t)pl.pitch, (uint32_t)keep) != 0)
      memmove(pl.base, pl.base + (size_t)lines * pl.pitch, (size_t)keep * pl.pitch);
  }
  OsdRect freed = {0, keep, OSD_WIDTH, lines};
  osd_fill_attr(&freed, 0);
}
