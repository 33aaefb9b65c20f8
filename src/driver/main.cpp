// Entry point of ambrel: the alignment-analysis step between the aligner and the counting steps.
#include <cstdlib>
#include <exception>
#include <unistd.h>

#include "Run.h"
#include "support/Logger.h"

namespace {

// The gene model and the annotation workers allocate hundreds of megabytes in small pieces. On
// transparent huge pages that memory costs far fewer page faults and TLB misses (the GTF load
// takes about a third less time), but glibc reads its allocator settings only when a process
// starts, and kernels in "madvise" mode give huge pages only to memory that asks for them. So the
// first start sets the allocator tunables and replaces itself, once, with the same program and
// arguments (same process id, same open files). A GLIBC_TUNABLES already set, even empty, is the
// user's choice and is left as it is; the commands the run starts inherit the setting.
const char* const HEAP_TUNABLES =
    "glibc.malloc.hugetlb=1:glibc.malloc.trim_threshold=1073741824:glibc.malloc.top_pad=67108864";

void __restart_with_heap_tunables(char** argv) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (std::getenv("GLIBC_TUNABLES"))
        return;
    if (setenv("GLIBC_TUNABLES", HEAP_TUNABLES, 1) != 0)
        return;
    execv("/proc/self/exe", argv);
    unsetenv("GLIBC_TUNABLES"); // no restart possible: run with the default allocator
#else
    (void)argv; // the sanitizers bring their own allocator
#endif
}

} // namespace

int main(int argc, char** argv) {
    __restart_with_heap_tunables(argv);
    try {
        return runAmbrel(argc, argv);
    } catch (const std::exception& e) {
        // Set-up and finishing failures stop the run here; the message must reach the user.
        gLogger.critical("%s", e.what());
        return 2;
    }
}
