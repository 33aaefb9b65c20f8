#include <gtest/gtest.h>
#include <random>
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

std::string registrationError(const std::function<void(AP&)>& body) {
    AP parser;
    parser.addOption("taken", "TakenValue", false, "", AP::REQUIRED_VALUE);
    parser.addOption("switch", "", false, "", AP::NO_VALUE);
    try {
        body(parser);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "<registered>";
}

} // namespace

TEST(ArgumentParser, RegistrationErrors) {
    auto add = [](std::string flag, std::string valueName, AP::OptionValue kind) {
        return registrationError([&](AP& p) { p.addOption(flag, valueName, false, "", kind); });
    };
    EXPECT_EQ(add("", "V", AP::REQUIRED_VALUE), "Option string may not be empty");
    EXPECT_EQ(add("--", "V", AP::REQUIRED_VALUE), "Option string must have more than just \"--\"");
    EXPECT_EQ(add("-", "V", AP::REQUIRED_VALUE), "Option string must have more than just \"--\"");
    EXPECT_EQ(add("HELP", "V", AP::REQUIRED_VALUE),
              "The normalized option string may not be \"--help\"");
    EXPECT_EQ(add("-Help", "", AP::NO_VALUE), "The normalized option string may not be \"--help\"");
    EXPECT_EQ(add("x", "", AP::OPTIONAL_VALUE),
              "The valueName may not be the empty string for option flags with an optional or "
              "required value");
    EXPECT_EQ(add("x", "TakenValue", AP::REQUIRED_VALUE),
              "The given valueName \"TakenValue\" has already been claimed");
    EXPECT_EQ(add("x", "--switch", AP::REQUIRED_VALUE),
              "The given valueName \"--switch\" collides with the no_value option flag: --switch");
    EXPECT_EQ(registrationError([](AP& p) {
                  p.addOption("y", "--later", false, "", AP::REQUIRED_VALUE);
                  p.addOption("later", "", false, "", AP::NO_VALUE);
              }),
              "The given option flag \"--later\" collides with the valueName: --later");
    EXPECT_EQ(add("-taken", "Other", AP::REQUIRED_VALUE),
              "The handler for option \"--taken\" is already defined");
    // A failed registration leaves nothing behind: the name can still be claimed.
    EXPECT_EQ(registrationError([](AP& p) {
                  EXPECT_THROW(p.addOption("taken", "Fresh", false, "", AP::REQUIRED_VALUE),
                               std::invalid_argument);
                  p.addOption("other", "Fresh", false, "", AP::REQUIRED_VALUE);
              }),
              "<registered>");
}

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

TEST(ArgumentParser, OptionalValueTakesAPlainNextArgument) {
    AP parser;
    parser.addOption("opt", "Opt", false, "", AP::OPTIONAL_VALUE, AP::SINGLE, nullptr, "d");
    parse(parser, {"prog", "--opt", "given"});
    EXPECT_EQ(parser.parsedOptions.at("Opt").values.at(0), "given");
    AP last;
    last.addOption("opt", "Opt", false, "", AP::OPTIONAL_VALUE, AP::SINGLE, nullptr, "d");
    parse(last, {"prog", "--opt"});
    EXPECT_EQ(last.parsedOptions.at("Opt").values.at(0), "d");
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

TEST(ArgumentParser, NullEntries) {
    AP parser;
    parser.addOption("a", "A", false, "", AP::REQUIRED_VALUE);
    const char* notTerminated[] = {"prog", "--a", "x", "extra"};
    EXPECT_THROW(parser.parseArguments(3, notTerminated, true), std::invalid_argument);
    const char* holed[] = {"prog", "--a", "x", "pos", nullptr, "y", nullptr};
    try {
        parser.parseArguments(6, holed, true);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Null pointer found in the middle of the arguments list.");
    }
    EXPECT_TRUE(parser.parsedOptions.empty());
    EXPECT_TRUE(parser.positionalArguments.empty());
    // A required value cut off by the end of argv is reported and the option skipped.
    AP cut;
    cut.addOption("a", "A", false, "", AP::REQUIRED_VALUE);
    std::string err = captureStderr([&] { parse(cut, {"prog", "--a"}); });
    EXPECT_EQ(err, "Required value not present for option: --a\n");
    EXPECT_FALSE(cut.hasParsedOption("A"));
}

TEST(ArgumentParser, HelpLayout) {
    AP parser("Describes the tool.");
    parser.addOption("input", "Input File", true, "Where the reads are.", AP::REQUIRED_VALUE);
    parser.addOption("level", "Level", false, "How loud.", AP::OPTIONAL_VALUE);
    parser.addOption("a-rather-long-flag", "LongValueName", false, "Wraps onto its own line.",
                     AP::REQUIRED_VALUE);
    parser.addOption("quiet", "", false, "No output.", AP::NO_VALUE);
    EXPECT_EQ(parser.helpText("/usr/bin/tool", {}),
              "Usage: tool [--a-rather-long-flag LongValueName] --input Input_File [--level "
              "[Level]] [--quiet]\n"
              "\nDescribes the tool.\n\nOptions:\n"
              "    --help              show this help message and exit\n"
              "    --a-rather-long-flag LongValueName\n"
              "                        Wraps onto its own line.\n"
              "    --input Input_File  Where the reads are.\n"
              "    --level [Level]     How loud.\n"
              "    --quiet             No output.\n");
    EXPECT_EQ(parser.helpText("tool", {"--input"}),
              "Usage: tool [--a-rather-long-flag LongValueName] --input Input_File [--level "
              "[Level]] [--quiet]\n"
              "Error: Missing Required Option Flags:\n    --input\n");
}

TEST(ArgumentParser, UsageWrapsBeforeColumn100) {
    AP parser;
    for (int i = 0; i < 12; ++i)
        parser.addOption("option-" + std::to_string(10 + i), "Value" + std::to_string(i), i % 2, "",
                         AP::REQUIRED_VALUE);
    std::vector<std::string> lines = splitLines(parser.helpText("ambrel", {"--option-11"}));
    ASSERT_GE(lines.size(), 4u);
    size_t usageLines = 0;
    for (const std::string& line : lines) {
        if (line.rfind("Error:", 0) == 0)
            break;
        ++usageLines;
        EXPECT_LE(line.size(), 100u) << line;
    }
    EXPECT_GE(usageLines, 2u);
    EXPECT_EQ(lines[1].substr(0, 14), std::string(13, ' ') + " ");
    EXPECT_NE(lines[1][14], ' ');
}

TEST(ArgumentParserDeathTest, HelpInAnyCaseExitsZero) {
    AP parser;
    parser.addOption("need", "Need", true, "Needed.", AP::REQUIRED_VALUE);
    EXPECT_EXIT(parse(parser, {"prog", "--HeLp"}), testing::ExitedWithCode(0),
                "show this help message and exit");
}

TEST(ArgumentParserDeathTest, MissingRequiredWithoutThrowExitsOne) {
    AP parser;
    parser.addOption("need", "Need", true, "Needed.", AP::REQUIRED_VALUE);
    EXPECT_EXIT(parse(parser, {"prog"}, false), testing::ExitedWithCode(1),
                "Error: Missing Required Option Flags:\n    --need\n");
}

TEST(ArgumentParser, RandomArgumentListsNeverCrash) {
    std::mt19937 random(7);
    const std::vector<std::string> words = {"--a", "--b", "--c", "--d",  "x",    "",
                                            "--",  "-a",  "--A", "\xff", "--a=1"};
    for (int round = 0; round < 2000; ++round) {
        AP parser;
        parser.addOption("a", "A", false, "", AP::REQUIRED_VALUE, AP::MULTIPLE);
        parser.addOption("b", "B", false, "", AP::OPTIONAL_VALUE);
        parser.addOption("c", "", false, "", AP::NO_VALUE);
        std::vector<std::string> args = {"prog"};
        for (size_t n = random() % 8; n > 0; --n)
            args.push_back(words[random() % words.size()]);
        captureStderr([&] { parse(parser, args); });
        for (const auto& entry : parser.parsedOptions)
            EXPECT_TRUE(entry.first == "A" || entry.first == "B" || entry.first == "--c");
    }
}
