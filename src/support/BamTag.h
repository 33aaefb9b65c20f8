// Reading a record's integer tag and setting its string tags.
#pragma once

#include <cstddef>
#include <string>

#include <htslib/sam.h>

// What setStringTag does when HTSlib will not update the tag: a tag of that name and another type
// (an input's XF:i, say), which the read would keep and read back as feature "", is replaced; a
// record that cannot take the tag throws std::runtime_error naming the read.
void replaceStringTag(bam1_t* record, const char* tag, const char* text, size_t length);

// Sets or replaces the string tag; length excludes the terminating zero, which text must have.
inline void setStringTag(bam1_t* record, const char* tag, const char* text, size_t length) {
    if (bam_aux_update_str(record, tag, static_cast<int>(length + 1), text) != 0)
        replaceStringTag(record, tag, text, length);
}

inline void setStringTag(bam1_t* record, const char* tag, const std::string& text) {
    setStringTag(record, tag, text.c_str(), text.size());
}

// The integer value of the tag, or fallback when the record has no integer tag of that name.
inline long getIntegerTag(const bam1_t* record, const char* tag, long fallback) {
    const uint8_t* data = bam_aux_get(record, tag);
    if (!data)
        return fallback;
    switch (*data) {
    case 'c':
    case 'C':
    case 's':
    case 'S':
    case 'i':
    case 'I':
        return static_cast<long>(bam_aux2i(data));
    default:
        return fallback;
    }
}
