// Helpers shared by every test: scratch directories, files, child processes, SAM records, the
// standard gene models, whole-run inputs and readers of the run's outputs.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "features/FeatureAssigner.h"
#include "support/Utilities.h"

// A fresh directory under /tmp that the test runs inside; removed with its contents afterwards.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
    std::string _previous;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
inline std::vector<std::string> splitLines(const std::string& text) {
    return strSplit(text, '\n');
}

// The blank-separated words of text.
std::vector<std::string> words(const std::string& text);

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// Runs argv[0] (searched in PATH) with the arguments in directory cwd.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd = "");

// ---- SAM records ----

// One SAM line; pos1 is 1-based as in SAM text, tags tab-separated.
std::string samLine(const std::string& name, int flag, const std::string& reference, long pos1,
                    const std::string& cigar, const std::string& tags = "NH:i:1",
                    const std::string& seq = "*", const std::string& qual = "*");

// SAM text in memory: a header from "name:length" references and records parsed against it.
struct sam_hdr_t;
struct bam1_t;
class SamText {
public:
    explicit SamText(const std::vector<std::string>& references);
    ~SamText();
    SamText(const SamText&) = delete;
    SamText& operator=(const SamText&) = delete;
    sam_hdr_t* header() const { return _header; }
    // One record from a SAM line; owned by this object.
    bam1_t* record(const std::string& line);
    // A mapped record: flag, reference, 0-based position and CIGAR, other fields defaulted.
    bam1_t* aligned(int flag, const std::string& reference, long pos0, const std::string& cigar,
                    const std::string& name = "r");
    // Parses every line and writes them, with the header, as a BAM file. With blockBytes, every
    // BGZF block holds that many bytes of the BAM stream (the last fewer), so that records run
    // over block edges as some writers leave them; else HTSlib's blocks, which begin with a record.
    void writeBam(const std::string& path, const std::vector<std::string>& lines,
                  size_t blockBytes = 0);

private:
    sam_hdr_t* _header;
    std::vector<bam1_t*> _records;
};

// Every record of a BAM file as SAM text lines (header excluded).
std::vector<std::string> readBamAsSam(const std::string& path);

// ---- Gene models ----

std::string gtfLine(const std::string& chromosome, const std::string& feature, unsigned long start,
                    unsigned long end, char strand, const std::string& attributes);
std::string geneAttributes(const std::string& id, const std::string& name,
                           const std::string& type = "protein_coding");

// GTF gene and exon lines of genes given one a line: id, name, type, chromosome, strand, gene start
// and end, then the start and end of each exon.
std::string gtfOfGenes(const std::string& genes);
// The standard small model. chr1: forward gene A (exons 1001-1100, 2001-2100, the second also of
// a second transcript), forward gene B overlapping A's second exon (exon 2051-2150), forward
// gene C nested in A's intron (exon 1701-1800), reverse gene R (exon 5001-5100); chr2: gene E
// (110-200). With receptors, chr14 also holds IGHV1-2 (forward, V gene, 1001-1200), IGHM
// (reverse, constant, 3001-3200), OVERLAP (forward, 3001-3200) and TRAV1 (forward, 7001-7500).
std::string standardGtf(bool withReceptors = false);
// References of the standard model as "name:length".
std::vector<std::string> standardReferences();

// A model built from GTF text inside a scratch directory; keeps the log and gene-info JSON.
struct BuiltModel {
    explicit BuiltModel(const std::string& gtfText, const std::string& vdjVersion = "");
    ScratchDir dir;
    std::unique_ptr<FeatureAssigner> model;
    std::string geneInfoJson;
    std::string log;
};

// The distinct labels of a tree of the model, sorted and blank-separated; with places, each as
// "chromosome strand:label@start-stop" (0-based, as stored).
std::string treeLabels(const FeatureAssigner& model, const std::string& tree, bool places = false);

// ---- Whole runs of the real binary ----

// One read-quality entry, the same numbers for every library.
std::string qualityEntry(unsigned long total, unsigned long afterFilter);
// The source tree's demo folder.
std::string demoFile(const std::string& name);

// The inputs of a run in one directory: metadata, GTF, lengths, extra FASTA, quality JSON and
// library BAMs, and the arguments that run ambrel on them. Defaults are the demo data's.
class RunInputs {
public:
    ScratchDir dir;
    std::string metadata = demoFile("run_metadata.json");
    std::string gtf = demoFile("genes.gtf");
    std::string quality = demoFile("ReadQualityMetrics.json"); // empty: the run's default
    std::string lengths = demoFile("transcript_lengths.json");
    std::string extra = demoFile("extra.fasta");
    std::vector<std::string> bams;      // paths relative to the run directory
    std::vector<std::string> wrapper;   // words that run ambrel (a shell that enters a cgroup, say)
    std::string binary = AMBREL_BINARY; // the ambrel that runs
    // The demo reads as the BAM of library `library` (run "Demo"); with a read count, reads of
    // the inputs' GTF made by the demo's generator, that share of them on receptor genes.
    void addDemoLibrary(const std::string& library = "Sample1", unsigned long reads = 0,
                        double receptorShare = 0);
    // Writes text as a file of the inputs' directory and returns its path.
    std::string write(const std::string& name, const std::string& text);
    std::vector<std::string> args(const std::vector<std::string>& extra = {}) const;
    // Runs ambrel in `runDir` (created; the BAMs are linked into it).
    ProcessResult run(const std::string& runDir, const std::vector<std::string>& extra = {});
};

// The shell command that turns the BAM at path into a CRAM in place, compressed against a
// reference of its header's sequences (ACGT repeated) that it writes as `reference`.
std::string cramCommand(const std::string& path, const std::string& reference);

// ---- Readers of the run's outputs ----

// The names in a directory, sorted.
std::vector<std::string> directoryNames(const std::string& dir);

// For a test that needs a tool or a machine feature that may be missing: skipped on a developer's
// machine, failed under CI (AMBREL_CI, set by .ci/run, which installs every tool), so that a
// missing install step cannot pass as green.
#define AMBREL_SKIP_UNLESS(present, why)                                                           \
    if (!(present)) {                                                                              \
        if (std::getenv("AMBREL_CI"))                                                              \
            FAIL() << (why);                                                                       \
        GTEST_SKIP() << (why);                                                                     \
    }
