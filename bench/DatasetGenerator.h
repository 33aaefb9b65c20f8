// Deterministic synthetic annotation and alignments at human scale, for benchmarks and tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <htslib/sam.h>

struct SplitMix64 {
    uint64_t state;
    explicit SplitMix64(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
    bool chance(double p) {
        return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0) < p;
    }
};

struct GeneratedGene {
    std::string chromosome;
    std::string id;
    std::string name;
    std::string type;
    char strand;
    unsigned long start; // 1-based, inclusive
    unsigned long end;
    // Exons (1-based, inclusive, ascending) of each transcript.
    std::vector<std::vector<std::pair<unsigned long, unsigned long>>> transcripts;
};

struct GeneratedAnnotation {
    std::vector<std::pair<std::string, unsigned long>> chromosomes; // name, length
    std::vector<GeneratedGene> genes;                               // ordered by chromosome, start
};

// About geneCount genes over the human chromosome layout (lengths times genomeScale, at least
// 100 kb): multi-exon transcripts, genes overlapping on both strands, a few immune-receptor genes.
// A small test set keeps the human gene density with geneCount = 60000 * genomeScale.
GeneratedAnnotation generateAnnotation(unsigned long geneCount, uint64_t seed,
                                       double genomeScale = 1.0);

// Writes a GENCODE-like GTF: gene, transcript, exon, CDS, UTR and codon lines with full attribute
// sets. Returns the bytes written; throws std::runtime_error when the file cannot be written.
unsigned long writeGtf(const GeneratedAnnotation& annotation, const std::string& path);

// The SAM header text of the annotation's chromosomes plus one reference absent from the GTF.
std::string samHeaderText(const GeneratedAnnotation& annotation);

// count aligned R2 records of a realistic mix: exon reads (some spliced along the annotation),
// intronic, antisense, intergenic, on an unannotated reference and unmapped. Genes are drawn by a
// Zipf law of expression, or uniformly (the cache-hostile worst case). Caller frees the records.
std::vector<bam1_t*> generateAlignedRecords(const GeneratedAnnotation& annotation,
                                            const sam_hdr_t* header, size_t count, uint64_t seed,
                                            bool uniformExpression = false);

// Extra references of a run: AbSeq antibodies and sample tags, as in the extra FASTA.
std::vector<std::string> extraReferenceNamesOf();

// The SAM header for read generation: the annotation's chromosomes, the extra references,
// phiX174 and one reference absent from the GTF.
std::string readsHeaderText(const GeneratedAnnotation& annotation);

// Writes readCount reads as an unsorted BAM (records of one read in a row, NH tags, secondary
// alignments flagged 256), named "<read>;<cell index>;<UMI>". The mix: sense exon reads (some
// spliced, some soft-clipped), intronic, antisense, intergenic, multi-mapped groups, unmapped,
// AbSeq and sample-tag references, phiX, reads on receptor genes, and about 3% invalid UMIs.
// compressionLevel is the BGZF level (-1 for HTSlib's default). Returns the number of records.
size_t writeReadsBam(const GeneratedAnnotation& annotation, const std::string& path,
                     size_t readCount, uint64_t seed, int compressionLevel = -1);
