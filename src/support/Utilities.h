// File and string helpers shared by the driver, the annotation and the metrics code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "JsonValue.h"

// Fixed 32-bit types: values outside the named ones can reach the code and must be representable.
enum AssayType : int32_t { NONE = 0, WTA = 1, Targeted = 2, ATAC = 3 };
enum UMIOption : int32_t { R1_UMI_ONLY = 0, ABSEQ_UMI_ONLY = 1, R1_AND_ABSEQ_UMI = 2 };

extern const UMIOption UMIOPTION_VALUES[3];

// Reads and parses a JSON file; logs and returns false on a missing file or bad JSON, with the
// reason in error when given. A UTF-8 byte-order mark before the JSON text is skipped.
[[nodiscard]] bool loadJsonFile(JsonValue& json, const char* path, std::string* error = nullptr);
std::vector<std::filesystem::path> getDirectoryContents(const std::string& directory);

// Views, so that literals, strings and views into records compare without a temporary string: the
// read classification and the metrics call these for every read.
inline bool strStartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}
inline bool strEndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
std::vector<std::string> strSplit(const std::string& text, char delimiter);
// A relative file name as a program's operand: "./-x" for "-x", which it would read as options.
inline std::string fileOperand(const std::string& path) {
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

std::string substrReplace(const std::string& text, const std::string& target,
                          const std::string& replacement, int count);
std::string doubleToStringWithPrecision(double value, unsigned long precision);
// count as a percentage of total with two decimals; "0.00" when total is 0 (nothing to divide).
std::string percentText(unsigned long count, unsigned long total);
// The pieces with separator between each two.
template <class Pieces> std::string strJoin(const Pieces& pieces, const std::string& separator) {
    std::string joined;
    for (const auto& piece : pieces) {
        if (&piece != &*std::begin(pieces))
            joined += separator;
        joined += piece;
    }
    return joined;
}

AssayType strToAssayType(const std::string& text);
UMIOption parseUMIOptionArgument(const std::string& text);
