#include "display/osd_windows.h"

#include "core/hwreg.h"
#include "display/hd_display.h"

volatile int osd_scale = 1;

namespace {
constexpr uint32_t kOsdWin0Mode = 0x01C71C08u, kOsdWin1Mode = 0x01C71C0Cu;
constexpr uint32_t kOsdWin0Width = 0x01C71C70u, kOsdWin0Height = 0x01C71C74u;
constexpr uint32_t kOsdWin1Width = 0x01C71C80u, kOsdWin1Height = 0x01C71C84u;
constexpr uint32_t kOsdRectCursor = 0x01C71C10u;
constexpr uint32_t kOsdCursorX = 0x01C71C9Cu, kOsdCursorY = 0x01C71CA0u;
constexpr uint32_t kOsdCursorWidth = 0x01C71CA4u, kOsdCursorHeight = 0x01C71CA8u;
}  // namespace

void osd_config_windows(int std) {
  uint32_t mode0 = hwreg_read(kOsdWin0Mode) & 0xF0FDu, mode1 = hwreg_read(kOsdWin1Mode) & 0xF0FDu;
  uint32_t width, height;
  if (std == 5 || std == 6 || std == 7 || std == 8) {
    osd_scale = 1;
    width = 640;
    height = 480;
    if (std == 5 || std == 6) {
      mode0 |= 2;
      mode1 |= 2;
    }
  } else {
    osd_scale = 2;
    int out = display_info.width;
    width = 2 * (out == 0 || out >= 1280 ? 640u : (uint32_t)out / 2);
    height = 960;
    mode0 |= 0x500;
    mode1 |= 0x500;
  }
  hwreg_write(kOsdWin0Width, width);
  hwreg_write(kOsdWin0Height, height);
  hwreg_write(kOsdWin1Width, width);
  hwreg_write(kOsdWin1Height, height);
  hwreg_write(kOsdWin0Mode, mode0);
  hwreg_write(kOsdWin1Mode, mode1);
}

void osd_cursor_config(uint32_t control, int x, int y, int width, int height) {
  hwreg_write(kOsdCursorWidth, uint32_t(width));
  hwreg_write(kOsdCursorHeight, uint32_t(height));
  osd_cursor_move(x, y);
  hwreg_write(kOsdRectCursor, control);
}

void osd_cursor_move(int x, int y) {
  hwreg_write(kOsdCursorX, uint32_t(x));
  hwreg_write(kOsdCursorY, uint32_t(y));
}
