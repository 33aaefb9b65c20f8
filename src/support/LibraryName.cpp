#include "LibraryName.h"

#include <cctype>
#include <regex>
#include <vector>

#include "Logger.h"
#include "Utilities.h"

const char* const DEFAULT_LIBRARY_NAME = "DefaultName";

namespace {

const std::regex& library_name_regex() {
    static const std::regex REGEX_LIBRARY_NAME(
        "^(.*?)(_S[0-9]*)?(_L[0-9]*)?(_R(1|2).*)?\\.(.*?)\\.(.*)$", std::regex::ECMAScript);
    return REGEX_LIBRARY_NAME;
}

const std::regex& alpha_numeric_regex() {
    static const std::regex REGEX_ALPHA_NUMERIC("[a-zA-Z0-9]+", std::regex::ECMAScript);
    return REGEX_ALPHA_NUMERIC;
}

bool is_file_extension(const std::string& name) {
    static const char* const FILE_EXTENSIONS[] = {"", "fastq", "fq", "gz"};
    std::string lower(name);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* extension : FILE_EXTENSIONS)
        if (lower == extension)
            return true;
    return false;
}

} // namespace

std::string getLibraryName(const std::string& fileName) {
    std::string name = fileName;
    gUtilLogger.debug("libraryName has been assigned: %s", name.c_str());
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
        name = name.substr(slash + 1);
        gUtilLogger.debug("libraryName has been updated to: %s", name.c_str());
    }
    gUtilLogger.debug("Removing any leading '.'s if present");
    name.erase(0, name.find_first_not_of('.'));
    gUtilLogger.debug("libraryName is now: %s", name.c_str());

    std::smatch match;
    if (!std::regex_match(name, match, library_name_regex())) {
        gUtilLogger.debug("Library name regex did not match, assigning libraryName: %s",
                          DEFAULT_LIBRARY_NAME);
        name = DEFAULT_LIBRARY_NAME;
    } else {
        gUtilLogger.debug("The library name regex matches, there are %lu groups",
                          static_cast<unsigned long>(match.size()));
        std::string groups = "{";
        for (size_t i = 0; i < match.size(); ++i)
            groups += "\n\t[ " + std::to_string(i) + " ] = \"" + match[i].str() + "\"";
        groups += " }";
        gUtilLogger.debug("The matched groups are: %s", groups.c_str());
        if (match.size() < 2) {
            gUtilLogger.debug("Not enough groups matched, assigning libraryName: %s",
                              DEFAULT_LIBRARY_NAME);
            name = DEFAULT_LIBRARY_NAME;
        } else if (match[1].length() == 0) {
            gUtilLogger.debug("The 2nd match group is empty, assigning libraryName: %s",
                              DEFAULT_LIBRARY_NAME);
            name = DEFAULT_LIBRARY_NAME;
        } else {
            name = match[1].str();
            gUtilLogger.debug("The 2nd match group is not empty, assigning libraryName: %s",
                              name.c_str());
        }
    }
    gUtilLogger.debug("libraryName is now: %s", name.c_str());

    if (!std::regex_search(name, alpha_numeric_regex())) {
        gUtilLogger.debug("There are no alphanumeric characters present in libraryName,"
                          "assigning libraryName: %s",
                          DEFAULT_LIBRARY_NAME);
        name = DEFAULT_LIBRARY_NAME;
    }
    if (is_file_extension(name)) {
        gUtilLogger.debug("The libraryName appears to be part of the file extension,"
                          "assigning libraryName: %s",
                          DEFAULT_LIBRARY_NAME);
        name = DEFAULT_LIBRARY_NAME;
    }
    if (name == DEFAULT_LIBRARY_NAME)
        gUtilLogger.info("Could not determine a sample name for the file \"%s\". Using the "
                         "default: %s",
                         fileName.c_str(), DEFAULT_LIBRARY_NAME);
    return name;
}
