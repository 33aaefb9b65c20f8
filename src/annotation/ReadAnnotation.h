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

// Steps one read group through its alignments and sets TR, TF (and a rewritten XF) on the last
// record of a uniquely aligned read.
ReadAssignment assignReadGene(sam_hdr_t* header, std::vector<bam1_t*>& records,
                              const std::unordered_set<std::string>& extraReferenceNames,
                              bool excludeIntronicReads);

// Annotates one read group (every record already carries its XF feature). An empty group is the
// worker's end marker and returns at once.
void annotateR2(AssayType assay, sam_hdr_t* header, std::vector<bam1_t*>& records,
                const std::unordered_set<std::string>& extraReferenceNames, LibraryMetrics& metrics,
                ReadAnnotationFiles& files, std::string& tcrFastqBuffer,
                std::string& bcrFastqBuffer, bool excludeIntronicReads, bool vdjCellCalling);
