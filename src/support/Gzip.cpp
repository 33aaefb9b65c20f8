#include "Gzip.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libdeflate.h>
#include <new>
#include <stdexcept>

#include <isa-l/igzip_lib.h>

#include "FastDeflate.h"
#include "Handles.h"
#include "SystemError.h"

namespace {

// The compressed file is read a block at a time.
constexpr size_t COMPRESSED_BLOCK_SIZE = 1 << 20;

} // namespace

namespace {

// A gzip member deflated by igzip at its level 1 into member: for the tables' text until it is
// sorted, which is read back once. The header holds no time and no name, as libdeflate's.
size_t fast_gzip_member(const char* text, size_t length, std::vector<char>& member) {
    constexpr uint8_t HEADER[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 0xff};
    thread_local FastDeflater deflater;
    member.resize(sizeof HEADER + length + length / 16 + 64 + 8); // stored blocks at worst
    uint8_t* out = reinterpret_cast<uint8_t*>(member.data());
    std::memcpy(out, HEADER, sizeof HEADER);
    size_t packed =
        deflater.deflate(text, length, out + sizeof HEADER, member.size() - sizeof HEADER - 8);
    if (packed == 0 && length > 0)
        return 0;
    out += sizeof HEADER + packed;
    storeLittleEndian(out, gzipCrc32(text, length), 4);
    storeLittleEndian(out + 4, length, 4);
    return sizeof HEADER + packed + 8;
}

} // namespace

size_t gzipMember(const char* text, size_t length, int level, std::vector<char>& member) {
    using Compressor = std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)>;
    thread_local Compressor standard(libdeflate_alloc_compressor(GZIP_LEVEL),
                                     libdeflate_free_compressor);
    if (level != GZIP_FAST_LEVEL && level != GZIP_LEVEL)
        throw std::invalid_argument("No gzip level " + std::to_string(level));
    if (level == GZIP_FAST_LEVEL)
        return fast_gzip_member(text, length, member);
    if (!standard)
        throw std::bad_alloc();
    member.resize(libdeflate_gzip_compress_bound(standard.get(), length));
    return libdeflate_gzip_compress(standard.get(), text, length, member.data(), member.size());
}

unsigned long writeGzipMember(const char* text, size_t length, int level, FILE* out,
                              const std::string& path) {
    thread_local std::vector<char> member;
    size_t size = gzipMember(text, length, level, member);
    if (size == 0 || std::fwrite(member.data(), 1, size, out) != size) {
        int error = errno;
        throw systemError(error, "Cannot write " + path);
    }
    return size;
}

void inflateGzipMembers(const std::string& path,
                        const std::function<void(const char*, size_t)>& sink) {
    FileHandle in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        int error = errno;
        throw systemError(error, "Cannot read " + path);
    }
    GzipReader reader(in.get(), "file \"" + path + "\"");
    std::vector<char> text(4 << 20);
    while (size_t got = reader.read(text.data(), text.size()))
        sink(text.data(), got);
}

std::string readGzipMembers(const std::string& path) {
    std::string text;
    inflateGzipMembers(path,
                       [&text](const char* part, size_t length) { text.append(part, length); });
    return text;
}

GzipReader::GzipReader(FILE* file, std::string name) : _file(file), _name(std::move(name)) {
    // The magic bytes stay read, not rewound: a file given through a pipe cannot seek back.
    _input.resize(COMPRESSED_BLOCK_SIZE);
    _headLength = std::fread(_input.data(), 1, 2, file);
    if (_headLength < 2 && std::ferror(file)) {
        int error = errno;
        throw systemError(error, "Failed to read the " + _name);
    }
    if (_headLength == 2 && _input[0] == 0x1f && _input[1] == 0x8b) {
        _inflate = std::make_unique<inflate_state>();
        isal_inflate_init(_inflate.get());
        _inflate->crc_flag = ISAL_GZIP;
        _inflate->next_in = _input.data();
        _inflate->avail_in = static_cast<uint32_t>(_headLength);
        _headLength = 0;
    }
}

GzipReader::~GzipReader() = default;

size_t GzipReader::read(char* buffer, size_t size) {
    if (_inflate)
        return _inflateSome(buffer, size);
    if (_headLength > 0 && size > 0) {
        size_t given = std::min(size, _headLength);
        std::memcpy(buffer, _input.data() + _headGiven, given);
        _headGiven += given;
        _headLength -= given;
        return given;
    }
    size_t got = std::fread(buffer, 1, size, _file);
    if (got == 0 && std::ferror(_file)) {
        int error = errno;
        throw systemError(error, "Failed to read the " + _name);
    }
    return got;
}

size_t GzipReader::_inflateSome(char* buffer, size_t size) {
    inflate_state& state = *_inflate;
    state.next_out = reinterpret_cast<uint8_t*>(buffer);
    size = std::min<size_t>(size, UINT32_MAX); // what one inflate call can fill
    state.avail_out = static_cast<uint32_t>(size);
    while (state.avail_out > 0) {
        if (state.avail_in == 0 && !_inputEnded) {
            size_t got = std::fread(_input.data(), 1, _input.size(), _file);
            if (got == 0 && std::ferror(_file)) {
                int error = errno;
                throw systemError(error, "Failed to read the " + _name);
            }
            _inputEnded = got == 0;
            state.next_in = _input.data();
            state.avail_in = static_cast<uint32_t>(got);
        }
        if (state.block_state == ISAL_BLOCK_FINISH) {
            // One gzip member is done; BGZF and concatenated gzip files hold more.
            if (state.avail_in == 0)
                break;
            uint8_t* next = state.next_in;
            uint32_t available = state.avail_in;
            uint8_t* out = state.next_out;
            uint32_t room = state.avail_out;
            isal_inflate_reset(&state);
            state.crc_flag = ISAL_GZIP;
            state.next_in = next;
            state.avail_in = available;
            state.next_out = out;
            state.avail_out = room;
        }
        uint32_t before = state.avail_out;
        int result = isal_inflate(&state);
        if (result < 0)
            throw std::runtime_error("The " + _name +
                                     " starts as gzip but its compressed data is damaged "
                                     "(igzip error " +
                                     std::to_string(result) + ")");
        if (_inputEnded && state.avail_in == 0 && state.block_state != ISAL_BLOCK_FINISH &&
            state.avail_out == before)
            throw std::runtime_error("The " + _name +
                                     " is truncated: its gzip data ends inside a member");
    }
    return size - state.avail_out;
}
