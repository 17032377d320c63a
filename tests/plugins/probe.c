/* A minimal shared library for the loader's tests: one exported symbol with a known answer. */
__attribute__((visibility("default"))) int lumo_probe_answer(void) { return 42; }
