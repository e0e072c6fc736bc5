// Every absolute system path ("/dev/mtd0", "/media/mmc", "/usr/html") goes
// through root_path(), which places it under the root named by M7391_ROOT.
// The rest of the program always keeps board paths and converts them only
// where a path meets a system call.
#pragma once
#include <cstddef>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>

// Reads M7391_ROOT once. Returns 0, or -1 (with a message on stderr) when it
// is unset or does not name a directory.
int root_init(void);
// The root directory ("" before root_init or when unset).
const char *root_dir(void);
// Writes the host path of an absolute board path into buf. A path that is
// already inside the root, or is relative, is copied unchanged. Returns buf.
const char *root_path(const char *path, char *buf, size_t size);
// The board path of a host path inside the root (the inverse); returns buf.
const char *root_unpath(const char *host_path, char *buf, size_t size);
// Replaces the root (tests that build several roots in one process).
void root_set(const char *dir);

// A host path held on the stack: HostPath hp("/dev/mtd0"); open(hp.c_str()...)
struct HostPath {
  char buf[1024];
  explicit HostPath(const char *path) { root_path(path, buf, sizeof buf); }
  const char *c_str() const { return buf; }
};

// A simulation of removable storage may refuse changes under a volume that
// is mounted read-only (EROFS) and answer statfs for simulated volumes.
// check returns 0 to allow, or an errno value; statfs returns 0 when it
// answered, -1 to fall through to the host's statfs.
typedef int (*RootWriteCheck)(const char *host_path);
typedef int (*RootStatfs)(const char *host_path, struct statfs *st);
void root_set_storage_hooks(RootWriteCheck check, RootStatfs statfs_fn);
// 0 when a change to the board path is allowed, else an errno value.
int sys_write_allowed(const char *path);

// Reads and writes on files of removable volumes go through these, so that
// a simulation can fail them as a full volume, a bad sector or a pulled disk
// would. The fault hook returns the errno value a read (writing 0) or a
// write on fd meets, or 0; it may shrink *n (a write that stops at a file
// size limit). n is NULL where the size is not known.
typedef int (*RootIoFault)(int fd, int writing, size_t *n);
// Returns the hook it replaces.
RootIoFault root_set_io_fault(RootIoFault fault);
// 0, or -1 with errno set when the volume fails I/O on fd (for transfers
// that do not go through read/write, such as splice).
int sys_fd_check(int fd, int writing);
ssize_t sys_fd_read(int fd, void *buf, size_t n);
ssize_t sys_fd_write(int fd, const void *buf, size_t n);
int sys_fd_sync(int fd);

// The usual file calls on board paths.
int sys_open(const char *path, int flags, int mode = 0644);
FILE *sys_fopen(const char *path, const char *mode);
int sys_access(const char *path, int mode);
int sys_stat(const char *path, struct stat *st);
int sys_lstat(const char *path, struct stat *st);
int sys_statfs(const char *path, struct statfs *st);
int sys_unlink(const char *path);
int sys_rmdir(const char *path);
int sys_mkdir(const char *path, int mode);
int sys_rename(const char *from, const char *to);
DIR *sys_opendir(const char *path);
int sys_scandir(const char *path, struct dirent ***list,
                int (*filter)(const struct dirent *),
                int (*compar)(const struct dirent **, const struct dirent **));
ssize_t sys_readlink(const char *path, char *buf, size_t size);
// mkdir -p of a board path; 0 or -1.
int sys_mkdirs(const char *path, int mode);
// Reads a whole small text file (first line when first_line) into buf; the
// buffer is emptied when the file is missing. Returns the length or -1.
int sys_read_text(const char *path, char *buf, size_t size, bool first_line);
// Writes text to a file (created or truncated); 0 or -1.
int sys_write_text(const char *path, const char *text);
