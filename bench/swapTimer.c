/* swapTimer — an LD_PRELOAD shim for measuring the unchanged program: it
 * notes the monotonic time of every glfwSwapBuffers call and, when the
 * process exits, writes them (nanoseconds, one per line) to the file named
 * by SWAP_TIMES_FILE. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define MAX_SWAPS 200000

static int64_t times[MAX_SWAPS];
static long count;

typedef void (*swap_fn)(void*);

void glfwSwapBuffers(void* window) {
  static swap_fn real;
  if (!real) {
    real = (swap_fn)dlsym(RTLD_NEXT, "glfwSwapBuffers");
  }
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (count < MAX_SWAPS) {
    times[count++] = (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
  }
  real(window);
}

__attribute__((destructor)) static void writeTimes(void) {
  const char* path = getenv("SWAP_TIMES_FILE");
  FILE* out;
  long i;
  if (!path || !(out = fopen(path, "w"))) {
    return;
  }
  for (i = 0; i < count; ++i) {
    fprintf(out, "%lld\n", (long long)times[i]);
  }
  fclose(out);
}
