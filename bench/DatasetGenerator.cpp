#include "DatasetGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace {

// GRCh38 primary chromosome lengths.
const std::pair<const char*, unsigned long> HUMAN_CHROMOSOMES[] = {
    {"chr1", 248956422},  {"chr2", 242193529},  {"chr3", 198295559},  {"chr4", 190214555},
    {"chr5", 181538259},  {"chr6", 170805979},  {"chr7", 159345973},  {"chr8", 145138636},
    {"chr9", 138394717},  {"chr10", 133797422}, {"chr11", 135086622}, {"chr12", 133275309},
    {"chr13", 114364328}, {"chr14", 107043718}, {"chr15", 101991189}, {"chr16", 90338345},
    {"chr17", 83257441},  {"chr18", 80373285},  {"chr19", 58617616},  {"chr20", 64444167},
    {"chr21", 46709983},  {"chr22", 50818468},  {"chrX", 156040895},  {"chrY", 57227415},
    {"chrM", 16569}};

const char* const GENE_TYPES[] = {"protein_coding", "protein_coding", "protein_coding",
                                  "lncRNA",         "lncRNA",         "processed_pseudogene",
                                  "misc_RNA",       "snRNA"};
const char* const RECEPTOR_TYPES[] = {"IG_V_gene", "TR_V_gene", "IG_C_gene", "TR_C_gene"};
const char* const RECEPTOR_NAMES[] = {"IGHV", "TRBV", "IGHG", "TRBC"};

std::string gene_name(SplitMix64& random, unsigned long index) {
    static const char* const STEMS[] = {"ZNF", "SLC", "KRT", "OR",   "LINC",
                                        "RPL", "CD",  "FAM", "TMEM", "ANKRD"};
    return std::string(STEMS[random.below(10)]) + std::to_string(index + 1) +
           (random.chance(0.3) ? "-AS" + std::to_string(index % 7 + 1) : "");
}

} // namespace

GeneratedAnnotation generateAnnotation(unsigned long geneCount, uint64_t seed, double genomeScale) {
    SplitMix64 random(seed);
    GeneratedAnnotation annotation;
    unsigned long genomeLength = 0;
    for (const auto& chromosome : HUMAN_CHROMOSOMES) {
        unsigned long length =
            std::max(100000UL, static_cast<unsigned long>(static_cast<double>(chromosome.second) *
                                                          genomeScale));
        annotation.chromosomes.emplace_back(chromosome.first, length);
        genomeLength += length;
    }
    unsigned long index = 0;
    for (const auto& chromosome : annotation.chromosomes) {
        unsigned long genes = std::max(1UL, geneCount * chromosome.second / genomeLength);
        unsigned long spacing = chromosome.second / (genes + 1);
        for (unsigned long g = 0; g < genes; ++g, ++index) {
            GeneratedGene gene;
            gene.chromosome = chromosome.first;
            gene.id = "ENSG" + std::to_string(100000000000ULL + index) + ".1";
            bool receptor = random.chance(0.004);
            unsigned long kind = random.below(4);
            gene.name = receptor ? std::string(RECEPTOR_NAMES[kind]) + std::to_string(index % 50)
                                 : gene_name(random, index);
            // One in 40 names is reused by another gene id, as in real annotations.
            if (!receptor && random.chance(0.025))
                gene.name = "SHARED" + std::to_string(index % 300);
            gene.type = receptor ? RECEPTOR_TYPES[kind] : GENE_TYPES[random.below(8)];
            gene.strand = random.chance(0.5) ? '+' : '-';
            unsigned long length = 2000 + random.below(random.chance(0.1) ? 300000 : 40000);
            length = std::min(length, chromosome.second / 2);
            // Most genes sit in their own slot; one in five is pulled onto its neighbour.
            unsigned long slot = spacing * (g + 1);
            gene.start =
                std::min(chromosome.second - length - 1,
                         random.chance(0.2) ? slot - std::min(slot - 1, length / 2) : slot);
            gene.start = std::max(1UL, gene.start);
            gene.end = std::min(chromosome.second, gene.start + length);
            unsigned long transcripts = 1 + random.below(6);
            for (unsigned long t = 0; t < transcripts; ++t) {
                unsigned long exons = 1 + random.below(14);
                std::vector<std::pair<unsigned long, unsigned long>> exonList;
                unsigned long span = gene.end - gene.start;
                unsigned long step = span / (exons + 1);
                for (unsigned long e = 0; e < exons; ++e) {
                    unsigned long start = gene.start + e * step + random.below(step / 4 + 1);
                    unsigned long end = std::min(gene.end, start + 80 + random.below(300));
                    if (!exonList.empty() && start <= exonList.back().second)
                        continue;
                    exonList.emplace_back(start, end);
                }
                gene.transcripts.push_back(std::move(exonList));
            }
            annotation.genes.push_back(std::move(gene));
        }
    }
    return annotation;
}

unsigned long writeGtf(const GeneratedAnnotation& annotation, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out)
        throw std::runtime_error("cannot write " + path);
    std::vector<char> buffer(1 << 22);
    setvbuf(out, buffer.data(), _IOFBF, buffer.size());
    unsigned long bytes = 0;
    bytes += std::fprintf(out, "##description: synthetic annotation for benchmarks\n"
                               "##provider: Ambrel\n##format: gtf\n");
    unsigned long transcriptIndex = 0, exonIndex = 0;
    for (const GeneratedGene& gene : annotation.genes) {
        char geneAttributes[512];
        std::snprintf(geneAttributes, sizeof geneAttributes,
                      "gene_id \"%s\"; gene_type \"%s\"; gene_name \"%s\"; level 2; "
                      "hgnc_id \"HGNC:%lu\"; havana_gene \"OTTHUMG%011lu.1\";",
                      gene.id.c_str(), gene.type.c_str(), gene.name.c_str(),
                      transcriptIndex % 50000, transcriptIndex);
        bytes +=
            std::fprintf(out, "%s\tHAVANA\tgene\t%lu\t%lu\t.\t%c\t.\t%s\n", gene.chromosome.c_str(),
                         gene.start, gene.end, gene.strand, geneAttributes);
        bool coding = gene.type == std::string("protein_coding");
        for (size_t t = 0; t < gene.transcripts.size(); ++t, ++transcriptIndex) {
            const auto& exons = gene.transcripts[t];
            if (exons.empty())
                continue;
            char transcriptAttributes[1024];
            std::snprintf(transcriptAttributes, sizeof transcriptAttributes,
                          "gene_id \"%s\"; transcript_id \"ENST%011lu.1\"; gene_type \"%s\"; "
                          "gene_name \"%s\"; transcript_type \"%s\"; transcript_name \"%s-%03zu\"; "
                          "level 2; protein_id \"ENSP%011lu.1\"; transcript_support_level \"1\"; "
                          "hgnc_id \"HGNC:%lu\"; tag \"basic\"; tag \"Ensembl_canonical\"; "
                          "havana_gene \"OTTHUMG%011lu.1\"; havana_transcript \"OTTHUMT%011lu.1\"; "
                          "tag \"CCDS\"; ccdsid \"CCDS%05lu.1\"; tag \"MANE_Select\"; "
                          "tag \"appris_principal_1\"; ont \"PGO:0000019\";",
                          gene.id.c_str(), transcriptIndex, gene.type.c_str(), gene.name.c_str(),
                          gene.type.c_str(), gene.name.c_str(), 201 + t, transcriptIndex,
                          transcriptIndex % 50000, transcriptIndex, transcriptIndex,
                          transcriptIndex % 90000);
            bytes += std::fprintf(out, "%s\tHAVANA\ttranscript\t%lu\t%lu\t.\t%c\t.\t%s\n",
                                  gene.chromosome.c_str(), exons.front().first, exons.back().second,
                                  gene.strand, transcriptAttributes);
            for (size_t e = 0; e < exons.size(); ++e, ++exonIndex) {
                bytes += std::fprintf(
                    out,
                    "%s\tHAVANA\texon\t%lu\t%lu\t.\t%c\t.\t%s exon_number %zu; exon_id "
                    "\"ENSE%011lu.1\";\n",
                    gene.chromosome.c_str(), exons[e].first, exons[e].second, gene.strand,
                    transcriptAttributes, e + 1, exonIndex);
                if (coding && e > 0 && e + 1 < exons.size())
                    bytes += std::fprintf(
                        out,
                        "%s\tHAVANA\tCDS\t%lu\t%lu\t.\t%c\t0\t%s exon_number %zu; exon_id "
                        "\"ENSE%011lu.1\";\n",
                        gene.chromosome.c_str(), exons[e].first, exons[e].second, gene.strand,
                        transcriptAttributes, e + 1, exonIndex);
                else if (coding)
                    bytes += std::fprintf(
                        out,
                        "%s\tHAVANA\tUTR\t%lu\t%lu\t.\t%c\t.\t%s exon_number %zu; exon_id "
                        "\"ENSE%011lu.1\";\n",
                        gene.chromosome.c_str(), exons[e].first, exons[e].second, gene.strand,
                        transcriptAttributes, e + 1, exonIndex);
            }
            if (coding)
                for (const char* codon : {"start_codon", "stop_codon"})
                    bytes +=
                        std::fprintf(out, "%s\tHAVANA\t%s\t%lu\t%lu\t.\t%c\t0\t%s\n",
                                     gene.chromosome.c_str(), codon, exons.front().first,
                                     exons.front().first + 2, gene.strand, transcriptAttributes);
        }
    }
    if (std::fclose(out) != 0)
        throw std::runtime_error("cannot write " + path);
    return bytes;
}

std::string samHeaderText(const GeneratedAnnotation& annotation) {
    std::string text = "@HD\tVN:1.6\tSO:unsorted\n";
    for (const auto& chromosome : annotation.chromosomes)
        text += "@SQ\tSN:" + chromosome.first + "\tLN:" + std::to_string(chromosome.second) + "\n";
    text += "@SQ\tSN:chrUn_KI270302v1_unannotated\tLN:2274\n";
    return text;
}

namespace {

bam1_t* make_record(const sam_hdr_t* header, const std::string& name, uint16_t flag, int32_t tid,
                    hts_pos_t pos, const std::vector<uint32_t>& cigar, size_t length) {
    static const char BASES[] = "ACGT";
    std::string sequence(length, 'A'), quality(length, 30);
    for (size_t i = 0; i < length; ++i)
        sequence[i] = BASES[(i * 7 + name.size()) & 3];
    bam1_t* record = bam_init1();
    int result = bam_set1(record, name.size(), name.c_str(), flag, tid, pos, 255, cigar.size(),
                          cigar.data(), -1, -1, 0, length, sequence.c_str(), quality.c_str(), 0);
    if (result < 0)
        throw std::runtime_error("bam_set1 failed");
    int32_t nh = 1;
    bam_aux_append(record, "NH", 'i', sizeof nh, reinterpret_cast<uint8_t*>(&nh));
    (void)header;
    return record;
}

} // namespace

std::vector<bam1_t*> generateAlignedRecords(const GeneratedAnnotation& annotation,
                                            const sam_hdr_t* header, size_t count, uint64_t seed,
                                            bool uniformExpression) {
    SplitMix64 random(seed);
    // Expression follows Zipf's law, as in real transcriptomes: the gene of expression rank r is
    // drawn with probability proportional to 1/r. Ranks are shuffled along the genome.
    std::vector<size_t> byRank(annotation.genes.size());
    for (size_t i = 0; i < byRank.size(); ++i)
        byRank[i] = i;
    for (size_t i = byRank.size(); i > 1; --i)
        std::swap(byRank[i - 1], byRank[random.below(i)]);
    const double logGenes = std::log(static_cast<double>(byRank.size()));
    auto pickGene = [&]() -> const GeneratedGene& {
        if (uniformExpression)
            return annotation.genes[random.below(annotation.genes.size())];
        double u = static_cast<double>(random.next() >> 11) * (1.0 / 9007199254740992.0);
        size_t rank = static_cast<size_t>(std::exp(u * logGenes)) - 1;
        return annotation.genes[byRank[std::min(rank, byRank.size() - 1)]];
    };
    std::vector<bam1_t*> records;
    records.reserve(count);
    const size_t readLength = 75;
    int32_t unannotated = static_cast<int32_t>(annotation.chromosomes.size());
    for (size_t i = 0; i < count; ++i) {
        std::string name =
            "read" + std::to_string(i) + ";" + std::to_string(random.below(100000)) + ";ACGTACGT";
        const GeneratedGene& gene = pickGene();
        int32_t tid = 0;
        while (annotation.chromosomes[tid].first != gene.chromosome)
            ++tid;
        uint16_t sense = gene.strand == '+' ? 0 : BAM_FREVERSE;
        uint64_t roll = random.below(100);
        std::vector<uint32_t> cigar = {bam_cigar_gen(readLength, BAM_CMATCH)};
        hts_pos_t pos;
        uint16_t flag = sense;
        const auto& exons = gene.transcripts[random.below(gene.transcripts.size())];
        if (roll < 55 && !exons.empty()) { // sense exon, sometimes spliced to the next exon
            size_t e = random.below(exons.size());
            if (e + 1 < exons.size() && random.chance(0.3)) {
                unsigned long firstPart = 30;
                pos = static_cast<hts_pos_t>(exons[e].second - firstPart);
                unsigned long gap = exons[e + 1].first - exons[e].second - 1;
                cigar = {bam_cigar_gen(firstPart, BAM_CMATCH), bam_cigar_gen(gap, BAM_CREF_SKIP),
                         bam_cigar_gen(readLength - firstPart, BAM_CMATCH)};
            } else {
                pos = static_cast<hts_pos_t>(exons[e].first - 1 + random.below(60));
                if (random.chance(0.2))
                    cigar = {bam_cigar_gen(5, BAM_CSOFT_CLIP),
                             bam_cigar_gen(readLength - 5, BAM_CMATCH)};
            }
        } else if (roll < 75) { // intronic: anywhere in the gene span
            pos = static_cast<hts_pos_t>(gene.start + random.below(gene.end - gene.start));
        } else if (roll < 85 && !exons.empty()) { // antisense exon
            flag = sense ^ BAM_FREVERSE;
            pos = static_cast<hts_pos_t>(exons[random.below(exons.size())].first - 1);
        } else if (roll < 95) { // intergenic: just past the gene
            pos = static_cast<hts_pos_t>(gene.end + 5000 + random.below(20000));
        } else if (roll < 98) {
            tid = unannotated;
            pos = static_cast<hts_pos_t>(random.below(2000));
        } else {
            records.push_back(make_record(header, name, BAM_FUNMAP, -1, -1, {}, readLength));
            continue;
        }
        records.push_back(make_record(header, name, flag, tid, pos, cigar, readLength));
    }
    return records;
}

std::vector<std::string> extraReferenceNamesOf() {
    std::vector<std::string> names;
    for (const char* antibody : {"CD4", "CD8A", "CD3E", "CD19", "CD14", "PTPRC", "HLA-DR", "CD56"})
        names.push_back(std::string(antibody) + ":SK3|" + antibody + "|AHS0032|pAbO");
    for (int tag = 1; tag <= 12; ++tag)
        names.push_back("SampleTag" + std::string(tag < 10 ? "0" : "") + std::to_string(tag) +
                        "_hs|stAbO");
    return names;
}

std::string readsHeaderText(const GeneratedAnnotation& annotation) {
    std::string text = samHeaderText(annotation);
    for (const std::string& name : extraReferenceNamesOf())
        text += "@SQ\tSN:" + name + "\tLN:200\n";
    text += "@SQ\tSN:phiX174\tLN:5386\n";
    return text;
}

namespace {

struct ReadWriter {
    ReadWriter(htsFile* out, sam_hdr_t* header) : out(out), header(header) {}
    htsFile* out;
    sam_hdr_t* header;
    bam1_t* record = bam_init1();
    std::string sequence, quality;
    size_t records = 0;

    void write(const std::string& name, uint16_t flag, int32_t tid, hts_pos_t pos,
               const std::vector<uint32_t>& cigar, int nh, bool withSequence) {
        size_t length = withSequence ? sequence.size() : 0;
        if (bam_set1(record, name.size(), name.c_str(), flag, tid, pos, 255, cigar.size(),
                     cigar.data(), -1, -1, 0, length, withSequence ? sequence.c_str() : nullptr,
                     withSequence ? quality.c_str() : nullptr, 16) < 0)
            throw std::runtime_error("bam_set1 failed");
        int32_t value = nh;
        bam_aux_append(record, "NH", 'i', sizeof value, reinterpret_cast<uint8_t*>(&value));
        if (sam_write1(out, header, record) < 0)
            throw std::runtime_error("cannot write a generated record");
        ++records;
    }
};

} // namespace

size_t writeReadsBam(const GeneratedAnnotation& annotation, const std::string& path,
                     size_t readCount, uint64_t seed, int compressionLevel) {
    SplitMix64 random(seed);
    std::string mode = compressionLevel < 0 ? "wb" : "wb" + std::to_string(compressionLevel);
    htsFile* out = hts_open(path.c_str(), mode.c_str());
    std::string headerText = readsHeaderText(annotation);
    sam_hdr_t* header = sam_hdr_parse(headerText.size(), headerText.c_str());
    if (!out || !header || sam_hdr_write(out, header) < 0)
        throw std::runtime_error("cannot write " + path);
    ReadWriter writer(out, header);
    const size_t readLength = 71;
    std::vector<size_t> receptorGenes, byRank(annotation.genes.size());
    for (size_t i = 0; i < annotation.genes.size(); ++i) {
        byRank[i] = i;
        if (annotation.genes[i].type.find("_gene") != std::string::npos &&
            (annotation.genes[i].type[0] == 'I' || annotation.genes[i].type[0] == 'T'))
            receptorGenes.push_back(i);
    }
    for (size_t i = byRank.size(); i > 1; --i)
        std::swap(byRank[i - 1], byRank[random.below(i)]);
    const double logGenes = std::log(static_cast<double>(byRank.size()));
    std::vector<int32_t> tidOf(annotation.genes.size());
    {
        std::map<std::string, int32_t> tids;
        for (size_t c = 0; c < annotation.chromosomes.size(); ++c)
            tids[annotation.chromosomes[c].first] = static_cast<int32_t>(c);
        for (size_t g = 0; g < annotation.genes.size(); ++g)
            tidOf[g] = tids.at(annotation.genes[g].chromosome);
    }
    const int32_t firstExtra = static_cast<int32_t>(annotation.chromosomes.size()) + 1;
    const int32_t extraCount = static_cast<int32_t>(extraReferenceNamesOf().size());
    const int32_t phix = firstExtra + extraCount;
    const int32_t unannotated = static_cast<int32_t>(annotation.chromosomes.size());
    const char BASES[] = "ACGT";
    auto match = [](uint32_t length) { return bam_cigar_gen(length, BAM_CMATCH); };

    for (size_t i = 0; i < readCount; ++i) {
        std::string umi(8, 'A');
        for (char& c : umi)
            c = BASES[random.below(4)];
        if (random.chance(0.03))
            umi.resize(7); // a UMI the earlier step could not read in full
        std::string name = "A00123:8:HKWT2:1:" + std::to_string(1101 + i % 1000) + ":" +
                           std::to_string(i) + ";" + std::to_string(1 + random.below(20000)) + ";" +
                           umi;
        writer.sequence.resize(readLength);
        writer.quality.assign(readLength, 37);
        for (char& c : writer.sequence)
            c = BASES[random.below(4)];

        double u = static_cast<double>(random.next() >> 11) * (1.0 / 9007199254740992.0);
        size_t geneIndex =
            byRank[std::min(static_cast<size_t>(std::exp(u * logGenes)) - 1, byRank.size() - 1)];
        uint64_t roll = random.below(1000);
        if (roll < 10 && !receptorGenes.empty()) // receptor transcripts: 1% of reads
            geneIndex = receptorGenes[random.below(receptorGenes.size())];
        const GeneratedGene& gene = annotation.genes[geneIndex];
        int32_t tid = tidOf[geneIndex];
        uint16_t sense = gene.strand == '+' ? 0 : BAM_FREVERSE;
        const auto& exons = gene.transcripts[random.below(gene.transcripts.size())];
        auto exonPosition = [&]() {
            const auto& exon = exons[random.below(exons.size())];
            return static_cast<hts_pos_t>(exon.first - 1 + random.below(40));
        };

        if (roll < 560 && !exons.empty()) { // sense exon, a quarter spliced to the next exon
            size_t e = random.below(exons.size());
            if (e + 1 < exons.size() && random.chance(0.25)) {
                uint32_t first = 30,
                         gap = static_cast<uint32_t>(exons[e + 1].first - exons[e].second - 1);
                writer.write(
                    name, sense, tid, static_cast<hts_pos_t>(exons[e].second - first),
                    {match(first), bam_cigar_gen(gap, BAM_CREF_SKIP), match(readLength - first)}, 1,
                    true);
            } else if (random.chance(0.15)) {
                writer.write(name, sense, tid, exonPosition(),
                             {bam_cigar_gen(6, BAM_CSOFT_CLIP), match(readLength - 6)}, 1, true);
            } else {
                writer.write(name, sense, tid, exonPosition(), {match(readLength)}, 1, true);
            }
        } else if (roll < 700) { // intronic
            writer.write(name, sense, tid,
                         static_cast<hts_pos_t>(gene.start + random.below(gene.end - gene.start)),
                         {match(readLength)}, 1, true);
        } else if (roll < 760 && !exons.empty()) { // antisense
            writer.write(name, sense ^ BAM_FREVERSE, tid, exonPosition(), {match(readLength)}, 1,
                         true);
        } else if (roll < 800) { // intergenic
            writer.write(name, sense, tid,
                         static_cast<hts_pos_t>(gene.end + 3000 + random.below(20000)),
                         {match(readLength)}, 1, true);
        } else if (roll < 880) { // multi-mapped: 2 to 4 alignments, the first primary
            int nh = 2 + static_cast<int>(random.below(3));
            for (int k = 0; k < nh; ++k) {
                const GeneratedGene& other =
                    k == 0 ? gene : annotation.genes[random.below(annotation.genes.size())];
                size_t otherIndex = static_cast<size_t>(&other - annotation.genes.data());
                hts_pos_t pos = static_cast<hts_pos_t>(
                    other.transcripts[0].empty() ? other.start : other.transcripts[0][0].first - 1);
                writer.write(name, k ? BAM_FSECONDARY : 0, tidOf[otherIndex], pos,
                             {match(readLength)}, nh, k == 0);
            }
        } else if (roll < 930) { // unmapped
            writer.write(name, BAM_FUNMAP, -1, -1, {}, 0, true);
        } else if (roll < 960) { // AbSeq antibody
            writer.write(name, 0, firstExtra + static_cast<int32_t>(random.below(8)),
                         static_cast<hts_pos_t>(random.below(10)), {match(readLength)}, 1, true);
        } else if (roll < 985) { // sample tag
            writer.write(name, 0, firstExtra + 8 + static_cast<int32_t>(random.below(12)),
                         static_cast<hts_pos_t>(random.below(20)), {match(readLength)}, 1, true);
        } else if (roll < 990) { // phiX
            writer.write(name, 0, phix, static_cast<hts_pos_t>(random.below(5000)),
                         {match(readLength)}, 1, true);
        } else { // a reference without annotation
            writer.write(name, 0, unannotated, static_cast<hts_pos_t>(random.below(2000)),
                         {match(readLength)}, 1, true);
        }
    }
    size_t records = writer.records;
    bam_destroy1(writer.record);
    sam_hdr_destroy(header);
    if (hts_close(out) < 0)
        throw std::runtime_error("cannot close " + path);
    return records;
}
