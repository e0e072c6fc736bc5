// Files below a directory whose content comes from outside: a user's SD
// card or USB disk (formatted anywhere, possibly carrying symbolic links),
// an unpacked bundle. Every name is walked one component at a time from the
// directory's own descriptor (openat with O_NOFOLLOW, O_DIRECTORY for the
// folders on the way), so a link on the volume is never followed: nothing
// it points at is opened, read, written, created, renamed or deleted.
//
// base is a board directory ("/media/ext"); it is opened as named (a mount
// point is not on the volume). rel is a name below it. Failures return -1
// (NULL) with errno: EINVAL for a name that is not plain, ELOOP where a link
// stands in the way, or what the system said. Changes (writes, creations,
// renames, deletions) are first asked of the platform, which refuses them
// on a volume mounted read-only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>

enum { VOLUME_PATH_MAX = 512, VOLUME_NAME_MAX = 255 };

// 1 when rel is a plain relative name: not empty, not absolute, no empty,
// "." or ".." component, components shorter than 256 bytes and the whole
// shorter than VOLUME_PATH_MAX.
int volume_name_ok(const char *rel);

// The directory holding rel's last component, folders on the way created
// (0755) when create is set. Returns its descriptor and points *leaf at the
// last component inside rel.
int volume_open_parent(const char *base, const char *rel, int create, const char **leaf);
// open(2) of rel below base; rel "" opens base itself (a directory).
int volume_open(const char *base, const char *rel, int flags, int mode = 0644);
// fopen(3) of rel below base. Its reads and writes go through the
// platform's volume I/O (a failing volume fails them); *fd, when asked,
// receives the descriptor underneath (for fstat, fcntl). Closing a stream
// that was written syncs it; a failure of the flush, the sync or the close
// is fclose's result.
FILE *volume_fopen(const char *base, const char *rel, const char *mode, int *fd = nullptr);
// A new content for rel below base that takes the old one's place only
// whole: the stream writes a temporary beside rel (same folder, so the same
// volume) through the platform's volume I/O, and closing it flushes, syncs
// and closes that, then renames it over rel. When any of these failed, or
// a write did, the temporary is removed and rel is left as it was. fclose
// on it keeps what was written (when all went well); a caller that gave up
// closes it with volume_replace_close(f, 0). *fd as for volume_fopen.
FILE *volume_replace_open(const char *base, const char *rel, int *fd = nullptr);
// Closes a stream of volume_fopen or volume_replace_open; a replacement
// replaces rel only when keep is set and the stream saw no error. 0 when
// everything written is on the volume under its name, else -1.
int volume_replace_close(FILE *f, int keep);
// The directory rel below base ("" for base itself).
DIR *volume_opendir(const char *base, const char *rel);
// lstat of rel below base: a link is reported as a link, never followed.
int volume_lstat(const char *base, const char *rel, struct stat *st);
// 1 when rel is a regular file below base (not a link, not a folder).
int volume_is_file(const char *base, const char *rel);
// Opens rel below base for reading when it is a regular file: the
// descriptor, which the caller reads from (never the name again), or -1.
int volume_open_file(const char *base, const char *rel);
int volume_unlink(const char *base, const char *rel);
// Renames within base. A link is neither renamed nor replaced.
int volume_rename(const char *base, const char *from, const char *to);
// mkdir -p of rel below base (folders 0755).
int volume_mkdirs(const char *base, const char *rel);
// A listing entry that is a regular file (d_type, else fstatat without
// following): links, folders and devices are left out. st may be NULL.
int volume_entry_is_file(DIR *dir, const struct dirent *e, struct stat *st);

// Reads a file whole, at most max bytes: malloc'd (one byte more, zeroed,
// for text), its length in *size, *cut set when the file held more. NULL
// when it cannot be read (an empty file gives an empty buffer).
uint8_t *volume_read_all(const char *base, const char *rel, size_t max, size_t *size, int *cut);
// The same from a regular file already opened (read from where fd stands,
// left open): what a walk opened is read without its name again.
uint8_t *volume_read_fd(int fd, size_t max, size_t *size, int *cut);
// Writes data as the whole file rel below base, as a replacement (above):
// 0, or -1 when any part of it (write, flush, sync, close, rename) failed,
// and then rel is as it was.
int volume_write_all(const char *base, const char *rel, const void *data, size_t n);
// Flushes, syncs and closes a file written on a volume: 0, or -1 with
// errno when any step failed (the data may not all be on the volume). f
// is closed either way.
int volume_fclose_written(FILE *f);
int volume_close_written(int fd);
