// The built-in simulated drivers, each registered by sim_init() in
// sim_registry.cpp. Internal to src/platform/.
#pragma once
#include <cstdint>

void sim_mem_register(void);     // /dev/mem
void sim_flash_register(void);   // /dev/mtd0
void sim_edma_register(void);    // /dev/dm365mmap
void sim_capture_register(void); // /dev/media0, /dev/v4l-subdev*, /dev/video*

// Writes a fresh flash image (16 MiB of 0xFF with the boot loader version and
// a BoardInfo) at a host path, unless a file is already there. 0 or -1.
int sim_flash_create_image_at(const char *host_path, uint32_t serial);

void sim_storage_register(void);  // mount/umount/mkfs.vfat/df simulations, EROFS, statfs
void sim_usbhub_register(void);   // /dev/usbdev1.2
void sim_video_out_register(void); // /dev/video6
void sim_hdmi_tx_register(void);   // /dev/v4l-subdev6
void sim_fb_register(void);        // /dev/fb0, /dev/fb2
void sim_input_register(void);     // /dev/event0 to /dev/event3
