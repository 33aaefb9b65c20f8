// The AddressSanitizer hooks of an executable: the leaks of libraries it suppresses, and the slow
// unwinder, which reaches the frames of libraries built without frame pointers (HTSlib) so that
// the suppressions can name them. Nothing outside the sanitizer builds.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define AMBREL_LEAK_SUPPRESSIONS(suppressions)                                                     \
    extern "C" const char* __lsan_default_suppressions() {                                         \
        return suppressions;                                                                       \
    }                                                                                              \
    extern "C" const char* __asan_default_options() {                                              \
        return "fast_unwind_on_malloc=0";                                                          \
    }
#else
#define AMBREL_LEAK_SUPPRESSIONS(suppressions)
#endif
