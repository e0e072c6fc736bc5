// Persistence of the parameter block in the slot ring of the raw flash.
#pragma once
#include <cstdint>
#include "core/param_block.h"

#define PARAM_SLOT_SIZE   0x2000u
#define PARAM_SLOT_WRITE  0x1FC0u    // bytes programmed by a save
#define PARAM_SLOT_COUNT  32
#define PARAM_HALF_SIZE   0x20000u   // one erase block, 16 slots

// Start-up: defaults, then the newest valid slot, validation, default MAC.
// Makes block the live block. 0, or the loader's result.
int init_param(ParamBlock *block);
// Loads the newest valid slot into block (converting older layouts);
// 0, or -1 when no slot is valid (block untouched).
int get_cur_param_block(ParamBlock *block);
// Writes block into the next slot when it changed since it was loaded or
// saved; 0 or a negative flash error.
int save_param_block(ParamBlock *block);
// Saves the live block, then applies the pending changes.
void save_and_apply_params(void);

// The defaults into the live block, checked. Neither saves nor sets by
// name: a caller may hold the write lock (param_write_begin) around them.
void param_load_defaults(void);
void param_load_defaults_keep_network(void);
void param_set_default_mac(void);
// Checks every stored row of the live block against the table and repairs
// what is out of range (logged), then the cross-field rules.
void param_validate(void);
