// The gene model read from the GTF and the schedule of lookups that gives each alignment its gene
// feature in the XF tag.
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <htslib/sam.h>

#include "BinnedIntervalIndex.h"
#include "IntervalTree"
#include "support/LookupArena.h"

class Logger;
struct GeneLine;

// Per-worker tally of assignFeature outcomes.
struct FeatureCounts {
    unsigned long noFeature = 0;
    unsigned long ambiguous = 0;
    unsigned long notAligned = 0;
    unsigned long spare = 0;
    unsigned long introns = 0;
    unsigned long antisenseExons = 0;
    unsigned long antisenseIntrons = 0;
    unsigned long intergenic = 0;
};

using GeneTree = IntervalTree<unsigned long, std::string>;
using ChromosomeTrees = std::map<std::string, GeneTree>;
// Trees of "+" lines first, of every other strand second.
using StrandTrees = std::pair<ChromosomeTrees, ChromosomeTrees>;

struct FeatureAnnotationStep {
    bool antisense;
    std::string prefix;
    StrandTrees* trees;
};

class FeatureAssigner {
public:
    // Reads the GTF and builds the schedule. Throws std::system_error when the GTF cannot be read,
    // std::runtime_error when it is GFF3, has a bad coordinate or yields no gene or exon line.
    FeatureAssigner(const std::string& gtfPath, const std::string& vdjVersion, Logger& logger);
    // Writes "gtf.gene_info.json" to the working directory; throws std::system_error on failure.
    void writeGeneInfoJson(Logger& logger) const;
    FeatureAssigner(const FeatureAssigner&) = delete;
    FeatureAssigner& operator=(const FeatureAssigner&) = delete;

    // Writes the record's feature into its XF tag and counts the outcome. Safe to call from many
    // threads at once, each with its own counts and records.
    void assignFeature(FeatureCounts& counts, bam1_t* record, const sam_hdr_t* header) const;

    // The model's chromosome of each reference id of one BAM header: an index into the model, or
    // NOT_IN_MODEL / PADDING. A worker builds it once for its input's header.
    static constexpr long NOT_IN_MODEL = -1;
    static constexpr long PADDING = -2;
    struct HeaderIndex {
        std::vector<long> slots;
    };
    HeaderIndex indexHeader(const sam_hdr_t* header) const;

    // assignFeature on each of records[0, count), with the model's memory fetched a few records
    // ahead of its use: the records of a chunk land all over the genome.
    void assignFeatures(FeatureCounts& counts, bam1_t* const* records, size_t count,
                        const HeaderIndex& headerIndex) const;

    // The reference path and the parts of the model, for the tests and the benchmarks: the labels
    // that the record's aligned blocks overlap in trees, on the strand the step asks for.
    std::set<std::string> getReadFeatures(bam1_t* record, const std::string& chromosome,
                                          const StrandTrees& trees, bool antisense) const;

    const std::map<std::string, StrandTrees>& featuresTrees() const { return _featuresTrees; }
    const std::vector<FeatureAnnotationStep>& schedule() const {
        return _featureAnnotationSchedule;
    }
    const std::unordered_set<std::string>& cGenes() const { return _cGenes; }
    const std::set<std::string>& chromosomes() const { return _chromosomes; }

private:
    enum StepKind { EXONS, INTRONS, ANTISENSE_EXONS, ANTISENSE_INTRONS };
    using GeneInfo = std::map<std::string, std::pair<std::string, std::string>>;

    void _setCGenesAndVDJPrefix(const std::string& vdjVersion,
                                std::vector<std::string>& vdjPrefixes,
                                std::vector<std::string>& treeNames);
    void _parseGTFAndPopulateFeaturesTrees(const std::string& gtfPath, Logger& logger,
                                           const std::vector<std::string>& vdjPrefixes,
                                           const std::vector<std::string>& treeNames);
    // Reads the GTF's blocks in file order and hands each gene or exon line to onGeneLine;
    // returns the number of lines read.
    static unsigned long _readGeneLines(const std::string& gtfPath,
                                        const std::function<void(GeneLine&)>& onGeneLine);
    void _buildFeatureAnnotationSchedule(bool vdj);
    // Where one step looks for one read strand: the flat index, else (coordinates beyond 32 bits)
    // the tree itself; both null when the chromosome has no tree for the step.
    struct StepSource {
        const BinnedIntervalIndex* index;
        const GeneTree* tree;
    };
    void _indexStepTrees();
    // The model's slot of a reference name: a chromosome index, NOT_IN_MODEL or PADDING.
    long _slotOfReference(const char* name) const;
    // assignFeature once the record's chromosome slot is known, in the steps below.
    void _assign(FeatureCounts& counts, bam1_t* record, long slot) const;
    // An unaligned record, one on STAR's padding or on a reference the model lacks: its feature
    // written and counted; false for a record on a chromosome of the model.
    bool _assignOutsideModel(FeatureCounts& counts, bam1_t* record, long slot) const;
    // The first schedule step whose trees the record's aligned blocks overlap, its label ids in
    // ids; the number of steps when none does.
    size_t _firstStepWithLabels(const bam1_t* record, long slot, std::vector<uint32_t>& ids) const;
    // Writes the step's feature of the labels ids: the label (with the step's prefix), or the
    // ambiguous set. Returns whether one label was found.
    bool _writeStepFeature(bam1_t* record, size_t step, std::vector<uint32_t>& ids) const;
    // Counts the outcome of a step that found labels.
    static void _countStep(FeatureCounts& counts, StepKind kind, bool single);
    // The flat index that a schedule step consults for a record, or null.
    const BinnedIntervalIndex* _stepIndex(const bam1_t* record, long slot, size_t step) const;
    // Collects into labels the values of the tree intervals overlapping the record's M blocks.
    static void _collectLabels(const bam1_t* record, const GeneTree& tree,
                               std::vector<const std::string*>& labels);
    // The same, as label ids, from a step source.
    void _collectLabelIds(const bam1_t* record, const StepSource& source,
                          std::vector<uint32_t>& ids) const;

    GeneInfo _geneInfo; // label -> (gene_name, gene_id), for gtf.gene_info.json
    std::map<std::string, StrandTrees> _featuresTrees;
    std::vector<FeatureAnnotationStep> _featureAnnotationSchedule;
    std::unordered_set<std::string> _cGenes;
    std::set<std::string> _chromosomes;

    // Hot-path index: per chromosome, per schedule step, where a forward read and where a reverse
    // read look, so a record costs one hash lookup. Labels are ids in byte order of the label.
    std::vector<StepKind> _stepKinds;
    LookupArena _arena; // the flat indexes and the label text
    // Label id = offset of the label's record in _labelText: a 32-bit length, the text and a
    // terminating zero. Labels are packed in byte order, so ids sort as their labels do.
    const char* _labelText = nullptr;
    const char* _labelChars(uint32_t id) const { return _labelText + id + sizeof(uint32_t); }
    uint32_t _labelLength(uint32_t id) const {
        uint32_t length;
        std::memcpy(&length, _labelText + id, sizeof length);
        return length;
    }
    std::unordered_map<std::string, uint32_t> _labelIds;
    std::map<const GeneTree*, BinnedIntervalIndex> _indexes;
    std::unordered_map<std::string_view, size_t> _chromosomeIndex;
    std::vector<StepSource> _stepSources;
};

namespace detail {
// One step of the CIGAR walk: moves [start, stop) along the reference for op.
inline void update_start_stop(unsigned long& start, unsigned long& stop, char op,
                              unsigned int length) {
    switch (op) {
    case 'M':
    case '=':
    case 'X':
    case 'D':
    case 'N':
        start = stop;
        stop += length;
        break;
    case 'I':
    case 'S':
        start = stop;
        break;
    default:
        break;
    }
}
} // namespace detail

// Calls block(start, stop) with the closed reference range of every non-empty "M" operation of
// the record's CIGAR walk.
template <class Block> void forEachMatchBlock(const bam1_t* record, Block block) {
    const uint32_t* cigar = bam_get_cigar(record);
    unsigned long start = static_cast<unsigned long>(record->core.pos);
    unsigned long stop = start;
    for (uint32_t k = 0; k < record->core.n_cigar; ++k) {
        char op = BAM_CIGAR_STR[bam_cigar_op(cigar[k])];
        unsigned int length = bam_cigar_oplen(cigar[k]);
        detail::update_start_stop(start, stop, op, length);
        if (op == 'M' && length > 0)
            block(start, stop - 1);
    }
}
