/* A library that breaks its interface list on purpose, to show that the
 * interface check refuses it: one unlisted function, one linker-made entry
 * (__etext, referenced hidden), and a listed name that is not defined. */
extern const char __etext[] __attribute__((visibility("hidden")));

__attribute__((visibility("default"))) int kivo_probe_listed(void) { return 1; }
__attribute__((visibility("default"))) const void *kivo_probe_extra(void) { return __etext; }
