#include "TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include <htslib/bgzf.h>
#include <htslib/sam.h>

#include "support/EarlyTerminate.h"
#include "support/Logger.h"
#include "support/Utilities.h"

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/ambrel_test_XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    _path = pattern;
    _previous = std::filesystem::current_path().string();
    std::filesystem::current_path(_path);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::current_path(_previous, ignored);
    std::filesystem::remove_all(_path, ignored);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> pieces;
    for (std::string word; in >> word;)
        pieces.push_back(word);
    return pieces;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd) {
    char outPath[] = "/tmp/ambrel_out_XXXXXX", errPath[] = "/tmp/ambrel_err_XXXXXX";
    close(mkstemp(outPath));
    close(mkstemp(errPath));
    // The shell only changes directory and redirects; exec leaves the program as the child.
    auto quoted = [](const std::string& word) {
        return " '" + substrReplace(word, "'", "'\\''", -1) + "'";
    };
    std::string command = "cd" + quoted(cwd.empty() ? "." : cwd) + " && exec";
    for (const std::string& arg : argv)
        command += quoted(arg);
    std::fflush(nullptr);
    int status = std::system((command + " </dev/null >" + outPath + " 2>" + errPath).c_str());
    ProcessResult result{WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status),
                         readFile(outPath), readFile(errPath)};
    unlink(outPath);
    unlink(errPath);
    return result;
}

SamText::SamText(const std::vector<std::string>& references) {
    std::string text = "@HD\tVN:1.6\n";
    for (const std::string& reference : references) {
        size_t colon = reference.rfind(':');
        text +=
            "@SQ\tSN:" + reference.substr(0, colon) + "\tLN:" + reference.substr(colon + 1) + "\n";
    }
    _header = sam_hdr_parse(text.size(), text.c_str());
    if (!_header)
        throw std::runtime_error("bad test header");
}

SamText::~SamText() {
    for (bam1_t* record : _records)
        bam_destroy1(record);
    sam_hdr_destroy(_header);
}

bam1_t* SamText::record(const std::string& line) {
    kstring_t text = {0, 0, nullptr};
    kputsn(line.c_str(), line.size(), &text);
    bam1_t* record = bam_init1();
    int parsed = sam_parse1(&text, _header, record);
    free(text.s);
    if (parsed < 0) {
        bam_destroy1(record);
        throw std::runtime_error("bad test SAM line: " + line);
    }
    _records.push_back(record);
    return record;
}

bam1_t* SamText::aligned(int flag, const std::string& reference, long pos0,
                         const std::string& cigar, const std::string& name) {
    return record(samLine(name, flag, reference, pos0 + 1, cigar, ""));
}

void SamText::writeBam(const std::string& path, const std::vector<std::string>& lines,
                       size_t blockBytes) {
    std::string written = blockBytes ? path + ".aligned" : path;
    htsFile* out = hts_open(written.c_str(), "wb");
    if (!out || sam_hdr_write(out, _header) < 0)
        throw std::runtime_error("cannot write " + path);
    for (const std::string& line : lines)
        if (sam_write1(out, _header, record(line)) < 0)
            throw std::runtime_error("cannot write a record to " + path);
    if (hts_close(out) < 0)
        throw std::runtime_error("cannot close " + path);
    if (!blockBytes)
        return;
    BGZF* in = bgzf_open(written.c_str(), "r");
    BGZF* cut = bgzf_open(path.c_str(), "w");
    std::vector<char> piece(blockBytes);
    ssize_t got = 0;
    while (in && cut && (got = bgzf_read(in, piece.data(), blockBytes)) > 0)
        if (bgzf_write(cut, piece.data(), got) != got || bgzf_flush(cut) != 0)
            got = -1;
    if (!in || !cut || got < 0 || bgzf_close(in) != 0 || bgzf_close(cut) != 0)
        throw std::runtime_error("cannot write " + path + " in blocks of " +
                                 std::to_string(blockBytes) + " bytes");
    std::remove(written.c_str());
}

std::vector<std::string> readBamAsSam(const std::string& path) {
    ProcessResult view = runProcess({"samtools", "view", path});
    if (view.status != 0)
        throw std::runtime_error("samtools view " + path + ": " + view.err);
    return splitLines(view.out);
}

std::string samLine(const std::string& name, int flag, const std::string& reference, long pos1,
                    const std::string& cigar, const std::string& tags, const std::string& seq,
                    const std::string& qual) {
    return name + "\t" + std::to_string(flag) + "\t" + reference + "\t" + std::to_string(pos1) +
           "\t255\t" + cigar + "\t*\t0\t0\t" + seq + "\t" + qual + (tags.empty() ? "" : "\t") +
           tags;
}

std::string gtfLine(const std::string& chromosome, const std::string& feature, unsigned long start,
                    unsigned long end, char strand, const std::string& attributes) {
    return chromosome + "\ttest\t" + feature + "\t" + std::to_string(start) + "\t" +
           std::to_string(end) + "\t.\t" + std::string(1, strand) + "\t.\t" + attributes + "\n";
}

std::string geneAttributes(const std::string& id, const std::string& name,
                           const std::string& type) {
    return "gene_id \"" + id + "\"; gene_name \"" + name + "\"; gene_type \"" + type + "\";";
}

std::string gtfOfGenes(const std::string& genes) {
    std::string gtf;
    for (const std::string& gene : splitLines(genes)) {
        std::vector<std::string> f = words(gene);
        std::string attributes = geneAttributes(f[0], f[1], f[2]);
        for (size_t k = 5; k + 1 < f.size(); k += 2)
            gtf += gtfLine(f[3], k == 5 ? "gene" : "exon", std::stoul(f[k]), std::stoul(f[k + 1]),
                           f[4][0], attributes);
    }
    return gtf;
}

std::string standardGtf(bool withReceptors) {
    return gtfOfGenes("GA A protein_coding chr1 + 1001 3000 1001 1100 2001 2100 2001 2100\n"
                      "GB B protein_coding chr1 + 2051 2500 2051 2150\n"
                      "GR R protein_coding chr1 - 5001 6000 5001 5100\n"
                      "GC C protein_coding chr1 + 1501 1800 1701 1800\n"
                      "GE E protein_coding chr2 + 110 200 110 200\n" +
                      std::string(withReceptors
                                      ? "E1 IGHV1-2 IG_V_gene chr14 + 1001 2000 1001 1200\n"
                                        "E2 IGHM IG_C_gene chr14 - 3001 4000 3001 3200\n"
                                        "E3 OVERLAP protein_coding chr14 + 3001 4000 3001 3200\n"
                                        "T1 TRAV1 TR_V_gene chr14 + 7001 7500 7001 7500\n"
                                      : ""));
}

std::vector<std::string> standardReferences() {
    return {"chr1:100000", "chr2:100000",   "chr14:100000",
            "chrM:16000",  "phiX174:5386",  "ERCC-00002:1061",
            "CD4pAbO:200", "Tag1stAbO:200", "STARReferenceCPadding:1000"};
}

BuiltModel::BuiltModel(const std::string& gtfText, const std::string& vdjVersion) {
    writeFile(dir.file("genes.gtf"), gtfText);
    Logger logger("T", Logger::ALL, dir.file("model.log"), Logger::NO_TIMESTAMP);
    model = std::make_unique<FeatureAssigner>(dir.file("genes.gtf"), vdjVersion, logger);
    model->writeGeneInfoJson(logger);
    geneInfoJson = readFile(dir.file("gtf.gene_info.json"));
    log = readFile(dir.file("model.log"));
}

std::string treeLabels(const FeatureAssigner& model, const std::string& tree, bool places) {
    std::set<std::string> labels;
    auto found = model.featuresTrees().find(tree);
    for (int reverse = 0; reverse < 2 && found != model.featuresTrees().end(); ++reverse)
        for (const auto& [chromosome, intervals] :
             reverse ? found->second.second : found->second.first)
            for (const auto& i : intervals.findOverlapping(0, ~0UL))
                labels.insert(!places ? i.value
                                      : chromosome + "+-"[reverse] + ":" + i.value + "@" +
                                            std::to_string(i.start) + "-" + std::to_string(i.stop));
    return strJoin(std::vector<std::string>(labels.begin(), labels.end()), " ");
}

std::string qualityEntry(unsigned long total, unsigned long afterFilter) {
    return "{\"Total number of reads\": " + std::to_string(total) +
           ", \"Overlapping reads\": 3, \"Short reads\": 5, \"Low quality score per base "
           "reads\": 7, \"High single nucleotide frequency reads\": 2, \"Number of reads after "
           "quality filtering\": " +
           std::to_string(afterFilter) +
           ", \"Percentage of Q30 bases in filtered R2 reads\": 90.5}";
}

std::string demoFile(const std::string& name) {
    return std::string(AMBREL_SOURCE_DIR) + "/demo/" + name;
}

void RunInputs::addDemoLibrary(const std::string& library, unsigned long reads,
                               double receptorShare) {
    std::string name = "Demo_" + library + "_Aligned.out.bam";
    std::string sam = demoFile("reads.sam");
    if (reads) { // the demo generator's reads of the inputs' GTF
        sam = dir.file(library + ".sam");
        std::string command = "python3 " + demoFile("make_reads.py") + " " + gtf + " " +
                              demoFile("extra.fasta") + " " + std::to_string(reads) + " " +
                              std::to_string(receptorShare) + " > " + sam;
        if (runProcess({"sh", "-c", command}).status != 0)
            throw std::runtime_error("the demo generator failed: " + command);
    }
    ProcessResult made = runProcess({"samtools", "view", "-b", "-o", dir.file(name), sam});
    if (made.status != 0)
        throw std::runtime_error("samtools cannot convert the demo reads: " + made.err);
    bams.push_back(name);
}

std::string cramCommand(const std::string& path, const std::string& reference) {
    return "samtools view -H " + path +
           " | awk -F'\\t' '/^@SQ/ { sub(/SN:/, \"\", $2); n = substr($3, 4) + 0; printf "
           "\">%s\\n\", $2; for (i = 0; i < n; ++i) printf \"%s\", substr(\"ACGT\", i % 4 + 1, "
           "1); print \"\" }' > " +
           reference + " && samtools view -C -T " + reference + " -o " + path + ".cram " + path +
           " && mv " + path + ".cram " + path;
}

std::string RunInputs::write(const std::string& name, const std::string& text) {
    writeFile(dir.file(name), text);
    return dir.file(name);
}

std::vector<std::string> RunInputs::args(const std::vector<std::string>& extra) const {
    std::vector<std::string> argv = {binary, "--run-metadata", metadata,          "--gtf",
                                     gtf,    "--r2-bam",       strJoin(bams, ",")};
    if (!quality.empty())
        argv.insert(argv.end(), {"--quality-metrics", quality});
    argv.insert(argv.end(), {"--assay", "WTA", "--threads", "2", "--transcript-length", lengths,
                             "--extra-seqs", this->extra});
    // An extra single-value option replaces the default's value; list options add to theirs.
    for (size_t i = 0; i < extra.size(); ++i) {
        auto given = std::find(argv.begin(), argv.end(), extra[i]);
        bool list = extra[i] == "--r2-bam" || extra[i] == "--extra-seqs";
        if (given != argv.end() && !list && i + 1 < extra.size() && given + 1 != argv.end())
            *(given + 1) = extra[++i];
        else
            argv.push_back(extra[i]);
    }
    return argv;
}

ProcessResult RunInputs::run(const std::string& runDir, const std::vector<std::string>& extra) {
    std::filesystem::create_directories(runDir);
    for (const std::string& bam : bams)
        if (std::filesystem::exists(dir.file(bam)) && !std::filesystem::exists(runDir + "/" + bam))
            std::filesystem::create_symlink(dir.file(bam), runDir + "/" + bam);
    std::vector<std::string> argv = wrapper;
    for (const std::string& word : args(extra))
        argv.push_back(word);
    return runProcess(argv, runDir);
}

std::vector<std::string> directoryNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
