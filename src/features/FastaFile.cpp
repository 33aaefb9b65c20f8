#include "FastaFile.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "support/Logger.h"

void FastaSequence::_normalizeIdentifier() {
    identifier.erase(std::remove_if(identifier.begin(), identifier.end(),
                                    [](unsigned char c) { return !std::isprint(c); }),
                     identifier.end());
    if (!identifier.empty() && identifier[0] == '>')
        identifier.erase(0, 1);
    size_t text = 0;
    while (text < identifier.size() && std::isspace(static_cast<unsigned char>(identifier[text])))
        ++text;
    identifier.erase(0, text);
}

void FastaSequence::_normalizeSequence() {
    sequence.erase(
        std::remove_if(sequence.begin(), sequence.end(),
                       [](unsigned char c) { return !(std::isalpha(c) || c == '-' || c == '*'); }),
        sequence.end());
}

void FastaFile::_store(std::string& identifier, std::string& buffer) {
    FastaSequence record{identifier, buffer};
    record._normalizeSequence();
    identifiers.insert(identifier);
    sequences[identifier].push_back(std::move(record));
}

void FastaFile::readFile(const std::string& path, bool allowDuplicatesFlag) {
    std::ifstream in(path);
    std::string identifier, buffer, line;
    while (in && std::getline(in, line)) {
        if (!line.empty() && line[0] == '>') {
            if (!identifier.empty())
                _store(identifier, buffer);
            FastaSequence header{line, ""};
            header._normalizeIdentifier();
            identifier = header.identifier;
            buffer.clear();
        } else {
            buffer += line;
        }
    }
    if (!identifier.empty())
        _store(identifier, buffer);
    allowDuplicates = allowDuplicatesFlag;
    if (!allowDuplicates)
        for (auto& entry : sequences)
            entry.second.resize(1);
}

void getFastaHeaders(std::unordered_set<std::string>& headers,
                     const std::vector<std::string>& fastaFiles) {
    gLogger.debug("Loading FastA headers from %lu files",
                  static_cast<unsigned long>(fastaFiles.size()));
    for (const std::string& path : fastaFiles) {
        if (path.empty())
            continue;
        FastaFile file;
        file.readFile(path, true);
        for (const std::string& identifier : file.identifiers)
            headers.insert(identifier.substr(0, identifier.find(' ')));
    }
    gLogger.debug("Loaded a total of %lu headers", static_cast<unsigned long>(headers.size()));
}
