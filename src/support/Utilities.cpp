#include "Utilities.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "Handles.h"
#include "Logger.h"
#include "SystemError.h"

const UMIOption UMIOPTION_VALUES[3] = {R1_UMI_ONLY, ABSEQ_UMI_ONLY, R1_AND_ABSEQ_UMI};

bool loadJsonFile(JsonValue& json, const char* path, std::string* error) {
    gUtilLogger.debug("Calling fopen on the given path to a JSON file: %s", path);
    FileHandle file(std::fopen(path, "r"));
    if (!file) {
        std::string reason = errorText(errno);
        gUtilLogger.warning("Failed to open file \"%s\": %s", path, reason.c_str());
        if (error)
            *error = reason;
        return false;
    }
    std::error_code sizeError;
    uintmax_t size = std::filesystem::file_size(path, sizeError);
    if (sizeError) {
        // A directory or special file opens but has no size to read.
        gUtilLogger.warning("Failed to open file \"%s\": %s", path, sizeError.message().c_str());
        if (error)
            *error = sizeError.message();
        return false;
    }
    std::string text;
    gUtilLogger.debug("Resizing the string object to %lu bytes", static_cast<unsigned long>(size));
    text.resize(size);
    gUtilLogger.debug("Reading %lu bytes from the JSON file", static_cast<unsigned long>(size));
    size_t got = size ? std::fread(&text[0], 1, size, file.get()) : 0;
    text.resize(got);

    gUtilLogger.debug("Calling parse() on the JSON string");
    json = JsonValue(JsonValue::NULL_VALUE);
    // Editors on some systems start a UTF-8 file with a byte-order mark; it is not JSON text.
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    try {
        json.parse(start ? text.substr(start) : text);
    } catch (const std::exception& e) {
        gUtilLogger.warning("Failed to parse the JSON string");
        gUtilLogger.warning("%s: %s", path, e.what());
        if (error)
            *error = e.what();
        return false;
    }
    gUtilLogger.debug("parsing of the JSON string was successful");
    return true;
}

std::vector<std::filesystem::path> getDirectoryContents(const std::string& directory) {
    gUtilLogger.debug("Getting directory contents for: %s", directory.c_str());
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        entries.push_back(std::filesystem::path(directory) / entry.path().filename());
    gUtilLogger.debug("Found %lu entries in the directory: %s",
                      static_cast<unsigned long>(entries.size()), directory.c_str());
    return entries;
}

std::vector<std::string> strSplit(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    std::istringstream stream(text);
    std::string piece;
    while (std::getline(stream, piece, delimiter))
        pieces.push_back(piece);
    return pieces;
}

std::string substrReplace(const std::string& text, const std::string& target,
                          const std::string& replacement, int count) {
    if (count == 0 || text.empty())
        return text;
    if (target.empty())
        throw std::invalid_argument("The target substring shall not be the empty string");
    std::string result(text);
    size_t position = 0;
    int done = 0;
    while ((position = result.find(target, position)) != std::string::npos) {
        result.replace(position, target.size(), replacement);
        position += replacement.size();
        if (count > 0 && ++done == count)
            break;
    }
    return result;
}

std::string doubleToStringWithPrecision(double value, unsigned long precision) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(static_cast<int>(precision)) << value;
    return out.str();
}

AssayType strToAssayType(const std::string& text) {
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "WTA")
        return WTA;
    if (upper == "TARGETED")
        return Targeted;
    if (upper == "ATAC")
        return ATAC;
    return NONE;
}

UMIOption parseUMIOptionArgument(const std::string& text) {
    unsigned long value;
    try {
        value = std::stoul(text);
    } catch (const std::exception&) {
        return ABSEQ_UMI_ONLY;
    }
    if (value > 2)
        return ABSEQ_UMI_ONLY;
    return UMIOPTION_VALUES[value];
}

std::string percentText(unsigned long count, unsigned long total) {
    double value =
        total == 0 ? 0.0 : static_cast<double>(count) * 100.0 / static_cast<double>(total);
    return doubleToStringWithPrecision(value, 2);
}
