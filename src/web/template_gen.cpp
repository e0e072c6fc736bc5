// The generators of the URL table: option lists, the navigation bar, the
// user table, the RTSP link table and the recording file lists.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/global.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_table.h"
#include "media/capture.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "web/templates.h"

namespace {

struct Option {
  const char *value;
  const char *label;
};

const char *prefix_of(const PageBuffer *page) {
  return page->request && page->request->form_prefix ? page->request->form_prefix : "";
}

uint32_t perm_of(const PageBuffer *page) {
  return page->request ? page->request->permission : PERM_NONE;
}

// The current value of prefix + name, as the option lists compare it.
void current_value(const PageBuffer *page, const char *name, char *cur, size_t size) {
  char full[100];
  snprintf(full, sizeof full, "%s%s", prefix_of(page), name);
  if (param_may_read(full, perm_of(page)) != 1 || param_get(full, cur, size) < 0) {
    log_printf("Failed to get param %s%s\n", prefix_of(page), name);
    cur[0] = 0;
  }
}

void option_list(PageBuffer *page, const char *name, const Option *opts, size_t n, bool keep_unlisted = true) {
  char cur[10];
  current_value(page, name, cur, sizeof cur);
  bool found = false;
  for (size_t i = 0; i < n; i++) {
    bool sel = strcasecmp(opts[i].value, cur) == 0;
    found = found || sel;
    page_printf(page, "<option value=\"%s\"%s>", opts[i].value, sel ? " selected" : "");
    html_escape_append(page, opts[i].label);
    page_append(page, "</option>\n  ");
  }
  // A value the list lacks is still shown, so that saving the form keeps it
  // (when the parameter would take it back).
  if (!found && cur[0] && keep_unlisted) {
    page_append(page, "<option value=\"");
    html_escape_append(page, cur);
    page_append(page, "\" selected>");
    html_escape_append(page, cur);
    page_append(page, "</option>\n  ");
  }
}

void resolution_options(PageBuffer *page, int stream) {
  const char *const *list = get_resolution_list(stream);
  Option opts[40];
  size_t n = 0;
  for (size_t i = 0; list && list[i] && n < sizeof opts / sizeof opts[0]; i++) {
    bool seen = false;
    for (size_t j = 0; j < n && !seen; j++) seen = strcmp(opts[j].value, list[i]) == 0;
    if (!seen) opts[n++] = {list[i], list[i]};
  }
  // A size stored elsewhere that the stream's own setting refuses is not
  // offered: the page would be refused as it is shown.
  char cur[16];
  current_value(page, "Resolution", cur, sizeof cur);
  option_list(page, "Resolution", opts, n, resolution_text_ok(stream, cur, strlen(cur)));
}

void permission_options(PageBuffer *page, uint32_t current, bool guest) {
  // Every level a user may hold, so that saving the form keeps each one;
  // None and Demo for the guest, or for a user who holds one already.
  for (uint32_t level = PERM_NONE; level <= PERM_DEMO; level++) {
    bool edge = level == PERM_NONE || level == PERM_DEMO;
    if (edge && !guest && current != level) continue;
    page_printf(page, "<option value='%d'%s>%s</option>\n", int(level),
                current == level ? " selected" : "", permission_name(level));
  }
}

// A link to an RTSP session: base is the escaped "rtsp://host:port/".
void rtsp_link(PageBuffer *page, const char *base, const char *name) {
  page_printf(page, "<a href=\"%s", base);
  html_escape_append(page, name);
  page_printf(page, "\">%s", base);
  html_escape_append(page, name);
  page_append(page, "</a>");
}

// --- file lists ---

constexpr int kFilesPerPage = 50;
constexpr int kMaxListed = 5000;
constexpr int kMaxDirDepth = 4;

struct FileEntry {
  char *name;       // relative to the recording directory
  long long size;
};

struct FileList {
  FileEntry *items;
  int count;
  int capacity;
};

bool is_recording(const char *name) {
  return str_ends_with(name, ".mp4") || str_ends_with(name, ".ts");
}

void list_add(FileList *l, const char *name, long long size) {
  if (l->count >= kMaxListed) return;
  if (l->count == l->capacity) {
    int cap = l->capacity ? l->capacity * 2 : 64;
    FileEntry *p = static_cast<FileEntry *>(realloc(l->items, sizeof *p * size_t(cap)));
    if (!p) return;
    l->items = p;
    l->capacity = cap;
  }
  char *copy = strdup(name);
  if (!copy) return;
  l->items[l->count++] = {copy, size};
}

// Lists the directory open at dfd (and closes it). Links are neither listed
// nor followed: a volume may hold links to anywhere.
void list_dir(FileList *l, int dfd, const char *rel, int depth) {
  struct dirent **names = nullptr;
  int n = scandirat(dfd, ".", &names, scandir_skip_dots, versionsort);
  // Read backwards: the newest names come first.
  for (int i = n - 1; i >= 0; i--) {
    const char *name = names[i]->d_name;
    char sub[512];
    snprintf(sub, sizeof sub, "%s%s%s", rel, rel[0] ? "/" : "", name);
    struct stat st;
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(st.st_mode) && depth < kMaxDirDepth) {
        int sub_fd = openat(dfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub_fd >= 0) list_dir(l, sub_fd, sub, depth + 1);
      } else if (S_ISREG(st.st_mode) && is_recording(name) && filesys_name_ok(sub)) {
        // Only what /download and the delete form take back is listed.
        list_add(l, sub, (long long)st.st_size);
      }
    }
    free(names[i]);
  }
  free(names);
  close(dfd);
}

int compare_newest_first(const void *a, const void *b) {
  return strverscmp(static_cast<const FileEntry *>(b)->name, static_cast<const FileEntry *>(a)->name);
}

void print_size(PageBuffer *page, long long size) {
  double s = double(size);
  if (size < 1000) page_printf(page, "%d B", int(size));
  else if (size < 1000000LL) page_printf(page, "%.3g KB", s / 1e3);
  else if (size < 1000000000LL) page_printf(page, "%.3g MB", s / 1e6);
  else if (size < 1000000000000LL) page_printf(page, "%.3g GB", s / 1e9);
  else page_printf(page, "%lld GB", size / 1000000000LL);
}

void pager(PageBuffer *page, int current, int pages) {
  if (pages <= 1) return;
  int first = (current - 1) / 10 * 10 + 1;
  int last = first + 9 < pages ? first + 9 : pages;
  page_append(page, "<p class=\"pager\">");
  if (first > 1) page_printf(page, "<a href=\"download.htm?p=%d\">&lt;&lt;</a> ", first - 1);
  for (int i = first; i <= last; i++) {
    if (i == current) page_printf(page, "<b>%d</b> ", i);
    else page_printf(page, "<a href=\"download.htm?p=%d\">%d</a> ", i, i);
  }
  if (last < pages) page_printf(page, "<a href=\"download.htm?p=%d\">&gt;&gt;</a>", last + 1);
  page_append(page, "</p>\n");
}

}  // namespace

void gen_capture_input_options(PageBuffer *page) {
  static const Option ahd[] = {
      {"0", "AHD IN1"}, {"1", "AHD IN2"}, {"2", "S-Video"}, {"3", "Component"}, {"4", "VGA"}};
  static const Option other[] = {{"0", "DVI-D"},     {"1", "Composite"}, {"2", "S-Video"},
                                 {"3", "Component"}, {"4", "VGA"},       {"5", "HDMI"}};
  if (board_identity.ahd)
    option_list(page, "Capture.Input", ahd, sizeof ahd / sizeof ahd[0]);
  else
    option_list(page, "Capture.Input", other, sizeof other / sizeof other[0]);
}

void gen_display_output_options(PageBuffer *page) {
  static const Option opts[] = {{"0", "Composite"}, {"1", "HDMI"}, {"2", "DVI"}};
  option_list(page, "Output", opts, sizeof opts / sizeof opts[0]);
}

void gen_resolutionA_options(PageBuffer *page) { resolution_options(page, 0); }
void gen_resolutionB_options(PageBuffer *page) { resolution_options(page, 1); }

void gen_frame_rate_options(PageBuffer *page) {
  int milli = capture_frame_rate();
  char res[40] = "";
  param_get("Capture.Resolution", res, sizeof res);
  const char *x = strchr(res, 'x');
  if (x && strchr(x, 'i')) milli /= 2;
  char texts[11][12];
  Option opts[11];
  size_t n = 0;
  for (int d = 1; d <= 8 && milli > 0; d++) {
    int k = snprintf(texts[n], sizeof texts[n], "%.1f", milli / 1000.0 / d);
    if (k > 2 && strcmp(texts[n] + k - 2, ".0") == 0) texts[n][k - 2] = 0;
    bool seen = false;
    for (size_t j = 0; j < n && !seen; j++) seen = strcmp(texts[j], texts[n]) == 0;
    if (!seen) {
      opts[n] = {texts[n], texts[n]};
      n++;
    }
  }
  static const char *const low[] = {"5", "2", "1"};
  for (const char *l : low) {
    bool seen = false;
    for (size_t j = 0; j < n && !seen; j++) seen = strcmp(texts[j], l) == 0;
    if (!seen && atoi(l) * 1000 < milli) {
      snprintf(texts[n], sizeof texts[n], "%s", l);
      opts[n] = {texts[n], texts[n]};
      n++;
    }
  }
  option_list(page, "FrameRate", opts, n);
}

void gen_audio_input_options(PageBuffer *page) {
  static const Option opts[] = {{"0", "Microphone"}, {"1", "Line in"}};
  option_list(page, "Audio.Input", opts, sizeof opts / sizeof opts[0]);
}

void gen_stream_mode_options(PageBuffer *page) {
  // The modes a channel's encoder offers, in words; any other mode the
  // channel holds is named too, so the page never shows a bare number.
  static const char *const kWords[] = {
      "H.264 video + AAC audio",         "H.264 video only",
      "H.264 elementary stream",         "Motion JPEG",
      "G.711 audio",                     "Raw UYVY pictures",
      "Raw NV12 pictures",               "Raw grey pictures",
      "MPEG-4 video + AAC audio",        "MPEG-4 video only",
      "MPEG-4 elementary stream",        "MPEG-4 video + AAC audio in MP4",
      "MPEG-4 video in MP4",             "H.264 video + AAC audio in MP4",
      "H.264 video in MP4",              "H.264 video in FLV",
  };
  static const int kOffered[] = {0, 1, 2, 3};
  char cur[10];
  current_value(page, "StreamMode", cur, sizeof cur);
  int value = cur[0] ? atoi(cur) : -1;
  bool found = false;
  for (int m : kOffered) {
    found = found || m == value;
    page_printf(page, "<option value='%d'%s>%s</option>\n", m, m == value ? " selected" : "",
                kWords[m]);
  }
  if (found || value < 0) return;
  if (value < int(sizeof kWords / sizeof kWords[0]))
    page_printf(page, "<option value='%d' selected>%s</option>\n", value, kWords[value]);
  else
    page_printf(page, "<option value='%d' selected>Unknown mode (%d)</option>\n", value, value);
}

void gen_permission_options(PageBuffer *page) { permission_options(page, perm_of(page), false); }

void gen_users_table(PageBuffer *page) {
  if (perm_of(page) < PERM_ADMIN) return;
  ParamBlock *b = get_param_block();
  page_append(page, "<table id=\"users\">\n<tr><th>User name</th><th>Password</th>"
                    "<th>Permission</th><th>Delete</th></tr>\n");
  for (int i = 0; i < PARAM_USER_COUNT; i++) {
    const UserRecord *u = &b->users[i];
    char name[sizeof u->name + 1];
    memcpy(name, u->name, sizeof u->name);
    name[sizeof u->name] = 0;
    if (!name[0]) continue;
    page_printf(page, "<tr><td><input type=\"text\" name=\"User[%d].Name\" maxlength=\"19\" value=\"", i);
    html_escape_append(page, name);
    page_printf(page,
                "\"></td>\n<td><input type=\"password\" name=\"User[%d].Password\" maxlength=\"19\" "
                "value=\"password\"></td>\n<td><select name=\"User[%d].Permission\">\n",
                i, i);
    permission_options(page, u->permission, false);
    // No hidden "0" here: any value of the Delete key deletes the user.
    page_printf(page,
                "</select></td>\n<td><input type=\"checkbox\" name=\"User[%d].Delete\" "
                "value=\"1\"></td></tr>\n",
                i);
  }
  page_append(page, "<tr><td><input type=\"text\" value=\"guest\" readonly></td><td></td>"
                    "<td><select name=\"GuestPermission\">\n");
  permission_options(page, b->guest_permission, true);
  page_append(page, "</select></td><td></td></tr>\n</table>\n");
}

void gen_nav_bar(PageBuffer *page) {
  // A section heading has no link; recording and download need a volume.
  static const struct {
    const char *href;
    const char *label;
    uint32_t level;
    bool storage;
  } entries[] = {
      {nullptr, "Live View", PERM_STREAM_VIEW, false},
      {"view_streama.htm", "Stream A", PERM_STREAM_VIEW, false},
      {"view_streamb.htm", "Stream B", PERM_STREAM_VIEW, false},
      {"rtsp_streams.htm", "RTSP Streams", PERM_STREAM_VIEW, false},
      {nullptr, "Control", PERM_STREAM_CONTROL, false},
      {"control_streama.htm", "Stream A", PERM_STREAM_CONTROL, false},
      {"control_streamb.htm", "Stream B", PERM_STREAM_CONTROL, false},
      {"control_output.htm", "Output", PERM_STREAM_CONTROL, false},
      {"control_recording.htm", "Recording", PERM_STREAM_CONTROL, true},
      {"download.htm", "Download", PERM_STREAM_CONTROL, true},
      {"control_serial.htm", "Serial Port", PERM_STREAM_CONTROL, false},
      {"control_gpio.htm", "GPIO", PERM_STREAM_CONTROL, false},
      {"control_keypad.htm", "Keypad", PERM_STREAM_CONTROL, false},
      {nullptr, "Configure", PERM_STREAM_CONFIG, false},
      {"setup_streama.htm", "Stream A", PERM_STREAM_CONFIG, false},
      {"setup_streamb.htm", "Stream B", PERM_STREAM_CONFIG, false},
      {"setup_video.htm", "Video Input", PERM_STREAM_CONFIG, false},
      {"setup_audio.htm", "Audio", PERM_STREAM_CONFIG, false},
      {"setup_output.htm", "Output", PERM_STREAM_CONFIG, false},
      {"setup_rtsp.htm", "RTSP Server", PERM_STREAM_CONFIG, false},
      {"setup_overlay.htm", "Overlay Images", PERM_STREAM_CONFIG, false},
      {nullptr, "Admin", PERM_ADMIN, false},
      {"admin_clock.htm", "Clock", PERM_ADMIN, false},
      {"admin_network.htm", "Network", PERM_ADMIN, false},
      {"admin_users.htm", "Users", PERM_ADMIN, false},
      {"admin_update.htm", "Update", PERM_ADMIN, false},
  };
  uint32_t level = perm_of(page);
  WebRequest *req = page->request;
  bool storage = filesys_is_mounted(STORAGE_INT) || filesys_is_mounted(STORAGE_EXT) ||
                 filesys_is_mounted(STORAGE_MMC);
  page_append(page, "<ul class=\"nav\">\n");
  for (const auto &e : entries) {
    if (level < e.level || (e.storage && !storage)) continue;
    if (e.href) page_printf(page, "<li><a href=\"/%s\">%s</a></li>\n", e.href, e.label);
    else page_printf(page, "<li class=\"nav-head\">%s</li>\n", e.label);
  }
  // The user, and a button that logs out or in and comes back here.
  bool user = req && req->username;
  page_append(page, "</ul>\n<div class=\"who\">\n<h3>User: ");
  html_escape_append(page, user ? req->username : "guest");
  page_printf(page, "</h3>\n<form method=\"GET\" action=\"/%s\"><input type=\"hidden\" "
                    "name=\"redirect\" value=\"", user ? "logout.htm" : "login.htm");
  html_escape_append(page, req && req->url ? req->url : "/index.htm");
  page_printf(page, "\"><input type=\"submit\" value=\"%s\"></form>\n</div>\n",
              user ? "Log out" : "Log in");
}

void gen_username(PageBuffer *page) {
  html_escape_append(page, page->request ? page->request->username : nullptr);
}

void gen_referer(PageBuffer *page) {
  html_escape_append(page, web_target(page->request, nullptr));
}

void gen_rtsp_streams(PageBuffer *page) {
  static const struct {
    const char *title;
    const char *a;
    const char *b;
  } rows[] = {
      {"H264 video + AAC audio", "streamA.h264_aac", "streamB.h264_aac"},
      {"H264 video + PCM audio", "streamA.h264_pcm", "streamB.h264_pcm"},
      {"Transport Stream (H264 + AAC)", "streamA.ts", "streamB.ts"},
      {"Transport Stream (H264 only)", "vstreamA.ts", "vstreamB.ts"},
      {"H264 video only", "streamA.h264", "streamB.h264"},
      {"Audio only", "streamC.aac", "streamC.pcm"},
      {nullptr, nullptr, nullptr},
      {"H264 video multicast", "multicastA.h264", "multicastB.h264"},
      {"H264 video + AAC audio multicast", "multicastA.h264_aac", "multicastB.h264_aac"},
  };
  // The Host header without its port: the RTSP port replaces it.
  char host[256];
  const char *h = web_header(page->request, "Host");
  snprintf(host, sizeof host, "%s", h && *h ? h : "localhost");
  char *colon = strrchr(host, ':');
  if (colon && (host[0] != '[' || strchr(colon, ']') == nullptr)) *colon = 0;
  char port_text[12] = "";
  param_get("RTSP_Port", port_text, sizeof port_text);
  int port = atoi(port_text);
  if (port == 0) port = 554;

  PageBuffer base;
  if (page_init(&base, page->request, 300) != 0) return;
  page_append(&base, "rtsp://");
  html_escape_append(&base, host);
  page_printf(&base, ":%d/", port);

  page_append(page, "<table id=\"params\">\n");
  for (const auto &r : rows) {
    if (!r.title) {
      page_append(page, "<tr><td colspan=\"3\">Note: a multicast stream plays once its sender runs with "
                        "the Transport \"Multicast RTP\": Control &gt; Stream A or Stream B.</td></tr>\n");
      continue;
    }
    page_printf(page, "<tr><td>%s</td>", r.title);
    page_append(page, "<td>");
    rtsp_link(page, base.data, r.a);
    page_append(page, "</td><td>");
    rtsp_link(page, base.data, r.b);
    page_append(page, "</td></tr>\n");
  }
  char custom[40] = "";
  param_get("RTSP_CustomStreamName", custom, sizeof custom);
  page_append(page, "<tr><td>Custom Named Stream</td><td colspan=\"2\">");
  if (custom[0]) rtsp_link(page, base.data, custom);
  page_append(page, "</td></tr>\n</table>\n");
  if (base.failed) page->failed = 1;
  page_free(&base);
}

void gen_filelist(PageBuffer *page) {
  WebRequest *req = page->request;
  const char *src_name = req && req->row ? req->row->text : nullptr;
  int source = web_storage_source(src_name);
  if (source < 0 || !filesys_is_mounted(source)) {
    page_append(page, "<p>No storage device.</p>\n");
    return;
  }
  char *dir = filesys_getdir(source);
  if (!dir) {
    page_append(page, "<p>No storage device.</p>\n");
    return;
  }
  log_printf("before scandir src=%d path=%s\n", source, dir);
  FileList list = {nullptr, 0, 0};
  int dfd = web_open_recording(source, "", 0);
  if (dfd >= 0) list_dir(&list, dfd, "", 0);
  free(dir);
  if (list.count == 0) {
    page_append(page, "<p>No files to display.</p>\n");
    free(list.items);
    return;
  }
  qsort(list.items, size_t(list.count), sizeof list.items[0], compare_newest_first);
  int pages = (list.count + kFilesPerPage - 1) / kFilesPerPage;
  const char *p = web_get_arg(req, "p");
  int current = p ? atoi(p) : 1;
  if (current < 1) current = 1;
  if (current > pages) current = pages;
  int first = (current - 1) * kFilesPerPage;
  int last = first + kFilesPerPage < list.count ? first + kFilesPerPage : list.count;
  page_printf(page,
              "<form method=\"POST\" action=\"/delete_files_%s\" "
              "onsubmit=\"return confirm('Delete the selected files?');\">\n"
              "<table class=\"files\">\n<tr><th></th><th>File</th><th>Size</th></tr>\n",
              src_name);
  for (int i = first; i < last; i++) {
    char enc[1024];
    url_encode_query(list.items[i].name, enc, sizeof enc);
    page_append(page, "<tr><td><input type=\"checkbox\" name=\"delete_file\" value=\"");
    html_escape_append(page, list.items[i].name);
    page_printf(page, "\"></td><td><a href=\"/download?s=%d&amp;f=%s\">", source, enc);
    html_escape_append(page, list.items[i].name);
    page_append(page, "</a></td><td>");
    print_size(page, list.items[i].size);
    page_append(page, "</td></tr>\n");
  }
  page_append(page, "</table>\n<input type=\"submit\" value=\"Delete selected files\">\n</form>\n");
  pager(page, current, pages);
  log_printf("after for loop rendered index %d to %d\n", first, last - 1);
  for (int i = 0; i < list.count; i++) free(list.items[i].name);
  free(list.items);
}
