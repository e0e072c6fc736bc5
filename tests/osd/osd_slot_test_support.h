// Slots under test: channel 0 (and 1) with frames and an overlay DMA buffer
// in contiguous memory (so that the EDMA engine copies between them), each
// between guard bands; commands built from bytes; and a plain model of how
// a run-length image lands in a frame.
#pragma once
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "osd/osd_command.h"
#include "osd/osd_composite.h"
#include "osd_test_frames.h"
#include "platform/framework/dmai.h"

// A contiguous buffer of `size` usable bytes between two guard bands.
struct GuardedBuffer {
  static constexpr size_t kGuard = 4096;
  static constexpr uint8_t kPattern = 0xA5;
  Buffer_Handle h = nullptr;
  size_t size = 0;
  explicit GuardedBuffer(size_t n) : size(n) {
    h = Buffer_create(n + 2 * kGuard, nullptr);
    if (h) memset(Buffer_getUserPtr(h), kPattern, n + 2 * kGuard);
  }
  ~GuardedBuffer() {
    if (h) Buffer_delete(h);
  }
  uint8_t *data() { return (uint8_t *)Buffer_getUserPtr(h) + kGuard; }
  uint32_t phys() { return Buffer_getPhysicalPtr(h) + kGuard; }
  long guard_damage() {
    const uint8_t *p = (const uint8_t *)Buffer_getUserPtr(h);
    for (size_t i = 0; i < kGuard; i++) {
      if (p[i] != kPattern) return (long)i;
      if (p[kGuard + size + i] != kPattern) return (long)(kGuard + size + i);
    }
    return -1;
  }
};

// Sends a command of the given bytes (copied to the heap, as callers do).
inline OverlayCommand osd_send(const std::vector<uint8_t> &bytes, int32_t x, int32_t y, uint32_t target,
                               uint32_t opacity, uint32_t len = ~0u) {
  OverlayCommand c = {};
  c.len = len == ~0u ? (uint32_t)bytes.size() : len;
  if (!bytes.empty()) {
    c.data = (uint8_t *)malloc(bytes.size());
    memcpy(c.data, bytes.data(), bytes.size());
  }
  c.x = x;
  c.y = y;
  c.target = target;
  c.opacity = opacity;
  osdCommand(&c);
  return c;
}

// A short command (no data).
inline void osd_short(uint32_t len, uint32_t target, int32_t x = 0, int32_t y = 0, uint32_t opacity = 0) {
  osd_send({}, x, y, target, opacity, len);
}

// "RLE " or "RLEA" command bytes.
inline std::vector<uint8_t> osd_rle_command(const char *tag, uint16_t w, uint16_t h,
                                            const std::vector<uint8_t> &runs) {
  std::vector<uint8_t> b(tag, tag + 4);
  b.push_back((uint8_t)w);
  b.push_back((uint8_t)(w >> 8));
  b.push_back((uint8_t)h);
  b.push_back((uint8_t)(h >> 8));
  b.push_back(0);
  b.push_back(0);
  b.insert(b.end(), runs.begin(), runs.end());
  return b;
}

// The image a run list stands for (values, -1 where no run reached).
inline std::vector<int> osd_model_image(const std::vector<uint8_t> &runs, uint32_t w, uint32_t h) {
  std::vector<int> img((size_t)w * h, -1);
  size_t pos = 0;
  for (size_t i = 0; i < runs.size() && pos < img.size();) {
    int v = runs[i] >> 4, n = runs[i++] & 15;
    if (!n) {
      if (i >= runs.size()) break;
      n = runs[i++] + 16;
    }
    for (; n && pos < img.size(); n--) img[pos++] = v;
  }
  return img;
}

// The luma of an NV12 frame after a run-length slot was drawn, by the model.
inline std::vector<uint8_t> osd_model_draw(std::vector<uint8_t> luma, uint32_t pitch, uint32_t lines,
                                           const std::vector<int> &img, uint32_t w, int32_t x, int32_t y,
                                           int type, uint32_t opacity) {
  static const uint8_t level[8] = {43, 71, 99, 127, 155, 183, 211, 239};
  uint32_t a = opacity > 8 ? 8 : opacity;
  for (size_t i = 0; i < img.size(); i++) {
    int64_t fx = x + (int64_t)(i % w), fy = y + (int64_t)(i / w);
    int v = img[i];
    if (v <= 0 || fx < 0 || fy < 0 || fx >= pitch || fy >= lines) continue;
    uint8_t &l = luma[(size_t)fy * pitch + (size_t)fx];
    if (type == 2) {
      l = (uint8_t)(((8 - a) * l + (uint32_t)(v << 4) * a) >> 3);
    } else {
      const uint8_t ops[8] = {l, (uint8_t)(l - l / 8), (uint8_t)(l - l / 4), (uint8_t)(l / 2 + l / 8),
                              (uint8_t)(l / 2), (uint8_t)(l / 2 - l / 8), (uint8_t)(l / 4), 16};
      l = v >= 8 ? level[v - 8] : ops[v];
    }
  }
  return luma;
}
