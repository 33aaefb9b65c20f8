// The run's valid-reads outputs, written concurrently by every annotation worker: 32 gene-
// partitioned tables, the sample-tag table, and the TCR and BCR gzip FASTQ files.
#pragma once

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One receptor FASTQ output: gzip members appended under its own lock, and how many were written
// (a file that never got one is removed at the end).
struct FastqStream {
    explicit FastqStream(std::string name) : fileName(std::move(name)) {}
    std::string fileName;
    std::ofstream stream;
    std::mutex mutex;
    std::atomic<unsigned long> blockCount{0};
};

class EarlyTerminate;

class ReadAnnotationFiles {
public:
    static constexpr int NUMBER_OF_FILES = 32;
    static constexpr int PARTITION_BITS = 5;
    static constexpr unsigned long WIDE_MASK = 63;
    static constexpr unsigned long NARROW_MASK = 31;

    // A table as the workers write it: lines collected under mutex, written out as gzip members
    // at level 1 (the tables stay a fraction of their text on disk until they are sorted).
    class ValidReadsFile {
    public:
        explicit ValidReadsFile(std::string name) : name(std::move(name)) {}
        // Writes lines to the stream as one member, under streamMutex; the failure, or "".
        std::string writeMember(const std::string& lines);
        // Writes the lines collected so far as one member; false when the write failed.
        [[nodiscard]] bool flush();
        // Flushes and closes the stream, both whatever the other gives; false on a failure.
        [[nodiscard]] bool close();
        FILE* stream = nullptr;
        std::mutex mutex; // guards text
        std::string text;
        std::mutex streamMutex; // guards the stream and what it holds:
        unsigned long textBytes = 0, textLines = 0;
        std::string name;
    };
    // The text that a table collects before it is compressed and written.
    static constexpr size_t TABLE_MEMBER_TEXT = 256 * 1024;

    // Opens the TCR, BCR and sample-tag outputs named by prefix; throws std::system_error naming
    // the file that cannot be opened.
    // failures is the run's failure record, where the workers' write failures go (a worker must
    // not throw).
    ReadAnnotationFiles(const std::string& prefix, EarlyTerminate& failures);
    ~ReadAnnotationFiles();
    ReadAnnotationFiles(const ReadAnnotationFiles&) = delete;
    ReadAnnotationFiles& operator=(const ReadAnnotationFiles&) = delete;

    // Appends line to the partition table of gene; an empty line is ignored.
    void writeValidReads(const std::string& line, const std::string& gene);
    void writeSampleTagValidReads(const std::string& line);
    // Compresses buffer into one gzip member and appends it to stream under mutex. Failures are
    // recorded in the run's failure record.
    void mCompressAndWriteBufferToGzFile(const std::string& buffer, const std::string& fileName,
                                         std::ofstream& stream, std::mutex& mutex);

    // Finishes every partition table and the sample-tag table (even when no sample-tag read was
    // written): closes them, sorts and compresses them to <name>.gz, `threads` at a time (a table
    // too large for memory sorted by the external sort, in tempFolder), logs how in
    // "sorting_<time>.log", then archives the run's ".log" files into <prefix>_Ambrel_Logs.tar.gz.
    void sortValidReadsFiles(unsigned long threads, const std::string& tempFolder);

    // Appends buffer to fastq as one gzip member and empties it.
    void flushFastq(std::string& buffer, FastqStream& fastq);

    // Where the outputs stand, between two libraries. A library whose reads turn out not to be
    // together is annotated again, after its first attempt is taken back with rewind.
    struct TableMark {
        bool open = false;
        long size = 0; // bytes written
        unsigned long textBytes = 0, textLines = 0;
    };
    struct Mark {
        TableMark tables[NUMBER_OF_FILES];
        TableMark sampleTag;
        std::streamoff tcr = 0, bcr = 0;
        unsigned long tcrBlocks = 0, bcrBlocks = 0;
    };
    // Both with no worker writing; they throw std::system_error naming a file they cannot write.
    Mark mark();
    void rewind(const Mark& mark);

    // Closes the TCR and then the BCR stream; throws std::runtime_error("Failed to close <name>")
    // when a close fails. The destructor cannot report that, so the driver calls this first.
    void closeVdjFastqFiles();

    static int partitionOfGene(const std::string& gene);
    std::string partitionFileName(int partition) const;
    // The partition's file once a line has been written to it, else null.
    const ValidReadsFile* partitionFile(int partition) const {
        return _slots[partition].file.load();
    }

    EarlyTerminate& failures;
    FastqStream tcr, bcr;
    std::string prefix;
    ValidReadsFile sampleTag;

private:
    // Adds line to the table, writing a member when enough text has collected.
    void _append(ValidReadsFile& file, const std::string& line, const char* origin);
    // A partition's table, opened by the first worker that writes to it; the others wait for
    // that open (call_once) rather than spin. The flag is renewed when a library's attempt is
    // taken back, between attempts.
    struct Slot {
        std::unique_ptr<std::once_flag> once = std::make_unique<std::once_flag>();
        std::atomic<ValidReadsFile*> file{nullptr};
    };
    ValidReadsFile& _partition(int partition);

    Slot _slots[NUMBER_OF_FILES];
};
