// bamSplitter: cuts a BAM into fragments of about L records for parallel annotation, never
// splitting a read: a record and the NH - 1 records after it always land in one fragment.
//
//   bamSplitter <input BAM> <records per fragment L> <output prefix> <fragment count T>
//
// Writes <prefix>_1.bam, <prefix>_2.bam, ... (each with the input's header, records in input
// order), at BGZF level 1 since they are temporary, using an HTSlib thread pool of T threads.
// An empty input gives one header-only fragment. Exits non-zero with a message naming the file on
// unreadable or truncated input, a bad argument or a failed write.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <htslib/hts.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include "annotation/BamRecord.h"

namespace {

int __usage() {
    std::fprintf(stderr, "Usage: bamSplitter <input BAM> <records per fragment> <output prefix> "
                         "<fragment count>\n");
    return 2;
}

bool __parse_count(const char* text, unsigned long& value) {
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && end && *end == '\0';
}

struct Splitter {
    const char* inputPath;
    std::string prefix;
    unsigned long perFragment;
    htsThreadPool pool{nullptr, 0};
    htsFile* input = nullptr;
    sam_hdr_t* header = nullptr;
    htsFile* output = nullptr;
    std::string outputPath;
    int fragments = 0;

    bool openFragment() {
        outputPath = prefix + "_" + std::to_string(++fragments) + ".bam";
        output = hts_open(outputPath.c_str(), "wb1");
        if (!output) {
            std::fprintf(stderr, "bamSplitter: cannot create %s: %s\n", outputPath.c_str(),
                         std::strerror(errno));
            return false;
        }
        if (pool.pool)
            hts_set_opt(output, HTS_OPT_THREAD_POOL, &pool);
        if (sam_hdr_write(output, header) < 0) {
            std::fprintf(stderr, "bamSplitter: cannot write the header to %s\n",
                         outputPath.c_str());
            return false;
        }
        return true;
    }

    bool closeFragment() {
        int closed = hts_close(output);
        output = nullptr;
        if (closed < 0) {
            std::fprintf(stderr, "bamSplitter: cannot finish %s\n", outputPath.c_str());
            return false;
        }
        return true;
    }

    int run() {
        input = hts_open(inputPath, "rb");
        if (!input) {
            std::fprintf(stderr, "bamSplitter: cannot open %s: %s\n", inputPath,
                         std::strerror(errno));
            return 1;
        }
        header = sam_hdr_read(input);
        if (!header) {
            std::fprintf(stderr, "bamSplitter: cannot read a BAM header from %s\n", inputPath);
            return 1;
        }
        // Threads only once the header is in: HTSlib's threaded reader can wait forever on a
        // file too short to hold one.
        if (pool.pool)
            hts_set_opt(input, HTS_OPT_THREAD_POOL, &pool);
        if (!openFragment())
            return 1;
        bam1_t* record = bam_init1();
        unsigned long inFragment = 0;
        long remainingOfRead = 0; // records still to come of the current read
        int result;
        int status = 0;
        while ((result = sam_read1(input, header, record)) >= 0) {
            if (remainingOfRead == 0) {
                // A read boundary: cut here once the fragment holds its share.
                if (perFragment > 0 && inFragment >= perFragment) {
                    if (!closeFragment() || !openFragment()) {
                        status = 1;
                        break;
                    }
                    inFragment = 0;
                }
                // A record without NH is a read of its own.
                long nh = getIntegerTag(record, "NH", 1);
                remainingOfRead = nh > 1 ? nh : 1;
            }
            if (sam_write1(output, header, record) < 0) {
                std::fprintf(stderr, "bamSplitter: cannot write a record to %s\n",
                             outputPath.c_str());
                status = 1;
                break;
            }
            ++inFragment;
            --remainingOfRead;
        }
        if (status == 0 && result < -1) {
            std::fprintf(stderr,
                         "bamSplitter: %s is truncated or corrupt (read error after %lu "
                         "records of fragment %d)\n",
                         inputPath, inFragment, fragments);
            status = 1;
        }
        bam_destroy1(record);
        if (output && !closeFragment())
            status = 1;
        // The threaded reader reports a cut-off last block as the end of the input; only the
        // close says that the input was incomplete.
        int inputClosed = hts_close(input);
        input = nullptr;
        if (status == 0 && inputClosed < 0) {
            std::fprintf(stderr,
                         "bamSplitter: %s is truncated or corrupt (its end could not be "
                         "read)\n",
                         inputPath);
            status = 1;
        }
        return status;
    }

    ~Splitter() {
        if (output)
            hts_close(output);
        if (header)
            sam_hdr_destroy(header);
        if (input)
            hts_close(input);
        if (pool.pool)
            hts_tpool_destroy(pool.pool);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        return __usage();
    unsigned long perFragment = 0, threads = 0;
    if (!__parse_count(argv[2], perFragment)) {
        std::fprintf(stderr, "bamSplitter: records per fragment must be a whole number, not '%s'\n",
                     argv[2]);
        return 2;
    }
    if (!__parse_count(argv[4], threads) || threads == 0 || threads > 4096) {
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
    if (threads > 1) {
        splitter.pool.pool = hts_tpool_init(static_cast<int>(threads));
        if (!splitter.pool.pool) {
            std::fprintf(stderr, "bamSplitter: cannot start %lu threads\n", threads);
            return 1;
        }
    }
    return splitter.run();
}
