// Whole runs of the real binary on the demo data, compared with the expected outputs checked in
// under tests/golden/<case>/: the report and the JSON files byte for byte, the tables, FASTQ,
// annotated BAMs and the log archive's listing by digest of their decompressed contents.
// After a deliberate change of outputs: tests/golden/update.sh, then review `git diff`.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <unistd.h>

#include "TestSupport.h"
#include "driver/RunChecks.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/Utilities.h"

namespace fs = std::filesystem;

namespace {

struct GoldenCase {
    const char* name;
    std::vector<std::string> libraries;
    std::vector<std::string> args;
    const char* metadata = nullptr; // replaces the demo's run metadata when set
    unsigned long reads = 0;        // generated reads of the volume GTF in place of the demo's
    const char* expected = nullptr; // the case whose expected outputs these are, when not its own
    const char* sortMemoryMb = nullptr; // the tables' sorting budget
    unsigned long memoryLimitMb = 0;    // of a cgroup that the run runs in
};

// Shapes the demo lacks, added to its genes: two genes sharing an identical exon (RT1, RT2), two
// V genes of one chain overlapping (TRBV20-1, TRBV5-1), two genes of one table whose byte order
// is not their order in a UTF-8 locale (ZZ16 before cd3d), and more B-cell receptor V genes.
const char* const VOLUME_GENES =
    "DG0013 RT1 protein_coding chrD + 37001 38000 37001 37400\n"
    "DG0014 RT2 protein_coding chrD + 37001 39000 37001 37400 38501 39000\n"
    "DG0015 TRBV5-1 TR_V_gene chrD + 50601 51600 50601 51600\n"
    "DG0018 IGKV1-5 IG_V_gene chrD + 46501 47500 46501 47500\n"
    "DG0019 IGLV2-14 IG_V_gene chrD + 56501 57500 56501 57500\n"
    "DG0016 ZZ16 protein_coding chrD - 67001 67600 67001 67600\n"
    "DG0017 cd3d protein_coding chrD + 72101 72900 72101 72900";

const GoldenCase CASES[] = {
    {"wta", {"Sample1"}, {}},
    {"targeted", {"Sample1"}, {"--assay", "targeted"}},
    {"wta-no-introns-both-umis", {"Sample1"}, {"--exclude-intronic-reads", "--umi-option", "2"}},
    // The same reads as two libraries with different read-quality numbers: the run-wide row sums
    // the libraries and takes its own percentages.
    {"two-libraries", {"Sample1", "Sample2"}, {"--threads", "3"}},
    {"no-vdj-no-tags",
     {"Sample1"},
     {"--umi-option", "0"},
     R"({"Run_Base_Name": "Demo", "Putative_Cell_Calling_Data": "mRNA", "Output_Header": []})"},
    // B-cell receptors only: T-cell receptor reads count as plain genes.
    {"bcr-only",
     {"Sample1"},
     {},
     R"({"Run_Base_Name": "Demo", "VDJ_Version": "human_BCR", "Output_Header": []})"},
    // Enough reads that every buffered output (tables, sample-tag table, both receptor FASTQ) is
    // written out several times within one fragment; in a UTF-8 locale, which must not change
    // the tables' byte order.
    {"volume", {"Sample1"}, {}, nullptr, 30000},
    // The same with every table sorted by the external sort: the same bytes.
    {"volume-external-sort", {"Sample1"}, {}, nullptr, 30000, "volume", "1"},
    // Sixteen threads in a cgroup of 150 MB: the external sort where it must, the same bytes.
    {"volume-in-150-mb", {"Sample1"}, {"--threads", "16"}, nullptr, 30000, "volume", nullptr, 150},
};

// A memory cgroup of limitMb for one run, where this machine lets the test make one (root, and
// cgroup v1's memory controller or a v2 hierarchy that delegates it); removed afterwards.
class MemoryCgroup {
public:
    explicit MemoryCgroup(unsigned long limitMb) {
        std::string name = "ambrel_test_" + std::to_string(getpid());
        for (const auto& [root, limitFile] :
             {std::pair{"/sys/fs/cgroup/memory/", "memory.limit_in_bytes"},
              {"/sys/fs/cgroup/", "memory.max"}}) {
            std::error_code error;
            if (!fs::create_directory(root + name, error))
                continue;
            path = root + name;
            std::ofstream(path + "/" + limitFile) << (limitMb << 20);
            if (readFile(path + "/" + limitFile) == std::to_string(limitMb << 20) + "\n")
                return;
            fs::remove(path, error);
            path.clear();
        }
    }
    ~MemoryCgroup() {
        std::error_code error;
        if (!path.empty())
            fs::remove(path, error);
    }
    // The words that run a command in the cgroup.
    std::vector<std::string> wrapper() const {
        return {"sh", "-c", "echo $$ > " + path + "/cgroup.procs && exec \"$@\"", "sh"};
    }
    std::string path; // empty when none could be made
};

const char* const ANNOTATED_RECORDS = "annotated records of all parts, sorted";

std::string goldenDir(const std::string& name) {
    return std::string(AMBREL_SOURCE_DIR) + "/tests/golden/" + name;
}

// Every output of a run as comparable text, by name: kept whole (report, JSON) or digested, read
// back by the standard tools (a gzip output that is not whole gzip by what gzip -t says). FASTQ
// records, written in the order the workers flush them, are sorted; command logs carry their start
// time in their names, and commands started in the same second share them: their names are listed
// once, without the time.
std::map<std::string, std::string> runOutputs(const std::string& runDir) {
    const std::string untimed = " | sed -E 's/_[0-9]{14}\\./_<time>./' | LC_ALL=C sort -u";
    std::map<std::string, std::string> outputs;
    for (const std::string& name : directoryNames(runDir)) {
        std::string path = "./" + name, view = "cat " + path;
        // Every gzip output whole: gzip -t says why one is not.
        std::string whole = "gzip -t " + path + " 2>&1 && ";
        if (strEndsWith(name, ".tar.gz"))
            view = whole + "tar tzf " + path + untimed;
        else if (strEndsWith(name, ".fastq.gz"))
            view = whole + "gzip -dc " + path + " | paste - - - - | LC_ALL=C sort | tr '\\t' '\\n'";
        else if (strEndsWith(name, ".gz"))
            view = whole + "gzip -dc " + path;
        else if (strEndsWith(name, ".bam") && name.find(".annotated.") == std::string::npos)
            view = "samtools view " + path;
        else if (strEndsWith(name, ".bam"))
            view = ""; // the parts' records together below: the file's blocks set the cuts
        else if (strEndsWith(name, ".log") || strStartsWith(name, ".ambrel"))
            view = "";                                             // only listed
        if (!view.empty() && !fs::is_symlink(runDir + "/" + name)) // links: the input BAMs
            outputs[name + (strEndsWith(name, ".tar.gz") ? " listing" : "")] =
                runProcess({"sh", "-c", view}, runDir).out;
    }
    // Every annotated record once, whichever part of the library it went to.
    outputs[ANNOTATED_RECORDS] =
        runProcess({"sh", "-c",
                    "for f in *.annotated.*.bam; do samtools view \"$f\"; done | "
                    "LC_ALL=C sort"},
                   runDir)
            .out;
    outputs["files.txt"] =
        runProcess(
            {"sh", "-c", "find . -mindepth 1 -maxdepth 1 ! -type l -printf '%f\\n'" + untimed},
            runDir)
            .out;
    return outputs;
}

bool keptWhole(const std::string& name) {
    return strEndsWith(name, ".csv") || strEndsWith(name, ".json") || name == "files.txt";
}

std::string digest(const std::string& text) {
    unsigned long long hash = 14695981039346656037ULL; // FNV-1a, 64 bits
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ULL;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", hash);
    return std::to_string(splitLines(text).size()) + " lines " + hex;
}

void writeExpected(const std::string& name, const std::map<std::string, std::string>& outputs) {
    fs::remove_all(goldenDir(name));
    fs::create_directories(goldenDir(name));
    std::string digests;
    for (const auto& [file, text] : outputs) {
        if (keptWhole(file))
            writeFile(goldenDir(name) + "/" + file, text);
        else
            digests += file + "\t" + digest(text) + "\n";
    }
    writeFile(goldenDir(name) + "/digests.tsv", digests);
}

// Compares outputs, but for those named in `skip`, with the expected ones.
void compareWithExpected(const std::string& name, const std::map<std::string, std::string>& outputs,
                         const std::set<std::string>& skip = {}) {
    std::map<std::string, std::string> digests;
    for (const std::string& line : splitLines(readFile(goldenDir(name) + "/digests.tsv")))
        digests[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    ASSERT_FALSE(digests.empty()) << "no expected outputs for " << name;
    for (const auto& [file, text] : outputs) {
        if (skip.count(file))
            continue;
        if (keptWhole(file)) {
            EXPECT_EQ(text, readFile(goldenDir(name) + "/" + file)) << name << ": " << file;
            continue;
        }
        auto expected = digests.find(file);
        std::string actual = digest(text);
        if (expected == digests.end() || expected->second != actual) {
            std::vector<std::string> lines = splitLines(text);
            lines.resize(std::min<size_t>(lines.size(), 40));
            ADD_FAILURE() << name << ": " << file << " is " << actual << ", expected "
                          << (expected == digests.end() ? "no such output" : expected->second)
                          << "; its first records:\n"
                          << strJoin(lines, "\n");
        }
    }
    for (const auto& [file, expected] : digests)
        EXPECT_TRUE(skip.count(file) || outputs.count(file)) << name << ": missing output " << file;
}

void PrintTo(const GoldenCase& c, std::ostream* out) {
    *out << c.name;
}

class GoldenRun : public testing::TestWithParam<GoldenCase> {};

} // namespace

TEST_P(GoldenRun, OutputsMatchTheExpectedFiles) {
    const GoldenCase& c = GetParam();
    RunInputs inputs;
    if (c.reads) {
        inputs.gtf = inputs.write("genes.gtf", readFile(inputs.gtf) + gtfOfGenes(VOLUME_GENES));
        ASSERT_EQ(ReadAnnotationFiles::partitionOfGene("ZZ16"),
                  ReadAnnotationFiles::partitionOfGene("cd3d"));
        inputs.quality = inputs.write(
            "quality.json",
            "{\"Read Quality Metrics\": {\"Sample1\": " + qualityEntry(31000, c.reads) +
                ", \"Combined_stats\": " + qualityEntry(31000, c.reads) + "}}");
    }
    for (const std::string& library : c.libraries)
        inputs.addDemoLibrary(library, c.reads, 0.4);
    if (c.metadata)
        inputs.metadata = inputs.write("meta.json", c.metadata);
    MemoryCgroup cgroup(c.memoryLimitMb);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (c.memoryLimitMb)
        GTEST_SKIP() << "a sanitizer's shadow memory does not fit a small cgroup";
#endif
    if (c.memoryLimitMb) {
        if (cgroup.path.empty())
            GTEST_SKIP() << "no memory cgroup can be made here (root and cgroup v1's memory "
                            "controller or a delegated v2 one)";
        inputs.wrapper = cgroup.wrapper();
    }
    if (c.libraries.size() > 1)
        inputs.quality = inputs.write(
            "quality.json", "{\"Read Quality Metrics\": {\"Sample1\": " + qualityEntry(4400, 4000) +
                                ", \"Sample2\": " + qualityEntry(5000, 4500) +
                                ", \"Combined_stats\": " + qualityEntry(9400, 8500) + "}}");
    if (c.reads)
        setenv("LC_ALL", "en_US.UTF-8", 1); // the run's children inherit it
    if (c.sortMemoryMb)
        setenv("AMBREL_SORT_MEMORY_MB", c.sortMemoryMb, 1);
    ProcessResult result = inputs.run(inputs.dir.file("run"), c.args);
    unsetenv("LC_ALL");
    unsetenv("AMBREL_SORT_MEMORY_MB");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Ambrel has completed"), std::string::npos) << result.err;
    std::map<std::string, std::string> outputs = runOutputs(inputs.dir.file("run"));
    if (c.sortMemoryMb) { // every table by the external sort, its logs archived
        EXPECT_EQ(
            runProcess({"sh", "-c",
                        "tar xzOf Demo_Ambrel_Logs.tar.gz --wildcards 'sorting_*' | awk -F'\\t' "
                        "'$5 == \"in memory\"'"},
                       inputs.dir.file("run"))
                .out,
            "");
        EXPECT_NE(outputs["Demo_Ambrel_Logs.tar.gz listing"].find("sort_<time>.stderr.log"),
                  std::string::npos);
    }
    if (c.expected) { // with more threads, more parts
        std::set<std::string> skip = {"Demo_Ambrel_Logs.tar.gz listing"};
        if (c.memoryLimitMb)
            skip.insert("files.txt");
        compareWithExpected(c.expected, outputs, skip);
        return;
    }
    if (std::getenv("AMBREL_UPDATE_GOLDEN")) {
        writeExpected(c.name, outputs);
        GTEST_SKIP() << "expected outputs written to " << goldenDir(c.name);
    }
    compareWithExpected(c.name, outputs);
}

INSTANTIATE_TEST_SUITE_P(Demo, GoldenRun, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<GoldenCase>& param) {
                             std::string name = param.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

namespace {

// The demo BAM as aligners and everyday samtools steps leave it: a shell command that rewrites
// the BAM $1 (SAM from `samtools view -h $1` when it ends in a pipe into `sam`), the warnings
// the run must log, and what the run must give: the demo's tables, FASTQ and report, and its
// annotated records too when the records are the demo's; every read of the demo counted once
// when they are all there.
struct BamVariant {
    const char* name;
    std::string rewrite;
    std::vector<std::string> warnings;
    bool demoOutputs = true;
    bool demoRecords = true;
    bool allReads = true;
};

void PrintTo(const BamVariant& v, std::ostream* out) {
    *out << v.name;
}

// SAM text of $1 rewritten by an awk program over its records (the header kept).
std::string awkOverRecords(const std::string& program) {
    return "samtools view -h $1 | awk 'BEGIN { OFS = \"\\t\" } /^@/ { print; next } " + program +
           "' > v.sam && samtools view -b -o $1 v.sam";
}

const std::string SORT = " && samtools sort -o s.bam $1 && mv s.bam $1";
const std::string APART = "has records away from its primary record: the BAM is not grouped by "
                          "read name (coordinate-sorted, say). Annotating the library again";
// A chimeric piece after every tenth uniquely aligned read on chrD, elsewhere on it, with the SA
// tags an aligner writes on both.
const std::string SUPPLEMENTARY =
    "$2 < 256 && $3 == \"chrD\" && /NH:i:1/ && ++n % 10 == 0 { pos = ($4 + 20000) % 79000 + 1; "
    "print $0, \"SA:Z:chrD,\" pos \",+,60M,255,0;\"; $2 = 2048 + $2 % 32; sa = \"SA:Z:chrD,\" $4 "
    "\",+,60M,255,0;\"; $4 = pos; print $0, sa; next } { print }";

std::vector<BamVariant> bamVariants() {
    return {
        // Records of a read apart, with or without the header saying so: the reads of aligner
        // order, the same annotated records in other parts.
        {"CoordinateSorted", "samtools sort -o s.bam $1 && mv s.bam $1", {APART}},
        {"CoordinateSortedWithoutSO",
         "samtools sort -o s.bam $1 && samtools view -H s.bam | sed 's/\\tSO:coordinate//' > "
         "h.sam && samtools reheader h.sam s.bam > $1",
         {APART}},
        {"Supplementary", awkOverRecords(SUPPLEMENTARY), {}, true, false},
        {"SupplementaryCoordinateSorted",
         awkOverRecords(SUPPLEMENTARY) + SORT,
         {APART},
         true,
         false},
        {"WithoutNH", awkOverRecords("{ sub(/\\tNH:i:[0-9]+/, \"\"); print }"), {}, true, false},
        {"Sam", "samtools view -h -o s.sam $1 && mv s.sam $1", {}},
        // Records that carry the tags Ambrel writes, with other types: replaced.
        {"TagsOfAnotherType", awkOverRecords("{ print $0 \"\\tXF:i:5\\tCB:i:7\\tMR:f:1.5\" }"), {}},
        // MD and NM come back with the records that the CRAM stored against its reference.
        {"Cram", cramCommand("$1", "ref.fa"), {}, true, false},
        // A header-only BAM of a library the read-quality file gives reads.
        {"HeaderOnly",
         "samtools view -H -b -o s.bam $1 && mv s.bam $1",
         {"The BAM file \"Demo_Sample1_Aligned.out.bam\" holds no reads, while the read-quality "
          "file \""},
         false,
         false,
         false},
        // A fifth of the reads on a chromosome the GTF lacks (chrM, say): silent.
        {"FifthOfTheReadsOffTheGtf",
         "samtools view -h $1 | awk 'BEGIN { OFS = \"\\t\" } /SN:phiX/ { print \"@SQ\\tSN:chrM\\t"
         "LN:80000\" } !/^@/ && $3 == \"chrD\" && $2 < 256 && !(n++ % 5) { $3 = \"chrM\" } { print "
         "}' > v.sam && samtools view -b -o $1 v.sam",
         {},
         false,
         false},
        // One alignment per read left of the multi-mapped ones: a subset of the demo's lines.
        {"SecondariesFiltered",
         "samtools view -b -F 256 -o s.bam $1 && mv s.bam $1",
         {"/Demo_Sample1_Aligned.out.bam): 280 reads have fewer primary and secondary records "
          "than their NH tag says. Likely causes: secondary alignments filtered out"},
         false,
         false},
        {"NhOneTwice",
         awkOverRecords("{ print } $2 == 0 && $3 == \"chrD\" && !done++ { print }"),
         {"): 1 reads have more primary and secondary records than their NH tag says"},
         true,
         false},
        // A secondary record of NH 1 far from its primary record: the read counted once.
        {"NhOneSecondaryCoordinateSorted",
         awkOverRecords("{ print } $2 == 0 && $3 == \"chrD\" && !done++ { $2 = 256; $4 = ($4 + "
                        "20000) % 79000 + 1; print }") +
             SORT,
         {APART, "): 1 reads have records of NH 1 apart from their primary record"},
         true,
         false},
        // The end of the input cuts the last multi-mapped read short; no sample-tag read at all,
        // so that the sample-tag table is empty.
        {"CutByTheEndWithoutSampleTags",
         "samtools view -h $1 | grep -v stAbO > a.sam && awk 'NR == FNR { if ($2 == 256) last = "
         "FNR; next } FNR < last' a.sam a.sam > v.sam && samtools view -b -o $1 v.sam",
         {"): 1 reads have fewer primary and secondary records than their NH tag says"},
         false,
         false,
         false},
    };
}

// The Cellular_Reads of a run's library row: every read of the demo counted once.
std::string cellularReads(const std::string& runDir) {
    std::vector<std::string> lines = splitLines(readFile(runDir + "/Demo_SeqMetrics.csv"));
    auto sequencing = std::find(lines.begin(), lines.end(), "#Sequencing#");
    return strSplit(*(sequencing + 2), ',')[1];
}

class GoldenRunVariant : public testing::TestWithParam<BamVariant> {};

} // namespace

TEST_P(GoldenRunVariant, GivesTheDemoOutputsOrSaysWhy) {
    const BamVariant& v = GetParam();
    RunInputs inputs;
    inputs.addDemoLibrary();
    const std::string& bam = inputs.bams[0];
    ProcessResult made = runProcess({"sh", "-c", v.rewrite, "sh", bam}, inputs.dir.path());
    ASSERT_EQ(made.status, 0) << made.err;
    if (std::string(v.name) == "Cram") // the reference is found where REF_PATH says
        setenv("REF_PATH", (inputs.dir.path() + "/%s").c_str(), 1);
    ProcessResult result = inputs.run(inputs.dir.file("run"));
    unsetenv("REF_PATH");
    ASSERT_EQ(result.status, 0) << result.err;
    // These warnings, one line each, and no other.
    for (const std::string& warning : v.warnings)
        EXPECT_NE(result.err.find(warning), std::string::npos) << warning << "\n" << result.err;
    size_t warnings = 0;
    for (size_t at = 0; (at = result.err.find("WARNING", at)) != std::string::npos; ++at)
        ++warnings;
    EXPECT_EQ(warnings, v.warnings.size()) << result.err;
    const std::string runDir = inputs.dir.file("run");
    // Every input record annotated once; every gzip output whole.
    EXPECT_EQ(runProcess({"sh", "-c",
                          "for f in *.annotated.*.bam; do samtools view -c $f; done | "
                          "awk '{ n += $1 } END { print n }'"},
                         runDir)
                  .out,
              runProcess({"samtools", "view", "-c", inputs.dir.file(bam)}).out);
    EXPECT_EQ(runProcess({"sh", "-c", "gzip -t *.gz"}, runDir).status, 0);
    // A part in coordinate order may say so, and then samtools can index it; each names Ambrel
    // after the input's last program.
    EXPECT_EQ(
        runProcess({"sh", "-c",
                    "for f in *.annotated.*.bam; do samtools view -H $f | grep -q "
                    "'^@PG.ID:ambrel.PN:ambrel.*CL:' || exit 1; if samtools view -H $f | "
                    "grep -q SO:coordinate; then samtools index $f ../index.bai || exit 1; fi; "
                    "done"},
                   runDir)
            .status,
        0);
    std::map<std::string, std::string> outputs = runOutputs(runDir);
    if (v.allReads) {
        EXPECT_EQ(cellularReads(runDir), "3935");
    }
    if (v.demoOutputs) {
        std::set<std::string> skip = {"Demo_Ambrel_Logs.tar.gz listing", "files.txt"};
        if (!v.demoRecords)
            skip.insert(ANNOTATED_RECORDS);
        compareWithExpected("wta", outputs, skip);
    }
    if (std::string(v.name) == "SecondariesFiltered") {
        // Each line a line of the full demo's tables: no read is corrected to a gene it may not
        // have.
        RunInputs demo;
        demo.addDemoLibrary();
        ASSERT_EQ(demo.run(demo.dir.file("run")).status, 0);
        std::string tables = "gzip -dc *Sorted_Valid_Reads.csv.*.gz | LC_ALL=C sort";
        std::string all = runProcess({"sh", "-c", tables}, demo.dir.file("run")).out;
        std::string some = runProcess({"sh", "-c", tables}, runDir).out;
        writeFile(inputs.dir.file("all.txt"), all);
        writeFile(inputs.dir.file("some.txt"), some);
        EXPECT_LT(some.size(), all.size());
        EXPECT_EQ(
            runProcess({"sh", "-c", "LC_ALL=C comm -23 some.txt all.txt"}, inputs.dir.path()).out,
            "");
    }
}

INSTANTIATE_TEST_SUITE_P(Demo, GoldenRunVariant, testing::ValuesIn(bamVariants()),
                         [](const testing::TestParamInfo<BamVariant>& param) {
                             return std::string(param.param.name);
                         });

// A completed run replaces the last completed run's outputs as a whole: tables it no longer
// writes go, a link in the way of an output is replaced rather than written through, and files
// that are not the run's (a log the user keeps there) stay. The GTF is gzipped, as GENCODE and
// Ensembl ship it.
TEST(GoldenRunVariants, CompletedRunReplacesTheEarlierOutputsAsAWhole) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    ASSERT_EQ(
        runProcess({"sh", "-c", "gzip -c " + inputs.gtf + " > genes.gtf.gz"}, inputs.dir.path())
            .status,
        0);
    inputs.gtf = inputs.dir.file("genes.gtf.gz");
    std::string runDir = inputs.dir.file("run");
    fs::create_directories(runDir + "/-in"); // a BAM path that looks like an option
    fs::rename(inputs.dir.file(inputs.bams[0]), runDir + "/-in/" + inputs.bams[0]);
    inputs.bams = {"-in/" + inputs.bams[0]};
    writeFile(inputs.dir.file("victim.txt"), "not Ambrel's\n");
    fs::create_symlink(inputs.dir.file("victim.txt"), runDir + "/Demo_SeqMetrics.csv");
    for (const char* partition : {"5", "17"})
        writeFile(runDir + "/Demo_Sorted_Valid_Reads.csv." + partition + ".gz", "an earlier run's");
    writeFile(runDir + "/Old.annotated.3.bam", "an earlier run's output");
    writeFile(runDir + "/.ambrel_outputs", "Old.annotated.3.bam\n../victim.txt\n");
    writeFile(runDir + "/ambrel.log", "the user's own log\n");
    ProcessResult result = runProcess(inputs.args(), runDir);
    ASSERT_EQ(result.status, 0) << result.err;
    compareWithExpected("wta", runOutputs(runDir), {"files.txt", "-in"});
    EXPECT_FALSE(fs::is_symlink(runDir + "/Demo_SeqMetrics.csv"));
    EXPECT_EQ(readFile(inputs.dir.file("victim.txt")), "not Ambrel's\n");
    EXPECT_FALSE(fs::exists(runDir + "/Demo_Sorted_Valid_Reads.csv.5.gz"));
    EXPECT_FALSE(fs::exists(runDir + "/Demo_Sorted_Valid_Reads.csv.17.gz"));
    EXPECT_FALSE(fs::exists(runDir + "/Old.annotated.3.bam"));
    EXPECT_EQ(readFile(runDir + "/ambrel.log"), "the user's own log\n");
    std::string record = readFile(runDir + "/.ambrel_outputs");
    EXPECT_NE(record.find("Demo_SeqMetrics.csv\n"), std::string::npos);
    EXPECT_EQ(record.find("Old.annotated"), std::string::npos);
}

// The demo's CWL jobs (cwl/*job.yml, their paths relative) with the demo's BAMs made beside the
// demo files, run by cwltool or Toil with this build's ambrel first on the PATH, or in the image of
// scripts/container.sh (the tools' DockerRequirement hint, through podman's docker shim). Every
// output of every run is the golden run's, each run's in a folder of its own.
class WorkflowDemo {
public:
    explicit WorkflowDemo(bool inContainers) : _inContainers(inContainers) {
        EXPECT_EQ(runProcess({"sh", "-c",
                              "mkdir demo cwl && ln -s " + std::string(AMBREL_SOURCE_DIR) +
                                  "/demo/* demo/ && cp " + _cwl +
                                  "*job.yml cwl/ && for run in Demo Demo2; do samtools view -b -o "
                                  "demo/${run}_Sample1_Aligned.out.bam demo/reads.sam; done"},
                             inputs.dir.path())
                      .status,
                  0);
    }
    // Runs tool on job with runner into out; the outputs' JSON.
    std::string run(const std::string& runner, const std::string& tool, const std::string& job,
                    const std::string& out) {
        // In containers nothing of this build is on the PATH: the image runs or nothing does.
        std::string path =
            _inContainers ? "PATH=/usr/bin:/bin "
                          : "PATH=" + fs::path(AMBREL_BINARY).parent_path().string() + ":$PATH ";
        ProcessResult result =
            runProcess({"sh", "-c",
                        path + runner + (_inContainers ? "" : " --no-container") + " --outdir " +
                            out + " " + _cwl + tool + " cwl/" + job},
                       inputs.dir.path());
        EXPECT_EQ(result.status, 0) << runner << "\n" << result.err;
        return result.out;
    }
    // cwl/ambrel.cwl on the demo job under cwltool: ten gene tables (the sample-tag table apart).
    void checkOneRun() {
        std::string out = inputs.dir.file("one");
        writeFile(inputs.dir.file("one.json"), run("cwltool", "ambrel.cwl", "demo-job.yml", out));
        EXPECT_EQ(runProcess({"python3", "-c",
                              "import json, sys; o = json.load(open(sys.argv[1])); print(len(o["
                              "'valid_reads']), sum('SampleTag' in f['basename'] for f in o["
                              "'valid_reads']))",
                              inputs.dir.file("one.json")})
                      .out,
                  "10 0\n");
        compareWithExpected("wta", runOutputs(out), {"files.txt", "ambrel_stderr.txt"});
    }
    // The two-run scatter's outputs: run Demo2's are Demo's under other names, but for the
    // MultiQC sample names.
    void checkRuns(const std::string& out) {
        const std::set<std::string> skip = {"files.txt", "ambrel_stderr.txt"};
        compareWithExpected("wta", runOutputs(out + "/Demo"), skip);
        std::map<std::string, std::string> second;
        for (auto& [name, text] : runOutputs(out + "/Demo2"))
            second[strStartsWith(name, "Demo2_") ? "Demo_" + name.substr(6) : name] = text;
        compareWithExpected("wta", second,
                            {"files.txt", "ambrel_stderr.txt", "Demo_ambrel_mqc.json",
                             "Demo_ambrel_alignment_mqc.json", "Demo_ambrel_filtering_mqc.json"});
        EXPECT_TRUE(second.count("Demo_ambrel_mqc.json"));
    }

    RunInputs inputs;

private:
    std::string _cwl = std::string(AMBREL_SOURCE_DIR) + "/cwl/";
    bool _inContainers;
};

// The demo through CWL, the way the README runs it: one run with cwltool (cwl/ambrel.cwl), and two
// runs whose libraries share a name (cwl/ambrel-runs.cwl with cwl/demo-runs-job.yml) with cwltool
// and with Toil on a one-node Slurm cluster (scripts/slurm-local.sh; root only).
TEST(GoldenRunWorkflows, CwlToolAndToilOnSlurmGiveTheGoldenOutputs) {
    for (const char* tool : {"cwltool", "toil-cwl-runner"})
        AMBREL_SKIP_UNLESS(!findProgram(tool).empty(),
                           std::string(tool) + " is not installed (Debian: cwltool, toil)");
    WorkflowDemo demo(false);
    demo.checkOneRun();
    demo.run("cwltool", "ambrel-runs.cwl", "demo-runs-job.yml", demo.inputs.dir.file("runs"));
    demo.checkRuns(demo.inputs.dir.file("runs"));

    AMBREL_SKIP_UNLESS(geteuid() == 0 && !findProgram("slurmctld").empty(),
                       "a one-node Slurm cluster needs root and Debian's slurmctld, slurmd, "
                       "slurm-client and munge");
    std::string slurm = std::string(AMBREL_SOURCE_DIR) + "/scripts/slurm-local.sh";
    ProcessResult started = runProcess({"bash", slurm, "start"});
    ASSERT_EQ(started.status, 0) << started.err;
    std::string conf = started.out.substr(started.out.find('=') + 1);
    conf.erase(conf.find_last_not_of("\n") + 1);
    setenv("SLURM_CONF", conf.c_str(), 1);
    demo.run("toil-cwl-runner --batchSystem slurm --statePollingWait 2 --jobStore file:" +
                 demo.inputs.dir.file("js") + " --workDir " + demo.inputs.dir.path(),
             "ambrel-runs.cwl", "demo-runs-job.yml", demo.inputs.dir.file("slurm"));
    unsetenv("SLURM_CONF");
    EXPECT_EQ(runProcess({"bash", slurm, "stop"}).status, 0);
    demo.checkRuns(demo.inputs.dir.file("slurm"));
}

// The image that scripts/container.sh builds (AMBREL_IMAGE, set by `container.sh test`): the demo
// run in it as a user runs it (podman run -v, the folders at the same paths), then cwl/ambrel.cwl
// under cwltool and the two-run scatter under Toil, each step in a container of the image. Every
// output is the golden run's. The usual test run has no image and skips this.
TEST(ContainerImage, DemoCwltoolAndToilGiveTheGoldenOutputs) {
    const char* image = std::getenv("AMBREL_IMAGE");
    if (!image)
        GTEST_SKIP() << "no image to test: bash scripts/container.sh test builds one and runs this";
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::string runDir = inputs.dir.file("run"), source = AMBREL_SOURCE_DIR;
    inputs.binary = "ambrel"; // the image's
    inputs.wrapper = {"podman",
                      "run",
                      "--rm",
                      "-v",
                      source + ":" + source + ":ro",
                      "-v",
                      inputs.dir.path() + ":" + inputs.dir.path(),
                      "-w",
                      runDir,
                      image};
    ProcessResult result = inputs.run(runDir);
    ASSERT_EQ(result.status, 0) << result.err;
    compareWithExpected("wta", runOutputs(runDir), {"files.txt"});

    WorkflowDemo demo(true);
    demo.checkOneRun();
    demo.run("toil-cwl-runner --jobStore file:" + demo.inputs.dir.file("js") + " --workDir " +
                 demo.inputs.dir.path(),
             "ambrel-runs.cwl", "demo-runs-job.yml", demo.inputs.dir.file("toil"));
    demo.checkRuns(demo.inputs.dir.file("toil"));
}
