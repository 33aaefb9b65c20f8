// Reader of the extra FASTA references (AbSeq, sample tags, ...) that reads may align to.
#pragma once

#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

struct FastaSequence {
    std::string identifier;
    std::string sequence;

    // Drops non-printable characters, one leading '>' and leading white space.
    void _normalizeIdentifier();
    // Keeps letters, '-' and '*' only.
    void _normalizeSequence();
};

class FastaFile {
public:
    // Reads path; a file that cannot be opened reads as empty.
    void readFile(const std::string& path, bool allowDuplicates);

    bool allowDuplicates = false;
    std::set<std::string> identifiers;
    std::map<std::string, std::vector<FastaSequence>> sequences;

private:
    void _store(std::string& identifier, std::string& buffer);
};

// Adds to headers the reference name (identifier up to its first space) of every record of the
// given FASTA files; empty paths are skipped.
void getFastaHeaders(std::unordered_set<std::string>& headers,
                     const std::vector<std::string>& fastaFiles);
