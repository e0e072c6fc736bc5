// Simulated removable storage: device files under <root>/dev, backing
// directories under <root>/run/sim/storage/vol, and the programs that act on
// them (mount, umount, mkfs.vfat, df) answered through the command runner.
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <atomic>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

constexpr long kMsdosMagic = 0x4d44;
constexpr uint32_t kBlockSize = 32768;
const char *const kStateDir = "/run/sim/storage";

struct Mount {
  std::string dev;   // "/dev/sda1"
  std::string mnt;   // "/media/ext"
  bool rw;
  bool usefree;
};

std::recursive_mutex g_lock;
std::vector<Mount> g_mounts;

// A volume that fails: once `after` more reads and writes on its files
// have passed, writes fail with ENOSPC, or reads and writes with EIO, or
// the disk is pulled (the device goes; its open files fail with EIO until
// it is mounted afresh). A size limit makes writes stop there with EFBIG.
struct Fault {
  std::string name;
  int err;          // ENOSPC, EIO, or 0
  bool pull;        // pull when after runs out
  bool pulled;
  long after;
  uint64_t limit;   // bytes a file may hold; 0 none
};
std::vector<Fault> g_faults;
std::atomic<int> g_fault_count{0};

Fault *fault_of(const std::string &name, bool create) {
  for (Fault &f : g_faults)
    if (f.name == name) return &f;
  if (!create) return nullptr;
  g_faults.push_back({name, 0, false, false, 0, 0});
  g_fault_count = (int)g_faults.size();
  return &g_faults.back();
}

bool pulled(const std::string &name) {
  Fault *f = fault_of(name, false);
  return f && f->pulled;
}


std::string dev_name(const char *dev) {
  const char *b = strrchr(dev, '/');
  return b ? b + 1 : dev;
}

std::string state_path(const std::string &name, const char *suffix) {
  return std::string(kStateDir) + "/" + name + suffix;
}

std::string read_file(const std::string &board_path) {
  char buf[512];
  if (sys_read_text(board_path.c_str(), buf, sizeof buf, false) < 0) return "";
  return buf;
}

long conf_value(const std::string &name, const char *key, long dflt) {
  std::string conf = read_file(state_path(name, ".conf"));
  std::string k = std::string(key) + "=";
  size_t at = conf.find(k);
  if (at == std::string::npos) return dflt;
  return strtol(conf.c_str() + at + k.size(), nullptr, 0);
}

std::string conf_text(const std::string &name, const char *key, const char *dflt) {
  std::string conf = read_file(state_path(name, ".conf"));
  std::string k = std::string(key) + "=";
  size_t at = conf.find(k);
  if (at == std::string::npos) return dflt;
  size_t end = conf.find('\n', at);
  return conf.substr(at + k.size(), end == std::string::npos ? std::string::npos : end - at - k.size());
}

void conf_write(const std::string &name, uint64_t capacity, const std::string &fstype, int bogus) {
  char text[256];
  snprintf(text, sizeof text, "capacity=%" PRIu64 "\nfstype=%s\nbogus_free=%d\n", capacity,
           fstype.c_str(), bogus);
  sys_write_text(state_path(name, ".conf").c_str(), text);
}

std::string backing(const std::string &name) { return std::string(kStateDir) + "/vol/" + name; }

void save_mounts() {
  std::string text;
  for (const Mount &m : g_mounts)
    text += m.dev + " " + m.mnt + " vfat " + (m.rw ? "rw" : "ro") + (m.usefree ? ",usefree" : "") + "\n";
  sys_write_text(state_path("mounts", "").c_str(), text.c_str());
}

Mount *find_mount(const std::string &what) {
  for (Mount &m : g_mounts)
    if (m.mnt == what || m.dev == what) return &m;
  return nullptr;
}

uint64_t tree_bytes(const std::string &host_dir) {
  uint64_t total = 0;
  DIR *d = opendir(host_dir.c_str());
  if (!d) return 0;
  while (dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string p = host_dir + "/" + e->d_name;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    // FAT allocates whole clusters.
    total += S_ISDIR(st.st_mode) ? kBlockSize + tree_bytes(p)
                                 : ((uint64_t)st.st_size + kBlockSize - 1) / kBlockSize * kBlockSize;
  }
  closedir(d);
  return total;
}

std::string join_opts(const char *const argv[], int *i) {
  std::string o;
  if (argv[*i + 1]) o = argv[++*i];
  return o;
}

int say(char *out, size_t size, int status, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
int say(char *out, size_t size, int status, const char *fmt, ...) {
  if (out && size) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out, size, fmt, ap);
    va_end(ap);
  }
  return status;
}

// mount [-o opts] [-t type] dev dir; "mount" alone lists the mounts.
int sim_mount(const char *const argv[], char *out, size_t size, void *) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  std::string opts;
  std::vector<std::string> pos;
  for (int i = 1; argv[i]; i++) {
    if (!strcmp(argv[i], "-o")) opts = join_opts(argv, &i);
    else if (!strcmp(argv[i], "-t")) join_opts(argv, &i);
    else pos.push_back(argv[i]);
  }
  if (pos.empty()) {
    std::string list;
    for (const Mount &m : g_mounts)
      list += m.dev + " on " + m.mnt + " type vfat (" + (m.rw ? "rw" : "ro") + ")\n";
    return say(out, size, 0, "%s", list.c_str());
  }
  bool remount = opts.find("remount") != std::string::npos;
  bool rw = false;
  for (size_t s = 0; s <= opts.size();) {
    size_t e = opts.find(',', s);
    std::string o = opts.substr(s, e == std::string::npos ? std::string::npos : e - s);
    if (o == "rw") rw = true;
    if (e == std::string::npos) break;
    s = e + 1;
  }
  bool usefree = opts.find("usefree") != std::string::npos;
  if (pos.size() < 2 && !remount) return say(out, size, 1, "mount: bad usage\n");
  std::string dev = pos[0], mnt = pos.size() > 1 ? pos[1] : pos[0];
  std::string name = dev_name(dev.c_str());

  // Injected failures come first, as from the kernel.
  std::string fail = read_file(state_path(name, ".fail"));
  if (!fail.empty()) {
    int count = atoi(fail.c_str());
    std::string text = fail.substr(fail.find('\n') + 1);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (count > 0) {
      char rest[256];
      snprintf(rest, sizeof rest, "%d\n%s", count - 1, text.c_str());
      sys_write_text(state_path(name, ".fail").c_str(), rest);
      return say(out, size, 255, "mount: mounting %s on %s failed: %s\n", dev.c_str(), mnt.c_str(),
                 text.c_str());
    }
  }
  struct stat st;
  if (sys_stat(dev.c_str(), &st) != 0)
    return say(out, size, 255, "mount: mounting %s on %s failed: No such device or address\n",
               dev.c_str(), mnt.c_str());
  // A disk pulled is a new disk when it is mounted again.
  if (!remount)
    if (Fault *f = fault_of(name, false)) f->pulled = false;
  if (remount) {
    Mount *m = find_mount(mnt);
    if (!m) return say(out, size, 255, "mount: mounting %s on %s failed: Invalid argument\n",
                       dev.c_str(), mnt.c_str());
    m->rw = rw;
    save_mounts();
    return 0;
  }
  if (find_mount(mnt) || find_mount(dev))
    return say(out, size, 255, "mount: mounting %s on %s failed: Device or resource busy\n",
               dev.c_str(), mnt.c_str());
  std::string fstype = conf_text(name, "fstype", "vfat");
  if (fstype != "vfat" || (usefree && conf_value(name, "no_usefree", 0)))
    return say(out, size, 255, "mount: mounting %s on %s failed: Invalid argument\n", dev.c_str(),
               mnt.c_str());
  // The mount point shows the volume: an empty directory becomes a link.
  HostPath hmnt(mnt.c_str());
  if (lstat(hmnt.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return say(out, size, 255, "mount: mounting %s on %s failed: No such file or directory\n",
               dev.c_str(), mnt.c_str());
  sys_mkdirs(backing(name).c_str(), 0755);
  if (rmdir(hmnt.c_str()) != 0)
    return say(out, size, 255, "mount: mounting %s on %s failed: Device or resource busy\n",
               dev.c_str(), mnt.c_str());
  if (symlink(HostPath(backing(name).c_str()).c_str(), hmnt.c_str()) != 0) {
    mkdir(hmnt.c_str(), 0755);
    return say(out, size, 255, "mount: mounting %s on %s failed: %s\n", dev.c_str(), mnt.c_str(),
               strerror(errno));
  }
  g_mounts.push_back({dev, mnt, rw, usefree});
  save_mounts();
  return 0;
}

int do_umount(const std::string &what, char *out, size_t size) {
  Mount *m = find_mount(what);
  if (!m) return say(out, size, 1, "umount: can't unmount %s: Invalid argument\n", what.c_str());
  HostPath hmnt(m->mnt.c_str());
  unlink(hmnt.c_str());
  mkdir(hmnt.c_str(), 0755);
  g_mounts.erase(g_mounts.begin() + (m - g_mounts.data()));
  save_mounts();
  return 0;
}

int sim_umount(const char *const argv[], char *out, size_t size, void *) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  const char *what = nullptr;
  for (int i = 1; argv[i]; i++)
    if (argv[i][0] != '-') what = argv[i];
  if (!what) return say(out, size, 1, "umount: bad usage\n");
  return do_umount(what, out, size);
}

int sim_mkfs(const char *const argv[], char *out, size_t size, void *) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  const char *dev = nullptr;
  for (int i = 1; argv[i]; i++)
    if (argv[i][0] != '-') dev = argv[i];
  if (!dev) return say(out, size, 1, "mkfs.vfat: no device\n");
  struct stat st;
  if (sys_stat(dev, &st) != 0) return say(out, size, 1, "mkfs.vfat: %s: No such file or directory\n", dev);
  if (find_mount(dev)) return say(out, size, 1, "mkfs.vfat: %s contains a mounted filesystem.\n", dev);
  std::string name = dev_name(dev);
  const char *rm[] = {"rm", "-rf", nullptr, nullptr};
  std::string b = backing(name);
  rm[2] = b.c_str();
  run_argv(rm);
  sys_mkdirs(b.c_str(), 0755);
  conf_write(name, (uint64_t)conf_value(name, "capacity", 1L << 30), "vfat",
             (int)conf_value(name, "bogus_free", 0));
  return 0;
}

void human(uint64_t bytes, char *buf, size_t size) {
  const char *units = "KMGT";
  double v = (double)bytes / 1024.0;
  int u = 0;
  while (v >= 1024.0 && u < 3) { v /= 1024.0; u++; }
  snprintf(buf, size, v < 10 ? "%.1f%c" : "%.0f%c", v, units[u]);
}

int volume_statfs(const Mount &m, struct statfs *st) {
  std::string name = dev_name(m.dev.c_str());
  uint64_t cap = (uint64_t)conf_value(name, "capacity", 1L << 30);
  uint64_t used = tree_bytes(HostPath(backing(name).c_str()).c_str());
  memset(st, 0, sizeof *st);
  st->f_type = kMsdosMagic;
  st->f_bsize = kBlockSize;
  st->f_blocks = cap / kBlockSize;
  uint64_t used_blocks = used / kBlockSize;
  st->f_bfree = st->f_blocks > used_blocks ? st->f_blocks - used_blocks : 0;
  st->f_bavail = st->f_bfree;
  if (m.usefree && conf_value(name, "bogus_free", 0)) st->f_bavail = st->f_blocks + 1000;
  st->f_namelen = 255;
  return 0;
}

int sim_df(const char *const argv[], char *out, size_t size, void *) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  std::string text = "Filesystem                Size      Used Available Use% Mounted on\n";
  for (int i = 1; argv[i]; i++) {
    if (argv[i][0] == '-') continue;
    Mount *m = find_mount(argv[i]);
    if (!m) return say(out, size, 1, "df: %s: can't find mount point\n", argv[i]);
    struct statfs st;
    volume_statfs(*m, &st);
    uint64_t total = (uint64_t)st.f_blocks * st.f_bsize, avail = (uint64_t)st.f_bfree * st.f_bsize;
    char a[16], b[16], c[16], line[256];
    human(total, a, sizeof a);
    human(total - avail, b, sizeof b);
    human(avail, c, sizeof c);
    snprintf(line, sizeof line, "%-20s %9s %9s %9s %3d%% %s\n", m->dev.c_str(), a, b, c,
             total ? (int)((total - avail) * 100 / total) : 0, m->mnt.c_str());
    text += line;
  }
  return say(out, size, 0, "%s", text.c_str());
}

// The mount under which a host path lies, if any.
const Mount *mount_of(const char *host_path) {
  for (const Mount &m : g_mounts) {
    HostPath hm(m.mnt.c_str());
    size_t n = strlen(hm.c_str());
    if (strncmp(host_path, hm.c_str(), n) == 0 && (host_path[n] == '/' || host_path[n] == 0))
      return &m;
  }
  return nullptr;
}

int write_check(const char *host_path) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  const Mount *m = mount_of(host_path);
  // The mount point itself is not on the volume.
  if (!m) return 0;
  HostPath hm(m->mnt.c_str());
  if (strcmp(host_path, hm.c_str()) == 0) return 0;
  if (pulled(dev_name(m->dev.c_str()))) return EIO;
  return m->rw ? 0 : EROFS;
}

// The hub port a device hangs on, from its /sys/block link (0 for the SD
// card, which has none).
int port_of(const std::string &name) {
  char target[300];
  ssize_t k = sys_readlink(("/sys/block/" + name.substr(0, 3)).c_str(), target, sizeof target - 1);
  if (k <= 0) return 0;
  target[k] = 0;
  const char *p = strstr(target, "usb1/1-1/1-1.");
  return p ? atoi(p + 13) : 0;
}

// Pulls the disk of a fault. A disk pulled by a fault is plugged in again
// at the next start (<dev>.pulled keeps its port until then).
void pull_now(Fault &f) {
  f.pull = false;
  f.pulled = true;
  char port[16];
  snprintf(port, sizeof port, "%d\n", port_of(f.name));
  sys_write_text(state_path(f.name, ".pulled").c_str(), port);
  sim_storage_remove(f.name.c_str());
}

// The fault a read or write on fd meets: its file is found by the
// descriptor's path, inside a volume's backing directory.
int io_fault(int fd, int writing, size_t *n) {
  if (!g_fault_count.load(std::memory_order_acquire)) return 0;
  char link[64], target[1024];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t k = readlink(link, target, sizeof target - 1);
  if (k <= 0) return 0;
  target[k] = 0;
  std::lock_guard<std::recursive_mutex> l(g_lock);
  for (Fault &f : g_faults) {
    std::string b = HostPath(backing(f.name).c_str()).c_str();
    if (strncmp(target, b.c_str(), b.size()) != 0 || target[b.size()] != '/') continue;
    if (f.pulled) return EIO;
    if ((f.err || f.pull) && f.after > 0) {
      f.after--;
    } else if (f.pull) {
      fprintf(stderr, "sim_storage: %s pulled\n", f.name.c_str());
      pull_now(f);
      return EIO;
    } else if (f.err == ENOSPC && writing && n) {
      // A full volume still takes writes over what a file already holds:
      // only new space is refused.
      off_t at = lseek(fd, 0, SEEK_CUR);
      struct stat st;
      bool append = (fcntl(fd, F_GETFL) & O_APPEND) != 0;
      if (append || at < 0 || fstat(fd, &st) != 0 || at >= st.st_size) return ENOSPC;
      if ((uint64_t)at + *n > (uint64_t)st.st_size) *n = (size_t)(st.st_size - at);
    } else if (f.err && (writing || f.err == EIO)) {
      return f.err;
    }
    if (writing && f.limit && n) {
      off_t at = lseek(fd, 0, SEEK_CUR);
      if (at >= 0 && (uint64_t)at >= f.limit) return EFBIG;
      if (at >= 0 && (uint64_t)at + *n > f.limit) *n = (size_t)(f.limit - (uint64_t)at);
    }
    return 0;
  }
  return 0;
}

int storage_command(const char *line) {
  char buf[256];
  char *w[4];
  int n = sim_command_words(line, buf, sizeof buf, w, 4);
  if (n <= 0) return n;
  if (!strcmp(w[0], "fail") && (n == 3 || n == 4))
    return sim_storage_fault(w[1], w[2], n == 4 ? atol(w[3]) : 0);
  if (!strcmp(w[0], "pull") && (n == 2 || n == 3)) return sim_storage_fault(w[1], "pull", n == 3 ? atol(w[2]) : 0);
  if (!strcmp(w[0], "limit") && n == 3) return sim_storage_limit(w[1], strtoull(w[2], nullptr, 0));
  return -1;
}

int statfs_hook(const char *host_path, struct statfs *st) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  const Mount *m = mount_of(host_path);
  return m ? volume_statfs(*m, st) : -1;
}

}  // namespace

void sim_storage_register(void) {
  runner_register_sim("mount", sim_mount, nullptr);
  runner_register_sim("umount", sim_umount, nullptr);
  runner_register_sim("mkfs.vfat", sim_mkfs, nullptr);
  runner_register_sim("df", sim_df, nullptr);
  root_set_storage_hooks(write_check, statfs_hook);
  root_set_io_fault(io_fault);
  {
    std::lock_guard<std::recursive_mutex> l(g_lock);
    g_faults.clear();
    g_fault_count = 0;
  }
  // A fresh start begins with healthy volumes: the faults of an earlier run
  // are over, the disks it pulled are back, and the commands it was given
  // are not given again.
  sys_mkdirs(kStateDir, 0755);
  if (DIR *d = opendir(HostPath(kStateDir).c_str())) {
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
    for (const std::string &n : names) {
      size_t dot = n.rfind('.');
      if (dot == std::string::npos || dot == 0) continue;
      std::string dev = n.substr(0, dot), kind = n.substr(dot);
      if (kind == ".fault") {
        sys_unlink(state_path(dev, ".fault").c_str());
      } else if (kind == ".pulled") {
        int port = atoi(read_file(state_path(dev, ".pulled")).c_str());
        sim_storage_insert(dev.c_str(), port, 0, nullptr);
      }
    }
  }
  sim_follow_commands("/run/sim_storage.cmd", storage_command, "sim_storage", false);
  std::lock_guard<std::recursive_mutex> l(g_lock);
  // Mounts do not outlive the process that made them (as after a reboot):
  // mount points left as links by an earlier run become directories again.
  g_mounts.clear();
  const char *const points[] = {"/media/mmc", "/media/int", "/media/ext"};
  for (const char *p : points) {
    HostPath hp(p);
    struct stat st;
    if (lstat(hp.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      unlink(hp.c_str());
      mkdir(hp.c_str(), 0755);
    }
  }
  sys_mkdirs(kStateDir, 0755);
  save_mounts();
}

int sim_storage_insert(const char *dev, int usb_port, uint64_t capacity, const char *fstype) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  std::string name = dev_name(dev);
  sys_mkdirs(kStateDir, 0755);
  sys_mkdirs(backing(name).c_str(), 0755);
  if (sys_access(state_path(name, ".conf").c_str(), 0) != 0 || capacity)
    conf_write(name, capacity ? capacity : (1ULL << 30), fstype ? fstype : "vfat", 0);
  std::string devpath = "/dev/" + name;
  if (sys_write_text(devpath.c_str(), "simulated block device\n") != 0) return -1;
  sys_unlink(state_path(name, ".pulled").c_str());
  if (name.compare(0, 2, "sd") == 0) {
    std::string disk = name.substr(0, 3);
    char target[256];
    snprintf(target, sizeof target,
             "../devices/platform/musb-hdrc/usb1/1-1/1-1.%d/1-1.%d:1.0/host0/target0:0:0/0:0:0:0/block/%s",
             usb_port, usb_port, disk.c_str());
    sys_mkdirs("/sys/block", 0755);
    HostPath link(("/sys/block/" + disk).c_str());
    unlink(link.c_str());
    if (symlink(target, link.c_str()) != 0) return -1;
  }
  return 0;
}

int sim_storage_remove(const char *dev) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  std::string name = dev_name(dev);
  int rc = sys_unlink(("/dev/" + name).c_str());
  if (name.compare(0, 2, "sd") == 0) {
    std::string disk = name.substr(0, 3);
    // The disk node goes only when no partition of it is left.
    bool other = false;
    for (const char *suffix : {"", "1", "2"})
      if (sys_access(("/dev/" + disk + suffix).c_str(), 0) == 0) other = true;
    if (!other) unlink(HostPath(("/sys/block/" + disk).c_str()).c_str());
  }
  return rc;
}

int sim_storage_fail_mount(const char *dev, const char *text, int count) {
  char buf[256];
  snprintf(buf, sizeof buf, "%d\n%s\n", count, text);
  sys_mkdirs(kStateDir, 0755);
  return sys_write_text(state_path(dev_name(dev), ".fail").c_str(), buf);
}

int sim_storage_set_bogus_free(const char *dev, int bogus) {
  std::string name = dev_name(dev);
  conf_write(name, (uint64_t)conf_value(name, "capacity", 1L << 30), conf_text(name, "fstype", "vfat"), bogus);
  return 0;
}

int sim_storage_mount_state(const char *mount_point) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  Mount *m = find_mount(mount_point);
  return m ? (m->rw ? 1 : 0) : -1;
}

const char *sim_storage_backing_dir(const char *dev, char *buf, size_t size) {
  return root_path(backing(dev_name(dev)).c_str(), buf, size);
}

int sim_storage_fault(const char *dev, const char *kind, long after) {
  int err = !strcmp(kind, "ENOSPC") ? ENOSPC : !strcmp(kind, "EIO") ? EIO : 0;
  bool pull = !strcmp(kind, "pull");
  if (!err && !pull && strcmp(kind, "none") != 0) return -1;
  std::lock_guard<std::recursive_mutex> l(g_lock);
  Fault *f = fault_of(dev_name(dev), true);
  f->err = err;
  f->pull = pull;
  f->after = after > 0 ? after : 0;
  if (pull && !f->after) pull_now(*f);
  // Scripts see that the command took: <root>/run/sim/storage/<dev>.fault.
  char text[64];
  snprintf(text, sizeof text, "%s %ld\n", kind, f->after);
  sys_write_text(state_path(f->name, ".fault").c_str(), text);
  return 0;
}

int sim_storage_limit(const char *dev, uint64_t bytes) {
  std::lock_guard<std::recursive_mutex> l(g_lock);
  fault_of(dev_name(dev), true)->limit = bytes;
  return 0;
}
