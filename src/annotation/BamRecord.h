// Stateless accessors over HTSlib records: the read as sequenced, CIGAR text and sums, string tags,
// the cell and UMI tags, and the release of a chunk of records.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <htslib/sam.h>

#include "support/BamTag.h"

// The records of one read: the primary record followed by its other alignments.
using RecordGroup = std::vector<bam1_t*>;
using RecordChunk = std::vector<RecordGroup>;

// A read's primary record; its secondary records are its other alignments, its supplementary
// records pieces of one of them.
inline bool isPrimaryRecord(const bam1_t* record) {
    return !(record->core.flag & (BAM_FSECONDARY | BAM_FSUPPLEMENTARY));
}
inline bool isSupplementaryRecord(const bam1_t* record) {
    return record->core.flag & BAM_FSUPPLEMENTARY;
}

extern const char* const SEQUENCE_CHAR;
extern const char* const SEQUENCE_CHAR_COMP;

// Bases as they came off the sequencer (reverse complement for a reverse-strand record).
std::string getForwardSequenceString(const bam1_t* record);
// Phred+33 qualities in the same orientation; bytes above 92 (and missing 0xFF) become '~'.
std::string getForwardQualityString(const bam1_t* record);
// The first 12 bases of the forward sequence (all of it when shorter).
std::string extractAbseqUMI(const bam1_t* record);

// The summed lengths of the record's CIGAR operations of one kind: up to 65,535 operations of up
// to 2^28 - 1 bases each, more than an int holds.
int64_t bamCigarOperationSum(const bam1_t* record, char operation);
bool bamCigarContains(const bam1_t* record, char operation);

// The value of a string tag; "" when absent or not a string.
std::string getStringTag(const bam1_t* record, const char* tag);
// The same without a copy: valid until the record's tags change.
std::string_view stringTagView(const bam1_t* record, const char* tag);

// Sets CB to cellIndex and then MR to umi on every record of the group.
void addCellUmiBamTags(std::vector<bam1_t*>& records, const std::string& cellIndex,
                       const std::string& umi);

// Destroys every record of the chunk and leaves it empty, ready to be filled again.
void freeVectorBamRecords(RecordChunk& chunk);
