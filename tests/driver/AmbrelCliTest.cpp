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

// A damaged rerun in a folder that holds a completed run: a shell command run in the folder
// beforehand (the inputs are in its parent), the arguments that follow the usual ones, the status
// and the messages the run must give, and when set, the one folder (relative to the run folder)
// that is the run's PATH.
struct FailureCase {
    const char* name;
    std::string damage;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> messages;
    std::string path = "";
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

// The shell command that writes text to path: a here-document, so a command after it goes on a
// line of its own.
std::string writes(const std::string& path, const std::string& text) {
    return "cat > " + path + " <<'EOF'\n" + text + "\nEOF";
}

// Read-quality metrics for Sample1 with one entry, and the run-wide one.
std::string quality(const std::string& sample1) {
    return "{\"Read Quality Metrics\": {" + sample1 + "\"Combined_stats\": " + qualityEntry(10, 9) +
           "}}";
}

std::vector<FailureCase> failureCases() {
    const std::string unfinished = "The run did not complete. Its partial outputs are in ";
    const std::string bam = "../Demo_Sample1_Aligned.out.bam";
    std::string negative = qualityEntry(10, 9);
    negative.replace(negative.find("\"Short reads\": 5"), 16, "\"Short reads\": -5");
    return {
        // Command line.
        {"UnsupportedAssay", "", {"--assay", "ATAC"}, 2, {"CRITICAL Only WTA or Targeted"}},
        {"TooManyThreads", "", {"--threads", "99999"}, 2, {"--threads 99999 is more than 4096"}},
        // Run metadata.
        {"MissingMetadata",
         "",
         {"--run-metadata", "../absent.json"},
         1,
         {"Ambrel: CRITICAL Failed to load the run metadata file: "}},
        {"RunBaseNameWithASlash",
         writes("../meta.json", R"({"Run_Base_Name": "a/b", "Output_Header": []})"),
         {"--run-metadata", "../meta.json"},
         2,
         {"The Run_Base_Name \"a/b\" of the run metadata"}},
        // Read-quality metrics.
        {"LibraryMissingFromTheQualityMetrics",
         writes("../q.json", quality("")),
         {"--quality-metrics", "../q.json"},
         2,
         {"The Read Quality Metrics json file is missing information for the library: Sample1, "
          "cannot create the metrics summary file !"}},
        {"NegativeQualityCount",
         writes("../q.json", quality("\"Sample1\": " + negative + ", ")),
         {"--quality-metrics", "../q.json"},
         2,
         {"has no whole, non-negative number \"Short reads\" for the library Sample1", "q.json"}},
        {"UnreadableGtf",
         "",
         {"--gtf", "missing/genes.gtf"},
         2,
         {"CRITICAL Cannot open the GTF file \"missing/genes.gtf\": No such file or directory"}},
        // BAMs.
        {"TwoBamsWithOneLibraryName",
         "mkdir ../other && cp " + bam + " ../other/",
         {"--r2-bam", "../other/Demo_Sample1_Aligned.out.bam"},
         2,
         {"give the same library name \"Sample1\""}},
        {"MissingBam",
         "",
         {"--r2-bam", "Demo_Absent_Aligned.out.bam"},
         2,
         {"Cannot open the BAM file \"Demo_Absent_Aligned.out.bam\": No such file"}},
        {"BamThatSamtoolsCannotRead",
         "echo not a BAM > " + bam,
         {},
         2,
         {"Non-zero exit code when running the below command:", unfinished}},
        {"MalformedReadName",
         writes("../bad.sam",
                "@SQ\tSN:chrD\tLN:1000\n" + samLine("noSemicolons", 0, "chrD", 100, "50M", "")) +
             "\nsamtools view -b -o " + bam + " ../bad.sam",
         {},
         1,
         {"CRITICAL Encountered critical error(s) in the annotation threads. Exiting...\n",
          unfinished}},
        // External programs and the folder.
        {"MissingTar",
         "mkdir ../bin && for p in samtools sort pigz; do ln -s $(command -v $p) ../bin/; done",
         {},
         2,
         {"cannot run tar: No such file or directory on PATH"},
         "../bin"},
        // A process that holds the folder's lock, as a running Ambrel does.
        {"AnotherRunInTheFolder",
         "flock -n .ambrel.lock sleep 5 & sleep 1",
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
    ASSERT_EQ(runProcess({"sh", "-c", c.damage}, runDir).status, 0) << c.damage;
    std::vector<std::string> args = inputs.args(c.args);
    if (!c.path.empty())
        args.insert(args.begin(), {"env", "PATH=" + runDir + "/" + c.path});
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

// The usage text, after the logger's first lines, is tests/golden/help.txt.
TEST(AmbrelCli, HelpAndVersionExitZero) {
    ProcessResult help = runProcess({AMBREL_BINARY, "--HELP"});
    EXPECT_EQ(help.status, 0);
    size_t usage = help.err.find("Usage: ");
    ASSERT_NE(usage, std::string::npos) << help.err;
    EXPECT_EQ(help.err.substr(usage),
              readFile(std::string(AMBREL_SOURCE_DIR) + "/tests/golden/help.txt"));
    for (const char* program : {AMBREL_BINARY, BAM_SPLITTER_BINARY}) {
        ProcessResult version = runProcess({program, "--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_TRUE(std::regex_match(
            version.out,
            std::regex(R"((ambrel|bamSplitter) \d+\.\d+\.\d+ \(HTSlib \d+\.\d+.*\)\n)")))
            << version.out;
    }
}

// Unknown flags and a flag without its value are reported; missing required ones listed in order.
TEST(AmbrelCli, MissingRequiredOptionsExitOne) {
    ProcessResult result = runProcess({AMBREL_BINARY, "--assay", "WTA", "--bogus", "--gtf"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(
                  "Unknown option flag: --bogus\nRequired value not present for option: --gtf\n"),
              std::string::npos);
    EXPECT_NE(result.err.find("Error: Missing Required Option Flags:\n    --gtf\n    --r2-bam\n"
                              "    --run-metadata\n    --transcript-length\n"),
              std::string::npos)
        << result.err;
}

// Without --threads a run uses the processors it may run on; debug messages reach both loggers.
TEST(AmbrelCli, DefaultThreadsAndDebugMessages) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::vector<std::string> args = inputs.args({"--message-level", "debug"});
    auto threads = std::find(args.begin(), args.end(), "--threads");
    args.erase(threads, threads + 2);
    args.insert(args.begin(), {"taskset", "-c", "0"});
    fs::create_directories(inputs.dir.file("run"));
    fs::create_symlink(inputs.dir.file(inputs.bams[0]), inputs.dir.file("run/" + inputs.bams[0]));
    ProcessResult result = runProcess(args, inputs.dir.file("run"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("Using 1 total threads"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(
                  "Ambrel: DEBUG    Running with parameters:\n\trun-metadata: " + inputs.metadata +
                  "\n\tr2-bam: [\n\t\t\"Demo_Sample1_Aligned.out.bam\",\n\t]\n"),
              std::string::npos);
    EXPECT_NE(result.err.find("Util: DEBUG    Calling fopen on the given path to a JSON file: "),
              std::string::npos);
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
        // Room for the fragments but not for the annotated BAMs: the workers' writes fail.
        writeFile(runDir + "/filler", std::string(fs::space(runDir).available - 200 * 1024, 'x'));
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
        runProcess({"umount", runDir});
    }
}
