// One external program run as a child process, its output optionally captured in log files named
// by program and start time.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

class Logger;

class Command {
public:
    explicit Command(const std::string& program) : _arguments{program} {}
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    void addArguments(std::initializer_list<std::string> arguments);
    void addArguments(const std::vector<std::string>& arguments);
    void setEnvironment(const std::string& name, const std::string& value) {
        environment[name] = value;
    }
    void logStdoutToFile(const std::string& prefix);
    void logStderrToFile(const std::string& prefix);

    // Starts the child and waits for it; returns and stores the exit code (see exitCode).
    [[nodiscard]] int run();

    std::string getExecutedCommandAsString() const;
    std::string getCommandSummaryAsString(bool includeStderr) const;

    std::map<std::string, std::string> environment;
    const std::string& stdoutPath() const { return _stdoutPath; }
    const std::string& stderrPath() const { return _stderrPath; }
    const std::string& program() const { return _arguments[0]; }
    // Why a failed command failed, naming the program, for the run's last word.
    std::string failureText() const;

    // 0, the child's exit status, 128 + signal number for a child killed by a signal, 127 (not
    // found) or 126 (not executable) for a program that could not be started, or a negative errno
    // for a start failure before the program was looked for.
    int exitCode = 0;
    // The signal that ended the last child, 0 when it exited normally.
    int terminatingSignal = 0;

private:
    // Starts the child; 0, or a negative errno when it could not be started.
    [[nodiscard]] int execute();
    std::string _logPath(const std::string& prefix, const char* timeText, const char* suffix) const;

    std::vector<std::string> _arguments; // the program first
    int _pid = -1;
    bool _logStdout = false;
    bool _logStderr = false;
    std::string _stdoutLogPrefix;
    std::string _stderrLogPrefix;
    std::string _stdoutPath;
    std::string _stderrPath;
    int _startError = 0; // errno of a program that could not be started
};

// Runs the command and waits; on failure logs the summary at ERROR and, when asked, throws
// std::runtime_error("Got non-zero exit code when making a system call.") with the program's name
// and exit code after it. Returns 0 on success,
// else the failure code.
int runCommandAndLogError(Command& command, Logger& logger, bool includeStderr, bool throwOnError);
