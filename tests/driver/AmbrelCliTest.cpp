// The real ambrel binary on the demo data with one thing wrong at a time: exit status, the message
// that names the cause, and what the run leaves in its directory.
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// Every entry of a run folder: a file's contents, a link's target, a folder's name. The lock's
// contents (a process id) and the folders failed runs leave are not results.
std::map<std::string, std::string> folderState(const std::string& dir) {
    std::map<std::string, std::string> state;
    for (const std::string& name : directoryNames(dir)) {
        fs::path path = fs::path(dir) / name;
        if (name.rfind("Ambrel_unfinished_run_", 0) == 0 || name == ".ambrel.lock")
            continue;
        state[name] = fs::is_symlink(path)     ? "-> " + fs::read_symlink(path).string()
                      : fs::is_directory(path) ? "<folder>"
                                               : readFile(path.string());
    }
    return state;
}

// A damaged rerun in a folder that holds a completed run: what it does to the inputs or the
// folder, its arguments, the status and the messages it must give.
struct FailureCase {
    const char* name;
    std::function<void(RunInputs&, const std::string& runDir)> damage;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> messages;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

std::string quality(const std::string& sample1Entry) {
    return "{\"Read Quality Metrics\": {\"Sample1\": " + sample1Entry +
           ", \"Combined_stats\": " + qualityEntry(10, 9) + "}}";
}

std::vector<FailureCase> failureCases() {
    auto noop = [](RunInputs&, const std::string&) {};
    const std::string unfinished = "The run did not complete. Its partial outputs are in ";
    return {
        // Command line.
        {"UnsupportedAssay",
         noop,
         {"--assay", "ATAC"},
         2,
         {"CRITICAL Only WTA or Targeted assay types supported !"}},
        {"MoreThreadsThanFragments",
         noop,
         {"--threads", "99999"},
         2,
         {"--threads 99999 is more than 4096"}},
        // Run metadata.
        {"MissingMetadata",
         [](RunInputs& in, const std::string&) { in.metadata = in.dir.file("absent.json"); },
         {},
         1,
         {"Ambrel: CRITICAL Failed to load the run metadata file: "}},
        {"TruncatedMetadata",
         [](RunInputs& in, const std::string&) {
             in.metadata = in.write("meta.json", "{\"Run_Base_Name\": ");
         },
         {},
         1,
         {"Failed to parse the JSON string"}},
        {"RunBaseNameWithASlash",
         [](RunInputs& in, const std::string&) {
             in.metadata =
                 in.write("meta.json", R"({"Run_Base_Name": "a/b", "Output_Header": []})");
             in.bams = {"a/b_Sample1_Aligned.out.bam"};
         },
         {},
         2,
         {"The Run_Base_Name \"a/b\" of the run metadata"}},
        {"NoOutputHeader",
         [](RunInputs& in, const std::string&) {
             in.metadata = in.write("meta.json", R"({"Run_Base_Name": "Demo"})");
         },
         {},
         2,
         {"Cannot create iterator for non-iterable type: undefined"}},
        // Read-quality metrics.
        {"LibraryMissingFromTheQualityMetrics",
         [](RunInputs& in, const std::string&) {
             in.quality = in.write("q.json", "{\"Read Quality Metrics\": {\"Combined_stats\": " +
                                                 qualityEntry(10, 9) + "}}");
         },
         {},
         2,
         {"The Read Quality Metrics json file is missing information for the library: Sample1, "
          "cannot create the metrics summary file !"}},
        {"NegativeQualityCount",
         [](RunInputs& in, const std::string&) {
             std::string entry = qualityEntry(10, 9);
             entry.replace(entry.find("\"Short reads\": 5"), 16, "\"Short reads\": -5");
             in.quality = in.write("q.json", quality(entry));
         },
         {},
         2,
         {"has no whole, non-negative number \"Short reads\" for the library Sample1", "q.json"}},
        {"FractionalQualityCount",
         [](RunInputs& in, const std::string&) {
             in.quality = in.write("q.json", quality(qualityEntry(10, 9).replace(
                                                 qualityEntry(10, 9).find(": 10,"), 5, ": 10.5,")));
         },
         {},
         2,
         {"\"Total number of reads\" for the library Sample1"}},
        {"QualityFileThatIsNotJson",
         [](RunInputs& in, const std::string&) { in.quality = in.write("q.json", "{\"Read"); },
         {},
         2,
         {"Cannot read the read-quality metrics file \"", "parseString: Unexpected character"}},
        // GTF.
        {"UnreadableGtf",
         [](RunInputs& in, const std::string&) { in.gtf = "missing/genes.gtf"; },
         {},
         2,
         {"CRITICAL Cannot open the GTF file \"missing/genes.gtf\": No such file or directory"}},
        {"BadGtfCoordinate",
         [](RunInputs& in, const std::string&) {
             std::string gtf = readFile(in.gtf);
             size_t exon = gtf.find("\texon\t");
             in.gtf = in.write("genes.gtf", gtf.substr(0, exon + 6) + "-100" +
                                                gtf.substr(gtf.find('\t', exon + 6)));
         },
         {},
         2,
         {"genes.gtf\", line ", ": the start \"-100\" of the exon line"}},
        // BAMs.
        {"BamNameShorterThanTheRunPrefix",
         [](RunInputs& in, const std::string&) { in.bams = {"data/x.bam"}; },
         {},
         2,
         {"\"data/x.bam\""}},
        {"TwoBamsWithOneLibraryName",
         [](RunInputs& in, const std::string&) {
             fs::create_directories(in.dir.file("other"));
             fs::copy(in.dir.file(in.bams[0]), in.dir.file("other/" + in.bams[0]));
             in.bams.push_back(in.dir.file("other/" + in.bams[0]));
         },
         {},
         2,
         {"give the same library name \"Sample1\""}},
        {"MissingBam",
         [](RunInputs& in, const std::string&) { in.bams = {"Demo_Absent_Aligned.out.bam"}; },
         {},
         2,
         {"Cannot open the BAM file \"Demo_Absent_Aligned.out.bam\": No such file"}},
        {"BamThatSamtoolsCannotRead",
         [](RunInputs& in, const std::string&) { in.write(in.bams[0], "not a BAM at all\n"); },
         {},
         2,
         {"Non-zero exit code when running the below command:", unfinished}},
        {"MalformedReadName",
         [](RunInputs& in, const std::string&) {
             SamText sam({"chrD:100000"});
             sam.writeBam(in.dir.file(in.bams[0]),
                          {samLine("ok;1;ACGTACGT", 0, "chrD", 100, "50M"),
                           samLine("noSemicolons", 0, "chrD", 100, "50M")});
         },
         {},
         1,
         {"CRITICAL Encountered critical error(s) in the annotation threads. Exiting...\n",
          unfinished}},
        // External programs and the folder.
        {"MissingTar",
         [](RunInputs&, const std::string& runDir) {
             fs::create_directories(runDir + "/../bin");
             for (std::string program : {"samtools", "sort", "pigz"}) {
                 std::string found = runProcess({"sh", "-c", "command -v " + program}).out;
                 fs::create_symlink(found.substr(0, found.find('\n')),
                                    runDir + "/../bin/" + program);
             }
         },
         {},
         2,
         {"cannot run tar: No such file or directory on PATH"}},
        {"AnotherRunInTheFolder",
         [](RunInputs&, const std::string& runDir) {
             // A process that holds the folder's lock, as a running Ambrel does.
             runProcess({"sh", "-c", "flock -n " + runDir + "/.ambrel.lock sleep 5 & sleep 1"});
         },
         {},
         2,
         {"Another Ambrel run (process ", ") is working in the folder "}},
    };
}

class RunFailure : public testing::TestWithParam<FailureCase> {};

} // namespace

// A failing rerun stops with its status and a message that names the cause, and leaves the
// outputs of the completed run before it as they were.
TEST_P(RunFailure, StopsAndLeavesTheEarlierOutputsAsTheyWere) {
    const FailureCase& c = GetParam();
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::string runDir = inputs.dir.file("run");
    ASSERT_EQ(inputs.run(runDir).status, 0);
    std::map<std::string, std::string> before = folderState(runDir);
    c.damage(inputs, runDir);
    std::vector<std::string> args = inputs.args(c.args);
    if (std::string(c.name) == "MissingTar") // the run's PATH: samtools, sort and pigz only
        args.insert(args.begin(), {"env", "PATH=" + runDir + "/../bin"});
    ProcessResult result = runProcess(args, runDir);
    EXPECT_EQ(result.status, c.status) << result.err;
    for (const std::string& message : c.messages)
        EXPECT_NE(result.err.find(message), std::string::npos) << message << "\n" << result.err;
    EXPECT_EQ(result.err.find("Ambrel has completed"), std::string::npos);
    EXPECT_EQ(result.err.find("LeakSanitizer"), std::string::npos) << result.err;
    EXPECT_EQ(folderState(runDir), before);
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

TEST(AmbrelCli, VersionsNameTheProgramAndHtslib) {
    for (const char* program : {AMBREL_BINARY, BAM_SPLITTER_BINARY}) {
        ProcessResult result = runProcess({program, "--version"});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(std::regex_match(
            result.out,
            std::regex(R"((ambrel|bamSplitter) \d+\.\d+\.\d+ \(HTSlib \d+\.\d+.*\)\n)")))
            << result.out;
    }
}

// Without --threads a run uses the processors it may run on, not every processor of the machine.
TEST(AmbrelCli, DefaultThreadsAreTheProcessorsItMayUse) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::vector<std::string> args = inputs.args();
    auto threads = std::find(args.begin(), args.end(), "--threads");
    args.erase(threads, threads + 2);
    args.insert(args.begin(), {"taskset", "-c", "0"});
    fs::create_directories(inputs.dir.file("run"));
    fs::create_symlink(inputs.dir.file(inputs.bams[0]), inputs.dir.file("run/" + inputs.bams[0]));
    ProcessResult result = runProcess(args, inputs.dir.file("run"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Using 1 total threads"), std::string::npos) << result.err;
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

// A rerun that runs out of space leaves the completed run's outputs as they were: on a small
// file system (root can mount one) filled to within a few kilobytes, else under a file-size limit.
TEST(AmbrelCli, FullDiskLeavesTheEarlierOutputsAsTheyWere) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::string runDir = inputs.dir.file("run");
    fs::create_directories(runDir);
    bool mounted =
        runProcess({"mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", runDir}).status == 0;
    ASSERT_EQ(inputs.run(runDir).status, 0);
    std::vector<std::string> args = inputs.args();
    if (mounted) {
        fs::space_info space = fs::space(runDir);
        // Room for the fragments but not for the annotated BAMs: the workers' writes and closes
        // fail.
        std::string filler(space.available - 200 * 1024, 'x');
        writeFile(runDir + "/filler", filler);
    } else if (runProcess({"sh", "-c", "ulimit -f 100"}).status == 0) {
        args.insert(args.begin(), {"sh", "-c", "ulimit -f 100; exec \"$@\"", "sh"});
    } else {
        GTEST_SKIP() << "neither a small file system nor a file-size limit can be had here";
    }
    std::map<std::string, std::string> before = folderState(runDir);
    ProcessResult result = runProcess(args, runDir);
    EXPECT_NE(result.status, 0) << result.err;
    EXPECT_EQ(folderState(runDir), before);
    if (mounted) {
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(result.err.find("LeakSanitizer"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("The run did not complete. Its partial outputs are in "),
                  std::string::npos)
            << result.err;
        runProcess({"umount", runDir});
    }
}
