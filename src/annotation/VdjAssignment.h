// Receptor features read back from XF: constant-region hits in the read's own orientation become
// plain genes, other receptor hits lose their constant-region marks, and counted VDJ reads become
// FASTQ records of the TCR or BCR output.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>

#include <htslib/sam.h>

// The feature without "__ambiguous", brackets, "__" and a leading subgroup prefix.
std::string removeSubgroup(const std::string& assignment);

// (new feature, whether it differs from assignment).
std::pair<std::string, bool>
updateAssignment(const std::string& assignment, bool allParts,
                 const std::map<std::string, std::string>& replacements);

// Whether every candidate ends with the last "|" field of the first one.
bool uniqueChainType(const std::set<std::string>& candidates);

// The per-record rewrite of a feature that contains "VDJ", for a record on the given strand.
std::pair<std::string, bool> rewriteVdjFeature(const std::string& feature, bool reverseStrand);

// The chain type of a receptor gene: the text before the first '_' of its last '|' field.
std::string vdjChainType(const std::string& gene);

// Appends "@cell|umi|chain\nsequence\n+\nquality\n" to buffer.
void appendVdjFastqRecord(std::string& buffer, const std::string& cellIndex, const std::string& umi,
                          const std::string& gene, const std::string& sequence,
                          const std::string& quality);
