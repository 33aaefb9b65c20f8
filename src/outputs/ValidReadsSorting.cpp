// Finishing the valid-reads tables at the end of the run: close them, sort and compress them all
// at once in-process, record how in a log, and archive the run's logs.
#include <cerrno>
#include <chrono>
#include <ctime>
#include <regex>
#include <system_error>

#include "ReadAnnotationFiles.h"
#include "TableSorting.h"
#include "support/EarlyTerminate.h"
#include "support/Handles.h"
#include "support/LogArchive.h"
#include "support/Logger.h"
#include "support/ProgressLine.h"
#include "support/SystemError.h"
#include "support/Utilities.h"

namespace {

// gene, cell index, UMI, AbSeq UMI
const std::vector<int> PARTITION_KEYS = {3, 1, 2, 4};
// gene, cell index
const std::vector<int> SAMPLE_TAG_KEYS = {3, 1};

void close_table(ReadAnnotationFiles::ValidReadsFile& file) {
    if (!file.close()) {
        int error = errno;
        throw systemError(error, "Failed to close file: " + file.name);
    }
}

// "sorting_<time>.log": what the in-process step did, table by table, for the log archive.
void write_sorting_log(const std::vector<TableReport>& reports, double seconds) {
    char stamp[16];
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &parts);
    std::string path = std::string("sorting_") + stamp + ".log";
    FileHandle log(std::fopen(path.c_str(), "w"));
    if (!log) {
        int error = errno;
        throw systemError(error, "Cannot write " + path);
    }
    std::fprintf(log.get(), "table\tlines\tbytes\tgzip bytes\tsorted\tseconds\n");
    for (const TableReport& r : reports)
        std::fprintf(log.get(), "%s\t%lu\t%lu\t%lu\t%s\t%.2f\n", r.path.c_str(), r.lines, r.bytes,
                     r.compressedBytes, r.external ? "by sort (larger than memory)" : "in memory",
                     r.seconds);
    std::fprintf(log.get(), "all tables\t\t\t\t\t%.2f\n", seconds);
    if (!closeWritten(log)) {
        int error = errno;
        throw systemError(error, "Cannot write " + path);
    }
}

} // namespace

void ReadAnnotationFiles::sortValidReadsFiles(unsigned long threads,
                                              const std::string& tempFolder) {
    std::vector<TableJob> tables;
    for (Slot& slot : _slots)
        if (ValidReadsFile* file = slot.file.load()) {
            close_table(*file);
            tables.push_back({file->name, PARTITION_KEYS, file->textBytes, file->textLines});
        }
    close_table(sampleTag);
    tables.push_back({sampleTag.name, SAMPLE_TAG_KEYS, sampleTag.textBytes, sampleTag.textLines});
    auto start = std::chrono::steady_clock::now();
    std::atomic<size_t> finished{0};
    std::vector<TableReport> reports;
    {
        ProgressLine line([&finished, &tables](double seconds) {
            return "Sorting the tables: " + std::to_string(finished.load()) + " of " +
                   std::to_string(tables.size()) + " done in " + durationText(seconds);
        });
        reports = sortAndCompressTables(tables, threads, sortingMemoryBudget(), tempFolder,
                                        &failures.terminate, &finished);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    gLogger.info("Sorted and compressed %lu tables in %.1f s",
                 static_cast<unsigned long>(reports.size()), seconds);
    write_sorting_log(reports, seconds);
    compressLogFiles(".", prefix + "_Ambrel_Logs", std::regex("^.*\\.log$"), false);
}
