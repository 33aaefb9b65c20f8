// Helpers shared by the tests: scratch directories, files, captured stderr, child processes.
#pragma once

#include <functional>
#include <string>
#include <vector>

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
std::vector<std::string> splitLines(const std::string& text);

// Runs body with file descriptor 2 redirected to a file and returns what was written there.
std::string captureStderr(const std::function<void()>& body);

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// Runs argv[0] (searched in PATH) with the arguments in directory cwd.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd = "");

// SAM text in memory: a header from "@SQ" lines and records parsed against it.
struct sam_hdr_t;
struct bam1_t;
class SamText {
public:
    // references: "name:length" pairs.
    explicit SamText(const std::vector<std::string>& references);
    ~SamText();
    SamText(const SamText&) = delete;
    SamText& operator=(const SamText&) = delete;
    sam_hdr_t* header() const { return _header; }
    // One record from a SAM line; owned by this object.
    bam1_t* record(const std::string& samLine);
    // A mapped record: flag, reference, 0-based position and CIGAR, other fields defaulted.
    bam1_t* aligned(int flag, const std::string& reference, long pos0, const std::string& cigar,
                    const std::string& name = "r");

private:
    sam_hdr_t* _header;
    std::vector<bam1_t*> _records;
};

// The string value of a record's tag, or "<none>".
std::string stringTag(const bam1_t* record, const char* tag);

// Clears the run's failure record between tests (the run itself never resets it).
void resetTerminateState();
// The messages of the run's failure record, in order.
std::vector<std::string> terminateMessages();

// Writes the header of sam and the given records as a BAM file.
void writeBam(const std::string& path, const SamText& sam, const std::vector<bam1_t*>& records);
// Every record of a BAM file as SAM text lines (header excluded).
std::vector<std::string> readBamAsSam(const std::string& path);
