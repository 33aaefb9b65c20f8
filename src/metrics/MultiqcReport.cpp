#include "MultiqcReport.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "support/Handles.h"
#include "support/SystemError.h"
#include "support/Utilities.h"

const char* const MULTIQC_STAGED_SUFFIX = ".unpublished";

namespace {

// Alignment categories of cellular reads that partition them, with their plot labels and colours:
// one colour each, reads on genes in strong colours, the others in paler ones.
struct Category {
    AlignmentCategory key;
    const char* label;
    const char* colour;
};
const Category ALIGNMENT_CATEGORIES[] = {{MAPPED_MRNA, "mRNA", "#1f77b4"},
                                         {MAPPED_ABSEQ, "AbSeq", "#ff7f0e"},
                                         {MAPPED_SMK, "Sample tags", "#2ca02c"},
                                         {MAPPED_VDJ_TCR, "VDJ TCR", "#d62728"},
                                         {MAPPED_VDJ_BCR, "VDJ BCR", "#9467bd"},
                                         {UNALIGNED, "Unaligned", "#7f7f7f"},
                                         {NOT_UNIQUE, "Not unique", "#8c564b"},
                                         {OTHER_NO_FEATURE, "No feature", "#c7c7c7"},
                                         {OTHER_AMBIGUOUS, "Ambiguous", "#e377c2"},
                                         {OTHER_INTRONS, "Introns", "#bcbd22"},
                                         {OTHER_ANTISENSE_EXONS, "Antisense exons", "#17becf"},
                                         {OTHER_ANTISENSE_INTRONS, "Antisense introns", "#aec7e8"},
                                         {OTHER_INTERGENIC, "Intergenic", "#ffbb78"}};

// The read-quality file's filters, with their plot labels.
const std::pair<const char*, const char*> READ_FILTERS[] = {
    {"Overlapping reads", "Overlapping read pairs"},
    {"Short reads", "Short reads"},
    {"Low quality score per base reads", "Low base quality"},
    {"High single nucleotide frequency reads", "High single-nucleotide frequency"}};

const char* const PARENT = R"("parent_id": "ambrel", "parent_name": "Ambrel", )";

// Under another name until the run completes: MultiQC searches folders, and would report a
// failed run's numbers found in its folder as a result.
void write_report(const std::string& name, const std::string& text) {
    std::string path = name + MULTIQC_STAGED_SUFFIX;
    FileHandle file(std::fopen(path.c_str(), "w"));
    if (!file || std::fputs(text.c_str(), file.get()) < 0 || !closeWritten(file)) {
        int error = errno;
        throw systemError(error, "Cannot write " + path);
    }
}

// {"<sample>": {<fields of each library>}, ...} over the libraries (not the run-wide record).
template <class Fields>
std::string per_library(const std::string& runBaseName, const std::vector<std::string>& names,
                        Fields fields) {
    std::string data;
    for (size_t i = 0; i + 1 < names.size(); ++i)
        data += std::string(i ? ", " : "") + jsonString(runBaseName + "_" + names[i]) + ": {" +
                fields(i) + "}";
    return "{" + data + "}";
}

} // namespace

void writeMultiqcReport(const std::string& runBaseName, std::vector<LibraryMetrics>& records,
                        const std::vector<std::string>& names, JsonValue& qualityEntries) {
    auto general = [&](size_t i) {
        LibraryMetrics& m = records[i];
        unsigned long total = static_cast<unsigned long>(
            qualityEntries[names[i]]["Number of reads after quality filtering"]);
        return "\"total_reads\": " + std::to_string(total) +
               ", \"pct_cellular\": " + percentText(m.cellularReads, total) +
               ", \"pct_useful\": " + percentText(m.usefulReads, total) +
               ", \"pct_mapped_to_genes\": " + percentText(m.mappedToGenes(), m.cellularReads);
    };
    write_report(
        runBaseName + "_ambrel_mqc.json",
        std::string("{\"id\": \"ambrel_general\", ") + PARENT +
            "\"plot_type\": \"generalstats\", \"pconfig\": ["
            "{\"total_reads\": {\"title\": \"Reads\", \"description\": \"Reads after quality "
            "filtering\", \"format\": \"{:,.0f}\"}}, "
            "{\"pct_cellular\": {\"title\": \"% Cellular\", \"max\": 100, \"min\": 0, "
            "\"suffix\": \"%\"}}, "
            "{\"pct_useful\": {\"title\": \"% Useful\", \"max\": 100, \"min\": 0, "
            "\"suffix\": \"%\"}}, "
            "{\"pct_mapped_to_genes\": {\"title\": \"% Genes\", \"description\": \"Cellular "
            "reads mapped to genes: mRNA, AbSeq antibodies, sample tags and VDJ (TCR and "
            "BCR)\", \"max\": 100, \"min\": 0, \"suffix\": \"%\"}}], "
            "\"data\": " +
            per_library(runBaseName, names, general) + "}\n");

    std::string categories;
    for (const Category& category : ALIGNMENT_CATEGORIES)
        categories += std::string(categories.empty() ? "" : ", ") + jsonString(category.label) +
                      ": {\"name\": " + jsonString(category.label) +
                      ", \"color\": " + jsonString(category.colour) + "}";
    auto alignment = [&](size_t i) {
        std::string fields;
        for (const Category& category : ALIGNMENT_CATEGORIES)
            fields += std::string(fields.empty() ? "" : ", ") + jsonString(category.label) + ": " +
                      std::to_string(records[i].categories[category.key]);
        return fields;
    };
    write_report(
        runBaseName + "_ambrel_alignment_mqc.json",
        std::string("{\"id\": \"ambrel_alignment\", ") + PARENT +
            "\"section_name\": \"Alignment categories\", \"description\": \"Cellular reads "
            "by the gene feature of their alignment.\", \"plot_type\": \"bargraph\", "
            "\"pconfig\": {\"id\": \"ambrel_alignment_plot\", \"title\": \"Ambrel: alignment "
            "categories\", \"ylab\": \"Cellular reads\"}, \"categories\": {" +
            categories + "}, \"data\": " + per_library(runBaseName, names, alignment) + "}\n");

    // A read can fail several filters: the bars stand side by side, not stacked.
    std::string filters = "\"Passed the read filters\"";
    for (const auto& filter : READ_FILTERS)
        filters += ", " + jsonString(filter.second);
    auto filtering = [&](size_t i) {
        JsonValue& entry = qualityEntries[names[i]];
        std::string fields = "\"Passed the read filters\": " +
                             std::to_string(static_cast<unsigned long>(
                                 entry["Number of reads after quality filtering"]));
        for (const auto& filter : READ_FILTERS)
            fields += ", " + jsonString(filter.second) + ": " +
                      std::to_string(static_cast<unsigned long>(entry[filter.first]));
        return fields;
    };
    write_report(
        runBaseName + "_ambrel_filtering_mqc.json",
        std::string("{\"id\": \"ambrel_filtering\", ") + PARENT +
            "\"section_name\": \"Read filtering\", \"description\": \"Reads that passed the "
            "read-quality filters before alignment, and the reads each filter removed (a read "
            "can fail several).\", \"plot_type\": \"bargraph\", \"pconfig\": {\"id\": "
            "\"ambrel_filtering_plot\", \"title\": \"Ambrel: read filtering\", \"ylab\": "
            "\"Reads\", \"stacking\": null}, \"categories\": [" +
            filters + "], \"data\": " + per_library(runBaseName, names, filtering) + "}\n");
}
