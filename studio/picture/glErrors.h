// glErrors.h — the GL errors of this thread's context, counted by the
// driver's debug output as they happen. A run draws with its own context on
// its own thread, so what it counts is its own: another run's errors in the
// same process (two jobs, a test beside a test) never fail it, where the
// checked calls' count (glErrorsReported) is the whole process's.
//
// Threading: the count is the calling thread's; countGLErrors with the
// context current on that thread.
#pragma once

// Has the current context report its errors to this thread's count, as
// they happen. False when the driver has no debug output: the thread then
// counts the process's reported errors instead.
bool countGLErrors();

// The errors counted on this thread since it began (see above).
unsigned long glErrorsOnThisThread();
