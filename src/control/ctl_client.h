// Client channels to the local control service (UDP 127.0.0.1:12200): one
// socket for requests and replies, one for notifications.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>

#include "control/ctl_packet.h"

#define CTL_SERVICE_PORT 12200
#define CTL_WAIT_FOREVER 0xFFFFFFFFu

struct CtlSocket {
  int fd;                   // -1 when closed
  pthread_mutex_t *mutex;   // held by the one thread reading the socket
  uint32_t reserved[2];
  volatile uint32_t closing;  // set while the socket is being closed
  sem_t *semaphore;         // posted by the reader that notices closing
  volatile uint32_t valid;  // 1 while usable
  uint16_t local_port;      // network order
};

struct CtlChannel {
  CtlSocket command;
  CtlSocket event;
  pthread_mutex_t *lock;    // one transaction at a time
  uint32_t timeout_ms;      // CTL_WAIT_FOREVER: no limit
  struct sockaddr_in peer;
  uint8_t unit;             // 0: any ports; N: 12200 + 2N and the next
  uint8_t subscribed;       // 1 while this channel holds a subscriber slot
  uint8_t subscribed_slot;  // that slot
};

int ctl_init(void);
int ctl_exit(void);
// address NULL means 127.0.0.1. *out is the channel, or NULL on failure.
CtlStatus ctl_open(uint8_t unit, uint16_t port, const char *address, uint32_t timeout_ms,
                   CtlChannel **out);
// Clears the subscriber slot this channel subscribed (only that one: a
// channel that never subscribed leaves every slot alone), then closes.
CtlStatus ctl_close(CtlChannel *ch);
// Sends the request half and receives the reply half; the reply's status or
// a transport error, also left in the reply's error byte.
CtlStatus ctl_transact(CtlChannel *ch, CtlExchange *ex);
// One frame of 4 bytes or more into p->frame (*len its size), from anyone
// when from is NULL, else only from that address. Short datagrams and
// strangers' do not extend the deadline.
CtlStatus ctl_receive(CtlSocket *s, CtlPacket *p, size_t *len, const struct sockaddr_in *from,
                      uint32_t timeout_ms);

// Request stubs: each packs its request, runs one transaction and, when the
// reply's status is 0, stores the reply fields in its out parameters. The
// result is the reply's status or a transport error. Strings come back into
// a caller buffer of the given size (166 when it does not fit).
CtlStatus ctl_get_version(CtlChannel *ch, uint32_t *version);
CtlStatus ctl_get_identity(CtlChannel *ch, uint32_t *kind, char *name, size_t size);
CtlStatus ctl_get_status(CtlChannel *ch, uint32_t *word);
CtlStatus ctl_subscribe(CtlChannel *ch, uint8_t unit, uint32_t mask);
CtlStatus ctl_set_display_mode(CtlChannel *ch, uint8_t mode);
CtlStatus ctl_get_display_mode(CtlChannel *ch, uint8_t *mode);
CtlStatus ctl_set_time(CtlChannel *ch, uint32_t seconds);
CtlStatus ctl_get_time(CtlChannel *ch, uint32_t *seconds);
CtlStatus ctl_record_start(CtlChannel *ch, uint8_t storage, uint8_t mode, uint16_t kbits, char *name,
                           size_t size);
CtlStatus ctl_record_stop(CtlChannel *ch);
CtlStatus ctl_record_pause(CtlChannel *ch);
CtlStatus ctl_record_resume(CtlChannel *ch);
CtlStatus ctl_play_seek(CtlChannel *ch, int16_t seconds);
CtlStatus ctl_play_file(CtlChannel *ch, uint8_t storage, const char *name);
// The second form: an extra byte before the name.
CtlStatus ctl_play_file_ex(CtlChannel *ch, uint8_t storage, uint8_t extra, const char *name);
CtlStatus ctl_play_stop(CtlChannel *ch);
CtlStatus ctl_play_pause(CtlChannel *ch);
CtlStatus ctl_play_resume(CtlChannel *ch);
CtlStatus ctl_play_trick(CtlChannel *ch, uint8_t mode);
CtlStatus ctl_get_trick(CtlChannel *ch, uint8_t *mode);
CtlStatus ctl_snapshot_take(CtlChannel *ch, uint8_t storage, uint8_t quality, char *name, size_t size);
CtlStatus ctl_file_count(CtlChannel *ch, uint8_t storage, uint32_t *count);
CtlStatus ctl_file_name(CtlChannel *ch, uint8_t storage, uint32_t index, char *name, size_t size);
CtlStatus ctl_file_delete(CtlChannel *ch, uint8_t storage, const char *name);
CtlStatus ctl_file_rename(CtlChannel *ch, uint8_t storage, const char *from, const char *to);
CtlStatus ctl_set_osd_text(CtlChannel *ch, uint8_t line, const char *text);
CtlStatus ctl_set_osd_position(CtlChannel *ch, uint8_t line, uint16_t y, uint16_t x);
CtlStatus ctl_set_osd_enable(CtlChannel *ch, uint8_t line, uint8_t font);
CtlStatus ctl_set_osd_background(CtlChannel *ch, uint8_t line, uint8_t background);
// A date format above 13 gives 2 without sending.
CtlStatus ctl_set_osd_datetime_format(CtlChannel *ch, uint8_t date, uint8_t time);
CtlStatus ctl_get_osd_datetime_format(CtlChannel *ch, uint8_t *date, uint8_t *time);
CtlStatus ctl_get_osd(CtlChannel *ch, uint8_t line, uint8_t *font, uint8_t *background, uint16_t *y,
                      uint16_t *x);
CtlStatus ctl_image_alloc(CtlChannel *ch, uint8_t slot, uint16_t size);
CtlStatus ctl_image_chunk(CtlChannel *ch, uint8_t slot, uint16_t offset, const void *data, size_t count);
CtlStatus ctl_image_commit(CtlChannel *ch, uint8_t slot, uint8_t channel);
// The whole image: alloc, pieces of at most 240 bytes, commit; stops at the
// first failure. size 1 to 65535, else 2.
CtlStatus ctl_send_image(CtlChannel *ch, uint8_t slot, uint8_t channel, const void *data, size_t size);
CtlStatus ctl_set_capture_adjust(CtlChannel *ch, uint8_t item, uint8_t value);
CtlStatus ctl_get_capture_adjust(CtlChannel *ch, uint8_t item, uint8_t *value);
CtlStatus ctl_set_capture_mode(CtlChannel *ch, uint8_t standard, uint8_t interpolate, uint8_t rate);
CtlStatus ctl_get_capture_mode(CtlChannel *ch, uint8_t *standard, uint8_t *interpolate, uint8_t *rate);
CtlStatus ctl_set_audio_input(CtlChannel *ch, uint8_t input);
CtlStatus ctl_set_volume(CtlChannel *ch, uint8_t channels, uint8_t volume);
CtlStatus ctl_set_mute(CtlChannel *ch, uint8_t channels, uint8_t on);
CtlStatus ctl_set_agc(CtlChannel *ch, uint8_t channels, uint8_t on);
CtlStatus ctl_get_audio(CtlChannel *ch, uint8_t values[7]);
CtlStatus ctl_set_encoder_count(CtlChannel *ch, uint8_t channel, uint32_t count);
CtlStatus ctl_get_encoder_count(CtlChannel *ch, uint8_t channel, uint32_t *count);
CtlStatus ctl_set_encoder_scalar(CtlChannel *ch, uint8_t channel, double scale);
CtlStatus ctl_set_offboard_encoder(CtlChannel *ch, uint8_t channel, uint8_t on);
CtlStatus ctl_get_encoder_scalar(CtlChannel *ch, uint8_t channel, double *scale, uint8_t *offboard);

// One notification on the event socket within timeout_ms: a status change
// gives the word, the changed bits and the reason (into a buffer of size
// bytes). 164 for another kind, 168 for another type.
CtlStatus ctl_wait_event(CtlChannel *ch, uint32_t timeout_ms, uint32_t *word, uint32_t *changed,
                         char *reason, size_t size);
