// Sorting and compressing the valid-reads tables at the end of the run, in-process and in parallel.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// One table: gzip members of comma-separated lines, sorted by fields `keys` (1-based, compared as
// bytes), then by the whole line: exactly what `LC_ALL=C sort -t, -kK,K ...` orders.
struct TableJob {
    std::string path;
    std::vector<int> keys;
    // The table's text as written, which decides whether it is sorted in memory; 0 when unknown
    // (then guessed from the compressed size).
    unsigned long textBytes = 0, lines = 0;
};

// How a table was finished, for the log.
struct TableReport {
    std::string path;
    unsigned long lines = 0;
    unsigned long bytes = 0; // of text
    unsigned long compressedBytes = 0;
    bool external = false; // too large for memory: sorted by the external sort
    double seconds = 0;
};

// Sorts each table and replaces it by <path>.gz, `threads` tables at a time, the largest first. A
// table whose text and index would not fit in its share of memoryBudget is sorted by the external
// sort (in tempFolder) instead. Throws naming the table on any failure; a failure in one thread
// stops the others at their next table, and so does stop when it is set. finished, when given,
// counts the tables done.
std::vector<TableReport> sortAndCompressTables(std::vector<TableJob> tables, unsigned long threads,
                                               unsigned long memoryBudget,
                                               const std::string& tempFolder,
                                               const std::atomic<bool>* stop = nullptr,
                                               std::atomic<size_t>* finished = nullptr);

// The memory the run may use for sorting: half of what the machine has available, or of what is
// left under the cgroup's memory limit when that is less; or the megabytes that the environment
// variable SORT_MEMORY_VARIABLE sets (std::invalid_argument naming it when it is no such number).
unsigned long sortingMemoryBudget();
constexpr const char* SORT_MEMORY_VARIABLE = "AMBREL_SORT_MEMORY_MB";
