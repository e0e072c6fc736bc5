// Listening ports. The program names the board's ports (HTTP 80); a host
// that cannot bind them may move them through the environment.
#pragma once

// The port to listen on for a board port: M7391_HTTP_PORT for 80 (M7391_RTMP_PORT
// for 1935) when set to a number from 1 to 65535, else the board port itself.
int host_listen_port(int board_port);
