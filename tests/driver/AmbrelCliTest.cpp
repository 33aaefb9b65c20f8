// The real ambrel binary on the demo data with one thing wrong at a time: exit status, the message
// that names the cause, and what the run leaves in its directory.
#include <csignal>
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
// beforehand (the inputs are in its parent), the arguments that replace or add to the usual ones,
// the status and the messages the run must give, whether it fails only after it has started
// (else no run folder may appear and no library may start), and when set, the one folder
// (relative to the run folder) that is the run's PATH and holds the binary that runs.
struct FailureCase {
    const char* name;
    std::string damage;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> messages;
    bool late = false;
    std::string path = "";
    std::vector<std::string> environment = {}; // NAME=value words for the run
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

// The shell command that makes ../bin a folder of the run's programs but `missing`, the run's
// binary among them.
std::string tools(const std::string& missing) {
    std::string command = "mkdir -p ../bin && cp " + std::string(AMBREL_BINARY) + " ../bin/";
    for (std::string program : {"sort", "tar"})
        if (program != missing)
            command += " && ln -s $(command -v " + program + ") ../bin/";
    return command;
}

// The shell command that damages the compressed data of block k of the demo library's BAM
// (counted from the end when negative; the last is the end-of-file block).
std::string corruptBlock(int k) {
    return "python3 - <<'EOF'\n"
           "p = '../Demo_Sample1_Aligned.out.bam'\n"
           "d = bytearray(open(p, 'rb').read())\n"
           "blocks, i = [], 0\n"
           "while i < len(d):\n"
           "    blocks.append(i)\n"
           "    i += (d[i + 16] | d[i + 17] << 8) + 1\n"
           "d[blocks[" +
           std::to_string(k) +
           "] + 40] ^= 0xff\n"
           "open(p, 'wb').write(d)\n"
           "EOF";
}

// The shell command that makes the demo library's BAM from SAM records after a header.
std::string bamOf(const std::string& header, const std::vector<std::string>& records) {
    return writes("../bad.sam", header + "\n" + strJoin(records, "\n")) +
           "\nsamtools view -b -o ../Demo_Sample1_Aligned.out.bam ../bad.sam";
}

// A run that stops with status 2.
FailureCase stops(const char* name, const std::string& damage, const std::vector<std::string>& args,
                  const std::vector<std::string>& messages, bool late = false,
                  const std::string& path = "", const std::vector<std::string>& environment = {}) {
    return {name, damage, args, 2, messages, late, path, environment};
}

// A refusal of the command line or of an input file: up front, status 2, one message.
FailureCase refused(const char* name, const std::vector<std::string>& args,
                    const std::string& message) {
    return {name, "", args, 2, {message}};
}

std::vector<FailureCase> failureCases() {
    const std::string unfinished = "The run did not complete. Its partial outputs are removed; ";
    const std::string bam = "../Demo_Sample1_Aligned.out.bam";
    const std::string damaged = "Unexpected error in input BAM file. Cannot read the BAM file \"";
    const std::string help = "; see 'ambrel --help'";
    std::string negative = qualityEntry(10, 9);
    negative.replace(negative.find("\"Short reads\": 5"), 16, "\"Short reads\": -5");
    return {
        // Command line: every word placed, or the run does not start.
        refused("UnsupportedAssay", {"--assay", "ATAC"}, "supported ! --assay \"ATAC\" is neither"),
        refused("UnknownOption", {"--exclude-intronic-read"},
                "Unknown option \"--exclude-intronic-read\"" + help),
        refused("OptionEqualsValue", {"--threads=2"},
                "\"--threads=2\": write the option and its value as two words" + help),
        refused("OptionWithoutValue", {"--umi-option"}, "--umi-option needs a value" + help),
        refused("OptionInPlaceOfAValue", {"--threads", "--assay"},
                "--threads needs a value, not the option \"--assay\"" + help),
        refused("SingleOptionTwice", {"--exclude-intronic-reads", "--exclude-intronic-reads"},
                "--exclude-intronic-reads is given twice" + help),
        refused(
            "StrayWord", {"--umi-option", "1", "extra.bam"},
            "Unexpected word \"extra.bam\": it is no option and follows no option that takes it" +
                help),
        refused("ThreadsNotANumber", {"--threads", "four"},
                "--threads \"four\" is not a whole number from 1 to 4096"),
        // Run metadata.
        {"MissingMetadata",
         "",
         {"--run-metadata", "../absent.json"},
         1,
         {"Ambrel: CRITICAL Failed to load the run metadata file: "}},
        stops("RunBaseNameWithASlash",
              writes("../meta.json", R"({"Run_Base_Name": "a/b", "Output_Header": []})"),
              {"--run-metadata", "../meta.json"},
              {"The Run_Base_Name \"a/b\" of the run metadata"}),
        // Names that become file names and JSON strings: no quote, backslash or control character.
        stops("RunBaseNameWithAQuote",
              writes("../meta.json", R"({"Run_Base_Name": "De\"mo", "Output_Header": []})"),
              {"--run-metadata", "../meta.json"},
              {"The Run_Base_Name \"De\"mo\" of the run metadata \"../meta.json\" holds a double "
               "quote"}),
        stops("LibraryNameWithABackslash", "cp " + bam + " '../Demo_Sample\\1_Aligned.out.bam'",
              {"--r2-bam", "../Demo_Sample\\1_Aligned.out.bam"},
              {"The library name \"Sample\\1\" of the BAM file", "holds a backslash"}),
        // The folder holds run "Demo": run "Demo2" would delete its outputs.
        stops("AnotherRunBaseNameInTheFolder",
              writes("../meta.json", R"({"Run_Base_Name": "Demo2", "Output_Header": []})"),
              {"--run-metadata", "../meta.json"},
              {"/run holds the outputs of a completed run named \"Demo\" (",
               " files listed in .ambrel_outputs: ",
               "This run is named \"Demo2\" and would delete them. Run it in another folder, or "
               "remove those files and .ambrel_outputs first."}),
        stops("OutputHeaderNotAList",
              writes("../meta.json", R"({"Run_Base_Name": "Demo", "Output_Header": "x"})"),
              {"--run-metadata", "../meta.json"},
              {"meta.json\": Output_Header is string, not the list"}),
        // Read-quality metrics.
        stops("LibraryMissingFromTheQualityMetrics",
              writes("../q.json", quality("\"Sample2\": " + qualityEntry(10, 9) + ", ")),
              {"--quality-metrics", "../q.json"},
              {"missing information for the library: Sample1, cannot create the metrics summary "
               "file ! The library name \"Sample1\" comes from the BAM file \"Demo_Sample1_Aligned"
               ".out.bam\"; the read-quality file \"../q.json\" has entries for: Combined_stats, "
               "Sample2"}),
        stops("NegativeQualityCount",
              writes("../q.json", quality("\"Sample1\": " + negative + ", ")),
              {"--quality-metrics", "../q.json"},
              {"has no whole, non-negative number \"Short reads\" for the library Sample1",
               "q.json"}),
        // Inputs that are missing or the wrong file.
        refused(
            "UnreadableGtf", {"--gtf", "missing/genes.gtf"},
            "CRITICAL Cannot open the GTF file \"missing/genes.gtf\": No such file or directory"),
        stops("GtfWithoutGenes", "touch ../empty.gtf", {"--gtf", "../empty.gtf"},
              {"\"../empty.gtf\" yields no gene or exon line: it is empty"}),
        stops("Gff3InPlaceOfGtf",
              writes("../genes.gff3",
                     "##gff-version 3\nchrD\tx\tgene\t1\t900\t.\t+\t.\tID=G1;Name=A"),
              {"--gtf", "../genes.gff3"}, {"\"../genes.gff3\" is GFF3, not GTF"}),
        stops("Bzip2Gtf", "bzip2 -c " + demoFile("genes.gtf") + " > ../genes.gtf.bz2",
              {"--gtf", "../genes.gtf.bz2"},
              {"\"../genes.gtf.bz2\" yields no gene or exon line: it is bzip2-compressed"}),
        refused("MissingExtraSequences", {"--extra-seqs", "../typo.fasta"},
                "Cannot open the extra sequences file \"../typo.fasta\": No such file"),
        // BAMs.
        stops("TwoBamsWithOneLibraryName", "mkdir ../other && cp " + bam + " ../other/",
              {"--r2-bam", "../other/Demo_Sample1_Aligned.out.bam"},
              {"give the same library name \"Sample1\""}),
        refused("MissingBam", {"--r2-bam", "Demo_Absent_Aligned.out.bam"},
                "Cannot open the BAM file \"Demo_Absent_Aligned.out.bam\": No such file"),
        stops("NotABam", "echo not a BAM > " + bam, {},
              {"Cannot read the BAM file \"Demo_Sample1_Aligned.out.bam\": it is not a BAM file"}),
        stops("ChromosomeNamesThatMissTheGtf",
              bamOf("@SQ\tSN:D\tLN:1000", {samLine("r;AAA;CCC", 0, "D", 100, "50M", "")}), {},
              {"reference names of the BAM file \"Demo_Sample1_Aligned.out.bam\" (\"D\") is a "
               "chromosome of the GTF file",
               "(\"chrD\"",
               "The GTF names its chromosomes with \"chr\" (chrD), the BAM without (D)"}),
        // A GENCODE GTF against an Ensembl-named BAM that share one scaffold name.
        stops("ReferenceNamesThatBarelyMeetTheGtf",
              "cp ../genes.gtf ../g2.gtf && printf 'KI270728.1\\tx\\tgene\\t1\\t900\\t.\\t+\\t.\\t"
              "gene_id \"G9\"; gene_name \"G9\";\\n' >> ../g2.gtf && samtools view -h " +
                  bam +
                  " | sed 's/chrD/D/; /SN:phiX174/i @SQ\\tSN:KI270728.1\\tLN:1000' | "
                  "samtools view -b -o ../x.bam && mv ../x.bam " +
                  bam,
              {"--gtf", "../g2.gtf"},
              {"Of the mapped reads sampled from the BAM file \"Demo_Sample1_Aligned.out.bam\", ",
               "lie on references with no gene in the GTF: \"D\" ",
               "so almost no read would get a gene. The GTF names its chromosomes with \"chr\" "
               "(chrD), the BAM without (D)"}),
        stops("CramWithoutItsReference", cramCommand(bam, "../ref.fa") + " && rm ../ref.fa", {},
              {"Cannot read the CRAM file \"Demo_Sample1_Aligned.out.bam\": the reference "
               "sequences it was compressed against cannot be found. Point REF_PATH"}),
        stops("ReadNamesWithoutCellAndUmi",
              bamOf("@SQ\tSN:chrD\tLN:1000", {samLine("noSemicolons", 0, "chrD", 100, "50M", "")}),
              {},
              {"carry no cell index and UMI in their names (the first is \"noSemicolons\"); Ambrel "
               "reads names of the form <read>;<cell index>;<UMI>"}),
        // A BAM cut short, or damaged where the up-front checks sample it, is refused before
        // anything is touched.
        stops("TruncatedBam", "head -c 40000 " + bam + " > ../cut.bam && mv ../cut.bam " + bam, {},
              {"Cannot read the BAM file \"",
               "Demo_Sample1_Aligned.out.bam\": it is truncated or corrupt"}),
        stops("CorruptFirstBlock", corruptBlock(2), {},
              {"Demo_Sample1_Aligned.out.bam\": it is truncated or corrupt"}),
        // Damage past the sample: the worker that meets it stops the run, naming the file.
        {"CorruptLastPart",
         corruptBlock(-2),
         {},
         1,
         {damaged, "/Demo_Sample1_Aligned.out.bam\": it is truncated or corrupt", unfinished},
         true},
        // A malformed name deep inside a good file stops the workers.
        {"MalformedReadName",
         bamOf("@SQ\tSN:chrD\tLN:1000", {samLine("good;AAA;CCC", 0, "chrD", 100, "50M", ""),
                                         samLine("noSemicolons", 0, "chrD", 100, "50M", "")}),
         {},
         1,
         {"CRITICAL Encountered critical error(s) in the annotation threads. Exiting...\n",
          unfinished},
         true},
        // External programs and the folder.
        stops("MissingSort", tools("sort"), {},
              {"cannot run sort: No such file or directory on PATH"}, false, "../bin"),
        stops("MissingTar", tools("tar"), {}, {"cannot run tar: No such file or directory on PATH"},
              false, "../bin"),
        stops("TarNotExecutable",
              tools("tar") + " && cp $(command -v tar) ../bin/ && chmod -x "
                             "../bin/tar",
              {}, {"cannot run tar: Permission denied (", "/bin/tar is not executable)"}, false,
              "../bin"),
        // A child's failure is reported in its own words: tar archiving the logs.
        stops(
            "TarFails",
            tools("tar") + " && " +
                writes("../bin/tar", "#!/bin/sh\necho 'tar: no room for the archive' >&2\nexit 2") +
                "\nchmod +x ../bin/tar",
            {},
            {"Non-zero exit code when running the below command:", "tar: no room for the archive",
             "The command \"tar\" ended with exit code 2. The log files it was to archive are "
             "kept in ",
             unfinished},
            true, "../bin"),
        // The external sort's failure, in its own words, in the summary.
        stops(
            "SortFails",
            tools("sort") + " && " +
                writes("../bin/sort", "#!/bin/sh\necho 'sort: write failed: /tmp/x' >&2\nexit 2") +
                "\nchmod +x ../bin/sort",
            {},
            {"Non-zero exit code when running the below command:", "sort: write failed: /tmp/x",
             "CRITICAL Got non-zero exit code when making a system call. The command \"sort\" "
             "ended with exit code 2.",
             unfinished},
            true, "../bin", {"AMBREL_SORT_MEMORY_MB=1"}),
        stops("SortMemoryNotANumber", "", {},
              {"AMBREL_SORT_MEMORY_MB \"lots\" is not a whole number of megabytes from 1"}, false,
              "", {"AMBREL_SORT_MEMORY_MB=lots"}),
        refused("MissingTranscriptLengths", {"--transcript-length", "../absent.json"},
                "Cannot open the transcript-length file \"../absent.json\": No such file"),
        stops("MissingDefaultQualityFile", "rm ReadQualityMetrics.json", {},
              {"Cannot read the read-quality metrics file \"ReadQualityMetrics.json\""}),
        stops("QualityWithoutCombinedStats",
              writes("../q.json",
                     "{\"Read Quality Metrics\": {\"Sample1\": " + qualityEntry(10, 9) + "}}"),
              {"--quality-metrics", "../q.json"},
              {"missing information for the library: Combined_stats"}),
        // A worker that throws (as one does when memory runs out) ends the run with its message.
        {"WorkerThrows",
         "",
         {},
         1,
         {"Out of memory in a worker thread", unfinished},
         true,
         "",
         {"AMBREL_TEST_WORKER_FAILURE=1"}},
        // A process that holds the folder's lock, as a running Ambrel does, or a shared lock.
        stops("AnotherRunInTheFolder", "flock -n .ambrel.lock sleep 5 & sleep 1", {},
              {"Another Ambrel run (process ", ") is working in the folder "}),
        stops("SharedLockOnTheFolder", "flock -s -n .ambrel.lock sleep 5 & sleep 1", {},
              {") is working in the folder "}),
        // A folder where an output goes: nothing moves, the earlier outputs stay whole.
        stops("FolderInPlaceOfAnOutput", "rm Demo_SeqMetrics.csv && mkdir Demo_SeqMetrics.csv", {},
              {"Cannot put the output Demo_SeqMetrics.csv in place: ",
               " is a folder. Nothing was moved",
               "The run's outputs are complete but could not "
               "all be put in place: they are kept in "},
              true),
    };
}

class RunFailure : public testing::TestWithParam<FailureCase> {};

} // namespace

// A failing rerun stops with its status and a message that names the cause, and leaves the
// outputs of the completed run before it as they were.
TEST_P(RunFailure, StopsAndLeavesTheEarlierOutputsAsTheyWere) {
    const FailureCase& c = GetParam();
    // Every input by a path relative to the run folder, the read-quality file by the default name.
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::string runDir = inputs.dir.file("run");
    ASSERT_EQ(
        runProcess({"sh", "-c",
                    "mkdir run && cp " + demoFile("*") + " . && mv ReadQualityMetrics.json run/"},
                   inputs.dir.path())
            .status,
        0);
    inputs.metadata = "../run_metadata.json";
    inputs.gtf = "../genes.gtf";
    inputs.lengths = "../transcript_lengths.json";
    inputs.extra = "../extra.fasta";
    inputs.quality = "";
    ASSERT_EQ(inputs.run(runDir).status, 0);
    ASSERT_EQ(runProcess({"sh", "-c", c.damage}, runDir).status, 0) << c.damage;
    std::map<std::string, std::string> before = folderState(runDir);
    std::vector<std::string> args = inputs.args(c.args);
    if (!c.path.empty()) {
        args[0] = runDir + "/" + c.path + "/ambrel";
        args.insert(args.begin(), "PATH=" + runDir + "/" + c.path);
    }
    args.insert(args.begin(), c.environment.begin(), c.environment.end());
    args.insert(args.begin(), "env");
    ProcessResult result = runProcess(args, runDir);
    EXPECT_EQ(result.status, c.status) << result.err;
    for (const std::string& message : c.messages)
        EXPECT_NE(result.err.find(message), std::string::npos) << message << "\n" << result.err;
    EXPECT_EQ(result.err.find("Ambrel has completed"), std::string::npos);
    EXPECT_EQ(result.err.find("LeakSanitizer"), std::string::npos) << result.err;
    EXPECT_EQ(folderState(runDir), before);
    // A refusal up front starts no library and leaves no run folder behind; a later failure
    // leaves one with its logs and the reason alone (in which MultiQC finds nothing to report),
    // or its outputs whole when they were complete.
    bool staged = false, complete = result.err.find("outputs are complete") != std::string::npos;
    for (const std::string& name : directoryNames(runDir))
        if (strStartsWith(name, "Ambrel_unfinished_run_")) {
            staged = true;
            for (const std::string& file : directoryNames(runDir + "/" + name))
                EXPECT_TRUE(complete ? !strEndsWith(file, "_mqc.json")
                                     : strEndsWith(file, ".log") || file == "ambrel_failure.txt")
                    << file;
            if (!complete) {
                std::vector<std::string> account =
                    splitLines(readFile(runDir + "/" + name + "/ambrel_failure.txt"));
                EXPECT_GE(account.size(), 2u); // a reason after its first line
                EXPECT_NE(result.err.find(account.back()), std::string::npos) << account.back();
            }
        }
    EXPECT_EQ(staged, c.late);
    EXPECT_EQ(result.err.find("Bam file: ") != std::string::npos, c.late) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Cli, RunFailure, testing::ValuesIn(failureCases()),
                         [](const testing::TestParamInfo<FailureCase>& param) {
                             return std::string(param.param.name);
                         });

// The help goes alone to standard output (tests/golden/help.txt); missing required options are
// listed in order after the usage, with status 1.
TEST(AmbrelCli, HelpVersionAndMissingOptions) {
    ProcessResult missing = runProcess({AMBREL_BINARY, "--assay", "WTA", "--gtf", "g.gtf"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Error: Missing Required Option Flags:\n    --r2-bam\n"
                               "    --run-metadata\n    --transcript-length\n"),
              std::string::npos)
        << missing.err;
    for (const char* word : {"--HELP", "-h"}) {
        ProcessResult help = runProcess({AMBREL_BINARY, "--assay", "WTA", word});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out, readFile(std::string(AMBREL_SOURCE_DIR) + "/tests/golden/help.txt"));
    }
    for (const char* program : {AMBREL_BINARY, BAM_SPLITTER_BINARY}) {
        ProcessResult version = runProcess({program, "--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_TRUE(std::regex_match(
            version.out,
            std::regex(R"((ambrel|bamSplitter) \d+\.\d+\.\d+ \(HTSlib \d+\.\d+.*\)\n)")))
            << version.out;
    }
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

// SIGTERM or SIGINT while the run archives its logs (a tar that waits): the tar is stopped, the
// run keeps its logs and the reason and nothing else, exits with 128 + the signal, and leaves the
// earlier outputs as they were; a rerun completes.
TEST(AmbrelCli, StopSignalsStopTheRunAndLeaveItsLogs) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::string runDir = inputs.dir.file("run");
    ASSERT_EQ(inputs.run(runDir).status, 0);
    ASSERT_EQ(runProcess({"sh", "-c",
                          tools("tar") + " && " +
                              writes("../bin/tar", "#!/bin/sh\nPATH=/usr/bin:/bin\ntouch " +
                                                       inputs.dir.file("tar-started") +
                                                       "\nexec sleep 60") +
                              "\nchmod +x ../bin/tar"},
                         runDir)
                  .status,
              0);
    std::map<std::string, std::string> before = folderState(runDir);
    std::vector<std::string> args = inputs.args();
    args[0] = runDir + "/../bin/ambrel";
    for (int signal : {SIGTERM, SIGINT}) {
        std::string started = inputs.dir.file("tar-started");
        fs::remove(started);
        std::vector<std::string> argv = {
            "python3", "-c",
            "import os, subprocess, sys, time\n"
            "p = subprocess.Popen(sys.argv[3:], env={'PATH': sys.argv[2]})\n"
            "while not os.path.exists(sys.argv[1]) and p.poll() is None: time.sleep(0.05)\n"
            "p.send_signal(" +
                std::to_string(signal) + ")\nsys.exit(p.wait())",
            started, runDir + "/../bin"};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult result = runProcess(argv, runDir);
        EXPECT_EQ(result.status, 128 + signal) << result.err;
        EXPECT_NE(result.err.find("Stopping on signal " + std::to_string(signal)),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(folderState(runDir), before);
        for (const std::string& name : directoryNames(runDir))
            if (strStartsWith(name, "Ambrel_unfinished_run_")) {
                for (const std::string& file : directoryNames(runDir + "/" + name))
                    EXPECT_TRUE(strEndsWith(file, ".log") || file == "ambrel_failure.txt") << file;
                EXPECT_NE(readFile(runDir + "/" + name + "/ambrel_failure.txt")
                              .find("Stopped by signal " + std::to_string(signal)),
                          std::string::npos);
                fs::remove_all(runDir + "/" + name);
            }
    }
    EXPECT_EQ(inputs.run(runDir).status, 0);
}

// On a terminal (a pseudo-terminal here) a progress line per library and one for the tables,
// redrawn in place and ended; in a log, nothing of them.
TEST(AmbrelCli, ProgressLinesOnlyOnATerminal) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    ProcessResult logged = inputs.run(inputs.dir.file("logged"));
    ASSERT_EQ(logged.status, 0) << logged.err;
    EXPECT_EQ(logged.err.find('\r'), std::string::npos);
    fs::create_directories(inputs.dir.file("tty"));
    fs::create_symlink(inputs.dir.file(inputs.bams[0]), inputs.dir.file("tty/" + inputs.bams[0]));
    ProcessResult tty =
        runProcess({"script", "-qec", strJoin(inputs.args(), " ") + " 2>&1", "/dev/null"},
                   inputs.dir.file("tty"));
    ASSERT_EQ(tty.status, 0) << tty.out;
    for (const char* line : {"\rSample1: 100 % of the input, 4431 records at ",
                             "\rSorting the tables: 11 of 11 done in "})
        EXPECT_NE(tty.out.find(line), std::string::npos) << line << "\n" << tty.out;
    EXPECT_NE(tty.out.find("\x1b[K\r\n"), std::string::npos); // the line ends
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
        // No room for the annotated BAMs: the workers' writes fail.
        writeFile(runDir + "/filler", std::string(fs::space(runDir).available - 40 * 1024, 'x'));
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
        // The failed run gave its space back: the next run starts, and fails the same way.
        EXPECT_GT(fs::space(runDir).available, 24 * 1024u);
        ProcessResult next = runProcess(args, runDir);
        EXPECT_NE(next.err.find("Starting annotation for library"), std::string::npos) << next.err;
        EXPECT_NE(next.err.find("No space left on device"), std::string::npos) << next.err;
        runProcess({"umount", runDir});
    }
}

// Inputs that a run can use but that change what it writes are named in warnings: a metadata file
// without Run_Base_Name or with a key of the wrong type, a BAM of another run's prefix, a VDJ
// version whose receptor genes the GTF lacks, a BAM two thirds of whose reads lie on a
// reference the GTF lacks, and the folders that failed runs left.
TEST(AmbrelCli, WarningsNameWhatChangesTheRun) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    inputs.metadata = inputs.write(
        "meta.json", R"({"VDJ_Version": "human", "Sample_Tags_Version": 5, "Output_Header": []})");
    ASSERT_EQ(runProcess({"sh", "-c",
                          "sed 's/gene_type \"\\(TR\\|IG\\)_/gene_type \"X_/' " + inputs.gtf +
                              " > plain.gtf && mkdir -p run/Ambrel_unfinished_run_1 && samtools "
                              "view -h " +
                              inputs.bams[0] +
                              " | awk 'BEGIN { OFS = \"\\t\" } /SN:phiX/ { print \"@SQ\\tSN:"
                              "chrM\\tLN:80000\" } $3 == \"chrD\" && n++ % 3 { $3 = \"chrM\" } "
                              "{ print }' | samtools view -b -o m.bam && mv m.bam " +
                              inputs.bams[0]},
                         inputs.dir.path())
                  .status,
              0);
    inputs.gtf = inputs.dir.file("plain.gtf");
    ProcessResult result = inputs.run(inputs.dir.file("run"));
    ASSERT_EQ(result.status, 0) << result.err;
    for (const std::string& warning : std::vector<std::string>{
             "meta.json\" has no Run_Base_Name: the outputs will be named null_*",
             "meta.json\": Sample_Tags_Version is number, not a string; it is ignored",
             "The BAM file name \"Demo_Sample1_Aligned.out.bam\" does not begin with \"null_\"",
             "VDJ version 'human': the GTF file \"" + inputs.gtf +
                 "\" has no receptor or constant-region gene",
             "Demo_Sample1_Aligned.out.bam\", 2137 of 3206 (66.7 %) lie on references with no "
             "gene in the GTF: \"chrM\" 2137 (the GTF file",
             "did not complete, left as they were: Ambrel_unfinished_run_1 (0.0 MB). They hold no "
             "results; remove them with: rm -rf Ambrel_unfinished_run_1"})
        EXPECT_NE(result.err.find(warning), std::string::npos) << warning << "\n" << result.err;
    EXPECT_TRUE(fs::exists(inputs.dir.file("run/null_SeqMetrics.csv")));
}

// Outputs named after a Run_Base_Name that begins with "-" are never read as options by the
// programs that sort and compress them.
TEST(AmbrelCli, RunBaseNameThatLooksLikeAnOption) {
    RunInputs inputs;
    inputs.addDemoLibrary();
    fs::rename(inputs.dir.file(inputs.bams[0]), inputs.dir.file("-" + inputs.bams[0]));
    inputs.bams[0] = "-" + inputs.bams[0];
    inputs.metadata =
        inputs.write("meta.json", R"({"Run_Base_Name": "-Demo", "Output_Header": []})");
    ProcessResult result = inputs.run(inputs.dir.file("run"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(runProcess({"sh", "-c", "gzip -t -- -Demo_*.gz && ls -- -Demo_SeqMetrics.csv"},
                         inputs.dir.file("run"))
                  .status,
              0);
}
