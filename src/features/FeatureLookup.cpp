// The hot path of feature assignment: a flat index of every tree that the schedule consults, and
// the lookups of each record through it.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "Constants.h"
#include "FeatureAssigner.h"
#include "support/BamTag.h"

void FeatureAssigner::_indexStepTrees() {
    _labelIds.clear();
    _indexes.clear();
    _chromosomeIndex.clear();
    _stepSources.clear();

    // The distinct labels in byte order; views into the trees, which no longer change.
    std::unordered_set<std::string_view> distinct;
    std::vector<const GeneTree*> trees;
    for (const auto& byType : _featuresTrees)
        for (const ChromosomeTrees* strand : {&byType.second.first, &byType.second.second})
            for (const auto& byChromosome : *strand) {
                trees.push_back(&byChromosome.second);
                std::string_view previous;
                byChromosome.second.visit_overlapping(0, ~0UL, [&](const GeneTree::interval& i) {
                    // Exons of one gene lie together in the tree: skip the hash for repeats.
                    if (i.value != previous)
                        distinct.insert(previous = i.value);
                });
            }
    std::vector<std::string_view> labels(distinct.begin(), distinct.end());
    std::sort(labels.begin(), labels.end());
    size_t labelBytes = 0;
    for (std::string_view label : labels) {
        _labelIds.emplace(label, static_cast<uint32_t>(labelBytes));
        labelBytes += sizeof(uint32_t) + label.size() + 1;
    }
    for (const GeneTree* tree : trees)
        if (!_indexes[tree].build(*tree, _labelIds))
            _indexes.erase(tree);

    // Everything a record lookup touches goes into one huge-page arena.
    size_t bytes = labelBytes + 64;
    for (const auto& index : _indexes)
        bytes += index.second.relocatedBytes();
    _arena = LookupArena(bytes);
    for (auto& index : _indexes)
        index.second.relocate(_arena);
    char* text = static_cast<char*>(_arena.take(labelBytes + 1, 1));
    // Same order and sizes as the ids above: each label lands at its own id.
    char* at = text;
    for (std::string_view label : labels) {
        uint32_t length = static_cast<uint32_t>(label.size());
        std::memcpy(at, &length, sizeof length);
        std::memcpy(at + sizeof length, label.data(), label.size());
        at[sizeof length + label.size()] = '\0';
        at += sizeof length + label.size() + 1;
    }
    _labelText = text;

    auto sourceOf = [this](const ChromosomeTrees& strandTrees, const std::string& chromosome) {
        auto tree = strandTrees.find(chromosome);
        if (tree == strandTrees.end())
            return StepSource{nullptr, nullptr};
        auto index = _indexes.find(&tree->second);
        return StepSource{index == _indexes.end() ? nullptr : &index->second, &tree->second};
    };
    for (const std::string& chromosome : _chromosomes) {
        _chromosomeIndex.emplace(std::string_view(chromosome), _chromosomeIndex.size());
        for (const FeatureAnnotationStep& step : _featureAnnotationSchedule) {
            // A forward read uses the "+" trees in a sense step, the others in an antisense step.
            _stepSources.push_back(
                sourceOf(step.antisense ? step.trees->second : step.trees->first, chromosome));
            _stepSources.push_back(
                sourceOf(step.antisense ? step.trees->first : step.trees->second, chromosome));
        }
    }
}

void FeatureAssigner::_collectLabelIds(const bam1_t* record, const StepSource& source,
                                       std::vector<uint32_t>& ids) const {
    auto add = [&ids](uint32_t id) { ids.push_back(id); };
    forEachMatchBlock(record, [&](unsigned long start, unsigned long stop) {
        if (source.index)
            source.index->visit(start, stop, add);
        else
            source.tree->visit_overlapping(start, stop, [&](const GeneTree::interval& i) {
                ids.push_back(_labelIds.at(i.value));
            });
    });
}

long FeatureAssigner::_slotOfReference(const char* name) const {
    if (!name)
        return NOT_IN_MODEL;
    auto chromosome = _chromosomeIndex.find(std::string_view(name));
    if (chromosome != _chromosomeIndex.end())
        return static_cast<long>(chromosome->second);
    return std::strcmp(name, STRING_STAR_PADDING_REFERENCE) == 0 ? PADDING : NOT_IN_MODEL;
}

FeatureAssigner::HeaderIndex FeatureAssigner::indexHeader(const sam_hdr_t* header) const {
    HeaderIndex index;
    int targets = sam_hdr_nref(header);
    for (int tid = 0; tid < targets; ++tid)
        index.slots.push_back(
            _slotOfReference(sam_hdr_tid2name(const_cast<sam_hdr_t*>(header), tid)));
    return index;
}

void FeatureAssigner::assignFeature(FeatureCounts& counts, bam1_t* record,
                                    const sam_hdr_t* header) const {
    long slot = NOT_IN_MODEL;
    if (!(record->core.flag & BAM_FUNMAP))
        slot = _slotOfReference(sam_hdr_tid2name(const_cast<sam_hdr_t*>(header), record->core.tid));
    _assign(counts, record, slot);
}

const BinnedIntervalIndex* FeatureAssigner::_stepIndex(const bam1_t* record, long slot,
                                                       size_t step) const {
    size_t steps = _featureAnnotationSchedule.size();
    if (slot < 0 || step >= steps || (record->core.flag & BAM_FUNMAP))
        return nullptr;
    int strand = (record->core.flag & BAM_FREVERSE) ? 1 : 0;
    return _stepSources[(static_cast<size_t>(slot) * steps + step) * 2 + strand].index;
}

void FeatureAssigner::assignFeatures(FeatureCounts& counts, bam1_t* const* records, size_t count,
                                     const HeaderIndex& headerIndex) const {
    auto slotOf = [&headerIndex](const bam1_t* record) {
        int32_t tid = record->core.tid;
        if (record->core.flag & BAM_FUNMAP)
            return NOT_IN_MODEL;
        return tid >= 0 && static_cast<size_t>(tid) < headerIndex.slots.size()
                   ? headerIndex.slots[tid]
                   : NOT_IN_MODEL;
    };
    // Three passes over the chunk: warm the bin offsets of every record, then the bins' entries,
    // then assign. A chunk's lookups (a few hundred records, two cache lines each per step) fit in
    // the cache, and the misses of one pass overlap each other instead of stalling one by one.
    // Small trees (the receptor genes', say) stay cached anyway and are not warmed.
    const size_t SMALL_INDEX_ENTRIES = 4096;
    const size_t steps = _featureAnnotationSchedule.size();
    auto warm = [&](const bam1_t* record, bool entries) {
        long slot = slotOf(record);
        unsigned long pos = static_cast<unsigned long>(record->core.pos);
        for (size_t step = 0; step < steps; ++step)
            if (const BinnedIntervalIndex* index = _stepIndex(record, slot, step)) {
                if (index->entryCount() < SMALL_INDEX_ENTRIES)
                    continue;
                if (entries)
                    index->prefetchEntries(pos);
                else
                    index->prefetchBin(pos);
            }
    };
    for (size_t i = 0; i < count; ++i)
        warm(records[i], false);
    for (size_t i = 0; i < count; ++i)
        warm(records[i], true);
    for (size_t i = 0; i < count; ++i)
        _assign(counts, records[i], slotOf(records[i]));
}

namespace {

void set_feature(bam1_t* record, const char* feature) {
    setStringTag(record, TAG_FEATURE, feature, std::strlen(feature));
}

} // namespace

void FeatureAssigner::_countStep(FeatureCounts& counts, StepKind kind, bool single) {
    switch (kind) {
    case EXONS:
        counts.ambiguous += !single;
        break;
    case INTRONS:
        ++counts.introns;
        break;
    case ANTISENSE_EXONS:
        ++counts.antisenseExons;
        break;
    case ANTISENSE_INTRONS:
        ++counts.antisenseIntrons;
        break;
    }
}

bool FeatureAssigner::_assignOutsideModel(FeatureCounts& counts, bam1_t* record, long slot) const {
    if ((record->core.flag & BAM_FUNMAP) || slot == PADDING) {
        set_feature(record, STRING_NOT_ALIGNED);
        ++counts.notAligned;
        return true;
    }
    if (slot < 0) {
        set_feature(record, STRING_NO_FEATURE);
        ++counts.noFeature;
        return true;
    }
    return false;
}

size_t FeatureAssigner::_firstStepWithLabels(const bam1_t* record, long slot,
                                             std::vector<uint32_t>& ids) const {
    ids.clear();
    size_t steps = _featureAnnotationSchedule.size();
    if (record->core.n_cigar == 0)
        return steps;
    const StepSource* sources = _stepSources.data() + static_cast<size_t>(slot) * steps * 2;
    int strand = (record->core.flag & BAM_FREVERSE) ? 1 : 0;
    for (size_t step = 0; step < steps; ++step) {
        const StepSource& source = sources[step * 2 + strand];
        if (!source.tree)
            continue;
        _collectLabelIds(record, source, ids);
        if (!ids.empty())
            return step;
    }
    return steps;
}

bool FeatureAssigner::_writeStepFeature(bam1_t* record, size_t step,
                                        std::vector<uint32_t>& ids) const {
    // Reused by each worker thread across records: no allocation per record.
    thread_local std::string feature;
    const std::string& prefix = _featureAnnotationSchedule[step].prefix;
    bool exons = _stepKinds[step] == EXONS;
    uint32_t first = ids.front();
    if (std::all_of(ids.begin() + 1, ids.end(), [first](uint32_t id) { return id == first; })) {
        if (exons) {
            setStringTag(record, TAG_FEATURE, _labelChars(first), _labelLength(first));
        } else {
            feature.assign(prefix).append(_labelChars(first), _labelLength(first));
            setStringTag(record, TAG_FEATURE, feature);
        }
        return true;
    }
    // Ids follow the byte order of their labels.
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    feature.assign(STRING_AMBIGUOUS);
    if (!exons)
        feature.append(prefix, 2, std::string::npos);
    feature += '[';
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i)
            feature += '+';
        feature.append(_labelChars(ids[i]), _labelLength(ids[i]));
    }
    feature += ']';
    setStringTag(record, TAG_FEATURE, feature);
    return false;
}

void FeatureAssigner::_assign(FeatureCounts& counts, bam1_t* record, long slot) const {
    if (_assignOutsideModel(counts, record, slot))
        return;
    thread_local std::vector<uint32_t> ids; // reused across records
    size_t step = _firstStepWithLabels(record, slot, ids);
    if (step == _featureAnnotationSchedule.size()) {
        set_feature(record, STRING_INTERGENIC);
        ++counts.intergenic;
        return;
    }
    bool single = _writeStepFeature(record, step, ids);
    _countStep(counts, _stepKinds[step], single);
}
