// The URL table and the small GET handlers of its rows.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <microhttpd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/firmware.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_flash.h"
#include "core/param_table.h"
#include "core/user_log.h"
#include "media/capture.h"
#include "media/mixer.h"
#include "media/stream_ids.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "storage/filesys.h"
#include "web/http_stream.h"
#include "web/templates.h"
#include "web/web_auth.h"
#include "web/web_forms.h"
#include "web/web_upload.h"

namespace {

constexpr size_t kDmesgMax = 256 * 1024;
constexpr size_t kMixerPage = 0x10000;
constexpr size_t kMeasurementsMax = 4096;

int get_redirect_func(WebRequest *req) { return web_redirect(req->connection, req->row->text); }

int get_controls_redirect_func(WebRequest *req) {
  static const struct {
    const char *end;
    const char *page;
  } targets[] = {
      {"streamA_controls", "setup_streama.htm"},  {"streamB_controls", "setup_streamb.htm"},
      {"capture_controls", "setup_video.htm"},    {"display_controls", "setup_output.htm"},
      {"udpA_controls", "control_streama.htm"},   {"udpB_controls", "control_streamb.htm"},
      {"delete_files_int", "download.htm"},       {"delete_files_ext", "download.htm"},
      {"delete_files_mmc", "download.htm"},
  };
  log_printf("%s: url=%s\n", "get_controls_redirect_func", req->url);
  for (const auto &t : targets)
    if (str_ends_with(req->url, t.end)) return web_redirect(req->connection, t.page);
  log_printf("%s: unknown redirect for %s\n", "get_controls_redirect_func", req->url);
  return WEB_NOT_HANDLED;
}

int get_download_func(WebRequest *req) {
  const char *s = web_get_arg(req, "s");
  const char *f = web_get_arg(req, "f");
  if (!s || (strcmp(s, "0") != 0 && strcmp(s, "1") != 0 && strcmp(s, "2") != 0)) {
    log_printf("Bad source: %s\n", s ? s : "");
    return WEB_NOT_HANDLED;
  }
  if (!filesys_name_ok(f)) {
    log_printf("Bad filename: %s\n", f ? f : "");
    return WEB_NOT_HANDLED;
  }
  int source = atoi(s);
  if (!filesys_is_mounted(source)) {
    log_printf("Filesys not mounted: %d\n", source);
    return WEB_NOT_HANDLED;
  }
  int fd = web_open_recording(source, f, O_RDONLY);
  if (fd < 0) {
    perror(f);
    return WEB_NOT_HANDLED;
  }
  const char *base = strrchr(f, '/');
  base = base ? base + 1 : f;
  // The name goes into a quoted header parameter: quotes and controls go.
  char clean[FILESYS_NAME_MAX + 1];
  size_t n = 0;
  for (const char *p = base; *p && n < sizeof clean - 1; p++)
    clean[n++] = (*p == '"' || *p == '\\' || (unsigned char)*p < 0x20) ? '_' : *p;
  clean[n] = 0;
  return web_send_fd(req, fd, get_mime_type(base), clean);
}

int get_log_func(WebRequest *req) {
  char *text = get_user_data_log(100, 0x7FFFFFFF);
  int rc = send_text(req->connection, text ? text : "");
  free(text);
  return rc;
}

int get_debuglog_func(WebRequest *req) {
  uint32_t n = log_pending();
  char *buf = static_cast<char *>(malloc(size_t(n) + 1));
  if (!buf) return WEB_NOT_HANDLED;
  size_t got = log_copy(log_get_tail(), buf, n);
  // The zero fill before a wrap is not text.
  size_t o = 0;
  for (size_t i = 0; i < got; i++)
    if (buf[i]) buf[o++] = buf[i];
  buf[o] = 0;
  int rc = send_text(req->connection, buf);
  free(buf);
  return rc;
}

int get_dmesg_func(WebRequest *req) {
  char *buf = static_cast<char *>(malloc(kDmesgMax + 1));
  if (!buf) return WEB_NOT_HANDLED;
  const char *argv[] = {"dmesg", nullptr};
  if (run_argv_output(argv, buf, kDmesgMax + 1) < 0) {
    log_printf("can't open %s\n", "dmesg");
    free(buf);
    return WEB_NOT_HANDLED;
  }
  int rc = send_text(req->connection, buf);
  free(buf);
  return rc;
}

int get_mixer_func(WebRequest *req) {
  char *buf = static_cast<char *>(malloc(kMixerPage));
  if (!buf) return WEB_NOT_HANDLED;
  buf[0] = 0;
  mixer_form_print(buf, kMixerPage);
  int rc = send_html(req->connection, buf);
  free(buf);
  return rc;
}

int get_load_defaults_func(WebRequest *req) {
  if (!web_from_own_page(req)) return send_not_own_page(req);
  const char *redir = web_get_arg(req, "redirect");
  const char *referer = web_header(req, MHD_HTTP_HEADER_REFERER);
  if (req->permission == PERM_ADMIN) {
    // The whole block is rewritten: a save meanwhile would store a mix.
    param_write_begin();
    param_load_defaults_keep_network();
    param_write_end();
    if (sys_access("/usr/html/config.txt", F_OK) == 0) {
      log_printf("Loading default params from file config.txt\n");
      param_import_file("/usr/html/config.txt");
    } else {
      log_printf("Loading default params from internal table\n");
    }
    save_and_apply_params();
  }
  log_printf("%s: referer=%s redir=%s\n", "get_load_defaults_func", referer ? referer : "",
             redir ? redir : "");
  return web_redirect(req->connection,
                      web_local_target(req, redir && *redir ? redir : referer, "/index.htm"));
}

MHD_Result debug_value(void *cls, MHD_ValueKind kind, const char *key, const char *value) {
  (void)kind;
  PageBuffer *page = static_cast<PageBuffer *>(cls);
  page_append(page, "<pre>");
  html_escape_append(page, key);
  page_append(page, ": ");
  html_escape_append(page, value);
  page_append(page, "</pre>\n");
  return MHD_YES;
}

int get_debug_func(WebRequest *req) {
  static int visits;
  PageBuffer page;
  if (page_init(&page, req, 4096) != 0) return WEB_NOT_HANDLED;
  page_append(&page, "<html><head><title>Debug page</title><style>pre { white-space: pre-wrap; }"
                     "</style></head><body>\n<pre>User: ");
  html_escape_append(&page, web_get_arg(req, "user"));
  page_printf(&page, " (%d)</pre>\n<pre>req-&gt;username: ", ++visits);
  html_escape_append(&page, web_username(req));
  page_append(&page, "</pre>\n");
  MHD_get_connection_values(req->connection, MHD_GET_ARGUMENT_KIND, debug_value, &page);
  MHD_get_connection_values(req->connection, MHD_HEADER_KIND, debug_value, &page);
  page_append(&page, "<p><a href=\"/login.htm?redirect=/debug.htm\">Log in</a> "
                     "<a href=\"/logout.htm?redirect=/debug.htm\">Log out</a></p>\n</body></html>\n");
  return page_send(&page);
}

int get_config_func(WebRequest *req) {
  char *text = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&text, &len);
  if (!f) return WEB_NOT_HANDLED;
  // The text file rows end in "\r\n"; this page has "\n" lines.
  char value[256];
  for (int i = 0; paramTable[i].name; i++) {
    if (param_is_virtual(i)) continue;
    if (param_get_by_index(i, value, sizeof value) < 0) continue;
    value[strcspn(value, "\r\n")] = 0;
    fprintf(f, "%s = %s\n", paramTable[i].name, value);
  }
  fclose(f);
  int rc = send_text(req->connection, text ? text : "");
  free(text);
  return rc;
}

int get_view_stream_func(WebRequest *req) {
  int channel = str_ends_with(req->url, "view_streamb.htm") ? 1 : 0;
  char letter = channel ? 'b' : 'a';
  uint8_t mode = get_param_block()->video[channel].stream_mode;
  uint8_t video = stream_mode_video_es(mode);
  char target[40];
  if (video == VIDEO_TYPE_H264)
    snprintf(target, sizeof target, "rtmp_stream%c.htm", letter);
  else if (video == StreamMode_JPEG)
    snprintf(target, sizeof target, "jpeg_stream%c.htm", letter);
  else
    snprintf(target, sizeof target, "invalid_stream.htm");
  return web_redirect(req->connection, target);
}

int get_update_status_func(WebRequest *req) {
  // The page stays while an update runs and once more after it ended, to
  // show how it ended (a refused image, a flash error).
  if (!web_firmware_update_in_progress() && !firmware_status_pending())
    return web_redirect(req->connection, req->row->text);
  PageBuffer page;
  if (page_init(&page, req, 4096) != 0) return WEB_NOT_HANDLED;
  if (!template_render_file(&page, "/admin_update_status.htm", nullptr)) {
    page_free(&page);
    return WEB_NOT_HANDLED;
  }
  return page_send(&page);
}

// --- video_measurements.txt ---

enum MeasKind { MEAS_NAMED, MEAS_NUMBER, MEAS_PAIR, MEAS_TMDSFREQ, MEAS_TMDSFREQ_FRAC };

const char *const t_hdmi[] = {"DVI Mode Detected", "HDMI Mode Detected"};
const char *const t_clk[] = {"No clk", "TMDS clk detected"};
const char *const t_pll[] = {"Not lock", "TMDS PLL locked"};
const char *const t_deep[] = {"8-bit", "10-bit", "12-bit", "16-bit"};
const char *const t_hdcp[] = {"not HDCP encrypted", "HDCP encrypted"};
const char *const t_lock[] = {"Not locked", "Locked"};
const char *const t_pol[] = {"Active low", "Active high"};
const char *const t_intl[] = {"Progressive Input", "Interlaced Input"};
const char *const t_off_on[] = {"Off", "On"};
const char *const t_valid[] = {"Not valid", "Valid"};
const char *const t_sync_src[] = {"None", "Embedded", "Separate HS/VS", "Composite sync"};
// Colour spaces as the receiver reports the HDMI source's and as the input's
// is set; the colour converter's coefficient sets.
const char *const t_hdmi_space[] = {
    "RGB limited range (16-235)", "RGB full range (0-255)", "YCbCr BT.601 (16-235)",
    "YCbCr BT.709 (16-235)", "xvYCC BT.601", "xvYCC BT.709", "YCbCr BT.601 (0-255)",
    "YCbCr BT.709 (0-255)", "sYCC", "opYCC BT.601", "opRGB"};
const char *const t_input_space[] = {
    "RGB limited range (16-235)", "RGB full range (0-255)", "YCbCr BT.601 (16-235)",
    "YCbCr BT.709 (16-235)", "xvYCC BT.601", "xvYCC BT.709", "YCbCr BT.601 (0-255)",
    "YCbCr BT.709 (0-255)", "invalid", "invalid", "invalid", "invalid", "invalid", "invalid",
    "invalid", "Automatic"};
const char *const t_csc[] = {
    "Bypassed", "YPbPr BT.601 to RGB", "reserved", "YPbPr BT.709 to RGB", "reserved",
    "RGB to YPbPr BT.601", "reserved", "RGB to YPbPr BT.709", "reserved",
    "YPbPr BT.709 to YPbPr BT.601", "YPbPr BT.601 to YPbPr BT.709", "reserved", "reserved",
    "reserved", "reserved", "Manual"};

struct MeasField {
  const char *name;
  MeasKind kind;
  uint16_t reg;      // register map number << 8 | register
  uint8_t mask;      // of reg (the high part of a pair)
  uint16_t reg_lo;   // the low byte of a pair
  const char *const *texts;
  uint8_t ntexts;
};

#define NAMED(n, r, m, t) {n, MEAS_NAMED, r, m, 0, t, sizeof t / sizeof t[0]}
#define NUMBER(n, r, m) {n, MEAS_NUMBER, r, m, 0, nullptr, 0}
#define PAIR(n, hi, m, lo) {n, MEAS_PAIR, hi, m, lo, nullptr, 0}

// The HDMI receiver map is 9, the CP map 0xA, the IO map 0.
const MeasField meas_fields[] = {
    NAMED("HDMI_MODE", 0x905, 0x80, t_hdmi),
    NAMED("BG_HDMI_MODE", 0x9EB, 0x01, t_hdmi),
    NAMED("TMDS_CLK_A_RAW", 0x06A, 0x02, t_clk),
    NAMED("TMDS_CLK_B_RAW", 0x06A, 0x01, t_clk),
    {"TMDSFREQ", MEAS_TMDSFREQ, 0x951, 0xFF, 0x952, nullptr, 0},
    {"TMDSFREQ_FRAC", MEAS_TMDSFREQ_FRAC, 0x952, 0x7F, 0, nullptr, 0},
    NAMED("TMDS_PLL_LOCKED", 0x904, 0x02, t_pll),
    NAMED("DEEP_COLOR_MODE", 0x90B, 0xC0, t_deep),
    NAMED("HDMI_CONTENT_ENCRYPTED", 0x905, 0x40, t_hdcp),
    NAMED("DE_REGEN_FILTER_LOCKED", 0x907, 0x20, t_lock),
    NAMED("DE_REGEN_LCK_RAW", 0x074, 0x01, t_lock),
    PAIR("TOTAL_LINE_WIDTH", 0x91E, 0x3F, 0x91F),
    PAIR("LINE_WIDTH", 0x907, 0x1F, 0x908),
    PAIR("HSYNC_FRONT_PORCH", 0x920, 0x1F, 0x921),
    PAIR("HSYNC_PULSE_WIDTH", 0x922, 0x1F, 0x923),
    PAIR("HSYNC_BACK_PORCH", 0x924, 0x1F, 0x925),
    NAMED("DVI_HSYNC_POLARITY", 0x905, 0x20, t_pol),
    NAMED("VERT_FILTER_LOCKED", 0x907, 0x80, t_lock),
    NAMED("V_LOCKED_RAW", 0x074, 0x02, t_lock),
    PAIR("FIELD0_TOTAL_HEIGHT", 0x926, 0x3F, 0x927),
    PAIR("FIELD0_HEIGHT", 0x909, 0x1F, 0x90A),
    PAIR("FIELD0_VS_FRONT_PORCH", 0x92A, 0x3F, 0x92B),
    PAIR("FIELD0_VS_PULSE_WIDTH", 0x92E, 0x3F, 0x92F),
    PAIR("FIELD0_VS_BACK_PORCH", 0x932, 0x3F, 0x933),
    NAMED("DVI_VSYNC_POLARITY", 0x905, 0x10, t_pol),
    PAIR("FIELD1_TOTAL_HEIGHT", 0x928, 0x3F, 0x929),
    PAIR("FIELD1_HEIGHT", 0x90B, 0x1F, 0x90C),
    PAIR("FIELD1_VS_FRONT_PORCH", 0x92C, 0x3F, 0x92D),
    PAIR("FIELD1_VS_PULSE_WIDTH", 0x930, 0x3F, 0x931),
    PAIR("FIELD1_VS_BACK_PORCH", 0x934, 0x3F, 0x935),
    NAMED("HDMI_INTERLACED", 0x90B, 0x20, t_intl),
    NAMED("HDMI_COLORSPACE", 0x953, 0x0F, t_hdmi_space),
    NAMED("DPP_BYPASS_EN", 0xABD, 0x10, t_off_on),
    NAMED("MAN_CP_CSC_EN", 0xA69, 0x10, t_off_on),
    NAMED("CSC_COEFF_SEL", 0xA68, 0xF0, t_csc),
    NAMED("INP_COLOR_SPACE", 0x002, 0xF0, t_input_space),
    NAMED("RGB_OUT", 0x002, 0x02, t_off_on),
    NAMED("ALT_GAMMA", 0x002, 0x08, t_off_on),
    NAMED("CSC_COEFF_SEL_RB", 0xAF4, 0xF0, t_csc),
    NAMED("QZERO_ITC_DIS", 0x947, 0x04, t_off_on),
    NAMED("QZERO_RGB_FULL", 0x947, 0x02, t_off_on),
    NAMED("VID_ADJ_EN", 0xA3E, 0x80, t_off_on),
    NUMBER("CP_CONTRAST", 0xA3A, 0xFF),
    NUMBER("CP_SATURATION", 0xA3B, 0xFF),
    NUMBER("CP_BRIGHTNESS", 0xA3C, 0xFF),
    NUMBER("CP_HUE", 0xA3D, 0xFF),
    NAMED("CH1_SSPD_DVALID", 0xAB5, 0x80, t_valid),
    NAMED("CH1_CUR_SYNC_SRC", 0xAB5, 0x03, t_sync_src),
    NAMED("CH1_CUR_POL_HS", 0xAB5, 0x08, t_pol),
    NAMED("CH1_HS_ACT", 0xAB5, 0x10, t_off_on),
    NAMED("CH1_CUR_POL_VS", 0xAB5, 0x20, t_pol),
    NAMED("CH1_VS_ACT", 0xAB5, 0x40, t_off_on),
    NAMED("CH1_RS_ACT", 0xAB5, 0x04, t_off_on),
    NAMED("CH1_STDI_DVALID", 0xAB1, 0x80, t_valid),
    PAIR("CH1_BL", 0xAB1, 0x3F, 0xAB2),
    NUMBER("CH1_LCVS", 0xAB3, 0xF8),
    PAIR("CH1_LCF", 0xAB3, 0x07, 0xAB4),
    PAIR("CH1_FCL", 0xAB8, 0x1F, 0xAB9),
    NAMED("CH1_STDI_INTLCD", 0xAB1, 0x40, t_intl),
    NUMBER("ISD_THR", 0xA83, 0xFF),
    NAMED("IFSD_AVG", 0xA84, 0x01, t_off_on),
    PAIR("ISD", 0xA85, 0x0F, 0xA86),
    PAIR("IFSD", 0xA87, 0x0F, 0xA88),
    NAMED("CP_FREE_RUN", 0xAFF, 0x10, t_off_on),
    NAMED("MV_AGC_DET", 0xAFF, 0x40, t_off_on),
    NAMED("MV_PS_DET", 0xAFF, 0x80, t_off_on),
};

#undef NAMED
#undef NUMBER
#undef PAIR

unsigned field_bits(uint32_t value, uint8_t mask) {
  value &= mask;
  while (mask && !(mask & 1)) {
    mask >>= 1;
    value >>= 1;
  }
  return value;
}

int get_measurements_func(WebRequest *req) {
  char text[kMeasurementsMax];
  size_t len = 0;
  for (const MeasField &f : meas_fields) {
    if (len >= sizeof text - 1) break;
    unsigned v = field_bits(decoder_reg_read(f.reg), f.mask);
    int n = 0;
    switch (f.kind) {
    case MEAS_NAMED:
      n = snprintf(text + len, sizeof text - len, "%20s = %x (%s)\n", f.name, v,
                   v < f.ntexts ? f.texts[v] : "reserved");
      break;
    case MEAS_NUMBER:
      n = snprintf(text + len, sizeof text - len, "%20s = %d\n", f.name, int(v));
      break;
    case MEAS_PAIR:
      n = snprintf(text + len, sizeof text - len, "%20s = %d\n", f.name,
                   int(v << 8 | (decoder_reg_read(f.reg_lo) & 0xFF)));
      break;
    case MEAS_TMDSFREQ:
      n = snprintf(text + len, sizeof text - len, "%20s = %d\n", f.name,
                   int(v * 2 + ((decoder_reg_read(f.reg_lo) >> 7) & 1)));
      break;
    case MEAS_TMDSFREQ_FRAC:
      n = snprintf(text + len, sizeof text - len, "%20s = %d/128\n", f.name, int(v));
      break;
    }
    if (n > 0) len += size_t(n) < sizeof text - len ? size_t(n) : sizeof text - len - 1;
  }
  text[len] = 0;
  return send_text(req->connection, text);
}

const char kUnauthorizedPage[] =
    "<include src='header.htm' title='Unauthorized'>\n"
    "<h2>Unauthorized</h2>\n"
    "<p class=\"notice\">You do not have permission to view this page. Log in as a user with "
    "more rights, or ask the administrator for them.</p>\n"
    "<include src='footer.htm'>\n";

}  // namespace

#define G(name, fn, level) {name, nullptr, nullptr, 0, fn, nullptr, nullptr, level, 0}
#define GEN(name, gen, level) {name, nullptr, gen, 0, get_include_func, nullptr, nullptr, level, 0}
#define FORM(name, prefix, post) \
  {name, prefix, nullptr, 0, get_controls_redirect_func, post, nullptr, 0, 0}
#define KEY(name, fn) {name, nullptr, nullptr, 0, nullptr, nullptr, fn, 0, 0}
#define PREFIX_KEYS(p) KEY(p "x", post_ignore_func), KEY(p "y", post_ignore_func), \
                       KEY(p "save_params", post_save_params_func)
#define POST(name, fn, level) {name, nullptr, nullptr, 0, nullptr, fn, nullptr, 0, level}
#define STREAM(name, code) {name, nullptr, nullptr, code, get_stream_func, nullptr, nullptr, 1, 0}

const UrlHandler url_table[URL_TABLE_ROWS + 1] = {
    {"", "/index.htm", nullptr, 0, get_redirect_func, nullptr, nullptr, 0, 0},
    GEN("capture_input_options", gen_capture_input_options, PERM_STREAM_VIEW),
    GEN("display_output_options", gen_display_output_options, PERM_STREAM_VIEW),
    GEN("resolutionA_options", gen_resolutionA_options, PERM_STREAM_VIEW),
    GEN("resolutionB_options", gen_resolutionB_options, PERM_STREAM_VIEW),
    GEN("frame_rate_options", gen_frame_rate_options, PERM_STREAM_VIEW),
    GEN("permission_options", gen_permission_options, PERM_ADMIN),
    GEN("users_table", gen_users_table, PERM_ADMIN),
    GEN("nav_bar", gen_nav_bar, PERM_NONE),
    GEN("username", gen_username, PERM_NONE),
    GEN("referer", gen_referer, PERM_NONE),
    GEN("filelist", gen_filelist, PERM_STREAM_CONTROL),
    G("download", get_download_func, PERM_STREAM_CONTROL),
    {"filelist_int", "int", gen_filelist, 0, get_include_func, nullptr, nullptr, PERM_STREAM_CONTROL, 0},
    {"filelist_ext", "ext", gen_filelist, 0, get_include_func, nullptr, nullptr, PERM_STREAM_CONTROL, 0},
    {"filelist_mmc", "mmc", gen_filelist, 0, get_include_func, nullptr, nullptr, PERM_STREAM_CONTROL, 0},
    {"delete_files_int", "int", nullptr, 0, get_controls_redirect_func, post_delete_files_func,
     nullptr, 0, PERM_STREAM_CONTROL},
    {"delete_files_ext", "ext", nullptr, 0, get_controls_redirect_func, post_delete_files_func,
     nullptr, 0, PERM_STREAM_CONTROL},
    {"delete_files_mmc", "mmc", nullptr, 0, get_controls_redirect_func, post_delete_files_func,
     nullptr, 0, PERM_STREAM_CONTROL},
    G("log.txt", get_log_func, PERM_ADMIN),
    G("debuglog.txt", get_debuglog_func, PERM_ADMIN),
    G("dmesg.txt", get_dmesg_func, PERM_ADMIN),
    {"mixer_settings", nullptr, nullptr, 0, get_mixer_func, post_mixer_func, nullptr,
     PERM_STREAM_CONFIG, PERM_STREAM_CONFIG},
    GEN("audio_input_options", gen_audio_input_options, PERM_STREAM_VIEW),
    GEN("rtsp_streams", gen_rtsp_streams, PERM_STREAM_VIEW),
    GEN("stream_mode_options", gen_stream_mode_options, PERM_STREAM_VIEW),
    G("login.htm", get_login_func, PERM_NONE),
    G("logout.htm", get_logout_func, PERM_NONE),
    {"unauthorized.htm", kUnauthorizedPage, nullptr, 0, get_page_text_func, nullptr, nullptr, 0, 0},
    G("load_default_params", get_load_defaults_func, PERM_ADMIN),
    G("debug.htm", get_debug_func, PERM_ADMIN),
    G("config.txt", get_config_func, PERM_ADMIN),
    G("view_streama.htm", get_view_stream_func, PERM_STREAM_VIEW),
    G("view_streamb.htm", get_view_stream_func, PERM_STREAM_VIEW),
    POST("controls", post_processor_func, PERM_NONE),
    POST("auth_controls", post_auth_controls_func, PERM_NONE),
    FORM("streamA_controls", "Video[0].", post_processor_func),
    FORM("streamB_controls", "Video[1].", post_processor_func),
    FORM("streamA_controls_no_save", "Video[0].", post_processor_nosave_func),
    FORM("streamB_controls_no_save", "Video[1].", post_processor_nosave_func),
    FORM("capture_controls", "Capture.", post_processor_func),
    FORM("display_controls", "Display.", post_processor_func),
    FORM("display_controls_no_save", "Display.", post_processor_nosave_func),
    FORM("udpA_controls", "UDP[0].", post_processor_func),
    FORM("udpB_controls", "UDP[1].", post_processor_func),
    PREFIX_KEYS("Video[0]."),
    PREFIX_KEYS("Video[1]."),
    PREFIX_KEYS("Capture."),
    PREFIX_KEYS("Display."),
    PREFIX_KEYS("UDP[0]."),
    PREFIX_KEYS("UDP[1]."),
    KEY("redirect", post_redirect_func),
    KEY("create_user_name", post_create_user_func),
    KEY("create_user_perm", post_create_user_func),
    KEY("create_user_pass", post_create_user_func),
    POST("firmware", post_firmware_func, PERM_ADMIN),
    POST("customzip", post_customzip_func, PERM_ADMIN),
    POST("clear_log", post_clear_log_func, PERM_ADMIN),
    {"admin_update_status.htm", "admin_update.htm", nullptr, 0, get_update_status_func, nullptr,
     nullptr, 0, 0},
    G("streamA.jpg", get_mjpeg_func, PERM_STREAM_VIEW),
    G("streamA.mjpg", get_mjpeg_func, PERM_STREAM_VIEW),
    G("streamB.jpg", get_mjpeg_func, PERM_STREAM_VIEW),
    G("streamB.mjpg", get_mjpeg_func, PERM_STREAM_VIEW),
    STREAM("streamA.h264", 0x102),
    STREAM("streamA_vid.ts", 0x101),
    STREAM("streamA.ts", 0x100),
    STREAM("streamA.aac", 0x511),
    STREAM("streamB.h264", 0x202),
    STREAM("streamB_vid.ts", 0x201),
    STREAM("streamB.ts", 0x200),
    STREAM("streamB.aac", 0x511),
    STREAM("streamC.pcm", 0x412),
    STREAM("streamA.flv", 0x10F),
    STREAM("streamB.flv", 0x20F),
    GEN("streamA.m3u8", hls_playlist, PERM_STREAM_VIEW),
    GEN("streamA0.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA1.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA2.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA3.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA4.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA5.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA6.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA7.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA8.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamA9.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB.m3u8", hls_playlist, PERM_STREAM_VIEW),
    GEN("streamB0.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB1.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB2.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB3.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB4.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB5.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB6.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB7.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB8.ts", hls_segment, PERM_STREAM_VIEW),
    GEN("streamB9.ts", hls_segment, PERM_STREAM_VIEW),
    G("video_measurements.txt", get_measurements_func, PERM_STREAM_CONFIG),
    POST("overlay", post_overlay_func, PERM_STREAM_CONFIG),
    KEY("save_params", post_save_params_func),
    {nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, 0},
};

#undef G
#undef GEN
#undef FORM
#undef KEY
#undef PREFIX_KEYS
#undef POST
#undef STREAM

const UrlHandler *url_table_lookup(const char *url) {
  if (!url) return nullptr;
  if (url[0] == '/') url++;
  for (int i = 0; i < URL_TABLE_ROWS; i++)
    if (strcmp(url_table[i].name, url) == 0) return &url_table[i];
  return nullptr;
}
