// libFuzzer target: the run's command line (NUL-separated arguments) through its option table.
// Run it with -close_fd_mask=2: most inputs make the parser report unknown flags.
#include <cstdint>
#include <string>
#include <strings.h>
#include <vector>

#include "driver/RunSetup.h"
#include "support/Utilities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args =
        strSplit(std::string(reinterpret_cast<const char*>(data), size), '\0');
    args.insert(args.begin(), "ambrel");
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        if (strcasecmp(arg.c_str(), "--help") == 0)
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
    }
    return 0;
}
