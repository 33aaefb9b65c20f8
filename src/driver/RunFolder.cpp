#include "RunFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "metrics/MultiqcReport.h"
#include "support/Logger.h"
#include "support/SystemError.h"
#include "support/Utilities.h"

namespace fs = std::filesystem;

const char* const RUN_LOCK_FILE = ".ambrel.lock";
const char* const OUTPUT_MANIFEST_FILE = ".ambrel_outputs";
const char* const UNFINISHED_RUN_PREFIX = "Ambrel_unfinished_run_";
const char* const FAILURE_ACCOUNT_FILE = "ambrel_failure.txt";
const char* const KEEP_FAILED_RUN_VARIABLE = "AMBREL_KEEP_FAILED_RUN";

namespace {

std::string current_folder() {
    std::error_code error;
    fs::path folder = fs::current_path(error);
    if (error)
        throw std::system_error(error, "Cannot read the working folder");
    return folder.string();
}

} // namespace

RunFolderLock::RunFolderLock() {
    // The lock file is kept between runs: removing it would let a run that opened it just before
    // lock a file that a newer run no longer sees.
    _fd = open(RUN_LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (_fd < 0) {
        int error = errno;
        throw systemError(error, "Cannot create the lock file " + std::string(RUN_LOCK_FILE) +
                                     " in the working folder " + current_folder());
    }
    if (flock(_fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {0};
        ssize_t got = pread(_fd, holder, sizeof holder - 1, 0);
        std::string pid = got > 0 ? std::string(holder, static_cast<size_t>(got)) : "unknown";
        close(_fd);
        _fd = -1;
        throw std::runtime_error("Another Ambrel run (process " + pid +
                                 ") is working in the folder " + current_folder() +
                                 ": two runs in one folder would mix their outputs. Wait for it "
                                 "to finish, or run in another folder.");
    }
    std::string pid = std::to_string(getpid());
    if (ftruncate(_fd, 0) != 0 || pwrite(_fd, pid.data(), pid.size(), 0) < 0)
        gLogger.warning("Cannot record the process id in %s: %s", RUN_LOCK_FILE,
                        errorText(errno).c_str());
}

RunFolderLock::~RunFolderLock() {
    if (_fd >= 0)
        close(_fd); // releases the lock
}

StagingFolder::StagingFolder() : _home(current_folder()) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &parts);
    _path = _home + "/" + UNFINISHED_RUN_PREFIX + stamp + "_" + std::to_string(getpid());
    if (mkdir(_path.c_str(), 0777) != 0) {
        int error = errno;
        throw systemError(error, "Cannot create the run's folder " + _path);
    }
    if (chdir(_path.c_str()) != 0) {
        int error = errno;
        throw systemError(error, "Cannot enter the run's folder " + _path);
    }
    _inside = true;
}

StagingFolder::~StagingFolder() {
    _leave();
    if (_published)
        return;
    if (_complete) {
        gLogger.critical("The run's outputs are complete but could not all be put in place: they "
                         "are kept in %s; the outputs of the last completed run in %s are "
                         "unchanged, unless the message above says that some were moved.",
                         _path.c_str(), _home.c_str());
        return;
    }
    if (std::getenv(KEEP_FAILED_RUN_VARIABLE)) {
        gLogger.critical("The run did not complete. Its partial outputs are kept in %s (%s is "
                         "set); the outputs of the last completed run in %s are unchanged.",
                         _path.c_str(), KEEP_FAILED_RUN_VARIABLE, _home.c_str());
        return;
    }
    std::string kept = _keepWhatExplains();
    gLogger.critical("The run did not complete. Its partial outputs are removed; %s kept in %s, "
                     "which may be deleted. The outputs of the last completed run in %s are "
                     "unchanged.",
                     kept.c_str(), _path.c_str(), _home.c_str());
}

std::string StagingFolder::_keepWhatExplains() {
    // A failed run's bulk is what fills a disk (a full disk is a common failure): only the logs
    // of its commands and the account stay, so that the next run can start.
    std::error_code error;
    unsigned long logs = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(_path, error)) {
        std::string name = entry.path().filename().string();
        if (strEndsWith(name, ".log") && !fs::is_directory(entry.symlink_status())) {
            ++logs;
            continue;
        }
        std::error_code ignored;
        fs::remove_all(entry.path(), ignored);
    }
    std::ofstream account(_path + "/" + FAILURE_ACCOUNT_FILE);
    account << "The run did not complete.\n";
    for (const std::string& reason : _reasons)
        account << reason << "\n";
    if (_reasons.empty())
        account << "Its reason is in Ambrel's log (standard error).\n";
    return (logs ? std::to_string(logs) + " log files and " : std::string()) + "the reason (" +
           FAILURE_ACCOUNT_FILE + (account ? ")" : ", which could not be written)") +
           (logs ? " are" : " is");
}

void StagingFolder::_leave() {
    if (_inside && chdir(_home.c_str()) == 0)
        _inside = false;
}

std::vector<std::string> readOutputManifest(const std::string& folder) {
    std::vector<std::string> names;
    std::ifstream in(folder + "/" + OUTPUT_MANIFEST_FILE);
    for (std::string name; std::getline(in, name);)
        // Only plain names: a record must not lead a run to delete outside its folder.
        if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..")
            names.push_back(name);
    return names;
}

void checkFolderHoldsNoOtherRun(const std::string& folder, const std::string& runBaseName) {
    const std::string report = "_SeqMetrics.csv";
    std::vector<std::string> outputs = readOutputManifest(folder);
    for (const std::string& name : outputs) {
        if (!strEndsWith(name, report))
            continue;
        std::string other = name.substr(0, name.size() - report.size());
        if (other == runBaseName)
            continue;
        std::vector<std::string> shown(outputs.begin(),
                                       outputs.begin() + std::min<size_t>(4, outputs.size()));
        throw std::runtime_error(
            "The folder " + fs::canonical(folder).string() +
            " holds the outputs of a completed run named \"" + other + "\" (" +
            std::to_string(outputs.size()) + " files listed in " + OUTPUT_MANIFEST_FILE + ": " +
            strJoin(shown, ", ") + (outputs.size() > shown.size() ? ", ..." : "") +
            "). This run is named \"" + runBaseName +
            "\" and would delete them. Run it in another folder, or remove those files and " +
            OUTPUT_MANIFEST_FILE + " first.");
    }
}

namespace {

// The name a staged output takes in the working folder.
std::string published_name(const std::string& staged) {
    return strEndsWith(staged, MULTIQC_STAGED_SUFFIX)
               ? staged.substr(0, staged.size() - std::strlen(MULTIQC_STAGED_SUFFIX))
               : staged;
}

} // namespace

void StagingFolder::publish(const std::string& runBaseName) {
    _complete = true;
    _leave();
    if (_inside) {
        int error = errno;
        throw systemError(error, "Cannot return to the working folder " + _home);
    }
    std::map<std::string, std::string> outputs; // published name -> staged name
    for (const fs::directory_entry& entry : fs::directory_iterator(_path)) {
        std::string staged = entry.path().filename().string();
        outputs[published_name(staged)] = staged;
    }
    // A folder where an output goes cannot be replaced: stop before anything moves, so the last
    // completed run's outputs stay whole.
    for (const auto& output : outputs) {
        fs::path target = fs::path(_home) / output.first;
        if (fs::is_directory(fs::symlink_status(target)))
            throw std::runtime_error("Cannot put the output " + output.first + " in place: " +
                                     target.string() + " is a folder. Nothing was moved");
    }

    // The last completed run's outputs that this run does not replace. A folder whose last run
    // left no record still loses that run's valid-reads tables, whose partitions may differ.
    std::set<std::string> earlier;
    for (const std::string& name : readOutputManifest(_home))
        earlier.insert(name);
    std::regex partition(
        std::regex_replace(runBaseName, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
        R"(_Sorted_Valid_Reads\.csv\.[0-9]+\.gz)");
    for (const fs::directory_entry& entry : fs::directory_iterator(_home)) {
        std::string name = entry.path().filename().string();
        if (std::regex_match(name, partition))
            earlier.insert(name);
    }
    for (const std::string& name : earlier) {
        fs::path old = fs::path(_home) / name;
        if (!outputs.count(name) && !fs::is_directory(fs::symlink_status(old)) &&
            unlink(old.c_str()) != 0 && errno != ENOENT) {
            int error = errno;
            throw systemError(error,
                              "Cannot remove " + old.string() + " of the last completed run");
        }
    }
    for (const auto& output : outputs) {
        std::string from = _path + "/" + output.second, to = _home + "/" + output.first;
        if (std::rename(from.c_str(), to.c_str()) != 0) {
            int error = errno;
            throw systemError(error, "Cannot move " + from + " to " + to);
        }
    }
    std::string record, recordTemp = _home + "/" + OUTPUT_MANIFEST_FILE + ".new";
    for (const auto& output : outputs)
        record += output.first + "\n";
    unlink(recordTemp.c_str()); // a link left in its place is not followed
    std::ofstream out(recordTemp, std::ios::trunc);
    out << record;
    out.close();
    if (!out ||
        std::rename(recordTemp.c_str(), (_home + "/" + OUTPUT_MANIFEST_FILE).c_str()) != 0) {
        int error = errno;
        throw systemError(error, "Cannot record the run's outputs in " + _home + "/" +
                                     OUTPUT_MANIFEST_FILE);
    }
    if (rmdir(_path.c_str()) != 0)
        gLogger.warning("Cannot remove the run's folder %s: %s", _path.c_str(),
                        errorText(errno).c_str());
    _published = true;
}
