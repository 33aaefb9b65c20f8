// Long-option command-line parser: "--flag value" only, no short options, no "--flag=value".
// Strict: a word it cannot place stops the parse, so a typo never runs with a default.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <stdexcept>
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

    // What a parse found: options to run with, a help word, or required options missing (named
    // in missing).
    enum Outcome { PARSED, HELP, MISSING_OPTIONS };

    // A command line that cannot be read as written: an unknown option, "--flag=value", an option
    // without its value, a repeated single option, a stray word. The message names the word and
    // points to --help.
    class UsageError : public std::invalid_argument {
    public:
        UsageError(const std::string& what, const char* programPath);
    };

    // "--help" in any letter case, or "-h".
    static bool isHelpWord(const char* argument);

    explicit ArgumentParser(const std::string& description = "") : description(description) {}

    void addOption(const std::string& flag, const std::string& valueName, bool required,
                   const std::string& help, OptionValue valueKind = OPTIONAL_VALUE,
                   OptionSelection selection = SINGLE, Handler handler = Handler(),
                   const std::string& defaultValue = "");
    // Reads the words into parsedOptions; throws UsageError for a word it cannot place. Every word
    // after a MULTIPLE option's value, up to the next option, is another value of it. The caller
    // prints the help (helpText) for HELP and MISSING_OPTIONS; the parse ends at a help word.
    [[nodiscard]] Outcome parseArguments(int argc, const char* const* argv);
    std::vector<std::string> missing; // after MISSING_OPTIONS
    bool hasParsedOption(const std::string& name) const;

    std::string description;
    std::map<std::string, OptionArgument> parsedOptions;

    // The usage (and, without missing options, the option list) as printed by the help output.
    std::string helpText(const char* programPath, const std::vector<std::string>& missing) const;

private:
    struct OptionHandler {
        std::string flag; // normalised
        std::string defaultValue;
        std::string valueName;
        Handler handler;
        OptionValue valueKind = OPTIONAL_VALUE;
        OptionSelection selection = SINGLE;
        std::string help;
        bool required = false;
    };

    // Records a value of option and calls its handler.
    void _store(const OptionHandler& option, const std::string& value);
    static std::string _valueSuffix(const OptionHandler& option);

    std::map<std::string, OptionHandler> _handlers;
    std::set<std::string> _claimedValueNames;
    std::map<std::string, bool> _requiredFlags;
};
