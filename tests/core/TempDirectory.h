#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Gives each test a fresh, empty directory under the system's temporary
// directory and removes it afterwards.
class TempDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        directory = std::filesystem::temp_directory_path()
                    / ("varnix-core-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(directory);
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string pathOf(const std::string& name) const { return (directory / name).string(); }

    void writeBytes(const std::string& name, const std::string& bytes) const
    {
        std::ofstream out(directory / name, std::ios::binary);
        out << bytes;
    }

    std::string readBytes(const std::string& name) const
    {
        std::ifstream in(directory / name, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::filesystem::path directory;
};
