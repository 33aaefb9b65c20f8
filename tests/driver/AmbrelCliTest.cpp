// Runs the real ambrel binary on small inputs and checks its exit status and messages.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

std::vector<std::string> baseArgs() {
    return {AMBREL_BINARY,  "--run-metadata",
            "meta.json",    "--r2-bam",
            "Run7_lib.bam", "--assay",
            "WTA",          "--gtf",
            "genes.gtf",    "--transcript-length",
            "lengths.json"};
}

ProcessResult runAmbrel(std::vector<std::string> extra, const std::string& cwd) {
    std::vector<std::string> args = baseArgs();
    args.insert(args.end(), extra.begin(), extra.end());
    return runProcess(args, cwd);
}

} // namespace

TEST(AmbrelCli, HelpListsTheElevenOptionsAndExitsZero) {
    ProcessResult result = runProcess({AMBREL_BINARY, "--HELP"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    const std::string expected =
        "Usage: ambrel --assay AssayType [--exclude-intronic-reads] [--extra-seqs ExtraSequences]\n"
        "              --gtf GeneFeatures [--message-level MessageLevel] [--quality-metrics "
        "QualityMetrics]\n"
        "              --r2-bam R2BAMFiles --run-metadata MetadataFile [--threads Threads]\n"
        "              --transcript-length TranscriptLengthJSON [--umi-option UMIOption]\n"
        "\n\n\nOptions:\n"
        "    --help              show this help message and exit\n"
        "    --assay AssayType   The Assay type for the libraries: Either Targeted or WTA.\n"
        "    --exclude-intronic-reads\n"
        "                        Flag Ambrel that we should exclude intronic reads from our "
        "counts\n"
        "    --extra-seqs ExtraSequences\n"
        "                        Extra fasta sequences that reads could have been aligned to.\n"
        "    --gtf GeneFeatures  GTF file to use as a reference.\n"
        "    --message-level MessageLevel\n"
        "                        The message level to use for log messages. [default: "
        "Logger::Level::INFO]\n"
        "    --quality-metrics QualityMetrics\n"
        "                        The read quality metrics JSON file to use instead of searching "
        "of the current working directory for the relevant file.\n"
        "    --r2-bam R2BAMFiles BAM output file from the aligner.\n"
        "    --run-metadata MetadataFile\n"
        "                        The metadata associated with this run.\n"
        "    --threads Threads   The number of threads allowed to be utilized. [default: Number "
        "of available cores]\n"
        "    --transcript-length TranscriptLengthJSON\n"
        "                        The JSON file containing the length of transcripts for the input "
        "BAM file.\n"
        "    --umi-option UMIOption\n"
        "                        Specify whether to (0) use R1 UMI only, (1) use AbUMI only, or "
        "(2) use R1 UMI + AbUMI for AbSeq\n";
    // The first lines are the logger's "Started Ambrel" and "Parsing command line arguments".
    size_t usage = result.err.find("Usage: ");
    ASSERT_NE(usage, std::string::npos) << result.err;
    EXPECT_EQ(result.err.substr(usage), expected);
}

TEST(AmbrelCli, MissingRequiredOptionsExitOne) {
    ProcessResult result = runProcess({AMBREL_BINARY, "--assay", "WTA", "--bogus"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Unknown option flag: --bogus\n"), std::string::npos);
    EXPECT_NE(result.err.find("Error: Missing Required Option Flags:\n    --gtf\n    --r2-bam\n"
                              "    --run-metadata\n    --transcript-length\n"),
              std::string::npos)
        << result.err;
}

TEST(AmbrelCli, UnloadableMetadataExitsOneWithCriticalMessage) {
    ScratchDir dir;
    ProcessResult missing = runAmbrel({}, dir.path());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Ambrel: CRITICAL Failed to load the run metadata file: meta.json"),
              std::string::npos)
        << missing.err;
    writeFile(dir.file("meta.json"), "{\"Run_Base_Name\": ");
    ProcessResult truncated = runAmbrel({}, dir.path());
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.err.find("Failed to parse the JSON string"), std::string::npos);
}

TEST(AmbrelCli, UnsupportedAssayFails) {
    ScratchDir dir;
    ProcessResult result = runAmbrel({"--assay", "ATAC"}, dir.path());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("CRITICAL Only WTA or Targeted assay types supported !"),
              std::string::npos)
        << result.err;
}

TEST(AmbrelCli, SetUpLogsParametersInOrder) {
    ScratchDir dir;
    writeFile(dir.file("meta.json"), R"({"Run_Base_Name":"Run7","VDJ_Version":"human"})");
    writeFile(dir.file("genes.gtf"), "chr1\tt\tgene\t1\t100\t.\t+\t.\tgene_id \"G1\"; "
                                     "gene_name \"A\";\n");
    ProcessResult result = runAmbrel({"--r2-bam", "Run7_b.bam,Run7_c.bam", "--message-level",
                                      "debug", "--threads", "3", "--assay", "targeted"},
                                     dir.path());
    // The BAMs do not exist: the run stops when samtools cannot count the first one.
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_NE(result.err.find("Ambrel: INFO     Bam file: Run7_lib.bam\n"), std::string::npos);
    EXPECT_NE(result.err.find("Ambrel: INFO     Started Ambrel\n"), std::string::npos);
    EXPECT_NE(result.err.find("Ambrel: INFO     Using 3 total threads\n"), std::string::npos);
    EXPECT_NE(result.err.find("Ambrel: DEBUG    Running with parameters:\n\trun-metadata: "
                              "meta.json\n\tr2-bam: [\n\t\t\"Run7_lib.bam\",\n\t\t\"Run7_b.bam\","
                              "\n\t\t\"Run7_c.bam\",\n\t]\n\tgtf: genes.gtf\n\ttranscript-length: "
                              "lengths.json\n\tassay: targeted\n"),
              std::string::npos)
        << result.err;
    // Debug level also reaches the utility logger.
    EXPECT_NE(result.err.find("Util: DEBUG    Calling fopen on the given path to a JSON file: "
                              "meta.json"),
              std::string::npos);

    EXPECT_NE(result.err.find("Ambrel: INFO     Building the feature assigner\n"),
              std::string::npos);
    EXPECT_EQ(readFile(dir.file("gtf.gene_info.json")),
              "{\"A\":{\"gene_id\":\"G1\",\"gene_name\":\"A\"}}\n");

    ProcessResult quiet = runAmbrel({}, dir.path());
    EXPECT_EQ(quiet.status, 2);
    EXPECT_EQ(quiet.err.find("Running with parameters"), std::string::npos);
}

TEST(AmbrelCli, UnreadableGtfIsNamed) {
    ScratchDir dir;
    writeFile(dir.file("meta.json"), R"({"Run_Base_Name":"Run7"})");
    ProcessResult result = runAmbrel({"--gtf", "missing/genes.gtf"}, dir.path());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("CRITICAL Cannot open the GTF file \"missing/genes.gtf\": No such "
                              "file or directory"),
              std::string::npos)
        << result.err;
}

TEST(AmbrelCli, BamNameTooShortForTheRunPrefixIsNamed) {
    ScratchDir dir;
    writeFile(dir.file("meta.json"), R"({"Run_Base_Name":"LongRunName"})");
    ProcessResult result = runAmbrel({"--r2-bam", "data/x.bam"}, dir.path());
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find("\"data/x.bam\""), std::string::npos) << result.err;
}

// The first start restarts itself with the allocator settings; the user must see one run with the
// same arguments whether that happens (no GLIBC_TUNABLES) or not (the user's own, even empty).
TEST(AmbrelCli, RestartForAllocatorSettingsKeepsArgumentsAndStatus) {
    auto stripTimes = [](std::string text) {
        for (size_t at = 0; (at = text.find("[20", at)) != std::string::npos;)
            text.erase(at, 21);
        return text;
    };
    for (const char* option : {"--HELP", "--no-such-option"}) {
        ProcessResult restarted =
            runProcess({"env", "-u", "GLIBC_TUNABLES", AMBREL_BINARY, option});
        ProcessResult kept = runProcess({"env", "GLIBC_TUNABLES=", AMBREL_BINARY, option});
        EXPECT_EQ(restarted.status, kept.status) << option;
        EXPECT_EQ(stripTimes(restarted.err), stripTimes(kept.err)) << option;
        size_t started = restarted.err.find("Started Ambrel");
        ASSERT_NE(started, std::string::npos) << restarted.err;
        EXPECT_EQ(restarted.err.find("Started Ambrel", started + 1), std::string::npos)
            << "logged twice: " << restarted.err;
    }
}
