// Firmware update: a kernel image (legacy uImage) received over the web in
// pieces or read whole from a file, checked and written into the kernel
// region of the flash; or a combined tar of the kernel image and the Wi-Fi
// tools archive, which goes to its own region. The device then restarts.
#pragma once
#include <cstddef>
#include <cstdint>

#define UIMAGE_MAGIC        0x27051956u
#define UIMAGE_HEADER_SIZE  64u
#define FIRMWARE_MAX_SIZE   0xF00000u
#define WIFI_ARCHIVE_MAX    0x780000u
// The uImage header's operating system, processor and image type this board
// boots (bytes 28, 29 and 30).
#define UIMAGE_OS_LINUX     5u
#define UIMAGE_ARCH_ARM     2u
#define UIMAGE_TYPE_KERNEL  2u

// The flash the update writes: the board's by default; tests and the fuzz
// harness put a memory flash behind it.
struct FirmwareFlash {
  int (*read)(void *buf, uint32_t offset, size_t len);    // 0 when all read
  int (*write)(const void *buf, uint32_t offset, size_t len);
  int (*erase)(uint32_t offset);                          // one erase block
};
extern const FirmwareFlash *firmware_flash;

// Uploads, in pieces. owner names the request that began the upload: the
// pieces and the end of any other request are turned away.
// 0 when a buffer for the image was allocated; -2 when another upload or
// update holds the state; else -1 (the status says why).
int firmware_upload_init(const void *owner, const void *chunk, size_t length);
// Appends; the piece that completes the image has it checked at once (the
// CRCs, the kind of kernel) and, when it passes, starts the flash thread.
// 0 while the image is held for owner or was taken; -1 when it is not held
// (never begun, ended, or refused whole: the status says why).
int firmware_upload_append(const void *owner, const void *chunk, size_t length);
// At the end of the request: reports a failed or truncated upload, -1
// then, else 0.
int firmware_upload_finish(const void *owner);
// 1 while an image is held.
int firmware_update_in_progress(void);
// The last status, cleared as it is read (NULL when none).
const char *firmware_status_take(void);
// 1 while a status waits to be read: the outcome of an update that ended.
int firmware_status_pending(void);
void firmware_status_set(const char *text);

// Reads a whole file from fd, which the caller opened and keeps, into a new
// buffer (the caller frees it): 0 with *data and *size; 1 when the file is
// larger than max (*size its size, nothing read); -1 when it is not a
// regular file or cannot be read to the size it had when opened (a file that
// shrinks meanwhile, a failing volume).
int firmware_file_read(int fd, uint64_t max, uint8_t **data, uint64_t *size);

// A whole file as the image, checked here and flashed on the flash thread:
// 0 when held; -1 when it cannot be read or another update holds the
// state; -2 when the image is refused (the status says why).
int firmware_load_file(int fd);
// A rescue file, read whole, checked and flashed in the calling thread;
// name is for the log. -1 when fd is not open, else 0 (the status says how
// it ended).
int firmware_upload_file(int fd, const char *name);
// The status the last update left (not cleared), for the caller of the above.
const char *firmware_status_peek(void);

// Verifies and writes one uImage to the kernel region. 0 written, 1 the same
// image is already there, -1 refused or failed (the status says why).
int flash_kernel_image(const uint8_t *image, uint64_t length);
// Every check an image passes before anything is erased (a uImage, or the
// combined tar with both entries): 0, or -1 with the status saying why.
int firmware_image_check(const uint8_t *image, uint64_t length);
// The flash thread's work on one image, without the restart: 0 when the
// update succeeded.
int firmware_flash_image(const uint8_t *image, uint64_t length);
// 1: a uImage whose size + 64 is length; 2: a combined file with both
// entries; else 0.
int firmware_image_kind(const uint8_t *data, uint64_t length);

// The kernel image's date (seconds since 1970), from the Wi-Fi region's
// header when the kernel region is erased or in safe boot.
uint32_t read_firmware_date(void);
// "YYYY MMDD HHMM" in local time, or "Firmware invalid".
int firmware_version_text(char *buf, size_t size);

// Set once the Wi-Fi tools were unpacked at start.
void firmware_set_wifi_tools_present(int present);
int wifi_tools_present(void);
// The status LED's blinking while flash is written (the board I/O's).
extern void (*firmware_led_blink)(int on);

// The custom web bundle in the last flash block: a u32 length (little
// endian), then the zip. Unpacked into the web root at start.
#define CUSTOMZIP_BLOCK_MAX 0x20000u
// What a bundle may unpack to, all entries together.
#define CUSTOMZIP_UNPACKED_MAX 0x400000u
// Our own reading of a bundle: 0 when every entry is a file or a folder
// with a plain relative name (not absolute, no "..", no backslash or control
// byte, no last part "."), no link or other special file, stored or
// deflated, not encrypted, whose data lies in the zip apart from every other
// entry's and inflates to exactly its stated size and CRC, all of it within
// CUSTOMZIP_UNPACKED_MAX; when no file is also a folder of the bundle, and
// no name runs through the bundle's listing (customzip.txt), a page of the
// web root as it stands, or puts a file where a folder of it stands; and
// when no other zip reader could take it otherwise: one end record after
// the central directory and no zip64 record, each local header telling its
// entry's sizes and CRC as the central one does, no extra field that names
// an entry anew. -1 (logged) otherwise.
int customzip_check(const uint8_t *zip, uint32_t size);
// Unpacks the stored bundle's checked entries into the web root, with its
// listing in customzip.txt, nothing opened through a link: 0 when none or
// all written, -1 when it cannot be read or is refused, or a file cannot be
// written (what was written is then undone).
int customzip_load(void);
// Unpacks block (length field + zip, size bytes in all) into the web root
// and then stores it in flash, the settings file an older bundle brought
// taken away. 0 done; -1 the size or the length field is wrong or the
// bundle is refused (customzip_check); -2 it could not be written or
// stored: the stored bundle and the web root are as they were; -3 as -2,
// but the web root could not be put back whole (logged).
int customzip_save(const uint8_t *block, uint32_t size);
// A file opened by the caller (rescue file, the menu's custom.zip): 0
// stored, 1 empty file (bundle cleared), 2 too large, 3 unreadable, refused
// or not stored.
int customzip_save_file(int fd);
int customzip_clear(void);
// The stored bundle's zip size, -1 when none.
int customzip_size(void);

// Unpacks the Wi-Fi tools archive from its flash region into /Wifi: only
// directories and files under "Wifi/", files written afresh. 1 when the
// tools were unpacked (the tools are then present); else 0, the tools
// marked absent once the walk began (a file that could not be created or
// written whole ends it, logged in one line).
int wifi_archive_extract(void);
// The same walk over an archive in memory, before it is written to flash:
// 0 when every header is sound (checksum, name under "Wifi/", a directory
// or a file whose data lies inside) and the listing ends inside size.
int wifi_archive_check(const uint8_t *data, uint64_t size);
// A Wi-Fi tools archive from a file the caller opened (a USB disk's
// wifi_archive.tar): read whole, at most WIFI_ARCHIVE_MAX bytes, and
// checked (wifi_archive_check). The archive (malloc'd), or NULL, logged,
// when it is refused.
uint8_t *wifi_archive_read(int fd, uint64_t *size);
// Unpacks an archive in memory into /Wifi with the walk of
// wifi_archive_extract: 1 when the tools were unpacked, else 0.
int wifi_archive_unpack(const uint8_t *data, uint64_t size);
// A ustar header's checksum (the 512 bytes with its own field as blanks).
bool tar_header_sum_ok(const uint8_t *header);
