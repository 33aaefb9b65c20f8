#include <clocale>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

#include "TestSupport.h"
#include "support/Logger.h"

namespace {

std::string logTo(const std::function<void(Logger&)>& body, const std::string& name = "Test:",
                  Logger::TimestampStyle style = Logger::NO_TIMESTAMP,
                  const std::string& format = "") {
    ScratchDir dir;
    {
        Logger logger(name, Logger::INFO, dir.file("log.txt"), style, format);
        body(logger);
    }
    return readFile(dir.file("log.txt"));
}

} // namespace

// printf formats without a length limit; "%'" groups thousands as the numeric locale says.
TEST(Logger, LineLayoutAndFormats) {
    std::string stamped = logTo([](Logger& log) { log.info("Started %s", "Ambrel"); },
                                "Ambrel:", Logger::CUSTOM, "[%Y-%m-%d %H:%M:%S]");
    EXPECT_TRUE(std::regex_match(
        stamped,
        std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] Ambrel: INFO     Started Ambrel\n)")))
        << stamped;
    std::string big(100000, 'a');
    EXPECT_EQ(logTo([&](Logger& log) {
                  log.info("%d|%s|%5.2f|%%|%'lu", 42, "s", 3.14159, 1234567UL);
                  log.info("%s", big.c_str());
              }),
              "Test: INFO     42|s| 3.14|%|1234567\nTest: INFO     " + big + "\n");
    std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    AMBREL_SKIP_UNLESS(std::setlocale(LC_NUMERIC, "en_US.UTF-8") != nullptr,
                       "no en_US.UTF-8 locale (Debian: locales, then locale-gen)");
    std::string grouped = logTo([](Logger& log) { log.info("%'lu", 1234567UL); });
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(grouped, "Test: INFO     1,234,567\n");
}
