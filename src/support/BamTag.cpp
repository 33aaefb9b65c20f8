#include "BamTag.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "SystemError.h"

void replaceStringTag(bam1_t* record, const char* tag, const char* text, size_t length) {
    // HTSlib has logged why it would not update the tag.
    uint8_t* old = bam_aux_get(record, tag);
    if (old && *old != 'Z' && bam_aux_del(record, old) == 0 &&
        bam_aux_update_str(record, tag, static_cast<int>(length + 1), text) == 0)
        return;
    // Out of memory, or tags that do not parse: the worker's runner makes it the run's failure.
    int error = errno;
    throw std::runtime_error(std::string("Cannot set the ") + tag + " tag of read " +
                             bam_get_qname(record) + ": " + errorText(error));
}
