// Default runtime options of the sanitized test executables (TESSARIX_SANITIZE), so that
// ctest and a test binary started by hand check the same things. ASAN_OPTIONS, LSAN_OPTIONS
// and UBSAN_OPTIONS in the environment still override any of them.
//
// No leak is suppressed. The worker pool, never freed by design, stays reachable: from
// g_pool, and through the start records of its workers, which the runtime keeps as roots
// while the threads run. That holds in a forked child too, where the inherited workers are
// still registered as running, so the pool a child abandons is not reported either (checked
// with a child that leaves through exit(); the fork tests leave through _exit(), which skips
// the check). Should a runtime ever report them, exempt the pool's allocations where
// shared_pool() makes them (__lsan::ScopedDisabler) rather than suppress by name.

#define TESSARIX_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))

TESSARIX_SANITIZER_HOOK const char* __asan_default_options() {
  return "detect_leaks=1"                     // at the exit of every test process
         ":detect_stack_use_after_return=1"   // pointers into a frame that has returned
         ":check_initialization_order=1"      // static initialisers reading another file's
         ":strict_init_order=1"
         ":strict_string_checks=1";
}

TESSARIX_SANITIZER_HOOK const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}
