// Network set-up after a change of the network settings. The host build
// leaves the machine's interfaces alone; what it does is the program's own
// part: the UDP log follows LogUDPAddr.
#pragma once
struct ParamBlock;
void init_network(ParamBlock *block);
