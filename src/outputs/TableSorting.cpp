#include "TableSorting.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

#include <unordered_map>

#include "ExternalSort.h"
#include "support/Cgroups.h"
#include "support/Gzip.h"
#include "support/Handles.h"
#include "support/SystemError.h"
#include "support/Workers.h"

namespace {

// Text per gzip member: large enough that the members cost nothing in ratio, small enough that
// the compressed copy stays small.
constexpr size_t MEMBER_TEXT = 1 << 20;
constexpr int MAX_KEY = 4;

// One line of a table in memory, with where its first fields end, so that a comparison finds its
// keys without scanning, and the first 8 bytes of its second key as a number, which decides most
// comparisons between the lines of one gene.
struct Line {
    const char* text;
    uint32_t length;
    uint32_t fieldEnd[MAX_KEY]; // offset of the comma (or the end) closing field k + 1
    uint32_t rank;              // of the first key among the table's first keys
    uint64_t prefix;
};

std::string_view key_field(const Line& line, int k) {
    uint32_t start = k == 1 ? 0 : std::min(line.fieldEnd[k - 2] + 1, line.length);
    return std::string_view(line.text + start,
                            line.fieldEnd[k - 1] - std::min(start, line.fieldEnd[k - 1]));
}

// The first 8 bytes of text, big-endian, zero-padded: numbers in the byte order of the texts.
uint64_t key_prefix(std::string_view text) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i)
        value = value << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0);
    return value;
}

Line index_line(const char* text, uint32_t length, const std::vector<int>& keys) {
    Line line{text, length, {}, 0, 0};
    uint32_t at = 0;
    for (int k = 0; k < MAX_KEY; ++k) {
        const void* comma = at < length ? std::memchr(text + at, ',', length - at) : nullptr;
        line.fieldEnd[k] =
            comma ? static_cast<uint32_t>(static_cast<const char*>(comma) - text) : length;
        at = line.fieldEnd[k] + 1;
    }
    if (keys.size() > 1)
        line.prefix = key_prefix(key_field(line, keys[1]));
    return line;
}

// Orders lines by keys[from...], then by the whole line.
bool line_less(const Line& a, const Line& b, const std::vector<int>& keys, size_t from = 0) {
    for (size_t i = from; i < keys.size(); ++i) {
        if (i == 1 && a.prefix != b.prefix)
            return a.prefix < b.prefix;
        int order = key_field(a, keys[i]).compare(key_field(b, keys[i]));
        if (order != 0)
            return order < 0;
    }
    return std::string_view(a.text, a.length) < std::string_view(b.text, b.length);
}

// Sorts lines by their keys. The first key (a gene) is ranked once per distinct value, through a
// hash, so that most comparisons are of two numbers: the same order as comparing the keys' bytes.
void sort_lines(std::vector<Line>& lines, const std::vector<int>& keys) {
    std::unordered_map<std::string_view, uint32_t> groupOf;
    std::vector<std::string_view> groups;
    for (Line& line : lines) {
        auto found =
            groupOf.emplace(key_field(line, keys[0]), static_cast<uint32_t>(groups.size()));
        if (found.second)
            groups.push_back(found.first->first);
        line.rank = found.first->second;
    }
    std::vector<uint32_t> byKey(groups.size()), rank(groups.size());
    for (uint32_t g = 0; g < byKey.size(); ++g)
        byKey[g] = g;
    std::sort(byKey.begin(), byKey.end(),
              [&groups](uint32_t a, uint32_t b) { return groups[a] < groups[b]; });
    for (uint32_t r = 0; r < byKey.size(); ++r)
        rank[byKey[r]] = r;
    // Lines to their gene's place in one pass (an in-place counting sort), then each gene's lines
    // sorted among themselves: a few hundred lines a gene, against millions a table.
    std::vector<size_t> next(groups.size() + 1, 0);
    for (Line& line : lines)
        ++next[(line.rank = rank[line.rank]) + 1];
    for (size_t r = 1; r < next.size(); ++r)
        next[r] += next[r - 1];
    std::vector<size_t> end(next.begin() + 1, next.end());
    for (uint32_t r = 0; r < groups.size(); ++r)
        while (next[r] < end[r]) {
            Line& line = lines[next[r]];
            if (line.rank == r)
                ++next[r];
            else
                std::swap(line, lines[next[line.rank]++]);
        }
    for (size_t r = 0, from = 0; r < groups.size(); from = end[r++])
        std::sort(lines.begin() + from, lines.begin() + end[r],
                  [&keys](const Line& a, const Line& b) { return line_less(a, b, keys, 1); });
}

// Collects whole lines into members of about MEMBER_TEXT bytes and writes each compressed.
class MemberWriter {
public:
    MemberWriter(FILE* out, const std::string& path) : _out(out), _path(path) {
        _text.reserve(MEMBER_TEXT + 4096);
    }
    void line(const char* text, size_t length) {
        _text.append(text, length).push_back('\n');
        if (_text.size() >= MEMBER_TEXT)
            flush();
    }
    void flush() {
        if (_text.empty())
            return;
        written += writeGzipMember(_text.data(), _text.size(), GZIP_LEVEL, _out, _path);
        _text.clear();
    }
    // The last member; a table without lines is one empty member, so that the file is gzip (an
    // empty file is not: gzip -t and zcat of all tables fail on it).
    void finish() {
        flush();
        if (written == 0)
            written = writeGzipMember("", 0, GZIP_LEVEL, _out, _path);
    }
    unsigned long written = 0;

private:
    FILE* _out;
    const std::string& _path;
    std::string _text;
};

// Sorts the table in memory and writes its gzip to out.
void sort_in_memory(const TableJob& table, FILE* out, TableReport& report) {
    std::string text = readGzipMembers(table.path);
    std::vector<Line> lines;
    lines.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(index_line(text.data() + at, static_cast<uint32_t>(end - at), table.keys));
        at = end + 1;
    }
    sort_lines(lines, table.keys);
    MemberWriter writer(out, table.path);
    for (const Line& line : lines)
        writer.line(line.text, line.length);
    writer.finish();
    report.lines = lines.size();
    report.compressedBytes = writer.written;
}

// A scratch file, removed when it goes out of scope on every path.
struct ScratchFile {
    std::string path;
    ~ScratchFile() { std::remove(path.c_str()); }
};

// Sorts the table with the external sort and compresses its output as it reads it.
void sort_externally(const TableJob& table, FILE* out, TableReport& report, unsigned long memory,
                     const std::string& tempFolder) {
    std::vector<std::string> keys;
    for (int k : table.keys)
        keys.insert(keys.end(), {"--key", std::to_string(k) + "," + std::to_string(k)});
    // Inflated as it is read: the table does not fit in memory.
    ScratchFile scratch{table.path + ".text"};
    const std::string& text = scratch.path;
    {
        std::ofstream plain(text, std::ios::binary);
        inflateGzipMembers(table.path, [&plain](const char* part, size_t length) {
            plain.write(part, static_cast<std::streamsize>(length));
        });
        if (!plain.flush()) {
            int error = errno;
            throw systemError(error, "Cannot write " + text);
        }
    }
    sortTxtFile(text, text, 1, ",", std::to_string(std::max(1UL, memory >> 20)) + "M", keys,
                tempFolder);
    std::ifstream in(text, std::ios::binary);
    if (!in) {
        int error = errno;
        throw systemError(error, "Cannot read the sorted table " + table.path);
    }
    MemberWriter writer(out, table.path);
    for (std::string line; std::getline(in, line); ++report.lines)
        writer.line(line.data(), line.size());
    if (in.bad()) {
        int error = errno;
        throw systemError(error, "Cannot read the sorted table " + table.path);
    }
    writer.finish();
    report.compressedBytes = writer.written;
}

void finish_table(const TableJob& table, unsigned long memory, const std::string& tempFolder,
                  TableReport& report) {
    auto start = std::chrono::steady_clock::now();
    report.path = table.path;
    struct stat info;
    if (stat(table.path.c_str(), &info) != 0) {
        int error = errno;
        throw systemError(error, "Cannot read the table " + table.path);
    }
    // The text, an index entry a line, the read and the written members. The text is about four
    // times its level-1 members: a table of unknown text is taken for eight times.
    unsigned long compressed = static_cast<unsigned long>(info.st_size);
    report.bytes = table.textBytes ? table.textBytes : 8 * compressed;
    unsigned long lines = table.textBytes ? table.lines : report.bytes / 16;
    unsigned long need = report.bytes + lines * (sizeof(Line) + 8) + 4 * MEMBER_TEXT;
    report.external = need > memory;
    std::string gz = table.path + ".gz";
    FileHandle out(std::fopen(gz.c_str(), "wb"));
    if (!out) {
        int error = errno;
        throw systemError(error, "Cannot write " + gz);
    }
    if (report.external)
        sort_externally(table, out.get(), report, memory, tempFolder);
    else
        sort_in_memory(table, out.get(), report);
    if (!closeWritten(out)) {
        int error = errno;
        throw systemError(error, "Cannot write " + gz);
    }
    if (std::remove(table.path.c_str()) != 0) {
        int error = errno;
        throw systemError(error, "Cannot remove " + table.path);
    }
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A value of /proc/meminfo in bytes; 0 when it is missing.
unsigned long meminfo_bytes(const char* key) {
    std::ifstream in("/proc/meminfo");
    std::string word;
    unsigned long value = 0;
    while (in >> word)
        if (word == key && in >> value)
            return value * 1024; // kB
    return 0;
}

} // namespace

std::vector<TableReport> sortAndCompressTables(std::vector<TableJob> tables, unsigned long threads,
                                               unsigned long memoryBudget,
                                               const std::string& tempFolder,
                                               const std::atomic<bool>* stop,
                                               std::atomic<size_t>* finished) {
    // The largest first, so that the last table to start is a small one.
    std::vector<std::pair<off_t, size_t>> order;
    for (size_t k = 0; k < tables.size(); ++k) {
        struct stat info;
        order.emplace_back(stat(tables[k].path.c_str(), &info) == 0 ? info.st_size : 0, k);
    }
    std::sort(order.rbegin(), order.rend());
    for (const TableJob& table : tables) {
        if (table.keys.empty())
            throw std::invalid_argument("No sort keys for the table " + table.path);
        for (int k : table.keys)
            if (k < 1 || k > MAX_KEY)
                throw std::invalid_argument("Tables are sorted by fields 1 to 4, not " +
                                            std::to_string(k));
    }
    std::vector<TableReport> reports(tables.size());
    unsigned long workers = std::max(1UL, std::min<unsigned long>(threads, tables.size()));
    unsigned long share = memoryBudget / workers;
    std::atomic<size_t> next{0};
    EarlyTerminate failures;
    auto work = [&](size_t) {
        for (size_t k; !failures.failed() && (k = next.fetch_add(1)) < order.size();) {
            if (stop && stop->load()) {
                failures.fail("Stopped before every table was sorted");
                break;
            }
            size_t table = order[k].second;
            finish_table(tables[table], share, tempFolder, reports[table]);
            if (finished)
                ++*finished;
        }
    };
    runWorkers(workers, work, failures);
    if (failures.failed())
        throw std::runtime_error(failures.messages().front());
    return reports;
}

unsigned long sortingMemoryBudget() {
    // A budget set for the run: the external sort's path on small data, or a ceiling.
    if (const char* set = std::getenv(SORT_MEMORY_VARIABLE)) {
        char* end = nullptr;
        errno = 0;
        unsigned long megabytes = std::strtoul(set, &end, 10);
        if (errno || end == set || *end || megabytes == 0 || megabytes > (1UL << 30))
            throw std::invalid_argument(std::string(SORT_MEMORY_VARIABLE) + " \"" + set +
                                        "\" is not a whole number of megabytes from 1");
        return megabytes << 20;
    }
    unsigned long available = meminfo_bytes("MemAvailable:");
    // What the cgroup's memory limit leaves, when that is less.
    if (unsigned long left = cgroupMemoryLeft())
        available = std::min(available, left);
    return std::max(available / 2, 64UL << 20);
}
