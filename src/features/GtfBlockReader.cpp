#include "GtfBlockReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <isa-l/igzip_lib.h>

#include "support/SystemError.h"

namespace {

constexpr size_t GTF_BLOCK_SIZE = 4 << 20;
constexpr size_t GTF_COMPRESSED_BLOCK_SIZE = 1 << 20;

} // namespace

GtfText::GtfText(FILE* file, const std::string& path) : _file(file), _path(path) {
    // The magic bytes stay read, not rewound: a GTF given through a pipe cannot seek back.
    _input.resize(GTF_COMPRESSED_BLOCK_SIZE);
    _headLength = std::fread(_input.data(), 1, 2, file);
    if (_headLength < 2 && std::ferror(file)) {
        int error = errno;
        throw systemError(error, "Failed to read the GTF file \"" + _path + "\"");
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

GtfText::~GtfText() = default;

size_t GtfText::read(char* buffer, size_t size) {
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
        throw systemError(error, "Failed to read the GTF file \"" + _path + "\"");
    }
    return got;
}

size_t GtfText::_inflateSome(char* buffer, size_t size) {
    inflate_state& state = *_inflate;
    state.next_out = reinterpret_cast<uint8_t*>(buffer);
    state.avail_out = static_cast<uint32_t>(size);
    while (state.avail_out > 0) {
        if (state.avail_in == 0 && !_inputEnded) {
            size_t got = std::fread(_input.data(), 1, _input.size(), _file);
            if (got == 0 && std::ferror(_file)) {
                int error = errno;
                throw systemError(error, "Failed to read the GTF file \"" + _path + "\"");
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
            throw std::runtime_error("The GTF file \"" + _path +
                                     "\" starts as gzip but its compressed data is damaged "
                                     "(igzip error " +
                                     std::to_string(result) + ")");
        if (_inputEnded && state.avail_in == 0 && state.block_state != ISAL_BLOCK_FINISH &&
            state.avail_out == before)
            throw std::runtime_error("The GTF file \"" + _path +
                                     "\" is truncated: its gzip data ends inside a member");
    }
    return size - state.avail_out;
}

GtfBlockReader::GtfBlockReader(GtfText& text)
    : _text(text), _thread(&GtfBlockReader::_read, this) {}

GtfBlockReader::~GtfBlockReader() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
    }
    _changed.notify_all();
    _thread.join();
}

std::unique_ptr<GtfBlock> GtfBlockReader::next() {
    std::unique_lock<std::mutex> lock(_mutex);
    _changed.wait(lock, [this] { return !_ready.empty() || _finished; });
    if (_ready.empty()) {
        if (!_readError.empty())
            throw std::runtime_error(_readError);
        return nullptr;
    }
    std::unique_ptr<GtfBlock> block = std::move(_ready.front());
    _ready.pop_front();
    _changed.notify_all();
    return block;
}

void GtfBlockReader::giveBack(std::unique_ptr<GtfBlock> block) {
    std::lock_guard<std::mutex> lock(_mutex);
    _spare.push_back(std::move(block));
}

void GtfBlockReader::_cut(GtfBlock& block, char* begin, char* end) {
    while (begin < end) {
        char* newline = static_cast<char*>(std::memchr(begin, '\n', end - begin));
        char* stop = newline ? newline : end;
        *stop = '\0';
        ++block.lineCount;
        GeneLine gene;
        gene.lineNumber = block.firstLine + block.lineCount - 1;
        if (parseGtfLine(gene.line, begin) && (std::strcmp(gene.line.feature, "gene") == 0 ||
                                               std::strcmp(gene.line.feature, "exon") == 0)) {
            gene.name = getAttributeView(gene.line, "gene_name");
            gene.id = getAttributeView(gene.line, "gene_id");
            block.geneLines.push_back(gene);
        }
        begin = stop + 1;
    }
}

std::unique_ptr<GtfBlock> GtfBlockReader::_takeSpare() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_spare.empty())
        return std::make_unique<GtfBlock>();
    std::unique_ptr<GtfBlock> block = std::move(_spare.back());
    _spare.pop_back();
    return block;
}

bool GtfBlockReader::_hand(std::unique_ptr<GtfBlock> block) {
    std::unique_lock<std::mutex> lock(_mutex);
    _changed.wait(lock, [this] { return _ready.size() < 2 || _stopping; });
    if (_stopping)
        return false;
    _ready.push_back(std::move(block));
    _changed.notify_all();
    return true;
}

void GtfBlockReader::_read() {
    std::string error;
    try {
        _readBlocks(error);
    } catch (const std::exception& e) {
        // Memory for a block, most likely: the model build stops on it rather than wait.
        error = std::string("Cannot read the GTF file: ") + e.what();
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _readError = error;
    _finished = true;
    _changed.notify_all();
}

void GtfBlockReader::_readBlocks(std::string& error) {
    std::vector<char> carried; // the start of a line that the previous block cut off
    unsigned long nextLine = 1;
    for (;;) {
        std::unique_ptr<GtfBlock> block = _takeSpare();
        block->geneLines.clear();
        block->lineCount = 0;
        block->firstLine = nextLine;
        std::vector<char>& text = block->text;
        // Room for a whole block after the carried part, and for a terminating zero.
        text.resize(std::max(text.size(), carried.size() + GTF_BLOCK_SIZE + 1));
        if (!carried.empty())
            std::memcpy(text.data(), carried.data(), carried.size());
        size_t got = 0;
        try {
            got = _text.read(text.data() + carried.size(), GTF_BLOCK_SIZE);
        } catch (const std::exception& e) {
            error = e.what(); // handed to the model build, which stops on it
        }
        size_t filled = carried.size() + got;
        char* begin = text.data();
        char* end = begin + filled;
        // Lines up to the last newline now, the rest with the next block; at the end of the
        // file the last line, newline or not.
        bool last = got == 0;
        char* cut = end;
        while (!last && cut > begin && cut[-1] != '\n')
            --cut;
        carried.assign(cut, end);
        *end = '\0';
        _cut(*block, begin, cut);
        nextLine += block->lineCount;
        if ((block->lineCount > 0 || last) && !_hand(std::move(block)))
            return;
        if (last)
            break;
    }
}
