#include "ReadAnnotation.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>
#include <system_error>

#include "BamRecord.h"
#include "Constants.h"
#include "ReadIdentity.h"
#include "VdjAssignment.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/BamTag.h"

namespace {

const std::string READ_TYPE_SAMPLE_TAG = "sample_tag";
const std::string READ_TYPE_ABSEQ = "abseq";
const std::string READ_TYPE_VDJ = "vdj";
const std::string READ_TYPE_MRNA = "mrna";

[[noreturn]] void unknown_read_type(const std::string& readType) {
    // A programming error, not a system one; the type and errno are kept for callers that test
    // for them.
    throw std::system_error(errno, std::generic_category(),
                            "Unknown read type: '" + readType + "'");
}

} // namespace

const std::string& getReadTypeFromGeneName(const std::string& gene) {
    if (strEndsWith(gene, "stAbO"))
        return READ_TYPE_SAMPLE_TAG;
    if (strEndsWith(gene, "pAbO"))
        return READ_TYPE_ABSEQ;
    if (strEndsWith(gene, "VDJ"))
        return READ_TYPE_VDJ;
    return READ_TYPE_MRNA;
}

bool checkTargetedStartPosition(unsigned long position, const std::string& readType) {
    if (readType == READ_TYPE_MRNA)
        return position >= 1 && position <= 5;
    if (readType == READ_TYPE_ABSEQ)
        return position >= 1 && position <= 15;
    if (readType == READ_TYPE_SAMPLE_TAG)
        return position >= 1 && position <= 29;
    if (readType == READ_TYPE_VDJ)
        return true;
    unknown_read_type(readType);
}

bool checkReadAlignmentLengthMatch(const bam1_t* record, const std::string& readType) {
    int minimum;
    if (readType == READ_TYPE_VDJ)
        return true;
    if (readType == READ_TYPE_MRNA)
        minimum = 37;
    else if (readType == READ_TYPE_ABSEQ)
        minimum = 25;
    else if (readType == READ_TYPE_SAMPLE_TAG)
        minimum = 40;
    else
        unknown_read_type(readType);
    return bamCigarOperationSum(record, 'M') >= minimum;
}

namespace {

// The gene and status of a read with nh alignments from the genes its alignments name: one gene
// (or receptor genes of one chain) corrects the read to it, unless alignments are missing;
// several leave it without a gene.
void resolveMultipleAlignments(ReadAssignment& read, long nh, bool correctable,
                               const std::set<std::string>& candidates) {
    if (candidates.size() == 1 && *candidates.begin() == "alignment_not_unique") {
        read.status = "alignment_not_unique";
        return;
    }
    std::string alignments = "alignment:" + std::to_string(nh) + "_feature:";
    if (candidates.empty()) {
        read.status = alignments + "0";
        return;
    }
    std::string joined = strJoin(candidates, "+");
    read.status = alignments + joined;
    if (!correctable)
        return;
    bool allVdj = std::all_of(candidates.begin(), candidates.end(),
                              [](const std::string& gene) { return strEndsWith(gene, "VDJ"); });
    if (allVdj) {
        if (uniqueChainType(candidates)) {
            read.gene = joined;
            read.status += ":VDJMAcorrected";
        } else {
            read.status += ":VDJMixed";
        }
    } else if (candidates.size() == 1) {
        read.gene = *candidates.begin();
        read.status += ":MAcorrected";
    }
}

} // namespace

ReadAlignments countAlignments(const std::vector<bam1_t*>& records) {
    ReadAlignments alignments;
    long nh = 0;
    bool primary = false;
    for (bam1_t* record : records) {
        if (isSupplementaryRecord(record))
            continue;
        ++alignments.count;
        alignments.last = record;
        primary |= isPrimaryRecord(record);
        long tag = getIntegerTag(record, TAG_NUMBER_ALIGNMENTS, 0);
        if (tag > 0)
            nh = tag;
    }
    if (alignments.count == 0)
        alignments.shape = ReadShape::SupplementaryOnly;
    else if (!primary && nh == 1)
        alignments.shape = ReadShape::PrimaryElsewhere;
    else if (nh > alignments.count)
        alignments.shape = ReadShape::ShortOfNH;
    else if (nh > 0 && nh < alignments.count)
        alignments.shape = ReadShape::MoreThanNH;
    if (nh > alignments.count)
        alignments.count = nh;
    return alignments;
}

ReadAssignment assignReadGene(sam_hdr_t* header, std::vector<bam1_t*>& records,
                              const ReadAlignments& alignments,
                              const std::unordered_set<std::string>& extraReferenceNames,
                              bool excludeIntronicReads) {
    ReadAssignment result;
    std::string& gene = result.gene;
    std::string& status = result.status;
    // Views into the header and the records' tags; a rewritten VDJ feature lives in `rewritten`.
    std::string_view feature, referenceName;
    std::string rewritten;
    std::set<std::string> candidates;
    bool featureChanged = false;
    const long nh = alignments.count;

    for (bam1_t* record : records) {
        if (isSupplementaryRecord(record))
            continue;
        const char* name =
            record->core.tid >= 0 ? sam_hdr_tid2name(header, record->core.tid) : nullptr;
        referenceName = name ? name : "";
        bool spikeIn = !referenceName.empty() && (strStartsWith(referenceName, STRING_PHIX174) ||
                                                  strStartsWith(referenceName, STRING_ERCC_PREFIX));
        if (spikeIn) {
            feature = referenceName;
            gene.assign(referenceName);
            featureChanged = false;
            if (nh <= 1 && (record->core.flag == BAM_FUNMAP || bamCigarContains(record, 'N'))) {
                status = "x";
                continue;
            }
        } else {
            feature = stringTagView(record, TAG_FEATURE);
            if (feature.find("VDJ") != std::string_view::npos) {
                auto vdj =
                    rewriteVdjFeature(std::string(feature), record->core.flag & BAM_FREVERSE);
                rewritten = std::move(vdj.first);
                feature = rewritten;
                featureChanged = vdj.second;
            } else {
                featureChanged = false;
            }
            if (nh <= 1 && record->core.flag == BAM_FUNMAP) {
                status = "x";
                continue;
            }
        }

        if (nh > 1) {
            if (feature == "__alignment_not_unique")
                candidates.insert("alignment_not_unique");
            if (!strStartsWith(feature, "__"))
                candidates.emplace(feature);
            continue;
        }
        if (!strStartsWith(feature, "__")) {
            gene.assign(feature);
            status = "1";
        } else if (extraReferenceNames.count(std::string(referenceName))) {
            gene.assign(referenceName);
            status = "1";
        } else {
            if (!excludeIntronicReads && strStartsWith(feature, "__introns"))
                gene.assign(feature.substr(10));
            status.assign(feature.substr(2));
        }
    }

    if (nh > 1) {
        resolveMultipleAlignments(result, nh, alignments.shape != ReadShape::ShortOfNH, candidates);
        return result;
    }
    bam1_t* last = alignments.last;
    setStringTag(last, TAG_TRANSCRIPT_NAME, "*");
    setStringTag(last, TAG_FRAGMENT_LENGTH, "*");
    if (featureChanged)
        setStringTag(last, TAG_FEATURE, rewritten);
    return result;
}

ReadShape annotateR2(AssayType assay, sam_hdr_t* header, std::vector<bam1_t*>& records,
                     const std::unordered_set<std::string>& extraReferenceNames,
                     LibraryMetrics& metrics, ReadAnnotationFiles& files,
                     std::string& tcrFastqBuffer, std::string& bcrFastqBuffer,
                     bool excludeIntronicReads, bool vdjCellCalling) {
    if (records.empty())
        return ReadShape::Whole;
    std::string cellIndex, umi, abseqUmi;
    ReadAlignments alignments = countAlignments(records);
    if (alignments.shape == ReadShape::SupplementaryOnly ||
        alignments.shape == ReadShape::PrimaryElsewhere) {
        getCellIndexAndUMIFromQName(cellIndex, umi, records.back(), files.failures);
        addCellUmiBamTags(records, cellIndex, umi);
        return alignments.shape;
    }
    ReadAssignment assignment =
        assignReadGene(header, records, alignments, extraReferenceNames, excludeIntronicReads);
    std::string& gene = assignment.gene;
    const std::string& status = assignment.status;
    bam1_t* last = alignments.last;

    getCellIndexAndUMIFromQName(cellIndex, umi, last, files.failures);
    const std::string& readType = getReadTypeFromGeneName(gene);
    if (readType == READ_TYPE_ABSEQ) {
        abseqUmi = extractAbseqUMI(last);
        addCellUmiBamTags(records, cellIndex, abseqUmi);
    } else {
        addCellUmiBamTags(records, cellIndex, umi);
    }

    bool passesTargetedFilter = true;
    if (assay == Targeted) {
        unsigned long position = static_cast<unsigned long>(last->core.pos + 1);
        passesTargetedFilter = checkTargetedStartPosition(position, readType) &&
                               !(last->core.flag & BAM_FREVERSE) &&
                               checkReadAlignmentLengthMatch(last, readType);
    }

    ReadMetricsOutcome outcome = metrics.update(umi, gene, status, abseqUmi, passesTargetedFilter);
    if (!outcome.counted)
        return alignments.shape;

    if (readType == READ_TYPE_VDJ) {
        std::string* buffer = outcome.chainClass == "TCR"   ? &tcrFastqBuffer
                              : outcome.chainClass == "BCR" ? &bcrFastqBuffer
                                                            : nullptr;
        if (buffer)
            appendVdjFastqRecord(*buffer, cellIndex, umi, gene, getForwardSequenceString(last),
                                 getForwardQualityString(last));
        return alignments.shape;
    }
    if (assay == Targeted && readType == READ_TYPE_MRNA) {
        size_t bar = gene.find('|');
        if (bar != std::string::npos)
            gene.resize(bar); // in place: no new string per read
    }
    thread_local std::string line; // reused: one valid-reads line per counted read
    line.clear();
    line.append(cellIndex).append(1, ',').append(umi).append(1, ',').append(gene).append(1, ',');
    line.append(abseqUmi).append(1, '\n');
    if (outcome.isSampleTag)
        files.writeSampleTagValidReads(line);
    else if (!vdjCellCalling)
        files.writeValidReads(line, gene);
    return alignments.shape;
}
