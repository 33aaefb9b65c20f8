#include "LogArchive.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "Command.h"
#include "Logger.h"
#include "Utilities.h"

std::string compressLogFiles(const std::string& directory, const std::string& archiveBaseName,
                             const std::regex& pattern, bool keepLogFiles) {
    std::vector<std::string> names;
    for (const auto& entry : getDirectoryContents(directory)) {
        std::string name = entry.filename().string();
        if (std::regex_search(name, pattern))
            names.push_back(name);
    }
    if (names.empty()) {
        gUtilLogger.debug("Found no logfiles matching given pattern in the directory: %s. No tar "
                          "archive will be created.",
                          directory.c_str());
        return "";
    }

    std::vector<char> cwd(4096, '\0');
    bool haveCwd = getcwd(cwd.data(), cwd.size()) != nullptr;
    int changed = chdir(directory.c_str());
    if (changed != 0)
        gUtilLogger.warning("%s: Failed to change directory to: %s. Return code: %i",
                            "compressLogFiles", directory.c_str(), changed);

    std::string archive = archiveBaseName + ".tar.gz";
    Command tar("tar");
    tar.addArguments({"czf", archive});
    tar.addArguments(names);
    tar.logStderrToFile("");
    int status = tar.run();
    if (status == 1) {
        std::ifstream in(tar.stderrPath());
        if (in) {
            std::string lines, line;
            while (std::getline(in, line))
                lines += "    " + line + "\n";
            gUtilLogger.error("Non-fatal error when running tar:\n%s", lines.c_str());
        }
    } else if (status != 0) {
        gUtilLogger.error("Non-zero exit code when running the below command:\n%s",
                          tar.getCommandSummaryAsString(true).c_str());
        if (changed == 0 && haveCwd && chdir(cwd.data()) != 0)
            gUtilLogger.warning("%s: Failed to change directory back to: %s. Return code: %i",
                                "compressLogFiles", cwd.data(), -1);
        throw std::runtime_error(
            "Got non-zero exit code when making a system call. " + tar.failureText() +
            " The log files it was to archive are kept in " +
            (haveCwd ? std::string(cwd.data()) + "/" : std::string()) + directory);
    }
    if (!keepLogFiles)
        for (const std::string& name : names)
            std::remove(name.c_str());
    // tar's own log is not in its archive; what it said is in the run's log already.
    std::remove(tar.stderrPath().c_str());

    if (changed == 0 && haveCwd) {
        int back = chdir(cwd.data());
        if (back != 0)
            gUtilLogger.warning("%s: Failed to change directory back to: %s. Return code: %i",
                                "compressLogFiles", cwd.data(), back);
    }
    return archive;
}
