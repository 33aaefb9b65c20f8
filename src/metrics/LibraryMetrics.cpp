#include "LibraryMetrics.h"

#include <stdexcept>

#include "Constants.h"
#include "support/Utilities.h"

LibraryMetrics::LibraryMetrics(std::string sampleTagsVersion_, AssayType assayType_,
                               UMIOption umiOption_, bool excludeIntronicReads_,
                               const std::vector<std::string>& firstList_,
                               const std::vector<std::string>& secondList_, std::string vdjVersion_)
    : sampleTagsVersion(std::move(sampleTagsVersion_)), assayType(assayType_),
      umiOption(umiOption_), vdjVersion(std::move(vdjVersion_)), firstList(firstList_),
      secondList(secondList_), excludeIntronicReads(excludeIntronicReads_) {
    for (const std::string& type : WTA_ALIGNMENT_TYPES)
        categoryCounts[type] = 0;
    _bindCategorySlots();
}

void LibraryMetrics::_bindCategorySlots() {
    for (size_t i = 0; i < WTA_ALIGNMENT_TYPES.size(); ++i)
        _categorySlots[i] = &categoryCounts.at(WTA_ALIGNMENT_TYPES[i]);
}

LibraryMetrics::LibraryMetrics(const LibraryMetrics& other)
    : sampleTagsVersion(other.sampleTagsVersion), assayType(other.assayType),
      umiOption(other.umiOption), vdjVersion(other.vdjVersion), firstList(other.firstList),
      secondList(other.secondList), excludeIntronicReads(other.excludeIntronicReads),
      categoryCounts(other.categoryCounts),
      sampleTagCorrectStartReads(other.sampleTagCorrectStartReads.load()),
      sampleTagAlignLengthReads(other.sampleTagAlignLengthReads.load()),
      cellularReads(other.cellularReads.load()), usefulReads(other.usefulReads.load()),
      phixReads(other.phixReads.load()), uniquelyAlignedReads(other.uniquelyAlignedReads.load()),
      sampleTagReads(other.sampleTagReads.load()),
      cellularSampleTagReads(other.cellularSampleTagReads.load()),
      usefulSampleTagReads(other.usefulSampleTagReads.load()), vdjReads(other.vdjReads.load()),
      cellularVdjReads(other.cellularVdjReads.load()), usefulVdjReads(other.usefulVdjReads.load()),
      usefulVdjBcrReads(other.usefulVdjBcrReads.load()),
      usefulVdjTcrReads(other.usefulVdjTcrReads.load()) {
    _bindCategorySlots();
}

namespace {

// Positions in WTA_ALIGNMENT_TYPES of the categories that update assigns.
enum Category : size_t {
    MAPPED_MRNA = 0,
    MAPPED_ABSEQ = 1,
    MAPPED_SMK = 2,
    MAPPED_VDJ_TCR = 3,
    MAPPED_VDJ_BCR = 4,
    UNALIGNED = 5,
    NOT_UNIQUE = 6,
    OTHER_NO_FEATURE = 8,
    OTHER_AMBIGUOUS = 9,
    OTHER_INTRONS = 10,
    OTHER_ANTISENSE_EXONS = 12,
    OTHER_ANTISENSE_INTRONS = 13,
    OTHER_INTERGENIC = 14
};

// The length of the UMI the read counts with: an AbSeq read's by the UMI option, any other
// read's R1 UMI.
size_t umi_length(UMIOption option, const std::string& umi, const std::string& abseqUmi,
                  bool abseq) {
    if (!abseq)
        return umi.size();
    if (abseqUmi.empty())
        return 0;
    switch (option) {
    case R1_UMI_ONLY:
        return umi.size();
    case ABSEQ_UMI_ONLY:
        return abseqUmi.size();
    case R1_AND_ABSEQ_UMI:
        return umi.size() + abseqUmi.size();
    default:
        throw std::invalid_argument("Invalid UMI option !");
    }
}

// The alignment category of a read from its annotation status and kind; useful is set for the
// categories whose reads count.
Category category_of(const std::string& status, bool abseq, const ReadMetricsOutcome& kind,
                     bool excludeIntronicReads, bool& useful) {
    useful = false;
    if (status == "1" || status.find("MAcorrected") != std::string::npos) {
        useful = true;
        if (abseq)
            return MAPPED_ABSEQ;
        if (kind.isSampleTag)
            return MAPPED_SMK;
        if (kind.chainClass == "TCR")
            return MAPPED_VDJ_TCR;
        if (kind.chainClass == "BCR")
            return MAPPED_VDJ_BCR;
        return MAPPED_MRNA;
    }
    if (strStartsWith(status, "alignment"))
        return NOT_UNIQUE;
    if (strStartsWith(status, "ambiguous"))
        return OTHER_AMBIGUOUS;
    if (strStartsWith(status, "introns")) {
        useful = !excludeIntronicReads;
        return OTHER_INTRONS;
    }
    if (strStartsWith(status, "antisense_exons"))
        return OTHER_ANTISENSE_EXONS;
    if (strStartsWith(status, "antisense_introns"))
        return OTHER_ANTISENSE_INTRONS;
    if (strStartsWith(status, "intergenic"))
        return OTHER_INTERGENIC;
    return status == "x" ? UNALIGNED : OTHER_NO_FEATURE;
}

} // namespace

bool LibraryMetrics::_countReadKind(const std::string& gene, bool passesTargetedFilter,
                                    ReadMetricsOutcome& kind) {
    if (passesTargetedFilter && strEndsWith(gene, "stAbO")) {
        kind.isSampleTag = true;
        ++sampleTagReads;
    } else if (strEndsWith(gene, "phiX174")) {
        ++phixReads;
        return false; // a phiX read has no category of its own: "Other_No_Feature"
    } else if (passesTargetedFilter && !vdjVersion.empty() && strEndsWith(gene, "VDJ")) {
        ++vdjReads;
        if (strEndsWith(gene, "BVDJ"))
            kind.chainClass = "BCR";
        else if (strEndsWith(gene, "TVDJ"))
            kind.chainClass = "TCR";
    }
    return true;
}

void LibraryMetrics::_countCellularRead(size_t category, bool useful,
                                        const ReadMetricsOutcome& kind) {
    if (category != UNALIGNED && category != NOT_UNIQUE)
        ++uniquelyAlignedReads;
    ++cellularReads;
    if (kind.isSampleTag)
        ++cellularSampleTagReads;
    else if (!kind.chainClass.empty())
        ++cellularVdjReads;
    {
        std::lock_guard<std::mutex> lock(categoryLock);
        ++*_categorySlots[category];
    }
    if (!useful)
        return;
    ++usefulReads;
    if (kind.isSampleTag) {
        ++usefulSampleTagReads;
    } else if (!kind.chainClass.empty()) {
        ++usefulVdjReads;
        if (kind.chainClass == "BCR")
            ++usefulVdjBcrReads;
        else if (kind.chainClass == "TCR")
            ++usefulVdjTcrReads;
    }
}

ReadMetricsOutcome LibraryMetrics::update(const std::string& umi, const std::string& gene,
                                          const std::string& status, const std::string& abseqUmi,
                                          bool passesTargetedFilter) {
    ReadMetricsOutcome outcome;
    bool abseq = strEndsWith(gene, "pAbO");
    size_t umiLength = umi_length(umiOption, umi, abseqUmi, abseq);
    Category category = OTHER_NO_FEATURE;
    bool useful = false;
    if (abseq || _countReadKind(gene, passesTargetedFilter, outcome)) {
        category = category_of(status, abseq, outcome, excludeIntronicReads, useful);
        useful = useful && passesTargetedFilter;
    }
    if (!passesTargetedFilter && category != UNALIGNED)
        category = OTHER_NO_FEATURE;
    if (umiLength != 8 && umiLength != 12 && umiLength != 20)
        return outcome; // not a cellular read
    _countCellularRead(category, useful, outcome);
    outcome.counted = useful;
    return outcome;
}

void LibraryMetrics::_addReadCounters(const LibraryMetrics& other) {
    cellularReads += other.cellularReads.load();
    usefulReads += other.usefulReads.load();
    phixReads += other.phixReads.load();
    uniquelyAlignedReads += other.uniquelyAlignedReads.load();
    sampleTagReads += other.sampleTagReads.load();
    cellularSampleTagReads += other.cellularSampleTagReads.load();
    usefulSampleTagReads += other.usefulSampleTagReads.load();
    vdjReads += other.vdjReads.load();
    cellularVdjReads += other.cellularVdjReads.load();
    usefulVdjReads += other.usefulVdjReads.load();
    usefulVdjBcrReads += other.usefulVdjBcrReads.load();
    usefulVdjTcrReads += other.usefulVdjTcrReads.load();
}

LibraryMetrics& LibraryMetrics::operator+=(const LibraryMetrics& other) {
    _addReadCounters(other);
    for (const std::string& type : WTA_ALIGNMENT_TYPES)
        categoryCounts.at(type) += other.categoryCounts.at(type);
    return *this;
}

void LibraryMetrics::addConcurrently(const LibraryMetrics& other) {
    sampleTagCorrectStartReads += other.sampleTagCorrectStartReads.load();
    sampleTagAlignLengthReads += other.sampleTagAlignLengthReads.load();
    _addReadCounters(other);
    std::lock_guard<std::mutex> lock(categoryLock);
    for (const auto& entry : other.categoryCounts)
        categoryCounts[entry.first] += entry.second;
}
