// Suspended GET requests: a handler whose answer waits on media asks
// web_may_wait, and when it may, returns web_suspend(req); the library calls
// the handler again once web_wake_waiters runs.
#pragma once
#include <cstdint>
#include "web/web_request.h"

// True while the request may still wait: less than max_ms since the first
// call of its handler (counted from that call). data, when given, points at
// a number kept for the handler across its calls (0 at the first). False
// without a connection, when too many requests wait already, or while the
// server stops; the handler then answers with what it has.
bool web_may_wait(WebRequest *req, uint32_t max_ms, int **data = nullptr);
// Suspends the request's connection; its handler runs again when woken.
// Returns WEB_QUEUED (nothing more to do on this call).
int web_suspend(WebRequest *req);
// The request was answered or its connection ended: its wait is forgotten.
void web_wait_done(MHD_Connection *connection);
// Wakes every suspended request (any thread).
void web_wake_waiters(void);
// While stopping nothing may wait, and everything waiting is woken: the
// library may not be stopped with suspended connections.
void web_wait_stop(int stop);
