#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

#include "TestSupport.h"
#include "support/LogArchive.h"
#include "support/Logger.h"

TEST(LogArchive, HardTarFailureThrowsAndRestoresTheDirectory) {
    ScratchDir dir;
    writeFile("x.log", "x\n");
    Logger::Level saved = gUtilLogger.getLevel();
    set_util_log_level(Logger::NONE);
    EXPECT_THROW(compressLogFiles(".", "missing-dir/archive", std::regex(R"(\.log$)"), false),
                 std::runtime_error);
    set_util_log_level(saved);
    EXPECT_EQ(std::filesystem::current_path().string(), dir.path());
    EXPECT_TRUE(std::filesystem::exists("x.log")); // not deleted when tar failed
}
