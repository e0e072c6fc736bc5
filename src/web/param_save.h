// The deferred save: forms ask for the parameter block to be written to
// flash, and a thread of its own writes it a little later, so that a burst
// of forms costs one flash write and no reply waits for the flash.
#pragma once

// Starts paramSaveThrFxn; 0, or -1 when the thread cannot be created.
int param_save_start(void);
// Asks the thread to end (saving a request still pending) and joins it.
void param_save_stop(void);
// Asks for a save (1 s from now, 10 s when saves are being merged).
void param_save_request(void);
// Saves done, and saves asked for, since start (tests).
unsigned param_save_count(void);
unsigned param_save_requests(void);
void *paramSaveThrFxn(void *arg);
