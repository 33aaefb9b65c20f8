// Per-library read counters, shared by all annotation threads of the library.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/JsonValue.h"
#include "support/Utilities.h"

struct ReadMetricsOutcome {
    std::string chainClass; // "TCR", "BCR" or empty
    bool isSampleTag = false;
    bool counted = false; // cellular and useful: the read's outputs are written
};

class LibraryMetrics {
public:
    LibraryMetrics(std::string sampleTagsVersion, AssayType assayType, UMIOption umiOption,
                   bool excludeIntronicReads, const std::vector<std::string>& firstList,
                   const std::vector<std::string>& secondList, std::string vdjVersion);
    LibraryMetrics(const LibraryMetrics& other);
    LibraryMetrics& operator=(const LibraryMetrics&) = delete;

    // Counts one read; safe to call from many threads at once.
    ReadMetricsOutcome update(const std::string& umi, const std::string& gene,
                              const std::string& status, const std::string& abseqUmi,
                              bool passesTargetedFilter);
    // Adds other's counts (single-threaded, after annotation).
    LibraryMetrics& operator+=(const LibraryMetrics& other);
    // Adds every count of other, categories included, while other threads may be adding too.
    // A worker counts into a record of its own and adds it here once at its end: per-read atomic
    // adds on counters shared by all workers would bounce their cache lines between the cores.
    void addConcurrently(const LibraryMetrics& other);
    // An empty record counting with this one's settings.
    LibraryMetrics emptyCopy() const {
        return LibraryMetrics(sampleTagsVersion, assayType, umiOption, excludeIntronicReads,
                              firstList, secondList, vdjVersion);
    }

    // The report values of this record as text arrays "read_stats", "map_stats" and, when the
    // run has them, "tag_stats" and "vdj_stats"; readQuality is this library's entry of the
    // read-quality metrics. Also stores the derived categories "Mapped_to_Genes",
    // "Other_Antisense" and "Other" in categoryCounts. Driver thread only.
    JsonValue calculateRelativeMetrics(const JsonValue& readQuality);

    std::string sampleTagsVersion;
    AssayType assayType;
    UMIOption umiOption;
    std::string vdjVersion;
    std::vector<std::string> firstList;
    std::vector<std::string> secondList;
    bool excludeIntronicReads;
    std::map<std::string, unsigned long> categoryCounts;
    std::mutex categoryLock;
    std::atomic<unsigned long> sampleTagCorrectStartReads{0};
    std::atomic<unsigned long> sampleTagAlignLengthReads{0};
    std::atomic<unsigned long> cellularReads{0};
    std::atomic<unsigned long> usefulReads{0};
    std::atomic<unsigned long> phixReads{0};
    std::atomic<unsigned long> uniquelyAlignedReads{0};
    std::atomic<unsigned long> sampleTagReads{0};
    std::atomic<unsigned long> cellularSampleTagReads{0};
    std::atomic<unsigned long> usefulSampleTagReads{0};
    std::atomic<unsigned long> vdjReads{0};
    std::atomic<unsigned long> cellularVdjReads{0};
    std::atomic<unsigned long> usefulVdjReads{0};
    std::atomic<unsigned long> usefulVdjBcrReads{0};
    std::atomic<unsigned long> usefulVdjTcrReads{0};

private:
    void _bindCategorySlots();
    // Counts the read as a sample-tag, phiX or VDJ read (kind says which); false for a read that
    // takes no alignment category (phiX).
    bool _countReadKind(const std::string& gene, bool passesTargetedFilter,
                        ReadMetricsOutcome& kind);
    // Counts a cellular read in its category and, when useful, as useful.
    void _countCellularRead(size_t category, bool useful, const ReadMetricsOutcome& kind);
    // Adds the read counters (all but the two sample-tag filter counters).
    void _addReadCounters(const LibraryMetrics& other);
    // The categoryCounts entry of each WTA_ALIGNMENT_TYPES category (map nodes never move).
    unsigned long* _categorySlots[15];
};
