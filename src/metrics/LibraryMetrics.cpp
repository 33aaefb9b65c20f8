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
      secondList(secondList_), excludeIntronicReads(excludeIntronicReads_) {}

LibraryMetrics::LibraryMetrics(const LibraryMetrics& other)
    : ReadCounts(other), sampleTagsVersion(other.sampleTagsVersion), assayType(other.assayType),
      umiOption(other.umiOption), vdjVersion(other.vdjVersion), firstList(other.firstList),
      secondList(other.secondList), excludeIntronicReads(other.excludeIntronicReads) {}

namespace {

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
AlignmentCategory category_of(const std::string& status, bool abseq, const ReadMetricsOutcome& kind,
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

void LibraryMetrics::_countCellularRead(AlignmentCategory category, bool useful,
                                        const ReadMetricsOutcome& kind) {
    if (category != UNALIGNED && category != NOT_UNIQUE)
        ++uniquelyAlignedReads;
    ++cellularReads;
    if (kind.isSampleTag)
        ++cellularSampleTagReads;
    else if (!kind.chainClass.empty())
        ++cellularVdjReads;
    ++categories[category];
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
    AlignmentCategory category = OTHER_NO_FEATURE;
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

ReadCounts& ReadCounts::operator+=(const ReadCounts& other) {
    for (size_t k = 0; k < categories.size(); ++k)
        categories[k] += other.categories[k];
    sampleTagCorrectStartReads += other.sampleTagCorrectStartReads;
    sampleTagAlignLengthReads += other.sampleTagAlignLengthReads;
    cellularReads += other.cellularReads;
    usefulReads += other.usefulReads;
    phixReads += other.phixReads;
    uniquelyAlignedReads += other.uniquelyAlignedReads;
    sampleTagReads += other.sampleTagReads;
    cellularSampleTagReads += other.cellularSampleTagReads;
    usefulSampleTagReads += other.usefulSampleTagReads;
    vdjReads += other.vdjReads;
    cellularVdjReads += other.cellularVdjReads;
    usefulVdjReads += other.usefulVdjReads;
    usefulVdjBcrReads += other.usefulVdjBcrReads;
    usefulVdjTcrReads += other.usefulVdjTcrReads;
    return *this;
}

unsigned long ReadCounts::mappedToGenes() const {
    return categories[MAPPED_MRNA] + categories[MAPPED_ABSEQ] + categories[MAPPED_SMK] +
           categories[MAPPED_VDJ_TCR] + categories[MAPPED_VDJ_BCR];
}

std::array<unsigned long, ALIGNMENT_CATEGORY_COUNT> ReadCounts::reportCategories() const {
    std::array<unsigned long, ALIGNMENT_CATEGORY_COUNT> shown = categories;
    shown[OTHER_ANTISENSE] =
        categories[OTHER_ANTISENSE_EXONS] + categories[OTHER_ANTISENSE_INTRONS];
    // What is neither mapped to genes, unaligned nor not unique: the other categories' sum.
    shown[OTHER] = cellularReads - mappedToGenes() - categories[UNALIGNED] - categories[NOT_UNIQUE];
    return shown;
}

void LibraryMetrics::addConcurrently(const ReadCounts& other) {
    std::lock_guard<std::mutex> lock(_adding);
    *this += other;
}
