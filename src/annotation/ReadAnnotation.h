// The decision for one R2 read: its gene, annotation status and read type, its tags, its metrics
// and, when it counts, its valid-reads line or VDJ FASTQ record.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include <htslib/sam.h>

#include "support/Utilities.h"

class LibraryMetrics;
class ReadAnnotationFiles;

// "sample_tag", "abseq", "vdj" or "mrna", from the gene name's ending.
const std::string& getReadTypeFromGeneName(const std::string& gene);
// Targeted-assay filters; throw std::system_error for an unknown read type.
bool checkTargetedStartPosition(unsigned long position, const std::string& readType);
bool checkReadAlignmentLengthMatch(const bam1_t* record, const std::string& readType);

// The gene a read counts for and its annotation status ("1", "x", "intergenic",
// "alignment:3_feature:A+B", ...), decided from the features of its alignments.
struct ReadAssignment {
    std::string gene = "*";
    std::string status = "*";
};

// How a read's records stand against the NH tag of its aligner.
enum class ReadShape {
    Whole,             // as many primary and secondary records as NH says, or no NH
    ShortOfNH,         // fewer: secondaries filtered out, or fewer written than found
    MoreThanNH,        // more: the records present are its alignments
    SupplementaryOnly, // no primary or secondary record: no alignment to count
    PrimaryElsewhere,  // NH 1 and no primary record: the rest of a read counted where it lies
};
constexpr size_t READ_SHAPES = 5;

// A read's alignments are its primary and secondary records; supplementary records (0x800) are
// further pieces of one of them, and only carried along.
struct ReadAlignments {
    long count = 0;         // the read's number of alignments
    bam1_t* last = nullptr; // its last primary or secondary record
    ReadShape shape = ReadShape::Whole;
};

// The alignments of one read: NH of its last primary or secondary record that has one (a value
// below 1 is no count), else the number of those records; more records than NH are the count.
// Records of NH 1 without a primary record are the rest of a read whose primary record lies
// elsewhere: in a copy grouped by read name, a primary record of NH 1 is annotated where it lies.
ReadAlignments countAlignments(const std::vector<bam1_t*>& records);

// Steps one read's alignments through their features and sets TR, TF (and a rewritten XF) on
// the last alignment of a uniquely aligned read. A read short of its NH is never corrected to
// one gene: its missing alignments may lie on other genes.
ReadAssignment assignReadGene(sam_hdr_t* header, std::vector<bam1_t*>& records,
                              const ReadAlignments& alignments,
                              const std::unordered_set<std::string>& extraReferenceNames,
                              bool excludeIntronicReads);

// Annotates one read (every record already carries its XF feature) and returns its shape. An
// empty group is the worker's end marker and returns at once. A read of supplementary records
// only, or the rest of a read counted elsewhere, gets its cell and UMI tags and is not counted.
ReadShape annotateR2(AssayType assay, sam_hdr_t* header, std::vector<bam1_t*>& records,
                     const std::unordered_set<std::string>& extraReferenceNames,
                     LibraryMetrics& metrics, ReadAnnotationFiles& files,
                     std::string& tcrFastqBuffer, std::string& bcrFastqBuffer,
                     bool excludeIntronicReads, bool vdjCellCalling);
