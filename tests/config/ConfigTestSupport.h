#pragma once

#include "core/NodeWindow.h"
#include "core/String.h"

#include <gtest/gtest.h>

#include <cstdlib>
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
    void forceClose() override { ++closeRequests; }

    std::vector<std::string> lines;
    int closeRequests = 0;
};

// Each test gets a fresh temporary directory and an empty registry file in it.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnix-config-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        useRegistry("");
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string pathOf(const std::string& name) const { return dir + "/" + name; }

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

    // Points the registry at a new file holding `bytes` exactly.
    std::string useRegistryBytes(const std::string& bytes)
    {
        std::string path = writeFile("registry-" + std::to_string(++registryCount) + ".reg", bytes);
        setenv("VARNIX_REGISTRY", path.c_str(), 1);
        return path;
    }

    // Points the registry at a new export holding `body` after the header.
    std::string useRegistry(const std::string& body)
    {
        return useRegistryBytes("Windows Registry Editor Version 5.00\n\n" + body);
    }

    std::string dir;
    int registryCount = 0;
};

}  // namespace ConfigTest
