#include "MultiqcReport.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "support/Utilities.h"

const char* const MULTIQC_STAGED_SUFFIX = ".unpublished";

namespace {

// Alignment categories of cellular reads that partition them, with their plot labels.
const std::pair<const char*, const char*> ALIGNMENT_CATEGORIES[] = {
    {"Mapped_to_Genes_mRNA", "mRNA"},
    {"Mapped_to_Genes_AbSeq", "AbSeq"},
    {"Mapped_to_Genes_SMK", "Sample tags"},
    {"Mapped_to_Genes_VDJ_TCR", "VDJ TCR"},
    {"Mapped_to_Genes_VDJ_BCR", "VDJ BCR"},
    {"Unaligned", "Unaligned"},
    {"Not_Unique", "Not unique"},
    {"Other_No_Feature", "No feature"},
    {"Other_Ambiguous", "Ambiguous"},
    {"Other_Introns", "Introns"},
    {"Other_Antisense_Exons", "Antisense exons"},
    {"Other_Antisense_Introns", "Antisense introns"},
    {"Other_Intergenic", "Intergenic"}};

const char* const PARENT = R"("parent_id": "ambrel", "parent_name": "Ambrel", )";

std::string __quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Under another name until the run completes: MultiQC searches folders, and would report a
// failed run's numbers found in its folder as a result.
void __write(const std::string& name, const std::string& text) {
    std::string path = name + MULTIQC_STAGED_SUFFIX;
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file || std::fputs(text.c_str(), file) < 0 || std::fclose(file) != 0)
        throw std::system_error(errno, std::generic_category(), "Cannot write " + path);
}

// {"<sample>": {<fields of each library>}, ...} over the libraries (not the run-wide record).
template <class Fields>
std::string __per_library(const std::string& runBaseName, const std::vector<std::string>& names,
                          Fields fields) {
    std::string data;
    for (size_t i = 0; i + 1 < names.size(); ++i)
        data += std::string(i ? ", " : "") + __quoted(runBaseName + "_" + names[i]) + ": {" +
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
               ", \"pct_mapped_to_genes\": " +
               percentText(m.categoryCounts["Mapped_to_Genes"], m.cellularReads);
    };
    __write(runBaseName + "_ambrel_mqc.json",
            std::string("{\"id\": \"ambrel_general\", ") + PARENT +
                "\"plot_type\": \"generalstats\", \"pconfig\": ["
                "{\"total_reads\": {\"title\": \"Reads\", \"description\": \"Reads after quality "
                "filtering\", \"format\": \"{:,.0f}\"}}, "
                "{\"pct_cellular\": {\"title\": \"% Cellular\", \"max\": 100, \"min\": 0, "
                "\"suffix\": \"%\"}}, "
                "{\"pct_useful\": {\"title\": \"% Useful\", \"max\": 100, \"min\": 0, "
                "\"suffix\": \"%\"}}, "
                "{\"pct_mapped_to_genes\": {\"title\": \"% Genes\", \"description\": \"Cellular "
                "reads mapped to genes\", \"max\": 100, \"min\": 0, \"suffix\": \"%\"}}], "
                "\"data\": " +
                __per_library(runBaseName, names, general) + "}\n");

    std::string categories;
    for (const auto& category : ALIGNMENT_CATEGORIES)
        categories += std::string(categories.empty() ? "" : ", ") + __quoted(category.second);
    auto alignment = [&](size_t i) {
        std::string fields;
        for (const auto& category : ALIGNMENT_CATEGORIES)
            fields += std::string(fields.empty() ? "" : ", ") + __quoted(category.second) + ": " +
                      std::to_string(records[i].categoryCounts[category.first]);
        return fields;
    };
    __write(runBaseName + "_ambrel_alignment_mqc.json",
            std::string("{\"id\": \"ambrel_alignment\", ") + PARENT +
                "\"section_name\": \"Alignment categories\", \"description\": \"Cellular reads "
                "by the gene feature of their alignment.\", \"plot_type\": \"bargraph\", "
                "\"pconfig\": {\"id\": \"ambrel_alignment_plot\", \"title\": \"Ambrel: alignment "
                "categories\", \"ylab\": \"Cellular reads\"}, \"categories\": [" +
                categories + "], \"data\": " + __per_library(runBaseName, names, alignment) +
                "}\n");

    auto filtering = [&](size_t i) {
        JsonValue& entry = qualityEntries[names[i]];
        unsigned long total = static_cast<unsigned long>(entry["Total number of reads"]);
        unsigned long kept =
            static_cast<unsigned long>(entry["Number of reads after quality filtering"]);
        return "\"Passed the read filters\": " + std::to_string(kept) +
               ", \"Removed by the read filters\": " + std::to_string(total - kept);
    };
    __write(runBaseName + "_ambrel_filtering_mqc.json",
            std::string("{\"id\": \"ambrel_filtering\", ") + PARENT +
                "\"section_name\": \"Read filtering\", \"description\": \"Reads kept and removed "
                "by the read-quality filters before alignment.\", \"plot_type\": \"bargraph\", "
                "\"pconfig\": {\"id\": \"ambrel_filtering_plot\", \"title\": \"Ambrel: read "
                "filtering\", \"ylab\": \"Reads\"}, \"categories\": [\"Passed the read filters\", "
                "\"Removed by the read filters\"], \"data\": " +
                __per_library(runBaseName, names, filtering) + "}\n");
}
