// The framebuffer OSD: the on-screen menu is drawn on the video back end's
// OSD hardware, not into the video. A 640 x 480 RGB565 colour plane
// (/dev/fb0) and a 640 x 480 attribute plane of 4 bits a pixel (/dev/fb2,
// the opacity of each colour pixel in eighths) with two pages each; drawing
// goes to the draw pages and osd_flush shows them. Only the OSD thread draws.
#pragma once
#include <atomic>
#include <cstdint>
#include <linux/fb.h>

#include "core/global.h"
#include "display/osd_windows.h"
#include "platform/framework/dmai.h"

struct DisplayEnv;
struct Framecopy_Object;

enum { OSD_WIDTH = 640, OSD_HEIGHT = 480 };
enum { OSD_CS_RGB565 = 4, OSD_CS_ATTR = 9 };

// The OSD/menu thread's record.
struct GuiContext {
  ThreadEnv env;                        // first: the thread table hands this out
  Fifo_Handle free_fifo, image_fifo;    // image buffers: free, and posted
  int32_t status;                       // -1 when the thread failed
  std::atomic<int32_t> recreate_osd;    // set by a video-processing reset
  DisplayEnv *display_env;
};

// A plane's creation record.
struct OsdDisplayAttrs {
  const char *device;
  int32_t width, height;   // -1: the driver's
  int32_t num_bufs;
  int32_t video_std;
  int32_t color_space;     // OSD_CS_RGB565 or OSD_CS_ATTR
  int32_t video_output;    // 1, or 2 on a DVI output
};

struct OsdDisplay {
  int fd;
  BufTab_Handle bufs;              // the mapped pages
  fb_var_screeninfo saved;         // as found at open, put back at delete
  int32_t shown, next;
};

struct OsdRect { int32_t x, y, width, height; };

struct OsdState {
  BufTab_Handle color_mem;         // one contiguous buffer, 1920 x 1200 x 4 bytes
  BufTab_Handle attr_mem;          // one contiguous buffer, 1920 x 1200 bytes
  OsdDisplay *color, *attr;        // NULL when not created
  OsdDisplayAttrs color_attrs;     // its video_std is the OSD's current standard
  OsdDisplayAttrs attr_attrs;
  Buffer_Handle color_page, attr_page;   // where drawing goes
  Framecopy_Object *color_copy, *attr_copy;
  GuiContext *ctx;
};
extern OsdState osd_state;

// The font cell of the menu text size.
extern int osd_font_width, osd_font_height;

OsdDisplay *OsdDisplay_create(BufTab_Handle memory, const OsdDisplayAttrs *attrs);
int OsdDisplay_delete(OsdDisplay *d);
void OsdDisplay_release(OsdDisplay *d);
int OsdDisplay_pan(OsdDisplay *d, int page);
// Shows the next page (buf must not be NULL). 0 or -1.
int Display_put(OsdDisplay *d, Buffer_Handle buf);

// (Re)creates both planes for the OSD's standard. 0 or -1.
int overlay_hd(GuiContext *ctx);
// Shows the draw pages and carries their content over to the new ones.
void osd_flush(GuiContext *ctx);
// Deletes the planes, the copy objects and the memories (thread end).
void osd_release(void);

// Text size 2: 12 x 16; 3 or 4: 15 x 26; any other: 9 x 13.
void osd_set_font(int text_size);
// Characters of a UTF-8 text (continuation bytes not counted).
int utf8_strlen(const char *text);

// Colours are 0xAARRGGBB; the attribute is the top three bits.
static inline uint16_t osd_rgb565(uint32_t c) {
  return (uint16_t)(((c & 0xF80000) >> 8) | ((c & 0xFC00) >> 5) | ((c & 0xF8) >> 3));
}

// Draws count characters with the top-left corner at rect's x, y and sets
// its width and height to the box; nothing is drawn unless the whole box
// lies inside the page.
void osd_draw_text(OsdRect *rect, const char *text, int count, uint32_t colour);
// A 16 x 16 icon: set bits get the colour and full opacity.
void osd_draw_icon(int x, int y, const uint16_t icon[16], uint16_t rgb565);
// The attribute of the rectangle's pixels (whole bytes: an odd x takes the
// neighbour of its first pixel too).
void osd_fill_attr(const OsdRect *rect, int value);
// A rectangle of the colour page, in bytes, filled with one byte.
void osd_fill_bytes(int x_bytes, int y, int width_bytes, int height, uint8_t value);
// The colour byte into both bytes of each pixel and the attribute.
void fillSquare(const OsdRect *rect, uint8_t colour, int attr);
// Both planes up by lines; the freed bottom lines become transparent.
void osd_scroll_up(int lines);
