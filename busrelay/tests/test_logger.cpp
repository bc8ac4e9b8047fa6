// needs: namespace
// The logger writes to the fixed path /tmp/mb.log, so this program runs in a
// private mount namespace with its own /tmp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "logger.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::string read_file(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

long file_size(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

class LoggerTest : public testing::Test {
protected:
    void SetUp() override {
        unlink(LOG_FILE_PATH);
        log_open();
    }
    void TearDown() override { log_close(); }
};

TEST_F(LoggerTest, ConsoleAndFileLinesHaveTheDesignedFormat) {
    CaptureStderr();
    LOG_INFO("hello %d", 42);
    LOG_DEBUG("console only");
    std::string console = GetCapturedStderr();

    std::regex infoLine(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \x1b\\[32mINFO \x1b\\[0m "
        "\x1b\\[94mtest_logger\\.cpp:\\d+:\x1b\\[0m hello 42\n");
    EXPECT_TRUE(std::regex_search(console, infoLine)) << console;
    EXPECT_NE(console.find("\x1b[36mDEBUG\x1b[0m"), std::string::npos);
    EXPECT_NE(console.find("console only\n"), std::string::npos);

    std::string file = read_file(LOG_FILE_PATH);
    EXPECT_TRUE(std::regex_match(
        file, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d INFO  test_logger\\.cpp:\\d+: "
                         "hello 42\n")))
        << file;
}

TEST_F(LoggerTest, EveryLevelFromInfoReachesTheFile) {
    CaptureStderr();
    LOG_WARN("w");
    LOG_ERROR("e");
    LOG_FATAL("f");
    LOG_DEBUG("d");
    GetCapturedStderr();
    std::string file = read_file(LOG_FILE_PATH);
    EXPECT_NE(file.find(" WARN  test_logger.cpp:"), std::string::npos);
    EXPECT_NE(file.find(" ERROR test_logger.cpp:"), std::string::npos);
    EXPECT_NE(file.find(" FATAL test_logger.cpp:"), std::string::npos);
    EXPECT_EQ(file.find(": d\n"), std::string::npos);
}

TEST_F(LoggerTest, DeletedFileIsRecreatedWithTheMessageFirst) {
    CaptureStderr();
    LOG_INFO("before");
    unlink(LOG_FILE_PATH);
    CaptureStdout();
    LOG_DEBUG("debug does not roll");
    EXPECT_EQ(file_size(LOG_FILE_PATH), -1);
    LOG_INFO("after");
    EXPECT_EQ(GetCapturedStdout(), "\nrolling log file........\n");
    GetCapturedStderr();
    std::string file = read_file(LOG_FILE_PATH);
    EXPECT_EQ(file.find("before"), std::string::npos);
    EXPECT_EQ(file.rfind(" INFO  test_logger.cpp:", 30), 19u) << file;
    EXPECT_NE(file.find(": after\n"), std::string::npos);
}

TEST_F(LoggerTest, RollsOnlyOncePastTwoMebibytes) {
    CaptureStderr();
    LOG_INFO("first");
    // Grow the file to exactly the limit: the next message is appended.
    long size = file_size(LOG_FILE_PATH);
    {
        std::ofstream out(LOG_FILE_PATH, std::ios::app | std::ios::binary);
        out << std::string(LOG_ROLL_SIZE - size, 'x');
    }
    ASSERT_EQ(file_size(LOG_FILE_PATH), LOG_ROLL_SIZE);
    CaptureStdout();
    LOG_INFO("appended at the limit");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_GT(file_size(LOG_FILE_PATH), LOG_ROLL_SIZE);

    CaptureStdout();
    LOG_WARN("starts the new file");
    EXPECT_EQ(GetCapturedStdout(), "\nrolling log file........\n");
    GetCapturedStderr();
    std::string file = read_file(LOG_FILE_PATH);
    EXPECT_TRUE(std::regex_match(file, std::regex(".* WARN  test_logger\\.cpp:\\d+: starts the new file\n")))
        << file.substr(0, 200);
}

TEST_F(LoggerTest, HexdumpGoesToConsoleAndFile) {
    const unsigned char bytes[] = {0xA5, 0x00, 0x7f};
    CaptureStderr();
    CaptureStdout();
    log_hexdump(bytes, 3);
    log_hexdump(bytes, 0);
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    const std::string prefix = std::string(26, ' ') + "[ ";
    EXPECT_EQ(err, prefix + prefix);
    EXPECT_EQ(out, "a5 00 7f ]\n]\n");
    CaptureStderr();
    LOG_INFO("flush");  // the dump reaches the file with the next line
    GetCapturedStderr();
    std::string file = read_file(LOG_FILE_PATH);
    const std::string expected = prefix + "a5 00 7f ]\n" + prefix + "]\n";
    EXPECT_EQ(file.substr(0, expected.size()), expected);
}

TEST_F(LoggerTest, ConsoleLevelMutesTheConsoleOnly) {
    const unsigned char bytes[] = {0x01, 0x02};
    log_set_console_level(LOG_LEVEL_WARN);
    CaptureStderr();
    CaptureStdout();
    LOG_INFO("file only");
    log_hexdump(bytes, 2);
    LOG_WARN("both");
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.find("file only"), std::string::npos) << err;
    EXPECT_NE(err.find("both"), std::string::npos) << err;
    std::string file = read_file(LOG_FILE_PATH);
    EXPECT_NE(file.find("file only"), std::string::npos);
    EXPECT_NE(file.find("[ 01 02 ]"), std::string::npos);
    EXPECT_NE(file.find("both"), std::string::npos);

    // A new start shows everything again.
    log_close();
    log_open();
    CaptureStderr();
    LOG_DEBUG("seen again");
    EXPECT_NE(GetCapturedStderr().find("seen again"), std::string::npos);
}

TEST_F(LoggerTest, UnopenableFileLeavesTheConsoleWorking) {
    log_close();
    unlink(LOG_FILE_PATH);
    ASSERT_EQ(mkdir(LOG_FILE_PATH, 0755), 0);  // fopen of a directory fails
    log_open();
    CaptureStderr();
    LOG_ERROR("still on the console");
    std::string console = GetCapturedStderr();
    EXPECT_NE(console.find("still on the console"), std::string::npos);

    // Once the path is usable again the file copy resumes.
    rmdir(LOG_FILE_PATH);
    CaptureStderr();
    LOG_INFO("back in the file");
    GetCapturedStderr();
    EXPECT_NE(read_file(LOG_FILE_PATH).find("back in the file"), std::string::npos);
}

// An event loop's lines wait in memory until it flushes (before it sleeps),
// then reach the file whole and in order, hex dumps included; the size still
// counts towards the roll.
TEST_F(LoggerTest, DeferredLinesLeaveAtTheFlushInOrder) {
    CaptureStderr();
    CaptureStdout();
    log_set_deferred(true);
    const unsigned char bytes[] = {0x01, 0xfe};
    LOG_INFO("first");
    log_hexdump(bytes, 2);
    LOG_WARN("second");
    std::string early = read_file(LOG_FILE_PATH);
    log_flush();
    std::string file = read_file(LOG_FILE_PATH);
    // Past the limit while deferring (counted, not looked up): the line that
    // crosses it starts a new file.
    std::string big = std::string(4000, 'y');
    for (int i = 0; i < 530; ++i) LOG_INFO("%s", big.c_str());
    LOG_INFO("after the roll");
    log_set_deferred(false);
    std::string rolled = read_file(LOG_FILE_PATH);
    std::string out = GetCapturedStdout();
    GetCapturedStderr();
    EXPECT_EQ(early.find("first"), std::string::npos);
    EXPECT_TRUE(std::regex_match(
        file, std::regex(".* INFO  test_logger\\.cpp:\\d+: first\n {26}\\[ 01 fe \\]\n"
                         ".* WARN  test_logger\\.cpp:\\d+: second\n")))
        << file;
    EXPECT_NE(out.find("rolling log file........"), std::string::npos);
    EXPECT_LT((long)rolled.size(), LOG_ROLL_SIZE);
    EXPECT_NE(rolled.find("after the roll"), std::string::npos);
}

TEST_F(LoggerTest, SecondSinkIsRefused) {
    EXPECT_EQ(log_add_sink(nullptr, nullptr, LOG_LEVEL_INFO), -1);
}

}  // namespace
