// Ambrel's MultiQC custom content read by Debian's MultiQC: the sections are found, pass its lint,
// and its data files hold the report's numbers, each read filter's among them; every alignment
// category has a colour of its own.
#include <gtest/gtest.h>
#include <set>

#include "TestSupport.h"
#include "driver/RunChecks.h"
#include "support/Utilities.h"

TEST(Multiqc, ReadsTheRunsQualityNumbers) {
    AMBREL_SKIP_UNLESS(!findProgram("multiqc").empty(),
                       "multiqc is not installed (Debian: multiqc)");
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
    // The demo's numbers, as its golden report (tests/golden/wta/Demo_SeqMetrics.csv) has them:
    // one library, no Combined_stats row.
    std::string data = inputs.dir.file("--flat") + "/multiqc_data/multiqc_";
    EXPECT_EQ(splitLines(readFile(data + "general_stats.txt")).at(1),
              "Demo_Sample1\t4000\t98.38\t75.05\t68.36");
    EXPECT_EQ(splitLines(readFile(data + "ambrel_alignment_plot.txt")).at(1),
              "Demo_Sample1\t2081\t285\t184\t92\t48\t173\t169\t144\t177\t312\t145\t0\t125");
    EXPECT_EQ(splitLines(readFile(data + "ambrel_filtering_plot.txt")).at(1),
              "Demo_Sample1\t4000\t12\t150\t180\t58");
    // Every alignment category has a colour of its own.
    JsonValue alignment;
    ASSERT_TRUE(loadJsonFile(alignment, (runDir + "/Demo_ambrel_alignment_mqc.json").c_str()));
    std::set<std::string> colours;
    for (const std::string& category : alignment["categories"].keys())
        colours.insert(static_cast<std::string>(alignment["categories"][category]["color"]));
    EXPECT_EQ(alignment["categories"].keys().size(), 13u);
    EXPECT_EQ(colours.size(), 13u);
}
