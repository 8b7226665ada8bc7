#include "WorkFiles.h"

#include "Report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace bench {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

void makeFile(const fs::path& path, long long size) {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char((i * 131 + 7) % 251);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) die("cannot write " + path.string());
    for (long long left = size; left > 0;) {
        size_t piece = size_t(std::min<long long>(left, block.size()));
        std::fwrite(block.data(), 1, piece, file);
        left -= piece;
    }
    std::fclose(file);
}

std::string loadAverage() {
    std::string text = readText("/proc/loadavg");
    std::istringstream in(text);
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

void settle() { ::sync(); }

}  // namespace bench
