// Immune-receptor genes in the gene model: which constant-region genes and receptor gene types the
// VDJ version names, and how their GTF lines are moved into the VDJ trees.
#include <algorithm>
#include <cctype>

#include "Constants.h"
#include "FeatureAssigner.h"
#include "GtfLine.h"
#include "support/Logger.h"
#include "support/Utilities.h"

namespace {

std::string to_upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string to_lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool contains_text(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

} // namespace

void FeatureAssigner::_setCGenesAndVDJPrefix(const std::string& vdjVersion,
                                             std::vector<std::string>& vdjPrefixes,
                                             std::vector<std::string>& treeNames) {
    if (vdjVersion.empty()) {
        treeNames = {"exon", "gene"};
        return;
    }
    std::string v = to_lower(vdjVersion);
    if (contains_text(v, "human") || contains_text(v, "hs"))
        _cGenes = SET_STRING_HUMAN_C_GENES;
    else if (contains_text(v, "mouse") || contains_text(v, "mm"))
        _cGenes = SET_STRING_MOUSE_C_GENES;

    if (v == "human" || v == "hs" || v == "mouse" || v == "mm")
        vdjPrefixes = {"IG_", "TR_"};
    else if (contains_text(v, "tcr"))
        vdjPrefixes = {"TR_"};
    else if (contains_text(v, "bcr"))
        vdjPrefixes = {"IG_"};

    if (vdjPrefixes.empty()) {
        // No receptor chains to separate: the model keeps its plain trees.
        treeNames = {"exon", "gene"};
        return;
    }
    treeNames = {"VDJ_exon",          "VDJ_gene",     "CONSTANT_VDJ_exon",
                 "CONSTANT_VDJ_gene", "NOT_VDJ_exon", "NOT_VDJ_gene"};
}

void vdjModifyFeature(std::string& featureType, std::string& geneLabel, GTFLine& line,
                      const std::vector<std::string>& vdjPrefixes,
                      const std::unordered_set<std::string>& cGenes, Logger& logger) {
    std::string upper = to_upper(geneLabel);
    std::string geneType = getAttribute(line, "gene_type");
    if (geneType.empty())
        geneType = getAttribute(line, "gene_biotype");

    bool receptor = std::any_of(vdjPrefixes.begin(), vdjPrefixes.end(),
                                [&](const std::string& p) { return strStartsWith(geneType, p); });
    if (receptor) {
        std::string chain = upper.substr(0, 3);
        std::string suffix;
        if (strStartsWith(chain, "IG"))
            suffix = "|" + chain + "_BVDJ";
        else if (strStartsWith(chain, "TR"))
            suffix = "|" + chain + "_TVDJ";
        if (cGenes.count(geneLabel)) {
            std::string direction;
            if (line.strand == '+')
                direction = "Forward";
            else if (line.strand == '-')
                direction = "Reverse";
            else
                logger.info("GTF line should have been skipped prior");
            if (!direction.empty())
                suffix = substrReplace(suffix, "VDJ", direction + "CONSTANTVDJ", -1);
        }
        geneLabel += suffix;
    }
    if (upper == "TRBV11-2")
        geneLabel += "|TRB_TVDJ";

    if (strEndsWith(geneLabel, "CONSTANTVDJ"))
        featureType = "CONSTANT_VDJ_" + featureType;
    else if (strEndsWith(geneLabel, "VDJ"))
        featureType = "VDJ_" + featureType;
    else
        featureType = "NOT_VDJ_" + featureType;
}
