#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(Log, LinesAreStampedAndWrittenLiterally) {
    testsupport::TempDir dir;
    SetLogTargets(dir.file("a.log").string());
    LogMessage("ERROR, X, 100% %s %d done");
    LogMessage("second");
    std::string text = readAll(dir.file("a.log"));
    EXPECT_TRUE(
        std::regex_match(text, std::regex("\\d\\d:\\d\\d:\\d\\d, ERROR, X, 100% %s %d done\r\n"
                                          "\\d\\d:\\d\\d:\\d\\d, second\r\n")))
        << text;
}

TEST(Log, EmptyTargetKeepsTheCurrentFile) {
    testsupport::TempDir dir;
    SetLogTargets(dir.file("a.log").string());
    SetLogTargets("");
    EXPECT_EQ(LogFileName(), dir.file("a.log").string());
    LogMessage("kept");
    EXPECT_NE(readAll(dir.file("a.log")).find("kept"), std::string::npos);
}

TEST(Log, UnwritableTargetDropsTheLine) {
    testsupport::TempDir dir;
    SetLogTargets((dir.path() / "missing" / "a.log").string());
    LogMessage("lost");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(Log, ConcurrentWritersNeverInterleaveWithinALine) {
    testsupport::TempDir dir;
    SetLogTargets(dir.file("c.log").string());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                LogMessage("thread " + std::to_string(t) + " line " + std::to_string(i) +
                           std::string(200, 'x'));
        });
    for (auto& th : threads)
        th.join();
    std::istringstream in(readAll(dir.file("c.log")));
    int count = 0;
    for (std::string line; std::getline(in, line); ++count)
        EXPECT_TRUE(std::regex_match(
            line, std::regex("\\d\\d:\\d\\d:\\d\\d, thread \\d line \\d+x{200}\r")))
            << line;
    EXPECT_EQ(count, 200);
}
