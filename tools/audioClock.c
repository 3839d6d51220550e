/* audioClock — an LD_PRELOAD shim for recording the unchanged program: it
 * notes the wall-clock time (CLOCK_REALTIME, seconds with nanoseconds) at
 * which the program's OpenAL context came up, which is when OpenAL Soft
 * starts its device. With the wave writer, sample 0 of the recorded file
 * belongs to that moment, and screen grabs carry wall-clock times too, so
 * picture and sound can be lined up. The time goes to the file named by
 * VRAX_AUDIO_CLOCK_FILE. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef void* (*create_fn)(void*, const int*);

void* alcCreateContext(void* device, const int* attributes) {
  static create_fn real;
  void* context;
  struct timespec now;
  const char* path;
  FILE* out;
  if (!real) {
    real = (create_fn)dlsym(RTLD_NEXT, "alcCreateContext");
  }
  context = real(device, attributes);
  clock_gettime(CLOCK_REALTIME, &now);
  path = getenv("VRAX_AUDIO_CLOCK_FILE");
  if (context && path && (out = fopen(path, "w"))) {
    fprintf(out, "%lld.%09ld\n", (long long)now.tv_sec, now.tv_nsec);
    fclose(out);
  }
  return context;
}
