#pragma once
// A test whose log goes to a fresh file of its own, read back by the checks.

#include "Log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        path = std::filesystem::temp_directory_path() /
               ("veskaro_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        std::filesystem::remove(path);
        SetLogTargets(path.string());
        CurrentLogLevel = 0;
    }
    void TearDown() override {
        CurrentLogLevel = 0;
        std::filesystem::remove(path);
    }
    std::string logText() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool logged(const std::string& text) const { return logText().find(text) != std::string::npos; }

    std::filesystem::path path;
};
