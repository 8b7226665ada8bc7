#include "DumpFiles.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace Varnix::Peer {

std::string dumpFileName(int frame, int number) {
    char name[64];
    std::snprintf(name, sizeof name, "frame%d_dump%03d.exr", frame, number);
    return name;
}

std::vector<std::string> earlierDumps(const std::filesystem::path& folder, int frame) {
    std::vector<std::string> names;
    const std::string prefix = "frame" + std::to_string(frame) + "_dump";
    const std::string suffix = ".exr";
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) return names;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().u8string();
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool startsLikeExr(const char* bytes, std::size_t count) {
    static const unsigned char magic[4] = {0x76, 0x2F, 0x31, 0x01};
    return count >= 4 && std::equal(magic, magic + 4, reinterpret_cast<const unsigned char*>(bytes));
}

ExrLayout exrLayoutOf(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!file || error) return ExrLayout();
    return checkExrLayout(static_cast<std::int64_t>(size),
                          [&file](std::int64_t offset, void* buffer, std::size_t count) {
                              file.clear();
                              file.seekg(offset);
                              file.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count));
                              return file.bad() ? -1LL : static_cast<long long>(file.gcount());
                          });
}

}  // namespace Varnix::Peer
