// libFuzzer target: one GTF line, as the reader cuts it up in place, and its attribute lookups.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "features/GtfLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    GTFLine parsed;
    if (!parseGtfLine(parsed, line.data()))
        return 0;
    // A line with good coordinates has them in range; a bad one is marked for refusal.
    if (!parsed.badCoordinate &&
        (parsed.start < 1 || parsed.end < 1 || parsed.start > MAX_GTF_COORDINATE ||
         parsed.end > MAX_GTF_COORDINATE))
        std::abort();
    for (const char* name : {"gene_name", "gene_id", "gene_type", "g"}) {
        std::string_view value = getAttributeView(parsed, name);
        if (!value.empty() &&
            (value.data() < line.data() || value.data() + value.size() > line.data() + line.size()))
            std::abort();
    }
    return 0;
}
