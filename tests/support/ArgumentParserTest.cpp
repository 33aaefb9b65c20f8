#include <gtest/gtest.h>
#include <stdexcept>

#include "TestSupport.h"
#include "support/ArgumentParser.h"

using AP = ArgumentParser;

// Multiple values accumulate, a single one is overwritten, handlers see every value, and what is
// not a known two-dash flag is positional; missing required flags are listed in order.
TEST(ArgumentParser, ValuesSelectionsHandlersAndMissingFlags) {
    AP parser;
    std::vector<std::string> seen;
    parser.addOption("list", "List", false, "", AP::REQUIRED_VALUE, AP::MULTIPLE,
                     [&](const std::string& v) { seen.push_back(v); });
    parser.addOption("-single", "Single", false, "", AP::REQUIRED_VALUE, AP::SINGLE);
    parser.addOption("flag", "Ignored", false, "", AP::NO_VALUE, AP::SINGLE,
                     [&](const std::string&) { seen.push_back("flag"); });
    parser.addOption("zeta", "Z", true, "", AP::REQUIRED_VALUE);
    parser.addOption("alpha", "A", true, "", AP::REQUIRED_VALUE);
    std::vector<const char*> argv = {"prog",     "--list",    "a",      "pos1",   "--single", "1",
                                     "--single", "2",         "--list", "--b",    "-list",    "x",
                                     "--flag",   "--unknown", "pos2",   "--zeta", nullptr};
    testing::internal::CaptureStderr();
    try {
        parser.parseArguments(static_cast<int>(argv.size()) - 1, argv.data(), true);
        ADD_FAILURE() << "no exception";
    } catch (const AP::MissingRequiredOption& e) {
        EXPECT_STREQ(e.what(), "\n\tMissing option arguments:\n\t\t--alpha\n\t\t--zeta\n");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unknown option flag: --unknown\nRequired value not present for option: --zeta\n");
    EXPECT_EQ(parser.parsedOptions.at("List").values, (std::vector<std::string>{"a", "--b"}));
    EXPECT_EQ(parser.parsedOptions.at("Single").values, (std::vector<std::string>{"2"}));
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "--b", "flag"}));
    EXPECT_EQ(parser.positionalArguments, (std::vector<std::string>{"pos1", "-list", "x", "pos2"}));
    EXPECT_TRUE(parser.hasParsedOption("--list"));
    EXPECT_TRUE(parser.hasParsedOption("--flag"));
    EXPECT_FALSE(parser.hasParsedOption("Z"));
}
