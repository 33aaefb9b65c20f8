#include "BamWriter.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "BAM fields are copied from memory as little-endian");

// A BGZF block holds at most 64 KiB; 0xff00 bytes of the stream per block, as HTSlib fills them,
// fit even when stored.
constexpr size_t BLOCK_TEXT = 0xff00;
constexpr size_t BLOCK_MAX = 0x10000;
constexpr size_t HEADER_BYTES = 18, TRAILER_BYTES = 8;

// gzip header with the BGZF extra field "BC" (its block size is filled in per block).
constexpr uint8_t BLOCK_HEADER[HEADER_BYTES] = {0x1f, 0x8b, 8, 4,   0,   0, 0, 0, 0,
                                                0xff, 6,    0, 'B', 'C', 2, 0, 0, 0};
// The empty block that ends every BGZF file.
constexpr uint8_t END_OF_FILE[28] = {0x1f, 0x8b, 8,    4, 0, 0, 0, 0, 0, 0xff, 6, 0, 0x42, 0x43,
                                     2,    0,    0x1b, 0, 3, 0, 0, 0, 0, 0,    0, 0, 0,    0};

} // namespace

BamWriter::~BamWriter() {
    if (_file)
        std::fclose(_file);
}

bool BamWriter::open(const std::string& path, sam_hdr_t* header) {
    _block.resize(BLOCK_TEXT);
    _packed.resize(BLOCK_MAX);
    if (!(_file = std::fopen(path.c_str(), "wb")))
        return false;
    // "BAM\1", the header text, then each reference's name (with its NUL) and length.
    size_t textLength = sam_hdr_length(header);
    const char* text = sam_hdr_str(header);
    if (textLength > INT32_MAX || (textLength > 0 && !text)) {
        errno = EOVERFLOW;
        return false;
    }
    uint8_t word[4];
    _append("BAM\1", 4);
    storeLittleEndian(word, textLength, 4);
    _append(word, 4);
    _append(text, textLength);
    int references = sam_hdr_nref(header);
    storeLittleEndian(word, static_cast<uint32_t>(references), 4);
    _append(word, 4);
    for (int tid = 0; tid < references; ++tid) {
        const char* name = sam_hdr_tid2name(header, tid);
        size_t nameLength = std::strlen(name) + 1;
        storeLittleEndian(word, nameLength, 4);
        _append(word, 4);
        _append(name, nameLength);
        // BAM holds a reference length in 32 bits; a longer one (HTSlib keeps it in the header
        // text's LN) is written as the most it holds, as HTSlib does, not cut to its low bits.
        hts_pos_t length = sam_hdr_tid2len(header, tid);
        storeLittleEndian(word, static_cast<uint64_t>(std::min<hts_pos_t>(length, UINT32_MAX)), 4);
        _append(word, 4);
    }
    return !_failed;
}

bool encodeBamRecord(const bam1_t* record, EncodedBamRecord& encoded) {
    const bam1_core_t& core = record->core;
    int nameLength = core.l_qname - core.l_extranul;
    if (nameLength > 255 || core.n_cigar > 0xffff || core.pos > INT_MAX || core.mpos > INT_MAX ||
        core.isize < INT_MIN || core.isize > INT_MAX) {
        errno = EOVERFLOW;
        return false;
    }
    uint32_t* fixed = encoded.fixed;
    fixed[0] = static_cast<uint32_t>(record->l_data - core.l_extranul + 32);
    fixed[1] = static_cast<uint32_t>(core.tid);
    fixed[2] = static_cast<uint32_t>(core.pos);
    fixed[3] = static_cast<uint32_t>(core.bin) << 16 | static_cast<uint32_t>(core.qual) << 8 |
               static_cast<uint32_t>(nameLength);
    fixed[4] = static_cast<uint32_t>(core.flag) << 16 | core.n_cigar;
    fixed[5] = static_cast<uint32_t>(core.l_qseq);
    fixed[6] = static_cast<uint32_t>(core.mtid);
    fixed[7] = static_cast<uint32_t>(core.mpos);
    fixed[8] = static_cast<uint32_t>(core.isize);
    encoded.name = record->data;
    encoded.nameLength = static_cast<size_t>(nameLength);
    encoded.rest = record->data + core.l_qname;
    encoded.restLength = static_cast<size_t>(record->l_data - core.l_qname);
    return true;
}

bool BamWriter::write(const bam1_t* record) {
    EncodedBamRecord encoded;
    return encodeBamRecord(record, encoded) && _append(encoded.fixed, sizeof encoded.fixed) &&
           _append(encoded.name, encoded.nameLength) && _append(encoded.rest, encoded.restLength);
}

bool BamWriter::close() {
    if (!_file)
        return !_failed;
    bool ok = (_used == 0 || _flushBlock()) &&
              std::fwrite(END_OF_FILE, 1, sizeof END_OF_FILE, _file) == sizeof END_OF_FILE;
    ok = std::fclose(_file) == 0 && ok && !_failed;
    _file = nullptr;
    return ok;
}

bool BamWriter::_append(const void* bytes, size_t length) {
    const uint8_t* from = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        size_t room = BLOCK_TEXT - _used;
        size_t take = length < room ? length : room;
        std::memcpy(_block.data() + _used, from, take);
        _used += take;
        from += take;
        length -= take;
        if (_used == BLOCK_TEXT && !_flushBlock())
            return false;
    }
    return !_failed;
}

bool BamWriter::_flushBlock() {
    if (_failed)
        return false;
    // igzip stores what does not shrink, so 0xff00 bytes always fit in a block.
    uint8_t* out = _packed.data();
    std::memcpy(out, BLOCK_HEADER, HEADER_BYTES);
    size_t room = BLOCK_MAX - HEADER_BYTES - TRAILER_BYTES;
    size_t packed = _deflater.deflate(_block.data(), _used, out + HEADER_BYTES, room);
    size_t total = HEADER_BYTES + packed + TRAILER_BYTES;
    storeLittleEndian(out + 16, total - 1, 2);
    storeLittleEndian(out + HEADER_BYTES + packed, gzipCrc32(_block.data(), _used), 4);
    storeLittleEndian(out + HEADER_BYTES + packed + 4, _used, 4);
    _used = 0;
    if (packed == 0)
        errno = EOVERFLOW;
    _failed = packed == 0 || std::fwrite(out, 1, total, _file) != total;
    return !_failed;
}
