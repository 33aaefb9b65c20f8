// One GTF line cut up in place, and the per-line helpers of the GTF reader.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

class Logger;

struct GTFLine {
    char* seqname = nullptr;
    char* source = nullptr;
    char* feature = nullptr;
    unsigned long start = 0;
    unsigned long end = 0;
    double score = 0;
    char strand = '\0';
    unsigned long frame = 0;
    char* attributes = nullptr;
};

// Splits line (zero-terminated, cut at its first '#') into the nine columns in place; false when
// it has fewer than eight tabs.
bool __parse_gtf_line(GTFLine& gtfLine, char* line);

// The value of attribute name, quoted or bare up to ';'; empty when absent.
std::string __get_attribute(const GTFLine& gtfLine, const char* name);
// The same value as a view into the line's attribute text, for the reader's hot loop.
std::string_view __get_attribute_view(const GTFLine& gtfLine, const char* name);

using FeatureModifier = void (*)(std::string& featureType, std::string& geneLabel, GTFLine& line,
                                 const std::vector<std::string>& vdjPrefixes,
                                 const std::unordered_set<std::string>& cGenes, Logger& logger);

void __noop_modify_feature(std::string& featureType, std::string& geneLabel, GTFLine& line,
                           const std::vector<std::string>& vdjPrefixes,
                           const std::unordered_set<std::string>& cGenes, Logger& logger);

// Moves receptor genes into the VDJ trees and appends their chain suffixes to the label.
void __vdj_modify_feature(std::string& featureType, std::string& geneLabel, GTFLine& line,
                          const std::vector<std::string>& vdjPrefixes,
                          const std::unordered_set<std::string>& cGenes, Logger& logger);
