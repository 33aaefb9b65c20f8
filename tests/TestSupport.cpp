#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

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

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string captureStderr(const std::function<void()>& body) {
    char path[] = "/tmp/ambrel_stderr_XXXXXX";
    int fd = mkstemp(path);
    std::fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    close(fd);
    try {
        body();
    } catch (...) {
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        unlink(path);
        throw;
    }
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text = readFile(path);
    unlink(path);
    return text;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd) {
    char outPath[] = "/tmp/ambrel_out_XXXXXX";
    char errPath[] = "/tmp/ambrel_err_XXXXXX";
    int outFd = mkstemp(outPath);
    int errFd = mkstemp(errPath);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessResult result;
    result.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    unlink(outPath);
    unlink(errPath);
    return result;
}

#include <htslib/sam.h>

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

bam1_t* SamText::record(const std::string& samLine) {
    kstring_t line = {0, 0, nullptr};
    kputsn(samLine.c_str(), samLine.size(), &line);
    bam1_t* record = bam_init1();
    int parsed = sam_parse1(&line, _header, record);
    free(line.s);
    if (parsed < 0) {
        bam_destroy1(record);
        throw std::runtime_error("bad test SAM line: " + samLine);
    }
    _records.push_back(record);
    return record;
}

bam1_t* SamText::aligned(int flag, const std::string& reference, long pos0,
                         const std::string& cigar, const std::string& name) {
    return record(name + "\t" + std::to_string(flag) + "\t" + reference + "\t" +
                  std::to_string(pos0 + 1) + "\t255\t" + cigar + "\t*\t0\t0\t*\t*");
}

std::string stringTag(const bam1_t* record, const char* tag) {
    uint8_t* data = bam_aux_get(record, tag);
    if (!data)
        return "<none>";
    const char* value = bam_aux2Z(data);
    return value ? value : "<not a string>";
}

#include "driver/EarlyTerminate.h"

void resetTerminateState() {
    std::lock_guard<std::mutex> lock(TERMINATE_STATE.mutex);
    TERMINATE_STATE.terminate.store(false);
    TERMINATE_STATE.messages.clear();
}

std::vector<std::string> terminateMessages() {
    std::lock_guard<std::mutex> lock(TERMINATE_STATE.mutex);
    return std::vector<std::string>(TERMINATE_STATE.messages.begin(),
                                    TERMINATE_STATE.messages.end());
}

void writeBam(const std::string& path, const SamText& sam, const std::vector<bam1_t*>& records) {
    htsFile* out = hts_open(path.c_str(), "wb");
    if (!out || sam_hdr_write(out, sam.header()) < 0)
        throw std::runtime_error("cannot write " + path);
    for (bam1_t* record : records)
        if (sam_write1(out, sam.header(), record) < 0)
            throw std::runtime_error("cannot write a record to " + path);
    if (hts_close(out) < 0)
        throw std::runtime_error("cannot close " + path);
}

std::vector<std::string> readBamAsSam(const std::string& path) {
    std::vector<std::string> lines;
    htsFile* in = hts_open(path.c_str(), "r");
    if (!in)
        throw std::runtime_error("cannot read " + path);
    sam_hdr_t* header = sam_hdr_read(in);
    bam1_t* record = bam_init1();
    kstring_t text = {0, 0, nullptr};
    int result;
    while ((result = sam_read1(in, header, record)) >= 0) {
        if (sam_format1(header, record, &text) < 0)
            throw std::runtime_error("cannot format a record of " + path);
        lines.emplace_back(text.s, text.l);
    }
    free(text.s);
    bam_destroy1(record);
    sam_hdr_destroy(header);
    hts_close(in);
    if (result < -1)
        throw std::runtime_error("truncated " + path);
    return lines;
}
