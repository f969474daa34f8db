// Built into every program of a sanitizer build (NORVA_SANITIZE) and nowhere else.

// The runtime's tracking of dynamic TLS (the thread-local variables of the network module and
// the libraries it loads) sometimes records a block with a wild address, and the leak check at
// exit then crashes reading it ("Tracer caught signal 11"). Leaks are still found without it;
// only thread-local variables of loaded libraries no longer count as holding memory.
extern "C" const char* __asan_default_options() {
    return "intercept_tls_get_addr=0";
}

// LeakSanitizer reports what a library still holds when the process ends; c-ares, which gRPC's
// resolver uses, keeps a few bytes of its channel there. Not ours to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libcares.so\n";
}
