#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>

#include "TestSupport.h"
#include "support/Command.h"
#include "support/Logger.h"

namespace {

Logger quietLogger("T", Logger::NONE, "", Logger::NO_TIMESTAMP);

} // namespace

TEST(Command, ExecutedCommandText) {
    Command plain("samtools");
    plain.addArguments({"view", "-c", "in.bam"});
    EXPECT_EQ(plain.getExecutedCommandAsString(), " samtools view -c in.bam");
    Command sorted("sort");
    sorted.setEnvironment("LC_ALL", "C");
    sorted.setEnvironment("A", "1");
    sorted.addArguments({"-k1"});
    EXPECT_EQ(sorted.getExecutedCommandAsString(), "A=1 LC_ALL=C sort -k1");
    Command bare("true");
    EXPECT_EQ(bare.getExecutedCommandAsString(), " true ");
}

TEST(Command, ExitStatusesAndLogFiles) {
    ScratchDir dir;
    Command ok("true");
    EXPECT_EQ(runCommandAndLogError(ok, quietLogger, true, true), 0);

    Command failing("sh");
    failing.addArguments({"-c", "echo out; echo err 1>&2; exit 3"});
    failing.logStdoutToFile("pre");
    failing.logStderrToFile("");
    EXPECT_EQ(runCommandAndLogError(failing, quietLogger, true, false), 3);
    EXPECT_EQ(failing.exitCode, 3);
    EXPECT_TRUE(std::regex_match(failing.stdoutPath(), std::regex(R"(pre_sh_\d{14}\.stdout\.log)")))
        << failing.stdoutPath();
    EXPECT_TRUE(std::regex_match(failing.stderrPath(), std::regex(R"(sh_\d{14}\.stderr\.log)")));
    EXPECT_EQ(readFile(failing.stdoutPath()), "out\n");
    EXPECT_EQ(readFile(failing.stderrPath()), "err\n");

    Command thrower("false");
    try {
        runCommandAndLogError(thrower, quietLogger, false, true);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Got non-zero exit code when making a system call.");
    }
}

TEST(Command, SummaryLinesAndErrorLog) {
    ScratchDir dir;
    Command failing("sh");
    failing.addArguments({"-c", "printf 'first\\nsecond\\n' 1>&2; exit 4"});
    failing.logStderrToFile("");
    Logger logger("L", Logger::ERROR, dir.file("errors.txt"), Logger::NO_TIMESTAMP);
    EXPECT_EQ(runCommandAndLogError(failing, logger, true, false), 4);
    std::string rule(36, '-');
    EXPECT_EQ(failing.getCommandSummaryAsString(false),
              rule + "\nexecuted command:  sh -c printf 'first\\nsecond\\n' 1>&2; exit 4\n" +
                  "exit code: 4\nstderr path: " + failing.stderrPath() + "\nstdout path: \n" +
                  rule + "\n");
    EXPECT_NE(failing.getCommandSummaryAsString(true).find(
                  "stderr file contents: \n    first\n    second\n" + rule + "\n"),
              std::string::npos);
    std::string logged = readFile(dir.file("errors.txt"));
    EXPECT_EQ(
        logged.rfind("L ERROR    Non-zero exit code when running the below command:\n" + rule, 0),
        0u)
        << logged;

    Command unlogged("false");
    unlogged.run();
    EXPECT_NE(unlogged.getCommandSummaryAsString(true).find("    Unable to open the stderr file."),
              std::string::npos);
}

TEST(Command, EnvironmentEntriesReachTheChild) {
    ScratchDir dir;
    Command env("sh");
    env.setEnvironment("AMBREL_TEST_VALUE", "from-parent");
    env.setEnvironment("LC_ALL", "C");
    env.addArguments({"-c", "echo \"$AMBREL_TEST_VALUE $LC_ALL\"; test -n \"$PATH\""});
    env.logStdoutToFile("");
    ASSERT_EQ(env.run(), 0);
    EXPECT_EQ(readFile(env.stdoutPath()), "from-parent C\n");
    EXPECT_EQ(getenv("AMBREL_TEST_VALUE"), nullptr);
}

TEST(Command, AbsolutePathIsNotSearchedAndBadProgramsFail) {
    ScratchDir dir;
    Command absolute("/bin/sh");
    absolute.addArguments({"-c", "exit 0"});
    absolute.logStderrToFile("abs");
    EXPECT_EQ(absolute.run(), 0);
    // Logs land in the working directory whatever directory the program lives in.
    EXPECT_TRUE(
        std::regex_match(absolute.stderrPath(), std::regex(R"(abs_sh_\d{14}\.stderr\.log)")));

    Command missing("no-such-program-ambrel");
    missing.logStderrToFile("");
    EXPECT_EQ(runCommandAndLogError(missing, quietLogger, true, false), 1);
    EXPECT_NE(readFile(missing.stderrPath())
                  .find("execv(p) failed to execute no-such-program-ambrel: No such file"),
              std::string::npos);

    Command notPath("./nothing-here");
    EXPECT_EQ(notPath.run(), 1);

    Command empty("");
    std::string err = captureStderr(
        [&] { EXPECT_EQ(runCommandAndLogError(empty, quietLogger, false, false), -2); });
    EXPECT_EQ(err, "No application set, returning -ENOENT (2)\n");
    EXPECT_EQ(empty.exitCode, -2);
}

TEST(Command, ChildKilledBySignalIsAFailure) {
    ScratchDir dir;
    Command killed("sh");
    killed.addArguments({"-c", "kill -9 $$"});
    EXPECT_EQ(runCommandAndLogError(killed, quietLogger, false, false), 128 + 9);
    EXPECT_EQ(killed.terminatingSignal, 9);
    EXPECT_NE(killed.getCommandSummaryAsString(false).find("terminated by signal: 9 (Killed)"),
              std::string::npos);
    EXPECT_THROW(runCommandAndLogError(killed, quietLogger, false, true), std::runtime_error);
}
