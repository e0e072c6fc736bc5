#pragma once
#include <cstddef>
#include <cstdint>

// CRC-32/MPEG-2: poly 0x04C11DB7, MSB first, init 0xFFFFFFFF, no final xor.
uint32_t crc32_mpeg2(const void *data, size_t len);
// CRC-32 ISO-HDLC (zip, uImage): reflected 0xEDB88320, init and final xor
// 0xFFFFFFFF. progress (optional) is called before bytes 0, 4096, 8192...
uint32_t crc32_progress(const void *data, size_t len, void (*progress)(size_t done));
