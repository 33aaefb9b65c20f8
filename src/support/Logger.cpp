#include "Logger.h"

#include <cctype>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <unordered_map>
#include <vector>

Logger gLogger("Ambrel:", Logger::INFO);
Logger gUtilLogger("Util:", Logger::WARNING);

Logger::Logger(const std::string& name, Level level, const std::string& logFilePath,
               TimestampStyle timestampStyle, const std::string& timestampFormat)
    : _name(name), _level(level), _stream(stderr), _timestampStyle(timestampStyle),
      _timestampFormat(timestampFormat) {
    if (!logFilePath.empty()) {
        FILE* file = std::fopen(logFilePath.c_str(), "w");
        if (file)
            _stream = file;
    }
}

Logger::~Logger() {
    if (_stream && _stream != stderr)
        std::fclose(_stream);
    _stream = stderr;
    _level = NONE;
    _timestampStyle = NO_TIMESTAMP;
}

const char* Logger::levelLabel(Level level) {
    static const char* const LABELS[] = {"",          "DEBUG    ", "INFO     ", "WARNING  ",
                                         "ERROR    ", "CRITICAL ", ""};
    return (level >= ALL && level <= NONE) ? LABELS[level] : "";
}

Logger::Level Logger::getLevelFromString(const std::string& text, Level fallback) {
    // Built once; function-local statics are initialised thread-safely.
    static const std::unordered_map<std::string, Level> WORDS = {
        {"ALL", ALL},       {"DEBUG", DEBUG}, {"INFO", INFO}, {"WARNING", WARNING},
        {"WARN", WARNING},  {"ERROR", ERROR}, {"ERR", ERROR}, {"CRITICAL", CRITICAL},
        {"CRIT", CRITICAL}, {"NONE", NONE}};
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto it = WORDS.find(upper);
    return it == WORDS.end() ? fallback : it->second;
}

std::string Logger::_timestamp() const {
    const char* format = nullptr;
    switch (_timestampStyle) {
    case UTC_ISO:
        format = "%Y-%m-%dT%H:%M:%SZ";
        break;
    case LOCAL:
        format = "%Y-%m-%d %H:%M:%S";
        break;
    case CUSTOM:
        format = _timestampFormat.c_str();
        break;
    default:
        return "";
    }
    if (*format == '\0')
        return "";
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (_timestampStyle == UTC_ISO)
        gmtime_r(&now, &parts);
    else
        localtime_r(&now, &parts);
    std::ostringstream out;
    out << std::put_time(&parts, format);
    return out.str();
}

void Logger::_log(Level level, const char* format, va_list args) {
    Level threshold = getLevel();
    if (threshold == NONE)
        return;
    if (threshold != ALL && threshold > level)
        return;

    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> message(needed > 0 ? static_cast<size_t>(needed) + 1 : 1, '\0');
    if (needed > 0)
        std::vsnprintf(message.data(), message.size(), format, args);

    std::string stamp = _timestamp();
    std::lock_guard<std::mutex> lock(_mutex);
    std::fprintf(_stream, "%s%s%s%s%s%s\n", stamp.c_str(), stamp.empty() ? "" : " ", _name.c_str(),
                 _name.empty() ? "" : " ", levelLabel(level), message.data());
    std::fflush(_stream);
}

#define LOGGER_METHOD(method, level)                                                               \
    void Logger::method(const char* format, ...) {                                                 \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        _log(level, format, args);                                                                 \
        va_end(args);                                                                              \
    }

LOGGER_METHOD(debug, DEBUG)
LOGGER_METHOD(info, INFO)
LOGGER_METHOD(warning, WARNING)
LOGGER_METHOD(error, ERROR)
LOGGER_METHOD(critical, CRITICAL)

#undef LOGGER_METHOD

void set_util_log_level(Logger::Level level) {
    gUtilLogger.setLevel(level);
}

void setMessageLevel(Logger::Level level) {
    gLogger.setLevel(level);
    set_util_log_level(level);
}
