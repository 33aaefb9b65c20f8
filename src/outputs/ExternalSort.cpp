#include "ExternalSort.h"

#include "support/Command.h"
#include "support/Logger.h"
#include "support/Utilities.h"

void sortTxtFile(const std::string& outputFile, std::string inputFile, unsigned long threads,
                 const std::string& separator, const std::string& bufferSize,
                 const std::vector<std::string>& keys, const std::string& tempFolder) {
    Command sort("sort");
    sort.setEnvironment("LC_ALL", "C");
    sort.addArguments(keys);
    sort.addArguments({"-t", separator, "-S", bufferSize, "--parallel", std::to_string(threads),
                       "-T", tempFolder, "-o", outputFile, fileOperand(inputFile)});
    sort.logStdoutToFile("");
    sort.logStderrToFile("");
    runCommandAndLogError(sort, gUtilLogger, true, true);
}
