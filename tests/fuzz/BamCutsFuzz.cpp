// libFuzzer target: recognising a BAM record start in decompressed bytes, as the cut search does in
// the blocks near each share of a file.
#include <cstdint>
#include <cstdlib>

#include <htslib/sam.h>

#include "driver/BamCuts.h"

namespace {

// The demo's references, so that seeds made from its records hold places that fit them.
const sam_hdr_t* header() {
    static sam_hdr_t* made = [] {
        const char text[] = "@SQ\tSN:chrD\tLN:80000\n@SQ\tSN:phiX174\tLN:5386\n"
                            "@SQ\tSN:CD4\tLN:200\n@SQ\tSN:CD19\tLN:200\n"
                            "@SQ\tSN:SampleTag01\tLN:200\n@SQ\tSN:SampleTag02\tLN:200\n"
                            "@SQ\tSN:STARReferenceCPadding\tLN:500\n";
        return sam_hdr_parse(sizeof text - 1, text);
    }();
    return made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // Any place may be asked about; the answer reads nothing outside the data.
    isBamRecordAt(data, size, data[0] % size, header());
    for (bool atEnd : {false, true}) {
        size_t found = findBamRecordStart(data, size, atEnd, header(), 2);
        // What the search finds is a record start.
        if (found > size || (found < size && !isBamRecordAt(data, size, found, header())))
            std::abort();
    }
    return 0;
}
