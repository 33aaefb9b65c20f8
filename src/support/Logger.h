// Line-oriented logger: "[timestamp] name LEVEL    message", one flushed line per call.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

class Logger {
public:
    enum Level { ALL = 0, DEBUG = 1, INFO = 2, WARNING = 3, ERROR = 4, CRITICAL = 5, NONE = 6 };
    enum TimestampStyle { NO_TIMESTAMP = 0, UTC_ISO = 1, LOCAL = 2, CUSTOM = 3 };

    Logger(const std::string& name, Level level, const std::string& logFilePath = "",
           TimestampStyle timestampStyle = CUSTOM,
           const std::string& timestampFormat = "[%Y-%m-%d %H:%M:%S]");
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void critical(const char* format, ...) __attribute__((format(printf, 2, 3)));

    void setLevel(Level level) { _level.store(level, std::memory_order_relaxed); }
    Level getLevel() const { return _level.load(std::memory_order_relaxed); }

    // The level named by text (case-insensitive, untrimmed), else fallback.
    static Level getLevelFromString(const std::string& text, Level fallback);
    // The 9-character label written for a message level; empty for ALL and NONE.
    static const char* levelLabel(Level level);

private:
    void _log(Level level, const char* format, va_list args);
    std::string _timestamp() const;

    std::string _name;
    std::atomic<Level> _level;
    FILE* _stream;
    TimestampStyle _timestampStyle;
    std::string _timestampFormat;
    std::mutex _mutex;
};

extern Logger gLogger;
extern Logger gUtilLogger;

void set_util_log_level(Logger::Level level);
// Sets gLogger's level and, through set_util_log_level, gUtilLogger's.
void setMessageLevel(Logger::Level level);
