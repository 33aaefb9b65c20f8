#include "BamCuts.h"

#include <htslib/bgzf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "support/Handles.h"
#include "support/SystemError.h"

namespace {

uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
int32_t sle32(const uint8_t* p) {
    return static_cast<int32_t>(le32(p));
}
uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Bytes of one value of a tag type; 0 for a type that is not one.
size_t tag_value_size(uint8_t type) {
    switch (type) {
    case 'A':
    case 'c':
    case 'C':
        return 1;
    case 's':
    case 'S':
        return 2;
    case 'i':
    case 'I':
    case 'f':
        return 4;
    default:
        return 0;
    }
}

// Whether the tags from p fill the record exactly up to end.
bool tags_fill(const uint8_t* p, const uint8_t* end) {
    while (p < end) {
        if (end - p < 3 || !std::isalpha(p[0]) || !std::isalnum(p[1]))
            return false;
        uint8_t type = p[2];
        p += 3;
        if (type == 'Z' || type == 'H') {
            const void* nul = std::memchr(p, 0, static_cast<size_t>(end - p));
            if (!nul)
                return false;
            p = static_cast<const uint8_t*>(nul) + 1;
        } else if (type == 'B') {
            size_t size = end - p >= 5 ? tag_value_size(p[0]) : 0;
            if (size == 0 || p[0] == 'A')
                return false;
            uint64_t count = le32(p + 1);
            p += 5;
            if (count * size > static_cast<uint64_t>(end - p))
                return false;
            p += count * size;
        } else {
            size_t size = tag_value_size(type);
            if (size == 0 || static_cast<size_t>(end - p) < size)
                return false;
            p += size;
        }
    }
    return true;
}

// Query bases the CIGAR consumes (M, I, S, =, X), or -1 when an op is unknown.
long cigar_query_length(const uint8_t* cigar, unsigned count) {
    long length = 0;
    for (unsigned k = 0; k < count; ++k) {
        uint32_t op = le32(cigar + 4 * k);
        if ((op & 0xf) > BAM_CBACK)
            return -1;
        if (bam_cigar_type(op & 0xf) & 1)
            length += op >> 4;
    }
    return length;
}

} // namespace

bool isBamRecordAt(const uint8_t* data, size_t size, size_t at, const sam_hdr_t* header) {
    if (at > size || size - at < 4)
        return false;
    uint32_t blockSize = le32(data + at);
    if (blockSize < 34 || blockSize > size - at - 4)
        return false;
    const uint8_t* r = data + at + 4;
    int32_t references = sam_hdr_nref(header);
    int32_t reference = sle32(r), mateReference = sle32(r + 20);
    int32_t position = sle32(r + 4), matePosition = sle32(r + 24);
    uint8_t nameLength = r[8];
    uint16_t cigarOps = le16(r + 12);
    int32_t bases = sle32(r + 16);
    if (reference < -1 || reference >= references || mateReference < -1 ||
        mateReference >= references || position < -1 || matePosition < -1 || nameLength < 2 ||
        bases < 0)
        return false;
    uint64_t fixed = 32ULL + nameLength + 4ULL * cigarOps + (bases + 1ULL) / 2 + bases;
    if (fixed > blockSize)
        return false;
    const uint8_t* name = r + 32;
    for (int k = 0; k + 1 < nameLength; ++k)
        if (name[k] < '!' || name[k] > '~')
            return false;
    if (name[nameLength - 1] != 0)
        return false;
    long consumed = cigar_query_length(name + nameLength, cigarOps);
    if (consumed < 0 || (cigarOps > 0 && bases > 0 && consumed != bases))
        return false;
    const uint8_t* quality = name + nameLength + 4 * cigarOps + (bases + 1) / 2;
    if (bases > 0 && quality[0] != 0xff) {
        for (int32_t k = 0; k < bases; ++k)
            if (quality[k] > 93)
                return false;
    } else {
        for (int32_t k = 0; k < bases; ++k)
            if (quality[k] != 0xff)
                return false;
    }
    return tags_fill(r + fixed, r + blockSize);
}

namespace {

// Whether `chain` records follow one another from at (fewer when the data end first).
bool records_chain(const uint8_t* data, size_t size, size_t at, bool atEnd, const sam_hdr_t* header,
                   int chain) {
    for (int n = 0; n < chain; ++n) {
        if (at == size)
            return atEnd && n > 0;
        if (size - at < 4 || le32(data + at) > size - at - 4)
            return !atEnd && n > 0; // the record goes on past what was read
        if (!isBamRecordAt(data, size, at, header))
            return false;
        at += 4 + le32(data + at);
    }
    return true;
}

} // namespace

size_t findBamRecordStart(const uint8_t* data, size_t size, bool atEnd, const sam_hdr_t* header,
                          int chain) {
    for (size_t at = 0; at < size; ++at)
        if (records_chain(data, size, at, atEnd, header, chain))
            return at;
    return size;
}

namespace {

constexpr size_t BGZF_HEADER = 18;
constexpr int64_t MAX_BGZF_BLOCK = 65536;

// Whether a BGZF block header (gzip, extra field of one BC subfield) starts at p; its block size.
bool bgzf_header(const uint8_t* p, unsigned* blockSize) {
    if (p[0] != 0x1f || p[1] != 0x8b || p[2] != 8 || !(p[3] & 4) || le16(p + 10) != 6 ||
        p[12] != 'B' || p[13] != 'C' || le16(p + 14) != 2)
        return false;
    *blockSize = le16(p + 16) + 1U;
    return *blockSize > BGZF_HEADER;
}

} // namespace

int64_t nextBgzfBlock(const std::string& path, int64_t from) {
    FileHandle file(std::fopen(path.c_str(), "rb"));
    std::error_code error;
    int64_t fileSize = static_cast<int64_t>(std::filesystem::file_size(path, error));
    if (!file || error || from < 0 || fseeko(file.get(), from, SEEK_SET) != 0)
        return -1;
    // A block is at most 64 KiB, so a block begins within that reach of any offset.
    std::vector<uint8_t> bytes(2 * MAX_BGZF_BLOCK + BGZF_HEADER);
    size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
    for (size_t at = 0; at + BGZF_HEADER <= got && at <= MAX_BGZF_BLOCK; ++at) {
        unsigned blockSize = 0;
        if (!bgzf_header(bytes.data() + at, &blockSize))
            continue;
        size_t next = at + blockSize;
        unsigned nextSize = 0;
        if (from + static_cast<int64_t>(next) == fileSize ||
            (next + BGZF_HEADER <= got && bgzf_header(bytes.data() + next, &nextSize)))
            return from + static_cast<int64_t>(at);
    }
    return -1;
}

namespace {

// Uncompressed bytes read at a candidate block to find a record start.
constexpr size_t CUT_WINDOW = 256 * 1024;

// From the record at the reader's position, the virtual offset of the first record whose name
// differs from it; -1 when the input ends or fails first.
int64_t next_read_start(htsFile* input, sam_hdr_t* header, bam1_t* record) {
    std::string first;
    for (;;) {
        int64_t offset = bgzf_tell(input->fp.bgzf);
        if (sam_read1(input, header, record) < 0)
            return -1;
        if (first.empty())
            first = bam_get_qname(record);
        else if (first != bam_get_qname(record))
            return offset;
    }
}

// The cut near compressed offset target: a read start in the first block at or after it.
int64_t cut_near(const std::string& path, htsFile* input, sam_hdr_t* header, bam1_t* record,
                 std::vector<uint8_t>& window, int64_t target) {
    int64_t block = nextBgzfBlock(path, target);
    BGZF* bgzf = input->fp.bgzf;
    if (block < 0 || bgzf_seek(bgzf, block << 16, SEEK_SET) < 0)
        return -1;
    ssize_t size = bgzf_read(bgzf, window.data(), window.size());
    if (size <= 0)
        return -1;
    bool atEnd = static_cast<size_t>(size) < window.size();
    size_t at = findBamRecordStart(window.data(), size, atEnd, header);
    if (at == static_cast<size_t>(size) || bgzf_seek(bgzf, block << 16, SEEK_SET) < 0 ||
        bgzf_read(bgzf, window.data(), at) != static_cast<ssize_t>(at))
        return -1;
    return next_read_start(input, header, record);
}

std::runtime_error unreadable(const std::string& path, const std::string& why) {
    return std::runtime_error("Cannot read the BAM file \"" + path + "\": " + why);
}

} // namespace

std::vector<int64_t> readStartCuts(const std::string& path, unsigned long count) {
    htsFile* input = hts_open(path.c_str(), "r");
    if (!input) {
        int error = errno;
        throw systemError(error, "Cannot open the BAM file \"" + path + "\"");
    }
    HtsFileHandle closing(input);
    if (input->format.format != bam || input->format.compression != bgzf)
        return {}; // no blocks to cut at: one part
    // A file cut short lacks the end-of-file block; HTSlib may take the cut for a clean end.
    switch (bgzf_check_EOF(input->fp.bgzf)) {
    case 1:
        break;
    case 0:
        throw unreadable(path, "it is truncated or corrupt (no end-of-file block)");
    case 2:
        throw unreadable(path, "it cannot be read at any place (a pipe?): give it as a file");
    default: {
        int error = errno;
        throw systemError(error, "Cannot read the end of the BAM file \"" + path + "\"");
    }
    }
    SamHeaderHandle header(sam_hdr_read(input));
    if (!header)
        throw unreadable(path, "its header is truncated or corrupt");
    int64_t first = bgzf_tell(input->fp.bgzf) >> 16;
    std::error_code error;
    int64_t last = static_cast<int64_t>(std::filesystem::file_size(path, error));
    if (error)
        throw std::system_error(error, "Cannot read the BAM file \"" + path + "\"");
    BamRecordHandle record(bam_init1());
    std::vector<uint8_t> window(CUT_WINDOW);
    std::vector<int64_t> cuts;
    for (unsigned long k = 1; k < count; ++k) {
        int64_t target =
            first + static_cast<int64_t>(static_cast<double>(last - first) *
                                         static_cast<double>(k) / static_cast<double>(count));
        int64_t cut = cut_near(path, input, header.get(), record.get(), window, target);
        if (cut >= 0 && (cuts.empty() || cut > cuts.back()))
            cuts.push_back(cut);
    }
    return cuts;
}
