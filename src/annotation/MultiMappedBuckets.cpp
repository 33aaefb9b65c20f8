#include "MultiMappedBuckets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "outputs/BamWriter.h"
#include "support/Handles.h"
#include "support/SystemError.h"
#include "support/Workers.h"

namespace {

// Each record in a bucket: the input's virtual offset of the record, then its BAM bytes.
constexpr size_t OFFSET_BYTES = 8, FIXED_BYTES = sizeof(EncodedBamRecord::fixed);

// A record of a bucket in memory: its name, where it was in the input, and its bytes.
struct Entry {
    const char* name;
    int64_t inputOffset;
    const uint8_t* bytes;
    size_t length;
};

// The records of a bucket's bytes; throws naming path when they do not parse.
std::vector<Entry> bucket_entries(const std::vector<uint8_t>& bytes, const std::string& path) {
    std::vector<Entry> entries;
    const std::runtime_error damaged("The multi-mapped records in " + path + " are damaged");
    for (size_t at = 0; at < bytes.size();) {
        if (bytes.size() - at < OFFSET_BYTES + FIXED_BYTES)
            throw damaged;
        const uint8_t* record = &bytes[at + OFFSET_BYTES];
        uint32_t blockSize;
        std::memcpy(&blockSize, record, 4);
        size_t length = 4 + static_cast<size_t>(blockSize);
        uint8_t nameLength = record[12];
        if (bytes.size() - at - OFFSET_BYTES < length || blockSize < 32u + nameLength ||
            nameLength == 0 || record[FIXED_BYTES + nameLength - 1] != 0)
            throw damaged;
        int64_t inputOffset;
        std::memcpy(&inputOffset, &bytes[at], OFFSET_BYTES);
        entries.push_back(
            {reinterpret_cast<const char*>(record + FIXED_BYTES), inputOffset, record, length});
        at += OFFSET_BYTES + length;
    }
    return entries;
}

std::vector<uint8_t> read_bucket(const std::string& path) {
    std::error_code sizeError;
    uintmax_t size = std::filesystem::file_size(path, sizeError);
    FileHandle file(sizeError ? nullptr : std::fopen(path.c_str(), "rb"));
    std::vector<uint8_t> bytes(file ? size : 0);
    bool read = file && std::fread(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    int error = sizeError ? sizeError.value() : errno;
    if (!read)
        throw systemError(error, "Cannot read " + path);
    return bytes;
}

} // namespace

MultiMappedBuckets::MultiMappedBuckets(const std::string& prefix, size_t count) : _buckets(count) {
    for (size_t k = 0; k < count; ++k) {
        Bucket& bucket = _buckets[k];
        bucket.path = prefix + "." + std::to_string(k);
        if (!(bucket.file = std::fopen(bucket.path.c_str(), "wb"))) {
            int error = errno;
            throw systemError(error, "Cannot write " + bucket.path);
        }
        std::setvbuf(bucket.file, nullptr, _IOFBF, 1 << 16);
    }
}

size_t MultiMappedBuckets::countFor(uint64_t inputBytes) {
    return std::clamp<uint64_t>(inputBytes >> 26, 64, 512);
}

bool MultiMappedBuckets::add(const bam1_t* record, int64_t inputOffset) {
    EncodedBamRecord encoded;
    bool encodable = encodeBamRecord(record, encoded);
    Bucket& bucket =
        _buckets[std::hash<std::string_view>()(bam_get_qname(record)) % _buckets.size()];
    std::lock_guard<std::mutex> lock(bucket.mutex);
    if (bucket.failed)
        return false;
    FILE* file = bucket.file;
    bool written =
        encodable && fwrite_unlocked(&inputOffset, OFFSET_BYTES, 1, file) == 1 &&
        fwrite_unlocked(encoded.fixed, sizeof encoded.fixed, 1, file) == 1 &&
        fwrite_unlocked(encoded.name, 1, encoded.nameLength, file) == encoded.nameLength &&
        fwrite_unlocked(encoded.rest, 1, encoded.restLength, file) == encoded.restLength;
    if (!written) {
        bucket.failed = true;
        bucket.error = encodable ? errno : EOVERFLOW;
    }
    return written;
}

void MultiMappedBuckets::close() {
    for (Bucket& bucket : _buckets) {
        if (bucket.file && std::fclose(bucket.file) != 0 && !bucket.failed) {
            bucket.failed = true;
            bucket.error = errno;
        }
        bucket.file = nullptr;
    }
    for (const Bucket& bucket : _buckets)
        if (bucket.failed)
            throw systemError(bucket.error, "Cannot write " + bucket.path);
}

std::vector<unsigned long> MultiMappedBuckets::groupInto(const sam_hdr_t* header,
                                                         const std::vector<std::string>& outputs) {
    std::vector<unsigned long> records(outputs.size());
    EarlyTerminate failures;
    // A header each: writing one may build its text.
    std::vector<SamHeaderHandle> headers;
    for (size_t t = 0; t < outputs.size(); ++t)
        if (!headers.emplace_back(sam_hdr_dup(header)))
            throw std::runtime_error("Cannot copy the BAM header for " + outputs[t]);
    runWorkers(
        outputs.size(),
        [&](size_t t) { records[t] = _group(t, outputs.size(), headers[t].get(), outputs[t]); },
        failures);
    if (failures.failed())
        throw std::runtime_error(failures.messages().front());
    return records;
}

unsigned long MultiMappedBuckets::_group(size_t first, size_t stride, sam_hdr_t* header,
                                         const std::string& output) {
    BamWriter writer;
    if (!writer.open(output, header)) {
        int error = errno;
        throw systemError(error, "Cannot write " + output);
    }
    unsigned long records = 0;
    for (size_t k = first; k < _buckets.size(); k += stride) {
        const std::string& path = _buckets[k].path;
        std::vector<uint8_t> bytes = read_bucket(path);
        std::remove(path.c_str()); // its disk space is the grouped copy's now
        std::vector<Entry> entries = bucket_entries(bytes, path);
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            int order = std::strcmp(a.name, b.name);
            return order != 0 ? order < 0 : a.inputOffset < b.inputOffset;
        });
        for (const Entry& entry : entries)
            if (!writer.writeEncoded(entry.bytes, entry.length)) {
                int error = errno;
                throw systemError(error, "Cannot write " + output);
            }
        records += entries.size();
    }
    if (!writer.close()) {
        int error = errno;
        throw systemError(error, "Cannot write " + output);
    }
    return records;
}
