#include <gtest/gtest.h>
#include <stdexcept>

#include "TestSupport.h"
#include "support/Utilities.h"

using Pieces = std::vector<std::string>;

// (Joining and percentages with a total are the reports' text in the golden runs.)
TEST(StringHelpers, SplitReplaceJoinAndPercent) {
    // Inner and leading empty pieces stay, a trailing one goes.
    EXPECT_EQ(strSplit("a,,b", ','), (Pieces{"a", "", "b"}));
    EXPECT_EQ(strSplit(",a,", ','), (Pieces{"", "a"}));
    EXPECT_EQ(strSplit("", ','), Pieces{});
    // Replacements are not scanned again; a count limits them.
    EXPECT_EQ(substrReplace("aaaa", "aa", "b", -1), "bb");
    EXPECT_EQ(substrReplace("aaaa", "aa", "b", 1), "baa");
    EXPECT_EQ(substrReplace("aaaa", "aa", "b", 0), "aaaa");
    EXPECT_EQ(substrReplace("aXa", "a", "aa", -1), "aaXaa");
    EXPECT_THROW(substrReplace("abc", "", "b", -1), std::invalid_argument);
    EXPECT_EQ(strJoin(Pieces{}, "+"), "");
    EXPECT_EQ(percentText(0, 0), "0.00");
}

TEST(RunOptionValues, AssayTypesAndUmiOptions) {
    EXPECT_EQ(strToAssayType("wTa"), WTA);
    EXPECT_EQ(strToAssayType(" WTA"), NONE);
    const std::pair<const char*, UMIOption> options[] = {{"2", R1_AND_ABSEQ_UMI},
                                                         {"", ABSEQ_UMI_ONLY},
                                                         {"3", ABSEQ_UMI_ONLY},
                                                         {"1abc", ABSEQ_UMI_ONLY},
                                                         {" 0", R1_UMI_ONLY},
                                                         {"-1", ABSEQ_UMI_ONLY},
                                                         {"99999999999999999999", ABSEQ_UMI_ONLY}};
    for (const auto& [text, option] : options)
        EXPECT_EQ(parseUMIOptionArgument(text), option) << text;
}

TEST(LoadJsonFile, SkipsAByteOrderMarkAndReportsParseErrors) {
    ScratchDir dir;
    writeFile("bom.json", "\xEF\xBB\xBF{\"Run_Base_Name\": \"run1\"}\n");
    writeFile("bad.json", "{\"a\": }");
    JsonValue json;
    std::string error;
    ASSERT_TRUE(loadJsonFile(json, "bom.json", &error)) << error;
    EXPECT_EQ(static_cast<std::string>(json["Run_Base_Name"]), "run1");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(loadJsonFile(json, "bad.json", &error));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, "parseValue: Unexpected character '}' in stream at position 6");
}
