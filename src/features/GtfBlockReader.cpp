#include "GtfBlockReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "support/SystemError.h"

namespace {

constexpr size_t GTF_BLOCK_SIZE = 4 << 20;

} // namespace

GtfBlockReader::GtfBlockReader(GzipReader& text)
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
