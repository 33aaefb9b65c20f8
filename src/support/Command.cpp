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
#include <stdexcept>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Logger.h"
#include "StopSignals.h"

extern char** environ;

namespace {

const char* const SUMMARY_RULE = "------------------------------------";

char* copy_string(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy)
        throw std::bad_alloc();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

struct ChildStart {
    const char* program;
    char** argv;
    char** environment;
    bool absolute;
    int* inputPipe;
    int outFd;
    int errFd;
    int* execError; // the parent's: vfork suspends it until the child has exec'd or exited
};

// Runs in the child between vfork and exec: only redirections, the exec and async-signal-safe
// output are allowed here.
[[noreturn]] void exec_child(const ChildStart& child) {
    // The run waits for its stop signals on a thread of its own; the program takes them itself.
    pthread_sigmask(SIG_UNBLOCK, stopSignalSet(), nullptr);
    if (child.inputPipe) {
        dup2(child.inputPipe[0], 0);
        close(child.inputPipe[1]);
    }
    if (child.outFd >= 0)
        dup2(child.outFd, 1);
    if (child.errFd >= 0)
        dup2(child.errFd, 2);
    if (child.absolute)
        execve(child.program, child.argv, child.environment);
    else
        execvpe(child.program, child.argv, child.environment);
    // A program that cannot be started is told apart from its own exit status by the shell's
    // convention: 127 when not found, 126 when found but not executable. The message goes to the
    // (possibly logged) stderr.
    int error = errno;
    *child.execError = error;
    const char* parts[] = {"cannot run ", child.program, ": ", strerror(error), "\n"};
    for (const char* part : parts) {
        ssize_t ignored = write(2, part, std::strlen(part));
        (void)ignored;
    }
    _exit(error == ENOENT ? 127 : 126);
}

// vfork: the child only redirects and executes, and the run's memory (the gene model, some
// hundred megabytes) need not have its page tables copied for each of the ~70 commands.
pid_t start_child(const ChildStart& child) {
    pid_t pid = vfork();
    if (pid == 0)
        exec_child(child);
    return pid;
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

Command::Command(const std::string& program) {
    _argv = static_cast<char**>(std::calloc(_capacity, sizeof(char*)));
    if (!_argv)
        throw std::bad_alloc();
    _program = copy_string(program);
    _argv[0] = copy_string(program);
}

Command::~Command() {
    for (unsigned long i = _argc + 1; i-- > 0;)
        std::free(_argv[i]);
    std::free(_argv);
    std::free(_program);
}

void Command::_append(const std::string& argument) {
    _argv[++_argc] = copy_string(argument);
}

void Command::addArguments(std::initializer_list<std::string> arguments) {
    addArguments(std::vector<std::string>(arguments));
}

void Command::addArguments(const std::vector<std::string>& arguments) {
    // Room for entry 0, the arguments and the closing null.
    unsigned long needed = _argc + 1 + arguments.size() + 1;
    if (needed > _capacity) {
        unsigned long growth = (arguments.size() + 127) / 128 * 128;
        unsigned long capacity = _capacity + growth;
        while (capacity < needed)
            capacity += 128;
        char** grown = static_cast<char**>(std::realloc(_argv, capacity * sizeof(char*)));
        if (!grown)
            throw std::bad_alloc();
        std::memset(grown + _capacity, 0, (capacity - _capacity) * sizeof(char*));
        _argv = grown;
        _capacity = capacity;
    }
    for (const std::string& argument : arguments)
        _append(argument);
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
    const char* name = std::strrchr(_argv[0], '/');
    name = name ? name + 1 : _argv[0];
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

int Command::execute(int* inputPipe) {
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

    // The child's environment is built before the fork: after fork in a threaded process only
    // async-signal-safe calls are allowed, which rules out setenv.
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
    _startError = 0;
    ChildStart child{_program,
                     _argv,
                     environment.empty() ? environ : envp.data(),
                     _program[0] == '/',
                     inputPipe,
                     outFd,
                     errFd,
                     &_startError};
    std::fflush(nullptr);
    pid_t pid = start_child(child);
    if (pid < 0) {
        int error = errno;
        std::fprintf(stderr, "Failed to fork\n");
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
    int started = execute(nullptr);
    if (started != 0) {
        exitCode = started;
        return exitCode;
    }
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
        exitCode = (status >> 8) & 0xff;
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
    text += _program ? _program : "";
    text += ' ';
    for (unsigned long i = 1; i <= _argc; ++i) {
        if (i > 1)
            text += ' ';
        text += _argv[i];
    }
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
        text += "cannot run " + std::string(_program) + ": " + std::strerror(_startError) + "\n";
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
    if (!command.program() || command.program()[0] == '\0') {
        std::fprintf(stderr, "No application set, returning -ENOENT (%d)\n", ENOENT);
        command.exitCode = -ENOENT;
    } else if (command.run() == 0) {
        return 0;
    }
    logger.error("Non-zero exit code when running the below command:\n%s",
                 command.getCommandSummaryAsString(includeStderr).c_str());
    if (throwOnError)
        throw std::runtime_error("Got non-zero exit code when making a system call.");
    return command.exitCode;
}
