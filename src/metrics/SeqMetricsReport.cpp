#include "SeqMetricsReport.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <system_error>

#include "Constants.h"
#include "MultiqcReport.h"
#include "support/Logger.h"
#include "support/SystemError.h"
#include "support/Utilities.h"

const char* const VDJ_COUNTS_FILE = "num_vdj_reads.json";
const char* const READ_QUALITY_METRICS = "Read Quality Metrics";

namespace {

const char* const QUALITY_COUNT_KEYS[] = {"Total number of reads",
                                          "Overlapping reads",
                                          "Short reads",
                                          "Low quality score per base reads",
                                          "High single nucleotide frequency reads",
                                          "Number of reads after quality filtering"};
const char* const QUALITY_Q30_KEY = "Percentage of Q30 bases in filtered R2 reads";

unsigned long count_of(JsonValue& entry, const char* key) {
    return static_cast<unsigned long>(entry[key]);
}

// The read-filtering row of a library from its checked read-quality entry.
void fill_read_filtering(std::vector<std::string>& row, JsonValue& entry) {
    unsigned long total = count_of(entry, "Total number of reads");
    unsigned long overlapping = count_of(entry, "Overlapping reads");
    unsigned long shortReads = count_of(entry, "Short reads");
    unsigned long lowQuality = count_of(entry, "Low quality score per base reads");
    unsigned long highSnf = count_of(entry, "High single nucleotide frequency reads");
    unsigned long afterFilter = count_of(entry, "Number of reads after quality filtering");
    double q30 = static_cast<double>(entry["Percentage of Q30 bases in filtered R2 reads"]);
    row[0] = static_cast<std::string>(entry["Total number of reads"]);
    row[1] = std::to_string(total - overlapping);
    row[2] = percentText(overlapping, total);
    row[3] = std::to_string(total - shortReads);
    row[4] = percentText(shortReads, total);
    row[5] = std::to_string(total - lowQuality);
    row[6] = percentText(lowQuality, total);
    row[7] = std::to_string(total - highSnf);
    row[8] = percentText(highSnf, total);
    row[9] = static_cast<std::string>(entry["Number of reads after quality filtering"]);
    row[10] = percentText(total - afterFilter, total);
    row[11] = doubleToStringWithPrecision(q30, 2);
}

// Both outputs, removed again unless the report is finished: a failed run leaves no
// half-written report behind.
struct ReportFiles {
    std::string reportPath;
    FILE* report = nullptr;
    FILE* vdjCounts = nullptr;
    bool finished = false;
    ~ReportFiles() {
        if (finished)
            return;
        if (report)
            std::fclose(report);
        if (vdjCounts)
            std::fclose(vdjCounts);
        std::remove(reportPath.c_str());
        std::remove(VDJ_COUNTS_FILE);
    }
};

} // namespace

void checkReadQualityMetrics(JsonValue& quality, const std::vector<std::string>& names,
                             const std::string& path) {
    if (quality.getType() != JsonValue::OBJECT || !quality.hasMember(READ_QUALITY_METRICS) ||
        quality[READ_QUALITY_METRICS].getType() != JsonValue::OBJECT)
        throw std::runtime_error("The read-quality metrics file \"" + path + "\" has no \"" +
                                 READ_QUALITY_METRICS + "\" object");
    JsonValue& libraries = quality[READ_QUALITY_METRICS];
    for (const std::string& name : names) {
        if (!libraries.hasMember(name) || libraries[name].getType() != JsonValue::OBJECT)
            throw std::runtime_error("The Read Quality Metrics json file is missing information "
                                     "for the library: " +
                                     name + ", cannot create the metrics summary file !");
        JsonValue& entry = libraries[name];
        auto refuse = [&](const std::string& key, const std::string& what) {
            throw std::runtime_error("The read-quality metrics file \"" + path + "\" has " + what +
                                     " \"" + key + "\" for the library " + name);
        };
        for (const char* key : QUALITY_COUNT_KEYS)
            // A negative or fractional count would print as a nonsense percentage.
            if (!entry.hasMember(key) || entry[key].getType() != JsonValue::NUMBER ||
                entry[key].numberKind() != JsonValue::UNSIGNED_INTEGER)
                refuse(key, "no whole, non-negative number");
        unsigned long total = count_of(entry, QUALITY_COUNT_KEYS[0]);
        for (const char* key : QUALITY_COUNT_KEYS)
            if (count_of(entry, key) > total)
                refuse(key, "more reads than \"Total number of reads\" in");
        if (!entry.hasMember(QUALITY_Q30_KEY) ||
            entry[QUALITY_Q30_KEY].getType() != JsonValue::NUMBER)
            refuse(QUALITY_Q30_KEY, "no number");
    }
}

void writeSeqMetrics(const std::string& runBaseName, const std::string& preamble,
                     std::vector<LibraryMetrics>& records, const std::vector<std::string>& names,
                     const std::string& readQualityPath) {
    ReportFiles files;
    files.reportPath = runBaseName + "_SeqMetrics.csv";
    files.report = std::fopen(files.reportPath.c_str(), "w");
    if (!files.report) {
        int error = errno;
        throw systemError(error, "Could not open metricsFile: " + files.reportPath + " for write");
    }
    files.vdjCounts = std::fopen(VDJ_COUNTS_FILE, "w");
    if (!files.vdjCounts) {
        int error = errno;
        throw systemError(error, std::string("Could not open vdjCountsFile: ") + VDJ_COUNTS_FILE +
                                     " for write");
    }

    JsonValue quality;
    std::string reason;
    if (!loadJsonFile(quality, readQualityPath.c_str(), &reason))
        throw std::runtime_error("Cannot read the read-quality metrics file \"" + readQualityPath +
                                 "\": " + reason);
    checkReadQualityMetrics(quality, names, readQualityPath);

    if (std::fputs(preamble.c_str(), files.report) < 0) {
        int error = errno;
        throw systemError(error, "Failed to write header to metrics file : " + files.reportPath);
    }

    std::map<std::string, std::string> segments;
    for (const auto& segment : METRICS_SEGMENT_COLUMN_HEADER_MAP)
        segments[segment.first] = segment.first + "\n" + strJoin(segment.second.second, ",") + "\n";

    for (size_t i = 0; i < records.size(); ++i) {
        const std::string& name = names.at(i);
        JsonValue& entry = quality[READ_QUALITY_METRICS][name];
        JsonValue relative = records[i].calculateRelativeMetrics(entry);

        for (const auto& segment : METRICS_SEGMENT_COLUMN_HEADER_MAP) {
            const std::string& key = segment.second.first;
            std::vector<std::string> row(segment.second.second.size(), "NA");
            row.back() = name;
            if (relative.hasMember(key)) {
                size_t position = 0;
                for (const JsonValue* value : relative[key].iterableValues())
                    if (position < row.size())
                        row[position++] = static_cast<std::string>(*value);
            }
            if (key == "filter_stats")
                fill_read_filtering(row, entry);
            segments[segment.first] += strJoin(row, ",") + "\n";
        }
    }

    unsigned long bcr = records.back().usefulVdjBcrReads;
    unsigned long tcr = records.back().usefulVdjTcrReads;
    std::string vdjText =
        "{\n\t\"BCR\": " + std::to_string(bcr) + ",\n\t\"TCR\": " + std::to_string(tcr) + "\n}";
    gLogger.info("Count of valid reads aligned to BCR gene segments: %lu\n", bcr);
    gLogger.info("Count of valid reads aligned to TCR gene segments: %lu\n", tcr);
    if (std::fputs(vdjText.c_str(), files.vdjCounts) < 0) {
        int error = errno;
        throw systemError(error,
                          std::string("Failed to write to the vdjCountsFile: ") + VDJ_COUNTS_FILE);
    }

    for (const std::string& header : METRICS_SEGMENT_ORDERING)
        if (std::fputs(segments.at(header).c_str(), files.report) < 0) {
            int error = errno;
            throw systemError(error, "Failed to write to the metricsFile: " + files.reportPath);
        }

    int closed = std::fclose(files.report);
    files.report = nullptr;
    if (closed != 0) {
        int error = errno;
        throw systemError(error, "Failed to close metricsFile: " + files.reportPath);
    }
    closed = std::fclose(files.vdjCounts);
    files.vdjCounts = nullptr;
    if (closed != 0) {
        int error = errno;
        throw systemError(error, std::string("Failed to close vdjCountsFile: ") + VDJ_COUNTS_FILE);
    }
    writeMultiqcReport(runBaseName, records, names, quality[READ_QUALITY_METRICS]);
    files.finished = true;
    if (bcr == 0 && tcr == 0)
        std::remove(VDJ_COUNTS_FILE);
}
