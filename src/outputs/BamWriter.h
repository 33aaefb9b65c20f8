// An annotated BAM file written by the worker that annotates its reads: records encoded as HTSlib
// encodes them, in BGZF blocks deflated by igzip. HTSlib's writer deflates with libdeflate at
// level 1, which was a third of the annotation's time; igzip does the same work in 40 % of that.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <htslib/sam.h>

#include "support/FastDeflate.h"

// A record as BAM stores it, in three pieces: the fixed fields (its block size first), the name
// without the padding NULs HTSlib keeps in memory (with its NUL), then the rest of its data as it
// is (CIGAR, sequence, qualities, tags). The pieces point into the record.
struct EncodedBamRecord {
    uint32_t fixed[9];
    const uint8_t* name;
    size_t nameLength;
    const uint8_t* rest;
    size_t restLength;
};

// False (errno EOVERFLOW) for a record BAM cannot hold: a name of more than 254 characters, more
// than 65535 CIGAR operations, positions beyond 2^31.
[[nodiscard]] bool encodeBamRecord(const bam1_t* record, EncodedBamRecord& encoded);

class BamWriter {
public:
    BamWriter() = default;
    ~BamWriter();
    BamWriter(const BamWriter&) = delete;
    BamWriter& operator=(const BamWriter&) = delete;

    // Creates the file and writes the header; false (errno set) when it cannot. HTSlib may build
    // the header's text here: a header is not to be shared with another thread doing the same.
    [[nodiscard]] bool open(const std::string& path, sam_hdr_t* header);
    // Appends one record; false (errno set) when it cannot be written or BAM cannot hold it.
    [[nodiscard]] bool write(const bam1_t* record);
    // Appends bytes of the BAM stream as they are: records encoded already.
    [[nodiscard]] bool writeEncoded(const void* bytes, size_t length) {
        return _append(bytes, length);
    }
    // Writes the last block and the end-of-file block and closes; false (errno set) when any
    // write failed.
    [[nodiscard]] bool close();

private:
    // A failure is kept in _failed, which close() and the header's writer report.
    bool _append(const void* bytes, size_t length);
    [[nodiscard]] bool _flushBlock();

    FILE* _file = nullptr;
    bool _failed = false;
    std::vector<uint8_t> _block; // the BAM stream not yet deflated: its first _used bytes
    size_t _used = 0;
    std::vector<uint8_t> _packed;
    FastDeflater _deflater;
};
