#include "BamTag.h"

#include <cerrno>
#include <cstring>

#include "EarlyTerminate.h"
#include "SystemError.h"

void replaceStringTag(bam1_t* record, const char* tag, const char* text, size_t length) {
    // HTSlib has logged why it would not update the tag.
    uint8_t* old = bam_aux_get(record, tag);
    if (old && *old != 'Z' && bam_aux_del(record, old) == 0 &&
        bam_aux_update_str(record, tag, static_cast<int>(length + 1), text) == 0)
        return;
    int error = errno;
    TERMINATE_STATE.fail(std::string("Cannot set the ") + tag + " tag of read " +
                         bam_get_qname(record) + ": " + errorText(error));
}
