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

} // namespace

ReadMetricsOutcome LibraryMetrics::update(const std::string& umi, const std::string& gene,
                                          const std::string& status, const std::string& abseqUmi,
                                          bool passesTargetedFilter) {
    ReadMetricsOutcome outcome;
    // Only the length of the UMI the read uses matters here.
    size_t umiLength = 0;
    Category category = OTHER_NO_FEATURE;
    bool isUseful = false;

    bool abseq = strEndsWith(gene, "pAbO");
    if (abseq && !abseqUmi.empty()) {
        switch (umiOption) {
        case R1_UMI_ONLY:
            umiLength = umi.size();
            break;
        case ABSEQ_UMI_ONLY:
            umiLength = abseqUmi.size();
            break;
        case R1_AND_ABSEQ_UMI:
            umiLength = umi.size() + abseqUmi.size();
            break;
        default:
            throw std::invalid_argument("Invalid UMI option !");
        }
    }

    bool categorise = true;
    if (!abseq) {
        if (passesTargetedFilter && strEndsWith(gene, "stAbO")) {
            outcome.isSampleTag = true;
            ++sampleTagReads;
        } else if (strEndsWith(gene, "phiX174")) {
            ++phixReads;
            category = OTHER_NO_FEATURE;
            categorise = false;
        } else if (passesTargetedFilter && !vdjVersion.empty() && strEndsWith(gene, "VDJ")) {
            ++vdjReads;
            if (strEndsWith(gene, "BVDJ"))
                outcome.chainClass = "BCR";
            else if (strEndsWith(gene, "TVDJ"))
                outcome.chainClass = "TCR";
        }
    }

    if (categorise) {
        bool useful = false;
        if (status == "1" || status.find("MAcorrected") != std::string::npos) {
            if (abseq)
                category = MAPPED_ABSEQ;
            else if (outcome.isSampleTag)
                category = MAPPED_SMK;
            else if (outcome.chainClass == "TCR")
                category = MAPPED_VDJ_TCR;
            else if (outcome.chainClass == "BCR")
                category = MAPPED_VDJ_BCR;
            else
                category = MAPPED_MRNA;
            useful = true;
        } else if (strStartsWith(status, "alignment")) {
            category = NOT_UNIQUE;
        } else if (strStartsWith(status, "ambiguous")) {
            category = OTHER_AMBIGUOUS;
        } else if (strStartsWith(status, "introns")) {
            category = OTHER_INTRONS;
            useful = !excludeIntronicReads;
        } else if (strStartsWith(status, "antisense_exons")) {
            category = OTHER_ANTISENSE_EXONS;
        } else if (strStartsWith(status, "antisense_introns")) {
            category = OTHER_ANTISENSE_INTRONS;
        } else if (strStartsWith(status, "intergenic")) {
            category = OTHER_INTERGENIC;
        } else if (status == "x") {
            category = UNALIGNED;
        } else {
            category = OTHER_NO_FEATURE;
        }
        isUseful = passesTargetedFilter && useful;
    }

    if (!passesTargetedFilter && category != UNALIGNED)
        category = OTHER_NO_FEATURE;
    if (!abseq)
        umiLength = umi.size();
    if (umiLength != 8 && umiLength != 12 && umiLength != 20)
        return outcome;

    if (category != UNALIGNED && category != NOT_UNIQUE)
        ++uniquelyAlignedReads;
    ++cellularReads;
    if (outcome.isSampleTag)
        ++cellularSampleTagReads;
    else if (!outcome.chainClass.empty())
        ++cellularVdjReads;
    {
        std::lock_guard<std::mutex> lock(categoryLock);
        ++*_categorySlots[category];
    }
    if (isUseful) {
        ++usefulReads;
        if (outcome.isSampleTag) {
            ++usefulSampleTagReads;
        } else if (!outcome.chainClass.empty()) {
            ++usefulVdjReads;
            if (outcome.chainClass == "BCR")
                ++usefulVdjBcrReads;
            else if (outcome.chainClass == "TCR")
                ++usefulVdjTcrReads;
        }
    }
    outcome.counted = isUseful;
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
