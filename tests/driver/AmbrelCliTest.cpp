// The real ambrel binary on the demo data with one thing wrong at a time: exit status, the message
// that names the cause, and what the run leaves in its directory.
#include <filesystem>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct FailureCase {
    const char* name;
    std::function<void(RunInputs&)> damage;
    std::vector<std::string> args;
    int status;
    std::string message;
};

std::vector<FailureCase> failureCases() {
    auto noop = [](RunInputs&) {};
    return {
        {"UnsupportedAssay",
         noop,
         {"--assay", "ATAC"},
         2,
         "CRITICAL Only WTA or Targeted assay types supported !"},
        {"MissingMetadata",
         [](RunInputs& in) { in.metadata = in.dir.file("absent.json"); },
         {},
         1,
         "Ambrel: CRITICAL Failed to load the run metadata file: "},
        {"TruncatedMetadata",
         [](RunInputs& in) { in.metadata = in.write("meta.json", "{\"Run_Base_Name\": "); },
         {},
         1,
         "Failed to parse the JSON string"},
        {"UnreadableGtf",
         [](RunInputs& in) { in.gtf = "missing/genes.gtf"; },
         {},
         2,
         "CRITICAL Cannot open the GTF file \"missing/genes.gtf\": No such file or directory"},
        {"BamNameShorterThanTheRunPrefix",
         [](RunInputs& in) { in.bams = {"data/x.bam"}; },
         {},
         2,
         "\"data/x.bam\""},
        {"LibraryMissingFromTheQualityMetrics",
         [](RunInputs& in) {
             in.quality =
                 in.write("quality.json",
                          "{\"Read Quality Metrics\": {\"Other\": " + qualityEntry(10, 9) + "}}");
         },
         {},
         2,
         "The Read Quality Metrics json file is missing information for the library: Sample1, "
         "cannot create the metrics summary file !"},
        {"BamThatSamtoolsCannotRead",
         [](RunInputs& in) { in.write(in.bams[0], "not a BAM at all\n"); },
         {},
         2,
         "Non-zero exit code when running the below command:"},
        {"MissingBam",
         [](RunInputs& in) { in.bams = {"Demo_Absent_Aligned.out.bam"}; },
         {},
         2,
         "Demo_Absent_Aligned.out.bam"},
        {"MalformedReadName",
         [](RunInputs& in) {
             SamText sam({"chrD:100000"});
             sam.writeBam(in.dir.file(in.bams[0]),
                          {samLine("ok;1;ACGTACGT", 0, "chrD", 100, "50M"),
                           samLine("noSemicolons", 0, "chrD", 100, "50M")});
         },
         {},
         1,
         "CRITICAL Encountered critical error(s) in the annotation threads. Exiting...\n"},
    };
}

class RunFailure : public testing::TestWithParam<FailureCase> {};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

} // namespace

TEST_P(RunFailure, StopsWithStatusAndMessageAndNoReport) {
    const FailureCase& c = GetParam();
    RunInputs inputs;
    inputs.addDemoLibrary();
    c.damage(inputs);
    std::string runDir = inputs.dir.file("run");
    ProcessResult result = inputs.run(runDir, c.args);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Ambrel has completed"), std::string::npos);
    EXPECT_FALSE(fs::exists(runDir + "/Demo_SeqMetrics.csv"));
    EXPECT_FALSE(fs::exists(runDir + "/num_vdj_reads.json"));
}

INSTANTIATE_TEST_SUITE_P(Cli, RunFailure, testing::ValuesIn(failureCases()),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

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

TEST(AmbrelCli, DebugLevelLogsTheParametersOnBothLoggers) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    ProcessResult result = inputs.run(inputs.dir.file("run"), {"--message-level", "debug"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find(
                  "Ambrel: DEBUG    Running with parameters:\n\trun-metadata: " + inputs.metadata +
                  "\n\tr2-bam: [\n\t\t\"Demo_Sample1_Aligned.out.bam\",\n\t]\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("Util: DEBUG    Calling fopen on the given path to a JSON file: "),
              std::string::npos);
    ProcessResult quiet = inputs.run(inputs.dir.file("quiet"));
    EXPECT_EQ(quiet.err.find("DEBUG"), std::string::npos);
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
