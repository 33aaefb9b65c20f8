#include "ArgumentParser.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <strings.h>

namespace {

constexpr size_t USAGE_WIDTH = 100;
const char* const HELP_COLUMN = "                        "; // 24 spaces
constexpr size_t HELP_COLUMN_WIDTH = 24;

bool starts_with_dashes(const char* argument) {
    return std::strncmp(argument, "--", 2) == 0;
}

std::string program_name(const char* programPath) {
    const char* slash = std::strrchr(programPath, '/');
    return slash ? slash + 1 : programPath;
}

} // namespace

void ArgumentParser::addOption(const std::string& flag, const std::string& valueName, bool required,
                               const std::string& help, OptionValue valueKind,
                               OptionSelection selection, Handler handler,
                               const std::string& defaultValue) {
    if (flag.empty())
        throw std::invalid_argument("Option string may not be empty");

    std::string normalised = flag;
    if (flag[0] != '-')
        normalised = "--" + flag;
    else if (flag.size() > 1 && flag[1] != '-')
        normalised = "-" + flag;
    else if (flag.size() < 3)
        throw std::invalid_argument("Option string must have more than just \"--\"");

    if (strcasecmp(normalised.c_str(), "--help") == 0)
        throw std::invalid_argument("The normalized option string may not be \"--help\"");

    bool hasValue = valueKind == OPTIONAL_VALUE || valueKind == REQUIRED_VALUE;
    if (hasValue) {
        if (valueName.empty())
            throw std::invalid_argument("The valueName may not be the empty string for option "
                                        "flags with an optional or required value");
        if (_claimedValueNames.count(valueName))
            throw std::invalid_argument("The given valueName \"" + valueName +
                                        "\" has already been claimed");
        auto clash = _handlers.find(valueName);
        if (clash != _handlers.end() && clash->second.valueKind == NO_VALUE)
            throw std::invalid_argument(
                "The given valueName \"" + valueName +
                "\" collides with the no_value option flag: " + clash->first);
    }
    if (_claimedValueNames.count(normalised))
        throw std::invalid_argument("The given option flag \"" + normalised +
                                    "\" collides with the valueName: " + normalised);
    if (_handlers.count(normalised))
        throw std::invalid_argument("The handler for option \"" + normalised +
                                    "\" is already defined");

    OptionHandler& option = _handlers[normalised];
    option.flag = normalised;
    option.defaultValue = defaultValue;
    option.valueName = hasValue ? valueName : "";
    option.handler = std::move(handler);
    option.valueKind = valueKind;
    option.selection = selection;
    option.help = help;
    option.required = required;
    if (hasValue)
        _claimedValueNames.insert(valueName);
    if (required)
        _requiredFlags[normalised] = false;
}

ArgumentParser::UsageError::UsageError(const std::string& what, const char* programPath)
    : std::invalid_argument(what + "; see '" + program_name(programPath) + " --help'") {}

bool ArgumentParser::isHelpWord(const char* argument) {
    return strcasecmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

ArgumentParser::Outcome ArgumentParser::parseArguments(int argc, const char* const* argv) {
    if (argv[argc] != nullptr)
        throw std::invalid_argument("The last argument must be NULL");

    // The list option whose values may go on in the words that follow it.
    const OptionHandler* openList = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument == nullptr) {
            parsedOptions.clear();
            for (auto& required : _requiredFlags)
                required.second = false;
            throw std::invalid_argument("Null pointer found in the middle of the arguments list.");
        }
        if (isHelpWord(argument))
            return HELP;
        // Only "--" words are options: a value such as "-in.bam" may be a file name.
        if (!starts_with_dashes(argument)) {
            if (!openList)
                throw UsageError("Unexpected word \"" + std::string(argument) +
                                     "\": it is no option and follows no option that takes it",
                                 argv[0]);
            _store(*openList, argument);
            continue;
        }
        openList = nullptr;
        if (std::strchr(argument, '='))
            throw UsageError("\"" + std::string(argument) +
                                 "\": write the option and its value as two words",
                             argv[0]);
        auto found = _handlers.find(argument);
        if (found == _handlers.end())
            throw UsageError("Unknown option \"" + std::string(argument) + "\"", argv[0]);
        const std::string& flag = found->first;
        const OptionHandler& option = found->second;
        // A repeated single option would silently replace the first value given.
        if (option.selection == SINGLE && hasParsedOption(flag))
            throw UsageError(flag + " is given twice", argv[0]);
        std::string value = option.defaultValue;
        if (option.valueKind == OPTIONAL_VALUE) {
            if (i + 1 < argc && !starts_with_dashes(argv[i + 1]))
                value = argv[++i];
        } else if (option.valueKind == REQUIRED_VALUE) {
            if (i + 1 >= argc || starts_with_dashes(argv[i + 1]))
                throw UsageError(flag + " needs a value" +
                                     (i + 1 < argc
                                          ? std::string(", not the option \"") + argv[i + 1] + "\""
                                          : std::string()),
                                 argv[0]);
            value = argv[++i];
        }
        if (option.valueKind == NO_VALUE)
            parsedOptions[flag] = OptionArgument{argument, "", {}};
        _store(option, value);
        if (option.selection == MULTIPLE && option.valueKind != NO_VALUE)
            openList = &option;
        auto required = _requiredFlags.find(flag);
        if (required != _requiredFlags.end())
            required->second = true;
    }

    missing.clear();
    for (const auto& required : _requiredFlags)
        if (!required.second)
            missing.push_back(required.first);
    return missing.empty() ? PARSED : MISSING_OPTIONS;
}

void ArgumentParser::_store(const OptionHandler& option, const std::string& value) {
    if (option.valueKind != NO_VALUE) {
        auto stored = parsedOptions.find(option.valueName);
        if (stored == parsedOptions.end())
            parsedOptions.emplace(option.valueName,
                                  OptionArgument{option.flag, option.valueName, {value}});
        else if (option.selection == SINGLE)
            stored->second.values.at(0) = value;
        else
            stored->second.values.push_back(value);
    }
    if (option.handler)
        option.handler(value);
}

bool ArgumentParser::hasParsedOption(const std::string& name) const {
    if (name.compare(0, 2, "--") != 0)
        return parsedOptions.count(name) != 0;
    auto found = _handlers.find(name);
    if (found == _handlers.end())
        return false;
    const std::string& key = found->second.valueName.empty() ? name : found->second.valueName;
    return parsedOptions.count(key) != 0;
}

std::string ArgumentParser::_valueSuffix(const OptionHandler& option) {
    std::string valueName = option.valueName;
    for (char& c : valueName)
        if (c == ' ')
            c = '_';
    if (option.valueKind == REQUIRED_VALUE)
        return " " + valueName;
    if (option.valueKind == OPTIONAL_VALUE)
        return " [" + valueName + "]";
    return "";
}

std::string ArgumentParser::helpText(const char* programPath,
                                     const std::vector<std::string>& missing) const {
    std::string program = program_name(programPath);
    std::string indent(program.size() + 7, ' ');

    std::string text = "Usage: " + program;
    size_t running = program.size() + 7;
    for (const auto& entry : _handlers) {
        std::string piece = entry.first + _valueSuffix(entry.second);
        if (!entry.second.required)
            piece = "[" + piece + "]";
        piece = " " + piece;
        if (running + piece.size() > USAGE_WIDTH) {
            text += "\n" + indent;
            running = indent.size();
        }
        text += piece;
        running += piece.size();
    }
    text += "\n";

    if (!missing.empty()) {
        text += "Error: Missing Required Option Flags:\n";
        for (const std::string& flag : missing)
            text += "    " + flag + "\n";
        return text;
    }
    text += "\n" + description + "\n\nOptions:\n";
    text += "    -h, --help          show this help message and exit\n";
    for (const auto& entry : _handlers) {
        std::string head = "    " + entry.first + _valueSuffix(entry.second);
        if (head.size() > HELP_COLUMN_WIDTH - 1)
            text += head + "\n" + HELP_COLUMN + entry.second.help + "\n";
        else
            text += head + std::string(HELP_COLUMN, HELP_COLUMN_WIDTH - head.size()) +
                    entry.second.help + "\n";
    }
    return text;
}
