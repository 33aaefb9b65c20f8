// gzip, one way for the whole run: members written by one writer (the tables' interim and finished
// members, the FASTQ), files read by one reader (the GTF, the tables).
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// gzip's default level, at which the finished tables and the FASTQ are written.
constexpr int GZIP_LEVEL = 6;
// igzip's fastest, for text that the run itself reads back once (the tables until sorted).
constexpr int GZIP_FAST_LEVEL = 1;

// The text as one gzip member at level (GZIP_LEVEL or GZIP_FAST_LEVEL) in member, with no file
// name and no time in its header, so that the same text always gives the same bytes; its size.
// Throws std::invalid_argument for another level, std::bad_alloc when memory runs out.
[[nodiscard]] size_t gzipMember(const char* text, size_t length, int level,
                                std::vector<char>& member);
// The member written to out; the bytes written. Throws std::system_error naming path.
unsigned long writeGzipMember(const char* text, size_t length, int level, FILE* out,
                              const std::string& path);

// A file's text: the file as it is or, when it starts with the gzip magic bytes, inflated member
// after member (gzip, concatenated gzip, BGZF) by igzip. It reads forward only, so a pipe serves.
// name says what the file is in messages: GTF file "genes.gtf", say.
class GzipReader {
public:
    GzipReader(FILE* file, std::string name);
    ~GzipReader();
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;
    // Up to size bytes of text into buffer; 0 at the end. Throws std::runtime_error naming the
    // file for a read error, damaged or truncated compressed data.
    size_t read(char* buffer, size_t size);
    bool compressed() const { return _inflate != nullptr; }

private:
    size_t _inflateSome(char* buffer, size_t size);

    FILE* _file;
    std::string _name;
    std::unique_ptr<struct inflate_state> _inflate;
    std::vector<unsigned char> _input;
    size_t _headLength = 0, _headGiven = 0; // magic bytes of a plain file still to hand out
    bool _inputEnded = false;
};

// Hands the text of the file at path (gzip or not) to sink a few MiB at a time; throws naming path
// when it cannot be read or inflated.
void inflateGzipMembers(const std::string& path,
                        const std::function<void(const char*, size_t)>& sink);
// The whole text of the file at path.
std::string readGzipMembers(const std::string& path);
