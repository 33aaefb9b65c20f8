#include <clocale>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "support/Logger.h"

namespace {

std::string logTo(Logger::Level level, const std::function<void(Logger&)>& body,
                  const std::string& name = "Test:",
                  Logger::TimestampStyle style = Logger::NO_TIMESTAMP,
                  const std::string& format = "") {
    ScratchDir dir;
    std::string path = dir.file("log.txt");
    {
        Logger logger(name, level, path, style, format);
        body(logger);
    }
    return readFile(path);
}

} // namespace

TEST(Logger, LineLayoutWithAndWithoutNameAndTimestamp) {
    EXPECT_EQ(logTo(
                  Logger::INFO, [](Logger& log) { log.info("m"); }, ""),
              "INFO     m\n");

    std::string text = logTo(
        Logger::INFO, [](Logger& log) { log.info("Started %s", "Ambrel"); },
        "Ambrel:", Logger::CUSTOM, "[%Y-%m-%d %H:%M:%S]");
    EXPECT_TRUE(std::regex_match(
        text,
        std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] Ambrel: INFO     Started Ambrel\n)")))
        << text;
}

TEST(Logger, FormatsLikePrintfWithoutLengthLimit) {
    std::string big(100000, 'a');
    std::string text = logTo(Logger::INFO, [&](Logger& log) {
        log.info("%d|%s|%5.2f|%%", 42, "s", 3.14159);
        log.info("%s", big.c_str());
    });
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Test: INFO     42|s| 3.14|%");
    EXPECT_EQ(lines[1].size(), std::string("Test: INFO     ").size() + big.size());
}

TEST(Logger, GroupingFlagFollowsTheNumericLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_NUMERIC, "en_US.UTF-8"))
        GTEST_SKIP() << "en_US.UTF-8 locale is not installed";
    std::string text = logTo(Logger::INFO, [](Logger& log) { log.info("%'lu", 1234567UL); });
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(text, "Test: INFO     1,234,567\n");
    // In the C locale the flag groups nothing.
    EXPECT_EQ(logTo(Logger::INFO, [](Logger& log) { log.info("%'lu", 1234567UL); }),
              "Test: INFO     1234567\n");
}

TEST(Logger, LevelWords) {
    const std::tuple<const char*, Logger::Level, Logger::Level> cases[] = {
        {"crit", Logger::INFO, Logger::CRITICAL}, {"Warn", Logger::INFO, Logger::WARNING},
        {"err", Logger::INFO, Logger::ERROR},     {"all", Logger::INFO, Logger::ALL},
        {"NONE", Logger::INFO, Logger::NONE},     {"debug", Logger::INFO, Logger::DEBUG},
        {" debug", Logger::ERROR, Logger::ERROR}, {"", Logger::DEBUG, Logger::DEBUG}};
    for (const auto& [word, fallback, level] : cases)
        EXPECT_EQ(Logger::getLevelFromString(word, fallback), level) << word;
}

TEST(Logger, LinesFromManyThreadsStayWhole) {
    const int threads = 4, perThread = 2000;
    std::string text = logTo(Logger::INFO, [&](Logger& log) {
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&log, t] {
                for (int i = 0; i < perThread; ++i)
                    log.info("thread %d line %d %s", t, i, "padding-padding-padding-padding");
            });
        for (std::thread& worker : workers)
            worker.join();
    });
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * perThread));
    std::regex whole(R"(Test: INFO     thread \d line \d+ padding-padding-padding-padding)");
    std::set<std::string> distinct;
    for (const std::string& line : lines) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
        distinct.insert(line);
    }
    EXPECT_EQ(distinct.size(), lines.size());
}
