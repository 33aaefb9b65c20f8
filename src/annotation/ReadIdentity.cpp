#include "ReadIdentity.h"

#include <cstring>

#include "support/EarlyTerminate.h"
#include "support/Logger.h"

void getCellIndexAndUMIFromQName(std::string& cellIndex, std::string& umi, const bam1_t* record,
                                 EarlyTerminate& failures) {
    cellIndex.clear();
    umi.clear();
    if (!record) {
        gLogger.error("BAM record is a null pointer, ignore.");
        return;
    }
    if (record->core.l_qname == 0 || !bam_get_qname(record)) {
        failures.fail("There is no QName in a BAM alignment record.");
        return;
    }
    const char* name = bam_get_qname(record);
    size_t length = std::strlen(name);
    const char* last = static_cast<const char*>(memrchr(name, ';', length));
    if (!last) {
        failures.fail(std::string("No semicolons present in QName: ") + name +
                      ". Cannot parse Cell Label and UMI information !");
        return;
    }
    const char* secondLast = static_cast<const char*>(memrchr(name, ';', last - name));
    if (!secondLast) {
        failures.fail(std::string("Only 1 semicolon present in QName: ") + name +
                      ". Cannot parse Cell Label and UMI information !");
        return;
    }
    cellIndex.assign(secondLast + 1, last);
    umi.assign(last + 1, name + length);
}

bool stripCellAndUMIFromQName(bam1_t* record) {
    const char* name = bam_get_qname(record);
    size_t length = std::strlen(name);
    const char* last = static_cast<const char*>(memrchr(name, ';', length));
    if (!last)
        return true;
    const char* secondLast = static_cast<const char*>(memrchr(name, ';', last - name));
    if (!secondLast)
        return true;
    // bam_set_qname copies from its argument into the record's own storage: copy the kept part.
    char kept[256];
    size_t keep = static_cast<size_t>(secondLast - name);
    std::memcpy(kept, name, keep);
    kept[keep] = '\0';
    return bam_set_qname(record, kept) == 0;
}
