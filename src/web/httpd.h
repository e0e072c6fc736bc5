// The web server: the "httpd" thread that owns the HTTP daemon.
#pragma once
#include <cstdint>

// Thread "httpd"; env is its ThreadEnv (params: the live ParamBlock, or NULL
// for the store's live block).
void *httpdThrFxn(void *env);

// The daemon alone (tests): 0, or -1 when it cannot listen on port (0 picks
// a free port; web_daemon_port tells which).
int web_daemon_start(int port);
void web_daemon_stop(void);
int web_daemon_port(void);
