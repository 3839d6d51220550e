/* countOpens — preloaded by a test to count how often a run opens a file:
 * each successful open of a path ending in $VRAX_COUNT_NAME appends one
 * line to $VRAX_COUNT_FILE. Every entry the C library and its fortified
 * callers use is covered, so a reader cannot open the file unseen. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenAtFn)(int, const char*, int, ...);

static OpenFn realOpen(void) {
  static OpenFn real;
  if (real == NULL) {
    real = (OpenFn)dlsym(RTLD_NEXT, "open");
  }
  return real;
}

static void note(const char* path, int fd) {
  const char* name = getenv("VRAX_COUNT_NAME");
  const char* file = getenv("VRAX_COUNT_FILE");
  if (fd < 0 || path == NULL || name == NULL || file == NULL) {
    return;
  }
  const size_t length = strlen(path);
  const size_t wanted = strlen(name);
  if (length < wanted || strcmp(path + length - wanted, name) != 0) {
    return;
  }
  const int out = realOpen()(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out >= 0) {
    (void)!write(out, "open\n", 5);
    close(out);
  }
}

static mode_t modeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(args, int) : 0;
}

#define COUNTED_OPEN(name)                                       \
  int name(const char* path, int flags, ...) {                   \
    va_list args;                                                \
    va_start(args, flags);                                       \
    const mode_t mode = modeOf(flags, args);                     \
    va_end(args);                                                \
    static OpenFn real;                                          \
    if (real == NULL) {                                          \
      real = (OpenFn)dlsym(RTLD_NEXT, #name);                    \
    }                                                            \
    const int fd = real(path, flags, mode);                      \
    note(path, fd);                                              \
    return fd;                                                   \
  }

#define COUNTED_OPENAT(name)                                     \
  int name(int dir, const char* path, int flags, ...) {          \
    va_list args;                                                \
    va_start(args, flags);                                       \
    const mode_t mode = modeOf(flags, args);                     \
    va_end(args);                                                \
    static OpenAtFn real;                                        \
    if (real == NULL) {                                          \
      real = (OpenAtFn)dlsym(RTLD_NEXT, #name);                  \
    }                                                            \
    const int fd = real(dir, path, flags, mode);                 \
    note(path, fd);                                              \
    return fd;                                                   \
  }

COUNTED_OPEN(open)
COUNTED_OPEN(open64)
COUNTED_OPENAT(openat)
COUNTED_OPENAT(openat64)

int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }
