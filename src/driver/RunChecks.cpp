#include "RunChecks.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "LibraryAnnotation.h"
#include "metrics/SeqMetricsReport.h"
#include "support/Logger.h"

namespace fs = std::filesystem;

namespace {

// Why path cannot be read as a file, or "" when it can.
std::string __unreadable(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct stat info;
    bool directory = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    close(fd);
    return directory ? std::strerror(EISDIR) : "";
}

void __check_readable(const std::string& kind, const std::string& path) {
    std::string reason = __unreadable(path);
    if (!reason.empty())
        throw std::runtime_error("Cannot open the " + kind + " file \"" + path + "\": " + reason);
}

void __check_run_base_name(const std::string& name, const std::string& metadataPath) {
    // Every output is named after it, inside the working folder.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw std::runtime_error("The Run_Base_Name \"" + name + "\" of the run metadata \"" +
                                 metadataPath + "\" is not a plain file name");
}

void __check_library_names(const RunParameters& params, std::vector<std::string>& names) {
    checkBamFileNames(params.bamPaths, params.runBaseName);
    std::map<std::string, std::string> seen; // library name -> BAM path
    for (const std::string& bam : params.bamPaths) {
        std::string name = libraryNameFromBamPath(bam, params.runBaseName);
        auto earlier = seen.emplace(name, bam);
        if (!earlier.second)
            throw std::runtime_error("The BAM files \"" + earlier.first->second + "\" and \"" +
                                     bam + "\" give the same library name \"" + name +
                                     "\": their annotated BAMs and report rows would overwrite "
                                     "each other");
        names.push_back(name);
    }
}

void __check_output_header(JsonValue& metadata) {
    if (!metadata.hasMember("Output_Header"))
        throw std::runtime_error("Cannot create iterator for non-iterable type: undefined");
    JsonValue::Type type = metadata["Output_Header"].getType();
    if (type != JsonValue::ARRAY && type != JsonValue::OBJECT)
        throw std::runtime_error("Cannot create iterator for non-iterable type: " +
                                 metadata["Output_Header"].getTypeString());
}

} // namespace

std::string findProgram(const std::string& name) {
    auto executable = [](const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               access(path.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos)
        return executable(name) ? name : "";
    const char* path = std::getenv("PATH");
    for (const std::string& folder : strSplit(path ? path : "", ':')) {
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (executable(candidate))
            return candidate;
    }
    return "";
}

void checkRunInputs(const RunParameters& params, JsonValue& metadata) {
    __check_run_base_name(params.runBaseName, params.metadataPath);
    std::vector<std::string> libraries;
    __check_library_names(params, libraries);
    for (const std::string& bam : params.bamPaths)
        __check_readable("BAM", bam);
    __check_readable("GTF", params.gtfPath);
    __check_readable("transcript-length", params.transcriptLengthPath);
    for (const std::string& fasta : params.extraFastaPaths) {
        std::string reason = fasta.empty() ? "" : __unreadable(fasta);
        if (!reason.empty())
            gLogger.warning("Cannot read the extra sequences file \"%s\": %s; reads aligned to its "
                            "references will not be recognised",
                            fasta.c_str(), reason.c_str());
    }
    __check_output_header(metadata);

    JsonValue quality;
    std::string error;
    if (!loadJsonFile(quality, params.qualityMetricsPath.c_str(), &error))
        throw std::runtime_error("Cannot read the read-quality metrics file \"" +
                                 params.qualityMetricsPath + "\": " + error);
    libraries.push_back("Combined_stats");
    checkReadQualityMetrics(quality, libraries, params.qualityMetricsPath);

    for (const std::string& program :
         {std::string("samtools"), bamSplitterProgram(), std::string("sort"), std::string("pigz"),
          std::string("tar")})
        if (findProgram(program).empty())
            throw std::runtime_error("cannot run " + program + ": " + std::strerror(ENOENT) +
                                     (program.find('/') == std::string::npos ? " on PATH" : ""));
}

void makeInputPathsAbsolute(RunParameters& params) {
    auto absolute = [](std::string& path) {
        if (!path.empty())
            path = fs::absolute(path).string();
    };
    absolute(params.metadataPath);
    absolute(params.gtfPath);
    absolute(params.transcriptLengthPath);
    absolute(params.qualityMetricsPath);
    for (std::string& path : params.bamPaths)
        absolute(path);
    for (std::string& path : params.extraFastaPaths)
        absolute(path);
}
