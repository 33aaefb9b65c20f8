// Entry point of ambrel: the alignment-analysis step between the aligner and the counting steps.
#include <cstdio>
#include <cstring>
#include <exception>

#include <htslib/hts.h>

#include "Run.h"
#include "support/LeakSuppressions.h"
#include "support/Logger.h"

#if defined(AMBREL_JEMALLOC)
// The gene model and the annotation workers allocate hundreds of megabytes in small pieces. On
// transparent huge pages that memory costs far fewer page faults and TLB misses (the GTF load
// takes about a fifth less time), and kernels in "madvise" mode give huge pages only to memory
// that asks for them: jemalloc, linked in, asks for its extents and its metadata, with this
// setting that it reads when the process starts.
extern "C" {
const char* malloc_conf = "thp:always,metadata_thp:always";
}
#endif

// HTSlib 1.16's bgzf_close returns on a failed flush (a full disk) without freeing the BGZF, its
// blocks and its hFILE; hts_close still frees the htsFile around them, so a close we forget shows
// as a leak of the htsFile.
AMBREL_LEAK_SUPPRESSIONS("leak:bgzf_hopen\nleak:hfile_init\n")

int main(int argc, char** argv) {
    // Workflow managers record tool versions this way; no run, no log.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("ambrel %s (HTSlib %s)\n", AMBREL_VERSION, hts_version());
            return 0;
        }
    try {
        return runAmbrel(argc, argv);
    } catch (const std::exception& e) {
        // Set-up and finishing failures stop the run here; the message must reach the user.
        gLogger.critical("%s", e.what());
        return 2;
    }
}
