#include "ReadAnnotationFiles.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "support/EarlyTerminate.h"
#include "support/Gzip.h"
#include "support/Logger.h"
#include "support/SystemError.h"

namespace {

// Closes the stream when open; false when that close failed.
bool close_stream(std::ofstream& stream) {
    if (!stream.is_open())
        return true;
    stream.close();
    return !stream.fail();
}

} // namespace

ReadAnnotationFiles::ReadAnnotationFiles(const std::string& prefix_, EarlyTerminate& failures_)
    : failures(failures_), tcr(prefix_ + "_VDJ_TCR_Valid_Reads.fastq.gz"),
      bcr(prefix_ + "_VDJ_BCR_Valid_Reads.fastq.gz"), prefix(prefix_),
      sampleTag(prefix_ + "_SampleTag_Sorted_Valid_Reads.csv.0") {
    for (FastqStream* fastq : {&tcr, &bcr}) {
        fastq->stream.open(fastq->fileName, std::ios::binary | std::ios::trunc);
        if (!fastq->stream.is_open()) {
            int error = errno;
            throw systemError(error, "Failed to open " + fastq->fileName + " for write.");
        }
    }
    sampleTag.stream = std::fopen(sampleTag.name.c_str(), "wb");
    if (!sampleTag.stream) {
        int error = errno;
        throw systemError(error, "Failed to open " + sampleTag.name + " for write.");
    }
}

ReadAnnotationFiles::~ReadAnnotationFiles() {
    for (FastqStream* fastq : {&tcr, &bcr})
        if (!close_stream(fastq->stream))
            gLogger.error("Failed to close %s", fastq->fileName.c_str());
    for (Slot& slot : _slots) {
        ValidReadsFile* file = slot.file.load();
        if (!file)
            continue;
        // A failed run keeps what it wrote; the failure that stopped it is reported already.
        if (!file->close())
            gLogger.error("Failed to close %s", file->name.c_str());
        delete file;
    }
    if (!sampleTag.close())
        gLogger.error("Failed to close %s", sampleTag.name.c_str());
    // A run without VDJ reads of a chain leaves no empty FASTQ file behind.
    for (FastqStream* fastq : {&tcr, &bcr})
        if (fastq->blockCount.load() == 0)
            std::remove(fastq->fileName.c_str());
}

namespace {

// A table's lines collected so far are written out first: a member written after the mark would
// mix them with the attempt's.
ReadAnnotationFiles::TableMark mark_table(ReadAnnotationFiles::ValidReadsFile* file) {
    ReadAnnotationFiles::TableMark mark;
    if (!file || !file->stream)
        return mark;
    if (!file->flush() || std::fflush(file->stream) != 0) {
        int error = errno;
        throw systemError(error, "Cannot write " + file->name);
    }
    mark.open = true;
    mark.size = std::ftell(file->stream);
    mark.textBytes = file->textBytes;
    mark.textLines = file->textLines;
    if (mark.size < 0) {
        int error = errno;
        throw systemError(error, "Cannot read the size of " + file->name);
    }
    return mark;
}

void rewind_table(ReadAnnotationFiles::ValidReadsFile& file,
                  const ReadAnnotationFiles::TableMark& mark) {
    file.text.clear();
    if (std::fflush(file.stream) != 0 || ftruncate(fileno(file.stream), mark.size) != 0 ||
        std::fseek(file.stream, mark.size, SEEK_SET) != 0) {
        int error = errno;
        throw systemError(error, "Cannot cut back " + file.name);
    }
    file.textBytes = mark.textBytes;
    file.textLines = mark.textLines;
}

std::streamoff mark_fastq(FastqStream& fastq) {
    fastq.stream.flush();
    std::streamoff size = fastq.stream.tellp();
    if (size < 0) {
        int error = errno;
        throw systemError(error, "Cannot read the size of " + fastq.fileName);
    }
    return size;
}

void rewind_fastq(FastqStream& fastq, std::streamoff size) {
    fastq.stream.flush();
    std::error_code error;
    std::filesystem::resize_file(fastq.fileName, static_cast<uintmax_t>(size), error);
    if (error || !fastq.stream.seekp(size))
        throw std::system_error(error, "Cannot cut back " + fastq.fileName);
}

} // namespace

ReadAnnotationFiles::Mark ReadAnnotationFiles::mark() {
    Mark mark;
    for (int k = 0; k < NUMBER_OF_FILES; ++k)
        mark.tables[k] = mark_table(_slots[k].file.load());
    mark.sampleTag = mark_table(&sampleTag);
    mark.tcr = mark_fastq(tcr);
    mark.bcr = mark_fastq(bcr);
    mark.tcrBlocks = tcr.blockCount.load();
    mark.bcrBlocks = bcr.blockCount.load();
    return mark;
}

void ReadAnnotationFiles::rewind(const Mark& mark) {
    for (int k = 0; k < NUMBER_OF_FILES; ++k) {
        ValidReadsFile* file = _slots[k].file.load();
        if (!file || !file->stream)
            continue;
        if (mark.tables[k].open) {
            rewind_table(*file, mark.tables[k]);
            continue;
        }
        // A table this library opened is not left behind, even empty.
        std::fclose(file->stream);
        std::remove(file->name.c_str());
        delete file;
        _slots[k].file.store(nullptr);
        _slots[k].once = std::make_unique<std::once_flag>();
    }
    if (sampleTag.stream)
        rewind_table(sampleTag, mark.sampleTag);
    rewind_fastq(tcr, mark.tcr);
    rewind_fastq(bcr, mark.bcr);
    tcr.blockCount.store(mark.tcrBlocks);
    bcr.blockCount.store(mark.bcrBlocks);
}

void ReadAnnotationFiles::closeVdjFastqFiles() {
    for (FastqStream* fastq : {&tcr, &bcr})
        if (!close_stream(fastq->stream))
            throw std::runtime_error("Failed to close " + fastq->fileName);
}

void ReadAnnotationFiles::flushFastq(std::string& buffer, FastqStream& fastq) {
    mCompressAndWriteBufferToGzFile(buffer, fastq.fileName, fastq.stream, fastq.mutex);
    ++fastq.blockCount;
    buffer.clear();
}

int ReadAnnotationFiles::partitionOfGene(const std::string& gene) {
    unsigned long h = std::hash<std::string>()(gene);
    unsigned long wide = h & WIDE_MASK;
    return static_cast<int>(wide < NUMBER_OF_FILES ? wide : (h >> 6) & NARROW_MASK);
}

std::string ReadAnnotationFiles::partitionFileName(int partition) const {
    return prefix + "_Sorted_Valid_Reads.csv." + std::to_string(partition);
}

ReadAnnotationFiles::ValidReadsFile& ReadAnnotationFiles::_partition(int partition) {
    Slot& slot = _slots[partition];
    if (ValidReadsFile* file = slot.file.load())
        return *file;
    std::call_once(*slot.once, [this, &slot, partition] {
        auto mine = std::make_unique<ValidReadsFile>(partitionFileName(partition));
        mine->stream = std::fopen(mine->name.c_str(), "wb");
        // The run's failure record stops the run after this library; writers find no stream
        // and write nothing.
        if (!mine->stream) {
            int error = errno;
            failures.fail("Failed to open '" + mine->name + "' for write: " + errorText(error));
        }
        slot.file.store(mine.release());
    });
    return *slot.file.load();
}

std::string ReadAnnotationFiles::ValidReadsFile::writeMember(const std::string& lines) {
    std::lock_guard<std::mutex> lock(streamMutex);
    if (lines.empty() || !stream)
        return "";
    try {
        writeGzipMember(lines.data(), lines.size(), GZIP_FAST_LEVEL, stream, name);
    } catch (const std::exception& e) {
        return e.what();
    }
    // What sorting the table in memory will hold: its text and an index entry a line.
    textBytes += lines.size();
    textLines += static_cast<unsigned long>(std::count(lines.begin(), lines.end(), '\n'));
    return "";
}

bool ReadAnnotationFiles::ValidReadsFile::flush() {
    bool written = writeMember(text).empty();
    text.clear();
    return written;
}

bool ReadAnnotationFiles::ValidReadsFile::close() {
    if (!stream)
        return true;
    bool flushed = flush();
    bool closed = std::fclose(stream) == 0;
    stream = nullptr;
    return flushed && closed;
}

void ReadAnnotationFiles::_append(ValidReadsFile& file, const std::string& line,
                                  const char* origin) {
    std::string full;
    {
        std::lock_guard<std::mutex> lock(file.mutex);
        file.text += line;
        if (file.text.size() < TABLE_MEMBER_TEXT)
            return;
        full.swap(file.text);
        file.text.reserve(TABLE_MEMBER_TEXT + 4096);
    }
    // Compressed outside the table's lock: the order of the members does not matter, the table
    // is sorted at the end.
    std::string error = file.writeMember(full);
    if (!error.empty())
        failures.fail(std::string(origin) + ": Error in writing to " + file.name + ": " + error);
}

void ReadAnnotationFiles::writeValidReads(const std::string& line, const std::string& gene) {
    if (line.empty())
        return;
    ValidReadsFile& file = _partition(partitionOfGene(gene));
    if (file.stream)
        _append(file, line, "writeValidRead");
}

void ReadAnnotationFiles::writeSampleTagValidReads(const std::string& line) {
    if (sampleTag.stream)
        _append(sampleTag, line, "writeSampleTagValidReads");
}

void ReadAnnotationFiles::mCompressAndWriteBufferToGzFile(const std::string& buffer,
                                                          const std::string& fileName,
                                                          std::ofstream& stream,
                                                          std::mutex& mutex) {
    const std::string origin = "mCompressAndWriteBufferToGzFile: ";
    thread_local std::vector<char> member;
    size_t size = 0;
    try {
        size = gzipMember(buffer.data(), buffer.size(), GZIP_LEVEL, member);
    } catch (const std::exception& e) {
        failures.fail(origin + "Cannot compress a buffer for the file " + fileName + ": " +
                      e.what());
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    stream.write(member.data(), static_cast<std::streamsize>(size));
    if (size == 0 || stream.fail() || stream.bad()) {
        int error = errno;
        failures.fail(origin + "Failed to write compressed buffer to file: " + fileName +
                      ". errno desc: " + errorText(error));
    }
}
