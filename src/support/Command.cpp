#include "Command.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <new>
#include <spawn.h>
#include <stdexcept>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Logger.h"
#include "StopSignals.h"
#include "SystemError.h"
#include "Utilities.h"

extern char** environ;

namespace {

const char* const SUMMARY_RULE = "------------------------------------";

// Starts the program with its standard streams redirected; 0 or the error number. glibc's
// posix_spawnp starts the child with CLONE_VFORK, so the run's memory (the gene model, some
// hundred megabytes) has no page tables copied, and reports a failed exec as its result.
int spawn(char* const* argv, char* const* environment, int outFd, int errFd, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = posix_spawn_file_actions_init(&actions);
    if (error != 0)
        return error;
    error = posix_spawnattr_init(&attributes);
    if (error != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return error;
    }
    if (outFd >= 0)
        error = posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (error == 0 && errFd >= 0)
        error = posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    // The run waits for its stop signals on a thread of its own; the program takes them itself.
    sigset_t mask;
    if (error == 0)
        error = pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (int signal = 1; error == 0 && signal < NSIG; ++signal)
        if (sigismember(stopSignalSet(), signal) == 1)
            sigdelset(&mask, signal);
    if (error == 0)
        error = posix_spawnattr_setsigmask(&attributes, &mask);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (error == 0) {
        std::fflush(nullptr);
        error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv, environment);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// A failing command that left no error output may have failed for want of space: say how much
// the file system of the working directory (where the logs are) has left.
std::string free_space_note() {
    struct statvfs fs;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || statvfs(cwd, &fs) != 0)
        return "";
    unsigned long long unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    return " The file system of " + std::string(cwd) + " has " +
           std::to_string(fs.f_bavail * unit / 1024) + " KiB free of " +
           std::to_string(fs.f_blocks * unit / 1024) + " KiB.";
}

} // namespace

void Command::addArguments(std::initializer_list<std::string> arguments) {
    _arguments.insert(_arguments.end(), arguments.begin(), arguments.end());
}

void Command::addArguments(const std::vector<std::string>& arguments) {
    _arguments.insert(_arguments.end(), arguments.begin(), arguments.end());
}

void Command::logStdoutToFile(const std::string& prefix) {
    _logStdout = true;
    _stdoutLogPrefix = prefix;
}

void Command::logStderrToFile(const std::string& prefix) {
    _logStderr = true;
    _stderrLogPrefix = prefix;
}

std::string Command::_logPath(const std::string& prefix, const char* timeText,
                              const char* suffix) const {
    // Logs are written in the working directory, so only the program's file name is used.
    const char* name = std::strrchr(_arguments[0].c_str(), '/');
    name = name ? name + 1 : _arguments[0].c_str();
    std::string path = prefix.empty() ? "" : prefix + "_";
    return path + name + timeText + suffix;
}

namespace {

// Creates a log of this command's own: commands of one program started in the same second (the
// tables' external sorts, on several threads) would otherwise share one, and one's failure
// summary would show another's errors. The name takes "_2", "_3", ... before its suffix.
int openOwnLog(std::string& path, const char* suffix) {
    std::string base = path.substr(0, path.size() - std::strlen(suffix));
    for (int k = 2;; ++k) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST || k > 1000)
            return fd;
        path = base + "_" + std::to_string(k) + suffix;
    }
}

} // namespace

int Command::execute() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char timeText[32] = {0};
    std::strftime(timeText, sizeof timeText, "_%Y%m%d%H%M%S", &parts);

    _stdoutPath.clear();
    _stderrPath.clear();
    if (_logStdout)
        _stdoutPath = _logPath(_stdoutLogPrefix, timeText, ".stdout.log");
    if (_logStderr)
        _stderrPath = _logPath(_stderrLogPrefix, timeText, ".stderr.log");

    int outFd = -1, errFd = -1;
    auto closeAll = [&]() {
        if (outFd >= 0)
            close(outFd);
        if (errFd >= 0)
            close(errFd);
    };
    if (_logStdout) {
        outFd = openOwnLog(_stdoutPath, ".stdout.log");
        if (outFd < 0) {
            int error = errno;
            std::fprintf(stderr, "Failed to open stdout log file: %s\n", _stdoutPath.c_str());
            return -error;
        }
    }
    if (_logStderr) {
        errFd = openOwnLog(_stderrPath, ".stderr.log");
        if (errFd < 0) {
            int error = errno;
            std::fprintf(stderr, "Failed to open stderr log file: %s\n", _stderrPath.c_str());
            closeAll();
            return -error;
        }
    }

    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    if (!environment.empty()) {
        for (char** entry = environ; *entry; ++entry) {
            const char* equals = std::strchr(*entry, '=');
            std::string name = equals ? std::string(*entry, equals - *entry) : std::string(*entry);
            if (!environment.count(name))
                envStrings.emplace_back(*entry);
        }
        for (const auto& entry : environment)
            envStrings.push_back(entry.first + "=" + entry.second);
        for (std::string& entry : envStrings)
            envp.push_back(&entry[0]);
        envp.push_back(nullptr);
    }
    std::vector<char*> argv;
    for (std::string& argument : _arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    _startError = 0;
    pid_t pid = -1;
    int error = spawn(argv.data(), environment.empty() ? environ : envp.data(), outFd, errFd, pid);
    if (error == ENOENT || error == EACCES || error == ENOEXEC || error == EISDIR ||
        error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG) {
        // A program that cannot be started is told apart from its own exit status by the
        // shell's convention: 127 when not found, 126 when found but not executable. Its log
        // says why, as a shell's would.
        _startError = error;
        if (errFd >= 0) {
            std::string text = "cannot run " + _arguments[0] + ": " + errorText(error) + "\n";
            if (write(errFd, text.data(), text.size()) < 0) {
                // The command's summary gives the reason too.
            }
        }
        closeAll();
        exitCode = error == ENOENT ? 127 : 126;
        return 0;
    }
    if (error != 0) {
        closeAll();
        return -error;
    }
    _pid = pid;
    registerChild(pid);
    closeAll();
    return 0;
}

int Command::run() {
    exitCode = 0;
    terminatingSignal = 0;
    int started = execute();
    if (started != 0) {
        exitCode = started;
        return exitCode;
    }
    if (_startError != 0)
        return exitCode; // 127 or 126, as a shell gives
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(_pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    forgetChild(_pid);
    _pid = -1;
    if (waited < 0) {
        exitCode = -errno;
    } else if (WIFSIGNALED(status)) {
        // A killed child did not finish its job, whatever its status byte says.
        terminatingSignal = WTERMSIG(status);
        exitCode = 128 + terminatingSignal;
    } else {
        exitCode = WEXITSTATUS(status);
    }
    return exitCode;
}

std::string Command::getExecutedCommandAsString() const {
    std::string text;
    bool first = true;
    for (const auto& entry : environment) {
        if (!first)
            text += ' ';
        first = false;
        text += entry.first + "=" + entry.second;
    }
    text += ' ';
    text += strJoin(_arguments, " ");
    return text;
}

std::string Command::getCommandSummaryAsString(bool includeStderr) const {
    std::string text;
    text += std::string(SUMMARY_RULE) + "\n";
    text += "executed command: " + getExecutedCommandAsString() + "\n";
    text += "exit code: " + std::to_string(exitCode) + "\n";
    if (terminatingSignal)
        text += "terminated by signal: " + std::to_string(terminatingSignal) + " (" +
                strsignal(terminatingSignal) + ")\n";
    if (_startError)
        text += "cannot run " + _arguments[0] + ": " + errorText(_startError) + "\n";
    text += "stderr path: " + _stderrPath + "\n";
    text += "stdout path: " + _stdoutPath + "\n";
    if (includeStderr) {
        text += "stderr file contents: \n";
        std::ifstream in;
        if (!_stderrPath.empty())
            in.open(_stderrPath);
        std::string contents;
        for (std::string line; std::getline(in, line);)
            contents += "    " + line + "\n";
        if (!in.is_open())
            text += "    Unable to open the stderr file." + free_space_note() + "\n";
        else if (contents.empty())
            text += "    The stderr file is empty." + free_space_note() + "\n";
        text += contents;
    }
    text += std::string(SUMMARY_RULE) + "\n";
    return text;
}

int runCommandAndLogError(Command& command, Logger& logger, bool includeStderr, bool throwOnError) {
    command.exitCode = 0;
    if (command.program().empty()) {
        command.exitCode = -ENOENT;
    } else if (command.run() == 0) {
        return 0;
    }
    logger.error("Non-zero exit code when running the below command:\n%s",
                 command.getCommandSummaryAsString(includeStderr).c_str());
    if (throwOnError)
        throw std::runtime_error("Got non-zero exit code when making a system call. " +
                                 command.failureText());
    return command.exitCode;
}

std::string Command::failureText() const {
    std::string text = "The command \"" + _arguments[0] + "\" ";
    if (_startError)
        return text + "could not be started: " + errorText(_startError) + ".";
    if (terminatingSignal)
        return text + "was killed by signal " + std::to_string(terminatingSignal) + ".";
    if (exitCode < 0)
        return text + "could not be started: " + errorText(-exitCode) + ".";
    return text + "ended with exit code " + std::to_string(exitCode) + ".";
}
