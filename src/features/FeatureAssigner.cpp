#include "FeatureAssigner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "Constants.h"
#include "GtfBlockReader.h"
#include "support/Handles.h"
#include "support/Logger.h"
#include "support/SystemError.h"
#include "support/Utilities.h"

namespace {

using IntervalVector = GeneTree::interval_vector;
using IntervalLists =
    std::map<std::string, std::map<std::string, std::pair<IntervalVector, IntervalVector>>>;

} // namespace

FeatureAssigner::FeatureAssigner(const std::string& gtfPath, const std::string& vdjVersion,
                                 Logger& logger) {
    std::vector<std::string> vdjPrefixes, treeNames;
    _setCGenesAndVDJPrefix(vdjVersion, vdjPrefixes, treeNames);
    if (!vdjVersion.empty() && vdjPrefixes.empty())
        logger.warning("VDJ version '%s' names no receptor chains (human, hs, mouse, mm, or a "
                       "version containing tcr or bcr); genes are annotated without VDJ features",
                       vdjVersion.c_str());
    _parseGTFAndPopulateFeaturesTrees(gtfPath, logger, vdjPrefixes, treeNames);
    auto empty = [this](const char* tree) {
        const StrandTrees& trees = _featuresTrees[tree];
        return trees.first.empty() && trees.second.empty();
    };
    if (!vdjPrefixes.empty() && empty("VDJ_exon") && empty("CONSTANT_VDJ_exon"))
        logger.warning("VDJ version '%s': the GTF file \"%s\" has no receptor or constant-region "
                       "gene of its chains (a gene_type or gene_biotype beginning with %s and a "
                       "gene_name such as TRAV1 or IGHM), so receptor reads will be counted as "
                       "ordinary genes",
                       vdjVersion.c_str(), gtfPath.c_str(), strJoin(vdjPrefixes, " or ").c_str());
    // A version without receptor chains has no VDJ trees to consult: annotate as without VDJ.
    _buildFeatureAnnotationSchedule(!vdjPrefixes.empty());
}

namespace {

// What the model build carries from one gene or exon line to the next.
struct ModelBuild {
    ModelBuild(std::set<std::string>& chromosomes, std::unordered_set<std::string>& cGenes,
               const std::vector<std::string>& vdjPrefixes, FeatureModifier modify, Logger& logger,
               const std::string& path)
        : chromosomes(chromosomes), cGenes(cGenes), vdjPrefixes(vdjPrefixes), modify(modify),
          logger(logger), path(path) {}
    std::set<std::string>& chromosomes;
    std::unordered_set<std::string>& cGenes;
    const std::vector<std::string>& vdjPrefixes;
    FeatureModifier modify;
    Logger& logger;
    const std::string& path;
    IntervalLists intervalLists;
    std::unordered_map<std::string, std::string> idToName, nameToId;
    std::map<std::string, std::pair<std::string, std::string>> geneInfo;
    std::string lastId, lastName;
    bool haveLast = false;
    // Consecutive lines mostly share a feature type and a chromosome: remember where they went.
    std::string lastType, lastSeqname;
    std::pair<IntervalVector, IntervalVector>* lastLists = nullptr;
    unsigned long features = 0;
    std::string featureType, label;
};

// Sets build.label to the line's gene label and records its name and id, warning when an id or a
// name maps to two genes; false for a line with neither name nor id.
bool label_gene_line(ModelBuild& build, const GeneLine& gene) {
    std::string_view nameView = gene.name, idView = gene.id;
    if (nameView.empty() && idView.empty()) {
        build.logger.warning("GTF line missing both gene_name and gene_id");
        return false;
    }
    // The lines of one gene follow each other; only a change of id or name can warn or add, so
    // the names are only copied out of the line when they change.
    if (build.haveLast && !nameView.empty() && !idView.empty() && idView == build.lastId &&
        nameView == build.lastName) {
        build.label = build.lastName;
        return true;
    }
    std::string geneName(nameView), geneId(idView);
    if (geneName.empty()) {
        geneName = "NO_NAME_" + geneId;
        build.label = geneId;
    } else if (geneId.empty()) {
        geneId = "NO_ID_" + geneName;
        build.label = geneName;
    } else {
        build.label = geneName;
    }
    if (build.haveLast && geneId == build.lastId && geneName == build.lastName)
        return true;
    auto byId = build.idToName.find(geneId);
    if (byId != build.idToName.end() && byId->second != geneName)
        build.logger.warning("gene_id '%s' maps to multiple gene_names: '%s' and '%s'",
                             geneId.c_str(), byId->second.c_str(), geneName.c_str());
    auto byName = build.nameToId.find(geneName);
    if (byName != build.nameToId.end() && byName->second != geneId)
        build.logger.warning("gene_name '%s' maps to multiple gene_ids: '%s' and '%s'. Counts for "
                             "these gene_ids will be combined under gene_name.",
                             geneName.c_str(), byName->second.c_str(), geneId.c_str());
    build.idToName[geneId] = geneName;
    build.nameToId[geneName] = geneId;
    if (!build.geneInfo.count(build.label))
        build.geneInfo.emplace(build.label, std::make_pair(geneName, geneId));
    build.lastId = std::move(geneId);
    build.lastName = std::move(geneName);
    build.haveLast = true;
    return true;
}

// GFF3 shares GTF's columns but writes its attributes as key=value: read as GTF it would give
// NO_NAME_ labels or none at all.
void refuse_gff3(const ModelBuild& build, const GeneLine& gene) {
    const char* attributes = gene.line.attributes;
    size_t key = attributes ? std::strcspn(attributes, " ;=") : 0;
    if (!attributes || attributes[key] != '=')
        return;
    throw std::runtime_error(
        "The GTF file \"" + build.path + "\" is GFF3, not GTF: line " +
        std::to_string(gene.lineNumber) + " has key=value attributes (\"" +
        std::string(attributes, std::min<size_t>(60, std::strlen(attributes))) +
        "\"). Give the GTF of the same annotation, or convert this file (for "
        "example gffread -T, Debian package gffread)");
}

// The file's first bytes, for a message about a file that held nothing usable.
std::string what_the_file_holds(const std::string& path, unsigned long lines) {
    if (lines == 0)
        return "it is empty";
    char magic[3] = {0, 0, 0};
    if (FileHandle file{std::fopen(path.c_str(), "rb")}) {
        size_t got = std::fread(magic, 1, sizeof magic, file.get());
        if (got == 3 && std::memcmp(magic, "BZh", 3) == 0)
            return "it is bzip2-compressed: give it uncompressed or gzip-compressed";
    }
    return "none of its " + std::to_string(lines) +
           " lines is a tab-separated gene or exon line with a strand";
}

// Adds one gene or exon line to the interval lists of its feature type, chromosome and strand.
void add_gene_line(ModelBuild& build, GeneLine& gene) {
    GTFLine& line = gene.line;
    if (build.features == 0)
        refuse_gff3(build, gene);
    // A coordinate read as 0 or as a wrapped huge number would give one feature the reads of
    // genes genome-wide.
    if (line.badCoordinate)
        throw std::runtime_error("The GTF file \"" + build.path + "\", line " +
                                 std::to_string(gene.lineNumber) + ": the " + line.badCoordinate +
                                 " \"" + line.badCoordinateText + "\" of the " + line.feature +
                                 " line is not a whole number from 1 to " +
                                 std::to_string(MAX_GTF_COORDINATE));
    if (!label_gene_line(build, gene))
        return;
    if (line.strand == '.') {
        build.logger.info("GTF line neither forward nor reverse");
        return;
    }
    build.featureType.assign(line.feature);
    build.modify(build.featureType, build.label, line, build.vdjPrefixes, build.cGenes,
                 build.logger);
    if (!build.lastLists || build.featureType != build.lastType ||
        build.lastSeqname != line.seqname) {
        build.lastType = build.featureType;
        build.lastSeqname = line.seqname;
        build.chromosomes.insert(build.lastSeqname);
        build.lastLists = &build.intervalLists[build.featureType][build.lastSeqname];
    }
    IntervalVector& target = line.strand == '+' ? build.lastLists->first : build.lastLists->second;
    target.emplace_back(line.start - 1, line.end - 1, std::move(build.label));
    ++build.features;
}

} // namespace

void FeatureAssigner::_parseGTFAndPopulateFeaturesTrees(const std::string& gtfPath, Logger& logger,
                                                        const std::vector<std::string>& vdjPrefixes,
                                                        const std::vector<std::string>& treeNames) {
    ModelBuild build(_chromosomes, _cGenes, vdjPrefixes,
                     vdjPrefixes.empty() ? noopModifyFeature : vdjModifyFeature, logger, gtfPath);
    for (const std::string& name : treeNames) {
        _featuresTrees[name] = StrandTrees();
        build.intervalLists[name];
    }
    unsigned long lines =
        _readGeneLines(gtfPath, [&build](GeneLine& gene) { add_gene_line(build, gene); });
    for (auto& byType : build.intervalLists) {
        StrandTrees& trees = _featuresTrees[byType.first];
        for (auto& byChromosome : byType.second) {
            trees.first.emplace(byChromosome.first, GeneTree(std::move(byChromosome.second.first)));
            trees.second.emplace(byChromosome.first,
                                 GeneTree(std::move(byChromosome.second.second)));
        }
    }
    // Without a single feature every aligned read would be counted as without a gene.
    if (build.features == 0)
        throw std::runtime_error("The GTF file \"" + gtfPath + "\" yields no gene or exon line: " +
                                 what_the_file_holds(gtfPath, lines));
    logger.info("Read %'lu GTF lines: %'lu gene and exon features of %'lu genes on %lu "
                "chromosomes",
                lines, build.features, static_cast<unsigned long>(build.geneInfo.size()),
                static_cast<unsigned long>(_chromosomes.size()));
    _geneInfo = std::move(build.geneInfo);
}

unsigned long FeatureAssigner::_readGeneLines(const std::string& gtfPath,
                                              const std::function<void(GeneLine&)>& onGeneLine) {
    FileHandle file(std::fopen(gtfPath.c_str(), "r"));
    if (!file) {
        int error = errno;
        throw systemError(error, "Cannot open the GTF file \"" + gtfPath + "\"");
    }
    unsigned long lines = 0;
    GzipReader text(file.get(), "GTF file \"" + gtfPath + "\"");
    GtfBlockReader reader(text);
    while (std::unique_ptr<GtfBlock> block = reader.next()) {
        lines += block->lineCount;
        for (GeneLine& gene : block->geneLines)
            onGeneLine(gene);
        reader.giveBack(std::move(block));
    }
    return lines;
}

void FeatureAssigner::_buildFeatureAnnotationSchedule(bool vdj) {
    struct StepSpec {
        bool antisense;
        const char* prefix;
        const char* tree;
    };
    static const StepSpec PLAIN[] = {{false, "exons", "exon"},
                                     {false, "__introns_", "gene"},
                                     {true, "__antisense_exons_", "exon"},
                                     {true, "__antisense_introns_", "gene"}};
    static const StepSpec WITH_VDJ[] = {{false, "exons", "VDJ_exon"},
                                        {true, "__antisense_exons_", "CONSTANT_VDJ_exon"},
                                        {true, "__antisense_exons_", "VDJ_exon"},
                                        {false, "exons", "NOT_VDJ_exon"},
                                        {false, "exons", "CONSTANT_VDJ_exon"},
                                        {false, "__introns_", "VDJ_gene"},
                                        {true, "__antisense_introns_", "CONSTANT_VDJ_gene"},
                                        {true, "__antisense_introns_", "VDJ_gene"},
                                        {false, "__introns_", "NOT_VDJ_gene"},
                                        {false, "__introns_", "CONSTANT_VDJ_gene"},
                                        {true, "__antisense_exons_", "NOT_VDJ_exon"},
                                        {true, "__antisense_introns_", "NOT_VDJ_gene"}};
    _featureAnnotationSchedule.clear();
    _stepKinds.clear();
    const StepSpec* begin = vdj ? WITH_VDJ : PLAIN;
    const StepSpec* end = vdj ? WITH_VDJ + 12 : PLAIN + 4;
    for (const StepSpec* spec = begin; spec != end; ++spec) {
        _featureAnnotationSchedule.push_back(
            {spec->antisense, spec->prefix, &_featuresTrees[spec->tree]});
        std::string prefix = spec->prefix;
        _stepKinds.push_back(prefix == "exons"                ? EXONS
                             : prefix == "__introns_"         ? INTRONS
                             : prefix == "__antisense_exons_" ? ANTISENSE_EXONS
                                                              : ANTISENSE_INTRONS);
    }
    _indexStepTrees();
}

// The reference path: the schedule walked through the interval trees themselves. The workers use
// the flat index; this path is what the tests check the index against.

void FeatureAssigner::_collectLabels(const bam1_t* record, const GeneTree& tree,
                                     std::vector<const std::string*>& labels) {
    forEachMatchBlock(record, [&](unsigned long start, unsigned long stop) {
        tree.visit_overlapping(
            start, stop, [&labels](const GeneTree::interval& i) { labels.push_back(&i.value); });
    });
}

std::set<std::string> FeatureAssigner::getReadFeatures(bam1_t* record,
                                                       const std::string& chromosome,
                                                       const StrandTrees& trees,
                                                       bool antisense) const {
    bool reverse = (record->core.flag & BAM_FREVERSE) != 0;
    const ChromosomeTrees& map = reverse != antisense ? trees.second : trees.first;
    std::set<std::string> result;
    auto tree = map.find(chromosome);
    if (tree == map.end() || record->core.n_cigar == 0)
        return result;
    std::vector<const std::string*> labels;
    _collectLabels(record, tree->second, labels);
    for (const std::string* label : labels)
        result.insert(*label);
    return result;
}
