// The DVR keys and the key mailbox: every input source (keypads, keyboard,
// mouse, control protocol, parameter actions, storage events) speaks to the
// menu thread through one 32-bit word left in one mailbox, plus a transient
// status message shown at the top of the screen. The menu thread is the only
// consumer, through dvr_wait_key.
#pragma once
#include <cstdint>
#include <pthread.h>

typedef uint32_t DvrKey;

// Bits 0 to 16: keypad actions (a keypad line's action number n sets 1 << n;
// a keypad may set several at once).
enum : DvrKey {
  DVR_KEY_RECORD_PAUSE = 0x1,
  DVR_KEY_STOP_BACK = 0x2,
  DVR_KEY_SNAPSHOT = 0x4,
  DVR_KEY_DOWN_MUTE_FF = 0x8,
  DVR_KEY_MENU_OK = 0x10,
  DVR_KEY_UP_UNMUTE_REW = 0x20,
  DVR_KEY_UP = 0x40,
  DVR_KEY_DOWN = 0x80,
  DVR_KEY_MUTE_TOGGLE = 0x100,
  DVR_KEY_PLAY_PAUSE = 0x200,
  DVR_KEY_REC_STOP = 0x400,
  DVR_KEY_FF_OK = 0x800,
  DVR_KEY_REW_BACK = 0x1000,
  DVR_KEY_UNUSED = 0x2000,
  DVR_KEY_RESET_ENCODER1 = 0x4000,
  DVR_KEY_RESET_ENCODER2 = 0x8000,
  DVR_KEY_UP_SNAPSHOT = 0x10000,
  DVR_KEY_ESCAPE = 0x1002,
  DVR_KEY_PAGE_UP = 0x1000000,
  DVR_KEY_PAGE_DOWN = 0x2000000,
  // Commands, n << 26: compared as whole words, never as bits.
  DVR_KEY_ADVANCED_CFG = 1u << 26,
  DVR_KEY_TITLE_OVERLAY = 2u << 26,
  DVR_KEY_CODED_OVERLAY = 3u << 26,
  DVR_KEY_EXTRA_OVERLAY = 4u << 26,
  DVR_KEY_ADDTL_OVERLAY = 5u << 26,
  DVR_KEY_DIAG_MENU = 6u << 26,
  DVR_KEY_OVERLAY_MENU = 7u << 26,
  DVR_KEY_TEXT_CHANGED = 8u << 26,
  DVR_KEY_OVERLAY_POSITION = 9u << 26,
  DVR_KEY_MOUSE_EVENT = 10u << 26,
  DVR_KEY_RECORD_TOGGLE = 11u << 26,
  DVR_KEY_ENCODER_DISTANCE = 12u << 26,
  DVR_KEY_PLAY_FILE = 13u << 26,
  DVR_KEY_VIEW_SNAPSHOT = 14u << 26,
  DVR_KEY_CTRL_DELETE = 15u << 26,
  DVR_KEY_FIRMWARE_UPDATE = 16u << 26,
};

// What menus and dialogs test a key against.
enum : DvrKey {
  DVR_MASK_SELECT = DVR_KEY_MENU_OK | DVR_KEY_FF_OK,
  DVR_MASK_BACK = DVR_KEY_ESCAPE,
  DVR_MASK_UP = DVR_KEY_UP | DVR_KEY_UP_UNMUTE_REW | DVR_KEY_UP_SNAPSHOT,
  DVR_MASK_DOWN = DVR_KEY_DOWN | DVR_KEY_DOWN_MUTE_FF,
};

enum { DVR_MESSAGE_MAX = 128 };   // a longer custom message is cut
enum { GUI_EVENT_NONE = -1, GUI_EVENT_CUSTOM = -2 };

struct KeyMailbox {
  pthread_mutex_t key_mailbox_mutex;   // a leaf lock
  pthread_cond_t key_mailbox_cond;     // CLOCK_MONOTONIC; signalled by every post
  DvrKey key_word;                     // 0: none; a post overwrites it
  // -1 none, -2 the custom message, 0 to 7 a storage event
  // (device | event << 1).
  int32_t gui_event_word;
  char gui_message[DVR_MESSAGE_MAX];   // the custom text, copied
};
extern KeyMailbox key_mailbox;

// What the mailbox asks of the menu thread's drawing and of the subsystems
// around it. NULL entries are skipped (nothing drawn; not recording; the
// built-in English texts).
struct DvrKeyHooks {
  int (*recording)(void);            // NULL: the recording stream is running
  int (*recording_paused)(void);
  int (*screen_width)(void);         // NULL: 640
  int (*text_width)(const char *text);   // pixels in the message font
  void (*draw_label)(int x, int y, const char *text);
  void (*erase_message)(void);
  void (*flush)(void);
  void (*draw_time_status)(void);
  const char *(*lang_text)(int index);
  void (*status_update)(uint32_t value, uint32_t mask, const char *reason);
  // Tests: answers each wait that finds the mailbox empty, when it gives a key.
  DvrKey (*feed_key)(void);
};
extern DvrKeyHooks dvr_key_hooks;

enum { DVR_STATUS_STORAGE_ATTACHED = 0x10 };   // the status word's "storage attached"

// Any thread. Posting 0 only wakes the consumer: an unread key stays.
void dvr_post_key(DvrKey key);
// Any thread; the text is copied.
void dvr_post_message(const char *text);
// device 0 internal, 1 external; event 0 inserted, 1 removed, 2 storage
// error, 3 USB stall. Anything else is logged and dropped.
void filesys_event(int device, int event);

struct GuiContext;
// The one consumer: the key taken, or 0 when seconds pass without one (0
// seconds: the pending key or 0 at once), or at once while quitting. Shows
// and expires the status message and refreshes the recording clock.
DvrKey dvr_wait_key(GuiContext *ctx, uint32_t seconds);

// Empties the mailbox and forgets the consumer's state (status message,
// first internal insert, key script), as at start.
void key_mailbox_reset(void);

// Replays a script of timed keys: lines "seconds microseconds key", times
// counted from now. Replaced by the first real key. 0, or -1 when it cannot
// be opened.
int dvr_key_script_open(const char *path);

// Points the storage manager, the KeyPress action and the display's status
// text at the mailbox.
void dvr_keys_install_hooks(void);
