// bamSplitter: cuts a BAM into fragments of about L records for parallel annotation, never
// splitting a read: the records in a row that share a read name always land in one fragment.
//
//   bamSplitter <input BAM> <records per fragment L> <output prefix> <fragment count T>
//
// Writes <prefix>_1.bam, <prefix>_2.bam, ... (each with the input's header, records in input
// order), at most T of them: the last fragment takes whatever follows the last cut. It uses an
// HTSlib thread pool of T threads. An empty input gives one header-only fragment. Exits non-zero
// with a message naming the file on unreadable or truncated input, a bad argument or a failed
// write.
//
// The input is decoded up to its last cut to find the cuts; the fragments are then assembled
// mostly from the input's own compressed BGZF blocks, copied as they are: only the blocks in which
// a fragment starts or ends are decompressed, and their part of the fragment compressed again
// (level 1). The records after the last cut are never decoded here; their blocks are copied up to
// the input's end-of-file marker, whose absence marks the input as truncated.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include "support/LeakSuppressions.h"

// HTSlib 1.16's threaded BGZF reader leaks a 32-byte job result when a block fails to decode
// (a corrupt input). The allocation is made on one of HTSlib's pool threads: bamSplitter starts no
// thread of its own, so a leak whose stack holds start_thread is provably inside HTSlib, and no
// leak of bamSplitter's own (all on the main thread) can match. Debian's libhts is stripped, so
// the function that leaks cannot be named; "leak:libhts.so.3" would also hide the records and
// headers that bamSplitter allocates through HTSlib and might forget to free.
AMBREL_LEAK_SUPPRESSIONS("leak:start_thread\n")

namespace {

int print_usage() {
    std::fprintf(stderr, "Usage: bamSplitter <input BAM> <records per fragment> <output prefix> "
                         "<fragment count>\n");
    return 2;
}

bool parse_count(const char* text, unsigned long& value) {
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && end && *end == '\0';
}

constexpr size_t COPY_CHUNK = 4 << 20;

struct Splitter {
    const char* inputPath;
    std::string prefix;
    unsigned long perFragment;
    unsigned long fragmentCount;
    htsThreadPool pool{nullptr, 0};
    sam_hdr_t* header = nullptr;
    // Virtual offsets where each fragment's first record starts, then the end of the records
    // (TO_END_OF_FILE when decoding stopped at the last cut).
    std::vector<uint64_t> cuts;
    static constexpr uint64_t TO_END_OF_FILE = ~0ULL;

    ~Splitter() {
        if (header)
            sam_hdr_destroy(header);
        if (pool.pool)
            hts_tpool_destroy(pool.pool);
    }

    // Decodes the input once and notes where each fragment begins.
    bool findCuts() {
        htsFile* input = hts_open(inputPath, "rb");
        if (!input) {
            std::fprintf(stderr, "bamSplitter: cannot open %s: %s\n", inputPath,
                         std::strerror(errno));
            return false;
        }
        if (input->format.format != bam) {
            std::fprintf(stderr, "bamSplitter: %s is not a BAM file\n", inputPath);
            hts_close(input);
            return false;
        }
        header = sam_hdr_read(input);
        if (!header) {
            std::fprintf(stderr, "bamSplitter: cannot read a BAM header from %s\n", inputPath);
            hts_close(input);
            return false;
        }
        // Threads only once the header is in: HTSlib's threaded reader can wait forever on a
        // file too short to hold one.
        if (pool.pool)
            hts_set_opt(input, HTS_OPT_THREAD_POOL, &pool);
        BGZF* bgzf = input->fp.bgzf;
        bam1_t* record = bam_init1();
        unsigned long inFragment = 0, total = 0;
        std::string readName; // of the record before: a read is the records that share it
        cuts.push_back(bgzf_tell(bgzf));
        // With one fragment there is nothing to find: the whole input is copied.
        bool stopped = fragmentCount == 1;
        int result = 0;
        while (!stopped) {
            uint64_t position = bgzf_tell(bgzf);
            if ((result = sam_read1(input, header, record)) < 0)
                break;
            if (readName != bam_get_qname(record)) {
                // A read boundary: cut here once the fragment holds its share.
                if (perFragment > 0 && inFragment >= perFragment) {
                    cuts.push_back(position);
                    inFragment = 0;
                    // The last fragment takes the rest of the input.
                    if ((stopped = cuts.size() == fragmentCount))
                        break;
                }
                readName = bam_get_qname(record);
            }
            ++inFragment;
            ++total;
        }
        cuts.push_back(stopped ? TO_END_OF_FILE : bgzf_tell(bgzf));
        bam_destroy1(record);
        // The threaded reader reports a cut-off last block as the end of the input; only the
        // close says that the input was incomplete.
        int closed = hts_close(input);
        if (!stopped && (result < -1 || closed < 0)) {
            std::fprintf(stderr,
                         "bamSplitter: %s is truncated or corrupt (read error after %lu "
                         "records)\n",
                         inputPath, total);
            return false;
        }
        return true;
    }

    // Appends the uncompressed bytes [from, from + length) of the input's stream to out.
    bool copyDecoded(BGZF* in, uint64_t from, size_t length, BGZF* out, std::vector<char>& buffer) {
        if (length == 0)
            return true;
        buffer.resize(length);
        if (bgzf_seek(in, static_cast<int64_t>(from), SEEK_SET) < 0 ||
            bgzf_read(in, buffer.data(), length) != static_cast<ssize_t>(length))
            return false;
        return bgzf_write(out, buffer.data(), length) == static_cast<ssize_t>(length) &&
               bgzf_flush(out) == 0;
    }

    // Appends the input's compressed bytes [from, to) as they are.
    bool copyRaw(FILE* raw, uint64_t from, uint64_t to, BGZF* out, std::vector<char>& buffer) {
        buffer.resize(COPY_CHUNK);
        if (fseeko(raw, static_cast<off_t>(from), SEEK_SET) != 0)
            return false;
        while (from < to) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(COPY_CHUNK, to - from));
            if (std::fread(buffer.data(), 1, n, raw) != n ||
                bgzf_raw_write(out, buffer.data(), n) != static_cast<ssize_t>(n))
                return false;
            from += n;
        }
        return true;
    }

    // The compressed size of the BGZF block at address (from its header's BSIZE field).
    bool blockSize(FILE* raw, uint64_t address, uint64_t& size) {
        unsigned char head[18];
        if (fseeko(raw, static_cast<off_t>(address), SEEK_SET) != 0 ||
            std::fread(head, 1, sizeof head, raw) != sizeof head || head[0] != 31 || head[1] != 139)
            return false;
        size = static_cast<uint64_t>(head[16] | (head[17] << 8)) + 1;
        return true;
    }

    // The uncompressed size of the BGZF block at address (its trailing ISIZE field).
    bool blockLength(FILE* raw, uint64_t address, uint64_t size, size_t& length) {
        unsigned char isize[4];
        if (fseeko(raw, static_cast<off_t>(address + size - 4), SEEK_SET) != 0 ||
            std::fread(isize, 1, sizeof isize, raw) != sizeof isize)
            return false;
        length = static_cast<size_t>(isize[0] | (isize[1] << 8) | (isize[2] << 16)) |
                 (static_cast<size_t>(isize[3]) << 24);
        return true;
    }

    // Where the compressed records end: before the end-of-file marker block, which must be there.
    bool dataEnd(BGZF* in, FILE* raw, uint64_t& end) {
        const off_t EOF_BLOCK_SIZE = 28;
        off_t size = -1;
        if (bgzf_check_EOF(in) == 1 && fseeko(raw, 0, SEEK_END) == 0)
            size = ftello(raw);
        if (size < EOF_BLOCK_SIZE) {
            std::fprintf(stderr, "bamSplitter: %s is truncated or corrupt (no end-of-file block)\n",
                         inputPath);
            return false;
        }
        end = static_cast<uint64_t>(size - EOF_BLOCK_SIZE);
        return true;
    }

    bool writeFragment(int k, BGZF* in, FILE* raw, std::vector<char>& buffer) {
        std::string path = prefix + "_" + std::to_string(k + 1) + ".bam";
        htsFile* output = hts_open(path.c_str(), "wb1");
        if (!output) {
            std::fprintf(stderr, "bamSplitter: cannot create %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return false;
        }
        BGZF* out = output->fp.bgzf;
        uint64_t start = cuts[k], end = cuts[k + 1];
        bool toEnd = end == TO_END_OF_FILE;
        uint64_t startBlock = start >> 16, endBlock = end >> 16;
        size_t startOffset = start & 0xFFFF, endOffset = end & 0xFFFF;
        bool ok = sam_hdr_write(output, header) == 0 && bgzf_flush(out) == 0;
        if (ok && !toEnd && startBlock == endBlock) {
            ok = endOffset >= startOffset &&
                 copyDecoded(in, start, endOffset - startOffset, out, buffer);
        } else if (ok) {
            // The end of the block the fragment starts in, then whole blocks, then the start of
            // the block it ends in (none for the last fragment, which runs to the end of file).
            uint64_t rawStart = startBlock, rawEnd = endBlock;
            if (startOffset > 0) {
                size_t length = 0;
                uint64_t size = 0;
                ok = blockSize(raw, startBlock, size) &&
                     blockLength(raw, startBlock, size, length) && length >= startOffset &&
                     copyDecoded(in, start, length - startOffset, out, buffer);
                rawStart = startBlock + size;
            }
            if (toEnd)
                ok = ok && dataEnd(in, raw, rawEnd);
            ok = ok && rawStart <= rawEnd && copyRaw(raw, rawStart, rawEnd, out, buffer);
            if (!toEnd)
                ok = ok && copyDecoded(in, endBlock << 16, endOffset, out, buffer);
        }
        int closed = hts_close(output);
        if (!ok || closed < 0) {
            std::fprintf(stderr, "bamSplitter: cannot write %s (or read %s)\n", path.c_str(),
                         inputPath);
            return false;
        }
        return true;
    }

    int run() {
        if (!findCuts())
            return 1;
        BGZF* in = bgzf_open(inputPath, "r");
        FILE* raw = std::fopen(inputPath, "rb");
        if (!in || !raw) {
            std::fprintf(stderr, "bamSplitter: cannot reopen %s: %s\n", inputPath,
                         std::strerror(errno));
            if (in)
                bgzf_close(in);
            if (raw)
                std::fclose(raw);
            return 1;
        }
        std::vector<char> buffer;
        int status = 0;
        for (size_t k = 0; k + 1 < cuts.size() && status == 0; ++k)
            if (!writeFragment(static_cast<int>(k), in, raw, buffer))
                status = 1;
        bgzf_close(in);
        std::fclose(raw);
        return status;
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("bamSplitter %s (HTSlib %s)\n", AMBREL_VERSION, hts_version());
        return 0;
    }
    if (argc != 5)
        return print_usage();
    unsigned long perFragment = 0, threads = 0;
    if (!parse_count(argv[2], perFragment)) {
        std::fprintf(stderr, "bamSplitter: records per fragment must be a whole number, not '%s'\n",
                     argv[2]);
        return 2;
    }
    if (!parse_count(argv[4], threads) || threads == 0 || threads > 4096) {
        std::fprintf(stderr,
                     "bamSplitter: fragment count must be a whole number from 1 to 4096, "
                     "not '%s'\n",
                     argv[4]);
        return 2;
    }
    if (!*argv[3]) {
        std::fprintf(stderr, "bamSplitter: the output prefix is empty\n");
        return 2;
    }
    Splitter splitter;
    splitter.inputPath = argv[1];
    splitter.prefix = argv[3];
    splitter.perFragment = perFragment;
    splitter.fragmentCount = threads;
    if (threads > 1) {
        splitter.pool.pool = hts_tpool_init(static_cast<int>(threads));
        if (!splitter.pool.pool) {
            std::fprintf(stderr, "bamSplitter: cannot start %lu threads\n", threads);
            return 1;
        }
    }
    return splitter.run();
}
