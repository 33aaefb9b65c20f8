// libFuzzer target: the run's command line (NUL-separated arguments) through its option table.
// Most inputs are refused with a usage error; run it with -close_fd_mask=2 all the same.
#include <cstdint>
#include <cstdlib>
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
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    ArgumentParser parser;
    RunParameters params;
    registerOptions(parser, params);
    try {
        ArgumentParser::Outcome outcome =
            parser.parseArguments(static_cast<int>(args.size()), argv.data());
        if ((outcome == ArgumentParser::MISSING_OPTIONS) == parser.missing.empty())
            std::abort();
    } catch (const ArgumentParser::UsageError&) {
    }
    return 0;
}
