// libFuzzer target: the run's command line (NUL-separated arguments) through its option table.
// Most inputs are refused with a usage error; run it with -close_fd_mask=2 all the same.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/RunSetup.h"
#include "support/Utilities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args =
        strSplit(std::string(reinterpret_cast<const char*>(data), size), '\0');
    args.insert(args.begin(), "ambrel");
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        if (ArgumentParser::isHelpWord(arg.c_str()))
            return 0; // prints the help and exits the process, as it should
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    ArgumentParser parser;
    RunParameters params;
    registerOptions(parser, params);
    try {
        parser.parseArguments(static_cast<int>(args.size()), argv.data(), true);
    } catch (const ArgumentParser::MissingRequiredOption&) {
    } catch (const ArgumentParser::UsageError&) {
    }
    return 0;
}
