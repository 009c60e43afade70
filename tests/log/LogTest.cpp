#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace {

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// "HH:MM:SS, " and then rest, exactly.
bool stamped(const std::string& line, const std::string& rest) {
    if (line.size() != 10 + rest.size() || line.compare(8, 2, ", ") != 0 ||
        line.compare(10, std::string::npos, rest) != 0)
        return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (!std::isdigit(static_cast<unsigned char>(line[i])))
            return false;
    return line[2] == ':' && line[5] == ':';
}

} // namespace

TEST(Log, LinesAreStampedAndWrittenLiterally) {
    testsupport::TempDir dir;
    SetLogTargets(dir.file("a.log").string());
    LogMessage("ERROR, X, 100% %s %d done");
    LogMessage("second");
    std::string text = readAll(dir.file("a.log"));
    const std::string first = "ERROR, X, 100% %s %d done\r\n";
    ASSERT_EQ(text.size(), 10 + first.size() + 10 + std::string("second\r\n").size()) << text;
    EXPECT_TRUE(stamped(text.substr(0, 10 + first.size()), first)) << text;
    EXPECT_TRUE(stamped(text.substr(10 + first.size()), "second\r\n")) << text;
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
    // Each line written comes out whole, once.
    std::set<std::string> expected;
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 50; ++i)
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) +
                            std::string(200, 'x') + "\r");
    for (std::string line; std::getline(in, line); ++count) {
        const std::string rest = line.size() > 10 ? line.substr(10) : std::string();
        EXPECT_TRUE(stamped(line, rest) && expected.erase(rest) == 1) << line;
    }
    EXPECT_EQ(count, 200);
}
