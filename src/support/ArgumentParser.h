// Long-option command-line parser: "--flag value" only, no short options, no "--flag=value".
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

struct OptionArgument {
    std::string flag;      // as written on the command line
    std::string valueName; // empty for options without a value
    std::vector<std::string> values;
};

class ArgumentParser {
public:
    enum OptionValue { NO_VALUE = 0, OPTIONAL_VALUE = 1, REQUIRED_VALUE = 2 };
    enum OptionSelection { SINGLE = 1, MULTIPLE = 2 };
    using Handler = std::function<void(const std::string&)>;

    class MissingRequiredOption : public std::exception {
    public:
        explicit MissingRequiredOption(const std::vector<std::string>& missing);
        const char* what() const noexcept override { return _message.c_str(); }

    private:
        std::string _message;
    };

    explicit ArgumentParser(const std::string& description = "") : description(description) {}

    void addOption(const std::string& flag, const std::string& valueName, bool required,
                   const std::string& help, OptionValue valueKind = OPTIONAL_VALUE,
                   OptionSelection selection = SINGLE, Handler handler = Handler(),
                   const std::string& defaultValue = "");
    void parseArguments(int argc, const char* const* argv, bool throwOnMissing);
    bool hasParsedOption(const std::string& name) const;

    std::string description;
    std::map<std::string, OptionArgument> parsedOptions;
    std::vector<std::string> positionalArguments;

    // The usage (and, without missing options, the option list) as printed by the help output.
    std::string helpText(const char* programPath, const std::vector<std::string>& missing) const;

private:
    struct _OptionHandler {
        std::string defaultValue;
        std::string valueName;
        Handler handler;
        OptionValue valueKind = OPTIONAL_VALUE;
        OptionSelection selection = SINGLE;
        std::string help;
        bool required = false;
    };

    void _printHelp(const char* programPath, const std::vector<std::string>& missing) const;
    static std::string _valueSuffix(const _OptionHandler& option);

    std::map<std::string, _OptionHandler> _handlers;
    std::set<std::string> _claimedValueNames;
    std::map<std::string, bool> _requiredFlags;
};
