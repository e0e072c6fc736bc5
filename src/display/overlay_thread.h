// The OSD and menu thread "overlay": it owns the OSD planes, keeps them
// matched to the output standard of the display thread, and runs the menu
// and the DVR logic (gui_start once, then dvr_tick over and over).
#pragma once
#include "control/ctl_client.h"
#include "display/osd_display.h"

struct OverlayCommand;

enum { OSD_IMAGE_BUFFER = 1 << 20, OSD_IMAGE_HEADER = 12 };

// The menu's channel to the local control service (NULL while closed).
extern CtlChannel *gui_ctl_channel;

void *overlayThrFxn(void *ctx);
// The thread table's prepare step: the record's two image FIFOs. 0 or -1.
int overlay_prepare(ThreadEnv *env);
// Points the video-processing reset at the record (planes re-created).
void overlay_install_hooks(GuiContext *ctx);

// An image for the OSD: the menu shows none, so it is refused with a log
// line (-1), and the image buffer stays on the free FIFO.
int osd_post_image(const OverlayCommand *command);
