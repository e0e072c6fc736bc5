// The capture chain's devices: the media controller's entities and links,
// the sub-device and video nodes, their formats, the decoder's input and
// standard, V4L2 buffers, and the previewer and resizer set-up.
#pragma once
#include <cstdint>
#include "platform/capture_ioctl.h"

// One element of the capture chain. A chain is a list from a resizer output
// back to the decoder, each node pointing at its source.
enum : uint32_t { MEDIA_NODE_MMAP = 1, MEDIA_NODE_STREAMING = 2 };
struct MediaNode {
  const char *name;           // entity name to match
  char path[32];              // device path, once opened
  int fd;                     // -1 or 0 when closed
  MediaNode *source;          // towards the decoder; NULL at the decoder
  media_entity_desc entity;   // id 0 while not found
  uint32_t sink_pad;          // of the link from the source
  uint32_t source_pad;
  // Output nodes.
  v4l2_format fmt;
  uint32_t frame_size;
  uint32_t nbufs;
  uint32_t flags;             // MEDIA_NODE_*
};

// The media-bus codes the chain uses.
enum : uint32_t {
  MBUS_YUYV8_2X8 = 0x2008,
  MBUS_UYVY8_2X8 = 0x2006,
  MBUS_UYVY8_1X16 = 0x200F,
  MBUS_YUYV8_1X16 = 0x2011,
  MBUS_NV12_1X20 = 0x2013,
};
const char *mbus_code_name(uint32_t code);

// A crop rectangle in input pixels.
struct CaptureCrop {
  uint32_t x, y, width, height;
};

// Logs "what: system error text" for the request that just failed.
void capture_perror(const char *what);

int media_open_pipeline(MediaNode *output);
int media_setup_links(int fd, MediaNode *node);
int media_enable_link(int fd, media_link_desc *link);
// Copies the descriptor of every entity whose name matches a node of the
// chain; logs the entities when log_all is set.
void media_enum_entities(int fd, MediaNode *chain, int log_all);

// Active formats: source on the source node's source pad, then sink on this
// node's sink pad; either may be NULL. 0 or -1.
int subdev_format_setup(MediaNode *node, const v4l2_mbus_framefmt *sink,
                        const v4l2_mbus_framefmt *source);
int format_setup(MediaNode *node, uint32_t width, uint32_t height, uint32_t fourcc,
                 uint32_t bytesperline, uint32_t field);
void dump_format(const char *name, const v4l2_format *fmt);
void dump_formats(MediaNode *node);

int input_setup(int fd, int input, v4l2_std_id *standard);

// Buffers of an output node: count memory-mapped or user-pointer buffers
// (by the node's flag). With addrs, user-pointer buffers are queued at those
// addresses, memory-mapped ones are mapped (into addrs) and queued.
int buffer_setup(MediaNode *node, void **addrs, uint32_t count);
void buffer_release(MediaNode *node);

// The resizer, chained behind the previewer or single-shot. in_width and
// in_height are the captured size; an output whose format is NULL is
// disabled; crops may be NULL (the whole input).
int rsz_setup(int fd, int chained, uint32_t in_width, uint32_t in_height,
              const v4l2_pix_format *out_a, const v4l2_pix_format *out_b, uint32_t flip_a,
              uint32_t flip_b, int interlaced, const CaptureCrop *crop_a,
              const CaptureCrop *crop_b);
// The clock divider N (1:N) for an input of that many pixels.
int rsz_clock_divider(uint32_t width, uint32_t height, int interlaced);
int prv_setup(int fd);

// One byte register of the decoder chip at I2C address addr.
uint32_t subdev_reg_read(int fd, uint32_t addr, uint32_t reg);
int subdev_reg_write(int fd, uint32_t addr, uint32_t reg, uint32_t value);

// The capture rate in thousandths of a frame per second, doubled for
// interlaced input; 0 when the driver does not tell.
uint32_t capture_read_fps(int fd, int interlaced);
