// libFuzzer target: the cell index and UMI read from a read name, and the name stripped of them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <htslib/sam.h>

#include "annotation/ReadIdentity.h"
#include "support/EarlyTerminate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    if (name.empty() || name.size() > 250 || name.find('\0') != std::string::npos)
        return 0; // not a BAM read name
    bam1_t* record = bam_init1();
    if (bam_set1(record, name.size(), name.c_str(), 4, -1, -1, 0, 0, nullptr, -1, -1, 0, 0, nullptr,
                 nullptr, 0) < 0) {
        bam_destroy1(record);
        return 0;
    }
    std::string cell, umi;
    EarlyTerminate failures;
    getCellIndexAndUMIFromQName(cell, umi, record, failures);
    // What the name holds after its last two ';' is the cell index and the UMI.
    if (!failures.failed() && name.size() < cell.size() + umi.size() + 2)
        std::abort();
    // Stripped or not, the name never grows.
    if (stripCellAndUMIFromQName(record) && std::string(bam_get_qname(record)).size() > name.size())
        std::abort();
    bam_destroy1(record);
    return 0;
}
