// The OSD framebuffers: /dev/fb0 (colour, RGB565) and /dev/fb2 (attributes,
// 4 bits a pixel). Their memory is the contiguous buffer handed over by the
// user-pointer request; mmap returns that range. Pans choose the shown page,
// vsync waits follow the video output's frame clock (1/60 s without one).
// Tests and scripts see the shown pages through sim_fb_dump_osd and
// sim_fb_dump_screen (the sim_display.cmd lines "osd PATH.png" and
// "screen PATH.png"), and pans and vsync waits in display.txt.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/fb.h>
#include <mutex>
#include <png.h>
#include <vector>

#include "platform/device.h"
#include "platform/display_ioctl.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

constexpr uint32_t kWin0Mode = 0x01C71C08u, kWin0Width = 0x01C71C70u, kWin0Height = 0x01C71C74u;
constexpr uint32_t kRectCursor = 0x01C71C10u, kCursorX = 0x01C71C9Cu, kCursorY = 0x01C71CA0u;
constexpr uint32_t kCursorWidth = 0x01C71CA4u, kCursorHeight = 0x01C71CA8u;

struct Fb {
  const char *path;
  const char *id;
  fb_var_screeninfo var;
  uint32_t phys, size;     // the user-pointer memory, 0 before the request
  uint64_t pans, vsync_waits, puts;
  int blank;
};

std::mutex g_lock;
Fb g_fb[2];

uint32_t line_length(const fb_var_screeninfo &v) {
  return ((v.xres_virtual * v.bits_per_pixel / 8) + 31) & ~31u;
}

void power_on(Fb &f, const char *path, const char *id, uint32_t bpp, uint32_t nonstd) {
  f = {};
  f.path = path;
  f.id = id;
  f.var.xres = f.var.xres_virtual = 720;
  f.var.yres = f.var.yres_virtual = 480;
  f.var.bits_per_pixel = bpp;
  f.var.nonstd = nonstd;
  f.blank = FB_BLANK_POWERDOWN;
}

void power_on_all(void) {
  power_on(g_fb[0], "/dev/fb0", "dm_osd0_fb", 16, 0);
  power_on(g_fb[1], "/dev/fb2", "dm_attr_fb", 4, 1);
}

int fb_ioctl(SimFile *file, unsigned long request, void *arg) {
  Fb &f = *(Fb *)file->driver;
  if (request == FBIO_WAITFORVSYNC) {
    {
      std::lock_guard<std::mutex> l(g_lock);
      f.vsync_waits++;
    }
    sim_video_out_wait_vsync();
    sim_video_out_write_state();
    return 0;
  }
  bool changed = false;
  int rc = 0;
  {
    std::lock_guard<std::mutex> l(g_lock);
    switch (request) {
      case FBIOGET_VSCREENINFO:
        if (!arg) return -EFAULT;
        *(fb_var_screeninfo *)arg = f.var;
        return 0;
      case FBIOGET_FSCREENINFO: {
        if (!arg) return -EFAULT;
        fb_fix_screeninfo *x = (fb_fix_screeninfo *)arg;
        memset(x, 0, sizeof *x);
        snprintf(x->id, sizeof x->id, "%s", f.id);
        x->smem_start = f.phys;
        x->smem_len = f.size;
        x->type = FB_TYPE_PACKED_PIXELS;
        x->visual = FB_VISUAL_TRUECOLOR;
        x->ypanstep = 1;
        x->line_length = line_length(f.var);
        return 0;
      }
      case FBIOPUT_VSCREENINFO: {
        if (!arg) return -EFAULT;
        fb_var_screeninfo v = *(fb_var_screeninfo *)arg;
        bool depth_ok = (v.bits_per_pixel == 16 && v.nonstd == 0) ||
                        (v.bits_per_pixel == 4 && v.nonstd == 1);
        if (!depth_ok || !v.xres || !v.yres || v.xres_virtual < v.xres ||
            v.yres_virtual < v.yres || v.xres_virtual > 1920 || v.yres_virtual > 2400)
          return -EINVAL;
        if (f.size && (uint64_t)line_length(v) * v.yres_virtual > f.size) return -ENOMEM;
        v.xoffset = 0;
        if (v.yoffset + v.yres > v.yres_virtual) v.yoffset = 0;
        f.var = v;
        f.puts++;
        *(fb_var_screeninfo *)arg = v;
        changed = true;
        break;
      }
      case FBIOPAN_DISPLAY: {
        if (!arg) return -EFAULT;
        const fb_var_screeninfo *v = (const fb_var_screeninfo *)arg;
        if (v->yoffset + f.var.yres > f.var.yres_virtual || v->xoffset) return -EINVAL;
        f.var.yoffset = v->yoffset;
        f.pans++;
        changed = true;
        break;
      }
      case FBIOBLANK:
        f.blank = (int)(intptr_t)arg;
        changed = true;
        break;
      case FBIO_SET_USERPTR_CONFIG: {
        if (!arg) return -EFAULT;
        const FbUserPtrConfig *c = (const FbUserPtrConfig *)arg;
        if (!c->size || !CMEM_physValid(c->phys, c->size)) return -EINVAL;
        f.phys = c->phys;
        f.size = c->size;
        break;
      }
      default:
        rc = -ENOTTY;
    }
  }
  if (changed) sim_video_out_write_state();
  return rc;
}

void *fb_mmap(SimFile *file, size_t len, int, off_t off) {
  Fb &f = *(Fb *)file->driver;
  std::lock_guard<std::mutex> l(g_lock);
  if (!f.size || off < 0 || (uint64_t)off + len > f.size) return nullptr;
  return CMEM_getVirt(f.phys + (uint32_t)off);
}

// The memory stays the buffer's owner's.
int fb_munmap(SimFile *, void *, size_t) { return 0; }

const SimDriverOps kFbOps = {nullptr, nullptr, nullptr, nullptr, fb_ioctl, fb_mmap, fb_munmap};

// The shown pages as 640 x 480 (or the set size) RGBA, alpha from the
// attribute (x 255 / 7). False before both planes have memory.
uint32_t reg(uint32_t phys) {
  volatile uint32_t *r = sim_mem_reg(phys);
  return r ? *r : 0;
}

// The OSD block's rectangular cursor, in window pixels (zoomed planes on HD
// outputs): a one-pixel white outline over the planes while it is on.
void draw_hw_cursor(std::vector<uint8_t> *out, uint32_t w, uint32_t h) {
  if (!(reg(kRectCursor) & 1)) return;
  uint32_t mode = reg(kWin0Mode);
  uint32_t zx = (mode & 0x400) ? 2 : 1, zy = (mode & 0x100) ? 2 : 1;
  uint32_t x0 = reg(kCursorX) / zx, y0 = reg(kCursorY) / zy;
  uint32_t x1 = x0 + reg(kCursorWidth) - 1, y1 = y0 + reg(kCursorHeight) - 1;
  for (uint32_t y = y0; y <= y1 && y < h; y++)
    for (uint32_t x = x0; x <= x1 && x < w; x++)
      if (x == x0 || x == x1 || y == y0 || y == y1) memset(&(*out)[((size_t)y * w + x) * 4], 255, 4);
}

bool shown_rgba(std::vector<uint8_t> *out, uint32_t *w, uint32_t *h) {
  std::lock_guard<std::mutex> l(g_lock);
  const Fb &c = g_fb[0], &a = g_fb[1];
  if (!c.size || !a.size || c.var.bits_per_pixel != 16 || a.var.bits_per_pixel != 4) return false;
  *w = c.var.xres;
  *h = c.var.yres;
  uint32_t cl = line_length(c.var), al = line_length(a.var);
  const uint8_t *cp = (const uint8_t *)CMEM_getVirt(c.phys) + (size_t)c.var.yoffset * cl;
  const uint8_t *ap = (const uint8_t *)CMEM_getVirt(a.phys) + (size_t)a.var.yoffset * al;
  out->assign((size_t)*w * *h * 4, 0);
  for (uint32_t y = 0; y < *h; y++)
    for (uint32_t x = 0; x < *w; x++) {
      uint16_t p = (uint16_t)(cp[(size_t)y * cl + x * 2] | cp[(size_t)y * cl + x * 2 + 1] << 8);
      uint8_t *o = &(*out)[((size_t)y * *w + x) * 4];
      o[0] = (uint8_t)((p >> 11) * 255 / 31);
      o[1] = (uint8_t)(((p >> 5) & 63) * 255 / 63);
      o[2] = (uint8_t)((p & 31) * 255 / 31);
      uint32_t attr = 0;
      if (x < a.var.xres && y < a.var.yres) {
        uint8_t b = ap[(size_t)y * al + x / 2];
        attr = (x & 1) ? (b & 0xF) : (b >> 4);
      }
      o[3] = (uint8_t)((attr > 7 ? 7 : attr) * 255 / 7);
    }
  draw_hw_cursor(out, *w, *h);
  return true;
}

int write_png_file(const char *path, const std::vector<uint8_t> &pixels, uint32_t w, uint32_t h,
                   int channels) {
  FILE *f = sys_fopen(path, "wb");
  if (!f) return -1;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(f);
    return -1;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 8, channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < h; y++)
    png_write_row(png, (png_const_bytep)&pixels[(size_t)y * w * (size_t)channels]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fclose(f) == 0 ? 0 : -1;
}

// Written beside the path and renamed over it: a script that waits for the
// file never reads half of it.
int write_png(const char *path, const std::vector<uint8_t> &pixels, uint32_t w, uint32_t h,
              int channels) {
  std::string part = std::string(path) + ".part";
  if (write_png_file(part.c_str(), pixels, w, h, channels) != 0 || sys_rename(part.c_str(), path) != 0) {
    sys_unlink(part.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

void sim_fb_register(void) {
  {
    std::lock_guard<std::mutex> l(g_lock);
    power_on_all();
  }
  sim_register("/dev/fb0", &kFbOps, &g_fb[0]);
  sim_register("/dev/fb2", &kFbOps, &g_fb[1]);
}

void sim_fb_reset(void) {
  std::lock_guard<std::mutex> l(g_lock);
  power_on_all();
}

void sim_fb_info(int fb, SimFbInfo *info) {
  std::lock_guard<std::mutex> l(g_lock);
  const Fb &f = g_fb[fb == 2 ? 1 : 0];
  memset(info, 0, sizeof *info);
  info->var = f.var;
  info->line_length = line_length(f.var);
  info->phys = f.phys;
  info->size = f.size;
  info->pans = f.pans;
  info->vsync_waits = f.vsync_waits;
  info->puts = f.puts;
  info->blank = f.blank;
}

int sim_fb_state_text(char *buf, size_t size) {
  std::lock_guard<std::mutex> l(g_lock);
  return snprintf(buf, size,
                  "fb0_page %u\nfb0_pans %llu\nfb0_blank %d\nfb2_page %u\nfb2_pans %llu\n"
                  "fb2_blank %d\nosd_vsync_waits %llu\n",
                  g_fb[0].var.yres ? g_fb[0].var.yoffset / g_fb[0].var.yres : 0,
                  (unsigned long long)g_fb[0].pans, g_fb[0].blank,
                  g_fb[1].var.yres ? g_fb[1].var.yoffset / g_fb[1].var.yres : 0,
                  (unsigned long long)g_fb[1].pans, g_fb[1].blank,
                  (unsigned long long)(g_fb[0].vsync_waits + g_fb[1].vsync_waits));
}

int sim_fb_dump_osd(const char *path) {
  std::vector<uint8_t> rgba;
  uint32_t w, h;
  if (!shown_rgba(&rgba, &w, &h)) return -1;
  return write_png(path, rgba, w, h, 4);
}

int sim_fb_dump_screen(const char *path) {
  std::vector<uint8_t> rgb, osd;
  uint32_t vw, vh, ow = 0, oh = 0;
  if (sim_video_out_shown_rgb(&rgb, &vw, &vh) != 0) return -1;
  if (!shown_rgba(&osd, &ow, &oh)) return write_png(path, rgb, vw, vh, 3);
  volatile uint32_t *mode = sim_mem_reg(kWin0Mode), *ww = sim_mem_reg(kWin0Width),
                    *wh = sim_mem_reg(kWin0Height);
  uint32_t zoom_x = mode && (*mode & 0x400) ? 2 : 1, zoom_y = mode && (*mode & 0x100) ? 2 : 1;
  uint32_t win_w = ww && *ww ? *ww : ow * zoom_x, win_h = wh && *wh ? *wh : oh * zoom_y;
  if (win_w > ow * zoom_x) win_w = ow * zoom_x;
  if (win_h > oh * zoom_y) win_h = oh * zoom_y;
  // The whole OSD window: a zoomed menu over a small picture reaches past
  // the picture, which then sits at the top left of a black screen.
  uint32_t sw = vw > win_w ? vw : win_w, sh = vh > win_h ? vh : win_h;
  std::vector<uint8_t> screen((size_t)sw * sh * 3, 0);
  for (uint32_t y = 0; y < vh; y++)
    memcpy(&screen[(size_t)y * sw * 3], &rgb[(size_t)y * vw * 3], (size_t)vw * 3);
  for (uint32_t y = 0; y < win_h; y++)
    for (uint32_t x = 0; x < win_w; x++) {
      const uint8_t *s = &osd[((size_t)(y / zoom_y) * ow + x / zoom_x) * 4];
      uint8_t *d = &screen[((size_t)y * sw + x) * 3];
      for (int k = 0; k < 3; k++) d[k] = (uint8_t)((s[k] * s[3] + d[k] * (255 - s[3])) / 255);
    }
  return write_png(path, screen, sw, sh, 3);
}
