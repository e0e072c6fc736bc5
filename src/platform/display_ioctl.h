// The video output's and the HDMI transmitter's requests beyond the standard
// V4L2 ones: the transmitter driver's EDID read and the output driver's
// chroma offset of semi-planar pictures.
#pragma once
#include <cstdint>
#include <linux/videodev2.h>

#include "platform/capture_ioctl.h"

// 8 header bytes, then the monitor's 256 EDID bytes (base block and one
// extension).
struct DisplayEdidRequest {
  uint8_t header[8];
  uint8_t edid[256];
};
static_assert(sizeof(DisplayEdidRequest) == 264, "the driver's record is 264 bytes");
#define V4L2_G_EDID _IOWR('a', 5, struct DisplayEdidRequest)

// Offset in bytes of the chroma plane from the start of an NV12 buffer.
#define VIDIOC_S_COFST _IOW('V', BASE_VIDIOC_PRIVATE + 2, int)

// The transmitter's I2C address behind the sub-device's register requests.
#define HDMI_TX_I2C_ADDR 0x3B

// The framebuffer driver's user-pointer request: the plane's memory becomes
// the contiguous buffer at that physical address.
struct FbUserPtrConfig {
  uint32_t phys;
  uint32_t size;
};
static_assert(sizeof(FbUserPtrConfig) == 8, "the driver's record is 8 bytes");
#define FBIO_SET_USERPTR_CONFIG _IOW('F', 0x51, struct FbUserPtrConfig)
