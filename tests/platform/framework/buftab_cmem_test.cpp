// Contiguous memory translation and the buffer table's choice of buffer.
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

#include "platform/framework/dmai.h"

TEST(Cmem, PhysicalAndVirtualAddressesTranslateBothWays) {
  uint8_t *p = (uint8_t *)CMEM_alloc(1000, 4096);
  ASSERT_NE(p, nullptr);
  uint32_t phys = CMEM_getPhys(p);
  EXPECT_EQ(phys % 4096, 0u);
  EXPECT_EQ(CMEM_getVirt(phys), p);
  EXPECT_EQ(CMEM_getPhys(p + 999), phys + 999);
  EXPECT_EQ(CMEM_getVirt(phys + 999), p + 999);
  int valid = 0;
  EXPECT_EQ(Memory_getBufferPhysicalAddress(p + 10, 20, &valid), phys + 10);
  EXPECT_TRUE(valid);

  int on_stack;
  EXPECT_EQ(CMEM_getPhys(&on_stack), 0u);
  EXPECT_EQ(Memory_getBufferPhysicalAddress(&on_stack, 4, &valid), 0u);
  EXPECT_FALSE(valid);
  EXPECT_EQ(CMEM_getVirt(0x1000), nullptr);
  EXPECT_FALSE(CMEM_physValid(phys, 0xFFFFFFFFu));
  CMEM_free(p);
}

// The memory report gives each block in use with the pages it has touched,
// which is how a resident size is told by owner.
TEST(Cmem, ReportGivesEachBlockInUseWithItsResidentBytes) {
  const size_t kBlock = 1 << 20;
  uint8_t *p = (uint8_t *)CMEM_alloc(kBlock, 4096);
  ASSERT_NE(p, nullptr);
  memset(p, 1, kBlock / 4);
  char *text = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&text, &len);
  EXPECT_GE(CMEM_report(f), 1);
  fclose(f);
  char want[64];
  snprintf(want, sizeof want, "block %u %zu ", CMEM_getPhys(p), kBlock);
  const char *line = strstr(text, want);
  ASSERT_NE(line, nullptr) << text;
  size_t resident = strtoul(line + strlen(want), nullptr, 10);
  EXPECT_GE(resident, kBlock / 4);
  EXPECT_LE(resident, kBlock);   // a huge page may bring in the rest
  EXPECT_EQ(strncmp(text, "arena ", 6), 0);
  free(text);
  CMEM_free(p);
}

TEST(Cmem, ConcurrentAllocationsNeverOverlapAndFreedSpaceIsReused) {
  std::vector<std::pair<uint8_t *, size_t>> got[4];
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; t++)
    ts.emplace_back([&got, t] {
      for (int i = 0; i < 200; i++) {
        size_t n = 100 + (size_t)((i * 37 + t * 11) % 5000);
        uint8_t *p = (uint8_t *)CMEM_alloc(n, 32);
        if (p) got[t].push_back({p, n});
      }
    });
  for (auto &t : ts) t.join();
  std::vector<std::pair<uint8_t *, size_t>> all;
  for (auto &g : got) all.insert(all.end(), g.begin(), g.end());
  ASSERT_EQ(all.size(), 800u);
  std::sort(all.begin(), all.end());
  for (size_t i = 1; i < all.size(); i++)
    ASSERT_LE(all[i - 1].first + all[i - 1].second, all[i].first);
  for (auto &a : all) EXPECT_EQ(CMEM_getPhys(a.first) % 32, 0u);
  uint8_t *first = all[0].first;
  for (auto &a : all) CMEM_free(a.first);
  // With everything freed the neighbours merge again: the lowest block comes
  // back for a request larger than any single freed piece.
  uint8_t *big = (uint8_t *)CMEM_alloc(800 * 5000, 32);
  EXPECT_LE(big, first);
  CMEM_free(big);
}

TEST(BufTab, GetFreeBufTakesTheLowestFreeIndexAndRestoresTheFullMask) {
  Buffer_Attrs a = Buffer_Attrs_DEFAULT;
  a.useMask = 0x3;  // held by the decoder (1) and the display (2)
  BufTab_Handle t = BufTab_create(4, 4096, &a);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(BufTab_getNumBufs(t), 4);
  Buffer_Handle b[4];
  for (int i = 0; i < 4; i++) {
    b[i] = BufTab_getFreeBuf(t);
    ASSERT_EQ(b[i], BufTab_getBuf(t, i));
    EXPECT_EQ(Buffer_getId(b[i]), i);
    EXPECT_EQ(Buffer_getUseMask(b[i]), 0x3);
  }
  EXPECT_EQ(BufTab_getFreeBuf(t), nullptr);
  // Only when every user has let go does a buffer return to the table.
  Buffer_freeUseMask(b[2], 0x1);
  Buffer_freeUseMask(b[1], 0x1);
  EXPECT_EQ(BufTab_getFreeBuf(t), nullptr);
  Buffer_freeUseMask(b[2], 0x2);
  Buffer_freeUseMask(b[1], 0x2);
  EXPECT_EQ(BufTab_getFreeBuf(t), b[1]);
  EXPECT_EQ(Buffer_getUseMask(b[1]), 0x3);
  EXPECT_EQ(BufTab_getFreeBuf(t), b[2]);
  BufTab_freeAll(t);
  EXPECT_EQ(BufTab_getFreeBuf(t), b[0]);
  EXPECT_EQ(BufTab_getBuf(t, 4), nullptr);
  BufTab_delete(t);
}

TEST(Buffer, ReferenceBuffersTakeThePhysicalAddressOfWhatTheyPointAt) {
  Buffer_Attrs a = Buffer_Attrs_DEFAULT;
  a.reference = true;
  Buffer_Handle r = Buffer_create(100, &a);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Buffer_getUserPtr(r), nullptr);
  int8_t *mem = (int8_t *)CMEM_alloc(100, 32);
  ASSERT_EQ(Buffer_setUserPtr(r, mem + 8), 0);
  EXPECT_EQ(Buffer_getPhysicalPtr(r), CMEM_getPhys(mem) + 8);
  EXPECT_EQ(Buffer_setSize(r, 50), 0);
  EXPECT_EQ(Buffer_getSize(r), 50u);
  Buffer_delete(r);  // owns nothing: mem stays valid
  CMEM_free(mem);

  Buffer_Handle owned = Buffer_create(64, nullptr);
  EXPECT_LT(Buffer_setUserPtr(owned, nullptr), 0);
  EXPECT_LT(Buffer_setSize(owned, 1), 0);
  Buffer_delete(owned);
}

TEST(BufferGfx, DimensionsAndChromaPlaneOfAnNv12Frame) {
  BufferGfx_Attrs g = BufferGfx_Attrs_DEFAULT;
  g.colorSpace = ColorSpace_YUV420PSEMI;
  int size = BufferGfx_calcDimensions(1280, 720, ColorSpace_YUV420PSEMI, &g.dim);
  EXPECT_EQ(size, 1280 * 720 * 3 / 2);
  EXPECT_EQ(g.dim.lineLength, 1280);
  Buffer_Handle b = BufferGfx_create((size_t)size, &g);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BufferGfx_getChromaOffset(b), 1280u * 720u);
  BufferGfx_Dimensions d;
  ASSERT_EQ(BufferGfx_getDimensions(b, &d), 0);
  EXPECT_EQ(d.width, 1280);
  EXPECT_EQ(BufferGfx_calcDimensions(720, 480, ColorSpace_UYVY, &d), 720 * 480 * 2);
  EXPECT_EQ(d.lineLength, 1440);
  Buffer_delete(b);

  int w = 0, h = 0;
  EXPECT_EQ(VideoStd_getResolution(VideoStd_1080P_30, &w, &h), 0);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);
  EXPECT_LT(VideoStd_getResolution(VideoStd_AUTO, &w, &h), 0);
}
