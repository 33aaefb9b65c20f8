// Owning handles for the C libraries' files and records: closed or freed on every path, a throw
// included. A file written to is closed by hand (closeWritten) where the close reports whether
// the writes reached the disk.
#pragma once

#include <cstdio>
#include <memory>

#include <htslib/sam.h>

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

struct HtsFileCloser {
    void operator()(htsFile* file) const { hts_close(file); }
};
using HtsFileHandle = std::unique_ptr<htsFile, HtsFileCloser>;

struct SamHeaderFree {
    void operator()(sam_hdr_t* header) const { sam_hdr_destroy(header); }
};
using SamHeaderHandle = std::unique_ptr<sam_hdr_t, SamHeaderFree>;

struct BamRecordFree {
    void operator()(bam1_t* record) const { bam_destroy1(record); }
};
using BamRecordHandle = std::unique_ptr<bam1_t, BamRecordFree>;

// Closes a file that was written to; false when the close found a write that failed.
[[nodiscard]] inline bool closeWritten(FileHandle& file) {
    return std::fclose(file.release()) == 0;
}
