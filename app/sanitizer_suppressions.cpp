// Built into every program of a sanitizer build (NORVA_SANITIZE) and nowhere else.
// LeakSanitizer reports what a library still holds when the process ends; c-ares, which gRPC's
// resolver uses, keeps a few bytes of its channel there. Not ours to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libcares.so\n";
}
