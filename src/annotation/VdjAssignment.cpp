#include "VdjAssignment.h"

#include <vector>

#include "support/Utilities.h"

std::string removeSubgroup(const std::string& assignment) {
    static const char* const SUBGROUPS[] = {"introns_", "antisense_exons_", "antisense_introns_"};
    std::string r = assignment;
    if (strStartsWith(r, "__ambiguous")) {
        r = substrReplace(r, "__ambiguous", "", -1);
        r = substrReplace(r, "[", "", -1);
        r = substrReplace(r, "]", "", -1);
    } else if (strStartsWith(r, "__")) {
        r = substrReplace(r, "__", "", -1);
    }
    for (const char* subgroup : SUBGROUPS)
        if (strStartsWith(r, subgroup))
            r = substrReplace(r, subgroup, "", 1);
    return r;
}

std::pair<std::string, bool>
updateAssignment(const std::string& assignment, bool allParts,
                 const std::map<std::string, std::string>& replacements) {
    std::string r;
    if (!allParts) {
        r = assignment;
        for (const auto& replacement : replacements)
            r = substrReplace(r, replacement.first, replacement.second, -1);
    } else {
        r = removeSubgroup(assignment);
        r = substrReplace(r, "ReverseCONSTANT", "", -1);
        r = substrReplace(r, "ForwardCONSTANT", "", -1);
    }
    bool changed = r != assignment;
    return {std::move(r), changed};
}

bool uniqueChainType(const std::set<std::string>& candidates) {
    if (candidates.empty())
        return true;
    const std::string& first = *candidates.begin();
    size_t bar = first.rfind('|');
    std::string chain = bar == std::string::npos ? first : first.substr(bar + 1);
    for (const std::string& candidate : candidates)
        if (!strEndsWith(candidate, chain))
            return false;
    return true;
}

std::pair<std::string, bool> rewriteVdjFeature(const std::string& feature, bool reverseStrand) {
    std::vector<std::string> parts = strSplit(removeSubgroup(feature), '+');
    std::map<std::string, std::string> replacements;
    bool allParts = true;
    for (const std::string& part : parts) {
        bool reverseConstant = part.find("ReverseCONSTANTVDJ") != std::string::npos;
        bool forwardConstant = part.find("ForwardCONSTANTVDJ") != std::string::npos;
        bool ownOrientation = (reverseConstant && reverseStrand) ||
                              (reverseConstant && forwardConstant) ||
                              (forwardConstant && !reverseConstant && !reverseStrand);
        if (ownOrientation) {
            replacements[part] = part.substr(0, part.find('|'));
            allParts = false;
        }
        if (!strEndsWith(part, "VDJ"))
            allParts = false;
    }
    return updateAssignment(feature, allParts, replacements);
}

std::string vdjChainType(const std::string& gene) {
    size_t bar = gene.rfind('|');
    std::string field = bar == std::string::npos ? gene : gene.substr(bar + 1);
    return field.substr(0, field.find('_'));
}

void appendVdjFastqRecord(std::string& buffer, const std::string& cellIndex, const std::string& umi,
                          const std::string& gene, const std::string& sequence,
                          const std::string& quality) {
    buffer += '@';
    buffer += cellIndex;
    buffer += '|';
    buffer += umi;
    buffer += '|';
    buffer += vdjChainType(gene);
    buffer += '\n';
    buffer += sequence;
    buffer += "\n+\n";
    buffer += quality;
    buffer += '\n';
}
