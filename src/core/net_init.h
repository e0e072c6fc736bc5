// Network set-up after a change of the network settings. The host build
// leaves the machine's interfaces alone; what it does is the program's own
// part: the UDP log follows LogUDPAddr.
#pragma once
#include <cstdint>
struct ParamBlock;
void init_network(ParamBlock *block);

// Sets the UDP log up on a detached thread of its own: its reachability
// check may take 10 s, which start-up does not wait for.
void start_log_udp(uint32_t addr_be);
