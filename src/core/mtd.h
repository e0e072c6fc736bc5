// Raw flash (/dev/mtd0) and its fixed layout.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#define MTD_ERASE_BLOCK      0x20000u
#define MTD_BL_VERSION_OFF   0x100u
#define MTD_BOARDINFO_OFF    0x1FFF0u
#define MTD_PARAM_RING_OFF   0x20000u
#define MTD_PARAM_RING_SIZE  0x40000u
#define MTD_WIFI_ARCHIVE_OFF 0x60000u
#define MTD_USERLOG0_OFF     0x820000u
#define MTD_USERLOG1_OFF     0x840000u
#define MTD_KERNEL_OFF       0x860000u
#define MTD_KERNEL_MAX       0x780000u
#define MTD_WEBBUNDLE_OFF    0xFE0000u
#define MTD_SIZE             0x1000000u

struct BoardInfo {
  uint32_t board_word;
  uint32_t reserved;
  uint32_t board_value;   // 0xFFFFFFFF when unset
  uint32_t serial;        // at most 999999
};
static_assert(sizeof(BoardInfo) == 16, "BoardInfo is 16 bytes");

int mtd_open(void);
void mtd_close(void);
ssize_t mtd_read(void *buf, uint32_t offset, size_t len);
ssize_t mtd_write(const void *buf, uint32_t offset, size_t len);
int mtd_erase_block(uint32_t offset, size_t len);
uint32_t mtd_bootloader_version(void);
int board_info_read(BoardInfo *info);
uint32_t board_value_read(void);
int board_value_write(uint32_t value);
