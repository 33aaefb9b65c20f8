// Ambrel's MultiQC custom content read by Debian's MultiQC: the sections are found, pass its lint,
// and its data files hold the report's numbers.
#include <algorithm>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "support/Utilities.h"

namespace {

// The value of a report column in a library's row of a segment.
std::string reportValue(const std::string& report, const std::string& segment,
                        const std::string& column, const std::string& library) {
    std::vector<std::string> lines = splitLines(report);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] != segment)
            continue;
        std::vector<std::string> columns = strSplit(lines[i + 1], ',');
        size_t at = std::find(columns.begin(), columns.end(), column) - columns.begin();
        for (size_t row = i + 2; row < lines.size() && lines[row][0] != '#'; ++row)
            if (strSplit(lines[row], ',').back() == library)
                return strSplit(lines[row], ',').at(at);
    }
    return "<none>";
}

} // namespace

TEST(Multiqc, ReadsTheRunsQualityNumbers) {
    if (runProcess({"sh", "-c", "command -v multiqc"}).status != 0)
        GTEST_SKIP() << "multiqc is not installed (Debian: multiqc)";
    RunInputs inputs;
    inputs.addDemoLibrary();
    std::string runDir = inputs.dir.file("run");
    ASSERT_EQ(inputs.run(runDir).status, 0);
    std::string config = inputs.write("mqc.yaml", "no_version_check: true\n");
    for (const char* mode : {"--flat", "--lint"}) {
        ProcessResult multiqc = runProcess(
            {"multiqc", mode, "--flat", "-c", config, "-o", inputs.dir.file(mode), runDir});
        ASSERT_EQ(multiqc.status, 0) << mode << "\n" << multiqc.out << multiqc.err;
    }
    std::string data = inputs.dir.file("--flat") + "/multiqc_data/";
    std::string report = readFile(runDir + "/Demo_SeqMetrics.csv");
    std::vector<std::string> general = splitLines(readFile(data + "multiqc_general_stats.txt"));
    ASSERT_EQ(general.size(), 2u); // one library, no Combined_stats
    std::vector<std::string> row = strSplit(general[1], '\t');
    EXPECT_EQ(row[0], "Demo_Sample1");
    EXPECT_EQ(row[1], reportValue(report, "#Sequencing#", "Total_Reads", "Sample1"));
    EXPECT_EQ(row[2], reportValue(report, "#Sequencing#", "Pct_Cellular", "Sample1"));
    EXPECT_EQ(row[3], reportValue(report, "#Sequencing#", "Pct_Useful", "Sample1"));
    std::vector<std::string> categories =
        splitLines(readFile(data + "multiqc_ambrel_alignment_plot.txt"));
    ASSERT_EQ(categories.size(), 2u);
    EXPECT_EQ(strSplit(categories[1], '\t').at(1),
              reportValue(report, "#Alignment_Categories#", "Cellular_Reads_Mapped_to_Genes_mRNA",
                          "Sample1"));
    EXPECT_EQ(splitLines(readFile(data + "multiqc_ambrel_filtering_plot.txt")).at(1),
              "Demo_Sample1\t4000\t400");
}
