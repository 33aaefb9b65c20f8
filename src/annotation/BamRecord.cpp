#include "BamRecord.h"

#include <algorithm>

#include "Constants.h"
#include "support/BamTag.h"

const char* const SEQUENCE_CHAR = "=ACMGRSVTWYHKDBN";
const char* const SEQUENCE_CHAR_COMP = "=TGKCYSBAWRDMHVN";

std::string getForwardSequenceString(const bam1_t* record) {
    if (!record || record->core.l_qseq <= 0)
        return "";
    const uint8_t* packed = bam_get_seq(record);
    int length = record->core.l_qseq;
    std::string sequence(static_cast<size_t>(length), 'N');
    if (record->core.flag & BAM_FREVERSE) {
        // Complement and reverse in one pass.
        for (int i = 0; i < length; ++i)
            sequence[length - 1 - i] = SEQUENCE_CHAR_COMP[bam_seqi(packed, i)];
    } else {
        for (int i = 0; i < length; ++i)
            sequence[i] = SEQUENCE_CHAR[bam_seqi(packed, i)];
    }
    return sequence;
}

std::string getForwardQualityString(const bam1_t* record) {
    if (!record || record->core.l_qseq < 1)
        return "";
    const uint8_t* qualities = bam_get_qual(record);
    int length = record->core.l_qseq;
    std::string text(static_cast<size_t>(length), '~');
    bool reverse = record->core.flag & BAM_FREVERSE;
    for (int i = 0; i < length; ++i) {
        uint8_t q = qualities[i];
        text[reverse ? length - 1 - i : i] = q > 92 ? '~' : static_cast<char>(q + 33);
    }
    return text;
}

std::string extractAbseqUMI(const bam1_t* record) {
    std::string sequence = getForwardSequenceString(record);
    if (sequence.size() > 12)
        sequence.resize(12);
    return sequence;
}

int64_t bamCigarOperationSum(const bam1_t* record, char operation) {
    int64_t sum = 0;
    const uint32_t* cigar = bam_get_cigar(record);
    for (uint32_t k = 0; k < record->core.n_cigar; ++k)
        if (bam_cigar_opchr(cigar[k]) == operation)
            sum += bam_cigar_oplen(cigar[k]);
    return sum;
}

bool bamCigarContains(const bam1_t* record, char operation) {
    const uint32_t* cigar = bam_get_cigar(record);
    for (uint32_t k = 0; k < record->core.n_cigar; ++k)
        if (bam_cigar_opchr(cigar[k]) == operation)
            return true;
    return false;
}

std::string_view stringTagView(const bam1_t* record, const char* tag) {
    const uint8_t* data = bam_aux_get(record, tag);
    if (!data || (*data != 'Z' && *data != 'H'))
        return {};
    return reinterpret_cast<const char*>(data + 1);
}

std::string getStringTag(const bam1_t* record, const char* tag) {
    return std::string(stringTagView(record, tag));
}

void addCellUmiBamTags(std::vector<bam1_t*>& records, const std::string& cellIndex,
                       const std::string& umi) {
    for (bam1_t* record : records) {
        setStringTag(record, TAG_CL_NAME, cellIndex);
        setStringTag(record, TAG_UMI_NAME, umi);
    }
}

void freeVectorBamRecords(RecordChunk& chunk) {
    for (RecordGroup& group : chunk) {
        for (size_t i = group.size(); i-- > 0;) {
            bam_destroy1(group[i]);
            group[i] = nullptr;
        }
    }
    chunk.clear();
}
