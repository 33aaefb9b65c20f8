// Setting a record's string tag: one place for the length convention HTSlib wants.
#pragma once

#include <cstddef>
#include <string>

#include <htslib/sam.h>

// Sets or replaces the string tag; length excludes the terminating zero, which text must have.
inline void setStringTag(bam1_t* record, const char* tag, const char* text, size_t length) {
    bam_aux_update_str(record, tag, static_cast<int>(length + 1), text);
}

inline void setStringTag(bam1_t* record, const char* tag, const std::string& text) {
    setStringTag(record, tag, text.c_str(), text.size());
}
