#pragma once

#include "core/NodeWindow.h"
#include "core/String.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace ConfigTest {

// UTF-8 text of a String, for comparisons with readable failure messages.
inline std::string utf8(Varnix::String text)
{
    return text.toNarrow();
}

// Collects what the configuration code asks of the log window.
class RecordingWindow : public Varnix::NodeWindow {
public:
    void log(const char16_t* text) override { lines.push_back(utf8(Varnix::String(text))); }
    using Varnix::NodeWindow::log;
    void showMessageBox(const Varnix::String& text, const Varnix::String& caption) override
    {
        boxes.push_back({utf8(text), utf8(caption)});
    }
    void forceClose() override { ++closeRequests; }

    struct Box {
        std::string text;
        std::string caption;
    };

    std::vector<std::string> lines;
    std::vector<Box> boxes;
    int closeRequests = 0;
};

// Each test gets a fresh, empty temporary directory.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir = (std::filesystem::temp_directory_path()
               / ("varnix-config-" + std::to_string(stamp) + "-" + std::to_string(counter++)))
                  .string();
        ASSERT_TRUE(std::filesystem::create_directories(dir));
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string pathOf(const std::string& name) const { return (std::filesystem::path(dir) / name).string(); }

    std::string writeFile(const std::string& name, const std::string& bytes) const
    {
        std::string path = pathOf(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string readFile(const std::string& name) const
    {
        std::ifstream in(pathOf(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string dir;
};

}  // namespace ConfigTest
