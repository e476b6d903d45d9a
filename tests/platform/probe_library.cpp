// A tiny library for the library-loading tests.
extern "C" __attribute__((visibility("default"))) int PlatProbeAnswer() { return 42; }
