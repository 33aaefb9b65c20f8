#include "FeatureAssigner.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "Constants.h"
#include "GtfLine.h"
#include "support/Logger.h"

namespace {

using IntervalVector = GeneTree::interval_vector;
using IntervalLists =
    std::map<std::string, std::map<std::string, std::pair<IntervalVector, IntervalVector>>>;

constexpr size_t GTF_BLOCK_SIZE = 4 << 20;

// A gene or exon line, cut up in place in its block, with its gene name and id.
struct GeneLine {
    GTFLine line;
    std::string_view name, id;
};

// One block of the GTF: its text (every line zero-terminated in place of its newline), how many
// lines it holds, and the gene and exon lines among them, in file order.
struct GtfBlock {
    std::vector<char> text;
    std::vector<GeneLine> geneLines;
    unsigned long lineCount = 0;
};

// Reads and cuts up the GTF on a thread of its own while the caller builds the model from the
// blocks already read: the two halves of the load take about the same time. Blocks are handed
// over in file order through a queue of at most two and come back to be reused.
class GtfBlockReader {
public:
    GtfBlockReader(FILE* file, const std::string& path)
        : _file(file), _path(path), _thread(&GtfBlockReader::_read, this) {}

    ~GtfBlockReader() {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _stopping = true;
        }
        _changed.notify_all();
        _thread.join();
    }

    // The next block in file order, or null at the end of the file; throws on a read error.
    std::unique_ptr<GtfBlock> next() {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait(lock, [this] { return !_ready.empty() || _finished; });
        if (_ready.empty()) {
            if (_readError)
                throw std::system_error(_readError, std::generic_category(),
                                        "Failed to read the GTF file \"" + _path + "\"");
            return nullptr;
        }
        std::unique_ptr<GtfBlock> block = std::move(_ready.front());
        _ready.pop_front();
        _changed.notify_all();
        return block;
    }

    void giveBack(std::unique_ptr<GtfBlock> block) {
        std::lock_guard<std::mutex> lock(_mutex);
        _spare.push_back(std::move(block));
    }

private:
    static void _cut(GtfBlock& block, char* begin, char* end) {
        while (begin < end) {
            char* newline = static_cast<char*>(std::memchr(begin, '\n', end - begin));
            char* stop = newline ? newline : end;
            *stop = '\0';
            ++block.lineCount;
            GeneLine gene;
            if (__parse_gtf_line(gene.line, begin) &&
                (std::strcmp(gene.line.feature, "gene") == 0 ||
                 std::strcmp(gene.line.feature, "exon") == 0)) {
                gene.name = __get_attribute_view(gene.line, "gene_name");
                gene.id = __get_attribute_view(gene.line, "gene_id");
                block.geneLines.push_back(gene);
            }
            begin = stop + 1;
        }
    }

    std::unique_ptr<GtfBlock> _takeSpare() {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_spare.empty())
            return std::make_unique<GtfBlock>();
        std::unique_ptr<GtfBlock> block = std::move(_spare.back());
        _spare.pop_back();
        return block;
    }

    // Passes a block on; false when the reader is to stop.
    bool _hand(std::unique_ptr<GtfBlock> block) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait(lock, [this] { return _ready.size() < 2 || _stopping; });
        if (_stopping)
            return false;
        _ready.push_back(std::move(block));
        _changed.notify_all();
        return true;
    }

    void _read() {
        std::vector<char> carried; // the start of a line that the previous block cut off
        int error = 0;
        for (;;) {
            std::unique_ptr<GtfBlock> block = _takeSpare();
            block->geneLines.clear();
            block->lineCount = 0;
            std::vector<char>& text = block->text;
            // Room for a whole block after the carried part, and for a terminating zero.
            text.resize(std::max(text.size(), carried.size() + GTF_BLOCK_SIZE + 1));
            if (!carried.empty())
                std::memcpy(text.data(), carried.data(), carried.size());
            size_t got = std::fread(text.data() + carried.size(), 1, GTF_BLOCK_SIZE, _file);
            if (got == 0 && std::ferror(_file))
                error = errno ? errno : EIO;
            size_t filled = carried.size() + got;
            char* begin = text.data();
            char* end = begin + filled;
            // Lines up to the last newline now, the rest with the next block; at the end of the
            // file the last line, newline or not.
            bool last = got == 0;
            char* cut = end;
            while (!last && cut > begin && cut[-1] != '\n')
                --cut;
            carried.assign(cut, end);
            *end = '\0';
            _cut(*block, begin, cut);
            if ((block->lineCount > 0 || last) && !_hand(std::move(block)))
                return;
            if (last)
                break;
        }
        std::lock_guard<std::mutex> lock(_mutex);
        _readError = error;
        _finished = true;
        _changed.notify_all();
    }

    FILE* _file;
    std::string _path;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::deque<std::unique_ptr<GtfBlock>> _ready;
    std::vector<std::unique_ptr<GtfBlock>> _spare;
    bool _stopping = false, _finished = false;
    int _readError = 0;
    std::thread _thread; // last: starts once the members above exist
};

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
    // A version without receptor chains has no VDJ trees to consult: annotate as without VDJ.
    _buildFeatureAnnotationSchedule(!vdjPrefixes.empty());
}

void FeatureAssigner::_parseGTFAndPopulateFeaturesTrees(const std::string& gtfPath, Logger& logger,
                                                        const std::vector<std::string>& vdjPrefixes,
                                                        const std::vector<std::string>& treeNames) {
    IntervalLists intervalLists;
    for (const std::string& name : treeNames) {
        _featuresTrees[name] = StrandTrees();
        intervalLists[name];
    }
    FeatureModifier modify = vdjPrefixes.empty() ? __noop_modify_feature : __vdj_modify_feature;

    FILE* file = std::fopen(gtfPath.c_str(), "r");
    if (!file)
        throw std::system_error(errno, std::generic_category(),
                                "Cannot open the GTF file \"" + gtfPath + "\"");

    std::unordered_map<std::string, std::string> idToName, nameToId;
    GeneInfo geneInfo;
    std::string lastId, lastName;
    bool haveLast = false;
    // Consecutive lines mostly share a feature type and a chromosome: remember where they went.
    std::string lastType, lastSeqname;
    std::pair<IntervalVector, IntervalVector>* lastLists = nullptr;
    unsigned long lines = 0, features = 0;
    std::string featureType, label;

    auto onGeneLine = [&](GeneLine& gene) {
        GTFLine& line = gene.line;
        std::string_view nameView = gene.name, idView = gene.id;
        if (nameView.empty() && idView.empty()) {
            logger.warning("GTF line missing both gene_name and gene_id");
            return;
        }
        // The lines of one gene follow each other; only a change of id or name can warn or add,
        // so the names are only copied out of the line when they change.
        bool sameGene = haveLast && !nameView.empty() && !idView.empty() && idView == lastId &&
                        nameView == lastName;
        if (sameGene) {
            label = lastName;
        } else {
            std::string geneName(nameView), geneId(idView);
            if (geneName.empty()) {
                geneName = "NO_NAME_" + geneId;
                label = geneId;
            } else if (geneId.empty()) {
                geneId = "NO_ID_" + geneName;
                label = geneName;
            } else {
                label = geneName;
            }
            if (!haveLast || geneId != lastId || geneName != lastName) {
                auto byId = idToName.find(geneId);
                if (byId != idToName.end() && byId->second != geneName)
                    logger.warning("gene_id '%s' maps to multiple gene_names: '%s' and '%s'",
                                   geneId.c_str(), byId->second.c_str(), geneName.c_str());
                auto byName = nameToId.find(geneName);
                if (byName != nameToId.end() && byName->second != geneId)
                    logger.warning("gene_name '%s' maps to multiple gene_ids: '%s' and '%s'. "
                                   "Counts for these gene_ids will be combined under gene_name.",
                                   geneName.c_str(), byName->second.c_str(), geneId.c_str());
                idToName[geneId] = geneName;
                nameToId[geneName] = geneId;
                if (!geneInfo.count(label))
                    geneInfo.emplace(label, std::make_pair(geneName, geneId));
                lastId = std::move(geneId);
                lastName = std::move(geneName);
                haveLast = true;
            }
        }

        if (line.strand == '.') {
            logger.info("GTF line neither forward nor reverse");
            return;
        }
        featureType.assign(line.feature);
        modify(featureType, label, line, vdjPrefixes, _cGenes, logger);

        if (!lastLists || featureType != lastType || lastSeqname != line.seqname) {
            lastType = featureType;
            lastSeqname = line.seqname;
            _chromosomes.insert(lastSeqname);
            lastLists = &intervalLists[featureType][lastSeqname];
        }
        IntervalVector& target = line.strand == '+' ? lastLists->first : lastLists->second;
        target.emplace_back(line.start - 1, line.end - 1, std::move(label));
        ++features;
    };
    try {
        GtfBlockReader reader(file, gtfPath);
        while (std::unique_ptr<GtfBlock> block = reader.next()) {
            lines += block->lineCount;
            for (GeneLine& gene : block->geneLines)
                onGeneLine(gene);
            reader.giveBack(std::move(block));
        }
    } catch (...) {
        std::fclose(file);
        throw;
    }
    std::fclose(file);

    for (auto& byType : intervalLists) {
        StrandTrees& trees = _featuresTrees[byType.first];
        for (auto& byChromosome : byType.second) {
            trees.first.emplace(byChromosome.first, GeneTree(std::move(byChromosome.second.first)));
            trees.second.emplace(byChromosome.first,
                                 GeneTree(std::move(byChromosome.second.second)));
        }
    }
    if (features == 0)
        logger.warning("The GTF file \"%s\" holds no usable gene or exon line: every aligned read "
                       "will be without a feature",
                       gtfPath.c_str());
    logger.info("Read %'lu GTF lines: %'lu gene and exon features of %'lu genes on %lu "
                "chromosomes",
                lines, features, static_cast<unsigned long>(geneInfo.size()),
                static_cast<unsigned long>(_chromosomes.size()));
    _emitGeneNameIDJson(geneInfo, gtfPath, logger);
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

    auto sourceOf = [this](const ChromosomeTrees& trees, const std::string& chromosome) {
        auto tree = trees.find(chromosome);
        if (tree == trees.end())
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

void __update_start_stop(unsigned long& start, unsigned long& stop, char op, unsigned int length) {
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

namespace {

// Calls block(start, stop) with the closed reference range of every non-empty "M" operation of
// the record's CIGAR walk.
template <class Block> void __for_each_match_block(const bam1_t* record, Block block) {
    const uint32_t* cigar = bam_get_cigar(record);
    unsigned long start = static_cast<unsigned long>(record->core.pos);
    unsigned long stop = start;
    for (uint32_t k = 0; k < record->core.n_cigar; ++k) {
        char op = BAM_CIGAR_STR[bam_cigar_op(cigar[k])];
        unsigned int length = bam_cigar_oplen(cigar[k]);
        __update_start_stop(start, stop, op, length);
        if (op == 'M' && length > 0)
            block(start, stop - 1);
    }
}

} // namespace

void FeatureAssigner::_collectLabels(const bam1_t* record, const GeneTree& tree,
                                     std::vector<const std::string*>& labels) {
    __for_each_match_block(record, [&](unsigned long start, unsigned long stop) {
        tree.visit_overlapping(
            start, stop, [&labels](const GeneTree::interval& i) { labels.push_back(&i.value); });
    });
}

std::set<std::string> FeatureAssigner::_getReadFeatures(bam1_t* record,
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

void FeatureAssigner::_collectLabelIds(const bam1_t* record, const StepSource& source,
                                       std::vector<uint32_t>& ids) const {
    auto add = [&ids](uint32_t id) { ids.push_back(id); };
    __for_each_match_block(record, [&](unsigned long start, unsigned long stop) {
        if (source.index)
            source.index->visit(start, stop, add);
        else
            source.tree->visit_overlapping(start, stop, [&](const GeneTree::interval& i) {
                ids.push_back(_labelIds.at(i.value));
            });
    });
}

namespace {

void __set_feature(bam1_t* record, const char* text, size_t length) {
    bam_aux_update_str(record, TAG_FEATURE, static_cast<int>(length + 1), text);
}

void __set_feature(bam1_t* record, const std::string& text) {
    __set_feature(record, text.c_str(), text.size());
}

} // namespace

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

void FeatureAssigner::_assign(FeatureCounts& counts, bam1_t* record, long slot) const {
    if (record->core.flag & BAM_FUNMAP) {
        __set_feature(record, STRING_NOT_ALIGNED, std::strlen(STRING_NOT_ALIGNED));
        ++counts.notAligned;
        return;
    }
    if (slot == PADDING) {
        __set_feature(record, STRING_NOT_ALIGNED, std::strlen(STRING_NOT_ALIGNED));
        ++counts.notAligned;
        return;
    }
    if (slot < 0) {
        __set_feature(record, STRING_NO_FEATURE, std::strlen(STRING_NO_FEATURE));
        ++counts.noFeature;
        return;
    }

    // Scratch reused by each worker thread across records: no allocation per record.
    thread_local std::vector<uint32_t> ids;
    thread_local std::string feature;
    ids.clear();
    size_t steps = _featureAnnotationSchedule.size();
    const StepSource* sources = _stepSources.data() + static_cast<size_t>(slot) * steps * 2;
    int strand = (record->core.flag & BAM_FREVERSE) ? 1 : 0;
    size_t step = 0;
    if (record->core.n_cigar != 0) {
        for (; step < steps; ++step) {
            const StepSource& source = sources[step * 2 + strand];
            if (!source.tree)
                continue;
            _collectLabelIds(record, source, ids);
            if (!ids.empty())
                break;
        }
    }
    if (ids.empty()) {
        __set_feature(record, STRING_INTERGENIC, std::strlen(STRING_INTERGENIC));
        ++counts.intergenic;
        return;
    }

    const std::string& prefix = _featureAnnotationSchedule[step].prefix;
    StepKind kind = _stepKinds[step];
    uint32_t first = ids.front();
    bool single =
        std::all_of(ids.begin() + 1, ids.end(), [first](uint32_t id) { return id == first; });
    if (single) {
        if (kind == EXONS) {
            __set_feature(record, _labelChars(first), _labelLength(first));
        } else {
            feature.assign(prefix).append(_labelChars(first), _labelLength(first));
            __set_feature(record, feature);
        }
    } else {
        // Ids follow the byte order of their labels.
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        feature.assign(STRING_AMBIGUOUS);
        if (kind != EXONS)
            feature.append(prefix, 2, std::string::npos);
        feature += '[';
        for (size_t i = 0; i < ids.size(); ++i) {
            if (i)
                feature += '+';
            feature.append(_labelChars(ids[i]), _labelLength(ids[i]));
        }
        feature += ']';
        __set_feature(record, feature);
    }
    switch (kind) {
    case EXONS:
        if (!single)
            ++counts.ambiguous;
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
