// The GTF read in blocks and cut into lines on a thread of its own.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "GtfLine.h"
#include "support/Gzip.h"

// A gene or exon line, cut up in place in its block, with its gene name and id.
struct GeneLine {
    GTFLine line;
    unsigned long lineNumber = 0; // 1-based, in the whole file
    std::string_view name, id;
};

// One block of the GTF: its text (every line zero-terminated in place of its newline), how many
// lines it holds, and the gene and exon lines among them, in file order.
struct GtfBlock {
    std::vector<char> text;
    std::vector<GeneLine> geneLines;
    unsigned long firstLine = 1; // number of the block's first line in the file
    unsigned long lineCount = 0;
};

// Reads and cuts up the GTF on a thread of its own while the caller builds the model from the
// blocks already read: the two halves of the load take about the same time. Blocks are handed
// over in file order through a queue of at most two and come back to be reused.
class GtfBlockReader {
public:
    explicit GtfBlockReader(GzipReader& text);
    ~GtfBlockReader();
    // The next block in file order, or null at the end of the file; throws on a read error.
    std::unique_ptr<GtfBlock> next();
    void giveBack(std::unique_ptr<GtfBlock> block);

private:
    static void _cut(GtfBlock& block, char* begin, char* end);
    std::unique_ptr<GtfBlock> _takeSpare();
    // Passes a block on; false when the reader is to stop.
    [[nodiscard]] bool _hand(std::unique_ptr<GtfBlock> block);
    void _read();
    // Blocks until the end of the file; a read error goes to error, to stop the model build.
    void _readBlocks(std::string& error);

    GzipReader& _text;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::deque<std::unique_ptr<GtfBlock>> _ready;
    std::vector<std::unique_ptr<GtfBlock>> _spare;
    bool _stopping = false, _finished = false;
    std::string _readError;
    std::thread _thread; // last: starts once the members above exist
};
