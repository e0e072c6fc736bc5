// The media rows of the URL table: progressive HTTP streams, JPEG and
// motion-JPEG, and HTTP Live Streaming.
#pragma once
#include <cstdint>
#include <sys/types.h>
#include "web/templates.h"

int get_stream_func(WebRequest *req);
int get_mjpeg_func(WebRequest *req);
void hls_playlist(PageBuffer *page);
void hls_segment(PageBuffer *page);

// A stream whose producer gives nothing for this long ends (and a single
// picture is given up).
enum { HTTP_UNIT_WAIT_MS = 3000 };
// Nominal unit durations the muxers of these consumers start from: video at
// 30 frames/s, 1024-sample AAC frames at 48 kHz (90 kHz ticks).
enum { HTTP_VIDEO_DURATION = 3000, HTTP_AUDIO_DURATION = 1920 };

// One streaming response: a consumer of the stream layer whose units the
// library pulls through stream_reader_callback.
struct HttpStreamState;

// Attaches a consumer of stream id in mode; NULL when the stream cannot be
// had. multipart: each picture goes out as a part of a multipart reply.
HttpStreamState *stream_attach_for_http(uint32_t id, uint8_t mode, const char *content_type,
                                        uint32_t multipart);
// The library's content reader: bytes written into buf, -1 at the end of the
// stream, -ENOENT when the stream failed (the connection is closed). Waits
// at most 3 s for a unit.
ssize_t stream_reader_callback(void *state, uint64_t position, char *buf, size_t size);
// The library's free callback: detaches the consumer and frees the state.
void chunked_free_callback(void *state);
// The reply of a connection: from here on the reader never waits. With
// nothing to send it suspends the connection, which the stream's producer
// resumes with its next unit (or http_stream_tick once it gives up).
void http_stream_set_connection(HttpStreamState *state, struct MHD_Connection *connection);
// A connection's request ended: a picture it waited for is given up.
void http_stream_request_done(struct MHD_Connection *connection);
// Resumes the replies that wait past their time (httpd thread).
void http_stream_tick(void);
// While stopping every reply ends at its next call, and the waiting ones are
// resumed to make that call.
void http_stream_stop(int stop);
// The replies with a connection that have not ended yet.
int http_stream_open(void);
// For tests: called by a reply on the library's thread just before it decides
// to suspend its connection (NULL: nothing).
extern void (*http_stream_suspend_hook)(void);

// The HLS segmenter of one letter's context (a HlsContext).
void *hls_thread(void *context);
