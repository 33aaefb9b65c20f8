// Per-library read counters: each annotation worker counts into its own, added to the library's
// once at its end.
#pragma once

#include <array>
#include <cstddef>
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

// The alignment categories of the report, in its column order (that of WTA_ALIGNMENT_TYPES).
// OTHER, OTHER_ANTISENSE are sums that the report derives; a read takes one of the others.
enum AlignmentCategory : size_t {
    MAPPED_MRNA,
    MAPPED_ABSEQ,
    MAPPED_SMK,
    MAPPED_VDJ_TCR,
    MAPPED_VDJ_BCR,
    UNALIGNED,
    NOT_UNIQUE,
    OTHER,
    OTHER_NO_FEATURE,
    OTHER_AMBIGUOUS,
    OTHER_INTRONS,
    OTHER_ANTISENSE,
    OTHER_ANTISENSE_EXONS,
    OTHER_ANTISENSE_INTRONS,
    OTHER_INTERGENIC,
    ALIGNMENT_CATEGORY_COUNT
};

// A library's read counts: plain numbers, each worker counting into a copy of its own.
struct ReadCounts {
    std::array<unsigned long, ALIGNMENT_CATEGORY_COUNT> categories{};
    unsigned long sampleTagCorrectStartReads = 0;
    unsigned long sampleTagAlignLengthReads = 0;
    unsigned long cellularReads = 0;
    unsigned long usefulReads = 0;
    unsigned long phixReads = 0;
    unsigned long uniquelyAlignedReads = 0;
    unsigned long sampleTagReads = 0;
    unsigned long cellularSampleTagReads = 0;
    unsigned long usefulSampleTagReads = 0;
    unsigned long vdjReads = 0;
    unsigned long cellularVdjReads = 0;
    unsigned long usefulVdjReads = 0;
    unsigned long usefulVdjBcrReads = 0;
    unsigned long usefulVdjTcrReads = 0;

    ReadCounts& operator+=(const ReadCounts& other);
    // The categories with the derived sums filled in, as the report shows them.
    std::array<unsigned long, ALIGNMENT_CATEGORY_COUNT> reportCategories() const;
    // The cellular reads mapped to genes: mRNA, AbSeq, sample tags and VDJ.
    unsigned long mappedToGenes() const;
};

class LibraryMetrics : public ReadCounts {
public:
    LibraryMetrics(std::string sampleTagsVersion, AssayType assayType, UMIOption umiOption,
                   bool excludeIntronicReads, const std::vector<std::string>& firstList,
                   const std::vector<std::string>& secondList, std::string vdjVersion);
    LibraryMetrics(const LibraryMetrics& other);
    LibraryMetrics& operator=(const LibraryMetrics&) = delete;

    // Counts one read, in a record that no other thread uses.
    ReadMetricsOutcome update(const std::string& umi, const std::string& gene,
                              const std::string& status, const std::string& abseqUmi,
                              bool passesTargetedFilter);
    // Adds every count of other while other threads may be adding theirs: a worker counts into
    // a record of its own and adds it here once, at its end.
    void addConcurrently(const ReadCounts& other);
    // An empty record counting with this one's settings.
    LibraryMetrics emptyCopy() const {
        return LibraryMetrics(sampleTagsVersion, assayType, umiOption, excludeIntronicReads,
                              firstList, secondList, vdjVersion);
    }

    // The report values of this record as text arrays "read_stats", "map_stats" and, when the
    // run has them, "tag_stats" and "vdj_stats"; readQuality is this library's entry of the
    // read-quality metrics.
    JsonValue calculateRelativeMetrics(const JsonValue& readQuality) const;

    std::string sampleTagsVersion;
    AssayType assayType;
    UMIOption umiOption;
    std::string vdjVersion;
    std::vector<std::string> firstList;
    std::vector<std::string> secondList;
    bool excludeIntronicReads;

private:
    // Counts the read as a sample-tag, phiX or VDJ read (kind says which); false for a read that
    // takes no alignment category (phiX).
    bool _countReadKind(const std::string& gene, bool passesTargetedFilter,
                        ReadMetricsOutcome& kind);
    // Counts a cellular read in its category and, when useful, as useful.
    void _countCellularRead(AlignmentCategory category, bool useful,
                            const ReadMetricsOutcome& kind);

    std::mutex _adding;
};
