// Where to cut a BAM into parts of about equal compressed size without reading it: at a read's
// first record near each share of the file, found by recognising a record start in the
// decompressed blocks there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <htslib/sam.h>

// Whether a whole record starts at data[at] and ends before data + size: its fixed fields fit the
// header's references, its name is printable and ends in NUL, its CIGAR ops are known and consume
// as many bases as it has, its qualities are Phred values or missing, its tags fill it exactly.
bool isBamRecordAt(const uint8_t* data, size_t size, size_t at, const sam_hdr_t* header);

// The first offset in data at which `chain` records in a row pass isBamRecordAt (fewer when the
// data end first, exactly at a record's end when atEnd), or size when there is none.
size_t findBamRecordStart(const uint8_t* data, size_t size, bool atEnd, const sam_hdr_t* header,
                          int chain = 16);

// Offset of the first BGZF block header at or after `from` whose block is followed by another
// block header or the end of the file; -1 when there is none.
int64_t nextBgzfBlock(const std::string& path, int64_t from);

// BGZF virtual offsets, in increasing order, at which reads begin (a record whose name differs
// from the record before it), one near each k / count of the compressed records for k = 1 ..
// count - 1. A share with no read start in reach (a read that spans it, a damaged block) gives no
// cut, so there may be fewer than count - 1. Throws naming the file when it cannot be opened or
// has no end-of-file block (cut short).
std::vector<int64_t> readStartCuts(const std::string& path, unsigned long count);
