// The diagnostics screen for technicians: logs saved to storage, SoC and
// video-decoder registers read and written, the storage write speed, the
// monitor's modes, the program reinstalled from internal storage, and the
// live log.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <elf.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/process_util.h"
#include "core/param_block.h"
#include "display/dvr_keys.h"
#include "display/dvr_logic.h"
#include "display/edid.h"
#include "display/gui_toolkit.h"
#include "display/screens/menu_screens.h"
#include "display/text_entry.h"
#include "media/capture.h"
#include "platform/host_root.h"
#include "storage/filesys.h"

namespace {

const char kProgram[] = "/usr/bin/m7391";
const char kProgramTmp[] = "/usr/bin/.m7391.new";

// Asks for a hexadecimal number (at most digits characters) starting from
// *value; 0 with *value set when a text was confirmed.
int ask_hex(GuiContext *ctx, const char *prompt, int digits, uint32_t *value) {
  char text[12];
  snprintf(text, sizeof text, "%x", *value);
  if (text_entry_dialog(ctx, prompt, text, (uint32_t)digits + 1) != 0 || get_exit_code()) return -1;
  char *end = nullptr;
  unsigned long v = strtoul(text, &end, 16);
  if (end == text) return -1;
  *value = (uint32_t)v;
  return 0;
}

// The running program's own ELF header, as the loader mapped it.
extern "C" const ElfW(Ehdr) __ehdr_start;

// A program the board can run in place of this one: an ELF executable of
// the same class, byte order, ABI and machine as the running program.
bool runs_here(const unsigned char *h, size_t got) {
  const ElfW(Ehdr) *self = &__ehdr_start;
  ElfW(Ehdr) e;
  if (got < sizeof e) return false;
  memcpy(&e, h, sizeof e);
  return memcmp(e.e_ident, self->e_ident, EI_OSABI + 1) == 0 && e.e_machine == self->e_machine &&
         (e.e_type == ET_EXEC || e.e_type == ET_DYN) && e.e_version == self->e_version &&
         e.e_ehsize == self->e_ehsize;
}

// Copies the program from the internal volume beside the installed one and
// renames it over: the running binary is never written in place, and a
// failed copy leaves the installed program whole.
int reinstall_program(void) {
  FILE *in = filesys_fopen(STORAGE_INT, "m7391", "rb");
  if (!in) return -1;
  unsigned char head[sizeof(ElfW(Ehdr))];
  size_t got = fread(head, 1, sizeof head, in);
  if (!runs_here(head, got) || fseek(in, 0, SEEK_SET) != 0) {
    log_printf("reload m7391: not a program for this machine\n");
    filesys_fclose(STORAGE_INT, in);
    return -2;
  }
  FILE *out = sys_fopen(kProgramTmp, "wb");
  bool ok = out != nullptr;
  static char buf[64 * 1024];
  size_t n;
  while (ok && (n = fread(buf, 1, sizeof buf, in)) > 0) ok = fwrite(buf, 1, n, out) == n;
  ok = ok && !ferror(in);
  filesys_fclose(STORAGE_INT, in);
  if (out) {
    ok = fflush(out) == 0 && fsync(fileno(out)) == 0 && ok;
    ok = fchmod(fileno(out), 0755) == 0 && ok;
    if (fclose(out) != 0) ok = false;
  }
  if (ok && sys_rename(kProgramTmp, kProgram) == 0) return 0;
  log_printf("reload m7391: %s\n", strerror(errno));
  sys_unlink(kProgramTmp);
  return -1;
}

// The live log, drawn from the top-left in the small font and scrolled up a
// line when full; escape ends it.
void view_log(GuiContext *ctx) {
  ParamBlock *p = get_param_block();
  uint8_t saved_size = p->dvr_menu_text_size;
  p->dvr_menu_text_size = 1;
  osd_set_font(1);
  log_read_mark(0);
  int width = osd_layout.screen_width > 0 ? osd_layout.screen_width : OSD_WIDTH;
  int height = osd_layout.screen_height > 0 ? osd_layout.screen_height : OSD_HEIGHT;
  OsdRect all = {0, 0, OSD_WIDTH, OSD_HEIGHT};
  fillSquare(&all, 0, 0);
  osd_flush(ctx);
  int fw = osd_font_width, fh = osd_font_height;
  int columns = width / fw, col = 0, y = 0;
  while (!get_exit_code()) {
    DvrKey k = dvr_wait_key(ctx, 0);
    if (k) log_printf("%s k=%d\n", "overlay_log", (int)k);
    if (k == DVR_KEY_ESCAPE) break;
    char text[81];
    size_t got = log_read(text, 80);
    if (!got) {
      sleep_ms(10);
      continue;
    }
    text[got] = 0;
    for (const char *s = text; *s;) {
      if (*s == '\n') {
        col = 0;
        if (y + 2 * fh > height) osd_scroll_up(fh);
        else y += fh;
        s++;
        continue;
      }
      // The run up to the line's end, cut at the right edge.
      const char *e = s;
      int chars = 0;
      while (*e && *e != '\n') {
        if ((*e & 0xC0) != 0x80) chars++;
        e++;
      }
      int room = columns - col;
      if (chars > room) chars = room > 0 ? room : 0;
      if (chars) {
        OsdRect r = {col * fw, y, 0, 0};
        osd_draw_text(&r, s, chars, 0xFFFFFFFF);
        col += chars;
      }
      s = e;
    }
    osd_flush(ctx);
  }
  p->dvr_menu_text_size = saved_size;
  osd_set_font(saved_size);
  fillSquare(&all, 0, 0);
  osd_flush(ctx);
  log_read_mark(1);
}

}  // namespace

int edid_mode_rows(char (*rows)[16], int max) {
  int n = 0;
  for (const EdidMode &m : edid_table()->modes) {
    if (n >= max || n >= EDID_MODES) break;
    if (!m.width) continue;
    snprintf(rows[n++], 16, "%dx%d%c%d", m.width, m.height, (m.flags & 1) ? 'i' : 'p', m.rate);
  }
  return n;
}

void throughput_test(GuiContext *ctx, int source) {
  bool want[2] = {source == 0 || source == 2, source == 1 || source == 2};
  if (!filesys_is_mounted(want[0] ? STORAGE_INT : STORAGE_EXT)) return;
  show_status_text(ctx, "Initializing...");
  log_printf("init throughput test source=%d\n", source);
  FILE *f[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; i++) {
    if (!want[i]) continue;
    int src = i == 0 ? STORAGE_INT : STORAGE_EXT;
    // A scratch file, opened in place ("w+": a file written whole, "w",
    // would take its name only at the close).
    f[i] = filesys_fopen(src, "tptest.tmp", "w+b");
    if (!f[i]) {
      clear_status_text(ctx);
      show_message(ctx, i == 0 ? "Failed to open internal" : "Failed to open external");
      break;
    }
    // Gone from the directory at once; the space returns at the close.
    filesys_unlink(src, "tptest.tmp");
  }
  bool opened = (!want[0] || f[0]) && (!want[1] || f[1]);
  if (opened) {
    enum { kBuffer = 1 << 20 };
    uint32_t *buf = (uint32_t *)malloc(kBuffer);
    uint32_t seed = timestamp_now() | 1;
    for (size_t i = 0; buf && i < kBuffer / 4; i++) {
      seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
      buf[i] = seed;
    }
    uint32_t start = timestamp_now();
    pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
    key_mailbox.key_word = 0;
    pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
    char figure[48] = "";
    uint32_t rounds = 0;
    bool ended = !buf;
    while (!ended && !get_exit_code()) {
      for (FILE *file : f)
        if (file && fwrite(buf, 1, kBuffer, file) != kBuffer) ended = true;
      if (ended) break;
      rounds++;
      double secs = timestamp_diff(start, timestamp_now()) / 90000.0;
      snprintf(figure, sizeof figure, "%f MB/s", secs > 0 ? rounds / secs : 0.0);
      show_status_text(ctx, figure);
      if (dvr_wait_key(ctx, 0)) break;
    }
    free(buf);
    log_printf("throughput test done: %s\n", figure);
    while (!get_exit_code() && !dvr_wait_key(ctx, 1)) {
    }
    log_printf("key pressed\n");
    clear_status_text(ctx);
  }
  // The file is unlinked already: what the close says is only logged.
  if (f[0] && filesys_fclose_w(STORAGE_INT, f[0]) != 0) log_printf("throughput test: internal write failed\n");
  if (f[1] && filesys_fclose_w(STORAGE_EXT, f[1]) != 0) log_printf("throughput test: external write failed\n");
  log_printf("files closed\n");
}

int diagnostics_menu(GuiContext *ctx) {
  uint32_t mem_addr = 0, mem_value = 0, viddec_addr = 0;
  int row = 1;
  while (!get_exit_code()) {
    if (mem_addr) mem_value = hwreg_read(mem_addr);
    uint32_t viddec_value = decoder_reg_read(viddec_addr);
    char addr_row[32], value_row[32], vaddr_row[32], vvalue_row[32];
    snprintf(addr_row, sizeof addr_row, "Memory address %08x", mem_addr);
    snprintf(value_row, sizeof value_row, "Memory value   %08x", mem_value);
    snprintf(vaddr_row, sizeof vaddr_row, "Viddec address %02x", viddec_addr);
    snprintf(vvalue_row, sizeof vvalue_row, "Viddec value   %02x", viddec_value);
    const char *items[] = {"== Diagnostics Menu ==", "dmesg log", "m7391 log", "reboot", addr_row,
                           value_row, vaddr_row, vvalue_row, "test internal throughput",
                           "test external throughput", "test int & ext throughput",
                           "list EDID modes", "reload m7391", "view log"};
    row = show_menu(ctx, 14, items, row);
    if (!row) break;
    switch (row) {
      case 1:
        show_message(ctx, filesys_save_dmesg() == 0 ? "Saved dmesg" : "Failed to write dmesg");
        break;
      case 2:
        show_message(ctx, filesys_save_log() == 0 ? "Saved log" : "Failed to save log");
        break;
      case 3: request_reboot(); break;
      case 4: {
        uint32_t a = mem_addr;
        if (ask_hex(ctx, "Memory address", 8, &a) != 0) break;
        // The board faults on an unaligned word access.
        if (a & 3) show_message(ctx, "Memory address must be a multiple of 4");
        else mem_addr = a;
        break;
      }
      case 5:
        if (mem_addr && ask_hex(ctx, "Memory value", 8, &mem_value) == 0) hwreg_write(mem_addr, mem_value);
        break;
      case 6: ask_hex(ctx, "Viddec address", 4, &viddec_addr); break;
      case 7: {
        uint32_t v = viddec_value;
        if (ask_hex(ctx, "Viddec value", 2, &v) == 0) decoder_reg_write(viddec_addr, v);
        break;
      }
      case 8: case 9: case 10: throughput_test(ctx, row - 8); break;
      case 11: {
        static char rows[EDID_MODES][16];
        const char *list[EDID_MODES + 1] = {"Monitor EDID modes"};
        int n = edid_mode_rows(rows, EDID_MODES);
        for (int i = 0; i < n; i++) list[i + 1] = rows[i];
        if (n) show_menu(ctx, n + 1, list, 1);
        break;
      }
      case 12:
        if (int rc = reinstall_program(); rc != 0) {
          show_message(ctx, rc == -2 ? "m7391 is not a program for this board"
                                     : "Failed to copy m7391 from internal storage");
          break;
        }
        log_printf("reload m7391: installed, quitting\n");
        set_exit_code(EXIT_QUIT);
        break;
      case 13: view_log(ctx); break;
    }
  }
  return 0;
}
