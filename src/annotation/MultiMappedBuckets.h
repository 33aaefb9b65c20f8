// Where the workers of an input whose reads are not together (a coordinate-sorted BAM) put its
// multi-mapped records: bucket files of BAM records, each read's records in the bucket its name
// hashes to, then grouped by read name one bucket at a time, so that grouping holds a bucket in
// memory rather than the input, and needs no external sort.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <htslib/sam.h>

class MultiMappedBuckets {
public:
    // count bucket files <prefix>.<k>; throws std::system_error naming a file it cannot create.
    MultiMappedBuckets(const std::string& prefix, size_t count);
    MultiMappedBuckets(const MultiMappedBuckets&) = delete;
    MultiMappedBuckets& operator=(const MultiMappedBuckets&) = delete;

    // Adds a record read at virtual offset inputOffset of the input; from any thread. False when
    // it cannot be written (the failure is kept for close).
    [[nodiscard]] bool add(const bam1_t* record, int64_t inputOffset);
    // Closes the buckets; throws std::system_error naming the first that could not be written.
    void close();
    // Writes the records into one BAM with header per output, output t grouping buckets t, t + n,
    // ... on a thread of its own; within a bucket, the records of a name follow each other in
    // input order. Returns how many records each output holds; throws naming a file on failure.
    std::vector<unsigned long> groupInto(const sam_hdr_t* header,
                                         const std::vector<std::string>& outputs);

    // Buckets for an input of inputBytes: enough that each stays a few MB to a few hundred, few
    // enough to stay far below the limit of open files.
    static size_t countFor(uint64_t inputBytes);

private:
    // A bucket closes and removes its file when it goes, also when a later bucket of the set
    // cannot be made.
    struct Bucket {
        ~Bucket() {
            if (file)
                std::fclose(file);
            if (!path.empty())
                std::remove(path.c_str());
        }
        std::string path;
        FILE* file = nullptr;
        std::mutex mutex;
        bool failed = false;
        int error = 0;
    };
    unsigned long _group(size_t first, size_t stride, sam_hdr_t* header, const std::string& output);

    std::vector<Bucket> _buckets; // made once, never moved: each holds its mutex
};
