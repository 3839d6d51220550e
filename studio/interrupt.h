// interrupt.h — Ctrl-C and SIGTERM as a request to stop at the next frame.
//
// The first signal only sets a flag that the loops read; a second one ends
// the process at once, as an impatient user expects.
//
// Threading: the flag may be read from any thread.
#pragma once

void catchInterrupts();
bool interrupted();
