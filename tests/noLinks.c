/* noLinks — preloaded by a test to stand for a file system without hard
 * links (FAT, some network shares): every link() fails as it does there. */
#include <errno.h>
#include <unistd.h>

int link(const char* from, const char* to) {
  (void)from;
  (void)to;
  errno = EPERM;
  return -1;
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  (void)fromDir;
  (void)from;
  (void)toDir;
  (void)to;
  (void)flags;
  errno = EPERM;
  return -1;
}
