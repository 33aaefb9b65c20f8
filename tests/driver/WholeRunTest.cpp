// Whole runs of the real ambrel binary, with the real samtools, bamSplitter, sort, pigz and tar,
// on inputs written by the test.
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>

#include "TestSupport.h"
#include "features/FeatureTestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> REFERENCES = {"chr1:100000", "phiX174:5386", "CD4|pAbO:200",
                                             "Tag1_hs|stAbO:200", "Tag2_hs|stAbO:200"};

std::string runGtf() {
    return gtfLine("chr1", "gene", 1001, 5000, '+', geneAttributes("G1", "GENEA")) +
           gtfLine("chr1", "exon", 1001, 2000, '+', geneAttributes("G1", "GENEA")) +
           gtfLine("chr1", "exon", 4001, 5000, '+', geneAttributes("G1", "GENEA")) +
           gtfLine("chr1", "gene", 10001, 15000, '-', geneAttributes("G2", "GENEB")) +
           gtfLine("chr1", "exon", 10001, 11000, '-', geneAttributes("G2", "GENEB")) +
           gtfLine("chr1", "gene", 20001, 22000, '+', geneAttributes("T1", "TRAV1", "TR_V_gene")) +
           gtfLine("chr1", "exon", 20001, 22000, '+', geneAttributes("T1", "TRAV1", "TR_V_gene")) +
           gtfLine("chr1", "gene", 30001, 32000, '-', geneAttributes("B1", "IGHV1", "IG_V_gene")) +
           gtfLine("chr1", "exon", 30001, 32000, '-', geneAttributes("B1", "IGHV1", "IG_V_gene"));
}

// SAM lines of `reads` reads (a read is one or three records), deterministic per seed.
std::vector<std::string> readLines(int reads, unsigned seed, const std::string& prefix = "r") {
    std::mt19937 random(seed);
    std::vector<std::string> lines;
    auto bases = [&random](int n) {
        std::string s(n, 'A');
        for (char& c : s)
            c = "ACGT"[random() % 4];
        return s;
    };
    for (int i = 0; i < reads; ++i) {
        std::string umi = bases(random() % 25 == 0 ? 7 : 8);
        std::string name =
            prefix + std::to_string(i) + ";" + std::to_string(1 + random() % 30) + ";" + umi;
        std::string seq = bases(50), qual(50, 'I');
        auto line = [&](int flag, const std::string& ref, long pos, const std::string& cigar,
                        int nh) {
            lines.push_back(name + "\t" + std::to_string(flag) + "\t" + ref + "\t" +
                            std::to_string(pos) + "\t255\t" + cigar + "\t*\t0\t0\t" + seq + "\t" +
                            qual + "\tNH:i:" + std::to_string(nh));
        };
        switch (random() % 12) {
        case 0:
        case 1:
        case 2:
            line(0, "chr1", 1001 + random() % 900, "50M", 1); // GENEA exon
            break;
        case 3:
            line(16, "chr1", 10001 + random() % 900, "50M", 1); // GENEB exon
            break;
        case 4:
            line(0, "chr1", 2500 + random() % 1000, "50M", 1); // GENEA intron
            break;
        case 5:
            line(0, "chr1", 1981, "20M2001N30M", 1); // spliced GENEA
            break;
        case 6:
            line(0, "chr1", 20101 + random() % 1000, "50M", 1); // TRAV1
            break;
        case 7:
            line(16, "chr1", 30101 + random() % 1000, "50M", 1); // IGHV1
            break;
        case 8:
            line(0, "CD4|pAbO", 1 + random() % 5, "50M", 1);
            break;
        case 9:
            line(0, random() % 2 ? "Tag1_hs|stAbO" : "Tag2_hs|stAbO", 1 + random() % 5, "50M", 1);
            break;
        case 10:
            line(0, "chr1", 1101, "50M", 3);
            line(256, "chr1", 50001, "50M", 3);
            line(256, "chr1", 1201, "50M", 3);
            break;
        default:
            if (random() % 2)
                line(0, "phiX174", 100, "50M", 1);
            else
                lines.push_back(name + "\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq + "\t" + qual +
                                "\tNH:i:0");
            break;
        }
    }
    return lines;
}

std::string qualityEntry(unsigned long total, unsigned long afterFilter) {
    return "{\"Total number of reads\": " + std::to_string(total) +
           ", \"Overlapping reads\": 3, \"Short reads\": 5, \"Low quality score per base reads\": "
           "7, \"High single nucleotide frequency reads\": 2, \"Number of reads after quality "
           "filtering\": " +
           std::to_string(afterFilter) +
           ", \"Percentage of Q30 bases in filtered R2 reads\": 90.5}";
}

struct RunResult {
    ProcessResult process;
    std::string dir;
};

class WholeRun : public testing::Test {
protected:
    WholeRun() : sam(REFERENCES) {
        writeFile(dir.file("genes.gtf"), runGtf());
        writeFile(dir.file("extra.fa"),
                  ">CD4|pAbO\nACGT\n>Tag1_hs|stAbO\nACGT\n>Tag2_hs|stAbO\nAC\n");
        writeFile(dir.file("lengths.json"), "{}");
        metadata(R"("VDJ_Version": "human", "Sample_Tags_Version": "hs")");
        quality({"LibOne", "LibTwo"});
    }

    void metadata(const std::string& extra) {
        writeFile(dir.file("meta.json"), "{\"Run_Base_Name\": \"Run\", \"Output_Header\": "
                                         "[\"## header one\", \"## header two\"], " +
                                             extra + "}");
    }
    void quality(const std::vector<std::string>& libraries) {
        std::string text = "{\"Read Quality Metrics\": {";
        for (const std::string& library : libraries)
            text += "\"" + library + "\": " + qualityEntry(1000, 900) + ", ";
        text += "\"Combined_stats\": " + qualityEntry(2000, 1800) + "}}";
        writeFile(dir.file("quality.json"), text);
    }
    // A library BAM named Run_<library>_Aligned.out.bam in the run directory.
    std::string library(const std::string& name, const std::vector<std::string>& lines) {
        std::vector<bam1_t*> records;
        for (const std::string& line : lines)
            records.push_back(sam.record(line));
        std::string path = "Run_" + name + "_Aligned.out.bam";
        writeBam(dir.file(path), sam, records);
        return path;
    }

    // Runs ambrel in a fresh directory below the test's, with the inputs linked in.
    RunResult run(const std::string& label, const std::vector<std::string>& bams,
                  std::vector<std::string> extraArgs = {}) {
        std::string runDir = dir.file(label);
        fs::create_directory(runDir);
        std::string bamList;
        for (const std::string& bam : bams) {
            fs::create_symlink(dir.file(bam), runDir + "/" + bam);
            bamList += (bamList.empty() ? "" : ",") + bam;
        }
        std::vector<std::string> args = {AMBREL_BINARY,
                                         "--run-metadata",
                                         dir.file("meta.json"),
                                         "--r2-bam",
                                         bamList,
                                         "--assay",
                                         "WTA",
                                         "--gtf",
                                         dir.file("genes.gtf"),
                                         "--transcript-length",
                                         dir.file("lengths.json"),
                                         "--extra-seqs",
                                         dir.file("extra.fa"),
                                         "--quality-metrics",
                                         dir.file("quality.json"),
                                         "--threads",
                                         "2"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        return {runProcess(args, runDir), runDir};
    }

    ScratchDir dir;
    SamText sam;
};

std::string gunzip(const std::string& path) {
    ProcessResult result = runProcess({"gzip", "-dc", path});
    EXPECT_EQ(result.status, 0) << path << ": " << result.err;
    return result.out;
}

// All valid-reads lines of a run, partition files in partition order.
std::string validReads(const std::string& runDir, const std::string& base = "Run") {
    std::string all;
    for (int p = 0; p < 32; ++p) {
        std::string path = runDir + "/" + base + "_Sorted_Valid_Reads.csv." + std::to_string(p);
        EXPECT_FALSE(fs::exists(path)) << "unsorted table left: " << path;
        if (fs::exists(path + ".gz"))
            all += gunzip(path + ".gz");
    }
    return all;
}

// The report's rows of one segment, keyed by the "Library" column.
std::map<std::string, std::vector<std::string>> segmentRows(const std::string& report,
                                                            const std::string& header) {
    std::map<std::string, std::vector<std::string>> rows;
    std::vector<std::string> lines = splitLines(report);
    auto start = std::find(lines.begin(), lines.end(), header);
    if (start == lines.end())
        return rows;
    for (auto line = start + 2; line != lines.end() && (*line)[0] != '#'; ++line) {
        std::vector<std::string> fields;
        std::string field;
        for (char c : *line + ",") {
            if (c == ',') {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        rows[fields.back()] = fields;
    }
    return rows;
}

std::vector<std::string> withoutLibrary(std::vector<std::string> row) {
    if (!row.empty())
        row.pop_back();
    return row;
}

// Every record of a library's annotated BAMs, outputs in number order.
std::vector<std::string> annotatedRecords(const std::string& runDir, const std::string& library) {
    std::vector<std::string> records;
    for (int k = 1; fs::exists(runDir + "/" + library + ".annotated." + std::to_string(k) + ".bam");
         ++k) {
        std::vector<std::string> part =
            readBamAsSam(runDir + "/" + library + ".annotated." + std::to_string(k) + ".bam");
        records.insert(records.end(), part.begin(), part.end());
    }
    return records;
}

} // namespace

TEST_F(WholeRun, OneLibraryEndToEnd) {
    std::vector<std::string> lines = readLines(600, 1);
    std::string bam = library("LibOne", lines);
    RunResult result = run("one", {bam});
    ASSERT_EQ(result.process.status, 0) << result.process.err;
    EXPECT_NE(result.process.err.find("Ambrel has completed"), std::string::npos);
    const std::string& d = result.dir;

    // Every input record once (fragments in directory order, records in input order within
    // each), name stripped, tags set.
    std::vector<std::string> written = annotatedRecords(d, "LibOne");
    ASSERT_EQ(written.size(), lines.size());
    std::multiset<std::string> inputNames, writtenNames;
    for (const std::string& line : lines)
        inputNames.insert(line.substr(0, line.find(';')) + line.substr(line.find('\t'), 30));
    for (const std::string& record : written) {
        writtenNames.insert(record.substr(0, 30 + record.find('\t')));
        EXPECT_NE(record.find("\tXF:Z:"), std::string::npos);
        EXPECT_NE(record.find("\tCB:Z:"), std::string::npos);
        EXPECT_NE(record.find("\tMR:Z:"), std::string::npos);
    }
    EXPECT_EQ(writtenNames, inputNames);
    EXPECT_FALSE(fs::exists(d + "/FeatureCountsTmpDir"));

    // Valid-reads tables: sorted by gene, cell, UMI, AbSeq UMI; one line per counted read.
    std::string table = validReads(d);
    std::string report = readFile(d + "/Run_SeqMetrics.csv");
    auto sequencing = segmentRows(report, "#Sequencing#");
    ASSERT_EQ(sequencing.size(), 2u);
    auto tags = segmentRows(report, "#Sample_Tags#");
    auto vdj = segmentRows(report, "#VDJ#");
    unsigned long useful = std::stoul(sequencing["LibOne"][5]);
    unsigned long tagLines = std::stoul(tags["LibOne"][1]);
    unsigned long vdjReads = std::stoul(vdj["LibOne"][3]);
    EXPECT_EQ(splitLines(table).size() + tagLines + vdjReads, useful);
    for (int p = 0; p < 32; ++p) {
        std::string path = d + "/Run_Sorted_Valid_Reads.csv." + std::to_string(p) + ".gz";
        if (!fs::exists(path))
            continue;
        writeFile(d + "/check.csv", gunzip(path));
        ProcessResult sorted = runProcess({"env", "LC_ALL=C", "sort", "-c", "-t", ",", "-k3,3",
                                           "-k1,1", "-k2,2", "-k4,4", d + "/check.csv"});
        EXPECT_EQ(sorted.status, 0) << path << ": " << sorted.err;
    }
    EXPECT_EQ(splitLines(gunzip(d + "/Run_SampleTag_Sorted_Valid_Reads.csv.0.gz")).size(),
              tagLines);

    // The report: preamble, five segments, one row per library and the run.
    EXPECT_EQ(report.substr(0, 28), "## header one\n## header two\n");
    for (size_t column : {1, 3, 5}) // counts; the totals come from the read-quality file
        EXPECT_EQ(sequencing["LibOne"][column], sequencing["Combined_stats"][column]);
    EXPECT_EQ(withoutLibrary(segmentRows(report, "#Alignment_Categories#")["LibOne"]),
              withoutLibrary(segmentRows(report, "#Alignment_Categories#")["Combined_stats"]));
    EXPECT_EQ(sequencing["LibOne"][0], "900");
    EXPECT_EQ(segmentRows(report, "#Read_Filtering#")["LibOne"][0], "1000");

    // VDJ reads as FASTQ and their counts.
    std::string tcr = gunzip(d + "/Run_VDJ_TCR_Valid_Reads.fastq.gz");
    EXPECT_EQ(splitLines(tcr).size(), 4 * std::stoul(vdj["LibOne"][7]));
    EXPECT_EQ(readFile(d + "/num_vdj_reads.json"), "{\n\t\"BCR\": " + vdj["Combined_stats"][5] +
                                                       ",\n\t\"TCR\": " + vdj["Combined_stats"][7] +
                                                       "\n}");
    // The external programs' logs are archived.
    ProcessResult archive = runProcess({"tar", "tzf", d + "/Run_Ambrel_Logs.tar.gz"});
    EXPECT_EQ(archive.status, 0);
    EXPECT_NE(archive.out.find("samtools_"), std::string::npos);
    EXPECT_NE(archive.out.find("bamSplitter_"), std::string::npos);
    EXPECT_EQ(readFile(d + "/gtf.gene_info.json").substr(0, 8), "{\"GENEA\"");
}

TEST_F(WholeRun, TwoLibrariesAndTheRunWideRow) {
    std::string one = library("LibOne", readLines(300, 2, "a"));
    std::string two = library("LibTwo", readLines(400, 3, "b"));
    RunResult result = run("two", {one, two});
    ASSERT_EQ(result.process.status, 0) << result.process.err;
    // Annotated outputs are numbered from 1 for each library.
    for (const char* name : {"LibOne", "LibTwo"})
        EXPECT_TRUE(fs::exists(result.dir + "/" + name + ".annotated.1.bam")) << name;
    EXPECT_EQ(annotatedRecords(result.dir, "LibOne").size() +
                  annotatedRecords(result.dir, "LibTwo").size(),
              readLines(300, 2).size() + readLines(400, 3).size());
    std::string report = readFile(result.dir + "/Run_SeqMetrics.csv");
    for (const char* header :
         {"#Sequencing#", "#Alignment_Categories#", "#Sample_Tags#", "#VDJ#"}) {
        auto rows = segmentRows(report, header);
        ASSERT_EQ(rows.size(), 3u) << header;
        std::vector<std::string> one = rows["LibOne"], two = rows["LibTwo"],
                                 all = rows["Combined_stats"];
        for (size_t c = 0; c + 1 < all.size(); ++c) {
            bool isCount = all[c].find('.') == std::string::npos && all[c] != "NA";
            // The run-wide counts are the libraries' sums (the read totals come from the
            // read-quality file's own "Combined_stats" entry).
            if (isCount && !(std::string(header) == "#Sequencing#" && c == 0)) {
                EXPECT_EQ(std::stoul(all[c]), std::stoul(one[c]) + std::stoul(two[c]))
                    << header << " column " << c;
            }
        }
    }
    EXPECT_EQ(segmentRows(report, "#Sequencing#")["Combined_stats"][0], "1800");
}

TEST_F(WholeRun, ThreadCountAndFragmentBoundariesDoNotChangeResults) {
    // Multi-mapped reads (three records) sit where the fragments of two and three threads cut.
    std::vector<std::string> lines = readLines(500, 4);
    std::string bam = library("LibOne", lines);
    RunResult single = run("t1", {bam}, {"--threads", "1"});
    RunResult two = run("t2", {bam}, {"--threads", "2"});
    RunResult three = run("t3", {bam}, {"--threads", "3"});
    for (const RunResult* r : {&single, &two, &three})
        ASSERT_EQ(r->process.status, 0) << r->process.err;
    // The outputs follow the fragments' directory order: compare the records as sets.
    auto sortedRecords = [](const RunResult& r) {
        std::vector<std::string> records = annotatedRecords(r.dir, "LibOne");
        std::sort(records.begin(), records.end());
        return records;
    };
    EXPECT_EQ(sortedRecords(single), sortedRecords(two));
    EXPECT_EQ(sortedRecords(single), sortedRecords(three));
    EXPECT_TRUE(fs::exists(three.dir + "/LibOne.annotated.3.bam"));
    EXPECT_EQ(validReads(single.dir), validReads(two.dir));
    EXPECT_EQ(validReads(single.dir), validReads(three.dir));
    EXPECT_EQ(readFile(single.dir + "/Run_SeqMetrics.csv"),
              readFile(two.dir + "/Run_SeqMetrics.csv"));
    EXPECT_EQ(readFile(single.dir + "/Run_SeqMetrics.csv"),
              readFile(three.dir + "/Run_SeqMetrics.csv"));
    EXPECT_EQ(gunzip(single.dir + "/Run_VDJ_TCR_Valid_Reads.fastq.gz").size(),
              gunzip(two.dir + "/Run_VDJ_TCR_Valid_Reads.fastq.gz").size());
}

TEST_F(WholeRun, OptionsChangeWhatCounts) {
    std::string bam = library("LibOne", readLines(400, 5));
    RunResult plain = run("plain", {bam});
    RunResult introns = run("introns", {bam}, {"--exclude-intronic-reads"});
    RunResult umiBoth = run("umi", {bam}, {"--umi-option", "2"});
    RunResult targeted = run("targeted", {bam}, {"--assay", "Targeted"});
    for (const RunResult* r : {&plain, &introns, &umiBoth, &targeted})
        ASSERT_EQ(r->process.status, 0) << r->process.err;
    auto useful = [](const RunResult& r) {
        return std::stoul(
            segmentRows(readFile(r.dir + "/Run_SeqMetrics.csv"), "#Sequencing#")["LibOne"][5]);
    };
    auto category = [](const RunResult& r, size_t column) {
        return std::stoul(segmentRows(readFile(r.dir + "/Run_SeqMetrics.csv"),
                                      "#Alignment_Categories#")["LibOne"][column]);
    };
    // Intronic reads still count as cellular "Other_Introns" but no longer as useful.
    unsigned long intronic = category(plain, 21);
    ASSERT_GT(intronic, 0u);
    EXPECT_EQ(category(introns, 21), intronic);
    EXPECT_EQ(useful(introns), useful(plain) - intronic);
    // With both UMIs joined the AbSeq reads' UMIs are 20 bases: still cellular, same counts;
    // their table lines keep the R1 UMI and the AbSeq UMI in separate fields.
    EXPECT_EQ(category(umiBoth, 3), category(plain, 3));
    EXPECT_NE(validReads(umiBoth.dir).find("CD4|pAbO,"), std::string::npos);
    // Targeted: only reads starting at the first bases on the forward strand pass; the rest of
    // the mapped reads move to "Other_No_Feature".
    EXPECT_LT(useful(targeted), useful(plain));
    EXPECT_GT(category(targeted, 17), category(plain, 17));
}

TEST_F(WholeRun, RunWithoutVdjAndSampleTags) {
    metadata(R"("Putative_Cell_Calling_Data": "mRNA")");
    std::string bam = library("LibOne", readLines(300, 6));
    RunResult result = run("plain", {bam});
    ASSERT_EQ(result.process.status, 0) << result.process.err;
    std::string report = readFile(result.dir + "/Run_SeqMetrics.csv");
    EXPECT_EQ(segmentRows(report, "#Sample_Tags#")["LibOne"],
              (std::vector<std::string>{"NA", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "NA",
                                        "LibOne"}));
    EXPECT_EQ(segmentRows(report, "#VDJ#")["Combined_stats"].front(), "NA");
    EXPECT_FALSE(fs::exists(result.dir + "/num_vdj_reads.json"));
    EXPECT_FALSE(fs::exists(result.dir + "/Run_VDJ_TCR_Valid_Reads.fastq.gz"));
    EXPECT_FALSE(fs::exists(result.dir + "/Run_VDJ_BCR_Valid_Reads.fastq.gz"));
    // Receptor genes are plain genes without a VDJ version.
    EXPECT_NE(validReads(result.dir).find(",TRAV1,"), std::string::npos);
}

TEST_F(WholeRun, MalformedReadNameFailsTheRunWithStatusOne) {
    std::vector<std::string> lines = readLines(100, 7);
    lines.push_back("noSemicolons\t0\tchr1\t1001\t255\t50M\t*\t0\t0\t*\t*\tNH:i:1");
    std::string bam = library("LibOne", lines);
    RunResult result = run("bad", {bam});
    EXPECT_EQ(result.process.status, 1);
    EXPECT_NE(result.process.err.find("CRITICAL Encountered critical error(s) in the annotation "
                                      "threads. Exiting..."),
              std::string::npos)
        << result.process.err;
    EXPECT_NE(result.process.err.find("No semicolons present in QName: noSemicolons."),
              std::string::npos);
    EXPECT_TRUE(fs::exists(result.dir + "/FeatureCountsTmpDir"));
    EXPECT_FALSE(fs::exists(result.dir + "/Run_SeqMetrics.csv"));
    EXPECT_EQ(result.process.err.find("Ambrel has completed"), std::string::npos);
}

TEST_F(WholeRun, LibraryMissingFromTheQualityMetricsLeavesNoReport) {
    quality({"SomeOtherLibrary"});
    std::string bam = library("LibOne", readLines(100, 8));
    RunResult result = run("quality", {bam});
    EXPECT_EQ(result.process.status, 2);
    EXPECT_NE(result.process.err.find("The Read Quality Metrics json file is missing information "
                                      "for the library: LibOne, cannot create the metrics summary "
                                      "file !"),
              std::string::npos)
        << result.process.err;
    EXPECT_FALSE(fs::exists(result.dir + "/Run_SeqMetrics.csv"));
    EXPECT_FALSE(fs::exists(result.dir + "/num_vdj_reads.json"));
}

TEST_F(WholeRun, UnreadableBamStopsAtTheFailingCommand) {
    writeFile(dir.file("Run_LibOne_Aligned.out.bam"), "not a BAM at all\n");
    RunResult result = run("unreadable", {"Run_LibOne_Aligned.out.bam"});
    EXPECT_EQ(result.process.status, 2);
    EXPECT_NE(result.process.err.find("Non-zero exit code when running the below command:"),
              std::string::npos);
    EXPECT_NE(result.process.err.find("samtools view -@ 2 -c Run_LibOne_Aligned.out.bam"),
              std::string::npos)
        << result.process.err;
    EXPECT_NE(result.process.err.find("CRITICAL Got non-zero exit code when making a system call."),
              std::string::npos);
    EXPECT_FALSE(fs::exists(result.dir + "/Run_SeqMetrics.csv"));

    RunResult missing = run("missing", {"Run_Absent_Aligned.out.bam"});
    EXPECT_EQ(missing.process.status, 2);
    EXPECT_NE(missing.process.err.find("Run_Absent_Aligned.out.bam"), std::string::npos);
}
