#include <gtest/gtest.h>
#include <stdexcept>

#include "TestSupport.h"
#include "support/ArgumentParser.h"

using AP = ArgumentParser;

namespace {

void parse(AP& parser, std::vector<std::string> args, bool throwOnMissing = true) {
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    parser.parseArguments(static_cast<int>(args.size()), argv.data(), throwOnMissing);
}

} // namespace

TEST(ArgumentParser, ValuesSelectionsAndHandlers) {
    AP parser;
    std::vector<std::string> seen;
    bool flagged = false;
    parser.addOption("list", "List", false, "", AP::REQUIRED_VALUE, AP::MULTIPLE,
                     [&](const std::string& v) { seen.push_back(v); });
    parser.addOption("-single", "Single", false, "", AP::REQUIRED_VALUE, AP::SINGLE);
    parser.addOption(
        "--opt", "Opt", false, "", AP::OPTIONAL_VALUE, AP::SINGLE,
        [&](const std::string& v) { seen.push_back("opt=" + v); }, "dflt");
    parser.addOption("flag", "Ignored", false, "", AP::NO_VALUE, AP::SINGLE,
                     [&](const std::string&) { flagged = true; });
    std::string err = captureStderr([&] {
        parse(parser, {"prog", "--list", "a", "pos1", "--single", "1", "--single", "2", "--list",
                       "--b", "-list", "x", "--opt", "--flag", "--flag", "--unknown", "pos2"});
    });
    EXPECT_EQ(err, "Unknown option flag: --unknown\n");
    EXPECT_EQ(parser.parsedOptions.at("List").values, (std::vector<std::string>{"a", "--b"}));
    EXPECT_EQ(parser.parsedOptions.at("List").flag, "--list");
    EXPECT_EQ(parser.parsedOptions.at("Single").values, (std::vector<std::string>{"2"}));
    EXPECT_EQ(parser.parsedOptions.at("Opt").values, (std::vector<std::string>{"dflt"}));
    EXPECT_EQ(parser.parsedOptions.at("--flag").values.size(), 0u);
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "--b", "opt=dflt"}));
    EXPECT_TRUE(flagged);
    // "-list" is not the two-dash form: it is positional, as is what follows an unknown flag.
    EXPECT_EQ(parser.positionalArguments, (std::vector<std::string>{"pos1", "-list", "x", "pos2"}));

    EXPECT_TRUE(parser.hasParsedOption("List"));
    EXPECT_TRUE(parser.hasParsedOption("--list"));
    EXPECT_TRUE(parser.hasParsedOption("--flag"));
    EXPECT_FALSE(parser.hasParsedOption("--nothing"));
    EXPECT_FALSE(parser.hasParsedOption("list"));
}

TEST(ArgumentParser, MissingValueAndMissingRequiredOptions) {
    AP parser;
    parser.addOption("zeta", "Z", true, "", AP::REQUIRED_VALUE);
    parser.addOption("alpha", "A", true, "", AP::REQUIRED_VALUE);
    parser.addOption("mid", "M", true, "", AP::REQUIRED_VALUE);
    std::string err;
    try {
        err = captureStderr([&] { parse(parser, {"prog", "--mid", "1", "--zeta"}); });
        FAIL() << "no exception";
    } catch (const AP::MissingRequiredOption& e) {
        EXPECT_STREQ(e.what(), "\n\tMissing option arguments:\n\t\t--alpha\n\t\t--zeta\n");
    }
    EXPECT_FALSE(parser.hasParsedOption("Z"));
}
