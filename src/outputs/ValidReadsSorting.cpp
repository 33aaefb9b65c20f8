// Finishing the valid-reads tables at the end of the run: close, sort with the external sort,
// compress with pigz, and archive the external programs' logs.
#include <cerrno>
#include <regex>
#include <system_error>

#include "ReadAnnotationFiles.h"
#include "support/Command.h"
#include "support/LibraryName.h"
#include "support/Logger.h"
#include "support/Utilities.h"

namespace {

const char* const SORT_SEPARATOR = ",";
const char* const SORT_BUFFER_SIZE = "20G";

// gene, cell index, UMI, AbSeq UMI
const std::vector<std::string> PARTITION_KEYS = {"--key", "3,3", "--key", "1,1",
                                                 "--key", "2,2", "--key", "4,4"};
// gene, cell index
const std::vector<std::string> SAMPLE_TAG_KEYS = {"--key", "3,3", "--key", "1,1"};

void __compress(const std::string& file, unsigned long threads) {
    Command pigz("pigz");
    pigz.addArguments({"--force", "--processes", std::to_string(threads), fileOperand(file)});
    pigz.logStdoutToFile("");
    pigz.logStderrToFile("");
    runCommandAndLogError(pigz, gLogger, true, true);
}

} // namespace

void sortTxtFile(const std::string& outputFile, std::string inputFile, unsigned long threads,
                 const std::string& separator, const std::string& bufferSize,
                 const std::vector<std::string>& keys) {
    Command sort("sort");
    sort.setEnvironment("LC_ALL", "C");
    sort.addArguments(keys);
    sort.addArguments({"-t", separator, "-S", bufferSize, "--parallel", std::to_string(threads),
                       "-o", outputFile, fileOperand(inputFile)});
    sort.logStdoutToFile("");
    sort.logStderrToFile("");
    runCommandAndLogError(sort, gUtilLogger, true, true);
}

void ReadAnnotationFiles::_ValidReadsFile::closeSortAndCompress(unsigned long threads) {
    if (!stream)
        return;
    int closed = std::fclose(stream);
    stream = nullptr;
    if (closed != 0)
        throw std::system_error(errno, std::generic_category(),
                                "Failed to close validReadsFile: " + name);
    sortTxtFile(name, name, threads, SORT_SEPARATOR, SORT_BUFFER_SIZE, PARTITION_KEYS);
    __compress(name, threads);
}

void ReadAnnotationFiles::sortValidReadsFiles(unsigned long threads) {
    for (_Slot& slot : _slots)
        if (_ValidReadsFile* file = slot.file.load())
            file->closeSortAndCompress(threads);
    compressLogFiles(".", prefix + "_Ambrel_Logs", std::regex("^.*\\.log$"), false);
}

void ReadAnnotationFiles::closeSortAndCompressSampleTagValidReads(unsigned long threads) {
    if (sampleTagStream) {
        int closed = std::fclose(sampleTagStream);
        sampleTagStream = nullptr;
        if (closed != 0)
            throw std::system_error(errno, std::generic_category(),
                                    "Failed to close file: " + sampleTagFileName);
    }
    sortTxtFile(sampleTagFileName, sampleTagFileName, threads, SORT_SEPARATOR, SORT_BUFFER_SIZE,
                SAMPLE_TAG_KEYS);
    __compress(sampleTagFileName, threads);
}
