// interrupt.h — Ctrl-C, SIGTERM and SIGHUP, and what they mean at each stage.
//
// Until a command says it can stop on its own (stopLoopsOnSignal), a signal
// ends the process at once with status 130, whatever the driver is doing:
// nothing is written yet, and a shader compile or a sound probe cannot be
// asked to hurry. Commands say so only once their first frame is drawn and
// finished, since a software driver compiles at the first draw. From then on
// the first signal only sets a flag that the loops read (and says at once
// that the run stops after the current frame), so a render still completes
// the file it has. A second signal ends the process at once, after
// removing the hidden file registered with guardFile, so no half-written
// file is ever left. SIGPIPE is ignored: a closed stderr must not end a render.
//
// Threading: catchInterrupts and the stage calls on the main thread; the
// flag may be read from any thread, and the handler may run on any thread.
#pragma once

void catchInterrupts();
// From now on the first signal asks the loops to stop.
void stopLoopsOnSignal();
// The hidden file to remove if a second signal ends the process ("" for none).
void guardFile(const char* path);
bool interrupted();
