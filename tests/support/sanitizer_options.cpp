// Sanitizer settings built into every test program, so that a test run by hand behaves as in
// CI: every report is fatal, leaks included, and only system libraries are suppressed.
#ifndef TEV_SOURCE_DIR
#define TEV_SOURCE_DIR "."
#endif

extern "C" {

const char* __asan_default_options() {
    return "detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:"
           "check_initialization_order=1";
}

const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

const char* __lsan_default_options() {
    return "suppressions=" TEV_SOURCE_DIR "/tests/sanitizer/lsan.supp:print_suppressions=0";
}

const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1:suppressions=" TEV_SOURCE_DIR
           "/tests/sanitizer/tsan.supp";
}
}
