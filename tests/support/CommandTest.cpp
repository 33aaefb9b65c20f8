#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>

#include "TestSupport.h"
#include "support/Command.h"
#include "support/Logger.h"

namespace {

Logger quietLogger("T", Logger::NONE, "", Logger::NO_TIMESTAMP);

} // namespace

TEST(Command, ExitStatusesLogFilesAndSummary) {
    ScratchDir dir;
    Command failing("sh");
    failing.addArguments({"-c", "echo out; printf 'first\\nsecond\\n' 1>&2; exit 3"});
    failing.logStdoutToFile("pre");
    failing.logStderrToFile("");
    Logger logger("L", Logger::ERROR, dir.file("errors.txt"), Logger::NO_TIMESTAMP);
    EXPECT_EQ(runCommandAndLogError(failing, logger, true, false), 3);
    EXPECT_TRUE(std::regex_match(failing.stdoutPath(), std::regex(R"(pre_sh_\d{14}\.stdout\.log)")))
        << failing.stdoutPath();
    EXPECT_TRUE(std::regex_match(failing.stderrPath(), std::regex(R"(sh_\d{14}\.stderr\.log)")));
    EXPECT_EQ(readFile(failing.stdoutPath()), "out\n");
    std::string rule(36, '-');
    EXPECT_EQ(failing.getCommandSummaryAsString(false),
              rule + "\nexecuted command:  sh -c echo out; printf 'first\\nsecond\\n' 1>&2; exit " +
                  "3\nexit code: 3\nstderr path: " + failing.stderrPath() +
                  "\nstdout path: " + failing.stdoutPath() + "\n" + rule + "\n");
    EXPECT_NE(failing.getCommandSummaryAsString(true).find(
                  "stderr file contents: \n    first\n    second\n" + rule + "\n"),
              std::string::npos);
    EXPECT_EQ(
        readFile(dir.file("errors.txt"))
            .rfind("L ERROR    Non-zero exit code when running the below command:\n" + rule, 0),
        0u);
    // Run again at once (within the second, most often): a log of its own, its own words alone.
    std::string firstLog = failing.stderrPath();
    EXPECT_EQ(failing.run(), 3);
    EXPECT_NE(failing.stderrPath(), firstLog);
    EXPECT_EQ(readFile(failing.stderrPath()), "first\nsecond\n");
    EXPECT_EQ(readFile(firstLog), "first\nsecond\n");
    Command thrower("false");
    EXPECT_THROW(runCommandAndLogError(thrower, quietLogger, false, true), std::runtime_error);

    // Environment entries reach the child only.
    Command env("sh");
    env.setEnvironment("AMBREL_TEST_VALUE", "from-parent");
    env.addArguments({"-c", "echo \"$AMBREL_TEST_VALUE\"; test -n \"$PATH\""});
    env.logStdoutToFile("");
    ASSERT_EQ(env.run(), 0);
    EXPECT_EQ(readFile(env.stdoutPath()), "from-parent\n");
    EXPECT_EQ(getenv("AMBREL_TEST_VALUE"), nullptr);
}

// The shell's convention: 127 for a program not found, 126 for one that cannot be executed,
// 128 + the signal for one killed.
TEST(Command, ProgramsThatCannotRunOrDieFail) {
    ScratchDir dir;
    Command missing("no-such-program-ambrel");
    missing.logStderrToFile("");
    EXPECT_EQ(runCommandAndLogError(missing, quietLogger, true, false), 127);
    EXPECT_EQ(readFile(missing.stderrPath()),
              "cannot run no-such-program-ambrel: No such file or directory\n");
    writeFile("not-executable", "#!/bin/sh\n");
    Command denied(dir.file("not-executable"));
    EXPECT_EQ(denied.run(), 126);
    // A failing command with no error output may have run out of space: the summary says so.
    Command silent("false");
    silent.logStderrToFile("");
    EXPECT_EQ(silent.run(), 1);
    EXPECT_NE(silent.getCommandSummaryAsString(true).find(
                  "    The stderr file is empty. The file system of " + dir.path() + " has "),
              std::string::npos);
    Command killed("sh");
    killed.addArguments({"-c", "kill -9 $$"});
    EXPECT_EQ(runCommandAndLogError(killed, quietLogger, false, false), 128 + 9);
    EXPECT_NE(killed.getCommandSummaryAsString(false).find("terminated by signal: 9 (Killed)"),
              std::string::npos);
}
