/* keepLibraries — linked into sanitizer builds only. A no-op dlclose, so
 * that libraries loaded at run time (the GL driver behind GLFW, OpenAL
 * Soft's backends) stay mapped until the process ends. LeakSanitizer can then
 * name the library that leaked and tests/lsan.supp can suppress leaks that are
 * the driver's, not ours; after a real dlclose they show as "<unknown module>"
 * and could not be told apart from our own. */
int dlclose(void* handle) {
  (void)handle;
  return 0;
}
