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
    // The first of start and end that is not a whole number from 1 to MAX_GTF_COORDINATE
    // ("start" or "end"), with its text; null when both are.
    const char* badCoordinate = nullptr;
    const char* badCoordinateText = nullptr;
};

constexpr unsigned long MAX_GTF_COORDINATE = 1000000000000000UL;

// Splits line (zero-terminated, cut at its first '#') into the nine columns in place; false when
// it has fewer than eight tabs. Start and end must be plain decimal numbers in range: anything
// else is marked in badCoordinate (their value is then 0), for the caller to refuse.
[[nodiscard]] bool parseGtfLine(GTFLine& gtfLine, char* line);

// The value of attribute name, quoted or bare up to ';'; empty when absent.
std::string getAttribute(const GTFLine& gtfLine, const char* name);
// The same value as a view into the line's attribute text, for the reader's hot loop.
std::string_view getAttributeView(const GTFLine& gtfLine, const char* name);

using FeatureModifier = void (*)(std::string& featureType, std::string& geneLabel, GTFLine& line,
                                 const std::vector<std::string>& vdjPrefixes,
                                 const std::unordered_set<std::string>& cGenes, Logger& logger);

void noopModifyFeature(std::string& featureType, std::string& geneLabel, GTFLine& line,
                       const std::vector<std::string>& vdjPrefixes,
                       const std::unordered_set<std::string>& cGenes, Logger& logger);

// Moves receptor genes into the VDJ trees and appends their chain suffixes to the label.
void vdjModifyFeature(std::string& featureType, std::string& geneLabel, GTFLine& line,
                      const std::vector<std::string>& vdjPrefixes,
                      const std::unordered_set<std::string>& cGenes, Logger& logger);
